// plugin/BrowserFunctions.cpp — the browser's functions the plug-in calls, each traced and forwarded to the
// table NP_Initialize handed over.
#include "plugin/BrowserFunctions.h"

#include "trace/TraceHelper.h"

#include <cstring>

namespace {

// The browser's table as NP_Initialize found it, up to and including setexception; the rest stays empty.
NPNetscapeFuncs g_stNPNFuncs = {};

}  // namespace

void KeepBrowserFunctions(const NPNetscapeFuncs& stFuncs)
{
    g_stNPNFuncs = {};
    memcpy(&g_stNPNFuncs, &stFuncs, kKeptBrowserFuncsSize);
}

void* NPN_MemAlloc(uint32_t size)
{
    TraceHelper scope(TEXT("NPN_MemAlloc"));
    return g_stNPNFuncs.memalloc != nullptr ? g_stNPNFuncs.memalloc(size) : nullptr;
}

void NPN_MemFree(void* ptr)
{
    TraceHelper scope(TEXT("NPN_MemFree"));
    if (g_stNPNFuncs.memfree != nullptr) g_stNPNFuncs.memfree(ptr);
}

NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name)
{
    TraceHelper scope(TEXT("NPN_GetStringIdentifier"));
    return g_stNPNFuncs.getstringidentifier != nullptr ? g_stNPNFuncs.getstringidentifier(name) : nullptr;
}

NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier)
{
    TraceHelper scope(TEXT("NPN_UTF8FromIdentifier"));
    return g_stNPNFuncs.utf8fromidentifier != nullptr ? g_stNPNFuncs.utf8fromidentifier(identifier) : nullptr;
}

NPObject* NPN_CreateObject(NPP npp, NPClass* aClass)
{
    TraceHelper scope(TEXT("NPN_CreateObject"));
    return g_stNPNFuncs.createobject != nullptr ? g_stNPNFuncs.createobject(npp, aClass) : nullptr;
}

NPObject* NPN_RetainObject(NPObject* obj)
{
    TraceHelper scope(TEXT("NPN_RetainObject"));
    return g_stNPNFuncs.retainobject != nullptr ? g_stNPNFuncs.retainobject(obj) : nullptr;
}

void NPN_ReleaseObject(NPObject* obj)
{
    TraceHelper scope(TEXT("NPN_ReleaseObject"));
    if (g_stNPNFuncs.releaseobject != nullptr) g_stNPNFuncs.releaseobject(obj);
}
