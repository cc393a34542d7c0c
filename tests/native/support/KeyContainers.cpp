// tests/native/support/KeyContainers.cpp
#include "support/KeyContainers.h"

#include "support/HostProcess.h"

namespace bm {

int ProviderTypeOf(const std::string& csp)
{
    return csp.find("Microsoft Enhanced RSA and AES Cryptographic Provider") != std::string::npos ? 24 : 1;
}

bool DropKeyContainers(const std::string& csp, const std::vector<std::string>& containers, std::string& error)
{
    // the Linux host's keys go with the program's own database
    if (containers.empty() || DefaultHostPlatform() == HostPlatform::Linux) return true;
    std::vector<std::string> argv = WineCommand(WinBuildDir() + "/bench/win/DropContainers.exe");
    argv.push_back(csp);
    argv.push_back(std::to_string(ProviderTypeOf(csp)));
    argv.insert(argv.end(), containers.begin(), containers.end());
    HostProcess drop;
    int code = -1;
    if (!EnsureWineRunning(error) || !drop.Start(argv, DefaultHostEnv(), error)) return false;
    if (!drop.Wait(code, std::chrono::seconds(120))) {
        error = "DropContainers did not finish";
        return false;
    }
    if (code != 0) {
        error = "DropContainers exited with " + std::to_string(code) + ": " + drop.StderrText();
        return false;
    }
    return true;
}

ContainerSweep::~ContainerSweep()
{
    std::string ignored;
    DropKeyContainers(m_csp, m_containers, ignored);
}

}  // namespace bm
