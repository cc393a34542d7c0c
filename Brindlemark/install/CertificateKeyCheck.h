// Brindlemark/install/CertificateKeyCheck.h — what an issued certificate and a delivered key must show
// before a provider or a store keeps them: one well-formed certificate, of the key it is installed on.
#pragma once
#include "Common.h"

// The certificate as the platform parses it, when the bytes are exactly one DER element and nothing more:
// CRYPT_E_ASN1_EOD when the element is cut short, CRYPT_E_ASN1_CORRUPT for bytes after its end or an
// unreadable header, otherwise the platform parser's own error.
HRESULT ParseSingleCertificate(const ByteBuffer& vecCert, CertContext& pCert);

// QORA_OK when the certificate's public key is the key of dwKeySpec in hProv's container (RSA: modulus and
// exponent; SM2: the curve point); NTE_BAD_PUBLIC_KEY when it is another key; the platform's error when the
// container's key cannot be read.
HRESULT CheckCertificateKey(HCRYPTPROV hProv, DWORD dwKeySpec, PCCERT_CONTEXT pCert);
// The same comparison for a key in hand.
HRESULT CheckKeyOfCertificate(HCRYPTKEY hKey, PCCERT_CONTEXT pCert);

// Proves that an RSA exchange key holds the certificate's private key: a SHA-1 signature made with the
// exchange key of hProv verifies under the certificate's key or, where the provider does not sign with it, a
// block encrypted to the certificate comes back through hKey. QORA_OK when proven, NTE_BAD_SIGNATURE when the
// key is not the certificate's, S_FALSE when the provider can do neither operation.
HRESULT ProveExchangeKey(HCRYPTPROV hProv, HCRYPTKEY hKey, PCCERT_CONTEXT pCert);
