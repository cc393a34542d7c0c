// tests/native/democa_e2e.cpp — the demo CA driven as a program: requests in the agent's shapes, built here
// with OpenSSL, go in; the certificates are checked against the CA files. The envelopes are proven by the
// enrolments, where the agent opens them.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include "support/DerWalker.h"
#include "support/OsslOwners.h"

namespace fs = std::filesystem;
using namespace bm;

namespace {

using X509Ptr = OsslPtr<X509, X509_free>;
using X509NamePtr = OsslPtr<X509_NAME, X509_NAME_free>;
using StorePtr = OsslPtr<X509_STORE, X509_STORE_free>;
using StoreCtxPtr = OsslPtr<X509_STORE_CTX, X509_STORE_CTX_free>;

const char kSm2Identity[] = "1234567812345678";

struct RunResult {
    int exitCode = -1;
    std::string out, err;
};

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class DemocaTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/democa-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        s_dir = pattern;
    }
    static void TearDownTestSuite() { fs::remove_all(s_dir); }

    static fs::path CaDir() { return s_dir / "ca"; }

    // Runs the tool with stdin from a file holding stdinText; stdout and stderr captured in files.
    static RunResult Run(const std::vector<std::string>& args, const std::string& stdinText = "")
    {
        const fs::path in = s_dir / "stdin", out = s_dir / "stdout", err = s_dir / "stderr";
        std::ofstream(in, std::ios::binary) << stdinText;
        const char* tool = getenv("BM_DEMOCA") ? getenv("BM_DEMOCA") : BM_DEMOCA;
        std::vector<char*> argv{const_cast<char*>(tool)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int fds[] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                               open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
            for (int i = 0; i < 3; ++i) dup2(fds[i], i);
            execv(tool, argv.data());
            _exit(127);
        }
        RunResult result;
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
        result.out = ReadAll(out);
        result.err = ReadAll(err);
        return result;
    }

    // "issue" on a request text through a file, with extra arguments.
    static RunResult Issue(const std::string& request, std::vector<std::string> extra = {})
    {
        const fs::path file = s_dir / "request.b64";
        std::ofstream(file, std::ios::binary) << request;
        std::vector<std::string> args{"issue", "--ca-dir", CaDir().string(), "--request", file.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return Run(args);
    }

    static inline fs::path s_dir;
};

// ---- requests in the agent's shapes ----

Bytes Tlv(uint8_t tag, const Bytes& contents)
{
    Bytes out{tag};
    if (contents.size() >= 0x100) out.insert(out.end(), {0x82, uint8_t(contents.size() >> 8)});
    else if (contents.size() >= 0x80) out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(contents.size()));
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}
Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}
template <typename T>
Bytes Der(const T* object, int (*encode)(const T*, unsigned char**))
{
    unsigned char* raw = nullptr;
    const int length = encode(object, &raw);
    Bytes out(raw, raw + std::max(length, 0));
    OPENSSL_free(raw);
    return out;
}
Bytes Oid(const char* dotted)
{
    OsslPtr<ASN1_OBJECT, ASN1_OBJECT_free> obj(OBJ_txt2obj(dotted, 1));
    return Der<ASN1_OBJECT>(obj.get(), i2d_ASN1_OBJECT);
}

std::string Base64Text(const Bytes& der)
{
    std::string text(4 * ((der.size() + 2) / 3) + 1, '\0');
    text.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), der.data(),
                                                    static_cast<int>(der.size()))));
    return text;
}

PkeyPtr NewKey(const char* type, int rsaBits = 0)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    EVP_PKEY_keygen_init(ctx.get());
    if (rsaBits) EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), rsaBits);
    EVP_PKEY_generate(ctx.get(), &key);
    return PkeyPtr(key);
}
bool IsSm2(EVP_PKEY* key) { return EVP_PKEY_is_a(key, "SM2"); }

Bytes Point(EVP_PKEY* key)
{
    Bytes point(65);
    size_t length = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(), &length);
    return point;
}

// The 136-byte SM2 exchange key record: header, then X and Y big-endian in the first half of 64-byte fields.
Bytes Sm2TemporaryKey(EVP_PKEY* key)
{
    const Bytes point = Point(key);
    Bytes out{0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    for (size_t at : {1, 33}) {
        out.insert(out.end(), point.begin() + at, point.begin() + at + 32);
        out.insert(out.end(), 32, 0);
    }
    return out;
}

Bytes FullWidth(const BIGNUM* n)  // the agent keeps 32 bytes and puts 00 before a high first byte
{
    Bytes bytes(32);
    BN_bn2binpad(n, bytes.data(), 32);
    if (bytes[0] & 0x80) bytes.insert(bytes.begin(), 0);
    return Tlv(0x02, bytes);
}

Bytes Sign(EVP_PKEY* key, const Bytes& data, bool wantLeadingZeroR)
{
    for (int attempt = 0; attempt < 20000; ++attempt) {
        PkeyCtxPtr pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
        MdCtxPtr md(EVP_MD_CTX_new());
        if (IsSm2(key)) EVP_PKEY_CTX_set1_id(pctx.get(), kSm2Identity, strlen(kSm2Identity));
        EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
        EVP_DigestSignInit(md.get(), nullptr, IsSm2(key) ? EVP_sm3() : EVP_sha1(), nullptr, key);
        size_t length = 0;
        EVP_DigestSign(md.get(), nullptr, &length, data.data(), data.size());
        Bytes sig(length);
        EVP_DigestSign(md.get(), sig.data(), &length, data.data(), data.size());
        sig.resize(length);
        if (!IsSm2(key)) return sig;
        const unsigned char* p = sig.data();
        EcdsaSigPtr rs(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size())));
        if (wantLeadingZeroR && BN_num_bits(ECDSA_SIG_get0_r(rs.get())) > 247) continue;  // 00 then a byte below 0x80
        return Tlv(0x30, Cat({FullWidth(ECDSA_SIG_get0_r(rs.get())), FullWidth(ECDSA_SIG_get0_s(rs.get()))}));
    }
    return {};
}

struct RequestOptions {
    bool withTemporaryKey = true;  // double requests only
    bool badSignature = false;
    bool leadingZeroR = false;
};

Bytes SubjectDer()
{
    X509NamePtr name(X509_NAME_new());
    for (auto [field, value] : {std::pair{"C", "CN"}, {"O", "Org"}, {"CN", "Alice"}})
        X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value),
                                   -1, -1, 0);
    return Der<X509_NAME>(name.get(), i2d_X509_NAME);
}

std::string BuildRequest(EVP_PKEY* signKey, EVP_PKEY* tempKey, RequestOptions options = {})
{
    Bytes info = Cat({{0x02, 0x01, 0x00}, SubjectDer(), Der<EVP_PKEY>(signKey, i2d_PUBKEY)});
    if (tempKey) {  // attributes without the SET around their values, as the agent writes them
        const Bytes tempBytes = IsSm2(tempKey) ? Sm2TemporaryKey(tempKey) : Der<EVP_PKEY>(tempKey, i2d_PublicKey);
        Bytes attrs = Tlv(0x30, Cat({Oid("1.2.840.113549.1.9.7"), Tlv(0x13, {'2', '4', '6', '8', '0', '2'})}));
        if (options.withTemporaryKey)
            attrs = Cat({attrs, Tlv(0x30, Cat({Oid("1.2.840.113549.1.9.63"),
                                               Tlv(0x04, Tlv(0x30, Cat({{0x02, 0x01, 0x01}, Tlv(0x04, tempBytes)})))}))});
        info = Cat({info, Tlv(0xA0, attrs)});
    }
    info = Tlv(0x30, info);
    Bytes sig = Sign(signKey, info, options.leadingZeroR);
    if (options.badSignature) sig[sig.size() / 2] ^= 0x01;
    const Bytes sigAlg = Tlv(0x30, Cat({Oid(IsSm2(signKey) ? "1.2.156.10197.1.501" : "1.2.840.113549.1.1.5"), {0x05, 0x00}}));
    const Bytes der = Tlv(0x30, Cat({info, sigAlg, Tlv(0x03, Cat({{0x00}, sig}))}));
    const std::string b64 = Base64Text(der);
    std::string text;
    for (size_t i = 0; i < b64.size(); i += 64) text += (i ? "\r\n" : "") + b64.substr(i, 64);
    return text;
}

// A standard request made by OpenSSL's own request code (empty [0], SHA-256).
std::string OpenSslRequest(EVP_PKEY* key)
{
    OsslPtr<X509_REQ, X509_REQ_free> req(X509_REQ_new());
    X509_NAME_add_entry_by_txt(X509_REQ_get_subject_name(req.get()), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Bob"), -1, -1, 0);
    X509_REQ_set_pubkey(req.get(), key);
    X509_REQ_sign(req.get(), key, EVP_sha256());
    const Bytes der = Der<X509_REQ>(req.get(), i2d_X509_REQ);
    return Base64Text(der);
}

// ---- the answers ----

Bytes Base64(std::string text)
{
    std::erase(text, ',');
    OsslPtr<EVP_ENCODE_CTX, EVP_ENCODE_CTX_free> ctx(EVP_ENCODE_CTX_new());
    Bytes out(text.size());
    int length = 0, last = 0;
    EVP_DecodeInit(ctx.get());
    if (EVP_DecodeUpdate(ctx.get(), out.data(), &length, reinterpret_cast<const unsigned char*>(text.data()),
                         static_cast<int>(text.size())) < 0 ||
        EVP_DecodeFinal(ctx.get(), out.data() + length, &last) != 1)
        return {};
    out.resize(static_cast<size_t>(length + last));
    return out;
}

X509Ptr CertOf(const std::string& text)
{
    const Bytes der = Base64(text);
    const unsigned char* p = der.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    return p == der.data() + der.size() ? std::move(cert) : nullptr;
}

X509Ptr CertFile(const fs::path& path)
{
    const std::string der = ReadAll(path);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// Verifies leaf -> issuing CA -> root from the CA folder; SM2 signatures need the default identity set.
std::string VerifyChain(X509* leaf, const fs::path& caDir, const char* prefix)
{
    X509Ptr root = CertFile(caDir / (std::string(prefix) + "-root.der"));
    X509Ptr ca = CertFile(caDir / (std::string(prefix) + "-ca.der"));
    if (!root || !ca) return "CA files missing";
    for (X509* cert : {leaf, ca.get(), root.get()}) {
        if (std::string(prefix) != "sm2") break;
        ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>(kSm2Identity), strlen(kSm2Identity));
        X509_set0_distinguishing_id(cert, id);
    }
    StorePtr store(X509_STORE_new());
    X509_STORE_add_cert(store.get(), root.get());
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> chain(sk_X509_new_null(),
                                                                     [](STACK_OF(X509)* s) { sk_X509_free(s); });
    sk_X509_push(chain.get(), ca.get());
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    X509_STORE_CTX_init(ctx.get(), store.get(), leaf, chain.get());
    X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_CHECK_SS_SIGNATURE);
    if (X509_verify_cert(ctx.get()) == 1) return {};
    return X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
}

struct IssueCase {
    const char* name;
    const char* signType;
    int signBits;
    const char* tempType;  // nullptr: single request
    std::vector<std::string> formats;
    RequestOptions options;
};

TEST_F(DemocaTest, IssuesCertificatesAndEnvelopesTheAgentImports)
{
    const std::vector<IssueCase> cases = {
        {"RSA single", "RSA", 2048, nullptr, {""}, {}},
        {"RSA double 1024", "RSA", 1024, "RSA", {"", "classic", "ext-rsa", "ext-rsa-nosession"}, {}},
        {"RSA double 2048", "RSA", 2048, "RSA", {"ext-rsa", "ext-rsa-nosession"}, {}},
        {"SM2 single, r with a leading zero byte", "SM2", 0, nullptr, {""}, {true, false, true}},
        {"SM2 double", "SM2", 0, "SM2", {"", "ext-sm2", "ext-sm2-c1c2c3"}, {}},
    };
    for (const IssueCase& c : cases) {
        PkeyPtr signKey = NewKey(c.signType, c.signBits);
        PkeyPtr tempKey = c.tempType ? NewKey(c.tempType, 1024) : nullptr;
        const std::string request = BuildRequest(signKey.get(), tempKey.get(), c.options);
        for (const std::string& format : c.formats) {
            SCOPED_TRACE(std::string(c.name) + ", format \"" + format + "\"");
            const RunResult run = Issue(request, format.empty() ? std::vector<std::string>{}
                                                                : std::vector<std::string>{"--format", format});
            ASSERT_EQ(run.exitCode, 0) << run.err;
            const nlohmann::json answer = nlohmann::json::parse(run.out);
            const char* prefix = IsSm2(signKey.get()) ? "sm2" : "rsa";
            X509Ptr signCert = CertOf(answer.at("signCert"));
            ASSERT_TRUE(signCert);
            EXPECT_EQ(VerifyChain(signCert.get(), CaDir(), prefix), "");
            EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(signCert.get()), signKey.get()), 1);
            EXPECT_EQ(Der<X509_NAME>(X509_get_subject_name(signCert.get()), i2d_X509_NAME), SubjectDer());
            EXPECT_EQ(X509_get_key_usage(signCert.get()), uint32_t(KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION));
            EXPECT_EQ(X509_check_ca(signCert.get()), 0);
            BignumPtr serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(signCert.get()), nullptr));
            char* hex = BN_bn2hex(serial.get());
            EXPECT_EQ(answer.at("serial").get<std::string>().size(), 32u);
            EXPECT_EQ(strcasecmp(answer.at("serial").get<std::string>().c_str(), hex), 0);
            OPENSSL_free(hex);
            if (!tempKey) {
                EXPECT_FALSE(answer.contains("encryptCert") || answer.contains("encryptedPrivateKey") ||
                             answer.contains("format"));
                continue;
            }
            const std::string used = format.empty() ? (IsSm2(signKey.get()) ? "ext-sm2" : "classic") : format;
            EXPECT_EQ(answer.at("format"), used);
            X509Ptr encryptCert = CertOf(answer.at("encryptCert"));
            ASSERT_TRUE(encryptCert);
            EXPECT_EQ(VerifyChain(encryptCert.get(), CaDir(), prefix), "");
            EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(encryptCert.get()), X509_get_subject_name(signCert.get())), 0);
            EXPECT_TRUE(X509_get_key_usage(encryptCert.get()) & KU_KEY_ENCIPHERMENT);
            EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(encryptCert.get())), EVP_PKEY_get_bits(signKey.get()));
            // The envelope itself is opened by the agent in the enrolments (enrol_e2e), whose imported key then
            // signs for this certificate.
            EXPECT_FALSE(answer.at("encryptedPrivateKey").get<std::string>().empty());
        }
    }
}

TEST_F(DemocaTest, StandardOpenSslRequestFromStandardInputGetsASigningCertificate)
{
    PkeyPtr key = NewKey("RSA", 2048);
    const RunResult run = Run({"issue", "--ca-dir", CaDir().string(), "--request", "-", "--out", (s_dir / "out").string()},
                              "-----BEGIN CERTIFICATE REQUEST-----\n" + OpenSslRequest(key.get()) +
                                  "\n-----END CERTIFICATE REQUEST-----\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    X509Ptr cert = CertOf(nlohmann::json::parse(run.out).at("signCert"));
    ASSERT_TRUE(cert);
    const std::string written = ReadAll(s_dir / "out" / "sign.der");
    EXPECT_EQ(Der<X509>(cert.get(), i2d_X509), Bytes(written.begin(), written.end()));
    EXPECT_FALSE(fs::exists(s_dir / "out" / "encrypt.der"));
}

TEST_F(DemocaTest, CaFolderIsMadeOnceAndReused)
{
    PkeyPtr key = NewKey("SM2");
    ASSERT_EQ(Issue(BuildRequest(key.get(), nullptr)).exitCode, 0);
    const std::string root = ReadAll(CaDir() / "sm2-root.der"), ca = ReadAll(CaDir() / "sm2-ca.der");
    const RunResult run = Run({"ca", "--ca-dir", CaDir().string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json answer = nlohmann::json::parse(run.out);
    EXPECT_EQ(ReadAll(CaDir() / "sm2-root.der"), root);
    EXPECT_EQ(ReadAll(CaDir() / "sm2-ca.der"), ca);
    EXPECT_EQ(answer.at("sm2").at("intermediate").at("der"), (CaDir() / "sm2-ca.der").string());
    for (const char* type : {"rsa", "sm2"})
        for (const char* level : {"root", "intermediate"}) {
            X509Ptr cert = CertFile(answer.at(type).at(level).at("der").get<std::string>());
            ASSERT_TRUE(cert) << type << " " << level;
            EXPECT_NE(answer.at(type).at(level).at("subject").get<std::string>().find("Brindlemark Demo"), std::string::npos);
            EXPECT_EQ(X509_check_ca(cert.get()), 1);
        }
}

struct BadCase {
    const char* name;
    std::string request;
    std::vector<std::string> args;  // after "issue --ca-dir CA --request FILE", or the whole command line
    bool wholeCommandLine;          // then the request goes to standard input
    int exitCode;
    const char* message;
};

TEST_F(DemocaTest, BadInputsAreRefusedWithTheirExitCodeAndReason)
{
    PkeyPtr rsa = NewKey("RSA", 1024), sm2 = NewKey("SM2"), temp = NewKey("RSA", 1024), sm2Temp = NewKey("SM2");
    PkeyPtr p256(EVP_EC_gen("P-256"));
    const std::string rsaDouble = BuildRequest(rsa.get(), temp.get());
    const std::string ca = CaDir().string(), broken = (s_dir / "broken-ca").string();
    fs::create_directories(broken);
    std::ofstream(s_dir / "broken-ca" / "rsa-root.der") << "not a certificate";
    const std::vector<BadCase> cases = {
        {"not Base64", "@@ this is no request @@", {}, false, 1, "not Base64"},
        {"Base64 of something else", "aGVsbG8gd29ybGQ=", {}, false, 1, "not a PKCS#10"},
        {"truncated request", rsaDouble.substr(0, 3 * 66), {}, false, 1, "not a PKCS#10"},
        {"empty standard input", "\r\n", {"issue", "--ca-dir", ca}, true, 1, "empty"},
        {"bad signature", BuildRequest(rsa.get(), temp.get(), {true, true, false}), {}, false, 1, "signature does not verify"},
        {"bad SM2 signature", BuildRequest(sm2.get(), nullptr, {true, true, false}), {}, false, 1, "signature does not verify"},
        {"P-256 key", OpenSslRequest(p256.get()), {}, false, 1, "unknown key type"},
        {"double without temporary key", BuildRequest(rsa.get(), temp.get(), {false, false, false}), {}, false, 1,
         "without a temporary key"},
        {"SM2 format for RSA", rsaDouble, {"--format", "ext-sm2"}, false, 1, "does not fit"},
        {"RSA format for SM2", BuildRequest(sm2.get(), sm2Temp.get()), {"--format", "classic"}, false, 1, "does not fit"},
        {"unknown format", rsaDouble, {"--format", "pkcs12"}, false, 2, "unknown format"},
        {"missing request file", "", {"issue", "--ca-dir", ca, "--request", "/nonexistent/req"}, true, 1, "cannot read"},
        {"incomplete CA folder", rsaDouble, {"issue", "--ca-dir", broken}, true, 3, "incomplete"},
        {"no CA folder", "", {"issue", "--request", "-"}, true, 2, "--ca-dir is required"},
        {"option without value", "", {"issue", "--ca-dir"}, true, 2, "needs a value"},
        {"option twice", "", {"ca", "--ca-dir", ca, "--ca-dir", ca}, true, 2, "given twice"},
        {"option of another command", "", {"ca", "--ca-dir", ca, "--format", "classic"}, true, 2, "unknown argument"},
        {"unknown command", "", {"revoke", "--ca-dir", ca}, true, 2, "unknown command"},
        {"no command", "", {}, true, 2, "no command"},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult run = c.wholeCommandLine ? Run(c.args, c.request) : Issue(c.request, c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        // one reason line first, and nothing from the sanitizers after it
        EXPECT_EQ(run.err.rfind(std::string("democa: "), 0), 0u) << run.err;
        EXPECT_NE(run.err.substr(0, run.err.find('\n')).find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    const RunResult help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("usage: democa issue --ca-dir DIR", 0), 0u) << help.out;
}

}  // namespace
