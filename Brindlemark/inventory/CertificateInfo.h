// Brindlemark/inventory/CertificateInfo.h — the certificate information text the page parses: one record
// per certificate, "subject;serial;valid-from;valid-to;CSP name", records joined by "||"; and the queries
// that read single attributes of a certificate for it, for the filters and for the chain check.
#pragma once
#include "Common.h"
#include "inventory/UnregisteredCertificate.h"

// Query identifiers of QueryCertContextInfo.
constexpr DWORD QUERYID_SUBJECT_FULL = 1;    // text: subject, CERT_X500_NAME_STR
constexpr DWORD QUERYID_SUBJECT_SIMPLE = 2;  // text: subject values only
constexpr DWORD QUERYID_ISSUER = 3;          // text: issuer, common name first, never quoted
constexpr DWORD QUERYID_SERIALNUMBER = 4;    // bytes: serial number, least significant first
constexpr DWORD QUERYID_PROVIDERNAME = 5;    // text: the CSP holding the private key
constexpr DWORD QUERYID_TODATE = 6;          // time: notAfter (UTC)
constexpr DWORD QUERYID_FROMDATE = 7;        // time: notBefore (UTC)
constexpr DWORD QUERYID_SUBJECTKEYID = 8;    // bytes: subject key identifier, extension order
constexpr DWORD QUERYID_KEYUSAGE = 9;        // value: first byte of the key-usage bits
constexpr DWORD QUERYID_CONTAINERNAME = 10;  // text: the key container holding the private key
constexpr DWORD QUERYID_CN = 11;             // text: simple display name

// The answer of one query; only the member of the query's kind is written.
struct CERTIFICATE_QUERY_RESULT {
    WString wstrText;
    ByteBuffer vecBytes;
    SYSTEMTIME stTime = {};
    DWORD dwValue = 0;
};

// Dispatches to the Get* function of the identifier; any other identifier fails with 0xA0071003.
HRESULT QueryCertContextInfo(PCCERT_CONTEXT pCertContext, DWORD dwQueryID, CERTIFICATE_QUERY_RESULT& stResult);

// dwStrType: CERT_X500_NAME_STR or CERT_SIMPLE_NAME_STR. A subject the platform renders as nothing is empty.
HRESULT GetCertSubject(PCCERT_CONTEXT pCertContext, DWORD dwStrType, WString& wstrSubject);
HRESULT GetCertIssuer(PCCERT_CONTEXT pCertContext, WString& wstrIssuer);
HRESULT GetCertSerialNumber(PCCERT_CONTEXT pCertContext, ByteBuffer& vecSerialNumber);
HRESULT GetCertProviderName(PCCERT_CONTEXT pCertContext, WString& wstrProviderName);
HRESULT GetCertContainerName(PCCERT_CONTEXT pCertContext, WString& wstrContainerName);
HRESULT GetCertToDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME& stToDate);
HRESULT GetCertFromDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME& stFromDate);
// 0xA0071021 without a subject-key-identifier extension.
HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pCertContext, ByteBuffer& vecSubjectKeyID);
// 0xA0071020 without a key-usage extension; an empty bit string is usage 0.
HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD& dwKeyUsage);
HRESULT GetCertCN(PCCERT_CONTEXT pCertContext, WString& wstrCN);

// A certificate property read in the platform's two calls; CRYPT_E_NOT_FOUND when the certificate has none.
HRESULT GetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, ByteBuffer& vecProperty);

// UTC to the computer's local time; on a failing step the value stays as it was.
HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* pstSysTime);
// "%04d-%02d-%02d %02d:%02d:%02d".
HRESULT GetTimeString(const SYSTEMTIME* pstSysTime, WString& wstrTime);

// One record of a store certificate; CRYPT_E_NOT_FOUND when it has no key-provider link or the link
// names no provider.
HRESULT GetCertificateInfo(PCCERT_CONTEXT pstCertContext, WString& wstrCertInfo);
// One record of a container certificate; field 5 is the CSP it was found in.
HRESULT GetCertificateInfoUnregisteredCert(const UNREGISTERED_CERT_CONTEXT* pstUnregisteredCertContext,
                                           WString& wstrCertInfo);

// The records of every store certificate with a key-provider link, in the store's enumeration order,
// joined by "||". Records that fail otherwise fail the whole text, which is then not written.
HRESULT GetAllCertificatesInfoinStore(HCERTSTORE hCertStore, WString& wstrCertInfo);
// The records of every entry of the list, in list order; an empty list is E_INVALIDARG.
HRESULT GetAllCertificatesInfoUnregisteredCertSet(const UnregisteredCertSet& vtrUnregisteredCertSet,
                                                  WString& wstrCertInfo);
