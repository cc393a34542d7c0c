// fuzz/support/FuzzSupport.h — what the fuzz targets share: splitting an input into the pieces a parser
// takes, without ever reading past it.
#pragma once
#include "Common.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The input's bytes read as UTF-16 code units, little-endian; an odd last byte is dropped.
WString WideOfBytes(const uint8_t* pb, size_t cb);

// A cursor over the input: takes bytes from the front, never more than are left.
class FuzzInput {
public:
    FuzzInput(const uint8_t* pb, size_t cb) : m_pb(pb), m_cb(cb) {}
    // The next byte, 0 once the input is used up.
    uint8_t Byte();
    // The next 32-bit little-endian value, its missing bytes 0.
    uint32_t U32();
    // Everything that is left.
    const uint8_t* Rest() const { return m_pb; }
    size_t RestSize() const { return m_cb; }

private:
    const uint8_t* m_pb;
    size_t m_cb;
};
