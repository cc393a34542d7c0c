// plugin/ScriptablePluginObject.h — the object page scripts hold: the agent's operations as methods, each
// checking and converting the script's values, calling the object's own agent once and converting back.
#pragma once
#include "Common.h"
#include "agent/AgentOperations.h"
#include "agent/CryptoAgent.h"
#include "plugin/NpApi.h"
#include "trace/TraceHelper.h"

#include <array>
#include <span>
#include <string>

// The object the browser sees, with one virtual operation per class callback. The base answers false to
// everything; the static callbacks turn the browser's NPObject pointer into the object that contains it.
class CScriptablePluginObjectBase : public NPObject {
public:
    explicit CScriptablePluginObjectBase(NPP npp);
    virtual ~CScriptablePluginObjectBase();
    CScriptablePluginObjectBase(const CScriptablePluginObjectBase&) = delete;
    CScriptablePluginObjectBase& operator=(const CScriptablePluginObjectBase&) = delete;

    virtual void Invalidate();
    virtual bool HasMethod(NPIdentifier name);
    virtual bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result);
    virtual bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result);
    virtual bool HasProperty(NPIdentifier name);
    virtual bool GetProperty(NPIdentifier name, NPVariant* result);
    virtual bool SetProperty(NPIdentifier name, const NPVariant* value);
    virtual bool RemoveProperty(NPIdentifier name);
    virtual bool Enumerate(NPIdentifier** identifier, uint32_t* count);
    virtual bool Construct(const NPVariant* args, uint32_t argCount, NPVariant* result);

    static void _Deallocate(NPObject* npobj);
    static void _Invalidate(NPObject* npobj);
    static bool _HasMethod(NPObject* npobj, NPIdentifier name);
    static bool _Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args, uint32_t argCount,
                        NPVariant* result);
    static bool _InvokeDefault(NPObject* npobj, const NPVariant* args, uint32_t argCount, NPVariant* result);
    static bool _HasProperty(NPObject* npobj, NPIdentifier name);
    static bool _GetProperty(NPObject* npobj, NPIdentifier name, NPVariant* result);
    static bool _SetProperty(NPObject* npobj, NPIdentifier name, const NPVariant* value);
    static bool _RemoveProperty(NPObject* npobj, NPIdentifier name);
    static bool _Enumerate(NPObject* npobj, NPIdentifier** identifier, uint32_t* count);
    static bool _Construct(NPObject* npobj, const NPVariant* args, uint32_t argCount, NPVariant* result);

protected:
    NPP m_npp;
};

// The scriptable class's allocate callback: a CScriptablePluginObject for the instance, or null when memory
// is exhausted.
NPObject* AllocateCScriptableObject(NPP npp, NPClass* aClass);

// The script's values in the agent's terms, one slot per argument position.
struct MethodRule;

class CScriptablePluginObject final : public CScriptablePluginObjectBase {
public:
    explicit CScriptablePluginObject(NPP npp);
    ~CScriptablePluginObject() override;

    bool HasMethod(NPIdentifier name) override;
    bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result) override;
    bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) override;
    bool HasProperty(NPIdentifier name) override;
    bool GetProperty(NPIdentifier name, NPVariant* result) override;
    bool SetProperty(NPIdentifier name, const NPVariant* value) override;

    static constexpr size_t kMethodCount = kAgentOperationCount;

private:
    bool InvokeOperation(const AgentOperation& stOperation, const NPVariant* args, uint32_t argCount,
                         NPVariant* result);
    template <typename Call>
    bool InvokeBoolean(const TraceHelper& scope, const MethodRule& stRule, const NPVariant* args,
                       uint32_t argCount, NPVariant* result, Call call);
    template <typename Call>
    bool InvokeText(const TraceHelper& scope, const MethodRule& stRule, const NPVariant* args,
                    uint32_t argCount, NPVariant* result, Call call);

    CCryptoAgent m_objCryptoAgent;
    // The browser's identifier for each method name, in table order; identifiers are compared by identity.
    std::array<NPIdentifier, kMethodCount> m_aMethodIds;
};

// Conversions between script values and the agent's.
// A zero-terminated copy of an NPString's bytes; E_OUTOFMEMORY when no room, E_POINTER for absent
// characters with a non-zero length.
HRESULT ConverNPStringtoNULLEndString(std::string& strText, const NPUTF8* pszChars, uint32_t nLength);
// Int32 as it is; Double truncated toward zero and held to the 32-bit range (not a number: 0); else -1.
LONG NPVariantToLong(const NPVariant& variant);
// The text as a String in memory from NPN_MemAlloc, which then belongs to the browser. False, and the variant
// untouched, for absent text or a failed allocation.
bool ConvertStringToNPVariant(const char* pszText, NPVariant* pVariant);
// Traces the count, and each argument's kind and (for Bool, Int32 and Double) its value.
void TraceParameterInfo(const NPVariant* args, uint32_t argCount);
