// Whole enrolments as a bank page makes them: a request through the host, the demo CA's answer, both
// imports through the host, then the inspector signs with each key of the container and OpenSSL verifies
// the signatures with the keys of the issued certificates.
#include <gtest/gtest.h>

#include <openssl/rand.h>
#include <openssl/x509.h>

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

std::string Hex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) text += {digits[b >> 4], digits[b & 15]};
    return text;
}

// The public key of a Base64 DER certificate.
PkeyPtr CertificateKey(const std::string& base64)
{
    Bytes der(base64.size());
    const int n = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(base64.data()),
                                  static_cast<int>(base64.size()));
    if (n <= 0) return PkeyPtr();
    const unsigned char* p = der.data();
    OsslPtr<X509, X509_free> cert(d2i_X509(nullptr, &p, n));
    return cert ? PkeyPtr(X509_get_pubkey(cert.get())) : PkeyPtr();
}

std::string CaDir()
{
    static const std::string dir = CopyOfDemoCa();
    return dir;
}

// The inspector signs with the container's key of that spec; OpenSSL verifies with the certificate's key.
::testing::AssertionResult KeyMatchesCertificate(const Shape& s, const std::string& container, int spec,
                                                  const std::string& certificate)
{
    const bool sm2 = std::string(s.algorithm) == "SM2";
    Bytes data(64);
    RAND_bytes(data.data(), static_cast<int>(data.size()));
    ToolRun run;
    if (auto r = RunInspector({"sign", "--csp", s.csp, "--container", container, "--spec", std::to_string(spec),
                               "--hash", sm2 ? "sm3" : "sha1", "--data", Hex(data), "--json"},
                              run);
        !r)
        return r;
    if (run.code != 0) return ::testing::AssertionFailure() << "inspector sign: " << run.out << run.err;
    PkeyPtr certKey = CertificateKey(certificate);
    if (!certKey) return ::testing::AssertionFailure() << "OpenSSL cannot read the certificate";
    const Bytes sig = BytesFromHex(run.json.value("signature", ""));
    if (!Verifies(certKey.get(), sm2, sm2 ? EVP_sm3() : EVP_sha1(), data, sig))
        return ::testing::AssertionFailure() << "key spec " << spec << " does not hold the certificate's key";
    return ::testing::AssertionSuccess();
}

class Enrolment : public ::testing::TestWithParam<Shape> {};

TEST_P(Enrolment, RequestIssueImportAndProveTheKeys)
{
    const Shape& s = GetParam();
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

    EXPECT_TRUE(KeyMatchesCertificate(s, container, signSpec, signCert));
    if (s.certType == 2) {
        EXPECT_TRUE(KeyMatchesCertificate(s, container, 1, issued.json.value("encryptCert", "")))
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
