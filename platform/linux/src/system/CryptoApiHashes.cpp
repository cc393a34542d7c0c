// platform/linux/src/system/CryptoApiHashes.cpp — advapi32's hashes and signatures in the native build:
// digests through NSS, and PKCS#1 v1.5 signatures over the DigestInfo of the hash, handed out and taken
// little-endian as CryptoAPI does. The DigestInfo is built here because NSS's own signing refuses MD5, which
// the requests still use.
#include "CryptoApiInternal.h"
#include "NssDatabase.h"

#include <secoidt.h>

#include <cstring>

namespace cryptoapi {

namespace {

struct HashAlgorithm {
    ALG_ID algId;
    SECOidTag tag;
    size_t cbValue;
    std::vector<BYTE> vecPrefix;  // the DigestInfo ahead of the value
};

const std::vector<HashAlgorithm>& HashAlgorithms()
{
    static const std::vector<HashAlgorithm> vec = {
        {CALG_MD5, SEC_OID_MD5, 16,
         {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10}},
        {CALG_SHA1, SEC_OID_SHA1, 20,
         {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}},
        {CALG_SHA_256, SEC_OID_SHA256, 32,
         {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04,
          0x20}}};
    return vec;
}

const HashAlgorithm* FindHashAlgorithm(ALG_ID algId)
{
    for (const HashAlgorithm& h : HashAlgorithms())
        if (h.algId == algId) return &h;
    return nullptr;
}

// The hash's value; once taken the hash is finished.
bool HashValue(HashObject& hash, Bytes& vecValue)
{
    if (hash.vecValue.empty()) {
        const HashAlgorithm* pAlgorithm = FindHashAlgorithm(hash.algId);
        Bytes vec(pAlgorithm->cbValue);
        unsigned cb = 0;
        if (PK11_DigestFinal(hash.pDigest.get(), vec.data(), &cb, static_cast<unsigned>(vec.size())) != SECSuccess ||
            cb != vec.size())
            return false;
        hash.vecValue = std::move(vec);
    }
    vecValue = hash.vecValue;
    return true;
}

bool DigestInfo(HashObject& hash, Bytes& vecInfo)
{
    Bytes vecValue;
    if (!HashValue(hash, vecValue)) return false;
    vecInfo = FindHashAlgorithm(hash.algId)->vecPrefix;
    vecInfo.insert(vecInfo.end(), vecValue.begin(), vecValue.end());
    return true;
}

bool Sign(const RsaKey& key, const Bytes& vecInfo, Bytes& vecSignature, DWORD& dwError)
{
    dwError = static_cast<DWORD>(NTE_FAIL);
    const size_t cbBlock = key.vecModulus.size();
    if (key.bIdentity) {
        Bytes vecBlock;
        if (!PadBlock(1, vecInfo, cbBlock, vecBlock)) {
            dwError = static_cast<DWORD>(NTE_BAD_LEN);
            return false;
        }
        return RsaPrivateRaw(key, vecBlock, vecSignature, dwError);
    }
    if (!key.pPrivate) {
        dwError = static_cast<DWORD>(NTE_BAD_KEY);
        return false;
    }
    vecSignature.assign(cbBlock, 0);
    SECItem signature = {siBuffer, vecSignature.data(), static_cast<unsigned>(vecSignature.size())};
    SECItem data = {siBuffer, const_cast<BYTE*>(vecInfo.data()), static_cast<unsigned>(vecInfo.size())};
    return PK11_Sign(key.pPrivate.get(), &signature, &data) == SECSuccess && signature.len == cbBlock;
}

bool Verify(const RsaKey& key, const Bytes& vecInfo, const Bytes& vecSignature)
{
    if (key.bIdentity) {
        Bytes vecBlock, vecRecovered;
        DWORD dwError = 0;
        return RsaPublicRaw(key, vecSignature, vecBlock, dwError) && UnpadBlock(1, vecBlock, vecRecovered) &&
               vecRecovered == vecInfo;
    }
    if (!key.pPublic) return false;
    SECItem signature = {siBuffer, const_cast<BYTE*>(vecSignature.data()), static_cast<unsigned>(vecSignature.size())};
    SECItem data = {siBuffer, const_cast<BYTE*>(vecInfo.data()), static_cast<unsigned>(vecInfo.size())};
    return PK11_Verify(key.pPublic.get(), &signature, &data, nullptr) == SECSuccess;
}

}  // namespace

}  // namespace cryptoapi

using namespace cryptoapi;

BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash)
{
    std::shared_ptr<ProviderContext> pContext = FindContext(hProv);
    if (!pContext || phHash == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    *phHash = 0;
    if (dwFlags != 0) return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    const HashAlgorithm* pAlgorithm = FindHashAlgorithm(Algid);
    if (pAlgorithm == nullptr || !ProviderOffers(*pContext->pProvider, Algid))
        return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    // No keyed hash is offered.
    if (hKey != 0) return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    auto pHash = std::make_shared<HashObject>();
    pHash->pContext = pContext;
    pHash->algId = Algid;
    pHash->pDigest.reset(PK11_CreateDigestContext(pAlgorithm->tag));
    if (!pHash->pDigest || PK11_DigestBegin(pHash->pDigest.get()) != SECSuccess)
        return Fail(static_cast<DWORD>(NTE_FAIL));
    *phHash = AddHash(std::move(pHash));
    return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags)
{
    std::shared_ptr<HashObject> pHash = FindHash(hHash);
    if (!pHash) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (dwFlags != 0) return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    if (!pHash->vecValue.empty()) return Fail(static_cast<DWORD>(NTE_BAD_HASH_STATE));
    if (dwDataLen == 0) return TRUE;
    if (pbData == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (PK11_DigestOp(pHash->pDigest.get(), pbData, dwDataLen) != SECSuccess) return Fail(static_cast<DWORD>(NTE_FAIL));
    return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hHash)
{
    if (!RemoveHash(hHash)) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return TRUE;
}

BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR /*szDescription*/, DWORD dwFlags, BYTE* pbSignature,
                    DWORD* pdwSigLen)
{
    std::shared_ptr<HashObject> pHash = FindHash(hHash);
    if (!pHash || pdwSigLen == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (dwFlags != 0) return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    std::shared_ptr<RsaKey> pKey = UserKey(*pHash->pContext, dwKeySpec);
    if (!pKey) return Fail(static_cast<DWORD>(NTE_NO_KEY));
    const DWORD cbSignature = static_cast<DWORD>(pKey->vecModulus.size());
    if (pbSignature == nullptr) {
        *pdwSigLen = cbSignature;
        return TRUE;
    }
    if (*pdwSigLen < cbSignature) {
        *pdwSigLen = cbSignature;
        return Fail(static_cast<DWORD>(ERROR_MORE_DATA));
    }
    Bytes vecInfo, vecSignature;
    DWORD dwError = static_cast<DWORD>(NTE_FAIL);
    if (!DigestInfo(*pHash, vecInfo)) return Fail(dwError);
    if (!Sign(*pKey, vecInfo, vecSignature, dwError)) return Fail(dwError);
    // CryptoAPI hands signatures out little-endian.
    std::copy(vecSignature.rbegin(), vecSignature.rend(), pbSignature);
    *pdwSigLen = cbSignature;
    return TRUE;
}

BOOL CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen, HCRYPTKEY hPubKey,
                           LPCWSTR /*szDescription*/, DWORD dwFlags)
{
    std::shared_ptr<HashObject> pHash = FindHash(hHash);
    std::shared_ptr<KeyObject> pKey = FindKey(hPubKey);
    if (!pHash || !pKey || pbSignature == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (dwFlags != 0) return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    if (!pKey->pRsa) return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    if (dwSigLen != pKey->pRsa->vecModulus.size()) return Fail(static_cast<DWORD>(NTE_BAD_SIGNATURE));
    Bytes vecInfo;
    if (!DigestInfo(*pHash, vecInfo)) return Fail(static_cast<DWORD>(NTE_FAIL));
    if (!Verify(*pKey->pRsa, vecInfo, Reversed(pbSignature, dwSigLen))) return Fail(static_cast<DWORD>(NTE_BAD_SIGNATURE));
    return TRUE;
}
