// Whole enrolments as a bank page makes them: a request through the host, the demo CA's answer, both
// imports through the host, then the inspector signs with each key of the container and OpenSSL verifies
// the signatures with the keys of the issued certificates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/HostSession.h"
#include "support/KeyContainers.h"
#include "support/Tools.h"

using namespace bm;

namespace {

const char kEnrolSubject[] = "CN=Enrol Test,O=Brindlemark Demo Bank,C=CN";

struct Shape {
    const char* label;
    const char* algorithm;
    const char* csp;
    int bits;
    int certType;        // 1 single, 2 double
    const char* format;  // the envelope democa writes for a double request
    bool microsoft;      // certificates go to MY instead of the container
};
void PrintTo(const Shape& s, std::ostream* os) { *os << s.label; }

std::string CaDir()
{
    static const std::string dir = CopyOfDemoCa();
    return dir;
}

class Enrolment : public ::testing::TestWithParam<Shape> {};

TEST_P(Enrolment, RequestIssueImportAndProveTheKeys)
{
    const Shape& s = GetParam();
    const bool sm2 = std::string(s.algorithm) == "SM2";
    HostSession session;
    ASSERT_TRUE(session.Start());
    if (!s.microsoft) {
        bool registered = false;
        ASSERT_TRUE(session.ProviderRegistered(s.csp, registered));
        if (!registered) GTEST_SKIP() << s.csp << " is not registered (scripts/install-providers)";
    }
    ContainerSweep sweep(s.csp);
    ASSERT_TRUE(session.Configure(s.algorithm, s.bits, s.csp));
    std::string request, container;
    ASSERT_TRUE(session.Request("QORA_PKCS10CertRequisition", s.certType, request, container, kEnrolSubject));
    sweep.Add(container);

    ToolRun issued;
    ASSERT_TRUE(RunDemoca({"issue", "--ca-dir", CaDir(), "--format", s.format}, request, issued));
    ASSERT_EQ(issued.code, 0) << issued.err;
    const std::string signCert = issued.json.value("signCert", "");
    ASSERT_FALSE(signCert.empty()) << issued.out;

    // A single request's signing key is the exchange-spec key; a double request's the signature-spec key.
    const int signSpec = s.certType == 1 ? 1 : 2;
    HostReply reply;
    ASSERT_TRUE(session.Call("QORA_ImportSignCert",
                             {std::to_string(signSpec), JsonString(signCert), JsonString(container)}, reply));
    ASSERT_EQ(reply.errorcode, 0) << "signing certificate import";
    EXPECT_TRUE(reply.ResultIsTrue());
    if (s.certType == 2) {
        ASSERT_TRUE(session.Call("QORA_ImportEncryptCert",
                                 {JsonString(issued.json.value("encryptedPrivateKey", "")),
                                  JsonString(issued.json.value("encryptCert", "")), JsonString(container), "0"},
                                 reply, kKeyGeneration));
        ASSERT_EQ(reply.errorcode, 0) << "encryption certificate import";
        EXPECT_TRUE(reply.ResultIsTrue());
    }

    EXPECT_TRUE(KeyMatchesCertificate(s.csp, sm2, container, signSpec, signCert));
    if (s.certType == 2) {
        EXPECT_TRUE(KeyMatchesCertificate(s.csp, sm2, container, 1, issued.json.value("encryptCert", "")))
            << "the delivered key replaced the temporary exchange key";
    }
    if (!s.microsoft) {
        ToolRun listed;
        ASSERT_TRUE(RunInspector({"containers", "--csp", s.csp, "--json"}, listed));
        bool withCertificate = false;
        for (const Json& c : listed.json.value("containers", Json::array()))
            if (c.value("name", "") == container)
                for (const Json& key : c.value("keys", Json::array()))
                    withCertificate = withCertificate || (key.value("spec", 0) == signSpec && key["certificate"].is_object());
        EXPECT_TRUE(withCertificate) << "the token keeps the signing certificate with its key";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Host, Enrolment,
    ::testing::Values(
        Shape{"EnhancedSingle", "RSA", "Microsoft Enhanced Cryptographic Provider v1.0", 1024, 1, "classic", true},
        Shape{"EnhancedDoubleClassic", "RSA", "Microsoft Enhanced Cryptographic Provider v1.0", 1024, 2, "classic", true},
        Shape{"AesSingle", "RSA", "Microsoft Enhanced RSA and AES Cryptographic Provider", 2048, 1, "classic", true},
        Shape{"RsaToken1024Classic", "RSA", "Software RSA Token CSP v1.0", 1024, 2, "classic", false},
        Shape{"RsaToken2048Extended", "RSA", "Software RSA Token CSP v1.0", 2048, 2, "ext-rsa", false},
        Shape{"RsaToken2048NoSessionKey", "RSA", "Software RSA Token CSP v1.0", 2048, 2, "ext-rsa-nosession", false},
        Shape{"Sm2Single", "SM2", "Software SM2 Token CSP v1.0", 0, 1, "ext-sm2", false},
        Shape{"Sm2DoubleC1C3C2", "SM2", "Software SM2 Token CSP v1.0", 0, 2, "ext-sm2", false},
        Shape{"Sm2DoubleC1C2C3", "SM2", "Software SM2 Token CSP v1.0", 0, 2, "ext-sm2-c1c2c3", false}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.label); });

}  // namespace
