// The little JSON the peer needs: a bounds-checked reader for the host's answers and writers for requests.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bm {

struct JsonValue {
    enum class Kind { Null, Boolean, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;                                        // String
    std::vector<JsonValue> items;                            // Array
    std::vector<std::pair<std::string, JsonValue>> members;  // Object, in document order

    const JsonValue* Find(std::string_view key) const;  // first member of that exact name
    bool IsString() const { return kind == Kind::String; }
    bool IsNumber() const { return kind == Kind::Number; }
    bool IsBoolean() const { return kind == Kind::Boolean; }
};

// Parses one JSON text (RFC 8259; surrounding whitespace allowed, nothing after the value).
bool ParseJson(std::string_view text, JsonValue& value, std::string& error);

// A JSON string literal of UTF-8 text, quotes included.
std::string JsonString(std::string_view text);

// {"function":..., "params":[...], "randomId":...}; each parameter is already JSON text
// (JsonString("x"), "1024"); the token is left out when empty.
std::string HostRequest(std::string_view function, const std::vector<std::string>& params,
                        std::string_view randomId = {});

// The host's answer, taken apart. Fails on anything that is not an object with a string "function" and a
// numeric "errorcode".
struct HostReply {
    std::string function;
    int64_t errorcode = 0;
    bool hasResult = false;
    JsonValue result;
    bool hasRandomId = false;
    std::string randomId;
};
bool ParseHostReply(std::string_view body, HostReply& reply, std::string& error);

}  // namespace bm
