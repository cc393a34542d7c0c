// Certificate filters: each criterion and its edge cases over one set of certificates, one table.
#include "InventoryTestSupport.h"
#include "../install/CertTestSupport.h"
#include "ResultCode.h"
#include "inventory/CertificateFilter.h"

#include <gtest/gtest.h>

using namespace invtest;

TEST(CertificateFilter, ParseFiltersKeepsEmptyItemsAndCutsLongOnes)
{
    const WString wstrLong(300, TEXT('x'));
    for (const auto& [pwszText, want] : std::vector<std::pair<const WCHAR*, std::vector<WString>>>{
             {nullptr, {}}, {TEXT(""), {TEXT("")}}, {TEXT("a"), {TEXT("a")}},
             {TEXT("#a##"), {TEXT(""), TEXT("a"), TEXT(""), TEXT("")}}, {wstrLong.c_str(), {WString(255, TEXT('x'))}}}) {
        std::vector<WString> got;
        ParseFilters(pwszText, got);
        EXPECT_EQ(got, want) << (pwszText ? Narrow(pwszText).substr(0, 8) : "null");
    }
}

TEST(CertificateFilter, EveryCriterionKeepsWhatItShouldInInputOrder)
{
    reqtest::ContainerSweeper sweeper(ENHANCED, PROV_RSA_FULL);
    CertContextList input;
    const CertTemplate rgTemplates[] = {
        {.pwszSubject = TEXT("C=CN, O=Alpha Bank, CN=Zhang San"), .vecSerial = {0x01, 0x02, 0x0A}, .nKeyUsage = 0xC0,
         .vecKeyID = {1, 2, 3, 4}},
        {.pwszSubject = TEXT("C=CN, CN=Li Si"), .vecSerial = {0x02}, .pszSignatureOID = SM3_SM2, .nKeyUsage = 0x20},
        {.pwszSubject = TEXT("CN=Wang Wu"), .vecSerial = {0x03}, .pszSignatureOID = "1.2.840.1135491.1",
         .pwszIssuer = TEXT("C=US, CN=Other CA")},
        {.pwszSubject = TEXT("CN=Zhao Liu"), .vecSerial = {0x04}, .pszSignatureOID = "1.2.840.113549.1.1.5", .nKeyUsage = 0x80}};
    for (const CertTemplate& tmpl : rgTemplates) input.push_back(ContextOf(MakeCertificate(tmpl)));
    LinkToKey(input[0].get(), ENHANCED, TEXT("none"), AT_KEYEXCHANGE);
    LinkToKey(input[1].get(), SM2_TOKEN, TEXT("none"), AT_SIGNATURE);
    LinkToKey(input[3].get(), TEXT("Vendor MICROSOFT-compatible CSP"), TEXT("none"), AT_SIGNATURE);
    // The fifth has a real key: a self-signed RSA certificate of an Enhanced-provider container.
    KeyAndCert real = MakeKeyAndCert(ENHANCED, PROV_RSA_FULL, AT_KEYEXCHANGE);
    input.push_back(ContextOf(real.vecCert));
    LinkToKey(input[4].get(), ENHANCED, real.wstrContainer.c_str(), AT_KEYEXCHANGE);

    const FILETIME ft2024 = FileTimeOf(2024, 6, 1, 0), ft2023 = FileTimeOf(2023, 6, 1, 0);
    struct Case {
        const char* pszName;
        CERTIFICATE_FILTER stFilter;
        std::vector<size_t> want;
    };
    for (const Case& c : std::vector<Case>{
             {"all empty", {}, {0, 1, 2, 3, 4}},
             {"second subject item, other case", {.pwszSubjectFilters = TEXT("nobody#LI SI")}, {1}},
             {"trailing # matches all", {.pwszSubjectFilters = TEXT("nobody#")}, {0, 1, 2, 3, 4}},
             {"issuer reversed", {.pwszIssuerFilters = TEXT("cn=inventory test ca, o=root")}, {0, 1, 3}},
             {"CSP word in any case", {.pwszCSPNames = TEXT("Microsoft")}, {0, 3, 4}},
             {"empty CSP item ends the list", {.pwszCSPNames = TEXT("Software SM2 Token CSP v1.0||||Microsoft")}, {1}},
             {"RSA family, plain text prefix", {.pszSignatureAlgOIDPrefix = "1.2.840.113549"}, {0, 2, 3, 4}},
             {"SM2 family", {.pszSignatureAlgOIDPrefix = "1.2.156.10197"}, {1}},
             {"key usage shares a bit", {.dwKeyUsage = 0x80}, {0, 3}},
             {"serial, upper case", {.pwszSerialNumber = TEXT("01020A")}, {0}},
             {"serial, lower case", {.pwszSerialNumber = TEXT("01020a")}, {0}},
             {"serial, odd digits", {.pwszSerialNumber = TEXT("1020A")}, {}},
             {"serial, not hexadecimal", {.pwszSerialNumber = TEXT("01020G")}, {}},
             {"key identifier written last byte first", {.pwszSubjectKeyID = TEXT("04030201")}, {0}},
             {"key identifier in natural order", {.pwszSubjectKeyID = TEXT("01020304")}, {}},
             {"inside the validity period", {.pftCheckTime = &ft2024}, {0, 1, 2, 3}},
             {"before it", {.pftCheckTime = &ft2023}, {}},
             {"private key required", {.bRequirePrivateKey = 1}, {4}},
             {"private key flag other than 1", {.bRequirePrivateKey = 2}, {0, 1, 2, 3, 4}},
             {"criteria combine", {.pwszSubjectFilters = TEXT("zhang"), .pwszCSPNames = TEXT("Software")}, {}}}) {
        SCOPED_TRACE(c.pszName);
        CertContextList output;
        ASSERT_EQ(FilterCertificates(&c.stFilter, input, output), QORA_OK);
        std::vector<size_t> got;
        for (const CertContext& kept : output)
            for (size_t i = 0; i < input.size(); ++i)
                if (CertCompareCertificate(X509_ASN_ENCODING, kept.get()->pCertInfo, input[i].get()->pCertInfo)) got.push_back(i);
        EXPECT_EQ(got, c.want);
    }
    CertContextList output;
    ASSERT_EQ(FilterCertificates(nullptr, input, output), QORA_OK);
    EXPECT_EQ(output.size(), input.size());
}
