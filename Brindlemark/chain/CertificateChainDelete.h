// Brindlemark/chain/CertificateChainDelete.h — removal of the CA certificates the certificate authority has
// withdrawn: earlier intermediate CAs from the machine's and the user's "CA" stores, earlier roots from the
// registry place of the machine's trusted roots.
#pragma once
#include "Common.h"
#include "inventory/CertificateFilter.h"

// The two withdrawal lists, RSA then SM2, run entry by entry; every entry's result goes to the trace
// only, and the run always answers 0.
HRESULT DeleteRSADiscardCert();
HRESULT DeleteSM2DiscardCert();

// An intermediate CA matching all three criteria (DNs as case-insensitive parts of the subject and issuer
// texts, serial most significant byte first): removed from the machine's "CA" store, then, if that
// succeeded, from the user's.
HRESULT DeleteIntermediateCert(const WCHAR* pwszSerialNumber, const WCHAR* pwszSubjectDN, const WCHAR* pwszIssuerDN);

// A root: removed from the machine's "CA" store, then, if that succeeded, its registry key (named by the
// thumbprint) is deleted; an absent key is a failure.
HRESULT DeleteTrustedRootCert(const WCHAR* pwszThumbprint, const WCHAR* pwszSerialNumber, const WCHAR* pwszSubjectDN,
                              const WCHAR* pwszIssuerDN);

// Every certificate of the "CA" store of that location (CERT_SYSTEM_STORE_LOCAL_MACHINE or
// CERT_SYSTEM_STORE_CURRENT_USER) that passes the filter is deleted; finding none is a success.
HRESULT DeleteCertificateFromStore(DWORD dwFlag, const CERTIFICATE_FILTER* pstFilter);

// Deletes HKLM\SOFTWARE\Microsoft\SystemCertificates\ROOT\Certificates\<thumbprint>.
HRESULT DeleteRegistryKey(const WCHAR* pwszThumbprint);
