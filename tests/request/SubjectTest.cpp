// Subject DN text to DER Name: splitting, key lookup, string types, order, and the malformed texts.
#include "RequestTestSupport.h"

#include "ResultCode.h"
#include "request/PKCS10Request.h"

using reqtest::Concat;
using reqtest::Hex;
using reqtest::ToHex;

TEST(Subject, SplidWstrKeepsEmptyItemsAndGivesNothingForEmptyText)
{
    struct Case {
        const WCHAR* pwszText;
        std::vector<WString> want;
    };
    for (const Case& c : std::vector<Case>{
             {TEXT(""), {}},
             {TEXT("a"), {TEXT("a")}},
             {TEXT("a,b"), {TEXT("a"), TEXT("b")}},
             {TEXT("a,,b"), {TEXT("a"), TEXT(""), TEXT("b")}},
             {TEXT("a,"), {TEXT("a"), TEXT("")}},
             {TEXT(",a"), {TEXT(""), TEXT("a")}},
             {TEXT(","), {TEXT(""), TEXT("")}},
         }) {
        SCOPED_TRACE(reqtest::Narrow(c.pwszText));
        std::vector<WString> items = {TEXT("kept")};
        SplidWstr(c.pwszText, TEXT(','), items);
        std::vector<WString> want = {TEXT("kept")};
        want.insert(want.end(), c.want.begin(), c.want.end());
        EXPECT_EQ(items, want);
    }
}

TEST(Subject, KeysMapToTheirIdentifiersIgnoringCase)
{
    struct Case {
        const WCHAR* pwszKey;
        const char* want;
    };
    for (const Case& c : std::vector<Case>{
             {TEXT("CN"), "2.5.4.3"},
             {TEXT("cn"), "2.5.4.3"},
             {TEXT("SerialNumber"), "2.5.4.5"},
             {TEXT("C"), "2.5.4.6"},
             {TEXT("L"), "2.5.4.7"},
             {TEXT("S"), "2.5.4.8"},
             {TEXT("st"), "2.5.4.8"},
             {TEXT("STREET"), "2.5.4.9"},
             {TEXT("O"), "2.5.4.10"},
             {TEXT("OU"), "2.5.4.11"},
             {TEXT("BUSINESSCATEGORY"), "2.5.4.15"},
             {TEXT("postalcode"), "2.5.4.17"},
             {TEXT("E"), "1.2.840.113549.1.9.1"},
             {TEXT("email"), "1.2.840.113549.1.9.1"},
             {TEXT("jurisdictionOfIncorporationLocalityName"), "1.3.6.1.4.1.311.60.2.1.1"},
             {TEXT("jurisdictionOfIncorporationStateOrProvinceName"), "1.3.6.1.4.1.311.60.2.1.2"},
             {TEXT("JURISDICTIONOFINCORPORATIONCOUNTRYNAME"), "1.3.6.1.4.1.311.60.2.1.3"},
             {TEXT("T"), ""},
             {TEXT("CNN"), ""},
             {TEXT(""), ""},
         }) {
        SCOPED_TRACE(reqtest::Narrow(c.pwszKey));
        EXPECT_EQ(GetObjectID(c.pwszKey), c.want);
    }
}

TEST(Subject, ParseSubjectRemovesSpacesFromKeysOnly)
{
    SubjectPairs pairs;
    ASSERT_EQ(ParseSubject(TEXT(" C N= a b ,O =b"), pairs), QORA_OK);
    SubjectPairs want = {{"2.5.4.3", TEXT(" a b ")}, {"2.5.4.10", TEXT("b")}};
    EXPECT_EQ(pairs, want);
    EXPECT_EQ(ReplaceWchar(TEXT(" a  b "), TEXT(' ')), WString(TEXT("ab")));
}

TEST(Subject, ComposeSubjectEncodesComponentsInReverseOrder)
{
    // One RDN: SET { SEQUENCE { OID, value } }.
    auto Rdn = [](const char* pszOid, const char* pszValue) {
        ByteBuffer oid = Hex(pszOid);
        ByteBuffer value = Hex(pszValue);
        ByteBuffer seq = Concat({{0x30, static_cast<BYTE>(oid.size() + value.size())}, oid, value});
        return Concat({{0x31, static_cast<BYTE>(seq.size())}, seq});
    };
    auto Name = [](std::initializer_list<ByteBuffer> rdns) {
        ByteBuffer all = Concat(rdns);
        return Concat({{0x30, static_cast<BYTE>(all.size())}, all});
    };
    const char* kCN = "06 03 55 04 03";
    const char* kO = "06 03 55 04 0A";
    const char* kOU = "06 03 55 04 0B";
    const char* kC = "06 03 55 04 06";
    const char* kE = "06 09 2A 86 48 86 F7 0D 01 09 01";
    const char* kSN = "06 03 55 04 05";
    struct Case {
        const WCHAR* pwszSubject;
        ByteBuffer want;
    };
    for (const Case& c : std::vector<Case>{
             {TEXT("CN=test"), Hex("30 0F 31 0D 30 0B 06 03 55 04 03 0C 04 74 65 73 74")},
             {TEXT("C=CN"), Name({Rdn(kC, "13 02 43 4E")})},
             {TEXT("cn=test"), Name({Rdn(kCN, "0C 04 74 65 73 74")})},
             {TEXT("E=a@b.cn"), Name({Rdn(kE, "16 06 61 40 62 2E 63 6E")})},
             {TEXT("SERIALNUMBER=12"), Name({Rdn(kSN, "13 02 31 32")})},
             {TEXT("CN=a, O=b"), Name({Rdn(kO, "0C 01 62"), Rdn(kCN, "0C 01 61")})},
             {TEXT("CN= a"), Name({Rdn(kCN, "0C 02 20 61")})},
             {TEXT("CN=Alice,OU=Unit,O=Org,C=CN"),
              Name({Rdn(kC, "13 02 43 4E"), Rdn(kO, "0C 03 4F 72 67"), Rdn(kOU, "0C 04 55 6E 69 74"),
                    Rdn(kCN, "0C 05 41 6C 69 63 65")})},
             // Outside ASCII: UTF-8 in a UTF8String, and the same UTF-8 bytes inside a PrintableString.
             {TEXT("CN=\x5F20\x4E09"), Name({Rdn(kCN, "0C 06 E5 BC A0 E4 B8 89")})},
             {TEXT("C=\x4E2D"), Name({Rdn(kC, "13 03 E4 B8 AD")})},
         }) {
        SCOPED_TRACE(reqtest::Narrow(c.pwszSubject));
        ByteBuffer vec;
        ASSERT_EQ(ComposeSubject(c.pwszSubject, vec), QORA_OK);
        EXPECT_EQ(ToHex(vec), ToHex(c.want));
    }
}

TEST(Subject, MalformedOrUnknownSubjectsFail)
{
    struct Case {
        const WCHAR* pwszSubject;
        HRESULT want;  // 0: any failure of the platform encoder
    };
    for (const Case& c : std::vector<Case>{
             {TEXT("CN=a,,O=b"), NTE_BAD_DATA},
             {TEXT("CN=a,"), NTE_BAD_DATA},
             {TEXT("CN"), NTE_BAD_DATA},
             {TEXT("CN=a=b"), NTE_BAD_DATA},
             {TEXT("CN=a,O"), NTE_BAD_DATA},
             {TEXT("CN="), E_FAIL},
             {TEXT(""), E_FAIL},
             {TEXT("XX=a"), 0},
             {TEXT("CN=a,T=b"), 0},
         }) {
        SCOPED_TRACE(reqtest::Narrow(c.pwszSubject));
        ByteBuffer vec;
        HRESULT hResult = ComposeSubject(c.pwszSubject, vec);
        if (c.want != 0) {
            EXPECT_EQ(hResult, c.want);
        } else {
            EXPECT_TRUE(FAILED(hResult)) << std::hex << hResult;
            EXPECT_NE(hResult, NTE_BAD_DATA);
        }
        EXPECT_TRUE(vec.empty());
    }
}
