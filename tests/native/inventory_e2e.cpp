// The certificate inventory as a page sees it after real enrolments through the host and the demo CA: an
// RSA certificate of the Enhanced provider (in MY, linked to its container), an RSA certificate kept only
// in the RSA token's container, and SM2 single and double certificates kept only in the SM2 token's
// containers. "QORA_GetAllCertInfo" for each kind of CSP list must answer exactly the records written here
// from the issued certificates with OpenSSL, at UTC+8 (the host runs with TZ=CST-8).
//
// Clean start: MY of the test's prefix is emptied before and after, and the tokens keep their containers
// in a folder of this test alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/CertRecords.h"
#include "support/HostSession.h"
#include "support/KeyContainers.h"
#include "support/PersonalStore.h"
#include "support/Tools.h"

using namespace bm;

namespace {

constexpr long kUtcPlus8 = 8 * 3600;
const char kEnhanced[] = "Microsoft Enhanced Cryptographic Provider v1.0";
const char kRsaToken[] = "Software RSA Token CSP v1.0";
const char kSm2Token[] = "Software SM2 Token CSP v1.0";

// A folder of this test alone, removed at the end: the tokens' stores, the CA.
struct TempFolder {
    std::filesystem::path path;
    explicit TempFolder(const char* prefix)
    {
        std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
};

// MY emptied now and again at the end, whatever happens in between.
struct CleanPersonalStore {
    std::string error;
    bool ok = EnsureWineRunning(error) && ClearPersonalStore(DefaultHostEnv(), error);
    ~CleanPersonalStore()
    {
        std::string ignored;
        ClearPersonalStore(DefaultHostEnv(), ignored);
    }
};

struct Enrolment {
    const char* algorithm;
    int bits;
    const char* csp;
    int certType;        // 1 single, 2 double
    const char* format;  // the CA's envelope for a double request
    const char* subject;
};

struct Issued {
    std::string container, signCert, encryptCert;
};

// Request, the CA's answer and the imports, as a page makes them; the certificates as the CA issued them.
::testing::AssertionResult Enrol(HostSession& session, const Enrolment& e, const std::string& caDir, Issued& issued)
{
    std::string request;
    if (auto r = session.Configure(e.algorithm, e.bits, e.csp); !r) return r;
    if (auto r = session.Request("QORA_PKCS10CertRequisition", e.certType, request, issued.container, e.subject); !r)
        return r;
    ToolRun ca;
    if (auto r = RunDemoca({"issue", "--ca-dir", caDir, "--format", e.format}, request, ca); !r) return r;
    if (ca.code != 0) return ::testing::AssertionFailure() << "democa refused " << e.subject << ": " << ca.err;
    issued.signCert = ca.json.value("signCert", "");
    issued.encryptCert = ca.json.value("encryptCert", "");
    // a single request's key is the exchange-spec key; a double request signs with the signature-spec key
    HostReply reply;
    if (auto r = session.Call("QORA_ImportSignCert",
                              {e.certType == 1 ? "1" : "2", JsonString(issued.signCert), JsonString(issued.container)},
                              reply);
        !r)
        return r;
    if (reply.errorcode != 0) return ::testing::AssertionFailure() << e.subject << ": signing import " << reply.errorcode;
    if (e.certType == 2) {
        if (auto r = session.Call("QORA_ImportEncryptCert",
                                  {JsonString(ca.json.value("encryptedPrivateKey", "")), JsonString(issued.encryptCert),
                                   JsonString(issued.container), "0"},
                                  reply, kKeyGeneration);
            !r)
            return r;
        if (reply.errorcode != 0)
            return ::testing::AssertionFailure() << e.subject << ": encryption import " << reply.errorcode;
    }
    return ::testing::AssertionSuccess();
}

std::string Record(const std::string& base64, const char* csp)
{
    X509Ptr cert = X509FromBase64(base64);
    return cert ? CertificateRecord(cert.get(), csp, kUtcPlus8) : "<unreadable certificate>";
}

struct InventoryCase {
    const char* label;
    std::vector<std::string> params;  // JSON texts
    int64_t errorcode;
    Json result;
};

TEST(Inventory, ListsStoreThenContainerCertificatesForEachKindOfCspList)
{
    TempFolder tokens("bm-inventory-tokens"), ca("bm-inventory-ca");
    ASSERT_FALSE(tokens.path.empty() || ca.path.empty());
    const Env hostEnv = {{"TZ", "CST-8"}, {"BRINDLEMARK_TOKEN_DIR", WindowsPathOf(tokens.path.string())}};
    CleanPersonalStore store;
    ASSERT_TRUE(store.ok) << store.error;
    ContainerSweep enhancedSweep(kEnhanced);

    HostSession enrolling;
    ASSERT_TRUE(enrolling.Start(hostEnv));
    for (const char* token : {kRsaToken, kSm2Token}) {
        bool registered = false;
        ASSERT_TRUE(enrolling.ProviderRegistered(token, registered));
        ASSERT_TRUE(registered) << token << " is not registered in the prefix (scripts/install-providers)";
    }
    Issued enhanced, rsaToken, sm2Single, sm2Double;
    ASSERT_TRUE(Enrol(enrolling, {"RSA", 1024, kEnhanced, 1, "classic", "CN=Inventory Enhanced,O=Brindlemark Demo Bank,C=CN"},
                      ca.path.string(), enhanced));
    enhancedSweep.Add(enhanced.container);
    ASSERT_TRUE(Enrol(enrolling, {"RSA", 1024, kRsaToken, 1, "classic", "CN=Inventory RSA Token,OU=Retail,O=Brindlemark Demo Bank,C=CN"},
                      ca.path.string(), rsaToken));
    ASSERT_TRUE(Enrol(enrolling, {"SM2", 0, kSm2Token, 1, "ext-sm2", "CN=Inventory SM2 Single,O=Brindlemark Demo Bank,C=CN"},
                      ca.path.string(), sm2Single));
    ASSERT_TRUE(Enrol(enrolling, {"SM2", 0, kSm2Token, 2, "ext-sm2", "CN=Inventory SM2 Double,O=Brindlemark Demo Bank,C=CN"},
                      ca.path.string(), sm2Double));
    HostReply reply;
    ASSERT_TRUE(enrolling.Expect("QORA_GetCSPInfo", {}, Json::value_t::string, reply));
    const std::string allCsps = reply.ResultText();
    std::string microsoftCsps;
    for (size_t start = 0, end; start <= allCsps.size(); start = end + 2) {
        end = std::min(allCsps.find("||", start), allCsps.size());
        const std::string name = allCsps.substr(start, end - start);
        if (name.find("Microsoft") != std::string::npos) microsoftCsps += (microsoftCsps.empty() ? "" : "||") + name;
    }
    ASSERT_NE(microsoftCsps.find(kEnhanced), std::string::npos) << allCsps;

    // The store's RSA certificate comes first whatever the list's order; the SM2 token's follow container by
    // container in the order they were made, a container's exchange-key certificate before its signature-key
    // one. The RSA token's certificate is in no list: it is not in MY, and only SM2-family certificates are
    // sought in containers.
    const std::string inStore = Record(enhanced.signCert, kEnhanced);
    const std::vector<std::string> inSm2Token = {Record(sm2Single.signCert, kSm2Token),
                                                 Record(sm2Double.encryptCert, kSm2Token),
                                                 Record(sm2Double.signCert, kSm2Token)};
    std::vector<std::string> everything = {inStore};
    everything.insert(everything.end(), inSm2Token.begin(), inSm2Token.end());
    auto listed = [](const std::vector<std::string>& records) { return Json(JoinRecords(records)); };
    const std::vector<InventoryCase> cases = {
        {"empty list: store certificates of every CSP, no container search", {JsonString("")}, 0, listed({inStore})},
        {"the Microsoft providers: store certificates only", {JsonString(microsoftCsps)}, 0, listed({inStore})},
        {"the SM2 token alone", {JsonString(kSm2Token)}, 0, listed(inSm2Token)},
        {"the SM2 token between spaces", {JsonString(std::string("  ") + kSm2Token + " ")}, 0, listed(inSm2Token)},
        {"the RSA token alone", {JsonString(kRsaToken)}, 0, listed({})},
        {"the whole CSP list", {JsonString(allCsps)}, 0, listed(everything)},
        {"the SM2 token named before the Enhanced provider", {JsonString(std::string(kSm2Token) + "||" + kEnhanced)},
         0, listed(everything)},
        {"a provider that is not installed", {JsonString("Software Missing Token CSP v0.0")}, 0, listed({})},
        {"no argument", {}, -1, Json(false)},
    };

    // A new host, as a page opened later would have.
    HostSession page;
    ASSERT_TRUE(page.Start(hostEnv));
    for (const InventoryCase& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(page.Call("QORA_GetAllCertInfo", c.params, reply));
        EXPECT_EQ(reply.errorcode, c.errorcode);
        EXPECT_TRUE(reply.hasResult);
        EXPECT_EQ(reply.result, c.result);
    }
}

}  // namespace
