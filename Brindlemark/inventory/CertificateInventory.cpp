// Brindlemark/inventory/CertificateInventory.cpp — the personal store's certificates, filtered, and the
// inventory text that joins them with the certificates found in key containers.
#include "inventory/CertificateInventory.h"

#include "Owners.h"
#include "ResultCode.h"
#include "inventory/CertificateInfo.h"
#include "inventory/UnregisteredCertificate.h"
#include "trace/TraceHelper.h"

#include <array>
#include <new>
#include <set>

namespace {

constexpr DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
using CertHash = std::array<BYTE, 20>;  // SHA-1, the platform's identity of a certificate in a store

// The operation's steps, traced under its own scope.
HRESULT CollectCertificatesInfo(const TraceHelper& scope, const WCHAR* pwszCSPNameList, WString& wstrCertInfo)
{
    CERTIFICATE_FILTER stFilter = {};
    stFilter.pwszCSPNames = pwszCSPNameList;
    stFilter.pszSignatureAlgOIDPrefix = OID_PREFIX_RSA_FAMILY;

    CertContextList vecStoreCerts;
    HRESULT hResult = FilterCertificatesfromLocalStore(&stFilter, vecStoreCerts);
    FAIL_IF_REASON(FAILED(hResult), hResult, TEXT("FilterCertificates"), TEXT("FilterCertificates"));

    // The user's view of MY also shows the machine's: one certificate may come twice, and is listed once.
    CertStore hCertStore(CertOpenStore(CERT_STORE_PROV_MEMORY, kCertEncoding, 0, 0, nullptr));
    FAIL_IF_REASON(!hCertStore, ResultFromLastError(), TEXT("CertOpenStore"), TEXT("hCertStore == NULL"));
    // Adding with CERT_STORE_ADD_USE_EXISTING searches the whole memory store each time, which over a large MY
    // costs time with the square of its size. Only a certificate whose hash was seen before can be there
    // already; every other one is added without the search, to the same effect.
    std::set<CertHash> setSeen;
    for (const CertContext& pCertContext : vecStoreCerts) {
        DWORD dwAddDisposition = CERT_STORE_ADD_USE_EXISTING;
        CertHash hash = {};
        DWORD cbHash = static_cast<DWORD>(hash.size());
        if (CertGetCertificateContextProperty(pCertContext.get(), CERT_SHA1_HASH_PROP_ID, hash.data(), &cbHash) &&
            cbHash == hash.size() && setSeen.insert(hash).second)
            dwAddDisposition = CERT_STORE_ADD_ALWAYS;
        const BOOL bResult =
            CertAddCertificateContextToStore(hCertStore.get(), pCertContext.get(), dwAddDisposition, nullptr);
        FAIL_IF(bResult == FALSE, ResultFromLastError(), TEXT("CertAddCertificateContextToStore"));
    }

    WString wstrText;
    hResult = GetAllCertificatesInfoinStore(hCertStore.get(), wstrText);
    FAIL_IF(FAILED(hResult), hResult, TEXT("GetAllCertificatesInfoinStore"));

    if (pwszCSPNameList == nullptr || *pwszCSPNameList == 0) {
        wstrCertInfo.swap(wstrText);
        return QORA_OK;
    }

    // SM2 certificates live only in the USB keys' containers; the same CSP list applies.
    stFilter.pszSignatureAlgOIDPrefix = OID_PREFIX_SM2_FAMILY;
    UnregisteredCertSet vtrUnregisteredCertSet;
    hResult = FilterUnregisteredCertificatesfromCSP(pwszCSPNameList, &stFilter, vtrUnregisteredCertSet);
    FAIL_IF_REASON(FAILED(hResult), hResult, TEXT("FilterUnregisteredCertificatesfromCSP"),
                   TEXT("FilterUnregisteredCertificatesfromCSP"));

    if (!vtrUnregisteredCertSet.empty()) {
        WString wstrContainerText;
        hResult = GetAllCertificatesInfoUnregisteredCertSet(vtrUnregisteredCertSet, wstrContainerText);
        FAIL_IF(FAILED(hResult), hResult, TEXT("GetAllCertificatesInfoinStore."));
        if (!wstrText.empty() && !wstrContainerText.empty()) wstrText += TEXT("||");
        wstrText += wstrContainerText;
    }
    RemoveAllUnregisteredCertificates(vtrUnregisteredCertSet);
    wstrCertInfo.swap(wstrText);
    return QORA_OK;
}

}  // namespace

HRESULT ExtractCertificatesFromStore(HCERTSTORE hCertStore, CertContextList& vecCertContexts)
{
    TraceHelper scope(TEXT("ExtractCertificatesFromStore"));
    FAIL_IF(hCertStore == NULL, E_INVALIDARG, TEXT("Check parameter"));
    const HRESULT hrGuarded = GUARD_ALLOCATION_STEP(TEXT("Dispatch memory failed."), TEXT("std::bad_alloc"),
                                                    E_OUTOFMEMORY, [&]() -> HRESULT {
        // The enumeration frees the context it is handed; the owner frees the last one on every other path.
        CertContext pCurrent;
        for (;;) {
            PCCERT_CONTEXT pNext = CertEnumCertificatesInStore(hCertStore, pCurrent.release());
            if (pNext == nullptr) break;
            pCurrent.reset(pNext);
            CertContext pDuplicate(CertDuplicateCertificateContext(pCurrent.get()));
            FAIL_IF(!pDuplicate, ResultFromLastError(), TEXT("CertDuplicateCertificateContext"));
            vecCertContexts.push_back(std::move(pDuplicate));
        }
        return QORA_OK;
    });
    if (FAILED(hrGuarded)) return hrGuarded;
    TRACE_INFO_VALUE("vecCertContexts.size()", vecCertContexts.size());
    return QORA_OK;
}

HRESULT ExtractCertificatesFromLocalStore(CertContextList& vecCertContexts)
{
    TraceHelper scope(TEXT("ExtractCertificatesFromLocalStore"));
    CertStore hCertStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kCertEncoding, 0,
                                       CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, TEXT("MY")));
    FAIL_IF_REASON(!hCertStore, ResultFromLastError(), TEXT("CertOpenStore"), TEXT("hCertStore == NULL"));
    const HRESULT hResult = ExtractCertificatesFromStore(hCertStore.get(), vecCertContexts);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ExtractCertificatesFromStore FAILED."));
    return QORA_OK;
}

HRESULT FilterCertificatesfromLocalStore(const CERTIFICATE_FILTER* pstFilter, CertContextList& vecCertContexts)
{
    TraceHelper scope(TEXT("FilterCertificatesfromLocalStore"));
    CertContextList vecWork;
    HRESULT hResult = ExtractCertificatesFromLocalStore(vecWork);
    if (FAILED(hResult)) vecCertContexts.clear();
    FAIL_IF(FAILED(hResult), hResult, TEXT("ExtractCertificatesFromLocalStore"));
    hResult = FilterCertificates(pstFilter, vecWork, vecCertContexts);
    if (FAILED(hResult)) vecCertContexts.clear();
    FAIL_IF(FAILED(hResult), hResult, TEXT("FilterCertificates"));
    return QORA_OK;
}

HRESULT GetAllCertificatesInfo(const TraceHelper& scope, const WCHAR* pwszCSPNameList, WString& wstrCertInfo)
{
    TraceHelper inventoryScope(TEXT("GetAllCertificatesInfo"));
    TraceWideValue(TRACE_FLAG_INFO, TEXT("pwszCSPNameList"), pwszCSPNameList);
    const HRESULT hrGuarded = GUARD_ALLOCATION_STEP(TEXT("Dispatch memory failed."), TEXT("std::bad_alloc"),
                                                    E_OUTOFMEMORY, [&]() -> HRESULT {
        // A list from the page loses its surrounding spaces; null stays null.
        WString wstrCSPNameList;
        if (pwszCSPNameList != nullptr) wstrCSPNameList = TrimSpaces(WString(pwszCSPNameList));
        WString wstrText;
        const HRESULT hResult = CollectCertificatesInfo(
            scope, pwszCSPNameList != nullptr ? wstrCSPNameList.c_str() : nullptr, wstrText);
        if (FAILED(hResult)) return hResult;
        TraceWideValue(TRACE_FLAG_INFO, TEXT("wstrCertInfo"), wstrText.c_str());
        wstrCertInfo.swap(wstrText);
        return QORA_OK;
    });
    if (FAILED(hrGuarded)) return hrGuarded;
    return QORA_OK;
}
