// tools/inspector/KeyDer.cpp — DER, only what a signature and an SM2 public key need.
#include "KeyDer.h"

#include "Brindlemark/codec/ByteReader.h"
#include "Brindlemark/codec/DerWriter.h"
#include "Text.h"

#include <utility>

namespace inspector {

// The token's r then s, each 32 bytes little-endian, as the ECDSA-Sig-Value that X.509 verifiers read.
ByteBuffer Sm2SignatureDer(const ByteBuffer& vecSignature)
{
    const ByteBuffer vecR = Reversed(vecSignature.data(), kSm2Coordinate);
    const ByteBuffer vecS = Reversed(vecSignature.data() + kSm2Coordinate, kSm2Coordinate);
    ByteBuffer vecDer;
    DerWriter writer(vecDer);
    const DerWriter::Mark mark = writer.Open(0x30);
    writer.AppendUnsignedInteger(vecR.data(), vecR.size());
    writer.AppendUnsignedInteger(vecS.data(), vecS.size());
    return writer.Close(mark) ? vecDer : ByteBuffer();
}

// SubjectPublicKeyInfo {id-ecPublicKey, the SM2 curve} of the token's 140-byte blob: header, bit length,
// then X and Y each in a 64-byte field whose first 32 bytes hold the coordinate little-endian.
bool Sm2PublicKeyInfo(const ByteBuffer& vecBlob, ByteBuffer& vecSpki)
{
    // AlgorithmIdentifier { id-ecPublicKey, the SM2 curve }
    static const ByteBuffer kAlgorithm = {0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
                                          0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};
    ByteReader cursor(vecBlob);
    const BYTE* pbHeader = nullptr;
    const BYTE* pbX = nullptr;
    const BYTE* pbY = nullptr;
    DWORD dwBits = 0;
    if (vecBlob.size() != kSm2PublicBlob || !cursor.Bytes(sizeof(BLOBHEADER), pbHeader) || !cursor.U32(dwBits) ||
        !cursor.Bytes(2 * kSm2Coordinate, pbX) || !cursor.Bytes(2 * kSm2Coordinate, pbY) || !cursor.Empty())
        return false;
    if (pbHeader[0] != PUBLICKEYBLOB || dwBits != 8 * kSm2Coordinate) return false;
    ByteBuffer vec;
    DerWriter writer(vec);
    const DerWriter::Mark mark = writer.Open(0x30);
    writer.Append(kAlgorithm);
    const DerWriter::Mark markPoint = writer.Open(0x03);
    writer.Append({0x00, 0x04});  // no unused bits, then an uncompressed point
    writer.Append(Reversed(pbX, kSm2Coordinate));
    writer.Append(Reversed(pbY, kSm2Coordinate));
    if (!writer.Close(markPoint) || !writer.Close(mark)) return false;
    vecSpki = std::move(vec);
    return true;
}

// DER SubjectPublicKeyInfo of the key, or empty when the provider cannot give it.
ByteBuffer PublicKeyInfo(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwKeySpec, bool bSm2)
{
    ByteBuffer vecSpki;
    DWORD cb = 0;
    if (bSm2) {
        ByteBuffer vecBlob;
        if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, nullptr, &cb) || !TryResize(vecBlob, cb) ||
            !CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, vecBlob.data(), &cb) || cb > vecBlob.size())
            return ByteBuffer();
        vecBlob.resize(cb);
        if (!Sm2PublicKeyInfo(vecBlob, vecSpki)) return ByteBuffer();
        return vecSpki;
    }
    ByteBuffer vecInfo;
    if (!CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING, nullptr, &cb) || !TryResize(vecInfo, cb) ||
        !CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING,
                                  reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(vecInfo.data()), &cb))
        return ByteBuffer();
    DWORD cbDer = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, vecInfo.data(), nullptr, &cbDer) ||
        !TryResize(vecSpki, cbDer) ||
        !CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, vecInfo.data(), vecSpki.data(), &cbDer) ||
        cbDer > vecSpki.size())
        return ByteBuffer();
    vecSpki.resize(cbDer);
    return vecSpki;
}

}  // namespace inspector
