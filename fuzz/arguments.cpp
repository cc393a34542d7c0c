// fuzz/arguments.cpp — the argument reader over the arguments of any request: each position is read as
// text and as an integer; exactly one kind of value is ever taken, and a text is the argument's whole text.
#include "ResultCode.h"
#include "host/JSONUtility.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb)
{
    const std::string strRequest(reinterpret_cast<const char*>(pb), cb);
    JsonPtr pParams;
    if (ParseRequestMsgToJSON(strRequest.c_str(), nullptr, &pParams, nullptr) != 0) return 0;
    const cJSON* pArgs = pParams.get();
    const int nCount = cJSON_GetArraySize(pArgs);
    for (int nIndex = -1; nIndex <= nCount && nIndex < 64; ++nIndex) {
        std::string strValue = "untouched";
        int nValue = 12345;
        const int nText = ConverJSONArrayItemtoNULLEndString(pArgs, nIndex, strValue);
        const int nInteger = ConverJSONArrayItemtoint(pArgs, nIndex, nValue);
        const bool bInside = nIndex >= 0 && nIndex < nCount;
        if (!bInside && (nText != 87 || nInteger != 87)) abort();
        if (nText == 0 && nInteger == 0) abort();
        if (nText != 0 && strValue != "untouched") abort();
        if (nInteger != 0 && nValue != 12345) abort();
        if (nText == 0) {
            const cJSON* pItem = cJSON_GetArrayItem(pArgs, nIndex);
            if (cJSON_IsObject(pItem)) pItem = cJSON_GetObjectItem(pItem, "param");
            if (pItem == nullptr || !cJSON_IsString(pItem) || strValue != pItem->valuestring) abort();
        }
        if (bInside && nText != 0 && nText != static_cast<int>(QORA_E_JSON_TYPE)) abort();
        if (bInside && nInteger != 0 && nInteger != static_cast<int>(QORA_E_JSON_TYPE)) abort();
    }
    return 0;
}
