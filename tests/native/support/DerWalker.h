// A bounds-checked reader of DER: one tag-length-value at a time, never past the bytes it was given.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace bm {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

struct DerElement {
    uint8_t tag = 0;
    ByteView contents;  // the value octets only
    ByteView whole;     // tag, length octets and contents: the exact bytes a signature covers
};

class DerWalker {
public:
    DerWalker() = default;
    explicit DerWalker(ByteView bytes) : m_bytes(bytes) {}

    // Reads the next element. False when nothing is left, or when the header is malformed or runs past
    // the buffer (then Failed() is true and the walker stays failed).
    bool Next(DerElement& element);
    // Reads the next element and requires its tag.
    bool Expect(uint8_t tag, DerElement& element);
    bool Empty() const { return m_offset >= m_bytes.size(); }
    bool Failed() const { return m_failed; }
    size_t Offset() const { return m_offset; }

private:
    bool Fail();

    ByteView m_bytes;
    size_t m_offset = 0;
    bool m_failed = false;
};

// Dotted text of an OBJECT IDENTIFIER's contents; empty when the contents are not a valid identifier.
std::string OidText(ByteView contents);

// Hex text of bytes, for messages.
std::string HexOf(ByteView bytes);
Bytes BytesFromHex(const std::string& hex);

}  // namespace bm
