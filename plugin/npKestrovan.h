// plugin/npKestrovan.h — module-wide state of the plug-in DLL and the thin wrappers through which it calls
// the browser.
#pragma once
#include "plugin/NpApi.h"

// This DLL, recorded at process attach; the agent loads its string tables through it.
extern HINSTANCE g_hInstance;

// The scriptable class, published by NP_GetEntryPoints; null until then.
extern NPClass* g_pScriptableClass;

// The browser functions the plug-in uses, each traced and forwarded to the table NP_Initialize copied.
// Before NP_Initialize (or when the browser left an entry empty) they do nothing and answer null.
void* NPN_MemAlloc(uint32_t size);
void NPN_MemFree(void* ptr);
NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name);
NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier);
NPObject* NPN_CreateObject(NPP npp, NPClass* aClass);
NPObject* NPN_RetainObject(NPObject* obj);
void NPN_ReleaseObject(NPObject* obj);
