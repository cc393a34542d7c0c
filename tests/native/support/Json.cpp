// tests/native/support/Json.cpp — recursive descent over a bounded view, with a depth limit so a hostile
// answer cannot exhaust the stack.
#include "support/Json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace bm {

namespace {

constexpr int kMaxDepth = 64;

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : m_text(text) {}

    bool ParseDocument(JsonValue& value, std::string& error)
    {
        SkipSpace();
        if (!ParseValue(value, 0)) {
            error = m_error + " at offset " + std::to_string(m_pos);
            return false;
        }
        SkipSpace();
        if (m_pos != m_text.size()) {
            error = "trailing characters at offset " + std::to_string(m_pos);
            return false;
        }
        return true;
    }

private:
    bool Fail(const char* why)
    {
        if (m_error.empty()) m_error = why;
        return false;
    }
    bool AtEnd() const { return m_pos >= m_text.size(); }
    char Peek() const { return AtEnd() ? '\0' : m_text[m_pos]; }
    void SkipSpace()
    {
        while (!AtEnd() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\r' ||
                            m_text[m_pos] == '\n'))
            ++m_pos;
    }
    bool Literal(std::string_view word)
    {
        if (m_text.substr(m_pos, word.size()) != word) return Fail("bad literal");
        m_pos += word.size();
        return true;
    }

    bool ParseValue(JsonValue& value, int depth)
    {
        if (depth > kMaxDepth) return Fail("nesting too deep");
        switch (Peek()) {
        case '{': return ParseObject(value, depth);
        case '[': return ParseArray(value, depth);
        case '"': value.kind = JsonValue::Kind::String; return ParseString(value.text);
        case 't': value.kind = JsonValue::Kind::Boolean; value.boolean = true; return Literal("true");
        case 'f': value.kind = JsonValue::Kind::Boolean; value.boolean = false; return Literal("false");
        case 'n': value.kind = JsonValue::Kind::Null; return Literal("null");
        default: return ParseNumber(value);
        }
    }

    bool ParseObject(JsonValue& value, int depth)
    {
        value.kind = JsonValue::Kind::Object;
        ++m_pos;
        SkipSpace();
        if (Peek() == '}') {
            ++m_pos;
            return true;
        }
        for (;;) {
            SkipSpace();
            if (Peek() != '"') return Fail("member name expected");
            std::string key;
            if (!ParseString(key)) return false;
            SkipSpace();
            if (Peek() != ':') return Fail("':' expected");
            ++m_pos;
            SkipSpace();
            JsonValue member;
            if (!ParseValue(member, depth + 1)) return false;
            value.members.emplace_back(std::move(key), std::move(member));
            SkipSpace();
            if (Peek() == ',') {
                ++m_pos;
                continue;
            }
            if (Peek() == '}') {
                ++m_pos;
                return true;
            }
            return Fail("',' or '}' expected");
        }
    }

    bool ParseArray(JsonValue& value, int depth)
    {
        value.kind = JsonValue::Kind::Array;
        ++m_pos;
        SkipSpace();
        if (Peek() == ']') {
            ++m_pos;
            return true;
        }
        for (;;) {
            SkipSpace();
            JsonValue item;
            if (!ParseValue(item, depth + 1)) return false;
            value.items.push_back(std::move(item));
            SkipSpace();
            if (Peek() == ',') {
                ++m_pos;
                continue;
            }
            if (Peek() == ']') {
                ++m_pos;
                return true;
            }
            return Fail("',' or ']' expected");
        }
    }

    bool Hex4(uint32_t& unit)
    {
        if (m_text.size() - m_pos < 4) return Fail("short \\u escape");
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = m_text[m_pos++];
            unit <<= 4;
            if (c >= '0' && c <= '9') unit |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') unit |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') unit |= static_cast<uint32_t>(c - 'A' + 10);
            else return Fail("bad \\u escape");
        }
        return true;
    }

    static void AppendUtf8(std::string& out, uint32_t cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool ParseString(std::string& out)
    {
        ++m_pos;  // opening quote
        out.clear();
        while (!AtEnd()) {
            const char c = m_text[m_pos++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (AtEnd()) break;
            const char e = m_text[m_pos++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t unit = 0;
                if (!Hex4(unit)) return false;
                if (unit >= 0xD800 && unit < 0xDC00) {
                    uint32_t low = 0;
                    if (m_text.substr(m_pos, 2) != "\\u") return Fail("lone high surrogate");
                    m_pos += 2;
                    if (!Hex4(low)) return false;
                    if (low < 0xDC00 || low > 0xDFFF) return Fail("bad low surrogate");
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    return Fail("lone low surrogate");
                }
                AppendUtf8(out, unit);
                break;
            }
            default: return Fail("bad escape");
            }
        }
        return Fail("unterminated string");
    }

    bool ParseNumber(JsonValue& value)
    {
        const size_t start = m_pos;
        if (Peek() == '-') ++m_pos;
        if (Peek() == '0') {
            ++m_pos;
        } else if (Peek() >= '1' && Peek() <= '9') {
            while (Peek() >= '0' && Peek() <= '9') ++m_pos;
        } else {
            return Fail("value expected");
        }
        if (Peek() == '.') {
            ++m_pos;
            if (!(Peek() >= '0' && Peek() <= '9')) return Fail("digit expected");
            while (Peek() >= '0' && Peek() <= '9') ++m_pos;
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++m_pos;
            if (Peek() == '+' || Peek() == '-') ++m_pos;
            if (!(Peek() >= '0' && Peek() <= '9')) return Fail("digit expected");
            while (Peek() >= '0' && Peek() <= '9') ++m_pos;
        }
        const std::string digits(m_text.substr(start, m_pos - start));
        value.kind = JsonValue::Kind::Number;
        value.number = strtod(digits.c_str(), nullptr);
        return true;
    }

    std::string_view m_text;
    size_t m_pos = 0;
    std::string m_error;
};

}  // namespace

const JsonValue* JsonValue::Find(std::string_view key) const
{
    for (const auto& member : members)
        if (member.first == key) return &member.second;
    return nullptr;
}

bool ParseJson(std::string_view text, JsonValue& value, std::string& error)
{
    value = JsonValue();
    return JsonReader(text).ParseDocument(value, error);
}

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
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
    JsonValue root;
    if (!ParseJson(body, root, error)) return false;
    if (root.kind != JsonValue::Kind::Object) {
        error = "answer is not a JSON object";
        return false;
    }
    const JsonValue* function = root.Find("function");
    const JsonValue* errorcode = root.Find("errorcode");
    if (function == nullptr || !function->IsString()) {
        error = "answer has no string \"function\"";
        return false;
    }
    if (errorcode == nullptr || !errorcode->IsNumber() || errorcode->number != std::floor(errorcode->number) ||
        std::fabs(errorcode->number) > 4294967296.0) {
        error = "answer has no integer \"errorcode\"";
        return false;
    }
    reply.function = function->text;
    reply.errorcode = static_cast<int64_t>(errorcode->number);
    if (const JsonValue* result = root.Find("result")) {
        reply.hasResult = true;
        reply.result = *result;
    }
    if (const JsonValue* randomId = root.Find("randomId")) {
        if (!randomId->IsString()) {
            error = "\"randomId\" is not a string";
            return false;
        }
        reply.hasRandomId = true;
        reply.randomId = randomId->text;
    }
    return true;
}

}  // namespace bm
