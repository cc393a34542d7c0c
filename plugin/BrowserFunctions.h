// plugin/BrowserFunctions.h — the browser's functions the plug-in calls.
#pragma once
#include "plugin/NpApi.h"

// Copies the browser's table (its size already checked) up to the last entry the plug-in uses.
void KeepBrowserFunctions(const NPNetscapeFuncs& stFuncs);

// The browser functions the plug-in uses, each traced and forwarded to the table NP_Initialize copied.
// Before NP_Initialize (or when the browser left an entry empty) they do nothing and answer null.
void* NPN_MemAlloc(uint32_t size);
void NPN_MemFree(void* ptr);
NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name);
NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier);
NPObject* NPN_CreateObject(NPP npp, NPClass* aClass);
NPObject* NPN_RetainObject(NPObject* obj);
void NPN_ReleaseObject(NPObject* obj);
