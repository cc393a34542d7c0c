// fuzz/support/FuzzSupport.cpp — shared helpers of the fuzz targets, and the fixed environment every target
// runs in (UTC, so that local-time conversions give the same answer on every machine).
#include "support/FuzzSupport.h"

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("TZ", "UTC", 1);
    return 0;
}

WString WideOfBytes(const uint8_t* pb, size_t cb)
{
    WString wstr;
    wstr.reserve(cb / 2);
    for (size_t i = 0; i + 1 < cb; i += 2) wstr.push_back(static_cast<WCHAR>(pb[i] | (pb[i + 1] << 8)));
    return wstr;
}

uint8_t FuzzInput::Byte()
{
    if (m_cb == 0) return 0;
    --m_cb;
    return *m_pb++;
}

uint32_t FuzzInput::U32()
{
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(Byte()) << (8 * i);
    return u;
}
