// tests/native/support/DerWalker.cpp — strict DER headers read with OpenSSL's header parser: single-byte
// tags, definite lengths in the shortest form, nothing beyond the buffer.
#include "support/DerWalker.h"

#include <cstdio>
#include <memory>

#include <openssl/asn1.h>
#include <openssl/objects.h>

namespace bm {

bool DerWalker::Next(DerElement& element)
{
    if (m_failed || Empty()) return false;
    const ByteView rest = m_bytes.subspan(m_offset);
    const unsigned char* p = rest.data();
    long length = 0;
    int tagNumber = 0, tagClass = 0;
    const int flags = ASN1_get_object(&p, &length, &tagNumber, &tagClass, static_cast<long>(rest.size()));
    // 0x80: malformed or past the buffer; 0x21: indefinite length.
    if ((flags & 0x80) != 0 || (flags & 0x21) == 0x21 || tagNumber > 30 || length < 0) return Fail();
    const size_t header = static_cast<size_t>(p - rest.data());
    const size_t contents = static_cast<size_t>(length);
    // DER: one tag octet, and the length in the fewest octets that hold it.
    size_t lengthOctets = 0;
    for (size_t v = contents; v != 0; v >>= 8) ++lengthOctets;
    if (header != (contents < 0x80 ? 2 : 2 + lengthOctets) || contents > rest.size() - header) return Fail();
    element.tag = rest[0];
    element.contents = rest.subspan(header, contents);
    element.whole = rest.first(header + contents);
    m_offset += header + contents;
    return true;
}

bool DerWalker::Fail()
{
    m_failed = true;
    return false;
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
    if (contents.empty() || contents.size() > 0x7FFF) return {};
    Bytes der = {0x06};
    if (contents.size() < 0x80) {
        der.push_back(static_cast<uint8_t>(contents.size()));
    } else {
        der.insert(der.end(), {0x82, static_cast<uint8_t>(contents.size() >> 8), static_cast<uint8_t>(contents.size())});
    }
    der.insert(der.end(), contents.begin(), contents.end());
    const unsigned char* p = der.data();
    std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> object(
        d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(der.size())), &ASN1_OBJECT_free);
    if (!object) return {};
    char text[256] = {};
    const int size = OBJ_obj2txt(text, sizeof(text), object.get(), 1);
    if (size <= 0 || static_cast<size_t>(size) >= sizeof(text)) return {};
    return std::string(text, static_cast<size_t>(size));
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
