// tools/inspector/Report.cpp — the report tree written out as JSON or as indented text.
#include "Report.h"

namespace inspector {

namespace {

void AppendJsonString(const std::string& str, std::string& out)
{
    static const char kDigits[] = "0123456789abcdef";
    out += '"';
    for (char ch : str) {
        const unsigned char uch = static_cast<unsigned char>(ch);
        switch (ch) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (uch < 0x20) {
                out += "\\u00";
                out += kDigits[uch >> 4];
                out += kDigits[uch & 15];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

}  // namespace

void AppendJson(const Node& node, std::string& out)
{
    switch (node.GetKind()) {
    case Node::Kind::Null: out += "null"; break;
    case Node::Kind::Bool: out += node.BoolValue() ? "true" : "false"; break;
    case Node::Kind::Number: out += std::to_string(node.NumberValue()); break;
    case Node::Kind::Text: AppendJsonString(node.TextValue(), out); break;
    case Node::Kind::List:
    case Node::Kind::Map: {
        const bool bMap = node.GetKind() == Node::Kind::Map;
        out += bMap ? '{' : '[';
        for (size_t i = 0; i < node.Items().size(); ++i) {
            if (i != 0) out += ',';
            if (bMap) {
                AppendJsonString(node.Keys()[i], out);
                out += ':';
            }
            AppendJson(node.Items()[i], out);
        }
        out += bMap ? '}' : ']';
        break;
    }
    }
}

namespace {

std::string ScalarText(const Node& node)
{
    switch (node.GetKind()) {
    case Node::Kind::Bool: return node.BoolValue() ? "yes" : "no";
    case Node::Kind::Number: return std::to_string(node.NumberValue());
    case Node::Kind::Text: return node.TextValue();
    default: return "-";
    }
}

void AppendTextValue(const Node& value, size_t cIndent, std::string& out)
{
    if (value.IsScalar()) {
        out += ' ';
        out += ScalarText(value);
        out += '\n';
    } else if (value.Items().empty()) {
        out += " (none)\n";
    } else if (value.GetKind() == Node::Kind::Map) {
        out += "\n";
        AppendTextMap(value, cIndent + 2, out);
    } else {
        out += "\n";
        for (const Node& item : value.Items()) {
            if (item.GetKind() == Node::Kind::Map && !item.Items().empty()) {
                // The item's first line carries the list mark in the indentation its members share.
                const size_t cStart = out.size();
                AppendTextMap(item, cIndent + 4, out);
                out[cStart + cIndent + 2] = '-';
            } else {
                out.append(cIndent + 2, ' ');
                out += '-';
                AppendTextValue(item, cIndent + 2, out);
            }
        }
    }
}

}  // namespace

void AppendTextMap(const Node& map, size_t cIndent, std::string& out)
{
    for (size_t i = 0; i < map.Items().size(); ++i) {
        out.append(cIndent, ' ');
        out += map.Keys()[i];
        out += ':';
        AppendTextValue(map.Items()[i], cIndent, out);
    }
}

}  // namespace inspector
