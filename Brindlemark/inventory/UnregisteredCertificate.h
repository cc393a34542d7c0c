// Brindlemark/inventory/UnregisteredCertificate.h — certificates that a CSP keeps inside a key container
// and no certificate store knows (the SM2 USB keys keep theirs only there): one record per certificate,
// with the CSP and container it came from, and the search over the containers of the named CSPs.
#pragma once
#include "Common.h"

#include <memory>
#include <vector>

struct CERTIFICATE_FILTER;

constexpr size_t UNREGISTERED_NAME_UNITS = 260;

// Created zero-filled; the record owns its certificate reference.
struct UNREGISTERED_CERT_CONTEXT {
    WCHAR wszProvName[UNREGISTERED_NAME_UNITS];
    WCHAR wszContainerName[UNREGISTERED_NAME_UNITS];
    DWORD dwKeySpec;
    PCCERT_CONTEXT pCertContext;
};
using PUNREGISTERED_CERT_CONTEXT = UNREGISTERED_CERT_CONTEXT*;

// Releases the certificate reference and frees the record; null is ignored.
void CertFreeUnregisteredCertContext(PUNREGISTERED_CERT_CONTEXT pstUnregisteredCertContext);

struct UnregisteredCertContextFree {
    void operator()(PUNREGISTERED_CERT_CONTEXT p) const { CertFreeUnregisteredCertContext(p); }
};
// One record and its owner; a list of them owns every record it holds.
using UnregisteredCertContext = std::unique_ptr<UNREGISTERED_CERT_CONTEXT, UnregisteredCertContextFree>;
using UnregisteredCertSet = std::vector<UnregisteredCertContext>;

// A new record with copies of both names and the key spec and a new reference to the certificate.
// E_INVALIDARG for a null context, a null or empty name, or a name that does not fit its 260-unit field
// with its terminator (a cut name would point at another CSP or container).
HRESULT CertCreateUnregisteredCertContext(const WCHAR* pwszContainerName, const WCHAR* pwszProvName,
                                          PCCERT_CONTEXT pCertContext, DWORD dwKeySpec,
                                          UnregisteredCertContext& pstUnregisteredCertContext);

// Frees every record and leaves the list empty.
void RemoveAllUnregisteredCertificates(UnregisteredCertSet& vtrUnregisteredCertSet);

// The certificate of one key (AT_KEYEXCHANGE or AT_SIGNATURE) of one container, as a new record.
// Fails when the key or its certificate is missing or unreadable, and with 0xA0071009 when the platform
// already binds the certificate to a private key.
HRESULT GetUnregisteredCertfromContainer(const WCHAR* pwszCSPName, const WCHAR* pwszContainerName, DWORD dwKeySpec,
                                         UnregisteredCertContext& pstUnregisteredCertContext);

// 0 when the certificate passes the filter's subject, issuer, key-usage, subject-key-identifier, serial,
// time and signature-algorithm tests, else E_FAIL. CSP names and the private-key requirement are not applied.
// A null filter passes every certificate.
HRESULT CheckUnregisteredCertficate(PCCERT_CONTEXT pCertContext, const CERTIFICATE_FILTER* pstFilter);

// Appends the records of every qualifying certificate in the containers of one CSP, exchange key before
// signature key for each container. A CSP without containers adds nothing and succeeds.
HRESULT FilterUnregisteredCertificatesfromSpecifiedCSP(const WCHAR* pwszCSPName, const CERTIFICATE_FILTER* pstFilter,
                                                       UnregisteredCertSet& vtrUnregisteredCertSet);

// The same over a "||" list of CSPs (null: every installed CSP), skipping every name that contains
// "Microsoft". A CSP that fails is traced and passed over; only a failed CSP enumeration fails the search.
HRESULT FilterUnregisteredCertificatesfromCSP(const WCHAR* pwszCSPNameList, const CERTIFICATE_FILTER* pstFilter,
                                              UnregisteredCertSet& vtrUnregisteredCertSet);
