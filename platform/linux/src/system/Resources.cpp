// platform/linux/src/system/Resources.cpp — modules and resources of the native build. The program is the
// one module (its handle is its load address) and its resources are the generated table; there are no
// libraries to load, so LoadLibraryW fails as for a missing DLL.
#include "Locale.h"
#include "ResourceTable.h"

#include <windows.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// Anchors the module lookup in the program's own image.
const BYTE g_bAnchor = 0;

HMODULE ProgramModule()
{
    Dl_info info = {};
    if (dladdr(&g_bAnchor, &info) == 0 || info.dli_fbase == nullptr) return nullptr;
    return static_cast<HMODULE>(info.dli_fbase);
}

bool IsProgram(HMODULE hModule) { return hModule == nullptr || hModule == ProgramModule(); }

size_t ResourceCount() { return &g_cBmResources != nullptr && g_rgBmResources != nullptr ? g_cBmResources : 0; }

bool TypeMatches(const BmResource& res, LPCWSTR lpType)
{
    if (IS_INTRESOURCE(lpType)) return res.pwszType == nullptr && res.wTypeId == reinterpret_cast<ULONG_PTR>(lpType);
    return res.pwszType != nullptr && CompareStringOrdinal(res.pwszType, -1, lpType, -1, TRUE) == CSTR_EQUAL;
}

// The resource of that type and id in the user's language, else US English, else the first there is.
const BmResource* Find(LPCWSTR lpName, LPCWSTR lpType, DWORD& dwError)
{
    const size_t cResources = ResourceCount();
    if (cResources == 0) {
        dwError = ERROR_RESOURCE_DATA_NOT_FOUND;
        return nullptr;
    }
    // Only numbered names exist in the program's scripts.
    const bool bNumbered = IS_INTRESOURCE(lpName);
    const WORD wLanguage = UserInterfaceLanguage();
    const BmResource* pFirst = nullptr;
    const BmResource* pEnglish = nullptr;
    bool bTypeSeen = false;
    for (size_t i = 0; i < cResources; ++i) {
        const BmResource& res = g_rgBmResources[i];
        if (!TypeMatches(res, lpType)) continue;
        bTypeSeen = true;
        if (!bNumbered || res.wNameId != reinterpret_cast<ULONG_PTR>(lpName)) continue;
        if (res.wLanguage == wLanguage) return &res;
        if (res.wLanguage == 0x0409 && pEnglish == nullptr) pEnglish = &res;
        if (pFirst == nullptr) pFirst = &res;
    }
    if (pEnglish != nullptr) return pEnglish;
    if (pFirst != nullptr) return pFirst;
    dwError = bTypeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
    return nullptr;
}

bool StartsWith(const char* psz, const char* pszPrefix) { return strncmp(psz, pszPrefix, strlen(pszPrefix)) == 0; }

}  // namespace

WORD UserInterfaceLanguage()
{
    for (const char* pszVariable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* pszValue = getenv(pszVariable);
        if (pszValue == nullptr || *pszValue == 0) continue;
        return StartsWith(pszValue, "zh_CN") ? 0x0804 : 0x0409;
    }
    return 0x0409;
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName)
{
    if (lpModuleName == nullptr) return ProgramModule();
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule)
{
    if (phModule == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) == 0) {
        *phModule = GetModuleHandleW(lpModuleName);
        return *phModule != nullptr;
    }
    Dl_info info = {};
    if (dladdr(lpModuleName, &info) == 0 || info.dli_fbase == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    *phModule = static_cast<HMODULE>(info.dli_fbase);
    return TRUE;
}

HMODULE LoadLibraryW(LPCWSTR lpLibFileName)
{
    SetLastError(lpLibFileName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    (void)hModule;
    (void)lpProcName;
    // The program exports nothing by name.
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL FreeLibrary(HMODULE hLibModule)
{
    // Only the program is loaded, and it is not unloaded.
    if (IsProgram(hLibModule) && hLibModule != nullptr) return TRUE;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
}

HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType)
{
    if (!IsProgram(hModule)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    if (lpName == nullptr || lpType == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD dwError = ERROR_SUCCESS;
    const BmResource* pRes = Find(lpName, lpType, dwError);
    if (pRes == nullptr) SetLastError(dwError);
    return reinterpret_cast<HRSRC>(const_cast<BmResource*>(pRes));
}

HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo)
{
    if (!IsProgram(hModule) || hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return reinterpret_cast<HGLOBAL>(const_cast<BYTE*>(reinterpret_cast<const BmResource*>(hResInfo)->pbData));
}

LPVOID LockResource(HGLOBAL hResData) { return hResData; }

DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo)
{
    if (!IsProgram(hModule) || hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return reinterpret_cast<const BmResource*>(hResInfo)->cbData;
}

int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax)
{
    if (lpBuffer == nullptr) return 0;
    // Strings live in blocks of sixteen: a length, then that many UTF-16 units, for each.
    HRSRC hBlock = FindResourceW(hInstance, MAKEINTRESOURCEW((uID >> 4) + 1), RT_STRING);
    if (hBlock == nullptr) return 0;
    const BmResource& res = *reinterpret_cast<const BmResource*>(hBlock);
    size_t nPos = 0;
    WORD cchString = 0;
    for (UINT i = 0; i <= (uID & 0xF); ++i) {
        nPos += static_cast<size_t>(cchString) * sizeof(WCHAR);
        if (nPos + sizeof(WORD) > res.cbData) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return 0;
        }
        memcpy(&cchString, res.pbData + nPos, sizeof(WORD));
        nPos += sizeof(WORD);
    }
    if (nPos + static_cast<size_t>(cchString) * sizeof(WCHAR) > res.cbData) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    if (cchBufferMax == 0) {
        // The caller asked for the text in place: the table is read-only and lives as long as the program.
        *reinterpret_cast<const BYTE**>(lpBuffer) = res.pbData + nPos;
        return cchString;
    }
    if (cchBufferMax == 1) return 0;
    const int cchCopy = cchString < cchBufferMax - 1 ? cchString : cchBufferMax - 1;
    memcpy(lpBuffer, res.pbData + nPos, static_cast<size_t>(cchCopy) * sizeof(WCHAR));
    lpBuffer[cchCopy] = 0;
    return cchCopy;
}
