// tests/native/support/PersonalStore.cpp
#include "support/PersonalStore.h"

#include <vector>

namespace bm {

namespace {

bool RunPersonalStore(const Env& env, const std::vector<std::string>& args, std::string& error)
{
    std::vector<std::string> argv = WineCommand(WinBuildDir() + "/bench/win/PersonalStore.exe");
    argv.insert(argv.end(), args.begin(), args.end());
    HostProcess tool;
    int code = -1;
    if (!tool.Start(argv, env, error)) return false;
    tool.CloseInput();
    // a 10,000-certificate list takes its time to write into Wine's registry
    if (!tool.Wait(code, std::chrono::seconds(900))) {
        error = "PersonalStore " + args.front() + " did not finish";
        return false;
    }
    if (code != 0) {
        error = "PersonalStore " + args.front() + " exited with " + std::to_string(code) + ": " + tool.StderrText();
        return false;
    }
    return true;
}

}  // namespace

bool ClearPersonalStore(const Env& env, std::string& error) { return RunPersonalStore(env, {"clear"}, error); }

bool FillPersonalStore(const Env& env, const std::string& listPath, const std::string& provider, std::string& error)
{
    return RunPersonalStore(env, {"add", WindowsPathOf(listPath), provider}, error);
}

}  // namespace bm
