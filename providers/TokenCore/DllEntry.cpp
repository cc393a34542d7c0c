// providers/TokenCore/DllEntry.cpp — the DLL's entry point. The dispatcher unloads a provider right
// after a failed acquire without saving the error, and unloading runs the runtime's and OpenSSL's
// clean-up: the error the token set must survive that.
#include "TokenCommon.h"

extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE hDll, DWORD dwReason, LPVOID pvReserved);

extern "C" BOOL WINAPI TokenDllEntry(HANDLE hDll, DWORD dwReason, LPVOID pvReserved)
{
    DWORD dwSaved = GetLastError();
    BOOL bResult = DllMainCRTStartup(hDll, dwReason, pvReserved);
    if (dwReason == DLL_PROCESS_DETACH) SetLastError(dwSaved);
    return bResult;
}
