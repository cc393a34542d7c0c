// Brindlemark/inventory/CertificateInventory.h — the certificates a page may use: RSA-family certificates
// of the user's personal store whose keys live in the named CSPs, then SM2-family certificates held only
// in key containers of the named non-Microsoft CSPs, as one certificate information text.
#pragma once
#include "Common.h"
#include "inventory/CertificateFilter.h"

class TraceHelper;

// Signature-algorithm families of the inventory.
constexpr char OID_PREFIX_RSA_FAMILY[] = "1.2.840.113549";
constexpr char OID_PREFIX_SM2_FAMILY[] = "1.2.156.10197";

// Appends a new reference to every certificate of the store, in its enumeration order; references already
// appended stay when a duplication fails.
HRESULT ExtractCertificatesFromStore(HCERTSTORE hCertStore, CertContextList& vecCertContexts);

// The same for the current user's "MY" store, opened read-only for the call.
HRESULT ExtractCertificatesFromLocalStore(CertContextList& vecCertContexts);

// The personal store's certificates that pass the filter. On failure the output list is emptied.
HRESULT FilterCertificatesfromLocalStore(const CERTIFICATE_FILTER* pstFilter, CertContextList& vecCertContexts);

// The certificate information text of QORA_GetAllCertInfo for a "||" list of CSP names (null or empty:
// store certificates of every CSP, no container search; spaces around the whole list are dropped).
// Steps are traced under the caller's scope, the operation's own. wstrCertInfo is written only on QORA_OK
// (the empty text when nothing qualifies).
HRESULT GetAllCertificatesInfo(const TraceHelper& scope, const WCHAR* pwszCSPNameList, WString& wstrCertInfo);
