// tools/democa/Envelope.h — the encryption key pair the CA makes for a double request, and the envelope
// that carries its private key to the agent, encrypted for the request's temporary exchange key.
//
// Envelope text: four 16-character zero-padded decimal fields (device type, encrypt type, session key
// type, session key field length), the session key field, a 16-character private key field length, the
// private key field. Each field is Base64 of DER SEQUENCE { INTEGER 1, OCTET STRING key material } followed
// by one ","; an absent session key is a field of length 0.
#pragma once
#include <string>
#include <string_view>

#include "Request.h"

namespace democa {

enum class EnvelopeFormat {
    Classic,          // 3DES session key for the RSA exchange key; private key 3DES-ECB, PKCS#1 inside
    ExtRsa,           // the same bytes, for the extended RSA import through a token
    ExtRsaNoSession,  // no session key: the PKCS#1 private key in PKCS#1 v1.5 blocks for the exchange key
    ExtSm2,           // SM2 ciphertext C1 || C3 || C2 of the 32-byte private key
    ExtSm2C1C2C3,     // the same in the order C1 || C2 || C3
};

bool ParseEnvelopeFormat(std::string_view name, EnvelopeFormat& format);
const char* EnvelopeFormatName(EnvelopeFormat format);
KeyType EnvelopeKeyType(EnvelopeFormat format);
// The format used when none is asked for.
EnvelopeFormat DefaultEnvelopeFormat(KeyType keyType);

// RSA of rsaBits (e = 65537), or SM2. RSA keys are drawn until every CRT part has its full byte length,
// as the client's private key blob takes them at fixed widths.
Status GenerateEncryptionKey(KeyType keyType, int rsaBits, PkeyPtr& key);

// The envelope text of the encryption private key for the temporary key. A plaintext, when given, is
// encrypted in place of the key's own encoding (PKCS#1 RSAPrivateKey, or the 32-byte SM2 scalar): tests damage
// a key that way before it is encrypted.
Status BuildEnvelope(EnvelopeFormat format, EVP_PKEY* temporaryKey, EVP_PKEY* encryptionKey, std::string& envelope,
                     const Bytes* plaintext = nullptr);

}  // namespace democa
