// tools/democa/Der.h — the one bounded reader for the bytes a page hands the CA, and Base64 as the page carries it.
#pragma once
#include <string>
#include <string_view>

#include "Owners.h"

namespace democa {

struct DerElement {
    uint8_t tag = 0;
    ByteView contents;  // value octets
    ByteView whole;     // tag, length and value: the exact bytes a signature covers
};

// Reads one element after the other from the bytes it was given and never past them. Strict DER headers:
// low tag numbers only, definite minimal lengths. After a malformed header it stays failed.
class DerReader {
public:
    DerReader() = default;
    explicit DerReader(ByteView bytes) : m_bytes(bytes) {}

    // False at the end, or at a malformed or truncated header (then Failed()).
    bool Next(DerElement& element);
    // Next, and the element must carry this tag.
    bool Expect(uint8_t tag, DerElement& element);
    bool Empty() const { return m_offset == m_bytes.size(); }
    bool Failed() const { return m_failed; }

private:
    ByteView m_bytes;
    size_t m_offset = 0;
    bool m_failed = false;
};

// Dotted text of an OBJECT IDENTIFIER's contents; empty when they are not a well-formed identifier.
std::string OidText(ByteView contents);

// Decodes Base64 the way the page passes texts along: line breaks, spaces and PEM armour lines are
// skipped; any other character outside the alphabet, misplaced padding or an empty text fails.
bool Base64Decode(std::string_view text, Bytes& bytes);
// Standard alphabet with padding, one line.
std::string Base64Encode(ByteView bytes);

}  // namespace democa
