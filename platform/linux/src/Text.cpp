// platform/linux/src/Text.cpp — UTF-8/UTF-16 conversion and the string calls of the native build, as the
// platform does them: an ill-formed sequence becomes U+FFFD (one per maximal subpart, or one per lone
// surrogate) unless the caller asks for the error; a count of -1 includes the terminator; a buffer too
// small fails with ERROR_INSUFFICIENT_BUFFER. Case is folded for ASCII letters only.
#include <shlwapi.h>
#include <windows.h>

#include <string>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

int Fail(DWORD dwError)
{
    SetLastError(dwError);
    return 0;
}

// One code point from the UTF-8 at pb (cb > 0 bytes left); cbUsed is its length or, when ill-formed, the
// maximal subpart's.
char32_t DecodeUtf8(const BYTE* pb, size_t cb, size_t& cbUsed, bool& bValid)
{
    const BYTE byLead = pb[0];
    bValid = true;
    cbUsed = 1;
    if (byLead < 0x80) return byLead;
    size_t cbSequence = 0;
    BYTE byLow = 0x80, byHigh = 0xBF;
    char32_t ch = 0;
    if (byLead >= 0xC2 && byLead <= 0xDF) {
        cbSequence = 2;
        ch = byLead & 0x1F;
    } else if (byLead >= 0xE0 && byLead <= 0xEF) {
        cbSequence = 3;
        ch = byLead & 0x0F;
        if (byLead == 0xE0) byLow = 0xA0;
        if (byLead == 0xED) byHigh = 0x9F;
    } else if (byLead >= 0xF0 && byLead <= 0xF4) {
        cbSequence = 4;
        ch = byLead & 0x07;
        if (byLead == 0xF0) byLow = 0x90;
        if (byLead == 0xF4) byHigh = 0x8F;
    } else {
        bValid = false;
        return kReplacement;
    }
    for (size_t i = 1; i < cbSequence; ++i) {
        if (i >= cb || pb[i] < (i == 1 ? byLow : 0x80) || pb[i] > (i == 1 ? byHigh : 0xBF)) {
            bValid = false;
            cbUsed = i;
            return kReplacement;
        }
        ch = (ch << 6) | (pb[i] & 0x3F);
    }
    cbUsed = cbSequence;
    return ch;
}

size_t MeasureWide(LPCWSTR pwsz)
{
    size_t cch = 0;
    while (pwsz[cch] != 0) ++cch;
    return cch;
}

WCHAR FoldAscii(WCHAR wch) { return wch >= u'a' && wch <= u'z' ? static_cast<WCHAR>(wch - u'a' + u'A') : wch; }

}  // namespace

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar)
{
    if (CodePage != CP_UTF8 || (dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (lpWideCharStr == nullptr && cchWideChar != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    const size_t cbIn = cbMultiByte == -1 ? strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const BYTE* pb = reinterpret_cast<const BYTE*>(lpMultiByteStr);
    std::u16string wstr;
    for (size_t nPos = 0; nPos < cbIn;) {
        size_t cbUsed = 0;
        bool bValid = true;
        const char32_t ch = DecodeUtf8(pb + nPos, cbIn - nPos, cbUsed, bValid);
        if (!bValid && (dwFlags & MB_ERR_INVALID_CHARS) != 0) return Fail(ERROR_NO_UNICODE_TRANSLATION);
        if (ch >= 0x10000) {
            wstr += static_cast<char16_t>(0xD800 + ((ch - 0x10000) >> 10));
            wstr += static_cast<char16_t>(0xDC00 + ((ch - 0x10000) & 0x3FF));
        } else {
            wstr += static_cast<char16_t>(ch);
        }
        nPos += cbUsed;
    }
    if (wstr.size() > 0x7FFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
    if (cchWideChar == 0) return static_cast<int>(wstr.size());
    if (wstr.size() > static_cast<size_t>(cchWideChar)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!wstr.empty()) memcpy(lpWideCharStr, wstr.data(), wstr.size() * sizeof(WCHAR));
    return static_cast<int>(wstr.size());
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, BOOL* lpUsedDefaultChar)
{
    // UTF-8 takes neither a default character nor its flag.
    if (CodePage != CP_UTF8 || (dwFlags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0 || lpDefaultChar != nullptr ||
        lpUsedDefaultChar != nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (lpMultiByteStr == nullptr && cbMultiByte != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    const size_t cchIn = cchWideChar == -1 ? MeasureWide(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    std::string str;
    for (size_t nPos = 0; nPos < cchIn; ++nPos) {
        char32_t ch = lpWideCharStr[nPos];
        if (ch >= 0xD800 && ch <= 0xDBFF && nPos + 1 < cchIn && lpWideCharStr[nPos + 1] >= 0xDC00 &&
            lpWideCharStr[nPos + 1] <= 0xDFFF) {
            ch = 0x10000 + ((ch - 0xD800) << 10) + (lpWideCharStr[nPos + 1] - 0xDC00);
            ++nPos;
        } else if (ch >= 0xD800 && ch <= 0xDFFF) {
            if ((dwFlags & WC_ERR_INVALID_CHARS) != 0) return Fail(ERROR_NO_UNICODE_TRANSLATION);
            ch = kReplacement;
        }
        if (ch < 0x80) {
            str += static_cast<char>(ch);
        } else if (ch < 0x800) {
            str += static_cast<char>(0xC0 | (ch >> 6));
            str += static_cast<char>(0x80 | (ch & 0x3F));
        } else if (ch < 0x10000) {
            str += static_cast<char>(0xE0 | (ch >> 12));
            str += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
            str += static_cast<char>(0x80 | (ch & 0x3F));
        } else {
            str += static_cast<char>(0xF0 | (ch >> 18));
            str += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
            str += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
            str += static_cast<char>(0x80 | (ch & 0x3F));
        }
    }
    if (str.size() > 0x7FFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
    if (cbMultiByte == 0) return static_cast<int>(str.size());
    if (str.size() > static_cast<size_t>(cbMultiByte)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!str.empty()) memcpy(lpMultiByteStr, str.data(), str.size());
    return static_cast<int>(str.size());
}

int lstrlenA(LPCSTR lpString) { return lpString == nullptr ? 0 : static_cast<int>(strlen(lpString)); }

int lstrlenW(LPCWSTR lpString) { return lpString == nullptr ? 0 : static_cast<int>(MeasureWide(lpString)); }

int CompareStringOrdinal(LPCWSTR lpString1, int cchCount1, LPCWSTR lpString2, int cchCount2, BOOL bIgnoreCase)
{
    if (lpString1 == nullptr || lpString2 == nullptr || cchCount1 < -1 || cchCount2 < -1)
        return Fail(ERROR_INVALID_PARAMETER);
    const size_t cch1 = cchCount1 == -1 ? MeasureWide(lpString1) : static_cast<size_t>(cchCount1);
    const size_t cch2 = cchCount2 == -1 ? MeasureWide(lpString2) : static_cast<size_t>(cchCount2);
    for (size_t i = 0; i < cch1 && i < cch2; ++i) {
        const WCHAR wch1 = bIgnoreCase ? FoldAscii(lpString1[i]) : lpString1[i];
        const WCHAR wch2 = bIgnoreCase ? FoldAscii(lpString2[i]) : lpString2[i];
        if (wch1 != wch2) return wch1 < wch2 ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    return cch1 == cch2 ? CSTR_EQUAL : (cch1 < cch2 ? CSTR_LESS_THAN : CSTR_GREATER_THAN);
}

LPWSTR StrStrIW(LPCWSTR lpszStr, LPCWSTR lpszSearch)
{
    if (lpszStr == nullptr || lpszSearch == nullptr || *lpszSearch == 0) return nullptr;
    const size_t cchSearch = MeasureWide(lpszSearch);
    for (LPCWSTR pwsz = lpszStr; *pwsz != 0; ++pwsz) {
        size_t i = 0;
        while (i < cchSearch && pwsz[i] != 0 && FoldAscii(pwsz[i]) == FoldAscii(lpszSearch[i])) ++i;
        if (i == cchSearch) return const_cast<LPWSTR>(pwsz);
    }
    return nullptr;
}
