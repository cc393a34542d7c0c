// BrindlemarkHost.exe as the browser starts it: frames on its standard input and output, its exit code,
// and its trace lines.
#include <windows.h>

#include <psapi.h>

#include "../request/RequestTestSupport.h"
#include "TakeFile.h"

#include <cJSON.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string HostPath()
{
    std::string str = BM_HOST_EXE;
    if (!str.empty() && str[0] == '/') {
        // Built on the Unix side: the same file through Wine's root drive.
        for (char& ch : str)
            if (ch == '/') ch = '\\';
        str = "Z:" + str;
    }
    return str;
}

std::string Frame(const std::string& strBody)
{
    std::string str(4, '\0');
    const size_t n = strBody.size();
    for (int i = 0; i < 4; ++i) str[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    return str + strBody;
}

struct HostRun {
    std::string strOutput;
    DWORD dwExitCode = 0xDEADBEEF;
};

// Starts the host with pipes, writes all of strInput, closes its input and collects what it wrote. A given
// fnBeforeEnd runs before the input closes, with the host's process and the read end of its input;
// strArguments follow the program's name on its command line.
HostRun RunHost(const std::string& strInput, const std::function<void(HANDLE, HANDLE)>& fnBeforeEnd = nullptr,
                const std::string& strArguments = "")
{
    HostRun run;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hInRead = nullptr, hInWrite = nullptr, hOutRead = nullptr, hOutWrite = nullptr;
    if (!CreatePipe(&hInRead, &hInWrite, &sa, 0) || !CreatePipe(&hOutRead, &hOutWrite, &sa, 0)) {
        ADD_FAILURE() << "CreatePipe " << GetLastError();
        return run;
    }
    // Only the host's ends are inherited, so that the pipes close when the host and this side are done.
    SetHandleInformation(hInWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(hOutRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE hNul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);

    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hInRead;
    si.hStdOutput = hOutWrite;
    si.hStdError = hNul;
    PROCESS_INFORMATION pi = {};
    std::string strExe = HostPath();
    std::string strCommand = "\"" + strExe + "\"";
    if (!strArguments.empty()) strCommand += " " + strArguments;
    BOOL bStarted =
        CreateProcessA(strExe.c_str(), strCommand.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    // Kept only for fnBeforeEnd: a read end left open would let writes to an ended host block.
    if (fnBeforeEnd) {
        SetHandleInformation(hInRead, HANDLE_FLAG_INHERIT, 0);
    } else {
        CloseHandle(hInRead);
        hInRead = nullptr;
    }
    CloseHandle(hOutWrite);
    if (hNul != INVALID_HANDLE_VALUE) CloseHandle(hNul);
    if (!bStarted) {
        ADD_FAILURE() << "CreateProcess " << strExe << " " << GetLastError();
        CloseHandle(hInWrite);
        CloseHandle(hOutRead);
        if (hInRead != nullptr) CloseHandle(hInRead);
        return run;
    }

    std::thread writer([&] {
        DWORD dwWritten = 0;
        if (!strInput.empty()) WriteFile(hInWrite, strInput.data(), static_cast<DWORD>(strInput.size()), &dwWritten, nullptr);
        if (fnBeforeEnd) fnBeforeEnd(pi.hProcess, hInRead);
        CloseHandle(hInWrite);
    });
    char ach[65536];
    DWORD dwRead = 0;
    while (ReadFile(hOutRead, ach, sizeof(ach), &dwRead, nullptr) && dwRead > 0) run.strOutput.append(ach, dwRead);
    writer.join();
    if (hInRead != nullptr) CloseHandle(hInRead);
    CloseHandle(hOutRead);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
    GetExitCodeProcess(pi.hProcess, &run.dwExitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return run;
}

// Splits the output into frame bodies; a frame cut short fails the test.
std::vector<std::string> Bodies(const std::string& strOutput)
{
    std::vector<std::string> bodies;
    size_t nPos = 0;
    while (nPos < strOutput.size()) {
        if (strOutput.size() - nPos < 4) {
            ADD_FAILURE() << "cut length prefix";
            break;
        }
        size_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(strOutput[nPos + i]);
        nPos += 4;
        if (strOutput.size() - nPos < n) {
            ADD_FAILURE() << "cut body";
            break;
        }
        bodies.push_back(strOutput.substr(nPos, n));
        nPos += n;
    }
    return bodies;
}

const char kVersionRequest[] = R"({"function":"QORA_GetVersion","params":[],"randomId":"7"})";
const char kVersionAnswer[] = R"({"function":"QORA_GetVersion","errorcode":0,"result":"3.2.0.4","randomId":"7"})";

}  // namespace

TEST(HostProcess, AnswersEachRequestInOrderUntilInputEnds)
{
    HostRun run = RunHost(Frame(kVersionRequest) + Frame(R"({"function":"checkHost","params":[]})") +
                          Frame("this is not JSON") + Frame(R"({"function":"qora_getversion","params":[]})") +
                          Frame(R"({"function":"QORA_GetVersion","params":[],"randomId":5})") +
                          Frame(R"({"function":"QORA_GetVersion","params":[],"randomId":""})"));
    const std::vector<std::string> want = {
        kVersionAnswer,
        R"({"function":"CheckHost","errorcode":0,"result":0})",
        R"({"function":"", "errorcode":-2146893779, "result":false})",
        R"({"function":"QORA_GetVersion","errorcode":0,"result":"3.2.0.4"})",
        R"({"function":"", "errorcode":-2146893779, "result":false})",
        R"({"function":"QORA_GetVersion","errorcode":0,"result":"3.2.0.4"})",
    };
    EXPECT_EQ(Bodies(run.strOutput), want);
    EXPECT_EQ(run.dwExitCode, 0u);
}

TEST(HostProcess, ArgumentsOfEitherBrowserAreIgnored)
{
    for (const char* pszArguments : {
             "chrome-extension://bpjebjimmnbljgdfklpdjjaljnmdcepo/",
             "chrome-extension://bpjebjimmnbljgdfklpdjjaljnmdcepo/ --parent-window=0",
             "\"C:\\Program Files\\Brindlemark\\x64\\com.brindlemark.host.firefox.json\" enrolment@brindlemark.example",
             "/home/u/.mozilla/native-messaging-hosts/com.brindlemark.host.json enrolment@brindlemark.example",
         }) {
        SCOPED_TRACE(pszArguments);
        HostRun run = RunHost(Frame(kVersionRequest), nullptr, pszArguments);
        EXPECT_EQ(Bodies(run.strOutput), std::vector<std::string>{kVersionAnswer});
        EXPECT_EQ(run.dwExitCode, 0u);
    }
}

TEST(HostProcess, ASettingHoldsForLaterRequests)
{
    HostRun run = RunHost(Frame(R"({"function":"QORA_SetKeyAlgorithm","params":["SM2"]})") +
                          Frame(R"({"function":"QORA_SetKeyAlgorithm","params":["DSA"]})") +
                          Frame(R"({"function":"GetLastErrorDesc","params":[]})") +
                          Frame(R"({"function":"QORA_SetCSPInfo","params":[1024,"Microsoft Base Cryptographic Provider v1.0"]})") +
                          Frame(R"({"function":"GetLastErrorDesc","params":[]})"));
    std::vector<std::string> bodies = Bodies(run.strOutput);
    ASSERT_EQ(bodies.size(), 5u);
    EXPECT_EQ(bodies[1], R"({"function":"QORA_SetKeyAlgorithm","errorcode":-1610144767,"result":false})");
    // The refusal of the second request is what the third describes; the fourth succeeds and the fifth says so.
    EXPECT_NE(bodies[2].find("\\n(0xa0072401)\""), std::string::npos) << bodies[2];
    EXPECT_EQ(bodies[3], R"({"function":"QORA_SetCSPInfo","errorcode":0,"result":true})");
    EXPECT_NE(bodies[4].find("\\n(0x00000000)\""), std::string::npos) << bodies[4];
    EXPECT_EQ(run.dwExitCode, 0u);
}

TEST(HostProcess, EndsOfInput)
{
    struct Case {
        const char* pszName;
        std::string strInput;
        size_t nAnswers;
        bool bExitZero;
    };
    for (const Case& c : std::vector<Case>{
             {"empty input", "", 0, true},
             {"zero length", std::string(4, '\0') + Frame(kVersionRequest), 0, true},
             {"FF FF FF FF", "\xFF\xFF\xFF\xFF" + Frame(kVersionRequest), 0, true},
             {"inside a length prefix", Frame(kVersionRequest) + std::string("\x10\x00", 2), 1, false},
             {"inside a zero length prefix", Frame(kVersionRequest) + std::string(3, '\0'), 1, false},
             {"inside a body", Frame(kVersionRequest) + Frame(kVersionRequest).substr(0, 20), 1, false},
         }) {
        SCOPED_TRACE(c.pszName);
        HostRun run = RunHost(c.strInput);
        std::vector<std::string> bodies = Bodies(run.strOutput);
        EXPECT_EQ(bodies.size(), c.nAnswers);
        for (const std::string& strBody : bodies) EXPECT_EQ(strBody, kVersionAnswer);
        if (c.bExitZero)
            EXPECT_EQ(run.dwExitCode, 0u);
        else
            EXPECT_NE(run.dwExitCode, 0u);
    }
}

TEST(HostProcess, AnswerOverTheLargestBodyLeavesAsFFFFFFFFAndEndsTheHost)
{
    // The token comes back in the answer, which makes it longer than 1,048,576 bytes; nothing after it is read.
    const std::string strCheck = R"({"function":"checkHost","params":[]})";
    const std::string strLong =
        R"({"function":"QORA_GetVersion","params":[],"randomId":")" + std::string(1048576, 'x') + "\"}";
    HostRun run = RunHost(Frame(strCheck) + Frame(strLong) + Frame(strCheck));
    EXPECT_EQ(run.strOutput, Frame(R"({"function":"CheckHost","errorcode":0,"result":0})") + "\xFF\xFF\xFF\xFF");
    EXPECT_EQ(run.dwExitCode, static_cast<DWORD>(-1));
}

TEST(HostProcess, FunctionNameWithQuotationMarkIsAnsweredWithValidJson)
{
    const std::string strRequest = R"({"function":"QORA_\"}evil","params":[],"randomId":"a\"b\\"})";
    HostRun run = RunHost(Frame(strRequest));
    std::vector<std::string> bodies = Bodies(run.strOutput);
    ASSERT_EQ(bodies.size(), 1u);
    cJSON* pAnswer = cJSON_Parse(bodies[0].c_str());
    ASSERT_NE(pAnswer, nullptr) << bodies[0];
    EXPECT_STREQ(cJSON_GetObjectItem(pAnswer, "function")->valuestring, "QORA_\"}evil");
    EXPECT_STREQ(cJSON_GetObjectItem(pAnswer, "randomId")->valuestring, "a\"b\\");
    EXPECT_EQ(cJSON_GetObjectItem(pAnswer, "errorcode")->valuedouble, -2146893779.0);
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItem(pAnswer, "result")));
    cJSON_Delete(pAnswer);
    EXPECT_EQ(run.dwExitCode, 0u);
}

TEST(HostProcess, WritesRequestAndResponseTraceLines)
{
    char szTemp[MAX_PATH] = {}, szTrace[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, szTemp);
    GetTempFileNameA(szTemp, "bmt", 0, szTrace);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", szTrace);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", "0xF");
    HostRun run = RunHost(Frame(kVersionRequest));
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", nullptr);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", nullptr);

    const std::string strTrace = TakeFile(szTrace);
    EXPECT_EQ(Bodies(run.strOutput), std::vector<std::string>{kVersionAnswer});
    for (const std::string& strLine : {std::string("Request: ") + kVersionRequest, std::string("Response: ") + kVersionAnswer,
                                       std::string("(MsgHandleProc -- ReadFromNativeMessaging)\t\t--OK"),
                                       std::string("(wmain -- SetTranslationMode)\t\t--OK"),
                                       std::string("nmQORA_GetVersion - Check parameter(Args count)"),
                                       std::string("ENTER ParseRequestMsgToJSON")}) {
        EXPECT_NE(strTrace.find(strLine), std::string::npos) << strLine << "\n" << strTrace.substr(0, 2000);
    }
}

TEST(HostProcess, ALengthThatPromisesMoreThanComesCostsOnlyWhatCame)
{
    SIZE_T cbPeak = 0;
    HostRun run = RunHost(std::string("\xF0\xFF\xFF\x7F", 4) + std::string(100, 'x'), [&](HANDLE hHost, HANDLE hInRead) {
        // The host takes bytes out of the pipe only after making room for them.
        DWORD dwLeft = 1;
        for (int i = 0; i < 6000 && dwLeft != 0 && PeekNamedPipe(hInRead, nullptr, 0, nullptr, &dwLeft, nullptr); ++i)
            Sleep(dwLeft != 0 ? 10 : 0);
        EXPECT_EQ(dwLeft, 0u);
        PROCESS_MEMORY_COUNTERS stCounters = {sizeof(stCounters), 0, 0, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_TRUE(GetProcessMemoryInfo(hHost, &stCounters, sizeof(stCounters)));
        cbPeak = stCounters.PeakWorkingSetSize;
    });
    RecordProperty("PeakWorkingSetSize", std::to_string(cbPeak));
    EXPECT_GT(cbPeak, 0u);
    EXPECT_LT(cbPeak, 64u * 1024 * 1024);
    EXPECT_EQ(run.strOutput, "");
    EXPECT_EQ(run.dwExitCode, static_cast<DWORD>(-1));
}

// What a hostile or careless page could get wrong before: a key of a size nobody asked for, arguments cut
// at an escaped NUL, answers that are not UTF-8, and empty containers left by a failed SM2 clean-up.
TEST(HostProcess, PageInputThatOnceMisbehavedIsRefusedAndLeavesNothing)
{
    const WCHAR kBase[] = TEXT("Microsoft Base Cryptographic Provider v1.0");
    const WCHAR kRsaToken[] = TEXT("Software RSA Token CSP v1.0");
    auto call = [](const std::string& strFunction, const std::string& strParams) {
        return Frame(R"({"function":")" + strFunction + R"(","params":[)" + strParams + "]}");
    };
    const std::string strRsa = call("QORA_SetKeyAlgorithm", R"("RSA")");
    const std::string strSm2 = call("QORA_SetKeyAlgorithm", R"("SM2")");
    const std::string strRequest = call("QORA_PKCS10CertRequisition", R"("CN=a,O=b",1,0)");
    struct Case {
        const char* pszName;
        std::string strInput;
        const WCHAR* pwszWatched;  // the provider that must gain no container
        long lWant;                // errorcode of the last answer
    };
    CryptProv hProbe;
    const bool bToken = CryptAcquireContextW(hProbe.put(), nullptr, kRsaToken, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    hProbe.reset();
    std::vector<Case> cases = {
        {"length 66048 for a lower-case Microsoft name",
         strRsa + call("QORA_SetCSPInfo", R"(66048,"microsoft base cryptographic provider v1.0")") + strRequest, kBase,
         static_cast<long>(0xA0072400)},
        {"NUL inside the CSP name", call("QORA_SetCSPInfo", R"(512,"Microsoft Base Cryptographic Provider v1.0\u0000x")"),
         kBase, static_cast<long>(0xA0073204)},
        {"NUL inside the subject",
         strRsa + call("QORA_SetCSPInfo", R"(512,"Microsoft Base Cryptographic Provider v1.0")") +
             call("QORA_PKCS10CertRequisition", R"("CN=a\u0000,O=b",1,0)"),
         kBase, static_cast<long>(0xA0073204)},
        {"SM2 asked of the Base provider",
         strSm2 + call("QORA_SetCSPInfo", R"(0,"Microsoft Base Cryptographic Provider v1.0")") + strRequest, kBase,
         static_cast<long>(NTE_BAD_ALGID)},
        {"SM2 with no provider set (the default one)", strSm2 + strRequest, kBase, static_cast<long>(NTE_BAD_ALGID)},
    };
    if (bToken) {
        cases.push_back({"length 66560 for the RSA token",
                         strRsa + call("QORA_SetCSPInfo", R"(66560,"Software RSA Token CSP v1.0")") + strRequest,
                         kRsaToken, static_cast<long>(0xA0072400)});
        cases.push_back({"length -2147483648 for the RSA token",
                         strRsa + call("QORA_SetCSPInfo", R"(-2147483648,"Software RSA Token CSP v1.0")") + strRequest,
                         kRsaToken, static_cast<long>(0xA0072400)});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        reqtest::ContainerSweeper sweeper(c.pwszWatched, PROV_RSA_FULL);
        HostRun run = RunHost(c.strInput);
        std::vector<std::string> bodies = Bodies(run.strOutput);
        ASSERT_FALSE(bodies.empty());
        cJSON* pAnswer = cJSON_Parse(bodies.back().c_str());
        ASSERT_NE(pAnswer, nullptr) << bodies.back();
        const cJSON* pCode = cJSON_GetObjectItem(pAnswer, "errorcode");
        EXPECT_TRUE(cJSON_IsNumber(pCode) && static_cast<long>(pCode->valuedouble) == c.lWant) << bodies.back();
        cJSON_Delete(pAnswer);
        EXPECT_TRUE(sweeper.NewContainers().empty()) << "a container was left behind";
    }

    // Invalid UTF-8 in echoed texts comes back as U+FFFD, so the answer stays valid JSON for the browser.
    HostRun run = RunHost(Frame("{\"function\":\"QORA_Get\xFFVersion\",\"params\":[],\"randomId\":\"\xC0\xAF\"}"));
    std::vector<std::string> bodies = Bodies(run.strOutput);
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_NE(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bodies[0].data(), static_cast<int>(bodies[0].size()),
                                  nullptr, 0),
              0)
        << bodies[0];
    EXPECT_NE(bodies[0].find("\xEF\xBF\xBD\xEF\xBF\xBD"), std::string::npos) << bodies[0];
}
