// Certificates built field by field for the inventory tests; their signatures are filler, which nothing
// here verifies. Under Wine the platform parses a quoted value only as a name's last attribute, and quotes
// issuers that the unquoted rendering should leave bare: test issuers need no quotes.
#pragma once
#include "../request/RequestTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace invtest {

using reqtest::Narrow;
inline const WCHAR* SM2_TOKEN = TEXT("Software SM2 Token CSP v1.0");
inline const WCHAR* RSA_TOKEN = TEXT("Software RSA Token CSP v1.0");
inline const WCHAR* ENHANCED = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
inline const char* SHA256_RSA = "1.2.840.113549.1.1.11";
inline const char* SM3_SM2 = "1.2.156.10197.1.501";

inline FILETIME FileTimeOf(WORD wYear, WORD wMonth, WORD wDay, WORD wHour)
{
    SYSTEMTIME st = {wYear, wMonth, 0, wDay, wHour, 0, 0, 0};
    FILETIME ft = {};
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

// Valid from 2024-01-01 00:00:00 UTC to 2034-06-30 16:00:00 UTC: "2024-01-01 08:00:00" and
// "2034-07-01 00:00:00" at UTC+8.
struct CertTemplate {
    const WCHAR* pwszSubject = nullptr;
    ByteBuffer vecSerial = {0x01};  // most significant byte first
    const char* pszSignatureOID = SHA256_RSA;
    int nKeyUsage = -1;     // first key-usage byte; -1 no extension, -2 an empty bit string
    ByteBuffer vecKeyID = {};  // subject key identifier; empty: no extension
    const WCHAR* pwszIssuer = TEXT("C=CN, O=Root, CN=Inventory Test CA");
    FILETIME ftNotBefore = FileTimeOf(2024, 1, 1, 0);
    FILETIME ftNotAfter = FileTimeOf(2034, 6, 30, 16);
};

inline ByteBuffer Encode(LPCSTR lpszType, const void* pv)
{
    DWORD cb = 0;
    EXPECT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, lpszType, pv, nullptr, &cb)) << std::hex << GetLastError();
    ByteBuffer vec(cb);
    EXPECT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, lpszType, pv, vec.data(), &cb));
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

inline ByteBuffer MakeCertificate(const CertTemplate& tmpl)
{
    ByteBuffer vecSubject = EncodeName(tmpl.pwszSubject), vecIssuer = EncodeName(tmpl.pwszIssuer);
    ByteBuffer vecSerial(tmpl.vecSerial.rbegin(), tmpl.vecSerial.rend());
    BYTE rgbFiller[] = {0x30, 0x03, 0x02, 0x01, 0x03}, bUsage = static_cast<BYTE>(tmpl.nKeyUsage);
    LPSTR pszOID = const_cast<LPSTR>(tmpl.pszSignatureOID);
    CERT_INFO info = {CERT_V3, {static_cast<DWORD>(vecSerial.size()), vecSerial.data()}, {pszOID, {}},
                      {static_cast<DWORD>(vecIssuer.size()), vecIssuer.data()}, tmpl.ftNotBefore,
                      tmpl.ftNotAfter, {static_cast<DWORD>(vecSubject.size()), vecSubject.data()},
                      {{const_cast<LPSTR>(szOID_RSA_RSA), {}}, {sizeof(rgbFiller), rgbFiller, 0}}, {}, {}, 0, nullptr};
    CRYPT_BIT_BLOB stUsage = {tmpl.nKeyUsage == -2 ? 0u : 1u, &bUsage, 0};
    CRYPT_DATA_BLOB stKeyID = {static_cast<DWORD>(tmpl.vecKeyID.size()), const_cast<BYTE*>(tmpl.vecKeyID.data())};
    ByteBuffer vecUsage = tmpl.nKeyUsage != -1 ? Encode(X509_KEY_USAGE, &stUsage) : ByteBuffer();
    ByteBuffer vecKeyID = tmpl.vecKeyID.empty() ? ByteBuffer() : Encode(X509_OCTET_STRING, &stKeyID);
    CERT_EXTENSION rgExt[2] = {};
    for (auto [pszExtOID, pVec] : {std::pair{szOID_KEY_USAGE, &vecUsage}, std::pair{szOID_SUBJECT_KEY_IDENTIFIER, &vecKeyID}}) {
        if (pVec->empty()) continue;
        rgExt[info.cExtension++] = {const_cast<LPSTR>(pszExtOID), FALSE, {static_cast<DWORD>(pVec->size()), pVec->data()}};
    }
    info.rgExtension = rgExt;
    ByteBuffer vecToBeSigned = Encode(X509_CERT_TO_BE_SIGNED, &info);
    CERT_SIGNED_CONTENT_INFO stSigned = {{static_cast<DWORD>(vecToBeSigned.size()), vecToBeSigned.data()}, {pszOID, {}},
                                         {sizeof(rgbFiller), rgbFiller, 0}};
    return Encode(X509_CERT, &stSigned);
}

inline CertContext ContextOf(const ByteBuffer& vecCert)
{
    CertContext ctx(CertCreateCertificateContext(X509_ASN_ENCODING, vecCert.data(), static_cast<DWORD>(vecCert.size())));
    EXPECT_TRUE(ctx) << std::hex << GetLastError();
    return ctx;
}

inline void LinkToKey(PCCERT_CONTEXT pCert, const WCHAR* pwszProv, const WCHAR* pwszContainer, DWORD dwKeySpec)
{
    CRYPT_KEY_PROV_INFO info = {const_cast<LPWSTR>(pwszContainer), const_cast<LPWSTR>(pwszProv), PROV_RSA_FULL, 0, 0,
                                nullptr, dwKeySpec};
    EXPECT_TRUE(CertSetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
}

// Lower-case hexadecimal, bytes in the order given.
inline std::string Hex(const ByteBuffer& vec)
{
    std::string str;
    for (BYTE b : vec) str += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    return str;
}

inline std::vector<std::string> SplitRecords(const WString& wstrText)
{
    std::vector<std::string> vec;
    for (size_t nPos = 0, nEnd = 0; !wstrText.empty() && nPos <= wstrText.size(); nPos = nEnd + 2) {
        nEnd = std::min(wstrText.find(TEXT("||"), nPos), wstrText.size());
        vec.push_back(Narrow(wstrText.substr(nPos, nEnd - nPos)));
    }
    return vec;
}

}  // namespace invtest
