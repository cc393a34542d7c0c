// tests/providers/TokenImportTest.cpp — delivered keys: the SM2 and RSA key-spec blobs and the
// platform's PRIVATEKEYBLOB, each made with OpenSSL for the container's exchange key.
#include "TokenTestKit.h"

using namespace tokentest;

namespace {

DWORD ImportBlob(HCRYPTPROV hProv, const ByteBuffer& blob, DWORD dwFlags = 0)
{
    CryptKey key;
    return CryptImportKey(hProv, blob.data(), static_cast<DWORD>(blob.size()), 0, dwFlags, key.put()) ? 0 : GetLastError();
}

ByteBuffer C1C2C3Of(const ByteBuffer& c1c3c2)
{
    ByteBuffer out(c1c3c2.begin(), c1c3c2.begin() + 64);
    Append(out, ByteBuffer(c1c3c2.begin() + 96, c1c3c2.end()));
    Append(out, ByteBuffer(c1c3c2.begin() + 64, c1c3c2.begin() + 96));
    return out;
}

// Private key in PKCS#1 v1.5 blocks for the exchange key, as sent when there is no session key.
ByteBuffer BlocksFor(EVP_PKEY* exchange, const ByteBuffer& plain)
{
    size_t cbChunk = static_cast<size_t>(EVP_PKEY_get_size(exchange)) - 11;
    ByteBuffer out;
    for (size_t pos = 0; pos < plain.size(); pos += cbChunk) {
        ByteBuffer chunk(plain.begin() + static_cast<long>(pos),
                         plain.begin() + static_cast<long>(std::min(plain.size(), pos + cbChunk)));
        Append(out, RsaEncryptPkcs1(exchange, chunk));
    }
    return out;
}

}  // namespace

TEST(TokenImport, Sm2CiphertextInC1C3C2OrderReplacesTheExchangeKey)
{
    IsolatedStore store;
    TokenContainer container(SM2_PROV);
    ASSERT_EQ(0u, container.GenKey(SM2_KEYX, 256 << 16));
    ASSERT_EQ(0u, container.GenKey(SM2_SIGN, 256 << 16));
    ByteBuffer signBefore = container.PublicBlob(AT_SIGNATURE);
    PKey exchange = Sm2KeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE));
    PKey delivered = NewSm2Key();
    ByteBuffer c1c3c2 = Sm2EncryptC1C3C2(exchange.get(), Sm2ScalarOf(delivered.get()));
    ASSERT_EQ(128u, c1c3c2.size());

    // The other order carries the same information, but the token accepts only C1 C3 C2.
    ByteBuffer c1c2c3 = C1C2C3Of(c1c3c2);
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), ImportBlob(container.Prov(), Sm2KeySpecBlob(c1c2c3)));
    EXPECT_EQ(Sm2PointOf(exchange.get()), Sm2PointOf(Sm2KeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE)).get()));

    CryptKey imported;
    ByteBuffer blob = Sm2KeySpecBlob(c1c3c2);
    ASSERT_TRUE(CryptImportKey(container.Prov(), blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, imported.put())) << std::hex << GetLastError();
    DWORD algid = 0, cb = sizeof algid;
    EXPECT_TRUE(CryptGetKeyParam(imported.get(), KP_ALGID, reinterpret_cast<BYTE*>(&algid), &cb, 0));
    EXPECT_EQ(SM2_KEYX, algid);
    container.Release();
    ASSERT_EQ(0u, container.Open());
    EXPECT_EQ(Sm2PointOf(delivered.get()), Sm2PointOf(Sm2KeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE)).get()));
    EXPECT_EQ(signBefore, container.PublicBlob(AT_SIGNATURE));

    // The exchange key is now the delivered one: a ciphertext for the old key no longer opens.
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), ImportBlob(container.Prov(), blob));
}

TEST(TokenImport, Sm2ContainerOpenedWithVerifyContextTakesTheKey)
{
    IsolatedStore store;
    TokenContainer container(SM2_PROV);
    ASSERT_EQ(0u, container.GenKey(SM2_KEYX, 256 << 16));
    PKey exchange = Sm2KeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE));
    container.Release();
    PKey delivered = NewSm2Key();
    ByteBuffer c1c3c2 = Sm2EncryptC1C3C2(exchange.get(), Sm2ScalarOf(delivered.get()));
    CryptProv prov;
    ASSERT_EQ(0u, Acquire(prov, container.Name(), SM2_PROV, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(0u, ImportBlob(prov.get(), Sm2KeySpecBlob(c1c3c2)));
    prov.reset();
    ASSERT_EQ(0u, container.Open());
    EXPECT_EQ(Sm2PointOf(delivered.get()), Sm2PointOf(Sm2KeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE)).get()));
}

TEST(TokenImport, RsaEnvelopeWithAndWithoutSessionKey)
{
    IsolatedStore store;
    PKey delivered = NewRsaKey(2048);
    ByteBuffer pkcs1 = Pkcs1PrivateKeyOf(delivered.get());
    struct EnvelopeCase {
        const char* pszName;
        size_t cbSession;  // 0: no session key
    };
    for (const EnvelopeCase& c : {EnvelopeCase{"3DES session key", 24}, EnvelopeCase{"32-byte session key", 32},
                                  EnvelopeCase{"no session key", 0}}) {
        SCOPED_TRACE(c.pszName);
        TokenContainer container(RSA_PROV);
        ASSERT_EQ(0u, container.GenKey(AT_KEYEXCHANGE, 1024 << 16));
        PKey exchange = RsaKeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE));
        ByteBuffer der;
        if (c.cbSession != 0) {
            ByteBuffer session(c.cbSession);
            for (size_t i = 0; i < session.size(); ++i) session[i] = static_cast<BYTE>(0x31 * (i + 1));
            ByteBuffer key24(session.begin(), session.begin() + 24);
            der = RsaEnvelopeDer(RsaEncryptPkcs1(exchange.get(), session), TripleDesEcbEncrypt(key24, pkcs1));
        } else {
            der = RsaEnvelopeDer({}, BlocksFor(exchange.get(), pkcs1));
        }
        ASSERT_EQ(0u, ImportBlob(container.Prov(), RsaKeySpecBlob(2048, der)));
        container.Release();
        ASSERT_EQ(0u, container.Open());
        PKey now = RsaKeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE));
        ASSERT_TRUE(now);
        EXPECT_EQ(RsaModulusOf(delivered.get()), RsaModulusOf(now.get()));
        // The token really holds the private half: it signs for the delivered public key.
        ByteBuffer sig;
        ASSERT_EQ(0u, SignThroughToken(container.Prov(), CALG_SHA1, AT_KEYEXCHANGE, ByteBuffer{7, 7}, sig));
        EXPECT_TRUE(RsaVerifyPkcs1(delivered.get(), EVP_sha1(), ByteBuffer{7, 7}, Reversed(sig)));
    }
}

TEST(TokenImport, RsaEnvelopeWithAWrongSessionKeyIsRefused)
{
    IsolatedStore store;
    PKey delivered = NewRsaKey(1024);
    ByteBuffer pkcs1 = Pkcs1PrivateKeyOf(delivered.get());
    TokenContainer container(RSA_PROV);
    ASSERT_EQ(0u, container.GenKey(AT_KEYEXCHANGE, 1024 << 16));
    ByteBuffer exchangeBlob = container.PublicBlob(AT_KEYEXCHANGE);
    PKey exchange = RsaKeyFromBlob(exchangeBlob);
    PKey stranger = NewRsaKey(1024);
    ByteBuffer key24(24, 0x5A), other24(24, 0xA5);
    struct WrongCase {
        const char* pszName;
        ByteBuffer der;
    };
    for (const WrongCase& c : std::vector<WrongCase>{
             {"session key for another key", RsaEnvelopeDer(RsaEncryptPkcs1(stranger.get(), key24), TripleDesEcbEncrypt(key24, pkcs1))},
             {"private key under another session key", RsaEnvelopeDer(RsaEncryptPkcs1(exchange.get(), key24), TripleDesEcbEncrypt(other24, pkcs1))},
             {"session key of 16 bytes", RsaEnvelopeDer(RsaEncryptPkcs1(exchange.get(), ByteBuffer(16, 1)), TripleDesEcbEncrypt(key24, pkcs1))},
             {"blocks for another key", RsaEnvelopeDer({}, BlocksFor(stranger.get(), pkcs1))},
             {"plain key, not encrypted", RsaEnvelopeDer(RsaEncryptPkcs1(exchange.get(), key24), pkcs1)}}) {
        SCOPED_TRACE(c.pszName);
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), ImportBlob(container.Prov(), RsaKeySpecBlob(1024, c.der)));
        EXPECT_EQ(exchangeBlob, container.PublicBlob(AT_KEYEXCHANGE));
    }
}

TEST(TokenImport, PlainPrivateKeyBlobInstallsTheKey)
{
    IsolatedStore store;
    TokenContainer container(RSA_PROV);
    ASSERT_EQ(0u, container.GenKey(AT_KEYEXCHANGE, 1024 << 16));
    for (auto [algid, dwKeySpec] : {std::pair{CALG_RSA_KEYX, AT_KEYEXCHANGE}, std::pair{CALG_RSA_SIGN, AT_SIGNATURE}}) {
        SCOPED_TRACE(algid);
        PKey delivered = NewRsaKey(1024);
        ASSERT_EQ(0u, ImportBlob(container.Prov(), PrivateKeyBlobOf(delivered.get(), algid), CRYPT_EXPORTABLE));
        EXPECT_EQ(RsaModulusOf(delivered.get()), RsaModulusOf(RsaKeyFromBlob(container.PublicBlob(dwKeySpec)).get()));
        ByteBuffer sig;
        ASSERT_EQ(0u, SignThroughToken(container.Prov(), CALG_MD5, dwKeySpec, ByteBuffer{1}, sig));
        EXPECT_TRUE(RsaVerifyPkcs1(delivered.get(), EVP_md5(), ByteBuffer{1}, Reversed(sig)));
    }
}
