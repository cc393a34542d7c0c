// tests/native/support/PersonalStore.cpp
#include "support/PersonalStore.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace bm {

namespace {

// PersonalStore.exe with its standard output in a file (a pipe could be inherited by Wine's services).
bool RunPersonalStore(const Env& env, const std::vector<std::string>& args, std::string& out, std::string& error)
{
    char outPath[] = "/tmp/bm-personal-store-XXXXXX";
    const int fd = mkstemp(outPath);
    if (fd < 0) {
        error = "no temporary file";
        return false;
    }
    close(fd);
    std::vector<std::string> argv = {"sh", "-c", std::string("exec \"$@\" </dev/null >") + outPath, "sh"};
    for (const std::string& arg : WineCommand(WinBuildDir() + "/bench/win/PersonalStore.exe")) argv.push_back(arg);
    argv.insert(argv.end(), args.begin(), args.end());
    HostProcess tool;
    int code = -1;
    bool ok = tool.Start(argv, env, error);
    // a 10,000-certificate list takes its time to write into Wine's registry
    if (ok && !tool.Wait(code, std::chrono::seconds(900))) {
        error = "PersonalStore " + args.front() + " did not finish";
        ok = false;
    }
    if (ok && code != 0) {
        error = "PersonalStore " + args.front() + " exited with " + std::to_string(code) + ": " + tool.StderrText();
        ok = false;
    }
    std::ifstream in(outPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    unlink(outPath);
    return ok;
}

}  // namespace

bool ClearPersonalStore(const Env& env, std::string& error)
{
    std::string out;
    return RunPersonalStore(env, {"clear"}, out, error);
}

bool FillPersonalStore(const Env& env, const std::string& listPath, const std::string& provider, std::string& error)
{
    std::string out;
    return RunPersonalStore(env, {"add", WindowsPathOf(listPath), provider}, out, error);
}

bool TimePersonalStorePhases(const Env& env, const std::string& provider, std::string& json, std::string& error)
{
    return RunPersonalStore(env, {"phases", provider}, json, error);
}

}  // namespace bm
