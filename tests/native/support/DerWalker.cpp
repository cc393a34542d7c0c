// tests/native/support/DerWalker.cpp — strict DER headers read with the system's one cursor: single-byte
// tags, definite lengths in the shortest form, nothing beyond the buffer.
#include "support/DerWalker.h"

#include "Brindlemark/codec/ByteReader.h"

#include <cstdio>
#include <memory>

#include <openssl/asn1.h>
#include <openssl/objects.h>

namespace bm {

bool DerWalker::Next(DerElement& element)
{
    if (m_failed || Empty()) return false;
    // The system's one cursor reads the header: strict DER, nothing past the bytes given.
    ByteReader reader(m_bytes.data() + m_offset, m_bytes.size() - m_offset);
    ByteReader contents;
    ByteReader::Byte tag = 0;
    if (!reader.ReadTlv(tag, contents, true)) return Fail();
    const size_t contentsOffset = static_cast<size_t>(contents.Cursor() - m_bytes.data());
    element.tag = tag;
    element.whole = m_bytes.subspan(m_offset, reader.Offset());
    element.contents = m_bytes.subspan(contentsOffset, contents.Remaining());
    m_offset += reader.Offset();
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
