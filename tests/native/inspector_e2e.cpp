// inspector.exe under Wine, checked against what the host made, what the registry holds and what the
// system's OpenSSL says: a container the host made for a request is listed with its key, signs so that
// OpenSSL verifies with the public key printed alongside (the key the request carried) and is deleted for
// good; a certificate written into a store's registry entry is listed with its key-provider link.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include <openssl/rand.h>

#include "support/HostProcess.h"
#include "support/Json.h"
#include "support/KeyContainers.h"
#include "support/OsslOwners.h"
#include "support/RequestChecks.h"
#include "support/Tools.h"

using namespace bm;

namespace {

using X509Ptr = OsslPtr<X509, X509_free>;
using NamePtr = OsslPtr<X509_NAME, X509_NAME_free>;

constexpr auto kAnswer = std::chrono::seconds(300);
const char kSubject[] = "CN=Inspector Test";
const char kIssuer[] = "CN=Inspector Test CA";

using InspectorRun = ToolRun;

::testing::AssertionResult Inspect(const std::vector<std::string>& args, InspectorRun& run)
{
    return RunInspector(args, run);
}

std::string Hex(const unsigned char* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < n; ++i) text += {digits[p[i] >> 4], digits[p[i] & 15]};
    return text;
}

// A certificate for a new P-256 key, signed by a throw-away P-256 authority.
struct Issued {
    Bytes der;
    std::string serial, thumbprint;
};
bool Issue(Issued& issued)
{
    PkeyPtr ca(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    X509Ptr cert(X509_new());
    NamePtr subject(X509_NAME_new()), issuer(X509_NAME_new());
    unsigned char serial[8];
    if (!ca || !key || !cert || !subject || !issuer || RAND_bytes(serial, sizeof serial) != 1) return false;
    serial[0] = static_cast<unsigned char>((serial[0] & 0x3F) | 0x40);  // positive, no leading zero
    BignumPtr bn(BN_bin2bn(serial, sizeof serial, nullptr));
    if (!bn || !BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get())) ||
        !X509_NAME_add_entry_by_txt(subject.get(), "CN", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(kSubject + 3), -1, -1, 0) ||
        !X509_NAME_add_entry_by_txt(issuer.get(), "CN", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(kIssuer + 3), -1, -1, 0) ||
        !X509_set_version(cert.get(), 2) || !X509_set_subject_name(cert.get(), subject.get()) ||
        !X509_set_issuer_name(cert.get(), issuer.get()) || !X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400) || !X509_set_pubkey(cert.get(), key.get()) ||
        X509_sign(cert.get(), ca.get(), EVP_sha256()) <= 0)
        return false;
    unsigned char* der = nullptr;
    const int cb = i2d_X509(cert.get(), &der);
    if (cb <= 0) return false;
    issued.der.assign(der, der + cb);
    OPENSSL_free(der);
    unsigned char sha1[20];
    unsigned int cbSha1 = 0;
    if (!X509_digest(cert.get(), EVP_sha1(), sha1, &cbSha1)) return false;
    issued.serial = Hex(serial, sizeof serial);
    issued.thumbprint = Hex(sha1, cbSha1);
    return true;
}

// The container's entry in `containers --json`, or null.
Json ListedContainer(const std::string& csp, const std::string& container)
{
    InspectorRun run;
    EXPECT_TRUE(Inspect({"containers", "--csp", csp, "--json"}, run));
    EXPECT_EQ(run.code, 0) << run.err;
    if (!run.json.is_object() || !run.json["containers"].is_array()) {
        ADD_FAILURE() << "no container list: " << run.out;
        return nullptr;
    }
    for (const Json& c : run.json["containers"])
        if (c.value("name", "") == container) return c;
    return nullptr;
}

// Wine's reg.exe under the project's prefix; its exit code.
int Reg(std::vector<std::string> args)
{
    std::vector<std::string> argv = WineCommand("reg");
    argv.insert(argv.end(), args.begin(), args.end());
    HostProcess reg;
    std::string error;
    int code = -1;
    return reg.Start(argv, DefaultHostEnv(), error) && reg.Wait(code, kAnswer) ? code : -1;
}

struct ProviderCase {
    const char* label;
    const char* csp;
    const char* algorithm;
    int type;           // the provider type it is registered with, and opened with by default
    int bits;           // asked of the host
    int listedBits;     // KP_KEYLEN of the key made
    const char* algId;  // of the exchange key a single request makes
    const char* hash;
    bool sm2;
};
void PrintTo(const ProviderCase& c, std::ostream* os) { *os << c.label; }

class InspectorOnHostContainers : public ::testing::TestWithParam<ProviderCase> {};

TEST_P(InspectorOnHostContainers, ListsSignsWithAndDeletesTheContainer)
{
    const ProviderCase& c = GetParam();
    InspectorRun run;
    ASSERT_TRUE(Inspect({"providers", "--json"}, run));
    ASSERT_EQ(run.code, 0) << run.err;
    bool registered = false;
    for (const Json& p : run.json.value("providers", Json::array()))
        registered = registered || (p.value("name", "") == c.csp && p.value("type", 0) == c.type);
    if (!registered && c.sm2) GTEST_SKIP() << c.csp << " is not registered (scripts/install-providers)";
    ASSERT_TRUE(registered) << run.out;

    // The host makes the container; once it has ended, every handle on the new key is released.
    std::string name;
    {
        HostProcess host;
        std::string error, body;
        ASSERT_TRUE(host.StartHost(error)) << error;
        auto call = [&](const char* function, const std::vector<std::string>& params, HostReply& reply) {
            return host.Exchange(HostRequest(function, params), body, kAnswer, error) &&
                   ParseHostReply(body, reply, error) && reply.errorcode == 0;
        };
        HostReply reply, request, container;
        ASSERT_TRUE(call("QORA_SetKeyAlgorithm", {JsonString(c.algorithm)}, reply)) << error << body;
        ASSERT_TRUE(call("QORA_SetCSPInfo", {std::to_string(c.bits), JsonString(c.csp)}, reply)) << error << body;
        ASSERT_TRUE(call("QORA_PKCS10CertRequisition", {JsonString("CN=x"), "1", "0"}, request)) << error << body;
        ASSERT_TRUE(call("QORA_GetContainer", {}, container)) << error << body;
        name = container.ResultText();
        host.CloseInput();
        int code = -1;
        ASSERT_TRUE(host.Wait(code, std::chrono::seconds(30)));
    }
    ContainerSweep sweep(c.csp);
    sweep.Add(name);

    const Json listed = ListedContainer(c.csp, name);
    ASSERT_TRUE(listed.is_object()) << name << " is not listed";
    const Json key = {{"spec", 1},           {"specName", "AT_KEYEXCHANGE"}, {"algId", c.algId},
                      {"bits", c.listedBits}, {"certificate", nullptr}};
    EXPECT_EQ(listed["keys"], Json::array({key}));
    ASSERT_TRUE(Inspect({"containers", "--csp", c.csp}, run));
    EXPECT_NE(run.out.find("  - name: " + name + "\n    keys:\n      - spec: 1\n"), std::string::npos) << run.out;

    // Gone after the delete, and a second delete fails with the provider's "no such key set".
    ASSERT_TRUE(Inspect({"delete", "--csp", c.csp, "--container", name, "--json"}, run));
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_TRUE(ListedContainer(c.csp, name).is_null());
    ASSERT_TRUE(Inspect({"delete", "--csp", c.csp, "--container", name, "--json"}, run));
    EXPECT_EQ(run.code, 1);
    ASSERT_TRUE(run.json.is_object() && run.json["error"].is_object()) << run.out;
    EXPECT_EQ(run.json["error"].value("code", ""), "0x80090016") << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Inspector, InspectorOnHostContainers,
    ::testing::Values(ProviderCase{"EnhancedRsa1024", "Microsoft Enhanced Cryptographic Provider v1.0", "RSA", 1,
                                   1024, 1024, "0xa400", "sha1", false},
                      ProviderCase{"AesRsa1024", "Microsoft Enhanced RSA and AES Cryptographic Provider",
                                   "RSA", 24, 1024, 1024, "0xa400", "sha256", false},
                      ProviderCase{"TokenSm2", "Software SM2 Token CSP v1.0", "SM2", 1, 0, 256, "0xbe00", "sm3", true}),
    [](const ::testing::TestParamInfo<ProviderCase>& info) { return std::string(info.param.label); });

// Little-endian DWORD, as the platform serialises store entries.
void PutDword(Bytes& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The registry entry of a store certificate: a key-provider link with offsets into itself, then the
// certificate (property 32).
Bytes StoreEntry(const Bytes& certificate, const std::string& container, const std::string& provider)
{
    auto utf16 = [](const std::string& ascii) {
        Bytes out;
        for (char ch : ascii) out.insert(out.end(), {static_cast<uint8_t>(ch), 0});
        return out.insert(out.end(), {0, 0}), out;
    };
    const Bytes containerName = utf16(container), providerName = utf16(provider);
    Bytes link;
    PutDword(link, 28);                                                        // container name offset
    PutDword(link, static_cast<uint32_t>(28 + containerName.size()));         // provider name offset
    for (uint32_t field : {1u, 0u, 0u, 0u, 2u}) PutDword(link, field);         // type, flags, no parameters, key spec
    link.insert(link.end(), containerName.begin(), containerName.end());
    link.insert(link.end(), providerName.begin(), providerName.end());
    Bytes entry;
    for (const auto& [id, value] : {std::pair<uint32_t, const Bytes*>{2, &link}, {32, &certificate}}) {
        PutDword(entry, id);
        PutDword(entry, 1);
        PutDword(entry, static_cast<uint32_t>(value->size()));
        entry.insert(entry.end(), value->begin(), value->end());
    }
    return entry;
}

TEST(InspectorStore, ListsARegistryStoreCertificateWithItsKeyProviderLink)
{
    const std::string store = "InspectorE2E";
    const std::string storeKey = "HKCU\\Software\\Microsoft\\SystemCertificates\\" + store;
    Issued issued;
    ASSERT_TRUE(Issue(issued));
    std::string thumbprint = issued.thumbprint;
    for (char& ch : thumbprint) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    Reg({"delete", storeKey, "/f"});
    const Bytes entry = StoreEntry(issued.der, "{C0FFEE}", "Software RSA Token CSP v1.0");
    ASSERT_EQ(Reg({"add", storeKey + "\\Certificates\\" + thumbprint, "/v", "Blob", "/t", "REG_BINARY", "/d",
                   Hex(entry.data(), entry.size()), "/f"}),
              0);
    InspectorRun run;
    const bool ran = Inspect({"store", "--name", store, "--json"}, run);
    Reg({"delete", storeKey, "/f"});
    ASSERT_TRUE(ran);
    ASSERT_EQ(run.code, 0) << run.err;
    const Json link = {{"container", "{C0FFEE}"}, {"provider", "Software RSA Token CSP v1.0"}, {"type", 1},
                       {"keySpec", 2}};
    const Json want = {{"subject", kSubject},
                       {"issuer", kIssuer},
                       {"serial", issued.serial},
                       {"thumbprint", issued.thumbprint},
                       {"keyProvider", link}};
    ASSERT_TRUE(run.json.is_object() && run.json["certificates"].is_array() && run.json["certificates"].size() == 1)
        << run.out;
    for (const auto& [field, value] : want.items()) EXPECT_EQ(run.json["certificates"][0][field], value) << field;

    // Once the entry is gone the store is absent, which is no failure.
    ASSERT_TRUE(Inspect({"store", "--name", store, "--json"}, run));
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.json, Json::parse(R"({"command":"store","store":"InspectorE2E","location":"CurrentUser",)"
                                    R"("exists":false,"certificates":[]})"));
}

struct UsageCase {
    std::vector<std::string> args;
    int code;
};

TEST(InspectorUsage, MalformedCommandLinesExitWithTwoAndPrintNothingOnStdout)
{
    const std::vector<std::string> sign = {"sign", "--csp", "P", "--container", "C", "--spec", "1"};
    auto signWith = [&](std::vector<std::string> tail) {
        std::vector<std::string> args = sign;
        args.insert(args.end(), tail.begin(), tail.end());
        return args;
    };
    for (const UsageCase& u : std::vector<UsageCase>{
             {{}, 2},
             {{"--json"}, 2},
             {{"bogus"}, 2},
             {{"providers", "extra"}, 2},
             {{"providers", "--csp", "P"}, 2},
             {{"containers"}, 2},
             {{"containers", "--csp"}, 2},
             {{"containers", "--csp", ""}, 2},
             {{"containers", "--csp", "P", "--csp", "Q"}, 2},
             {{"containers", "--csp", "P", "--type", "0"}, 2},
             {{"containers", "--csp", "P", "--type", "x1"}, 2},
             {{"store", "--frobnicate"}, 2},
             {{"delete", "--csp", "P"}, 2},
             {signWith({"--hash", "sha1"}), 2},
             {signWith({"--hash", "md5", "--data", "00"}), 2},
             {signWith({"--hash", "sha1", "--data", "abc"}), 2},
             {signWith({"--hash", "sha1", "--data", "zz"}), 2},
             {{"sign", "--csp", "P", "--container", "C", "--spec", "3", "--hash", "sha1", "--data", "00"}, 2},
             {{"--help"}, 0},
             {{"providers", "--bogus", "--help"}, 0},
         }) {
        std::string line;
        for (const std::string& a : u.args) line += " [" + a + "]";
        SCOPED_TRACE(line);
        InspectorRun run;
        ASSERT_TRUE(Inspect(u.args, run));
        EXPECT_EQ(run.code, u.code) << run.out << run.err;
        const std::string& usageText = u.code == 0 ? run.out : run.err;
        EXPECT_NE(usageText.find("usage: inspector"), std::string::npos) << usageText;
        if (u.code != 0) {
            EXPECT_EQ(run.out, "");
        }
    }
}

}  // namespace
