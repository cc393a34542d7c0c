// plugin/Plugin.cpp — one embedding: created by NPP_New, asked for its scriptable object by NPP_GetValue,
// deleted by NPP_Destroy.
#include "plugin/Plugin.h"

#include "plugin/BrowserFunctions.h"
#include "plugin/npKestrovan.h"
#include "trace/TraceHelper.h"

CPlugin::CPlugin(NPP pNPInstance) : m_pNPInstance(pNPInstance), m_pScriptableObject(nullptr)
{
    TraceHelper scope(TEXT("CPlugin::CPlugin"));
    m_pNPInstance->pdata = this;
}

CPlugin::~CPlugin()
{
    TraceHelper scope(TEXT("CPlugin::~CPlugin"));
    // The object lives on while the page still holds it; only the plug-in's own reference goes here.
    if (m_pScriptableObject != nullptr) NPN_ReleaseObject(m_pScriptableObject);
    m_pScriptableObject = nullptr;
    m_pNPInstance->pdata = nullptr;
}

NPObject* CPlugin::GetScriptableObject()
{
    TraceHelper scope(TEXT("CPlugin::GetScriptableObject"));
    if (m_pScriptableObject == nullptr) {
        if (g_pScriptableClass == nullptr) {
            TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("NPN_CreateObject"),
                             TEXT("NULL == g_pScriptableClass"), E_UNEXPECTED);
            return nullptr;
        }
        m_pScriptableObject = NPN_CreateObject(m_pNPInstance, g_pScriptableClass);
        if (m_pScriptableObject == nullptr) {
            TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("NPN_CreateObject"),
                             TEXT("NULL == m_pScriptableObject"), E_OUTOFMEMORY);
            return nullptr;
        }
        TraceStepSuccess(scope.Name(), TEXT("NPN_CreateObject"));
    }
    return NPN_RetainObject(m_pScriptableObject);
}
