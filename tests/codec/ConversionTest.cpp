// Text and binary conversions: Base64 line rules and tolerant decoding, re-wrapping, hexadecimal text in
// reverse byte order, "||" lists, UTF-8/UTF-16 and byte reversal.
#include "codec/Misc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

ByteBuffer Bytes(size_t n, BYTE bFirst = 0)
{
    ByteBuffer vec(n);
    for (size_t i = 0; i < n; ++i) vec[i] = static_cast<BYTE>(bFirst + i * 7);
    return vec;
}

std::string Encode(const ByteBuffer& vec)
{
    std::string str = "unset";
    EXPECT_EQ(Base64EncodeEx(vec.data(), static_cast<DWORD>(vec.size()), str), S_OK);
    return str;
}

ByteBuffer Decode(const std::string& str, int nLength)
{
    ByteBuffer vec = {0xEE};
    EXPECT_EQ(Base64DecodeEx(str.data(), nLength, vec), S_OK);
    return vec;
}

ByteBuffer Decode(const std::string& str) { return Decode(str, static_cast<int>(str.size())); }

// Lengths of the lines between CR LF pairs, and whether the text ends with CR LF.
std::vector<size_t> LineLengths(const std::string& str, bool& bTrailingCrLf)
{
    std::vector<size_t> lengths;
    size_t nStart = 0;
    for (;;) {
        size_t nPos = str.find("\r\n", nStart);
        if (nPos == std::string::npos) break;
        lengths.push_back(nPos - nStart);
        nStart = nPos + 2;
    }
    bTrailingCrLf = nStart == str.size() && !str.empty();
    if (nStart < str.size()) lengths.push_back(str.size() - nStart);
    return lengths;
}

}  // namespace

TEST(Base64EncodeEx, KnownTextsOfShortInputs)
{
    struct Case {
        std::string in;
        std::string want;
    };
    for (const Case& c : std::vector<Case>{{"", ""},
                                           {"A", "QQ=="},
                                           {"AB", "QUI="},
                                           {"ABC", "QUJD"},
                                           {std::string("\xff\xfe\xfd\x00", 4), "//79AA=="},
                                           {std::string("\x00", 1), "AA=="}}) {
        SCOPED_TRACE(c.want);
        std::string str = "unset";
        ASSERT_EQ(Base64EncodeEx(reinterpret_cast<const BYTE*>(c.in.data()), static_cast<DWORD>(c.in.size()), str),
                  S_OK);
        EXPECT_EQ(str, c.want);
    }
}

TEST(Base64EncodeEx, BreaksAfterEveryNineteenCompleteGroups)
{
    struct Case {
        size_t cbInput;
        std::vector<size_t> lines;
        bool bTrailingCrLf;
    };
    for (const Case& c : std::vector<Case>{{1, {4}, false},
                                           {56, {76}, false},  // 18 groups + 2 bytes: padding fills the line
                                           {57, {76}, true},
                                           {58, {76, 4}, false},
                                           {60, {76, 4}, false},
                                           {114, {76, 76}, true},
                                           {115, {76, 76, 4}, false},
                                           {170, {76, 76, 76}, false}}) {
        SCOPED_TRACE(c.cbInput);
        bool bTrailing = false;
        std::string str = Encode(Bytes(c.cbInput));
        EXPECT_EQ(LineLengths(str, bTrailing), c.lines);
        EXPECT_EQ(bTrailing, c.bTrailingCrLf);
    }
}

TEST(Base64DecodeEx, RoundTripsEveryLengthAroundTheLineBoundaries)
{
    for (size_t n : {1u, 2u, 3u, 55u, 56u, 57u, 58u, 59u, 113u, 114u, 115u, 1000u}) {
        SCOPED_TRACE(n);
        ByteBuffer vec = Bytes(n, 0x80);
        EXPECT_EQ(Decode(Encode(vec)), vec);
    }
}

TEST(Base64DecodeEx, SkipsEveryCharacterOutsideTheAlphabet)
{
    struct Case {
        std::string in;
        ByteBuffer want;
    };
    for (const Case& c : std::vector<Case>{{"QQ==", {0x41}},
                                           {"Q\r\nQ==\r\n", {0x41}},
                                           {" Q Q = = ", {0x41}},
                                           {"QQ", {0x41}},
                                           {"QUI", {0x41, 0x42}},
                                           {"Q", {}},
                                           {"QU*J!D", {0x41, 0x42, 0x43}},
                                           {"QQ==QUJD", {0x41, 0x04, 0x14, 0x24}},  // "=" is skipped, not an end
                                           {"====", {}},
                                           {std::string("QU\0JD", 5), {0x41, 0x42, 0x43}}}) {  // zero inside a group
        SCOPED_TRACE(c.in);
        EXPECT_EQ(Decode(c.in), c.want);
    }
}

TEST(Base64DecodeEx, ZeroWhereAGroupBeginsEndsTheText)
{
    const std::string str("QUJD\0QUJD", 9);
    EXPECT_EQ(Decode(str), (ByteBuffer{0x41, 0x42, 0x43}));
}

TEST(Base64DecodeEx, ReadsNoFurtherThanTheGivenLength)
{
    // The bytes behind the given length would decode to more output; they must not be looked at.
    const std::string str = "QUJDQUJD";
    EXPECT_EQ(Decode(str, 4), (ByteBuffer{0x41, 0x42, 0x43}));
    EXPECT_EQ(Decode(str, 2), (ByteBuffer{0x41}));
    // A buffer with no terminator at all: decoding stops at the length.
    const char achNoTerminator[4] = {'Q', 'U', 'J', 'D'};
    ByteBuffer vec;
    EXPECT_EQ(Base64DecodeEx(achNoTerminator, 4, vec), S_OK);
    EXPECT_EQ(vec, (ByteBuffer{0x41, 0x42, 0x43}));
}

TEST(Base64DecodeEx, NonPositiveLengthFailsAndLeavesTheOutput)
{
    for (int n : {0, -1, -100}) {
        SCOPED_TRACE(n);
        ByteBuffer vec = {0x11, 0x22};
        EXPECT_EQ(Base64DecodeEx("QUJD", n, vec), E_FAIL);
        EXPECT_EQ(vec, (ByteBuffer{0x11, 0x22}));
    }
}

TEST(TransformBase64EncodedDatatoHoldCRLFPer64Chars, WrapsAtSixtyFourWithoutTrailingBreak)
{
    struct Case {
        size_t cch;
        std::vector<size_t> lines;
    };
    for (const Case& c : std::vector<Case>{{0, {}}, {1, {1}}, {64, {64}}, {65, {64, 1}}, {128, {64, 64}},
                                           {130, {64, 64, 2}}}) {
        SCOPED_TRACE(c.cch);
        std::string strIn(c.cch, 'A');
        std::string str = "unset";
        ASSERT_EQ(TransformBase64EncodedDatatoHoldCRLFPer64Chars(strIn.data(), static_cast<DWORD>(strIn.size()), str),
                  S_OK);
        bool bTrailing = true;
        EXPECT_EQ(LineLengths(str, bTrailing), c.lines);
        EXPECT_FALSE(bTrailing);
        EXPECT_EQ(str.size(), c.cch + (c.lines.empty() ? 0 : 2 * (c.lines.size() - 1)));
    }
}

TEST(TransformBase64EncodedDatatoHoldCRLFPer64Chars, EncoderLinesAndStrayBreaksGiveTheSameText)
{
    const std::string strEncoded = Encode(Bytes(300));  // 76-character lines with CR LF
    std::string strFlat;
    for (char ch : strEncoded)
        if (ch != '\r' && ch != '\n') strFlat += ch;
    std::string strOdd = "\n";
    strOdd.append(strFlat, 0, 10);
    strOdd.append("\r\r\n");
    strOdd.append(strFlat, 10, std::string::npos);
    strOdd.append("\r\n");

    std::string strA, strB, strC;
    ASSERT_EQ(TransformBase64EncodedDatatoHoldCRLFPer64Chars(strEncoded.data(), static_cast<DWORD>(strEncoded.size()), strA),
              S_OK);
    ASSERT_EQ(TransformBase64EncodedDatatoHoldCRLFPer64Chars(strFlat.data(), static_cast<DWORD>(strFlat.size()), strB), S_OK);
    ASSERT_EQ(TransformBase64EncodedDatatoHoldCRLFPer64Chars(strOdd.data(), static_cast<DWORD>(strOdd.size()), strC), S_OK);
    EXPECT_EQ(strA, strB);
    EXPECT_EQ(strA, strC);
    EXPECT_EQ(strA.substr(0, 64), strFlat.substr(0, 64));
    EXPECT_EQ(strA.substr(64, 2), "\r\n");
    EXPECT_EQ(Decode(strA), Bytes(300));
}

TEST(ConvertBinaryDataToString, LowerCaseDigitsLastByteFirst)
{
    struct Case {
        ByteBuffer in;
        WString want;
    };
    for (const Case& c : std::vector<Case>{{{0x01, 0x02, 0x0A}, TEXT("0a0201")},
                                           {{}, TEXT("")},
                                           {{0xFF}, TEXT("ff")},
                                           {{0x00, 0xAB, 0xCD, 0xEF}, TEXT("efcdab00")}}) {
        WString wstr = TEXT("unset");
        ASSERT_EQ(ConvertBinaryDataToString(c.in.data(), static_cast<DWORD>(c.in.size()), wstr), S_OK);
        EXPECT_TRUE(wstr == c.want);
    }
}

TEST(ConvertStringToBinaryData, LastPairBecomesFirstByte)
{
    struct Case {
        const WCHAR* in;
        ByteBuffer want;
    };
    for (const Case& c : std::vector<Case>{{TEXT("0A0201"), {0x01, 0x02, 0x0A}},
                                           {TEXT("0a0201"), {0x01, 0x02, 0x0A}},
                                           {TEXT(""), {}},
                                           {TEXT("fF"), {0xFF}},
                                           {TEXT("efcdab00"), {0x00, 0xAB, 0xCD, 0xEF}}}) {
        ByteBuffer vec = {0x99};
        ASSERT_EQ(ConvertStringToBinaryData(c.in, vec), S_OK);
        EXPECT_EQ(vec, c.want);
    }
}

TEST(ConvertStringToBinaryData, RejectsOddLengthForeignCharactersAndAbsentText)
{
    for (const WCHAR* pwsz : {TEXT("0A0"), TEXT("0g"), TEXT("0A 1"), TEXT("-1"), TEXT("0x01"), (const WCHAR*)nullptr}) {
        ByteBuffer vec = {0x99};
        EXPECT_EQ(ConvertStringToBinaryData(pwsz, vec), E_INVALIDARG);
        EXPECT_EQ(vec, ByteBuffer{0x99});
    }
}

TEST(SplitStrings, StopsAtTheFirstEmptyItem)
{
    struct Case {
        const WCHAR* in;
        std::vector<WString> want;
    };
    for (const Case& c : std::vector<Case>{{TEXT("a||bb||ccc"), {TEXT("a"), TEXT("bb"), TEXT("ccc")}},
                                           {TEXT("a||||b"), {TEXT("a")}},
                                           {TEXT("||a"), {}},
                                           {TEXT(""), {}},
                                           {TEXT("a||"), {TEXT("a")}},
                                           {TEXT("a|b||c"), {TEXT("a|b"), TEXT("c")}},
                                           {TEXT("a|||b"), {TEXT("a"), TEXT("|b")}},
                                           {nullptr, {}}}) {
        std::vector<WString> items = {TEXT("kept")};
        SplitStrings(c.in, items);
        std::vector<WString> want = {TEXT("kept")};
        want.insert(want.end(), c.want.begin(), c.want.end());
        EXPECT_TRUE(items == want) << (c.in ? "case with input" : "null input");
    }
}

TEST(UTF16ToUTF8, ConvertsAndEmptyTextIsJustTheTerminator)
{
    struct Case {
        const WCHAR* in;
        std::string want;
    };
    const WCHAR wszChinese[] = {0x5BC6, 0x94A5, 0};                 // two CJK characters
    const WCHAR wszSurrogates[] = {0xD83D, 0xDE00, TEXT('x'), 0};  // U+1F600 then x
    for (const Case& c : std::vector<Case>{{TEXT(""), ""},
                                           {TEXT("RSA"), "RSA"},
                                           {wszChinese, "\xE5\xAF\x86\xE9\x92\xA5"},
                                           {wszSurrogates, "\xF0\x9F\x98\x80x"}}) {
        std::string str = "unset";
        ASSERT_EQ(UTF16ToUTF8(c.in, str), S_OK);
        EXPECT_EQ(str, c.want);
        EXPECT_EQ(str.c_str()[str.size()], '\0');
        WString wstrBack = TEXT("unset");
        ASSERT_EQ(UTF8ToUTF16(str.c_str(), wstrBack), S_OK);
        EXPECT_TRUE(wstrBack == WString(c.in));
    }
}

TEST(UTF16ToUTF8, AbsentInputIsEPointerAndLeavesTheOutput)
{
    std::string str = "kept";
    WString wstr = TEXT("kept");
    EXPECT_EQ(UTF16ToUTF8(nullptr, str), E_POINTER);
    EXPECT_EQ(UTF8ToUTF16(nullptr, wstr), E_POINTER);
    EXPECT_EQ(str, "kept");
    EXPECT_TRUE(wstr == WString(TEXT("kept")));
}

TEST(SwapByteOrder, ReversesExactlyTheGivenCount)
{
    struct Case {
        ByteBuffer in;
        DWORD cb;
        ByteBuffer want;
    };
    for (const Case& c : std::vector<Case>{{{1, 2, 3, 4}, 4, {4, 3, 2, 1}},
                                           {{1, 2, 3, 4, 5}, 5, {5, 4, 3, 2, 1}},
                                           {{1, 2, 3, 4}, 3, {3, 2, 1, 4}},
                                           {{1, 2}, 1, {1, 2}},
                                           {{1, 2}, 0, {1, 2}}}) {
        ByteBuffer vec = c.in;
        SwapByteOrder(vec.data(), c.cb);
        EXPECT_EQ(vec, c.want);
    }
}
