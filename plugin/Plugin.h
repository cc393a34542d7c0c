// plugin/Plugin.h — one embedding of the plug-in on a page: its browser instance and the scriptable object
// handed to the page's scripts.
#pragma once
#include "plugin/NpApi.h"

class CPlugin final {
public:
    // Stores itself in the instance's private-data pointer.
    explicit CPlugin(NPP pNPInstance);
    // Clears the private-data pointer and releases the plug-in's reference to the scriptable object.
    ~CPlugin();
    CPlugin(const CPlugin&) = delete;
    CPlugin& operator=(const CPlugin&) = delete;

    // The scriptable object, created on the first request; every call hands out one more reference, which
    // belongs to the caller. Null when the object cannot be made.
    NPObject* GetScriptableObject();

private:
    NPP m_pNPInstance;
    NPObject* m_pScriptableObject;
};
