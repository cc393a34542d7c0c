// The agent's chain check over the two RSA documents linked into this program: its answer, its flag and
// its last result as the machine's stores change.
#include "ChainTestSupport.h"

#include "agent/CryptoAgent.h"

using namespace chaintest;

namespace {

// The certificates of a linked document's bundle, read here without the product's XML or Base64 code.
std::vector<ByteBuffer> BundleOf(WORD wResourceID)
{
    std::vector<ByteBuffer> vecCerts;
    HMODULE hModule = GetModuleHandleW(nullptr);
    HRSRC hResource = FindResourceW(hModule, MAKEINTRESOURCEW(wResourceID), TEXT("CERTIFICATE"));
    if (hResource == nullptr) {
        ADD_FAILURE() << "document " << wResourceID << " is not linked in";
        return vecCerts;
    }
    const char* pchDocument = static_cast<const char*>(LockResource(LoadResource(hModule, hResource)));
    const std::string strDocument(pchDocument, SizeofResource(hModule, hResource));
    const size_t nBegin = strDocument.find("<P7bContent>") + 12, nEnd = strDocument.find("</P7bContent>");
    const std::string strBase64 = strDocument.substr(nBegin, nEnd - nBegin);
    DWORD cbBundle = 0;
    CryptStringToBinaryA(strBase64.c_str(), 0, CRYPT_STRING_BASE64, nullptr, &cbBundle, nullptr, nullptr);
    ByteBuffer vecBundle(cbBundle);
    EXPECT_TRUE(CryptStringToBinaryA(strBase64.c_str(), 0, CRYPT_STRING_BASE64, vecBundle.data(), &cbBundle, nullptr, nullptr));
    CRYPT_DATA_BLOB stBlob = {cbBundle, vecBundle.data()};
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, &stBlob));
    PCCERT_CONTEXT pCert = nullptr;
    while (hStore && (pCert = CertEnumCertificatesInStore(hStore.get(), pCert)) != nullptr)
        vecCerts.emplace_back(pCert->pbCertEncoded, pCert->pbCertEncoded + pCert->cbCertEncoded);
    EXPECT_FALSE(vecCerts.empty());
    return vecCerts;
}

// The registry names of a linked document's roots.
std::vector<WString> EntryPointsOf(WORD wResourceID)
{
    std::vector<WString> vecNames;
    HMODULE hModule = GetModuleHandleW(nullptr);
    HRSRC hResource = FindResourceW(hModule, MAKEINTRESOURCEW(wResourceID), TEXT("CERTIFICATE"));
    const std::string strDocument(static_cast<const char*>(LockResource(LoadResource(hModule, hResource))),
                                  SizeofResource(hModule, hResource));
    for (size_t nPos = strDocument.find("<EntryPoint>"); nPos != std::string::npos;
         nPos = strDocument.find("<EntryPoint>", nPos + 1))
        vecNames.emplace_back(strDocument.begin() + nPos + 12, strDocument.begin() + strDocument.find('<', nPos + 12));
    EXPECT_FALSE(vecNames.empty());
    return vecNames;
}

// Puts a document's bundle where the check looks: roots into the machine's "Root", the others into its "CA".
void PlaceBundle(WORD wResourceID, std::vector<Placement>& vecPlacements)
{
    for (const ByteBuffer& vecCert : BundleOf(wResourceID)) {
        CertContext pCert(CertCreateCertificateContext(X509_ASN_ENCODING, vecCert.data(), static_cast<DWORD>(vecCert.size())));
        ASSERT_TRUE(pCert);
        const CERT_INFO& stInfo = *pCert.get()->pCertInfo;
        const bool bSelfSigned = stInfo.Subject.cbData == stInfo.Issuer.cbData &&
                                 memcmp(stInfo.Subject.pbData, stInfo.Issuer.pbData, stInfo.Subject.cbData) == 0;
        vecPlacements.emplace_back(CERT_SYSTEM_STORE_LOCAL_MACHINE, bSelfSigned ? TEXT("Root") : TEXT("CA"), vecCert);
    }
}

}  // namespace

TEST(AgentChainCheck, GoodOnlyWhenBothRSAChainsAreInstalled)
{
    CCryptoAgent agent;
    std::vector<Placement> vecPlacements;
    struct Stage {
        const char* pszName;
        WORD wPlace;  // 0: nothing more
        HRESULT hrWant;
    };
    for (const Stage& stage : std::vector<Stage>{{"nothing installed", 0, CRYPT_E_NOT_FOUND},
                                                 {"production chain installed", IDR_RSA_CERTIFICATE_CHAIN, CRYPT_E_NOT_FOUND},
                                                 {"test chain installed too", IDR_TEST_RSA_CERTIFICATE_CHAIN, QORA_OK}}) {
        SCOPED_TRACE(stage.pszName);
        if (stage.wPlace != 0) PlaceBundle(stage.wPlace, vecPlacements);
        VARIANT_BOOL bChainIsGood = 7;
        EXPECT_EQ(agent.QORA_CheckCertificateChain(&bChainIsGood), stage.hrWant);
        EXPECT_EQ(bChainIsGood, stage.hrWant == QORA_OK ? VARIANT_TRUE : VARIANT_FALSE);
        EXPECT_EQ(agent.LastResult(), stage.hrWant);
    }
    EXPECT_EQ(agent.QORA_CheckCertificateChain(nullptr), E_POINTER);
    EXPECT_EQ(agent.LastResult(), E_POINTER);
}

TEST(AgentChainCheck, ThreadInAnotherApartmentIsRefused)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    CCryptoAgent agent;
    VARIANT_BOOL bChainIsGood = 7;
    EXPECT_EQ(agent.QORA_CheckCertificateChain(&bChainIsGood), RPC_E_CHANGED_MODE);
    EXPECT_EQ(bChainIsGood, VARIANT_FALSE);
    CoUninitialize();
}

// The documents as built in, installed the way the install entry does it: every one installs, and the two
// RSA chains then satisfy the check. Everything installed is taken out again.
TEST_F(ChainTest, InstalledDocumentsSatisfyTheCheck)
{
    const WORD rgDocuments[] = {IDR_RSA_CERTIFICATE_CHAIN, IDR_TEST_RSA_CERTIFICATE_CHAIN, IDR_SM2_CERTIFICATE_CHAIN,
                                IDR_TEST_SM2_CERTIFICATE_CHAIN};
    struct Uninstall {
        const WORD* pDocuments;
        ~Uninstall()
        {
            for (size_t i = 0; i < 4; ++i) {
                for (const WString& wstrName : EntryPointsOf(pDocuments[i])) RemoveRootKey(wstrName);
                for (const ByteBuffer& vecCert : BundleOf(pDocuments[i]))
                    RemoveFromStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA"), vecCert);
            }
        }
    } uninstall{rgDocuments};
    EnsureRootPlaceExists();
    for (WORD wDocument : rgDocuments) EXPECT_EQ(ImportCertificateChainfromResoure(wDocument), QORA_OK) << wDocument;
    ByteBuffer vecBlob;
    for (const WString& wstrName : EntryPointsOf(IDR_TEST_SM2_CERTIFICATE_CHAIN)) EXPECT_TRUE(ReadRootBlob(wstrName, vecBlob));

    CCryptoAgent agent;
    VARIANT_BOOL bChainIsGood = VARIANT_FALSE;
    EXPECT_EQ(agent.QORA_CheckCertificateChain(&bChainIsGood), QORA_OK);
    EXPECT_EQ(bChainIsGood, VARIANT_TRUE);
    EXPECT_EQ(ImportCertificateChainfromResoure(212), ResultFromError(ERROR_RESOURCE_NAME_NOT_FOUND));
}
