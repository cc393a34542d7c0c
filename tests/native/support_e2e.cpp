// The peer's own checks, fed with requests that OpenSSL builds and signs here, and with broken variants
// of them that a certificate authority must refuse. Needs no Wine.
#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <csignal>

#include "support/DerWalker.h"
#include "support/HostProcess.h"
#include "support/Json.h"
#include "support/OsslOwners.h"
#include "support/RequestChecks.h"

using namespace bm;

namespace {

// --- building requests with OpenSSL ----------------------------------------------------------------

Bytes Tlv(uint8_t tag, const Bytes& contents)
{
    Bytes out{tag};
    const size_t n = contents.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    }
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Oid(const char* dotted)
{
    OsslPtr<ASN1_OBJECT, ASN1_OBJECT_free> obj(OBJ_txt2obj(dotted, 1));
    unsigned char* der = nullptr;
    const int n = obj ? i2d_ASN1_OBJECT(obj.get(), &der) : 0;
    Bytes out(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

// Name through OpenSSL's X509_NAME, entries in the order given (which is the DER order).
Bytes Name(const std::vector<std::tuple<const char*, int, const char*>>& entries)
{
    OsslPtr<X509_NAME, X509_NAME_free> name(X509_NAME_new());
    for (const auto& [field, type, value] : entries)
        X509_NAME_add_entry_by_txt(name.get(), field, type, reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
    unsigned char* der = nullptr;
    const int n = i2d_X509_NAME(name.get(), &der);
    Bytes out(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

const char kSubject[] = "CN=Alice,OU=Unit,O=Org,C=CN";
Bytes SubjectName()
{
    return Name({{"C", V_ASN1_PRINTABLESTRING, "CN"},
                 {"O", V_ASN1_UTF8STRING, "Org"},
                 {"OU", V_ASN1_UTF8STRING, "Unit"},
                 {"CN", V_ASN1_UTF8STRING, "Alice"}});
}

PkeyPtr NewKey(const char* type, size_t bits = 0)
{
    return PkeyPtr(bits != 0 ? EVP_PKEY_Q_keygen(nullptr, nullptr, type, bits)
                             : EVP_PKEY_Q_keygen(nullptr, nullptr, type));
}

Bytes Spki(EVP_PKEY* key)
{
    unsigned char* der = nullptr;
    const int n = i2d_PUBKEY(key, &der);
    Bytes out(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

Bytes RsaPublicKey(EVP_PKEY* key)
{
    unsigned char* der = nullptr;
    const int n = i2d_PublicKey(key, &der);
    Bytes out(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

Bytes Sm2Point(EVP_PKEY* key)
{
    Bytes point(65);
    size_t n = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(), &n);
    point.resize(n);
    return point;
}

// The 136-byte SM2 temporary key: header, then X and Y each in a 64-byte field whose second half the
// provider leaves as it was.
Bytes Sm2TemporaryKey(const Bytes& point)
{
    Bytes out{0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    out.insert(out.end(), point.begin() + 1, point.begin() + 33);
    out.insert(out.end(), 32, 0xA5);
    out.insert(out.end(), point.begin() + 33, point.begin() + 65);
    out.insert(out.end(), 32, 0x5A);
    return out;
}

Bytes Attributes(const Bytes& temporaryKey, bool wrapInSet = false)
{
    Bytes password = Tlv(0x13, Text("246802"));
    Bytes keyValue = Tlv(0x04, Tlv(0x30, Cat({{0x02, 0x01, 0x01}, Tlv(0x04, temporaryKey)})));
    if (wrapInSet) {
        password = Tlv(0x31, password);
        keyValue = Tlv(0x31, keyValue);
    }
    return Tlv(0xA0, Cat({Tlv(0x30, Cat({Oid("1.2.840.113549.1.9.7"), password})),
                          Tlv(0x30, Cat({Oid("1.2.840.113549.1.9.63"), keyValue}))}));
}

Bytes Info(const Bytes& name, const Bytes& spki, const Bytes& attributes = {})
{
    return Tlv(0x30, Cat({{0x02, 0x01, 0x00}, name, spki, attributes}));
}

Bytes SignRsa(EVP_PKEY* key, const EVP_MD* md, const Bytes& data)
{
    MdCtxPtr ctx(EVP_MD_CTX_new());
    size_t n = 0;
    EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key);
    EVP_DigestSign(ctx.get(), nullptr, &n, data.data(), data.size());
    Bytes sig(n);
    EVP_DigestSign(ctx.get(), sig.data(), &n, data.data(), data.size());
    sig.resize(n);
    return sig;
}

// r and s, 32 bytes each, big-endian, from an SM2 signature OpenSSL made with the default identity.
void SignSm2(EVP_PKEY* key, const Bytes& data, Bytes& r, Bytes& s)
{
    PkeyCtxPtr pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    MdCtxPtr md(EVP_MD_CTX_new());
    EVP_PKEY_CTX_set1_id(pctx.get(), "1234567812345678", 16);
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    EVP_DigestSignInit(md.get(), nullptr, EVP_sm3(), nullptr, key);
    Bytes der(128);
    size_t n = der.size();
    EVP_DigestSign(md.get(), der.data(), &n, data.data(), data.size());
    const unsigned char* p = der.data();
    EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(n)));
    r.assign(32, 0);
    s.assign(32, 0);
    BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), r.data(), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), s.data(), 32);
}

// The request's own INTEGER form: all 32 bytes, a 00 in front of a high first byte, never shortened.
Bytes FixedWidthInteger(const Bytes& value32)
{
    Bytes contents;
    if (value32[0] >= 0x80) contents.push_back(0x00);
    contents.insert(contents.end(), value32.begin(), value32.end());
    return Tlv(0x02, contents);
}

Bytes MinimalInteger(const Bytes& value32)
{
    size_t i = 0;
    while (i + 1 < value32.size() && value32[i] == 0 && value32[i + 1] < 0x80) ++i;
    Bytes contents(value32.begin() + static_cast<long>(i), value32.end());
    if (contents[0] >= 0x80) contents.insert(contents.begin(), 0x00);
    return Tlv(0x02, contents);
}

const Bytes kSha1WithRsa = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05, 0x05, 0x00};
const Bytes kMd5WithRsa = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04, 0x05, 0x00};
const Bytes kSm2WithSm3 = {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75, 0x05, 0x00};

Bytes Request(const Bytes& info, const Bytes& signatureAlgorithm, const Bytes& signatureBits)
{
    return Tlv(0x30, Cat({info, signatureAlgorithm, Tlv(0x03, Cat({{0x00}, signatureBits}))}));
}

std::string Base64Lines(const Bytes& der, size_t width = 64)
{
    std::string flat((der.size() + 2) / 3 * 4 + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(flat.data()), der.data(), static_cast<int>(der.size()));
    flat.resize(static_cast<size_t>(n));
    std::string out;
    for (size_t i = 0; i < flat.size(); i += width) {
        if (i != 0) out += "\r\n";
        out += flat.substr(i, width);
    }
    return out;
}

std::string Joined(const std::vector<std::string>& failures)
{
    std::string text;
    for (const std::string& f : failures) text += "\n  " + f;
    return text;
}

bool AnyContains(const std::vector<std::string>& failures, const std::string& part)
{
    for (const std::string& f : failures)
        if (f.find(part) != std::string::npos) return true;
    return false;
}

RequestExpectation Expect(KeyAlgorithm algorithm, bool isDouble, RequestHash hash = RequestHash::Sha1,
                          unsigned bits = 0)
{
    RequestExpectation e;
    e.algorithm = algorithm;
    e.isDouble = isDouble;
    e.hash = hash;
    e.subjectDn = kSubject;
    e.keyBits = bits;
    return e;
}

// One key of each kind for the whole program: RSA key generation is the slow part of these tests.
struct Keys {
    PkeyPtr rsa = NewKey("RSA", 1024);
    PkeyPtr rsaTemporary = NewKey("RSA", 1024);
    PkeyPtr sm2 = NewKey("SM2");
    PkeyPtr sm2Temporary = NewKey("SM2");
};
const Keys& TheKeys()
{
    static const Keys keys;
    return keys;
}

Bytes RsaRequest(bool isDouble, const EVP_MD* md, const Bytes& sigAlg, bool setAttributes = false)
{
    const Keys& k = TheKeys();
    const Bytes info = Info(SubjectName(), Spki(k.rsa.get()),
                            isDouble ? Attributes(RsaPublicKey(k.rsaTemporary.get()), setAttributes) : Bytes{});
    return Request(info, sigAlg, SignRsa(k.rsa.get(), md, info));
}

Bytes Sm2Request(bool isDouble, bool rawSignature = false)
{
    const Keys& k = TheKeys();
    const Bytes info = Info(SubjectName(), Spki(k.sm2.get()),
                            isDouble ? Attributes(Sm2TemporaryKey(Sm2Point(k.sm2Temporary.get()))) : Bytes{});
    Bytes r, s;
    SignSm2(k.sm2.get(), info, r, s);
    const Bytes sig = rawSignature ? Cat({r, s}) : Tlv(0x30, Cat({FixedWidthInteger(r), FixedWidthInteger(s)}));
    return Request(info, kSm2WithSm3, sig);
}

}  // namespace

// --- DER walker ---------------------------------------------------------------------------------------

TEST(DerWalker, ReadsWellFormedHeaders)
{
    struct Case {
        Bytes input;
        uint8_t tag;
        size_t contents;
    };
    Bytes long128 = {0x04, 0x81, 0x80};
    long128.resize(3 + 128, 0xEE);
    Bytes long256 = {0x30, 0x82, 0x01, 0x00};
    long256.resize(4 + 256, 0x00);
    for (const Case& c : std::vector<Case>{{{0x05, 0x00}, 0x05, 0},
                                           {{0x02, 0x01, 0x00}, 0x02, 1},
                                           {long128, 0x04, 128},
                                           {long256, 0x30, 256},
                                           {{0xA0, 0x00}, 0xA0, 0}}) {
        SCOPED_TRACE(HexOf(ByteView(c.input).first(std::min<size_t>(c.input.size(), 4))));
        DerWalker walker(c.input);
        DerElement e;
        ASSERT_TRUE(walker.Next(e));
        EXPECT_EQ(e.tag, c.tag);
        EXPECT_EQ(e.contents.size(), c.contents);
        EXPECT_EQ(e.whole.size(), c.input.size());
        EXPECT_TRUE(walker.Empty());
        EXPECT_FALSE(walker.Failed());
    }
}

TEST(DerWalker, RefusesHeadersThatAreNotStrictDerOrRunPastTheBuffer)
{
    for (const Bytes& input : std::vector<Bytes>{
             {0x30},                          // no length
             {0x30, 0x03, 0x02, 0x01},        // contents cut short
             {0x30, 0x80, 0x00, 0x00},        // indefinite length
             {0x04, 0x81, 0x05, 1, 2, 3, 4, 5},  // long form for a short length
             {0x04, 0x82, 0x00, 0x80},        // leading zero length octet
             {0x04, 0x85, 1, 0, 0, 0, 0},     // five length octets
             {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF},  // length far beyond the buffer
             {0x1F, 0x81, 0x01, 0x00},        // multi-byte tag number
         }) {
        SCOPED_TRACE(HexOf(input));
        DerWalker walker(input);
        DerElement e;
        EXPECT_FALSE(walker.Next(e));
        EXPECT_TRUE(walker.Failed());
        EXPECT_FALSE(walker.Next(e));  // stays failed
    }
}

// --- request text ---------------------------------------------------------------------------------

TEST(RequestText, AcceptsOnly64CharacterLinesJoinedByCrLf)
{
    Bytes der(150);
    for (size_t i = 0; i < der.size(); ++i) der[i] = static_cast<uint8_t>(i * 7);
    const std::string good = Base64Lines(der);  // 200 characters: three full lines and 8 more
    Bytes decoded;
    ASSERT_EQ(DecodeRequestText(good, decoded), "");
    EXPECT_EQ(decoded, der);

    std::string lfOnly = good;
    for (size_t p; (p = lfOnly.find("\r\n")) != std::string::npos;) lfOnly.erase(p, 1);
    std::string shortLine = good;
    shortLine.erase(10, 1);
    shortLine.insert(70, "A");
    struct Case {
        std::string text;
        std::string reason;
    };
    for (const Case& c : std::vector<Case>{
             {Base64Lines(der, 76), "line 1 has 76 characters"},
             {Base64Lines(der, 60), "line 1 has 60 characters"},
             {good + "\r\n", "text ends with CR LF"},
             {lfOnly, "bare CR or LF"},
             {shortLine, "line 1 has 63 characters"},
             {good.substr(0, good.size() - 1), "not a multiple of 4"},
             {"QQ=A", "'=' inside"},
             {"QR==", "padding bits"},
             {"", "empty"},
         }) {
        SCOPED_TRACE(c.reason);
        EXPECT_NE(DecodeRequestText(c.text, decoded).find(c.reason), std::string::npos)
            << DecodeRequestText(c.text, decoded);
    }
}

// --- JSON -------------------------------------------------------------------------------------------

TEST(HostReplyText, TakesApartWhatTheHostSends)
{
    HostReply reply;
    std::string error;
    ASSERT_TRUE(ParseHostReply(R"({"function":"QORA_PKCS10CertRequisition","errorcode":0,"result":"MIIB\r\nAAAA","randomId":"7"})",
                               reply, error))
        << error;
    EXPECT_EQ(reply.function, "QORA_PKCS10CertRequisition");
    EXPECT_EQ(reply.errorcode, 0);
    ASSERT_TRUE(reply.ResultIsString());
    EXPECT_EQ(reply.ResultText(), "MIIB\r\nAAAA");
    EXPECT_EQ(reply.randomId, "7");

    // the fixed error text, with its spaces and without a token
    ASSERT_TRUE(ParseHostReply(R"({"function":"QORA_Nope", "errorcode":-2146893779, "result":false})", reply, error));
    EXPECT_EQ(reply.errorcode, -2146893779);
    EXPECT_TRUE(reply.result.is_boolean() && !reply.ResultIsTrue());
    EXPECT_FALSE(reply.hasRandomId);

    ASSERT_TRUE(ParseHostReply(R"({"function":"X","errorcode":0,"result":"\u4e2d\ud83d\ude00"})", reply, error));
    EXPECT_EQ(reply.ResultText(), "\xE4\xB8\xAD\xF0\x9F\x98\x80");
}

TEST(HostReplyText, RefusesAnswersWithoutTheirMembers)
{
    // Strict JSON is the library's; these are the shape the peer demands of an answer.
    for (const std::string& text : std::vector<std::string>{
             "{", R"(["function"])", R"({"function":5,"errorcode":0})", R"({"function":"X","errorcode":"0"})",
             R"({"function":"X"})", R"({"function":"X","errorcode":1.5})", R"({"function":"X","errorcode":0,"randomId":7})",
             R"({"function":"\ud800","errorcode":0})"}) {
        SCOPED_TRACE(text);
        HostReply reply;
        std::string error;
        EXPECT_FALSE(ParseHostReply(text, reply, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(HostRequestText, EscapesTextAndOmitsAnEmptyToken)
{
    EXPECT_EQ(HostRequest("QORA_SetCSPInfo", {"1024", JsonString("A \"B\"\\C")}),
              R"({"function":"QORA_SetCSPInfo","params":[1024,"A \"B\"\\C"]})");
    EXPECT_EQ(HostRequest("QORA_GetVersion", {}, "7"), R"({"function":"QORA_GetVersion","params":[],"randomId":"7"})");
}

// --- requests the peer must accept --------------------------------------------------------------------

TEST(RequestChecks, AcceptsWellFormedRequestsOfEveryShape)
{
    struct Case {
        const char* name;
        Bytes der;
        RequestExpectation expect;
    };
    const std::vector<Case> cases = {
        {"RSA single SHA-1", RsaRequest(false, EVP_sha1(), kSha1WithRsa), Expect(KeyAlgorithm::Rsa, false, RequestHash::Sha1, 1024)},
        {"RSA single MD5", RsaRequest(false, EVP_md5(), kMd5WithRsa), Expect(KeyAlgorithm::Rsa, false, RequestHash::Md5, 1024)},
        {"RSA double", RsaRequest(true, EVP_sha1(), kSha1WithRsa), Expect(KeyAlgorithm::Rsa, true, RequestHash::Sha1, 1024)},
        {"SM2 single", Sm2Request(false), Expect(KeyAlgorithm::Sm2, false)},
        {"SM2 double", Sm2Request(true), Expect(KeyAlgorithm::Sm2, true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ParsedRequest parsed;
        const std::vector<std::string> failures = CheckRequest(Base64Lines(c.der), c.expect, &parsed);
        EXPECT_TRUE(failures.empty()) << Joined(failures);
        EXPECT_EQ(parsed.temporaryKey.empty(), !c.expect.isDouble);
    }
}

TEST(RequestChecks, HandsBackTheTemporaryKeyAsSent)
{
    ParsedRequest parsed;
    ASSERT_TRUE(CheckRequest(Base64Lines(RsaRequest(true, EVP_sha1(), kSha1WithRsa)),
                             Expect(KeyAlgorithm::Rsa, true), &parsed)
                    .empty());
    EXPECT_EQ(parsed.temporaryKey, RsaPublicKey(TheKeys().rsaTemporary.get()));
}

// The fixed-width INTEGERs of an SM2 signature, with a known signature whose r needs the added 00 and
// whose s begins with a zero byte that must stay.
TEST(RequestChecks, Sm2SignatureKeepsFullWidthIntegers)
{
    const Bytes info = BytesFromHex(
        "30700201003010310E300C06035504030C0546697865643059301306072A8648CE3D020106082A811CCF5501822D03420004"
        "0FAF994264B1B4160D0919EC06D479A8D330E4C252AF3DD397F876104C9CB83CF81B25EA81D5EA6B253453DAD13916FC7749"
        "B79E59E9DA230756DE1B066233BE");
    const Bytes r = BytesFromHex("AAE1B6552D1261F0442B2D69066DC1E43C0FD7B566F9784181937DB4FED264E2");
    const Bytes s = BytesFromHex("00511BB7D7A0646D2C0BB346A5CF6888BA77F591DC2D429D64877785C10AA4F2");
    RequestExpectation expect = Expect(KeyAlgorithm::Sm2, false);
    expect.subjectDn = "CN=Fixed";

    const Bytes fixedSig = Tlv(0x30, Cat({FixedWidthInteger(r), FixedWidthInteger(s)}));
    ASSERT_EQ(HexOf(ByteView(fixedSig).first(4)), "30 45 02 21");  // 00 added in front of r
    EXPECT_EQ(HexOf(ByteView(fixedSig).subspan(37, 3)), "02 20 00");  // s keeps its leading zero
    const std::vector<std::string> good = CheckRequest(Base64Lines(Request(info, kSm2WithSm3, fixedSig)), expect);
    EXPECT_TRUE(good.empty()) << Joined(good);

    // The same numbers minimally encoded: OpenSSL would take them, the authority expects the full width.
    const Bytes minimalSig = Tlv(0x30, Cat({MinimalInteger(r), MinimalInteger(s)}));
    ParsedRequest parsed;
    ASSERT_EQ(ParseRequest(Request(info, kSm2WithSm3, minimalSig), parsed), "");
    EXPECT_EQ(VerifyRequestSignature(parsed, expect), "");
    EXPECT_NE(CheckSm2SignatureEncoding(parsed.signature).find("INTEGER s"), std::string::npos);

    Bytes flipped = fixedSig;
    flipped[10] ^= 0x01;
    ASSERT_EQ(ParseRequest(Request(info, kSm2WithSm3, flipped), parsed), "");
    EXPECT_NE(VerifyRequestSignature(parsed, expect), "");
}

TEST(RequestChecks, Sm2IntegerWidthRule)
{
    const Bytes high(32, 0x80), low(32, 0x7F);
    Bytes zeroFirst(32, 0x11);
    zeroFirst[0] = 0x00;
    struct Case {
        const char* name;
        Bytes sig;
        bool ok;
    };
    for (const Case& c : std::vector<Case>{
             {"32 and 33 bytes", Tlv(0x30, Cat({Tlv(0x02, low), Tlv(0x02, Cat({{0x00}, high}))})), true},
             {"leading zero kept", Tlv(0x30, Cat({Tlv(0x02, zeroFirst), Tlv(0x02, low)})), true},
             {"leading zero dropped", Tlv(0x30, Cat({Tlv(0x02, Bytes(zeroFirst.begin() + 1, zeroFirst.end())), Tlv(0x02, low)})), false},
             {"high byte without 00", Tlv(0x30, Cat({Tlv(0x02, high), Tlv(0x02, low)})), false},
             {"00 before a low byte", Tlv(0x30, Cat({Tlv(0x02, Cat({{0x00}, low})), Tlv(0x02, low)})), false},
             {"three INTEGERs", Tlv(0x30, Cat({Tlv(0x02, low), Tlv(0x02, low), Tlv(0x02, low)})), false},
             {"bytes after the SEQUENCE", Cat({Tlv(0x30, Cat({Tlv(0x02, low), Tlv(0x02, low)})), {0x00}}), false},
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CheckSm2SignatureEncoding(c.sig).empty(), c.ok) << CheckSm2SignatureEncoding(c.sig);
    }
}

// --- requests the peer must refuse --------------------------------------------------------------------

TEST(RequestChecks, RefusesBrokenRequests)
{
    const Keys& k = TheKeys();
    Bytes rsaFlipped = RsaRequest(false, EVP_sha1(), kSha1WithRsa);
    rsaFlipped[rsaFlipped.size() - 5] ^= 0x01;
    Bytes sm2Flipped = Sm2Request(false);
    sm2Flipped[sm2Flipped.size() - 3] ^= 0x01;

    const Bytes rsaSpki = Spki(k.rsa.get());
    auto signedRsa = [&](const Bytes& name, const Bytes& attributes) {
        const Bytes info = Info(name, rsaSpki, attributes);
        return Request(info, kSha1WithRsa, SignRsa(k.rsa.get(), EVP_sha1(), info));
    };
    const Bytes wrongOrder = signedRsa(Name({{"CN", V_ASN1_UTF8STRING, "Alice"},
                                             {"OU", V_ASN1_UTF8STRING, "Unit"},
                                             {"O", V_ASN1_UTF8STRING, "Org"},
                                             {"C", V_ASN1_PRINTABLESTRING, "CN"}}),
                                       {});
    const Bytes cnPrintable = signedRsa(Name({{"C", V_ASN1_PRINTABLESTRING, "CN"},
                                              {"O", V_ASN1_UTF8STRING, "Org"},
                                              {"OU", V_ASN1_UTF8STRING, "Unit"},
                                              {"CN", V_ASN1_PRINTABLESTRING, "Alice"}}),
                                        {});
    const Bytes emptyAttributes = signedRsa(SubjectName(), {0xA0, 0x00});
    const Bytes shortTemporary = signedRsa(SubjectName(), Attributes(RsaPublicKey(NewKey("RSA", 512).get())));

    Bytes offCurve = Sm2TemporaryKey(Sm2Point(k.sm2Temporary.get()));
    offCurve[9] ^= 0x01;
    const Bytes sm2Info = Info(SubjectName(), Spki(k.sm2.get()), Attributes(offCurve));
    Bytes r, s;
    SignSm2(k.sm2.get(), sm2Info, r, s);
    const Bytes sm2OffCurve = Request(sm2Info, kSm2WithSm3, Tlv(0x30, Cat({FixedWidthInteger(r), FixedWidthInteger(s)})));

    struct Case {
        const char* name;
        Bytes der;
        RequestExpectation expect;
        std::string failure;  // a part of the message that must be among the failures
    };
    const std::vector<Case> cases = {
        {"RSA flipped signature byte", rsaFlipped, Expect(KeyAlgorithm::Rsa, false), "signature: RSA PKCS#1"},
        {"RSA flipped signature byte, OpenSSL", rsaFlipped, Expect(KeyAlgorithm::Rsa, false), "X509_REQ_verify rejects"},
        {"SM2 flipped signature byte", sm2Flipped, Expect(KeyAlgorithm::Sm2, false), "does not verify"},
        {"SHA-1 request taken for MD5", RsaRequest(false, EVP_sha1(), kSha1WithRsa),
         Expect(KeyAlgorithm::Rsa, false, RequestHash::Md5), "signature algorithm is"},
        {"MD5 signature under the SHA-1 identifier", RsaRequest(false, EVP_md5(), kSha1WithRsa),
         Expect(KeyAlgorithm::Rsa, false), "does not verify"},
        {"attributes with a SET", RsaRequest(true, EVP_sha1(), kSha1WithRsa, true), Expect(KeyAlgorithm::Rsa, true),
         "wrapped in a SET"},
        {"double request taken for single", RsaRequest(true, EVP_sha1(), kSha1WithRsa), Expect(KeyAlgorithm::Rsa, false),
         "want 3 and no [0]"},
        {"single request taken for double", RsaRequest(false, EVP_sha1(), kSha1WithRsa), Expect(KeyAlgorithm::Rsa, true),
         "without exactly one [0]"},
        {"empty [0] in a single request", emptyAttributes, Expect(KeyAlgorithm::Rsa, false), "want 3 and no [0]"},
        {"subject in text order", wrongOrder, Expect(KeyAlgorithm::Rsa, false), "identifier is 2.5.4.3"},
        {"CN as PrintableString", cnPrintable, Expect(KeyAlgorithm::Rsa, false), "value tag 13, want 0C"},
        {"512-bit temporary key", shortTemporary, Expect(KeyAlgorithm::Rsa, true), "bits, want 1024"},
        {"wrong key size", RsaRequest(false, EVP_sha1(), kSha1WithRsa), Expect(KeyAlgorithm::Rsa, false, RequestHash::Sha1, 2048),
         "want 2048"},
        {"SM2 temporary key off the curve", sm2OffCurve, Expect(KeyAlgorithm::Sm2, true), "temporary key: SM2 point"},
        {"SM2 key read as RSA", Sm2Request(false), Expect(KeyAlgorithm::Rsa, false), "public key algorithm is 1.2.840.10045.2.1"},
        {"SM2 raw r and s without DER", Sm2Request(false, true), Expect(KeyAlgorithm::Sm2, false),
         "signature encoding: SM2 signature is not one SEQUENCE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> failures = CheckRequest(Base64Lines(c.der), c.expect);
        EXPECT_TRUE(AnyContains(failures, c.failure)) << "want \"" << c.failure << "\" among:" << Joined(failures);
    }
}

TEST(RequestChecks, OpenSslsOwnRequestHasAnEmptyAttributeSet)
{
    // X509_REQ always writes [0] (A0 00); the authority's single request has none, so ours must not
    // mistake the one for the other.
    const Keys& k = TheKeys();
    X509ReqPtr req(X509_REQ_new());
    ASSERT_TRUE(req);
    const Bytes nameDer = SubjectName();
    const unsigned char* p = nameDer.data();
    OsslPtr<X509_NAME, X509_NAME_free> name(d2i_X509_NAME(nullptr, &p, static_cast<long>(nameDer.size())));
    ASSERT_TRUE(name);
    ASSERT_EQ(X509_REQ_set_subject_name(req.get(), name.get()), 1);
    ASSERT_EQ(X509_REQ_set_pubkey(req.get(), k.rsa.get()), 1);
    ASSERT_GT(X509_REQ_sign(req.get(), k.rsa.get(), EVP_sha1()), 0);
    unsigned char* der = nullptr;
    const int n = i2d_X509_REQ(req.get(), &der);
    ASSERT_GT(n, 0);
    const Bytes bytes(der, der + n);
    OPENSSL_free(der);

    EXPECT_EQ(VerifyWithX509Req(bytes), "");
    const std::vector<std::string> failures = CheckRequest(Base64Lines(bytes), Expect(KeyAlgorithm::Rsa, false));
    ASSERT_EQ(failures.size(), 1u) << Joined(failures);
    EXPECT_NE(failures[0].find("want 3 and no [0]"), std::string::npos);
}

TEST(RequestChecks, SubjectTextMapsToDerOrderAndTypes)
{
    std::vector<Rdn> rdns;
    ASSERT_EQ(ExpectedRdns("CN=Alice, OU=Unit,o=Org,C=CN,E=a@b.c", rdns), "");
    ASSERT_EQ(rdns.size(), 5u);
    const std::vector<std::tuple<std::string, uint8_t, std::string>> want = {
        {"1.2.840.113549.1.9.1", 0x16, "a@b.c"}, {"2.5.4.6", 0x13, "CN"}, {"2.5.4.10", 0x0C, "Org"},
        {"2.5.4.11", 0x0C, "Unit"}, {"2.5.4.3", 0x0C, "Alice"}};
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rdns[i].oid, std::get<0>(want[i]));
        EXPECT_EQ(rdns[i].tag, std::get<1>(want[i]));
        EXPECT_EQ(rdns[i].value, std::get<2>(want[i]));
    }
    for (const char* bad : {"CN=a,,O=b", "CN=a,", "CN", "CN=a=b", "XX=a"}) {
        SCOPED_TRACE(bad);
        EXPECT_NE(ExpectedRdns(bad, rdns), "");
    }
}

// --- the process on the other end of the pipes (plain programs, no Wine) --------------------------------

TEST(HostProcess, ExchangesFramesAndCollectsTheExitCode)
{
    HostProcess cat;
    std::string error;
    ASSERT_TRUE(cat.Start({"cat"}, {}, error)) << error;
    for (const std::string& body : {std::string("{\"function\":\"x\"}"), std::string(70000, 'a'), std::string()}) {
        std::string reply;
        if (body.empty()) {
            // a zero length is a frame with an empty body
            ASSERT_TRUE(cat.WriteFrame(body, error)) << error;
            ASSERT_EQ(cat.ReadFrame(reply, std::chrono::seconds(10), error), HostProcess::ReadStatus::Frame) << error;
        } else {
            ASSERT_TRUE(cat.Exchange(body, reply, std::chrono::seconds(10), error)) << error;
        }
        EXPECT_EQ(reply, body);
    }
    cat.CloseInput();
    std::string reply;
    EXPECT_EQ(cat.ReadFrame(reply, std::chrono::seconds(10), error), HostProcess::ReadStatus::EndOfStream);
    int code = -1;
    ASSERT_TRUE(cat.Wait(code, std::chrono::seconds(10)));
    EXPECT_EQ(code, 0);

    HostProcess exits;
    ASSERT_TRUE(exits.Start({"sh", "-c", "exit 3"}, {}, error)) << error;
    ASSERT_TRUE(exits.Wait(code, std::chrono::seconds(10)));
    EXPECT_EQ(code, 3);
}

TEST(HostProcess, BoundsEveryWait)
{
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        HostProcess::ReadStatus want;
    };
    for (const Case& c : std::vector<Case>{
             {"silent program", {"sleep", "30"}, HostProcess::ReadStatus::Timeout},
             {"length FF FF FF FF", {"printf", "\\377\\377\\377\\377"}, HostProcess::ReadStatus::Oversize},
             {"length above the limit", {"printf", "\\001\\000\\020\\000"}, HostProcess::ReadStatus::Oversize},
             {"body cut short", {"printf", "\\005\\000\\000\\000ab"}, HostProcess::ReadStatus::Error},
             {"stops in the prefix", {"printf", "\\005\\000"}, HostProcess::ReadStatus::EndOfStream},
         }) {
        SCOPED_TRACE(c.name);
        HostProcess process;
        std::string error, body;
        ASSERT_TRUE(process.Start(c.argv, {}, error)) << error;
        EXPECT_EQ(process.ReadFrame(body, std::chrono::milliseconds(300), error), c.want) << error;
    }
    // A program that will not end is killed and reaped when the wait runs out.
    HostProcess stubborn;
    std::string error;
    ASSERT_TRUE(stubborn.Start({"sleep", "30"}, {}, error)) << error;
    const pid_t pid = stubborn.Pid();
    int code = 0;
    EXPECT_FALSE(stubborn.Wait(code, std::chrono::milliseconds(200)));
    EXPECT_FALSE(stubborn.Running());
    EXPECT_EQ(kill(pid, 0), -1);  // gone, not a zombie of ours
}

TEST(HostProcess, PassesTheEnvironmentAndKeepsStderrApart)
{
    HostProcess process;
    std::string error, body;
    ASSERT_TRUE(process.Start({"sh", "-c", "printf '\\003\\000\\000\\000%s' \"$BM_PROBE\"; echo oops >&2"},
                              {{"BM_PROBE", "xyz"}}, error))
        << error;
    ASSERT_EQ(process.ReadFrame(body, std::chrono::seconds(10), error), HostProcess::ReadStatus::Frame) << error;
    EXPECT_EQ(body, "xyz");
    int code = -1;
    ASSERT_TRUE(process.Wait(code, std::chrono::seconds(10)));
    EXPECT_EQ(process.StderrText(), "oops\n");
}
