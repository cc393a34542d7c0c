// host/nmCryptoAgent.cpp — the host's commands: the agent's operations from their one table, and the host's own
// two; check and convert a request's arguments as the row names them, call the agent once, and express every
// outcome, good or bad, in the response object.
#include "host/nmCryptoAgent.h"

#include "agent/AgentOperations.h"
#include "codec/Misc.h"
#include "host/KestrovanHost.h"
#include "trace/TraceHelper.h"

#include <cstring>
#include <string>

namespace {

const char kVersion[] = "3.2.0.4";

using CommandArguments = OperationArguments;

// A command the host answers without the agent's operation table: its name, the arguments it reads, the
// errorcode for absent arguments or a wrong count.
struct HostCommand {
    const char* pszRequestName;   // compared without regard to ASCII letter case
    const char* pszResponseName;  // the command's own name, as every answer carries it
    int (*pfnWrapper)(JsonPtr& pResponseJSON, const cJSON* pJSONArgs);
    int nArgsError;
};

constexpr HostCommand kGetVersion = {"QORA_GetVersion", "QORA_GetVersion", nmQORA_GetVersion, E_INVALIDARG};
// Its arguments are not examined.
constexpr HostCommand kCheckHost = {"checkHost", "CheckHost",
                                    [](JsonPtr& pResponseJSON, const cJSON*) { return nmCheckHost(pResponseJSON); }, 0};
constexpr const HostCommand* g_apHostCommands[] = {&kGetVersion, &kCheckHost};

bool Named(const AgentOperation& stOperation, const char* pszName) { return strcmp(stOperation.pszName, pszName) == 0; }

// What each operation's wrapper checks and answers; the host's own codes and texts, derived from the row.
struct CommandTexts {
    int nArgsError;       // errorcode when "params" is absent or holds another count
    HRESULT hrNoAgent;    // errorcode without an agent
    bool bFailureIsMinusOne;  // every failure, the agent's included, is answered as -1
    WString wstrOutcome;  // the text outcome's name in "UTF16ToUTF8(<name>)"
};

CommandTexts TextsOf(const AgentOperation& stOperation)
{
    CommandTexts stTexts = {stOperation.arguments.empty() ? E_INVALIDARG : -1, E_POINTER, false, WString()};
    if (Named(stOperation, "QORA_GetContainer")) stTexts = {-1, -1, true, WString()};
    // "QORA_GetCSPInfo" reads "CSPInfo"; both requests read "P10CertRequisition".
    if (Named(stOperation, "GetLastErrorDesc")) {
        stTexts.wstrOutcome = TEXT("ErrorDesc");
    } else if (strncmp(stOperation.pszName, "QORA_PKCS10CertRequisition", 26) == 0) {
        stTexts.wstrOutcome = TEXT("P10CertRequisition");
    } else {
        WString wstrName = stOperation.pwszName + 5;  // after "QORA_"
        if (wstrName.rfind(TEXT("Get"), 0) == 0) wstrName.erase(0, 3);
        stTexts.wstrOutcome = wstrName;
    }
    return stTexts;
}

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

// The count test as the row's own condition reads: "3 != nArgsCount".
WString CountReason(size_t nArgsWanted)
{
    WString wstr;
    for (const char ch : std::to_string(nArgsWanted)) wstr += static_cast<WCHAR>(ch);
    wstr += TEXT(" != nArgsCount");
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

// The opening of every command that looks at "params": present, exactly the row's count, the agent there when
// the command calls one, then each argument read in position order (a text converted before the next is read).
// Traces under the wrapper's scope; the first failure ends the reading and is the command's errorcode.
HRESULT ReadCommandArguments(const TraceHelper& scope, std::span<const OperationArgument> arguments, int nArgsError,
                             HRESULT hrNoAgent, const cJSON* pJSONArgs, const CCryptoAgent* pobjCryptoAgent,
                             CommandArguments& args)
{
    FAIL_IF_REASON(NULL == pJSONArgs, nArgsError, TEXT("Check parameter(pArgs)"), TEXT("NULL == pJSONArgs"));
    const int nArgsCount = cJSON_GetArraySize(pJSONArgs);
    const size_t nArgsWanted = arguments.size();
    FAIL_IF_REASON(static_cast<size_t>(nArgsCount) != nArgsWanted, nArgsError, TEXT("Check parameter(Args count)"),
                   CountReason(nArgsWanted).c_str());
    if (hrNoAgent != QORA_OK) FAIL_IF(NULL == pobjCryptoAgent, hrNoAgent, TEXT("Check parameter(pobjCryptoAgent)"));

    for (size_t nIndex = 0; nIndex < nArgsWanted; ++nIndex) {
        const OperationArgument& stArgument = arguments[nIndex];
        const int nPosition = static_cast<int>(nIndex);
        const HRESULT hResult =
            stArgument.eKind == OperationArgumentKind::Text
                ? ReadTextArgument(scope, pJSONArgs, nPosition, stArgument.pwszName, args.abstrText[nIndex])
                : ReadIntArgument(scope, pJSONArgs, nPosition, stArgument.pwszName, args.alNumber[nIndex]);
        if (hResult != QORA_OK) return hResult;
    }
    return QORA_OK;
}

// The step of the agent call, "pobjCryptoAgent->" and the operation's own name: "pobjCryptoAgent->QORA_SetCSPInfo".
WString AgentCallStep(const AgentOperation& stOperation)
{
    return WString(TEXT("pobjCryptoAgent->")) + stOperation.pwszName;
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

// One operation of the agent as a command: the row's arguments, the call, and the answer. A flag's "result" is
// true exactly when the call succeeded with the agent's flag VARIANT_TRUE (-1); a text goes out in UTF-8.
int RespondOperation(JsonPtr& pResponseJSON, const AgentOperation& stOperation, const cJSON* pJSONArgs,
                     CCryptoAgent* pobjCryptoAgent)
{
    const WString wstrWrapper = WString(TEXT("nm")) + stOperation.pwszName;
    TraceHelper scope(wstrWrapper.c_str());
    const CommandTexts stTexts = TextsOf(stOperation);
    CommandArguments args;
    auto readArguments = [&]() {
        return ReadCommandArguments(scope, stOperation.arguments, stTexts.nArgsError, stTexts.hrNoAgent, pJSONArgs,
                                    pobjCryptoAgent, args);
    };
    if (stOperation.pfnFlag != nullptr) {
        VARIANT_BOOL bOutcome = VARIANT_FALSE;
        const HRESULT hrOutcome = [&]() -> HRESULT {
            HRESULT hResult = readArguments();
            if (hResult != QORA_OK) return hResult;
            hResult = stOperation.pfnFlag(*pobjCryptoAgent, args, &bOutcome);
            FAIL_IF(FAILED(hResult), hResult, AgentCallStep(stOperation).c_str());
            return QORA_OK;
        }();
        const BYTE byResult = (hrOutcome == QORA_OK && bOutcome == VARIANT_TRUE) ? 1 : 0;
        ConstructResponseJSON(pResponseJSON, stOperation.pszName, static_cast<int>(hrOutcome),
                              byResult != 0 ? JSON_VALUE_TRUE : JSON_VALUE_FALSE, &byResult);
        return 0;
    }
    std::string strOutcome;
    const HRESULT hrOutcome = [&]() -> HRESULT {
        HRESULT hResult = readArguments();
        if (hResult != QORA_OK) return hResult;
        BString bstrOutcome;
        hResult = stOperation.pfnText(*pobjCryptoAgent, args, bstrOutcome.put());
        FAIL_IF(FAILED(hResult), hResult, AgentCallStep(stOperation).c_str());
        hResult = UTF16ToUTF8(bstrOutcome.get(), strOutcome);
        FAIL_IF(FAILED(hResult), hResult, StepLabel(TEXT("UTF16ToUTF8"), stTexts.wstrOutcome.c_str()).c_str());
        return QORA_OK;
    }();
    const HRESULT hrAnswer = stTexts.bFailureIsMinusOne && hrOutcome != QORA_OK ? -1 : hrOutcome;
    return RespondText(pResponseJSON, stOperation.pszName, hrAnswer, strOutcome);
}

}  // namespace

int Invoke(JsonPtr& pResponseJSON, const char* pszFuncName, const cJSON* pJSONArgs)
{
    TraceHelper scope(TEXT("Invoke"));
    TraceNarrowValue(TRACE_FLAG_INFO, TEXT("pszFuncName"), pszFuncName);
    if (pszFuncName != nullptr) {
        for (const HostCommand* pstCommand : g_apHostCommands) {
            if (EqualsAsciiIgnoringCase(pstCommand->pszRequestName, pszFuncName))
                return pstCommand->pfnWrapper(pResponseJSON, pJSONArgs);
        }
        for (const AgentOperation& stOperation : AgentOperations()) {
            if (stOperation.bHostCommand && EqualsAsciiIgnoringCase(stOperation.pszName, pszFuncName))
                return RespondOperation(pResponseJSON, stOperation, pJSONArgs, g_pobjCryptoAgent);
        }
    }
    TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("Find command"), TEXT("no command of that name"), -1);
    return -1;
}

int nmQORA_GetVersion(JsonPtr& pResponseJSON, const cJSON* pJSONArgs)
{
    TraceHelper scope(TEXT("nmQORA_GetVersion"));
    CommandArguments args;
    const HRESULT hrOutcome =
        ReadCommandArguments(scope, {}, kGetVersion.nArgsError, QORA_OK, pJSONArgs, nullptr, args);
    return RespondText(pResponseJSON, kGetVersion.pszResponseName, hrOutcome, kVersion);
}

int nmCheckHost(JsonPtr& pResponseJSON)
{
    TraceHelper scope(TEXT("nmCheckHost"));
    // Lets a page learn that the host is installed and reachable; the arguments do not matter.
    const INT32 nResult = 0;
    ConstructResponseJSON(pResponseJSON, kCheckHost.pszResponseName, QORA_OK, JSON_VALUE_INT, &nResult);
    return 0;
}
