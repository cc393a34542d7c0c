// GetLastErrorDesc: texts from the program's own string tables or the system, and the "\n(0x%08x)" suffix.
// The language tests run this program again as a child with LANG and LC_ALL set, because the user-interface
// language of a Wine process is fixed when it starts.
#include "agent/CryptoAgent.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Utf8(const WCHAR* pwsz, int cch = -1)
{
    int cb = WideCharToMultiByte(CP_UTF8, 0, pwsz, cch, nullptr, 0, nullptr, nullptr);
    std::string str(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, pwsz, cch, str.data(), cb, nullptr, nullptr);
    if (cch < 0 && !str.empty()) str.pop_back();
    return str;
}

std::string Describe(HRESULT hrCode)
{
    BSTR bstr = nullptr;
    EXPECT_EQ(CCryptoAgent::DescribeResultCode(hrCode, &bstr), QORA_OK);
    BString owner(bstr);
    return bstr != nullptr ? Utf8(bstr, static_cast<int>(SysStringLen(bstr))) : std::string("<null>");
}

// The system's own text for a code, as the platform gives it in this process's language.
std::string SystemText(HRESULT hrCode)
{
    WCHAR wsz[512] = {};
    DWORD cch = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(hrCode), 0, wsz, 511, nullptr);
    return Utf8(wsz, static_cast<int>(cch));
}

std::string LastErrorDescOf(CCryptoAgent& agent)
{
    BSTR bstr = nullptr;
    EXPECT_EQ(agent.GetLastErrorDesc(&bstr), QORA_OK);
    BString owner(bstr);
    return bstr != nullptr ? Utf8(bstr, static_cast<int>(SysStringLen(bstr))) : std::string("<null>");
}

// What a page sees in one language: the descriptions after real agent failures and the system's texts.
using Record = std::map<std::string, std::string>;

Record ObserveDescriptions()
{
    Record record;
    char szLanguage[16];
    snprintf(szLanguage, sizeof(szLanguage), "0x%04x", GetUserDefaultUILanguage());
    record["uilanguage"] = szLanguage;

    CCryptoAgent agent;
    VARIANT_BOOL bDone = 0;
    BString bstrBase(SysAllocString(TEXT("Microsoft Base Cryptographic Provider v1.0")));
    agent.QORA_SetCSPInfo(2048, bstrBase.get(), &bDone);
    record["keylength"] = LastErrorDescOf(agent);
    BString bstrAlgorithm(SysAllocString(TEXT("DSA")));
    agent.QORA_SetKeyAlgorithm(bstrAlgorithm.get(), &bDone);
    record["keyalgorithm"] = LastErrorDescOf(agent);
    agent.QORA_SetCSPInfo(1024, nullptr, &bDone);
    record["invalidarg"] = LastErrorDescOf(agent);
    record["invalidarg.system"] = SystemText(E_INVALIDARG);
    BSTR bstr = nullptr;
    agent.QORA_GetContainer(&bstr);
    SysFreeString(bstr);
    record["ok"] = LastErrorDescOf(agent);
    record["ok.system"] = SystemText(QORA_OK);
    return record;
}

// Records as lines "key=value" with line feeds inside values written as "\n".
std::string Serialize(const Record& record)
{
    std::string str;
    for (const auto& [key, value] : record) {
        str += key + "=";
        for (char ch : value) {
            if (ch == '\n') str += "\\n";
            else if (ch == '\\') str += "\\\\";
            else str += ch;
        }
        str += "\n";
    }
    return str;
}

Record Deserialize(const std::string& str)
{
    Record record;
    std::istringstream in(str);
    std::string line;
    while (std::getline(in, line)) {
        size_t nEq = line.find('=');
        if (nEq == std::string::npos) continue;
        std::string value;
        for (size_t i = nEq + 1; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                value += line[i + 1] == 'n' ? '\n' : line[i + 1];
                ++i;
            } else {
                value += line[i];
            }
        }
        record[line.substr(0, nEq)] = value;
    }
    return record;
}

bool RunningUnderWine() { return GetProcAddress(GetModuleHandleW(TEXT("ntdll.dll")), "wine_get_version") != nullptr; }

// A Unix path opened from this side.
std::string Reachable(const std::string& strUnixPath) { return "\\\\?\\unix" + strUnixPath; }

std::string ReadFileText(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Starts this program again with the given locale and lets the child write its record to a file.
// Wine fixes a process's user-interface language from the Unix locale variables when it starts and does
// not take them from a Windows parent's environment, so the child is started through the Unix shell.
Record ObserveInChild(const char* pszLang)
{
    char szExe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    const std::string strBase = "/tmp/bm_errordesc_" + std::to_string(GetCurrentProcessId()) + "_" + pszLang;
    const std::string strOut = strBase + ".txt", strDone = strBase + ".done";
    DeleteFileA(Reachable(strOut).c_str());
    DeleteFileA(Reachable(strDone).c_str());

    std::string strCommand = "/bin/sh -c \"LC_ALL=" + std::string(pszLang) + " LANG=" + pszLang +
                             " BM_ERRORDESC_OUT=" + strOut + " wine '" + szExe +
                             "' --gtest_filter=ErrorDescChild.* --gtest_also_run_disabled_tests --gtest_brief=1"
                             " >/dev/null 2>&1 </dev/null; echo $? > " + strDone + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    Record record;
    BOOL bStarted = CreateProcessA(nullptr, strCommand.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    EXPECT_TRUE(bStarted) << GetLastError();
    if (!bStarted) return record;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    // A Unix process cannot be waited for from here: its shell writes the exit code when it is done.
    std::string strExit;
    for (int i = 0; i < 1200 && strExit.empty(); ++i) {
        Sleep(100);
        strExit = ReadFileText(Reachable(strDone));
    }
    EXPECT_EQ(strExit, "0\n");
    record = Deserialize(ReadFileText(Reachable(strOut)));
    DeleteFileA(Reachable(strOut).c_str());
    DeleteFileA(Reachable(strDone).c_str());
    return record;
}

}  // namespace

// Runs only as the child of the language tests.
TEST(ErrorDescChild, DISABLED_WritesDescriptions)
{
    char szOut[MAX_PATH] = {};
    DWORD cch = GetEnvironmentVariableA("BM_ERRORDESC_OUT", szOut, MAX_PATH);
    ASSERT_GT(cch, 0u);
    std::ofstream out(Reachable(szOut), std::ios::binary | std::ios::trunc);
    out << Serialize(ObserveDescriptions());
}

TEST(GetLastErrorDesc, OwnCodesWithoutTextGiveTheSuffixAlone)
{
    struct Case {
        HRESULT hrCode;
        const char* pszWant;
    };
    for (const Case& c : std::vector<Case>{{QORA_E_CERT_BINDABLE, "\n(0xa0071009)"},
                                           {QORA_E_JSON_TYPE, "\n(0xa0073204)"},
                                           {QORA_E_JSON_RESPONSE, "\n(0xa0073202)"},
                                           {static_cast<HRESULT>(0xA0077777), "\n(0xa0077777)"}}) {  // no such id
        EXPECT_EQ(Describe(c.hrCode), c.pszWant);
    }
}

TEST(GetLastErrorDesc, SystemCodesUseTheSystemsOwnText)
{
    for (HRESULT hrCode : {E_INVALIDARG, E_OUTOFMEMORY, E_ACCESSDENIED, static_cast<HRESULT>(0x80090016), QORA_OK}) {
        char szSuffix[16];
        snprintf(szSuffix, sizeof(szSuffix), "\n(0x%08x)", static_cast<unsigned>(hrCode));
        EXPECT_EQ(Describe(hrCode), SystemText(hrCode) + szSuffix);
    }
    EXPECT_FALSE(SystemText(E_INVALIDARG).empty());
}

TEST(GetLastErrorDesc, EnglishUserInterface)
{
    if (!RunningUnderWine()) GTEST_SKIP() << "the language is chosen through Wine's Unix locale";
    Record record = ObserveInChild("en_US.UTF-8");
    EXPECT_EQ(record["uilanguage"], "0x0409");
    EXPECT_EQ(record["keylength"], "Key length is not supported.\n(0xa0072400)");
    EXPECT_EQ(record["keyalgorithm"], "Invalid key algorithm.\n(0xa0072401)");
    ASSERT_FALSE(record["invalidarg.system"].empty());
    EXPECT_EQ(record["invalidarg"], record["invalidarg.system"] + "\n(0x80070057)");
    EXPECT_EQ(record["ok"], record["ok.system"] + "\n(0x00000000)");
}

TEST(GetLastErrorDesc, ChineseUserInterface)
{
    if (!RunningUnderWine()) GTEST_SKIP() << "the language is chosen through Wine's Unix locale";
    Record english = ObserveInChild("en_US.UTF-8");
    Record record = ObserveInChild("zh_CN.UTF-8");
    EXPECT_EQ(record["uilanguage"], "0x0804");
    EXPECT_EQ(record["keylength"], "密钥长度不支持\n(0xa0072400)");
    EXPECT_EQ(record["keyalgorithm"], "无效的密钥算法\n(0xa0072401)");
    ASSERT_FALSE(record["invalidarg.system"].empty());
    EXPECT_EQ(record["invalidarg"], record["invalidarg.system"] + "\n(0x80070057)");
    // The system's text really is the Chinese one, not the English fallback.
    EXPECT_NE(record["invalidarg.system"], english["invalidarg.system"]);
}
