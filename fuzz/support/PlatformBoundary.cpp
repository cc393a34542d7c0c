// fuzz/support/PlatformBoundary.cpp — where the fuzz targets stop: the CryptoAPI, crypt32, COM, registry,
// file and resource calls the parsing units also make. Each fails the way the platform reports a call it
// cannot carry out (ERROR_CALL_NOT_IMPLEMENTED, E_NOTIMPL), so every caller's failure path is what runs.
// The certificates of the targets are built by the targets themselves: they carry no names crypt32 would
// render, no properties and no key links, and they are not reference counted.
#include <objbase.h>
#include <oleauto.h>
#include <wincrypt.h>
#include <windows.h>

#include <cstring>

DWORD CertNameToStrW(DWORD, PCERT_NAME_BLOB, DWORD, LPWSTR psz, DWORD csz)
{
    // The empty name: its terminator alone.
    if (psz != nullptr && csz != 0) psz[0] = 0;
    return 1;
}

PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions, CERT_EXTENSION* rgExtensions)
{
    for (DWORD i = 0; pszObjId != nullptr && rgExtensions != nullptr && i < cExtensions; ++i)
        if (rgExtensions[i].pszObjId != nullptr && strcmp(rgExtensions[i].pszObjId, pszObjId) == 0) return &rgExtensions[i];
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return nullptr;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT, DWORD, void*, DWORD*)
{
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return FALSE;
}

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT, DWORD, void*, HCRYPTPROV_OR_NCRYPT_KEY_HANDLE*, DWORD*, BOOL*)
{
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return FALSE;
}

// -1 before the validity period, 1 after it, 0 inside.
LONG CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo)
{
    FILETIME ftNow = {};
    if (pTimeToVerify == nullptr) GetSystemTimeAsFileTime(&ftNow);
    const FILETIME& ft = pTimeToVerify != nullptr ? *pTimeToVerify : ftNow;
    if (CompareFileTime(&ft, &pCertInfo->NotBefore) < 0) return -1;
    if (CompareFileTime(&ft, &pCertInfo->NotAfter) > 0) return 1;
    return 0;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) { return pCertContext; }

BOOL CertFreeCertificateContext(PCCERT_CONTEXT) { return TRUE; }

// ---- Everything else: not carried out ---------------------------------------------------------------

void GetLocalTime(LPSYSTEMTIME)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
}

BOOL TzSpecificLocalTimeToSystemTime(const void*, const SYSTEMTIME*, LPSYSTEMTIME)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

HANDLE CreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return INVALID_HANDLE_VALUE;
}

BOOL ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CloseHandle(HANDLE)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL FlushFileBuffers(HANDLE)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL SetEndOfFile(HANDLE)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL SetFilePointerEx(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL GetFileSizeEx(HANDLE, PLARGE_INTEGER)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL DeleteFileW(LPCWSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL MoveFileExW(LPCWSTR, LPCWSTR, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CreateDirectoryW(LPCWSTR, LPSECURITY_ATTRIBUTES)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

DWORD GetFileAttributesW(LPCWSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return INVALID_FILE_ATTRIBUTES;
}

BOOL GetFileAttributesExW(LPCWSTR, GET_FILEEX_INFO_LEVELS, LPVOID)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

HANDLE FindFirstFileW(LPCWSTR, LPWIN32_FIND_DATAW)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return INVALID_HANDLE_VALUE;
}

BOOL FindNextFileW(HANDLE, LPWIN32_FIND_DATAW)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL FindClose(HANDLE)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

DWORD GetTempPathW(DWORD, LPWSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

DWORD GetEnvironmentVariableW(LPCWSTR, LPWSTR, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

BOOL ReleaseMutex(HANDLE)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

DWORD WaitForSingleObject(HANDLE, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return WAIT_FAILED;
}

HANDLE CreateFileMappingW(HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD, LPCWSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

LPVOID MapViewOfFile(HANDLE, DWORD, DWORD, DWORD, SIZE_T)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

BOOL UnmapViewOfFile(LPCVOID)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

HMODULE GetModuleHandleW(LPCWSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

BOOL GetModuleHandleExW(DWORD, LPCWSTR, HMODULE*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

HRSRC FindResourceW(HMODULE, LPCWSTR, LPCWSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

HGLOBAL LoadResource(HMODULE, HRSRC)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

LPVOID LockResource(HGLOBAL)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

DWORD SizeofResource(HMODULE, HRSRC)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

BOOL GetVersionExW(LPOSVERSIONINFOW)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

ULONGLONG VerSetConditionMask(ULONGLONG, DWORD, BYTE)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW, DWORD, DWORDLONG)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

LONG RegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return ERROR_CALL_NOT_IMPLEMENTED;
}

LONG RegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return ERROR_CALL_NOT_IMPLEMENTED;
}

LONG RegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return ERROR_CALL_NOT_IMPLEMENTED;
}

LONG RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return ERROR_CALL_NOT_IMPLEMENTED;
}

LONG RegCloseKey(HKEY)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return ERROR_CALL_NOT_IMPLEMENTED;
}

BOOL CryptAcquireContextW(HCRYPTPROV*, LPCWSTR, LPCWSTR, DWORD, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptReleaseContext(HCRYPTPROV, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptGetProvParam(HCRYPTPROV, DWORD, BYTE*, DWORD*, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptEnumProvidersW(DWORD, DWORD*, DWORD, DWORD*, LPWSTR, DWORD*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptGenKey(HCRYPTPROV, ALG_ID, DWORD, HCRYPTKEY*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptGetUserKey(HCRYPTPROV, DWORD, HCRYPTKEY*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptDestroyKey(HCRYPTKEY)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptImportKey(HCRYPTPROV, const BYTE*, DWORD, HCRYPTKEY, DWORD, HCRYPTKEY*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptExportKey(HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE*, DWORD*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptGetKeyParam(HCRYPTKEY, DWORD, BYTE*, DWORD*, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptSetKeyParam(HCRYPTKEY, DWORD, const BYTE*, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptDecrypt(HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptGenRandom(HCRYPTPROV, DWORD, BYTE*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptCreateHash(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptHashData(HCRYPTHASH, const BYTE*, DWORD, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptSignHashW(HCRYPTHASH, DWORD, LPCWSTR, DWORD, BYTE*, DWORD*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptDestroyHash(HCRYPTHASH)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptEncrypt(HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptVerifySignatureW(HCRYPTHASH, const BYTE*, DWORD, HCRYPTKEY, LPCWSTR, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptImportPublicKeyInfo(HCRYPTPROV, DWORD, CERT_PUBLIC_KEY_INFO*, HCRYPTKEY*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptEncodeObject(DWORD, LPCSTR, const void*, BYTE*, DWORD*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CryptDecodeObjectEx(DWORD, LPCSTR, const BYTE*, DWORD, DWORD, void*, void*, DWORD*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

HCERTSTORE CertOpenStore(LPCSTR, DWORD, HCRYPTPROV, DWORD, const void*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

BOOL CertCloseStore(HCERTSTORE, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CertControlStore(HCERTSTORE, DWORD, DWORD, const void*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

PCCERT_CONTEXT CertCreateCertificateContext(DWORD, const BYTE*, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE, PCCERT_CONTEXT)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE, DWORD, DWORD, DWORD, const void*, PCCERT_CONTEXT)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE, DWORD, const BYTE*, DWORD, DWORD, PCCERT_CONTEXT*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CertAddCertificateContextToStore(HCERTSTORE, PCCERT_CONTEXT, DWORD, PCCERT_CONTEXT*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT, DWORD, DWORD, const void*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

DWORD CertGetNameStringW(PCCERT_CONTEXT, DWORD, DWORD, void*, LPWSTR, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

HRESULT CoCreateInstance(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return E_NOTIMPL;
}

HRESULT CoInitializeEx(LPVOID, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return E_NOTIMPL;
}

void CoUninitialize()
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
}

HRESULT CoCreateGuid(GUID*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return E_NOTIMPL;
}

int StringFromGUID2(const GUID&, LPWSTR, int)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

BSTR SysAllocString(const OLECHAR*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

BSTR SysAllocStringLen(const OLECHAR*, UINT)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

void SysFreeString(BSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
}

UINT SysStringLen(BSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

void VariantInit(VARIANT*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
}

HRESULT VariantClear(VARIANT*)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return E_NOTIMPL;
}
