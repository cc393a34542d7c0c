// tests/native/linux/install_e2e.cpp — BrindlemarkInstall on Linux: the withdrawn generation out of the user's NSS
// database and the four chains in, roots trusted "C,,", intermediates ",,"; after it the chain check finds
// them good, and a second run changes nothing.
#include <gtest/gtest.h>

#include <vector>
#include <filesystem>
#include <map>
#include <string>

#include "support/HostProcess.h"
#include "support/Tools.h"

using namespace bm;
namespace fs = std::filesystem;

namespace {

const fs::path kSource = BM_SOURCE_DIR;

// A program's output (standard output, then standard error) and its exit code; -1 when it did not run.
std::string Output(const std::vector<std::string>& command, int& code, const Env& env = {})
{
    ToolRun run;
    const bool ran = RunRedirected(command, env, "", run);
    code = ran ? run.code : -1;
    return run.out + run.err;
}

std::string InstallerPath() { return (fs::path(LinuxHostPath()).parent_path() / "BrindlemarkInstall").string(); }

// certutil -L as nickname -> trust ("C,," or ",,").
std::map<std::string, std::string> Listing(const std::string& db)
{
    int code = 0;
    const std::string out = Output({"certutil", "-L", "-d", "sql:" + db}, code);
    EXPECT_EQ(code, 0) << out;
    std::map<std::string, std::string> trust;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && line.back() == ' ') line.pop_back();
        const size_t split = line.find_last_of(' ');
        if (split == std::string::npos || line.rfind("Brindlemark", 0) != 0) continue;
        std::string nick = line.substr(0, split);
        while (!nick.empty() && nick.back() == ' ') nick.pop_back();
        trust[nick] = line.substr(split + 1);
    }
    return trust;
}

// BrindlemarkInstall --check: the plug-in's chain check over the database (0 good, 1 not).
::testing::AssertionResult ChainIsGood(const std::string& db, bool& good)
{
    int code = 0;
    const std::string out = Output({InstallerPath(), "--check"}, code, {{"BM_NSSDB", "sql:" + db}});
    if (code != 0 && code != 1) return ::testing::AssertionFailure() << "the check did not run (" << code << "): " << out;
    good = code == 0;
    return ::testing::AssertionSuccess();
}

TEST(LinuxInstall, ReplacesTheWithdrawnGenerationWithTheDocumentsChainsAsTrust)
{
    const std::string db = TestNssDatabase() + "/install";
    fs::create_directories(db);
    int code = 0;
    ASSERT_EQ((Output({"certutil", "-N", "--empty-password", "-d", "sql:" + db}, code), code), 0);

    // The withdrawn generation as an earlier install left it.
    size_t planted = 0;
    for (const auto& entry : fs::directory_iterator(kSource / "resources" / "democa-ca" / "discarded")) {
        const bool root = entry.path().filename().string().find("-root") != std::string::npos;
        const std::string out = Output({"certutil", "-A", "-d", "sql:" + db, "-n",
                                     "Brindlemark withdrawn " + entry.path().stem().string(), "-t", root ? "C,," : ",,",
                                     "-i", entry.path().string()},
                                    code);
        ASSERT_EQ(code, 0) << out;
        ++planted;
    }
    ASSERT_EQ(planted, 17u);
    bool good = true;
    ASSERT_TRUE(ChainIsGood(db, good));
    EXPECT_FALSE(good) << "the chains are not installed yet";

    const Env database = {{"BM_NSSDB", "sql:" + db}};
    std::string out = Output({InstallerPath()}, code, database);
    ASSERT_EQ(code, 0) << out;

    const auto trust = Listing(db);
    size_t roots = 0, intermediates = 0;
    for (const auto& [nick, flags] : trust) {
        SCOPED_TRACE(nick);
        EXPECT_EQ(nick.find("withdrawn"), std::string::npos) << "a withdrawn certificate stayed";
        // The documents' roots are the "Root CA" subjects; everything else they hold is an intermediate.
        const bool root = nick.find("Root CA") != std::string::npos;
        EXPECT_EQ(flags, root ? "C,," : ",,");
        ++(root ? roots : intermediates);
    }
    // Every document brings roots and intermediates: RSA, RSA test, SM2 and SM2 test, three roots each.
    EXPECT_EQ(roots, 12u);
    EXPECT_GT(intermediates, roots);

    ASSERT_TRUE(ChainIsGood(db, good));
    EXPECT_TRUE(good);

    out = Output({InstallerPath()}, code, database);
    ASSERT_EQ(code, 0) << out;
    EXPECT_EQ(Listing(db), trust) << "a second install changes nothing";
}

}  // namespace
