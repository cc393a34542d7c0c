// Chain documents built by the tests from certificates they make, and placements in the platform's stores
// and registry that end with the test. Signatures are filler: nothing in a chain check verifies them.
#pragma once
#include "../inventory/InventoryTestSupport.h"
#include "../request/ImportPatch.h"
#include "ResultCode.h"
#include "chain/CertificateChainOperate.h"
#include "codec/Misc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace chaintest {

using invtest::CertTemplate;
using invtest::FileTimeOf;
using invtest::MakeCertificate;

inline const char* SHA1_RSA = "1.2.840.113549.1.1.5";
inline const WCHAR* ROOT_PATH = TEXT("SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates");

// Serial numbers for test certificates: the platform takes issuer and serial number for a certificate's
// identity, so no two test certificates share both.
inline ByteBuffer NextSerial()
{
    static DWORD s_dwNext = GetTickCount();
    const DWORD dw = ++s_dwNext;
    return {0x11, static_cast<BYTE>(dw >> 24), static_cast<BYTE>(dw >> 16), static_cast<BYTE>(dw >> 8), static_cast<BYTE>(dw)};
}

// A self-signed root, and CAs it issued.
inline ByteBuffer MakeRoot(const WCHAR* pwszName, FILETIME ftNotBefore = FileTimeOf(2024, 1, 1, 0),
                           FILETIME ftNotAfter = FileTimeOf(2034, 6, 30, 16))
{
    CertTemplate tmpl;
    tmpl.pwszSubject = tmpl.pwszIssuer = pwszName;
    tmpl.pszSignatureOID = SHA1_RSA;
    tmpl.ftNotBefore = ftNotBefore;
    tmpl.ftNotAfter = ftNotAfter;
    tmpl.vecSerial = NextSerial();
    return MakeCertificate(tmpl);
}

inline ByteBuffer MakeCA(const WCHAR* pwszName, const char* pszSignatureOID = SHA1_RSA,
                         const WCHAR* pwszIssuer = TEXT("C=CN, O=Chain Test, CN=Chain Test Root"),
                         ByteBuffer vecSerial = NextSerial())
{
    CertTemplate tmpl;
    tmpl.pwszSubject = pwszName;
    tmpl.pwszIssuer = pwszIssuer;
    tmpl.pszSignatureOID = pszSignatureOID;
    tmpl.vecSerial = std::move(vecSerial);
    return MakeCertificate(tmpl);
}

// A DER PKCS#7 bundle without content or signers, as the documents carry one.
inline ByteBuffer MakeBundle(const std::vector<ByteBuffer>& vecCerts)
{
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    for (const ByteBuffer& vecCert : vecCerts)
        EXPECT_TRUE(CertAddEncodedCertificateToStore(hStore.get(), X509_ASN_ENCODING, vecCert.data(),
                                                     static_cast<DWORD>(vecCert.size()), CERT_STORE_ADD_ALWAYS, nullptr));
    CRYPT_DATA_BLOB stBlob = {};
    EXPECT_TRUE(CertSaveStore(hStore.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_STORE_SAVE_AS_PKCS7,
                              CERT_STORE_SAVE_TO_MEMORY, &stBlob, 0));
    ByteBuffer vecBundle(stBlob.cbData);
    stBlob.pbData = vecBundle.data();
    EXPECT_TRUE(CertSaveStore(hStore.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_STORE_SAVE_AS_PKCS7,
                              CERT_STORE_SAVE_TO_MEMORY, &stBlob, 0));
    vecBundle.resize(stBlob.cbData);
    return vecBundle;
}

// Base64 in the documents' 76-character CRLF lines, or unbroken.
inline std::string Base64(const ByteBuffer& vec, bool bLines = true)
{
    std::string str;
    EXPECT_EQ(Base64EncodeEx(vec.data(), static_cast<DWORD>(vec.size()), str), QORA_OK);
    if (!bLines) {
        std::string strUnbroken;
        for (char c : str)
            if (c != '\r' && c != '\n') strUnbroken += c;
        return strUnbroken;
    }
    return str;
}

// A certificate property blob: (id, data) elements, each with reserved 1.
inline ByteBuffer MakePropertyBlob(const std::vector<std::pair<DWORD, ByteBuffer>>& vecElements)
{
    ByteBuffer vecBlob;
    for (const auto& [dwId, vecData] : vecElements) {
        for (DWORD dw : {dwId, DWORD(1), static_cast<DWORD>(vecData.size())})
            for (int i = 0; i < 4; ++i) vecBlob.push_back(static_cast<BYTE>(dw >> (8 * i)));
        vecBlob.insert(vecBlob.end(), vecData.begin(), vecData.end());
    }
    return vecBlob;
}

inline ByteBuffer Sha1(const ByteBuffer& vecCert)
{
    ByteBuffer vecHash(20);
    DWORD cbHash = 20;
    EXPECT_TRUE(CryptHashCertificate(0, CALG_SHA1, 0, vecCert.data(), static_cast<DWORD>(vecCert.size()), vecHash.data(), &cbHash));
    return vecHash;
}

// The SHA-1 thumbprint, 40 upper-case digits: the name of a root's registry key.
inline WString Thumbprint(const ByteBuffer& vecCert)
{
    WString wstr;
    for (BYTE b : Sha1(vecCert)) wstr += {TEXT("0123456789ABCDEF")[b >> 4], TEXT("0123456789ABCDEF")[b & 15]};
    return wstr;
}

// One "Certificate" element of a root section.
inline std::string RootElement(const ByteBuffer& vecCert, const ByteBuffer& vecBlob)
{
    return "<Certificate SerialNum=\"01\" SubjectDN=\"test\">\r\n<ImportPath>" + invtest::Narrow(ROOT_PATH) +
           "</ImportPath>\r\n<EntryPoint>" + invtest::Narrow(Thumbprint(vecCert)) + "</EntryPoint>\r\n<Content>\r\n" +
           Base64(vecBlob) + "</Content>\r\n</Certificate>\r\n";
}

// A chain document around a root section's elements and a bundle element (whole elements, any names).
inline std::string Document(const std::string& strRootElements, const std::string& strBundleElements)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- chain test -->\r\n<root>\r\n<RootCACertificate>\r\n" +
           strRootElements + "</RootCACertificate>\r\n" + strBundleElements + "</root>\r\n";
}

inline std::string BundleElement(const std::vector<ByteBuffer>& vecCerts, const char* pszName = "P7bContent",
                                 bool bLines = true)
{
    return std::string("<") + pszName + ">\r\n" + Base64(MakeBundle(vecCerts), bLines) + "</" + pszName + ">\r\n";
}

inline HRESULT CheckDocument(const std::string& strDocument)
{
    return CheckCertChainfromBlobData(reinterpret_cast<const BYTE*>(strDocument.data()),
                                      static_cast<DWORD>(strDocument.size()));
}

inline HRESULT InstallDocument(const std::string& strDocument)
{
    return ImportCertificateChainfromBlobData(reinterpret_cast<const BYTE*>(strDocument.data()),
                                              static_cast<DWORD>(strDocument.size()));
}

// Whether a system store, as that location sees it, holds the certificate.
inline bool InStore(DWORD dwLocation, const WCHAR* pwszStore, const ByteBuffer& vecCert)
{
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, dwLocation | CERT_STORE_READONLY_FLAG, pwszStore));
    CertContext pCert(CertCreateCertificateContext(X509_ASN_ENCODING, vecCert.data(), static_cast<DWORD>(vecCert.size())));
    if (!hStore || !pCert) return false;
    CertContext pFound(CertFindCertificateInStore(hStore.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, pCert.get(), nullptr));
    return static_cast<bool>(pFound);
}

// Collect, then delete, then commit: deleting while enumerating never ends under Wine, and a deletion
// does not last there uncommitted.
inline void RemoveFromStore(DWORD dwLocation, const WCHAR* pwszStore, const ByteBuffer& vecCert)
{
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, dwLocation, pwszStore));
    if (!hStore) return;
    std::vector<PCCERT_CONTEXT> vecFound;
    PCCERT_CONTEXT pCert = nullptr;
    while ((pCert = CertEnumCertificatesInStore(hStore.get(), pCert)) != nullptr) {
        if (pCert->cbCertEncoded == vecCert.size() && memcmp(pCert->pbCertEncoded, vecCert.data(), vecCert.size()) == 0)
            vecFound.push_back(CertDuplicateCertificateContext(pCert));
    }
    for (PCCERT_CONTEXT pFound : vecFound) CertDeleteCertificateFromStore(pFound);
    CertControlStore(hStore.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

// A certificate placed into a system store for the test's duration.
class Placement {
public:
    Placement(DWORD dwLocation, const WCHAR* pwszStore, ByteBuffer vecCert)
        : m_dwLocation(dwLocation), m_pwszStore(pwszStore), m_vecCert(std::move(vecCert))
    {
        CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, dwLocation, pwszStore));
        EXPECT_TRUE(hStore) << std::hex << GetLastError();
        EXPECT_TRUE(CertAddEncodedCertificateToStore(hStore.get(), X509_ASN_ENCODING, m_vecCert.data(),
                                                     static_cast<DWORD>(m_vecCert.size()), CERT_STORE_ADD_NEW, nullptr))
            << std::hex << GetLastError();
        EXPECT_TRUE(CertControlStore(hStore.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr));
    }
    ~Placement() { RemoveFromStore(m_dwLocation, m_pwszStore, m_vecCert); }
    Placement(Placement&& other) noexcept
        : m_dwLocation(other.m_dwLocation), m_pwszStore(other.m_pwszStore), m_vecCert(std::move(other.m_vecCert))
    {
        other.m_vecCert.clear();
    }
    Placement(const Placement&) = delete;
    Placement& operator=(const Placement&) = delete;

private:
    DWORD m_dwLocation;
    const WCHAR* m_pwszStore;
    ByteBuffer m_vecCert;
};

// The registry place of a root, read and removed.
inline bool ReadRootBlob(const WString& wstrThumbprint, ByteBuffer& vecBlob)
{
    const WString wstrPath = WString(ROOT_PATH) + TEXT("\\") + wstrThumbprint;
    DWORD cbBlob = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, wstrPath.c_str(), TEXT("Blob"), RRF_RT_REG_BINARY, nullptr, nullptr, &cbBlob) !=
        ERROR_SUCCESS)
        return false;
    vecBlob.resize(cbBlob);
    return RegGetValueW(HKEY_LOCAL_MACHINE, wstrPath.c_str(), TEXT("Blob"), RRF_RT_REG_BINARY, nullptr, vecBlob.data(),
                        &cbBlob) == ERROR_SUCCESS;
}

// The root registry place exists on every installed system; a fresh prefix makes it when the machine's
// "Root" store is first opened for writing.
inline void EnsureRootPlaceExists()
{
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("Root")));
    EXPECT_TRUE(hStore) << std::hex << GetLastError();
}

inline void RemoveRootKey(const WString& wstrThumbprint)
{
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (WString(ROOT_PATH) + TEXT("\\") + wstrThumbprint).c_str());
}

// COM for the tests that load documents, as the agent's chain check and the install entry provide it.
class ChainTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }
};

}  // namespace chaintest
