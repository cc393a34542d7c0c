// Removal of the key containers that a test or benchmark made through the host, so repeated runs do not
// fill the prefix. Done by bench/win/DropContainers.exe under Wine, since only CryptoAPI can remove them.
#pragma once
#include <string>
#include <vector>

namespace bm {

// Provider type the host opens a CSP with: 24 for the AES provider, 1 for every other.
int ProviderTypeOf(const std::string& csp);

bool DropKeyContainers(const std::string& csp, const std::vector<std::string>& containers, std::string& error);

// Collects container names and drops them when it goes out of scope (errors are ignored there).
class ContainerSweep {
public:
    explicit ContainerSweep(std::string csp) : m_csp(std::move(csp)) {}
    ~ContainerSweep();
    ContainerSweep(const ContainerSweep&) = delete;
    ContainerSweep& operator=(const ContainerSweep&) = delete;
    void Add(const std::string& container) { m_containers.push_back(container); }

private:
    std::string m_csp;
    std::vector<std::string> m_containers;
};

}  // namespace bm
