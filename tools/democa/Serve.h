// tools/democa/Serve.h — the demo CA as a small HTTP service on the loopback interface: it serves the demo
// bank's page and issues certificates for requests posted to it, and the bank's login over HTTPS, which lets in
// a holder of a certificate from the demo CA's RSA hierarchy.
#pragma once
#include <filesystem>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "CaStore.h"
#include "Owners.h"

namespace democa {

// Issues for one request text (Base64, as the agent returns it); format is empty for the key type's default.
using IssueFunction = std::function<Status(const std::string& requestText, const std::string& format,
                                           nlohmann::json& result)>;

struct ServeOptions {
    std::string bind = "127.0.0.1";
    int port = 0;  // 0: any free port
    std::filesystem::path pageDir;
    int loginPort = 0;                        // 0: any free port
    const CaHierarchy* loginCa = nullptr;     // the RSA hierarchy: issues the server's certificate, admits clients
};

// Runs until the process is stopped. Prints "listening on http://HOST:PORT/" and then
// "login on https://HOST:PORT/" on standard output once both are ready.
Status Serve(const ServeOptions& options, const IssueFunction& issue);

}  // namespace democa
