// tests/native/linux/host_e2e.cpp — BrindlemarkHost built for Linux, its keys and certificates in an NSS database
// of this program's own, beside the Windows build under Wine:
// - one frame script through both hosts, the answers compared with only what is random put aside (requests,
//   checked by the peer first, and container names);
// - whole RSA enrolments through the demo CA on both, each key proven by a signature OpenSSL verifies under its
//   certificate (on Linux signed with the key NSS holds, whose nickname must be the container), timed;
// - the certificate list after the same enrolments on both hosts, at UTC+8: each record as OpenSSL reads the
//   issued certificate, and the same records in the same order on both once serials and dates are put aside.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <cert.h>
#include <cryptohi.h>
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>
#include <openssl/rand.h>

#include "support/CertRecords.h"
#include "support/HostSession.h"
#include "support/KeyContainers.h"
#include "support/PersonalStore.h"
#include "support/RequestChecks.h"
#include "support/Tools.h"

using namespace bm;

namespace {

using Clock = std::chrono::steady_clock;

const char kBase[] = "Microsoft Base Cryptographic Provider v1.0";
const char kEnhanced[] = "Microsoft Enhanced Cryptographic Provider v1.0";
const char kStrong[] = "Microsoft Strong Cryptographic Provider";
const char kAes[] = "Microsoft Enhanced RSA and AES Cryptographic Provider";
const char kSm2Token[] = "Software SM2 Token CSP v1.0";
const char kRsaToken[] = "Software RSA Token CSP v1.0";
const char kMissing[] = "Software Missing Token CSP v0.0";  // registered nowhere
const Env kHostEnv = {{"TZ", "CST-8"}};
constexpr long kUtcPlus8 = 8 * 3600;

const char* PlatformName(HostPlatform platform) { return platform == HostPlatform::Linux ? "Linux" : "Windows"; }

std::string ReadFileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Base64Of(const std::string& bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// ---- one frame script, both hosts -------------------------------------------------------------------------

enum class Answer {
    Exact,      // compared as it is
    Request,    // a request: checked by the peer, then put aside
    Container,  // a container name: a braced GUID, then put aside
};

struct Step {
    // A constructor rather than an aggregate: GCC 12 at -O2 misreads an initializer list of aggregates with
    // defaulted string members as uninitialised.
    Step(const char* f, std::vector<std::string> p, Answer a = Answer::Exact, RequestExpectation r = {},
         std::vector<std::string> l = {})
        : function(f), params(std::move(p)), answer(a), request(std::move(r)), linuxParams(std::move(l))
    {
    }
    const char* function;
    std::vector<std::string> params;  // JSON texts; "$container" is the host's latest container
    Answer answer;
    RequestExpectation request;
    std::vector<std::string> linuxParams;  // in place of params for the Linux host, when not empty
};

RequestExpectation Rsa(unsigned bits, bool isDouble, RequestHash hash = RequestHash::Sha1)
{
    RequestExpectation e;
    e.algorithm = KeyAlgorithm::Rsa;
    e.hash = hash;
    e.isDouble = isDouble;
    e.subjectDn = kSubject;
    e.keyBits = bits;
    return e;
}

std::vector<Step> FrameScript()
{
    const std::string caCert = Base64Of(ReadFileText(std::string(BM_SOURCE_DIR) + "/resources/democa-ca/rsa-ca.der"));
    const auto csp = [](int bits, const char* name) { return std::vector<std::string>{std::to_string(bits), JsonString(name)}; };
    const auto request = [](int certType) {
        return std::vector<std::string>{JsonString(kSubject), std::to_string(certType), "0"};
    };
    return {
        {"QORA_GetVersion", {}},
        {"checkHost", {}},
        {"QORA_NoSuchFunction", {}},
        {"QORA_GetContainer", {}},
        {"GetLastErrorDesc", {}},
        {"QORA_HavePermissiontoGenerateKeyPair", {}},
        {"QORA_SetKeyAlgorithm", {JsonString("DSA")}},
        {"GetLastErrorDesc", {}},
        {"QORA_SetKeyAlgorithm", {JsonString("RSA")}},
        {"QORA_SetCSPInfo", csp(1024, kMissing)},
        {"GetLastErrorDesc", {}},
        // the tokens are a later phase on Linux: there they answer as a CSP that is not installed does on Windows
        {"QORA_SetCSPInfo", csp(1024, kMissing), Answer::Exact, {}, csp(1024, kRsaToken)},
        {"GetLastErrorDesc", {}},
        {"QORA_PKCS10CertRequisition", request(1)},
        {"GetLastErrorDesc", {}},
        {"QORA_SetCSPInfo", {JsonString("many"), JsonString(kEnhanced)}},
        {"QORA_SetCSPInfo", {"1024"}},
        {"QORA_SetCSPInfo", csp(384, kEnhanced)},
        {"GetLastErrorDesc", {}},
        {"QORA_SetCSPInfo", csp(16385, kEnhanced)},
        {"QORA_SetCSPInfo", csp(0, kEnhanced)},
        {"QORA_SetCSPInfo", csp(1024, kBase)},
        {"QORA_HavePermissiontoGenerateKeyPair", {}},
        {"QORA_PKCS10CertRequisition", request(1), Answer::Request, Rsa(1024, false)},
        {"QORA_GetContainer", {}, Answer::Container},
        {"GetLastErrorDesc", {}},
        {"QORA_SetCSPInfo", csp(2048, kStrong)},
        {"QORA_PKCS10CertRequisitionwithMD5", request(1), Answer::Request, Rsa(2048, false, RequestHash::Md5)},
        {"QORA_GetContainer", {}, Answer::Container},
        {"QORA_SetCSPInfo", csp(2048, kAes)},
        {"QORA_PKCS10CertRequisition", request(2), Answer::Request, Rsa(2048, true)},
        {"QORA_GetContainer", {}, Answer::Container},
        {"QORA_PKCS10CertRequisition", request(3)},
        {"GetLastErrorDesc", {}},
        {"QORA_PKCS10CertRequisition", {JsonString(""), "1", "0"}},
        {"GetLastErrorDesc", {}},
        // a certificate whose key is in no container, a broken certificate, a container that does not exist
        {"QORA_ImportSignCert", {"1", JsonString(caCert), JsonString("$container")}},
        {"GetLastErrorDesc", {}},
        {"QORA_ImportSignCert", {"2", JsonString("MIIB"), JsonString("$container")}},
        {"QORA_ImportSignCert", {"1", JsonString(caCert), JsonString("{00000000-0000-0000-0000-000000000000}")}},
        {"GetLastErrorDesc", {}},
        {"QORA_ImportEncryptCert", {JsonString("AAAA"), JsonString(caCert), JsonString("$container"), "0"}},
        {"GetLastErrorDesc", {}},
        {"QORA_GetAllCertInfo", {JsonString(kMissing)}},
        {"QORA_GetAllCertInfo", {}},
        {"QORA_SetKeyAlgorithm", {JsonString("SM2")}},
        {"QORA_SetCSPInfo", csp(0, kMissing), Answer::Exact, {}, csp(0, kSm2Token)},
        {"QORA_PKCS10CertRequisition", request(2)},
        {"GetLastErrorDesc", {}},
    };
}

// The answers to the script, one line each, with requests and containers put aside once checked.
::testing::AssertionResult RunScript(HostPlatform platform, std::vector<std::string>& answers)
{
    HostSession session;
    if (auto r = session.Start(kHostEnv, platform); !r) return r;
    ContainerSweep sweep(kAes);  // Windows: the script's containers, whichever provider made them, by name
    std::string container = "{00000000-0000-0000-0000-000000000001}";
    for (const Step& step : FrameScript()) {
        std::vector<std::string> params =
            platform == HostPlatform::Linux && !step.linuxParams.empty() ? step.linuxParams : step.params;
        for (std::string& p : params)
            if (p == JsonString("$container")) p = JsonString(container);
        std::string body, error;
        const std::string label = std::string(step.function) + " #" + std::to_string(answers.size());
        if (!session.Process().Exchange(HostRequest(step.function, params, "7"), body,
                                        step.answer == Answer::Request ? kKeyGeneration : kQuickAnswer, error))
            return ::testing::AssertionFailure() << PlatformName(platform) << ": " << label << ": " << error;
        HostReply reply;
        if (!ParseHostReply(body, reply, error))
            return ::testing::AssertionFailure() << PlatformName(platform) << ": " << label << ": " << error << body;
        if (step.answer == Answer::Request && reply.errorcode == 0) {
            const std::vector<std::string> failures = CheckRequest(reply.ResultText(), step.request);
            if (!failures.empty())
                return ::testing::AssertionFailure() << PlatformName(platform) << ": " << label
                                                     << ": the peer refuses the request: " << failures.front();
            reply.result = "<request>";
        }
        if (step.answer == Answer::Container && reply.errorcode == 0) {
            container = reply.ResultText();
            if (!IsGuidName(container))
                return ::testing::AssertionFailure() << PlatformName(platform) << ": " << label << ": " << container;
            sweep.Add(container);
            reply.result = "<container>";
        }
        Json line = {{"function", reply.function}, {"errorcode", reply.errorcode}, {"randomId", reply.randomId}};
        if (reply.hasResult) line["result"] = reply.result;
        answers.push_back(label + " " + line.dump());
    }
    session.Process().CloseInput();
    int code = -1;
    if (!session.Process().Wait(code, std::chrono::seconds(30)) || code != 0)
        return ::testing::AssertionFailure() << PlatformName(platform) << " host did not end with 0 (" << code
                                             << "): " << session.Process().StderrText();
    return ::testing::AssertionSuccess();
}

TEST(Parity, OneFrameScriptAnswersTheSameOnBothHosts)
{
    std::vector<std::string> windows, linux;
    ASSERT_TRUE(RunScript(HostPlatform::Windows, windows));
    if (getenv("BM_PRINT_ANSWERS") != nullptr)  // the reference answers, for reading
        for (const std::string& answer : windows) printf("%s\n", answer.c_str());
    ASSERT_TRUE(RunScript(HostPlatform::Linux, linux));
    ASSERT_EQ(windows.size(), linux.size());
    for (size_t i = 0; i < windows.size(); ++i) EXPECT_EQ(linux[i], windows[i]);
}

TEST(Parity, TheCspListNamesTheMicrosoftProvidersOverTheDatabase)
{
    HostSession session;
    ASSERT_TRUE(session.Start(kHostEnv, HostPlatform::Linux));
    HostReply reply;
    ASSERT_TRUE(session.Expect("QORA_GetCSPInfo", {}, Json::value_t::string, reply));
    const std::string list = "||" + reply.ResultText() + "||";
    for (const char* name : {kBase, kEnhanced, kStrong, kAes})
        EXPECT_NE(list.find(std::string("||") + name + "||"), std::string::npos) << name << " missing from " << list;
    for (const char* name : {kSm2Token, kRsaToken})
        EXPECT_EQ(list.find(name), std::string::npos) << name << " is a later phase: " << list;
}

// ---- enrolments --------------------------------------------------------------------------------------------

// NSS over this program's database while it lives; every object taken from it must be released first.
class NssSession {
public:
    NssSession()
    {
        const std::string config = "sql:" + TestNssDatabase();
        m_open = NSS_Initialize(config.c_str(), "", "", SECMOD_DB, NSS_INIT_READONLY | NSS_INIT_NOROOTINIT) ==
                 SECSuccess;
    }
    ~NssSession()
    {
        if (m_open) NSS_Shutdown();
    }
    NssSession(const NssSession&) = delete;
    NssSession& operator=(const NssSession&) = delete;
    bool Open() const { return m_open; }

private:
    bool m_open = false;
};

struct CertDeleter {
    void operator()(CERTCertificate* p) const { CERT_DestroyCertificate(p); }
};
struct KeyDeleter {
    void operator()(SECKEYPrivateKey* p) const { SECKEY_DestroyPrivateKey(p); }
};
struct ItemFreer {
    SECItem item = {siBuffer, nullptr, 0};
    ~ItemFreer() { SECITEM_FreeItem(&item, PR_FALSE); }
};

// The key NSS holds for the certificate signs random bytes with SHA-256; OpenSSL verifies the signature
// under the certificate, and the key's nickname is the container's name.
::testing::AssertionResult NssKeyMatchesCertificate(const std::string& container, const std::string& certificate)
{
    NssSession nss;
    if (!nss.Open()) return ::testing::AssertionFailure() << "NSS cannot open " << TestNssDatabase();
    const X509Ptr x509 = X509FromBase64(certificate);
    if (!x509) return ::testing::AssertionFailure() << "OpenSSL cannot read the certificate";
    Bytes der(static_cast<size_t>(i2d_X509(x509.get(), nullptr)));
    unsigned char* out = der.data();
    i2d_X509(x509.get(), &out);
    SECItem derItem = {siBuffer, der.data(), static_cast<unsigned>(der.size())};
    std::unique_ptr<CERTCertificate, CertDeleter> cert(
        CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &derItem, nullptr, PR_FALSE, PR_TRUE));
    if (!cert) return ::testing::AssertionFailure() << "NSS cannot read the certificate";
    std::unique_ptr<SECKEYPrivateKey, KeyDeleter> key(PK11_FindKeyByAnyCert(cert.get(), nullptr));
    if (!key) return ::testing::AssertionFailure() << "the database holds no key for " << cert->subjectName;
    char* nickname = PK11_GetPrivateKeyNickname(key.get());
    const std::string keyName = nickname ? nickname : "";
    PORT_Free(nickname);
    Bytes data(64);
    RAND_bytes(data.data(), static_cast<int>(data.size()));
    ItemFreer signature;
    if (SEC_SignData(&signature.item, data.data(), static_cast<int>(data.size()), key.get(),
                     SEC_OID_PKCS1_SHA256_WITH_RSA_ENCRYPTION) != SECSuccess)
        return ::testing::AssertionFailure() << "NSS cannot sign with the key: " << PORT_GetError();
    MdCtxPtr md(EVP_MD_CTX_new());
    if (!md || EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, X509_get0_pubkey(x509.get())) != 1 ||
        EVP_DigestVerify(md.get(), signature.item.data, signature.item.len, data.data(), data.size()) != 1)
        return ::testing::AssertionFailure() << "the signature does not verify under the certificate";
    if (keyName != container)
        return ::testing::AssertionFailure() << "the key's nickname is \"" << keyName << "\", not " << container;
    return ::testing::AssertionSuccess();
}

struct Enrolment {
    const char* label;
    const char* csp;
    int bits;
    int certType;  // 1 single, 2 double with the classic envelope
    const char* function;
    RequestHash hash;
};

struct Issued {
    std::string container, signCert, encryptCert;
    double seconds = 0;  // request to the last import
};

std::string CaDir()
{
    static const std::string dir = CopyOfDemoCa();
    return dir;
}

std::string Subject(const Enrolment& e, HostPlatform platform)
{
    return std::string("CN=") + PlatformName(platform) + " " + e.label + ",O=Brindlemark Demo Bank,C=CN";
}

::testing::AssertionResult Enrol(HostSession& session, HostPlatform platform, const Enrolment& e, Issued& issued)
{
    const auto start = Clock::now();
    if (auto r = session.Configure("RSA", e.bits, e.csp); !r) return r;
    std::string request;
    if (auto r = session.Request(e.function, e.certType, request, issued.container, Subject(e, platform)); !r)
        return r;
    RequestExpectation expect = Rsa(static_cast<unsigned>(e.bits), e.certType == 2, e.hash);
    expect.subjectDn = Subject(e, platform);
    if (const std::vector<std::string> failures = CheckRequest(request, expect); !failures.empty())
        return ::testing::AssertionFailure() << "the peer refuses the request: " << failures.front();
    ToolRun ca;
    if (auto r = RunDemoca({"issue", "--ca-dir", CaDir(), "--format", "classic"}, request, ca); !r) return r;
    if (ca.code != 0) return ::testing::AssertionFailure() << "democa refused the request: " << ca.err;
    issued.signCert = ca.json.value("signCert", "");
    issued.encryptCert = ca.json.value("encryptCert", "");
    HostReply reply;
    if (auto r = session.Call("QORA_ImportSignCert",
                              {e.certType == 1 ? "1" : "2", JsonString(issued.signCert), JsonString(issued.container)},
                              reply);
        !r)
        return r;
    if (reply.errorcode != 0 || !reply.ResultIsTrue())
        return ::testing::AssertionFailure() << "signing certificate import: " << reply.errorcode;
    if (e.certType == 2) {
        if (auto r = session.Call("QORA_ImportEncryptCert",
                                  {JsonString(ca.json.value("encryptedPrivateKey", "")), JsonString(issued.encryptCert),
                                   JsonString(issued.container), "0"},
                                  reply, kKeyGeneration);
            !r)
            return r;
        if (reply.errorcode != 0 || !reply.ResultIsTrue())
            return ::testing::AssertionFailure() << "encryption certificate import: " << reply.errorcode;
    }
    issued.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return ::testing::AssertionSuccess();
}

const Enrolment kEnrolments[] = {
    {"Enhanced 2048 single", kEnhanced, 2048, 1, "QORA_PKCS10CertRequisition", RequestHash::Sha1},
    {"Base 1024 single MD5", kBase, 1024, 1, "QORA_PKCS10CertRequisitionwithMD5", RequestHash::Md5},
    {"Enhanced 2048 double", kEnhanced, 2048, 2, "QORA_PKCS10CertRequisition", RequestHash::Sha1},
    {"AES 2048 double", kAes, 2048, 2, "QORA_PKCS10CertRequisition", RequestHash::Sha1},
};

// The keys behind both certificates of each enrolment; the delivered encryption key among them.
::testing::AssertionResult ProveKeys(HostPlatform platform, const Enrolment& e, const Issued& issued)
{
    const int signSpec = e.certType == 1 ? 1 : 2;
    if (platform == HostPlatform::Linux) {
        if (auto r = NssKeyMatchesCertificate(issued.container, issued.signCert); !r) return r << " (signing)";
        if (e.certType == 2)
            if (auto r = NssKeyMatchesCertificate(issued.container, issued.encryptCert); !r)
                return r << " (the delivered encryption key)";
        return ::testing::AssertionSuccess();
    }
    if (auto r = KeyMatchesCertificate(e.csp, false, issued.container, signSpec, issued.signCert); !r) return r;
    if (e.certType == 2) return KeyMatchesCertificate(e.csp, false, issued.container, 1, issued.encryptCert);
    return ::testing::AssertionSuccess();
}

// Both hosts enrol the same shapes into an empty store; the list is then asked of a new host, as a page
// opened later would. Returns the list's answers to the empty name and to the Enhanced provider.
void EnrolAndList(HostPlatform platform, std::vector<std::string>& lists, std::vector<Issued>& all)
{
    SCOPED_TRACE(PlatformName(platform));
    std::vector<std::unique_ptr<ContainerSweep>> sweeps;  // after the list: the keys stay until then
    {
        HostSession session;
        ASSERT_TRUE(session.Start(kHostEnv, platform));
        for (const Enrolment& e : kEnrolments) {
            SCOPED_TRACE(e.label);
            Issued issued;
            sweeps.push_back(std::make_unique<ContainerSweep>(e.csp));
            ASSERT_TRUE(Enrol(session, platform, e, issued));
            sweeps.back()->Add(issued.container);
            printf("[ timing ] %-8s %-22s %6.2f s\n", PlatformName(platform), e.label, issued.seconds);
            if (platform == HostPlatform::Linux) {
                // NSS opens the database beside the running host only after it has ended
                all.push_back(issued);
                continue;
            }
            EXPECT_TRUE(ProveKeys(platform, e, issued));
            all.push_back(issued);
        }
        session.Process().CloseInput();
        int code = -1;
        ASSERT_TRUE(session.Process().Wait(code, std::chrono::seconds(30)));
        EXPECT_EQ(code, 0) << session.Process().StderrText();
    }
    if (platform == HostPlatform::Linux)
        for (size_t i = 0; i < all.size(); ++i) {
            SCOPED_TRACE(kEnrolments[i].label);
            EXPECT_TRUE(ProveKeys(platform, kEnrolments[i], all[i]));
        }

    HostSession page;
    ASSERT_TRUE(page.Start(kHostEnv, platform));
    for (const char* names : {"", kEnhanced}) {
        HostReply reply;
        ASSERT_TRUE(page.Expect("QORA_GetAllCertInfo", {JsonString(names)}, Json::value_t::string, reply));
        lists.push_back(reply.ResultText());
    }
}

// The list a host must answer for what it was given: records of the certificates of the named provider (all
// when csp is null), in thumbprint order as the platform enumerates a store kept in the registry.
std::string ExpectedList(const std::vector<Issued>& issued, const char* csp)
{
    std::vector<std::pair<std::string, std::string>> sorted;
    for (size_t i = 0; i < issued.size(); ++i) {
        if (csp != nullptr && std::string(csp) != kEnrolments[i].csp) continue;
        for (const std::string* base64 : {&issued[i].signCert, &issued[i].encryptCert}) {
            if (base64->empty()) continue;
            const X509Ptr cert = X509FromBase64(*base64);
            unsigned char sha1[20];
            unsigned int length = 0;
            if (!cert || X509_digest(cert.get(), EVP_sha1(), sha1, &length) != 1) return "<unreadable certificate>";
            sorted.emplace_back(HexOf(Bytes(sha1, sha1 + length)),
                                CertificateRecord(cert.get(), kEnrolments[i].csp, kUtcPlus8));
        }
    }
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::string> records;
    for (const auto& entry : sorted) records.push_back(entry.second);
    return JoinRecords(records);
}

// Wine quotes some plain values that the platform's rule leaves bare (seen: CN="Windows AES 2048 double", never
// CN="Windows Enhanced 2048 double"); the Linux host follows the rule, so the Windows build's lists are read
// without quotation marks.
std::string Unquoted(std::string text)
{
    std::erase(text, '"');
    return text;
}

TEST(Enrolments, RsaEnrolmentsProveTheirKeysAndListTheSameOnBothHosts)
{
    std::vector<std::string> windowsLists, linuxLists;
    std::vector<Issued> windowsIssued, linuxIssued;
    std::string error;
    ASSERT_TRUE(EnsureWineRunning(error)) << error;
    ASSERT_TRUE(ClearPersonalStore(DefaultHostEnv(), error)) << error;
    EnrolAndList(HostPlatform::Windows, windowsLists, windowsIssued);
    ClearPersonalStore(DefaultHostEnv(), error);
    ASSERT_FALSE(HasFatalFailure());
    EnrolAndList(HostPlatform::Linux, linuxLists, linuxIssued);
    ASSERT_FALSE(HasFatalFailure());

    // the empty name lists every store certificate; a provider's name, the certificates of its keys
    const char* filters[] = {nullptr, kEnhanced};
    for (size_t list = 0; list < 2; ++list) {
        SCOPED_TRACE(list == 0 ? "every CSP" : "the Enhanced provider");
        EXPECT_EQ(linuxLists[list], ExpectedList(linuxIssued, filters[list]));
        EXPECT_EQ(Unquoted(windowsLists[list]), Unquoted(ExpectedList(windowsIssued, filters[list])));
        EXPECT_NE(linuxLists[list], "");
    }
}

}  // namespace
