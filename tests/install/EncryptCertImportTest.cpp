// Encryption-certificate import: the private-key blob of a PKCS#1 key, the key-spec blobs, the SM2
// reorderings, and imports into Microsoft containers and the stand-in tokens of envelopes made here as the
// authority makes them.
#include "../request/RequestTestSupport.h"
#include "TokenTestKit.h"
#include "agent/ResultCode.h"
#include "codec/Misc.h"
#include "install/ImportEncryptCert.h"
#include "trace/Trace.h"

#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <fstream>
#include <functional>

using namespace tokentest;
using reqtest::Hex;

namespace {

const WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
const WCHAR kAes[] = TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider");

ByteBuffer Tlv(BYTE tag, const ByteBuffer& contents)
{
    ByteBuffer out{tag};
    size_t cb = contents.size();
    if (cb >= 0x100) Append(out, {0x82, static_cast<BYTE>(cb >> 8), static_cast<BYTE>(cb)});
    else if (cb >= 0x80) Append(out, {0x81, static_cast<BYTE>(cb)});
    else out.push_back(static_cast<BYTE>(cb));
    Append(out, contents);
    return out;
}

std::string Number(size_t n) { std::string s = std::to_string(n); return std::string(16 - s.size(), '0') + s; }

// One envelope field: SEQUENCE {INTEGER 1, OCTET STRING material} in Base64 ending in ","; no material, no field.
std::string Field(const ByteBuffer& material)
{
    if (material.empty()) return Number(0);
    ByteBuffer body{0x02, 0x01, 0x01};
    Append(body, Tlv(0x04, material));
    ByteBuffer der = Tlv(0x30, body);
    std::string text;
    EXPECT_EQ(Base64EncodeEx(der.data(), static_cast<DWORD>(der.size()), text), QORA_OK);
    return Number(text.size() + 1) + text + ",";
}

WString Envelope(int nDevice, int nEncrypt, int nSessionType, const ByteBuffer& session, const ByteBuffer& key)
{
    std::string s = Number(nDevice) + Number(nEncrypt) + Number(nSessionType) + Field(session) + Field(key);
    return WString(s.begin(), s.end());
}

PKey NewRsa(int nBits, unsigned long ulExponent)
{
    std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr),
                                                             EVP_PKEY_CTX_free);
    std::unique_ptr<BIGNUM, void (*)(BIGNUM*)> e(BN_new(), BN_free);
    BN_set_word(e.get(), ulExponent);
    EVP_PKEY* p = nullptr;
    EVP_PKEY_keygen_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), nBits);
    EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get());
    EVP_PKEY_generate(ctx.get(), &p);
    return PKey(p);
}

// A certificate for the delivered key, issued by a key of the test's own; Base64 text and DER.
WString CertificateText(EVP_PKEY* subject, ByteBuffer& der)
{
    static PKey issuer = NewRsaKey(1024);
    std::unique_ptr<X509, void (*)(X509*)> x(X509_new(), X509_free);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), static_cast<long>(GetTickCount()));
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("encryption test"), -1, -1, 0);
    X509_set_issuer_name(x.get(), X509_get_subject_name(x.get()));
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
    X509_set_pubkey(x.get(), subject);
    X509_sign(x.get(), issuer.get(), EVP_sha256());
    unsigned char* p = nullptr;
    int cb = i2d_X509(x.get(), &p);
    der.assign(p, p + (cb > 0 ? cb : 0));
    OPENSSL_free(p);
    std::string text;
    EXPECT_EQ(Base64EncodeEx(der.data(), static_cast<DWORD>(der.size()), text), QORA_OK);
    return WString(text.begin(), text.end());
}

ByteBuffer RandomBytes(size_t cb) { ByteBuffer b(cb); RAND_bytes(b.data(), static_cast<int>(cb)); return b; }

// The classic envelope: a session key for the exchange key, the PKCS#1 key under its first 24 bytes.
WString ClassicEnvelope(EVP_PKEY* exchange, const ByteBuffer& pkcs1, size_t cbSession = 32)
{
    ByteBuffer session = RandomBytes(cbSession);
    return Envelope(1, 1, 306, RsaEncryptPkcs1(exchange, session),
                    TripleDesEcbEncrypt(ByteBuffer(session.begin(), session.begin() + 24), pkcs1));
}

ByteBuffer PublicBlobOf(HCRYPTPROV hProv, DWORD dwKeySpec)
{
    CryptKey key;
    DWORD cb = 0;
    if (!CryptGetUserKey(hProv, dwKeySpec, key.put()) || !CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, nullptr, &cb))
        return {};
    ByteBuffer blob(cb);
    CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, blob.data(), &cb);
    return blob;
}

ByteBuffer KeyCertificate(HCRYPTPROV hProv, DWORD dwKeySpec)
{
    CryptKey key;
    DWORD cb = 0;
    if (!CryptGetUserKey(hProv, dwKeySpec, key.put()) || !CryptGetKeyParam(key.get(), KP_CERTIFICATE, nullptr, &cb, 0))
        return {};
    ByteBuffer cert(cb);
    CryptGetKeyParam(key.get(), KP_CERTIFICATE, cert.data(), &cb, 0);
    return cert;
}

// Copies of the certificate in MY (deleted, committed) and the key-provider link of the last one.
int TakeFromMy(const ByteBuffer& cert, CRYPT_KEY_PROV_INFO* pInfo = nullptr, WString* pContainer = nullptr)
{
    CertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY")));
    std::vector<PCCERT_CONTEXT> found;
    for (PCCERT_CONTEXT p = nullptr; (p = CertEnumCertificatesInStore(store.get(), p)) != nullptr;)
        if (ByteBuffer(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded) == cert)
            found.push_back(CertDuplicateCertificateContext(p));
    for (PCCERT_CONTEXT p : found) {
        ByteBuffer info(1024);
        DWORD cb = static_cast<DWORD>(info.size());
        if (pInfo && CertGetCertificateContextProperty(p, CERT_KEY_PROV_INFO_PROP_ID, info.data(), &cb)) {
            *pInfo = *reinterpret_cast<CRYPT_KEY_PROV_INFO*>(info.data());
            *pContainer = pInfo->pwszContainerName;
        }
        CertDeleteCertificateFromStore(p);
    }
    CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
    return static_cast<int>(found.size());
}

// Trace lines written while fn runs (entries, exits and failures).
std::string Traced(const std::function<void()>& fn)
{
    WCHAR wszDir[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, wszDir);
    std::string path = Narrow(wszDir) + "bm_encrypt_import_trace.log";
    DeleteFileA(path.c_str());
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", path.c_str());
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", "0xA");
    TraceInitialize();
    fn();
    TraceUninitialize();
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", nullptr);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", nullptr);
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    DeleteFileA(path.c_str());
    return text;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

bool TokenRegistered(const WCHAR* pwszProv) { return AcquireRaw(nullptr, pwszProv, CRYPT_VERIFYCONTEXT) == 0; }

}  // namespace

TEST(EncryptCertImport, PrivateKeyBlobTakesShortComponentsZeroExtendedAndTheKeysExponent)
{
    const ByteBuffer n = Hex("00 C1 C2 C3 C4 C5 C6 C7 C8"), e = Hex("01 00 01"), d = Hex("61 62 63 64 65 66 67 68"),
                     p = Hex("11 12 13 14"), q = Hex("21 22 23 24"), dP = Hex("31 32 33 34"), dQ = Hex("41 42 43 44"),
                     qInv = Hex("51 52 53 54");
    auto key = [](std::vector<ByteBuffer> ints) {
        ByteBuffer body = Tlv(0x02, {0});
        for (const ByteBuffer& i : ints) Append(body, Tlv(0x02, i));
        return Tlv(0x30, body);
    };
    const ByteBuffer head = Hex("07 02 00 00 00 A4 00 00 52 53 41 32 40 00 00 00");
    struct Case {
        const char* pszName;
        ByteBuffer pkcs1;
        LONG lBits;
        HRESULT hWant;
        ByteBuffer want;
    };
    for (const Case& c : std::vector<Case>{
             {"full widths", key({n, e, d, p, q, dP, dQ, qInv}), 64, QORA_OK,
              reqtest::Concat({head, Hex("01 00 01 00 C8 C7 C6 C5 C4 C3 C2 C1 14 13 12 11 24 23 22 21 34 33 32 31"
                                         "44 43 42 41 54 53 52 51 68 67 66 65 64 63 62 61")})},
             {"d, dP, dQ and qInv one byte short, exponent 3",
              key({n, Hex("03"), Hex("62 63 64 65 66 67 68"), p, q, Hex("32 33 34"), Hex("42 43 44"), Hex("52 53 54")}),
              64, QORA_OK,
              reqtest::Concat({head, Hex("03 00 00 00 C8 C7 C6 C5 C4 C3 C2 C1 14 13 12 11 24 23 22 21 34 33 32 00"
                                         "44 43 42 00 54 53 52 00 68 67 66 65 64 63 62 00")})},
             {"modulus one byte short", key({Hex("C2 C3 C4 C5 C6 C7 C8"), e, d, p, q, dP, dQ, qInv}), 64,
              QORA_E_IMPORT_ENCRYPT_CERT, {}},
             {"a 64-bit key under a 128-bit setting", key({n, e, d, p, q, dP, dQ, qInv}), 128, QORA_E_IMPORT_ENCRYPT_CERT, {}},
             {"d one byte long", key({n, e, Hex("60 61 62 63 64 65 66 67 68"), p, q, dP, dQ, qInv}), 64,
              QORA_E_IMPORT_ENCRYPT_CERT, {}},
             {"p one byte long", key({n, e, d, Hex("10 11 12 13 14"), q, dP, dQ, qInv}), 64, QORA_E_IMPORT_ENCRYPT_CERT, {}},
             {"exponent wider than 32 bits", key({n, Hex("01 00 00 00 01"), d, p, q, dP, dQ, qInv}), 64,
              QORA_E_IMPORT_ENCRYPT_CERT, {}},
             {"exponent 0", key({n, Hex("00"), d, p, q, dP, dQ, qInv}), 64, QORA_E_IMPORT_ENCRYPT_CERT, {}},
             {"eight elements", key({n, e, d, p, q, dP, dQ}), 64, QORA_E_IMPORT_ENCRYPT_CERT, {}},
             {"not DER", Hex("05 00"), 64, QORA_E_IMPORT_ENCRYPT_CERT, {}},
             {"key length not whole bytes", key({n, e, d, p, q, dP, dQ, qInv}), 60, QORA_E_IMPORT_ENCRYPT_CERT, {}},
         }) {
        SCOPED_TRACE(c.pszName);
        ByteBuffer blob{0xEE};
        EXPECT_EQ(getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(c.pkcs1.data(), static_cast<DWORD>(c.pkcs1.size()), c.lBits,
                                                          blob),
                  c.hWant);
        EXPECT_EQ(reqtest::ToHex(blob), reqtest::ToHex(c.hWant == QORA_OK ? c.want : ByteBuffer{0xEE}));
    }
}

TEST(EncryptCertImport, KeySpecBlobsPointAtTheDeliveredBytes)
{
    ByteBuffer der(300), ciphertext(192);
    auto address = [](const void* pv) {
        ByteBuffer b;
        for (size_t i = 0; i < sizeof(void*); ++i) b.push_back(static_cast<BYTE>(reinterpret_cast<ULONG_PTR>(pv) >> (8 * i)));
        return b;
    };
    ByteBuffer rsa(kRSAKeySpecBlobBytes), sm2(kSM2KeySpecBlobBytes);
    FillRSAKeySpecBlob(rsa.data(), 2048, der.data(), 300);
    FillSM2KeySpecBlob(sm2.data(), ciphertext.data(), 192);
    EXPECT_EQ(reqtest::ToHex(rsa), reqtest::ToHex(reqtest::Concat(
                                       {Hex("07 02 01 00 00 A4 00 00 00 A4 00 00 00 08 00 00 60 09 00 00"), address(der.data())})));
    EXPECT_EQ(reqtest::ToHex(sm2), reqtest::ToHex(reqtest::Concat(
                                       {Hex("07 02 01 00 00 BE 00 00 00 BE 00 00 00 06 00 00"), address(ciphertext.data())})));
}

TEST(EncryptCertImport, Sm2CiphertextReorderings)
{
    ByteBuffer c1c3c2(192), c1c2c3;
    for (size_t i = 0; i < c1c3c2.size(); ++i) c1c3c2[i] = static_cast<BYTE>(i);
    for (size_t i = 0; i < 64; ++i) c1c2c3.push_back(static_cast<BYTE>(i));     // C1
    for (size_t i = 96; i < 192; ++i) c1c2c3.push_back(static_cast<BYTE>(i));   // C2
    for (size_t i = 64; i < 96; ++i) c1c2c3.push_back(static_cast<BYTE>(i));    // C3
    ByteBuffer out, back;
    ASSERT_EQ(ConvertC1C3C2ToC1C2C3(c1c3c2.data(), 192, out), QORA_OK);
    EXPECT_EQ(out, c1c2c3);
    ASSERT_EQ(ConvertC1C2C3ToC1C3C2(out.data(), 192, back), QORA_OK);
    EXPECT_EQ(back, c1c3c2);
    // 96 bytes hold an empty C2; fewer cannot hold C1 and C3.
    ASSERT_EQ(ConvertC1C3C2ToC1C2C3(c1c3c2.data(), 96, out), QORA_OK);
    EXPECT_EQ(out, ByteBuffer(c1c3c2.begin(), c1c3c2.begin() + 96));
    out = {0xEE};
    EXPECT_EQ(ConvertC1C3C2ToC1C2C3(c1c3c2.data(), 95, out), QORA_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(ConvertC1C2C3ToC1C3C2(c1c3c2.data(), 95, out), QORA_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(out, ByteBuffer{0xEE});
}

TEST(EncryptCertImport, ClassicImportReplacesTheExchangeKeyAndLinksTheCertificateInMy)
{
    struct Case {
        const WCHAR* pwszCSP;
        DWORD dwType;
        int nBits;
        unsigned long ulExponent;
        size_t cbSession;
    };
    for (const Case& c : std::vector<Case>{{kEnhanced, PROV_RSA_FULL, 1024, 65537, 32}, {kAes, PROV_RSA_AES, 2048, 3, 24}}) {
        SCOPED_TRACE(Narrow(c.pwszCSP));
        reqtest::ContainerSweeper sweeper(c.pwszCSP, c.dwType);
        const WString container = NewContainerName();
        CryptProv prov;
        CryptKey exchangeKey, signKey;
        ASSERT_TRUE(CryptAcquireContextW(prov.put(), container.c_str(), c.pwszCSP, c.dwType, CRYPT_NEWKEYSET));
        ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, static_cast<DWORD>(c.nBits) << 16, exchangeKey.put()));
        ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 1024 << 16, signKey.put()));
        exchangeKey.reset();
        signKey.reset();
        PKey exchange = RsaKeyFromBlob(PublicBlobOf(prov.get(), AT_KEYEXCHANGE));
        const ByteBuffer signBefore = PublicBlobOf(prov.get(), AT_SIGNATURE);
        prov.reset();

        PKey delivered = NewRsa(c.nBits, c.ulExponent);
        ByteBuffer cert;
        WString certText = CertificateText(delivered.get(), cert);
        ASSERT_EQ(ImportEncryptCertEx(c.pwszCSP, container, TEXT("RSA"),
                                      ClassicEnvelope(exchange.get(), Pkcs1PrivateKeyOf(delivered.get()), c.cbSession),
                                      certText, c.nBits, CRYPT_EXPORTABLE),
                  QORA_OK);

        ASSERT_TRUE(CryptAcquireContextW(prov.put(), container.c_str(), c.pwszCSP, c.dwType, 0));
        ByteBuffer privateBlob = PrivateKeyBlobOf(delivered.get());
        ByteBuffer publicBlob(privateBlob.begin(), privateBlob.begin() + 20 + c.nBits / 8);
        publicBlob[0] = PUBLICKEYBLOB;
        publicBlob[11] = '1';  // RSA1
        EXPECT_EQ(PublicBlobOf(prov.get(), AT_KEYEXCHANGE), publicBlob);
        CryptKey imported;
        DWORD cb = static_cast<DWORD>(privateBlob.size());
        ByteBuffer exported(cb);
        ASSERT_TRUE(CryptGetUserKey(prov.get(), AT_KEYEXCHANGE, imported.put()));
        ASSERT_TRUE(CryptExportKey(imported.get(), 0, PRIVATEKEYBLOB, 0, exported.data(), &cb)) << std::hex << GetLastError();
        EXPECT_EQ(exported, privateBlob) << "the delivered key with its own exponent";
        EXPECT_EQ(PublicBlobOf(prov.get(), AT_SIGNATURE), signBefore);

        CRYPT_KEY_PROV_INFO info = {};
        WString linked;
        EXPECT_EQ(TakeFromMy(cert, &info, &linked), 1);
        EXPECT_TRUE(linked == container);
        EXPECT_EQ(info.dwProvType, c.dwType);
        EXPECT_EQ(info.dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
        EXPECT_EQ(sweeper.NewContainers(), std::set<WString>{container}) << "the session key's container is gone";
    }
}

TEST(EncryptCertImport, ClassicFailuresLeaveTheContainersKeysAndNoThrowAwayContainer)
{
    reqtest::ContainerSweeper sweeper(kEnhanced, PROV_RSA_FULL);
    const WString container = NewContainerName();
    CryptProv prov;
    CryptKey key;
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), container.c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 1024 << 16, key.put()));
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 1024 << 16, key.put()));
    key.reset();
    const ByteBuffer exchangeBefore = PublicBlobOf(prov.get(), AT_KEYEXCHANGE);
    PKey exchange = RsaKeyFromBlob(exchangeBefore), sign = RsaKeyFromBlob(PublicBlobOf(prov.get(), AT_SIGNATURE));
    prov.reset();

    PKey delivered = NewRsaKey(1024), other = NewRsaKey(1024);
    const ByteBuffer pkcs1 = Pkcs1PrivateKeyOf(delivered.get());
    ByteBuffer cert;
    const WString certText = CertificateText(delivered.get(), cert);
    const ByteBuffer session = RandomBytes(24);
    const ByteBuffer sessionForExchange = RsaEncryptPkcs1(exchange.get(), session);
    ByteBuffer cbc(pkcs1.size() + 8);
    int cb1 = 0, cb2 = 0;
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_EncryptInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, session.data(), RandomBytes(8).data());
    EVP_EncryptUpdate(ctx.get(), cbc.data(), &cb1, pkcs1.data(), static_cast<int>(pkcs1.size()));
    EVP_EncryptFinal_ex(ctx.get(), cbc.data() + cb1, &cb2);
    cbc.resize(static_cast<size_t>(cb1 + cb2));
    ByteBuffer eightIntegers;
    for (int i = 0; i < 8; ++i) Append(eightIntegers, Tlv(0x02, {0x01}));
    const ByteBuffer eightElements = Tlv(0x30, eightIntegers);
    struct Case {
        const char* pszName;
        WString envelope;
        WString container;
        LONG lBits;
        std::vector<HRESULT> want;
    };
    for (const Case& c : std::vector<Case>{
             {"device type 3", Envelope(3, 1, 306, sessionForExchange, TripleDesEcbEncrypt(session, pkcs1)), container, 1024,
              {QORA_E_DEVICE_TYPE}},
             {"no session key in the classic layout", Envelope(1, 2, 0, {}, TripleDesEcbEncrypt(session, pkcs1)), container,
              1024, {QORA_E_SESSION_KEY_TYPE}},
             {"session key for another key", ClassicEnvelope(other.get(), pkcs1), container, 1024,
              {static_cast<HRESULT>(NTE_BAD_DATA)}},
             {"private key in CBC", Envelope(1, 1, 306, sessionForExchange, cbc), container, 1024,
              {static_cast<HRESULT>(NTE_BAD_DATA), QORA_E_IMPORT_ENCRYPT_CERT}},
             {"a 1024-bit key under a 2048 setting", ClassicEnvelope(exchange.get(), pkcs1), container, 2048,
              {QORA_E_IMPORT_ENCRYPT_CERT}},
             {"plain key not an RSAPrivateKey", ClassicEnvelope(exchange.get(), eightElements), container, 1024,
              {QORA_E_IMPORT_ENCRYPT_CERT}},
             {"no such container", ClassicEnvelope(exchange.get(), pkcs1), TEXT("{no such container}"), 1024,
              {static_cast<HRESULT>(NTE_BAD_KEYSET)}},
         }) {
        SCOPED_TRACE(c.pszName);
        HRESULT hResult = ImportEncryptCertEx(kEnhanced, c.container, TEXT("rsa"), c.envelope, certText, c.lBits, 0);
        EXPECT_NE(std::find(c.want.begin(), c.want.end(), hResult), c.want.end()) << std::hex << hResult;
    }
    const WString args[] = {kEnhanced, container, TEXT("RSA"), ClassicEnvelope(exchange.get(), pkcs1), certText};
    for (int nEmpty = 0; nEmpty < 5; ++nEmpty) {
        WString a[5] = {args[0], args[1], args[2], args[3], args[4]};
        a[nEmpty].clear();
        EXPECT_EQ(ImportEncryptCertEx(a[0], a[1], a[2], a[3], a[4], 1024, 0), E_INVALIDARG) << nEmpty;
    }

    EXPECT_EQ(sweeper.NewContainers(), std::set<WString>{container});
    EXPECT_EQ(TakeFromMy(cert), 0);
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), container.c_str(), kEnhanced, PROV_RSA_FULL, 0));
    EXPECT_EQ(PublicBlobOf(prov.get(), AT_KEYEXCHANGE), exchangeBefore);
    ByteBuffer signature;
    ASSERT_EQ(SignThroughToken(prov.get(), CALG_SHA1, AT_SIGNATURE, {1, 2, 3}, signature), 0u);
    EXPECT_TRUE(RsaVerifyPkcs1(sign.get(), EVP_sha1(), {1, 2, 3}, Reversed(signature))) << "the signing key still signs";
}

TEST(EncryptCertImport, RsaTokenTakesTheClassicKeyAt1024AndTheKeySpecBlobOtherwise)
{
    if (!TokenRegistered(RSA_PROV)) GTEST_SKIP() << "the RSA token is not registered in this prefix";
    IsolatedStore store;
    struct Case {
        const char* pszName;
        int nBits;
        int nSessionType;
    };
    for (const Case& c : std::vector<Case>{{"classic at 1024", 1024, 306},
                                           {"extended with a session key", 2048, 306},
                                           {"extended without a session key", 2048, 0}}) {
        SCOPED_TRACE(c.pszName);
        TokenContainer container(RSA_PROV);
        ASSERT_EQ(container.GenKey(AT_KEYEXCHANGE, static_cast<DWORD>(c.nBits) << 16), 0u);
        ASSERT_EQ(container.GenKey(AT_SIGNATURE, 1024 << 16), 0u);
        PKey exchange = RsaKeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE));
        const ByteBuffer signBefore = container.PublicBlob(AT_SIGNATURE);
        container.Release();

        PKey delivered = NewRsaKey(c.nBits);
        const ByteBuffer pkcs1 = Pkcs1PrivateKeyOf(delivered.get());
        WString envelope = ClassicEnvelope(exchange.get(), pkcs1);
        if (c.nSessionType == 0) {
            // No session key: the key in PKCS#1 v1.5 blocks for the exchange key.
            ByteBuffer blocks;
            const size_t cbChunk = static_cast<size_t>(EVP_PKEY_get_size(exchange.get())) - 11;
            for (size_t pos = 0; pos < pkcs1.size(); pos += cbChunk)
                Append(blocks, RsaEncryptPkcs1(exchange.get(), ByteBuffer(pkcs1.begin() + static_cast<long>(pos),
                                                                          pkcs1.begin() + static_cast<long>(std::min(pkcs1.size(), pos + cbChunk)))));
            envelope = Envelope(1, 2, 0, {}, blocks);
        }
        ByteBuffer cert;
        WString certText = CertificateText(delivered.get(), cert);
        ASSERT_EQ(ImportEncryptCertEx(RSA_PROV, container.Name(), TEXT("RSA"), envelope, certText, c.nBits, 0), QORA_OK);

        ASSERT_EQ(container.Open(), 0u);
        EXPECT_EQ(RsaModulusOf(RsaKeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE)).get()), RsaModulusOf(delivered.get()));
        EXPECT_EQ(KeyCertificate(container.Prov(), AT_KEYEXCHANGE), cert);
        EXPECT_EQ(container.PublicBlob(AT_SIGNATURE), signBefore);
        EXPECT_EQ(TakeFromMy(cert), 0) << "MY is left to Microsoft CSPs";
    }
}

// A 32-byte key makes C2 as long as C3, so either reordering swaps them: C1 C2 C3 goes in at the second attempt.
TEST(EncryptCertImport, Sm2TokenTakesTheCiphertextInEitherOrder)
{
    if (!TokenRegistered(SM2_PROV)) GTEST_SKIP() << "the SM2 token is not registered in this prefix";
    IsolatedStore store;
    PKey other = NewSm2Key();
    enum Kind { kC1C3C2, kC1C2C3, kOtherKey, kShort };
    struct Case {
        const char* pszName;
        Kind kind;
        HRESULT hWant;
        size_t nAttempts;
    };
    for (const Case& c : std::vector<Case>{{"C1 C3 C2", kC1C3C2, QORA_OK, 1},
                                           {"C1 C2 C3", kC1C2C3, QORA_OK, 2},
                                           {"for another key", kOtherKey, static_cast<HRESULT>(NTE_BAD_DATA), 3},
                                           {"shorter than C1 and C3", kShort, QORA_E_IMPORT_ENCRYPT_CERT, 1}}) {
        SCOPED_TRACE(c.pszName);
        TokenContainer container(SM2_PROV);
        ASSERT_EQ(container.GenKey(SM2_KEYX, 256 << 16), 0u);
        ASSERT_EQ(container.GenKey(SM2_SIGN, 256 << 16), 0u);
        PKey exchange = Sm2KeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE));
        const ByteBuffer signBefore = container.PublicBlob(AT_SIGNATURE);
        container.Release();

        PKey delivered = NewSm2Key();
        const ByteBuffer c1c3c2 =
            Sm2EncryptC1C3C2(c.kind == kOtherKey ? other.get() : exchange.get(), Sm2ScalarOf(delivered.get()));
        ASSERT_EQ(c1c3c2.size(), 128u);
        ByteBuffer ciphertext = c1c3c2;
        if (c.kind == kC1C2C3) {
            ASSERT_EQ(ConvertC1C3C2ToC1C2C3(c1c3c2.data(), 128, ciphertext), QORA_OK);
        }
        if (c.kind == kShort) ciphertext.resize(80);
        ByteBuffer cert;
        WString certText = CertificateText(delivered.get(), cert);
        HRESULT hResult = E_FAIL;
        std::string trace = Traced([&] {
            hResult = ImportEncryptCertEx(SM2_PROV, container.Name(), TEXT("sm2"), Envelope(1, 2, 0, {}, ciphertext),
                                          certText, 256, 0);
        });
        EXPECT_EQ(hResult, c.hWant);
        EXPECT_EQ(Count(trace, "ENTER ImportEncryptCertEx_SM2"), c.nAttempts);

        ASSERT_EQ(container.Open(), 0u);
        PKey now = Sm2KeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE));
        EXPECT_EQ(Sm2PointOf(now.get()), Sm2PointOf(c.hWant == QORA_OK ? delivered.get() : exchange.get()));
        EXPECT_EQ(KeyCertificate(container.Prov(), AT_KEYEXCHANGE), c.hWant == QORA_OK ? cert : ByteBuffer());
        EXPECT_EQ(container.PublicBlob(AT_SIGNATURE), signBefore);
    }
}
