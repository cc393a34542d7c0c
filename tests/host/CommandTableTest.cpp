// The command table through one request at a time: dispatch, argument counts and types, the agent's codes,
// and settings that carry over to later requests.
#include "host/KestrovanHost.h"
#include "host/nmCryptoAgent.h"
#include "trace/Trace.h"

#include "TakeFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A fresh process-wide agent for each test, as the host has at start.
class CommandTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_pAgent = std::make_unique<CCryptoAgent>();
        g_pobjCryptoAgent = m_pAgent.get();
    }
    void TearDown() override { g_pobjCryptoAgent = nullptr; }

    static std::string Answer(const std::string& strRequest)
    {
        std::string strResponse = "unset";
        EXPECT_EQ(ParseAndRespondRequest(strRequest.c_str(), strResponse), 0);
        return strResponse;
    }

    std::unique_ptr<CCryptoAgent> m_pAgent;
};

struct Exchange {
    std::string strRequest;
    std::string strWant;
};

void ExpectAnswers(const std::vector<Exchange>& exchanges, std::string (*pfnAnswer)(const std::string&))
{
    for (const Exchange& e : exchanges) {
        SCOPED_TRACE(e.strRequest);
        EXPECT_EQ(pfnAnswer(e.strRequest), e.strWant);
    }
}

}  // namespace

TEST_F(CommandTable, VersionHostCheckAndDispatch)
{
    ExpectAnswers(
        {
            {R"({"function":"QORA_GetVersion","params":[],"randomId":"7"})",
             R"({"function":"QORA_GetVersion","errorcode":0,"result":"3.2.0.4","randomId":"7"})"},
            {R"({"function":"qora_getversion","params":[]})", R"({"function":"QORA_GetVersion","errorcode":0,"result":"3.2.0.4"})"},
            {R"({"function":"QORA_GetVersion","params":{}})", R"({"function":"QORA_GetVersion","errorcode":0,"result":"3.2.0.4"})"},
            {R"({"function":"QORA_GetVersion","params":[1]})",
             R"({"function":"QORA_GetVersion","errorcode":-2147024809,"result":false})"},
            {R"({"function":"checkHost","params":5})", R"({"function":"CheckHost","errorcode":0,"result":0})"},
            {R"({"function":"CHECKHOST","params":[1,2,3],"randomId":"r"})",
             R"({"function":"CheckHost","errorcode":0,"result":0,"randomId":"r"})"},
            {R"({"function":"QORA_Nothing","params":[],"randomId":"7"})",
             R"({"function":"QORA_Nothing", "errorcode":-2146893779, "result":false, "randomId":"7"})"},
            {R"({"function":"QORA_GetVersio","params":[]})",
             R"({"function":"QORA_GetVersio", "errorcode":-2146893779, "result":false})"},
            // Commands that later work adds are unknown until then.
            {R"({"function":"QORA_CheckCertificateChain","params":[]})",
             R"({"function":"QORA_CheckCertificateChain", "errorcode":-2146893779, "result":false})"},
            {R"({"function":"QORA_GetAllCertInfo","params":[]})",
             R"({"function":"QORA_GetAllCertInfo","errorcode":-1,"result":false})"},
            {R"({"function":"QORA_GetAllCertInfo","params":[5]})",
             R"({"function":"QORA_GetAllCertInfo","errorcode":-1610141180,"result":false})"},
            {R"({"function":"QORA_GetCSPInfo","params":[1]})",
             R"({"function":"QORA_GetCSPInfo","errorcode":-2147024809,"result":false})"},
            {R"({"function":"QORA_HavePermissiontoGenerateKeyPair","params":["x"]})",
             R"({"function":"QORA_HavePermissiontoGenerateKeyPair","errorcode":-2147024809,"result":false})"},
            {R"({"function":"QORA_GetVersion","randomId":"7"})", R"({"function":"", "errorcode":-2146893779, "result":false})"},
            {R"({"function":"QORA_GetVersion","params":[],"randomId":7})",
             R"({"function":"", "errorcode":-2146893779, "result":false})"},
            {R"({"function":"QORA_GetVersion","params":[],"randomId":""})",
             R"({"function":"QORA_GetVersion","errorcode":0,"result":"3.2.0.4"})"},
        },
        Answer);
}

TEST_F(CommandTable, SettingsCommandsCheckTheirArguments)
{
    ExpectAnswers(
        {
            {R"({"function":"QORA_SetCSPInfo","params":[1024,"Microsoft Base Cryptographic Provider v1.0"]})",
             R"({"function":"QORA_SetCSPInfo","errorcode":0,"result":true})"},
            {R"({"function":"QORA_SetCSPInfo","params":[2048,"Microsoft Base Cryptographic Provider v1.0"]})",
             R"({"function":"QORA_SetCSPInfo","errorcode":-1610144768,"result":false})"},
            {R"({"function":"QORA_SetCSPInfo","params":[1024,"   "]})",
             R"({"function":"QORA_SetCSPInfo","errorcode":-2147024809,"result":false})"},
            {R"({"function":"QORA_SetCSPInfo","params":[1024,"a",3]})", R"({"function":"QORA_SetCSPInfo","errorcode":-1,"result":false})"},
            {R"({"function":"QORA_SetCSPInfo","params":[1024]})", R"({"function":"QORA_SetCSPInfo","errorcode":-1,"result":false})"},
            {R"({"function":"QORA_SetCSPInfo","params":["Microsoft Base Cryptographic Provider v1.0",1024]})",
             R"({"function":"QORA_SetCSPInfo","errorcode":-1610141180,"result":false})"},
            {R"({"function":"QORA_SetCSPInfo","params":[{"param":512},{"param":"Software RSA Token CSP v1.0"}]})",
             R"({"function":"QORA_SetCSPInfo","errorcode":0,"result":true})"},
            // A text cut at a decoded U+0000 would name another CSP than the page sent.
            {R"({"function":"QORA_SetCSPInfo","params":[1024,"Software SM2 Token CSP v1.0\u0000junk"]})",
             R"({"function":"QORA_SetCSPInfo","errorcode":-1610141180,"result":false})"},
            {R"({"function":"QORA_SetKeyAlgorithm","params":["rsa"]})", R"({"function":"QORA_SetKeyAlgorithm","errorcode":0,"result":true})"},
            {R"({"function":"QORA_SetKeyAlgorithm","params":["DSA"]})",
             R"({"function":"QORA_SetKeyAlgorithm","errorcode":-1610144767,"result":false})"},
            {R"({"function":"QORA_SetKeyAlgorithm","params":[2]})",
             R"({"function":"QORA_SetKeyAlgorithm","errorcode":-1610141180,"result":false})"},
            {R"({"function":"QORA_SetKeyAlgorithm","params":[]})", R"({"function":"QORA_SetKeyAlgorithm","errorcode":-1,"result":false})"},
            {R"({"function":"QORA_GetContainer","params":[]})", R"({"function":"QORA_GetContainer","errorcode":0,"result":""})"},
            {R"({"function":"QORA_GetContainer","params":[""]})", R"({"function":"QORA_GetContainer","errorcode":-1,"result":false})"},
            {R"({"function":"GetLastErrorDesc","params":[0]})",
             R"({"function":"GetLastErrorDesc","errorcode":-2147024809,"result":false})"},
        },
        Answer);
}

TEST_F(CommandTable, SettingsHoldForLaterRequests)
{
    Answer(R"({"function":"QORA_SetKeyAlgorithm","params":[" sm2 "]})");
    Answer(R"({"function":"QORA_SetCSPInfo","params":[3072,"  Software SM2 Token CSP v1.0 "]})");
    EXPECT_TRUE(g_pobjCryptoAgent->KeyAlgorithm() == WString(TEXT("sm2")));
    EXPECT_TRUE(g_pobjCryptoAgent->CSPName() == WString(TEXT("Software SM2 Token CSP v1.0")));
    EXPECT_EQ(g_pobjCryptoAgent->KeyLength(), 3072);

    // A refused setting leaves the earlier one in force and its text is there to ask for.
    Answer(R"({"function":"QORA_SetCSPInfo","params":[2048,"Microsoft Base Cryptographic Provider v1.0"]})");
    EXPECT_TRUE(g_pobjCryptoAgent->CSPName() == WString(TEXT("Software SM2 Token CSP v1.0")));
    BSTR bstrDesc = nullptr;
    ASSERT_EQ(CCryptoAgent::DescribeResultCode(QORA_E_KEY_LENGTH, &bstrDesc), QORA_OK);
    BString owner(bstrDesc);
    std::string strDesc;
    int cb = WideCharToMultiByte(CP_UTF8, 0, bstrDesc, -1, nullptr, 0, nullptr, nullptr);
    strDesc.resize(static_cast<size_t>(cb) - 1);
    WideCharToMultiByte(CP_UTF8, 0, bstrDesc, -1, strDesc.data(), cb, nullptr, nullptr);
    EXPECT_NE(strDesc.find("(0xa0072400)"), std::string::npos);

    JsonPtr pWant(cJSON_CreateObject());
    cJSON_AddStringToObject(pWant.get(), "function", "GetLastErrorDesc");
    cJSON_AddNumberToObject(pWant.get(), "errorcode", 0);
    cJSON_AddStringToObject(pWant.get(), "result", strDesc.c_str());
    char* pszWant = cJSON_PrintUnformatted(pWant.get());
    const std::string strWant = pszWant;
    cJSON_free(pszWant);
    EXPECT_EQ(Answer(R"({"function":"GetLastErrorDesc","params":[]})"), strWant);
    EXPECT_EQ(Answer(R"({"function":"GetLastErrorDesc","params":[]})"), strWant);  // asking does not change it
}

TEST_F(CommandTable, InvokeAnswersUnknownNamesWithoutAResponseObject)
{
    JsonPtr pArgs(cJSON_Parse("[]"));
    JsonPtr pResponse;
    EXPECT_EQ(Invoke(pResponse, "QORA_NoSuchCommand", pArgs.get()), -1);
    EXPECT_EQ(pResponse, nullptr);
    EXPECT_EQ(Invoke(pResponse, "", pArgs.get()), -1);
    EXPECT_EQ(Invoke(pResponse, "QORA_GetVersion", pArgs.get()), 0);
    EXPECT_NE(pResponse, nullptr);
}

TEST_F(CommandTable, RequestCommandsReadTheirArgumentsInOrder)
{
    ExpectAnswers(
        {
            {R"({"function":"QORA_PKCS10CertRequisition","params":["CN=a",1]})",
             R"({"function":"QORA_PKCS10CertRequisition","errorcode":-1,"result":false})"},
            {R"({"function":"QORA_PKCS10CertRequisitionwithMD5","params":["CN=a",1,0,0]})",
             R"({"function":"QORA_PKCS10CertRequisitionwithMD5","errorcode":-1,"result":false})"},
            // Position 0 must be a text, positions 1 and 2 numbers; the first wrong one is reported.
            {R"({"function":"QORA_PKCS10CertRequisition","params":[5,1,0]})",
             R"({"function":"QORA_PKCS10CertRequisition","errorcode":-1610141180,"result":false})"},
            {R"({"function":"QORA_PKCS10CertRequisition","params":["CN=a","1","x"]})",
             R"({"function":"QORA_PKCS10CertRequisition","errorcode":-1610141180,"result":false})"},
            {R"({"function":"qora_pkcs10certrequisitionwithmd5","params":[{"param":"CN=a"},1,{"param":"0"}],"randomId":"9"})",
             R"({"function":"QORA_PKCS10CertRequisitionwithMD5","errorcode":-1610141180,"result":false,"randomId":"9"})"},
            {R"({"function":"QORA_PKCS10CertRequisition","params":["CN=a\u0000,O=b",1,0]})",
             R"({"function":"QORA_PKCS10CertRequisition","errorcode":-1610141180,"result":false})"},
            // No key algorithm yet: the agent refuses, and the empty request text is not sent.
            {R"({"function":"QORA_PKCS10CertRequisition","params":["CN=a",1,0]})",
             R"({"function":"QORA_PKCS10CertRequisition","errorcode":-1610144767,"result":false})"},
            {R"({"function":"QORA_SetKeyAlgorithm","params":["SM2"]})",
             R"({"function":"QORA_SetKeyAlgorithm","errorcode":0,"result":true})"},
            {R"({"function":"QORA_PKCS10CertRequisitionwithMD5","params":["CN=a",1,0]})",
             R"({"function":"QORA_PKCS10CertRequisitionwithMD5","errorcode":-1610144767,"result":false})"},
        },
        Answer);
}

TEST_F(CommandTable, RequestCommandAnswersTheRequestTextAndLeavesTheContainer)
{
    ExpectAnswers(
        {
            {R"({"function":"QORA_SetKeyAlgorithm","params":["RSA"]})",
             R"({"function":"QORA_SetKeyAlgorithm","errorcode":0,"result":true})"},
            {R"({"function":"QORA_SetCSPInfo","params":[512,"Microsoft Base Cryptographic Provider v1.0"]})",
             R"({"function":"QORA_SetCSPInfo","errorcode":0,"result":true})"},
        },
        Answer);
    JsonPtr pResponse(cJSON_Parse(Answer(R"({"function":"QORA_PKCS10CertRequisition","params":["CN=a",1,0]})").c_str()));
    ASSERT_NE(pResponse, nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(pResponse.get(), "errorcode")->valueint, 0);
    const cJSON* pResult = cJSON_GetObjectItem(pResponse.get(), "result");
    ASSERT_TRUE(cJSON_IsString(pResult));
    const std::string strRequest = pResult->valuestring;
    ASSERT_GT(strRequest.size(), 66u);
    EXPECT_EQ(strRequest.substr(64, 2), "\r\n");

    JsonPtr pContainer(cJSON_Parse(Answer(R"({"function":"QORA_GetContainer","params":[]})").c_str()));
    ASSERT_NE(pContainer, nullptr);
    const std::string strContainer = cJSON_GetObjectItem(pContainer.get(), "result")->valuestring;
    EXPECT_EQ(strContainer.size(), 38u);
    WCHAR wszContainer[64] = {};
    MultiByteToWideChar(CP_UTF8, 0, strContainer.c_str(), -1, wszContainer, 64);
    HCRYPTPROV hProv = 0;
    EXPECT_TRUE(CryptAcquireContextW(&hProv, wszContainer, TEXT("Microsoft Base Cryptographic Provider v1.0"),
                                     PROV_RSA_FULL, CRYPT_DELETEKEYSET))
        << "the container named by QORA_GetContainer exists";
}

namespace {

// A row's case: the request, and the errorcode that refuses it before the agent is asked, or 0 when the
// arguments are well formed and the answer is the agent's own.
struct ImportCase {
    const char* pszFunction;
    std::string strParams;
    long lRefused;
};

std::string AnswerOf(const char* pszFunction, long lErrorCode)
{
    return std::string(R"({"function":")") + pszFunction + R"(","errorcode":)" + std::to_string(lErrorCode) +
           R"(,"result":false})";
}

// Failure lines written while fn runs, from the file sink.
template <typename Fn>
std::string TracedFailures(Fn fn)
{
    char szTemp[MAX_PATH] = {}, szTrace[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, szTemp);
    GetTempFileNameA(szTemp, "bmc", 0, szTrace);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", szTrace);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", "0x3");
    TraceInitialize();
    fn();
    TraceUninitialize();
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", nullptr);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", nullptr);
    return TakeFile(szTrace);
}

// The wrappers' failure lines, "FAILED <code> [nmCryptoAgent(<line>):] <function> - <step> [Reason:<reason>]".
std::vector<std::string> WrapperFailures(const std::string& strTrace)
{
    std::vector<std::string> vecLines;
    std::istringstream in(strTrace);
    for (std::string strLine; std::getline(in, strLine);) {
        if (strLine.find("[nmCryptoAgent(") != std::string::npos) vecLines.push_back(strLine);
    }
    return vecLines;
}

std::string Hex(long lCode)
{
    char sz[16];
    snprintf(sz, sizeof(sz), "0x%08lx", static_cast<unsigned long>(lCode));
    return sz;
}

}  // namespace

// Counts and kinds are refused with the row's codes before the agent is asked; a well-formed call is answered with
// the agent's own code (these texts are no certificates, so a failure) and "result": false.
TEST_F(CommandTable, ImportCommandsReadTheirArgumentsInOrder)
{
    const char* const kSign = "QORA_ImportSignCert";
    const char* const kEncrypt = "QORA_ImportEncryptCert";
    const long kWrongType = -1610141180;
    for (const ImportCase& c : std::vector<ImportCase>{
             {kSign, "[]", -1},
             {kSign, R"([1,"cert"])", -1},
             {kSign, R"([1,"cert","c",0])", -1},
             {kSign, R"("1,cert,c")", -1},
             // Position 0 is the certificate type, a number; the text positions take no numbers.
             {kSign, R"(["cert",1,"c"])", kWrongType},
             {kSign, R"([1,2,"c"])", kWrongType},
             {kSign, R"([1,"cert",3])", kWrongType},
             {kSign, R"([{"value":1},"cert","c"])", kWrongType},
             {kSign, R"([1,"cert","c"])", 0},
             {kSign, R"([{"param":2},{"param":"cert"},{"param":" c "}])", 0},
             {kSign, R"({"t":1,"s":"cert","c":"c"})", 0},
             {kEncrypt, R"(["k","p7","c"])", -1},
             {kEncrypt, R"(["k","p7","c",0,0])", -1},
             {kEncrypt, "{}", -1},
             {kEncrypt, R"([1,"p7","c",0])", kWrongType},
             {kEncrypt, R"(["k",{"param":1},"c",0])", kWrongType},
             {kEncrypt, R"(["k","p7",null,0])", kWrongType},
             {kEncrypt, R"(["k","p7","c","0"])", kWrongType},
             {kEncrypt, R"(["k","p7","c",0])", 0},
             // Empty texts are the agent's to refuse.
             {kEncrypt, R"(["","","",1])", 0},
             {kEncrypt, R"([{"param":"k"},"p7","c",-2147483648])", 0},
         }) {
        const std::string strRequest = std::string(R"({"function":")") + c.pszFunction + R"(","params":)" + c.strParams + "}";
        SCOPED_TRACE(strRequest);
        // A refused setting leaves a known last result, which only a call that reaches the agent replaces.
        Answer(R"({"function":"QORA_SetKeyAlgorithm","params":["DSA"]})");
        const HRESULT hrBefore = m_pAgent->LastResult();
        const std::string strAnswer = Answer(strRequest);
        if (c.lRefused != 0) {
            EXPECT_EQ(strAnswer, AnswerOf(c.pszFunction, c.lRefused));
            EXPECT_EQ(m_pAgent->LastResult(), hrBefore) << "the agent was asked";
        } else {
            EXPECT_NE(m_pAgent->LastResult(), hrBefore) << "the agent was not asked";
            EXPECT_LT(m_pAgent->LastResult(), 0);
            EXPECT_EQ(strAnswer, AnswerOf(c.pszFunction, m_pAgent->LastResult()));
        }
    }
}

// The reader traces under the wrapper's name with the row's argument names; the first failure is the only one.
TEST_F(CommandTable, ArgumentFailuresAreTracedWithTheRowsNames)
{
    struct TraceCase {
        std::string strRequest;
        long lCode;                  // 0: the agent's last result
        std::string strStepAndReason;
    };
    for (const TraceCase& c : std::vector<TraceCase>{
             {R"({"function":"QORA_ImportEncryptCert","params":[1,"p7",2,"x"]})", -1610141180,
              "nmQORA_ImportEncryptCert - ConverJSONArrayItemtoNULLEndString(EncryptedPrivateKey) [Reason:QORA_OK != nResult]"},
             {R"({"function":"QORA_ImportEncryptCert","params":["k","p7","c","0"]})", -1610141180,
              "nmQORA_ImportEncryptCert - ConverJSONArrayItemtoint(nEncryptCertPrivateKeyFlags) [Reason:QORA_OK != nResult]"},
             {R"({"function":"QORA_ImportEncryptCert","params":["k","p7","c",0]})", 0,
              "nmQORA_ImportEncryptCert - pobjCryptoAgent->QORA_ImportEncryptCert [Reason:FAILED(hResult)]"},
             {R"({"function":"QORA_ImportSignCert","params":["c",1,"x"]})", -1610141180,
              "nmQORA_ImportSignCert - ConverJSONArrayItemtoint(nCertType) [Reason:QORA_OK != nResult]"},
             {R"({"function":"QORA_ImportSignCert","params":[1,"c"]})", -1,
              "nmQORA_ImportSignCert - Check parameter(Args count) [Reason:3 != nArgsCount]"},
             {R"({"function":"QORA_ImportSignCert","params":[1,"c","x"]})", 0,
              "nmQORA_ImportSignCert - pobjCryptoAgent->QORA_ImportSignCert [Reason:FAILED(hResult)]"},
             {R"({"function":"QORA_SetCSPInfo","params":[1024]})", -1,
              "nmQORA_SetCSPInfo - Check parameter(Args count) [Reason:2 != nArgsCount]"},
             {R"({"function":"QORA_GetVersion","params":[0]})", static_cast<long>(E_INVALIDARG),
              "nmQORA_GetVersion - Check parameter(Args count) [Reason:0 != nArgsCount]"},
         }) {
        SCOPED_TRACE(c.strRequest);
        const std::string strTrace = TracedFailures([&] { Answer(c.strRequest); });
        const std::vector<std::string> vecLines = WrapperFailures(strTrace);
        ASSERT_EQ(vecLines.size(), 1u) << strTrace;
        const long lCode = c.lCode != 0 ? c.lCode : static_cast<long>(m_pAgent->LastResult());
        EXPECT_NE(vecLines[0].find(" FAILED " + Hex(lCode) + " [nmCryptoAgent("), std::string::npos) << vecLines[0];
        const std::string strTail = "):] " + c.strStepAndReason;
        EXPECT_EQ(vecLines[0].substr(vecLines[0].size() - std::min(vecLines[0].size(), strTail.size())), strTail);
    }
}

TEST_F(CommandTable, ProviderListAndPermissionProbeAnswerTheAgentsValues)
{
    const std::string strList = Answer(R"({"function":"qora_getcspinfo","params":[]})");
    EXPECT_EQ(strList.rfind(R"({"function":"QORA_GetCSPInfo","errorcode":0,"result":")", 0), 0u) << strList;
    EXPECT_NE(strList.find("Microsoft Base Cryptographic Provider v1.0||"), std::string::npos) << strList;
    EXPECT_EQ(Answer(R"({"function":"QORA_HavePermissiontoGenerateKeyPair","params":[],"randomId":"p"})"),
              R"({"function":"QORA_HavePermissiontoGenerateKeyPair","errorcode":0,"result":true,"randomId":"p"})");
}
