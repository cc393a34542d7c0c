// plugin/ScriptablePluginObject.cpp — the scriptable object: method lookup by identifier, the argument rules
// of each method, the conversions between script values and the agent's, and the outcome the script sees.
#include "plugin/ScriptablePluginObject.h"

#include "codec/Misc.h"
#include "plugin/BrowserFunctions.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace {

enum class ArgKind { String, Number };

constexpr ArgKind kString = ArgKind::String;
constexpr ArgKind kNumber = ArgKind::Number;

const char kDefaultMethodText[] = "default method return val";

// The most arguments any method takes.
constexpr size_t kMaxMethodArguments = 4;

}  // namespace

// A method's argument rule: the kinds by position, the rule's text (the refusal's trace reason) and the agent
// operation it calls (the step of that call).
struct MethodRule {
    std::span<const ArgKind> kinds;
    const WCHAR* pwszRule;
    const WCHAR* pwszOperation;
    // The reason traced when a boolean operation succeeds with its flag cleared.
    const WCHAR* pwszFalseReason = TEXT("VARIANT_FALSE == varResult");
};

struct MethodArguments {
    std::array<BString, kMaxMethodArguments> abstrText;
    std::array<LONG, kMaxMethodArguments> alNumber = {};

    BSTR Text(size_t nIndex) const { return abstrText[nIndex].get(); }
    LONG Number(size_t nIndex) const { return alNumber[nIndex]; }
};

namespace {

constexpr std::span<const ArgKind> kNoArguments;
constexpr ArgKind kOneString[] = {kString};
constexpr ArgKind kSetCSPInfoKinds[] = {kNumber, kString};
constexpr ArgKind kImportSignCertKinds[] = {kNumber, kString, kString};
constexpr ArgKind kRequestKinds[] = {kString, kNumber, kNumber};
constexpr ArgKind kImportEncryptCertKinds[] = {kString, kString, kString, kNumber};

const MethodRule kCheckCertificateChainRule = {kNoArguments, TEXT("0 != argCount"), TEXT("QORA_CheckCertificateChain")};
const MethodRule kGetCSPInfoRule = {kNoArguments, TEXT("0 != argCount"), TEXT("QORA_GetCSPInfo")};
const MethodRule kHavePermissionRule = {kNoArguments, TEXT("0 != argCount"),
                                        TEXT("QORA_HavePermissiontoGenerateKeyPair")};
const MethodRule kGetContainerRule = {kNoArguments, TEXT("argCount != 0"), TEXT("QORA_GetContainer")};
const MethodRule kGetLastErrorDescRule = {kNoArguments, TEXT("argCount != 0"), TEXT("GetLastErrorDesc")};
const MethodRule kGetAllCertInfoRule = {
    kOneString, TEXT("(argCount != 1 || args[0].type != NPVariantType_String)"), TEXT("QORA_GetAllCertInfo")};
const MethodRule kSetKeyAlgorithmRule = {
    kOneString, TEXT("(argCount != 1 || args[0].type != NPVariantType_String)"), TEXT("QORA_SetKeyAlgorithm")};
const MethodRule kSetCSPInfoRule = {
    kSetCSPInfoKinds,
    TEXT("(argCount != 2 || (args[0].type != NPVariantType_Int32 && args[0].type != NPVariantType_Double) || "
         "args[1].type != NPVariantType_String)"),
    TEXT("QORA_SetCSPInfo")};
const MethodRule kImportSignCertRule = {
    kImportSignCertKinds,
    TEXT("(argCount != 3 || (args[0].type != NPVariantType_Int32 && args[0].type != NPVariantType_Double) || "
         "args[1].type != NPVariantType_String || args[2].type != NPVariantType_String)"),
    TEXT("QORA_ImportSignCert")};
const WCHAR kRequestRuleText[] =
    TEXT("(argCount != 3 || args[0].type != NPVariantType_String || (args[1].type != NPVariantType_Int32 && "
         "args[1].type != NPVariantType_Double) || (args[2].type != NPVariantType_Int32 && args[2].type != "
         "NPVariantType_Double))");
const MethodRule kPKCS10CertRequisitionRule = {kRequestKinds, kRequestRuleText, TEXT("QORA_PKCS10CertRequisition")};
const MethodRule kPKCS10CertRequisitionwithMD5Rule = {kRequestKinds, kRequestRuleText,
                                                      TEXT("QORA_PKCS10CertRequisitionwithMD5")};
const MethodRule kImportEncryptCertRule = {
    kImportEncryptCertKinds,
    TEXT("(argCount != 4 || args[0].type != NPVariantType_String || args[1].type != NPVariantType_String || "
         "args[2].type != NPVariantType_String || (args[3].type != NPVariantType_Int32 && args[3].type != "
         "NPVariantType_Double))"),
    TEXT("QORA_ImportEncryptCert"), TEXT("VARIANT_FALSE == vbSuccess")};

using WrapperFn = bool (CScriptablePluginObject::*)(const NPVariant*, uint32_t, NPVariant*);

struct MethodRow {
    const char* pszName;
    WrapperFn pfnWrapper;
};

// The method table, in the order HasMethod and Invoke test it. Names are exact: the browser's identifiers
// distinguish letter case.
const MethodRow kMethods[] = {
    {"QORA_CheckCertificateChain", &CScriptablePluginObject::npQORA_CheckCertificateChain},
    {"QORA_GetCSPInfo", &CScriptablePluginObject::npQORA_GetCSPInfo},
    {"QORA_GetAllCertInfo", &CScriptablePluginObject::npQORA_GetAllCertInfo},
    {"QORA_SetCSPInfo", &CScriptablePluginObject::npQORA_SetCSPInfo},
    {"QORA_SetKeyAlgorithm", &CScriptablePluginObject::npQORA_SetKeyAlgorithm},
    {"QORA_GetContainer", &CScriptablePluginObject::npQORA_GetContainer},
    {"QORA_ImportSignCert", &CScriptablePluginObject::npQORA_ImportSignCert},
    {"QORA_PKCS10CertRequisition", &CScriptablePluginObject::npQORA_PKCS10CertRequisition},
    {"QORA_HavePermissiontoGenerateKeyPair", &CScriptablePluginObject::npQORA_HavePermissiontoGenerateKeyPair},
    {"QORA_ImportEncryptCert", &CScriptablePluginObject::npQORA_ImportEncryptCert},
    {"GetLastErrorDesc", &CScriptablePluginObject::npGetLastErrorDesc},
    {"QORA_PKCS10CertRequisitionwithMD5", &CScriptablePluginObject::npQORA_PKCS10CertRequisitionwithMD5},
};
static_assert(std::size(kMethods) == CScriptablePluginObject::kMethodCount, "one identifier slot per method");

const WCHAR* KindName(NPVariantType eType)
{
    switch (eType) {
    case NPVariantType_Void: return TEXT("Void");
    case NPVariantType_Null: return TEXT("Null");
    case NPVariantType_Bool: return TEXT("Bool");
    case NPVariantType_Int32: return TEXT("Int32");
    case NPVariantType_Double: return TEXT("Double");
    case NPVariantType_String: return TEXT("String");
    case NPVariantType_Object: return TEXT("Object");
    }
    return TEXT("Unknown");
}

bool IsNumber(const NPVariant& variant)
{
    return variant.type == NPVariantType_Int32 || variant.type == NPVariantType_Double;
}

// The agent takes its texts as C strings: one holding U+0000 would reach it cut short there, so such a
// String is refused like an argument of the wrong type, as the host refuses it.
bool IsWholeString(const NPVariant& variant)
{
    if (variant.type != NPVariantType_String) return false;
    const NPString& stText = variant.value.stringValue;
    return stText.UTF8Characters == nullptr || memchr(stText.UTF8Characters, 0, stText.UTF8Length) == nullptr;
}

bool FitsRule(const MethodRule& stRule, const NPVariant* args, uint32_t argCount)
{
    if (argCount != stRule.kinds.size()) return false;
    if (argCount > 0 && args == nullptr) return false;
    for (size_t nIndex = 0; nIndex < stRule.kinds.size(); ++nIndex) {
        const bool bFits = stRule.kinds[nIndex] == kString ? IsWholeString(args[nIndex]) : IsNumber(args[nIndex]);
        if (!bFits) return false;
    }
    return true;
}

// Steps 1 to 3 of every wrapper: the arguments traced, the rule applied, then in position order each String
// copied and converted to UTF-16, each number read. Traces under the wrapper's scope.
HRESULT ReadMethodArguments(const TraceHelper& scope, const MethodRule& stRule, const NPVariant* args,
                            uint32_t argCount, MethodArguments& stArguments)
{
    TraceParameterInfo(args, argCount);
    FAIL_IF_REASON(!FitsRule(stRule, args, argCount), E_INVALIDARG, TEXT("Invalid parameters"), stRule.pwszRule);

    for (size_t nIndex = 0; nIndex < stRule.kinds.size(); ++nIndex) {
        const NPVariant& variant = args[nIndex];
        if (stRule.kinds[nIndex] == kNumber) {
            stArguments.alNumber[nIndex] = NPVariantToLong(variant);
            continue;
        }
        std::string strText;
        HRESULT hResult = ConverNPStringtoNULLEndString(strText, variant.value.stringValue.UTF8Characters,
                                                        variant.value.stringValue.UTF8Length);
        FAIL_IF(FAILED(hResult), hResult, TEXT("ConverNPStringtoNULLEndString"));

        WString wstrText;
        hResult = UTF8ToUTF16(strText.c_str(), wstrText);
        FAIL_IF(FAILED(hResult), hResult, TEXT("UTF8ToUTF16"));

        stArguments.abstrText[nIndex].reset(SysAllocStringLen(wstrText.c_str(), static_cast<UINT>(wstrText.size())));
        FAIL_IF_REASON(!stArguments.abstrText[nIndex], E_OUTOFMEMORY, TEXT("SysAllocString"), TEXT("NULL == bstrText"));
    }
    return QORA_OK;
}

// Traces the name behind an identifier; the browser's copy of the name is the caller's to free.
void TraceIdentifierName(const WCHAR* pwszWhat, NPIdentifier name)
{
    if (!TraceIsEnabled(TRACE_FLAG_INFO)) return;
    NPUTF8* pszName = NPN_UTF8FromIdentifier(name);
    TraceNarrowValue(TRACE_FLAG_INFO, pwszWhat, pszName != nullptr ? pszName : "");
    if (pszName != nullptr) NPN_MemFree(pszName);
}

}  // namespace

HRESULT ConverNPStringtoNULLEndString(std::string& strText, const NPUTF8* pszChars, uint32_t nLength)
{
    TraceHelper scope(TEXT("ConverNPStringtoNULLEndString"));
    FAIL_IF(nLength > 0 && pszChars == nullptr, E_POINTER, TEXT("Check parameter"));
    std::string strCopy;
    FAIL_IF_REASON(!TryResize(strCopy, static_cast<uint64_t>(nLength)), E_OUTOFMEMORY, TEXT("New buffer"),
                   TEXT("NULL == pszBuffer"));
    if (nLength > 0) memcpy(strCopy.data(), pszChars, nLength);
    strText.swap(strCopy);
    return QORA_OK;
}

LONG NPVariantToLong(const NPVariant& variant)
{
    TraceHelper scope(TEXT("NPVariantToLong"));
    if (variant.type == NPVariantType_Int32) return variant.value.intValue;
    if (variant.type != NPVariantType_Double) return -1;
    // A page may pass any number; converting one outside the 32-bit range would be undefined.
    const double dValue = std::trunc(variant.value.doubleValue);
    if (std::isnan(dValue)) return 0;
    if (dValue >= static_cast<double>(std::numeric_limits<LONG>::max())) return std::numeric_limits<LONG>::max();
    if (dValue <= static_cast<double>(std::numeric_limits<LONG>::min())) return std::numeric_limits<LONG>::min();
    return static_cast<LONG>(dValue);
}

bool ConvertStringToNPVariant(const char* pszText, NPVariant* pVariant)
{
    TraceHelper scope(TEXT("ConvertStringToNPVariant"));
    if (pszText == nullptr || pVariant == nullptr) return false;
    const size_t cchText = strlen(pszText);
    if (cchText >= std::numeric_limits<uint32_t>::max()) return false;
    auto* pszCopy = static_cast<NPUTF8*>(NPN_MemAlloc(static_cast<uint32_t>(cchText + 1)));
    if (pszCopy == nullptr) return false;
    memset(pszCopy, 0, cchText + 1);
    memcpy(pszCopy, pszText, cchText);
    pVariant->type = NPVariantType_String;
    pVariant->value.stringValue.UTF8Characters = pszCopy;
    pVariant->value.stringValue.UTF8Length = static_cast<uint32_t>(cchText);
    return true;
}

void TraceParameterInfo(const NPVariant* args, uint32_t argCount)
{
    TraceHelper scope(TEXT("TraceParameterInfo"));
    if (!TraceIsEnabled(TRACE_FLAG_INFO)) return;
    TraceValue(TRACE_FLAG_INFO, TEXT("argCount"), static_cast<LONG>(argCount));
    if (args == nullptr) return;
    for (uint32_t nIndex = 0; nIndex < argCount; ++nIndex) {
        const NPVariant& variant = args[nIndex];
        TraceWideValue(TRACE_FLAG_INFO, TEXT("type"), KindName(variant.type));
        // String contents may be certificates or names of the user: never traced.
        if (variant.type == NPVariantType_Bool)
            TraceValue(TRACE_FLAG_INFO, TEXT("boolValue"), variant.value.boolValue ? 1 : 0);
        else if (variant.type == NPVariantType_Int32)
            TraceValue(TRACE_FLAG_INFO, TEXT("intValue"), variant.value.intValue);
        else if (variant.type == NPVariantType_Double)
            TraceNarrowValue(TRACE_FLAG_INFO, TEXT("doubleValue"), std::to_string(variant.value.doubleValue).c_str());
    }
}

// ---- the base: every operation answers false ----

CScriptablePluginObjectBase::CScriptablePluginObjectBase(NPP npp) : NPObject{nullptr, 0}, m_npp(npp) {}

CScriptablePluginObjectBase::~CScriptablePluginObjectBase() = default;

void CScriptablePluginObjectBase::Invalidate() {}
bool CScriptablePluginObjectBase::HasMethod(NPIdentifier) { return false; }
bool CScriptablePluginObjectBase::Invoke(NPIdentifier, const NPVariant*, uint32_t, NPVariant*) { return false; }
bool CScriptablePluginObjectBase::InvokeDefault(const NPVariant*, uint32_t, NPVariant*) { return false; }
bool CScriptablePluginObjectBase::HasProperty(NPIdentifier) { return false; }
bool CScriptablePluginObjectBase::GetProperty(NPIdentifier, NPVariant*) { return false; }
bool CScriptablePluginObjectBase::SetProperty(NPIdentifier, const NPVariant*) { return false; }
bool CScriptablePluginObjectBase::RemoveProperty(NPIdentifier) { return false; }
bool CScriptablePluginObjectBase::Enumerate(NPIdentifier**, uint32_t*) { return false; }
bool CScriptablePluginObjectBase::Construct(const NPVariant*, uint32_t, NPVariant*) { return false; }

namespace {
CScriptablePluginObjectBase* ObjectOf(NPObject* npobj) { return static_cast<CScriptablePluginObjectBase*>(npobj); }
}  // namespace

void CScriptablePluginObjectBase::_Deallocate(NPObject* npobj)
{
    TraceHelper scope(TEXT("CScriptablePluginObjectBase::_Deallocate"));
    if (npobj != nullptr) delete ObjectOf(npobj);
}

void CScriptablePluginObjectBase::_Invalidate(NPObject* npobj) { ObjectOf(npobj)->Invalidate(); }

bool CScriptablePluginObjectBase::_HasMethod(NPObject* npobj, NPIdentifier name)
{
    return ObjectOf(npobj)->HasMethod(name);
}

bool CScriptablePluginObjectBase::_Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                                          uint32_t argCount, NPVariant* result)
{
    return ObjectOf(npobj)->Invoke(name, args, argCount, result);
}

bool CScriptablePluginObjectBase::_InvokeDefault(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                                 NPVariant* result)
{
    return ObjectOf(npobj)->InvokeDefault(args, argCount, result);
}

bool CScriptablePluginObjectBase::_HasProperty(NPObject* npobj, NPIdentifier name)
{
    return ObjectOf(npobj)->HasProperty(name);
}

bool CScriptablePluginObjectBase::_GetProperty(NPObject* npobj, NPIdentifier name, NPVariant* result)
{
    return ObjectOf(npobj)->GetProperty(name, result);
}

bool CScriptablePluginObjectBase::_SetProperty(NPObject* npobj, NPIdentifier name, const NPVariant* value)
{
    return ObjectOf(npobj)->SetProperty(name, value);
}

bool CScriptablePluginObjectBase::_RemoveProperty(NPObject* npobj, NPIdentifier name)
{
    return ObjectOf(npobj)->RemoveProperty(name);
}

bool CScriptablePluginObjectBase::_Enumerate(NPObject* npobj, NPIdentifier** identifier, uint32_t* count)
{
    return ObjectOf(npobj)->Enumerate(identifier, count);
}

bool CScriptablePluginObjectBase::_Construct(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                             NPVariant* result)
{
    return ObjectOf(npobj)->Construct(args, argCount, result);
}

NPObject* AllocateCScriptableObject(NPP npp, NPClass*)
{
    TraceHelper scope(TEXT("AllocateCScriptableObject"));
    CScriptablePluginObject* pObject = new (std::nothrow) CScriptablePluginObject(npp);
    if (pObject == nullptr) {
        TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("new CScriptablePluginObject"),
                         TEXT("NULL == pObject"), E_OUTOFMEMORY);
        return nullptr;
    }
    return pObject;
}

// ---- the scriptable object ----

CScriptablePluginObject::CScriptablePluginObject(NPP npp) : CScriptablePluginObjectBase(npp), m_aMethodIds{}
{
    for (size_t nIndex = 0; nIndex < kMethodCount; ++nIndex)
        m_aMethodIds[nIndex] = NPN_GetStringIdentifier(kMethods[nIndex].pszName);
}

CScriptablePluginObject::~CScriptablePluginObject() = default;

bool CScriptablePluginObject::HasMethod(NPIdentifier name)
{
    TraceHelper scope(TEXT("CScriptablePluginObject::HasMethod"));
    TraceIdentifierName(TEXT("name"), name);
    for (const NPIdentifier id : m_aMethodIds) {
        if (id != nullptr && id == name) return true;
    }
    return false;
}

bool CScriptablePluginObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    TraceHelper scope(TEXT("CScriptablePluginObject::Invoke"));
    for (size_t nIndex = 0; nIndex < kMethodCount; ++nIndex) {
        if (m_aMethodIds[nIndex] == nullptr || m_aMethodIds[nIndex] != name) continue;
        if (result == nullptr) {
            TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("Check parameter"), TEXT("NULL == result"),
                             E_POINTER);
            return false;
        }
        return (this->*kMethods[nIndex].pfnWrapper)(args, argCount, result);
    }
    TraceIdentifierName(TEXT("name"), name);
    TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("Find method"), TEXT("no method of that name"),
                     E_INVALIDARG);
    return false;
}

bool CScriptablePluginObject::InvokeDefault(const NPVariant*, uint32_t, NPVariant* result)
{
    TraceHelper scope(TEXT("CScriptablePluginObject::InvokeDefault"));
    const bool bDone = ConvertStringToNPVariant(kDefaultMethodText, result);
    if (!bDone)
        TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("ConvertStringToNPVariant"), TEXT("!bResult"),
                         E_OUTOFMEMORY);
    return bDone;
}

bool CScriptablePluginObject::HasProperty(NPIdentifier name)
{
    TraceHelper scope(TEXT("CScriptablePluginObject::HasProperty"));
    TraceIdentifierName(TEXT("name"), name);
    return false;
}

bool CScriptablePluginObject::GetProperty(NPIdentifier name, NPVariant*)
{
    TraceHelper scope(TEXT("CScriptablePluginObject::GetProperty"));
    TraceIdentifierName(TEXT("name"), name);
    return false;
}

bool CScriptablePluginObject::SetProperty(NPIdentifier name, const NPVariant*)
{
    TraceHelper scope(TEXT("CScriptablePluginObject::SetProperty"));
    TraceIdentifierName(TEXT("name"), name);
    return false;
}

// A boolean operation succeeds only when the agent's call succeeds and its flag is set; the result is always
// Bool with the success flag.
template <typename Call>
bool CScriptablePluginObject::InvokeBoolean(const TraceHelper& scope, const MethodRule& stRule,
                                            const NPVariant* args, uint32_t argCount, NPVariant* result, Call call)
{
    VARIANT_BOOL varResult = VARIANT_FALSE;
    const HRESULT hResult = [&]() -> HRESULT {
        MethodArguments stArguments;
        HRESULT hr = ReadMethodArguments(scope, stRule, args, argCount, stArguments);
        if (FAILED(hr)) return hr;
        hr = call(stArguments, &varResult);
        FAIL_IF_REASON(FAILED(hr), hr, stRule.pwszOperation, TEXT("FAILED(hResult)"));
        FAIL_IF_REASON(VARIANT_FALSE == varResult, E_FAIL, stRule.pwszOperation, stRule.pwszFalseReason);
        return QORA_OK;
    }();
    const bool bSuccess = SUCCEEDED(hResult);
    result->type = NPVariantType_Bool;
    result->value.boolValue = bSuccess;
    return bSuccess;
}

// A text operation hands the agent's text over as a String in browser memory, or Null when it failed.
template <typename Call>
bool CScriptablePluginObject::InvokeText(const TraceHelper& scope, const MethodRule& stRule, const NPVariant* args,
                                         uint32_t argCount, NPVariant* result, Call call)
{
    const HRESULT hResult = [&]() -> HRESULT {
        MethodArguments stArguments;
        HRESULT hr = ReadMethodArguments(scope, stRule, args, argCount, stArguments);
        if (FAILED(hr)) return hr;
        BString bstrOutcome;
        hr = call(stArguments, bstrOutcome.put());
        FAIL_IF_REASON(FAILED(hr), hr, stRule.pwszOperation, TEXT("FAILED(hResult)"));

        std::string strOutcome;
        hr = UTF16ToUTF8(bstrOutcome ? bstrOutcome.get() : TEXT(""), strOutcome);
        FAIL_IF_REASON(FAILED(hr), E_FAIL, TEXT("UTF16ToUTF8"), TEXT("FAILED(hResult)"));
        bstrOutcome.reset();
        FAIL_IF_REASON(!ConvertStringToNPVariant(strOutcome.c_str(), result), E_FAIL, TEXT("ConvertStringToNPVariant"),
                       TEXT("!bResult"));
        return QORA_OK;
    }();
    if (FAILED(hResult)) result->type = NPVariantType_Null;
    return SUCCEEDED(hResult);
}

#define NP_BOOLEAN_WRAPPER(Wrapper, Rule, AgentCall)                                                            \
    bool CScriptablePluginObject::Wrapper(const NPVariant* args, uint32_t argCount, NPVariant* result)         \
    {                                                                                                          \
        TraceHelper scope(TEXT("CScriptablePluginObject::" #Wrapper));                                         \
        return InvokeBoolean(scope, Rule, args, argCount, result,                                              \
                             [this](const MethodArguments& a, VARIANT_BOOL* pvb) {                             \
                                 (void)a;                                                                      \
                                 return m_objCryptoAgent.AgentCall;                                            \
                             });                                                                               \
    }

#define NP_TEXT_WRAPPER(Wrapper, Rule, AgentCall)                                                               \
    bool CScriptablePluginObject::Wrapper(const NPVariant* args, uint32_t argCount, NPVariant* result)         \
    {                                                                                                          \
        TraceHelper scope(TEXT("CScriptablePluginObject::" #Wrapper));                                         \
        return InvokeText(scope, Rule, args, argCount, result, [this](const MethodArguments& a, BSTR* pbstr) { \
            (void)a;                                                                                           \
            return m_objCryptoAgent.AgentCall;                                                                 \
        });                                                                                                    \
    }

NP_BOOLEAN_WRAPPER(npQORA_CheckCertificateChain, kCheckCertificateChainRule, QORA_CheckCertificateChain(pvb))
NP_TEXT_WRAPPER(npQORA_GetCSPInfo, kGetCSPInfoRule, QORA_GetCSPInfo(pbstr))
NP_TEXT_WRAPPER(npQORA_GetAllCertInfo, kGetAllCertInfoRule, QORA_GetAllCertInfo(a.Text(0), pbstr))
NP_BOOLEAN_WRAPPER(npQORA_SetCSPInfo, kSetCSPInfoRule, QORA_SetCSPInfo(a.Number(0), a.Text(1), pvb))
NP_BOOLEAN_WRAPPER(npQORA_SetKeyAlgorithm, kSetKeyAlgorithmRule, QORA_SetKeyAlgorithm(a.Text(0), pvb))
NP_TEXT_WRAPPER(npQORA_GetContainer, kGetContainerRule, QORA_GetContainer(pbstr))
NP_BOOLEAN_WRAPPER(npQORA_ImportSignCert, kImportSignCertRule,
                   QORA_ImportSignCert(a.Number(0), a.Text(1), a.Text(2), pvb))
NP_TEXT_WRAPPER(npQORA_PKCS10CertRequisition, kPKCS10CertRequisitionRule,
                QORA_PKCS10CertRequisition(a.Text(0), a.Number(1), a.Number(2), pbstr))
NP_BOOLEAN_WRAPPER(npQORA_HavePermissiontoGenerateKeyPair, kHavePermissionRule,
                   QORA_HavePermissiontoGenerateKeyPair(pvb))
NP_BOOLEAN_WRAPPER(npQORA_ImportEncryptCert, kImportEncryptCertRule,
                   QORA_ImportEncryptCert(a.Text(0), a.Text(1), a.Text(2), a.Number(3), pvb))
NP_TEXT_WRAPPER(npGetLastErrorDesc, kGetLastErrorDescRule, GetLastErrorDesc(pbstr))
NP_TEXT_WRAPPER(npQORA_PKCS10CertRequisitionwithMD5, kPKCS10CertRequisitionwithMD5Rule,
                QORA_PKCS10CertRequisitionwithMD5(a.Text(0), a.Number(1), a.Number(2), pbstr))
