// The plug-in's install entry as an installer calls it: npbrowser --install under Wine, in a prefix of this
// test's own (the install changes HKLM and the machine's CA store). A prefix holding the withdrawn generation is
// installed over; then the registry, the machine's CA store and the plug-in's chain check are read back against
// the chain documents with OpenSSL. The install entry's steps are followed through the trace file.
#include "support/Tools.h"

#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

namespace fs = std::filesystem;

namespace bm {
namespace {

using X509Ptr = OsslPtr<X509, X509_free>;
using Pkcs7Ptr = OsslPtr<PKCS7, PKCS7_free>;

const fs::path kSource = BM_SOURCE_DIR;
const char kRootKey[] = "HKLM\\SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates";
constexpr uint32_t kCertPropId = 32;

// A prefix made for this program and removed after it: its own server, stopped by us alone.
class OwnPrefix : public ::testing::Environment {
public:
    void SetUp() override
    {
        char pattern[] = "/tmp/bm-npinstall-prefix-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        setenv("WINEPREFIX", m_dir.c_str(), 1);
    }
    void TearDown() override
    {
        if (m_dir.empty()) return;
        const pid_t pid = fork();
        if (pid == 0) {
            const std::string server = access("/usr/lib/wine/wineserver64", X_OK) == 0 ? "/usr/lib/wine/wineserver64"
                                                                                       : "/usr/lib/wine/wineserver32";
            execl(server.c_str(), server.c_str(), "-k", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        if (pid > 0) waitpid(pid, &status, 0);
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

private:
    std::string m_dir;
};

[[maybe_unused]] ::testing::Environment* const g_pPrefix = ::testing::AddGlobalTestEnvironment(new OwnPrefix);

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Hex(const Bytes& bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char b : bytes) hex += {kDigits[b >> 4], kDigits[b & 0xF]};
    return hex;
}

Bytes FromHex(const std::string& hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

Bytes DecodeBase64(const std::string& text)
{
    std::string joined;
    for (char c : text)
        if (c != '\r' && c != '\n' && c != ' ') joined += c;
    Bytes bytes(joined.size(), 0);
    const int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(joined.data()),
                                  static_cast<int>(joined.size()));
    if (n < 0) return {};
    size_t size = static_cast<size_t>(n);
    for (size_t i = joined.size(); i > 0 && joined[i - 1] == '='; --i) --size;
    bytes.resize(size);
    return bytes;
}

std::string Thumbprint(X509* cert)
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    unsigned int length = 0;
    X509_digest(cert, EVP_sha1(), digest, &length);
    return Hex(Bytes(digest, digest + length));
}

bool Expired(X509* cert) { return X509_cmp_current_time(X509_get0_notAfter(cert)) < 0; }
bool SelfSigned(X509* cert) { return X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)) == 0; }

X509Ptr ParseCert(const Bytes& der)
{
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// The certificate (property 32) of a property blob, walked with every length checked.
Bytes CertOfBlob(const Bytes& blob)
{
    size_t at = 0;
    while (at + 12 <= blob.size()) {
        auto word = [&](size_t off) {
            return static_cast<uint32_t>(blob[off] | blob[off + 1] << 8 | blob[off + 2] << 16 | blob[off + 3] << 24);
        };
        const uint32_t id = word(at) & 0xFFFFFF, length = word(at + 8) & 0xFFFFFF;
        if (length > blob.size() - at - 12) return {};
        if (id == kCertPropId) return Bytes(blob.begin() + at + 12, blob.begin() + at + 12 + length);
        at += 12 + length;
    }
    return {};
}

Bytes BlobOfCert(const Bytes& der)
{
    Bytes blob;
    for (uint32_t word : {kCertPropId, 1u, static_cast<uint32_t>(der.size())})
        for (int shift = 0; shift < 32; shift += 8) blob.push_back(static_cast<uint8_t>(word >> shift));
    blob.insert(blob.end(), der.begin(), der.end());
    return blob;
}

// ---- one chain document, read independently of the code under test ----

struct RootEntry {
    std::string entryPoint;
    Bytes content;
    X509Ptr cert;
};

struct Document {
    std::string name;
    std::vector<RootEntry> roots;
    std::vector<X509Ptr> bundle;
};

std::vector<std::string> Elements(const std::string& xml, const std::string& name)
{
    std::vector<std::string> texts;
    const std::string open = "<" + name + ">", close = "</" + name + ">";
    for (size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at)) {
        const size_t body = at + open.size(), end = xml.find(close, body);
        if (end == std::string::npos) break;
        texts.push_back(xml.substr(body, end - body));
        at = end;
    }
    return texts;
}

Document ReadDocument(const std::string& fileName)
{
    Document doc{fileName, {}, {}};
    const std::string xml = ReadAll(kSource / "resources" / "chains" / fileName);
    const std::vector<std::string> entryPoints = Elements(xml, "EntryPoint"), contents = Elements(xml, "Content");
    for (size_t i = 0; i < entryPoints.size() && i < contents.size(); ++i) {
        RootEntry root{entryPoints[i], DecodeBase64(contents[i]), nullptr};
        root.cert = ParseCert(CertOfBlob(root.content));
        doc.roots.push_back(std::move(root));
    }
    const std::vector<std::string> bundles = Elements(xml, "P7bContent");
    if (bundles.size() == 1) {
        const Bytes der = DecodeBase64(bundles[0]);
        const unsigned char* p = der.data();
        Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
        if (p7 && PKCS7_type_is_signed(p7.get()) && p7->d.sign->cert != nullptr)
            for (int i = 0; i < sk_X509_num(p7->d.sign->cert); ++i)
                doc.bundle.emplace_back(X509_dup(sk_X509_value(p7->d.sign->cert, i)));
    }
    return doc;
}

const std::vector<std::string> kDocuments = {"RsaCertificateChain.xml", "TestRsaCertificateChain.xml",
                                             "Sm2CertificateChain.xml", "TestSm2CertificateChain.xml"};

// ---- what the prefix holds, read through Wine's own tools ----

// Wine's reg.exe in the prefix, with its output.
::testing::AssertionResult Reg(const std::vector<std::string>& args, std::string& output)
{
    std::string error;
    if (!EnsureWineRunning(error)) return ::testing::AssertionFailure() << error;
    const std::string out = WinePrefixDir() + "/bm-reg-output.txt";
    std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" >" + out, "sh"};
    for (const std::string& part : WineCommand("reg")) argv.push_back(part);
    argv.insert(argv.end(), args.begin(), args.end());
    HostProcess process;
    int code = -1;
    const bool ran = process.Start(argv, DefaultHostEnv(), error) &&
                     (process.CloseInput(), process.Wait(code, std::chrono::seconds(120)));
    output = ReadAll(out);
    fs::remove(out);
    if (!ran || code != 0)
        return ::testing::AssertionFailure() << "reg " << args[0] << ": " << error << process.StderrText();
    return ::testing::AssertionSuccess();
}

// Every key below the machine's trusted-root registry place, by upper-case thumbprint, with its "Blob".
::testing::AssertionResult RegistryRoots(std::map<std::string, Bytes>& roots)
{
    std::string output;
    if (auto ran = Reg({"query", kRootKey, "/s"}, output); !ran) return ran;
    std::istringstream in(output);
    roots.clear();
    std::string key;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("HKEY_", 0) == 0) {
            key = line.substr(line.find_last_of('\\') + 1);
            for (char& c : key) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
            continue;
        }
        std::istringstream fields(line);
        std::string name, type, data;
        if (fields >> name >> type >> data && name == "Blob" && type == "REG_BINARY") roots[key] = FromHex(data);
    }
    return ::testing::AssertionSuccess();
}

// Thumbprints of the machine's "CA" store, through the store interface.
::testing::AssertionResult MachineCaStore(std::set<std::string>& thumbprints)
{
    ToolRun run;
    if (auto ran = RunInspector({"store", "--name", "CA", "--machine", "--json"}, run); !ran) return ran;
    if (run.code != 0 || !run.json.is_object()) return ::testing::AssertionFailure() << run.out << run.err;
    thumbprints.clear();
    for (const Json& cert : run.json.value("certificates", Json::array())) {
        if (!cert.value("thumbprint", Json()).is_string()) continue;
        std::string thumbprint = cert["thumbprint"];
        for (char& c : thumbprint) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        thumbprints.insert(thumbprint);
    }
    return ::testing::AssertionSuccess();
}

// The plug-in's chain check, from a page script through npbrowser.
::testing::AssertionResult ChainCheck(bool& good)
{
    ToolRun run;
    if (auto ran = RunNpbrowser({}, R"({"instance":0,"method":"QORA_CheckCertificateChain"})" "\n", run); !ran)
        return ran;
    for (const Json& line : JsonLines(run.out))
        if (line.is_object() && line.value("line", 0) == 1) {
            good = line.value("returned", false);
            return ::testing::AssertionSuccess();
        }
    return ::testing::AssertionFailure() << "no answer: " << run.out << run.err;
}

::testing::AssertionResult Install(const std::vector<std::string>& extra, ToolRun& run, const Env& env = {})
{
    std::vector<std::string> args = {"--install"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (auto ran = RunNpbrowser(args, "", run, env); !ran) return ran;
    if (run.code != 0)
        return ::testing::AssertionFailure() << "npbrowser --install exited " << run.code << ": " << run.err;
    return ::testing::AssertionSuccess();
}

TEST(NpInstall, ReplacesTheWithdrawnGenerationWithTheDocumentsChains)
{
    // The withdrawn generation as an earlier install left it: roots at the registry place, intermediate CAs in
    // the machine's CA store.
    std::set<std::string> withdrawnRoots, withdrawnIntermediates;
    for (const auto& entry : fs::directory_iterator(kSource / "resources" / "democa-ca" / "discarded")) {
        const Bytes der = [&] {
            const std::string text = ReadAll(entry.path());
            return Bytes(text.begin(), text.end());
        }();
        X509Ptr cert = ParseCert(der);
        ASSERT_TRUE(cert) << entry.path();
        const std::string name = entry.path().filename().string();
        if (name.find("-root") != std::string::npos) {
            withdrawnRoots.insert(Thumbprint(cert.get()));
            std::string output;
            ASSERT_TRUE(Reg({"add", std::string(kRootKey) + "\\" + Thumbprint(cert.get()), "/v", "Blob", "/t",
                             "REG_BINARY", "/d", Hex(BlobOfCert(der)), "/f"},
                            output));
        } else {
            withdrawnIntermediates.insert(Thumbprint(cert.get()));
            ToolRun run;
            ASSERT_TRUE(
                RunInspector({"add", "--name", "CA", "--machine", "--file", "Z:" + entry.path().string()}, run));
            ASSERT_EQ(run.code, 0) << run.out << run.err;
        }
    }
    ASSERT_EQ(withdrawnRoots.size(), 7u);
    ASSERT_EQ(withdrawnIntermediates.size(), 10u);

    std::map<std::string, Bytes> roots;
    std::set<std::string> ca;
    ASSERT_TRUE(RegistryRoots(roots));
    ASSERT_TRUE(MachineCaStore(ca));
    for (const std::string& t : withdrawnRoots) EXPECT_EQ(roots.count(t), 1u) << "planted root " << t;
    for (const std::string& t : withdrawnIntermediates) EXPECT_EQ(ca.count(t), 1u) << "planted intermediate " << t;
    bool good = true;
    ASSERT_TRUE(ChainCheck(good));
    EXPECT_FALSE(good) << "the chains are not installed yet";

    ToolRun run;
    ASSERT_TRUE(Install({}, run));
    const std::vector<Json> lines = JsonLines(run.out);
    ASSERT_EQ(lines.size(), 1u) << run.out;
    EXPECT_EQ(lines[0], (Json{{"event", "NP_Install"},
                              {"machineRootStore", "0x00000000"},
                              {"coInitialize", "0x00000000"}}));

    ASSERT_TRUE(RegistryRoots(roots));
    ASSERT_TRUE(MachineCaStore(ca));
    for (const std::string& t : withdrawnRoots) EXPECT_EQ(roots.count(t), 0u) << "withdrawn root " << t;
    for (const std::string& t : withdrawnIntermediates) EXPECT_EQ(ca.count(t), 0u) << "withdrawn intermediate " << t;

    int expiredRoots = 0, expiredIntermediates = 0;
    for (const std::string& fileName : kDocuments) {
        SCOPED_TRACE(fileName);
        const Document doc = ReadDocument(fileName);
        ASSERT_FALSE(doc.roots.empty());
        ASSERT_FALSE(doc.bundle.empty());
        for (const RootEntry& root : doc.roots) {
            ASSERT_TRUE(root.cert) << root.entryPoint;
            ASSERT_EQ(root.entryPoint, Thumbprint(root.cert.get()));
            const auto it = roots.find(root.entryPoint);
            if (Expired(root.cert.get())) {
                ++expiredRoots;
                EXPECT_TRUE(it == roots.end()) << "expired root written: " << root.entryPoint;
            } else {
                ASSERT_TRUE(it != roots.end()) << "root missing: " << root.entryPoint;
                EXPECT_EQ(it->second, root.content) << "the Blob is the document's Content, byte for byte";
            }
        }
        for (const X509Ptr& cert : doc.bundle) {
            if (SelfSigned(cert.get())) continue;
            const bool expired = Expired(cert.get());
            expiredIntermediates += expired;
            EXPECT_EQ(ca.count(Thumbprint(cert.get())), expired ? 0u : 1u) << Thumbprint(cert.get());
        }
    }
    // Only the SM2 production document carries expired certificates: one root, one intermediate.
    EXPECT_EQ(expiredRoots, 1);
    EXPECT_EQ(expiredIntermediates, 1);

    ASSERT_TRUE(ChainCheck(good));
    EXPECT_TRUE(good) << "the chain check after the install";
}

// The install entry's own lines in the trace file: (label, succeeded), in the order written.
std::vector<std::pair<std::string, bool>> InstallSteps(const std::string& trace, std::string& codes)
{
    std::vector<std::pair<std::string, bool>> steps;
    std::istringstream in(trace);
    const std::string marker = "NP_Install - ";
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(marker);
        if (at == std::string::npos) continue;
        std::string label = line.substr(at + marker.size());
        const size_t reason = label.find(" [Reason:");
        if (reason != std::string::npos) label.erase(reason);
        if (!label.empty() && label.back() == '\r') label.pop_back();
        const bool failed = line.find(" FAILED ") != std::string::npos;
        if (failed) codes += line.substr(line.find(" FAILED ") + 8, 10) + " ";
        steps.emplace_back(label, !failed);
    }
    return steps;
}

struct StepsCase {
    std::vector<std::string> args;
    std::string coInitialize;
    bool installsSucceed;
};

TEST(NpInstall, RunsEverySixStepsAndTracesEachOutcome)
{
    const std::vector<std::string> kLabels = {"DeleteRSADiscardCert",
                                              "DeleteSM2DiscardCert",
                                              "ImportCertificateChainfromResoure",
                                              "ImportCertificateChainfromResoure",
                                              "ImportCertificateChainfromResoure(IDR_SM2_CERTIFICATE_CHAIN)",
                                              "ImportCertificateChainfromResoure(IDR_TEST_SM2_CERTIFICATE_CHAIN)"};
    // Removal entries whose roots are already gone fail inside the lists, which still answer success; without
    // COM on the thread every install fails at the XML document's creation, and the next one still runs.
    for (const StepsCase& c : std::vector<StepsCase>{{{}, "0x00000000", true}, {{"--no-com"}, "", false}}) {
        SCOPED_TRACE(c.args.empty() ? "with COM" : "without COM");
        char tracePath[] = "/tmp/bm-npinstall-trace-XXXXXX";
        const int fd = mkstemp(tracePath);
        ASSERT_GE(fd, 0);
        close(fd);
        ToolRun run;
        ASSERT_TRUE(Install(c.args, run, {{"BRINDLEMARK_TRACE_FILE", std::string("Z:") + tracePath},
                                          {"BRINDLEMARK_TRACE_FLAGS", "0x6"}}));
        const std::string trace = ReadAll(tracePath);
        unlink(tracePath);
        const std::vector<Json> lines = JsonLines(run.out);
        ASSERT_EQ(lines.size(), 1u) << run.out;
        EXPECT_EQ(lines[0]["coInitialize"], c.coInitialize.empty() ? Json() : Json(c.coInitialize));

        std::string codes;
        const std::vector<std::pair<std::string, bool>> steps = InstallSteps(trace, codes);
        ASSERT_EQ(steps.size(), kLabels.size()) << trace;
        for (size_t i = 0; i < kLabels.size(); ++i) {
            EXPECT_EQ(steps[i].first, kLabels[i]);
            EXPECT_EQ(steps[i].second, i < 2 || c.installsSucceed) << "step " << i + 1;
        }
        if (!c.installsSucceed) {
            // CO_E_NOTINITIALIZED from the document's creation, passed up unchanged
            EXPECT_EQ(codes, "0x800401f0 0x800401f0 0x800401f0 0x800401f0 ");
            size_t creations = 0;
            for (size_t at = trace.find("LoadXMLDom-CoCreateInstance"); at != std::string::npos;
                 at = trace.find("LoadXMLDom-CoCreateInstance", at + 1))
                ++creations;
            EXPECT_EQ(creations, 4u) << trace;
        }
    }
}

}  // namespace
}  // namespace bm
