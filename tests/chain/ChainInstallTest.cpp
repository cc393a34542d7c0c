// Installing a chain document: which roots reach the registry place of the machine's trusted roots and
// with what bytes, which bundle certificates reach the machine's "CA" store, and the property-blob walk.
#include "ChainTestSupport.h"

using namespace chaintest;

namespace {

// What an install test wrote: root keys and machine CA entries, removed whatever the outcome.
struct InstallCleanup {
    std::vector<WString> vecThumbprints;
    std::vector<ByteBuffer> vecCACerts;
    ~InstallCleanup()
    {
        for (const WString& wstrThumbprint : vecThumbprints) RemoveRootKey(wstrThumbprint);
        for (const ByteBuffer& vecCert : vecCACerts) RemoveFromStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA"), vecCert);
    }
};

const ByteBuffer kHash20(20, 0xA5);
const ByteBuffer kKeyId16(16, 0x3C);

}  // namespace

TEST_F(ChainTest, InstallWritesUnexpiredRootsAndAddsIntermediates)
{
    EnsureRootPlaceExists();
    const ByteBuffer vecExpired = MakeRoot(TEXT("C=CN, O=Chain Test, CN=Install Expired Root"), FileTimeOf(2010, 1, 1, 0),
                                           FileTimeOf(2020, 1, 1, 0));
    const ByteBuffer vecFuture = MakeRoot(TEXT("C=CN, O=Chain Test, CN=Install Future Root"), FileTimeOf(2090, 1, 1, 0),
                                          FileTimeOf(2099, 1, 1, 0));
    const ByteBuffer vecShort = MakeRoot(TEXT("C=CN, O=Chain Test, CN=Install Short Root"));
    const ByteBuffer vecRoot = MakeRoot(TEXT("C=CN, O=Chain Test, CN=Install Root"));
    const ByteBuffer vecCA = MakeCA(TEXT("C=CN, O=Chain Test, CN=Install CA"), SHA1_RSA,
                                    TEXT("C=CN, O=Chain Test, CN=Install Root"));
    CertTemplate stExpiredCA;
    stExpiredCA.pwszSubject = TEXT("C=CN, O=Chain Test, CN=Install Expired CA");
    stExpiredCA.ftNotAfter = FileTimeOf(2020, 1, 1, 0);
    stExpiredCA.vecSerial = NextSerial();
    const ByteBuffer vecExpiredCA = MakeCertificate(stExpiredCA);
    InstallCleanup cleanup;
    for (const ByteBuffer* pCert : {&vecExpired, &vecFuture, &vecShort, &vecRoot})
        cleanup.vecThumbprints.push_back(Thumbprint(*pCert));
    cleanup.vecCACerts = {vecCA, vecRoot, vecExpiredCA};

    // The certificate is not the last property; the other elements are written with it. (The platform
    // checks the SHA-1 property against the key's name.)
    const ByteBuffer vecRootBlob = MakePropertyBlob({{3, Sha1(vecRoot)}, {32, vecRoot}, {20, kKeyId16}});
    // Only two children: skipped, and the elements after it are still read.
    const std::string strShort = "<Certificate><ImportPath>" + invtest::Narrow(ROOT_PATH) + "</ImportPath><EntryPoint>" +
                                 invtest::Narrow(Thumbprint(vecShort)) + "</EntryPoint></Certificate>";
    const std::string strDocument =
        Document(RootElement(vecExpired, MakePropertyBlob({{32, vecExpired}})) + strShort +
                     RootElement(vecFuture, MakePropertyBlob({{32, vecFuture}})) + RootElement(vecRoot, vecRootBlob),
                 BundleElement({vecRoot, vecCA, vecExpiredCA}));

    ASSERT_EQ(InstallDocument(strDocument), QORA_OK);
    struct RootCase {
        const char* pszName;
        const ByteBuffer* pCert;
        bool bWritten;
    };
    ByteBuffer vecBlob;
    for (const RootCase& c : std::vector<RootCase>{{"expired", &vecExpired, false},
                                                   {"two children", &vecShort, false},
                                                   {"not yet valid", &vecFuture, true},
                                                   {"certificate not the last property", &vecRoot, true}}) {
        SCOPED_TRACE(c.pszName);
        EXPECT_EQ(ReadRootBlob(Thumbprint(*c.pCert), vecBlob), c.bWritten);
        EXPECT_EQ(InStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("Root"), *c.pCert), c.bWritten);
    }
    ASSERT_TRUE(ReadRootBlob(Thumbprint(vecRoot), vecBlob));
    EXPECT_EQ(vecBlob, vecRootBlob);
    EXPECT_TRUE(InStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA"), vecCA));
    EXPECT_FALSE(InStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA"), vecRoot)) << "self-signed never goes to CA";
    EXPECT_FALSE(InStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA"), vecExpiredCA));

    // Again, over a Blob value changed meanwhile: rewritten, and the CA already there is no error.
    const BYTE rgbOther[] = {1, 2, 3};
    ASSERT_EQ(RegWriteBinaryValue(ROOT_PATH, Thumbprint(vecRoot).c_str(), rgbOther, sizeof(rgbOther)), QORA_OK);
    EXPECT_EQ(InstallDocument(strDocument), QORA_OK);
    ASSERT_TRUE(ReadRootBlob(Thumbprint(vecRoot), vecBlob));
    EXPECT_EQ(vecBlob, vecRootBlob);
}

TEST(ChainInstall, PropertyBlobWalkFindsTheCertificateWithinTheBlob)
{
    const ByteBuffer vecCert = {0x30, 0x03, 0x02, 0x01, 0x07};
    const ByteBuffer vecHeaderOnly = MakePropertyBlob({{3, kHash20}});
    ByteBuffer vecTruncated = vecHeaderOnly;  // a second header begins 11 bytes before the end
    vecTruncated.insert(vecTruncated.end(), {0x20, 0, 0, 0, 1, 0, 0, 0, 0x05, 0, 0});
    ByteBuffer vecPastEnd = MakePropertyBlob({{32, vecCert}});
    vecPastEnd[8] = 0x06;  // one byte more than there is
    ByteBuffer vecHighBits = MakePropertyBlob({{3, kHash20}, {32, vecCert}});
    vecHighBits[32 + 3] = 0xFF;  // only the low 24 bits of an id count
    vecHighBits[32 + 11] = 0xFF;  // nor of a length
    struct BlobCase {
        const char* pszName;
        ByteBuffer vecBlob;
        HRESULT hrWant;
    };
    for (const BlobCase& c : std::vector<BlobCase>{
             {"certificate last", MakePropertyBlob({{3, kHash20}, {4, kKeyId16}, {32, vecCert}}), QORA_OK},
             {"certificate first", MakePropertyBlob({{32, vecCert}, {3, kHash20}}), QORA_OK},
             {"high bits of id and length ignored", vecHighBits, QORA_OK},
             {"no certificate", MakePropertyBlob({{3, kHash20}, {4, kKeyId16}}), E_FAIL},
             {"header in the last 11 bytes", vecTruncated, E_FAIL},
             {"data past the end", vecPastEnd, E_FAIL},
             {"shorter than a header", ByteBuffer{0x20, 0, 0, 0}, E_FAIL}}) {
        SCOPED_TRACE(c.pszName);
        const WString wstrContent = WString(TEXT("\r\n")) + [&] {
            std::string str = Base64(c.vecBlob);
            return WString(str.begin(), str.end());
        }();
        ByteBuffer vecOut = {0xEE};
        EXPECT_EQ(GetCertFromCertificateBlobProperties(wstrContent.c_str(), vecOut), c.hrWant);
        EXPECT_EQ(vecOut, c.hrWant == QORA_OK ? vecCert : ByteBuffer{0xEE});
    }
}

namespace {

using CertOpenStoreFn = HCERTSTORE(WINAPI*)(LPCSTR, DWORD, HCRYPTPROV_LEGACY, DWORD, const void*);
CertOpenStoreFn g_pfnCertOpenStore = nullptr;

// The machine's "CA" store refuses to open, as it does for a user without administrative rights.
HCERTSTORE WINAPI MachineCAOpenDenied(LPCSTR lpszProvider, DWORD dwEncoding, HCRYPTPROV_LEGACY hProv, DWORD dwFlags,
                                      const void* pvPara)
{
    if (lpszProvider == CERT_STORE_PROV_SYSTEM_W && (dwFlags & CERT_SYSTEM_STORE_LOCAL_MACHINE) != 0 &&
        lstrcmpiW(static_cast<const WCHAR*>(pvPara), TEXT("CA")) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return g_pfnCertOpenStore(lpszProvider, dwEncoding, hProv, dwFlags, pvPara);
}

}  // namespace

TEST(ChainInstall, UnopenableMachineStoreEndsWithThePlatformError)
{
    const ByteBuffer vecBundle = MakeBundle({MakeCA(TEXT("C=CN, O=Chain Test, CN=Install Denied CA"))});
    CertStore hBundle;
    ASSERT_EQ(ImportP7bCertificatestoStore(vecBundle.data(), static_cast<DWORD>(vecBundle.size()), hBundle), QORA_OK);
    reqtest::ImportPatch patch("crypt32.dll", "CertOpenStore", reinterpret_cast<const void*>(&MachineCAOpenDenied));
    ASSERT_TRUE(patch.Active());
    g_pfnCertOpenStore = patch.Original<CertOpenStoreFn>();
    EXPECT_EQ(AddCACertficatetoStore(hBundle.get()), E_ACCESSDENIED);
}
