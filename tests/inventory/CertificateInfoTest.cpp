// Certificate records: field order and forms, local time, "||" joins, certificates without a key-provider
// link left out; the single-attribute queries.
#include "InventoryTestSupport.h"
#include "ResultCode.h"
#include "inventory/CertificateInfo.h"

#include <gtest/gtest.h>

using namespace invtest;

namespace {

// Wine takes the zone from the Unix TZ of the process; ctest starts this program with TZ=CST-8.
LONG LocalBias()
{
    TIME_ZONE_INFORMATION tzi = {};
    GetTimeZoneInformation(&tzi);
    return tzi.Bias;
}
const char kNeedsUtcPlus8[] = "run this program with TZ=CST-8 in its environment";

}  // namespace

TEST(CertificateRecord, SerialWithLeadingZeroLocalTimesAndProvider)
{
    ASSERT_EQ(LocalBias(), -480) << kNeedsUtcPlus8;
    CertContext cert =
        ContextOf(MakeCertificate({.pwszSubject = TEXT("C=CN, O=Alpha, CN=\"Zhang; San\""), .vecSerial = {0x00, 0x8F}}));
    WString wstrRecord;
    EXPECT_EQ(GetCertificateInfo(cert.get(), wstrRecord), CRYPT_E_NOT_FOUND);
    LinkToKey(cert.get(), SM2_TOKEN, TEXT("c1"), AT_SIGNATURE);
    ASSERT_EQ(GetCertificateInfo(cert.get(), wstrRecord), QORA_OK);
    // The quoted ";" goes out unescaped, as the platform renders it.
    EXPECT_EQ(Narrow(wstrRecord), "C=CN, O=Alpha, CN=\"Zhang; San\";008f;2024-01-01 08:00:00;2034-07-01 00:00:00;"
                                  "Software SM2 Token CSP v1.0");
    EXPECT_EQ(GetCertificateInfo(nullptr, wstrRecord), E_INVALIDARG);
}

TEST(CertificateRecord, StoreTextJoinsLinkedCertificatesAndSkipsTheOthers)
{
    ASSERT_EQ(LocalBias(), -480) << kNeedsUtcPlus8;
    CertStore store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    const WCHAR* rgpwszNames[] = {TEXT("CN=one"), TEXT("CN=two"), TEXT("CN=three")};
    std::vector<CertContext> certs;
    for (BYTE i = 0; i < 3; ++i) {
        ByteBuffer vec = MakeCertificate({.pwszSubject = rgpwszNames[i], .vecSerial = {static_cast<BYTE>(i + 1)}});
        PCCERT_CONTEXT p = nullptr;
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, vec.data(),
                                                     static_cast<DWORD>(vec.size()), CERT_STORE_ADD_ALWAYS, &p));
        certs.emplace_back(p);
    }
    const std::string rest = ";2024-01-01 08:00:00;2034-07-01 00:00:00;" + Narrow(ENHANCED);
    LinkToKey(certs[1].get(), ENHANCED, TEXT("c2"), AT_KEYEXCHANGE);
    WString wstrText;
    ASSERT_EQ(GetAllCertificatesInfoinStore(store.get(), wstrText), QORA_OK);
    EXPECT_EQ(Narrow(wstrText), "CN=two;02" + rest);

    LinkToKey(certs[2].get(), ENHANCED, TEXT("c3"), AT_KEYEXCHANGE);
    ASSERT_EQ(GetAllCertificatesInfoinStore(store.get(), wstrText), QORA_OK);
    // In the store's enumeration order, whichever that is.
    const std::string expected = Narrow(wstrText).substr(0, 9) == "CN=two;02" ? "CN=two;02" + rest + "||CN=three;03" + rest
                                                                             : "CN=three;03" + rest + "||CN=two;02" + rest;
    EXPECT_EQ(Narrow(wstrText), expected);
    EXPECT_EQ(GetAllCertificatesInfoinStore(nullptr, wstrText), E_INVALIDARG);
    EXPECT_EQ(GetAllCertificatesInfoUnregisteredCertSet({}, wstrText), E_INVALIDARG);
    EXPECT_EQ(Narrow(wstrText), expected);  // failures leave the output alone
}

TEST(CertificateQuery, EachIdentifierReadsItsAttribute)
{
    struct Case {
        const char* pszName;
        CertTemplate tmpl;
        DWORD dwQueryID;
        HRESULT hr;
        std::string want;  // text, hexadecimal bytes or the value in decimal
    };
    const WCHAR* pwszSubject = TEXT("C=CN, O=Alpha, CN=\"Zhang, San\"");
    for (const Case& c : std::vector<Case>{
             {"full subject, quoted", {.pwszSubject = pwszSubject}, QUERYID_SUBJECT_FULL, QORA_OK, "C=CN, O=Alpha, CN=\"Zhang, San\""},
             {"simple subject", {.pwszSubject = pwszSubject}, QUERYID_SUBJECT_SIMPLE, QORA_OK, "CN, Alpha, \"Zhang, San\""},
             {"issuer reversed", {.pwszSubject = pwszSubject}, QUERYID_ISSUER, QORA_OK, "CN=Inventory Test CA, O=Root, C=CN"},
             {"common name", {.pwszSubject = pwszSubject}, QUERYID_CN, QORA_OK, "Zhang, San"},
             {"serial, platform order", {.pwszSubject = pwszSubject, .vecSerial = {0x00, 0x8F}}, QUERYID_SERIALNUMBER,
              QORA_OK, "8f00"},
             {"key usage", {.pwszSubject = pwszSubject, .nKeyUsage = 0xC0}, QUERYID_KEYUSAGE, QORA_OK, "192"},
             {"empty key usage", {.pwszSubject = pwszSubject, .nKeyUsage = -2}, QUERYID_KEYUSAGE, QORA_OK, "0"},
             {"no key usage", {.pwszSubject = pwszSubject}, QUERYID_KEYUSAGE, QORA_E_NO_KEY_USAGE, ""},
             {"key identifier", {.pwszSubject = pwszSubject, .vecKeyID = {1, 2, 3}}, QUERYID_SUBJECTKEYID, QORA_OK, "010203"},
             {"no key identifier", {.pwszSubject = pwszSubject}, QUERYID_SUBJECTKEYID, QORA_E_NO_SUBJECT_KEY_ID, ""},
             {"identifier 0", {.pwszSubject = pwszSubject}, 0, QORA_E_QUERY_TYPE, ""},
             {"identifier 12", {.pwszSubject = pwszSubject}, 12, QORA_E_QUERY_TYPE, ""}}) {
        SCOPED_TRACE(c.pszName);
        CertContext cert = ContextOf(MakeCertificate(c.tmpl));
        CERTIFICATE_QUERY_RESULT stResult;
        ASSERT_EQ(QueryCertContextInfo(cert.get(), c.dwQueryID, stResult), c.hr);
        if (c.hr != QORA_OK) continue;
        const std::string got = !stResult.wstrText.empty() ? Narrow(stResult.wstrText)
                                : !stResult.vecBytes.empty() ? Hex(stResult.vecBytes) : std::to_string(stResult.dwValue);
        EXPECT_EQ(got, c.want);
    }
}
