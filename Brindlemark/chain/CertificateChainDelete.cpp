// Brindlemark/chain/CertificateChainDelete.cpp — the withdrawal lists and the removals they drive.
#include "chain/CertificateChainDelete.h"

#include "Owners.h"
#include "ResultCode.h"
#include "inventory/CertificateInventory.h"
#include "trace/TraceHelper.h"

#include <initializer_list>
#include <new>
#include <stdexcept>

namespace {

constexpr DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

enum DiscardedKind { DISCARDED_INTERMEDIATE, DISCARDED_ROOT };

struct DiscardedCertificate {
    DiscardedKind eKind;
    const WCHAR* pwszSerialNumber;
    const WCHAR* pwszSubjectDN;
    const WCHAR* pwszIssuerDN;
    const WCHAR* pwszThumbprint;  // roots only
};

// The certificate authority's data, generated with the chain documents the build takes (either list may
// be empty).
#include "DiscardedCertificates.inc"

constexpr std::initializer_list<DiscardedCertificate> kRSADiscarded = {DISCARDED_RSA_CERTIFICATES};
constexpr std::initializer_list<DiscardedCertificate> kSM2Discarded = {DISCARDED_SM2_CERTIFICATES};

// The criteria of one entry; every other criterion stays empty.
CERTIFICATE_FILTER DiscardedFilter(const WCHAR* pwszSerialNumber, const WCHAR* pwszSubjectDN, const WCHAR* pwszIssuerDN)
{
    CERTIFICATE_FILTER stFilter = {};
    stFilter.pwszSubjectFilters = pwszSubjectDN;
    stFilter.pwszIssuerFilters = pwszIssuerDN;
    stFilter.pwszSerialNumber = pwszSerialNumber;
    return stFilter;
}

// Each entry in order; a failure is traced and the run goes on.
void DeleteDiscarded(const TraceHelper& scope, std::initializer_list<DiscardedCertificate> rgEntries)
{
    for (const DiscardedCertificate& stEntry : rgEntries) {
        TRACE_INFO_TEXT("pwszSubjectDN", stEntry.pwszSubjectDN);
        // Exhausted memory fails this entry alone; the failure is traced below with the entry's step.
        const HRESULT hResult = GuardAllocationWith(
            [&] {
                return stEntry.eKind == DISCARDED_ROOT
                           ? DeleteTrustedRootCert(stEntry.pwszThumbprint, stEntry.pwszSerialNumber,
                                                   stEntry.pwszSubjectDN, stEntry.pwszIssuerDN)
                           : DeleteIntermediateCert(stEntry.pwszSerialNumber, stEntry.pwszSubjectDN,
                                                    stEntry.pwszIssuerDN);
            },
            [] { return E_OUTOFMEMORY; });
        STEP_FAILED_REASON(FAILED(hResult), hResult,
                           stEntry.eKind == DISCARDED_ROOT ? TEXT("DeleteTrustedRootCert") : TEXT("DeleteIntermediateCert"),
                           TEXT("FAILED(hResult)"));
    }
}

}  // namespace

HRESULT DeleteRSADiscardCert()
{
    TraceHelper scope(TEXT("DeleteRSADiscardCert"));
    DeleteDiscarded(scope, kRSADiscarded);
    return QORA_OK;
}

HRESULT DeleteSM2DiscardCert()
{
    TraceHelper scope(TEXT("DeleteSM2DiscardCert"));
    DeleteDiscarded(scope, kSM2Discarded);
    return QORA_OK;
}

HRESULT DeleteIntermediateCert(const WCHAR* pwszSerialNumber, const WCHAR* pwszSubjectDN, const WCHAR* pwszIssuerDN)
{
    TraceHelper scope(TEXT("DeleteIntermediateCert"));
    const CERTIFICATE_FILTER stFilter = DiscardedFilter(pwszSerialNumber, pwszSubjectDN, pwszIssuerDN);
    HRESULT hResult = DeleteCertificateFromStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, &stFilter);
    FAIL_IF(FAILED(hResult), hResult, TEXT("DeleteCertificateFromStore(LocalMachine)"));
    hResult = DeleteCertificateFromStore(CERT_SYSTEM_STORE_CURRENT_USER, &stFilter);
    FAIL_IF(FAILED(hResult), hResult, TEXT("DeleteCertificateFromStore(CurrentUser)"));
    return QORA_OK;
}

HRESULT DeleteTrustedRootCert(const WCHAR* pwszThumbprint, const WCHAR* pwszSerialNumber, const WCHAR* pwszSubjectDN,
                              const WCHAR* pwszIssuerDN)
{
    TraceHelper scope(TEXT("DeleteTrustedRootCert"));
    const CERTIFICATE_FILTER stFilter = DiscardedFilter(pwszSerialNumber, pwszSubjectDN, pwszIssuerDN);
    HRESULT hResult = DeleteCertificateFromStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, &stFilter);
    FAIL_IF(FAILED(hResult), hResult, TEXT("DeleteCertificateFromStore(LocalMachine-CA)"));
    hResult = DeleteRegistryKey(pwszThumbprint);
    FAIL_IF(FAILED(hResult), hResult, TEXT("DeleteRegistryKey"));
    return QORA_OK;
}

HRESULT DeleteCertificateFromStore(DWORD dwFlag, const CERTIFICATE_FILTER* pstFilter)
{
    TraceHelper scope(TEXT("DeleteCertificateFromStore"));
    FAIL_IF_REASON(CERT_SYSTEM_STORE_LOCAL_MACHINE != dwFlag && CERT_SYSTEM_STORE_CURRENT_USER != dwFlag, E_INVALIDARG,
                   TEXT("Check Parameters(dwFlag)"),
                   TEXT("(CERT_SYSTEM_STORE_LOCAL_MACHINE != dwFlag && CERT_SYSTEM_STORE_CURRENT_USER != dwFlag)"));
    CertStore hCertStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kCertEncoding, 0, dwFlag, TEXT("CA")));
    FAIL_IF_REASON(!hCertStore, ResultFromLastError(), TEXT("CertOpenStore"), TEXT("hCertStore == NULL"));

    // The whole store is taken before anything is deleted: under Wine, deleting while enumerating a system
    // store never ends.
    CertContextList vecAll, vecMatching;
    HRESULT hResult = ExtractCertificatesFromStore(hCertStore.get(), vecAll);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ExtractCertificatesFromStore"));
    hResult = FilterCertificates(pstFilter, vecAll, vecMatching);
    FAIL_IF(FAILED(hResult), hResult, TEXT("FilterCertificates"));
    TRACE_INFO_VALUE("vecMatching.size()", vecMatching.size());

    for (const CertContext& pCertContext : vecMatching) {
        // The deletion frees the context it is given, so it gets a reference of its own.
        PCCERT_CONTEXT pDuplicate = CertDuplicateCertificateContext(pCertContext.get());
        if (STEP_FAILED_REASON(pDuplicate == NULL, ResultFromLastError(), TEXT("CertDuplicateCertificateContext"),
                               TEXT("pDuplicate == NULL")))
            continue;
        const BOOL bResult = CertDeleteCertificateFromStore(pDuplicate);
        STEP_FAILED_REASON(!bResult, ResultFromLastError(), TEXT("CertDeleteCertificateFromStore"), TEXT("!bResult"));
    }
    // Under Wine a deletion from a system store lasts only once committed.
    if (!vecMatching.empty()) {
        const BOOL bResult = CertControlStore(hCertStore.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
        STEP_FAILED_REASON(!bResult, ResultFromLastError(), TEXT("CertControlStore(CERT_STORE_CTRL_COMMIT)"),
                           TEXT("!bResult"));
    }
    return QORA_OK;
}

HRESULT DeleteRegistryKey(const WCHAR* pwszThumbprint)
{
    TraceHelper scope(TEXT("DeleteRegistryKey"));
    FAIL_IF_REASON(pwszThumbprint == NULL || *pwszThumbprint == 0, E_INVALIDARG, TEXT("check parameter."),
                   TEXT("pwszThumbprint == NULL"));
    TRACE_INFO_TEXT("pwszThumbprint", pwszThumbprint);
    RegKey hKey;
    LONG lResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates"),
                                 0, KEY_ALL_ACCESS, hKey.put());
    FAIL_IF(lResult != ERROR_SUCCESS, ResultFromError(lResult), TEXT("RegOpenKeyEx FAILED."));
    lResult = RegDeleteKeyW(hKey.get(), pwszThumbprint);
    FAIL_IF(lResult != ERROR_SUCCESS, ResultFromError(lResult), TEXT("RegDeleteKey FAILED."));
    return QORA_OK;
}
