// Brindlemark/inventory/UnregisteredCertificate.cpp — the certificates of key containers: read through each
// key's certificate parameter, kept when no store binds them and they pass the filter.
#include "inventory/UnregisteredCertificate.h"

#include "provider/CspEnumeration.h"
#include "Owners.h"
#include "ResultCode.h"
#include "codec/Misc.h"
#include "inventory/CertificateFilter.h"
#include "trace/TraceHelper.h"

#include <new>

namespace {

constexpr DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

bool IsEmpty(const WCHAR* pwsz) { return pwsz == nullptr || *pwsz == 0; }

// Copies a name into its fixed field; false when it does not fit with its terminator.
bool CopyName(WCHAR (&wszField)[UNREGISTERED_NAME_UNITS], const WCHAR* pwszName)
{
    size_t cch = 0;
    while (cch < UNREGISTERED_NAME_UNITS && pwszName[cch] != 0) ++cch;
    if (cch >= UNREGISTERED_NAME_UNITS) return false;
    for (size_t i = 0; i < cch; ++i) wszField[i] = pwszName[i];
    wszField[cch] = 0;
    return true;
}

}  // namespace

void CertFreeUnregisteredCertContext(PUNREGISTERED_CERT_CONTEXT pstUnregisteredCertContext)
{
    TraceHelper scope(TEXT("CertFreeUnregisteredCertContext"));
    if (pstUnregisteredCertContext == nullptr) return;
    if (pstUnregisteredCertContext->pCertContext != nullptr)
        CertFreeCertificateContext(pstUnregisteredCertContext->pCertContext);
    delete pstUnregisteredCertContext;
}

HRESULT CertCreateUnregisteredCertContext(const WCHAR* pwszContainerName, const WCHAR* pwszProvName,
                                          PCCERT_CONTEXT pCertContext, DWORD dwKeySpec,
                                          UnregisteredCertContext& pstUnregisteredCertContext)
{
    TraceHelper scope(TEXT("CertCreateUnregisteredCertContext"));
    FAIL_IF(pCertContext == nullptr || IsEmpty(pwszContainerName) || IsEmpty(pwszProvName), E_INVALIDARG,
            TEXT("Check parameter"));

    UnregisteredCertContext pstRecord(new (std::nothrow) UNREGISTERED_CERT_CONTEXT());
    FAIL_IF_REASON(!pstRecord, E_OUTOFMEMORY, TEXT("new UNREGISTERED_CERT_CONTEXT"),
                   TEXT("NULL == pstUnregisteredCertContext"));
    FAIL_IF(!CopyName(pstRecord->wszProvName, pwszProvName), E_INVALIDARG, TEXT("Check parameter(pwszProvName)"));
    FAIL_IF(!CopyName(pstRecord->wszContainerName, pwszContainerName), E_INVALIDARG,
            TEXT("Check parameter(pwszContainerName)"));
    pstRecord->dwKeySpec = dwKeySpec;
    pstRecord->pCertContext = CertDuplicateCertificateContext(pCertContext);
    FAIL_IF(pstRecord->pCertContext == nullptr, ResultFromLastError(), TEXT("CertDuplicateCertificateContext"));

    pstUnregisteredCertContext = std::move(pstRecord);
    return QORA_OK;
}

void RemoveAllUnregisteredCertificates(UnregisteredCertSet& vtrUnregisteredCertSet)
{
    TraceHelper scope(TEXT("RemoveAllUnregisteredCertificates"));
    TRACE_INFO_VALUE("vtrUnregisteredCertSet.size()", vtrUnregisteredCertSet.size());
    vtrUnregisteredCertSet.clear();
}

HRESULT GetUnregisteredCertfromContainer(const WCHAR* pwszCSPName, const WCHAR* pwszContainerName, DWORD dwKeySpec,
                                         UnregisteredCertContext& pstUnregisteredCertContext)
{
    TraceHelper scope(TEXT("GetUnregisteredCertfromContainer"));
    FAIL_IF(IsEmpty(pwszCSPName) || IsEmpty(pwszContainerName), E_INVALIDARG, TEXT("Check parameter"));
    TRACE_INFO_TEXT("pwszCSPName", pwszCSPName);
    TRACE_INFO_TEXT("pwszContainerName", pwszContainerName);
    TRACE_INFO_VALUE("dwKeySpec", dwKeySpec);

    CryptProv hProv;
    BOOL bResult = CryptAcquireContextW(hProv.put(), pwszContainerName, pwszCSPName, PROV_RSA_FULL, 0);
    FAIL_IF(bResult == FALSE, ResultFromLastError(), TEXT("CryptAcquireContext"));

    CryptKey hKey;
    bResult = CryptGetUserKey(hProv.get(), dwKeySpec, hKey.put());
    FAIL_IF(bResult == FALSE || !hKey, ResultFromLastError(), TEXT("CryptGetUserKey"));

    DWORD cbCert = 0;
    bResult = CryptGetKeyParam(hKey.get(), KP_CERTIFICATE, nullptr, &cbCert, 0);
    FAIL_IF(bResult == FALSE, ResultFromLastError(), TEXT("CryptGetKeyParam(KP_CERTIFICATE)1"));
    FAIL_IF(cbCert == 0, CRYPT_E_NOT_FOUND, TEXT("CryptGetKeyParam(KP_CERTIFICATE)1"));
    ByteBuffer vecCert;
    FAIL_IF_REASON(!TryResize(vecCert, static_cast<uint64_t>(cbCert) + 1), E_OUTOFMEMORY, TEXT("new CertData"),
                   TEXT("NULL == pbCertData"));
    DWORD cbRead = cbCert;
    bResult = CryptGetKeyParam(hKey.get(), KP_CERTIFICATE, vecCert.data(), &cbRead, 0);
    FAIL_IF(bResult == FALSE, ResultFromLastError(), TEXT("CryptGetKeyParam(KP_CERTIFICATE)2"));
    // The provider cannot have written more than it was offered; nothing past that is ours to parse.
    FAIL_IF(cbRead == 0 || cbRead > cbCert, CRYPT_E_NOT_FOUND, TEXT("CryptGetKeyParam(KP_CERTIFICATE)2"));

    CertContext pCertContext(CertCreateCertificateContext(kCertEncoding, vecCert.data(), cbRead));
    FAIL_IF(!pCertContext, ResultFromLastError(), TEXT("CertCreateCertificateContext"));

    // A certificate the platform already binds to a key is listed from the store, not from here.
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hKeyProv = 0;
    DWORD dwBoundKeySpec = 0;
    BOOL bCallerFree = FALSE;
    bResult = CryptAcquireCertificatePrivateKey(pCertContext.get(), 0, nullptr, &hKeyProv, &dwBoundKeySpec, &bCallerFree);
    CryptProv hBoundProv(bResult && bCallerFree ? static_cast<HCRYPTPROV>(hKeyProv) : 0);
    FAIL_IF(bResult != FALSE, QORA_E_CERT_BINDABLE, TEXT("CryptAcquireCertificatePrivateKey"));

    HRESULT hResult = CertCreateUnregisteredCertContext(pwszContainerName, pwszCSPName, pCertContext.get(), dwKeySpec,
                                                        pstUnregisteredCertContext);
    FAIL_IF(FAILED(hResult), hResult, TEXT("CertCreateUnregisteredCertContext"));
    return QORA_OK;
}

HRESULT CheckUnregisteredCertficate(PCCERT_CONTEXT pCertContext, const CERTIFICATE_FILTER* pstFilter)
{
    TraceHelper scope(TEXT("CheckUnregisteredCertficate"));
    FAIL_IF(pCertContext == nullptr, E_INVALIDARG, TEXT("Check parameter"));
    if (pstFilter == nullptr) return QORA_OK;

    std::vector<WString> vecSubjectFilters, vecIssuerFilters;
    ParseFilters(pstFilter->pwszSubjectFilters, vecSubjectFilters);
    ParseFilters(pstFilter->pwszIssuerFilters, vecIssuerFilters);
    const bool bPasses = CheckCertSubjectName(pCertContext, vecSubjectFilters) == QORA_OK &&
                         CheckCertIssuer(pCertContext, vecIssuerFilters) == QORA_OK &&
                         CheckCertKeyUsage(pCertContext, pstFilter->dwKeyUsage) == QORA_OK &&
                         CheckCertSubjectKeyID(pCertContext, pstFilter->pwszSubjectKeyID) == QORA_OK &&
                         CheckCertSerialNumber(pCertContext, pstFilter->pwszSerialNumber) == QORA_OK &&
                         CheckCertTimeValidity(pCertContext, pstFilter->pftCheckTime) == QORA_OK &&
                         CheckCertSignatureAlg(pCertContext, pstFilter->pszSignatureAlgOIDPrefix) == QORA_OK;
    FAIL_IF(!bPasses, E_FAIL, TEXT("Check filter"));
    return QORA_OK;
}

HRESULT FilterUnregisteredCertificatesfromSpecifiedCSP(const WCHAR* pwszCSPName, const CERTIFICATE_FILTER* pstFilter,
                                                       UnregisteredCertSet& vtrUnregisteredCertSet)
{
    TraceHelper scope(TEXT("FilterUnregisteredCertificatesfromSpecifiedCSP"));
    FAIL_IF(IsEmpty(pwszCSPName), E_INVALIDARG, TEXT("Check parameter"));
    TRACE_INFO_TEXT("pwszCSPName", pwszCSPName);

    CryptProv hProv;
    BOOL bResult = CryptAcquireContextW(hProv.put(), nullptr, pwszCSPName, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    FAIL_IF(bResult == FALSE, ResultFromLastError(), TEXT("CryptAcquireContext"));

    DWORD cbMaxName = 0;
    bResult = CryptGetProvParam(hProv.get(), PP_ENUMCONTAINERS, nullptr, &cbMaxName, CRYPT_FIRST);
    if (bResult == FALSE && GetLastError() == ERROR_NO_MORE_ITEMS) {
        // A CSP without containers has nothing to offer; that is not a failure.
        TraceStepSuccess(scope.Name(), TEXT("CryptGetProvParam(no containers)"));
        return QORA_OK;
    }
    FAIL_IF(bResult == FALSE, ResultFromLastError(), TEXT("CryptGetProvParam"));
    // One byte more than the provider asks for keeps every name terminated.
    ByteBuffer vecName;
    FAIL_IF_REASON(!TryResize(vecName, static_cast<uint64_t>(cbMaxName) + 1), E_OUTOFMEMORY, TEXT("new ContainerName"),
                   TEXT("NULL == pbContainerName"));

    for (DWORD dwFlags = CRYPT_FIRST;; dwFlags = CRYPT_NEXT) {
        for (BYTE& b : vecName) b = 0;
        DWORD cbName = cbMaxName;
        if (!CryptGetProvParam(hProv.get(), PP_ENUMCONTAINERS, vecName.data(), &cbName, dwFlags)) break;

        WString wstrContainerName;
        HRESULT hResult = UTF8ToUTF16(reinterpret_cast<const char*>(vecName.data()), wstrContainerName);
        FAIL_IF(FAILED(hResult), hResult, TEXT("UTF8ToUTF16"));
        TRACE_INFO_TEXT("wstrContainerName", wstrContainerName.c_str());

        // Exchange key first: a container carrying both certificates lists them in that order.
        for (DWORD dwKeySpec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
            UnregisteredCertContext pstRecord;
            hResult = GetUnregisteredCertfromContainer(pwszCSPName, wstrContainerName.c_str(), dwKeySpec, pstRecord);
            if (FAILED(hResult)) continue;
            if (CheckUnregisteredCertficate(pstRecord->pCertContext, pstFilter) != QORA_OK) continue;
            vtrUnregisteredCertSet.push_back(std::move(pstRecord));
        }
    }
    TRACE_INFO_VALUE("vtrUnregisteredCertSet.size()", vtrUnregisteredCertSet.size());
    return QORA_OK;
}

HRESULT FilterUnregisteredCertificatesfromCSP(const WCHAR* pwszCSPNameList, const CERTIFICATE_FILTER* pstFilter,
                                              UnregisteredCertSet& vtrUnregisteredCertSet)
{
    TraceHelper scope(TEXT("FilterUnregisteredCertificatesfromCSP"));
    const HRESULT hrGuarded = GuardAllocationWith(
        [&]() -> HRESULT {
            WString wstrAllCSPName;
            if (pwszCSPNameList == nullptr) {
                const HRESULT hResult = GetAllCSPName(wstrAllCSPName);
                if (FAILED(hResult)) RemoveAllUnregisteredCertificates(vtrUnregisteredCertSet);
                FAIL_IF(FAILED(hResult), hResult, TEXT("GetAllCSPName"));
                pwszCSPNameList = wstrAllCSPName.c_str();
            }
            std::vector<WString> vecCSPNames;
            SplitStrings(pwszCSPNameList, vecCSPNames);
            for (const WString& wstrCSPName : vecCSPNames) {
                // The Microsoft providers keep no certificates in their containers that the store does not know.
                if (wstrCSPName.find(TEXT("Microsoft")) != WString::npos) continue;
                const HRESULT hResult =
                    FilterUnregisteredCertificatesfromSpecifiedCSP(wstrCSPName.c_str(), pstFilter, vtrUnregisteredCertSet);
                STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("FilterUnregisteredCertificatesfromSpecifiedCSP"),
                                   TEXT("FAILED(hResult)"));
            }
            return QORA_OK;
        },
        [&] {
            RemoveAllUnregisteredCertificates(vtrUnregisteredCertSet);
            TraceStepFailure(TRACE_UNIT_FILE, __LINE__, scope.Name(), TEXT("Dispatch memory failed."),
                             TEXT("std::bad_alloc"), E_OUTOFMEMORY);
            return E_OUTOFMEMORY;
        });
    if (FAILED(hrGuarded)) return hrGuarded;
    return QORA_OK;
}
