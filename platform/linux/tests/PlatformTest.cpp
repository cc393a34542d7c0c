// platform/linux/tests/PlatformTest.cpp — the native surface gives the platform's answers: time conversions
// at the ends of their ranges and UTF-8/UTF-16 conversion of ill-formed text.
#include <shlwapi.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

FILETIME FileTimeOf(ULONGLONG ull) { return {static_cast<DWORD>(ull), static_cast<DWORD>(ull >> 32)}; }

struct TimeCase {
    ULONGLONG ullTicks;
    SYSTEMTIME st;  // year, month, day of week, day, hour, minute, second, milliseconds
};

TEST(PlatformTime, FileTimesConvertBothWaysAcrossTheirRange)
{
    for (const TimeCase& c : std::vector<TimeCase>{
             {0, {1601, 1, 1, 1, 0, 0, 0, 0}},
             {116444736000000000ull, {1970, 1, 4, 1, 0, 0, 0, 0}},
             {130982004010020000ull, {2016, 1, 1, 25, 13, 0, 1, 2}},
             {0x7FFFFFFFFFFFFFFFull / 10000 * 10000, {30828, 9, 4, 14, 2, 48, 5, 477}}}) {
        SCOPED_TRACE(c.ullTicks);
        const FILETIME ft = FileTimeOf(c.ullTicks);
        SYSTEMTIME st = {};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
        EXPECT_EQ(memcmp(&st, &c.st, sizeof(st)), 0) << st.wYear << "-" << st.wMonth << "-" << st.wDay << " "
                                                      << st.wDayOfWeek;
        FILETIME ftBack = {};
        ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ftBack));
        EXPECT_EQ(CompareFileTime(&ft, &ftBack), 0);
    }
}

TEST(PlatformTime, OutOfRangeTimesFailWithInvalidParameter)
{
    const FILETIME ftTooLate = FileTimeOf(0x8000000000000000ull);
    SYSTEMTIME st = {};
    SetLastError(0);
    EXPECT_FALSE(FileTimeToSystemTime(&ftTooLate, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    for (const SYSTEMTIME& stBad : std::vector<SYSTEMTIME>{{2023, 2, 0, 29, 0, 0, 0, 0},
                                                           {1600, 12, 0, 31, 0, 0, 0, 0},
                                                           {2024, 13, 0, 1, 0, 0, 0, 0},
                                                           {2024, 1, 0, 1, 24, 0, 0, 0},
                                                           {2024, 1, 0, 1, 0, 0, 0, 1000},
                                                           {30828, 9, 0, 14, 2, 48, 5, 478},
                                                           {65535, 12, 0, 31, 23, 59, 59, 999}}) {
        FILETIME ft = {};
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&stBad, &ft)) << stBad.wYear << "-" << stBad.wMonth << "-" << stBad.wDay;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

struct Utf8Case {
    std::string strUtf8;
    std::u16string wstrUtf16;
};

TEST(PlatformText, IllFormedUtf8BecomesOneReplacementPerMaximalSubpart)
{
    for (const Utf8Case& c : std::vector<Utf8Case>{{"A\xC3\xA9", u"A\u00E9"},
                                                   {"\xF0\x9F\x98\x80", u"\U0001F600"},
                                                   {"\xC0\x80", u"\uFFFD\uFFFD"},
                                                   {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                                                   {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                                                   {"\xE2\x82", u"\uFFFD"},
                                                   {"\xE2\x82x", u"\uFFFDx"},
                                                   {"\xFF", u"\uFFFD"}}) {
        SCOPED_TRACE(c.strUtf8);
        WCHAR wsz[16] = {};
        const int cch = MultiByteToWideChar(CP_UTF8, 0, c.strUtf8.c_str(), -1, wsz, 16);
        ASSERT_EQ(cch, static_cast<int>(c.wstrUtf16.size()) + 1);
        EXPECT_EQ(std::u16string(wsz), c.wstrUtf16);
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.strUtf8.c_str(), -1, nullptr, 0),
                  c.wstrUtf16.find(u'\uFFFD') == std::u16string::npos ? cch : 0);
    }
}

TEST(PlatformText, LoneSurrogatesBecomeReplacementsInUtf8)
{
    const WCHAR wsz[] = {u'a', 0xD800, u'b', 0xDC00, 0xD83D, 0xDE00, 0};
    char sz[32] = {};
    const int cb = WideCharToMultiByte(CP_UTF8, 0, wsz, -1, sz, sizeof(sz), nullptr, nullptr);
    EXPECT_EQ(std::string(sz), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xF0\x9F\x98\x80");
    EXPECT_EQ(cb, 13);
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wsz, -1, sz, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(PlatformText, OrdinalComparisonsFoldAsciiLettersOnly)
{
    EXPECT_EQ(CompareStringOrdinal(u"cn", -1, u"CN", -1, TRUE), CSTR_EQUAL);
    EXPECT_EQ(CompareStringOrdinal(u"cn", -1, u"CN", -1, FALSE), CSTR_GREATER_THAN);
    EXPECT_EQ(CompareStringOrdinal(u"C", -1, u"CN", -1, TRUE), CSTR_LESS_THAN);
    EXPECT_EQ(CompareStringOrdinal(u"\u00E9", -1, u"\u00C9", -1, TRUE), CSTR_GREATER_THAN);
    const WCHAR wszText[] = u"Subject: Demo Customer";
    EXPECT_EQ(StrStrIW(wszText, u"demo"), wszText + 9);
    EXPECT_EQ(StrStrIW(wszText, u"demo customers"), nullptr);
    EXPECT_EQ(StrStrIW(wszText, u""), nullptr);
}

}  // namespace
