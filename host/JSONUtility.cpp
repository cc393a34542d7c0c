// host/JSONUtility.cpp — request and response envelope with cJSON.
#include "host/JSONUtility.h"

#include "ResultCode.h"
#include "host/HostTrace.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// cJSON takes and gives back some thirty small blocks per request, and the platform heap makes that the
// largest share of a round trip. Freed blocks of the usual sizes are kept per size class and handed out
// again; the cache is bounded, larger blocks go straight to the heap. The host and the plug-in call cJSON
// from one thread only.
class JsonBlockCache {
public:
    static void* Allocate(size_t cb)
    {
        const int nClass = ClassOf(cb);
        if (nClass >= 0 && s_apFree[nClass] != nullptr) {
            Header* pHeader = s_apFree[nClass];
            s_apFree[nClass] = pHeader->pNext;
            --s_anCached[nClass];
            pHeader->nClass = nClass;
            return pHeader + 1;
        }
        const size_t cbBlock = nClass >= 0 ? kClassSizes[nClass] : cb;
        if (cbBlock > SIZE_MAX - sizeof(Header)) return nullptr;
        Header* pHeader = static_cast<Header*>(malloc(sizeof(Header) + cbBlock));
        if (pHeader == nullptr) return nullptr;
        pHeader->nClass = nClass;
        return pHeader + 1;
    }

    static void Free(void* pv)
    {
        if (pv == nullptr) return;
        Header* pHeader = static_cast<Header*>(pv) - 1;
        const int nClass = pHeader->nClass;
        if (nClass < 0 || s_anCached[nClass] >= kMaxCachedPerClass) {
            free(pHeader);
            return;
        }
        pHeader->pNext = s_apFree[nClass];
        s_apFree[nClass] = pHeader;
        ++s_anCached[nClass];
    }

private:
    // Sized and aligned so that the block behind it suits any cJSON member (pointers and doubles).
    union Header {
        int nClass;         // while handed out: the size class, -1 for a block of its own size
        Header* pNext;      // while cached: the next free block of the class
        max_align_t align;
    };
    static constexpr size_t kClassSizes[] = {32, 64, 128, 256};
    static constexpr int kClassCount = 4;
    static constexpr size_t kMaxCachedPerClass = 1024;

    static int ClassOf(size_t cb)
    {
        for (int i = 0; i < kClassCount; ++i)
            if (cb <= kClassSizes[i]) return i;
        return -1;
    }

    static inline Header* s_apFree[kClassCount] = {};
    static inline size_t s_anCached[kClassCount] = {};
};

// Installed before main runs, so that no cJSON block is ever taken from one allocator and given to the other.
const bool g_bJsonHooksInstalled = [] {
    cJSON_Hooks hooks = {JsonBlockCache::Allocate, JsonBlockCache::Free};
    cJSON_InitHooks(&hooks);
    return true;
}();

constexpr int kMissingInput = 87;
constexpr int kBadRequest = -1;

const char kFixedTextWithToken[] = "{\"function\":\"%s\", \"errorcode\":%d, \"result\":false, \"randomId\":\"%s\"}";
const char kFixedTextWithoutToken[] = "{\"function\":\"%s\", \"errorcode\":%d, \"result\":false}";

struct PrintedDeleter {
    void operator()(char* psz) const { cJSON_free(psz); }
};

// The page's function name and token go into the fixed texts as JSON string contents, so that a quotation
// mark, a backslash or a control character in them cannot break the answer.
std::string EscapeJsonText(const char* psz)
{
    std::string str;
    if (psz == nullptr) return str;
    for (const char* p = psz; *p != 0; ++p) {
        const unsigned char ch = static_cast<unsigned char>(*p);
        switch (ch) {
        case '"': str += "\\\""; break;
        case '\\': str += "\\\\"; break;
        case '\b': str += "\\b"; break;
        case '\f': str += "\\f"; break;
        case '\n': str += "\\n"; break;
        case '\r': str += "\\r"; break;
        case '\t': str += "\\t"; break;
        default:
            if (ch < 0x20) {
                char szEscape[8];
                snprintf(szEscape, sizeof(szEscape), "\\u%04x", ch);
                str += szEscape;
            } else {
                str += static_cast<char>(ch);
            }
        }
    }
    return str;
}

// Length (1 to 4) of the well-formed UTF-8 sequence that opens sv, which is not empty, or 0 when none does;
// then cbSubpart is the maximal subpart that one U+FFFD replaces: a lead byte and the continuation bytes
// that fit it, or a single byte that leads nothing.
size_t Utf8SequenceLength(std::string_view sv, size_t& cbSubpart)
{
    const BYTE byLead = static_cast<BYTE>(sv[0]);
    if (byLead < 0x80) return 1;
    size_t cbSequence = 0;
    BYTE bySecondLow = 0x80, bySecondHigh = 0xBF;  // the second byte rules out overlongs, surrogates and > U+10FFFF
    if (byLead >= 0xC2 && byLead <= 0xDF) {
        cbSequence = 2;
    } else if (byLead >= 0xE0 && byLead <= 0xEF) {
        cbSequence = 3;
        if (byLead == 0xE0) bySecondLow = 0xA0;
        if (byLead == 0xED) bySecondHigh = 0x9F;
    } else if (byLead >= 0xF0 && byLead <= 0xF4) {
        cbSequence = 4;
        if (byLead == 0xF0) bySecondLow = 0x90;
        if (byLead == 0xF4) bySecondHigh = 0x8F;
    } else {
        cbSubpart = 1;
        return 0;
    }
    size_t cbFit = 1;
    for (; cbFit < cbSequence && cbFit < sv.size(); ++cbFit) {
        const BYTE by = static_cast<BYTE>(sv[cbFit]);
        if (by < (cbFit == 1 ? bySecondLow : 0x80) || by > (cbFit == 1 ? bySecondHigh : 0xBF)) break;
    }
    if (cbFit == cbSequence) return cbSequence;
    cbSubpart = cbFit;
    return 0;
}

size_t WellFormedUtf8Prefix(std::string_view sv)
{
    size_t nPos = 0, cbSubpart = 0;
    while (nPos < sv.size()) {
        const size_t cbSequence = Utf8SequenceLength(sv.substr(nPos), cbSubpart);
        if (cbSequence == 0) break;
        nPos += cbSequence;
    }
    return nPos;
}

// A text for an answer: the text itself when it is well-formed UTF-8, else its scrubbed copy, kept in
// strKeep. A browser drops an answer that is not UTF-8, and its page then waits for ever.
const char* AnswerText(const char* pszText, std::string& strKeep)
{
    if (pszText == nullptr) return pszText;
    const std::string_view sv(pszText);
    if (WellFormedUtf8Prefix(sv) == sv.size()) return pszText;
    strKeep = ScrubUtf8(sv);
    return strKeep.c_str();
}

std::string FixedErrorText(const char* pszFuncName, const char* pszRandomId)
{
    std::string strKeepName, strKeepToken;
    const std::string strName = EscapeJsonText(AnswerText(pszFuncName, strKeepName));
    const bool bToken = pszRandomId != nullptr && *pszRandomId != 0;
    const std::string strToken = bToken ? EscapeJsonText(AnswerText(pszRandomId, strKeepToken)) : std::string();
    // Room for the text, both inserts and the longest code (-2146893779).
    std::string str(sizeof(kFixedTextWithToken) + strName.size() + strToken.size() + 16, '\0');
    int nLength = bToken ? snprintf(str.data(), str.size(), kFixedTextWithToken, strName.c_str(), JSON_FIXED_ERRORCODE,
                                    strToken.c_str())
                         : snprintf(str.data(), str.size(), kFixedTextWithoutToken, strName.c_str(), JSON_FIXED_ERRORCODE);
    str.resize(nLength > 0 ? static_cast<size_t>(nLength) : 0);
    return str;
}

// The string tokens of a request text in document order, each with whether its escapes decode U+0000.
// Only text that cJSON accepted is walked, so every quotation mark outside a string opens one.
class JsonStringTokens {
public:
    JsonStringTokens(const char* pch, size_t cch) : m_pch(pch), m_cch(cch) {}

    // false when no complete string token is left.
    bool Next(bool& bDecodesNul)
    {
        while (m_nPos < m_cch && m_pch[m_nPos] != '"') ++m_nPos;
        if (m_nPos == m_cch) return false;
        ++m_nPos;
        bDecodesNul = false;
        while (m_nPos < m_cch) {
            const char ch = m_pch[m_nPos++];
            if (ch == '"') return true;
            if (ch != '\\' || m_nPos == m_cch) continue;
            // A \u escape's four digits hold neither quotation mark nor backslash: stepping over the
            // escaped character is enough.
            if (m_pch[m_nPos] == 'u' && m_cch - m_nPos > 4 && memcmp(m_pch + m_nPos + 1, "0000", 4) == 0)
                bDecodesNul = true;
            ++m_nPos;
        }
        return false;
    }

private:
    const char* m_pch;
    size_t m_cch;
    size_t m_nPos = 0;
};

// cJSON hands strings over as C strings, so an argument whose text decodes U+0000 would reach the agent
// cut short at it. Such strings inside the arguments lose their string type (cJSON_Invalid) and are
// refused like any argument of the wrong type. Keys and values are visited in the order the text holds them.
void MarkArgumentsCutAtNul(cJSON* pItem, JsonStringTokens& tokens, const cJSON* pParams, bool bInParams)
{
    for (; pItem != nullptr; pItem = pItem->next) {
        bool bDecodesNul = false;
        if (pItem->string != nullptr && !tokens.Next(bDecodesNul)) return;
        const bool bArgument = bInParams || pItem == pParams;
        if (cJSON_IsString(pItem)) {
            if (!tokens.Next(bDecodesNul)) return;
            if (bDecodesNul && bArgument) pItem->type = cJSON_Invalid;
        }
        if (pItem->child != nullptr) MarkArgumentsCutAtNul(pItem->child, tokens, pParams, bArgument);
    }
}

// Argument nIndex: the child itself, or its member "param" when the child is an object.
int JSONArrayItem(const char* pszFunction, const cJSON* pJSONArgs, int nIndex, const cJSON*& pJSONItem)
{
    if (NULL == pJSONArgs) {
        HOST_STEP_FAILED(pszFunction, "Check Parameters(pJSONArgs)", kMissingInput, "NULL == pJSONArgs");
        return kMissingInput;
    }
    const int nCount = cJSON_GetArraySize(pJSONArgs);
    if (0 == nCount || nCount <= nIndex || nIndex < 0) {
        HOST_STEP_FAILED(pszFunction, "Check Parameters(nIndex)", kMissingInput, "(0 == nCount || nCount <= nIndex)");
        return kMissingInput;
    }
    const cJSON* pChild = cJSON_GetArrayItem(pJSONArgs, nIndex);
    if (pChild != nullptr && cJSON_IsObject(pChild)) pChild = cJSON_GetObjectItem(pChild, "param");
    if (NULL == pChild) {
        // An argument object without "param" holds no value of either type.
        HOST_STEP_FAILED(pszFunction, "cJSON_GetObjectItem(param)", QORA_E_JSON_TYPE, "NULL == pszJSONItem");
        return QORA_E_JSON_TYPE;
    }
    pJSONItem = pChild;
    return 0;
}

}  // namespace

std::string ScrubUtf8(std::string_view svText)
{
    std::string strScrubbed;
    size_t nPos = 0, cbSubpart = 0;
    while (nPos < svText.size()) {
        const size_t cbRun = WellFormedUtf8Prefix(svText.substr(nPos));
        strScrubbed.append(svText.substr(nPos, cbRun));
        nPos += cbRun;
        if (nPos == svText.size()) break;
        Utf8SequenceLength(svText.substr(nPos), cbSubpart);
        strScrubbed.append("\xEF\xBF\xBD");
        nPos += cbSubpart;
    }
    return strScrubbed;
}

int ParseRequestMsgToJSON(const char* pszRequestMsg, std::string* pstrFuncName, JsonPtr* ppParams,
                          std::string* pstrRandomId)
{
    TraceHelper scope(TEXT("ParseRequestMsgToJSON"));
    const char* pszFunction = "ParseRequestMsgToJSON";

    if (NULL == pszRequestMsg || 0 == strlen(pszRequestMsg)) {
        HOST_STEP_FAILED(pszFunction, "Check Parameters(pszRequestMsg)", kMissingInput,
                         "(NULL == pszRequestMsg || 0 == strlen(pszRequestMsg))");
        return kMissingInput;
    }
    JsonPtr pJsonRoot(cJSON_Parse(pszRequestMsg));
    if (NULL == pJsonRoot) {
        HOST_STEP_FAILED(pszFunction, "cJSON_Parse", kBadRequest, "NULL == pJsonRoot");
        return kBadRequest;
    }
    HOST_STEP_OK(pszFunction, "cJSON_Parse");

    const cJSON* pFunction = cJSON_GetObjectItem(pJsonRoot.get(), "function");
    if (NULL == pFunction) {
        HOST_STEP_FAILED(pszFunction, "cJSON_GetObjectItem(function)", kBadRequest, "NULL == pFunction");
        return kBadRequest;
    }
    if (cJSON_String != (pFunction->type & 0xFF) || pFunction->valuestring == nullptr) {
        HOST_STEP_FAILED(pszFunction, "cJSON_GetObjectItem(function)", kBadRequest, "cJSON_String != pJSONItem->type");
        return kBadRequest;
    }
    const cJSON* pParamsArray = cJSON_GetObjectItem(pJsonRoot.get(), "params");
    if (NULL == pParamsArray) {
        HOST_STEP_FAILED(pszFunction, "cJSON_GetObjectItem(params)", kBadRequest, "NULL == pParamsArray");
        return kBadRequest;
    }
    const cJSON* pRandomId = cJSON_GetObjectItem(pJsonRoot.get(), "randomId");
    if (pRandomId != nullptr && (cJSON_String != (pRandomId->type & 0xFF) || pRandomId->valuestring == nullptr)) {
        HOST_STEP_FAILED(pszFunction, "cJSON_GetObjectItem(randomId)", kBadRequest, "cJSON_String != nItemType");
        return kBadRequest;
    }
    HOST_STEP_OK(pszFunction, "cJSON_GetObjectItem");
    // Without that escape anywhere in the text no argument can hold U+0000.
    if (strstr(pszRequestMsg, "\\u0000") != nullptr) {
        JsonStringTokens tokens(pszRequestMsg, strlen(pszRequestMsg));
        MarkArgumentsCutAtNul(pJsonRoot.get(), tokens, pParamsArray, false);
    }

    std::string strRandomId, strFuncName;
    try {
        if (pRandomId != nullptr) strRandomId.assign(pRandomId->valuestring);
    } catch (const std::bad_alloc&) {
        HOST_STEP_FAILED(pszFunction, "New memory(randomId)", kBadRequest, "NULL == pszUTF8RandomId");
        return kBadRequest;
    }
    try {
        strFuncName.assign(pFunction->valuestring);
    } catch (const std::bad_alloc&) {
        HOST_STEP_FAILED(pszFunction, "New memory(function)", kBadRequest, "NULL == pszUTF8FuncName");
        return kBadRequest;
    }
    JsonPtr pParams;
    if (ppParams != nullptr) {
        pParams.reset(cJSON_Duplicate(pParamsArray, 1));
        if (NULL == pParams) {
            HOST_STEP_FAILED(pszFunction, "cJSON_Duplicate", kBadRequest, "NULL == pParamsArray");
            return kBadRequest;
        }
    }
    HOST_STEP_OK(pszFunction, "cJSON_Duplicate");

    if (pstrFuncName != nullptr) pstrFuncName->swap(strFuncName);
    if (pstrRandomId != nullptr) pstrRandomId->swap(strRandomId);
    if (ppParams != nullptr) *ppParams = std::move(pParams);
    return 0;
}

int ConverJSONArrayItemtoNULLEndString(const cJSON* pJSONArgs, int nIndex, std::string& strValue)
{
    TraceHelper scope(TEXT("ConverJSONArrayItemtoNULLEndString"));
    const char* pszFunction = "ConverJSONArrayItemtoNULLEndString";

    const cJSON* pJSONItem = nullptr;
    int nResult = JSONArrayItem(pszFunction, pJSONArgs, nIndex, pJSONItem);
    if (nResult != 0) return nResult;
    const int nItemType = pJSONItem != nullptr ? pJSONItem->type & 0xFF : cJSON_Invalid;
    if (cJSON_String != nItemType || pJSONItem->valuestring == nullptr) {
        HOST_STEP_FAILED(pszFunction, "Check item type", QORA_E_JSON_TYPE, "cJSON_String != nItemType");
        return QORA_E_JSON_TYPE;
    }
    std::string strCopy;
    try {
        strCopy.assign(pJSONItem->valuestring);
    } catch (const std::bad_alloc&) {
        HOST_STEP_FAILED(pszFunction, "New memory", kBadRequest, "!pszNULLEndString");
        return kBadRequest;
    }
    HOST_STEP_OK(pszFunction, "Copy item");
    strValue.swap(strCopy);
    return 0;
}

int ConverJSONArrayItemtoint(const cJSON* pJSONArgs, int nIndex, int& nValue)
{
    TraceHelper scope(TEXT("ConverJSONArrayItemtoint"));
    const char* pszFunction = "ConverJSONArrayItemtoint";

    const cJSON* pJSONItem = nullptr;
    int nResult = JSONArrayItem(pszFunction, pJSONArgs, nIndex, pJSONItem);
    if (nResult != 0) return nResult;
    const int nItemType = pJSONItem != nullptr ? pJSONItem->type & 0xFF : cJSON_Invalid;
    if ((cJSON_Number != nItemType)) {
        HOST_STEP_FAILED(pszFunction, "Check item type", QORA_E_JSON_TYPE, "(cJSON_Number != nItemType)");
        return QORA_E_JSON_TYPE;
    }
    // cJSON keeps the integer part, saturated to the 32-bit range.
    nValue = pJSONItem->valueint;
    HOST_STEP_OK(pszFunction, "Read item");
    return 0;
}

int ConstructResponseJSON(JsonPtr& pResponseJSON, const char* pszFuncName, int nErrorCode, int nValueKind,
                          const void* pValue)
{
    TraceHelper scope(TEXT("ConstructResponseJSON"));
    const char* pszFunction = "ConstructResponseJSON";

    if (NULL == pszFuncName || 0 == strlen(pszFuncName)) {
        HOST_STEP_FAILED(pszFunction, "Check Parameters(pszFuncName)", kMissingInput,
                         "(NULL == pszFuncName || 0 == strlen(pszFuncName))");
        return kMissingInput;
    }
    std::string strKeepName, strKeepText;
    try {
        pszFuncName = AnswerText(pszFuncName, strKeepName);
        if (nValueKind == JSON_VALUE_TEXT) pValue = AnswerText(static_cast<const char*>(pValue), strKeepText);
    } catch (const std::bad_alloc&) {
        HOST_STEP_FAILED(pszFunction, "ScrubUtf8", QORA_E_JSON_RESPONSE, "NULL == pResponseJSON");
        return QORA_E_JSON_RESPONSE;
    }
    JsonPtr pResponse(cJSON_CreateObject());
    if (NULL == pResponse) {
        HOST_STEP_FAILED(pszFunction, "cJSON_CreateObject", QORA_E_JSON_RESPONSE, "NULL == pResponseJSON");
        return QORA_E_JSON_RESPONSE;
    }
    bool bBuilt = cJSON_AddStringToObject(pResponse.get(), "function", pszFuncName) != nullptr &&
                  cJSON_AddNumberToObject(pResponse.get(), "errorcode", nErrorCode) != nullptr;
    if (bBuilt && nErrorCode != 0) {
        bBuilt = cJSON_AddFalseToObject(pResponse.get(), "result") != nullptr;
    } else if (bBuilt && pValue != nullptr) {
        switch (nValueKind) {
        case JSON_VALUE_FALSE:
        case JSON_VALUE_TRUE:
            bBuilt = cJSON_AddBoolToObject(pResponse.get(), "result", *static_cast<const BYTE*>(pValue) != 0) != nullptr;
            break;
        case JSON_VALUE_DOUBLE:
            bBuilt = cJSON_AddNumberToObject(pResponse.get(), "result", *static_cast<const double*>(pValue)) != nullptr;
            break;
        case JSON_VALUE_TEXT:
            bBuilt = cJSON_AddStringToObject(pResponse.get(), "result", static_cast<const char*>(pValue)) != nullptr;
            break;
        case JSON_VALUE_INT:
            bBuilt = cJSON_AddNumberToObject(pResponse.get(), "result", *static_cast<const INT32*>(pValue)) != nullptr;
            break;
        default:
            HOST_STEP_FAILED(pszFunction, "Check Parameters(nValueKind)", kBadRequest, "unsupported value kind");
            return kBadRequest;
        }
    }
    if (!bBuilt) {
        HOST_STEP_FAILED(pszFunction, "cJSON_AddItemToObject", QORA_E_JSON_RESPONSE, "NULL == pResponseJSON");
        return QORA_E_JSON_RESPONSE;
    }
    HOST_STEP_OK(pszFunction, "cJSON_AddItemToObject");
    pResponseJSON = std::move(pResponse);
    return 0;
}

int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId, cJSON* pResponseJSON,
                             std::string* pstrResponseMsg)
{
    TraceHelper scope(TEXT("ConvertJSONToResponseMsg"));
    const char* pszFunction = "ConvertJSONToResponseMsg";

    std::string strResponse;
    try {
        if (pResponseJSON != nullptr) {
            std::string strKeepToken;
            if (pszRandomId != nullptr && *pszRandomId != 0 &&
                cJSON_AddStringToObject(pResponseJSON, "randomId", AnswerText(pszRandomId, strKeepToken)) == nullptr)
                HOST_STEP_FAILED(pszFunction, "cJSON_AddStringToObject(randomId)", QORA_E_JSON_RESPONSE,
                                 "NULL == pRandomId");
            char* pszPrinted = cJSON_PrintUnformatted(pResponseJSON);
            if (pszPrinted != nullptr) {
                std::unique_ptr<char, PrintedDeleter> owner(pszPrinted);
                strResponse.assign(pszPrinted);
                HOST_STEP_OK(pszFunction, "cJSON_PrintUnformatted");
            } else {
                // No memory to print the object: the fixed text still tells the page that the call failed.
                HOST_STEP_FAILED(pszFunction, "cJSON_PrintUnformatted", QORA_E_JSON_RESPONSE, "NULL == pszResponseMsg");
                strResponse = FixedErrorText(pszFuncName, pszRandomId);
            }
        } else {
            strResponse = FixedErrorText(pszFuncName, pszRandomId);
            HOST_STEP_OK(pszFunction, "Fixed error text");
        }
    } catch (const std::bad_alloc&) {
        HOST_STEP_FAILED(pszFunction, "New memory", kBadRequest, "NULL == pszResponseMsg");
        strResponse.clear();
    }
    if (pstrResponseMsg != nullptr) pstrResponseMsg->swap(strResponse);
    return 0;
}
