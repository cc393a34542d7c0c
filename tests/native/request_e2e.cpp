// Certification requests made by BrindlemarkHost.exe under Wine, checked by a peer that shares no code
// with it: the frames go over the host's pipes, the requests are verified with the system's OpenSSL.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <sys/stat.h>

#include "support/HostProcess.h"
#include "support/HostSession.h"
#include "support/Json.h"
#include "support/KeyContainers.h"
#include "support/RequestChecks.h"

using namespace bm;

namespace {


const char kSm2Csp[] = "Software SM2 Token CSP v1.0";
const char kRsaTokenCsp[] = "Software RSA Token CSP v1.0";


std::string Joined(const std::vector<std::string>& failures)
{
    std::string text;
    for (const std::string& f : failures) text += "\n  " + f;
    return text;
}


struct Shape {
    const char* name;
    const char* function;
    int certType;
    RequestHash hash;
};
const Shape kSingle = {"single", "QORA_PKCS10CertRequisition", 1, RequestHash::Sha1};
const Shape kDouble = {"double", "QORA_PKCS10CertRequisition", 2, RequestHash::Sha1};
const Shape kSingleMd5 = {"single MD5", "QORA_PKCS10CertRequisitionwithMD5", 1, RequestHash::Md5};

struct ProviderCase {
    const char* label;
    const char* csp;
    const char* algorithm;
    int bits;
    std::vector<Shape> shapes;
    bool standIn;  // one of our stand-in token providers: skipped while it is not registered
};

void PrintTo(const ProviderCase& c, std::ostream* os) { *os << c.csp << " " << c.algorithm << "-" << c.bits; }

void RunProvider(const ProviderCase& c)
{
    HostSession session;
    ASSERT_TRUE(session.Start());
    bool registered = true;
    if (c.standIn) {
        ASSERT_TRUE(session.ProviderRegistered(c.csp, registered));
    }
    if (!registered)
        GTEST_SKIP() << "\"" << c.csp << "\" is not registered in " << WinePrefixDir()
                     << " (scripts/install-providers registers the stand-in providers)";
    ASSERT_TRUE(session.Configure(c.algorithm, c.bits, c.csp));

    const KeyAlgorithm algorithm = std::string(c.algorithm) == "SM2" ? KeyAlgorithm::Sm2 : KeyAlgorithm::Rsa;
    std::set<std::string> containers;
    ContainerSweep sweep(c.csp);
    for (const Shape& shape : c.shapes) {
        SCOPED_TRACE(std::string(c.csp) + ", " + shape.name);
        std::string text, container;
        ASSERT_TRUE(session.Request(shape.function, shape.certType, text, container));
        sweep.Add(container);
        EXPECT_TRUE(containers.insert(container).second) << "container " << container << " handed out twice";

        RequestExpectation expect;
        expect.algorithm = algorithm;
        expect.hash = shape.hash;
        expect.isDouble = shape.certType == 2;
        expect.subjectDn = kSubject;
        expect.keyBits = algorithm == KeyAlgorithm::Rsa ? static_cast<unsigned>(c.bits) : 0;
        const std::vector<std::string> failures = CheckRequest(text, expect);
        EXPECT_TRUE(failures.empty()) << "the peer refuses the request:" << Joined(failures) << "\nrequest:\n"
                                      << text;
    }

    session.Process().CloseInput();
    int code = -1;
    ASSERT_TRUE(session.Process().Wait(code, std::chrono::seconds(30))) << "host did not end after its input closed";
    EXPECT_EQ(code, 0);
}

class ProviderRequests : public ::testing::TestWithParam<ProviderCase> {};

TEST_P(ProviderRequests, RequestsPassThePeer) { RunProvider(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Host, ProviderRequests,
    ::testing::Values(
        ProviderCase{"BaseRsa1024", "Microsoft Base Cryptographic Provider v1.0", "RSA", 1024,
                     {kSingle, kDouble, kSingleMd5}, false},
        ProviderCase{"EnhancedRsa2048", "Microsoft Enhanced Cryptographic Provider v1.0", "RSA", 2048,
                     {kSingle, kDouble, kSingleMd5}, false},
        ProviderCase{"AesRsa2048", "Microsoft Enhanced RSA and AES Cryptographic Provider", "RSA", 2048,
                     {kSingle, kDouble, kSingleMd5}, false},
        ProviderCase{"TokenSm2", kSm2Csp, "SM2", 256, {kSingle, kDouble}, true},
        ProviderCase{"TokenRsa3072", kRsaTokenCsp, "RSA", 3072, {kSingle, kDouble}, true}),
    [](const ::testing::TestParamInfo<ProviderCase>& info) { return std::string(info.param.label); });

// The channel itself: a token comes back, and a closed input ends the host with exit code 0.
TEST(HostChannel, AnswersAndEndsWhenItsInputCloses)
{
    HostSession session;
    ASSERT_TRUE(session.Start());
    HostReply reply;
    ASSERT_TRUE(session.Expect("QORA_GetVersion", {}, Json::value_t::string, reply));
    EXPECT_EQ(reply.ResultText(), "3.2.0.4");
    session.Process().CloseInput();
    int code = -1;
    ASSERT_TRUE(session.Process().Wait(code, std::chrono::seconds(30)));
    EXPECT_EQ(code, 0);
}

}  // namespace
