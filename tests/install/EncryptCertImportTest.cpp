// Encryption-certificate import: the private-key blob, the key-spec blobs, the SM2 reorderings, and imports
// into Microsoft containers and the stand-in tokens of envelopes made here as the authority makes them.
#include "../request/RequestTestSupport.h"
#include "TokenTestKit.h"
#include "ResultCode.h"
#include "codec/DerWriter.h"
#include "codec/Misc.h"
#include "install/ImportEncryptCert.h"
#include "install/ImportSignCert.h"
#include "trace/Trace.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <fstream>
#include <functional>
#include <optional>

using namespace tokentest;
using reqtest::Concat;
using reqtest::Hex;

namespace {

ByteBuffer Tlv(BYTE tag, const ByteBuffer& contents) { return DerTlv(tag, contents.data(), contents.size()); }

std::string Number(size_t n) { return std::string(16 - std::to_string(n).size(), '0') + std::to_string(n); }

std::string Base64(const ByteBuffer& der)
{
    std::string text;
    EXPECT_EQ(Base64EncodeEx(der.data(), static_cast<DWORD>(der.size()), text), QORA_OK);
    return text;
}

// Fields are SEQUENCE {INTEGER 1, OCTET STRING material} in Base64 ending in ","; without material, only a length.
WString Envelope(int nDevice, int nEncrypt, int nSessionType, const ByteBuffer& session, const ByteBuffer& key)
{
    auto field = [](const ByteBuffer& material) {
        if (material.empty()) return Number(0);
        std::string text = Base64(Tlv(0x30, Concat({{0x02, 0x01, 0x01}, Tlv(0x04, material)})));
        return Number(text.size() + 1) + text + ",";
    };
    std::string s = Number(nDevice) + Number(nEncrypt) + Number(nSessionType) + field(session) + field(key);
    return WString(s.begin(), s.end());
}

// The classic envelope: a session key for the exchange key, the PKCS#1 key under its first 24 bytes.
WString ClassicEnvelope(EVP_PKEY* exchange, const ByteBuffer& pkcs1, size_t cbSession = 32)
{
    ByteBuffer session(cbSession);
    RAND_bytes(session.data(), static_cast<int>(cbSession));
    return Envelope(1, 1, 306, RsaEncryptPkcs1(exchange, session),
                    TripleDesEcbEncrypt(ByteBuffer(session.begin(), session.begin() + 24), pkcs1));
}

PKey NewRsa(int nBits, unsigned long ulExponent)
{
    std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr),
                                                             EVP_PKEY_CTX_free);
    std::unique_ptr<BIGNUM, void (*)(BIGNUM*)> e(BN_new(), BN_free);
    EVP_PKEY* p = nullptr;
    BN_set_word(e.get(), ulExponent);
    EVP_PKEY_keygen_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), nBits);
    EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get());
    EVP_PKEY_generate(ctx.get(), &p);
    return PKey(p);
}

// A certificate for the delivered key from an issuer of the test's own: DER, and the page's Base64 text.
WString CertificateText(EVP_PKEY* subject, ByteBuffer& der)
{
    static PKey issuer = NewRsaKey(1024);
    std::unique_ptr<X509, void (*)(X509*)> x(X509_new(), X509_free);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), static_cast<long>(GetTickCount()));
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
    X509_set_pubkey(x.get(), subject);
    X509_sign(x.get(), issuer.get(), EVP_sha256());
    unsigned char* p = nullptr;
    const int cb = i2d_X509(x.get(), &p);
    der.assign(p, p + std::max(0, cb));
    OPENSSL_free(p);
    std::string text = Base64(der);
    return WString(text.begin(), text.end());
}

// The public key blob (or the certificate parameter) of a container's key.
ByteBuffer KeyBlob(HCRYPTPROV hProv, DWORD dwKeySpec, bool bCertificate = false)
{
    CryptKey key;
    DWORD cb = 0;
    auto read = [&](BYTE* pb) {
        return bCertificate ? CryptGetKeyParam(key.get(), KP_CERTIFICATE, pb, &cb, 0)
                            : CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, pb, &cb);
    };
    if (!CryptGetUserKey(hProv, dwKeySpec, key.put()) || !read(nullptr)) return {};
    ByteBuffer blob(cb);
    return read(blob.data()) ? blob : ByteBuffer();
}

// Removes the certificate from MY (committed) and tells how many copies there were and the last one's link.
int TakeFromMy(const ByteBuffer& cert, WString* pwstrContainer = nullptr, DWORD* pdwType = nullptr,
               DWORD* pdwSpec = nullptr)
{
    CertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY")));
    std::vector<PCCERT_CONTEXT> found;
    for (PCCERT_CONTEXT p = nullptr; (p = CertEnumCertificatesInStore(store.get(), p)) != nullptr;)
        if (ByteBuffer(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded) == cert)
            found.push_back(CertDuplicateCertificateContext(p));
    for (PCCERT_CONTEXT p : found) {
        ByteBuffer info(1024);
        DWORD cb = static_cast<DWORD>(info.size());
        if (pwstrContainer && CertGetCertificateContextProperty(p, CERT_KEY_PROV_INFO_PROP_ID, info.data(), &cb)) {
            const auto* pInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.data());
            *pwstrContainer = pInfo->pwszContainerName;
            *pdwType = pInfo->dwProvType;
            *pdwSpec = pInfo->dwKeySpec;
        }
        CertDeleteCertificateFromStore(p);
    }
    CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
    return static_cast<int>(found.size());
}

// A Microsoft container with an exchange key of that length and a signing key; released, so others see them.
WString NewMicrosoftContainer(const WCHAR* pwszCSP, DWORD dwType, int nBits, ByteBuffer& exchange, ByteBuffer& sign)
{
    const WString name = NewContainerName();
    CryptProv prov;
    CryptKey key;
    EXPECT_TRUE(CryptAcquireContextW(prov.put(), name.c_str(), pwszCSP, dwType, CRYPT_NEWKEYSET));
    EXPECT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, static_cast<DWORD>(nBits) << 16, key.put()));
    EXPECT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 1024 << 16, key.put()));
    key.reset();
    exchange = KeyBlob(prov.get(), AT_KEYEXCHANGE);
    sign = KeyBlob(prov.get(), AT_SIGNATURE);
    return name;
}

// Trace text written while fn runs: entries, exits and failures.
std::string Traced(const std::function<void()>& fn)
{
    WCHAR wszDir[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, wszDir);
    const std::string path = Narrow(wszDir) + "bm_encrypt_import_trace.log";
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", path.c_str());
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", "0xA");
    TraceInitialize();
    fn();
    TraceUninitialize();
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", nullptr);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", nullptr);
    std::string text;
    {
        std::ifstream in(path, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    DeleteFileA(path.c_str());
    return text;
}

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
    const HRESULT kLength = QORA_E_IMPORT_ENCRYPT_CERT;
    struct Case {
        const char* pszName;
        ByteBuffer pkcs1;
        LONG lBits;
        HRESULT hWant;
        ByteBuffer want;
    };
    for (const Case& c : std::vector<Case>{
             {"full widths", key({n, e, d, p, q, dP, dQ, qInv}), 64, QORA_OK,
              Concat({head, Hex("01 00 01 00 C8 C7 C6 C5 C4 C3 C2 C1 14 13 12 11 24 23 22 21 34 33 32 31"
                                "44 43 42 41 54 53 52 51 68 67 66 65 64 63 62 61")})},
             {"d, dP, dQ and qInv one byte short, exponent 3",
              key({n, Hex("03"), Hex("62 63 64 65 66 67 68"), p, q, Hex("32 33 34"), Hex("42 43 44"), Hex("52 53 54")}),
              64, QORA_OK,
              Concat({head, Hex("03 00 00 00 C8 C7 C6 C5 C4 C3 C2 C1 14 13 12 11 24 23 22 21 34 33 32 00"
                                "44 43 42 00 54 53 52 00 68 67 66 65 64 63 62 00")})},
             {"modulus one byte short", key({Hex("C2 C3 C4 C5 C6 C7 C8"), e, d, p, q, dP, dQ, qInv}), 64, kLength, {}},
             {"a 64-bit key under a 128-bit setting", key({n, e, d, p, q, dP, dQ, qInv}), 128, kLength, {}},
             {"d one byte long", key({n, e, Hex("60 61 62 63 64 65 66 67 68"), p, q, dP, dQ, qInv}), 64, kLength, {}},
             {"p one byte long", key({n, e, d, Hex("10 11 12 13 14"), q, dP, dQ, qInv}), 64, kLength, {}},
             {"exponent wider than 32 bits", key({n, Hex("01 00 00 00 01"), d, p, q, dP, dQ, qInv}), 64, kLength, {}},
             {"exponent 0", key({n, Hex("00"), d, p, q, dP, dQ, qInv}), 64, kLength, {}},
             {"eight elements", key({n, e, d, p, q, dP, dQ}), 64, kLength, {}},
             {"not DER", Hex("05 00"), 64, kLength, {}},
             {"key length not whole bytes", key({n, e, d, p, q, dP, dQ, qInv}), 60, kLength, {}},
         }) {
        SCOPED_TRACE(c.pszName);
        ByteBuffer blob{0xEE};
        const DWORD cbKey = static_cast<DWORD>(c.pkcs1.size());
        EXPECT_EQ(getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(c.pkcs1.data(), cbKey, c.lBits, blob), c.hWant);
        EXPECT_EQ(reqtest::ToHex(blob), reqtest::ToHex(c.hWant == QORA_OK ? c.want : ByteBuffer{0xEE}));
    }
}

TEST(EncryptCertImport, KeySpecBlobsPointAtTheDeliveredBytes)
{
    ByteBuffer der(300), ciphertext(192), rsa(kRSAKeySpecBlobBytes), sm2(kSM2KeySpecBlobBytes);
    auto address = [](const void* pv) {
        ByteBuffer b;
        for (size_t i = 0; i < sizeof(void*); ++i)
            b.push_back(static_cast<BYTE>(reinterpret_cast<ULONG_PTR>(pv) >> (8 * i)));
        return b;
    };
    FillRSAKeySpecBlob(rsa.data(), 2048, der.data(), 300);
    FillSM2KeySpecBlob(sm2.data(), ciphertext.data(), 192);
    EXPECT_EQ(rsa, Concat({Hex("07 02 01 00 00 A4 00 00 00 A4 00 00 00 08 00 00 60 09 00 00"), address(der.data())}));
    EXPECT_EQ(sm2, Concat({Hex("07 02 01 00 00 BE 00 00 00 BE 00 00 00 06 00 00"), address(ciphertext.data())}));
}

TEST(EncryptCertImport, Sm2CiphertextReorderings)
{
    ByteBuffer c1c3c2(192), c1c2c3, out, back;
    for (size_t i = 0; i < 192; ++i) c1c3c2[i] = static_cast<BYTE>(i);
    for (auto [from, to] : std::initializer_list<std::pair<int, int>>{{0, 64}, {96, 192}, {64, 96}})  // C1, C2, C3
        for (int i = from; i < to; ++i) c1c2c3.push_back(static_cast<BYTE>(i));
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
    for (const Case& c :
         std::vector<Case>{{TEXT("Microsoft Enhanced Cryptographic Provider v1.0"), PROV_RSA_FULL, 1024, 65537, 32},
                           {TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider"), PROV_RSA_AES, 2048, 3, 24}}) {
        SCOPED_TRACE(Narrow(c.pwszCSP));
        reqtest::ContainerSweeper sweeper(c.pwszCSP, c.dwType);
        ByteBuffer exchange, signBefore, cert;
        const WString container = NewMicrosoftContainer(c.pwszCSP, c.dwType, c.nBits, exchange, signBefore);
        PKey delivered = NewRsa(c.nBits, c.ulExponent);
        WString envelope =
            ClassicEnvelope(RsaKeyFromBlob(exchange).get(), Pkcs1PrivateKeyOf(delivered.get()), c.cbSession);
        WString certText = CertificateText(delivered.get(), cert);
        ASSERT_EQ(ImportEncryptCertEx(c.pwszCSP, container, TEXT("RSA"), envelope, certText, c.nBits, 0), QORA_OK);

        CryptProv prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.put(), container.c_str(), c.pwszCSP, c.dwType, 0));
        ByteBuffer want = PrivateKeyBlobOf(delivered.get());  // its header and modulus are the public blob's
        want.resize(20 + c.nBits / 8);
        want[0] = PUBLICKEYBLOB;
        want[11] = '1';  // RSA1
        EXPECT_EQ(KeyBlob(prov.get(), AT_KEYEXCHANGE), want) << "the delivered key with its own exponent";
        EXPECT_EQ(KeyBlob(prov.get(), AT_SIGNATURE), signBefore);
        WString linked;
        DWORD dwType = 0, dwSpec = 0;
        EXPECT_EQ(TakeFromMy(cert, &linked, &dwType, &dwSpec), 1);
        EXPECT_TRUE(linked == container);
        EXPECT_EQ(dwType, c.dwType);
        EXPECT_EQ(dwSpec, static_cast<DWORD>(AT_KEYEXCHANGE));
        EXPECT_EQ(sweeper.NewContainers(), std::set<WString>{container}) << "the session key's container is gone";
    }
}

TEST(EncryptCertImport, ClassicFailuresLeaveTheKeysAndNoThrowAwayContainer)
{
    const WCHAR* kCSP = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
    reqtest::ContainerSweeper sweeper(kCSP, PROV_RSA_FULL);
    ByteBuffer exchangeBefore, signBlob, cert, eightIntegers;
    const WString container = NewMicrosoftContainer(kCSP, PROV_RSA_FULL, 1024, exchangeBefore, signBlob);
    PKey exchange = RsaKeyFromBlob(exchangeBefore), delivered = NewRsaKey(1024), other = NewRsaKey(1024);
    const ByteBuffer pkcs1 = Pkcs1PrivateKeyOf(delivered.get());
    const WString certText = CertificateText(delivered.get(), cert);
    for (int i = 0; i < 8; ++i) Append(eightIntegers, Tlv(0x02, {0x01}));
    const ByteBuffer key24(24, 0x24);
    const ByteBuffer sessionOk = RsaEncryptPkcs1(exchange.get(), key24), keyOk = TripleDesEcbEncrypt(key24, pkcs1);
    struct Case {
        const char* pszName;
        WString envelope;
        WString container;
        LONG lBits;
        HRESULT hWant;
    };
    for (const Case& c : std::vector<Case>{
             {"device type 3", Envelope(3, 1, 306, sessionOk, keyOk), container, 1024, QORA_E_DEVICE_TYPE},
             {"no session key in the classic layout", Envelope(1, 2, 0, {}, keyOk), container, 1024,
              QORA_E_SESSION_KEY_TYPE},
             {"session key for another key", ClassicEnvelope(other.get(), pkcs1), container, 1024, NTE_BAD_DATA},
             {"a 1024-bit key under a 2048 setting", ClassicEnvelope(exchange.get(), pkcs1), container, 2048,
              QORA_E_IMPORT_ENCRYPT_CERT},
             {"plain key not an RSAPrivateKey", ClassicEnvelope(exchange.get(), Tlv(0x30, eightIntegers)), container,
              1024, QORA_E_IMPORT_ENCRYPT_CERT},
             {"no such container", ClassicEnvelope(exchange.get(), pkcs1), TEXT("{no such container}"), 1024,
              NTE_BAD_KEYSET},
         }) {
        SCOPED_TRACE(c.pszName);
        EXPECT_EQ(ImportEncryptCertEx(kCSP, c.container, TEXT("rsa"), c.envelope, certText, c.lBits, 0), c.hWant);
    }
    const WString args[5] = {kCSP, container, TEXT("RSA"), Envelope(1, 1, 306, sessionOk, keyOk), certText};
    for (int nEmpty = 0; nEmpty < 5; ++nEmpty) {
        WString a[5] = {args[0], args[1], args[2], args[3], args[4]};
        a[nEmpty].clear();
        EXPECT_EQ(ImportEncryptCertEx(a[0], a[1], a[2], a[3], a[4], 1024, 0), E_INVALIDARG) << nEmpty;
    }

    EXPECT_EQ(sweeper.NewContainers(), std::set<WString>{container});
    EXPECT_EQ(TakeFromMy(cert), 0);
    CryptProv prov;
    ByteBuffer signature;
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), container.c_str(), kCSP, PROV_RSA_FULL, 0));
    EXPECT_EQ(KeyBlob(prov.get(), AT_KEYEXCHANGE), exchangeBefore);
    ASSERT_EQ(SignThroughToken(prov.get(), CALG_SHA1, AT_SIGNATURE, {1, 2, 3}, signature), 0u);
    EXPECT_TRUE(RsaVerifyPkcs1(RsaKeyFromBlob(signBlob).get(), EVP_sha1(), {1, 2, 3}, Reversed(signature)))
        << "the signing key still signs";
}

// The token's accepted orders are enrolled end to end (enrol_e2e); here the number of attempts and what a refused
// ciphertext leaves behind. A 32-byte SM2 key makes C2 as long as C3, so either reordering swaps them: C1 C2 C3
// goes in at the second attempt.
TEST(EncryptCertImport, Sm2TokenTriesTheOrdersAndKeepsItsKeyWhenAllFail)
{
    if (AcquireRaw(nullptr, SM2_PROV, CRYPT_VERIFYCONTEXT) != 0) GTEST_SKIP() << "the SM2 token is not registered";
    IsolatedStore store;
    PKey otherSm2 = NewSm2Key();
    enum Kind { kC1C3C2, kC1C2C3, kOtherKey, kShort };
    struct Case {
        const char* pszName;
        Kind kind;
        HRESULT hWant;
        size_t nAttempts;
    };
    for (const Case& c : std::vector<Case>{{"C1 C3 C2", kC1C3C2, QORA_OK, 1},
                                           {"C1 C2 C3", kC1C2C3, QORA_OK, 2},
                                           {"for another key", kOtherKey, NTE_BAD_DATA, 3},
                                           {"too short", kShort, QORA_E_IMPORT_ENCRYPT_CERT, 1}}) {
        SCOPED_TRACE(c.pszName);
        TokenContainer container(SM2_PROV);
        ASSERT_EQ(container.GenKey(SM2_KEYX, 256 << 16), 0u);
        ASSERT_EQ(container.GenKey(SM2_SIGN, 256 << 16), 0u);
        const ByteBuffer signBefore = container.PublicBlob(AT_SIGNATURE);
        PKey exchange = Sm2KeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE)), delivered = NewSm2Key();
        container.Release();

        ByteBuffer ciphertext = Sm2EncryptC1C3C2(c.kind == kOtherKey ? otherSm2.get() : exchange.get(),
                                                 Sm2ScalarOf(delivered.get()));
        ASSERT_EQ(ciphertext.size(), 128u);
        if (c.kind == kC1C2C3) {
            const ByteBuffer c1c3c2 = ciphertext;
            ASSERT_EQ(ConvertC1C3C2ToC1C2C3(c1c3c2.data(), 128, ciphertext), QORA_OK);
        }
        if (c.kind == kShort) ciphertext.resize(80);
        ByteBuffer cert;
        const WString certText = CertificateText(delivered.get(), cert);
        HRESULT hResult = E_FAIL;
        const std::string trace = Traced([&] {
            hResult = ImportEncryptCertEx(SM2_PROV, container.Name(), TEXT("sm2"), Envelope(1, 2, 0, {}, ciphertext),
                                          certText, 256, 0);
        });
        EXPECT_EQ(hResult, c.hWant);
        size_t nAttempts = 0;
        for (size_t pos = 0; (pos = trace.find("ENTER ImportEncryptCertEx_SM2", pos)) != std::string::npos; ++pos)
            ++nAttempts;
        EXPECT_EQ(nAttempts, c.nAttempts);

        ASSERT_EQ(container.Open(), 0u);
        EXPECT_EQ(Sm2PointOf(Sm2KeyFromBlob(container.PublicBlob(AT_KEYEXCHANGE)).get()),
                  Sm2PointOf(c.hWant == QORA_OK ? delivered.get() : exchange.get()));
        EXPECT_EQ(KeyBlob(container.Prov(), AT_KEYEXCHANGE, true), c.hWant == QORA_OK ? cert : ByteBuffer());
        EXPECT_EQ(container.PublicBlob(AT_SIGNATURE), signBefore);
        EXPECT_EQ(TakeFromMy(cert), 0) << "MY is left to Microsoft CSPs";
    }
}

// ---- Nothing is installed on a key it does not belong to ------------------------------------------

namespace {

const WCHAR kEnhancedCSP[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");

// The PKCS#1 key with bit 1 of one component toggled ("rsa-exponent1" is dP); no length changes.
ByteBuffer Pkcs1WithBitToggled(EVP_PKEY* key, const char* pszComponent)
{
    ByteBuffer body = Tlv(0x02, {0});
    for (const char* pszName : {"n", "e", "d", "rsa-factor1", "rsa-factor2", "rsa-exponent1", "rsa-exponent2",
                                "rsa-coefficient1"}) {
        BIGNUM* bn = nullptr;
        EXPECT_EQ(EVP_PKEY_get_bn_param(key, pszName, &bn), 1) << pszName;
        if (strcmp(pszName, pszComponent) == 0)
            BN_is_bit_set(bn, 1) ? BN_clear_bit(bn, 1) : BN_set_bit(bn, 1);
        ByteBuffer value(static_cast<size_t>(BN_num_bytes(bn)));
        BN_bn2bin(bn, value.data());
        BN_free(bn);
        if (value.empty() || (value[0] & 0x80) != 0) value.insert(value.begin(), 0);
        Append(body, Tlv(0x02, value));
    }
    return Tlv(0x30, body);
}

enum Damage { kWhole, kKeyBitToggled, kModulusBitToggled, kOtherKeysCertificate, kTrailingBytes, kCutShort };

struct DamageCase {
    const char* pszName;
    Damage damage;
};

const std::vector<DamageCase> kDamages = {{"whole", kWhole},
                                          {"one bit of the private key changed", kKeyBitToggled},
                                          {"certificate of another key", kOtherKeysCertificate},
                                          {"bytes after the certificate", kTrailingBytes},
                                          {"certificate cut short", kCutShort}};

// The certificate as the authority would send it for the key, damaged as the case says, and its DER.
WString DamagedCertificate(Damage damage, EVP_PKEY* key, EVP_PKEY* other, ByteBuffer& der)
{
    CertificateText(damage == kOtherKeysCertificate ? other : key, der);
    if (damage == kTrailingBytes) Append(der, {0x00, 0x00});
    if (damage == kCutShort) der.resize(der.size() - 8);
    const std::string text = Base64(der);
    return WString(text.begin(), text.end());
}

HRESULT Wanted(Damage damage) { return damage == kWhole ? QORA_OK : QORA_E_IMPORT_ENCRYPT_CERT; }

}  // namespace

TEST(InstallIntegrity, ClassicImportInstallsOnlyTheCertificatesOwnProvenKey)
{
    // The primes sign correctly whatever the modulus says: the public half is checked apart.
    std::vector<DamageCase> damages = kDamages;
    damages.push_back({"one bit of the modulus changed", kModulusBitToggled});
    for (const DamageCase& c : damages) {
        SCOPED_TRACE(c.pszName);
        reqtest::ContainerSweeper sweeper(kEnhancedCSP, PROV_RSA_FULL);
        ByteBuffer exchangeBefore, signBefore, der;
        const WString container = NewMicrosoftContainer(kEnhancedCSP, PROV_RSA_FULL, 1024, exchangeBefore, signBefore);
        PKey delivered = NewRsaKey(1024), other = NewRsaKey(1024);
        const ByteBuffer pkcs1 = c.damage == kKeyBitToggled       ? Pkcs1WithBitToggled(delivered.get(), "rsa-exponent1")
                                 : c.damage == kModulusBitToggled ? Pkcs1WithBitToggled(delivered.get(), "n")
                                                                  : Pkcs1PrivateKeyOf(delivered.get());
        const WString certText = DamagedCertificate(c.damage, delivered.get(), other.get(), der);
        const WString envelope = ClassicEnvelope(RsaKeyFromBlob(exchangeBefore).get(), pkcs1);
        EXPECT_EQ(ImportEncryptCertEx(kEnhancedCSP, container, TEXT("RSA"), envelope, certText, 1024, 0),
                  Wanted(c.damage));

        EXPECT_EQ(TakeFromMy(der), c.damage == kWhole ? 1 : 0);
        CryptProv prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.put(), container.c_str(), kEnhancedCSP, PROV_RSA_FULL, 0));
        if (c.damage != kWhole) {
            EXPECT_EQ(KeyBlob(prov.get(), AT_KEYEXCHANGE), exchangeBefore) << "the container keeps its own key";
        }
        EXPECT_EQ(KeyBlob(prov.get(), AT_SIGNATURE), signBefore);
    }
}

TEST(InstallIntegrity, TokenImportsInstallOnlyTheCertificatesOwnKey)
{
    if (AcquireRaw(nullptr, RSA_PROV, CRYPT_VERIFYCONTEXT) != 0 || AcquireRaw(nullptr, SM2_PROV, CRYPT_VERIFYCONTEXT) != 0)
        GTEST_SKIP() << "the tokens are not registered";
    IsolatedStore store;
    struct Token {
        const WCHAR* pwszCSP;
        bool bSm2;
        LONG lBits;
    };
    for (const Token& t : {Token{RSA_PROV, false, 1024}, Token{RSA_PROV, false, 2048}, Token{SM2_PROV, true, 256}}) {
        for (const DamageCase& c : kDamages) {
            SCOPED_TRACE(Narrow(t.pwszCSP) + " " + std::to_string(t.lBits) + ": " + c.pszName);
            TokenContainer container(t.pwszCSP);
            ASSERT_EQ(container.GenKey(t.bSm2 ? SM2_KEYX : AT_KEYEXCHANGE, static_cast<DWORD>(t.lBits) << 16), 0u);
            ASSERT_EQ(container.GenKey(t.bSm2 ? SM2_SIGN : AT_SIGNATURE, static_cast<DWORD>(t.lBits) << 16), 0u);
            const ByteBuffer signBefore = container.PublicBlob(AT_SIGNATURE);
            const ByteBuffer exchangeBlob = container.PublicBlob(AT_KEYEXCHANGE);
            container.Release();

            PKey delivered = t.bSm2 ? NewSm2Key() : NewRsaKey(t.lBits);
            PKey other = t.bSm2 ? NewSm2Key() : NewRsaKey(t.lBits);
            ByteBuffer der;
            const WString certText = DamagedCertificate(c.damage, delivered.get(), other.get(), der);
            WString envelope;
            if (t.bSm2) {
                ByteBuffer scalar = Sm2ScalarOf(delivered.get());
                if (c.damage == kKeyBitToggled) scalar[31] ^= 0x02;
                envelope = Envelope(1, 2, 0, {}, Sm2EncryptC1C3C2(Sm2KeyFromBlob(exchangeBlob).get(), scalar));
            } else {
                const ByteBuffer pkcs1 = c.damage == kKeyBitToggled
                                             ? Pkcs1WithBitToggled(delivered.get(), "rsa-exponent1")
                                             : Pkcs1PrivateKeyOf(delivered.get());
                // 1024 bits take the classic envelope, other lengths the extended one with a session key.
                ByteBuffer session(24);
                RAND_bytes(session.data(), 24);
                envelope = t.lBits == 1024 ? ClassicEnvelope(RsaKeyFromBlob(exchangeBlob).get(), pkcs1)
                                           : Envelope(1, 2, 306, RsaEncryptPkcs1(RsaKeyFromBlob(exchangeBlob).get(), session),
                                                      TripleDesEcbEncrypt(session, pkcs1));
            }
            const HRESULT hResult = ImportEncryptCertEx(t.pwszCSP, container.Name(), t.bSm2 ? TEXT("SM2") : TEXT("RSA"),
                                                        envelope, certText, t.lBits, 0);
            if (c.damage == kKeyBitToggled && !t.bSm2 && t.lBits != 1024)
                EXPECT_TRUE(FAILED(hResult)) << "the RSA token checks the keys it decrypts itself";
            else
                EXPECT_EQ(hResult, Wanted(c.damage));

            ASSERT_EQ(container.Open(), 0u);
            const ByteBuffer exchangeAfter = container.PublicBlob(AT_KEYEXCHANGE);
            const ByteBuffer certKey = t.bSm2 ? Sm2PointOf(delivered.get()) : RsaModulusOf(delivered.get());
            const ByteBuffer keyAfter = t.bSm2 ? Sm2PointOf(Sm2KeyFromBlob(exchangeAfter).get())
                                               : RsaModulusOf(RsaKeyFromBlob(exchangeAfter).get());
            EXPECT_EQ(keyAfter == certKey, c.damage == kWhole) << "a wrong key never stays under the certificate's";
            EXPECT_EQ(KeyBlob(container.Prov(), AT_KEYEXCHANGE, true), c.damage == kWhole ? der : ByteBuffer());
            EXPECT_EQ(container.PublicBlob(AT_SIGNATURE), signBefore);
            EXPECT_EQ(TakeFromMy(der), 0);
        }
    }
}

TEST(InstallIntegrity, SigningImportTakesOneWholeCertificateOfTheKeysOwn)
{
    const bool bTokens =
        AcquireRaw(nullptr, RSA_PROV, CRYPT_VERIFYCONTEXT) == 0 && AcquireRaw(nullptr, SM2_PROV, CRYPT_VERIFYCONTEXT) == 0;
    IsolatedStore store;
    struct Provider {
        const WCHAR* pwszCSP;
        bool bSm2;
    };
    std::vector<Provider> providers = {{kEnhancedCSP, false}};
    if (bTokens) providers.insert(providers.end(), {{RSA_PROV, false}, {SM2_PROV, true}});
    enum Kind { kOwn, kExchangeKeys, kOther, kTrailing, kCut };
    struct Case {
        const char* pszName;
        Kind kind;
        HRESULT hWant;
    };
    for (const Provider& p : providers) {
        for (const Case& c : std::vector<Case>{{"its own key's", kOwn, QORA_OK},
                                               {"the other key spec's", kExchangeKeys, NTE_BAD_PUBLIC_KEY},
                                               {"another key's", kOther, NTE_BAD_PUBLIC_KEY},
                                               {"bytes after it", kTrailing, CRYPT_E_ASN1_CORRUPT},
                                               {"cut short", kCut, CRYPT_E_ASN1_EOD}}) {
            SCOPED_TRACE(Narrow(p.pwszCSP) + ": " + c.pszName);
            reqtest::ContainerSweeper sweeper(kEnhancedCSP, PROV_RSA_FULL);
            ByteBuffer exchangeBlob, signBlob;
            std::optional<TokenContainer> token;
            WString container;
            if (p.pwszCSP == kEnhancedCSP) {
                container = NewMicrosoftContainer(kEnhancedCSP, PROV_RSA_FULL, 1024, exchangeBlob, signBlob);
            } else {
                token.emplace(p.pwszCSP);
                const DWORD dwBits = p.bSm2 ? 256 : 1024;
                ASSERT_EQ(token->GenKey(p.bSm2 ? SM2_KEYX : AT_KEYEXCHANGE, dwBits << 16), 0u);
                ASSERT_EQ(token->GenKey(p.bSm2 ? SM2_SIGN : AT_SIGNATURE, dwBits << 16), 0u);
                exchangeBlob = token->PublicBlob(AT_KEYEXCHANGE);
                signBlob = token->PublicBlob(AT_SIGNATURE);
                token->Release();
                container = token->Name();
            }
            auto keyOf = [&](const ByteBuffer& blob) { return p.bSm2 ? Sm2KeyFromBlob(blob) : RsaKeyFromBlob(blob); };
            PKey own = keyOf(signBlob), exchange = keyOf(exchangeBlob), other = p.bSm2 ? NewSm2Key() : NewRsaKey(1024);
            ByteBuffer der;
            CertificateText(c.kind == kExchangeKeys ? exchange.get() : c.kind == kOther ? other.get() : own.get(), der);
            if (c.kind == kTrailing) Append(der, {0x30, 0x00});
            if (c.kind == kCut) der.resize(der.size() - 1);
            const std::string text = Base64(der);
            WString wstrText(text.begin(), text.end());
            EXPECT_EQ(ImportSignCert(p.bSm2 ? TEXT("SM2") : TEXT("RSA"), wstrText, AT_SIGNATURE, p.pwszCSP, container),
                      c.hWant);

            const bool bInstalled = c.kind == kOwn;
            EXPECT_EQ(TakeFromMy(der), bInstalled && p.pwszCSP == kEnhancedCSP ? 1 : 0);
            if (token) {
                ASSERT_EQ(token->Open(), 0u);
                EXPECT_EQ(KeyBlob(token->Prov(), AT_SIGNATURE, true), bInstalled ? der : ByteBuffer());
            }
        }
    }
}

TEST(EncryptCertImport, TheImportIsChosenByAlgorithmProviderAndLength)
{
    struct Case {
        const WCHAR* pwszCSP;
        const WCHAR* pwszAlgorithm;
        LONG lBits;
        bool bClassic;
    };
    for (const Case& c : std::vector<Case>{
             {TEXT("Microsoft Base Cryptographic Provider v1.0"), TEXT("RSA"), 2048, true},
             {TEXT("Microsoft Enhanced Cryptographic Provider v1.0"), TEXT("sm2"), 256, false},
             {RSA_PROV, TEXT("rsa"), 1024, true},
             {RSA_PROV, TEXT("RSA"), 2048, false},
             {TEXT("microsoft lower-case token"), TEXT("RSA"), 2048, false},
         }) {
        SCOPED_TRACE(Narrow(c.pwszCSP) + " " + std::to_string(c.lBits));
        // A device type no layout accepts: the choice is traced, then the envelope's header refuses.
        HRESULT hResult = E_FAIL;
        const std::string trace = Traced([&] {
            hResult = ImportEncryptCertEx(c.pwszCSP, TEXT("{container}"), c.pwszAlgorithm,
                                          TEXT("0000000000000009"), TEXT("MIIB"), c.lBits, 0);
        });
        EXPECT_EQ(hResult, QORA_E_DEVICE_TYPE);
        EXPECT_EQ(trace.find("ENTER ImportEncryptCert\r") != std::string::npos ||
                      trace.find("ENTER ImportEncryptCert\n") != std::string::npos,
                  c.bClassic);
        EXPECT_EQ(trace.find("ENTER ImportEncryptCertByEncryptedFormat") != std::string::npos, !c.bClassic);
    }
}
