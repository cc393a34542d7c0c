// tools/democa/Request.h — the certification request as the CA takes it from the page: every shape the
// agent writes (RSA or SM2, single or double with the temporary exchange key among the attributes), and
// the standard one OpenSSL writes.
#pragma once
#include <string_view>

#include "Owners.h"

namespace democa {

enum class KeyType { Rsa, Sm2 };

const char* KeyTypeName(KeyType type);

struct CertRequest {
    KeyType keyType = KeyType::Rsa;
    X509NamePtr subject;
    PkeyPtr publicKey;     // the signing key
    int keyBits = 0;
    PkeyPtr temporaryKey;  // the exchange key of a double request; null for a single one

    bool IsDouble() const { return temporaryKey != nullptr; }
};

// Decodes, takes apart and verifies the request text. Bad requests fail with kExitBadInput and say why.
Status ReadCertRequest(std::string_view text, CertRequest& request);

// An SM2 public key from an uncompressed point (04, X, Y); false when the point is not on the curve.
bool Sm2KeyFromPoint(ByteView point, PkeyPtr& key);

}  // namespace democa
