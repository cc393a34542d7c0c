// tools/inspector/Text.cpp — text conversions, hexadecimal and decimal options, byte order.
#include "Text.h"

#include <cstdio>
#include <iterator>

namespace inspector {

std::string ToUtf8(const WCHAR* pwsz, size_t cch)
{
    if (cch == 0 || cch > 0x7FFFFFFF) return std::string();
    const int cchWide = static_cast<int>(cch);
    const int cb = WideCharToMultiByte(CP_UTF8, 0, pwsz, cchWide, nullptr, 0, nullptr, nullptr);
    if (cb <= 0) return std::string();
    std::string str(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, pwsz, cchWide, str.data(), cb, nullptr, nullptr);
    return str;
}

std::string ToUtf8(const WString& wstr) { return ToUtf8(wstr.data(), wstr.size()); }
std::string ToUtf8(const WCHAR* pwsz) { return pwsz != nullptr ? ToUtf8(pwsz, lstrlenW(pwsz)) : std::string(); }

WString FromNarrow(const char* psz, size_t cb)
{
    if (cb == 0 || cb > 0x7FFFFFFF) return WString();
    for (UINT uCodePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
        const DWORD dwFlags = uCodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int cch = MultiByteToWideChar(uCodePage, dwFlags, psz, static_cast<int>(cb), nullptr, 0);
        if (cch <= 0) continue;
        WString wstr(static_cast<size_t>(cch), 0);
        MultiByteToWideChar(uCodePage, dwFlags, psz, static_cast<int>(cb), wstr.data(), cch);
        return wstr;
    }
    return WString();
}

bool EqualsIgnoringCase(const WString& wstr, const WCHAR* pwsz)
{
    return CompareStringOrdinal(wstr.c_str(), -1, pwsz, -1, TRUE) == CSTR_EQUAL;
}

bool Contains(const WString& wstr, const WCHAR* pwszPart) { return wstr.find(pwszPart) != WString::npos; }

std::string Hex(const BYTE* pb, size_t cb)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string str;
    str.reserve(cb * 2);
    for (size_t i = 0; i < cb; ++i) {
        str += kDigits[pb[i] >> 4];
        str += kDigits[pb[i] & 15];
    }
    return str;
}

std::string Hex(const ByteBuffer& vec) { return Hex(vec.data(), vec.size()); }

std::string HexDword(DWORD dw, int cDigits)
{
    char sz[16] = {};
    snprintf(sz, sizeof sz, "0x%0*lx", cDigits, static_cast<unsigned long>(dw));
    return sz;
}

namespace {

int HexDigit(WCHAR ch)
{
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

}  // namespace

bool ParseHex(const WString& wstr, ByteBuffer& vec)
{
    vec.clear();
    if (wstr.size() % 2 != 0) return false;
    for (size_t i = 0; i < wstr.size(); i += 2) {
        const int nHigh = HexDigit(wstr[i]), nLow = HexDigit(wstr[i + 1]);
        if (nHigh < 0 || nLow < 0) return false;
        vec.push_back(static_cast<BYTE>(nHigh << 4 | nLow));
    }
    return true;
}

bool ParseDecimal(const WString& wstr, DWORD dwMax, DWORD& dwValue)
{
    dwValue = 0;
    if (wstr.empty()) return false;
    for (WCHAR ch : wstr) {
        if (ch < '0' || ch > '9') return false;
        const DWORD dwDigit = static_cast<DWORD>(ch - '0');
        if (dwDigit > dwMax || dwValue > (dwMax - dwDigit) / 10) return false;
        dwValue = dwValue * 10 + dwDigit;
    }
    return true;
}

ByteBuffer Reversed(const BYTE* pb, size_t cb)
{
    return ByteBuffer(std::reverse_iterator<const BYTE*>(pb + cb), std::reverse_iterator<const BYTE*>(pb));
}

}  // namespace inspector
