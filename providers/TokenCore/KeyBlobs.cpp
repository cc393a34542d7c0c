// providers/TokenCore/KeyBlobs.cpp — parsers of the blobs callers import and of certificates.
#include "KeyBlobs.h"

#include "ByteReader.h"

namespace {

constexpr size_t MAX_DELIVERED_BYTES = 1024 * 1024;
constexpr DWORD MAX_CERTIFICATE_BYTES = 1024 * 1024;
constexpr BYTE KEYSPEC_RESERVED = 1;

// Blob type, version and reserved field, the same four bytes in every blob here.
CspStatus ReadBlobHeader(ByteReader& r, WORD wReserved)
{
    BYTE bType = 0, bVersion = 0;
    WORD wGot = 0;
    if (!r.U8(bType) || !r.U8(bVersion) || !r.U16(wGot)) return NTE_BAD_LEN;
    if (bType != PRIVATEKEYBLOB) return NTE_BAD_TYPE;
    if (bVersion != CUR_BLOB_VERSION) return NTE_BAD_VER;
    return wGot == wReserved ? CSP_OK : NTE_BAD_DATA;
}

// A caller's address, as wide as a pointer of the caller's process (this one).
bool ReadAddress(ByteReader& r, const BYTE*& pb)
{
    uint64_t ullAddress = 0;
    if (!r.LittleEndian(sizeof(ULONG_PTR), ullAddress)) return false;
    pb = reinterpret_cast<const BYTE*>(static_cast<ULONG_PTR>(ullAddress));
    return true;
}

CspStatus ReadDelivered(ByteReader& r, KeySpecBlob& blob)
{
    DWORD dwBits = 0;
    const BYTE* pb = nullptr;
    if (!r.U32(dwBits) || !ReadAddress(r, pb)) return NTE_BAD_LEN;
    if (dwBits == 0 || dwBits % 8 != 0 || dwBits / 8 > MAX_DELIVERED_BYTES) return NTE_BAD_LEN;
    if (!IsReadableMemory(pb, dwBits / 8)) return NTE_BAD_DATA;
    blob.pbData = pb;
    blob.cbData = dwBits / 8;
    return CSP_OK;
}

bool ReadReversed(ByteReader& r, size_t cb, ByteBuffer& be)
{
    const BYTE* pb = nullptr;
    if (!r.Bytes(cb, pb)) return false;
    be.assign(pb, pb + cb);
    for (size_t i = 0; i < cb / 2; ++i) std::swap(be[i], be[cb - 1 - i]);
    return true;
}

}  // namespace

bool IsReadableMemory(const void* pv, size_t cb)
{
    if (cb == 0) return true;
    if (pv == nullptr) return false;
    UINT_PTR p = reinterpret_cast<UINT_PTR>(pv);
    UINT_PTR end = p + cb;
    if (end < p) return false;
    const DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    while (p < end) {
        MEMORY_BASIC_INFORMATION mbi = {};
        if (VirtualQuery(reinterpret_cast<LPCVOID>(p), &mbi, sizeof mbi) != sizeof mbi) return false;
        if (mbi.State != MEM_COMMIT || (mbi.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 ||
            (mbi.Protect & kReadable) == 0)
            return false;
        UINT_PTR regionEnd = reinterpret_cast<UINT_PTR>(mbi.BaseAddress) + mbi.RegionSize;
        if (regionEnd <= p) return false;
        p = regionEnd;
    }
    return true;
}

CspStatus ParseSm2KeySpecBlob(const BYTE* pb, DWORD cb, KeySpecBlob& blob)
{
    if (cb != SM2_KEYSPEC_BLOB_BYTES) return NTE_BAD_LEN;
    ByteReader r(pb, cb);
    CspStatus status = ReadBlobHeader(r, KEYSPEC_RESERVED);
    if (status != CSP_OK) return status;
    DWORD dwAlg1 = 0, dwAlg2 = 0;
    if (!r.U32(dwAlg1) || !r.U32(dwAlg2)) return NTE_BAD_LEN;
    if (dwAlg1 != CALG_SM2_KEYX || dwAlg2 != CALG_SM2_KEYX) return NTE_BAD_ALGID;
    return ReadDelivered(r, blob);
}

CspStatus ParseRsaKeySpecBlob(const BYTE* pb, DWORD cb, KeySpecBlob& blob)
{
    if (cb != RSA_KEYSPEC_BLOB_BYTES) return NTE_BAD_LEN;
    ByteReader r(pb, cb);
    CspStatus status = ReadBlobHeader(r, KEYSPEC_RESERVED);
    if (status != CSP_OK) return status;
    DWORD dwAlg1 = 0, dwAlg2 = 0, dwKeyBits = 0;
    if (!r.U32(dwAlg1) || !r.U32(dwAlg2) || !r.U32(dwKeyBits)) return NTE_BAD_LEN;
    if (dwAlg1 != CALG_RSA_KEYX || dwAlg2 != CALG_RSA_KEYX) return NTE_BAD_ALGID;
    // The key length field is the caller's setting; the delivered key carries its own.
    return ReadDelivered(r, blob);
}

CspStatus ParseRsaPrivateKeyBlob(const BYTE* pb, DWORD cb, RsaBlobParts& parts, int& slot)
{
    ByteReader r(pb, cb);
    CspStatus status = ReadBlobHeader(r, 0);
    if (status != CSP_OK) return status;
    DWORD dwAlg = 0, dwMagic = 0, dwBits = 0, dwExponent = 0;
    if (!r.U32(dwAlg) || !r.U32(dwMagic) || !r.U32(dwBits) || !r.U32(dwExponent)) return NTE_BAD_LEN;
    if (dwAlg == CALG_RSA_KEYX) {
        slot = 0;
    } else if (dwAlg == CALG_RSA_SIGN) {
        slot = 1;
    } else {
        return NTE_BAD_ALGID;
    }
    if (dwMagic != 0x32415352) return NTE_BAD_DATA;  // "RSA2"
    if (dwBits < 512 || dwBits > 4096 || dwBits % 8 != 0 || dwExponent == 0) return NTE_BAD_DATA;
    size_t cbFull = dwBits / 8, cbHalf = (dwBits + 15) / 16;
    if (r.Remaining() != 2 * cbFull + 5 * cbHalf) return NTE_BAD_LEN;
    for (int i = 0; i < 4; ++i) parts.e.insert(parts.e.begin(), static_cast<BYTE>(dwExponent >> (8 * i)));
    if (!ReadReversed(r, cbFull, parts.n) || !ReadReversed(r, cbHalf, parts.p) || !ReadReversed(r, cbHalf, parts.q) ||
        !ReadReversed(r, cbHalf, parts.dp) || !ReadReversed(r, cbHalf, parts.dq) ||
        !ReadReversed(r, cbHalf, parts.qinv) || !ReadReversed(r, cbFull, parts.d))
        return NTE_BAD_LEN;
    return CSP_OK;
}

DWORD MeasureDerCertificate(const BYTE* pb)
{
    if (!IsReadableMemory(pb, 2) || pb[0] != 0x30) return 0;
    DWORD cbHeader = 2, cbContent = pb[1];
    if (pb[1] & 0x80) {
        DWORD nOctets = pb[1] & 0x7F;
        if (nOctets == 0 || nOctets > 4 || !IsReadableMemory(pb, 2 + nOctets)) return 0;
        cbContent = 0;
        for (DWORD i = 0; i < nOctets; ++i) {
            if (cbContent > (MAX_CERTIFICATE_BYTES >> 8)) return 0;
            cbContent = (cbContent << 8) | pb[2 + i];
        }
        cbHeader += nOctets;
    }
    if (cbContent > MAX_CERTIFICATE_BYTES || !IsReadableMemory(pb, cbHeader + cbContent)) return 0;
    ByteReader r(pb, cbHeader + cbContent);
    ByteReader contents, first;
    BYTE tag = 0, firstTag = 0;
    if (!r.ReadTlv(tag, contents) || !contents.ReadTlv(firstTag, first) || firstTag != 0x30) return 0;
    while (!contents.Empty())
        if (!contents.ReadTlv(tag, first)) return 0;
    return cbHeader + cbContent;
}
