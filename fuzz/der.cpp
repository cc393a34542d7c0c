// fuzz/der.cpp — the DER tree decoder and the private-key walk: every node the decoder hands out lies inside
// the input and inside its parent, its children follow each other without gaps, and the private key walk
// (and the platform key blob made from it) only ever reads what the tree measured.
#include "codec/ASN1Engine.h"
#include "install/ImportEncryptCert.h"
#include "support/FuzzSupport.h"

#include <cstdlib>

namespace {

void CheckNode(const ASN1Node& node, const uint8_t* pb, size_t cb, ULONGLONG ullStart, ULONGLONG ullEnd)
{
    if (node.pbInput != pb || node.cbInput != cb || node.bIndefinite) abort();
    if (node.ullTotalSize != 1ull + node.dwLengthOctets + node.dwContentsLength) abort();
    if (node.ullContentsOffset != ullStart + 1 + node.dwLengthOctets) abort();
    if (ullStart + node.ullTotalSize > ullEnd) abort();
    if (pb[ullStart] != node.bTag) abort();
    ULONGLONG ullChild = node.ullContentsOffset;
    const ULONGLONG ullContentsEnd = node.ullContentsOffset + node.dwContentsLength;
    for (const auto& pChild : node.children) {
        if (pChild->pParent != &node) abort();
        CheckNode(*pChild, pb, cb, ullChild, ullContentsEnd);
        ullChild += pChild->ullTotalSize;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb)
{
    std::unique_ptr<ASN1Node> pRoot;
    const LONG lResult = DecodeASN1Memory(pb, cb, pRoot);
    if (lResult == 0) {
        if (!pRoot) abort();
        CheckNode(*pRoot, pb, cb, 0, cb);
    } else if (pRoot) {
        abort();
    }

    // The blob is made only from a key the walk reads (nine or more elements); for the modulus's own length
    // and one other.
    if (lResult != 0 || pRoot->children.size() < 9) return 0;
    RSAPrivateKeyParts stParts;
    if (DecodePrivateKey(pb, cb, stParts) != 0) return 0;
    const LONG lModulusBits = static_cast<LONG>(stParts.vecModulus.size() * 8);
    for (LONG lBits : {lModulusBits, static_cast<LONG>(lModulusBits + 8)}) {
        ByteBuffer vecBlob;
        const HRESULT hResult = getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(pb, static_cast<DWORD>(cb), lBits, vecBlob);
        const size_t cbFull = static_cast<size_t>(lBits) / 8, cbHalf = (cbFull + 1) / 2;
        if (hResult == 0 && (lBits != lModulusBits || vecBlob.size() != 20 + 2 * cbFull + 5 * cbHalf)) abort();
    }
    return 0;
}
