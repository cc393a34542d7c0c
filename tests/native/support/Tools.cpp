#include "support/Tools.h"

#include "support/CertRecords.h"
#include "support/HostProcess.h"
#include "support/HostSession.h"

#include <openssl/rand.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace bm {

namespace {

constexpr auto kToolTimeout = std::chrono::seconds(300);

std::string TempFile()
{
    char path[] = "/tmp/bm-tool-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return {};
    close(fd);
    return path;
}

std::string TakeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    unlink(path.c_str());
    return text.str();
}

// npbrowser.exe of the build with its plug-in, under the prefix's Wine.
::testing::AssertionResult NpbrowserCommand(const std::vector<std::string>& args, std::vector<std::string>& command)
{
    const std::string exe = WinBuildDir() + "/tools/npbrowser/npbrowser.exe";
    const std::string dll = WinBuildDir() + "/plugin/npKestrovan.dll";
    struct stat st;
    if (stat(exe.c_str(), &st) != 0 || stat(dll.c_str(), &st) != 0)
        return ::testing::AssertionFailure() << exe << " or " << dll << " is not built";
    std::string error;
    if (!EnsureWineRunning(error)) return ::testing::AssertionFailure() << error;
    command = WineCommand(exe);
    // Wine's drive Z: is the Unix root.
    command.insert(command.end(), {"--plugin", "Z:" + dll});
    command.insert(command.end(), args.begin(), args.end());
    return ::testing::AssertionSuccess();
}

}  // namespace

// argv with standard input from one file and standard output into another.
::testing::AssertionResult RunRedirected(std::vector<std::string> command, const Env& env, const std::string& stdinText,
                                         ToolRun& run)
{
    const std::string inPath = TempFile(), outPath = TempFile();
    if (inPath.empty() || outPath.empty()) return ::testing::AssertionFailure() << "no temporary file";
    std::ofstream(inPath, std::ios::binary) << stdinText;
    std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" <" + inPath + " >" + outPath, "sh"};
    argv.insert(argv.end(), command.begin(), command.end());
    HostProcess process;
    std::string error;
    const bool ran = process.Start(argv, env, error) && (process.CloseInput(), true) &&
                     process.Wait(run.code, kToolTimeout);
    unlink(inPath.c_str());
    run.out.clear();
    for (char c : TakeFile(outPath))
        if (c != '\r') run.out += c;
    run.err = process.StderrText();
    run.json = Json::parse(run.out, nullptr, false);
    if (!ran) return ::testing::AssertionFailure() << command[0] << " did not finish: " << error;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult RunInspector(const std::vector<std::string>& args, ToolRun& run)
{
    const std::string exe = WinBuildDir() + "/tools/inspector/inspector.exe";
    struct stat st;
    if (stat(exe.c_str(), &st) != 0) return ::testing::AssertionFailure() << exe << " is not built";
    std::string error;
    if (!EnsureWineRunning(error)) return ::testing::AssertionFailure() << error;
    std::vector<std::string> command = WineCommand(exe);
    command.insert(command.end(), args.begin(), args.end());
    return RunRedirected(command, DefaultHostEnv(), "", run);
}

::testing::AssertionResult RunNpbrowser(const std::vector<std::string>& args, const std::string& script, ToolRun& run,
                                        const Env& extraEnv)
{
    std::vector<std::string> options;
    if (!script.empty()) options = {"--script", "-"};
    options.insert(options.end(), args.begin(), args.end());
    std::vector<std::string> command;
    if (auto r = NpbrowserCommand(options, command); !r) return r;
    Env env = DefaultHostEnv();
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return RunRedirected(command, env, script, run);
}

::testing::AssertionResult NpbrowserPage::Open()
{
    std::vector<std::string> command;
    if (auto r = NpbrowserCommand({"--script", "-"}, command); !r) return r;
    std::string error;
    if (!m_process.Start(command, DefaultHostEnv(), error))
        return ::testing::AssertionFailure() << "npbrowser did not start: " << error;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult NpbrowserPage::Step(const Json& step, Json& answer)
{
    std::string error;
    if (!m_process.WriteRaw(step.dump() + "\n", error)) return ::testing::AssertionFailure() << error;
    ++m_line;
    for (std::string line; m_process.ReadLine(line, kKeyGeneration, error);) {
        answer = Json::parse(line, nullptr, false);
        if (answer.is_object() && answer.value("line", 0) == m_line) return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no answer to " << step.dump() << ": " << error << "; "
                                         << m_process.StderrText();
}

::testing::AssertionResult NpbrowserPage::Value(const std::string& method, const std::vector<Json>& args, Json& value)
{
    Json answer;
    if (auto r = Step({{"instance", 0}, {"method", method}, {"args", args}}, answer); !r) return r;
    if (answer.value("returned", false)) {
        value = answer["result"].value("value", Json());
        return ::testing::AssertionSuccess();
    }
    Json desc;
    Step({{"instance", 0}, {"method", "GetLastErrorDesc"}, {"args", Json::array()}}, desc);
    return ::testing::AssertionFailure() << method << " did not return: " << answer.dump() << "; " << desc.dump();
}

::testing::AssertionResult NpbrowserPage::Close(int& code)
{
    m_process.CloseInput();
    if (!m_process.Wait(code, std::chrono::seconds(120)))
        return ::testing::AssertionFailure() << "npbrowser did not end after its script";
    return ::testing::AssertionSuccess();
}

std::vector<Json> JsonLines(const std::string& text)
{
    std::vector<Json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        Json json = Json::parse(line, nullptr, false);
        lines.push_back(json.is_discarded() ? Json(line) : std::move(json));
    }
    return lines;
}

::testing::AssertionResult RunDemoca(const std::vector<std::string>& args, const std::string& stdinText, ToolRun& run)
{
#ifdef BM_DEMOCA
    const char* tool = getenv("BM_DEMOCA") != nullptr ? getenv("BM_DEMOCA") : BM_DEMOCA;
#else
    const char* tool = getenv("BM_DEMOCA");
#endif
    if (tool == nullptr) return ::testing::AssertionFailure() << "democa is not built";
    std::vector<std::string> command = {tool};
    command.insert(command.end(), args.begin(), args.end());
    return RunRedirected(command, {}, stdinText, run);
}

std::string CopyOfDemoCa()
{
    char pattern[] = "/tmp/bm-demo-ca-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return {};
    const std::filesystem::path copy = std::filesystem::path(pattern) / "ca";
    std::error_code ec;
    std::filesystem::copy(std::filesystem::path(BM_SOURCE_DIR) / "resources" / "democa-ca", copy,
                          std::filesystem::copy_options::recursive, ec);
    return ec ? std::string() : copy.string();
}

PkeyPtr KeyOf(const Bytes& spki)
{
    const unsigned char* p = spki.data();
    PkeyPtr key(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
    return p == spki.data() + spki.size() ? std::move(key) : PkeyPtr();
}

bool Verifies(EVP_PKEY* key, bool sm2, const EVP_MD* md, const Bytes& data, const Bytes& sig)
{
    MdCtxPtr ctx(EVP_MD_CTX_new());
    PkeyCtxPtr pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (sm2) {
        EVP_PKEY_CTX_set1_id(pctx.get(), "1234567812345678", 16);
        EVP_MD_CTX_set_pkey_ctx(ctx.get(), pctx.get());
    }
    return EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
           EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), data.data(), data.size()) == 1;
}

::testing::AssertionResult KeyMatchesCertificate(const std::string& csp, bool sm2, const std::string& container,
                                                 int spec, const std::string& certificate)
{
    Bytes data(64);
    RAND_bytes(data.data(), static_cast<int>(data.size()));
    std::string hex = HexOf(data);
    std::erase(hex, ' ');
    ToolRun run;
    if (auto r = RunInspector({"sign", "--csp", csp, "--container", container, "--spec", std::to_string(spec),
                               "--hash", sm2 ? "sm3" : "sha1", "--data", hex, "--json"},
                              run);
        !r)
        return r;
    if (run.code != 0) return ::testing::AssertionFailure() << "inspector sign: " << run.out << run.err;
    const X509Ptr cert = X509FromBase64(certificate);
    if (!cert) return ::testing::AssertionFailure() << "OpenSSL cannot read the certificate";
    const Bytes sig = BytesFromHex(run.json.value("signature", ""));
    if (!Verifies(X509_get0_pubkey(cert.get()), sm2, sm2 ? EVP_sm3() : EVP_sha1(), data, sig))
        return ::testing::AssertionFailure() << "key spec " << spec << " does not hold the certificate's key";
    return ::testing::AssertionSuccess();
}

}  // namespace bm
