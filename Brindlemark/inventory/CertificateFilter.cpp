// Brindlemark/inventory/CertificateFilter.cpp — the criterion tests and the filter run over a list of
// certificates.
#include "inventory/CertificateFilter.h"

#include "Owners.h"
#include "ResultCode.h"
#include "codec/Misc.h"
#include "inventory/CertificateInfo.h"
#include "trace/TraceHelper.h"

#include <shlwapi.h>

#include <cstring>
#include <new>

namespace {

// An empty entry matches every text; otherwise one entry contained in the text, ignoring case.
bool ContainsAnyEntry(const WString& wstrText, const std::vector<WString>& vecEntries)
{
    for (const WString& wstrEntry : vecEntries) {
        if (wstrEntry.empty() || StrStrIW(wstrText.c_str(), wstrEntry.c_str()) != nullptr) return true;
    }
    return false;
}

bool SameBytes(const ByteBuffer& vecLeft, const ByteBuffer& vecRight)
{
    return vecLeft.size() == vecRight.size() &&
           (vecLeft.empty() || memcmp(vecLeft.data(), vecRight.data(), vecLeft.size()) == 0);
}

// The criteria with their lists split once per run.
struct SplitFilter {
    const CERTIFICATE_FILTER* pstFilter;
    std::vector<WString> vecSubjectFilters;
    std::vector<WString> vecIssuerFilters;
    std::vector<WString> vecCSPNames;
};

// The tests in their fixed order; the first that fails drops the certificate.
bool PassesFilter(PCCERT_CONTEXT pCertContext, const SplitFilter& split)
{
    const CERTIFICATE_FILTER& stFilter = *split.pstFilter;
    return CheckCertSubjectName(pCertContext, split.vecSubjectFilters) == QORA_OK &&
           CheckCertIssuer(pCertContext, split.vecIssuerFilters) == QORA_OK &&
           CheckCertKeyUsage(pCertContext, stFilter.dwKeyUsage) == QORA_OK &&
           CheckCertSubjectKeyID(pCertContext, stFilter.pwszSubjectKeyID) == QORA_OK &&
           CheckCertSerialNumber(pCertContext, stFilter.pwszSerialNumber) == QORA_OK &&
           CheckCertTimeValidity(pCertContext, stFilter.pftCheckTime) == QORA_OK &&
           CheckCertSignatureAlg(pCertContext, stFilter.pszSignatureAlgOIDPrefix) == QORA_OK &&
           CheckCSPName(pCertContext, split.vecCSPNames) == QORA_OK &&
           CheckCertPrivateKey(pCertContext, stFilter.bRequirePrivateKey) == QORA_OK;
}

}  // namespace

void ParseFilters(const WCHAR* pwszFilters, std::vector<WString>& vecFilters)
{
    TraceHelper scope(TEXT("ParseFilters"));
    if (pwszFilters == nullptr) return;
    const WCHAR* pwszItem = pwszFilters;
    for (;;) {
        const WCHAR* pwszEnd = pwszItem;
        while (*pwszEnd != 0 && *pwszEnd != TEXT('#')) ++pwszEnd;
        size_t cchItem = static_cast<size_t>(pwszEnd - pwszItem);
        if (cchItem > FILTER_ITEM_MAX_UNITS) cchItem = FILTER_ITEM_MAX_UNITS;
        vecFilters.emplace_back(pwszItem, cchItem);
        TRACE_INFO_TEXT("Item", vecFilters.back().c_str());
        if (*pwszEnd == 0) break;
        pwszItem = pwszEnd + 1;
    }
}

HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCertContext, const std::vector<WString>& vecSubjectFilters)
{
    TraceHelper scope(TEXT("CheckCertSubjectName"));
    if (vecSubjectFilters.empty()) return QORA_OK;
    CERTIFICATE_QUERY_RESULT stResult;
    HRESULT hResult = QueryCertContextInfo(pCertContext, QUERYID_SUBJECT_FULL, stResult);
    FAIL_IF(FAILED(hResult), hResult, TEXT("QueryCertContextInfo(QUERYID_SUBJECT_FULL)"));
    FAIL_IF(!ContainsAnyEntry(stResult.wstrText, vecSubjectFilters), E_FAIL, TEXT("Compare subject"));
    return QORA_OK;
}

HRESULT CheckCertIssuer(PCCERT_CONTEXT pCertContext, const std::vector<WString>& vecIssuerFilters)
{
    TraceHelper scope(TEXT("CheckCertIssuer"));
    if (vecIssuerFilters.empty()) return QORA_OK;
    CERTIFICATE_QUERY_RESULT stResult;
    HRESULT hResult = QueryCertContextInfo(pCertContext, QUERYID_ISSUER, stResult);
    FAIL_IF(FAILED(hResult), hResult, TEXT("QueryCertContextInfo(QUERYID_ISSUER)"));
    FAIL_IF(!ContainsAnyEntry(stResult.wstrText, vecIssuerFilters), E_FAIL, TEXT("Compare issuer"));
    return QORA_OK;
}

HRESULT CheckCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD dwKeyUsage)
{
    TraceHelper scope(TEXT("CheckCertKeyUsage"));
    if (dwKeyUsage == 0) return QORA_OK;
    CERTIFICATE_QUERY_RESULT stResult;
    HRESULT hResult = QueryCertContextInfo(pCertContext, QUERYID_KEYUSAGE, stResult);
    FAIL_IF(FAILED(hResult), hResult, TEXT("QueryCertContextInfo(QUERYID_KEYUSAGE)"));
    FAIL_IF((stResult.dwValue & dwKeyUsage) == 0, QORA_E_CERT_USAGE, TEXT("Compare key usage"));
    return QORA_OK;
}

namespace {

// A hexadecimal filter field against the bytes a query gives; an empty field passes. Traced under the caller.
HRESULT CheckCertBytes(const TraceHelper& scope, PCCERT_CONTEXT pCertContext, const WCHAR* pwszHex, DWORD dwQueryId,
                       const WCHAR* pwszQueryStep, const WCHAR* pwszCompareStep)
{
    if (pwszHex == nullptr || *pwszHex == 0) return QORA_OK;
    ByteBuffer vecWanted;
    HRESULT hResult = ConvertStringToBinaryData(pwszHex, vecWanted);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ConvertStringToBinaryData"));
    CERTIFICATE_QUERY_RESULT stResult;
    hResult = QueryCertContextInfo(pCertContext, dwQueryId, stResult);
    FAIL_IF(FAILED(hResult), hResult, pwszQueryStep);
    FAIL_IF(!SameBytes(vecWanted, stResult.vecBytes), E_FAIL, pwszCompareStep);
    return QORA_OK;
}

}  // namespace

HRESULT CheckCertSubjectKeyID(PCCERT_CONTEXT pCertContext, const WCHAR* pwszSubjectKeyID)
{
    TraceHelper scope(TEXT("CheckCertSubjectKeyID"));
    return CheckCertBytes(scope, pCertContext, pwszSubjectKeyID, QUERYID_SUBJECTKEYID,
                          TEXT("QueryCertContextInfo(QUERYID_SUBJECTKEYID)"), TEXT("Compare subject key identifier"));
}

HRESULT CheckCertSerialNumber(PCCERT_CONTEXT pCertContext, const WCHAR* pwszSerialNumber)
{
    TraceHelper scope(TEXT("CheckCertSerialNumber"));
    // Converted last pair first, the text meets the serial in the platform's order (least significant first).
    return CheckCertBytes(scope, pCertContext, pwszSerialNumber, QUERYID_SERIALNUMBER,
                          TEXT("QueryCertContextInfo(QUERYID_SERIALNUMBER)"), TEXT("Compare serial number"));
}

HRESULT CheckCertTimeValidity(PCCERT_CONTEXT pCertContext, const FILETIME* pftCheckTime)
{
    TraceHelper scope(TEXT("CheckCertTimeValidity"));
    if (pftCheckTime == nullptr) return QORA_OK;
    FAIL_IF(pCertContext == nullptr || pCertContext->pCertInfo == nullptr, E_INVALIDARG, TEXT("Check parameter"));
    FILETIME ftCheckTime = *pftCheckTime;
    const LONG lValidity = CertVerifyTimeValidity(&ftCheckTime, pCertContext->pCertInfo);
    FAIL_IF(lValidity != 0, CERT_E_EXPIRED, TEXT("CertVerifyTimeValidity"));
    return QORA_OK;
}

HRESULT CheckCertSignatureAlg(PCCERT_CONTEXT pCertContext, const char* pszSignatureAlgOIDPrefix)
{
    TraceHelper scope(TEXT("CheckCertSignatureAlg"));
    if (pszSignatureAlgOIDPrefix == nullptr || *pszSignatureAlgOIDPrefix == 0) return QORA_OK;
    FAIL_IF(pCertContext == nullptr || pCertContext->pCertInfo == nullptr, E_INVALIDARG, TEXT("Check parameter"));
    const char* pszObjId = pCertContext->pCertInfo->SignatureAlgorithm.pszObjId;
    TraceNarrowValue(TRACE_FLAG_INFO, TEXT("pszObjId"), pszObjId);
    // A plain text prefix: the last arc of the prefix may continue in the identifier.
    FAIL_IF(pszObjId == nullptr || strncmp(pszObjId, pszSignatureAlgOIDPrefix, strlen(pszSignatureAlgOIDPrefix)) != 0,
            E_FAIL, TEXT("Compare signature algorithm"));
    return QORA_OK;
}

HRESULT CheckCSPName(PCCERT_CONTEXT pCertContext, const std::vector<WString>& vecCSPNames)
{
    TraceHelper scope(TEXT("CheckCSPName"));
    if (vecCSPNames.empty()) return QORA_OK;
    ByteBuffer vecKeyProvInfo;
    HRESULT hResult = GetCertificateContextProperty(pCertContext, CERT_KEY_PROV_INFO_PROP_ID, vecKeyProvInfo);
    FAIL_IF(FAILED(hResult), hResult, TEXT("GetCertificateContextProperty(CERT_KEY_PROV_INFO_PROP_ID)"));
    const CRYPT_KEY_PROV_INFO* pstKeyProvInfo = vecKeyProvInfo.size() >= sizeof(CRYPT_KEY_PROV_INFO)
                                                    ? reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(vecKeyProvInfo.data())
                                                    : nullptr;
    FAIL_IF(pstKeyProvInfo == nullptr || pstKeyProvInfo->pwszProvName == nullptr, CRYPT_E_NOT_FOUND,
            TEXT("Check ProvName"));
    FAIL_IF(!ContainsAnyEntry(WString(pstKeyProvInfo->pwszProvName), vecCSPNames), E_FAIL, TEXT("Compare CSP name"));
    return QORA_OK;
}

HRESULT CheckCertPrivateKey(PCCERT_CONTEXT pCertContext, BOOL bRequirePrivateKey)
{
    TraceHelper scope(TEXT("CheckCertPrivateKey"));
    if (bRequirePrivateKey != 1) return QORA_OK;
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hKeyProv = 0;
    DWORD dwKeySpec = 0;
    BOOL bCallerFree = FALSE;
    const BOOL bResult = CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, &hKeyProv, &dwKeySpec, &bCallerFree);
    FAIL_IF(bResult == FALSE, ResultFromLastError(), TEXT("CryptAcquireCertificatePrivateKey"));
    CryptProv hProv(bCallerFree ? static_cast<HCRYPTPROV>(hKeyProv) : 0);
    return QORA_OK;
}

HRESULT FilterCertificates(const CERTIFICATE_FILTER* pstFilter, const CertContextList& vecInput,
                           CertContextList& vecOutput)
{
    TraceHelper scope(TEXT("FilterCertificates"));
    TRACE_INFO_VALUE("vecInput.size()", vecInput.size());
    const HRESULT hrGuarded = GUARD_ALLOCATION_STEP(TEXT("Dispatch memory failed."), TEXT("std::bad_alloc"),
                                                    E_OUTOFMEMORY, [&]() -> HRESULT {
        SplitFilter split = {pstFilter, {}, {}, {}};
        if (pstFilter != nullptr) {
            ParseFilters(pstFilter->pwszSubjectFilters, split.vecSubjectFilters);
            ParseFilters(pstFilter->pwszIssuerFilters, split.vecIssuerFilters);
            SplitStrings(pstFilter->pwszCSPNames, split.vecCSPNames);
        }
        for (const CertContext& pCertContext : vecInput) {
            if (pstFilter != nullptr && !PassesFilter(pCertContext.get(), split)) continue;
            CertContext pDuplicate(CertDuplicateCertificateContext(pCertContext.get()));
            FAIL_IF(!pDuplicate, ResultFromLastError(), TEXT("CertDuplicateCertificateContext"));
            vecOutput.push_back(std::move(pDuplicate));
        }
        return QORA_OK;
    });
    if (FAILED(hrGuarded)) return hrGuarded;
    TRACE_INFO_VALUE("vecOutput.size()", vecOutput.size());
    return QORA_OK;
}
