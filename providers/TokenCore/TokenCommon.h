// providers/TokenCore/TokenCommon.h — what every unit of the stand-in token providers shares: the
// token's profile, byte buffers, the CSP-side algorithm identifiers and the CSP way of failing.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

using ByteBuffer = std::vector<BYTE>;

// Algorithm identifiers of the SM2 token; the system uses the same values.
constexpr ALG_ID CALG_SM2_KEYX = 0xBE00;
constexpr ALG_ID CALG_SM2_SIGN = 0x3E00;
constexpr ALG_ID CALG_SM3_HASH = 0x800F;

// The acquire flags the system passes to an SM2 token to remove a container after a failed request.
constexpr DWORD SM2_DELETE_KEYSET_FLAGS = 0xFFFF0002;

// Longest container name, terminator included; PP_ENUMCONTAINERS reports it as the buffer size.
constexpr DWORD MAX_CONTAINER_NAME = 260;

enum class TokenKind { SM2, RSA };

struct TokenProfile {
    TokenKind kind;
    const char* pszProvName;    // as registered and as PP_NAME reports it
    const WCHAR* pwszStoreName; // file name of the token's store inside the prefix
};

// Defined once per provider DLL.
const TokenProfile& ThisToken();

// Key slots of a container: index 0 holds the exchange key (key spec 1), index 1 the signature key.
inline int SlotOfKeySpec(DWORD dwKeySpec)
{
    return dwKeySpec == AT_KEYEXCHANGE ? 0 : dwKeySpec == AT_SIGNATURE ? 1 : -1;
}

// CSPs report failure through the thread's last error and FALSE.
inline BOOL CspFail(DWORD dwError)
{
    SetLastError(dwError);
    return FALSE;
}

// Result of an inner step: ERROR_SUCCESS or the NTE_* code the entry point will set.
using CspStatus = DWORD;
constexpr CspStatus CSP_OK = ERROR_SUCCESS;

// Copies a result out the CryptoAPI way: size query without a buffer, ERROR_MORE_DATA when short.
inline BOOL CspPut(const void* pvSrc, DWORD cbSrc, BYTE* pbData, DWORD* pcbData)
{
    if (pcbData == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
    if (pbData == nullptr) {
        *pcbData = cbSrc;
        return TRUE;
    }
    if (*pcbData < cbSrc) {
        *pcbData = cbSrc;
        return CspFail(ERROR_MORE_DATA);
    }
    if (cbSrc != 0) memcpy(pbData, pvSrc, cbSrc);
    *pcbData = cbSrc;
    return TRUE;
}
