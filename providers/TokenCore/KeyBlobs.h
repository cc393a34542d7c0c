// providers/TokenCore/KeyBlobs.h — the blobs callers hand the token: the platform's PRIVATEKEYBLOB,
// the key-spec blobs that point at a delivered key in the caller's memory, and a certificate given
// without a length. Everything is measured before it is read; memory a blob points at is checked
// to be readable first, since an address is all the caller passes.
#pragma once
#include "TokenCrypto.h"

bool IsReadableMemory(const void* pv, size_t cb);

// The key-spec blob: {PRIVATEKEYBLOB, 2, reserved 1, algid, algid, [key bits,] data bits, address}.
// The address is as wide as a pointer of the calling process: 4 bytes in i686, 8 in x86_64.
constexpr DWORD SM2_KEYSPEC_BLOB_BYTES = 16 + sizeof(ULONG_PTR);
constexpr DWORD RSA_KEYSPEC_BLOB_BYTES = 20 + sizeof(ULONG_PTR);
struct KeySpecBlob {
    const BYTE* pbData = nullptr;
    size_t cbData = 0;
};
CspStatus ParseSm2KeySpecBlob(const BYTE* pb, DWORD cb, KeySpecBlob& blob);
CspStatus ParseRsaKeySpecBlob(const BYTE* pb, DWORD cb, KeySpecBlob& blob);

// PRIVATEKEYBLOB with an RSA2 key; slot is 0 for CALG_RSA_KEYX, 1 for CALG_RSA_SIGN.
CspStatus ParseRsaPrivateKeyBlob(const BYTE* pb, DWORD cb, RsaBlobParts& parts, int& slot);

// Length of the DER certificate at pb, read from its header: 0 when it is not one readable,
// well-formed SEQUENCE holding a SEQUENCE first.
DWORD MeasureDerCertificate(const BYTE* pb);
