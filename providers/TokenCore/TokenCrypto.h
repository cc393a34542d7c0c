// providers/TokenCore/TokenCrypto.h — the token's cryptography over OpenSSL: key generation and
// loading, public key blobs, hashing, signing, RSA decryption and the decryption of delivered keys.
// Key material in the store: SM2 as the 32-byte big-endian scalar, RSA as DER RSAPrivateKey.
#pragma once
#include "TokenCommon.h"

#include <memory>

#include <openssl/evp.h>

struct PKeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

constexpr DWORD SM2_KEY_BITS = 256;
constexpr DWORD SM2_SIGNATURE_BYTES = 64;
constexpr DWORD SM2_PUBLIC_BLOB_BYTES = 140;
constexpr DWORD SM2_CIPHERTEXT_BYTES = 64 + 32 + 32;  // C1, C3, and C2 of a 32-byte private key

CspStatus GenerateKey(TokenKind kind, DWORD dwBits, ByteBuffer& key);
CspStatus LoadKey(TokenKind kind, const ByteBuffer& key, PKey& pkey);
DWORD KeyBits(EVP_PKEY* pkey);

// PUBLICKEYBLOB: for SM2 the 140-byte layout with little-endian coordinates in 64-byte fields, for
// RSA the platform's RSA1 blob.
CspStatus ExportPublicKeyBlob(TokenKind kind, EVP_PKEY* pkey, ALG_ID algid, ByteBuffer& blob);

// Hashing: the digest behind each hash algorithm the token offers (null when it offers none).
const EVP_MD* DigestOfAlgid(TokenKind kind, ALG_ID algid);

// SM2 over ZA (identity "1234567812345678") and the data, or over a digest the caller supplied;
// r then s, 32 bytes each, little-endian.
CspStatus Sm2SignData(EVP_PKEY* pkey, const ByteBuffer& data, ByteBuffer& sig);
CspStatus Sm2SignDigest(EVP_PKEY* pkey, const ByteBuffer& digest, ByteBuffer& sig);
// PKCS#1 v1.5 over the DigestInfo of the digest (or the bare digest with bNoOid), little-endian.
CspStatus RsaSignDigest(EVP_PKEY* pkey, const EVP_MD* md, const ByteBuffer& digest, bool bNoOid, ByteBuffer& sig);
// RSA private decryption of a big-endian block, PKCS#1 v1.5 (or OAEP with bOaep).
CspStatus RsaDecrypt(EVP_PKEY* pkey, const BYTE* pb, size_t cb, bool bOaep, ByteBuffer& plain);

// Delivered keys, checked and turned into store form.
CspStatus Sm2KeyFromCiphertext(EVP_PKEY* exchangeKey, const BYTE* pbC1C3C2, size_t cb, ByteBuffer& key);
CspStatus RsaKeyFromEnvelope(EVP_PKEY* exchangeKey, const BYTE* pbDer, size_t cb, ByteBuffer& key);
struct RsaBlobParts {
    // Big-endian integers taken from a PRIVATEKEYBLOB.
    ByteBuffer n, e, d, p, q, dp, dq, qinv;
};
CspStatus RsaKeyFromParts(const RsaBlobParts& parts, ByteBuffer& key);

CspStatus RandomBytes(BYTE* pb, DWORD cb);
