// fuzz/envelope.cpp — the request envelope and the answer built from it: whatever the request text, taking
// it apart never reads outside it, and the answer is always well-formed UTF-8 JSON that carries the
// function name and token back.
#include "host/JSONUtility.h"

#include <cstdlib>
#include <string>

namespace {

// Independent of the host's own reader: true when sv is well-formed UTF-8 (no overlongs, surrogates or
// code points above U+10FFFF).
bool IsWellFormedUtf8(std::string_view sv)
{
    for (size_t i = 0; i < sv.size();) {
        const unsigned char c = static_cast<unsigned char>(sv[i]);
        size_t n = 0;
        unsigned long cp = 0;
        if (c < 0x80) { ++i; continue; }
        if (c >= 0xC2 && c <= 0xDF) { n = 1; cp = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { n = 2; cp = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { n = 3; cp = c & 0x07; }
        else return false;
        if (sv.size() - i <= n) return false;
        for (size_t k = 1; k <= n; ++k) {
            const unsigned char t = static_cast<unsigned char>(sv[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb)
{
    const std::string strRequest(reinterpret_cast<const char*>(pb), cb);

    // The repair: always well-formed, and well-formed text comes back unchanged.
    const std::string strScrubbed = ScrubUtf8(strRequest);
    if (!IsWellFormedUtf8(strScrubbed)) abort();
    if (IsWellFormedUtf8(strRequest) && strScrubbed != strRequest) abort();

    std::string strFuncName = "untouched", strRandomId = "untouched";
    JsonPtr pParams;
    const int nResult = ParseRequestMsgToJSON(strRequest.c_str(), &strFuncName, &pParams, &strRandomId);
    if (nResult != 0) {
        if (strFuncName != "untouched" || strRandomId != "untouched" || pParams) abort();
        // The answer without an object: the fixed text, for whatever name the page sent.
        std::string strAnswer;
        ConvertJSONToResponseMsg(strRequest.c_str(), strRequest.c_str(), nullptr, &strAnswer);
        JsonPtr pAnswer(cJSON_Parse(strAnswer.c_str()));
        if (!strAnswer.empty() && (!IsWellFormedUtf8(strAnswer) || !pAnswer)) abort();
        return 0;
    }
    if (!pParams) abort();

    JsonPtr pResponse;
    const std::string strText(strRequest.c_str());
    const int nBuilt = ConstructResponseJSON(pResponse, strFuncName.c_str(), 0, JSON_VALUE_TEXT, strText.c_str());
    if (strFuncName.empty() ? nBuilt != 87 : nBuilt != 0) abort();
    std::string strAnswer;
    ConvertJSONToResponseMsg(strFuncName.c_str(), strRandomId.c_str(), pResponse.get(), &strAnswer);
    if (!IsWellFormedUtf8(strAnswer)) abort();
    JsonPtr pAnswer(cJSON_Parse(strAnswer.c_str()));
    if (!pAnswer) abort();
    if (!strRandomId.empty()) {
        const cJSON* pToken = cJSON_GetObjectItemCaseSensitive(pAnswer.get(), "randomId");
        if (pToken == nullptr || !cJSON_IsString(pToken) || ScrubUtf8(strRandomId) != pToken->valuestring) abort();
    }
    return 0;
}
