// tools/inspector/KeyDer.h — DER, only what a signature and an SM2 public key need.
#pragma once
#include "Brindlemark/Common.h"

namespace inspector {

constexpr ALG_ID kSm2KeyExchange = 0xBE00;
constexpr ALG_ID kSm2Signature = 0x3E00;
constexpr ALG_ID kSm3Hash = 0x800F;
constexpr size_t kSm2Coordinate = 32;
constexpr size_t kSm2PublicBlob = 140;

inline bool IsSm2(ALG_ID algid) { return algid == kSm2KeyExchange || algid == kSm2Signature; }

// The token's r then s, each 32 bytes little-endian, as the ECDSA-Sig-Value that X.509 verifiers read.
ByteBuffer Sm2SignatureDer(const ByteBuffer& vecSignature);
// SubjectPublicKeyInfo {id-ecPublicKey, the SM2 curve} of the token's 140-byte blob.
bool Sm2PublicKeyInfo(const ByteBuffer& vecBlob, ByteBuffer& vecSpki);
// DER SubjectPublicKeyInfo of the key, or empty when the provider cannot give it.
ByteBuffer PublicKeyInfo(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwKeySpec, bool bSm2);

}  // namespace inspector
