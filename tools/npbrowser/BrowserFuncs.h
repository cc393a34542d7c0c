// tools/npbrowser/BrowserFuncs.h — the browser's side of the plug-in interface as the test browser provides
// it: memory with a count of live blocks, interned string identifiers, reference-counted objects, and a logged
// error answer from every function a plug-in of this kind is not expected to call.
#pragma once
#include "plugin/NpApi.h"

#include <cstddef>
#include <string>
#include <vector>

namespace npbrowser {

// A browser function table whose entries all lead into this process's accounting.
void FillBrowserFuncs(NPNetscapeFuncs& stFuncs);

// Memory the browser hands out (NPN_MemAlloc): is this a live block, and of how many bytes.
bool IsLiveBlock(const void* pv, size_t& cbBlock);
// The browser frees a value it received from the plug-in (a String result), as script values are released.
void ReleaseVariantValue(NPVariant& variant);
// The browser's own reference to an object: the count as it stands, or 0 for an object not alive.
uint32_t ReferenceCountOf(const NPObject* pObject);
void ReleaseObject(NPObject* pObject);
NPIdentifier StringIdentifier(const std::string& strName);

struct Accounting {
    size_t nLiveBlocks = 0;
    size_t nLiveObjects = 0;
    size_t nObjectsCreated = 0;
    size_t nObjectsDeallocated = 0;
    size_t nPluginMemFree = 0;   // blocks the plug-in gave back through NPN_MemFree
    size_t nMisuses = 0;         // frees of unknown blocks, releases of unknown objects
    std::vector<std::string> vecUnexpected;  // functions called that the plug-in should not call
};
const Accounting& CurrentAccounting();

}  // namespace npbrowser
