// tests/native/support/DerWalker.cpp — strict DER headers: single-byte tags, definite lengths in the
// shortest form, nothing beyond the buffer.
#include "support/DerWalker.h"

#include <cstdio>

namespace bm {

bool DerWalker::Next(DerElement& element)
{
    if (m_failed || Empty()) return false;
    const size_t start = m_offset;
    size_t pos = m_offset;
    const size_t size = m_bytes.size();

    const uint8_t tag = m_bytes[pos++];
    if ((tag & 0x1F) == 0x1F) {  // multi-byte tag numbers never occur in what we check
        m_failed = true;
        return false;
    }
    if (pos >= size) {
        m_failed = true;
        return false;
    }
    const uint8_t first = m_bytes[pos++];
    size_t length = 0;
    if (first < 0x80) {
        length = first;
    } else {
        const size_t count = first & 0x7F;
        // 0x80 is the indefinite form; more than four length octets never fits a request
        if (count == 0 || count > 4 || size - pos < count) {
            m_failed = true;
            return false;
        }
        if (m_bytes[pos] == 0) {  // leading zero octet: not the shortest form
            m_failed = true;
            return false;
        }
        for (size_t i = 0; i < count; ++i) length = (length << 8) | m_bytes[pos++];
        if (length < 0x80) {  // long form where the short form fits
            m_failed = true;
            return false;
        }
    }
    if (length > size - pos) {
        m_failed = true;
        return false;
    }
    element.tag = tag;
    element.contents = m_bytes.subspan(pos, length);
    element.whole = m_bytes.subspan(start, pos + length - start);
    m_offset = pos + length;
    return true;
}

bool DerWalker::Expect(uint8_t tag, DerElement& element)
{
    DerElement read;
    if (!Next(read)) return false;
    if (read.tag != tag) return false;
    element = read;
    return true;
}

std::string OidText(ByteView contents)
{
    if (contents.empty() || (contents.back() & 0x80) != 0) return {};
    std::string text;
    uint64_t arc = 0;
    bool first = true;
    bool fresh = true;
    for (uint8_t b : contents) {
        if (fresh && b == 0x80) return {};  // padded arc
        if (arc > (UINT64_MAX >> 7)) return {};
        arc = (arc << 7) | (b & 0x7F);
        fresh = false;
        if (b & 0x80) continue;
        if (first) {
            const uint64_t top = arc < 40 ? 0 : (arc < 80 ? 1 : 2);
            text.append(std::to_string(top));
            text.push_back('.');
            text.append(std::to_string(arc - top * 40));
            first = false;
        } else {
            text.push_back('.');
            text.append(std::to_string(arc));
        }
        arc = 0;
        fresh = true;
    }
    return text;
}

std::string HexOf(ByteView bytes)
{
    std::string text;
    text.reserve(bytes.size() * 3);
    char sz[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(sz, sizeof(sz), i == 0 ? "%02X" : " %02X", bytes[i]);
        text += sz;
    }
    return text;
}

Bytes BytesFromHex(const std::string& hex)
{
    Bytes out;
    int high = -1;
    for (char c : hex) {
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (v < 0) continue;  // spaces and separators between bytes
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

}  // namespace bm
