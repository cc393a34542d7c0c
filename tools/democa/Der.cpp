// tools/democa/Der.cpp
#include "Der.h"

#include "Brindlemark/codec/ByteReader.h"

#include <openssl/evp.h>

namespace democa {

bool DerReader::Next(DerElement& element)
{
    if (m_failed || Empty()) return false;
    // The system's one cursor reads the header: strict DER, nothing past the bytes given.
    ByteReader reader(m_bytes.data() + m_offset, m_bytes.size() - m_offset);
    ByteReader contents;
    ByteReader::Byte tag = 0;
    if (!reader.ReadTlv(tag, contents, true)) return (m_failed = true, false);
    const size_t contentsOffset = static_cast<size_t>(contents.Cursor() - m_bytes.data());
    element.tag = tag;
    element.whole = m_bytes.subspan(m_offset, reader.Offset());
    element.contents = m_bytes.subspan(contentsOffset, contents.Remaining());
    m_offset += reader.Offset();
    return true;
}

bool DerReader::Expect(uint8_t tag, DerElement& element)
{
    DerElement next;
    if (!Next(next) || next.tag != tag) return false;
    element = next;
    return true;
}

std::string OidText(ByteView contents)
{
    if (contents.empty() || (contents.back() & 0x80) != 0) return {};
    std::string text;
    uint64_t arc = 0;
    bool first = true;
    bool arcStart = true;
    for (uint8_t byte : contents) {
        if (arcStart && byte == 0x80) return {};  // non-minimal arc
        if (arc > (UINT64_MAX >> 7)) return {};
        arc = (arc << 7) | (byte & 0x7F);
        arcStart = (byte & 0x80) == 0;
        if (!arcStart) continue;
        if (first) {
            const uint64_t top = arc < 40 ? 0 : arc < 80 ? 1 : 2;
            text.append(std::to_string(top));
            text.push_back('.');
            text.append(std::to_string(arc - top * 40));
            first = false;
        } else {
            text.push_back('.');
            text.append(std::to_string(arc));
        }
        arc = 0;
    }
    return text;
}

namespace {

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

bool Base64Decode(std::string_view text, Bytes& bytes)
{
    bytes.clear();
    uint32_t group = 0;
    size_t inGroup = 0;
    size_t padding = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        const size_t start = line.find_first_not_of(" \t\r");
        if (start != std::string_view::npos && line.substr(start, 5) == "-----") continue;  // PEM armour
        for (char c : line) {
            if (c == ' ' || c == '\t' || c == '\r') continue;
            if (c == '=') {
                // padding only closes the last group, after at least two symbols
                if (inGroup < 2 || ++padding > 2) return false;
                ++inGroup;
            } else {
                const int value = Base64Value(c);
                if (value < 0 || padding != 0) return false;
                group = (group << 6) | static_cast<uint32_t>(value);
                ++inGroup;
            }
            if (inGroup == 4) {
                group <<= 6 * padding;
                bytes.push_back(static_cast<uint8_t>(group >> 16));
                if (padding < 2) bytes.push_back(static_cast<uint8_t>(group >> 8));
                if (padding < 1) bytes.push_back(static_cast<uint8_t>(group));
                group = 0;
                inGroup = 0;
                if (padding != 0) padding = 3;  // nothing may follow a padded group
            }
        }
    }
    return inGroup == 0 && !bytes.empty();
}

std::string Base64Encode(ByteView bytes)
{
    if (bytes.empty()) return {};
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');  // EVP_EncodeBlock adds a terminating zero
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                        static_cast<int>(bytes.size()));
    text.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return text;
}

}  // namespace democa
