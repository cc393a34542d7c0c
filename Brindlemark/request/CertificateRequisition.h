// Brindlemark/request/CertificateRequisition.h — key pairs in a CSP chosen by name, and the PKCS#10
// request built around them.
#pragma once
#include "Common.h"

#include <string>

// Algorithm identifiers of the SM2 CSPs.
constexpr ALG_ID CALG_SM2_KEYX = 0xBE00;
constexpr ALG_ID CALG_SM2_SIGN = 0x3E00;
constexpr ALG_ID CALG_SM3 = 0x800F;
// Removal of an SM2 container: the flags value the SM2 CSPs take instead of CRYPT_DELETEKEYSET.
constexpr DWORD SM2_DELETEKEYSET_FLAGS = 0xFFFF0002;

// Creates a key pair (key spec 1 or 2, dwKeyLength bits) in the CSP wstrCSPName and exports its public half.
//  - wstrKeyContainerName: the container; empty on input means a new GUID name. When bNewKeySet is set and
//    the call succeeds it holds the name used; otherwise it is left as it was.
//  - vecPublicKey: RSA, the platform's CERT_PUBLIC_KEY_INFO, whose pointers point into the buffer itself
//    (move the buffer, never copy it); SM2, the CSP's 140-byte PUBLICKEYBLOB.
//  - hProv: when empty, the container is opened here (created when bNewKeySet) and the handle is handed
//    back, also on failure. When the call created the container and then fails, the container is
//    removed again and the handle released.
//  - dwGenKeyFlags: low 16 bits of the generation flags (exportable, user-protected, ...).
HRESULT CreatePublicKey(WString& wstrKeyContainerName, ByteBuffer& vecPublicKey, DWORD dwKeyLength,
                        const WString& wstrCSPName, BOOL bIsRSA, DWORD dwKeySpec, BOOL bNewKeySet, CryptProv& hProv,
                        DWORD dwGenKeyFlags);

// Generates the key pair (two for lCertType 2: a temporary exchange key, then the signing key, in one
// container), builds and signs the PKCS#10 request for lpwSubjectDN, and gives it as Base64 in lines of
// 64 characters joined by CR LF, with the name of the new container. algHash is CALG_SHA1 or CALG_MD5 for
// RSA and ignored for SM2. Outputs are set only on success; keys already generated stay in the CSP when
// a later step fails.
HRESULT PKCS10CertRequisition(const WString& wstrCSPName, const WCHAR* lpwSubjectDN, LONG lCertType, DWORD dwKeySpec,
                              BOOL bIsRSA, DWORD dwKeyLength, DWORD dwGenKeyFlags, ALG_ID algHash,
                              std::string& strRequest, WString& wstrContainerName);
