// host/nmCryptoAgent.cpp — command wrappers: check and convert a request's arguments as the command's row names
// them, call the agent once, and express every outcome, good or bad, in the response object.
#include "host/nmCryptoAgent.h"

#include "codec/Misc.h"
#include "host/KestrovanHost.h"
#include "trace/TraceHelper.h"

#include <array>
#include <string>

namespace {

const char kVersion[] = "3.2.0.4";

// The most arguments any row names; CommandArguments holds that many without allocating.
constexpr size_t kMaxCommandArguments = 4;

constexpr ArgumentKind kText = ArgumentKind::Text;
constexpr ArgumentKind kInteger = ArgumentKind::Integer;

constexpr std::span<const CommandArgument> kNone;
constexpr CommandArgument kSetCSPInfoArguments[] = {{kInteger, TEXT("nKeyLength")}, {kText, TEXT("CSPName")}};
constexpr CommandArgument kSetKeyAlgorithmArguments[] = {{kText, TEXT("KeyAlgorithm")}};
constexpr CommandArgument kRequestArguments[] = {
    {kText, TEXT("SubjectDN")}, {kInteger, TEXT("nCertType")}, {kInteger, TEXT("nSignPrivateKeyGenerateFlags")}};
constexpr CommandArgument kImportSignCertArguments[] = {
    {kInteger, TEXT("nCertType")}, {kText, TEXT("SignCert")}, {kText, TEXT("ContainerName")}};
constexpr CommandArgument kImportEncryptCertArguments[] = {
    {kText, TEXT("EncryptedPrivateKey")}, {kText, TEXT("EncryptPublicCert")}, {kText, TEXT("ContainerName")},
    {kInteger, TEXT("nEncryptCertPrivateKeyFlags")}};

int VersionWrapper(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent*)
{
    return nmQORA_GetVersion(pResponseJSON, pJSONArgs);
}

int CheckHostWrapper(JsonPtr& pResponseJSON, const cJSON*, CCryptoAgent*) { return nmCheckHost(pResponseJSON); }

// The command table, one row per command: request name, answer name, wrapper, arguments, the errorcode for
// absent arguments or a wrong count, the errorcode without an agent (QORA_OK: calls none).
constexpr NativeCommand kSetCSPInfo = {
    "QORA_SetCSPInfo", "QORA_SetCSPInfo", nmQORA_SetCSPInfo, kSetCSPInfoArguments, -1, E_POINTER};
constexpr NativeCommand kSetKeyAlgorithm = {
    "QORA_SetKeyAlgorithm", "QORA_SetKeyAlgorithm", nmQORA_SetKeyAlgorithm, kSetKeyAlgorithmArguments, -1, E_POINTER};
// Every failure of this command is answered as -1, a missing agent included.
constexpr NativeCommand kGetContainer = {"QORA_GetContainer", "QORA_GetContainer", nmQORA_GetContainer, kNone, -1, -1};
constexpr NativeCommand kGetVersion = {
    "QORA_GetVersion", "QORA_GetVersion", VersionWrapper, kNone, E_INVALIDARG, QORA_OK};
constexpr NativeCommand kGetLastErrorDesc = {
    "GetLastErrorDesc", "GetLastErrorDesc", nmGetLastErrorDesc, kNone, E_INVALIDARG, E_POINTER};
// Its arguments are not examined.
constexpr NativeCommand kCheckHost = {"checkHost", "CheckHost", CheckHostWrapper, kNone, 0, QORA_OK};
constexpr NativeCommand kPKCS10CertRequisition = {"QORA_PKCS10CertRequisition", "QORA_PKCS10CertRequisition",
                                                  nmQORA_PKCS10CertRequisition, kRequestArguments, -1, E_POINTER};
constexpr NativeCommand kPKCS10CertRequisitionwithMD5 = {"QORA_PKCS10CertRequisitionwithMD5",
                                                         "QORA_PKCS10CertRequisitionwithMD5",
                                                         nmQORA_PKCS10CertRequisitionwithMD5, kRequestArguments, -1,
                                                         E_POINTER};
constexpr NativeCommand kImportSignCert = {
    "QORA_ImportSignCert", "QORA_ImportSignCert", nmQORA_ImportSignCert, kImportSignCertArguments, -1, E_POINTER};
constexpr NativeCommand kImportEncryptCert = {"QORA_ImportEncryptCert", "QORA_ImportEncryptCert",
                                              nmQORA_ImportEncryptCert, kImportEncryptCertArguments, -1, E_POINTER};

constexpr NativeCommand kGetCSPInfo = {
    "QORA_GetCSPInfo", "QORA_GetCSPInfo", nmQORA_GetCSPInfo, kNone, E_INVALIDARG, E_POINTER};
constexpr NativeCommand kHavePermissiontoGenerateKeyPair = {"QORA_HavePermissiontoGenerateKeyPair",
                                                            "QORA_HavePermissiontoGenerateKeyPair",
                                                            nmQORA_HavePermissiontoGenerateKeyPair, kNone,
                                                            E_INVALIDARG, E_POINTER};

constexpr CommandArgument kGetAllCertInfoArguments[] = {{ArgumentKind::Text, TEXT("CSPName")}};
constexpr NativeCommand kGetAllCertInfo = {
    "QORA_GetAllCertInfo", "QORA_GetAllCertInfo", nmQORA_GetAllCertInfo, kGetAllCertInfoArguments, -1, E_POINTER};

constexpr const NativeCommand* g_apNativeCommands[] = {
    &kSetCSPInfo,       &kSetKeyAlgorithm, &kGetContainer,          &kGetVersion,
    &kGetLastErrorDesc, &kCheckHost,       &kPKCS10CertRequisition, &kPKCS10CertRequisitionwithMD5,
    &kImportSignCert,   &kImportEncryptCert, &kGetCSPInfo,          &kHavePermissiontoGenerateKeyPair,
    &kGetAllCertInfo,
};

constexpr bool EveryRowFitsCommandArguments()
{
    for (const NativeCommand* pstCommand : g_apNativeCommands) {
        if (pstCommand->arguments.size() > kMaxCommandArguments) return false;
    }
    return true;
}
static_assert(EveryRowFitsCommandArguments(), "a row names more arguments than CommandArguments holds");

// One request's arguments by position: a text position holds its BSTR, an integer position its LONG (the other
// kind's slot stays null or 0).
struct CommandArguments {
    std::array<BString, kMaxCommandArguments> abstrText;
    std::array<LONG, kMaxCommandArguments> alInteger = {};

    BSTR Text(size_t nIndex) const { return abstrText[nIndex].get(); }
    LONG Integer(size_t nIndex) const { return alInteger[nIndex]; }
};

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
HRESULT ReadCommandArguments(const TraceHelper& scope, const NativeCommand& stCommand, const cJSON* pJSONArgs,
                             const CCryptoAgent* pobjCryptoAgent, CommandArguments& args)
{
    FAIL_IF(NULL == pJSONArgs, stCommand.nArgsError, TEXT("Check parameter(pArgs)"));
    const int nArgsCount = cJSON_GetArraySize(pJSONArgs);
    const size_t nArgsWanted = stCommand.arguments.size();
    FAIL_IF_REASON(static_cast<size_t>(nArgsCount) != nArgsWanted, stCommand.nArgsError,
                   TEXT("Check parameter(Args count)"), CountReason(nArgsWanted).c_str());
    if (stCommand.hrNoAgent != QORA_OK)
        FAIL_IF(NULL == pobjCryptoAgent, stCommand.hrNoAgent, TEXT("Check parameter(pobjCryptoAgent)"));

    for (size_t nIndex = 0; nIndex < nArgsWanted; ++nIndex) {
        const CommandArgument& stArgument = stCommand.arguments[nIndex];
        const int nPosition = static_cast<int>(nIndex);
        const HRESULT hResult =
            stArgument.eKind == ArgumentKind::Text
                ? ReadTextArgument(scope, pJSONArgs, nPosition, stArgument.pwszName, args.abstrText[nIndex])
                : ReadIntArgument(scope, pJSONArgs, nPosition, stArgument.pwszName, args.alInteger[nIndex]);
        if (hResult != QORA_OK) return hResult;
    }
    return QORA_OK;
}

// The step of the agent call, "pobjCryptoAgent->" and the command's own name: "pobjCryptoAgent->QORA_SetCSPInfo".
WString AgentCallStep(const NativeCommand& stCommand)
{
    WString wstr = TEXT("pobjCryptoAgent->");
    for (const char* pch = stCommand.pszResponseName; *pch != 0; ++pch) wstr += static_cast<WCHAR>(*pch);
    return wstr;
}

// A command whose agent call gives a boolean: the row's arguments, the call, and "result" true exactly when the call
// succeeded with the agent's flag VARIANT_TRUE (-1).
template <typename Call>
int RespondBooleanCommand(const TraceHelper& scope, JsonPtr& pResponseJSON, const NativeCommand& stCommand,
                          const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent, Call call)
{
    VARIANT_BOOL bOutcome = VARIANT_FALSE;
    const HRESULT hrOutcome = [&]() -> HRESULT {
        CommandArguments args;
        HRESULT hResult = ReadCommandArguments(scope, stCommand, pJSONArgs, pobjCryptoAgent, args);
        if (hResult != QORA_OK) return hResult;
        hResult = call(args, &bOutcome);
        FAIL_IF(FAILED(hResult), hResult, AgentCallStep(stCommand).c_str());
        return QORA_OK;
    }();
    const BYTE byResult = (hrOutcome == QORA_OK && bOutcome == VARIANT_TRUE) ? 1 : 0;
    ConstructResponseJSON(pResponseJSON, stCommand.pszResponseName, static_cast<int>(hrOutcome),
                          byResult != 0 ? JSON_VALUE_TRUE : JSON_VALUE_FALSE, &byResult);
    return 0;
}

// A command whose agent call gives a text: the row's arguments, the call, and the text in UTF-8 (its step label
// "UTF16ToUTF8(<pwszOutcome>)"); the agent's string is released here.
template <typename Call>
HRESULT CallForText(const TraceHelper& scope, const NativeCommand& stCommand, const cJSON* pJSONArgs,
                    CCryptoAgent* pobjCryptoAgent, const WCHAR* pwszOutcome, Call call, std::string& strOutcome)
{
    CommandArguments args;
    HRESULT hResult = ReadCommandArguments(scope, stCommand, pJSONArgs, pobjCryptoAgent, args);
    if (hResult != QORA_OK) return hResult;
    BString bstrOutcome;
    hResult = call(args, bstrOutcome.put());
    FAIL_IF(FAILED(hResult), hResult, AgentCallStep(stCommand).c_str());
    hResult = UTF16ToUTF8(bstrOutcome.get(), strOutcome);
    FAIL_IF(FAILED(hResult), hResult, StepLabel(TEXT("UTF16ToUTF8"), pwszOutcome).c_str());
    return QORA_OK;
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

using RequestOperation = HRESULT (CCryptoAgent::*)(BSTR, LONG, LONG, BSTR*);

// Both request commands: SubjectDN, nCertType, nSignPrivateKeyGenerateFlags in, the Base64 request out.
int RespondRequest(const TraceHelper& scope, JsonPtr& pResponseJSON, const cJSON* pJSONArgs,
                   CCryptoAgent* pobjCryptoAgent, const NativeCommand& stCommand, RequestOperation pfnOperation)
{
    std::string strRequest;
    const HRESULT hrOutcome = CallForText(
        scope, stCommand, pJSONArgs, pobjCryptoAgent, TEXT("P10CertRequisition"),
        [&](const CommandArguments& args, BSTR* pbstrRequest) {
            return (pobjCryptoAgent->*pfnOperation)(args.Text(0), args.Integer(1), args.Integer(2), pbstrRequest);
        },
        strRequest);
    return RespondText(pResponseJSON, stCommand.pszResponseName, hrOutcome, strRequest);
}

}  // namespace

int Invoke(JsonPtr& pResponseJSON, const char* pszFuncName, const cJSON* pJSONArgs)
{
    TraceHelper scope(TEXT("Invoke"));
    TraceNarrowValue(TRACE_FLAG_INFO, TEXT("pszFuncName"), pszFuncName);
    if (pszFuncName != nullptr) {
        for (const NativeCommand* pstCommand : g_apNativeCommands) {
            if (EqualsAsciiIgnoringCase(pstCommand->pszRequestName, pszFuncName))
                return pstCommand->pfnWrapper(pResponseJSON, pJSONArgs, g_pobjCryptoAgent);
        }
    }
    TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("Find command"), TEXT("no command of that name"), -1);
    return -1;
}

int nmQORA_SetCSPInfo(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_SetCSPInfo"));
    return RespondBooleanCommand(scope, pResponseJSON, kSetCSPInfo, pJSONArgs, pobjCryptoAgent,
                                 [&](const CommandArguments& args, VARIANT_BOOL* pbResult) {
                                     return pobjCryptoAgent->QORA_SetCSPInfo(args.Integer(0), args.Text(1), pbResult);
                                 });
}

int nmQORA_SetKeyAlgorithm(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_SetKeyAlgorithm"));
    return RespondBooleanCommand(scope, pResponseJSON, kSetKeyAlgorithm, pJSONArgs, pobjCryptoAgent,
                                 [&](const CommandArguments& args, VARIANT_BOOL* pbResult) {
                                     return pobjCryptoAgent->QORA_SetKeyAlgorithm(args.Text(0), pbResult);
                                 });
}

int nmQORA_GetContainer(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_GetContainer"));
    std::string strContainer;
    const HRESULT hrOutcome = CallForText(
        scope, kGetContainer, pJSONArgs, pobjCryptoAgent, TEXT("Container"),
        [&](const CommandArguments&, BSTR* pbstrContainer) {
            return pobjCryptoAgent->QORA_GetContainer(pbstrContainer);
        },
        strContainer);
    // Every failure of this command, the agent's included, is reported as -1.
    return RespondText(pResponseJSON, kGetContainer.pszResponseName, hrOutcome == QORA_OK ? QORA_OK : -1, strContainer);
}

int nmQORA_GetVersion(JsonPtr& pResponseJSON, const cJSON* pJSONArgs)
{
    TraceHelper scope(TEXT("nmQORA_GetVersion"));
    CommandArguments args;
    const HRESULT hrOutcome = ReadCommandArguments(scope, kGetVersion, pJSONArgs, nullptr, args);
    return RespondText(pResponseJSON, kGetVersion.pszResponseName, hrOutcome, kVersion);
}

int nmGetLastErrorDesc(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmGetLastErrorDesc"));
    std::string strErrorDesc;
    const HRESULT hrOutcome = CallForText(
        scope, kGetLastErrorDesc, pJSONArgs, pobjCryptoAgent, TEXT("ErrorDesc"),
        [&](const CommandArguments&, BSTR* pbstrErrorDesc) {
            return pobjCryptoAgent->GetLastErrorDesc(pbstrErrorDesc);
        },
        strErrorDesc);
    return RespondText(pResponseJSON, kGetLastErrorDesc.pszResponseName, hrOutcome, strErrorDesc);
}

int nmCheckHost(JsonPtr& pResponseJSON)
{
    TraceHelper scope(TEXT("nmCheckHost"));
    // Lets a page learn that the host is installed and reachable; the arguments do not matter.
    const INT32 nResult = 0;
    ConstructResponseJSON(pResponseJSON, kCheckHost.pszResponseName, QORA_OK, JSON_VALUE_INT, &nResult);
    return 0;
}

int nmQORA_PKCS10CertRequisition(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_PKCS10CertRequisition"));
    return RespondRequest(scope, pResponseJSON, pJSONArgs, pobjCryptoAgent, kPKCS10CertRequisition,
                          &CCryptoAgent::QORA_PKCS10CertRequisition);
}

int nmQORA_PKCS10CertRequisitionwithMD5(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_PKCS10CertRequisitionwithMD5"));
    return RespondRequest(scope, pResponseJSON, pJSONArgs, pobjCryptoAgent, kPKCS10CertRequisitionwithMD5,
                          &CCryptoAgent::QORA_PKCS10CertRequisitionwithMD5);
}

int nmQORA_ImportSignCert(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_ImportSignCert"));
    return RespondBooleanCommand(scope, pResponseJSON, kImportSignCert, pJSONArgs, pobjCryptoAgent,
                                 [&](const CommandArguments& args, VARIANT_BOOL* pbDone) {
                                     return pobjCryptoAgent->QORA_ImportSignCert(args.Integer(0), args.Text(1),
                                                                                 args.Text(2), pbDone);
                                 });
}

int nmQORA_ImportEncryptCert(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_ImportEncryptCert"));
    return RespondBooleanCommand(scope, pResponseJSON, kImportEncryptCert, pJSONArgs, pobjCryptoAgent,
                                 [&](const CommandArguments& args, VARIANT_BOOL* pbDone) {
                                     return pobjCryptoAgent->QORA_ImportEncryptCert(args.Text(0), args.Text(1),
                                                                                    args.Text(2), args.Integer(3),
                                                                                    pbDone);
                                 });
}

int nmQORA_GetCSPInfo(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_GetCSPInfo"));
    std::string strCSPInfo;
    const HRESULT hrOutcome = CallForText(
        scope, kGetCSPInfo, pJSONArgs, pobjCryptoAgent, TEXT("CSPInfo"),
        [&](const CommandArguments&, BSTR* pbstrCSPInfo) { return pobjCryptoAgent->QORA_GetCSPInfo(pbstrCSPInfo); },
        strCSPInfo);
    return RespondText(pResponseJSON, kGetCSPInfo.pszResponseName, hrOutcome, strCSPInfo);
}

int nmQORA_HavePermissiontoGenerateKeyPair(JsonPtr& pResponseJSON, const cJSON* pJSONArgs,
                                           CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_HavePermissiontoGenerateKeyPair"));
    return RespondBooleanCommand(scope, pResponseJSON, kHavePermissiontoGenerateKeyPair, pJSONArgs, pobjCryptoAgent,
                                 [&](const CommandArguments&, VARIANT_BOOL* pbPermitted) {
                                     return pobjCryptoAgent->QORA_HavePermissiontoGenerateKeyPair(pbPermitted);
                                 });
}

int nmQORA_GetAllCertInfo(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent)
{
    TraceHelper scope(TEXT("nmQORA_GetAllCertInfo"));
    std::string strCertInfo;
    const HRESULT hrOutcome = CallForText(
        scope, kGetAllCertInfo, pJSONArgs, pobjCryptoAgent, TEXT("AllCertInfo"),
        [&](const CommandArguments& args, BSTR* pbstrCertInfo) {
            return pobjCryptoAgent->QORA_GetAllCertInfo(args.Text(0), pbstrCertInfo);
        },
        strCertInfo);
    return RespondText(pResponseJSON, kGetAllCertInfo.pszResponseName, hrOutcome, strCertInfo);
}
