// The request and response envelope: taking requests apart, reading arguments, response bytes and the fixed
// error texts.
#include "host/JSONUtility.h"

#include "ResultCode.h"
#include "trace/Trace.h"

#include "TakeFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Printed(const cJSON* pJson)
{
    if (pJson == nullptr) return "<none>";
    char* psz = cJSON_PrintUnformatted(pJson);
    std::string str = psz != nullptr ? psz : "<print failed>";
    cJSON_free(psz);
    return str;
}

std::string Response(const char* pszName, int nErrorCode, int nKind, const void* pValue, const char* pszToken)
{
    JsonPtr pResponse;
    EXPECT_EQ(ConstructResponseJSON(pResponse, pszName, nErrorCode, nKind, pValue), 0);
    std::string strOut = "unset";
    EXPECT_EQ(ConvertJSONToResponseMsg(pszName, pszToken, pResponse.get(), &strOut), 0);
    return strOut;
}

std::string FixedText(const char* pszName, const char* pszToken)
{
    std::string strOut = "unset";
    EXPECT_EQ(ConvertJSONToResponseMsg(pszName, pszToken, nullptr, &strOut), 0);
    return strOut;
}

// The trace file written while pfnBody runs with every flag enabled.
std::string TraceOf(void (*pfnBody)(const char*, int, bool), const char* pszArgs, int nIndex, bool bText)
{
    char szTemp[MAX_PATH] = {}, szTrace[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, szTemp);
    GetTempFileNameA(szTemp, "bmj", 0, szTrace);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", szTrace);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", "0xF");
    TraceInitialize();
    pfnBody(pszArgs, nIndex, bText);
    TraceUninitialize();
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", nullptr);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", nullptr);
    return TakeFile(szTrace);
}

// The arguments as a request carries them, beside envelope strings that decode U+0000 and are no arguments.
JsonPtr ArgumentsOf(const char* pszArgs)
{
    const std::string strRequest = std::string(R"({"function":"f\u0000","randomId":"\u0000","params":)") + pszArgs + "}";
    JsonPtr pArgs;
    EXPECT_EQ(ParseRequestMsgToJSON(strRequest.c_str(), nullptr, &pArgs, nullptr), 0) << strRequest;
    return pArgs;
}

void ReadArgument(const char* pszArgs, int nIndex, bool bText)
{
    JsonPtr pArgs = ArgumentsOf(pszArgs);
    ASSERT_NE(pArgs, nullptr);
    std::string str;
    int n = 0;
    EXPECT_NE(bText ? ConverJSONArrayItemtoNULLEndString(pArgs.get(), nIndex, str)
                    : ConverJSONArrayItemtoint(pArgs.get(), nIndex, n),
              0);
}

}  // namespace

TEST(ParseRequestMsgToJSON, TakesRequestsApart)
{
    struct Case {
        const char* pszRequest;
        int nWant;
        std::string strName, strToken, strParams;  // on success
    };
    for (const Case& c : std::vector<Case>{
             {R"({"function":"QORA_GetVersion","params":[],"randomId":"7"})", 0, "QORA_GetVersion", "7", "[]"},
             {R"({"FUNCTION":"x","Params":[1,{"param":"a"}]})", 0, "x", "", R"([1,{"param":"a"}])"},
             {R"({"function":"x","params":"abc","randomId":""})", 0, "x", "", R"("abc")"},
             {R"({"function":"x","params":{},"extra":true})", 0, "x", "", "{}"},
             {R"({"function":"a\"b","params":[]})", 0, "a\"b", "", "[]"},
             {"", 87, "", "", ""},
             {"not json", -1, "", "", ""},
             {R"({"params":[]})", -1, "", "", ""},
             {R"({"function":5,"params":[]})", -1, "", "", ""},
             {R"({"function":"x","randomId":"7"})", -1, "", "", ""},
             {R"({"function":"x","params":[],"randomId":7})", -1, "", "", ""},
             {R"(["function","params"])", -1, "", "", ""},
         }) {
        SCOPED_TRACE(c.pszRequest);
        std::string strName = "keep", strToken = "keep";
        JsonPtr pParams;
        EXPECT_EQ(ParseRequestMsgToJSON(c.pszRequest, &strName, &pParams, &strToken), c.nWant);
        if (c.nWant == 0) {
            EXPECT_EQ(strName, c.strName);
            EXPECT_EQ(strToken, c.strToken);
            EXPECT_EQ(Printed(pParams.get()), c.strParams);
        } else {
            // Neither name nor token leaves a failed request: the answer is the token-less fixed text.
            EXPECT_EQ(strName, "keep");
            EXPECT_EQ(strToken, "keep");
            EXPECT_EQ(pParams, nullptr);
        }
    }
    EXPECT_EQ(ParseRequestMsgToJSON(nullptr, nullptr, nullptr, nullptr), 87);
    EXPECT_EQ(ParseRequestMsgToJSON(R"({"function":"x","params":[]})", nullptr, nullptr, nullptr), 0);
}

TEST(ConverJSONArrayItem, ReadsTextsAndIntegersByTheirOwnTypeOnly)
{
    struct Case {
        const char* pszArgs;  // nullptr: arguments absent
        int nIndex;
        bool bText;
        int nWant;
        std::string strWant;  // text, or the integer in decimal
    };
    for (const Case& c : std::vector<Case>{
             {R"(["abc"])", 0, true, 0, "abc"},
             {R"([{"param":"abc"}])", 0, true, 0, "abc"},
             {R"([{"PARAM":"abc"}])", 0, true, 0, "abc"},
             {R"([""])", 0, true, 0, ""},
             {R"([1,"x"])", 1, true, 0, "x"},
             {R"([5])", 0, true, static_cast<int>(QORA_E_JSON_TYPE), ""},
             {R"([null])", 0, true, static_cast<int>(QORA_E_JSON_TYPE), ""},
             {R"([{"other":"abc"}])", 0, true, static_cast<int>(QORA_E_JSON_TYPE), ""},
             {R"([{"param":5}])", 0, true, static_cast<int>(QORA_E_JSON_TYPE), ""},
             {R"(["a","b"])", 2, true, 87, ""},
             // cJSON hands over C strings: a text that decodes U+0000 would arrive cut short.
             {R"(["CN=a\u0000,O=b"])", 0, true, static_cast<int>(QORA_E_JSON_TYPE), ""},
             {R"([{"param":"Software SM2 Token CSP v1.0\u0000junk"}])", 0, true, static_cast<int>(QORA_E_JSON_TYPE), ""},
             {R"(["ok",{"PARAM":"a\"\\\u0000"}])", 1, true, static_cast<int>(QORA_E_JSON_TYPE), ""},
             {R"(["ok","\u0000"])", 0, true, 0, "ok"},
             {R"([[],{"k\u0000":"\u0000","param":"ok"}])", 1, true, 0, "ok"},
             {R"(["\u00e9\u4E2D\u0001\\u0000"])", 0, true, 0, "\xC3\xA9\xE4\xB8\xAD\x01\\u0000"},
             {R"([])", 0, true, 87, ""},
             {R"(["a"])", -1, true, 87, ""},
             {nullptr, 0, true, 87, ""},
             {R"([5])", 0, false, 0, "5"},
             {R"([{"param":7}])", 0, false, 0, "7"},
             {R"([5.9])", 0, false, 0, "5"},
             {R"([-5.9])", 0, false, 0, "-5"},
             {R"([-2147483648])", 0, false, 0, "-2147483648"},
             {R"(["5"])", 0, false, static_cast<int>(QORA_E_JSON_TYPE), ""},
             {R"([true])", 0, false, static_cast<int>(QORA_E_JSON_TYPE), ""},
             {R"([1,2])", 2, false, 87, ""},
             {R"("no children")", 0, false, 87, ""},
         }) {
        SCOPED_TRACE(std::string(c.pszArgs != nullptr ? c.pszArgs : "<absent>") + " #" + std::to_string(c.nIndex));
        JsonPtr pArgs(c.pszArgs != nullptr ? ArgumentsOf(c.pszArgs) : nullptr);
        if (c.pszArgs != nullptr) {
            ASSERT_NE(pArgs, nullptr);
        }
        if (c.bText) {
            std::string str = "unset";
            EXPECT_EQ(ConverJSONArrayItemtoNULLEndString(pArgs.get(), c.nIndex, str), c.nWant);
            if (c.nWant == 0) {
                EXPECT_EQ(str, c.strWant);
            }
        } else {
            int n = 424242;
            EXPECT_EQ(ConverJSONArrayItemtoint(pArgs.get(), c.nIndex, n), c.nWant);
            if (c.nWant == 0) {
                EXPECT_EQ(std::to_string(n), c.strWant);
            }
        }
    }
}

TEST(ScrubUtf8, EachIllFormedSubpartBecomesOneReplacement)
{
    const std::string R = "\xEF\xBF\xBD";
    const std::string strValid = "QORA \xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBD\xED\x9F\xBF\xF4\x8F\xBF\xBF";
    for (const auto& [strIn, strWant] : std::vector<std::pair<std::string, std::string>>{
             {strValid, strValid},
             {"", ""},
             {"a\x80" "b\xFE", "a" + R + "b" + R},
             {"\xC0\x80\xE0\x80\xAF\xF0\x8F\xBF\xBF", R + R + R + R + R + R + R + R + R},  // overlongs
             {"\xED\xA0\x80" "x", R + R + R + "x"},                                       // surrogate D800
             {"\xF4\x90\x80\x80\xF5\x80", R + R + R + R + R + R},                          // above U+10FFFF
             {"\xE4\xB8" "a\xF0\x9F\x98", R + "a" + R},                                   // cut sequences
             {"a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d", "a" + R + R + R + "b" + R + "c" + R + R + "d"},
         }) {
        SCOPED_TRACE(testing::PrintToString(strIn));
        EXPECT_EQ(ScrubUtf8(strIn), strWant);
    }
}

TEST(ConvertJSONToResponseMsg, EchoedTextsLeaveAsUtf8)
{
    const std::string R = "\xEF\xBF\xBD";
    EXPECT_EQ(FixedText("QORA_\xFF", "\xC0\x80" "7"),
              R"({"function":"QORA_)" + R + R"(", "errorcode":-2146893779, "result":false, "randomId":")" + R + R + "7\"}");
    EXPECT_EQ(Response("QORA_GetVersion", 0, JSON_VALUE_TEXT, "3.2.0.4", "\xED\xA0\x80" "7"),
              R"({"function":"QORA_GetVersion","errorcode":0,"result":"3.2.0.4","randomId":")" + R + R + R + "7\"}");
}

TEST(ConstructResponseJSON, ResponseBytes)
{
    const BYTE byTrue = 1, byFalse = 0, byOther = 0x80;
    const INT32 nZero = 0, nNegative = -7;
    const double dHalf = 1.5;
    struct Case {
        const char* pszName;
        int nErrorCode;
        int nKind;
        const void* pValue;
        const char* pszToken;
        std::string strWant;
    };
    for (const Case& c : std::vector<Case>{
             {"QORA_GetVersion", 0, JSON_VALUE_TEXT, "3.2.0.4", "7",
              R"({"function":"QORA_GetVersion","errorcode":0,"result":"3.2.0.4","randomId":"7"})"},
             {"CheckHost", 0, JSON_VALUE_INT, &nZero, "", R"({"function":"CheckHost","errorcode":0,"result":0})"},
             {"X", 0, JSON_VALUE_INT, &nNegative, nullptr, R"({"function":"X","errorcode":0,"result":-7})"},
             {"X", 0, JSON_VALUE_TRUE, &byTrue, nullptr, R"({"function":"X","errorcode":0,"result":true})"},
             {"X", 0, JSON_VALUE_FALSE, &byFalse, nullptr, R"({"function":"X","errorcode":0,"result":false})"},
             {"X", 0, JSON_VALUE_FALSE, &byOther, nullptr, R"({"function":"X","errorcode":0,"result":true})"},
             {"X", 0, JSON_VALUE_DOUBLE, &dHalf, nullptr, R"({"function":"X","errorcode":0,"result":1.5})"},
             {"X", 0, JSON_VALUE_TEXT, "a\"\n", nullptr, R"({"function":"X","errorcode":0,"result":"a\"\n"})"},
             {"X", 0, JSON_VALUE_TEXT, nullptr, "t", R"({"function":"X","errorcode":0,"randomId":"t"})"},
             {"X", static_cast<int>(E_INVALIDARG), JSON_VALUE_TEXT, "v", "",
              R"({"function":"X","errorcode":-2147024809,"result":false})"},
             {"X", static_cast<int>(QORA_E_JSON_TYPE), JSON_VALUE_TRUE, &byTrue, "",
              R"({"function":"X","errorcode":-1610141180,"result":false})"},
             {"X", -1, JSON_VALUE_TEXT, nullptr, "", R"({"function":"X","errorcode":-1,"result":false})"},
             {"X", 87, JSON_VALUE_TEXT, "v", "", R"({"function":"X","errorcode":87,"result":false})"},
         }) {
        SCOPED_TRACE(c.strWant);
        EXPECT_EQ(Response(c.pszName, c.nErrorCode, c.nKind, c.pValue, c.pszToken), c.strWant);
    }
}

TEST(ConstructResponseJSON, RefusesEmptyNamesAndUnknownKinds)
{
    const INT32 nValue = 1;
    for (const char* pszName : {static_cast<const char*>(nullptr), ""}) {
        JsonPtr pResponse;
        EXPECT_EQ(ConstructResponseJSON(pResponse, pszName, 0, JSON_VALUE_INT, &nValue), 87);
        EXPECT_EQ(pResponse, nullptr);
    }
    for (int nKind : {2, 5, 6, 8, -1}) {
        JsonPtr pResponse;
        EXPECT_EQ(ConstructResponseJSON(pResponse, "X", 0, nKind, &nValue), -1);
        EXPECT_EQ(pResponse, nullptr);
    }
}

TEST(ConvertJSONToResponseMsg, FixedErrorTexts)
{
    struct Case {
        const char* pszName;
        const char* pszToken;
        std::string strWant;
    };
    for (const Case& c : std::vector<Case>{
             {"QORA_Unknown", "7",
              R"({"function":"QORA_Unknown", "errorcode":-2146893779, "result":false, "randomId":"7"})"},
             {"QORA_Unknown", "", R"({"function":"QORA_Unknown", "errorcode":-2146893779, "result":false})"},
             {"", "", R"({"function":"", "errorcode":-2146893779, "result":false})"},
             {nullptr, nullptr, R"({"function":"", "errorcode":-2146893779, "result":false})"},
             {"a\"b\\c", "t\"", R"({"function":"a\"b\\c", "errorcode":-2146893779, "result":false, "randomId":"t\""})"},
             {"x\n\x01", "", R"({"function":"x\n\u0001", "errorcode":-2146893779, "result":false})"},
         }) {
        SCOPED_TRACE(c.strWant);
        const std::string strGot = FixedText(c.pszName, c.pszToken);
        EXPECT_EQ(strGot, c.strWant);
        // Whatever the page sent, the answer is JSON that gives the name and token back unchanged.
        JsonPtr pParsed(cJSON_Parse(strGot.c_str()));
        ASSERT_NE(pParsed, nullptr);
        EXPECT_STREQ(cJSON_GetObjectItem(pParsed.get(), "function")->valuestring, c.pszName ? c.pszName : "");
        EXPECT_EQ(cJSON_GetObjectItem(pParsed.get(), "errorcode")->valuedouble, -2146893779.0);
    }
}

TEST(ConverJSONArrayItem, RefusalsAreTracedWithTheirCodeAndReason)
{
    struct Case {
        const char* pszArgs;
        int nIndex;
        bool bText;
        std::string strWant;  // the end of the failure line
    };
    for (const Case& c : std::vector<Case>{
             {R"([{"other":"abc"}])", 0, true, "--Failed:(0xa0073204) [Reason:NULL == pszJSONItem]"},
             {R"([{"other":1}])", 0, false, "--Failed:(0xa0073204) [Reason:NULL == pszJSONItem]"},
             {R"([{"param":null}])", 0, true, "--Failed:(0xa0073204) [Reason:cJSON_String != nItemType]"},
             {R"(["5"])", 0, false, "--Failed:(0xa0073204) [Reason:(cJSON_Number != nItemType)]"},
             {R"(["a\u0000b"])", 0, true, "--Failed:(0xa0073204) [Reason:cJSON_String != nItemType]"},
             {R"(["a"])", 1, true, "--Failed:(0x00000057) [Reason:(0 == nCount || nCount <= nIndex)]"},
         }) {
        SCOPED_TRACE(c.pszArgs);
        const std::string strTrace = TraceOf(ReadArgument, c.pszArgs, c.nIndex, c.bText);
        EXPECT_NE(strTrace.find(c.strWant), std::string::npos) << strTrace;
    }
}

TEST(JsonBlocks, LargeAndManyBlocksSurviveParseCopyAndPrint)
{
    // Blocks of every size class and beyond, and more freed blocks than the cache keeps.
    std::string strParams = "[\"" + std::string(100000, 'x') + "\"";
    for (int i = 0; i < 5000; ++i) strParams += ",{\"param\":\"" + std::string(static_cast<size_t>(i % 300), 'a') + "\"}";
    strParams += "]";
    const std::string strRequest = "{\"function\":\"QORA_GetVersion\",\"params\":" + strParams + ",\"randomId\":\"r\"}";
    for (int nRound = 0; nRound < 3; ++nRound) {
        std::string strFuncName, strRandomId;
        JsonPtr pParams;
        ASSERT_EQ(ParseRequestMsgToJSON(strRequest.c_str(), &strFuncName, &pParams, &strRandomId), 0);
        ASSERT_EQ(cJSON_GetArraySize(pParams.get()), 5001);
        std::string strFirst;
        ASSERT_EQ(ConverJSONArrayItemtoNULLEndString(pParams.get(), 0, strFirst), 0);
        EXPECT_EQ(strFirst.size(), 100000u);
        std::string strLast;
        ASSERT_EQ(ConverJSONArrayItemtoNULLEndString(pParams.get(), 5000, strLast), 0);
        EXPECT_EQ(strLast, std::string(4999 % 300, 'a'));
        char* pszPrinted = cJSON_PrintUnformatted(pParams.get());
        ASSERT_NE(pszPrinted, nullptr);
        EXPECT_EQ(std::string(pszPrinted), strParams);
        cJSON_free(pszPrinted);
    }
}
