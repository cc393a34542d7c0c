// Brindlemark/codec/DerWriter.h — the one writer of DER: length octets (the short form below 128, else the long
// form in the fewest octets) and a nested writer that puts every child straight into its parent. Header-only
// and free of the platform's headers, like the reader beside it, so the native tools write with it too.
//
// A constructed element is opened before its children are known: Open writes the tag and a one-octet length
// and returns a mark; the children are appended in place; Close measures what follows the mark and fills in
// the length. When the long form needs more than that one octet, Close moves the contents up by the extra
// octets: one move per long element, instead of a temporary buffer and a copy per element and level.
//
// The writer never throws. A failed allocation makes the operation return false and the writer stay failed,
// so a caller may append a level unchecked and look once, at its Close or at Failed().
#pragma once
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <vector>

// The length octets of cb into rgbOctets (room for 1 + sizeof(size_t)); returns their count.
inline size_t DerLengthOctets(size_t cb, unsigned char* rgbOctets)
{
    if (cb < 0x80) {
        rgbOctets[0] = static_cast<unsigned char>(cb);
        return 1;
    }
    size_t nOctets = 0;
    for (size_t cbRest = cb; cbRest != 0; cbRest >>= 8) ++nOctets;
    rgbOctets[0] = static_cast<unsigned char>(0x80 | nOctets);
    for (size_t i = 0; i < nOctets; ++i) rgbOctets[nOctets - i] = static_cast<unsigned char>(cb >> (8 * i));
    return 1 + nOctets;
}

inline void AppendDerLength(std::vector<unsigned char>& out, size_t cb)
{
    unsigned char rgbOctets[1 + sizeof(size_t)] = {};
    const size_t nOctets = DerLengthOctets(cb, rgbOctets);
    out.insert(out.end(), rgbOctets, rgbOctets + nOctets);
}

class DerWriter {
public:
    using Byte = unsigned char;
    // Where an open element starts: the offset of its tag.
    using Mark = size_t;

    // Appends to out, after what it already holds.
    explicit DerWriter(std::vector<Byte>& out) : m_out(out) {}
    DerWriter(const DerWriter&) = delete;
    DerWriter& operator=(const DerWriter&) = delete;

    bool Failed() const { return m_bFailed; }
    size_t Size() const { return m_out.size(); }
    const Byte* Data() const { return m_out.data(); }

    bool Append(const Byte* pb, size_t cb)
    {
        // Room first, so that a size no buffer can hold fails before anything is read from pb.
        if (cb == 0) return !m_bFailed;
        if (!Grow(cb)) return false;
        m_out.insert(m_out.end(), pb, pb + cb);
        return true;
    }
    bool Append(const std::vector<Byte>& vec) { return Append(vec.data(), vec.size()); }
    bool Append(std::initializer_list<Byte> bytes) { return Append(bytes.begin(), bytes.size()); }

    // cb more bytes at the end for a producer that writes them itself; nullptr on failure. A producer that
    // writes fewer gives the rest back with Trim.
    Byte* Extend(size_t cb)
    {
        if (!Grow(cb)) return nullptr;
        const size_t nOffset = m_out.size();
        m_out.resize(nOffset + cb);
        return m_out.data() + nOffset;
    }
    // Shrinks only: erasing the tail never takes the growing path of resize.
    void Trim(size_t cbUnused)
    {
        const size_t cbCut = cbUnused < m_out.size() ? cbUnused : m_out.size();
        m_out.erase(m_out.end() - static_cast<std::ptrdiff_t>(cbCut), m_out.end());
    }

    // Tag, length and contents in one step.
    bool AppendTlv(Byte bTag, const Byte* pbContents, size_t cbContents)
    {
        unsigned char rgbHeader[2 + sizeof(size_t)] = {bTag};
        const size_t cbHeader = 1 + DerLengthOctets(cbContents, rgbHeader + 1);
        if (cbContents > static_cast<size_t>(-1) - cbHeader || !Grow(cbHeader + cbContents)) return Fail();
        Append(rgbHeader, cbHeader);
        return Append(pbContents, cbContents);
    }
    bool AppendTlv(Byte bTag, const std::vector<Byte>& vecContents)
    {
        return AppendTlv(bTag, vecContents.data(), vecContents.size());
    }

    // A non-negative INTEGER of big-endian magnitude bytes: leading zeros dropped, one 00 kept before a high
    // first bit; no bytes at all is the INTEGER 0.
    bool AppendUnsignedInteger(const Byte* pb, size_t cb)
    {
        while (cb > 1 && pb[0] == 0) ++pb, --cb;
        const Mark mark = Open(0x02);
        if (cb == 0 || (pb[0] & 0x80) != 0) Append({0x00});
        Append(pb, cb);
        return Close(mark);
    }

    // The tag and a length octet to be filled in by Close(mark) or CloseAs(mark, tag).
    Mark Open(Byte bTag)
    {
        const Mark mark = m_out.size();
        Append({bTag, 0x00});
        return mark;
    }
    // The length of what has been written after the mark's header so far.
    size_t ContentsLength(Mark mark) const { return m_out.size() - (mark + 2); }
    bool Close(Mark mark)
    {
        if (m_bFailed || mark + 2 > m_out.size()) return Fail();
        const size_t cbContents = ContentsLength(mark);
        unsigned char rgbOctets[1 + sizeof(size_t)] = {};
        const size_t nOctets = DerLengthOctets(cbContents, rgbOctets);
        if (nOctets > 1) {
            const size_t nExtra = nOctets - 1;
            if (!Grow(nExtra)) return false;
            m_out.resize(m_out.size() + nExtra);
            Byte* pbContents = m_out.data() + mark + 2;
            memmove(pbContents + nExtra, pbContents, cbContents);
        }
        memcpy(m_out.data() + mark + 1, rgbOctets, nOctets);
        return true;
    }
    // Close, writing bTag over the tag given at Open.
    bool CloseAs(Mark mark, Byte bTag)
    {
        if (!Close(mark)) return false;
        m_out[mark] = bTag;
        return true;
    }

private:
    bool Fail()
    {
        m_bFailed = true;
        return false;
    }
    // Capacity for cb more bytes, doubling where it can; false (and failed) when no buffer can hold them.
    bool Grow(size_t cb)
    {
        if (m_bFailed) return false;
        const size_t cbMax = m_out.max_size();
        if (cb > cbMax - m_out.size()) return Fail();
        const size_t cbNeeded = m_out.size() + cb;
        if (cbNeeded <= m_out.capacity()) return true;
        const size_t cbDouble = m_out.capacity() < cbMax / 2 ? 2 * m_out.capacity() : cbMax;
        return (cbDouble > cbNeeded && Reserve(cbDouble)) || Reserve(cbNeeded) || Fail();
    }
    bool Reserve(size_t cb)
    {
        try {
            m_out.reserve(cb);
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        } catch (const std::length_error&) {
            return false;
        }
    }

    std::vector<Byte>& m_out;
    bool m_bFailed = false;
};

// Tag, length and contents as a new buffer (builders of test data and of whole small messages).
inline std::vector<unsigned char> DerTlv(unsigned char bTag, const unsigned char* pbContents, size_t cbContents)
{
    std::vector<unsigned char> out;
    DerWriter writer(out);
    writer.AppendTlv(bTag, pbContents, cbContents);
    return out;
}
