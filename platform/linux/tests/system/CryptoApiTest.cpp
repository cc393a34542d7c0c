// platform/linux/tests/system/CryptoApiTest.cpp — the provider functions over the NSS database answer as the
// platform's software providers do: names and types, containers and their two keys, blobs byte for byte,
// signatures that an independent library verifies, and the classic envelope's steps end to end.
#include "Containers.h"

#include <wincrypt.h>
#include <windows.h>

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <keyhi.h>
#include <pk11pub.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using WText = std::basic_string<WCHAR>;

// Owners, so a failed assertion releases what the test took.
struct Prov {
    HCRYPTPROV h = 0;
    ~Prov()
    {
        if (h != 0) CryptReleaseContext(h, 0);
    }
};
struct Key {
    HCRYPTKEY h = 0;
    ~Key()
    {
        if (h != 0) CryptDestroyKey(h);
    }
};
struct Hash {
    HCRYPTHASH h = 0;
    ~Hash()
    {
        if (h != 0) CryptDestroyHash(h);
    }
};

DWORD LastError() { return GetLastError(); }
DWORD Code(HRESULT hr) { return static_cast<DWORD>(hr); }

WText NewContainerName()
{
    static int n = 0;
    const std::string str = "{test-container-" + std::to_string(++n) + "-" + std::to_string(getpid()) + "}";
    return WText(str.begin(), str.end());
}

std::string Narrow(const WText& w) { return std::string(w.begin(), w.end()); }

Bytes ExportBlob(HCRYPTKEY hKey, DWORD dwType)
{
    DWORD cb = 0;
    if (!CryptExportKey(hKey, 0, dwType, 0, nullptr, &cb)) return {};
    Bytes vec(cb);
    if (!CryptExportKey(hKey, 0, dwType, 0, vec.data(), &cb)) return {};
    vec.resize(cb);
    return vec;
}

DWORD GetDword(const Bytes& vec, size_t n)
{
    DWORD dw = 0;
    memcpy(&dw, vec.data() + n, 4);
    return dw;
}

Bytes SignWith(HCRYPTPROV hProv, ALG_ID algHash, DWORD dwKeySpec, const Bytes& vecData)
{
    Hash hash;
    if (!CryptCreateHash(hProv, algHash, 0, 0, &hash.h)) return {};
    if (!CryptHashData(hash.h, vecData.data(), static_cast<DWORD>(vecData.size()), 0)) return {};
    DWORD cb = 0;
    if (!CryptSignHashW(hash.h, dwKeySpec, nullptr, 0, nullptr, &cb)) return {};
    Bytes vec(cb);
    if (!CryptSignHashW(hash.h, dwKeySpec, nullptr, 0, vec.data(), &cb)) return {};
    vec.resize(cb);
    return vec;
}

// An OpenSSL key from a PUBLICKEYBLOB, so signatures are checked by a library other than the one that made
// them.
EVP_PKEY* OpenSslKeyOf(const Bytes& vecBlob)
{
    const DWORD dwBits = GetDword(vecBlob, 12);
    const DWORD dwExponent = GetDword(vecBlob, 16);
    Bytes vecModulus(vecBlob.rbegin(), vecBlob.rbegin() + dwBits / 8);
    BIGNUM* n = BN_bin2bn(vecModulus.data(), static_cast<int>(vecModulus.size()), nullptr);
    BIGNUM* e = BN_new();
    BN_set_word(e, dwExponent);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* pkey = nullptr;
    if (EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params) != 1)
        pkey = nullptr;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(n);
    BN_free(e);
    return pkey;
}

bool OpenSslVerifies(const Bytes& vecPublicBlob, const EVP_MD* md, const Bytes& vecData, const Bytes& vecSigLE)
{
    EVP_PKEY* pkey = OpenSslKeyOf(vecPublicBlob);
    if (pkey == nullptr) return false;
    Bytes vecSig(vecSigLE.rbegin(), vecSigLE.rend());
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool bOk = EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, pkey) == 1 &&
                     EVP_DigestVerify(ctx, vecSig.data(), vecSig.size(), vecData.data(), vecData.size()) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(pkey);
    return bOk;
}

// A PRIVATEKEYBLOB of an OpenSSL key, laid out as the request's import builds it.
Bytes PrivateBlobOf(EVP_PKEY* pkey, ALG_ID algId)
{
    const char* rgNames[] = {OSSL_PKEY_PARAM_RSA_N,        OSSL_PKEY_PARAM_RSA_FACTOR1,
                             OSSL_PKEY_PARAM_RSA_FACTOR2,  OSSL_PKEY_PARAM_RSA_EXPONENT1,
                             OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                             OSSL_PKEY_PARAM_RSA_D};
    const int nBits = EVP_PKEY_get_bits(pkey);
    const size_t cbFull = nBits / 8, cbHalf = (cbFull + 1) / 2;
    BIGNUM* e = nullptr;
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_E, &e);
    Bytes vec = {PRIVATEKEYBLOB, CUR_BLOB_VERSION, 0, 0};
    auto put = [&](DWORD dw) {
        for (int i = 0; i < 4; ++i) vec.push_back(static_cast<BYTE>(dw >> (8 * i)));
    };
    put(algId);
    put(0x32415352);
    put(static_cast<DWORD>(nBits));
    put(static_cast<DWORD>(BN_get_word(e)));
    BN_free(e);
    for (size_t i = 0; i < sizeof(rgNames) / sizeof(rgNames[0]); ++i) {
        BIGNUM* bn = nullptr;
        EVP_PKEY_get_bn_param(pkey, rgNames[i], &bn);
        const size_t cb = (i == 0 || i == 6) ? cbFull : cbHalf;
        Bytes field(cb);
        BN_bn2lebinpad(bn, field.data(), static_cast<int>(cb));
        BN_free(bn);
        vec.insert(vec.end(), field.begin(), field.end());
    }
    return vec;
}

TEST(CryptoApiProviders, TheFourSoftwareNamesAreListedWithTheirTypes)
{
    const struct {
        const WCHAR* pwszName;
        DWORD dwType;
    } rgWant[] = {{MS_DEF_PROV_W, PROV_RSA_FULL},
                  {MS_ENHANCED_PROV_W, PROV_RSA_FULL},
                  {MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES},
                  {MS_STRONG_PROV_W, PROV_RSA_FULL}};
    for (DWORD i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        DWORD dwType = 0, cb = 0;
        ASSERT_TRUE(CryptEnumProvidersW(i, nullptr, 0, &dwType, nullptr, &cb));
        EXPECT_EQ(cb, (std::char_traits<WCHAR>::length(rgWant[i].pwszName) + 1) * sizeof(WCHAR));
        std::vector<WCHAR> vec(cb / sizeof(WCHAR));
        DWORD cbShort = cb - 2;
        EXPECT_FALSE(CryptEnumProvidersW(i, nullptr, 0, &dwType, vec.data(), &cbShort));
        EXPECT_EQ(LastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(cbShort, cb);
        ASSERT_TRUE(CryptEnumProvidersW(i, nullptr, 0, &dwType, vec.data(), &cb));
        EXPECT_EQ(WText(vec.data()), WText(rgWant[i].pwszName));
        EXPECT_EQ(dwType, rgWant[i].dwType);
    }
    DWORD dwType = 0, cb = 0;
    EXPECT_FALSE(CryptEnumProvidersW(4, nullptr, 0, &dwType, nullptr, &cb));
    EXPECT_EQ(LastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
}

TEST(CryptoApiProviders, ContextsThatCannotBeOpenedAnswerThePlatformCodes)
{
    const WText wstrMissing = NewContainerName();
    const struct {
        const WCHAR* pwszContainer;
        const WCHAR* pwszProvider;
        DWORD dwType;
        DWORD dwFlags;
        HRESULT hrWant;
    } rgCases[] = {
        {nullptr, u"Software SM2 Token CSP v1.0", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, NTE_KEYSET_NOT_DEF},
        {wstrMissing.c_str(), u"Microsoft Base Cryptographic Provider v1.0 ", PROV_RSA_FULL, 0, NTE_KEYSET_NOT_DEF},
        {nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, NTE_PROV_TYPE_NO_MATCH},
        {nullptr, MS_DEF_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT, NTE_PROV_TYPE_NO_MATCH},
        {nullptr, nullptr, 99, CRYPT_VERIFYCONTEXT, NTE_PROV_TYPE_NOT_DEF},
        {wstrMissing.c_str(), MS_DEF_PROV_W, PROV_RSA_FULL, 0, NTE_BAD_KEYSET},
        {wstrMissing.c_str(), MS_DEF_PROV_W, PROV_RSA_FULL, CRYPT_DELETEKEYSET, NTE_BAD_KEYSET},
        {wstrMissing.c_str(), MS_DEF_PROV_W, PROV_RSA_FULL, 0xFFFF0002, NTE_BAD_FLAGS},
        {wstrMissing.c_str(), MS_DEF_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, NTE_BAD_FLAGS},
        {wstrMissing.c_str(), MS_DEF_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET, NTE_BAD_FLAGS},
    };
    for (const auto& c : rgCases) {
        SCOPED_TRACE(c.dwFlags);
        HCRYPTPROV hProv = 0x1234;
        EXPECT_FALSE(CryptAcquireContextW(&hProv, c.pwszContainer, c.pwszProvider, c.dwType, c.dwFlags));
        EXPECT_EQ(LastError(), Code(c.hrWant));
        EXPECT_EQ(hProv, 0u);
    }
}

TEST(CryptoApiKeys, KeyLengthsAreTheProvidersOwn)
{
    const struct {
        const WCHAR* pwszProvider;
        DWORD dwType;
        DWORD dwBitsAsked;
        DWORD dwBitsWant;  // 0: refused with NTE_BAD_DATA
    } rgCases[] = {{MS_DEF_PROV_W, PROV_RSA_FULL, 0, 512},          {MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0, 1024},
                   {MS_STRONG_PROV_W, PROV_RSA_FULL, 0, 1024},      {MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, 2048, 2048},
                   {MS_DEF_PROV_W, PROV_RSA_FULL, 1040, 1040},     {MS_DEF_PROV_W, PROV_RSA_FULL, 384, 384},
                   {MS_DEF_PROV_W, PROV_RSA_FULL, 368, 0},          {MS_ENHANCED_PROV_W, PROV_RSA_FULL, 1001, 0},
                   {MS_ENHANCED_PROV_W, PROV_RSA_FULL, 16392, 0},
                   // The platform makes 1032 bits too; NSS makes keys in steps of 16 only.
                   {MS_DEF_PROV_W, PROV_RSA_FULL, 1032, 0}};
    for (const auto& c : rgCases) {
        SCOPED_TRACE(c.dwBitsAsked);
        Prov prov;
        ASSERT_TRUE(CryptAcquireContextW(&prov.h, nullptr, c.pwszProvider, c.dwType, CRYPT_VERIFYCONTEXT));
        Key key;
        const BOOL bMade = CryptGenKey(prov.h, AT_SIGNATURE, c.dwBitsAsked << 16, &key.h);
        if (c.dwBitsWant == 0) {
            EXPECT_FALSE(bMade);
            EXPECT_EQ(LastError(), Code(NTE_BAD_DATA));
            continue;
        }
        ASSERT_TRUE(bMade);
        DWORD dwBits = 0, cb = sizeof(dwBits);
        ASSERT_TRUE(CryptGetKeyParam(key.h, KP_KEYLEN, reinterpret_cast<BYTE*>(&dwBits), &cb, 0));
        EXPECT_EQ(dwBits, c.dwBitsWant);
        const Bytes vecBlob = ExportBlob(key.h, PUBLICKEYBLOB);
        ASSERT_EQ(vecBlob.size(), 20 + c.dwBitsWant / 8);
        EXPECT_EQ(Bytes(vecBlob.begin(), vecBlob.begin() + 8), (Bytes{PUBLICKEYBLOB, 2, 0, 0, 0x00, 0x24, 0, 0}));
        EXPECT_EQ(GetDword(vecBlob, 8), 0x31415352u);
        EXPECT_EQ(GetDword(vecBlob, 12), c.dwBitsWant);
        EXPECT_EQ(GetDword(vecBlob, 16), 65537u);
    }
}

TEST(CryptoApiSignatures, Md5AndSha1SignaturesVerifyUnderAnotherLibrary)
{
    const WText wstrContainer = NewContainerName();
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(&prov.h, wstrContainer.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    const Bytes vecData(20000, 0x5A);  // longer than one 16 KiB chunk of the request signer
    for (DWORD dwKeySpec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
        Key key;
        ASSERT_TRUE(CryptGenKey(prov.h, dwKeySpec, 2048 << 16, &key.h));
        const Bytes vecPublic = ExportBlob(key.h, PUBLICKEYBLOB);
        for (ALG_ID algHash : {static_cast<ALG_ID>(CALG_MD5), static_cast<ALG_ID>(CALG_SHA1)}) {
            SCOPED_TRACE(algHash);
            const Bytes vecSig = SignWith(prov.h, algHash, dwKeySpec, vecData);
            ASSERT_EQ(vecSig.size(), 256u);
            EXPECT_TRUE(OpenSslVerifies(vecPublic, algHash == CALG_MD5 ? EVP_md5() : EVP_sha1(), vecData, vecSig));
            // And the same signature through the platform's own verification of an imported public key.
            Prov verify;
            ASSERT_TRUE(CryptAcquireContextW(&verify.h, nullptr, MS_DEF_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
            Key pub;
            ASSERT_TRUE(CryptImportKey(verify.h, vecPublic.data(), static_cast<DWORD>(vecPublic.size()), 0, 0, &pub.h));
            Hash hash;
            ASSERT_TRUE(CryptCreateHash(verify.h, algHash, 0, 0, &hash.h));
            ASSERT_TRUE(CryptHashData(hash.h, vecData.data(), static_cast<DWORD>(vecData.size()), 0));
            EXPECT_TRUE(CryptVerifySignatureW(hash.h, vecSig.data(), static_cast<DWORD>(vecSig.size()), pub.h, nullptr, 0));
            Bytes vecBad = vecSig;
            vecBad[100] ^= 1;
            EXPECT_FALSE(CryptVerifySignatureW(hash.h, vecBad.data(), static_cast<DWORD>(vecBad.size()), pub.h, nullptr, 0));
            EXPECT_EQ(LastError(), Code(NTE_BAD_SIGNATURE));
            // A hash whose value was taken takes no more data.
            EXPECT_FALSE(CryptHashData(hash.h, vecData.data(), 1, 0));
            EXPECT_EQ(LastError(), Code(NTE_BAD_HASH_STATE));
        }
    }
    HCRYPTPROV hGone = 0;
    EXPECT_TRUE(CryptAcquireContextW(&hGone, wstrContainer.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
}

TEST(CryptoApiContainers, TwoKeysOfOneContainerLiveInTheDatabaseUntilDeleted)
{
    const WText wstrContainer = NewContainerName();
    const std::string strContainer = Narrow(wstrContainer);
    Bytes vecExchange, vecSignature;
    {
        Prov prov;
        ASSERT_TRUE(CryptAcquireContextW(&prov.h, wstrContainer.c_str(), MS_STRONG_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        HCRYPTPROV hAgain = 0;
        EXPECT_FALSE(CryptAcquireContextW(&hAgain, wstrContainer.c_str(), MS_DEF_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        EXPECT_EQ(LastError(), Code(NTE_EXISTS));
        Key none;
        EXPECT_FALSE(CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &none.h));
        EXPECT_EQ(LastError(), Code(NTE_NO_KEY));
        Key exchange, signature;
        ASSERT_TRUE(CryptGenKey(prov.h, AT_KEYEXCHANGE, 1024 << 16, &exchange.h));
        ASSERT_TRUE(CryptGenKey(prov.h, AT_SIGNATURE, 1024 << 16, &signature.h));
        vecExchange = ExportBlob(exchange.h, PUBLICKEYBLOB);
        vecSignature = ExportBlob(signature.h, PUBLICKEYBLOB);
        // A key that was not made exportable stays in the token.
        DWORD cb = 0;
        EXPECT_FALSE(CryptExportKey(exchange.h, 0, PRIVATEKEYBLOB, 0, nullptr, &cb));
        EXPECT_EQ(LastError(), Code(NTE_BAD_KEY_STATE));
    }
    ASSERT_FALSE(vecExchange.empty());
    EXPECT_NE(vecExchange, vecSignature);

    // Another context, under another of the names, finds both keys by spec.
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(&prov.h, wstrContainer.c_str(), MS_DEF_PROV_W, PROV_RSA_FULL, 0));
    for (const auto& c : {std::make_pair(static_cast<DWORD>(AT_KEYEXCHANGE), &vecExchange),
                          std::make_pair(static_cast<DWORD>(AT_SIGNATURE), &vecSignature)}) {
        Key key;
        ASSERT_TRUE(CryptGetUserKey(prov.h, c.first, &key.h));
        Bytes vec = ExportBlob(key.h, PUBLICKEYBLOB);
        EXPECT_EQ(vec, *c.second);
        ALG_ID algId = 0;
        DWORD cb = sizeof(algId);
        ASSERT_TRUE(CryptGetKeyParam(key.h, KP_ALGID, reinterpret_cast<BYTE*>(&algId), &cb, 0));
        EXPECT_EQ(algId, c.first == AT_KEYEXCHANGE ? static_cast<ALG_ID>(CALG_RSA_KEYX) : static_cast<ALG_ID>(CALG_RSA_SIGN));
        // The software providers keep no certificate with a key.
        cb = 0;
        EXPECT_FALSE(CryptGetKeyParam(key.h, KP_CERTIFICATE, nullptr, &cb, 0));
        EXPECT_EQ(LastError(), Code(NTE_BAD_TYPE));
    }

    // crypt32's view: the container remembers the provider it was made under, and each key names its spec.
    WText wstrProvider;
    ASSERT_TRUE(ContainerProviderName(strContainer, wstrProvider));
    EXPECT_EQ(wstrProvider, WText(MS_STRONG_PROV_W));
    PK11SlotInfo* pSlot = PK11_GetInternalKeySlot();
    SECKEYPrivateKeyList* pList = PK11_ListPrivKeysInSlot(pSlot, const_cast<char*>(strContainer.c_str()), nullptr);
    ASSERT_NE(pList, nullptr);
    std::vector<DWORD> vecSpecs;
    for (SECKEYPrivateKeyListNode* p = PRIVKEY_LIST_HEAD(pList); !PRIVKEY_LIST_END(p, pList); p = PRIVKEY_LIST_NEXT(p)) {
        std::string strName;
        DWORD dwSpec = 0;
        ASSERT_TRUE(ContainerOfKey(p->key, strName, dwSpec));
        EXPECT_EQ(strName, strContainer);
        vecSpecs.push_back(dwSpec);
    }
    SECKEY_DestroyPrivateKeyList(pList);
    std::sort(vecSpecs.begin(), vecSpecs.end());
    EXPECT_EQ(vecSpecs, (std::vector<DWORD>{AT_KEYEXCHANGE, AT_SIGNATURE}));

    // The container is listed, and once deleted neither listed nor openable, its public keys gone too.
    auto listed = [&]() {
        Prov verify;
        EXPECT_TRUE(CryptAcquireContextW(&verify.h, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
        std::vector<std::string> names;
        char szName[MAX_PATH + 1];
        for (DWORD dwFlags = CRYPT_FIRST;; dwFlags = CRYPT_NEXT) {
            DWORD cb = sizeof(szName);
            if (!CryptGetProvParam(verify.h, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(szName), &cb, dwFlags)) {
                EXPECT_EQ(LastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
                break;
            }
            names.emplace_back(szName);
        }
        return std::count(names.begin(), names.end(), strContainer);
    };
    EXPECT_EQ(listed(), 1);
    HCRYPTPROV hGone = 0x55;
    ASSERT_TRUE(CryptAcquireContextW(&hGone, wstrContainer.c_str(), MS_DEF_PROV_W, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(hGone, 0u);
    EXPECT_EQ(listed(), 0);
    HCRYPTPROV hMissing = 0;
    EXPECT_FALSE(CryptAcquireContextW(&hMissing, wstrContainer.c_str(), MS_DEF_PROV_W, PROV_RSA_FULL, 0));
    EXPECT_EQ(LastError(), Code(NTE_BAD_KEYSET));
    EXPECT_FALSE(ContainerProviderName(strContainer, wstrProvider));
    SECKEYPublicKeyList* pPublics = PK11_ListPublicKeysInSlot(pSlot, nullptr);
    size_t nLeft = 0;
    for (SECKEYPublicKeyListNode* p = pPublics ? PUBKEY_LIST_HEAD(pPublics) : nullptr;
         pPublics != nullptr && !PUBKEY_LIST_END(p, pPublics); p = PUBKEY_LIST_NEXT(p)) {
        Bytes vecModulus(p->key->u.rsa.modulus.data, p->key->u.rsa.modulus.data + p->key->u.rsa.modulus.len);
        while (!vecModulus.empty() && vecModulus[0] == 0) vecModulus.erase(vecModulus.begin());
        for (const Bytes* pBlob : {&vecExchange, &vecSignature})
            if (Bytes(pBlob->rbegin(), pBlob->rbegin() + 128) == vecModulus) ++nLeft;
    }
    if (pPublics != nullptr) SECKEY_DestroyPublicKeyList(pPublics);
    PK11_FreeSlot(pSlot);
    EXPECT_EQ(nLeft, 0u);
}

TEST(CryptoApiKeys, RsaEncryptionRoundTripsAndRefusesTheWrongKey)
{
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(&prov.h, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Key exchange, other, signature;
    ASSERT_TRUE(CryptGenKey(prov.h, AT_KEYEXCHANGE, 1024 << 16, &exchange.h));
    ASSERT_TRUE(CryptGenKey(prov.h, AT_SIGNATURE, 1024 << 16, &signature.h));
    Prov second;
    ASSERT_TRUE(CryptAcquireContextW(&second.h, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptGenKey(second.h, AT_KEYEXCHANGE, 1024 << 16, &other.h));
    const Bytes vecPublic = ExportBlob(exchange.h, PUBLICKEYBLOB);
    Key pub;
    ASSERT_TRUE(CryptImportKey(second.h, vecPublic.data(), static_cast<DWORD>(vecPublic.size()), 0, 0, &pub.h));

    const Bytes vecMessage = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    Bytes vec(128);
    std::copy(vecMessage.begin(), vecMessage.end(), vec.begin());
    DWORD cb = static_cast<DWORD>(vecMessage.size());
    DWORD cbShort = cb;
    EXPECT_FALSE(CryptEncrypt(pub.h, 0, TRUE, 0, vec.data(), &cbShort, 64));
    EXPECT_EQ(LastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(cbShort, 16u);  // left as it was, as the platform does
    ASSERT_TRUE(CryptEncrypt(pub.h, 0, TRUE, 0, vec.data(), &cb, static_cast<DWORD>(vec.size())));
    ASSERT_EQ(cb, 128u);
    const Bytes vecCipher = vec;

    Bytes vecPlain = vecCipher;
    cb = 128;
    ASSERT_TRUE(CryptDecrypt(exchange.h, 0, TRUE, 0, vecPlain.data(), &cb));
    EXPECT_EQ(Bytes(vecPlain.begin(), vecPlain.begin() + cb), vecMessage);

    // Another key finds no padding in the block; a signature key does not decrypt at all; a public key alone
    // has nothing to decrypt with.
    const struct {
        HCRYPTKEY hKey;
        HRESULT hrWant;
    } rgWrong[] = {{other.h, NTE_BAD_DATA}, {signature.h, NTE_BAD_KEY}, {pub.h, NTE_BAD_DATA}};
    for (const auto& c : rgWrong) {
        Bytes vecTry = vecCipher;
        cb = 128;
        EXPECT_FALSE(CryptDecrypt(c.hKey, 0, TRUE, 0, vecTry.data(), &cb));
        EXPECT_EQ(LastError(), Code(c.hrWant));
    }
    const Bytes vecTooLong(118, 7);
    vec.assign(vecTooLong.begin(), vecTooLong.end());
    vec.resize(128);
    cb = static_cast<DWORD>(vecTooLong.size());
    EXPECT_FALSE(CryptEncrypt(pub.h, 0, TRUE, 0, vec.data(), &cb, 128));
    EXPECT_EQ(LastError(), Code(NTE_BAD_LEN));
}

// The classic envelope as the import walks it: an exportable key in a throw-away container rewritten with
// exponents of one, a SIMPLEBLOB under it carrying the Triple-DES key, ECB decryption of the private key,
// then that key as a PRIVATEKEYBLOB in the request's container, proven by a signature OpenSSL verifies.
TEST(CryptoApiEnvelope, ExponentOneSessionKeyDecryptsAndTheDeliveredKeySigns)
{
    EVP_PKEY* pDelivered = EVP_RSA_gen(1024);
    ASSERT_NE(pDelivered, nullptr);
    Bytes vecSessionKey(24);
    for (size_t i = 0; i < vecSessionKey.size(); ++i) vecSessionKey[i] = static_cast<BYTE>(0x11 * (i % 15) + 3);
    const Bytes vecPlainKey(611, 0x42);
    // The authority's side, by OpenSSL: Triple-DES ECB with PKCS#7 padding.
    Bytes vecEncrypted(vecPlainKey.size() + 8);
    int cbOut = 0, cbFinal = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ASSERT_EQ(EVP_EncryptInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, vecSessionKey.data(), nullptr), 1);
    ASSERT_EQ(EVP_EncryptUpdate(ctx, vecEncrypted.data(), &cbOut, vecPlainKey.data(), static_cast<int>(vecPlainKey.size())), 1);
    ASSERT_EQ(EVP_EncryptFinal_ex(ctx, vecEncrypted.data() + cbOut, &cbFinal), 1);
    EVP_CIPHER_CTX_free(ctx);
    vecEncrypted.resize(static_cast<size_t>(cbOut + cbFinal));

    const WText wstrTemp = NewContainerName();
    {
        Prov temp;
        ASSERT_TRUE(CryptAcquireContextW(&temp.h, wstrTemp.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        Bytes vecBlob;
        {
            Key generated;
            ASSERT_TRUE(CryptGenKey(temp.h, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &generated.h));
            vecBlob = ExportBlob(generated.h, PRIVATEKEYBLOB);
        }
        const DWORD dwBits = GetDword(vecBlob, 12);
        ASSERT_EQ(dwBits, 1024u);
        ASSERT_EQ(vecBlob.size(), 20 + 9 * dwBits / 16);
        const size_t cbFull = dwBits / 8, cbHalf = dwBits / 16;
        auto setOne = [&](size_t n, size_t cb) {
            std::fill(vecBlob.begin() + n, vecBlob.begin() + n + cb, 0);
            vecBlob[n] = 1;
        };
        setOne(16, 4);
        setOne(20 + cbFull + 2 * cbHalf, cbHalf);
        setOne(20 + cbFull + 3 * cbHalf, cbHalf);
        setOne(20 + cbFull + 5 * cbHalf, cbFull);
        Key one;
        ASSERT_TRUE(CryptImportKey(temp.h, vecBlob.data(), static_cast<DWORD>(vecBlob.size()), 0, 0, &one.h));

        // Triple-DES is the Enhanced provider's, listed by PP_ENUMALGS_EX.
        bool bListed = false;
        for (DWORD dwFlags = CRYPT_FIRST;; dwFlags = 0) {
            PROV_ENUMALGS_EX st = {};
            DWORD cb = sizeof(st);
            if (!CryptGetProvParam(temp.h, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&st), &cb, dwFlags)) break;
            bListed = bListed || st.aiAlgid == CALG_3DES;
        }
        EXPECT_TRUE(bListed);

        Bytes vecSimple = {SIMPLEBLOB, 2, 0, 0, 0x03, 0x66, 0, 0, 0x00, 0xA4, 0, 0};
        vecSimple.insert(vecSimple.end(), vecSessionKey.rbegin(), vecSessionKey.rend());
        vecSimple.push_back(0);
        vecSimple.insert(vecSimple.end(), cbFull - vecSessionKey.size() - 3, 0x99);
        vecSimple.push_back(2);
        vecSimple.push_back(0);
        Key session;
        ASSERT_TRUE(CryptImportKey(temp.h, vecSimple.data(), static_cast<DWORD>(vecSimple.size()), one.h, CRYPT_EXPORTABLE,
                                   &session.h));
        DWORD dwMode = CRYPT_MODE_ECB;
        ASSERT_TRUE(CryptSetKeyParam(session.h, KP_MODE, reinterpret_cast<BYTE*>(&dwMode), 0));
        Bytes vec = vecEncrypted;
        DWORD cb = static_cast<DWORD>(vec.size());
        ASSERT_TRUE(CryptDecrypt(session.h, 0, TRUE, 0, vec.data(), &cb));
        EXPECT_EQ(Bytes(vec.begin(), vec.begin() + cb), vecPlainKey);

        // In CBC mode (the default) the same bytes do not come out.
        Key cbc;
        ASSERT_TRUE(CryptImportKey(temp.h, vecSimple.data(), static_cast<DWORD>(vecSimple.size()), one.h, 0, &cbc.h));
        vec = vecEncrypted;
        cb = static_cast<DWORD>(vec.size());
        const BOOL bCbc = CryptDecrypt(cbc.h, 0, TRUE, 0, vec.data(), &cb);
        EXPECT_FALSE(bCbc && Bytes(vec.begin(), vec.begin() + cb) == vecPlainKey);
    }
    HCRYPTPROV hGone = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hGone, wstrTemp.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_DELETEKEYSET));

    // The delivered key replaces the request's temporary exchange key in its container.
    const WText wstrContainer = NewContainerName();
    const Bytes vecDelivered = PrivateBlobOf(pDelivered, CALG_RSA_KEYX);
    Bytes vecTemporary;
    {
        Prov prov;
        ASSERT_TRUE(CryptAcquireContextW(&prov.h, wstrContainer.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        Key temporary, imported;
        ASSERT_TRUE(CryptGenKey(prov.h, AT_KEYEXCHANGE, 1024 << 16, &temporary.h));
        vecTemporary = ExportBlob(temporary.h, PUBLICKEYBLOB);
        ASSERT_TRUE(CryptImportKey(prov.h, vecDelivered.data(), static_cast<DWORD>(vecDelivered.size()), 0, 0, &imported.h));
    }
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(&prov.h, wstrContainer.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0));
    Key key;
    ASSERT_TRUE(CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &key.h));
    const Bytes vecPublic = ExportBlob(key.h, PUBLICKEYBLOB);
    EXPECT_NE(vecPublic, vecTemporary);
    EXPECT_EQ(Bytes(vecPublic.begin() + 20, vecPublic.end()), Bytes(vecDelivered.begin() + 20, vecDelivered.begin() + 148));
    const Bytes vecData = {'p', 'r', 'o', 'o', 'f'};
    const Bytes vecSig = SignWith(prov.h, CALG_SHA1, AT_KEYEXCHANGE, vecData);
    EXPECT_TRUE(OpenSslVerifies(vecPublic, EVP_sha1(), vecData, vecSig));
    HCRYPTPROV hDeleted = 0;
    EXPECT_TRUE(CryptAcquireContextW(&hDeleted, wstrContainer.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EVP_PKEY_free(pDelivered);
}

TEST(CryptoApiKeys, AVerifyContextHoldsAnImportedKeyAsItsOwn)
{
    EVP_PKEY* pKey = EVP_RSA_gen(1024);
    ASSERT_NE(pKey, nullptr);
    const Bytes vecBlob = PrivateBlobOf(pKey, CALG_RSA_KEYX);
    EVP_PKEY_free(pKey);
    Prov trial;
    ASSERT_TRUE(CryptAcquireContextW(&trial.h, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Key imported;
    ASSERT_TRUE(CryptImportKey(trial.h, vecBlob.data(), static_cast<DWORD>(vecBlob.size()), 0, 0, &imported.h));
    const Bytes vecData = {1, 2, 3};
    const Bytes vecSig = SignWith(trial.h, CALG_SHA1, AT_KEYEXCHANGE, vecData);
    Bytes vecPublic = ExportBlob(imported.h, PUBLICKEYBLOB);
    EXPECT_TRUE(OpenSslVerifies(vecPublic, EVP_sha1(), vecData, vecSig));
    // Nothing reached the database: no container carries the key.
    std::vector<std::string> names;
    char szName[MAX_PATH + 1];
    for (DWORD dwFlags = CRYPT_FIRST;; dwFlags = CRYPT_NEXT) {
        DWORD cb = sizeof(szName);
        if (!CryptGetProvParam(trial.h, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(szName), &cb, dwFlags)) break;
        Prov open;
        const WText wstrName(szName, szName + strlen(szName));
        ASSERT_TRUE(CryptAcquireContextW(&open.h, wstrName.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0));
        Key key;
        if (CryptGetUserKey(open.h, AT_KEYEXCHANGE, &key.h)) {
            EXPECT_NE(ExportBlob(key.h, PUBLICKEYBLOB), vecPublic);
        }
    }
}

TEST(CryptoApiKeys, MalformedBlobsAnswerThePlatformCodes)
{
    Prov base, enhanced;
    ASSERT_TRUE(CryptAcquireContextW(&base.h, nullptr, MS_DEF_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptAcquireContextW(&enhanced.h, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Key exchange;
    ASSERT_TRUE(CryptGenKey(enhanced.h, AT_KEYEXCHANGE, 512 << 16, &exchange.h));
    Bytes vecPublic = ExportBlob(exchange.h, PUBLICKEYBLOB);
    Bytes vecVersion3 = vecPublic;
    vecVersion3[1] = 3;
    const Bytes vecTruncated(vecPublic.begin(), vecPublic.end() - 1);
    // The vendor key-spec blob: PRIVATEKEYBLOB with reserved 1 and no "RSA2".
    const Bytes vecKeySpec = {7, 2, 1, 0, 0x00, 0xA4, 0, 0, 0x00, 0xA4, 0, 0, 0, 4, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0};
    Bytes vecShortPrivate = {7, 2, 0, 0, 0x00, 0xA4, 0, 0, 0x52, 0x53, 0x41, 0x32, 0, 2, 0, 0, 1, 0, 1, 0};
    vecShortPrivate.resize(vecShortPrivate.size() + 100, 0x33);
    Bytes vecSimple = {SIMPLEBLOB, 2, 0, 0, 0x03, 0x66, 0, 0, 0x00, 0xA4, 0, 0};
    vecSimple.resize(12 + 64, 0x01);  // no PKCS#1 type-2 block once decrypted
    // A well-formed block whose key is 16 bytes, too short for Triple-DES.
    Bytes vecShortKey(64, 0);
    std::fill(vecShortKey.begin(), vecShortKey.begin() + 16, 0x21);
    DWORD cbShortKey = 16;
    ASSERT_TRUE(CryptEncrypt(exchange.h, 0, TRUE, 0, vecShortKey.data(), &cbShortKey, 64));
    Bytes vecSimpleShortKey(vecSimple.begin(), vecSimple.begin() + 12);
    vecSimpleShortKey.insert(vecSimpleShortKey.end(), vecShortKey.begin(), vecShortKey.end());
    const struct {
        const char* pszName;
        HCRYPTPROV hProv;
        Bytes vecBlob;
        HCRYPTKEY hWrap;
        HRESULT hrWant;
    } rgCases[] = {
        {"header only", enhanced.h, {6, 2, 0, 0}, 0, NTE_BAD_DATA},
        {"version 3", enhanced.h, vecVersion3, 0, NTE_BAD_DATA},
        {"unknown type", enhanced.h, {9, 2, 0, 0, 0x00, 0xA4, 0, 0}, 0, NTE_BAD_TYPE},
        {"public, truncated", enhanced.h, vecTruncated, 0, NTE_BAD_DATA},
        {"key-spec blob", enhanced.h, vecKeySpec, 0, NTE_BAD_DATA},
        {"private, truncated", enhanced.h, vecShortPrivate, 0, NTE_BAD_DATA},
        {"simple, no wrapping key", enhanced.h, vecSimple, 0, NTE_BAD_PUBLIC_KEY},
        {"simple, key of another length", enhanced.h, vecSimpleShortKey, exchange.h, NTE_BAD_FLAGS},
        {"simple, no padding", enhanced.h, vecSimple, exchange.h, NTE_BAD_DATA},
        {"simple, Triple-DES in Base", base.h, vecSimple, exchange.h, NTE_BAD_ALGID},
    };
    for (const auto& c : rgCases) {
        SCOPED_TRACE(c.pszName);
        HCRYPTKEY hKey = 0x77;
        EXPECT_FALSE(CryptImportKey(c.hProv, c.vecBlob.data(), static_cast<DWORD>(c.vecBlob.size()), c.hWrap, 0, &hKey));
        EXPECT_EQ(LastError(), Code(c.hrWant));
        EXPECT_EQ(hKey, 0u);
    }
}

TEST(CryptoApiHashes, EachProviderHashesWithItsOwnAlgorithms)
{
    const struct {
        const WCHAR* pwszProvider;
        DWORD dwType;
        ALG_ID algId;
        HRESULT hrWant;  // S_OK: created
    } rgCases[] = {{MS_DEF_PROV_W, PROV_RSA_FULL, CALG_MD5, S_OK},
                   {MS_DEF_PROV_W, PROV_RSA_FULL, CALG_SHA1, S_OK},
                   {MS_DEF_PROV_W, PROV_RSA_FULL, CALG_SHA_256, NTE_BAD_ALGID},
                   {MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CALG_SHA_256, S_OK},
                   {MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0x800F, NTE_BAD_ALGID}};
    for (const auto& c : rgCases) {
        SCOPED_TRACE(c.algId);
        Prov prov;
        ASSERT_TRUE(CryptAcquireContextW(&prov.h, nullptr, c.pwszProvider, c.dwType, CRYPT_VERIFYCONTEXT));
        Hash hash;
        const BOOL bMade = CryptCreateHash(prov.h, c.algId, 0, 0, &hash.h);
        EXPECT_EQ(bMade != FALSE, c.hrWant == S_OK);
        if (!bMade) {
            EXPECT_EQ(LastError(), Code(c.hrWant));
        }
    }
    // A context without keys has nothing to sign with.
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(&prov.h, nullptr, MS_DEF_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(prov.h, CALG_SHA1, 0, 0, &hash.h));
    DWORD cb = 0;
    EXPECT_FALSE(CryptSignHashW(hash.h, AT_SIGNATURE, nullptr, 0, nullptr, &cb));
    EXPECT_EQ(LastError(), Code(NTE_NO_KEY));
}

}  // namespace
