// Brindlemark/codec/DerWriter.h — the one writer of DER lengths: the short form below 128, else the long form
// in the fewest octets. Header-only and free of the platform's headers, like the reader beside it.
#pragma once
#include <cstddef>
#include <vector>

inline void AppendDerLength(std::vector<unsigned char>& out, size_t cb)
{
    if (cb < 0x80) {
        out.push_back(static_cast<unsigned char>(cb));
        return;
    }
    unsigned char rgbOctets[sizeof(size_t)] = {};
    size_t nOctets = 0;
    for (size_t cbRest = cb; cbRest != 0; cbRest >>= 8) rgbOctets[nOctets++] = static_cast<unsigned char>(cbRest);
    out.push_back(static_cast<unsigned char>(0x80 | nOctets));
    while (nOctets != 0) out.push_back(rgbOctets[--nOctets]);
}

// Tag, length and contents.
inline std::vector<unsigned char> DerTlv(unsigned char bTag, const unsigned char* pbContents, size_t cbContents)
{
    std::vector<unsigned char> out{bTag};
    AppendDerLength(out, cbContents);
    if (cbContents != 0) out.insert(out.end(), pbContents, pbContents + cbContents);
    return out;
}
