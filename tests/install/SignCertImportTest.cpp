// Signing-certificate import: Microsoft CSPs link the certificate in MY to its container, other CSPs keep
// it in the container; the text tolerates commas and line breaks; every decoded text leaves a dump file.
#include "../request/RequestTestSupport.h"
#include "ResultCode.h"
#include "codec/Misc.h"
#include "install/ImportEncryptCert.h"
#include "install/ImportSignCert.h"
#include "CertTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The MY store's copy of the certificate and its key-provider link, if there is one.
bool FindInMy(const ByteBuffer& vecCert, WString& wstrContainer, WString& wstrProvider, DWORD& dwType,
              DWORD& dwKeySpec, int& nCopies)
{
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY")));
    nCopies = 0;
    bool bLinked = false;
    PCCERT_CONTEXT pCert = nullptr;
    while ((pCert = CertEnumCertificatesInStore(hStore.get(), pCert)) != nullptr) {
        if (pCert->cbCertEncoded != vecCert.size() ||
            memcmp(pCert->pbCertEncoded, vecCert.data(), vecCert.size()) != 0)
            continue;
        ++nCopies;
        DWORD cb = 0;
        if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) continue;
        std::vector<BYTE> vec(cb);
        if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, vec.data(), &cb)) continue;
        const CRYPT_KEY_PROV_INFO* pInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(vec.data());
        wstrContainer = pInfo->pwszContainerName;
        wstrProvider = pInfo->pwszProvName;
        dwType = pInfo->dwProvType;
        dwKeySpec = pInfo->dwKeySpec;
        bLinked = true;
    }
    return bLinked;
}

size_t CountDumpFiles()
{
    WString wstrTemp;
    if (FAILED(GetTempDirPath(wstrTemp))) return 0;
    WIN32_FIND_DATAW stFind;
    HANDLE hFind = FindFirstFileW((wstrTemp + TEXT("*.QORA")).c_str(), &stFind);
    if (hFind == INVALID_HANDLE_VALUE) return 0;
    size_t n = 0;
    do ++n;
    while (FindNextFileW(hFind, &stFind));
    FindClose(hFind);
    return n;
}

}  // namespace

TEST(SignCertImport, MicrosoftCspsLinkTheCertificateInMyToItsContainer)
{
    struct Case {
        const WCHAR* pwszCSP;
        DWORD dwType;
        DWORD dwKeySpec;
        const WCHAR* pwszAlgorithm;
        bool bMangle;  // commas and line breaks through the text
    };
    for (const Case& c : std::vector<Case>{
             {TEXT("Microsoft Enhanced Cryptographic Provider v1.0"), PROV_RSA_FULL, AT_KEYEXCHANGE, TEXT("RSA"), false},
             {TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider"), PROV_RSA_AES, AT_SIGNATURE, TEXT("rsa"), true},
         }) {
        SCOPED_TRACE(reqtest::Narrow(c.pwszCSP));
        reqtest::ContainerSweeper sweeper(c.pwszCSP, c.dwType);
        KeyAndCert kc = MakeKeyAndCert(c.pwszCSP, c.dwType, c.dwKeySpec);
        WString wstrText = kc.wstrBase64;
        if (c.bMangle)
            for (size_t i = 60; i < wstrText.size(); i += 61) wstrText.insert(i, TEXT(",\r\n"));
        const size_t nDumpsBefore = CountDumpFiles();
        for (int nTimes = 0; nTimes < 2; ++nTimes) {
            WString wstrCopy = wstrText;
            ASSERT_EQ(ImportSignCert(c.pwszAlgorithm, wstrCopy, c.dwKeySpec, c.pwszCSP, kc.wstrContainer), QORA_OK);
            EXPECT_EQ(wstrCopy.find(TEXT(',')), WString::npos) << "the text loses its commas";
        }
        EXPECT_EQ(CountDumpFiles(), nDumpsBefore + 2);

        WString wstrContainer, wstrProvider;
        DWORD dwType = 0, dwKeySpec = 0;
        int nCopies = 0;
        EXPECT_TRUE(FindInMy(kc.vecCert, wstrContainer, wstrProvider, dwType, dwKeySpec, nCopies));
        EXPECT_EQ(nCopies, 1) << "the second import replaces the first";
        EXPECT_TRUE(wstrContainer == kc.wstrContainer);
        EXPECT_TRUE(wstrProvider == c.pwszCSP);
        EXPECT_EQ(dwType, c.dwType);
        EXPECT_EQ(dwKeySpec, c.dwKeySpec);
        RemoveFromMy(kc.vecCert);
    }
}

TEST(SignCertImport, OtherCspsKeepTheCertificateInTheContainer)
{
    const WCHAR kToken[] = TEXT("Software RSA Token CSP v1.0");
    CryptProv hProbe;
    if (!CryptAcquireContextW(hProbe.put(), nullptr, kToken, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        GTEST_SKIP() << "the RSA token is not registered in this prefix";
    hProbe.reset();
    reqtest::ContainerSweeper sweeper(kToken, PROV_RSA_FULL);
    KeyAndCert kc = MakeKeyAndCert(kToken, PROV_RSA_FULL, AT_SIGNATURE);
    ASSERT_FALSE(kc.vecCert.empty());
    WString wstrText = kc.wstrBase64;
    ASSERT_EQ(ImportSignCert(TEXT("RSA"), wstrText, AT_SIGNATURE, kToken, kc.wstrContainer), QORA_OK);

    CryptProv hProv;
    CryptKey hKey;
    ASSERT_TRUE(CryptAcquireContextW(hProv.put(), kc.wstrContainer.c_str(), kToken, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptGetUserKey(hProv.get(), AT_SIGNATURE, hKey.put()));
    DWORD cb = 0;
    ASSERT_TRUE(CryptGetKeyParam(hKey.get(), KP_CERTIFICATE, nullptr, &cb, 0));
    ByteBuffer vec(cb);
    ASSERT_TRUE(CryptGetKeyParam(hKey.get(), KP_CERTIFICATE, vec.data(), &cb, 0));
    vec.resize(cb);
    EXPECT_EQ(vec, kc.vecCert);
    WString wstrContainer, wstrProvider;
    DWORD dwType = 0, dwKeySpec = 0;
    int nCopies = 0;
    FindInMy(kc.vecCert, wstrContainer, wstrProvider, dwType, dwKeySpec, nCopies);
    EXPECT_EQ(nCopies, 0) << "MY is left untouched";
}

TEST(SignCertImport, FailuresNameTheirStep)
{
    const WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
    reqtest::ContainerSweeper sweeper(kEnhanced, PROV_RSA_FULL);
    KeyAndCert kc = MakeKeyAndCert(kEnhanced, PROV_RSA_FULL, AT_KEYEXCHANGE);
    struct Case {
        const char* pszName;
        WString wstrText;
        DWORD dwKeySpec;
        WString wstrContainer;
        HRESULT hWant;
    };
    for (const Case& c : std::vector<Case>{
             {"no key of that spec", kc.wstrBase64, AT_SIGNATURE, kc.wstrContainer, static_cast<HRESULT>(NTE_NO_KEY)},
             {"no such container", kc.wstrBase64, AT_KEYEXCHANGE, TEXT("{no such container}"),
              static_cast<HRESULT>(NTE_BAD_KEYSET)},
             {"empty text", TEXT(""), AT_KEYEXCHANGE, kc.wstrContainer, E_FAIL},
             {"not a certificate", TEXT("AAAA"), AT_KEYEXCHANGE, kc.wstrContainer,
              static_cast<HRESULT>(CRYPT_E_ASN1_BADTAG)},
         }) {
        SCOPED_TRACE(c.pszName);
        WString wstrText = c.wstrText;
        HRESULT hResult = ImportSignCert(TEXT("RSA"), wstrText, c.dwKeySpec, kEnhanced, c.wstrContainer);
        if (c.hWant == static_cast<HRESULT>(CRYPT_E_ASN1_BADTAG))
            EXPECT_TRUE(FAILED(hResult));  // the platform's decoder error, whichever it picks
        else
            EXPECT_EQ(hResult, c.hWant);
    }
    WString wstrContainer, wstrProvider;
    DWORD dwType = 0, dwKeySpec = 0;
    int nCopies = 0;
    FindInMy(kc.vecCert, wstrContainer, wstrProvider, dwType, dwKeySpec, nCopies);
    EXPECT_EQ(nCopies, 0) << "nothing stored by a failed import";
}
