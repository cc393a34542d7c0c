// tools/democa/Serve.h — the demo CA as a small HTTP service on the loopback interface: it serves the demo
// bank's page and issues certificates for requests posted to it.
#pragma once
#include <filesystem>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "Owners.h"

namespace democa {

// Issues for one request text (Base64, as the agent returns it); format is empty for the key type's default.
using IssueFunction = std::function<Status(const std::string& requestText, const std::string& format,
                                           nlohmann::json& result)>;

struct ServeOptions {
    std::string bind = "127.0.0.1";
    int port = 0;  // 0: any free port
    std::filesystem::path pageDir;
};

// Runs until the process is stopped. Prints "listening on http://HOST:PORT/" on standard output once ready.
Status Serve(const ServeOptions& options, const IssueFunction& issue);

}  // namespace democa
