// tools/democa/Issuer.h — certificates of the demo CA: its roots and issuing CAs, and the signing and
// encryption certificates it issues from requests.
#pragma once
#include <ctime>
#include <string>

#include "Request.h"

namespace democa {

// Server: the login service's own certificate, for localhost and 127.0.0.1.
enum class CertProfile { RootCa, IssuingCa, Signing, Encryption, Server };

struct CertContents {
    const X509_NAME* subject = nullptr;
    EVP_PKEY* publicKey = nullptr;
    CertProfile profile = CertProfile::Signing;
    X509* issuer = nullptr;        // null: self-signed with issuerKey
    EVP_PKEY* issuerKey = nullptr; // RSA keys sign with SHA-256, SM2 keys with SM3 and the default identity
};

// Fixed values for CA material that must come out the same on every run; the defaults otherwise.
struct FixedFields {
    Bytes serial;                    // contents of a positive minimal INTEGER; empty: random
    time_t notBefore = 0;            // both or neither; 0: relative to now
    time_t notAfter = 0;
    const EVP_MD* digest = nullptr;  // an RSA signature's hash; null: SHA-256
};

// A signed certificate after the profile: random positive 16-byte serial, valid from an hour ago (a year
// for end entities, no longer than the issuer; ten years for CAs), key identifiers, key usage and basic
// constraints. Fixed serial, dates and hash replace the defaults where given.
Status BuildCertificate(const CertContents& contents, X509Ptr& cert, const FixedFields& fixed = {});

// The serial number as the agent's certificate list writes it: two lower-case hex digits per byte.
std::string SerialHex(const X509* cert);

// A name in the RFC 2253 text form, for messages and the ca command.
std::string NameText(const X509_NAME* name);

}  // namespace democa
