// providers/TokenCore/CspEntry.cpp — the CSP entry points the CryptoAPI dispatcher calls, for the
// token named by ThisToken(). Handles live only while the DLL is loaded (one or more contexts); the
// containers, keys and certificates live in the token's store, looked up afresh on every use.
#include "KeyBlobs.h"
#include "TokenCrypto.h"
#include "TokenStore.h"

#include <map>
#include <mutex>

#include <openssl/evp.h>

namespace {

// Layout of the dispatcher's VTableProvStruc (only read, never needed beyond its presence).
struct ProvVTable {
    DWORD Version;
    FARPROC FuncVerifyImage;
    FARPROC FuncReturnhWnd;
    DWORD dwProvType;
    BYTE* pbContextInfo;
    DWORD cbContextInfo;
    LPSTR pszProvName;
};

struct ProvContext {
    bool bHasContainer = false;
    std::string container;
    std::vector<std::string> enumNames;
    size_t enumPos = 0;
    bool bEnumStarted = false;
    size_t algPos = 0;
};

struct KeyObject {
    HCRYPTPROV hProv = 0;
    std::string container;
    int slot = 0;
    ALG_ID algid = 0;
    ByteBuffer key;
    PKey pkey;
};

struct HashObject {
    HCRYPTPROV hProv = 0;
    ALG_ID algid = 0;
    const EVP_MD* md = nullptr;
    MdCtx ctx;
    ByteBuffer data;   // SM2 signs ZA then the data itself, so the token keeps what it was given
    ByteBuffer value;
    bool bFinished = false;
    bool bValueSet = false;
};

struct Tables {
    std::mutex lock;
    ULONG_PTR next = 0x1000;
    std::map<HCRYPTPROV, ProvContext> contexts;
    std::map<HCRYPTKEY, KeyObject> keys;
    std::map<HCRYPTHASH, HashObject> hashes;
    ULONG_PTR NewHandle() { return next += 4; }
};

Tables& G()
{
    static Tables tables;
    return tables;
}

const TokenProfile& Token() { return ThisToken(); }
bool IsSm2() { return Token().kind == TokenKind::SM2; }

BOOL Finish(CspStatus status) { return status == CSP_OK ? TRUE : CspFail(status); }

// Key slot and stored algorithm for a generation request: the token's own identifiers or a key spec.
bool SlotOfGenAlgid(ALG_ID algid, int& slot, ALG_ID& stored)
{
    const ALG_ID exchange = IsSm2() ? CALG_SM2_KEYX : CALG_RSA_KEYX;
    const ALG_ID signature = IsSm2() ? CALG_SM2_SIGN : CALG_RSA_SIGN;
    if (algid == exchange || algid == AT_KEYEXCHANGE) {
        slot = 0;
        stored = exchange;
        return true;
    }
    if (algid == signature || algid == AT_SIGNATURE) {
        slot = 1;
        stored = signature;
        return true;
    }
    return false;
}

ProvContext* FindContext(HCRYPTPROV hProv)
{
    auto it = G().contexts.find(hProv);
    return it == G().contexts.end() ? nullptr : &it->second;
}

KeyObject* FindKey(HCRYPTPROV hProv, HCRYPTKEY hKey)
{
    auto it = G().keys.find(hKey);
    return (it == G().keys.end() || it->second.hProv != hProv) ? nullptr : &it->second;
}

HashObject* FindHash(HCRYPTPROV hProv, HCRYPTHASH hHash)
{
    auto it = G().hashes.find(hHash);
    return (it == G().hashes.end() || it->second.hProv != hProv) ? nullptr : &it->second;
}

// Reads one key slot of the context's container from the store.
CspStatus ReadSlot(const ProvContext& ctx, int slot, KeySlot& out)
{
    if (!ctx.bHasContainer) return NTE_BAD_KEYSET;
    return ReadStore(Token(), [&](const StoreData& store) -> CspStatus {
        const ContainerData* c = store.Find(ctx.container);
        if (c == nullptr) return NTE_BAD_KEYSET;
        if (!c->slots[slot].Present()) return NTE_NO_KEY;
        out = c->slots[slot];
        return CSP_OK;
    });
}

CspStatus NewKeyObject(HCRYPTPROV hProv, const std::string& container, int slot, const KeySlot& stored,
                       HCRYPTKEY* phKey)
{
    KeyObject key;
    CspStatus status = LoadKey(Token().kind, stored.key, key.pkey);
    if (status != CSP_OK) return status;
    key.hProv = hProv;
    key.container = container;
    key.slot = slot;
    key.algid = stored.algid;
    key.key = stored.key;
    HCRYPTKEY h = G().NewHandle();
    G().keys.emplace(h, std::move(key));
    *phKey = h;
    return CSP_OK;
}

// Puts a key into a slot of the context's container, replacing what was there with its certificate.
CspStatus StoreKey(HCRYPTPROV hProv, const ProvContext& ctx, int slot, ALG_ID algid, const ByteBuffer& keyBytes,
                   HCRYPTKEY* phKey)
{
    KeySlot stored;
    stored.algid = algid;
    stored.key = keyBytes;
    PKey check;
    CspStatus status = LoadKey(Token().kind, keyBytes, check);
    if (status != CSP_OK) return status;
    status = ChangeStore(Token(), [&](StoreData& store) -> CspStatus {
        ContainerData* c = store.Find(ctx.container);
        if (c == nullptr) return NTE_BAD_KEYSET;
        c->slots[slot] = stored;
        return CSP_OK;
    });
    if (status != CSP_OK) return status;
    return NewKeyObject(hProv, ctx.container, slot, stored, phKey);
}

CspStatus FinishHash(HashObject& hash)
{
    if (hash.bFinished) return CSP_OK;
    hash.value.assign(static_cast<size_t>(EVP_MD_get_size(hash.md)), 0);
    unsigned int cb = 0;
    if (EVP_DigestFinal_ex(hash.ctx.get(), hash.value.data(), &cb) != 1) return NTE_FAIL;
    hash.value.resize(cb);
    hash.bFinished = true;
    return CSP_OK;
}

std::string DefaultContainerName()
{
    char szUser[257] = {};
    DWORD cch = sizeof szUser;
    if (GetUserNameA(szUser, &cch) && szUser[0] != '\0') return szUser;
    return "Default";
}

struct AlgInfo {
    ALG_ID algid;
    DWORD dwDefault, dwMin, dwMax;
    const char* pszName;
    const char* pszLongName;
};

const std::vector<AlgInfo>& Algorithms()
{
    static const std::vector<AlgInfo> sm2 = {
        {CALG_SM3_HASH, 256, 256, 256, "SM3", "SM3 hash"},
        {CALG_SM2_SIGN, 256, 256, 256, "SM2_SIGN", "SM2 signature"},
        {CALG_SM2_KEYX, 256, 256, 256, "SM2_KEYX", "SM2 key exchange"},
    };
    static const std::vector<AlgInfo> rsa = {
        {CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"},
        {CALG_MD5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"},
        {CALG_SHA_256, 256, 256, 256, "SHA-256", "Secure Hash Algorithm (SHA-256)"},
        {CALG_SHA_384, 384, 384, 384, "SHA-384", "Secure Hash Algorithm (SHA-384)"},
        {CALG_SHA_512, 512, 512, 512, "SHA-512", "Secure Hash Algorithm (SHA-512)"},
        {CALG_RSA_SIGN, 1024, 512, 4096, "RSA_SIGN", "RSA Signature"},
        {CALG_RSA_KEYX, 1024, 512, 4096, "RSA_KEYX", "RSA Key Exchange"},
    };
    return IsSm2() ? sm2 : rsa;
}

BOOL PutAlgorithm(ProvContext& ctx, DWORD dwParam, BYTE* pbData, DWORD* pcbData, DWORD dwFlags)
{
    if (dwFlags & ~static_cast<DWORD>(CRYPT_FIRST)) return CspFail(NTE_BAD_FLAGS);
    if (dwFlags & CRYPT_FIRST) ctx.algPos = 0;
    if (ctx.algPos >= Algorithms().size()) return CspFail(ERROR_NO_MORE_ITEMS);
    const AlgInfo& alg = Algorithms()[ctx.algPos];
    BOOL ok = FALSE;
    if (dwParam == PP_ENUMALGS) {
        PROV_ENUMALGS rec = {};
        rec.aiAlgid = alg.algid;
        rec.dwBitLen = alg.dwDefault;
        rec.dwNameLen = static_cast<DWORD>(lstrlenA(alg.pszName) + 1);
        lstrcpynA(rec.szName, alg.pszName, sizeof rec.szName);
        ok = CspPut(&rec, sizeof rec, pbData, pcbData);
    } else {
        PROV_ENUMALGS_EX rec = {};
        rec.aiAlgid = alg.algid;
        rec.dwDefaultLen = alg.dwDefault;
        rec.dwMinLen = alg.dwMin;
        rec.dwMaxLen = alg.dwMax;
        rec.dwNameLen = static_cast<DWORD>(lstrlenA(alg.pszName) + 1);
        lstrcpynA(rec.szName, alg.pszName, sizeof rec.szName);
        rec.dwLongNameLen = static_cast<DWORD>(lstrlenA(alg.pszLongName) + 1);
        lstrcpynA(rec.szLongName, alg.pszLongName, sizeof rec.szLongName);
        ok = CspPut(&rec, sizeof rec, pbData, pcbData);
    }
    if (ok && pbData != nullptr) ++ctx.algPos;
    return ok;
}

BOOL PutDword(DWORD dw, BYTE* pbData, DWORD* pcbData) { return CspPut(&dw, sizeof dw, pbData, pcbData); }

BOOL PutString(const std::string& s, BYTE* pbData, DWORD* pcbData)
{
    return CspPut(s.c_str(), static_cast<DWORD>(s.size() + 1), pbData, pcbData);
}

constexpr DWORD KEY_GEN_FLAGS = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_CREATE_SALT | CRYPT_NO_SALT |
                                CRYPT_ARCHIVABLE;
constexpr DWORD KEY_IMPORT_FLAGS = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_NO_SALT;

}  // namespace

#define CSPAPI extern "C" BOOL WINAPI

CSPAPI CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags, ProvVTable* /*pVTable*/)
{
    if (phProv == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(G().lock);
    bool bSm2Delete = dwFlags == SM2_DELETE_KEYSET_FLAGS;
    bool bVerify = false, bNew = false, bDelete = bSm2Delete;
    if (!bSm2Delete) {
        const DWORD kAllowed = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET |
                               CRYPT_SILENT | CRYPT_DEFAULT_CONTAINER_OPTIONAL;
        DWORD dwVerifyBits = dwFlags & CRYPT_VERIFYCONTEXT;
        if ((dwFlags & ~kAllowed) != 0 || (dwVerifyBits != 0 && dwVerifyBits != CRYPT_VERIFYCONTEXT))
            return CspFail(NTE_BAD_FLAGS);
        bVerify = dwVerifyBits != 0;
        bNew = (dwFlags & CRYPT_NEWKEYSET) != 0;
        bDelete = (dwFlags & CRYPT_DELETEKEYSET) != 0;
        if (static_cast<int>(bVerify) + static_cast<int>(bNew) + static_cast<int>(bDelete) > 1)
            return CspFail(NTE_BAD_FLAGS);
    }
    std::string name = szContainer != nullptr ? szContainer : "";
    if (name.size() >= MAX_CONTAINER_NAME) return CspFail(NTE_BAD_KEYSET_PARAM);
    if (name.empty() && !bVerify) name = DefaultContainerName();

    ProvContext ctx;
    CspStatus status = CSP_OK;
    if (bDelete) {
        status = ChangeStore(Token(), [&](StoreData& store) {
            return store.Remove(name) ? CSP_OK : static_cast<CspStatus>(NTE_BAD_KEYSET);
        });
        if (status != CSP_OK) return CspFail(status);
        if (!bSm2Delete) {
            // The dispatcher unloads the DLL at once and sends no release for a deleted key set.
            *phProv = 0;
            return TRUE;
        }
    } else if (bNew) {
        status = ChangeStore(Token(), [&](StoreData& store) -> CspStatus {
            ContainerData c;
            c.name = name;
            return store.Add(std::move(c)) ? CSP_OK : static_cast<CspStatus>(NTE_EXISTS);
        });
        ctx.bHasContainer = true;
    } else if (!name.empty()) {
        // A container named together with CRYPT_VERIFYCONTEXT is opened like any other.
        status = ReadStore(Token(), [&](const StoreData& store) -> CspStatus {
            const ContainerData* c = store.Find(name);
            if (c == nullptr) return NTE_BAD_KEYSET;
            name = c->name;
            return CSP_OK;
        });
        ctx.bHasContainer = true;
    }
    if (status != CSP_OK) return CspFail(status);
    if (ctx.bHasContainer) ctx.container = name;
    HCRYPTPROV h = G().NewHandle();
    G().contexts.emplace(h, std::move(ctx));
    *phProv = h;
    return TRUE;
}

CSPAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags)
{
    std::lock_guard<std::mutex> guard(G().lock);
    if (G().contexts.erase(hProv) == 0) return CspFail(NTE_BAD_UID);
    return dwFlags == 0 ? TRUE : CspFail(NTE_BAD_FLAGS);
}

CSPAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey)
{
    if (phKey == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(G().lock);
    ProvContext* ctx = FindContext(hProv);
    if (ctx == nullptr) return CspFail(NTE_BAD_UID);
    int slot = 0;
    ALG_ID stored = 0;
    if (!SlotOfGenAlgid(Algid, slot, stored)) return CspFail(NTE_BAD_ALGID);
    DWORD dwBits = dwFlags >> 16;
    if ((dwFlags & 0xFFFF & ~KEY_GEN_FLAGS) != 0) return CspFail(NTE_BAD_FLAGS);
    if (IsSm2()) {
        if (dwBits != 0 && dwBits != SM2_KEY_BITS) return CspFail(NTE_BAD_FLAGS);
    } else {
        if (dwBits == 0) dwBits = 1024;
        if (dwBits < 512 || dwBits > 4096 || dwBits % 8 != 0) return CspFail(NTE_BAD_FLAGS);
    }
    if (!ctx->bHasContainer) return CspFail(NTE_BAD_KEYSET);
    ByteBuffer key;
    CspStatus status = GenerateKey(Token().kind, dwBits, key);
    if (status == CSP_OK) status = StoreKey(hProv, *ctx, slot, stored, key, phKey);
    OPENSSL_cleanse(key.data(), key.size());
    return Finish(status);
}

CSPAPI CPDeriveKey(HCRYPTPROV, ALG_ID, HCRYPTHASH, DWORD, HCRYPTKEY*)
{
    return CspFail(NTE_BAD_ALGID);
}

CSPAPI CPDestroyKey(HCRYPTPROV /*hProv*/, HCRYPTKEY hKey)
{
    // The caller may destroy a key after releasing its context.
    std::lock_guard<std::mutex> guard(G().lock);
    return G().keys.erase(hKey) != 0 ? TRUE : CspFail(NTE_BAD_KEY);
}

CSPAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags)
{
    std::lock_guard<std::mutex> guard(G().lock);
    if (FindContext(hProv) == nullptr) return CspFail(NTE_BAD_UID);
    KeyObject* key = FindKey(hProv, hKey);
    if (key == nullptr) return CspFail(NTE_BAD_KEY);
    if (dwFlags != 0) return CspFail(NTE_BAD_FLAGS);
    if (dwParam != KP_CERTIFICATE) return CspFail(NTE_BAD_TYPE);
    // No length comes with the certificate: the DER header says how long it is.
    DWORD cbCert = MeasureDerCertificate(pbData);
    if (cbCert == 0) return CspFail(NTE_BAD_DATA);
    ByteBuffer cert(pbData, pbData + cbCert);
    return Finish(ChangeStore(Token(), [&](StoreData& store) -> CspStatus {
        ContainerData* c = store.Find(key->container);
        if (c == nullptr) return NTE_BAD_KEYSET;
        KeySlot& slot = c->slots[key->slot];
        // The slot may hold a newer key than this handle; its certificate would not match.
        if (slot.key != key->key) return NTE_BAD_KEY;
        slot.cert = cert;
        return CSP_OK;
    }));
}

CSPAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen, DWORD dwFlags)
{
    std::lock_guard<std::mutex> guard(G().lock);
    if (FindContext(hProv) == nullptr) return CspFail(NTE_BAD_UID);
    KeyObject* key = FindKey(hProv, hKey);
    if (key == nullptr) return CspFail(NTE_BAD_KEY);
    if (dwFlags != 0) return CspFail(NTE_BAD_FLAGS);
    switch (dwParam) {
    case KP_ALGID: return PutDword(key->algid, pbData, pcbDataLen);
    case KP_KEYLEN:
    case KP_BLOCKLEN: return PutDword(KeyBits(key->pkey.get()), pbData, pcbDataLen);
    case KP_CERTIFICATE: {
        ByteBuffer cert;
        CspStatus status = ReadStore(Token(), [&](const StoreData& store) -> CspStatus {
            const ContainerData* c = store.Find(key->container);
            if (c == nullptr) return NTE_BAD_KEYSET;
            const KeySlot& slot = c->slots[key->slot];
            if (slot.key != key->key) return NTE_BAD_KEY;
            if (slot.cert.empty()) return SCARD_E_NO_SUCH_CERTIFICATE;
            cert = slot.cert;
            return CSP_OK;
        });
        if (status != CSP_OK) return CspFail(status);
        return CspPut(cert.data(), static_cast<DWORD>(cert.size()), pbData, pcbDataLen);
    }
    default: return CspFail(NTE_BAD_TYPE);
    }
}

CSPAPI CPSetProvParam(HCRYPTPROV hProv, DWORD, const BYTE*, DWORD)
{
    std::lock_guard<std::mutex> guard(G().lock);
    if (FindContext(hProv) == nullptr) return CspFail(NTE_BAD_UID);
    return CspFail(NTE_BAD_TYPE);
}

CSPAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen, DWORD dwFlags)
{
    std::lock_guard<std::mutex> guard(G().lock);
    ProvContext* ctx = FindContext(hProv);
    if (ctx == nullptr) return CspFail(NTE_BAD_UID);
    if (pcbDataLen == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
    if (dwParam == PP_ENUMCONTAINERS) {
        if (dwFlags & ~static_cast<DWORD>(CRYPT_FIRST | CRYPT_NEXT | CRYPT_MACHINE_KEYSET))
            return CspFail(NTE_BAD_FLAGS);
        if ((dwFlags & CRYPT_FIRST) || !ctx->bEnumStarted) {
            std::vector<std::string> names;
            CspStatus status = ReadStore(Token(), [&](const StoreData& store) {
                names = store.Names();
                return CSP_OK;
            });
            if (status != CSP_OK) return CspFail(status);
            ctx->enumNames = std::move(names);
            ctx->enumPos = 0;
            ctx->bEnumStarted = true;
        }
        // A size query reports the longest name a container may have and does not advance.
        if (pbData == nullptr) {
            *pcbDataLen = MAX_CONTAINER_NAME;
            return TRUE;
        }
        if (ctx->enumPos >= ctx->enumNames.size()) return CspFail(ERROR_NO_MORE_ITEMS);
        if (!PutString(ctx->enumNames[ctx->enumPos], pbData, pcbDataLen)) return FALSE;
        ++ctx->enumPos;
        return TRUE;
    }
    if (dwParam == PP_ENUMALGS || dwParam == PP_ENUMALGS_EX) return PutAlgorithm(*ctx, dwParam, pbData, pcbDataLen, dwFlags);
    if (dwFlags != 0) return CspFail(NTE_BAD_FLAGS);
    switch (dwParam) {
    case PP_NAME: return PutString(Token().pszProvName, pbData, pcbDataLen);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
        if (!ctx->bHasContainer) return CspFail(NTE_BAD_KEYSET);
        return PutString(ctx->container, pbData, pcbDataLen);
    case PP_IMPTYPE: return PutDword(CRYPT_IMPL_SOFTWARE, pbData, pcbDataLen);
    case PP_VERSION: return PutDword(0x0100, pbData, pcbDataLen);
    case PP_PROVTYPE: return PutDword(PROV_RSA_FULL, pbData, pcbDataLen);
    case PP_KEYSPEC: return PutDword(AT_KEYEXCHANGE | AT_SIGNATURE, pbData, pcbDataLen);
    default: return CspFail(NTE_BAD_TYPE);
    }
}

CSPAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,
                   BYTE* pbData, DWORD* pcbDataLen)
{
    std::lock_guard<std::mutex> guard(G().lock);
    if (FindContext(hProv) == nullptr) return CspFail(NTE_BAD_UID);
    KeyObject* key = FindKey(hProv, hKey);
    if (key == nullptr) return CspFail(NTE_BAD_KEY);
    if (hPubKey != 0) return CspFail(NTE_BAD_KEY);
    if (dwFlags != 0) return CspFail(NTE_BAD_FLAGS);
    // Private keys never leave the token.
    if (dwBlobType == PRIVATEKEYBLOB) return CspFail(NTE_BAD_KEY_STATE);
    if (dwBlobType != PUBLICKEYBLOB) return CspFail(NTE_BAD_TYPE);
    ByteBuffer blob;
    CspStatus status = ExportPublicKeyBlob(Token().kind, key->pkey.get(), key->algid, blob);
    if (status != CSP_OK) return CspFail(status);
    return CspPut(blob.data(), static_cast<DWORD>(blob.size()), pbData, pcbDataLen);
}

CSPAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                   HCRYPTKEY* phKey)
{
    if (phKey == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(G().lock);
    ProvContext* ctx = FindContext(hProv);
    if (ctx == nullptr) return CspFail(NTE_BAD_UID);
    if (pbData == nullptr || cbDataLen < 8) return CspFail(NTE_BAD_LEN);
    if (hPubKey != 0) return CspFail(NTE_BAD_KEY);
    if ((dwFlags & ~KEY_IMPORT_FLAGS) != 0) return CspFail(NTE_BAD_FLAGS);
    if (!ctx->bHasContainer) return CspFail(NTE_BAD_KEYSET);
    WORD wReserved = static_cast<WORD>(pbData[2] | (pbData[3] << 8));

    ByteBuffer keyBytes;
    int slot = 0;
    CspStatus status = CSP_OK;
    if (!IsSm2() && wReserved == 0) {
        RsaBlobParts parts;
        status = ParseRsaPrivateKeyBlob(pbData, cbDataLen, parts, slot);
        if (status == CSP_OK) status = RsaKeyFromParts(parts, keyBytes);
    } else {
        // A key-spec blob: the delivered key is encrypted for the container's exchange key.
        KeySpecBlob blob;
        status = IsSm2() ? ParseSm2KeySpecBlob(pbData, cbDataLen, blob) : ParseRsaKeySpecBlob(pbData, cbDataLen, blob);
        KeySlot exchange;
        if (status == CSP_OK) status = ReadSlot(*ctx, 0, exchange);
        PKey exchangeKey;
        if (status == CSP_OK) status = LoadKey(Token().kind, exchange.key, exchangeKey);
        if (status == CSP_OK)
            status = IsSm2() ? Sm2KeyFromCiphertext(exchangeKey.get(), blob.pbData, blob.cbData, keyBytes)
                             : RsaKeyFromEnvelope(exchangeKey.get(), blob.pbData, blob.cbData, keyBytes);
    }
    ALG_ID algid = IsSm2() ? CALG_SM2_KEYX : (slot == 0 ? CALG_RSA_KEYX : CALG_RSA_SIGN);
    if (status == CSP_OK) status = StoreKey(hProv, *ctx, slot, algid, keyBytes, phKey);
    OPENSSL_cleanse(keyBytes.data(), keyBytes.size());
    return Finish(status);
}

CSPAPI CPEncrypt(HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*, DWORD)
{
    return CspFail(NTE_BAD_ALGID);
}

CSPAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                 DWORD* pdwDataLen)
{
    std::lock_guard<std::mutex> guard(G().lock);
    if (FindContext(hProv) == nullptr) return CspFail(NTE_BAD_UID);
    KeyObject* key = FindKey(hProv, hKey);
    if (key == nullptr) return CspFail(NTE_BAD_KEY);
    if (IsSm2()) return CspFail(NTE_BAD_ALGID);
    if (hHash != 0) return CspFail(NTE_BAD_HASH);
    if (dwFlags != 0 && dwFlags != CRYPT_OAEP) return CspFail(NTE_BAD_FLAGS);
    if (!Final) return CspFail(NTE_BAD_DATA);
    if (pdwDataLen == nullptr || pbData == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
    // The caller gives the block little-endian.
    ByteBuffer be(pbData, pbData + *pdwDataLen);
    for (size_t i = 0; i < be.size() / 2; ++i) std::swap(be[i], be[be.size() - 1 - i]);
    ByteBuffer plain;
    CspStatus status = RsaDecrypt(key->pkey.get(), be.data(), be.size(), dwFlags == CRYPT_OAEP, plain);
    if (status != CSP_OK) return CspFail(status);
    memcpy(pbData, plain.data(), plain.size());
    *pdwDataLen = static_cast<DWORD>(plain.size());
    OPENSSL_cleanse(plain.data(), plain.size());
    return TRUE;
}

CSPAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash)
{
    if (phHash == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(G().lock);
    if (FindContext(hProv) == nullptr) return CspFail(NTE_BAD_UID);
    if (hKey != 0) return CspFail(NTE_BAD_KEY);
    if (dwFlags != 0) return CspFail(NTE_BAD_FLAGS);
    const EVP_MD* md = DigestOfAlgid(Token().kind, Algid);
    if (md == nullptr) return CspFail(NTE_BAD_ALGID);
    HashObject hash;
    hash.hProv = hProv;
    hash.algid = Algid;
    hash.md = md;
    hash.ctx.reset(EVP_MD_CTX_new());
    if (!hash.ctx || EVP_DigestInit_ex(hash.ctx.get(), md, nullptr) != 1) return CspFail(NTE_NO_MEMORY);
    HCRYPTHASH h = G().NewHandle();
    G().hashes.emplace(h, std::move(hash));
    *phHash = h;
    return TRUE;
}

CSPAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen, DWORD dwFlags)
{
    std::lock_guard<std::mutex> guard(G().lock);
    if (FindContext(hProv) == nullptr) return CspFail(NTE_BAD_UID);
    HashObject* hash = FindHash(hProv, hHash);
    if (hash == nullptr) return CspFail(NTE_BAD_HASH);
    if (dwFlags != 0) return CspFail(NTE_BAD_FLAGS);
    if (hash->bFinished) return CspFail(NTE_BAD_HASH_STATE);
    if (cbDataLen == 0) return TRUE;
    if (pbData == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
    if (EVP_DigestUpdate(hash->ctx.get(), pbData, cbDataLen) != 1) return CspFail(NTE_FAIL);
    if (IsSm2()) hash->data.insert(hash->data.end(), pbData, pbData + cbDataLen);
    return TRUE;
}

CSPAPI CPHashSessionKey(HCRYPTPROV, HCRYPTHASH, HCRYPTKEY, DWORD)
{
    return CspFail(NTE_BAD_KEY);
}

CSPAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags)
{
    std::lock_guard<std::mutex> guard(G().lock);
    if (FindContext(hProv) == nullptr) return CspFail(NTE_BAD_UID);
    HashObject* hash = FindHash(hProv, hHash);
    if (hash == nullptr) return CspFail(NTE_BAD_HASH);
    if (dwFlags != 0) return CspFail(NTE_BAD_FLAGS);
    if (dwParam != HP_HASHVAL) return CspFail(NTE_BAD_TYPE);
    // The value carries no length: it is as long as the algorithm's digest.
    size_t cb = static_cast<size_t>(EVP_MD_get_size(hash->md));
    if (!IsReadableMemory(pbData, cb)) return CspFail(NTE_BAD_DATA);
    hash->value.assign(pbData, pbData + cb);
    hash->bFinished = true;
    hash->bValueSet = true;
    return TRUE;
}

CSPAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                      DWORD dwFlags)
{
    std::lock_guard<std::mutex> guard(G().lock);
    if (FindContext(hProv) == nullptr) return CspFail(NTE_BAD_UID);
    HashObject* hash = FindHash(hProv, hHash);
    if (hash == nullptr) return CspFail(NTE_BAD_HASH);
    if (dwFlags != 0) return CspFail(NTE_BAD_FLAGS);
    switch (dwParam) {
    case HP_ALGID: return PutDword(hash->algid, pbData, pcbDataLen);
    case HP_HASHSIZE: return PutDword(static_cast<DWORD>(EVP_MD_get_size(hash->md)), pbData, pcbDataLen);
    case HP_HASHVAL: {
        if (pcbDataLen == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
        if (pbData == nullptr) {
            *pcbDataLen = static_cast<DWORD>(EVP_MD_get_size(hash->md));
            return TRUE;
        }
        CspStatus status = FinishHash(*hash);
        if (status != CSP_OK) return CspFail(status);
        return CspPut(hash->value.data(), static_cast<DWORD>(hash->value.size()), pbData, pcbDataLen);
    }
    default: return CspFail(NTE_BAD_TYPE);
    }
}

CSPAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR /*szDescription*/, DWORD dwFlags,
                  BYTE* pbSignature, DWORD* pcbSigLen)
{
    if (pcbSigLen == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(G().lock);
    ProvContext* ctx = FindContext(hProv);
    if (ctx == nullptr) return CspFail(NTE_BAD_UID);
    HashObject* hash = FindHash(hProv, hHash);
    if (hash == nullptr) return CspFail(NTE_BAD_HASH);
    int slot = SlotOfKeySpec(dwKeySpec);
    if (slot < 0) return CspFail(NTE_BAD_KEY);
    if (dwFlags != 0 && (IsSm2() || dwFlags != CRYPT_NOHASHOID)) return CspFail(NTE_BAD_FLAGS);
    KeySlot stored;
    PKey pkey;
    CspStatus status = ReadSlot(*ctx, slot, stored);
    if (status == CSP_OK) status = LoadKey(Token().kind, stored.key, pkey);
    if (status != CSP_OK) return CspFail(status);
    DWORD cbSig = IsSm2() ? SM2_SIGNATURE_BYTES : (KeyBits(pkey.get()) + 7) / 8;
    if (pbSignature == nullptr) {
        *pcbSigLen = cbSig;
        return TRUE;
    }
    if (*pcbSigLen < cbSig) {
        *pcbSigLen = cbSig;
        return CspFail(ERROR_MORE_DATA);
    }
    ByteBuffer sig;
    if (IsSm2() && !hash->bValueSet) {
        status = FinishHash(*hash);
        if (status == CSP_OK) status = Sm2SignData(pkey.get(), hash->data, sig);
    } else {
        status = FinishHash(*hash);
        if (status == CSP_OK)
            status = IsSm2() ? Sm2SignDigest(pkey.get(), hash->value, sig)
                             : RsaSignDigest(pkey.get(), hash->md, hash->value, dwFlags == CRYPT_NOHASHOID, sig);
    }
    if (status != CSP_OK) return CspFail(status);
    return CspPut(sig.data(), static_cast<DWORD>(sig.size()), pbSignature, pcbSigLen);
}

CSPAPI CPDestroyHash(HCRYPTPROV /*hProv*/, HCRYPTHASH hHash)
{
    std::lock_guard<std::mutex> guard(G().lock);
    return G().hashes.erase(hHash) != 0 ? TRUE : CspFail(NTE_BAD_HASH);
}

CSPAPI CPVerifySignature(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, HCRYPTKEY, LPCWSTR, DWORD)
{
    return CspFail(NTE_BAD_ALGID);
}

CSPAPI CPGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer)
{
    std::lock_guard<std::mutex> guard(G().lock);
    if (FindContext(hProv) == nullptr) return CspFail(NTE_BAD_UID);
    if (dwLen != 0 && pbBuffer == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
    return Finish(RandomBytes(pbBuffer, dwLen));
}

CSPAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey)
{
    if (phUserKey == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(G().lock);
    ProvContext* ctx = FindContext(hProv);
    if (ctx == nullptr) return CspFail(NTE_BAD_UID);
    int slot = SlotOfKeySpec(dwKeySpec);
    if (slot < 0) return CspFail(NTE_BAD_KEY);
    if (!ctx->bHasContainer) return CspFail(NTE_NO_KEY);
    KeySlot stored;
    CspStatus status = ReadSlot(*ctx, slot, stored);
    if (status == CSP_OK) status = NewKeyObject(hProv, ctx->container, slot, stored, phUserKey);
    return Finish(status);
}

CSPAPI CPDuplicateHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags, HCRYPTHASH* phHash)
{
    if (phHash == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(G().lock);
    if (FindContext(hProv) == nullptr) return CspFail(NTE_BAD_UID);
    HashObject* hash = FindHash(hProv, hHash);
    if (hash == nullptr) return CspFail(NTE_BAD_HASH);
    if (pdwReserved != nullptr || dwFlags != 0) return CspFail(NTE_BAD_FLAGS);
    HashObject copy;
    copy.hProv = hash->hProv;
    copy.algid = hash->algid;
    copy.md = hash->md;
    copy.data = hash->data;
    copy.value = hash->value;
    copy.bFinished = hash->bFinished;
    copy.bValueSet = hash->bValueSet;
    copy.ctx.reset(EVP_MD_CTX_new());
    if (!copy.ctx || EVP_MD_CTX_copy_ex(copy.ctx.get(), hash->ctx.get()) != 1) return CspFail(NTE_NO_MEMORY);
    HCRYPTHASH h = G().NewHandle();
    G().hashes.emplace(h, std::move(copy));
    *phHash = h;
    return TRUE;
}

CSPAPI CPDuplicateKey(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags, HCRYPTKEY* phKey)
{
    if (phKey == nullptr) return CspFail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(G().lock);
    if (FindContext(hProv) == nullptr) return CspFail(NTE_BAD_UID);
    KeyObject* key = FindKey(hProv, hKey);
    if (key == nullptr) return CspFail(NTE_BAD_KEY);
    if (pdwReserved != nullptr || dwFlags != 0) return CspFail(NTE_BAD_FLAGS);
    KeySlot stored;
    stored.algid = key->algid;
    stored.key = key->key;
    return Finish(NewKeyObject(hProv, key->container, key->slot, stored, phKey));
}
