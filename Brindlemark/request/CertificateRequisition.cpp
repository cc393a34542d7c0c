// Brindlemark/request/CertificateRequisition.cpp — key-pair generation and the request operation.
#include "request/CertificateRequisition.h"

#include "provider/CspEnumeration.h"

#include "Owners.h"
#include "ResultCode.h"
#include "codec/Misc.h"
#include "request/PKCS10Request.h"
#include "trace/TraceHelper.h"

#include <algorithm>
#include <new>

namespace {

constexpr DWORD kEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kMaxKeyLength = 0xFFFF;

// Identifiers the platform's headers do not name.
const char kOidSM2Curve[] = "1.2.156.10197.1.301";
const char kOidSM3WithSM2[] = "1.2.156.10197.1.501";

// CryptGenKey and the export of the new public key; the key handle is destroyed on every path.
HRESULT GenerateAndExportKey(const TraceHelper& scope, HCRYPTPROV hProv, BOOL bIsRSA, DWORD dwKeySpec, DWORD dwFlags,
                             ByteBuffer& vecPublicKey)
{
    ALG_ID algKey = bIsRSA ? dwKeySpec : (dwKeySpec == AT_KEYEXCHANGE ? CALG_SM2_KEYX : CALG_SM2_SIGN);
    CryptKey hKey;
    BOOL bRetCode = CryptGenKey(hProv, algKey, dwFlags, hKey.put());
    FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptGenKey"));

    DWORD cbPublicKey = 0;
    ByteBuffer vecKey;
    if (bIsRSA) {
        bRetCode = CryptExportPublicKeyInfo(hProv, dwKeySpec, kEncodingType, nullptr, &cbPublicKey);
        FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptExportPublicKeyInfo(1)"));
        FAIL_IF_REASON(!TryResize(vecKey, cbPublicKey), E_OUTOFMEMORY, TEXT("New buffer"), TEXT("!*lppPublicKey"));
        bRetCode = CryptExportPublicKeyInfo(hProv, dwKeySpec, kEncodingType,
                                            reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(vecKey.data()), &cbPublicKey);
        FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptExportPublicKeyInfo(2)"));
    } else {
        bRetCode = CryptExportKey(hKey.get(), 0, PUBLICKEYBLOB, 0, nullptr, &cbPublicKey);
        FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptExportKey(1)"));
        FAIL_IF_REASON(!TryResize(vecKey, cbPublicKey), E_OUTOFMEMORY, TEXT("New buffer"), TEXT("!*lppPublicKey"));
        bRetCode = CryptExportKey(hKey.get(), 0, PUBLICKEYBLOB, 0, vecKey.data(), &cbPublicKey);
        FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptExportKey(2)"));
        vecKey.resize(std::min<size_t>(cbPublicKey, vecKey.size()));
    }
    TRACE_INFO_VALUE("cbPublicKey", cbPublicKey);

    vecPublicKey = std::move(vecKey);
    return QORA_OK;
}

bool ContainerExists(const WString& wstrContainer, const WString& wstrCSPName, DWORD dwProvType)
{
    CryptProv hProbe;
    return CryptAcquireContextW(hProbe.put(), wstrContainer.c_str(), wstrCSPName.c_str(), dwProvType, CRYPT_SILENT) !=
           FALSE;
}

// Removes a container this call created. SM2 providers delete with their own flags; a provider that does not
// (the Microsoft ones, asked for SM2 by mistake) still has the container afterwards and gets the platform's
// deletion, so no empty container stays behind.
void RemoveNewContainer(const TraceHelper& scope, const WString& wstrContainer, const WString& wstrCSPName,
                        DWORD dwProvType, BOOL bIsRSA)
{
    CryptProv hDeleted;
    BOOL bDeleted = CryptAcquireContextW(hDeleted.put(), wstrContainer.c_str(), wstrCSPName.c_str(), dwProvType,
                                         bIsRSA ? CRYPT_DELETEKEYSET : SM2_DELETEKEYSET_FLAGS);
    if (!bIsRSA && ContainerExists(wstrContainer, wstrCSPName, dwProvType)) {
        TRACE_INFO_TEXT("Container left by SM2 deletion flags", wstrContainer.c_str());
        bDeleted = CryptAcquireContextW(hDeleted.put(), wstrContainer.c_str(), wstrCSPName.c_str(), dwProvType,
                                        CRYPT_DELETEKEYSET);
    }
    STEP_FAILED_REASON(bDeleted == FALSE, ResultFromLastError(), TEXT("CryptAcquireContext(DeleteKeySet)"),
                       TEXT("bRetCode == FALSE"));
}

// The key bits (DER RSAPublicKey) of an exported CERT_PUBLIC_KEY_INFO.
bool RsaKeyBitsOf(const ByteBuffer& vecPublicKeyInfo, const BYTE*& pbKey, DWORD& cbKey)
{
    if (vecPublicKeyInfo.size() < sizeof(CERT_PUBLIC_KEY_INFO)) return false;
    const CERT_PUBLIC_KEY_INFO* pstInfo = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(vecPublicKeyInfo.data());
    pbKey = pstInfo->PublicKey.pbData;
    cbKey = pstInfo->PublicKey.cbData;
    // The key bits must lie inside the exported buffer, whatever the export reported.
    const BYTE* pbBegin = vecPublicKeyInfo.data();
    const BYTE* pbEnd = pbBegin + vecPublicKeyInfo.size();
    return pbKey != nullptr && cbKey != 0 && pbKey >= pbBegin && pbKey <= pbEnd &&
           cbKey <= static_cast<size_t>(pbEnd - pbKey);
}

HRESULT CreatePublicKeyInScope(const TraceHelper& scope, WString& wstrKeyContainerName, ByteBuffer& vecPublicKey,
                               DWORD dwKeyLength, const WString& wstrCSPName, BOOL bIsRSA, DWORD dwKeySpec,
                               BOOL bNewKeySet, CryptProv& hProv, DWORD dwGenKeyFlags)
{
    TRACE_INFO_VALUE("dwKeyLength", dwKeyLength);
    TRACE_INFO_TEXT("wstrCSPName", wstrCSPName.c_str());
    TRACE_INFO_TEXT("bIsRSA", bIsRSA ? TEXT("TRUE") : TEXT("FALSE"));
    TRACE_INFO_VALUE("dwKeySpec", dwKeySpec);
    TRACE_INFO_VALUE("bNewKeySet", bNewKeySet);

    WString wstrContainer = wstrKeyContainerName;
    if (wstrContainer.empty()) {
        HRESULT hResult = CreateGUIDStr(wstrContainer);
        FAIL_IF_REASON(FAILED(hResult) || wstrContainer.empty(), FAILED(hResult) ? hResult : E_FAIL,
                       TEXT("CreateGUIDStr"), TEXT("wstrKeyContainerName==L\"\""));
    }
    TRACE_INFO_TEXT("wstrKeyContainerName", wstrContainer.c_str());

    DWORD dwProvType = ProviderTypeOfName(wstrCSPName);
    TRACE_INFO_VALUE("dwProvType", dwProvType);

    // The length travels in the upper 16 bits of the generation flags; a longer one would wrap into a key
    // of a size nobody asked for.
    FAIL_IF_REASON(dwKeyLength > kMaxKeyLength, QORA_E_KEY_LENGTH, TEXT("Check key length"),
                   TEXT("dwKeyLength > 0xFFFF"));

    bool bCreatedHere = false;
    if (!hProv) {
        BOOL bRetCode = CryptAcquireContextW(hProv.put(), wstrContainer.c_str(), wstrCSPName.c_str(), dwProvType,
                                             bNewKeySet ? CRYPT_NEWKEYSET : 0);
        FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptAcquireContext"));
        bCreatedHere = bNewKeySet != FALSE;
    }

    DWORD dwFlags = (dwKeyLength << 16) | dwGenKeyFlags;
    HRESULT hResult = GenerateAndExportKey(scope, hProv.get(), bIsRSA, dwKeySpec, dwFlags, vecPublicKey);
    if (FAILED(hResult)) {
        if (bCreatedHere) {
            // A context writes its container back when it is released, so release it before removing
            // the container, or the removal would be undone.
            hProv.reset();
            RemoveNewContainer(scope, wstrContainer, wstrCSPName, dwProvType, bIsRSA);
        }
        return hResult;
    }

    if (bNewKeySet) wstrKeyContainerName = wstrContainer;
    return QORA_OK;
}

HRESULT PKCS10CertRequisitionInScope(const TraceHelper& scope, const WString& wstrCSPName, const WCHAR* lpwSubjectDN,
                                     LONG lCertType, DWORD dwKeySpec, BOOL bIsRSA, DWORD dwKeyLength,
                                     DWORD dwGenKeyFlags, ALG_ID algHash, std::string& strRequest,
                                     WString& wstrContainerName)
{
    FAIL_IF_REASON(lpwSubjectDN == nullptr, E_INVALIDARG, TEXT("Check parameter"), TEXT("lpwSubjectDN == NULL"));
    TRACE_INFO_TEXT("lpwSubjectDN", lpwSubjectDN);
    TRACE_INFO_VALUE("lCertType", lCertType);
    TRACE_INFO_VALUE("dwKeySpec", dwKeySpec);
    TRACE_INFO_VALUE("dwKeyLength", dwKeyLength);
    TRACE_INFO_VALUE("dwGenKeyFlags", dwGenKeyFlags);
    TRACE_INFO_VALUE("algHash", algHash);
    FAIL_IF_REASON(dwKeyLength > kMaxKeyLength, QORA_E_KEY_LENGTH, TEXT("Check key length"),
                   TEXT("dwKeyLength > 0xFFFF"));

    CryptProv hProv;
    WString wstrContainer;
    ByteBuffer vecExchangeKey;
    HRESULT hResult = QORA_OK;
    if (2 == lCertType) {
        hResult = CreatePublicKey(wstrContainer, vecExchangeKey, bIsRSA ? 1024 : 256, wstrCSPName, bIsRSA,
                                  AT_KEYEXCHANGE, TRUE, hProv, 0);
        FAIL_IF(FAILED(hResult), hResult, TEXT("CreatePublicKey-Exchange"));
    }

    ByteBuffer vecSignKey;
    hResult = CreatePublicKey(wstrContainer, vecSignKey, dwKeyLength, wstrCSPName, bIsRSA, dwKeySpec, 1 == lCertType,
                              hProv, dwGenKeyFlags);
    FAIL_IF(FAILED(hResult), hResult, TEXT("CreatePublicKey-Sign cert"));

    LPCSTR lpszPublicKeyAlgorithm = szOID_RSA_RSA;
    LPCSTR lpszPublicKeyParameters = nullptr;
    LPCSTR lpszSignAlgorithm = nullptr;
    const BYTE* pbSignKey = vecSignKey.data();
    DWORD cbSignKey = static_cast<DWORD>(vecSignKey.size());
    const BYTE* pbExchangeKey = vecExchangeKey.empty() ? nullptr : vecExchangeKey.data();
    DWORD cbExchangeKey = static_cast<DWORD>(vecExchangeKey.size());
    if (bIsRSA) {
        if (CALG_SHA1 == algHash) {
            lpszSignAlgorithm = szOID_RSA_SHA1RSA;
        } else if (CALG_MD5 == algHash) {
            lpszSignAlgorithm = szOID_RSA_MD5RSA;
        }
        FAIL_IF_REASON(lpszSignAlgorithm == nullptr, QORA_E_HASH_ALGORITHM, TEXT("invalid hash algorithm"),
                       TEXT("algHash != CALG_SHA1 && algHash != CALG_MD5"));

        FAIL_IF_REASON(!RsaKeyBitsOf(vecSignKey, pbSignKey, cbSignKey), E_FAIL, TEXT("Check signing public key"),
                       TEXT("pstPublicKeyInfo->PublicKey.cbData == 0"));
        if (pbExchangeKey != nullptr) {
            FAIL_IF_REASON(!RsaKeyBitsOf(vecExchangeKey, pbExchangeKey, cbExchangeKey), E_FAIL,
                           TEXT("Check exchange public key"), TEXT("pstPublicKeyInfo->PublicKey.cbData == 0"));
        }
    } else {
        lpszPublicKeyAlgorithm = szOID_ECC_PUBLIC_KEY;
        lpszPublicKeyParameters = kOidSM2Curve;
        lpszSignAlgorithm = kOidSM3WithSM2;
        algHash = CALG_SM3;
    }

    std::string strBase64;
    hResult = PKCS10RequestBase64(dwKeySpec, hProv.get(), lpwSubjectDN, lpszPublicKeyAlgorithm, lpszPublicKeyParameters,
                                  pbSignKey, cbSignKey, pbExchangeKey, cbExchangeKey, algHash, lpszSignAlgorithm,
                                  !bIsRSA, strBase64);
    const WCHAR* pwszShape = bIsRSA ? (pbExchangeKey != nullptr ? TEXT("PKCS10RequestBase64-RSA-Double Certificate")
                                                               : TEXT("PKCS10RequestBase64-RSA-Single Certificate"))
                                    : (pbExchangeKey != nullptr ? TEXT("PKCS10RequestBase64-SM2-Double Certificate")
                                                               : TEXT("PKCS10RequestBase64-SM2-Single Certificate"));
    FAIL_IF(FAILED(hResult), hResult, pwszShape);

    strRequest = std::move(strBase64);
    wstrContainerName = wstrContainer;
    TRACE_INFO_TEXT("wstrContainerName", wstrContainerName.c_str());
    return QORA_OK;
}

}  // namespace

HRESULT CreatePublicKey(WString& wstrKeyContainerName, ByteBuffer& vecPublicKey, DWORD dwKeyLength,
                        const WString& wstrCSPName, BOOL bIsRSA, DWORD dwKeySpec, BOOL bNewKeySet, CryptProv& hProv,
                        DWORD dwGenKeyFlags)
{
    TraceHelper scope(TEXT("CreatePublicKey"));
    return GUARD_ALLOCATION_STEP(TEXT("New buffer"), TEXT("!*lppPublicKey"), E_OUTOFMEMORY, [&] {
        return CreatePublicKeyInScope(scope, wstrKeyContainerName, vecPublicKey, dwKeyLength, wstrCSPName, bIsRSA,
                                      dwKeySpec, bNewKeySet, hProv, dwGenKeyFlags);
    });
}

HRESULT PKCS10CertRequisition(const WString& wstrCSPName, const WCHAR* lpwSubjectDN, LONG lCertType, DWORD dwKeySpec,
                              BOOL bIsRSA, DWORD dwKeyLength, DWORD dwGenKeyFlags, ALG_ID algHash,
                              std::string& strRequest, WString& wstrContainerName)
{
    TraceHelper scope(TEXT("PKCS10CertRequisition"));
    // Every buffer of the request has an owner, so unwinding releases them all.
    return GUARD_ALLOCATION_STEP(TEXT("New Memory"), TEXT("std::bad_alloc"), E_OUTOFMEMORY, [&] {
        return PKCS10CertRequisitionInScope(scope, wstrCSPName, lpwSubjectDN, lCertType, dwKeySpec, bIsRSA, dwKeyLength,
                                            dwGenKeyFlags, algHash, strRequest, wstrContainerName);
    });
}
