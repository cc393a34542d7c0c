// providers/TokenCore/ByteReader.h — cursors over untrusted bytes (store files, key blobs, DER):
// every read measures first and a short or malformed input only makes the read return false.
#pragma once
#include "TokenCommon.h"

class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const BYTE* pb, size_t cb) : m_pb(pb), m_cb(pb != nullptr ? cb : 0) {}

    size_t Remaining() const { return m_cb - m_pos; }
    bool Empty() const { return Remaining() == 0; }
    const BYTE* Cursor() const { return m_pb + m_pos; }

    bool Byte(BYTE& b)
    {
        if (Remaining() < 1) return false;
        b = m_pb[m_pos++];
        return true;
    }
    bool U16(WORD& w)
    {
        if (Remaining() < 2) return false;
        w = static_cast<WORD>(m_pb[m_pos] | (m_pb[m_pos + 1] << 8));
        m_pos += 2;
        return true;
    }
    bool U32(DWORD& dw)
    {
        if (Remaining() < 4) return false;
        dw = static_cast<DWORD>(m_pb[m_pos]) | (static_cast<DWORD>(m_pb[m_pos + 1]) << 8) |
             (static_cast<DWORD>(m_pb[m_pos + 2]) << 16) | (static_cast<DWORD>(m_pb[m_pos + 3]) << 24);
        m_pos += 4;
        return true;
    }
    // A caller's address, as wide as a pointer of this process.
    bool Address(const BYTE*& pb)
    {
        if (Remaining() < sizeof(ULONG_PTR)) return false;
        ULONG_PTR value = 0;
        for (size_t i = 0; i < sizeof(ULONG_PTR); ++i) value |= static_cast<ULONG_PTR>(m_pb[m_pos + i]) << (8 * i);
        m_pos += sizeof(ULONG_PTR);
        pb = reinterpret_cast<const BYTE*>(value);
        return true;
    }
    bool Bytes(size_t cb, const BYTE*& pb)
    {
        if (Remaining() < cb) return false;
        pb = m_pb + m_pos;
        m_pos += cb;
        return true;
    }
    bool Bytes(size_t cb, ByteBuffer& out)
    {
        const BYTE* pb = nullptr;
        if (!Bytes(cb, pb)) return false;
        out.assign(pb, pb + cb);
        return true;
    }
    // A 32-bit length followed by that many bytes, at most cbMax.
    bool Counted(size_t cbMax, ByteBuffer& out)
    {
        DWORD cb = 0;
        return U32(cb) && cb <= cbMax && Bytes(cb, out);
    }

    // One DER TLV with a definite length (short or long form, at most four length octets).
    bool ReadTlv(BYTE& tag, ByteReader& contents)
    {
        size_t start = m_pos;
        BYTE first = 0;
        if (!Byte(tag) || (tag & 0x1F) == 0x1F || !Byte(first)) return Rewind(start);
        size_t cb = first;
        if (first & 0x80) {
            size_t nOctets = first & 0x7F;
            if (nOctets == 0 || nOctets > 4) return Rewind(start);
            cb = 0;
            for (size_t i = 0; i < nOctets; ++i) {
                BYTE b = 0;
                if (!Byte(b)) return Rewind(start);
                cb = (cb << 8) | b;
            }
        }
        const BYTE* pb = nullptr;
        if (!Bytes(cb, pb)) return Rewind(start);
        contents = ByteReader(pb, cb);
        return true;
    }
    bool ReadTlv(BYTE wantTag, ByteBuffer& contents)
    {
        size_t start = m_pos;
        BYTE tag = 0;
        ByteReader inner;
        if (!ReadTlv(tag, inner) || tag != wantTag) return Rewind(start);
        contents.assign(inner.Cursor(), inner.Cursor() + inner.Remaining());
        return true;
    }

private:
    bool Rewind(size_t pos)
    {
        m_pos = pos;
        return false;
    }

    const BYTE* m_pb = nullptr;
    size_t m_cb = 0;
    size_t m_pos = 0;
};

class ByteWriter {
public:
    void U32(DWORD dw)
    {
        for (int i = 0; i < 4; ++i) m_buf.push_back(static_cast<BYTE>(dw >> (8 * i)));
    }
    void Bytes(const BYTE* pb, size_t cb) { m_buf.insert(m_buf.end(), pb, pb + cb); }
    void Counted(const ByteBuffer& b)
    {
        U32(static_cast<DWORD>(b.size()));
        Bytes(b.data(), b.size());
    }
    ByteBuffer& Buffer() { return m_buf; }

private:
    ByteBuffer m_buf;
};
