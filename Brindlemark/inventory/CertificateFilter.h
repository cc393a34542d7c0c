// Brindlemark/inventory/CertificateFilter.h — which certificates of a list an operation keeps: the
// inventory keeps those whose keys live in the page's CSPs and whose signature algorithm is of one family,
// the removal of withdrawn CA certificates picks its own. An absent or empty criterion passes everything.
#pragma once
#include "Common.h"

#include <vector>

// The criteria, every one empty to begin with; the texts stay the caller's, the filter functions copy
// what they split.
struct CERTIFICATE_FILTER {
    const WCHAR* pwszSubjectFilters = nullptr;       // items separated by "#", any one contained in the subject
    const WCHAR* pwszIssuerFilters = nullptr;        // items separated by "#", any one contained in the issuer
    const WCHAR* pwszCSPNames = nullptr;             // names separated by "||", any one contained in the CSP name
    const WCHAR* pwszSubjectKeyID = nullptr;         // hexadecimal, last digit pair first
    const WCHAR* pwszSerialNumber = nullptr;         // hexadecimal, most significant byte first
    DWORD dwKeyUsage = 0;                            // key-usage bits of which the certificate needs one
    BOOL bRequirePrivateKey = 0;                     // 1: the platform must reach the certificate's private key
    const char* pszSignatureAlgOIDPrefix = nullptr;  // text prefix of the signature algorithm's identifier
    const FILETIME* pftCheckTime = nullptr;          // a moment inside the validity period
};

// References owned one by one; clearing the list releases them.
using CertContextList = std::vector<CertContext>;

// Longest item of a "#" list; longer items are cut.
constexpr size_t FILTER_ITEM_MAX_UNITS = 255;

// The items of a "#" list, empty items included; a null text gives none.
void ParseFilters(const WCHAR* pwszFilters, std::vector<WString>& vecFilters);

// The criterion tests: 0 when the certificate passes (an empty criterion always passes), else the reason's
// code, which only the trace sees.
HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCertContext, const std::vector<WString>& vecSubjectFilters);
HRESULT CheckCertIssuer(PCCERT_CONTEXT pCertContext, const std::vector<WString>& vecIssuerFilters);
HRESULT CheckCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD dwKeyUsage);
HRESULT CheckCertSubjectKeyID(PCCERT_CONTEXT pCertContext, const WCHAR* pwszSubjectKeyID);
HRESULT CheckCertSerialNumber(PCCERT_CONTEXT pCertContext, const WCHAR* pwszSerialNumber);
HRESULT CheckCertTimeValidity(PCCERT_CONTEXT pCertContext, const FILETIME* pftCheckTime);
HRESULT CheckCertSignatureAlg(PCCERT_CONTEXT pCertContext, const char* pszSignatureAlgOIDPrefix);
HRESULT CheckCSPName(PCCERT_CONTEXT pCertContext, const std::vector<WString>& vecCSPNames);
HRESULT CheckCertPrivateKey(PCCERT_CONTEXT pCertContext, BOOL bRequirePrivateKey);

// Appends a new reference to every certificate of the input that passes all criteria, in input order; a
// null filter passes all. Only a failed duplication fails the run; what was appended stays the caller's.
HRESULT FilterCertificates(const CERTIFICATE_FILTER* pstFilter, const CertContextList& vecInput,
                           CertContextList& vecOutput);
