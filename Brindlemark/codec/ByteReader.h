// Brindlemark/codec/ByteReader.h — the one cursor over untrusted bytes (property blobs, key blobs, store files,
// DER): it only moves forward inside what it was given, every read measures first, and a short or malformed
// input only makes the read return false, with the cursor where it was. Header-only and free of the platform's
// headers, so that the native tools and tests read with the same cursor.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

class ByteReader {
public:
    using Byte = unsigned char;

    ByteReader() = default;
    ByteReader(const Byte* pb, size_t cb) : m_pb(pb), m_cb(pb != nullptr ? cb : 0) {}
    explicit ByteReader(const std::vector<Byte>& vec) : ByteReader(vec.data(), vec.size()) {}

    size_t Remaining() const { return m_cb - m_pos; }
    bool Empty() const { return Remaining() == 0; }
    const Byte* Cursor() const { return m_pb + m_pos; }
    size_t Offset() const { return m_pos; }

    bool U8(Byte& b)
    {
        if (Remaining() < 1) return false;
        b = m_pb[m_pos++];
        return true;
    }
    // Little-endian integers of nBytes (at most 8) bytes.
    bool LittleEndian(size_t nBytes, uint64_t& ullValue)
    {
        if (nBytes > 8 || Remaining() < nBytes) return false;
        ullValue = 0;
        for (size_t i = 0; i < nBytes; ++i) ullValue |= static_cast<uint64_t>(m_pb[m_pos + i]) << (8 * i);
        m_pos += nBytes;
        return true;
    }
    template <typename T>
    bool U16(T& w)
    {
        static_assert(sizeof(T) >= 2, "room for 16 bits");
        return Read(2, w);
    }
    template <typename T>
    bool U32(T& dw)
    {
        static_assert(sizeof(T) >= 4, "room for 32 bits");
        return Read(4, dw);
    }
    bool Skip(size_t cb)
    {
        if (Remaining() < cb) return false;
        m_pos += cb;
        return true;
    }
    bool Bytes(size_t cb, const Byte*& pb)
    {
        if (Remaining() < cb) return false;
        pb = m_pb + m_pos;
        m_pos += cb;
        return true;
    }
    bool Bytes(size_t cb, std::vector<Byte>& out)
    {
        const Byte* pb = nullptr;
        if (!Bytes(cb, pb)) return false;
        out.assign(pb, pb + cb);
        return true;
    }
    // A 32-bit length followed by that many bytes, at most cbMax.
    bool Counted(size_t cbMax, std::vector<Byte>& out)
    {
        const size_t nStart = m_pos;
        uint32_t cb = 0;
        return (U32(cb) && cb <= cbMax && Bytes(cb, out)) || Rewind(nStart);
    }
    // A reader over the next cb bytes, which this one moves past.
    bool Sub(size_t cb, ByteReader& inner)
    {
        const Byte* pb = nullptr;
        if (!Bytes(cb, pb)) return false;
        inner = ByteReader(pb, cb);
        return true;
    }

    // One DER element with a definite length (at most four length octets): its tag and a reader over its
    // contents. bStrict also refuses a length not written in the fewest octets, as DER requires of what comes
    // from outside.
    bool ReadTlv(Byte& bTag, ByteReader& contents, bool bStrict = false)
    {
        const size_t nStart = m_pos;
        Byte bFirst = 0;
        if (!U8(bTag) || (bTag & 0x1F) == 0x1F || !U8(bFirst)) return Rewind(nStart);
        size_t cb = bFirst;
        if (bFirst & 0x80) {
            const size_t nOctets = bFirst & 0x7F;
            if (nOctets == 0 || nOctets > 4) return Rewind(nStart);
            uint64_t ullLength = 0;
            for (size_t i = 0; i < nOctets; ++i) {
                Byte b = 0;
                if (!U8(b)) return Rewind(nStart);
                if (bStrict && i == 0 && b == 0) return Rewind(nStart);
                ullLength = (ullLength << 8) | b;
            }
            if (bStrict && ullLength < 0x80) return Rewind(nStart);
            cb = static_cast<size_t>(ullLength);
        }
        if (!Sub(cb, contents)) return Rewind(nStart);
        return true;
    }
    // The next element, which must carry bWantTag.
    bool ReadTlv(Byte bWantTag, std::vector<Byte>& contents, bool bStrict = false)
    {
        const size_t nStart = m_pos;
        Byte bTag = 0;
        ByteReader inner;
        if (!ReadTlv(bTag, inner, bStrict) || bTag != bWantTag) return Rewind(nStart);
        contents.assign(inner.Cursor(), inner.Cursor() + inner.Remaining());
        return true;
    }

private:
    template <typename T>
    bool Read(size_t nBytes, T& value)
    {
        uint64_t ull = 0;
        if (!LittleEndian(nBytes, ull)) return false;
        value = static_cast<T>(ull);
        return true;
    }
    bool Rewind(size_t nPos)
    {
        m_pos = nPos;
        return false;
    }

    const Byte* m_pb = nullptr;
    size_t m_cb = 0;
    size_t m_pos = 0;
};
