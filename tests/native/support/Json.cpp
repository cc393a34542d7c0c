#include "support/Json.h"

#include <cstdio>

namespace bm {

std::string JsonString(std::string_view text)
{
    // Bytes pass as they are, so a test can also send text that is not UTF-8.
    std::string out = "\"";
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (u < 0x20) {
            char sz[8];
            snprintf(sz, sizeof(sz), "\\u%04x", u);
            out += sz;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string HostRequest(std::string_view function, const std::vector<std::string>& params,
                        std::string_view randomId)
{
    std::string out = "{\"function\":" + JsonString(function) + ",\"params\":[";
    for (size_t i = 0; i < params.size(); ++i) {
        if (i != 0) out += ',';
        out += params[i];
    }
    out += ']';
    if (!randomId.empty()) out += ",\"randomId\":" + JsonString(randomId);
    out += '}';
    return out;
}

bool ParseHostReply(std::string_view body, HostReply& reply, std::string& error)
{
    reply = HostReply();
    Json root = Json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded()) return error = "answer is not one JSON text", false;
    if (!root.is_object()) return error = "answer is not a JSON object", false;
    const auto function = root.find("function");
    const auto errorcode = root.find("errorcode");
    if (function == root.end() || !function->is_string()) return error = "answer has no string \"function\"", false;
    if (errorcode == root.end() || !errorcode->is_number_integer())
        return error = "answer has no integer \"errorcode\"", false;
    reply.function = function->get<std::string>();
    reply.errorcode = errorcode->get<int64_t>();
    if (const auto result = root.find("result"); result != root.end()) {
        reply.hasResult = true;
        reply.result = *result;
    }
    if (const auto randomId = root.find("randomId"); randomId != root.end()) {
        if (!randomId->is_string()) return error = "\"randomId\" is not a string", false;
        reply.hasRandomId = true;
        reply.randomId = randomId->get<std::string>();
    }
    return true;
}

}  // namespace bm
