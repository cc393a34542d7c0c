// The agent's chain check over the two RSA documents linked into this program: its answer, its flag and
// its last result as the machine's stores change. Installing the built-in documents through the install entry
// and checking afterwards is the plug-in's end-to-end test.
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
    // an earlier install in this prefix (the demo's plug-in act) must not answer for the stages below
    for (WORD wDocument : {IDR_RSA_CERTIFICATE_CHAIN, IDR_TEST_RSA_CERTIFICATE_CHAIN})
        for (const ByteBuffer& vecCert : BundleOf(wDocument)) RemoveFromStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA"), vecCert);
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
    EXPECT_EQ(ImportCertificateChainfromResoure(212), ResultFromError(ERROR_RESOURCE_NAME_NOT_FOUND));
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
