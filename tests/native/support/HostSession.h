// One host under Wine as the page talks to it: a call is one request frame and one answer, checked for the
// command's name and the token; settings and requests as the page makes them.
#pragma once
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <string>
#include <vector>

#include "support/HostProcess.h"
#include "support/Json.h"

namespace bm {

constexpr int64_t kUnknownFunction = -2146893779;  // the host's fixed answer to a name it has no row for
constexpr auto kQuickAnswer = std::chrono::seconds(60);
constexpr auto kKeyGeneration = std::chrono::seconds(600);  // a 3072-bit key in a software CSP under Wine
inline const char kSubject[] = "CN=Alice,OU=Unit,O=Org,C=CN";

// {8-4-4-4-12 hexadecimal digits}
inline bool IsGuidName(const std::string& name)
{
    if (name.size() != 38 || name.front() != '{' || name.back() != '}') return false;
    for (size_t i = 1; i < 37; ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? name[i] != '-' : !isxdigit(static_cast<unsigned char>(name[i]))) return false;
    }
    return true;
}

class HostSession {
public:
    // Starts the host, with extraEnv added to its environment; a missing executable or a Wine that does
    // not come up fails the test.
    ::testing::AssertionResult Start(const Env& extraEnv = {}, HostPlatform platform = DefaultHostPlatform())
    {
        struct stat st;
        const std::string exe =
            platform == HostPlatform::Linux ? LinuxHostPath() : WinBuildDir() + "/host/BrindlemarkHost.exe";
        if (stat(exe.c_str(), &st) != 0) return ::testing::AssertionFailure() << exe << " is not built";
        std::string error;
        if (!m_host.StartHost(error, extraEnv, platform))
            return ::testing::AssertionFailure() << "host did not start: " << error;
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
    ::testing::AssertionResult Request(const char* function, int certType, std::string& text, std::string& container,
                                       const std::string& subject = kSubject)
    {
        HostReply reply;
        if (auto r = Expect(function, {JsonString(subject), std::to_string(certType), "0"}, Json::value_t::string,
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

}  // namespace bm
