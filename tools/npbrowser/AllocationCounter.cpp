// tools/npbrowser/AllocationCounter.cpp — import-table redirection of one module's heap calls.
#include "tools/npbrowser/AllocationCounter.h"

#include <cstdlib>
#include <cstring>

namespace npbrowser {

namespace {

long long g_llLive = 0;

void* CountedMalloc(size_t cb)
{
    void* pv = malloc(cb);
    if (pv != nullptr) ++g_llLive;
    return pv;
}

void* CountedCalloc(size_t n, size_t cb)
{
    void* pv = calloc(n, cb);
    if (pv != nullptr) ++g_llLive;
    return pv;
}

void* CountedRealloc(void* pvOld, size_t cb)
{
    void* pv = realloc(pvOld, cb);
    // realloc(null, n) takes a block; realloc(p, 0) gives one back; otherwise the count stands.
    if (pvOld == nullptr && pv != nullptr) ++g_llLive;
    if (pvOld != nullptr && cb == 0) --g_llLive;
    return pv;
}

void CountedFree(void* pv)
{
    if (pv != nullptr) --g_llLive;
    free(pv);
}

struct Redirect {
    const char* pszName;
    void* pvWrapper;
};

const Redirect kRedirects[] = {
    {"malloc", reinterpret_cast<void*>(CountedMalloc)},
    {"calloc", reinterpret_cast<void*>(CountedCalloc)},
    {"realloc", reinterpret_cast<void*>(CountedRealloc)},
    {"free", reinterpret_cast<void*>(CountedFree)},
};

bool IsRuntimeDll(const char* pszName)
{
    return lstrcmpiA(pszName, "msvcrt.dll") == 0 || lstrcmpiA(pszName, "ucrtbase.dll") == 0 ||
           lstrcmpiA(pszName, "api-ms-win-crt-heap-l1-1-0.dll") == 0;
}

}  // namespace

bool CountAllocationsOf(HMODULE hModule)
{
    // The module is loaded by the system loader, so its headers have been checked already.
    auto* pbBase = reinterpret_cast<BYTE*>(hModule);
    const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pbBase);
    const auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pbBase + pDos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& stImports = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (stImports.VirtualAddress == 0) return false;
    int nRedirected = 0;
    for (auto* pDescriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(pbBase + stImports.VirtualAddress);
         pDescriptor->Name != 0; ++pDescriptor) {
        if (!IsRuntimeDll(reinterpret_cast<const char*>(pbBase + pDescriptor->Name))) continue;
        if (pDescriptor->OriginalFirstThunk == 0) continue;
        auto* pNames = reinterpret_cast<const IMAGE_THUNK_DATA*>(pbBase + pDescriptor->OriginalFirstThunk);
        auto* pSlots = reinterpret_cast<IMAGE_THUNK_DATA*>(pbBase + pDescriptor->FirstThunk);
        for (; pNames->u1.AddressOfData != 0; ++pNames, ++pSlots) {
            if (IMAGE_SNAP_BY_ORDINAL(pNames->u1.Ordinal)) continue;
            const auto* pByName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(pbBase + pNames->u1.AddressOfData);
            for (const Redirect& stRedirect : kRedirects) {
                if (strcmp(reinterpret_cast<const char*>(pByName->Name), stRedirect.pszName) != 0) continue;
                DWORD dwOld = 0;
                if (!VirtualProtect(&pSlots->u1.Function, sizeof(pSlots->u1.Function), PAGE_READWRITE, &dwOld)) break;
                pSlots->u1.Function = reinterpret_cast<ULONG_PTR>(stRedirect.pvWrapper);
                VirtualProtect(&pSlots->u1.Function, sizeof(pSlots->u1.Function), dwOld, &dwOld);
                ++nRedirected;
            }
        }
    }
    return nRedirected > 0;
}

long long LiveAllocations() { return g_llLive; }

}  // namespace npbrowser
