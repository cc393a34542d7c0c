// platform/linux/src/system/CryptoApiKeys.cpp — advapi32's keys in the native build: RSA key pairs in the
// NSS database (or as session objects of a verify context), the key blobs exactly as CryptoAPI lays them
// out, and the block ciphers' session keys.
//
// The blobs, all little-endian after an 8-byte BLOBHEADER {type, version 2, reserved, ALG_ID}:
//   PUBLICKEYBLOB  RSAPUBKEY {"RSA1", bits, exponent} n
//   PRIVATEKEYBLOB RSAPUBKEY {"RSA2", bits, exponent} n p q dP dQ qInv d (n and d bits/8 bytes, the others
//                  half of that, rounded up)
//   SIMPLEBLOB     ALG_ID of the wrapping key, then the session key in a PKCS#1 v1.5 type-2 block encrypted
//                  with it, the block as long as the wrapping key's modulus
#include "CryptoApiInternal.h"
#include "NssDatabase.h"

#include <secitem.h>
#include <secport.h>

#include <algorithm>
#include <cstring>

namespace cryptoapi {

namespace {

constexpr DWORD kMagicRsa1 = 0x31415352;  // "RSA1"
constexpr DWORD kMagicRsa2 = 0x32415352;  // "RSA2"
constexpr size_t kBlobHeaderBytes = 8;
constexpr size_t kRsaHeaderBytes = 20;  // BLOBHEADER and RSAPUBKEY
constexpr CK_FLAGS kAllOps = CKF_SIGN | CKF_VERIFY | CKF_ENCRYPT | CKF_DECRYPT | CKF_WRAP | CKF_UNWRAP;

// Reads a blob the caller measured: every field is taken through one length check.
class BlobReader {
public:
    BlobReader(const BYTE* pb, size_t cb) : m_pb(pb), m_cb(cb) {}
    bool Take(size_t cb, const BYTE*& pbOut)
    {
        if (cb > m_cb - m_nPos) return false;
        pbOut = m_pb + m_nPos;
        m_nPos += cb;
        return true;
    }
    bool Dword(DWORD& dw)
    {
        const BYTE* pb = nullptr;
        if (!Take(4, pb)) return false;
        dw = static_cast<DWORD>(pb[0]) | static_cast<DWORD>(pb[1]) << 8 | static_cast<DWORD>(pb[2]) << 16 |
             static_cast<DWORD>(pb[3]) << 24;
        return true;
    }
    // A little-endian integer field, returned big-endian without leading zeros.
    bool Integer(size_t cb, Bytes& vec)
    {
        const BYTE* pb = nullptr;
        if (!Take(cb, pb)) return false;
        vec = Reversed(pb, cb);
        size_t nSkip = 0;
        while (nSkip < vec.size() && vec[nSkip] == 0) ++nSkip;
        vec.erase(vec.begin(), vec.begin() + static_cast<std::ptrdiff_t>(nSkip));
        return true;
    }

private:
    const BYTE* m_pb;
    size_t m_cb;
    size_t m_nPos = 0;
};

void PutDword(Bytes& vec, DWORD dw)
{
    for (int i = 0; i < 4; ++i) vec.push_back(static_cast<BYTE>(dw >> (8 * i)));
}

// A big-endian integer as a little-endian field of cb bytes; false when it does not fit.
bool PutInteger(Bytes& vec, const Bytes& vecValue, size_t cb)
{
    size_t nSkip = 0;
    while (nSkip < vecValue.size() && vecValue[nSkip] == 0) ++nSkip;
    if (vecValue.size() - nSkip > cb) return false;
    const size_t nStart = vec.size();
    vec.resize(nStart + cb, 0);
    for (size_t i = 0; i + nSkip < vecValue.size(); ++i) vec[nStart + i] = vecValue[vecValue.size() - 1 - i];
    return true;
}

void Header(Bytes& vec, BYTE bType, ALG_ID algId)
{
    vec.push_back(bType);
    vec.push_back(CUR_BLOB_VERSION);
    vec.push_back(0);
    vec.push_back(0);
    PutDword(vec, algId);
}

struct BlobSizes {
    explicit BlobSizes(DWORD dwBits) : cbFull((dwBits + 7) / 8), cbHalf((cbFull + 1) / 2) {}
    size_t cbFull;
    size_t cbHalf;
};

bool IsOne(const Bytes& vec) { return vec.size() == 1 && vec[0] == 1; }

// DER, for the PKCS#8 structure NSS imports private keys from.
void AppendTlv(Bytes& vec, BYTE bTag, const Bytes& vecContents)
{
    vec.push_back(bTag);
    const size_t cb = vecContents.size();
    if (cb < 0x80) {
        vec.push_back(static_cast<BYTE>(cb));
    } else {
        BYTE rgb[sizeof(size_t)] = {};
        size_t n = 0;
        for (size_t v = cb; v != 0; v >>= 8) rgb[n++] = static_cast<BYTE>(v);
        vec.push_back(static_cast<BYTE>(0x80 | n));
        while (n != 0) vec.push_back(rgb[--n]);
    }
    vec.insert(vec.end(), vecContents.begin(), vecContents.end());
}

void AppendInteger(Bytes& vec, const Bytes& vecValue)
{
    // A leading zero keeps a high first bit positive; sized once, then copied (GCC 12 misreads an insert after
    // a push_back into an empty vector as reading from nothing).
    const size_t cbLead = vecValue.empty() || (vecValue[0] & 0x80) != 0 ? 1 : 0;
    Bytes vecContents(cbLead + vecValue.size(), 0);
    std::copy(vecValue.begin(), vecValue.end(), vecContents.begin() + static_cast<std::ptrdiff_t>(cbLead));
    AppendTlv(vec, 0x02, vecContents);
    Wipe(vecContents);
}

// PrivateKeyInfo { 0, rsaEncryption NULL, OCTET STRING RSAPrivateKey }.
Bytes PrivateKeyInfo(const RsaComponents& c)
{
    static const BYTE kRsaAlgorithm[] = {0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                                         0xf7, 0x0d, 0x01, 0x01, 0x01, 0x05, 0x00};
    Bytes vecFields;
    AppendInteger(vecFields, Bytes());
    for (const Bytes* p : {&c.n, &c.e, &c.d, &c.p, &c.q, &c.dP, &c.dQ, &c.qInv}) AppendInteger(vecFields, *p);
    Bytes vecRsa;
    AppendTlv(vecRsa, 0x30, vecFields);
    Bytes vecInfo;
    AppendInteger(vecInfo, Bytes());
    vecInfo.insert(vecInfo.end(), std::begin(kRsaAlgorithm), std::end(kRsaAlgorithm));
    AppendTlv(vecInfo, 0x04, vecRsa);
    Bytes vec;
    AppendTlv(vec, 0x30, vecInfo);
    Wipe(vecFields);
    Wipe(vecRsa);
    Wipe(vecInfo);
    return vec;
}

NssPtr<SECKEYPublicKey> PublicKeyOf(const Bytes& vecModulus, const Bytes& vecExponent)
{
    PLArenaPool* pArena = PORT_NewArena(DER_DEFAULT_CHUNKSIZE);
    if (pArena == nullptr) return nullptr;
    SECKEYPublicKey* p = PORT_ArenaZNew(pArena, SECKEYPublicKey);
    if (p == nullptr) {
        PORT_FreeArena(pArena, PR_FALSE);
        return nullptr;
    }
    p->arena = pArena;
    p->keyType = rsaKey;
    p->pkcs11ID = CK_INVALID_HANDLE;
    NssPtr<SECKEYPublicKey> pKey(p);
    if (SECITEM_AllocItem(pArena, &p->u.rsa.modulus, static_cast<unsigned>(vecModulus.size())) == nullptr ||
        SECITEM_AllocItem(pArena, &p->u.rsa.publicExponent, static_cast<unsigned>(vecExponent.size())) == nullptr)
        return nullptr;
    memcpy(p->u.rsa.modulus.data, vecModulus.data(), vecModulus.size());
    memcpy(p->u.rsa.publicExponent.data, vecExponent.data(), vecExponent.size());
    return pKey;
}

unsigned UsageOf(DWORD dwKeySpec)
{
    return dwKeySpec == AT_KEYEXCHANGE ? KU_ALL : (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION);
}

ALG_ID AlgorithmOfSpec(DWORD dwKeySpec) { return dwKeySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN; }

// Components into NSS: a token key of the container, or a session key of a verify context.
NssPtr<SECKEYPrivateKey> ImportComponents(const RsaComponents& c, const ProviderContext& context, DWORD dwKeySpec)
{
    NssPtr<PK11SlotInfo> pSlot(NssDatabaseSlot());
    if (!pSlot) return nullptr;
    Bytes vecDer = PrivateKeyInfo(c);
    SECItem der = {siBuffer, vecDer.data(), static_cast<unsigned>(vecDer.size())};
    Bytes vecModulus = c.n;
    SECItem modulus = {siBuffer, vecModulus.data(), static_cast<unsigned>(vecModulus.size())};
    const bool bPerm = !context.bVerify;
    SECItem nickname = {siBuffer, reinterpret_cast<unsigned char*>(const_cast<char*>(context.strContainer.c_str())),
                        static_cast<unsigned>(context.strContainer.size())};
    SECKEYPrivateKey* pKey = nullptr;
    const SECStatus rv = PK11_ImportDERPrivateKeyInfoAndReturnKey(pSlot.get(), &der, bPerm ? &nickname : nullptr,
                                                                  &modulus, bPerm ? PR_TRUE : PR_FALSE, PR_TRUE,
                                                                  UsageOf(dwKeySpec), &pKey, nullptr);
    Wipe(vecDer);
    return rv == SECSuccess ? NssPtr<SECKEYPrivateKey>(pKey) : nullptr;
}

bool ReadAttribute(SECKEYPrivateKey* pKey, CK_ATTRIBUTE_TYPE type, Bytes& vec)
{
    SECItem item = {siBuffer, nullptr, 0};
    if (PK11_ReadRawAttribute(PK11_TypePrivKey, pKey, type, &item) != SECSuccess) return false;
    size_t nSkip = 0;
    while (nSkip < item.len && item.data[nSkip] == 0) ++nSkip;
    vec.assign(item.data + nSkip, item.data + item.len);
    if (item.data != nullptr) SecureZeroMemory(item.data, item.len);
    SECITEM_FreeItem(&item, PR_FALSE);
    return true;
}

bool ReadComponents(SECKEYPrivateKey* pKey, RsaComponents& c)
{
    return ReadAttribute(pKey, CKA_MODULUS, c.n) && ReadAttribute(pKey, CKA_PUBLIC_EXPONENT, c.e) &&
           ReadAttribute(pKey, CKA_PRIVATE_EXPONENT, c.d) && ReadAttribute(pKey, CKA_PRIME_1, c.p) &&
           ReadAttribute(pKey, CKA_PRIME_2, c.q) && ReadAttribute(pKey, CKA_EXPONENT_1, c.dP) &&
           ReadAttribute(pKey, CKA_EXPONENT_2, c.dQ) && ReadAttribute(pKey, CKA_COEFFICIENT, c.qInv);
}

// A new key of a container replaces the one of its spec, and carries the provider's name.
void SettleContainerKey(ProviderContext& context, const RsaKey& key, DWORD dwKeySpec)
{
    LabelPublicKey(key.pPrivate.get(), key.pPublic.get(), context.pProvider->pwszName);
    NssPtr<SECItem> pId(PK11_GetLowLevelKeyIDForPrivateKey(key.pPrivate.get()));
    (void)DeleteContainerKeys(context.strContainer, dwKeySpec, pId.get());
    ForgetEmptyContainer(context.strContainer);
}

// Holds the key in the context when the database cannot serve it to later calls as it is.
void Settle(ProviderContext& context, const std::shared_ptr<RsaKey>& pKey, DWORD dwKeySpec)
{
    const bool bHeld = context.bVerify || pKey->bIdentity || pKey->pComponents != nullptr;
    if (!context.bVerify && !pKey->bIdentity) SettleContainerKey(context, *pKey, dwKeySpec);
    context.rgHeld[dwKeySpec - 1] = bHeld ? pKey : nullptr;
}

DWORD GenerateRsa(ProviderContext& context, DWORD dwKeySpec, DWORD dwBits, bool bExportable,
                  std::shared_ptr<RsaKey>& pOut)
{
    NssPtr<PK11SlotInfo> pSlot(NssDatabaseSlot());
    if (!pSlot) return static_cast<DWORD>(NTE_FAIL);
    PK11RSAGenParams params = {static_cast<int>(dwBits), 65537};
    const CK_FLAGS opFlags = dwKeySpec == AT_KEYEXCHANGE ? kAllOps : (CKF_SIGN | CKF_VERIFY);
    SECKEYPublicKey* pPublicRaw = nullptr;
    std::shared_ptr<RsaKey> pKey;
    if (bExportable) {
        // The token keeps its private keys unreadable: an exportable key is made readable in the session,
        // and the container gets a copy of it.
        NssPtr<SECKEYPrivateKey> pSession(PK11_GenerateKeyPairWithOpFlags(
            pSlot.get(), CKM_RSA_PKCS_KEY_PAIR_GEN, &params, &pPublicRaw,
            PK11_ATTR_SESSION | PK11_ATTR_INSENSITIVE | PK11_ATTR_EXTRACTABLE | PK11_ATTR_PUBLIC, opFlags, kAllOps,
            nullptr));
        NssPtr<SECKEYPublicKey> pPublic(pPublicRaw);
        if (!pSession) return static_cast<DWORD>(NTE_FAIL);
        auto pComponents = std::make_unique<RsaComponents>();
        if (!ReadComponents(pSession.get(), *pComponents)) return static_cast<DWORD>(NTE_FAIL);
        NssPtr<SECKEYPrivateKey> pUsed =
            context.bVerify ? std::move(pSession) : ImportComponents(*pComponents, context, dwKeySpec);
        pKey = WrapPrivateKey(std::move(pUsed), AlgorithmOfSpec(dwKeySpec));
        if (!pKey) return static_cast<DWORD>(NTE_FAIL);
        pKey->pComponents = std::move(pComponents);
    } else {
        const PK11AttrFlags attrs = (context.bVerify ? PK11_ATTR_SESSION : PK11_ATTR_TOKEN) | PK11_ATTR_SENSITIVE |
                                    PK11_ATTR_PRIVATE | PK11_ATTR_UNEXTRACTABLE;
        NssPtr<SECKEYPrivateKey> pPrivate(PK11_GenerateKeyPairWithOpFlags(
            pSlot.get(), CKM_RSA_PKCS_KEY_PAIR_GEN, &params, &pPublicRaw, attrs, opFlags, kAllOps, nullptr));
        NssPtr<SECKEYPublicKey> pPublic(pPublicRaw);
        if (!pPrivate) return static_cast<DWORD>(NTE_FAIL);
        if (!context.bVerify && PK11_SetPrivateKeyNickname(pPrivate.get(), context.strContainer.c_str()) != SECSuccess) {
            (void)PK11_DeleteTokenPrivateKey(pPrivate.release(), PR_TRUE);
            if (pPublic) (void)PK11_DeleteTokenPublicKey(pPublic.release());
            return static_cast<DWORD>(NTE_FAIL);
        }
        pKey = WrapPrivateKey(std::move(pPrivate), AlgorithmOfSpec(dwKeySpec));
        if (!pKey) return static_cast<DWORD>(NTE_FAIL);
    }
    Settle(context, pKey, dwKeySpec);
    pOut = std::move(pKey);
    return 0;
}

// The block ciphers the providers offer.
struct Cipher {
    ALG_ID algId;
    size_t cbKey;
    size_t cbBlock;
    CK_MECHANISM_TYPE ecb;
    CK_MECHANISM_TYPE cbc;
};
const Cipher kCiphers[] = {{CALG_3DES, 24, 8, CKM_DES3_ECB, CKM_DES3_CBC},
                           {CALG_AES_128, 16, 16, CKM_AES_ECB, CKM_AES_CBC},
                           {CALG_AES_192, 24, 16, CKM_AES_ECB, CKM_AES_CBC},
                           {CALG_AES_256, 32, 16, CKM_AES_ECB, CKM_AES_CBC}};

const Cipher* FindCipher(ALG_ID algId)
{
    for (const Cipher& c : kCiphers)
        if (c.algId == algId) return &c;
    return nullptr;
}

// One pass of the cipher over whole blocks, in the key's mode, carrying the chaining value.
bool CipherBlocks(SymmetricKey& key, bool bEncrypt, const BYTE* pbIn, size_t cb, BYTE* pbOut)
{
    const Cipher* pCipher = FindCipher(key.algId);
    if (pCipher == nullptr) return false;
    if (cb == 0) return true;
    NssPtr<PK11SlotInfo> pSlot(PK11_GetInternalSlot());
    if (!pSlot) return false;
    const bool bEcb = key.dwMode == CRYPT_MODE_ECB;
    const CK_MECHANISM_TYPE mech = bEcb ? pCipher->ecb : pCipher->cbc;
    SECItem secret = {siBuffer, key.vecSecret.data(), static_cast<unsigned>(key.vecSecret.size())};
    NssPtr<PK11SymKey> pSym(
        PK11_ImportSymKey(pSlot.get(), mech, PK11_OriginUnwrap, bEncrypt ? CKA_ENCRYPT : CKA_DECRYPT, &secret, nullptr));
    if (!pSym) return false;
    SECItem iv = {siBuffer, key.vecChain.data(), static_cast<unsigned>(key.vecChain.size())};
    unsigned cbOut = 0;
    Bytes vecLastIn(pbIn + cb - pCipher->cbBlock, pbIn + cb);
    const SECStatus rv =
        bEncrypt ? PK11_Encrypt(pSym.get(), mech, bEcb ? nullptr : &iv, pbOut, &cbOut, static_cast<unsigned>(cb),
                                pbIn, static_cast<unsigned>(cb))
                 : PK11_Decrypt(pSym.get(), mech, bEcb ? nullptr : &iv, pbOut, &cbOut, static_cast<unsigned>(cb),
                                pbIn, static_cast<unsigned>(cb));
    if (rv != SECSuccess || cbOut != cb) return false;
    if (!bEcb) key.vecChain = bEncrypt ? Bytes(pbOut + cb - pCipher->cbBlock, pbOut + cb) : vecLastIn;
    return true;
}

BOOL DecryptSymmetric(SymmetricKey& key, BOOL bFinal, BYTE* pbData, DWORD* pdwDataLen)
{
    const Cipher* pCipher = FindCipher(key.algId);
    const size_t cb = *pdwDataLen;
    if (pCipher == nullptr || cb % pCipher->cbBlock != 0 || (bFinal && cb == 0))
        return Fail(static_cast<DWORD>(NTE_BAD_DATA));
    if (pbData == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Bytes vecPlain(cb);
    if (!CipherBlocks(key, false, pbData, cb, vecPlain.data())) {
        Wipe(vecPlain);
        return Fail(static_cast<DWORD>(NTE_FAIL));
    }
    size_t cbPlain = cb;
    if (bFinal) {
        key.vecChain = key.vecIv;
        // PKCS#5 padding: n bytes of value n, 1 to a block.
        const BYTE bPad = vecPlain[cb - 1];
        bool bPadding = bPad >= 1 && bPad <= pCipher->cbBlock;
        for (size_t i = 0; bPadding && i < bPad; ++i) bPadding = vecPlain[cb - 1 - i] == bPad;
        if (!bPadding) {
            Wipe(vecPlain);
            return Fail(static_cast<DWORD>(NTE_BAD_DATA));
        }
        cbPlain -= bPad;
    }
    std::copy(vecPlain.begin(), vecPlain.begin() + static_cast<std::ptrdiff_t>(cbPlain), pbData);
    Wipe(vecPlain);
    *pdwDataLen = static_cast<DWORD>(cbPlain);
    return TRUE;
}

BOOL EncryptSymmetric(SymmetricKey& key, BOOL bFinal, BYTE* pbData, DWORD* pdwDataLen, DWORD dwBufLen)
{
    const Cipher* pCipher = FindCipher(key.algId);
    if (pCipher == nullptr) return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    const size_t cb = *pdwDataLen;
    if (!bFinal && cb % pCipher->cbBlock != 0) return Fail(static_cast<DWORD>(NTE_BAD_DATA));
    const size_t cbOut = bFinal ? (cb / pCipher->cbBlock + 1) * pCipher->cbBlock : cb;
    if (cbOut > MAXDWORD) return Fail(static_cast<DWORD>(NTE_BAD_LEN));
    if (pbData == nullptr) {
        *pdwDataLen = static_cast<DWORD>(cbOut);
        return TRUE;
    }
    if (dwBufLen < cbOut) {
        *pdwDataLen = static_cast<DWORD>(cbOut);
        return Fail(static_cast<DWORD>(ERROR_MORE_DATA));
    }
    Bytes vecIn(pbData, pbData + cb);
    vecIn.resize(cbOut, static_cast<BYTE>(cbOut - cb));
    const bool bDone = CipherBlocks(key, true, vecIn.data(), cbOut, pbData);
    Wipe(vecIn);
    if (!bDone) return Fail(static_cast<DWORD>(NTE_FAIL));
    if (bFinal) key.vecChain = key.vecIv;
    *pdwDataLen = static_cast<DWORD>(cbOut);
    return TRUE;
}

std::shared_ptr<KeyObject> NewKeyObject(const std::shared_ptr<ProviderContext>& pContext)
{
    auto p = std::make_shared<KeyObject>();
    p->pContext = pContext;
    return p;
}

// PRIVATEKEYBLOB fields after the header; the header's algorithm decides the key spec.
bool ParsePrivateBlob(BlobReader& reader, DWORD& dwBits, RsaComponents& c)
{
    DWORD dwMagic = 0, dwExponent = 0;
    if (!reader.Dword(dwMagic) || dwMagic != kMagicRsa2 || !reader.Dword(dwBits) || !reader.Dword(dwExponent))
        return false;
    if (dwBits < 16 || dwBits > kMaxRsaBits) return false;
    const BlobSizes sizes(dwBits);
    c.e = ExponentBytes(dwExponent);
    return !c.e.empty() && reader.Integer(sizes.cbFull, c.n) && reader.Integer(sizes.cbHalf, c.p) &&
           reader.Integer(sizes.cbHalf, c.q) && reader.Integer(sizes.cbHalf, c.dP) &&
           reader.Integer(sizes.cbHalf, c.dQ) && reader.Integer(sizes.cbHalf, c.qInv) &&
           reader.Integer(sizes.cbFull, c.d) && !c.n.empty();
}

BOOL ImportPrivateBlob(const std::shared_ptr<ProviderContext>& pContext, BlobReader& reader, ALG_ID algId,
                       DWORD dwFlags, HCRYPTKEY* phKey)
{
    if (algId != CALG_RSA_KEYX && algId != CALG_RSA_SIGN) return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    const DWORD dwKeySpec = algId == CALG_RSA_KEYX ? AT_KEYEXCHANGE : AT_SIGNATURE;
    auto pComponents = std::make_unique<RsaComponents>();
    DWORD dwBits = 0;
    if (!ParsePrivateBlob(reader, dwBits, *pComponents)) return Fail(static_cast<DWORD>(NTE_BAD_DATA));
    std::shared_ptr<RsaKey> pKey;
    if (IsOne(pComponents->e) && IsOne(pComponents->d)) {
        pKey = std::make_shared<RsaKey>();
        pKey->algId = algId;
        pKey->dwBits = dwBits;
        pKey->vecModulus = pComponents->n;
        pKey->vecExponent = pComponents->e;
        pKey->bIdentity = true;
        pKey->bHasPrivate = true;
    } else {
        NssPtr<SECKEYPrivateKey> pPrivate = ImportComponents(*pComponents, *pContext, dwKeySpec);
        // The token checks the integers against each other; a key that fails is bad data to the platform.
        if (!pPrivate) return Fail(static_cast<DWORD>(NTE_BAD_DATA));
        pKey = WrapPrivateKey(std::move(pPrivate), algId);
        if (!pKey) return Fail(static_cast<DWORD>(NTE_FAIL));
    }
    if ((dwFlags & CRYPT_EXPORTABLE) != 0) pKey->pComponents = std::move(pComponents);
    Settle(*pContext, pKey, dwKeySpec);
    auto pObject = NewKeyObject(pContext);
    pObject->pRsa = std::move(pKey);
    *phKey = AddKey(std::move(pObject));
    return TRUE;
}

BOOL ImportPublicBlob(const std::shared_ptr<ProviderContext>& pContext, BlobReader& reader, ALG_ID algId,
                      HCRYPTKEY* phKey)
{
    if (algId != CALG_RSA_KEYX && algId != CALG_RSA_SIGN) return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    DWORD dwMagic = 0, dwBits = 0, dwExponent = 0;
    auto pKey = std::make_shared<RsaKey>();
    if (!reader.Dword(dwMagic) || dwMagic != kMagicRsa1 || !reader.Dword(dwBits) || !reader.Dword(dwExponent) ||
        dwBits < 16 || dwBits > kMaxRsaBits ||
        !reader.Integer(BlobSizes(dwBits).cbFull, pKey->vecModulus) || pKey->vecModulus.empty())
        return Fail(static_cast<DWORD>(NTE_BAD_DATA));
    // The platform takes an exponent of zero here; the key then verifies and encrypts nothing.
    pKey->vecExponent = dwExponent == 0 ? Bytes{0} : ExponentBytes(dwExponent);
    pKey->algId = algId;
    pKey->dwBits = dwBits;
    pKey->pPublic = PublicKeyOf(pKey->vecModulus, pKey->vecExponent);
    if (!pKey->pPublic) return Fail(static_cast<DWORD>(NTE_NO_MEMORY));
    auto pObject = NewKeyObject(pContext);
    pObject->pRsa = std::move(pKey);
    *phKey = AddKey(std::move(pObject));
    return TRUE;
}

BOOL ImportSimpleBlob(const std::shared_ptr<ProviderContext>& pContext, BlobReader& reader, ALG_ID algId,
                      HCRYPTKEY hPubKey, HCRYPTKEY* phKey)
{
    const Cipher* pCipher = FindCipher(algId);
    if (pCipher == nullptr || !ProviderOffers(*pContext->pProvider, algId))
        return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    std::shared_ptr<KeyObject> pWrapping = FindKey(hPubKey);
    if (!pWrapping || !pWrapping->pRsa || !pWrapping->pRsa->bHasPrivate)
        return Fail(static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
    const RsaKey& wrapping = *pWrapping->pRsa;
    // The wrapping key's algorithm named in the blob is not compared with the key's, as on the platform.
    DWORD dwWrappingAlg = 0;
    const BYTE* pbBlock = nullptr;
    if (!reader.Dword(dwWrappingAlg)) return Fail(static_cast<DWORD>(NTE_BAD_DATA));
    if (!reader.Take(wrapping.vecModulus.size(), pbBlock)) return Fail(static_cast<DWORD>(NTE_BAD_DATA));
    Bytes vecBlock;
    DWORD dwError = 0;
    if (!RsaPrivateRaw(wrapping, Reversed(pbBlock, wrapping.vecModulus.size()), vecBlock, dwError))
        return Fail(dwError);
    auto pSymmetric = std::make_unique<SymmetricKey>();
    const bool bPadding = UnpadBlock(2, vecBlock, pSymmetric->vecSecret);
    Wipe(vecBlock);
    if (!bPadding) return Fail(static_cast<DWORD>(NTE_BAD_DATA));
    // A key of another length than the algorithm's is refused as a wrong length is at generation.
    if (pSymmetric->vecSecret.size() != pCipher->cbKey) return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    pSymmetric->algId = algId;
    pSymmetric->vecIv.assign(pCipher->cbBlock, 0);
    pSymmetric->vecChain = pSymmetric->vecIv;
    auto pObject = NewKeyObject(pContext);
    pObject->pSymmetric = std::move(pSymmetric);
    *phKey = AddKey(std::move(pObject));
    return TRUE;
}

BOOL ExportPublicBlob(const RsaKey& key, BYTE* pbData, DWORD* pdwDataLen)
{
    if (key.vecExponent.size() > 4) return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    DWORD dwExponent = 0;
    for (BYTE b : key.vecExponent) dwExponent = dwExponent << 8 | b;
    Bytes vec;
    Header(vec, PUBLICKEYBLOB, key.algId);
    PutDword(vec, kMagicRsa1);
    PutDword(vec, key.dwBits);
    PutDword(vec, dwExponent);
    if (!PutInteger(vec, key.vecModulus, BlobSizes(key.dwBits).cbFull)) return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    return CopyOut(vec.data(), static_cast<DWORD>(vec.size()), pbData, pdwDataLen);
}

BOOL ExportPrivateBlob(const RsaKey& key, BYTE* pbData, DWORD* pdwDataLen)
{
    if (!key.pComponents) return Fail(static_cast<DWORD>(NTE_BAD_KEY_STATE));
    const RsaComponents& c = *key.pComponents;
    if (c.e.size() > 4) return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    DWORD dwExponent = 0;
    for (BYTE b : c.e) dwExponent = dwExponent << 8 | b;
    const BlobSizes sizes(key.dwBits);
    Bytes vec;
    Header(vec, PRIVATEKEYBLOB, key.algId);
    PutDword(vec, kMagicRsa2);
    PutDword(vec, key.dwBits);
    PutDword(vec, dwExponent);
    const bool bFits = PutInteger(vec, c.n, sizes.cbFull) && PutInteger(vec, c.p, sizes.cbHalf) &&
                       PutInteger(vec, c.q, sizes.cbHalf) && PutInteger(vec, c.dP, sizes.cbHalf) &&
                       PutInteger(vec, c.dQ, sizes.cbHalf) && PutInteger(vec, c.qInv, sizes.cbHalf) &&
                       PutInteger(vec, c.d, sizes.cbFull);
    const BOOL bResult =
        bFits ? CopyOut(vec.data(), static_cast<DWORD>(vec.size()), pbData, pdwDataLen) : Fail(static_cast<DWORD>(NTE_BAD_KEY));
    Wipe(vec);
    return bResult;
}

bool BelowModulus(const Bytes& vecIn, const Bytes& vecModulus)
{
    return vecIn.size() == vecModulus.size() &&
           std::lexicographical_compare(vecIn.begin(), vecIn.end(), vecModulus.begin(), vecModulus.end());
}

}  // namespace

Bytes ExponentBytes(DWORD dwExponent)
{
    Bytes vec;
    for (int i = 3; i >= 0; --i)
        if ((dwExponent >> (8 * i)) != 0 || !vec.empty()) vec.push_back(static_cast<BYTE>(dwExponent >> (8 * i)));
    return vec;
}

Bytes Reversed(const BYTE* pb, size_t cb)
{
    Bytes vec(cb);
    for (size_t i = 0; i < cb; ++i) vec[i] = pb[cb - 1 - i];
    return vec;
}

bool RsaPrivateRaw(const RsaKey& key, const Bytes& vecIn, Bytes& vecOut, DWORD& dwError)
{
    // A public key alone decrypts nothing: bad data, as the platform answers.
    dwError = static_cast<DWORD>(NTE_BAD_DATA);
    if (!key.bHasPrivate) return false;
    if (!BelowModulus(vecIn, key.vecModulus)) return false;
    if (key.bIdentity) {
        vecOut = vecIn;
        return true;
    }
    vecOut.assign(vecIn.size(), 0);
    unsigned cbOut = 0;
    if (PK11_PrivDecryptRaw(key.pPrivate.get(), vecOut.data(), &cbOut, static_cast<unsigned>(vecOut.size()),
                            vecIn.data(), static_cast<unsigned>(vecIn.size())) != SECSuccess) {
        // A signature key may not decrypt.
        dwError = static_cast<DWORD>(NTE_BAD_KEY);
        return false;
    }
    // NSS gives the number without its leading zeros; the block is as long as the modulus.
    if (cbOut < vecOut.size()) {
        std::copy_backward(vecOut.begin(), vecOut.begin() + cbOut, vecOut.end());
        std::fill(vecOut.begin(), vecOut.end() - cbOut, BYTE{0});
    }
    return true;
}

bool RsaPublicRaw(const RsaKey& key, const Bytes& vecIn, Bytes& vecOut, DWORD& dwError)
{
    dwError = static_cast<DWORD>(NTE_BAD_DATA);
    if (!BelowModulus(vecIn, key.vecModulus)) return false;
    if (key.bIdentity) {
        vecOut = vecIn;
        return true;
    }
    vecOut.assign(vecIn.size(), 0);
    if (!key.pPublic || PK11_PubEncryptRaw(key.pPublic.get(), vecOut.data(), vecIn.data(),
                                           static_cast<unsigned>(vecIn.size()), nullptr) != SECSuccess) {
        dwError = static_cast<DWORD>(NTE_FAIL);
        return false;
    }
    return true;
}

bool PadBlock(BYTE bType, const Bytes& vecMessage, size_t cbBlock, Bytes& vecBlock)
{
    if (cbBlock < 11 || vecMessage.size() > cbBlock - 11) return false;
    vecBlock.assign(cbBlock, 0xFF);
    vecBlock[0] = 0;
    vecBlock[1] = bType;
    const size_t cbPad = cbBlock - 3 - vecMessage.size();
    if (bType == 2) {
        if (PK11_GenerateRandom(&vecBlock[2], static_cast<int>(cbPad)) != SECSuccess) return false;
        for (size_t i = 2; i < 2 + cbPad; ++i)
            if (vecBlock[i] == 0) vecBlock[i] = 1;
    }
    vecBlock[2 + cbPad] = 0;
    std::copy(vecMessage.begin(), vecMessage.end(), vecBlock.begin() + static_cast<std::ptrdiff_t>(3 + cbPad));
    return true;
}

bool UnpadBlock(BYTE bType, const Bytes& vecBlock, Bytes& vecMessage)
{
    if (vecBlock.size() < 11 || vecBlock[0] != 0 || vecBlock[1] != bType) return false;
    size_t i = 2;
    for (; i < vecBlock.size() && vecBlock[i] != 0; ++i)
        if (bType == 1 && vecBlock[i] != 0xFF) return false;
    // Eight bytes of padding at least, and the zero that ends them.
    if (i >= vecBlock.size() || i < 10) return false;
    vecMessage.assign(vecBlock.begin() + static_cast<std::ptrdiff_t>(i + 1), vecBlock.end());
    return true;
}

}  // namespace cryptoapi

using namespace cryptoapi;

BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey)
{
    std::shared_ptr<ProviderContext> pContext = FindContext(hProv);
    if (!pContext || phKey == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    *phKey = 0;
    const DWORD dwBits = dwFlags >> 16;
    DWORD dwKeySpec = 0;
    if (Algid == AT_KEYEXCHANGE || Algid == CALG_RSA_KEYX) dwKeySpec = AT_KEYEXCHANGE;
    if (Algid == AT_SIGNATURE || Algid == CALG_RSA_SIGN) dwKeySpec = AT_SIGNATURE;
    if (dwKeySpec != 0) {
        const DWORD dwUsed = dwBits == 0 ? pContext->pProvider->dwDefaultRsaBits : dwBits;
        // NSS makes RSA keys in steps of 16 bits, where the platform's providers take steps of 8.
        if (dwUsed < kMinRsaBits || dwUsed > kMaxRsaBits || dwUsed % 16 != 0)
            return Fail(static_cast<DWORD>(NTE_BAD_DATA));
        std::shared_ptr<RsaKey> pKey;
        const DWORD dwError = GenerateRsa(*pContext, dwKeySpec, dwUsed, (dwFlags & CRYPT_EXPORTABLE) != 0, pKey);
        if (dwError != 0) return Fail(dwError);
        auto pObject = NewKeyObject(pContext);
        pObject->pRsa = std::move(pKey);
        *phKey = AddKey(std::move(pObject));
        return TRUE;
    }
    const Cipher* pCipher = FindCipher(Algid);
    if (pCipher == nullptr || !ProviderOffers(*pContext->pProvider, Algid)) return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    if (dwBits != 0 && dwBits != pCipher->cbKey * 8) return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    auto pSymmetric = std::make_unique<SymmetricKey>();
    pSymmetric->algId = Algid;
    pSymmetric->vecSecret.assign(pCipher->cbKey, 0);
    if (PK11_GenerateRandom(pSymmetric->vecSecret.data(), static_cast<int>(pCipher->cbKey)) != SECSuccess)
        return Fail(static_cast<DWORD>(NTE_FAIL));
    pSymmetric->vecIv.assign(pCipher->cbBlock, 0);
    pSymmetric->vecChain = pSymmetric->vecIv;
    auto pObject = NewKeyObject(pContext);
    pObject->pSymmetric = std::move(pSymmetric);
    *phKey = AddKey(std::move(pObject));
    return TRUE;
}

BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey)
{
    std::shared_ptr<ProviderContext> pContext = FindContext(hProv);
    if (!pContext || phUserKey == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    *phUserKey = 0;
    std::shared_ptr<RsaKey> pKey = UserKey(*pContext, dwKeySpec);
    if (!pKey) return Fail(static_cast<DWORD>(NTE_NO_KEY));
    auto pObject = NewKeyObject(pContext);
    pObject->pRsa = std::move(pKey);
    *phUserKey = AddKey(std::move(pObject));
    return TRUE;
}

BOOL CryptDestroyKey(HCRYPTKEY hKey)
{
    if (!RemoveKey(hKey)) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return TRUE;
}

BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                    HCRYPTKEY* phKey)
{
    std::shared_ptr<ProviderContext> pContext = FindContext(hProv);
    if (!pContext || pbData == nullptr || phKey == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    *phKey = 0;
    BlobReader reader(pbData, dwDataLen);
    const BYTE* pbHeader = nullptr;
    DWORD dwAlgId = 0;
    if (!reader.Take(4, pbHeader) || !reader.Dword(dwAlgId)) return Fail(static_cast<DWORD>(NTE_BAD_DATA));
    if (pbHeader[1] != CUR_BLOB_VERSION) return Fail(static_cast<DWORD>(NTE_BAD_DATA));
    switch (pbHeader[0]) {
    case PUBLICKEYBLOB:
        return ImportPublicBlob(pContext, reader, dwAlgId, phKey);
    case PRIVATEKEYBLOB:
        return ImportPrivateBlob(pContext, reader, dwAlgId, dwFlags, phKey);
    case SIMPLEBLOB:
        return ImportSimpleBlob(pContext, reader, dwAlgId, hPubKey, phKey);
    default:
        return Fail(static_cast<DWORD>(NTE_BAD_TYPE));
    }
}

BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLen)
{
    std::shared_ptr<KeyObject> pKey = FindKey(hKey);
    if (!pKey || pdwDataLen == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (dwFlags != 0) return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    // A SIMPLEBLOB needs a key to wrap it with; none is offered.
    if (dwBlobType == SIMPLEBLOB) return Fail(static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
    if (dwBlobType != PUBLICKEYBLOB && dwBlobType != PRIVATEKEYBLOB) return Fail(static_cast<DWORD>(NTE_BAD_TYPE));
    // Neither blob is wrapped here: a key given to wrap it with is refused.
    if (hExpKey != 0 || !pKey->pRsa) return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    return dwBlobType == PUBLICKEYBLOB ? ExportPublicBlob(*pKey->pRsa, pbData, pdwDataLen)
                                       : ExportPrivateBlob(*pKey->pRsa, pbData, pdwDataLen);
}

BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD /*dwFlags*/)
{
    std::shared_ptr<KeyObject> pKey = FindKey(hKey);
    if (!pKey || pdwDataLen == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const Cipher* pCipher = pKey->pSymmetric ? FindCipher(pKey->pSymmetric->algId) : nullptr;
    DWORD dwValue = 0;
    switch (dwParam) {
    case KP_ALGID:
        dwValue = pKey->pRsa ? pKey->pRsa->algId : pKey->pSymmetric->algId;
        break;
    case KP_KEYLEN:
        dwValue = pKey->pRsa ? pKey->pRsa->dwBits : static_cast<DWORD>(pKey->pSymmetric->vecSecret.size() * 8);
        break;
    case KP_BLOCKLEN:
        dwValue = pKey->pRsa ? pKey->pRsa->dwBits : static_cast<DWORD>(pCipher->cbBlock * 8);
        break;
    case KP_MODE:
        if (!pKey->pSymmetric) return Fail(static_cast<DWORD>(NTE_BAD_TYPE));
        dwValue = pKey->pSymmetric->dwMode;
        break;
    case KP_IV:
        if (!pKey->pSymmetric) return Fail(static_cast<DWORD>(NTE_BAD_TYPE));
        return CopyOut(pKey->pSymmetric->vecIv.data(), static_cast<DWORD>(pKey->pSymmetric->vecIv.size()), pbData,
                       pdwDataLen);
    default:
        // KP_CERTIFICATE among them: the software providers keep no certificate with a key.
        return Fail(static_cast<DWORD>(NTE_BAD_TYPE));
    }
    return CopyOut(&dwValue, sizeof(dwValue), pbData, pdwDataLen);
}

BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD /*dwFlags*/)
{
    std::shared_ptr<KeyObject> pKey = FindKey(hKey);
    if (!pKey || pbData == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (!pKey->pSymmetric || (dwParam != KP_MODE && dwParam != KP_IV)) return Fail(static_cast<DWORD>(NTE_BAD_TYPE));
    SymmetricKey& key = *pKey->pSymmetric;
    if (dwParam == KP_MODE) {
        DWORD dwMode = 0;
        memcpy(&dwMode, pbData, sizeof(dwMode));
        if (dwMode != CRYPT_MODE_ECB && dwMode != CRYPT_MODE_CBC) return Fail(static_cast<DWORD>(NTE_BAD_DATA));
        key.dwMode = dwMode;
        return TRUE;
    }
    // The value is one block long, as the cipher's block is.
    key.vecIv.assign(pbData, pbData + key.vecIv.size());
    key.vecChain = key.vecIv;
    return TRUE;
}

BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
                  DWORD dwBufLen)
{
    std::shared_ptr<KeyObject> pKey = FindKey(hKey);
    if (!pKey || pdwDataLen == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (hHash != 0) return Fail(static_cast<DWORD>(NTE_BAD_HASH));
    if (dwFlags != 0) return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    if (pKey->pSymmetric) return EncryptSymmetric(*pKey->pSymmetric, Final, pbData, pdwDataLen, dwBufLen);
    const RsaKey& key = *pKey->pRsa;
    const size_t cbBlock = key.vecModulus.size();
    if (pbData == nullptr) {
        *pdwDataLen = static_cast<DWORD>(cbBlock);
        return TRUE;
    }
    if (*pdwDataLen + 11ull > cbBlock) return Fail(static_cast<DWORD>(NTE_BAD_LEN));
    // The platform leaves the length as it was here.
    if (dwBufLen < cbBlock) return Fail(static_cast<DWORD>(ERROR_MORE_DATA));
    Bytes vecMessage(pbData, pbData + *pdwDataLen), vecBlock, vecCipher;
    DWORD dwError = static_cast<DWORD>(NTE_FAIL);
    const bool bDone =
        PadBlock(2, vecMessage, cbBlock, vecBlock) && RsaPublicRaw(key, vecBlock, vecCipher, dwError);
    Wipe(vecMessage);
    Wipe(vecBlock);
    if (!bDone) return Fail(dwError);
    // CryptoAPI hands RSA ciphertext out little-endian.
    std::copy(vecCipher.rbegin(), vecCipher.rend(), pbData);
    *pdwDataLen = static_cast<DWORD>(cbBlock);
    return TRUE;
}

BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen)
{
    std::shared_ptr<KeyObject> pKey = FindKey(hKey);
    if (!pKey || pdwDataLen == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (hHash != 0) return Fail(static_cast<DWORD>(NTE_BAD_HASH));
    if (dwFlags != 0) return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    if (pKey->pSymmetric) return DecryptSymmetric(*pKey->pSymmetric, Final, pbData, pdwDataLen);
    const RsaKey& key = *pKey->pRsa;
    if (*pdwDataLen != key.vecModulus.size() || pbData == nullptr) return Fail(static_cast<DWORD>(NTE_BAD_DATA));
    // A signature key may not decrypt, whatever the block holds: asked before the block is measured against
    // its modulus, which another key's block exceeds half the time.
    if (key.pPrivate && !key.bIdentity && KeySpecOf(key.pPrivate.get()) != AT_KEYEXCHANGE)
        return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    Bytes vecBlock, vecMessage;
    DWORD dwError = 0;
    if (!RsaPrivateRaw(key, Reversed(pbData, *pdwDataLen), vecBlock, dwError)) return Fail(dwError);
    const bool bPadding = UnpadBlock(2, vecBlock, vecMessage);
    Wipe(vecBlock);
    if (!bPadding) return Fail(static_cast<DWORD>(NTE_BAD_DATA));
    std::copy(vecMessage.begin(), vecMessage.end(), pbData);
    *pdwDataLen = static_cast<DWORD>(vecMessage.size());
    Wipe(vecMessage);
    return TRUE;
}
