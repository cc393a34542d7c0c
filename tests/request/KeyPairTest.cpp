// Key-pair generation in the Microsoft software providers: container names, provider types, key
// lengths, a second key through the returned handle, and no container left after a failed generation.
#include "RequestTestSupport.h"

#include "ResultCode.h"
#include "ImportPatch.h"
#include "request/CertificateRequisition.h"

using reqtest::ContainerSweeper;
using reqtest::EnumContainers;
using reqtest::MicrosoftProviders;
using reqtest::ProviderCase;

namespace {

bool IsGuidText(const WString& wstr)
{
    if (wstr.size() != 38 || wstr.front() != TEXT('{') || wstr.back() != TEXT('}')) return false;
    for (size_t i = 1; i < 37; ++i) {
        WCHAR c = wstr[i];
        bool bHyphen = i == 9 || i == 14 || i == 19 || i == 24;
        if (bHyphen ? c != TEXT('-') : !((c >= TEXT('0') && c <= TEXT('9')) || (c >= TEXT('A') && c <= TEXT('F'))))
            return false;
    }
    return true;
}

DWORD KeyLengthOf(HCRYPTPROV hProv, DWORD dwKeySpec)
{
    CryptKey hKey;
    if (!CryptGetUserKey(hProv, dwKeySpec, hKey.put())) return 0;
    DWORD dw = 0, cb = sizeof(dw);
    EXPECT_TRUE(CryptGetKeyParam(hKey.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&dw), &cb, 0));
    return dw;
}

// The modulus length of an exported public key info, through the platform decoder.
DWORD ModulusBitsOf(const ByteBuffer& vecInfo)
{
    const CERT_PUBLIC_KEY_INFO* pInfo = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(vecInfo.data());
    EXPECT_STREQ(pInfo->Algorithm.pszObjId, "1.2.840.113549.1.1.1");
    BYTE rgbBlob[1024] = {};
    DWORD cb = sizeof(rgbBlob);
    if (!CryptDecodeObject(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, pInfo->PublicKey.pbData, pInfo->PublicKey.cbData, 0,
                           rgbBlob, &cb))
        return 0;
    return reinterpret_cast<const RSAPUBKEY*>(rgbBlob + sizeof(BLOBHEADER))->bitlen;
}

DWORD g_cbExportReported = 0;

// Exports of a provider that reports a public key size it could never deliver.
BOOL WINAPI ReportPublicKeyInfoSize(HCRYPTPROV, DWORD, DWORD, CERT_PUBLIC_KEY_INFO* pInfo, DWORD* pcbInfo)
{
    if (pInfo == nullptr) {
        *pcbInfo = g_cbExportReported;
        return TRUE;
    }
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
}

BOOL WINAPI ReportKeyBlobSize(HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE* pbData, DWORD* pcbData)
{
    if (pbData == nullptr) {
        *pcbData = g_cbExportReported;
        return TRUE;
    }
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
}

}  // namespace

TEST(KeyPair, NewContainerIsAGuidNameInTheProvidersTypeWithTheRequestedLength)
{
    struct Case {
        ProviderCase provider;
        DWORD dwKeyLength;
        DWORD dwKeySpec;
    };
    std::vector<Case> cases;
    for (const ProviderCase& p : MicrosoftProviders()) {
        cases.push_back({p, 512, AT_KEYEXCHANGE});
        cases.push_back({p, 1024, AT_SIGNATURE});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << reqtest::Narrow(c.provider.pwszName) << " " << c.dwKeyLength << " spec "
                                        << c.dwKeySpec);
        ContainerSweeper sweeper(c.provider.pwszName, c.provider.dwType);
        WString wstrContainer;
        ByteBuffer vecPublicKey;
        CryptProv hProv;
        ASSERT_EQ(CreatePublicKey(wstrContainer, vecPublicKey, c.dwKeyLength, c.provider.pwszName, TRUE, c.dwKeySpec,
                                  TRUE, hProv, CRYPT_EXPORTABLE),
                  QORA_OK);
        EXPECT_TRUE(IsGuidText(wstrContainer)) << reqtest::Narrow(wstrContainer);
        ASSERT_TRUE(hProv);
        // The provider's PP_PROVTYPE is not reliable; the dispatcher refuses any other type for the name,
        // so an open handle proves the type used.
        CryptProv hOtherType;
        EXPECT_FALSE(CryptAcquireContextW(hOtherType.put(), nullptr, c.provider.pwszName,
                                          c.provider.dwType == PROV_RSA_AES ? PROV_RSA_FULL : PROV_RSA_AES,
                                          CRYPT_VERIFYCONTEXT));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH));
        EXPECT_EQ(KeyLengthOf(hProv.get(), c.dwKeySpec), c.dwKeyLength);
        EXPECT_EQ(KeyLengthOf(hProv.get(), 3 - c.dwKeySpec), 0u);
        EXPECT_EQ(ModulusBitsOf(vecPublicKey), c.dwKeyLength);
        hProv.reset();
        EXPECT_EQ(sweeper.NewContainers(), std::set<WString>{wstrContainer});
    }
}

TEST(KeyPair, SecondKeyGoesIntoTheSameContainerThroughTheReturnedHandle)
{
    const ProviderCase& p = MicrosoftProviders()[1];
    ContainerSweeper sweeper(p.pwszName, p.dwType);
    WString wstrContainer;
    ByteBuffer vecExchange, vecSign;
    CryptProv hProv;
    ASSERT_EQ(CreatePublicKey(wstrContainer, vecExchange, 1024, p.pwszName, TRUE, AT_KEYEXCHANGE, TRUE, hProv, 0),
              QORA_OK);
    HCRYPTPROV hFirst = hProv.get();

    WString wstrSecond = wstrContainer;
    ASSERT_EQ(CreatePublicKey(wstrSecond, vecSign, 512, p.pwszName, TRUE, AT_SIGNATURE, FALSE, hProv, 0), QORA_OK);
    EXPECT_EQ(hProv.get(), hFirst);
    EXPECT_EQ(wstrSecond, wstrContainer);
    EXPECT_NE(vecExchange, vecSign);
    hProv.reset();

    // Both keys persist in the one container once the generating context is released.
    ASSERT_TRUE(CryptAcquireContextW(hProv.put(), wstrContainer.c_str(), p.pwszName, p.dwType, 0));
    EXPECT_EQ(KeyLengthOf(hProv.get(), AT_KEYEXCHANGE), 1024u);
    EXPECT_EQ(KeyLengthOf(hProv.get(), AT_SIGNATURE), 512u);
    hProv.reset();
    EXPECT_EQ(sweeper.NewContainers(), std::set<WString>{wstrContainer});
}

TEST(KeyPair, FailedGenerationInANewContainerLeavesNoContainer)
{
    struct Case {
        ProviderCase provider;
        BOOL bIsRSA;
        DWORD dwKeyLength;
        HRESULT hWant;  // E_FAIL: the provider's own failure, whatever it is
    };
    std::vector<Case> cases;
    for (const ProviderCase& p : MicrosoftProviders()) {
        cases.push_back({p, TRUE, 100, E_FAIL});  // below every provider's minimum
        // SM2 asked of a Microsoft provider: its deletion flags do not delete there.
        cases.push_back({p, FALSE, 256, E_FAIL});
        // Lengths that do not fit the 16 bits of the generation flags would wrap to 1024 and 512.
        cases.push_back({p, TRUE, 66560, QORA_E_KEY_LENGTH});
        cases.push_back({p, TRUE, 0x80000000, QORA_E_KEY_LENGTH});
    }
    const ProviderCase rsaToken = {TEXT("Software RSA Token CSP v1.0"), PROV_RSA_FULL};
    CryptProv hProbe;
    if (CryptAcquireContextW(hProbe.put(), nullptr, rsaToken.pwszName, rsaToken.dwType, CRYPT_VERIFYCONTEXT))
        cases.push_back({rsaToken, TRUE, 66560, QORA_E_KEY_LENGTH});
    hProbe.reset();

    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << reqtest::Narrow(c.provider.pwszName) << (c.bIsRSA ? " RSA " : " SM2 ")
                                        << c.dwKeyLength);
        ContainerSweeper sweeper(c.provider.pwszName, c.provider.dwType);
        std::set<WString> before = EnumContainers(c.provider.pwszName, c.provider.dwType);
        WString wstrContainer;
        ByteBuffer vecPublicKey;
        CryptProv hProv;
        HRESULT hResult = CreatePublicKey(wstrContainer, vecPublicKey, c.dwKeyLength, c.provider.pwszName, c.bIsRSA,
                                          AT_SIGNATURE, TRUE, hProv, 0);
        if (c.hWant == E_FAIL) {
            EXPECT_TRUE(FAILED(hResult));
            EXPECT_NE(hResult, E_FAIL);
        } else {
            EXPECT_EQ(hResult, c.hWant);
            EXPECT_FALSE(hProv);  // refused before the provider was opened
        }
        EXPECT_TRUE(wstrContainer.empty());
        EXPECT_TRUE(vecPublicKey.empty());
        hProv.reset();
        EXPECT_EQ(EnumContainers(c.provider.pwszName, c.provider.dwType), before);
    }
}

TEST(KeyPair, OpeningFailuresReturnThePlatformsError)
{
    const ProviderCase& p = MicrosoftProviders()[1];
    ContainerSweeper sweeper(p.pwszName, p.dwType);
    WString wstrContainer;
    ByteBuffer vecPublicKey;
    CryptProv hProv;
    // An existing container cannot be created again.
    ASSERT_EQ(CreatePublicKey(wstrContainer, vecPublicKey, 512, p.pwszName, TRUE, AT_SIGNATURE, TRUE, hProv, 0), QORA_OK);
    hProv.reset();
    WString wstrAgain = wstrContainer;
    EXPECT_EQ(CreatePublicKey(wstrAgain, vecPublicKey, 512, p.pwszName, TRUE, AT_SIGNATURE, TRUE, hProv, 0), NTE_EXISTS);
    hProv.reset();
    // A new name without new key set is a missing key set; nothing is created.
    WString wstrMissing;
    EXPECT_EQ(CreatePublicKey(wstrMissing, vecPublicKey, 512, p.pwszName, TRUE, AT_SIGNATURE, FALSE, hProv, 0),
              NTE_BAD_KEYSET);
    EXPECT_TRUE(wstrMissing.empty());
    EXPECT_FALSE(hProv);
    // An unknown provider name.
    EXPECT_EQ(CreatePublicKey(wstrMissing, vecPublicKey, 512, TEXT("No Such Provider"), TRUE, AT_SIGNATURE, TRUE, hProv, 0),
              NTE_KEYSET_NOT_DEF);
    EXPECT_EQ(sweeper.NewContainers(), std::set<WString>{wstrContainer});
}

TEST(KeyPair, ExportSizeNoBufferCanHoldFailsAndRemovesTheNewContainer)
{
    reqtest::AllocationCeiling ceiling;
    ASSERT_TRUE(ceiling.Active());
    struct Case {
        const char* pszName;
        ProviderCase provider;
        BOOL bIsRSA;
        DWORD dwKeyLength;
        const char* pszModule;
        const char* pszFunction;
        const void* pvReplacement;
    };
    std::vector<Case> cases = {
        {"RSA", MicrosoftProviders()[1], TRUE, 512, "crypt32.dll", "CryptExportPublicKeyInfo",
         reinterpret_cast<const void*>(&ReportPublicKeyInfoSize)},
    };
    const ProviderCase sm2 = {TEXT("Software SM2 Token CSP v1.0"), PROV_RSA_FULL};
    CryptProv hProbe;
    if (CryptAcquireContextW(hProbe.put(), nullptr, sm2.pwszName, sm2.dwType, CRYPT_VERIFYCONTEXT))
        cases.push_back({"SM2", sm2, FALSE, 256, "advapi32.dll", "CryptExportKey",
                         reinterpret_cast<const void*>(&ReportKeyBlobSize)});
    hProbe.reset();

    for (const Case& c : cases) {
        for (DWORD cb : reqtest::kImpossibleSizes) {
            SCOPED_TRACE(testing::Message() << c.pszName << " " << std::hex << cb);
            ContainerSweeper sweeper(c.provider.pwszName, c.provider.dwType);
            std::set<WString> before = EnumContainers(c.provider.pwszName, c.provider.dwType);
            g_cbExportReported = cb;
            WString wstrContainer;
            ByteBuffer vecPublicKey = {0xEE};
            CryptProv hProv;
            HRESULT hResult = E_FAIL;
            {
                reqtest::ImportPatch patch(c.pszModule, c.pszFunction, c.pvReplacement);
                ASSERT_TRUE(patch.Active());
                hResult = CreatePublicKey(wstrContainer, vecPublicKey, c.dwKeyLength, c.provider.pwszName, c.bIsRSA,
                                          AT_SIGNATURE, TRUE, hProv, 0);
            }
            EXPECT_EQ(hResult, E_OUTOFMEMORY);
            EXPECT_TRUE(wstrContainer.empty());
            EXPECT_EQ(vecPublicKey, ByteBuffer{0xEE});
            EXPECT_FALSE(hProv);
            hProv.reset();
            EXPECT_EQ(EnumContainers(c.provider.pwszName, c.provider.dwType), before);
        }
    }
}
