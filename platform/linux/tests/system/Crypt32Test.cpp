// platform/linux/tests/system/Crypt32Test.cpp — crypt32 of the native build gives the platform's answers:
// names written as the Windows build writes them under Wine (every expected text below was measured there for
// the same bytes), certificates cut short or followed by more bytes, the structures the shared units encode
// and decode, and the system stores as the NSS database holds them, trust included.
#include <windows.h>
#include <wincrypt.h>

#include "SystemStores.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using WText = std::u16string;

Bytes FromHex(const char* psz)
{
    Bytes vec;
    for (size_t i = 0; psz[i] != 0 && psz[i + 1] != 0; i += 2) vec.push_back(static_cast<BYTE>(std::stoi(std::string(psz + i, 2), nullptr, 16)));
    return vec;
}

std::string ToHex(const BYTE* pb, size_t cb)
{
    std::string str;
    char sz[3];
    for (size_t i = 0; i < cb; ++i) {
        snprintf(sz, sizeof(sz), "%02X", pb[i]);
        str += sz;
    }
    return str;
}

Bytes Tlv(BYTE bTag, const Bytes& vecContents)
{
    Bytes vec{bTag};
    const size_t cb = vecContents.size();
    if (cb < 0x80) {
        vec.push_back(static_cast<BYTE>(cb));
    } else if (cb < 0x100) {
        vec.insert(vec.end(), {0x81, static_cast<BYTE>(cb)});
    } else {
        vec.insert(vec.end(), {0x82, static_cast<BYTE>(cb >> 8), static_cast<BYTE>(cb)});
    }
    vec.insert(vec.end(), vecContents.begin(), vecContents.end());
    return vec;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes vec;
    for (const Bytes& part : parts) vec.insert(vec.end(), part.begin(), part.end());
    return vec;
}

const char kAlgorithm[] = "300D06092A864886F70D01010B0500";
const char kValidity[] = "301E170D3236313230373233333530325A170D3237303130363233333530325A";
const char kPublicKey[] =
    "30819F300D06092A864886F70D010101050003818D0030818902818100BBE0372FFD8BBFCBBEEDA715F4E5A97E459C9CFA3B9D966D811BDBDA"
    "DCEAE512DA0D5829374DA4DC020F95D2CA2980FC85179DC98B1643C8B43CE7A3AE420BC0E5393701B3C3A2D4B9234151283B95D1187CE14C3E"
    "48CB8CE52B5D9974A64F859D428FD2B5A69F57D934C5329E536EA0E8DEFFC407594FDE297F2BF3550406050203010001";

// A version 3 certificate of that subject, issued by itself, serial number as given; the signature is not
// checked by anything here.
Bytes Certificate(const Bytes& vecSubject, const Bytes& vecSerial = {0x01}, const Bytes& vecPublicKey = FromHex(kPublicKey))
{
    const Bytes vecTbs = Tlv(0x30, Concat({FromHex("A003020102"), Tlv(0x02, vecSerial), FromHex(kAlgorithm), vecSubject,
                                          FromHex(kValidity), vecSubject, vecPublicKey}));
    return Tlv(0x30, Concat({vecTbs, FromHex(kAlgorithm), Tlv(0x03, Concat({{0x00}, Bytes(32, 0x11)}))}));
}

struct ContextFree {
    void operator()(PCCERT_CONTEXT p) const { CertFreeCertificateContext(p); }
};
using Context = std::unique_ptr<const CERT_CONTEXT, ContextFree>;
struct StoreClose {
    void operator()(void* h) const { CertCloseStore(h, 0); }
};
using Store = std::unique_ptr<void, StoreClose>;

Context Create(const Bytes& vec) { return Context(CertCreateCertificateContext(X509_ASN_ENCODING, vec.data(), static_cast<DWORD>(vec.size()))); }

WText NameText(const Bytes& vecName, DWORD dwStrType)
{
    CERT_NAME_BLOB blob = {static_cast<DWORD>(vecName.size()), const_cast<BYTE*>(vecName.data())};
    const DWORD cch = CertNameToStrW(X509_ASN_ENCODING, &blob, dwStrType, nullptr, 0);
    std::vector<WCHAR> vec(cch + 4, u'?');
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &blob, dwStrType, vec.data(), cch), cch);
    return WText(vec.data());
}

struct NameCase {
    const char* pszName;
    const char16_t* pwszX500;
    const char16_t* pwszIssuerStyle;  // reversed, with the no-quoting flag the platform ignores
    const char16_t* pwszSimple;
};

const NameCase kNames[] = {
    {"3038310B300906035504061302434E31193017060355040A0C104272696E646C656D61726B2044656D6F310E300C06035504030C05416C696365",
     u"C=CN, O=Brindlemark Demo, CN=Alice", u"CN=Alice, O=Brindlemark Demo, C=CN", u"CN, Brindlemark Demo, Alice"},
    {"306E310B300906035504061302434E310F300D06035504080C06E58C97E4BAAC310F300D06035504070C06E6B5B7E6B78031153013060355040A0C0CE6B58BE8AF95E993B6E8A18C31153013060355040B0C0CE4B8AAE4BABAE5AEA2E688B7310F300D06035504030C06E5BCA0E4B889",
     u"C=CN, S=\u5317\u4EAC, L=\u6D77\u6DC0, O=\u6D4B\u8BD5\u94F6\u884C, OU=\u4E2A\u4EBA\u5BA2\u6237, CN=\"\u5F20\u4E09\"", u"CN=\"\u5F20\u4E09\", OU=\u4E2A\u4EBA\u5BA2\u6237, O=\u6D4B\u8BD5\u94F6\u884C, L=\u6D77\u6DC0, S=\u5317\u4EAC, C=CN", u"CN, \u5317\u4EAC, \u6D77\u6DC0, \u6D4B\u8BD5\u94F6\u884C, \u4E2A\u4EBA\u5BA2\u6237, \"\u5F20\u4E09\""},
    {"3039310B300906035504061302434E310D300B060355040A0C0442616E6B311B300A06035504030C03426F62300D06035504051306313233343536",
     u"C=CN, O=Bank, CN=Bob + SERIALNUMBER=123456", u"CN=Bob + SERIALNUMBER=123456, O=Bank, C=CN", u"CN, Bank, Bob + 123456"},
    {"30293114301206035504030C0B536D6974682C204A6F686E3111300F060355040A0C08412B422C20496E63",
     u"CN=\"Smith, John\", O=\"A+B, Inc\"", u"O=\"A+B, Inc\", CN=\"Smith, John\"", u"\"Smith, John\", \"A+B, Inc\""},
    {"30433111300F06035504030C08736179202268692231193017060355040B0C10206C65616420616E6420747261696C2031133011060355040A0C0A73656D693B636F6C6F6E",
     u"CN=\"say \"\"hi\"\"\", OU=\" lead and trail \", O=\"semi;colon\"", u"O=\"semi;colon\", OU=\" lead and trail \", CN=\"say \"\"hi\"\"\"", u"\"say \"\"hi\"\"\", \" lead and trail \", \"semi;colon\""},
    {"3036310E300C06035504030C052368617368310F300D060355040B0C0665713D75616C31133011060355040A0C0A6C6573733C6D6F72653E",
     u"CN=\"#hash\", OU=\"eq=ual\", O=\"less<more>\"", u"O=\"less<more>\", OU=\"eq=ual\", CN=\"#hash\"", u"\"#hash\", \"eq=ual\", \"less<more>\""},
    {"30293113301106035504030C0A6C696E650A627265616B31123010060355040A0C09706C75732B7369676E",
     u"CN=\"line\012break\", O=\"plus+sign\"", u"O=\"plus+sign\", CN=\"line\012break\"", u"\"line\012break\", \"plus+sign\""},
    {"30383120301E06092A864886F70D0109011611616C696365406578616D706C652E636F6D3114301206035504030C0B4D61696C20506572736F6E",
     u"E=alice@example.com, CN=Mail Person", u"CN=Mail Person, E=alice@example.com", u"alice@example.com, Mail Person"},
    {"302131123010060355040B0C094F6E6C7920556E6974310B300906035504061302434E",
     u"OU=\"Only Unit\", C=CN", u"C=CN, OU=\"Only Unit\"", u"\"Only Unit\", CN"},
    {"305531133011060A0992268993F22C6401191603636F6D31173015060A0992268993F22C64011916076578616D706C6531143012060A0992268993F22C6401010C046A646F65310F300D06035504030C06446F6D61696E",
     u"DC=com, DC=example, 0.9.2342.19200300.100.1.1=jdoe, CN=Domain", u"CN=Domain, 0.9.2342.19200300.100.1.1=jdoe, DC=example, DC=com", u"com, example, jdoe, Domain"},
    {"308187310B300906035504061302434E310E300C06035504080C055374617465310D300B06035504070C04436974793112301006035504090C0931204D61696E205374310B3009060355040C0C024472310E300C060355042A0C05476976656E310C300A06035504040C03537572310B3009060355042B0C024753310D300B06035504030C0446756C6C",
     u"C=CN, S=State, L=City, STREET=1 Main St, T=Dr, G=Given, SN=Sur, I=GS, CN=Full", u"CN=Full, I=GS, SN=Sur, G=Given, T=Dr, STREET=1 Main St, L=City, S=State, C=CN", u"CN, State, City, 1 Main St, Dr, Given, Sur, GS, Full"},
    {"3031310E300C060355040B0C054669727374310F300D060355040B0C065365636F6E64310E300C06035504030C055477696365",
     u"OU=First, OU=Second, CN=Twice", u"CN=Twice, OU=Second, OU=First", u"First, Second, Twice"},
    {"3020311E300806035504030C0178300806035504030C01793008060355040A0C017A",
     u"CN=x + CN=y + O=z", u"CN=x + CN=y + O=z", u"x + y + z"},
    {"303B310D300B060355040D0C0464657363310F300D06035504110C06313030303030310A3008060355042E130171310D300B06035504030C044D6F7265",
     u"Description=desc, PostalCode=100000, dnQualifier=q, CN=More", u"CN=More, dnQualifier=q, PostalCode=100000, Description=desc", u"desc, 100000, q, More"},
    {"302B3113301106035504030C0AF09F998220656D6F6A6931143012060355040A0C0BC39C6EC3AF63C3B664C3A9",
     u"CN=\U0001F642 emoji, O=\u00DCn\u00EFc\u00F6d\u00E9", u"O=\u00DCn\u00EFc\u00F6d\u00E9, CN=\U0001F642 emoji", u"\U0001F642 emoji, \u00DCn\u00EFc\u00F6d\u00E9"},
    {"300C310A300806035504030C0120",
     u"CN=\" \"", u"CN=\" \"", u"\" \""},
    {"3000",
     u"", u"", u""},
    {"300E310C300A06035504030C03E5BCA0",
     u"CN=\"\u5F20\"", u"CN=\"\u5F20\"", u"\"\u5F20\""},
    {"300F310D300B06035504030C0461E5BCA0",
     u"CN=a\u5F20", u"CN=a\u5F20", u"a\u5F20"},
    {"3010310E300C06035504030C0561E5BCA061",
     u"CN=\"a\u5F20a\"", u"CN=\"a\u5F20a\"", u"\"a\u5F20a\""},
    {"300D310B300906035504030C02C4A0",
     u"CN=\"\u0120\"", u"CN=\"\u0120\"", u"\"\u0120\""},
    {"300F310D300B06035504030C0461C4A262",
     u"CN=a\u0122b", u"CN=a\u0122b", u"a\u0122b"},
    {"300E310C300A06035504030C03612362",
     u"CN=\"a#b\"", u"CN=\"a#b\"", u"\"a#b\""},
    {"300E310C300A06035504030C03613B62",
     u"CN=\"a;b\"", u"CN=\"a;b\"", u"\"a;b\""},
    {"3010310E300C06035504030C05096C656164",
     u"CN=\"\011lead\"", u"CN=\"\011lead\"", u"\"\011lead\""},
    {"3011310F300D06035504030C06747261696C09",
     u"CN=trail\011", u"CN=trail\011", u"trail\011"},
    {"300E310C300A06035504030C03615C62",
     u"CN=a\\b", u"CN=a\\b", u"a\\b"},
    {"300E310C300A06035504030C03612062",
     u"CN=\"a b\"", u"CN=\"a b\"", u"\"a b\""},
    {"300E310C300A06035504030C03612262",
     u"CN=\"a\"\"b\"", u"CN=\"a\"\"b\"", u"\"a\"\"b\""},
    {"300E310C300A06035504030C03613C62",
     u"CN=\"a<b\"", u"CN=\"a<b\"", u"\"a<b\""},
    {"300E310C300A06035504030C03612B62",
     u"CN=\"a+b\"", u"CN=\"a+b\"", u"\"a+b\""},
    {"300F310D300B06035504030C04E3808078",
     u"CN=\u3000x", u"CN=\u3000x", u"\u3000x"},
    {"300E310C300A06035504030C03C2A078",
     u"CN=\u00A0x", u"CN=\u00A0x", u"\u00A0x"},
    {"300F310D300B06035504030C04E2808378",
     u"CN=\"\u2003x\"", u"CN=\"\u2003x\"", u"\"\u2003x\""},
    {"3010310E300C060355040313055072696E74",
     u"CN=Print", u"CN=Print", u"Print"},
    {"300F310D300B06035504031404636166E9",
     u"CN=caf\u00E9", u"CN=caf\u00E9", u"caf\u00E9"},
    {"300F310D300B06035504031E045F200078",
     u"CN=\"\u5F20x\"", u"CN=\"\u5F20x\"", u"\"\u5F20x\""},
    {"300D310B30090603550403040201AB",
     u"CN=", u"CN=", u""},
    {"300E310C300A06035504030C0361FF62",
     u"CN=a\uFFFDb", u"CN=a\uFFFDb", u"a\uFFFDb"},
    {"300E310C300A06035504031E03006100",
     u"CN=a", u"CN=a", u"a"},
    {"300C310A300806035504050C0176",
     u"SERIALNUMBER=v", u"SERIALNUMBER=v", u"v"},
    {"300C310A300806035504120C0176",
     u"POBox=v", u"POBox=v", u"v"},
    {"300C310A300806035504140C0176",
     u"Phone=v", u"Phone=v", u"v"},
    {"300C310A300806035504180C0176",
     u"X21Address=v", u"X21Address=v", u"v"},
    {"300C310A3008060355042C0C0176",
     u"2.5.4.44=v", u"2.5.4.44=v", u"v"},
    {"30123110300E06092A864886F70D0109020C0176",
     u"1.2.840.113549.1.9.2=v", u"1.2.840.113549.1.9.2=v", u"v"},
    {"300C310A300806032A03040C0176",
     u"1.2.3.4=v", u"1.2.3.4=v", u"v"},
    {"300C310A300806035504110C0176",
     u"PostalCode=v", u"PostalCode=v", u"v"},
    {"300C310A3008060355040D0C0176",
     u"Description=v", u"Description=v", u"v"},
    {"30133111300F060A0992268993F22C6401190C0176",
     u"DC=v", u"DC=v", u"v"},
    {"30123110300E06092A864886F70D0109010C0176",
     u"E=v", u"E=v", u"v"},
    {"300C310A3008060355042E0C0176",
     u"dnQualifier=v", u"dnQualifier=v", u"v"},
    {"30023100",
     u"", u"", u""},
    {"3000",
     u"", u"", u""},
    {"300C310A300806035504030C017800",
     u"CN=x", u"CN=x", u"x"},
    {"300E310C300A06035504030C03612062",
     u"CN=\"a b\"", u"CN=\"a b\"", u"\"a b\""},
    {"300F310D300B06035504030C0461622063",
     u"CN=ab c", u"CN=ab c", u"ab c"},
    {"30143112301006035504030C094F6E6C7920556E6974",
     u"CN=\"Only Unit\"", u"CN=\"Only Unit\"", u"\"Only Unit\""},
    {"30163114301206035504030C0B4D61696C20506572736F6E",
     u"CN=Mail Person", u"CN=Mail Person", u"Mail Person"},
    {"301B3119301706035504030C104272696E646C656D61726B2044656D6F",
     u"CN=Brindlemark Demo", u"CN=Brindlemark Demo", u"Brindlemark Demo"},
    {"3010310E300C06035504030C056162206364",
     u"CN=\"ab cd\"", u"CN=\"ab cd\"", u"\"ab cd\""},
    {"3010310E300C06035504030C056120622063",
     u"CN=a b c", u"CN=a b c", u"a b c"},
    {"300E310C300A06035504030C03616220",
     u"CN=ab ", u"CN=ab ", u"ab "},
    {"300E310C300A06035504030C03206162",
     u"CN=\" ab\"", u"CN=\" ab\"", u"\" ab\""},
    {"300E310C300A06035504030C03E2808B",
     u"CN=\"\u200B\"", u"CN=\"\u200B\"", u"\"\u200B\""},
    {"300D310B300906035504030C022020",
     u"CN=\"  \"", u"CN=\"  \"", u"\"  \""},
    {"300E310C300A06035504031303612062",
     u"CN=a b", u"CN=a b", u"a b"},
    {"300F310D300B0603550403130461206263",
     u"CN=a bc", u"CN=a bc", u"a bc"},
    {"3014311230100603550403130931204D61696E205374",
     u"CN=1 Main St", u"CN=1 Main St", u"1 Main St"},
    {"301B31193017060355040313104272696E646C656D61726B2044656D6F",
     u"CN=Brindlemark Demo", u"CN=Brindlemark Demo", u"Brindlemark Demo"},
    {"300D310B3009060355040313026162",
     u"CN=ab", u"CN=ab", u"ab"},
    {"3010310E300C06035504030C05610D626364",
     u"CN=a\015bcd", u"CN=a\015bcd", u"a\015bcd"},
    {"3010310E300C06035504030C05610A626364",
     u"CN=\"a\012bcd\"", u"CN=\"a\012bcd\"", u"\"a\012bcd\""},
    {"300E310C300A06035504031303206162",
     u"CN=\" ab\"", u"CN=\" ab\"", u"\" ab\""},
    {"300E310C300A06035504031303616220",
     u"CN=\"ab \"", u"CN=\"ab \"", u"\"ab \""},
    {"300E310C300A06035504031303612C62",
     u"CN=\"a,b\"", u"CN=\"a,b\"", u"\"a,b\""},
    {"300E310C300A06035504031303096162",
     u"CN=\"\011ab\"", u"CN=\"\011ab\"", u"\"\011ab\""},
    {"300E310C300A06035504031303616209",
     u"CN=\"ab\011\"", u"CN=\"ab\011\"", u"\"ab\011\""},
    {"300E310C300A06035504031303612062",
     u"CN=a b", u"CN=a b", u"a b"},
    {"3010310E300C06035504031305610D626364",
     u"CN=a\015bcd", u"CN=a\015bcd", u"a\015bcd"},
    {"3011310F300D06035504031E06006100200062",
     u"CN=\"a b\"", u"CN=\"a b\"", u"\"a b\""},
    {"3011310F300D06035504031E06006100620020",
     u"CN=ab ", u"CN=ab ", u"ab "},
};

TEST(Crypt32Names, TextsEqualThePlatformsForTheSameBytes)
{
    for (const NameCase& c : kNames) {
        SCOPED_TRACE(c.pszName);
        const Bytes vec = FromHex(c.pszName);
        EXPECT_EQ(NameText(vec, CERT_X500_NAME_STR), WText(c.pwszX500));
        EXPECT_EQ(NameText(vec, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG),
                  WText(c.pwszIssuerStyle));
        EXPECT_EQ(NameText(vec, CERT_SIMPLE_NAME_STR), WText(c.pwszSimple));
    }
}

TEST(Crypt32Names, NamesThatDoNotDecodeGiveTheEmptyTextAndTheDecodersCode)
{
    const struct {
        const char* pszName;
        HRESULT hr;
    } kCases[] = {{"300C310A30080603550403", CRYPT_E_ASN1_EOD},
                  {"310A300806035504030C0178", CRYPT_E_ASN1_BADTAG},
                  {"300C300A300806035504030C0178", CRYPT_E_ASN1_BADTAG},
                  {"300C310A30080603550403020105", CRYPT_E_ASN1_BADTAG},
                  {"30133111300F06035504031C080000004100000062", CRYPT_E_ASN1_BADTAG},
                  {"30820007310530030601", CRYPT_E_ASN1_CORRUPT}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszName);
        const Bytes vec = FromHex(c.pszName);
        CERT_NAME_BLOB blob = {static_cast<DWORD>(vec.size()), const_cast<BYTE*>(vec.data())};
        WCHAR wsz[8] = {u'x', u'x'};
        SetLastError(0);
        EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, wsz, 8), 1u);
        EXPECT_EQ(wsz[0], 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.hr));
    }
}

TEST(Crypt32Names, DisplayNameTakesTheFirstOfCommonNameUnitOrganisationEmail)
{
    const struct {
        const char* pszSubject;
        const char16_t* pwszDisplay;
    } kCases[] = {{"301D310C300A060355040A0C034F7267310D300B060355040B0C04556E6974", u"Unit"},
                  {"301D310D300B060355040B0C04556E6974310C300A060355040A0C034F7267", u"Unit"},
                  {"30223112301006092A864886F70D0109011603654078310C300A060355040A0C034F7267", u"Org"},
                  {"3021310E300C06035504030C054669727374310F300D06035504030C065365636F6E64", u"First"},
                  {"3018310B300906035504061302434E3109300706035504030C00", u""},
                  {"300E310C300A06035504030C03612062", u"a b"},
                  {"3010310E300C060355040313055072696E74", u"Print"},
                  {"300D310B3009060355040304020102", u""},
                  {"300E310C300A06035504051303313233", u""},
                  {"3020311E300806035504030C0178300806035504030C01793008060355040A0C017A", u"x"},
                  {"302E311F301D06092A864886F70D01090116106F6E6C79406578616D706C652E636F6D310B300906035504061302434E",
                   u"only@example.com"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszSubject);
        Context pCert = Create(Certificate(FromHex(c.pszSubject)));
        ASSERT_TRUE(pCert);
        WCHAR wsz[64] = {};
        const DWORD cch = CertGetNameStringW(pCert.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, wsz, 64);
        EXPECT_EQ(WText(wsz), WText(c.pwszDisplay));
        EXPECT_EQ(cch, WText(c.pwszDisplay).size() + 1);
        EXPECT_EQ(CertGetNameStringW(pCert.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0), cch);
    }
    // A short buffer gets what fits, terminated.
    Context pCert = Create(Certificate(FromHex("301D310C300A060355040A0C034F7267310D300B060355040B0C04556E6974")));
    WCHAR wsz[3] = {u'x', u'x', u'x'};
    EXPECT_EQ(CertGetNameStringW(pCert.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, wsz, 3), 3u);
    EXPECT_EQ(WText(wsz), u"Un");
}

// The certificate the cut and trailing cases were measured with.
const char kMeasuredCertificate[] =
    "3082014D30820117A003020102020101300D06092A864886F70D01010B0500301D310C300A060355040A0C034F7267310D300B060355040B0C04"
    "556E6974301E170D3236313230373233333530325A170D3237303130363233333530325A301D310C300A060355040A0C034F7267310D300B0603"
    "55040B0C04556E697430819F300D06092A864886F70D010101050003818D0030818902818100BBE0372FFD8BBFCBBEEDA715F4E5A97E459C9C"
    "FA3B9D966D811BDBDADCEAE512DA0D5829374DA4DC020F95D2CA2980FC85179DC98B1643C8B43CE7A3AE420BC0E5393701B3C3A2D4B923415128"
    "3B95D1187CE14C3E48CB8CE52B5D9974A64F859D428FD2B5A69F57D934C5329E536EA0E8DEFFC407594FDE297F2BF3550406050203010001300D"
    "06092A864886F70D01010B05000321001111111111111111111111111111111111111111111111111111111111111111";

TEST(Crypt32Certificates, CutOrLongerEncodingsGiveThePlatformsCodes)
{
    const Bytes vecFull = FromHex(kMeasuredCertificate);
    ASSERT_EQ(vecFull.size(), 337u);
    struct Case {
        const char* pszLabel;
        Bytes vec;
        HRESULT hr;  // S_OK: decodes
    };
    auto Cut = [&](size_t cb) { return Bytes(vecFull.begin(), vecFull.begin() + static_cast<long>(cb)); };
    Bytes vecOuterSet = vecFull, vecTbsSet = vecFull, vecLongLength = vecFull;
    vecOuterSet[0] = 0x31;
    vecTbsSet[4] = 0x31;
    vecLongLength[1] = 0x83;
    const Case kCases[] = {{"whole", vecFull, S_OK},
                           {"one byte more", Concat({vecFull, {0x00}}), S_OK},
                           {"an element more", Concat({vecFull, {0x30, 0x00}}), S_OK},
                           {"signature short by one", Cut(336), CRYPT_E_ASN1_CORRUPT},
                           {"signature short by two", Cut(335), CRYPT_E_ASN1_CORRUPT},
                           {"inside the signature algorithm", Cut(297), CRYPT_E_ASN1_EOD},
                           {"half", Cut(168), CRYPT_E_ASN1_EOD},
                           {"inside the version", Cut(10), CRYPT_E_ASN1_EOD},
                           {"outer header only", Cut(4), CRYPT_E_ASN1_CORRUPT},
                           {"length cut", Cut(2), CRYPT_E_ASN1_CORRUPT},
                           {"tag only", Cut(1), CRYPT_E_ASN1_CORRUPT},
                           {"nothing", Bytes(), CRYPT_E_ASN1_EOD},
                           {"outer set", vecOuterSet, CRYPT_E_ASN1_BADTAG},
                           {"to-be-signed set", vecTbsSet, CRYPT_E_ASN1_BADTAG},
                           {"length past the end", vecLongLength, CRYPT_E_ASN1_EOD}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszLabel);
        SetLastError(0);
        Context pCert = Create(c.vec);
        EXPECT_EQ(pCert != nullptr, c.hr == S_OK);
        if (c.hr != S_OK) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.hr));
        }
    }
}

TEST(Crypt32Certificates, FieldsAreThePlatformsAndPointIntoTheContext)
{
    const struct {
        const char* pszSerial;
        const char* pszLittleEndian;
    } kSerials[] = {{"01", "01"}, {"FF01", "01FF"}, {"0080", "8000"}, {"00C12345", "4523C100"}};
    for (const auto& s : kSerials) {
        SCOPED_TRACE(s.pszSerial);
        const Bytes vec = Certificate(FromHex("300E310C300A06035504030C034E6567"), FromHex(s.pszSerial));
        Context pCert = Create(vec);
        ASSERT_TRUE(pCert);
        const CERT_INFO& info = *pCert->pCertInfo;
        EXPECT_EQ(ToHex(info.SerialNumber.pbData, info.SerialNumber.cbData), s.pszLittleEndian);
        EXPECT_EQ(info.dwVersion, 2u);
        EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, szOID_RSA_SHA256RSA);
        EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, szOID_RSA_RSA);
        EXPECT_EQ(info.SubjectPublicKeyInfo.Algorithm.Parameters.cbData, 2u);
        EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.cbData, 140u);
        // Measured for this validity: 2026-12-07 23:35:02 to 2027-01-06 23:35:02 UTC.
        EXPECT_EQ(info.NotBefore.dwHighDateTime, 0x01DD86A3u);
        EXPECT_EQ(info.NotBefore.dwLowDateTime, 0x947D1700u);
        EXPECT_EQ(info.NotAfter.dwHighDateTime, 0x01DD9E36u);
        EXPECT_EQ(info.NotAfter.dwLowDateTime, 0x8CE19700u);
        EXPECT_EQ(ToHex(info.Subject.pbData, info.Subject.cbData), "300E310C300A06035504030C034E6567");
        EXPECT_EQ(ToHex(pCert->pbCertEncoded, pCert->cbCertEncoded), ToHex(vec.data(), vec.size()));
        FILETIME ftInside = {0x947D1700u + 1, 0x01DD86A3u}, ftBefore = {0x947D1700u - 1, 0x01DD86A3u},
                 ftAfter = {0x8CE19700u + 1, 0x01DD9E36u};
        EXPECT_EQ(CertVerifyTimeValidity(&ftInside, pCert->pCertInfo), 0);
        EXPECT_EQ(CertVerifyTimeValidity(&ftBefore, pCert->pCertInfo), -1);
        EXPECT_EQ(CertVerifyTimeValidity(&ftAfter, pCert->pCertInfo), 1);
    }
}

Bytes ReadFile(const std::string& strPath)
{
    Bytes vec;
    FILE* pFile = fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) return vec;
    int c = 0;
    while ((c = fgetc(pFile)) != EOF) vec.push_back(static_cast<BYTE>(c));
    fclose(pFile);
    return vec;
}

TEST(Crypt32Certificates, TheDemoCasCertificatesReadAsUnderWine)
{
    // The committed issuers, beside this file in the source tree; texts and serials measured under Wine.
    std::string strSource(__FILE__);
    strSource.erase(strSource.rfind("/platform/linux/"));
    const struct {
        const char* pszFile;
        const char16_t* pwszIssuerStyle;
        const char16_t* pwszDisplay;
        const char* pszSerial;
        const char* pszSignature;
    } kCases[] = {{"rsa-ca.der", u"CN=Brindlemark Demo RSA Issuing CA, O=Brindlemark Demo CA, C=CN",
                   u"Brindlemark Demo RSA Issuing CA", "3E7B2FAD9FB91169A0A929521FC1C23D", szOID_RSA_SHA256RSA},
                  {"rsa-root.der", u"CN=Brindlemark Demo RSA Root CA, O=Brindlemark Demo CA, C=CN",
                   u"Brindlemark Demo RSA Root CA", "52216921F0485B6CD0FEC2DAC39BD765", szOID_RSA_SHA256RSA},
                  {"sm2-ca.der", u"CN=Brindlemark Demo SM2 Issuing CA, O=Brindlemark Demo CA, C=CN",
                   u"Brindlemark Demo SM2 Issuing CA", "996CF3FC9B664FC9E184D25874CB1426", "1.2.156.10197.1.501"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszFile);
        Context pCert = Create(ReadFile(strSource + "/resources/democa-ca/" + c.pszFile));
        ASSERT_TRUE(pCert);
        const CERT_INFO& info = *pCert->pCertInfo;
        EXPECT_EQ(NameText(Bytes(info.Subject.pbData, info.Subject.pbData + info.Subject.cbData),
                           CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG),
                  WText(c.pwszIssuerStyle));
        WCHAR wsz[64] = {};
        CertGetNameStringW(pCert.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, wsz, 64);
        EXPECT_EQ(WText(wsz), WText(c.pwszDisplay));
        EXPECT_EQ(ToHex(info.SerialNumber.pbData, info.SerialNumber.cbData), c.pszSerial);
        EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, c.pszSignature);
        EXPECT_EQ(info.cExtension, 4u);
    }
}

TEST(Crypt32Certificates, ExtensionsAreFoundAndDecoded)
{
    // Key usage digitalSignature | keyEncipherment (critical), subject key identifier 01 02 03.
    const Bytes vecExtensions = Tlv(0xA3, Tlv(0x30, Concat({FromHex("300E0603551D0F0101FF0404030205A0"),
                                                            FromHex("300E0603551D0E04070405010203AABB")})));
    Bytes vec = Certificate(FromHex("300E310C300A06035504030C034E6567"));
    // Put the extensions at the end of the to-be-signed part.
    Bytes vecTbs = Tlv(0x30, Concat({FromHex("A003020102020101"), FromHex(kAlgorithm), FromHex("300E310C300A06035504030C034E6567"),
                                     FromHex(kValidity), FromHex("300E310C300A06035504030C034E6567"), FromHex(kPublicKey),
                                     vecExtensions}));
    vec = Tlv(0x30, Concat({vecTbs, FromHex(kAlgorithm), Tlv(0x03, {0x00, 0x11})}));
    Context pCert = Create(vec);
    ASSERT_TRUE(pCert);
    const CERT_INFO& info = *pCert->pCertInfo;
    ASSERT_EQ(info.cExtension, 2u);
    PCERT_EXTENSION pUsage = CertFindExtension(szOID_KEY_USAGE, info.cExtension, info.rgExtension);
    ASSERT_NE(pUsage, nullptr);
    EXPECT_TRUE(pUsage->fCritical);
    DWORD cb = 0;
    ASSERT_TRUE(CryptDecodeObjectEx(X509_ASN_ENCODING, X509_KEY_USAGE, pUsage->Value.pbData, pUsage->Value.cbData, 0,
                                    nullptr, nullptr, &cb));
    EXPECT_EQ(cb, sizeof(CRYPT_BIT_BLOB) + 1);
    std::vector<BYTE> vecDecoded(cb);
    ASSERT_TRUE(CryptDecodeObjectEx(X509_ASN_ENCODING, X509_KEY_USAGE, pUsage->Value.pbData, pUsage->Value.cbData, 0,
                                    nullptr, vecDecoded.data(), &cb));
    const auto* pBits = reinterpret_cast<const CRYPT_BIT_BLOB*>(vecDecoded.data());
    EXPECT_EQ(pBits->cbData, 1u);
    EXPECT_EQ(pBits->cUnusedBits, 5u);
    EXPECT_EQ(pBits->pbData[0], 0xA0);
    PCERT_EXTENSION pKeyId = CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, info.cExtension, info.rgExtension);
    ASSERT_NE(pKeyId, nullptr);
    EXPECT_FALSE(pKeyId->fCritical);
    EXPECT_EQ(CertFindExtension("2.5.29.19", info.cExtension, info.rgExtension), nullptr);
}

TEST(Crypt32Encoding, DecodedStructuresMatchThePlatformsSizesAndCodes)
{
    const struct {
        LPCSTR pszType;
        const char* pszEncoded;
        HRESULT hr;
        DWORD cbStructure;
        const char* pszData;  // the blob's bytes, or the whole structure for a key blob
    } kCases[] = {{X509_KEY_USAGE, "0303078080", S_OK, sizeof(CRYPT_BIT_BLOB) + 2, "8080"},
                  {X509_OCTET_STRING, "0403010203", S_OK, sizeof(CRYPT_DATA_BLOB) + 3, "010203"},
                  {X509_OCTET_STRING, "0405010203", CRYPT_E_ASN1_EOD, 0, ""},
                  {X509_OCTET_STRING, "030205A0", CRYPT_E_ASN1_BADTAG, 0, ""},
                  {X509_KEY_USAGE, "03020805", CRYPT_E_ASN1_CORRUPT, 0, ""},
                  {RSA_CSP_PUBLICKEYBLOB, "300A020300C1230203010001", S_OK, 22,
                   "0602000000A4000052534131100000000100010023C1"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszEncoded);
        const Bytes vec = FromHex(c.pszEncoded);
        DWORD cb = 0;
        SetLastError(0);
        const BOOL bSized = CryptDecodeObjectEx(X509_ASN_ENCODING, c.pszType, vec.data(), static_cast<DWORD>(vec.size()), 0,
                                                nullptr, nullptr, &cb);
        if (c.hr != S_OK) {
            EXPECT_FALSE(bSized);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.hr));
            continue;
        }
        ASSERT_TRUE(bSized);
        EXPECT_EQ(cb, c.cbStructure);
        // One byte short asks for more.
        Bytes vecOut(cb);
        DWORD cbShort = cb - 1;
        EXPECT_FALSE(CryptDecodeObjectEx(X509_ASN_ENCODING, c.pszType, vec.data(), static_cast<DWORD>(vec.size()), 0,
                                         nullptr, vecOut.data(), &cbShort));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(cbShort, cb);
        ASSERT_TRUE(CryptDecodeObjectEx(X509_ASN_ENCODING, c.pszType, vec.data(), static_cast<DWORD>(vec.size()), 0,
                                        nullptr, vecOut.data(), &cb));
        if (c.pszType == RSA_CSP_PUBLICKEYBLOB) {
            EXPECT_EQ(ToHex(vecOut.data(), cb), c.pszData);
            // And back to the same DER.
            DWORD cbDer = 0;
            ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, vecOut.data(), nullptr, &cbDer));
            Bytes vecDer(cbDer);
            ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, vecOut.data(), vecDer.data(), &cbDer));
            EXPECT_EQ(ToHex(vecDer.data(), cbDer), c.pszEncoded);
        } else {
            const auto* pBlob = reinterpret_cast<const CRYPT_DATA_BLOB*>(vecOut.data());
            EXPECT_EQ(ToHex(pBlob->pbData, pBlob->cbData), c.pszData);
        }
    }
}

TEST(Crypt32Encoding, NameValuesAndAttributesAreEncodedAsThePlatformEncodesThem)
{
    static const char16_t wszChinese[] = u"\u5F20x";
    static const char16_t wszEmpty[] = u"";
    static const char16_t wszLoneSurrogate[] = u"\xD83D";
    const struct {
        DWORD dwType;
        const void* pv;
        DWORD cb;
        const char* pszEncoded;
    } kCases[] = {{CERT_RDN_PRINTABLE_STRING, "CN", 2, "1302434E"},
                  {CERT_RDN_IA5_STRING, "a@b", 3, "1603614062"},
                  {CERT_RDN_UTF8_STRING, wszChinese, 4, "0C04E5BCA078"},
                  {CERT_RDN_UTF8_STRING, wszEmpty, 0, "0C00"},
                  {CERT_RDN_UTF8_STRING, wszLoneSurrogate, 2, "0C03EFBFBD"},
                  {CERT_RDN_OCTET_STRING, "\x01\x02", 2, "04020102"},
                  {CERT_RDN_PRINTABLE_STRING, "", 0, "1300"},
                  {CERT_RDN_IA5_STRING, "\xE9", 1, "1601E9"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszEncoded);
        CERT_NAME_VALUE value = {c.dwType, {c.cb, static_cast<BYTE*>(const_cast<void*>(c.pv))}};
        BYTE rgb[32];
        DWORD cb = sizeof(rgb);
        ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_NAME_VALUE, &value, rgb, &cb));
        EXPECT_EQ(ToHex(rgb, cb), c.pszEncoded);
    }
    CRYPT_ATTRIBUTE attribute = {const_cast<LPSTR>("1.2.840.113549.1.9.7"), 0, nullptr};
    DWORD cb = 0;
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, PKCS_ATTRIBUTE, &attribute, nullptr, &cb));
    EXPECT_EQ(cb, 15u);
    BYTE rgb[15];
    DWORD cbSmall = 2;
    EXPECT_FALSE(CryptEncodeObject(X509_ASN_ENCODING, PKCS_ATTRIBUTE, &attribute, rgb, &cbSmall));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(cbSmall, 15u);
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, PKCS_ATTRIBUTE, &attribute, rgb, &cb));
    EXPECT_EQ(ToHex(rgb, cb), "300D06092A864886F70D0109073100");
}

std::vector<Bytes> Enumerate(void* hStore)
{
    std::vector<Bytes> vec;
    PCCERT_CONTEXT p = nullptr;
    while ((p = CertEnumCertificatesInStore(hStore, p)) != nullptr) vec.emplace_back(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded);
    return vec;
}

Bytes Subject(const char* pszCommonName)
{
    const Bytes vecValue(pszCommonName, pszCommonName + strlen(pszCommonName));
    return Tlv(0x30, Tlv(0x31, Tlv(0x30, Concat({FromHex("0603550403"), Tlv(0x0C, vecValue)}))));
}

TEST(Crypt32Stores, MemoryStoreKeepsEachDispositionsAnswer)
{
    Store hStore(CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING, 0, 0, nullptr));
    ASSERT_TRUE(hStore);
    const Bytes vecA = Certificate(Subject("A")), vecB = Certificate(Subject("B"));
    auto Add = [&](const Bytes& vec, DWORD dwDisposition) {
        return CertAddEncodedCertificateToStore(hStore.get(), X509_ASN_ENCODING, vec.data(), static_cast<DWORD>(vec.size()),
                                                dwDisposition, nullptr);
    };
    EXPECT_TRUE(Add(vecA, CERT_STORE_ADD_NEW));
    SetLastError(0);
    EXPECT_FALSE(Add(vecA, CERT_STORE_ADD_NEW));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
    EXPECT_TRUE(Add(vecA, CERT_STORE_ADD_USE_EXISTING));
    EXPECT_TRUE(Add(vecA, CERT_STORE_ADD_REPLACE_EXISTING));
    EXPECT_TRUE(Add(vecB, CERT_STORE_ADD_USE_EXISTING));
    EXPECT_EQ(Enumerate(hStore.get()), (std::vector<Bytes>{vecA, vecB}));
    EXPECT_TRUE(Add(vecB, CERT_STORE_ADD_ALWAYS));
    EXPECT_EQ(Enumerate(hStore.get()), (std::vector<Bytes>{vecA, vecB, vecB}));

    Context pB = Create(vecB);
    Context pFound(CertFindCertificateInStore(hStore.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, pB.get(), nullptr));
    ASSERT_TRUE(pFound);
    // The deletion frees the context it is given.
    EXPECT_TRUE(CertDeleteCertificateFromStore(pFound.release()));
    EXPECT_EQ(Enumerate(hStore.get()), (std::vector<Bytes>{vecA, vecB}));
    Context pMissing = Create(Certificate(Subject("C")));
    SetLastError(0);
    EXPECT_EQ(CertFindCertificateInStore(hStore.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, pMissing.get(), nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    // A context outlives its store's handle.
    Context pFirst(CertEnumCertificatesInStore(hStore.get(), nullptr));
    hStore.reset();
    ASSERT_TRUE(pFirst);
    EXPECT_EQ(Bytes(pFirst->pbCertEncoded, pFirst->pbCertEncoded + pFirst->cbCertEncoded), vecA);
}

TEST(Crypt32Stores, BundleStoreListsTheCertificatesOfASignedDataInOrder)
{
    const Bytes vecA = Certificate(Subject("A")), vecB = Certificate(Subject("B"));
    auto Bundle = [](const Bytes& vecCertificates) {
        const Bytes vecSignedData = Tlv(0x30, Concat({FromHex("020101"), FromHex("3100"), FromHex("300B06092A864886F70D010701"),
                                                       Tlv(0xA0, vecCertificates), FromHex("3100")}));
        return Tlv(0x30, Concat({FromHex("06092A864886F70D010702"), Tlv(0xA0, vecSignedData)}));
    };
    const Bytes vecOne = Bundle(vecA);
    const struct {
        const char* pszLabel;
        Bytes vec;
        HRESULT hr;
        size_t nCertificates;
    } kCases[] = {{"two", Bundle(Concat({vecA, vecB})), S_OK, 2},
                  {"none", Bundle({}), S_OK, 0},
                  {"cut", Bytes(vecOne.begin(), vecOne.end() - 40), CRYPT_E_ASN1_EOD, 0},
                  {"not a bundle", vecA, CRYPT_E_ASN1_BADTAG, 0},
                  {"enveloped data", Tlv(0x30, Concat({FromHex("06092A864886F70D010703"), Tlv(0xA0, FromHex("3000"))})),
                   CRYPT_E_ASN1_CORRUPT, 0},
                  {"one byte more", Concat({vecOne, {0x00}}), S_OK, 1},
                  {"nothing", {}, CRYPT_E_ASN1_EOD, 0}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszLabel);
        CRYPT_DATA_BLOB blob = {static_cast<DWORD>(c.vec.size()), const_cast<BYTE*>(c.vec.data())};
        SetLastError(0);
        Store hStore(CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                   CERT_STORE_READONLY_FLAG, &blob));
        EXPECT_EQ(hStore != nullptr, c.hr == S_OK);
        if (!hStore) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.hr));
            continue;
        }
        const std::vector<Bytes> vec = Enumerate(hStore.get());
        ASSERT_EQ(vec.size(), c.nCertificates);
        if (c.nCertificates == 2) {
            EXPECT_EQ(vec, (std::vector<Bytes>{vecA, vecB}));
        }
    }
}

// certutil's trust column for the nickname that holds the certificate of that common name, or "" if absent.
std::string DatabaseTrust(const char* pszCommonName)
{
    const char* pszDb = getenv("BM_NSSDB");
    std::string strCommand = std::string("certutil -L -d '") + pszDb + "' 2>/dev/null";
    FILE* pPipe = popen(strCommand.c_str(), "r");
    if (pPipe == nullptr) return "?";
    std::string strTrust;
    char sz[512];
    while (fgets(sz, sizeof(sz), pPipe) != nullptr) {
        std::string strLine(sz);
        while (!strLine.empty() && (strLine.back() == '\n' || strLine.back() == ' ')) strLine.pop_back();
        const size_t nSpace = strLine.rfind(' ');
        if (nSpace == std::string::npos) continue;
        if (strLine.compare(0, strlen(pszCommonName) + 1, std::string(pszCommonName) + " ") == 0 ||
            strLine.compare(0, strlen(pszCommonName) + 1, std::string(pszCommonName) + "#") == 0)
            strTrust = strLine.substr(nSpace + 1);
    }
    pclose(pPipe);
    return strTrust;
}

bool Contains(const std::vector<Bytes>& vec, const Bytes& vecCert)
{
    for (const Bytes& v : vec)
        if (v == vecCert) return true;
    return false;
}

TEST(Crypt32Stores, RootAndCaStoresAreTheDatabasesTrust)
{
    const Bytes vecRoot = Certificate(Subject("Brindlemark Test Root"), {0x21});
    const Bytes vecIntermediate = Certificate(Subject("Brindlemark Test Intermediate"), {0x22});
    Store hRoot(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"Root"));
    Store hCa(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA"));
    ASSERT_TRUE(hRoot);
    ASSERT_TRUE(hCa);
    auto Add = [](void* hStore, const Bytes& vec, DWORD dwDisposition) {
        return CertAddEncodedCertificateToStore(hStore, X509_ASN_ENCODING, vec.data(), static_cast<DWORD>(vec.size()),
                                                dwDisposition, nullptr);
    };
    ASSERT_TRUE(Add(hRoot.get(), vecRoot, CERT_STORE_ADD_NEW));
    ASSERT_TRUE(Add(hCa.get(), vecIntermediate, CERT_STORE_ADD_NEW));
    SetLastError(0);
    EXPECT_FALSE(Add(hCa.get(), vecIntermediate, CERT_STORE_ADD_NEW));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
    EXPECT_TRUE(CertControlStore(hCa.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr));

    EXPECT_EQ(DatabaseTrust("Brindlemark Test Root"), "C,,");
    EXPECT_EQ(DatabaseTrust("Brindlemark Test Intermediate"), ",,");
    // Another handle, the user's and the machine's alike, sees the same.
    Store hRootMachine(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT"));
    Store hCaUser(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"ca"));
    const std::vector<Bytes> vecRoots = Enumerate(hRootMachine.get()), vecCas = Enumerate(hCaUser.get());
    EXPECT_TRUE(Contains(vecRoots, vecRoot));
    EXPECT_FALSE(Contains(vecRoots, vecIntermediate));
    EXPECT_TRUE(Contains(vecCas, vecIntermediate));
    EXPECT_FALSE(Contains(vecCas, vecRoot));
    // A read-only handle takes nothing.
    SetLastError(0);
    EXPECT_FALSE(Add(hCaUser.get(), vecRoot, CERT_STORE_ADD_ALWAYS));

    Context pRoot = Create(vecRoot);
    Context pFound(CertFindCertificateInStore(hRootMachine.get(), 0, 0, CERT_FIND_EXISTING, pRoot.get(), nullptr));
    ASSERT_TRUE(pFound);
    EXPECT_TRUE(CertDeleteCertificateFromStore(pFound.release()));
    EXPECT_FALSE(Contains(Enumerate(hRoot.get()), vecRoot));
    EXPECT_EQ(DatabaseTrust("Brindlemark Test Root"), "");
    SetLastError(0);
    EXPECT_EQ(CertFindCertificateInStore(hRoot.get(), 0, 0, CERT_FIND_EXISTING, pRoot.get(), nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));

    SetLastError(0);
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"Disallowed"), nullptr);
}

// crypt32's serialized properties: (id, 1, length, data) each.
Bytes Serialized(std::initializer_list<std::pair<DWORD, Bytes>> properties, DWORD dwReserved = 1)
{
    Bytes vec;
    for (const auto& property : properties) {
        const DWORD rgdw[3] = {property.first, dwReserved, static_cast<DWORD>(property.second.size())};
        const BYTE* pb = reinterpret_cast<const BYTE*>(rgdw);
        vec.insert(vec.end(), pb, pb + sizeof(rgdw));
        vec.insert(vec.end(), property.second.begin(), property.second.end());
    }
    return vec;
}

WText Thumbprint(const Bytes& vecCert)
{
    Context p = Create(vecCert);
    BYTE rgb[20];
    DWORD cb = sizeof(rgb);
    EXPECT_TRUE(CertGetCertificateContextProperty(p.get(), CERT_SHA1_HASH_PROP_ID, rgb, &cb));
    const std::string str = ToHex(rgb, cb);
    return WText(str.begin(), str.end());
}

TEST(Crypt32Stores, RegistryBlobsReachTheDatabase)
{
    const Bytes vecRoot = Certificate(Subject("Brindlemark Registry Root"), {0x31});
    const Bytes vecOther = Certificate(Subject("Brindlemark Registry Other"), {0x32});
    const WText wstrThumbprint = Thumbprint(vecRoot);
    const Bytes vecHash = FromHex(std::string(wstrThumbprint.begin(), wstrThumbprint.end()).c_str());
    const Bytes vecBlob = Serialized({{3, vecHash}, {32, vecRoot}});
    Bytes vecCut = vecBlob;
    vecCut.pop_back();
    const struct {
        const char* pszLabel;
        Bytes vec;
        const char16_t* pwszThumbprint;
        LONG lResult;
    } kCases[] = {{"cut", vecCut, wstrThumbprint.c_str(), ERROR_INVALID_DATA},
                  {"reserved not 1", Serialized({{32, vecRoot}}, 0), wstrThumbprint.c_str(), ERROR_INVALID_DATA},
                  {"no certificate", Serialized({{3, vecHash}}), wstrThumbprint.c_str(), ERROR_INVALID_DATA},
                  {"another certificate", Serialized({{32, vecOther}}), wstrThumbprint.c_str(), ERROR_INVALID_DATA},
                  {"short thumbprint", vecBlob, u"ABCD", ERROR_INVALID_PARAMETER},
                  {"certificate that does not decode", Serialized({{32, {0x30, 0x03, 0x02, 0x01, 0x01}}}),
                   wstrThumbprint.c_str(), ERROR_INVALID_DATA}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszLabel);
        EXPECT_EQ(SystemStoreWriteBlob(u"ROOT", c.pwszThumbprint, c.vec.data(), static_cast<DWORD>(c.vec.size())), c.lResult);
        EXPECT_EQ(SystemStoreFind(u"ROOT", wstrThumbprint.c_str()), ERROR_FILE_NOT_FOUND);
    }
    ASSERT_EQ(SystemStoreWriteBlob(u"root", wstrThumbprint.c_str(), vecBlob.data(), static_cast<DWORD>(vecBlob.size())),
              ERROR_SUCCESS);
    EXPECT_EQ(SystemStoreFind(u"ROOT", wstrThumbprint.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(SystemStoreFind(u"CA", wstrThumbprint.c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(DatabaseTrust("Brindlemark Registry Root"), "C,,");
    EXPECT_EQ(SystemStoreDelete(u"ROOT", wstrThumbprint.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(SystemStoreFind(u"ROOT", wstrThumbprint.c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SystemStoreDelete(u"ROOT", wstrThumbprint.c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(DatabaseTrust("Brindlemark Registry Root"), "");
}

TEST(Crypt32Properties, FreshContextsHaveTheHashButNoKey)
{
    Context p = Create(FromHex(kMeasuredCertificate));
    ASSERT_TRUE(p);
    DWORD cb = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(p.get(), CERT_SHA1_HASH_PROP_ID, nullptr, &cb));
    EXPECT_EQ(cb, 20u);
    SetLastError(0);
    EXPECT_FALSE(CertGetCertificateContextProperty(p.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hProv = 0;
    DWORD dwKeySpec = 0;
    BOOL bFree = FALSE;
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(p.get(), 0, nullptr, &hProv, &dwKeySpec, &bFree));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
}

struct ProvRelease {
    void operator()(HCRYPTPROV* p) const
    {
        if (*p != 0) CryptReleaseContext(*p, 0);
        delete p;
    }
};

// The public key info of a container's key as the request builder encodes it: the algorithm and the key bits.
Bytes SubjectPublicKeyInfo(HCRYPTPROV hProv, DWORD dwKeySpec)
{
    DWORD cb = 0;
    EXPECT_TRUE(CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING, nullptr, &cb));
    std::vector<BYTE> vec(cb);
    auto* pInfo = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(vec.data());
    EXPECT_TRUE(CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING, pInfo, &cb));
    EXPECT_STREQ(pInfo->Algorithm.pszObjId, szOID_RSA_RSA);
    const Bytes vecParameters(pInfo->Algorithm.Parameters.pbData, pInfo->Algorithm.Parameters.pbData + pInfo->Algorithm.Parameters.cbData);
    EXPECT_EQ(vecParameters, (Bytes{0x05, 0x00}));
    const Bytes vecKey(pInfo->PublicKey.pbData, pInfo->PublicKey.pbData + pInfo->PublicKey.cbData);
    return Tlv(0x30, Concat({FromHex("300D06092A864886F70D0101010500"), Tlv(0x03, Concat({{0x00}, vecKey}))}));
}

Bytes ExportedPublicKey(HCRYPTKEY hKey)
{
    DWORD cb = 0;
    EXPECT_TRUE(CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, nullptr, &cb));
    Bytes vec(cb);
    EXPECT_TRUE(CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, vec.data(), &cb));
    vec.resize(cb);
    // The key's algorithm in the header differs between the two key specs; the key does not.
    return Bytes(vec.begin() + 8, vec.end());
}

TEST(Crypt32Properties, PersonalStoreBindsEachCertificateToItsContainersKey)
{
    const char16_t* const kContainer = u"{6F1A2B3C-0000-4000-8000-C0FFEE000001}";
    const char16_t* const kProvider = u"Microsoft Enhanced RSA and AES Cryptographic Provider";
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, kContainer, kProvider, PROV_RSA_AES, CRYPT_NEWKEYSET)) << std::hex << GetLastError();
    std::unique_ptr<HCRYPTPROV, ProvRelease> pProv(new HCRYPTPROV(hProv));
    HCRYPTKEY hExchange = 0, hSignature = 0;
    ASSERT_TRUE(CryptGenKey(hProv, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, &hExchange));
    ASSERT_TRUE(CryptGenKey(hProv, AT_SIGNATURE, 1024u << 16, &hSignature));
    const Bytes vecExchangeKey = ExportedPublicKey(hExchange), vecSignatureKey = ExportedPublicKey(hSignature);
    CryptDestroyKey(hExchange);
    CryptDestroyKey(hSignature);
    const Bytes vecExchange = Certificate(Subject("Brindlemark Exchange"), {0x41}, SubjectPublicKeyInfo(hProv, AT_KEYEXCHANGE));
    const Bytes vecSignature = Certificate(Subject("Brindlemark Signature"), {0x42}, SubjectPublicKeyInfo(hProv, AT_SIGNATURE));
    const Bytes vecKeyless = Certificate(Subject("Brindlemark Keyless"), {0x43});

    // As the signing import does: the certificate into MY, then its binding.
    for (const auto& entry : {std::make_pair(&vecExchange, DWORD{AT_KEYEXCHANGE}), std::make_pair(&vecSignature, DWORD{AT_SIGNATURE})}) {
        Store hMy(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, hProv, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG, u"MY"));
        ASSERT_TRUE(hMy);
        PCCERT_CONTEXT pAdded = nullptr;
        ASSERT_TRUE(CertAddEncodedCertificateToStore(hMy.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, entry.first->data(),
                                                     static_cast<DWORD>(entry.first->size()), CERT_STORE_ADD_REPLACE_EXISTING, &pAdded));
        Context pContext(pAdded);
        CRYPT_KEY_PROV_INFO info = {const_cast<LPWSTR>(kContainer), const_cast<LPWSTR>(kProvider), PROV_RSA_AES, 0, 0, nullptr, entry.second};
        ASSERT_TRUE(CertSetCertificateContextProperty(pContext.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    }
    Store hMyRead(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"My"));
    const std::vector<Bytes> vecMine = Enumerate(hMyRead.get());
    EXPECT_TRUE(Contains(vecMine, vecExchange));
    EXPECT_TRUE(Contains(vecMine, vecSignature));
    EXPECT_FALSE(Contains(vecMine, vecKeyless));
    EXPECT_EQ(DatabaseTrust("Brindlemark Exchange"), "u,u,u");
    EXPECT_EQ(DatabaseTrust("Brindlemark Signature"), "u,u,u");

    // Each one, read back from MY and copied into a memory store as the inventory does, names its container,
    // provider and key spec, and the key it opens is the certificate's.
    Store hMemory(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    for (const auto& entry : {std::make_tuple(&vecExchange, DWORD{AT_KEYEXCHANGE}, &vecExchangeKey),
                              std::make_tuple(&vecSignature, DWORD{AT_SIGNATURE}, &vecSignatureKey)}) {
        Context pWanted = Create(*std::get<0>(entry));
        Context pInMy(CertFindCertificateInStore(hMyRead.get(), 0, 0, CERT_FIND_EXISTING, pWanted.get(), nullptr));
        ASSERT_TRUE(pInMy);
        PCCERT_CONTEXT pCopy = nullptr;
        ASSERT_TRUE(CertAddCertificateContextToStore(hMemory.get(), pInMy.get(), CERT_STORE_ADD_ALWAYS, &pCopy));
        Context pCopied(pCopy);
        DWORD cb = 0;
        ASSERT_TRUE(CertGetCertificateContextProperty(pCopied.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
        std::vector<BYTE> vec(cb);
        ASSERT_TRUE(CertGetCertificateContextProperty(pCopied.get(), CERT_KEY_PROV_INFO_PROP_ID, vec.data(), &cb));
        const auto* pInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(vec.data());
        EXPECT_EQ(WText(pInfo->pwszContainerName), WText(kContainer));
        EXPECT_EQ(WText(pInfo->pwszProvName), WText(kProvider));
        EXPECT_EQ(pInfo->dwProvType, static_cast<DWORD>(PROV_RSA_AES));
        EXPECT_EQ(pInfo->dwKeySpec, std::get<1>(entry));

        HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hKeyProv = 0;
        DWORD dwKeySpec = 0;
        BOOL bFree = FALSE;
        ASSERT_TRUE(CryptAcquireCertificatePrivateKey(pCopied.get(), 0, nullptr, &hKeyProv, &dwKeySpec, &bFree));
        std::unique_ptr<HCRYPTPROV, ProvRelease> pKeyProv(new HCRYPTPROV(static_cast<HCRYPTPROV>(hKeyProv)));
        EXPECT_TRUE(bFree);
        EXPECT_EQ(dwKeySpec, std::get<1>(entry));
        HCRYPTKEY hKey = 0;
        ASSERT_TRUE(CryptGetUserKey(static_cast<HCRYPTPROV>(hKeyProv), dwKeySpec, &hKey));
        EXPECT_EQ(ExportedPublicKey(hKey), *std::get<2>(entry));
        CryptDestroyKey(hKey);

        // The certificate's own key, imported from it, is the same key; bits that are no RSA key are refused
        // whatever algorithm they claim.
        CERT_PUBLIC_KEY_INFO notRsa = {{const_cast<LPSTR>(szOID_ECC_PUBLIC_KEY), {0, nullptr}}, {3, const_cast<BYTE*>(reinterpret_cast<const BYTE*>("\x04\x01\x02")), 0}};
        HCRYPTPROV hVerifyFirst = 0;
        ASSERT_TRUE(CryptAcquireContextW(&hVerifyFirst, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
        std::unique_ptr<HCRYPTPROV, ProvRelease> pVerifyFirst(new HCRYPTPROV(hVerifyFirst));
        HCRYPTKEY hNotRsa = 0;
        SetLastError(0);
        EXPECT_FALSE(CryptImportPublicKeyInfo(hVerifyFirst, X509_ASN_ENCODING, &notRsa, &hNotRsa));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
        HCRYPTPROV hVerify = 0;
        ASSERT_TRUE(CryptAcquireContextW(&hVerify, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
        std::unique_ptr<HCRYPTPROV, ProvRelease> pVerify(new HCRYPTPROV(hVerify));
        HCRYPTKEY hPublic = 0;
        ASSERT_TRUE(CryptImportPublicKeyInfo(hVerify, X509_ASN_ENCODING, &pCopied->pCertInfo->SubjectPublicKeyInfo, &hPublic));
        EXPECT_EQ(ExportedPublicKey(hPublic), *std::get<2>(entry));
        CryptDestroyKey(hPublic);
    }

    // Out of MY: the certificate goes, its key stays.
    Store hMy(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY"));
    Context pWanted = Create(vecSignature);
    Context pInMy(CertFindCertificateInStore(hMy.get(), 0, 0, CERT_FIND_EXISTING, pWanted.get(), nullptr));
    ASSERT_TRUE(pInMy);
    EXPECT_TRUE(CertDeleteCertificateFromStore(pInMy.release()));
    EXPECT_FALSE(Contains(Enumerate(hMy.get()), vecSignature));
    HCRYPTKEY hKept = 0;
    EXPECT_TRUE(CryptGetUserKey(hProv, AT_SIGNATURE, &hKept));
    if (hKept != 0) CryptDestroyKey(hKept);
}

}  // namespace
