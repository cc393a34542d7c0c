// Certificates built field by field (subject, serial, dates, signature algorithm, key usage, key
// identifier) for the inventory tests; their signatures are filler, which nothing here verifies. Names
// are parsed by the platform, which under Wine takes a quoted value only as the last attribute; Wine also
// quotes issuers that the unquoted rendering should leave bare, so test issuers need no quotes.
#pragma once
#include "Common.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace invtest {

inline const WCHAR* SM2_TOKEN = TEXT("Software SM2 Token CSP v1.0");
inline const WCHAR* RSA_TOKEN = TEXT("Software RSA Token CSP v1.0");
inline const WCHAR* ENHANCED = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
inline const char* SHA256_RSA = "1.2.840.113549.1.1.11";
inline const char* SM3_SM2 = "1.2.156.10197.1.501";

struct CertSpec {
    const WCHAR* pwszSubject = nullptr;
    ByteBuffer vecSerial = {0x01};       // most significant byte first
    const char* pszSignatureOID = SHA256_RSA;
    int nKeyUsage = -1;                   // first key-usage byte; -1 no extension, -2 an empty bit string
    ByteBuffer vecKeyID = {};             // subject key identifier; empty: no extension
    const WCHAR* pwszIssuer = TEXT("C=CN, O=Root, CN=Inventory Test CA");
};

inline ByteBuffer Encode(LPCSTR lpszType, const void* pv)
{
    DWORD cb = 0;
    EXPECT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, lpszType, pv, nullptr, &cb)) << std::hex << GetLastError();
    ByteBuffer vec(cb);
    EXPECT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, lpszType, pv, vec.data(), &cb));
    vec.resize(cb);
    return vec;
}

inline ByteBuffer EncodeName(const WCHAR* pwszName)
{
    DWORD cb = 0;
    CertStrToNameW(X509_ASN_ENCODING, pwszName, CERT_X500_NAME_STR, nullptr, nullptr, &cb, nullptr);
    ByteBuffer vec(cb);
    EXPECT_TRUE(CertStrToNameW(X509_ASN_ENCODING, pwszName, CERT_X500_NAME_STR, nullptr, vec.data(), &cb, nullptr));
    return vec;
}

inline FILETIME FileTimeOf(WORD wYear, WORD wMonth, WORD wDay, WORD wHour)
{
    SYSTEMTIME st = {wYear, wMonth, 0, wDay, wHour, 0, 0, 0};
    FILETIME ft = {};
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

// Valid from 2024-01-01 00:00:00 UTC to 2034-06-30 16:00:00 UTC: at UTC+8, "2024-01-01 08:00:00" and
// "2034-07-01 00:00:00".
inline ByteBuffer MakeCertificate(const CertSpec& spec)
{
    ByteBuffer vecSubject = EncodeName(spec.pwszSubject), vecIssuer = EncodeName(spec.pwszIssuer);
    ByteBuffer vecSerial(spec.vecSerial.rbegin(), spec.vecSerial.rend());
    BYTE rgbFiller[] = {0x30, 0x03, 0x02, 0x01, 0x03};
    CERT_INFO info = {};
    info.dwVersion = CERT_V3;
    info.SerialNumber = {static_cast<DWORD>(vecSerial.size()), vecSerial.data()};
    info.SignatureAlgorithm.pszObjId = const_cast<LPSTR>(spec.pszSignatureOID);
    info.Issuer = {static_cast<DWORD>(vecIssuer.size()), vecIssuer.data()};
    info.Subject = {static_cast<DWORD>(vecSubject.size()), vecSubject.data()};
    info.NotBefore = FileTimeOf(2024, 1, 1, 0);
    info.NotAfter = FileTimeOf(2034, 6, 30, 16);
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);
    info.SubjectPublicKeyInfo.PublicKey = {sizeof(rgbFiller), rgbFiller, 0};

    BYTE bUsage = static_cast<BYTE>(spec.nKeyUsage);
    CRYPT_BIT_BLOB stUsage = {spec.nKeyUsage == -2 ? 0u : 1u, &bUsage, 0};
    CRYPT_DATA_BLOB stKeyID = {static_cast<DWORD>(spec.vecKeyID.size()), const_cast<BYTE*>(spec.vecKeyID.data())};
    ByteBuffer vecUsage = spec.nKeyUsage != -1 ? Encode(X509_KEY_USAGE, &stUsage) : ByteBuffer();
    ByteBuffer vecKeyID = spec.vecKeyID.empty() ? ByteBuffer() : Encode(X509_OCTET_STRING, &stKeyID);
    CERT_EXTENSION rgExt[2] = {};
    if (!vecUsage.empty())
        rgExt[info.cExtension++] = {const_cast<LPSTR>(szOID_KEY_USAGE), TRUE, {static_cast<DWORD>(vecUsage.size()), vecUsage.data()}};
    if (!vecKeyID.empty())
        rgExt[info.cExtension++] = {const_cast<LPSTR>(szOID_SUBJECT_KEY_IDENTIFIER), FALSE,
                                    {static_cast<DWORD>(vecKeyID.size()), vecKeyID.data()}};
    info.rgExtension = rgExt;

    ByteBuffer vecToBeSigned = Encode(X509_CERT_TO_BE_SIGNED, &info);
    CERT_SIGNED_CONTENT_INFO signedInfo = {};
    signedInfo.ToBeSigned = {static_cast<DWORD>(vecToBeSigned.size()), vecToBeSigned.data()};
    signedInfo.SignatureAlgorithm.pszObjId = const_cast<LPSTR>(spec.pszSignatureOID);
    signedInfo.Signature = {sizeof(rgbFiller), rgbFiller, 0};
    return Encode(X509_CERT, &signedInfo);
}

inline CertContext ContextOf(const ByteBuffer& vecCert)
{
    CertContext ctx(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, vecCert.data(),
                                                 static_cast<DWORD>(vecCert.size())));
    EXPECT_TRUE(ctx) << std::hex << GetLastError();
    return ctx;
}

inline void LinkToKey(PCCERT_CONTEXT pCert, const WCHAR* pwszProv, const WCHAR* pwszContainer, DWORD dwKeySpec)
{
    CRYPT_KEY_PROV_INFO info = {const_cast<LPWSTR>(pwszContainer), const_cast<LPWSTR>(pwszProv), PROV_RSA_FULL, 0, 0,
                                nullptr, dwKeySpec};
    EXPECT_TRUE(CertSetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
}

inline std::vector<WString> SplitRecords(const WString& wstrText)
{
    std::vector<WString> vec;
    for (size_t nPos = 0; !wstrText.empty();) {
        const size_t nEnd = wstrText.find(TEXT("||"), nPos);
        vec.push_back(wstrText.substr(nPos, nEnd == WString::npos ? WString::npos : nEnd - nPos));
        if (nEnd == WString::npos) break;
        nPos = nEnd + 2;
    }
    return vec;
}

inline std::string Narrow(const WString& wstr)
{
    std::string str;
    for (WCHAR wch : wstr) str.push_back(static_cast<char>(wch));
    return str;
}

}  // namespace invtest
