// Encryption imports through the host with answers the authority damaged on purpose: the delivered key's
// components, its DER, the envelope's length fields and Base64, and the certificate. After every import the
// host must still answer, and the container must hold either the certificate's own key with the certificate,
// or nothing for that certificate at all. Mutations are a fixed table with seeded bit positions; each shape
// starts and ends with an undamaged import, so the later one also proves the failures left the temporary
// key usable.
#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>

#include "support/CertRecords.h"
#include "support/HostSession.h"
#include "support/KeyContainers.h"
#include "support/Tools.h"

using namespace bm;
namespace fs = std::filesystem;

namespace {

const char kSubject[] = "CN=Mutation Test,O=Brindlemark Demo Bank,C=CN";
constexpr uint32_t kSeed = 0x5eed2026;
constexpr int64_t kImportRefused = -1610148861;  // 0xA0071403
constexpr long kHuge = LONG_MAX;                 // a length field of sixteen nines

enum class Damage {
    None,
    FlipBit,        // a seeded bit of component `part` (RSA: 1 n .. 8 qInv in the RSAPrivateKey; SM2: the scalar)
    CutKey,         // the plaintext `arg` bytes shorter (0: half of it)
    ExtendKey,      // INTEGER 0 appended after the key
    Retag,          // component `part` (0: the outer SEQUENCE) under tag `arg`
    FillKey,        // every byte of the SM2 scalar `arg`
    FieldLength,    // length field `part` (3: session key field, 4: key field) moved by `arg`, or kHuge
    Base64Char,     // a character in the middle of field `part` (3 or 4, as above) becomes `arg`
    Base64Padding,  // "==" before the key field's comma, its length field following
    OtherKeyCert,   // the certificate of another key
    CutCert,        // the certificate `arg` bytes short (0: half of it)
    TrailingCert,   // `arg` zero bytes after the certificate (0: the certificate twice)
};

struct Mutation {
    const char* label;
    Damage damage;
    int part = 0;
    long arg = 0;
};

const std::vector<Mutation> kRsaMutations = {
    {"control", Damage::None},
    {"flip n", Damage::FlipBit, 1},
    {"flip e", Damage::FlipBit, 2},
    {"flip d", Damage::FlipBit, 3},
    {"flip p", Damage::FlipBit, 4},
    {"flip q", Damage::FlipBit, 5},
    {"flip dP", Damage::FlipBit, 6},
    {"flip dQ", Damage::FlipBit, 7},
    {"flip qInv", Damage::FlipBit, 8},
    {"DER cut by 1", Damage::CutKey, 0, 1},
    {"DER cut in half", Damage::CutKey, 0, 0},
    {"DER with an INTEGER after it", Damage::ExtendKey},
    {"n as OCTET STRING", Damage::Retag, 1, 0x04},
    {"SEQUENCE as SET", Damage::Retag, 0, 0x31},
    {"key length -1", Damage::FieldLength, 4, -1},
    {"key length +1", Damage::FieldLength, 4, 1},
    {"key length huge", Damage::FieldLength, 4, kHuge},
    {"key Base64 '*'", Damage::Base64Char, 4, '*'},
    {"key Base64 '=' inside", Damage::Base64Char, 4, '='},
    {"key Base64 extra padding", Damage::Base64Padding},
    {"certificate of another key", Damage::OtherKeyCert},
    {"certificate cut by 1", Damage::CutCert, 0, 1},
    {"certificate cut in half", Damage::CutCert, 0, 0},
    {"certificate with a trailing byte", Damage::TrailingCert, 0, 1},
    {"certificate twice", Damage::TrailingCert, 0, 0},
    {"control after damage", Damage::None},
};

// Only where the envelope carries a session key.
const std::vector<Mutation> kSessionMutations = {
    {"session length +1", Damage::FieldLength, 3, 1},
    {"session length huge", Damage::FieldLength, 3, kHuge},
    {"session Base64 '*'", Damage::Base64Char, 3, '*'},
};

const std::vector<Mutation> kSm2Mutations = {
    {"control", Damage::None},
    {"flip scalar a", Damage::FlipBit, 0},
    {"flip scalar b", Damage::FlipBit, 0},
    {"flip scalar c", Damage::FlipBit, 0},
    {"scalar cut by 1", Damage::CutKey, 0, 1},
    {"scalar with a byte more", Damage::ExtendKey},
    {"scalar zero", Damage::FillKey, 0, 0x00},
    {"scalar above the order", Damage::FillKey, 0, 0xFF},
    {"key length -1", Damage::FieldLength, 4, -1},
    {"key length +1", Damage::FieldLength, 4, 1},
    {"key length huge", Damage::FieldLength, 4, kHuge},
    {"key Base64 '*'", Damage::Base64Char, 4, '*'},
    {"key Base64 '=' inside", Damage::Base64Char, 4, '='},
    {"key Base64 extra padding", Damage::Base64Padding},
    {"certificate of another key", Damage::OtherKeyCert},
    {"certificate cut by 1", Damage::CutCert, 0, 1},
    {"certificate with a trailing byte", Damage::TrailingCert, 0, 1},
    {"certificate twice", Damage::TrailingCert, 0, 0},
    {"control after damage", Damage::None},
};

struct Shape {
    const char* label;
    const char* algorithm;
    const char* csp;
    int bits;
    const char* format;
    bool microsoft;  // the certificate goes to MY, linked to the container
    bool session;
};
void PrintTo(const Shape& s, std::ostream* os) { *os << s.label; }

std::string CaDir()
{
    static const std::string dir = CopyOfDemoCa();
    return dir;
}

std::string Base64Of(const Bytes& bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(n));
    return text;
}

Bytes DerOfCertificate(const std::string& base64)
{
    const X509Ptr cert = X509FromBase64(base64);
    unsigned char* out = nullptr;
    const int n = cert ? i2d_X509(cert.get(), &out) : -1;
    Bytes der;
    if (n > 0) der.assign(out, out + n);
    OPENSSL_free(out);
    return der;
}

std::string ThumbprintOf(const Bytes& der)
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), digest);
    std::string hex = HexOf(ByteView(digest, sizeof digest));
    std::erase(hex, ' ');
    for (char& c : hex) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return hex;
}

bool SameThumbprint(std::string a, const std::string& b)
{
    for (char& c : a) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return a == b;
}

bool WriteBytes(const fs::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// What the authority encrypts for the key: the RSAPrivateKey, or the SM2 scalar as 32 big-endian bytes.
Bytes PlaintextOf(const fs::path& pemFile, bool sm2)
{
    std::ifstream in(pemFile);
    std::stringstream text;
    text << in.rdbuf();
    const std::string pem = text.str();
    using BioPtr = OsslPtr<BIO, BIO_free_all>;
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    Bytes plain;
    if (!key) return plain;
    if (sm2) {
        BIGNUM* raw = nullptr;
        if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1) return plain;
        BignumPtr scalar(raw);
        plain.assign(32, 0);
        if (BN_bn2binpad(scalar.get(), plain.data(), 32) != 32) plain.clear();
        return plain;
    }
    unsigned char* out = nullptr;
    const int n = i2d_PrivateKey(key.get(), &out);
    if (n > 0) plain.assign(out, out + n);
    OPENSSL_free(out);
    return plain;
}

// The offset and length of the contents of the RSAPrivateKey's element `part`, and of its tag.
bool LocatePart(const Bytes& plain, int part, size_t& tagAt, size_t& contentsAt, size_t& length)
{
    DerWalker top(plain);
    DerElement seq, element;
    if (!top.Expect(0x30, seq)) return false;
    DerWalker parts(seq.contents);
    for (int i = 0; i <= part; ++i)
        if (!parts.Next(element)) return false;
    tagAt = static_cast<size_t>(element.whole.data() - plain.data());
    contentsAt = static_cast<size_t>(element.contents.data() - plain.data());
    length = element.contents.size();
    return true;
}

// The plaintext after the mutation; `what` says where a seeded bit went.
bool DamagePlaintext(const Mutation& m, bool sm2, std::mt19937& rng, Bytes& plain, std::string& what)
{
    switch (m.damage) {
    case Damage::FlipBit: {
        size_t tagAt = 0, at = 0, length = plain.size();
        if (!sm2 && !LocatePart(plain, m.part, tagAt, at, length)) return false;
        const size_t bit = rng() % (length * 8);
        plain[at + bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
        what = "bit " + std::to_string(bit);
        return true;
    }
    case Damage::CutKey:
        plain.resize(m.arg == 0 ? plain.size() / 2 : plain.size() - static_cast<size_t>(m.arg));
        return true;
    case Damage::ExtendKey:
        if (sm2) plain.push_back(0x01);
        else plain.insert(plain.end(), {0x02, 0x01, 0x00});
        return true;
    case Damage::Retag: {
        size_t tagAt = 0, at = 0, length = 0;
        if (m.part != 0 && !LocatePart(plain, m.part, tagAt, at, length)) return false;
        plain[tagAt] = static_cast<uint8_t>(m.arg);
        return true;
    }
    case Damage::FillKey:
        std::fill(plain.begin(), plain.end(), static_cast<uint8_t>(m.arg));
        return true;
    default:
        return true;
    }
}

std::string Number16(long long value)
{
    char text[32];
    snprintf(text, sizeof text, "%016lld", value);
    return text;
}

// Field 3 is the session key field, 4 the key field: where its length stands and where it begins.
bool LocateField(const std::string& envelope, int field, size_t& lengthAt, size_t& at, size_t& length)
{
    const auto number = [&envelope](size_t pos, size_t& value) {
        if (envelope.size() < pos + 16) return false;
        const std::string digits = envelope.substr(pos, 16);
        if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
        value = static_cast<size_t>(strtoull(digits.c_str(), nullptr, 10));
        return true;
    };
    size_t sessionLength = 0;
    if (!number(48, sessionLength)) return false;
    lengthAt = field == 3 ? 48 : 64 + sessionLength;
    if (!number(lengthAt, length)) return false;
    at = lengthAt + 16;
    return envelope.size() >= at + length && length > 2;
}

bool DamageEnvelope(const Mutation& m, std::string& envelope)
{
    size_t lengthAt = 0, at = 0, length = 0;
    switch (m.damage) {
    case Damage::FieldLength:
        if (!LocateField(envelope, m.part, lengthAt, at, length)) return false;
        envelope.replace(lengthAt, 16,
                         m.arg == kHuge ? std::string(16, '9') : Number16(static_cast<long long>(length) + m.arg));
        return true;
    case Damage::Base64Char:
        if (!LocateField(envelope, m.part, lengthAt, at, length)) return false;
        envelope[at + length / 2] = static_cast<char>(m.arg);
        return true;
    case Damage::Base64Padding:
        if (!LocateField(envelope, 4, lengthAt, at, length)) return false;
        envelope.insert(at + length - 1, "==");  // before the comma
        envelope.replace(lengthAt, 16, Number16(static_cast<long long>(length) + 2));
        return true;
    default:
        return true;
    }
}

Bytes DamageCertificate(const Mutation& m, Bytes der)
{
    if (m.damage == Damage::CutCert) der.resize(m.arg == 0 ? der.size() / 2 : der.size() - static_cast<size_t>(m.arg));
    if (m.damage == Damage::TrailingCert) {
        const Bytes once = der;
        if (m.arg == 0) der.insert(der.end(), once.begin(), once.end());
        else der.insert(der.end(), static_cast<size_t>(m.arg), 0x00);
    }
    return der;
}

class EnvelopeMutation : public ::testing::TestWithParam<Shape> {
protected:
    // A fresh request and its signing import: the container whose temporary key the next envelopes are for.
    ::testing::AssertionResult NewContainer()
    {
        const Shape& s = GetParam();
        if (auto r = m_session->Configure(s.algorithm, s.bits, s.csp); !r) return r;
        if (auto r = m_session->Request("QORA_PKCS10CertRequisition", 2, m_request, m_container, kSubject); !r) return r;
        m_sweep->Add(m_container);
        ToolRun issued;
        if (auto r = RunDemoca({"issue", "--ca-dir", CaDir(), "--format", s.format}, m_request, issued); !r) return r;
        if (issued.code != 0) return ::testing::AssertionFailure() << "democa issue: " << issued.err;
        HostReply reply;
        if (auto r = m_session->Call("QORA_ImportSignCert",
                                     {"2", JsonString(issued.json.value("signCert", "")), JsonString(m_container)},
                                     reply);
            !r)
            return r;
        if (reply.errorcode != 0 || !reply.ResultIsTrue())
            return ::testing::AssertionFailure() << "signing import answered " << reply.errorcode;
        return ExchangeKeyInfo(m_temporaryKeyInfo);
    }

    // The public key info of the container's exchange key, as the inspector exports it when it signs.
    ::testing::AssertionResult ExchangeKeyInfo(std::string& info)
    {
        const Shape& s = GetParam();
        ToolRun run;
        if (auto r = RunInspector({"sign", "--csp", s.csp, "--container", m_container, "--spec", "1", "--hash",
                                   std::string(s.algorithm) == "SM2" ? "sm3" : "sha1", "--data", "00", "--json"},
                                  run);
            !r)
            return r;
        info = run.code == 0 ? run.json.value("publicKeyInfo", "") : "inspector sign: " + run.out + run.err;
        return ::testing::AssertionSuccess();
    }

    // The container's exchange key signs under the certificate's key, its public key is the certificate's, and
    // the certificate is installed with it.
    ::testing::AssertionResult Installed(const Bytes& certDer)
    {
        const Shape& s = GetParam();
        const bool sm2 = std::string(s.algorithm) == "SM2";
        Bytes data(48);
        RAND_bytes(data.data(), static_cast<int>(data.size()));
        std::string hex = HexOf(data);
        std::erase(hex, ' ');
        ToolRun run;
        if (auto r = RunInspector({"sign", "--csp", s.csp, "--container", m_container, "--spec", "1", "--hash",
                                   sm2 ? "sm3" : "sha1", "--data", hex, "--json"},
                                  run);
            !r)
            return r;
        if (run.code != 0) return ::testing::AssertionFailure() << "inspector sign: " << run.out << run.err;
        const X509Ptr cert = X509FromDer(certDer);
        if (!cert) return ::testing::AssertionFailure() << "OpenSSL cannot read the certificate";
        if (!Verifies(X509_get0_pubkey(cert.get()), sm2, sm2 ? EVP_sm3() : EVP_sha1(), data,
                      BytesFromHex(run.json.value("signature", ""))))
            return ::testing::AssertionFailure() << "the exchange key's signature does not verify under the certificate";
        const PkeyPtr exported = KeyOf(BytesFromHex(run.json.value("publicKeyInfo", "")));
        if (!exported || EVP_PKEY_eq(exported.get(), X509_get0_pubkey(cert.get())) != 1)
            return ::testing::AssertionFailure() << "the exchange key's public part is not the certificate's: "
                                                 << run.json.value("publicKeyInfo", "");
        bool carried = false;
        if (auto r = CertificateCarried(ThumbprintOf(certDer), carried); !r) return r;
        if (!carried) return ::testing::AssertionFailure() << "the certificate is not installed with the key";
        return ::testing::AssertionSuccess();
    }

    // Whether the certificate is in MY linked to the container's exchange key (Microsoft provider) or on the
    // token's key 1; anything else installed for the exchange key fails.
    ::testing::AssertionResult CertificateCarried(const std::string& thumbprint, bool& carried)
    {
        const Shape& s = GetParam();
        carried = false;
        ToolRun run;
        if (s.microsoft) {
            if (auto r = RunInspector({"store", "--name", "MY", "--json"}, run); !r) return r;
            if (run.code != 0) return ::testing::AssertionFailure() << "inspector store: " << run.out << run.err;
            for (const Json& c : run.json.value("certificates", Json::array())) {
                const bool same = SameThumbprint(c.value("thumbprint", ""), thumbprint);
                const Json link = c.value("keyProvider", Json());
                const bool linked = link.is_object() && link.value("container", "") == m_container &&
                                    link.value("keySpec", 0) == 1;
                if (linked && !same)
                    return ::testing::AssertionFailure() << "MY links another certificate to the exchange key: "
                                                         << c.dump();
                carried = carried || (same && linked);
                if (same && !linked)
                    return ::testing::AssertionFailure() << "the certificate is in MY without the exchange key: "
                                                         << c.dump();
            }
            return ::testing::AssertionSuccess();
        }
        if (auto r = RunInspector({"containers", "--csp", s.csp, "--json"}, run); !r) return r;
        if (run.code != 0) return ::testing::AssertionFailure() << "inspector containers: " << run.out << run.err;
        for (const Json& c : run.json.value("containers", Json::array())) {
            if (c.value("name", "") != m_container) continue;
            for (const Json& key : c.value("keys", Json::array())) {
                const Json cert = key.value("certificate", Json());
                if (key.value("spec", 0) != 1 || cert.is_null()) continue;
                if (!SameThumbprint(cert.value("thumbprint", ""), thumbprint))
                    return ::testing::AssertionFailure() << "key 1 carries another certificate: " << key.dump();
                carried = true;
            }
        }
        return ::testing::AssertionSuccess();
    }

    std::unique_ptr<HostSession> m_session;
    std::unique_ptr<ContainerSweep> m_sweep;
    std::string m_request, m_container;
    std::string m_temporaryKeyInfo;
};

TEST_P(EnvelopeMutation, DamagedAnswersInstallTheCertificatesKeyOrNothing)
{
    const Shape& s = GetParam();
    const bool sm2 = std::string(s.algorithm) == "SM2";
    m_session = std::make_unique<HostSession>();
    ASSERT_TRUE(m_session->Start());
    if (!s.microsoft) {
        bool registered = false;
        ASSERT_TRUE(m_session->ProviderRegistered(s.csp, registered));
        if (!registered) GTEST_SKIP() << s.csp << " is not registered (scripts/install-providers)";
    }
    m_sweep = std::make_unique<ContainerSweep>(s.csp);
    ASSERT_TRUE(NewContainer());

    // The delivered key and another one, both the CA's own, kept for the rows.
    const fs::path work = fs::temp_directory_path() / ("bm-mutation-" + std::to_string(getpid()) + "-" + s.label);
    fs::create_directories(work);
    for (const char* name : {"key", "other"}) {
        ToolRun issued;
        ASSERT_TRUE(RunDemoca({"issue", "--ca-dir", CaDir(), "--format", s.format, "--out", (work / name).string()},
                              m_request, issued));
        ASSERT_EQ(issued.code, 0) << issued.err;
    }
    const fs::path keyPem = work / "key" / "encrypt-key.pem", otherPem = work / "other" / "encrypt-key.pem";
    const Bytes plain = PlaintextOf(keyPem, sm2);
    ASSERT_FALSE(plain.empty());

    std::vector<Mutation> rows = sm2 ? kSm2Mutations : kRsaMutations;
    if (s.session) rows.insert(rows.end() - 1, kSessionMutations.begin(), kSessionMutations.end());
    std::map<int64_t, int> answers;
    int proven = 0;
    std::vector<std::string> replaced;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Mutation& m = rows[i];
        std::mt19937 rng(kSeed + static_cast<uint32_t>(i));
        std::string what;
        Bytes damaged = plain;
        ASSERT_TRUE(DamagePlaintext(m, sm2, rng, damaged, what)) << m.label;
        SCOPED_TRACE(std::string(s.label) + " row " + std::to_string(i) + " \"" + m.label + "\" " + what);
        ASSERT_TRUE(WriteBytes(work / "plaintext", damaged));
        ToolRun issued;
        ASSERT_TRUE(RunDemoca({"issue", "--ca-dir", CaDir(), "--format", s.format, "--encryption-key",
                               (m.damage == Damage::OtherKeyCert ? otherPem : keyPem).string(), "--key-plaintext",
                               (work / "plaintext").string()},
                              m_request, issued));
        ASSERT_EQ(issued.code, 0) << issued.err;
        std::string envelope = issued.json.value("encryptedPrivateKey", "");
        ASSERT_TRUE(DamageEnvelope(m, envelope)) << "no such field in " << envelope;
        const Bytes certDer = DerOfCertificate(issued.json.value("encryptCert", ""));
        ASSERT_FALSE(certDer.empty());
        const std::string certText = Base64Of(DamageCertificate(m, certDer));

        const auto* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
        const int partsBefore = result->total_part_count();
        // what the host was given, for a rerun by hand when the row fails
        const auto keep = [&] {
            std::ofstream(work / ("row" + std::to_string(i) + ".json"))
                << Json{{"row", m.label}, {"envelope", envelope}, {"certificate", certText},
                        {"container", m_container}, {"plaintextHex", HexOf(damaged)}}.dump(1);
        };
        HostReply reply;
        const auto call = m_session->Call("QORA_ImportEncryptCert",
                                          {JsonString(envelope), JsonString(certText), JsonString(m_container), "0"},
                                          reply, kQuickAnswer);
        HostReply alive;
        const bool answering = call && m_session->Call("QORA_GetContainer", {}, alive);
        if (!call || !answering) {
            keep();
            ADD_FAILURE() << "the host " << (call ? "stopped answering after" : "gave no valid answer to")
                          << " the import: " << (call ? "" : call.message()) << "; input kept in " << work;
            m_session = std::make_unique<HostSession>();
            ASSERT_TRUE(m_session->Start());
            ASSERT_TRUE(NewContainer());
            continue;
        }
        ++answers[reply.errorcode];
        std::cout << s.label << " row " << i << " \"" << m.label << "\" " << what << ": " << reply.errorcode << "\n";
        if (reply.errorcode == 0) {
            EXPECT_TRUE(reply.ResultIsTrue());
            const auto installed = Installed(certDer);
            EXPECT_TRUE(installed) << "an import that answered 0 left a key that is not the certificate's";
            proven += installed ? 1 : 0;
            ASSERT_TRUE(NewContainer());
        } else {
            EXPECT_NE(m.damage, Damage::None) << "an undamaged answer was refused with " << reply.errorcode;
            bool carried = false;
            EXPECT_TRUE(CertificateCarried(ThumbprintOf(certDer), carried));
            EXPECT_FALSE(carried) << "a refused import (" << reply.errorcode << ") installed the certificate";
            // A refusal after the provider took the delivered key leaves that key, certificate-less, in place
            // of the temporary one; the rows after it need a container whose temporary key is still there.
            std::string now;
            EXPECT_TRUE(ExchangeKeyInfo(now));
            if (now != m_temporaryKeyInfo) {
                replaced.push_back(std::to_string(i) + " \"" + m.label + "\"");
                std::cout << "  the exchange key is no longer the temporary key\n";
                ASSERT_TRUE(NewContainer());
            }
        }
        if (m.damage == Damage::OtherKeyCert || m.damage == Damage::CutCert || m.damage == Damage::TrailingCert) {
            EXPECT_EQ(reply.errorcode, kImportRefused) << "a certificate that is not the key's, or not exactly one";
        }
        if (result->total_part_count() != partsBefore) {
            keep();
            ADD_FAILURE() << "input kept in " << (work / ("row" + std::to_string(i) + ".json")).string();
        }
    }

    std::ostringstream tally;
    tally << s.label << ": " << rows.size() << " imports, " << proven << " answered 0 with the key proven";
    for (const auto& [code, count] : answers)
        if (code != 0) {
            char hex[16];
            snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
            tally << ", " << hex << " x" << count;
        }
    tally << "; exchange key replaced after refused rows:";
    for (const std::string& row : replaced) tally << " " << row;
    std::cout << tally.str() << "\n";
    RecordProperty("answers", tally.str());
    std::error_code ec;
    if (!HasFailure()) fs::remove_all(work, ec);
}

INSTANTIATE_TEST_SUITE_P(
    Host, EnvelopeMutation,
    ::testing::Values(
        Shape{"EnhancedClassic", "RSA", "Microsoft Enhanced Cryptographic Provider v1.0", 1024, "classic", true, true},
        Shape{"RsaToken2048Extended", "RSA", "Software RSA Token CSP v1.0", 2048, "ext-rsa", false, true},
        Shape{"RsaToken2048NoSessionKey", "RSA", "Software RSA Token CSP v1.0", 2048, "ext-rsa-nosession", false, false},
        Shape{"Sm2C1C3C2", "SM2", "Software SM2 Token CSP v1.0", 0, "ext-sm2", false, false},
        Shape{"Sm2C1C2C3", "SM2", "Software SM2 Token CSP v1.0", 0, "ext-sm2-c1c2c3", false, false}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.label); });

}  // namespace
