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

// Sizes no buffer can have in a 32-bit process: past what a vector may hold, and more than the address
// space can give in one piece.
constexpr DWORD kImpossibleSizes[] = {0xFFFFFFF0, 0x7FFFFFF0};

}  // namespace reqtest
