// tools/democa/Serve.cpp — HTTP on the loopback interface through cpp-httplib. POST /issue takes the form
// fields "request" and "format" (optional) and answers the JSON object the issue command prints, or
// {"error": text} with 400 for a bad request and 500 for the authority's own failure.
#include "Serve.h"

#include <iostream>

#include <httplib.h>

namespace democa {

namespace {

constexpr size_t kMaxBodyBytes = 1 << 20;

void Answer(httplib::Response& response, int status, const nlohmann::json& body)
{
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(body.dump(), "application/json");
}

}  // namespace

Status Serve(const ServeOptions& options, const IssueFunction& issue)
{
    httplib::Server server;
    server.set_payload_max_length(kMaxBodyBytes);
    if (!options.pageDir.empty() && !server.set_mount_point("/", options.pageDir.string()))
        return Status::Usage("the page folder " + options.pageDir.string() + " cannot be served");

    server.Post("/issue", [&issue](const httplib::Request& request, httplib::Response& response) {
        if (!request.has_param("request")) {
            Answer(response, 400, {{"error", "the form field \"request\" is missing"}});
            return;
        }
        nlohmann::json result = nlohmann::json::object();
        const std::string format = request.has_param("format") ? request.get_param_value("format") : "";
        const Status status = issue(request.get_param_value("request"), format, result);
        if (!status.Ok()) {
            Answer(response, status.exitCode == kExitInternal ? 500 : 400, {{"error", status.message}});
            return;
        }
        Answer(response, 200, result);
    });
    server.Get("/health", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("ok", "text/plain");
    });

    int port = options.port;
    if (port == 0) {
        port = server.bind_to_any_port(options.bind.c_str());
        if (port <= 0) return Status::Internal("cannot listen on " + options.bind);
    } else if (!server.bind_to_port(options.bind.c_str(), port)) {
        return Status::Internal("cannot listen on " + options.bind + ":" + std::to_string(port));
    }
    std::cout << "listening on http://" << options.bind << ":" << port << "/" << std::endl;
    if (!server.listen_after_bind()) return Status::Internal("the server stopped");
    return Status::Success();
}

}  // namespace democa
