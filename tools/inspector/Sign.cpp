// tools/inspector/Sign.cpp — a signature with a container's key, the proof that it holds an issued certificate's key.
#include "Commands.h"

#include "KeyDer.h"
#include "Text.h"

namespace inspector {

bool RunSign(const Options& opts, Node& report, Failure& failure)
{
    const DWORD dwProvType = ProviderTypeOf(opts);
    report.Add("csp", Node::Text(ToUtf8(opts.wstrCSP)));
    report.Add("container", Node::Text(ToUtf8(opts.wstrContainer)));
    report.Add("spec", Node::Number(opts.dwKeySpec));
    const HashName* pHash = HashOf(opts.wstrHash);
    if (pHash == nullptr) return Fail(failure, "hash algorithm", NTE_BAD_ALGID);
    report.Add("hash", Node::Text(ToUtf8(pHash->pwszName)));
    CryptProv hProv;
    if (!CryptAcquireContextW(hProv.put(), opts.wstrContainer.c_str(), opts.wstrCSP.c_str(), dwProvType, CRYPT_SILENT))
        return Fail(failure, "CryptAcquireContext", GetLastError());
    CryptKey hKey;
    if (!CryptGetUserKey(hProv.get(), opts.dwKeySpec, hKey.put()))
        return Fail(failure, "CryptGetUserKey", GetLastError());
    const ALG_ID algid = KeyDword(hKey.get(), KP_ALGID);
    const bool bSm2 = IsSm2(algid);
    report.Add("algId", Node::Text(HexDword(algid, 4)));

    CryptHash hHash;
    if (!CryptCreateHash(hProv.get(), pHash->algid, 0, 0, hHash.put()))
        return Fail(failure, "CryptCreateHash", GetLastError());
    if (!CryptHashData(hHash.get(), opts.vecData.data(), static_cast<DWORD>(opts.vecData.size()), 0))
        return Fail(failure, "CryptHashData", GetLastError());
    DWORD cb = 0;
    ByteBuffer vecSignature;
    if (!CryptSignHashW(hHash.get(), opts.dwKeySpec, nullptr, 0, nullptr, &cb))
        return Fail(failure, "CryptSignHash", GetLastError());
    if (!TryResize(vecSignature, cb)) return Fail(failure, "CryptSignHash", E_OUTOFMEMORY);
    if (!CryptSignHashW(hHash.get(), opts.dwKeySpec, nullptr, 0, vecSignature.data(), &cb) || cb > vecSignature.size())
        return Fail(failure, "CryptSignHash", GetLastError());
    vecSignature.resize(cb);

    if (bSm2) {
        if (vecSignature.size() != 2 * kSm2Coordinate)
            return Fail(failure, "SM2 signature of r and s", NTE_BAD_SIGNATURE);
        report.Add("signatureFormat", Node::Text("ECDSA-Sig-Value"));
        report.Add("signature", Node::Text(Hex(Sm2SignatureDer(vecSignature))));
    } else {
        const bool bRsa = GET_ALG_TYPE(algid) == ALG_TYPE_RSA;
        report.Add("signatureFormat", Node::Text(bRsa ? "PKCS#1 v1.5" : "big-endian"));
        report.Add("signature", Node::Text(Hex(Reversed(vecSignature.data(), vecSignature.size()))));
    }
    const ByteBuffer vecSpki = PublicKeyInfo(hProv.get(), hKey.get(), opts.dwKeySpec, bSm2);
    report.Add("publicKeyInfo", vecSpki.empty() ? Node::Null() : Node::Text(Hex(vecSpki)));
    return true;
}

}  // namespace inspector
