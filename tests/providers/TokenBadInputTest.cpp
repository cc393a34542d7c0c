// tests/providers/TokenBadInputTest.cpp — malformed blobs, parameters and store files: each fails with
// the code a CSP sets and nothing crashes or changes.
#include "TokenTestKit.h"

#include <functional>

using namespace tokentest;

namespace {

DWORD Import(HCRYPTPROV hProv, const ByteBuffer& blob, DWORD dwFlags = 0, HCRYPTKEY hPubKey = 0)
{
    CryptKey key;
    return CryptImportKey(hProv, blob.data(), static_cast<DWORD>(blob.size()), hPubKey, dwFlags, key.put()) ? 0 : GetLastError();
}

void PutU32At(ByteBuffer& b, size_t pos, DWORD dw)
{
    for (int i = 0; i < 4; ++i) b[pos + i] = static_cast<BYTE>(dw >> (8 * i));
}

// The address field is as wide as a pointer of this process.
void PutAddressAt(ByteBuffer& b, size_t pos, const void* pv)
{
    const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(pv);
    for (size_t i = 0; i < sizeof(ULONG_PTR); ++i) b[pos + i] = static_cast<BYTE>(value >> (8 * i));
}

struct BlobCase {
    const char* pszName;
    std::function<void(ByteBuffer& blob, ByteBuffer& data)> edit;
    DWORD dwWant;
};

// Memory whose second page is inaccessible; the caller places data to end right at the boundary.
class GuardedPage {
public:
    GuardedPage()
    {
        m_pb = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD dwOld = 0;
        VirtualProtect(m_pb + 4096, 4096, PAGE_NOACCESS, &dwOld);
    }
    ~GuardedPage() { VirtualFree(m_pb, 0, MEM_RELEASE); }
    BYTE* EndOfFirstPage(size_t cb) { return m_pb + 4096 - cb; }

private:
    BYTE* m_pb = nullptr;
};

}  // namespace

TEST(TokenBadInput, Sm2KeySpecBlob)
{
    IsolatedStore store;
    TokenContainer container(SM2_PROV);
    ASSERT_EQ(0u, container.GenKey(SM2_KEYX, 256 << 16));
    CryptKey signKey;
    ASSERT_EQ(0u, container.GenKey(SM2_SIGN, 256 << 16, &signKey));
    ByteBuffer exchangeBlob = container.PublicBlob(AT_KEYEXCHANGE);
    PKey exchange = Sm2KeyFromBlob(exchangeBlob);
    PKey delivered = NewSm2Key();
    const ByteBuffer good = Sm2EncryptC1C3C2(exchange.get(), Sm2ScalarOf(delivered.get()));
    PKey stranger = NewSm2Key();
    const ByteBuffer forStranger = Sm2EncryptC1C3C2(stranger.get(), Sm2ScalarOf(delivered.get()));
    const ByteBuffer tooLong = Sm2EncryptC1C3C2(exchange.get(), ByteBuffer(33, 1));
    GuardedPage guarded;

    for (const BlobCase& c : std::vector<BlobCase>{
             {"a byte short", [](ByteBuffer& b, ByteBuffer&) { b.pop_back(); }, (DWORD)NTE_BAD_LEN},
             {"a byte over", [](ByteBuffer& b, ByteBuffer&) { b.push_back(0); }, (DWORD)NTE_BAD_LEN},
             {"blob type 6", [](ByteBuffer& b, ByteBuffer&) { b[0] = PUBLICKEYBLOB; }, (DWORD)NTE_BAD_TYPE},
             {"version 3", [](ByteBuffer& b, ByteBuffer&) { b[1] = 3; }, (DWORD)NTE_BAD_VER},
             {"reserved 0", [](ByteBuffer& b, ByteBuffer&) { b[2] = 0; }, (DWORD)NTE_BAD_DATA},
             {"first algid RSA", [](ByteBuffer& b, ByteBuffer&) { PutU32At(b, 4, CALG_RSA_KEYX); }, (DWORD)NTE_BAD_ALGID},
             {"second algid signature", [](ByteBuffer& b, ByteBuffer&) { PutU32At(b, 8, SM2_SIGN); }, (DWORD)NTE_BAD_ALGID},
             {"length 0", [](ByteBuffer& b, ByteBuffer&) { PutU32At(b, 12, 0); }, (DWORD)NTE_BAD_LEN},
             {"length not whole bytes", [](ByteBuffer& b, ByteBuffer&) { PutU32At(b, 12, 1023); }, (DWORD)NTE_BAD_LEN},
             {"one byte short", [](ByteBuffer& b, ByteBuffer&) { PutU32At(b, 12, 127 * 8); }, (DWORD)NTE_BAD_LEN},
             {"plaintext of 33 bytes", [&](ByteBuffer& b, ByteBuffer& d) { d = tooLong; b = Sm2KeySpecBlob(d); }, (DWORD)NTE_BAD_LEN},
             {"null address", [](ByteBuffer& b, ByteBuffer&) { PutAddressAt(b, 16, nullptr); }, (DWORD)NTE_BAD_DATA},
             {"address past readable memory",
              [&](ByteBuffer& b, ByteBuffer& d) {
                  BYTE* pb = guarded.EndOfFirstPage(100);
                  memcpy(pb, d.data(), 100);
                  PutAddressAt(b, 16, pb);
              },
              (DWORD)NTE_BAD_DATA},
             {"C1 off the curve", [](ByteBuffer&, ByteBuffer& d) { d[10] ^= 0x01; }, (DWORD)NTE_BAD_DATA},
             {"C3 changed", [](ByteBuffer&, ByteBuffer& d) { d[70] ^= 0x01; }, (DWORD)NTE_BAD_DATA},
             {"C2 changed", [](ByteBuffer&, ByteBuffer& d) { d[127] ^= 0x01; }, (DWORD)NTE_BAD_DATA},
             {"for another key", [&](ByteBuffer&, ByteBuffer& d) { d = forStranger; }, (DWORD)NTE_BAD_DATA},
             {"all zero", [](ByteBuffer&, ByteBuffer& d) { d.assign(d.size(), 0); }, (DWORD)NTE_BAD_DATA}}) {
        SCOPED_TRACE(c.pszName);
        ByteBuffer data = good;
        ByteBuffer blob = Sm2KeySpecBlob(data);
        c.edit(blob, data);
        EXPECT_EQ(c.dwWant, Import(container.Prov(), blob));
    }
    ByteBuffer data = good;
    ByteBuffer blob = Sm2KeySpecBlob(data);
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), Import(container.Prov(), blob, 0x100));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), Import(container.Prov(), blob, 0, signKey.get()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), Import(container.Prov(), ByteBuffer(blob.begin(), blob.begin() + 4)));
    CryptProv verify;
    ASSERT_EQ(0u, Acquire(verify, WString(), SM2_PROV, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), Import(verify.get(), blob));
    TokenContainer empty(SM2_PROV);
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), Import(empty.Prov(), blob));
    // Nothing of the above touched the key.
    EXPECT_EQ(exchangeBlob, container.PublicBlob(AT_KEYEXCHANGE));
}

TEST(TokenBadInput, RsaKeySpecBlobAndEnvelope)
{
    IsolatedStore store;
    TokenContainer container(RSA_PROV);
    ASSERT_EQ(0u, container.GenKey(AT_KEYEXCHANGE, 1024 << 16));
    ByteBuffer exchangeBlob = container.PublicBlob(AT_KEYEXCHANGE);
    PKey exchange = RsaKeyFromBlob(exchangeBlob);
    PKey delivered = NewRsaKey(1024);
    ByteBuffer key24(24, 0x42);
    const ByteBuffer session = RsaEncryptPkcs1(exchange.get(), key24);
    const ByteBuffer encrypted = TripleDesEcbEncrypt(key24, Pkcs1PrivateKeyOf(delivered.get()));
    const ByteBuffer good = RsaEnvelopeDer(session, encrypted);
    auto withBody = [](const ByteBuffer& body) {
        ByteBuffer der{0x30, static_cast<BYTE>(body.size())};
        Append(der, body);
        return der;
    };
    const ByteBuffer rsaOid{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    const ByteBuffer symOid{0x06, 0x09, 0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07};

    for (const BlobCase& c : std::vector<BlobCase>{
             {"a byte short", [](ByteBuffer& b, ByteBuffer&) { b.pop_back(); }, (DWORD)NTE_BAD_LEN},
             {"blob type 1", [](ByteBuffer& b, ByteBuffer&) { b[0] = SIMPLEBLOB; }, (DWORD)NTE_BAD_TYPE},
             {"version 1", [](ByteBuffer& b, ByteBuffer&) { b[1] = 1; }, (DWORD)NTE_BAD_VER},
             {"reserved 2", [](ByteBuffer& b, ByteBuffer&) { b[2] = 2; }, (DWORD)NTE_BAD_DATA},
             {"algid SM2", [](ByteBuffer& b, ByteBuffer&) { PutU32At(b, 8, SM2_KEYX); }, (DWORD)NTE_BAD_ALGID},
             {"length not whole bytes", [](ByteBuffer& b, ByteBuffer& d) { PutU32At(b, 16, static_cast<DWORD>(d.size() * 8 - 3)); }, (DWORD)NTE_BAD_LEN},
             {"null address", [](ByteBuffer& b, ByteBuffer&) { PutAddressAt(b, 20, nullptr); }, (DWORD)NTE_BAD_DATA},
             {"length one short of the DER", [](ByteBuffer& b, ByteBuffer& d) { PutU32At(b, 16, static_cast<DWORD>(d.size() * 8 - 8)); }, (DWORD)NTE_BAD_DATA},
             {"trailing byte", [](ByteBuffer& b, ByteBuffer& d) { d.push_back(0); b = RsaKeySpecBlob(1024, d); }, (DWORD)NTE_BAD_DATA},
             {"not a SEQUENCE", [](ByteBuffer&, ByteBuffer& d) { d[0] = 0x31; }, (DWORD)NTE_BAD_DATA},
             {"version 2", [&](ByteBuffer& b, ByteBuffer& d) {
                  d = good;
                  d[d[1] & 0x80 ? 2 + (d[1] & 0x7F) + 2 : 4] = 2;
                  b = RsaKeySpecBlob(1024, d);
              }, (DWORD)NTE_BAD_VER},
             {"symmetric OID of another cipher", [&](ByteBuffer& b, ByteBuffer& d) {
                  ByteBuffer body{0x02, 0x01, 0x01};
                  Append(body, rsaOid);
                  Append(body, rsaOid);
                  Append(body, {0x04, 0x00, 0x04, 0x01, 0x00});
                  d = withBody(body);
                  b = RsaKeySpecBlob(1024, d);
              }, (DWORD)NTE_BAD_ALGID},
             {"four elements", [&](ByteBuffer& b, ByteBuffer& d) {
                  ByteBuffer body{0x02, 0x01, 0x01};
                  Append(body, rsaOid);
                  Append(body, symOid);
                  Append(body, {0x04, 0x00});
                  d = withBody(body);
                  b = RsaKeySpecBlob(1024, d);
              }, (DWORD)NTE_BAD_DATA},
             {"empty private key", [&](ByteBuffer& b, ByteBuffer& d) { d = RsaEnvelopeDer(session, {}); b = RsaKeySpecBlob(1024, d); }, (DWORD)NTE_BAD_DATA},
             {"session key of 100 bytes", [&](ByteBuffer& b, ByteBuffer& d) { d = RsaEnvelopeDer(ByteBuffer(100, 1), encrypted); b = RsaKeySpecBlob(1024, d); }, (DWORD)NTE_BAD_LEN},
             {"blocks not whole", [&](ByteBuffer& b, ByteBuffer& d) { d = RsaEnvelopeDer({}, ByteBuffer(200, 1)); b = RsaKeySpecBlob(1024, d); }, (DWORD)NTE_BAD_LEN},
             {"private key not whole 3DES blocks", [&](ByteBuffer& b, ByteBuffer& d) {
                  d = RsaEnvelopeDer(session, ByteBuffer(encrypted.begin(), encrypted.end() - 1));
                  b = RsaKeySpecBlob(1024, d);
              }, (DWORD)NTE_BAD_DATA},
             {"session key byte-reversed", [&](ByteBuffer& b, ByteBuffer& d) { d = RsaEnvelopeDer(Reversed(session), encrypted); b = RsaKeySpecBlob(1024, d); }, (DWORD)NTE_BAD_DATA}}) {
        SCOPED_TRACE(c.pszName);
        ByteBuffer data = good;
        ByteBuffer blob = RsaKeySpecBlob(1024, data);
        c.edit(blob, data);
        EXPECT_EQ(c.dwWant, Import(container.Prov(), blob));
    }
    EXPECT_EQ(exchangeBlob, container.PublicBlob(AT_KEYEXCHANGE));
}

TEST(TokenBadInput, PrivateKeyBlob)
{
    IsolatedStore store;
    TokenContainer container(RSA_PROV);
    PKey delivered = NewRsaKey(1024);
    const ByteBuffer good = PrivateKeyBlobOf(delivered.get());
    ASSERT_EQ(596u, good.size());
    for (const BlobCase& c : std::vector<BlobCase>{
             {"header only", [](ByteBuffer& b, ByteBuffer&) { b.resize(8); }, (DWORD)NTE_BAD_LEN},
             {"one byte short", [](ByteBuffer& b, ByteBuffer&) { b.pop_back(); }, (DWORD)NTE_BAD_LEN},
             {"one byte long", [](ByteBuffer& b, ByteBuffer&) { b.push_back(0); }, (DWORD)NTE_BAD_LEN},
             {"public key magic", [](ByteBuffer& b, ByteBuffer&) { b[11] = '1'; }, (DWORD)NTE_BAD_DATA},
             {"algid 3DES", [](ByteBuffer& b, ByteBuffer&) { PutU32At(b, 4, CALG_3DES); }, (DWORD)NTE_BAD_ALGID},
             {"bit length 1040", [](ByteBuffer& b, ByteBuffer&) { PutU32At(b, 12, 1040); }, (DWORD)NTE_BAD_LEN},
             {"bit length 100", [](ByteBuffer& b, ByteBuffer&) { PutU32At(b, 12, 100); }, (DWORD)NTE_BAD_DATA},
             {"exponent 0", [](ByteBuffer& b, ByteBuffer&) { PutU32At(b, 16, 0); }, (DWORD)NTE_BAD_DATA},
             {"modulus changed", [](ByteBuffer& b, ByteBuffer&) { b[25] ^= 0x10; }, (DWORD)NTE_BAD_DATA},
             {"private exponent changed", [](ByteBuffer& b, ByteBuffer&) { b[500] ^= 0x10; }, (DWORD)NTE_BAD_DATA},
             {"coefficient changed", [](ByteBuffer& b, ByteBuffer&) { b[20 + 128 + 4 * 64] ^= 0x01; }, (DWORD)NTE_BAD_DATA},
             {"all zero body", [](ByteBuffer& b, ByteBuffer&) { std::fill(b.begin() + 20, b.end(), 0); }, (DWORD)NTE_BAD_DATA}}) {
        SCOPED_TRACE(c.pszName);
        ByteBuffer blob = good, unused;
        c.edit(blob, unused);
        EXPECT_EQ(c.dwWant, Import(container.Prov(), blob));
    }
    CryptKey none;
    EXPECT_FALSE(CryptGetUserKey(container.Prov(), AT_KEYEXCHANGE, none.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), GetLastError());
    // The SM2 token takes no RSA blob at all.
    TokenContainer sm2(SM2_PROV);
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), Import(sm2.Prov(), good));
}

TEST(TokenBadInput, CertificateWithoutItsLength)
{
    IsolatedStore store;
    TokenContainer container(SM2_PROV);
    CryptKey key;
    ASSERT_EQ(0u, container.GenKey(SM2_SIGN, 256 << 16, &key));
    struct CertCase {
        const char* pszName;
        ByteBuffer der;
    };
    for (const CertCase& c : std::vector<CertCase>{
             {"SET instead of SEQUENCE", {0x31, 0x05, 0x30, 0x03, 0x02, 0x01, 0x00}},
             {"indefinite length", {0x30, 0x80, 0x30, 0x03, 0x02, 0x01, 0x00, 0x00, 0x00}},
             {"five length octets", {0x30, 0x85, 0x00, 0x00, 0x00, 0x00, 0x05, 0x30, 0x03, 0x02, 0x01, 0x00}},
             {"first element not a SEQUENCE", {0x30, 0x03, 0x02, 0x01, 0x00}},
             {"inner element runs over", {0x30, 0x04, 0x30, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00}},
             {"trailing garbage inside", {0x30, 0x06, 0x30, 0x00, 0x02, 0x05, 0x00, 0x00}},
             {"empty", {0x30, 0x00}}}) {
        SCOPED_TRACE(c.pszName);
        EXPECT_FALSE(CryptSetKeyParam(key.get(), KP_CERTIFICATE, c.der.data(), 0));
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
    }
    // A header that promises more than the readable memory holds.
    GuardedPage guarded;
    BYTE* pb = guarded.EndOfFirstPage(8);
    const BYTE header[8] = {0x30, 0x82, 0x10, 0x00, 0x30, 0x82, 0x0F, 0xFC};
    memcpy(pb, header, sizeof header);
    EXPECT_FALSE(CryptSetKeyParam(key.get(), KP_CERTIFICATE, pb, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
    pb = guarded.EndOfFirstPage(1);
    *pb = 0x30;
    EXPECT_FALSE(CryptSetKeyParam(key.get(), KP_CERTIFICATE, pb, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
    const BYTE good[] = {0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x00};
    EXPECT_FALSE(CryptSetKeyParam(key.get(), KP_CERTIFICATE, good, 1));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), GetLastError());
    EXPECT_FALSE(CryptSetKeyParam(key.get(), KP_SALT, good, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_TYPE), GetLastError());
    DWORD cb = 0;
    EXPECT_FALSE(CryptGetKeyParam(key.get(), KP_CERTIFICATE, nullptr, &cb, 0));
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_NO_SUCH_CERTIFICATE), GetLastError());
}

TEST(TokenBadInput, KeyHashAndProviderParameters)
{
    IsolatedStore store;
    TokenContainer sm2(SM2_PROV), rsa(RSA_PROV);
    CryptKey sm2Key, rsaKey;
    ASSERT_EQ(0u, sm2.GenKey(SM2_SIGN, 0, &sm2Key));
    ASSERT_EQ(0u, rsa.GenKey(AT_KEYEXCHANGE, 512 << 16, &rsaKey));
    CryptProv verify;
    ASSERT_EQ(0u, Acquire(verify, WString(), SM2_PROV, CRYPT_VERIFYCONTEXT));
    CryptKey k;
    CryptHash h;
    BYTE buf[600];
    DWORD cb = sizeof buf;
    struct CallCase {
        const char* pszName;
        std::function<BOOL()> call;
        DWORD dwWant;
    };
    for (const CallCase& c : std::vector<CallCase>{
             {"SM2 key with an RSA algid", [&] { return CryptGenKey(sm2.Prov(), CALG_RSA_KEYX, 0, k.put()); }, (DWORD)NTE_BAD_ALGID},
             {"SM2 key of 512 bits", [&] { return CryptGenKey(sm2.Prov(), SM2_KEYX, 512 << 16, k.put()); }, (DWORD)NTE_BAD_FLAGS},
             {"unknown generation flag", [&] { return CryptGenKey(sm2.Prov(), SM2_KEYX, 0x0100, k.put()); }, (DWORD)NTE_BAD_FLAGS},
             {"RSA key with a 3DES algid", [&] { return CryptGenKey(rsa.Prov(), CALG_3DES, 0, k.put()); }, (DWORD)NTE_BAD_ALGID},
             {"key without a container", [&] { return CryptGenKey(verify.get(), SM2_KEYX, 0, k.put()); }, (DWORD)NTE_BAD_KEYSET},
             {"SHA-1 on the SM2 token", [&] { return CryptCreateHash(sm2.Prov(), CALG_SHA1, 0, 0, h.put()); }, (DWORD)NTE_BAD_ALGID},
             {"SM3 on the RSA token", [&] { return CryptCreateHash(rsa.Prov(), SM3, 0, 0, h.put()); }, (DWORD)NTE_BAD_ALGID},
             {"hash flags", [&] { return CryptCreateHash(sm2.Prov(), SM3, 0, 1, h.put()); }, (DWORD)NTE_BAD_FLAGS},
             {"user key spec 3", [&] { return CryptGetUserKey(sm2.Prov(), 3, k.put()); }, (DWORD)NTE_BAD_KEY},
             {"missing exchange key", [&] { return CryptGetUserKey(sm2.Prov(), AT_KEYEXCHANGE, k.put()); }, (DWORD)NTE_NO_KEY},
             {"private key export", [&] { return CryptExportKey(sm2Key.get(), 0, PRIVATEKEYBLOB, 0, buf, &(cb = sizeof buf)); }, (DWORD)NTE_BAD_KEY_STATE},
             {"simple blob export", [&] { return CryptExportKey(rsaKey.get(), 0, SIMPLEBLOB, 0, buf, &(cb = sizeof buf)); }, (DWORD)NTE_BAD_TYPE},
             {"export flags", [&] { return CryptExportKey(rsaKey.get(), 0, PUBLICKEYBLOB, 1, buf, &(cb = sizeof buf)); }, (DWORD)NTE_BAD_FLAGS},
             {"export into 10 bytes", [&] { return CryptExportKey(sm2Key.get(), 0, PUBLICKEYBLOB, 0, buf, &(cb = 10)); }, (DWORD)ERROR_MORE_DATA},
             {"unknown provider parameter", [&] { return CryptGetProvParam(sm2.Prov(), PP_KEYSET_SEC_DESCR, buf, &(cb = sizeof buf), 0); }, (DWORD)NTE_BAD_TYPE},
             {"enumeration flags", [&] { return CryptGetProvParam(sm2.Prov(), PP_ENUMCONTAINERS, buf, &(cb = sizeof buf), 0x100); }, (DWORD)NTE_BAD_FLAGS},
             {"name into 5 bytes", [&] { return CryptGetProvParam(sm2.Prov(), PP_NAME, buf, &(cb = 5), 0); }, (DWORD)ERROR_MORE_DATA},
             {"decrypt with SM2", [&] { return CryptDecrypt(sm2Key.get(), 0, TRUE, 0, buf, &(cb = 64)); }, (DWORD)NTE_BAD_ALGID},
             {"decrypt flags", [&] { return CryptDecrypt(rsaKey.get(), 0, TRUE, 0x80, buf, &(cb = 64)); }, (DWORD)NTE_BAD_FLAGS},
             {"decrypt not final", [&] { return CryptDecrypt(rsaKey.get(), 0, FALSE, 0, buf, &(cb = 64)); }, (DWORD)NTE_BAD_DATA}}) {
        SCOPED_TRACE(c.pszName);
        SetLastError(0);
        EXPECT_FALSE(c.call());
        EXPECT_EQ(c.dwWant, GetLastError());
    }
    cb = 10;
    EXPECT_FALSE(CryptExportKey(sm2Key.get(), 0, PUBLICKEYBLOB, 0, buf, &cb));
    EXPECT_EQ(140u, cb) << "a short export reports the size it needs";

    CryptHash hash;
    ASSERT_TRUE(CryptCreateHash(sm2.Prov(), SM3, 0, 0, hash.put()));
    ASSERT_TRUE(CryptHashData(hash.get(), buf, 10, 0));
    EXPECT_FALSE(CryptHashData(hash.get(), buf, 10, 1));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), GetLastError());
    EXPECT_FALSE(CryptSignHashW(hash.get(), AT_SIGNATURE, nullptr, CRYPT_NOHASHOID, buf, &(cb = sizeof buf)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), GetLastError());
    EXPECT_FALSE(CryptSignHashW(hash.get(), AT_KEYEXCHANGE, nullptr, 0, buf, &(cb = sizeof buf)));
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), GetLastError());
    EXPECT_FALSE(CryptSignHashW(hash.get(), AT_SIGNATURE, nullptr, 0, buf, &(cb = 63)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(64u, cb);
}

TEST(TokenBadInput, DamagedStoreFileFailsWithoutCrashing)
{
    IsolatedStore store;
    {
        TokenContainer container(SM2_PROV, TEXT("keep"));
        CryptKey key;
        ASSERT_EQ(0u, container.GenKey(SM2_SIGN, 0, &key));
        const BYTE cert[] = {0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x07};
        ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_CERTIFICATE, cert, 0));
        key.reset();
        container.Release();
        WString path = store.Dir() + TEXT("\\SM2Token.tok");
        HANDLE hFile = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
        ByteBuffer whole(4096);
        DWORD cbRead = 0;
        ReadFile(hFile, whole.data(), static_cast<DWORD>(whole.size()), &cbRead, nullptr);
        CloseHandle(hFile);
        whole.resize(cbRead);
        ASSERT_GT(whole.size(), 60u);

        CryptProv keepLoaded;
        ASSERT_EQ(0u, Acquire(keepLoaded, WString(), SM2_PROV, CRYPT_VERIFYCONTEXT));
        auto writeStore = [&](const ByteBuffer& bytes) {
            HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            DWORD cbWritten = 0;
            WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &cbWritten, nullptr);
            CloseHandle(h);
        };
        // Every truncation and a flipped length byte: the token refuses the store, never misreads it.
        for (size_t cb = 0; cb < whole.size(); ++cb) {
            SCOPED_TRACE(cb);
            writeStore(ByteBuffer(whole.begin(), whole.begin() + static_cast<long>(cb)));
            EXPECT_EQ(static_cast<DWORD>(NTE_FAIL), AcquireRaw(TEXT("keep"), SM2_PROV, 0));
        }
        ByteBuffer bigCount = whole;
        bigCount[8] = 0xFF;
        writeStore(bigCount);
        EXPECT_EQ(static_cast<DWORD>(NTE_FAIL), AcquireRaw(TEXT("keep"), SM2_PROV, 0));
        writeStore(whole);
        EXPECT_EQ(0u, AcquireRaw(TEXT("keep"), SM2_PROV, 0));
    }
}
