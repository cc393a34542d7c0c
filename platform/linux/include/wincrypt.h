// platform/linux/include/wincrypt.h — the CryptoAPI and certificate-store surface of the native build:
// types, constants and declarations as the shared units name them.
#pragma once
#include <windows.h>

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTPROV_OR_NCRYPT_KEY_HANDLE;
typedef void* HCERTSTORE;
typedef unsigned int ALG_ID;

// Algorithm identifiers.
#define CALG_MD5 0x00008003
#define CALG_SHA1 0x00008004
#define CALG_SHA_256 0x0000800c
#define CALG_RSA_SIGN 0x00002400
#define CALG_RSA_KEYX 0x0000a400
#define CALG_3DES 0x00006603
#define CALG_AES_256 0x00006610

#define PROV_RSA_FULL 1
#define MS_ENHANCED_PROV_W u"Microsoft Enhanced Cryptographic Provider v1.0"
#define PROV_RSA_AES 24
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040
#define CRYPT_EXPORTABLE 0x00000001
#define CRYPT_FIRST 1
#define CRYPT_NEXT 2
#define PP_ENUMALGS 1
#define PP_ENUMCONTAINERS 2
#define PP_NAME 4
#define PP_CONTAINER 6
#define PP_ENUMALGS_EX 22
#define KP_ALGID 7
#define KP_MODE 4
#define KP_KEYLEN 9
#define KP_CERTIFICATE 26
#define CRYPT_MODE_ECB 2
#define SIMPLEBLOB 0x1
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define CUR_BLOB_VERSION 2

#define NTE_BAD_DATA ((HRESULT)0x80090005)
#define NTE_BAD_KEY ((HRESULT)0x80090003)
#define NTE_BAD_LEN ((HRESULT)0x80090004)
#define NTE_BAD_KEYSET ((HRESULT)0x80090016)
#define NTE_BAD_ALGID ((HRESULT)0x80090008)
#define NTE_BAD_FLAGS ((HRESULT)0x80090009)
#define NTE_BAD_TYPE ((HRESULT)0x8009000A)
#define NTE_NO_KEY ((HRESULT)0x8009000D)
#define NTE_EXISTS ((HRESULT)0x8009000F)
#define NTE_FAIL ((HRESULT)0x80090020)
#define NTE_NO_MEMORY ((HRESULT)0x8009000E)
#define CRYPT_E_NOT_FOUND ((HRESULT)0x80092004)
#define CRYPT_E_ASN1_CORRUPT ((HRESULT)0x80093103)
#define CRYPT_E_ASN1_LARGE ((HRESULT)0x80093104)
#define CRYPT_E_ASN1_ERROR ((HRESULT)0x80093100)
#define CRYPT_E_ASN1_BADTAG ((HRESULT)0x8009310B)
#define CRYPT_E_NO_KEY_PROPERTY ((HRESULT)0x8009200B)
#define CRYPT_E_ASN1_EOD ((HRESULT)0x80093102)
#define NTE_BAD_PUBLIC_KEY ((HRESULT)0x80090015)
#define NTE_BAD_SIGNATURE ((HRESULT)0x80090006)
#define CRYPT_E_EXISTS ((HRESULT)0x80092005)
#define CERT_E_EXPIRED ((HRESULT)0x800B0101)

// advapi32: the further names of the provider functions (providers, algorithms, parameters, codes).
#define MS_DEF_PROV_W u"Microsoft Base Cryptographic Provider v1.0"
#define MS_STRONG_PROV_W u"Microsoft Strong Cryptographic Provider"
#define MS_ENH_RSA_AES_PROV_W u"Microsoft Enhanced RSA and AES Cryptographic Provider"
#define CALG_AES_128 0x0000660e
#define CALG_AES_192 0x0000660f
#define CALG_SHA_384 0x0000800d
#define CALG_SHA_512 0x0000800e
#define CRYPT_USER_PROTECTED 0x00000002
#define PP_PROVTYPE 16
#define PP_UNIQUE_CONTAINER 36
#define KP_IV 1
#define KP_BLOCKLEN 8
#define CRYPT_MODE_CBC 1
#define NTE_BAD_UID ((HRESULT)0x80090001)
#define NTE_BAD_HASH ((HRESULT)0x80090002)
#define NTE_BAD_VER ((HRESULT)0x80090007)
#define NTE_BAD_KEY_STATE ((HRESULT)0x8009000B)
#define NTE_BAD_HASH_STATE ((HRESULT)0x8009000C)
#define NTE_PROV_TYPE_NOT_DEF ((HRESULT)0x80090017)
#define NTE_KEYSET_NOT_DEF ((HRESULT)0x80090019)
#define NTE_PROV_TYPE_NO_MATCH ((HRESULT)0x8009001B)
#define NTE_BAD_KEYSET_PARAM ((HRESULT)0x8009001F)

#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000
#define X509_NAME_VALUE (reinterpret_cast<LPCSTR>(6))
#define X509_KEY_USAGE (reinterpret_cast<LPCSTR>(14))
#define X509_OCTET_STRING (reinterpret_cast<LPCSTR>(25))
#define X509_BITS (reinterpret_cast<LPCSTR>(26))
#define RSA_CSP_PUBLICKEYBLOB (reinterpret_cast<LPCSTR>(19))
#define PKCS_ATTRIBUTE (reinterpret_cast<LPCSTR>(22))

#define szOID_RSA_RSA "1.2.840.113549.1.1.1"
#define szOID_RSA_SHA256RSA "1.2.840.113549.1.1.11"
#define szOID_RSA_MD5RSA "1.2.840.113549.1.1.4"
#define szOID_RSA_SHA1RSA "1.2.840.113549.1.1.5"
#define szOID_ECC_PUBLIC_KEY "1.2.840.10045.2.1"
#define szOID_KEY_USAGE "2.5.29.15"
#define szOID_SUBJECT_KEY_IDENTIFIER "2.5.29.14"

#define CERT_RDN_ANY_TYPE 0
#define CERT_RDN_OCTET_STRING 2
#define CERT_RDN_PRINTABLE_STRING 4
#define CERT_RDN_IA5_STRING 7
#define CERT_RDN_UTF8_STRING 13

#define CERT_SIMPLE_NAME_STR 1
#define CERT_OID_NAME_STR 2
#define CERT_X500_NAME_STR 3
#define CERT_NAME_STR_NO_QUOTING_FLAG 0x10000000
#define CERT_NAME_STR_REVERSE_FLAG 0x02000000
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_ISSUER_FLAG 0x1

#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_HASH_PROP_ID 3
#define CERT_SHA1_HASH_PROP_ID 3

#define CERT_STORE_PROV_MEMORY (reinterpret_cast<LPCSTR>(2))
#define CERT_STORE_PROV_PKCS7 (reinterpret_cast<LPCSTR>(5))
#define CERT_STORE_PROV_SYSTEM_W (reinterpret_cast<LPCSTR>(10))
#define CERT_STORE_NO_CRYPT_RELEASE_FLAG 0x00000001
#define CERT_STORE_READONLY_FLAG 0x00008000
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000
#define CERT_SYSTEM_STORE_CURRENT_USER (1 << 16)
#define CERT_SYSTEM_STORE_LOCAL_MACHINE (2 << 16)
#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4
#define CERT_STORE_CTRL_COMMIT 3
#define CERT_FIND_ANY 0
#define CERT_FIND_EXISTING (13 << 16)

typedef struct _CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CRYPT_UINT_BLOB, CRYPT_OBJID_BLOB, CERT_NAME_BLOB, *PCERT_NAME_BLOB,
    CERT_RDN_VALUE_BLOB, CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_HASH_BLOB, CRYPT_DER_BLOB, CRYPT_ATTR_BLOB,
    *PCRYPT_ATTR_BLOB;

typedef struct _CRYPT_BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
} CRYPT_BIT_BLOB, *PCRYPT_BIT_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO;

typedef struct _CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;

typedef struct _CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber;
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

typedef struct _CRYPT_KEY_PROV_PARAM {
    DWORD dwParam;
    BYTE* pbData;
    DWORD cbData;
    DWORD dwFlags;
} CRYPT_KEY_PROV_PARAM, *PCRYPT_KEY_PROV_PARAM;

typedef struct _CRYPT_KEY_PROV_INFO {
    LPWSTR pwszContainerName;
    LPWSTR pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags;
    DWORD cProvParam;
    PCRYPT_KEY_PROV_PARAM rgProvParam;
    DWORD dwKeySpec;
} CRYPT_KEY_PROV_INFO, *PCRYPT_KEY_PROV_INFO;

typedef struct _CERT_NAME_VALUE {
    DWORD dwValueType;
    CERT_RDN_VALUE_BLOB Value;
} CERT_NAME_VALUE;

typedef struct _CRYPT_ATTRIBUTE {
    LPSTR pszObjId;
    DWORD cValue;
    PCRYPT_ATTR_BLOB rgValue;
} CRYPT_ATTRIBUTE, *PCRYPT_ATTRIBUTE;

typedef struct _PROV_ENUMALGS_EX {
    ALG_ID aiAlgid;
    DWORD dwDefaultLen;
    DWORD dwMinLen;
    DWORD dwMaxLen;
    DWORD dwProtocols;
    DWORD dwNameLen;
    CHAR szName[20];
    DWORD dwLongNameLen;
    CHAR szLongName[40];
} PROV_ENUMALGS_EX;

typedef struct _PUBLICKEYSTRUC {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
} BLOBHEADER, PUBLICKEYSTRUC;

typedef struct _RSAPUBKEY {
    DWORD magic;
    DWORD bitlen;
    DWORD pubexp;
} RSAPUBKEY;

BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider, DWORD dwProvType,
                          DWORD dwFlags);
BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
BOOL CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType, LPWSTR szProvName,
                         DWORD* pcbProvName);
BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
BOOL CryptDestroyKey(HCRYPTKEY hKey);
BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                    HCRYPTKEY* phKey);
BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLen);
BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen);
BOOL CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer);
BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash);
BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags, BYTE* pbSignature,
                    DWORD* pdwSigLen);
BOOL CryptDestroyHash(HCRYPTHASH hHash);
BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
                  DWORD dwBufLen);
BOOL CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen, HCRYPTKEY hPubKey,
                           LPCWSTR szDescription, DWORD dwFlags);
BOOL CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType, CERT_PUBLIC_KEY_INFO* pInfo,
                              HCRYPTKEY* phKey);
BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo, BYTE* pbEncoded,
                       DWORD* pcbEncoded);
BOOL CryptDecodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded, DWORD cbEncoded,
                         DWORD dwFlags, void* pDecodePara, void* pvStructInfo, DWORD* pcbStructInfo);
BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                       HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProvOrNCryptKey);

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType, HCRYPTPROV hCryptProv, DWORD dwFlags,
                         const void* pvPara);
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);
BOOL CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hCryptProvOrNCryptKey, DWORD dwKeySpec,
                              DWORD dwCertEncodingType, CERT_PUBLIC_KEY_INFO* pInfo, DWORD* pcbInfo);
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
BOOL CertControlStore(HCERTSTORE hCertStore, DWORD dwFlags, DWORD dwCtrlType, const void* pvCtrlPara);
PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded, DWORD cbCertEncoded);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext);
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, DWORD dwFindFlags,
                                          DWORD dwFindType, const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext);
BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                      DWORD cbCertEncoded, DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext);
BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext, DWORD dwAddDisposition,
                                      PCCERT_CONTEXT* ppStoreContext);
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData, DWORD* pcbData);
BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                       const void* pvData);
PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions, CERT_EXTENSION* rgExtensions);
DWORD CertNameToStrW(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPWSTR psz, DWORD csz);
DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                         LPWSTR pszNameString, DWORD cchNameString);
LONG CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo);
