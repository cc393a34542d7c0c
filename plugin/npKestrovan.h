// plugin/npKestrovan.h — module-wide state of the plug-in DLL.
#pragma once
#include "plugin/NpApi.h"

// This DLL, recorded at process attach; the agent loads its string tables through it.
extern HINSTANCE g_hInstance;

// The scriptable class, published by NP_GetEntryPoints; null until then.
extern NPClass* g_pScriptableClass;
