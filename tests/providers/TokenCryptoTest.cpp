// tests/providers/TokenCryptoTest.cpp — hashing, key generation, public key blobs, signing and RSA
// decryption of both tokens, each checked against OpenSSL.
#include "TokenTestKit.h"

#include <chrono>

using namespace tokentest;

namespace {

ByteBuffer Bytes(const char* psz) { return ByteBuffer(psz, psz + strlen(psz)); }

DWORD HashValue(HCRYPTPROV hProv, ALG_ID algid, const ByteBuffer& data, ByteBuffer& value, DWORD& cbSize)
{
    CryptHash hash;
    DWORD cb = sizeof cbSize;
    if (!CryptCreateHash(hProv, algid, 0, 0, hash.put()) ||
        !CryptHashData(hash.get(), data.data(), static_cast<DWORD>(data.size()), 0) ||
        !CryptGetHashParam(hash.get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&cbSize), &cb, 0))
        return GetLastError();
    cb = 0;
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, nullptr, &cb, 0)) return GetLastError();
    value.assign(cb, 0);
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, value.data(), &cb, 0)) return GetLastError();
    return 0;
}

}  // namespace

TEST(TokenHash, DigestsMatchPublishedVectors)
{
    struct HashCase {
        const WCHAR* pwszProv;
        ALG_ID algid;
        const char* pszWant;
    };
    for (const HashCase& c : std::vector<HashCase>{
             {SM2_PROV, SM3, "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"},
             {RSA_PROV, CALG_SHA1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
             {RSA_PROV, CALG_MD5, "900150983cd24fb0d6963f7d28e17f72"},
             {RSA_PROV, CALG_SHA_256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}}) {
        SCOPED_TRACE(c.algid);
        CryptProv prov;
        ASSERT_EQ(0u, Acquire(prov, WString(), c.pwszProv, CRYPT_VERIFYCONTEXT));
        ByteBuffer value;
        DWORD cbSize = 0;
        ASSERT_EQ(0u, HashValue(prov.get(), c.algid, Bytes("abc"), value, cbSize));
        EXPECT_EQ(c.pszWant, Hex(value));
        EXPECT_EQ(value.size(), cbSize);
    }
}

TEST(TokenHash, FinishedHashTakesNoMoreDataAndDuplicatesCarryState)
{
    CryptProv prov;
    ASSERT_EQ(0u, Acquire(prov, WString(), SM2_PROV, CRYPT_VERIFYCONTEXT));
    CryptHash hash, copy;
    ASSERT_TRUE(CryptCreateHash(prov.get(), SM3, 0, 0, hash.put()));
    ASSERT_TRUE(CryptHashData(hash.get(), reinterpret_cast<const BYTE*>("ab"), 2, 0));
    ASSERT_TRUE(CryptDuplicateHash(hash.get(), nullptr, 0, copy.put())) << std::hex << GetLastError();
    ASSERT_TRUE(CryptHashData(copy.get(), reinterpret_cast<const BYTE*>("c"), 1, 0));
    BYTE value[32];
    DWORD cb = sizeof value;
    ASSERT_TRUE(CryptGetHashParam(copy.get(), HP_HASHVAL, value, &cb, 0));
    EXPECT_EQ("66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0", Hex(ByteBuffer(value, value + cb)));
    EXPECT_FALSE(CryptHashData(copy.get(), reinterpret_cast<const BYTE*>("d"), 1, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_HASH_STATE), GetLastError());
}

TEST(TokenSm2, PublicBlobHasTheLayoutTheSystemReads)
{
    IsolatedStore store;
    TokenContainer container(SM2_PROV);
    struct BlobCase {
        ALG_ID algid;
        DWORD dwKeySpec;
        BYTE header[8];
    };
    for (const BlobCase& c : {BlobCase{SM2_KEYX, AT_KEYEXCHANGE, {0x06, 0x02, 0, 0, 0x00, 0xBE, 0, 0}},
                              BlobCase{SM2_SIGN, AT_SIGNATURE, {0x06, 0x02, 0, 0, 0x00, 0x3E, 0, 0}}}) {
        SCOPED_TRACE(c.algid);
        ASSERT_EQ(0u, container.GenKey(c.algid, 256 << 16));
        ByteBuffer blob = container.PublicBlob(c.dwKeySpec);
        ASSERT_EQ(140u, blob.size());
        EXPECT_EQ(ByteBuffer(c.header, c.header + 8), ByteBuffer(blob.begin(), blob.begin() + 8));
        EXPECT_EQ((ByteBuffer{0x00, 0x01, 0x00, 0x00}), ByteBuffer(blob.begin() + 8, blob.begin() + 12));
        EXPECT_EQ(ByteBuffer(32, 0), ByteBuffer(blob.begin() + 44, blob.begin() + 76));
        EXPECT_EQ(ByteBuffer(32, 0), ByteBuffer(blob.begin() + 108, blob.end()));
        // The point must lie on the curve: OpenSSL refuses it otherwise.
        EXPECT_TRUE(Sm2KeyFromBlob(blob));
    }
}

TEST(TokenSm2, SignatureVerifiesWithOpenSslAndTamperingBreaksIt)
{
    IsolatedStore store;
    TokenContainer container(SM2_PROV);
    ASSERT_EQ(0u, container.GenKey(SM2_SIGN, 256 << 16));
    ASSERT_EQ(0u, container.GenKey(SM2_KEYX, 0));
    for (DWORD dwKeySpec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
        SCOPED_TRACE(dwKeySpec);
        PKey pub = Sm2KeyFromBlob(container.PublicBlob(dwKeySpec));
        ASSERT_TRUE(pub);
        ByteBuffer data(20000);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 31);
        ByteBuffer sig;
        ASSERT_EQ(0u, SignThroughToken(container.Prov(), SM3, dwKeySpec, data, sig));
        ASSERT_EQ(64u, sig.size());
        ByteBuffer rs = Reversed(sig.data(), 32);
        Append(rs, Reversed(sig.data() + 32, 32));
        EXPECT_TRUE(Sm2Verify(pub.get(), data, rs));
        ByteBuffer tamperedSig = rs;
        tamperedSig[40] ^= 0x01;
        EXPECT_FALSE(Sm2Verify(pub.get(), data, tamperedSig));
        ByteBuffer tamperedData = data;
        tamperedData[0] ^= 0x80;
        EXPECT_FALSE(Sm2Verify(pub.get(), tamperedData, rs));
        // r and s not reversed: what a token returning big-endian would give.
        EXPECT_FALSE(Sm2Verify(pub.get(), data, sig));
    }
}

TEST(TokenSm2, KeysSurviveTheContextAndReachOtherHandles)
{
    IsolatedStore store;
    TokenContainer container(SM2_PROV);
    ASSERT_EQ(0u, container.GenKey(SM2_SIGN, 256 << 16));
    ByteBuffer blob = container.PublicBlob(AT_SIGNATURE);
    CryptProv other;
    ASSERT_EQ(0u, Acquire(other, container.Name(), SM2_PROV, 0));
    ByteBuffer sig;
    ASSERT_EQ(0u, SignThroughToken(other.get(), SM3, AT_SIGNATURE, ByteBuffer{1, 2, 3}, sig));
    ByteBuffer rs = Reversed(sig.data(), 32);
    Append(rs, Reversed(sig.data() + 32, 32));
    EXPECT_TRUE(Sm2Verify(Sm2KeyFromBlob(blob).get(), ByteBuffer{1, 2, 3}, rs));
    CryptKey missing;
    EXPECT_FALSE(CryptGetUserKey(other.get(), AT_KEYEXCHANGE, missing.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), GetLastError());
}

TEST(TokenRsa, KeyLengthsFrom512To4096InStepsOf8)
{
    IsolatedStore store;
    TokenContainer container(RSA_PROV);
    struct LengthCase {
        DWORD dwBits;
        DWORD dwWant;
    };
    for (const LengthCase& c : std::vector<LengthCase>{{512, 0}, {1032, 0}, {2048, 0}, {504, (DWORD)NTE_BAD_FLAGS},
                                                       {4104, (DWORD)NTE_BAD_FLAGS}, {1025, (DWORD)NTE_BAD_FLAGS},
                                                       {0, 0}, {4096, 0}}) {
        SCOPED_TRACE(c.dwBits);
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(c.dwWant, container.GenKey(AT_KEYEXCHANGE, c.dwBits << 16));
        if (c.dwWant != 0) continue;
        ByteBuffer blob = container.PublicBlob(AT_KEYEXCHANGE);
        DWORD dwBits = c.dwBits == 0 ? 1024 : c.dwBits;
        ASSERT_EQ(20 + dwBits / 8, blob.size());
        EXPECT_EQ((ByteBuffer{0x06, 0x02, 0, 0, 0x00, 0xA4, 0, 0, 'R', 'S', 'A', '1'}), ByteBuffer(blob.begin(), blob.begin() + 12));
        PKey pub = RsaKeyFromBlob(blob);
        ASSERT_TRUE(pub);
        EXPECT_EQ(static_cast<int>(dwBits), EVP_PKEY_get_bits(pub.get()));
        printf("RSA %lu-bit key generated in %lld ms\n", dwBits,
               static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count()));
    }
}

TEST(TokenRsa, SignaturesVerifyWithOpenSslThroughThePublicKeyInfo)
{
    IsolatedStore store;
    TokenContainer container(RSA_PROV);
    ASSERT_EQ(0u, container.GenKey(AT_SIGNATURE, 3072 << 16));
    // What the system's request writer does: the public key info export of crypt32.
    DWORD cb = 0;
    ASSERT_TRUE(CryptExportPublicKeyInfo(container.Prov(), AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &cb)) << std::hex << GetLastError();
    ByteBuffer info(cb);
    auto* pInfo = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data());
    ASSERT_TRUE(CryptExportPublicKeyInfo(container.Prov(), AT_SIGNATURE, X509_ASN_ENCODING, pInfo, &cb));
    EXPECT_STREQ(szOID_RSA_RSA, pInfo->Algorithm.pszObjId);
    const unsigned char* p = pInfo->PublicKey.pbData;
    PKey pub(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(pInfo->PublicKey.cbData)));
    ASSERT_TRUE(pub);
    EXPECT_EQ(3072, EVP_PKEY_get_bits(pub.get()));
    EXPECT_EQ(RsaModulusOf(pub.get()), RsaModulusOf(RsaKeyFromBlob(container.PublicBlob(AT_SIGNATURE)).get()));

    ByteBuffer data = {'r', 'e', 'q', 'u', 'e', 's', 't'};
    for (auto [algid, md] : {std::pair{CALG_SHA1, EVP_sha1()}, std::pair{CALG_MD5, EVP_md5()}}) {
        SCOPED_TRACE(algid);
        ByteBuffer sig;
        ASSERT_EQ(0u, SignThroughToken(container.Prov(), algid, AT_SIGNATURE, data, sig));
        ASSERT_EQ(384u, sig.size());
        EXPECT_TRUE(RsaVerifyPkcs1(pub.get(), md, data, Reversed(sig)));
        EXPECT_FALSE(RsaVerifyPkcs1(pub.get(), md, data, sig));
    }
}

TEST(TokenRsa, DecryptsLittleEndianPkcs1Blocks)
{
    IsolatedStore store;
    TokenContainer container(RSA_PROV);
    CryptKey key;
    ASSERT_EQ(0u, container.GenKey(AT_KEYEXCHANGE, 1024 << 16, &key));
    PKey pub = RsaKeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE));
    ByteBuffer secret(24);
    for (size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<BYTE>(0xA0 + i);
    ByteBuffer block = Reversed(RsaEncryptPkcs1(pub.get(), secret));
    ASSERT_EQ(128u, block.size());
    DWORD cb = static_cast<DWORD>(block.size());
    ASSERT_TRUE(CryptDecrypt(key.get(), 0, TRUE, 0, block.data(), &cb)) << std::hex << GetLastError();
    EXPECT_EQ(secret, ByteBuffer(block.begin(), block.begin() + cb));

    // Big-endian input is a different number: the padding check fails.
    ByteBuffer wrongOrder = RsaEncryptPkcs1(pub.get(), secret);
    cb = static_cast<DWORD>(wrongOrder.size());
    EXPECT_FALSE(CryptDecrypt(key.get(), 0, TRUE, 0, wrongOrder.data(), &cb));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
    ByteBuffer shortBlock(100, 1);
    cb = 100;
    EXPECT_FALSE(CryptDecrypt(key.get(), 0, TRUE, 0, shortBlock.data(), &cb));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), GetLastError());
}

TEST(TokenSign, HashValueSetByTheCallerIsSignedAsGiven)
{
    IsolatedStore store;
    TokenContainer rsa(RSA_PROV), sm2(SM2_PROV);
    ASSERT_EQ(0u, rsa.GenKey(AT_SIGNATURE, 1024 << 16));
    ASSERT_EQ(0u, sm2.GenKey(SM2_SIGN, 256 << 16));
    struct DigestCase {
        TokenContainer* container;
        ALG_ID algid;
        size_t cbDigest;
    };
    for (const DigestCase& c : {DigestCase{&rsa, CALG_SHA1, 20}, DigestCase{&sm2, SM3, 32}}) {
        SCOPED_TRACE(c.algid);
        ByteBuffer digest(c.cbDigest);
        for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<BYTE>(i * 13 + 1);
        CryptHash hash;
        ASSERT_TRUE(CryptCreateHash(c.container->Prov(), c.algid, 0, 0, hash.put()));
        ASSERT_TRUE(CryptSetHashParam(hash.get(), HP_HASHVAL, digest.data(), 0));
        BYTE sig[128];
        DWORD cb = sizeof sig;
        ASSERT_TRUE(CryptSignHashW(hash.get(), AT_SIGNATURE, nullptr, 0, sig, &cb)) << std::hex << GetLastError();
        ByteBuffer raw(sig, sig + cb);
        PKey pub;
        ByteBuffer der;
        if (c.algid == SM3) {
            pub = Sm2KeyFromBlob(sm2.PublicBlob(AT_SIGNATURE));
            // DER of r and s, for OpenSSL's verification of a bare digest.
            ByteBuffer r = Reversed(raw.data(), 32), s2 = Reversed(raw.data() + 32, 32);
            auto integer = [](ByteBuffer v) {
                while (v.size() > 1 && v[0] == 0 && v[1] < 0x80) v.erase(v.begin());
                if (v[0] >= 0x80) v.insert(v.begin(), 0x00);
                ByteBuffer out{0x02, static_cast<BYTE>(v.size())};
                Append(out, v);
                return out;
            };
            ByteBuffer body = integer(r);
            Append(body, integer(s2));
            der = {0x30, static_cast<BYTE>(body.size())};
            Append(der, body);
        } else {
            pub = RsaKeyFromBlob(rsa.PublicBlob(AT_SIGNATURE));
            der = Reversed(raw);
        }
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pub.get(), nullptr), EVP_PKEY_CTX_free);
        ASSERT_EQ(1, EVP_PKEY_verify_init(ctx.get()));
        if (c.algid == CALG_SHA1) EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1());
        EXPECT_EQ(1, EVP_PKEY_verify(ctx.get(), der.data(), der.size(), digest.data(), digest.size()));
        digest[0] ^= 1;
        EXPECT_NE(1, EVP_PKEY_verify(ctx.get(), der.data(), der.size(), digest.data(), digest.size()));
    }
}
