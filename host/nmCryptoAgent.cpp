// host/nmCryptoAgent.cpp — command wrappers: check and convert a request's arguments, call the agent once,
// and express every outcome, good or bad, in the response object.
#include "host/nmCryptoAgent.h"

#include "codec/Misc.h"
#include "host/KestrovanHost.h"
#include "trace/TraceHelper.h"

#include <cstring>
#include <string>

namespace {

const char kVersion[] = "3.2.0.4";

// The trace shows a reader's positive code in its Windows form; the response keeps the code as read.
#define READ_FAIL_IF(nResult, step)                                                                          \
    do {                                                                                                     \
        if (QORA_OK != (nResult)) {                                                                          \
            TraceStepFailure(__FILE__, __LINE__, scope.Name(), (step), TEXT("QORA_OK != nResult"),          \
                             ResultFromError(nResult));                                                      \
            return (nResult);                                                                                \
        }                                                                                                    \
        TraceStepSuccess(scope.Name(), (step));                                                              \
    } while (0)

WString StepLabel(const WCHAR* pwszStep, const WCHAR* pwszArgument)
{
    WString wstr(pwszStep);
    wstr += TEXT("(");
    wstr += pwszArgument;
    wstr += TEXT(")");
    return wstr;
}

// Argument nIndex as a new BSTR: read as UTF-8 text, then converted before any later argument is read.
HRESULT ReadTextArgument(const TraceHelper& scope, const cJSON* pJSONArgs, int nIndex, const WCHAR* pwszArgument,
                         BString& bstrValue)
{
    std::string strValue;
    const int nResult = ConverJSONArrayItemtoNULLEndString(pJSONArgs, nIndex, strValue);
    READ_FAIL_IF(nResult, StepLabel(TEXT("ConverJSONArrayItemtoNULLEndString"), pwszArgument).c_str());

    WString wstrValue;
    HRESULT hResult = UTF8ToUTF16(strValue.c_str(), wstrValue);
    FAIL_IF(FAILED(hResult), hResult, StepLabel(TEXT("UTF8ToUTF16"), pwszArgument).c_str());

    bstrValue.reset(SysAllocStringLen(wstrValue.c_str(), static_cast<UINT>(wstrValue.size())));
    FAIL_IF_REASON(!bstrValue, E_OUTOFMEMORY, StepLabel(TEXT("SysAllocString"), pwszArgument).c_str(),
                   TEXT("NULL == bstrValue"));
    return QORA_OK;
}

HRESULT ReadIntArgument(const TraceHelper& scope, const cJSON* pJSONArgs, int nIndex, const WCHAR* pwszArgument,
                        LONG& lValue)
{
    int nValue = 0;
    const int nResult = ConverJSONArrayItemtoint(pJSONArgs, nIndex, nValue);
    READ_FAIL_IF(nResult, StepLabel(TEXT("ConverJSONArrayItemtoint"), pwszArgument).c_str());
    lValue = nValue;
    return QORA_OK;
}

// The agent's text outcome in UTF-8; the agent's string is released here.
HRESULT TextOutcome(const TraceHelper& scope, BSTR bstrOutcome, const WCHAR* pwszOutcome, std::string& strOutcome)
{
    BString owner(bstrOutcome);
    HRESULT hResult = UTF16ToUTF8(bstrOutcome, strOutcome);
    FAIL_IF(FAILED(hResult), hResult, StepLabel(TEXT("UTF16ToUTF8"), pwszOutcome).c_str());
    return QORA_OK;
}

int RespondBoolean(JsonPtr& pResponseJSON, const char* pszName, HRESULT hResult, VARIANT_BOOL bOutcome)
{
    const BYTE byResult = (hResult == QORA_OK && bOutcome == VARIANT_TRUE) ? 1 : 0;
    ConstructResponseJSON(pResponseJSON, pszName, static_cast<int>(hResult),
                          byResult != 0 ? JSON_VALUE_TRUE : JSON_VALUE_FALSE, &byResult);
    return 0;
}

int RespondText(JsonPtr& pResponseJSON, const char* pszName, HRESULT hResult, const std::string& strOutcome)
{
    ConstructResponseJSON(pResponseJSON, pszName, static_cast<int>(hResult), JSON_VALUE_TEXT, strOutcome.c_str());
    return 0;
}

bool EqualsAsciiIgnoringCase(const char* pszA, const char* pszB)
{
    for (;; ++pszA, ++pszB) {
        char chA = *pszA, chB = *pszB;
        if (chA >= 'A' && chA <= 'Z') chA = static_cast<char>(chA - 'A' + 'a');
        if (chB >= 'A' && chB <= 'Z') chB = static_cast<char>(chB - 'A' + 'a');
        if (chA != chB) return false;
        if (chA == 0) return true;
    }
}

// The command table. The enrolment and inventory commands join it as further rows.
const NativeCommand g_astNativeCommands[] = {
    {"QORA_SetCSPInfo", nmQORA_SetCSPInfo},
    {"QORA_SetKeyAlgorithm", nmQORA_SetKeyAlgorithm},
    {"QORA_GetContainer", nmQORA_GetContainer},
    {"QORA_GetVersion", [](JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent*) {
         return nmQORA_GetVersion(pResponseJSON, pJSONArgs);
     }},
    {"GetLastErrorDesc", nmGetLastErrorDesc},
    {"checkHost", [](JsonPtr& pResponseJSON, const cJSON*, CCryptoAgent*) { return nmCheckHost(pResponseJSON); }},
    {"QORA_PKCS10CertRequisition", nmQORA_PKCS10CertRequisition},
    {"QORA_PKCS10CertRequisitionwithMD5", nmQORA_PKCS10CertRequisitionwithMD5},
};

using RequestOperation = HRESULT (CCryptoAgent::*)(BSTR, LONG, LONG, BSTR*);

// Both request commands: SubjectDN, nCertType, nSignPrivateKeyGenerateFlags in, the Base64 request out.
int RespondRequest(const TraceHelper& scope, JsonPtr& pResponseJSON, const cJSON* pJSONArgs,
                   CCryptoAgent* pobjCryptoAgent, const char* pszName, RequestOperation pfnOperation,
                   const WCHAR* pwszOperationStep)
{
    std::string strRequest;
    const HRESULT hrOutcome = [&]() -> HRESULT {
        FAIL_IF_REASON(NULL == pJSONArgs, -1, TEXT("Check parameter(pArgs)"), TEXT("NULL == pJSONArgs"));
        const int nArgsCount = cJSON_GetArraySize(pJSONArgs);
        FAIL_IF(3 != nArgsCount, -1, TEXT("Check parameter(Args count)"));
        FAIL_IF(NULL == pobjCryptoAgent, E_POINTER, TEXT("Check parameter(pobjCryptoAgent)"));

        BString bstrSubjectDN;
        HRESULT hResult = ReadTextArgument(scope, pJSONArgs, 0, TEXT("SubjectDN"), bstrSubjectDN);
        if (hResult != QORA_OK) return hResult;
        LONG lCertType = 0;
        hResult = ReadIntArgument(scope, pJSONArgs, 1, TEXT("nCertType"), lCertType);
        if (hResult != QORA_OK) return hResult;
        LONG lGenerateFlags = 0;
        hResult = ReadIntArgument(scope, pJSONArgs, 2, TEXT("nSignPrivateKeyGenerateFlags"), lGenerateFlags);
        if (hResult != QORA_OK) return hResult;

        BSTR bstrRequest = nullptr;
        hResult = (pobjCryptoAgent->*pfnOperation)(bstrSubjectDN.get(), lCertType, lGenerateFlags, &bstrRequest);
        BString owner(bstrRequest);
        FAIL_IF_REASON(FAILED(hResult), hResult, pwszOperationStep, TEXT("FAILED(hResult)"));
        return TextOutcome(scope, owner.release(), TEXT("P10CertRequisition"), strRequest);
    }();
    return RespondText(pResponseJSON, pszName, hrOutcome, strRequest);
}

}  // namespace

int Invoke(JsonPtr& pResponseJSON, const char* pszFuncName, const cJSON* pJSONArgs)
{
    TraceHelper scope(TEXT("Invoke"));
    TraceNarrowValue(TRACE_FLAG_INFO, TEXT("pszFuncName"), pszFuncName);
    if (pszFuncName != nullptr) {
        for (const NativeCommand& stCommand : g_astNativeCommands) {
            if (EqualsAsciiIgnoringCase(stCommand.pszRequestName, pszFuncName))
                return stCommand.pfnWrapper(pResponseJSON, pJSONArgs, g_pobjCryptoAgent);
        }
    }
    TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("Find command"), TEXT("no command of that name"), -1);
    return -1;
}

int nmQORA_SetCSPInfo(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_SetCSPInfo"));
    VARIANT_BOOL bResult = VARIANT_FALSE;
    const HRESULT hrOutcome = [&]() -> HRESULT {
        FAIL_IF_REASON(NULL == pJSONArgs, -1, TEXT("Check parameter(pArgs)"), TEXT("NULL == pJSONArgs"));
        const int nArgsCount = cJSON_GetArraySize(pJSONArgs);
        FAIL_IF(2 != nArgsCount, -1, TEXT("Check parameter(Args count)"));
        FAIL_IF(NULL == pobjCryptoAgent, E_POINTER, TEXT("Check parameter(pobjCryptoAgent)"));

        LONG lKeyLength = 0;
        HRESULT hResult = ReadIntArgument(scope, pJSONArgs, 0, TEXT("nKeyLength"), lKeyLength);
        if (hResult != QORA_OK) return hResult;
        BString bstrCSPName;
        hResult = ReadTextArgument(scope, pJSONArgs, 1, TEXT("CSPName"), bstrCSPName);
        if (hResult != QORA_OK) return hResult;

        hResult = pobjCryptoAgent->QORA_SetCSPInfo(lKeyLength, bstrCSPName.get(), &bResult);
        FAIL_IF(FAILED(hResult), hResult, TEXT("pobjCryptoAgent->QORA_SetCSPInfo"));
        return QORA_OK;
    }();
    return RespondBoolean(pResponseJSON, "QORA_SetCSPInfo", hrOutcome, bResult);
}

int nmQORA_SetKeyAlgorithm(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_SetKeyAlgorithm"));
    VARIANT_BOOL bResult = VARIANT_FALSE;
    const HRESULT hrOutcome = [&]() -> HRESULT {
        FAIL_IF_REASON(NULL == pJSONArgs, -1, TEXT("Check parameter(pArgs)"), TEXT("NULL == pJSONArgs"));
        const int nArgsCount = cJSON_GetArraySize(pJSONArgs);
        FAIL_IF(1 != nArgsCount, -1, TEXT("Check parameter(Args count)"));
        FAIL_IF(NULL == pobjCryptoAgent, E_POINTER, TEXT("Check parameter(pobjCryptoAgent)"));

        BString bstrKeyAlgorithm;
        HRESULT hResult = ReadTextArgument(scope, pJSONArgs, 0, TEXT("KeyAlgorithm"), bstrKeyAlgorithm);
        if (hResult != QORA_OK) return hResult;

        hResult = pobjCryptoAgent->QORA_SetKeyAlgorithm(bstrKeyAlgorithm.get(), &bResult);
        FAIL_IF(FAILED(hResult), hResult, TEXT("pobjCryptoAgent->QORA_SetKeyAlgorithm"));
        return QORA_OK;
    }();
    return RespondBoolean(pResponseJSON, "QORA_SetKeyAlgorithm", hrOutcome, bResult);
}

int nmQORA_GetContainer(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_GetContainer"));
    std::string strContainer;
    const HRESULT hrOutcome = [&]() -> HRESULT {
        FAIL_IF_REASON(NULL == pJSONArgs, -1, TEXT("Check parameter(pArgs)"), TEXT("NULL == pJSONArgs"));
        const int nArgsCount = cJSON_GetArraySize(pJSONArgs);
        FAIL_IF(0 != nArgsCount, -1, TEXT("Check parameter(Args count)"));
        FAIL_IF(NULL == pobjCryptoAgent, -1, TEXT("Check parameter(pobjCryptoAgent)"));

        BSTR bstrContainer = nullptr;
        HRESULT hResult = pobjCryptoAgent->QORA_GetContainer(&bstrContainer);
        BString owner(bstrContainer);
        FAIL_IF(FAILED(hResult), hResult, TEXT("pobjCryptoAgent->QORA_GetContainer"));
        return TextOutcome(scope, owner.release(), TEXT("Container"), strContainer);
    }();
    // Every failure of this command, the agent's included, is reported as -1.
    return RespondText(pResponseJSON, "QORA_GetContainer", hrOutcome == QORA_OK ? QORA_OK : -1, strContainer);
}

int nmQORA_GetVersion(JsonPtr& pResponseJSON, const cJSON* pJSONArgs)
{
    TraceHelper scope(TEXT("nmQORA_GetVersion"));
    const HRESULT hrOutcome = [&]() -> HRESULT {
        FAIL_IF_REASON(NULL == pJSONArgs, E_INVALIDARG, TEXT("Check parameter(pArgs)"), TEXT("NULL == pJSONArgs"));
        const int nArgsCount = cJSON_GetArraySize(pJSONArgs);
        FAIL_IF(0 != nArgsCount, E_INVALIDARG, TEXT("Check parameter(Args count)"));
        return QORA_OK;
    }();
    return RespondText(pResponseJSON, "QORA_GetVersion", hrOutcome, kVersion);
}

int nmGetLastErrorDesc(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmGetLastErrorDesc"));
    std::string strErrorDesc;
    const HRESULT hrOutcome = [&]() -> HRESULT {
        FAIL_IF_REASON(NULL == pJSONArgs, E_INVALIDARG, TEXT("Check parameter(pArgs)"), TEXT("NULL == pJSONArgs"));
        const int nArgsCount = cJSON_GetArraySize(pJSONArgs);
        FAIL_IF(0 != nArgsCount, E_INVALIDARG, TEXT("Check parameter(Args count)"));
        FAIL_IF(NULL == pobjCryptoAgent, E_POINTER, TEXT("Check parameter(pobjCryptoAgent)"));

        BSTR bstrErrorDesc = nullptr;
        HRESULT hResult = pobjCryptoAgent->GetLastErrorDesc(&bstrErrorDesc);
        BString owner(bstrErrorDesc);
        FAIL_IF(FAILED(hResult), hResult, TEXT("pobjCryptoAgent->GetLastErrorDesc"));
        return TextOutcome(scope, owner.release(), TEXT("ErrorDesc"), strErrorDesc);
    }();
    return RespondText(pResponseJSON, "GetLastErrorDesc", hrOutcome, strErrorDesc);
}

int nmCheckHost(JsonPtr& pResponseJSON)
{
    TraceHelper scope(TEXT("nmCheckHost"));
    // Lets a page learn that the host is installed and reachable; the arguments do not matter.
    const INT32 nResult = 0;
    ConstructResponseJSON(pResponseJSON, "CheckHost", QORA_OK, JSON_VALUE_INT, &nResult);
    return 0;
}

int nmQORA_PKCS10CertRequisition(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_PKCS10CertRequisition"));
    return RespondRequest(scope, pResponseJSON, pJSONArgs, pobjCryptoAgent, "QORA_PKCS10CertRequisition",
                          &CCryptoAgent::QORA_PKCS10CertRequisition,
                          TEXT("pobjCryptoAgent->QORA_PKCS10CertRequisition"));
}

int nmQORA_PKCS10CertRequisitionwithMD5(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_PKCS10CertRequisitionwithMD5"));
    return RespondRequest(scope, pResponseJSON, pJSONArgs, pobjCryptoAgent, "QORA_PKCS10CertRequisitionwithMD5",
                          &CCryptoAgent::QORA_PKCS10CertRequisitionwithMD5,
                          TEXT("pobjCryptoAgent->QORA_PKCS10CertRequisitionwithMD5"));
}
