// platform/linux/src/system/Utf8.h — UTF-16 runs to UTF-8 and back through the platform's own conversions, for
// the NSS, libxml2 and file system sides of the native build. A malformed run converts as those calls convert
// it (replacement characters); a run longer than the calls take, or an empty one, gives an empty result.
#pragma once
#include <windows.h>

#include <climits>
#include <string>

inline std::string Utf8OfUtf16(const WCHAR* pwsz, size_t cch)
{
    if (pwsz == nullptr || cch == 0 || cch > INT_MAX) return std::string();
    const int cb = WideCharToMultiByte(CP_UTF8, 0, pwsz, static_cast<int>(cch), nullptr, 0, nullptr, nullptr);
    if (cb <= 0) return std::string();
    std::string str(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, pwsz, static_cast<int>(cch), str.data(), cb, nullptr, nullptr);
    return str;
}

inline std::basic_string<WCHAR> Utf16OfUtf8(const char* psz, size_t cb)
{
    if (psz == nullptr || cb == 0 || cb > INT_MAX) return std::basic_string<WCHAR>();
    const int cch = MultiByteToWideChar(CP_UTF8, 0, psz, static_cast<int>(cb), nullptr, 0);
    if (cch <= 0) return std::basic_string<WCHAR>();
    std::basic_string<WCHAR> wstr(static_cast<size_t>(cch), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, psz, static_cast<int>(cb), wstr.data(), cch);
    return wstr;
}

inline std::string Utf8OfUtf16(const std::basic_string<WCHAR>& wstr) { return Utf8OfUtf16(wstr.data(), wstr.size()); }
inline std::basic_string<WCHAR> Utf16OfUtf8(const std::string& str) { return Utf16OfUtf8(str.data(), str.size()); }
