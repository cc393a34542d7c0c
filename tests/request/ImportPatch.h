// Redirects one import of the test program to a replacement while the object lives, so that a test can
// make a platform call answer the way a misbehaving provider or encoder would. Only the program's own
// import table changes; the platform's libraries keep calling each other directly.
#pragma once
#include "Common.h"

#include <vector>

namespace reqtest {

class ImportPatch {
public:
    ImportPatch(const char* pszModule, const char* pszFunction, const void* pvReplacement)
    {
        HMODULE hTarget = GetModuleHandleA(pszModule);
        m_pvOriginal = hTarget != nullptr ? reinterpret_cast<void*>(GetProcAddress(hTarget, pszFunction)) : nullptr;
        BYTE* pbBase = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const IMAGE_DOS_HEADER* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pbBase);
        const IMAGE_NT_HEADERS* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pbBase + pDos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (dir.VirtualAddress == 0) return;
        for (const IMAGE_IMPORT_DESCRIPTOR* pDesc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(pbBase + dir.VirtualAddress);
             pDesc->Name != 0; ++pDesc) {
            if (lstrcmpiA(reinterpret_cast<const char*>(pbBase + pDesc->Name), pszModule) != 0) continue;
            IMAGE_THUNK_DATA* pSlot = reinterpret_cast<IMAGE_THUNK_DATA*>(pbBase + pDesc->FirstThunk);
            const IMAGE_THUNK_DATA* pName = pDesc->OriginalFirstThunk != 0
                                                ? reinterpret_cast<const IMAGE_THUNK_DATA*>(pbBase + pDesc->OriginalFirstThunk)
                                                : nullptr;
            for (size_t i = 0; pSlot[i].u1.Function != 0; ++i) {
                bool bMatch = reinterpret_cast<void*>(pSlot[i].u1.Function) == m_pvOriginal;
                if (!bMatch && pName != nullptr && !IMAGE_SNAP_BY_ORDINAL(pName[i].u1.Ordinal)) {
                    const IMAGE_IMPORT_BY_NAME* pByName =
                        reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(pbBase + pName[i].u1.AddressOfData);
                    bMatch = lstrcmpA(reinterpret_cast<const char*>(pByName->Name), pszFunction) == 0;
                }
                if (!bMatch) continue;
                if (m_pvOriginal == nullptr) m_pvOriginal = reinterpret_cast<void*>(pSlot[i].u1.Function);
                Write(&pSlot[i], reinterpret_cast<ULONG_PTR>(pvReplacement));
            }
        }
    }
    ~ImportPatch()
    {
        for (const Slot& slot : m_slots) Write(slot.pSlot, slot.ulOld, false);
    }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    bool Active() const { return !m_slots.empty(); }
    // The real function, for replacements that pass some calls on.
    template <typename Fn>
    Fn Original() const
    {
        return reinterpret_cast<Fn>(m_pvOriginal);
    }

private:
    struct Slot {
        IMAGE_THUNK_DATA* pSlot;
        ULONG_PTR ulOld;
    };

    void Write(IMAGE_THUNK_DATA* pSlot, ULONG_PTR ulValue, bool bRemember = true)
    {
        DWORD dwOld = 0;
        if (!VirtualProtect(pSlot, sizeof(*pSlot), PAGE_READWRITE, &dwOld)) return;
        if (bRemember) m_slots.push_back({pSlot, static_cast<ULONG_PTR>(pSlot->u1.Function)});
        pSlot->u1.Function = ulValue;
        VirtualProtect(pSlot, sizeof(*pSlot), dwOld, &dwOld);
    }

    void* m_pvOriginal = nullptr;
    std::vector<Slot> m_slots;
};

// Sizes a misbehaving provider or encoder reports: no buffer can hold them while an AllocationCeiling
// lives, whatever the address space.
constexpr DWORD kImpossibleSizes[] = {0xFFFFFFF0, 0x7FFFFFF0};

// While it lives, the C runtime's allocations above 256 MB fail, as every allocation of those sizes does in
// a 32-bit process; a 64-bit one would give them, zero-fill them, and let a test read past its own data.
// The program's own code (product included, linked statically) allocates through its msvcrt imports.
class AllocationCeiling {
public:
    static constexpr size_t kCeiling = 256u * 1024 * 1024;

    AllocationCeiling()
        : m_bResolved(Resolve()),
          m_malloc("msvcrt.dll", "malloc", reinterpret_cast<const void*>(&Malloc)),
          m_realloc("msvcrt.dll", "realloc", reinterpret_cast<const void*>(&Realloc)),
          m_calloc("msvcrt.dll", "calloc", reinterpret_cast<const void*>(&Calloc))
    {
    }
    bool Active() const { return m_bResolved && m_malloc.Active() && m_realloc.Active() && m_calloc.Active(); }

private:
    using MallocFn = void*(__cdecl*)(size_t);
    using ReallocFn = void*(__cdecl*)(void*, size_t);
    using CallocFn = void*(__cdecl*)(size_t, size_t);

    static void* __cdecl Malloc(size_t cb) { return cb > kCeiling ? nullptr : s_malloc(cb); }
    static void* __cdecl Realloc(void* pv, size_t cb) { return cb > kCeiling ? nullptr : s_realloc(pv, cb); }
    static void* __cdecl Calloc(size_t n, size_t cb)
    {
        return (cb != 0 && n > kCeiling / cb) ? nullptr : s_calloc(n, cb);
    }

    // The real functions are known before the first slot changes: patching allocates.
    static bool Resolve()
    {
        HMODULE hCrt = GetModuleHandleA("msvcrt.dll");
        if (hCrt == nullptr) return false;
        s_malloc = reinterpret_cast<MallocFn>(reinterpret_cast<void*>(GetProcAddress(hCrt, "malloc")));
        s_realloc = reinterpret_cast<ReallocFn>(reinterpret_cast<void*>(GetProcAddress(hCrt, "realloc")));
        s_calloc = reinterpret_cast<CallocFn>(reinterpret_cast<void*>(GetProcAddress(hCrt, "calloc")));
        return s_malloc != nullptr && s_realloc != nullptr && s_calloc != nullptr;
    }

    static inline MallocFn s_malloc = nullptr;
    static inline ReallocFn s_realloc = nullptr;
    static inline CallocFn s_calloc = nullptr;
    bool m_bResolved;
    ImportPatch m_malloc;
    ImportPatch m_realloc;
    ImportPatch m_calloc;
};

}  // namespace reqtest
