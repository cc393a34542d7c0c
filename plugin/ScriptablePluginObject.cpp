// plugin/ScriptablePluginObject.cpp — the scriptable object: method lookup by identifier, the argument rule of
// each operation of the agent's table, the conversions between script values and the agent's, and the outcome
// the script sees.
#include "plugin/ScriptablePluginObject.h"

#include "agent/AgentOperations.h"
#include "codec/Misc.h"
#include "plugin/BrowserFunctions.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace {

const char kDefaultMethodText[] = "default method return val";

// The most arguments any method takes.
constexpr size_t kMaxOperationArguments = 4;

}  // namespace

// A method's argument rule: the kinds by position, the rule's text (the refusal's trace reason) and the agent
// operation it calls (the step of that call).
struct MethodRule {
    std::span<const OperationArgument> kinds;
    WString wstrRule;
    const WCHAR* pwszOperation;
    // The reason traced when a boolean operation succeeds with its flag cleared.
    const WCHAR* pwszFalseReason = TEXT("VARIANT_FALSE == varResult");
};

namespace {

bool Named(const AgentOperation& stOperation, const char* pszName) { return strcmp(stOperation.pszName, pszName) == 0; }

// The rule as the refusal's reason reads it: the count, then each position's accepted kinds.
WString RuleText(const AgentOperation& stOperation)
{
    const size_t nCount = stOperation.arguments.size();
    if (nCount == 0)
        return Named(stOperation, "QORA_GetContainer") || Named(stOperation, "GetLastErrorDesc") ? TEXT("argCount != 0")
                                                                                                   : TEXT("0 != argCount");
    auto number = [](size_t n) {
        WString wstr;
        for (const char ch : std::to_string(n)) wstr += static_cast<WCHAR>(ch);
        return wstr;
    };
    WString wstrRule = TEXT("(argCount != ") + number(nCount);
    for (size_t nIndex = 0; nIndex < nCount; ++nIndex) {
        const WString wstrArg = TEXT("args[") + number(nIndex) + TEXT("].type != NPVariantType_");
        wstrRule += stOperation.arguments[nIndex].eKind == OperationArgumentKind::Text
                        ? TEXT(" || ") + wstrArg + TEXT("String")
                        : TEXT(" || (") + wstrArg + TEXT("Int32 && ") + wstrArg + TEXT("Double)");
    }
    return wstrRule + TEXT(")");
}

MethodRule RuleOf(const AgentOperation& stOperation)
{
    MethodRule stRule = {stOperation.arguments, RuleText(stOperation), stOperation.pwszName};
    if (Named(stOperation, "QORA_ImportEncryptCert")) stRule.pwszFalseReason = TEXT("VARIANT_FALSE == vbSuccess");
    return stRule;
}

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
        const bool bFits = stRule.kinds[nIndex].eKind == OperationArgumentKind::Text ? IsWholeString(args[nIndex])
                                                                                    : IsNumber(args[nIndex]);
        if (!bFits) return false;
    }
    return true;
}

// Steps 1 to 3 of every wrapper: the arguments traced, the rule applied, then in position order each String
// copied and converted to UTF-16, each number read. Traces under the wrapper's scope.
HRESULT ReadOperationArguments(const TraceHelper& scope, const MethodRule& stRule, const NPVariant* args,
                            uint32_t argCount, OperationArguments& stArguments)
{
    TraceParameterInfo(args, argCount);
    FAIL_IF_REASON(!FitsRule(stRule, args, argCount), E_INVALIDARG, TEXT("Invalid parameters"),
                   stRule.wstrRule.c_str());

    for (size_t nIndex = 0; nIndex < stRule.kinds.size(); ++nIndex) {
        const NPVariant& variant = args[nIndex];
        if (stRule.kinds[nIndex].eKind == OperationArgumentKind::Number) {
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
        m_aMethodIds[nIndex] = NPN_GetStringIdentifier(AgentOperations()[nIndex].pszName);
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
        return InvokeOperation(AgentOperations()[nIndex], args, argCount, result);
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
        OperationArguments stArguments;
        HRESULT hr = ReadOperationArguments(scope, stRule, args, argCount, stArguments);
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
        OperationArguments stArguments;
        HRESULT hr = ReadOperationArguments(scope, stRule, args, argCount, stArguments);
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

// One operation as a method: "CScriptablePluginObject::np<name>" reads the arguments by the operation's rule
// and answers its flag or text.
bool CScriptablePluginObject::InvokeOperation(const AgentOperation& stOperation, const NPVariant* args,
                                              uint32_t argCount, NPVariant* result)
{
    const WString wstrWrapper = WString(TEXT("CScriptablePluginObject::np")) + stOperation.pwszName;
    TraceHelper scope(wstrWrapper.c_str());
    const MethodRule stRule = RuleOf(stOperation);
    if (stOperation.pfnFlag != nullptr)
        return InvokeBoolean(scope, stRule, args, argCount, result,
                             [&](const OperationArguments& a, VARIANT_BOOL* pvb) {
                                 return stOperation.pfnFlag(m_objCryptoAgent, a, pvb);
                             });
    return InvokeText(scope, stRule, args, argCount, result, [&](const OperationArguments& a, BSTR* pbstr) {
        return stOperation.pfnText(m_objCryptoAgent, a, pbstr);
    });
}
