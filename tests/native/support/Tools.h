// The project's own command-line tools as the end-to-end tests run them: the inspector under Wine and the
// demo CA natively, each with its output collected from files (a pipe could be inherited by Wine's services).
#pragma once
#include "support/DerWalker.h"
#include "support/HostProcess.h"
#include "support/Json.h"
#include "support/OsslOwners.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bm {

struct ToolRun {
    int code = -1;
    std::string out, err;  // out without CR
    Json json;             // out parsed, discarded when it is not JSON
};

// Any program (argv, env added to this process's), its standard input from stdinText, its output in run.
::testing::AssertionResult RunRedirected(std::vector<std::string> command, const Env& env, const std::string& stdinText,
                                         ToolRun& run);
// inspector.exe of the Windows build under test.
::testing::AssertionResult RunInspector(const std::vector<std::string>& args, ToolRun& run);
// npbrowser.exe of the Windows build under test, loading that build's npKestrovan.dll, with the script (JSON
// lines) as its standard input when one is given ("--script -" is added); extraEnv adds to the prefix's.
::testing::AssertionResult RunNpbrowser(const std::vector<std::string>& args, const std::string& script, ToolRun& run,
                                        const Env& extraEnv = {});
// One npbrowser.exe kept open on "--script -": a step written, its answer read, so that one embedding (and its
// agent) serves a whole enrolment as on a bank's page.
class NpbrowserPage {
public:
    ::testing::AssertionResult Open();
    // The answer line to one step, bounded by the time a key generation may take.
    ::testing::AssertionResult Step(const Json& step, Json& answer);
    // Invokes a method of embedding 0 that must return; its result's value. A refusal fails with the agent's text.
    // (A vector, since one braced Json would be copied rather than made an array of one.)
    ::testing::AssertionResult Value(const std::string& method, const std::vector<Json>& args, Json& value);
    // Ends the script; npbrowser's exit code is 0 only when the plug-in left no objects or memory behind.
    ::testing::AssertionResult Close(int& code);

private:
    HostProcess m_process;
    int m_line = 0;
};
// The JSON lines of a run's output, in order; a line that is not JSON is kept as a string.
std::vector<Json> JsonLines(const std::string& text);
// democa of this native build, with stdinText as its standard input.
::testing::AssertionResult RunDemoca(const std::vector<std::string>& args, const std::string& stdinText, ToolRun& run);

// A fresh copy of the committed demo CA folder in a new temporary folder, so that the certificates issued chain
// to the roots of the chain documents and nothing the CA writes lands in the source tree; empty on failure.
std::string CopyOfDemoCa();

// The key of a DER SubjectPublicKeyInfo; null unless it is exactly one.
PkeyPtr KeyOf(const Bytes& spki);
// A signature over data made by a container's key as the inspector prints it (SM2: ZA of the default
// identity hashed first, as the tokens do).
bool Verifies(EVP_PKEY* key, bool sm2, const EVP_MD* md, const Bytes& data, const Bytes& sig);
// The inspector signs random data with the container's key of that spec (SM3 for SM2, else SHA-1), and OpenSSL
// verifies the signature with the key of the Base64 DER certificate.
::testing::AssertionResult KeyMatchesCertificate(const std::string& csp, bool sm2, const std::string& container,
                                                 int spec, const std::string& certificate);

}  // namespace bm
