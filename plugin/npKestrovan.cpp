// plugin/npKestrovan.cpp — the DLL's entry points as a browser calls them: the function-table exchange,
// instance creation and destruction, the value queries, and the stubs of everything the plug-in does not do
// (it draws nothing and takes no streams or events).
#include "plugin/npKestrovan.h"

#include "plugin/BrowserFunctions.h"
#include "agent/CryptoAgent.h"
#include "chain/CertificateChainDelete.h"
#include "chain/CertificateChainOperate.h"
#include "plugin/Plugin.h"
#include "plugin/ScriptablePluginObject.h"
#include "trace/TraceHelper.h"

#include <cstring>
#include <new>

HINSTANCE g_hInstance = nullptr;
NPClass* g_pScriptableClass = nullptr;

namespace {

const char kMIMEDescription[] = "application/npKestrovan:*:npKestrovan certificate utilities";
const char kPluginName[] = "ZADevedivEdod";
const char kPluginDescription[] = "NPRuntime scriptability API test plugin";

NPClass g_stScriptableClass = {
    NP_CLASS_STRUCT_VERSION,
    AllocateCScriptableObject,
    CScriptablePluginObjectBase::_Deallocate,
    CScriptablePluginObjectBase::_Invalidate,
    CScriptablePluginObjectBase::_HasMethod,
    CScriptablePluginObjectBase::_Invoke,
    CScriptablePluginObjectBase::_InvokeDefault,
    CScriptablePluginObjectBase::_HasProperty,
    CScriptablePluginObjectBase::_GetProperty,
    CScriptablePluginObjectBase::_SetProperty,
    CScriptablePluginObjectBase::_RemoveProperty,
    CScriptablePluginObjectBase::_Enumerate,
    CScriptablePluginObjectBase::_Construct,
};

CPlugin* PluginOf(NPP instance) { return static_cast<CPlugin*>(instance->pdata); }

NPError NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t, char*[], char*[], NPSavedData*)
{
    TraceHelper scope(TEXT("NPP_New"));
    TraceNarrowValue(TRACE_FLAG_INFO, TEXT("pluginType"), pluginType != nullptr ? pluginType : "");
    TraceValue(TRACE_FLAG_INFO, TEXT("mode"), mode);
    if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
    CPlugin* pPlugin = new (std::nothrow) CPlugin(instance);
    if (pPlugin == nullptr) {
        TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("new CPlugin"), TEXT("NULL == pPlugin"),
                         E_OUTOFMEMORY);
        return NPERR_OUT_OF_MEMORY_ERROR;
    }
    TraceStepSuccess(scope.Name(), TEXT("new CPlugin"));
    return NPERR_NO_ERROR;
}

NPError NPP_Destroy(NPP instance, NPSavedData**)
{
    TraceHelper scope(TEXT("NPP_Destroy"));
    if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
    delete PluginOf(instance);
    return NPERR_NO_ERROR;
}

NPError NPP_SetWindow(NPP instance, NPWindow*)
{
    TraceHelper scope(TEXT("NPP_SetWindow"));
    return instance == nullptr ? NPERR_INVALID_INSTANCE_ERROR : NPERR_NO_ERROR;
}

NPError NPP_NewStream(NPP instance, NPMIMEType, NPStream*, NPBool, uint16_t*)
{
    TraceHelper scope(TEXT("NPP_NewStream"));
    return instance == nullptr ? NPERR_INVALID_INSTANCE_ERROR : NPERR_NO_ERROR;
}

NPError NPP_DestroyStream(NPP instance, NPStream*, NPReason)
{
    TraceHelper scope(TEXT("NPP_DestroyStream"));
    return instance == nullptr ? NPERR_INVALID_INSTANCE_ERROR : NPERR_NO_ERROR;
}

void NPP_StreamAsFile(NPP, NPStream*, const char*) { TraceHelper scope(TEXT("NPP_StreamAsFile")); }

int32_t NPP_WriteReady(NPP instance, NPStream*)
{
    TraceHelper scope(TEXT("NPP_WriteReady"));
    return instance == nullptr ? NPERR_INVALID_INSTANCE_ERROR : 0x0FFFFFFF;
}

int32_t NPP_Write(NPP instance, NPStream*, int32_t, int32_t len, void*)
{
    TraceHelper scope(TEXT("NPP_Write"));
    return instance == nullptr ? NPERR_INVALID_INSTANCE_ERROR : len;
}

void NPP_Print(NPP, NPPrint*) { TraceHelper scope(TEXT("NPP_Print")); }

int16_t NPP_HandleEvent(NPP, void*)
{
    TraceHelper scope(TEXT("NPP_HandleEvent"));
    return 0;
}

void NPP_URLNotify(NPP, const char*, NPReason, void*) { TraceHelper scope(TEXT("NPP_URLNotify")); }

NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value)
{
    TraceHelper scope(TEXT("NPP_GetValue"));
    TraceValue(TRACE_FLAG_INFO, TEXT("variable"), variable);
    if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
    CPlugin* pPlugin = PluginOf(instance);
    if (pPlugin == nullptr || value == nullptr) return NPERR_GENERIC_ERROR;
    switch (variable) {
    case NPPVpluginNameString:
        *static_cast<const char**>(value) = kPluginName;
        return NPERR_NO_ERROR;
    case NPPVpluginDescriptionString:
        *static_cast<const char**>(value) = kPluginDescription;
        return NPERR_NO_ERROR;
    case NPPVpluginNeedsXEmbed:
        *static_cast<NPBool*>(value) = 1;
        return NPERR_NO_ERROR;
    case NPPVpluginScriptableNPObject: {
        NPObject* pObject = pPlugin->GetScriptableObject();
        *static_cast<NPObject**>(value) = pObject;
        return pObject != nullptr ? NPERR_NO_ERROR : NPERR_GENERIC_ERROR;
    }
    default:
        return NPERR_GENERIC_ERROR;
    }
}

NPError NPP_SetValue(NPP instance, NPNVariable, void*)
{
    TraceHelper scope(TEXT("NPP_SetValue"));
    return instance == nullptr ? NPERR_INVALID_INSTANCE_ERROR : NPERR_NO_ERROR;
}

}  // namespace

// ---- exports ----

extern "C" {

BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID)
{
    if (fdwReason == DLL_PROCESS_ATTACH) {
        g_hInstance = hinstDLL;
        SetResourceModule(hinstDLL);
    }
    return TRUE;
}

NPError WINAPI NP_GetEntryPoints(NPPluginFuncs* pFuncs)
{
    TraceHelper scope(TEXT("NP_GetEntryPoints"));
    g_pScriptableClass = &g_stScriptableClass;
    if (pFuncs == nullptr || pFuncs->size < kMinPluginFuncsSize) return NPERR_INVALID_FUNCTABLE_ERROR;
    pFuncs->version = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;
    pFuncs->newp = NPP_New;
    pFuncs->destroy = NPP_Destroy;
    pFuncs->setwindow = NPP_SetWindow;
    pFuncs->newstream = NPP_NewStream;
    pFuncs->destroystream = NPP_DestroyStream;
    pFuncs->asfile = NPP_StreamAsFile;
    pFuncs->writeready = NPP_WriteReady;
    pFuncs->write = NPP_Write;
    pFuncs->print = NPP_Print;
    pFuncs->event = NPP_HandleEvent;
    pFuncs->urlnotify = NPP_URLNotify;
    pFuncs->javaClass = nullptr;
    pFuncs->getvalue = NPP_GetValue;
    pFuncs->setvalue = NPP_SetValue;
    return NPERR_NO_ERROR;
}

NPError WINAPI NP_Initialize(NPNetscapeFuncs* pFuncs)
{
    TraceInitialize();
    TraceHelper scope(TEXT("NP_Initialize"));
    if (pFuncs == nullptr) return NPERR_INVALID_FUNCTABLE_ERROR;
    if ((pFuncs->version >> 8) > NP_VERSION_MAJOR) return NPERR_INCOMPATIBLE_VERSION_ERROR;
    if (pFuncs->size < kMinBrowserFuncsSize) return NPERR_INVALID_FUNCTABLE_ERROR;
    KeepBrowserFunctions(*pFuncs);
    return NPERR_NO_ERROR;
}

NPError WINAPI NP_Shutdown(void)
{
    {
        TraceHelper scope(TEXT("NP_Shutdown"));
    }
    TraceUninitialize();
    return NPERR_NO_ERROR;
}

const char* WINAPI NP_GetMIMEDescription(void)
{
    TraceHelper scope(TEXT("NP_GetMIMEDescription"));
    return kMIMEDescription;
}

// The installing party's entry: withdrawn CA certificates out first, then the four chains in. Each step runs
// whatever the one before it returned, and the outcome goes to the trace only. The caller owns COM on this
// thread (the chain installation creates its XML documents through it) and the trace facility.
void WINAPI NP_Install(void)
{
    TraceHelper scope(TEXT("NP_Install"));
    HRESULT hResult = DeleteRSADiscardCert();
    (void)STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("DeleteRSADiscardCert"), TEXT("FAILED(hResult)"));
    hResult = DeleteSM2DiscardCert();
    (void)STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("DeleteSM2DiscardCert"), TEXT("FAILED(hResult)"));
    hResult = ImportCertificateChainfromResoure(IDR_RSA_CERTIFICATE_CHAIN);
    (void)STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("ImportCertificateChainfromResoure"),
                             TEXT("FAILED(hResult)"));
    hResult = ImportCertificateChainfromResoure(IDR_TEST_RSA_CERTIFICATE_CHAIN);
    (void)STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("ImportCertificateChainfromResoure"),
                             TEXT("FAILED(hResult)"));
    hResult = ImportCertificateChainfromResoure(IDR_SM2_CERTIFICATE_CHAIN);
    (void)STEP_FAILED_REASON(FAILED(hResult), hResult,
                             TEXT("ImportCertificateChainfromResoure(IDR_SM2_CERTIFICATE_CHAIN)"),
                             TEXT("FAILED(hResult)"));
    hResult = ImportCertificateChainfromResoure(IDR_TEST_SM2_CERTIFICATE_CHAIN);
    (void)STEP_FAILED_REASON(FAILED(hResult), hResult,
                             TEXT("ImportCertificateChainfromResoure(IDR_TEST_SM2_CERTIFICATE_CHAIN)"),
                             TEXT("FAILED(hResult)"));
}

}  // extern "C"
