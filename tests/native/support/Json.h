// The JSON the peer needs: writers for requests, and the host's answers taken apart with a kept library
// (nlohmann::json), independent of the cJSON inside the host.
#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

using Json = nlohmann::json;

// A JSON string literal of UTF-8 text, quotes included.
std::string JsonString(std::string_view text);

// {"function":..., "params":[...], "randomId":...}; each parameter is already JSON text
// (JsonString("x"), "1024"); the token is left out when empty.
std::string HostRequest(std::string_view function, const std::vector<std::string>& params,
                        std::string_view randomId = {});

// The host's answer, taken apart. Fails on anything that is not one JSON object (strict UTF-8) with a
// string "function" and an integer "errorcode".
struct HostReply {
    std::string function;
    int64_t errorcode = 0;
    bool hasResult = false;
    Json result;
    bool hasRandomId = false;
    std::string randomId;

    bool ResultIsString() const { return hasResult && result.is_string(); }
    std::string ResultText() const { return ResultIsString() ? result.get<std::string>() : std::string(); }
    bool ResultIsTrue() const { return hasResult && result.is_boolean() && result.get<bool>(); }
};
bool ParseHostReply(std::string_view body, HostReply& reply, std::string& error);

}  // namespace bm
