// Certification requests made by BrindlemarkHost.exe under Wine, checked by a peer that shares no code
// with it: the frames go over the host's pipes, the requests are verified with the system's OpenSSL.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <sys/stat.h>

#include "support/HostProcess.h"
#include "support/Json.h"
#include "support/KeyContainers.h"
#include "support/RequestChecks.h"

using namespace bm;

namespace {

constexpr int64_t kUnknownFunction = -2146893779;  // the host's fixed answer to a name it has no row for
constexpr auto kQuickAnswer = std::chrono::seconds(60);
constexpr auto kKeyGeneration = std::chrono::seconds(600);  // a 3072-bit key in a software CSP under Wine

const char kSubject[] = "CN=Alice,OU=Unit,O=Org,C=CN";
const char kSm2Csp[] = "Software SM2 Token CSP v1.0";
const char kRsaTokenCsp[] = "Software RSA Token CSP v1.0";

// {8-4-4-4-12 hexadecimal digits}
bool IsGuidName(const std::string& name)
{
    if (name.size() != 38 || name.front() != '{' || name.back() != '}') return false;
    for (size_t i = 1; i < 37; ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? name[i] != '-' : !isxdigit(static_cast<unsigned char>(name[i]))) return false;
    }
    return true;
}

std::string Joined(const std::vector<std::string>& failures)
{
    std::string text;
    for (const std::string& f : failures) text += "\n  " + f;
    return text;
}

class HostSession {
public:
    // Starts the host; a missing executable or a Wine that does not come up fails the test.
    ::testing::AssertionResult Start()
    {
        struct stat st;
        const std::string exe = WinBuildDir() + "/host/BrindlemarkHost.exe";
        if (stat(exe.c_str(), &st) != 0) return ::testing::AssertionFailure() << exe << " is not built";
        std::string error;
        if (!m_host.StartHost(error)) return ::testing::AssertionFailure() << "host did not start: " << error;
        return ::testing::AssertionSuccess();
    }

    // One request, one answer; the answer must name the command and carry the token back.
    ::testing::AssertionResult Call(const std::string& function, const std::vector<std::string>& params,
                                    HostReply& reply, std::chrono::seconds timeout = kQuickAnswer)
    {
        const std::string token = std::to_string(++m_token);
        std::string body, error;
        if (!m_host.Exchange(HostRequest(function, params, token), body, timeout, error))
            return ::testing::AssertionFailure() << function << ": " << error;
        if (!ParseHostReply(body, reply, error))
            return ::testing::AssertionFailure() << function << ": unreadable answer (" << error << "): " << body;
        if (reply.errorcode == kUnknownFunction && reply.hasResult && reply.result.is_boolean() &&
            !reply.result.get<bool>())
            return ::testing::AssertionFailure()
                   << "the host has no command " << function << " (it answered the unknown-function error "
                   << kUnknownFunction << "): " << body;
        if (reply.function != function)
            return ::testing::AssertionFailure() << "answer names \"" << reply.function << "\", want " << function;
        if (!reply.hasRandomId || reply.randomId != token)
            return ::testing::AssertionFailure() << function << ": token " << token << " not returned: " << body;
        return ::testing::AssertionSuccess();
    }

    // A command that must succeed with a value of the given kind.
    ::testing::AssertionResult Expect(const std::string& function, const std::vector<std::string>& params,
                                      Json::value_t kind, HostReply& reply,
                                      std::chrono::seconds timeout = kQuickAnswer)
    {
        if (auto r = Call(function, params, reply, timeout); !r) return r;
        if (reply.errorcode != 0)
            return ::testing::AssertionFailure() << function << " failed with errorcode " << reply.errorcode;
        if (!reply.hasResult || reply.result.type() != kind)
            return ::testing::AssertionFailure() << function << ": result missing or of the wrong JSON type";
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult Configure(const char* algorithm, int bits, const char* csp)
    {
        HostReply reply;
        if (auto r = Expect("QORA_SetKeyAlgorithm", {JsonString(algorithm)}, Json::value_t::boolean, reply); !r)
            return r;
        if (!reply.ResultIsTrue()) return ::testing::AssertionFailure() << "QORA_SetKeyAlgorithm answered false";
        if (auto r = Expect("QORA_SetCSPInfo", {std::to_string(bits), JsonString(csp)}, Json::value_t::boolean,
                            reply);
            !r)
            return r;
        if (!reply.ResultIsTrue()) return ::testing::AssertionFailure() << "QORA_SetCSPInfo answered false";
        return ::testing::AssertionSuccess();
    }

    // A request, then the container it left in the agent.
    ::testing::AssertionResult Request(const char* function, int certType, std::string& text, std::string& container)
    {
        HostReply reply;
        if (auto r = Expect(function, {JsonString(kSubject), std::to_string(certType), "0"}, Json::value_t::string,
                            reply, kKeyGeneration);
            !r)
            return r;
        text = reply.ResultText();
        if (auto r = Expect("QORA_GetContainer", {}, Json::value_t::string, reply); !r) return r;
        container = reply.ResultText();
        if (!IsGuidName(container))
            return ::testing::AssertionFailure() << "container name \"" << container << "\" is not a braced GUID";
        return ::testing::AssertionSuccess();
    }

    // The provider is registered in the prefix: asked of the host when it lists providers, else of Wine's
    // registry (its file on disk lags behind a running server).
    ::testing::AssertionResult ProviderRegistered(const std::string& csp, bool& registered)
    {
        HostReply reply;
        if (Call("QORA_GetCSPInfo", {}, reply) && reply.errorcode == 0 && reply.ResultIsString()) {
            registered = ("||" + reply.ResultText() + "||").find("||" + csp + "||") != std::string::npos;
            return ::testing::AssertionSuccess();
        }
        HostProcess reg;
        std::string error;
        std::vector<std::string> argv = WineCommand("reg");
        argv.insert(argv.end(), {"query", "HKLM\\Software\\Microsoft\\Cryptography\\Defaults\\Provider\\" + csp});
        int code = -1;
        if (!reg.Start(argv, DefaultHostEnv(), error) || !reg.Wait(code, std::chrono::seconds(120)))
            return ::testing::AssertionFailure() << "cannot ask Wine's registry for " << csp << ": " << error;
        if (code != 0 && code != 1)
            return ::testing::AssertionFailure() << "reg query for " << csp << " exited with " << code;
        registered = code == 0;
        return ::testing::AssertionSuccess();
    }

    HostProcess& Process() { return m_host; }

private:
    HostProcess m_host;
    int m_token = 0;
};

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
