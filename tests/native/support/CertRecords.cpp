// tests/native/support/CertRecords.cpp
#include "support/CertRecords.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cstdio>
#include <ctime>

namespace bm {

namespace {

struct ShortName {
    int nid;
    const char* name;
};
// The platform's names for the attributes a subject carries; others show as their dotted identifier.
constexpr ShortName kShortNames[] = {
    {NID_commonName, "CN"},         {NID_countryName, "C"},          {NID_localityName, "L"},
    {NID_stateOrProvinceName, "S"}, {NID_streetAddress, "STREET"},   {NID_organizationName, "O"},
    {NID_organizationalUnitName, "OU"}, {NID_pkcs9_emailAddress, "E"}, {NID_title, "T"},
    {NID_givenName, "G"},           {NID_surname, "SN"},             {NID_initials, "I"},
    {NID_domainComponent, "DC"},    {NID_serialNumber, "SERIALNUMBER"},
};

std::string AttributeName(const ASN1_OBJECT* object)
{
    const int nid = OBJ_obj2nid(object);
    for (const ShortName& s : kShortNames)
        if (s.nid == nid) return s.name;
    char dotted[128] = {};
    OBJ_obj2txt(dotted, sizeof dotted, object, 1);
    return dotted;
}

std::string Quoted(const std::string& value)
{
    const bool quote = value.find_first_of(",+=\"\n<>#;") != std::string::npos ||
                       (!value.empty() && (value.front() == ' ' || value.back() == ' '));
    if (!quote) return value;
    std::string text = "\"";
    for (char c : value) {
        if (c == '"') text += '"';
        text += c;
    }
    return text + "\"";
}

std::string Hex(ByteView bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) text += {digits[b >> 4], digits[b & 15]};
    return text;
}

}  // namespace

X509Ptr X509FromDer(ByteView der)
{
    const unsigned char* p = der.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    return cert && p == der.data() + der.size() ? std::move(cert) : X509Ptr();
}

X509Ptr X509FromBase64(const std::string& base64)
{
    Bytes der(base64.size());
    const int n = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(base64.data()),
                                  static_cast<int>(base64.size()));
    if (n <= 0) return X509Ptr();
    // the block decoder counts the padding as zero bytes
    size_t size = static_cast<size_t>(n);
    for (size_t i = base64.size(); i > 0 && base64[i - 1] == '=' && size > 0; --i) --size;
    return X509FromDer(ByteView(der.data(), size));
}

std::string PlatformSubject(const X509* cert)
{
    const X509_NAME* name = X509_get_subject_name(cert);
    std::string text;
    int previousSet = -1;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const int set = X509_NAME_ENTRY_set(entry);
        if (i > 0) text += set == previousSet ? " + " : ", ";
        previousSet = set;
        unsigned char* utf8 = nullptr;
        const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
        const std::string value = n >= 0 ? std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(n)) : "";
        OPENSSL_free(utf8);
        text += AttributeName(X509_NAME_ENTRY_get_object(entry)) + "=" + Quoted(value);
    }
    return text;
}

std::string SerialHex(const X509* cert)
{
    // The content octets of the encoded INTEGER, as the certificate carries them.
    unsigned char* der = nullptr;
    const int n = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert), &der);
    if (n <= 0) return {};
    DerWalker walker(ByteView(der, static_cast<size_t>(n)));
    DerElement integer;
    const std::string text = walker.Expect(0x02, integer) ? Hex(integer.contents) : std::string();
    OPENSSL_free(der);
    return text;
}

std::string ShiftedTime(const ASN1_TIME* time, long offsetSeconds)
{
    struct tm parts = {};
    if (ASN1_TIME_to_tm(time, &parts) != 1) return {};
    const time_t shifted = timegm(&parts) + offsetSeconds;
    struct tm local = {};
    gmtime_r(&shifted, &local);
    char text[80];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::string SignatureAlgorithmOid(const X509* cert)
{
    const X509_ALGOR* algorithm = nullptr;
    X509_get0_signature(nullptr, &algorithm, cert);
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    char dotted[128] = {};
    OBJ_obj2txt(dotted, sizeof dotted, object, 1);
    return dotted;
}

std::string CertificateRecord(const X509* cert, const std::string& csp, long offsetSeconds)
{
    return PlatformSubject(cert) + ";" + SerialHex(cert) + ";" + ShiftedTime(X509_get0_notBefore(cert), offsetSeconds) +
           ";" + ShiftedTime(X509_get0_notAfter(cert), offsetSeconds) + ";" + csp;
}

std::string JoinRecords(const std::vector<std::string>& records)
{
    std::string text;
    for (size_t i = 0; i < records.size(); ++i) text += (i > 0 ? "||" : "") + records[i];
    return text;
}

}  // namespace bm
