// Brindlemark/install/CertificateKeyCheck.cpp — an issued certificate is installed only on its own key, and
// a delivered private key only once it has shown it is the certificate's.
#include "install/CertificateKeyCheck.h"

#include "ResultCode.h"
#include "codec/ASN1Engine.h"
#include "request/PKCS10Request.h"
#include "trace/TraceHelper.h"

#include <cstring>

namespace {

constexpr DWORD kProofBytes = 32;
constexpr DWORD kProofBlockBytes = 16;  // fits the PKCS#1 v1.5 block of any key the providers accept
constexpr size_t kRsaBlobHeaderBytes = 20;  // BLOBHEADER and RSAPUBKEY ahead of the modulus

// A length-unknown platform output read in two calls; false when either call fails.
template <typename Call>
bool ReadTwice(ByteBuffer& vecOut, Call call)
{
    DWORD cb = 0;
    if (!call(nullptr, &cb)) return false;
    ByteBuffer vec;
    if (!TryResize(vec, cb)) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return false;
    }
    if (!call(vec.data(), &cb)) return false;
    vec.resize(cb);
    vecOut = std::move(vec);
    return true;
}

bool IsRsaKeyInfo(const CERT_PUBLIC_KEY_INFO& stInfo)
{
    return stInfo.Algorithm.pszObjId != nullptr && strcmp(stInfo.Algorithm.pszObjId, szOID_RSA_RSA) == 0;
}

// The certificate's RSA key as the platform's public key blob: its bit length, exponent and modulus follow
// the same 8-byte header as an exported key's.
bool CertificateRsaBlob(const CERT_PUBLIC_KEY_INFO& stInfo, ByteBuffer& vecBlob)
{
    return ReadTwice(vecBlob, [&](BYTE* pb, DWORD* pcb) {
        return CryptDecodeObjectEx(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, stInfo.PublicKey.pbData,
                                   stInfo.PublicKey.cbData, 0, nullptr, pb, pcb);
    });
}

bool SameRsaKey(const ByteBuffer& vecContainer, const ByteBuffer& vecCertificate)
{
    // The key algorithm in the header differs between exchange and signature keys; the key does not.
    if (vecContainer.size() < kRsaBlobHeaderBytes || vecCertificate.size() < kRsaBlobHeaderBytes) return false;
    DWORD dwBits = 0;
    memcpy(&dwBits, vecContainer.data() + 12, sizeof(dwBits));
    const size_t cbCompared = kRsaBlobHeaderBytes + dwBits / 8;
    return vecContainer.size() >= cbCompared && vecCertificate.size() >= cbCompared &&
           memcmp(vecContainer.data() + 8, vecCertificate.data() + 8, cbCompared - 8) == 0;
}

}  // namespace

HRESULT ParseSingleCertificate(const ByteBuffer& vecCert, CertContext& pCert)
{
    TraceHelper scope(TEXT("ParseSingleCertificate"));
    TRACE_INFO_VALUE("cbCert", vecCert.size());
    ASN1Header stHeader;
    const bool bHeader = !vecCert.empty() &&
                         ParseASN1TLV(vecCert.data(), vecCert.size(), 0, vecCert.size(), stHeader) == 0 &&
                         !stHeader.bIndefinite && stHeader.llLastByte >= 0;
    FAIL_IF(!bHeader, CRYPT_E_ASN1_CORRUPT, TEXT("Check certificate header"));
    const ULONGLONG ullEnd = static_cast<ULONGLONG>(stHeader.llLastByte) + 1;
    FAIL_IF(ullEnd > vecCert.size(), CRYPT_E_ASN1_EOD, TEXT("Check certificate length"));
    FAIL_IF(ullEnd < vecCert.size(), CRYPT_E_ASN1_CORRUPT, TEXT("Check certificate length"));
    FAIL_IF(vecCert.size() > MAXDWORD, CRYPT_E_ASN1_CORRUPT, TEXT("Check certificate length"));

    CertContext pParsed(CertCreateCertificateContext(X509_ASN_ENCODING, vecCert.data(),
                                                     static_cast<DWORD>(vecCert.size())));
    FAIL_IF(!pParsed, ResultFromLastError(), TEXT("CertCreateCertificateContext"));
    pCert = std::move(pParsed);
    return QORA_OK;
}

HRESULT CheckCertificateKey(HCRYPTPROV hProv, DWORD dwKeySpec, PCCERT_CONTEXT pCert)
{
    TraceHelper scope(TEXT("CheckCertificateKey"));
    TRACE_INFO_VALUE("dwKeySpec", dwKeySpec);
    CryptKey hKey;
    FAIL_IF(!CryptGetUserKey(hProv, dwKeySpec, hKey.put()), ResultFromLastError(), TEXT("CryptGetUserKey"));
    return CheckKeyOfCertificate(hKey.get(), pCert);
}

HRESULT CheckKeyOfCertificate(HCRYPTKEY hKey, PCCERT_CONTEXT pCert)
{
    TraceHelper scope(TEXT("CheckKeyOfCertificate"));
    ByteBuffer vecContainer;
    const bool bExported = ReadTwice(vecContainer, [&](BYTE* pb, DWORD* pcb) {
        return CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, pb, pcb);
    });
    FAIL_IF(!bExported, ResultFromLastError(), TEXT("CryptExportKey"));

    const CERT_PUBLIC_KEY_INFO& stInfo = pCert->pCertInfo->SubjectPublicKeyInfo;
    bool bSameKey = false;
    if (IsRsaKeyInfo(stInfo)) {
        ByteBuffer vecCertificate;
        FAIL_IF(!CertificateRsaBlob(stInfo, vecCertificate), NTE_BAD_PUBLIC_KEY, TEXT("CryptDecodeObjectEx"));
        bSameKey = SameRsaKey(vecContainer, vecCertificate);
    } else {
        // Any other certificate key is an SM2 point, which an SM2 provider's blob holds little-endian.
        ByteBuffer vecPoint;
        const bool bPoint = ConvertSM2PublicKeyBlobToPoint(vecContainer.data(), static_cast<DWORD>(vecContainer.size()),
                                                           vecPoint) == QORA_OK;
        bSameKey = bPoint && stInfo.PublicKey.cUnusedBits == 0 && stInfo.PublicKey.cbData == vecPoint.size() &&
                   memcmp(stInfo.PublicKey.pbData, vecPoint.data(), vecPoint.size()) == 0;
    }
    FAIL_IF(!bSameKey, NTE_BAD_PUBLIC_KEY, TEXT("Check certificate public key"));
    return QORA_OK;
}

HRESULT ProveExchangeKey(HCRYPTPROV hProv, HCRYPTKEY hKey, PCCERT_CONTEXT pCert)
{
    TraceHelper scope(TEXT("ProveExchangeKey"));
    CryptProv hVerify;
    FAIL_IF(!CryptAcquireContextW(hVerify.put(), nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT),
            ResultFromLastError(), TEXT("CryptAcquireContext"));
    CryptKey hPublic;
    FAIL_IF(!CryptImportPublicKeyInfo(hVerify.get(), X509_ASN_ENCODING,
                                      &pCert->pCertInfo->SubjectPublicKeyInfo, hPublic.put()),
            ResultFromLastError(), TEXT("CryptImportPublicKeyInfo"));
    BYTE rgbData[kProofBytes] = {};
    FAIL_IF(!CryptGenRandom(hVerify.get(), kProofBytes, rgbData), ResultFromLastError(), TEXT("CryptGenRandom"));

    // A signature with the exchange key, made by the provider that holds it.
    ByteBuffer vecSignature;
    bool bSigned = false;
    {
        CryptHash hHash;
        bSigned = CryptCreateHash(hProv, CALG_SHA1, 0, 0, hHash.put()) &&
                  CryptHashData(hHash.get(), rgbData, kProofBytes, 0) &&
                  ReadTwice(vecSignature, [&](BYTE* pb, DWORD* pcb) {
                      return CryptSignHashW(hHash.get(), AT_KEYEXCHANGE, nullptr, 0, pb, pcb);
                  });
    }
    if (!STEP_FAILED_REASON(!bSigned, ResultFromLastError(), TEXT("CryptSignHash"), TEXT("!bSigned"))) {
        CryptHash hHash;
        FAIL_IF(!CryptCreateHash(hVerify.get(), CALG_SHA1, 0, 0, hHash.put()) ||
                    !CryptHashData(hHash.get(), rgbData, kProofBytes, 0),
                ResultFromLastError(), TEXT("CryptCreateHash"));
        const BOOL bVerified = CryptVerifySignatureW(hHash.get(), vecSignature.data(),
                                                     static_cast<DWORD>(vecSignature.size()), hPublic.get(), nullptr, 0);
        FAIL_IF(!bVerified, NTE_BAD_SIGNATURE, TEXT("CryptVerifySignature"));
        return QORA_OK;
    }

    // A provider that only decrypts with its exchange key: a block encrypted to the certificate must come back.
    DWORD dwBlockBits = 0, cbBits = sizeof(dwBlockBits);
    FAIL_IF(!CryptGetKeyParam(hPublic.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&dwBlockBits), &cbBits, 0),
            ResultFromLastError(), TEXT("CryptGetKeyParam"));
    ByteBuffer vecBlock;
    FAIL_IF(!TryResize(vecBlock, dwBlockBits / 8 > kProofBlockBytes ? dwBlockBits / 8 : kProofBlockBytes),
            E_OUTOFMEMORY, TEXT("new memory"));
    memcpy(vecBlock.data(), rgbData, kProofBlockBytes);
    DWORD cbBlock = kProofBlockBytes;
    FAIL_IF(!CryptEncrypt(hPublic.get(), 0, TRUE, 0, vecBlock.data(), &cbBlock, static_cast<DWORD>(vecBlock.size())),
            ResultFromLastError(), TEXT("CryptEncrypt"));
    const BOOL bDecrypted = CryptDecrypt(hKey, 0, TRUE, 0, vecBlock.data(), &cbBlock);
    const DWORD dwError = bDecrypted ? 0 : GetLastError();
    if (STEP_FAILED_REASON(!bDecrypted && dwError != static_cast<DWORD>(NTE_BAD_DATA), S_FALSE,
                           TEXT("CryptDecrypt"), TEXT("the provider neither signs nor decrypts with the key")))
        return S_FALSE;
    const bool bSame = bDecrypted && cbBlock == kProofBlockBytes && memcmp(vecBlock.data(), rgbData, cbBlock) == 0;
    FAIL_IF(!bSame, NTE_BAD_SIGNATURE, TEXT("Check decrypted block"));
    return QORA_OK;
}
