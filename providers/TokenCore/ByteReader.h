// providers/TokenCore/ByteReader.h — the system's cursor over untrusted bytes (store files, key blobs, DER),
// and the writer of the token store's records.
#pragma once
#include "TokenCommon.h"
#include "Brindlemark/codec/ByteReader.h"

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
