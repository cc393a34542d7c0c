// The agent's signing-certificate import: argument refusals, the certificate type's key spec, and the
// bookkeeping of a pair imported in two calls, with real containers that are kept or deleted as it says.
#include "agent/CryptoAgent.h"
#include "../install/CertTestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

const WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");

const WCHAR kAes[] = TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider");

void Configure(CCryptoAgent& agent, const WCHAR* pwszCSP = kEnhanced)
{
    VARIANT_BOOL bDone = VARIANT_FALSE;
    BString bstrAlgorithm(SysAllocString(TEXT("RSA")));
    BString bstrCSP(SysAllocString(pwszCSP));
    ASSERT_EQ(agent.QORA_SetKeyAlgorithm(bstrAlgorithm.get(), &bDone), QORA_OK);
    ASSERT_EQ(agent.QORA_SetCSPInfo(1024, bstrCSP.get(), &bDone), QORA_OK);
}

HRESULT Import(CCryptoAgent& agent, LONG lCertType, const WString& wstrCert, const WString& wstrContainer,
               VARIANT_BOOL* pbDone = nullptr)
{
    VARIANT_BOOL bDone = VARIANT_FALSE;
    BString bstrCert(SysAllocString(wstrCert.c_str()));
    BString bstrContainer(SysAllocString((TEXT("  ") + wstrContainer + TEXT(" ")).c_str()));
    const HRESULT hResult = agent.QORA_ImportSignCert(lCertType, bstrCert.get(), bstrContainer.get(), &bDone);
    if (pbDone != nullptr) *pbDone = bDone;
    return hResult;
}

bool Exists(const WString& wstrContainer, const WCHAR* pwszCSP = kEnhanced, DWORD dwType = PROV_RSA_FULL)
{
    CryptProv hProv;
    return CryptAcquireContextW(hProv.put(), wstrContainer.c_str(), pwszCSP, dwType, 0) != FALSE;
}

HRESULT ImportEncrypt(CCryptoAgent& agent, const WCHAR* pwszEnvelope, const WString& wstrCert,
                      const WString& wstrContainer)
{
    VARIANT_BOOL bDone = VARIANT_FALSE;
    BString bstrEnvelope(SysAllocString(pwszEnvelope));
    BString bstrCert(SysAllocString(wstrCert.c_str()));
    BString bstrContainer(SysAllocString(wstrContainer.c_str()));
    return agent.QORA_ImportEncryptCert(bstrEnvelope.get(), bstrCert.get(), bstrContainer.get(), 0, &bDone);
}

}  // namespace

TEST(AgentImport, SigningImportArgumentsAndTypes)
{
    reqtest::ContainerSweeper sweeper(kEnhanced, PROV_RSA_FULL);
    CCryptoAgent agent;
    Configure(agent);
    KeyAndCert exchange = MakeKeyAndCert(kEnhanced, PROV_RSA_FULL, AT_KEYEXCHANGE);
    VARIANT_BOOL bDone = VARIANT_FALSE;
    BString bstrCert(SysAllocString(exchange.wstrBase64.c_str()));
    EXPECT_EQ(agent.QORA_ImportSignCert(1, nullptr, bstrCert.get(), &bDone), E_INVALIDARG);
    EXPECT_EQ(agent.QORA_ImportSignCert(1, bstrCert.get(), nullptr, &bDone), E_INVALIDARG);
    EXPECT_EQ(Import(agent, 4, exchange.wstrBase64, exchange.wstrContainer), E_INVALIDARG);
    EXPECT_EQ(agent.LastResult(), E_INVALIDARG);
    // Type 2 looks for the signature key, which this container does not have; type 1 finds the exchange key.
    EXPECT_EQ(Import(agent, 2, exchange.wstrBase64, exchange.wstrContainer), static_cast<HRESULT>(NTE_NO_KEY));
    EXPECT_EQ(Import(agent, 1, exchange.wstrBase64, exchange.wstrContainer, &bDone), QORA_OK);
    EXPECT_EQ(bDone, VARIANT_TRUE);
    EXPECT_TRUE(Exists(exchange.wstrContainer));
    RemoveFromMy(exchange.vecCert);
}

TEST(AgentImport, PairBookkeepingKeepsOrDeletesBothContainers)
{
    struct Case {
        const char* pszName;
        bool bFirstGood, bSecondGood;
        HRESULT hFirst, hSecond;  // the two calls' results
        bool bKept;               // both containers still exist afterwards
    };
    for (const Case& c : std::vector<Case>{
             {"both imports succeed", true, true, QORA_OK, QORA_OK, true},
             {"first fails: held until the second call", false, true, QORA_OK, E_FAIL, false},
             {"second fails", true, false, QORA_OK, E_FAIL, false},
         }) {
        SCOPED_TRACE(c.pszName);
        reqtest::ContainerSweeper sweeper(kEnhanced, PROV_RSA_FULL);
        CCryptoAgent agent;
        Configure(agent);
        KeyAndCert first = MakeKeyAndCert(kEnhanced, PROV_RSA_FULL, AT_KEYEXCHANGE);
        KeyAndCert second = MakeKeyAndCert(kEnhanced, PROV_RSA_FULL, AT_SIGNATURE);
        VARIANT_BOOL bDone = VARIANT_FALSE;
        // An empty text fails Base64 decoding with E_FAIL.
        EXPECT_EQ(Import(agent, 3, c.bFirstGood ? first.wstrBase64 : WString(), first.wstrContainer, &bDone), c.hFirst);
        EXPECT_EQ(bDone, VARIANT_TRUE) << "the first half always reports success";
        EXPECT_EQ(Import(agent, 3, c.bSecondGood ? second.wstrBase64 : WString(), second.wstrContainer), c.hSecond);
        EXPECT_EQ(agent.LastResult(), c.hSecond);
        EXPECT_EQ(Exists(first.wstrContainer), c.bKept);
        EXPECT_EQ(Exists(second.wstrContainer), c.bKept);
        if (!c.bKept) {
            // The pair is over: a new type-3 call starts a new pair.
            KeyAndCert again = MakeKeyAndCert(kEnhanced, PROV_RSA_FULL, AT_KEYEXCHANGE);
            EXPECT_EQ(Import(agent, 3, again.wstrBase64, again.wstrContainer), QORA_OK);
            EXPECT_TRUE(Exists(again.wstrContainer));
            RemoveFromMy(again.vecCert);
        }
        RemoveFromMy(first.vecCert);
        RemoveFromMy(second.vecCert);
    }
}

TEST(AgentImport, DeleteMultiCertContainerSkipsEmptyNamesAndAlwaysSucceeds)
{
    reqtest::ContainerSweeper sweeper(kEnhanced, PROV_RSA_FULL);
    KeyAndCert a = MakeKeyAndCert(kEnhanced, PROV_RSA_FULL, AT_KEYEXCHANGE);
    EXPECT_EQ(DeleteMultiCertContainer(WString(), a.wstrContainer, kEnhanced), QORA_OK);
    EXPECT_FALSE(Exists(a.wstrContainer));
    EXPECT_EQ(DeleteMultiCertContainer(TEXT("{gone}"), TEXT("{gone too}"), kEnhanced), QORA_OK);
}

TEST(AgentImport, EncryptionImportEndsThePairAndDeletesItWhenItFails)
{
    struct Case {
        const char* pszName;
        const WCHAR* pwszEnvelope;
        const WCHAR* pwszContainer;  // null: the request's container
        HRESULT hWant;
        bool bPairKept;
    };
    for (const Case& c : std::vector<Case>{
             {"empty container name", TEXT("x"), TEXT(""), E_INVALIDARG, true},
             {"envelope with a bad device type", TEXT("0000000000000009"), nullptr, QORA_E_DEVICE_TYPE, false},
         }) {
        SCOPED_TRACE(c.pszName);
        reqtest::ContainerSweeper sweeper(kEnhanced, PROV_RSA_FULL);
        CCryptoAgent agent;
        Configure(agent);
        KeyAndCert first = MakeKeyAndCert(kEnhanced, PROV_RSA_FULL, AT_KEYEXCHANGE);
        KeyAndCert second = MakeKeyAndCert(kEnhanced, PROV_RSA_FULL, AT_SIGNATURE);
        ASSERT_EQ(Import(agent, 3, first.wstrBase64, first.wstrContainer), QORA_OK);
        ASSERT_EQ(Import(agent, 3, second.wstrBase64, second.wstrContainer), QORA_OK);

        VARIANT_BOOL bDone = VARIANT_FALSE;
        BString bstrEnvelope(SysAllocString(c.pwszEnvelope));
        BString bstrCert(SysAllocString(first.wstrBase64.c_str()));
        BString bstrContainer(SysAllocString(c.pwszContainer != nullptr ? c.pwszContainer : first.wstrContainer.c_str()));
        EXPECT_EQ(agent.QORA_ImportEncryptCert(bstrEnvelope.get(), bstrCert.get(), bstrContainer.get(), 0, &bDone),
                  c.hWant);
        EXPECT_EQ(bDone, VARIANT_FALSE);
        EXPECT_EQ(Exists(first.wstrContainer), c.bPairKept);
        EXPECT_EQ(Exists(second.wstrContainer), c.bPairKept);
        if (c.pwszContainer == nullptr) {
            BSTR bstr = nullptr;
            agent.QORA_GetContainer(&bstr);
            BString owner(bstr);
            EXPECT_TRUE(WString(bstr) == first.wstrContainer) << "the container is taken whatever the outcome";
        }
        // Either way the pair is over: the next type-3 call is a first half again (key spec 1).
        KeyAndCert again = MakeKeyAndCert(kEnhanced, PROV_RSA_FULL, AT_KEYEXCHANGE);
        EXPECT_EQ(Import(agent, 3, again.wstrBase64, again.wstrContainer), QORA_OK);
        EXPECT_TRUE(Exists(again.wstrContainer));
        for (const KeyAndCert* p : {&first, &second, &again}) RemoveFromMy(p->vecCert);
    }
}

TEST(AgentImport, EnvelopeRefusalsAreDescribedInTheirOwnWords)
{
    const std::string zero16(16, '0');
    struct Case {
        std::string envelope;
        HRESULT hWant;
        const WCHAR* pwszText;
    };
    for (const Case& c : std::vector<Case>{
             {"0000000000000003" + zero16, QORA_E_DEVICE_TYPE, TEXT("Invalid device type of generating encrypt cert key.")},
             {"0000000000000001" + zero16, QORA_E_ENCRYPT_TYPE, TEXT("Invalid encrypt type used for encrypting private key.")},
             {"00000000000000010000000000000001" + zero16, QORA_E_SESSION_KEY_TYPE,
              TEXT("Invalid session key type used for encrypting private key.")},
             {"0000000000000001000000000000000100000000000003060000000000000004AAA", QORA_E_IMPORT_ENCRYPT_CERT,
              TEXT("Import encrypt certificate failed.")},
         }) {
        SCOPED_TRACE(c.envelope);
        CCryptoAgent agent;
        Configure(agent);
        VARIANT_BOOL bDone = VARIANT_FALSE;
        const WString wstrEnvelope(c.envelope.begin(), c.envelope.end());
        BString bstrEnvelope(SysAllocString(wstrEnvelope.c_str()));
        BString bstrCert(SysAllocString(TEXT("MIIB")));
        BString bstrContainer(SysAllocString(TEXT("{no such container}")));
        EXPECT_EQ(agent.QORA_ImportEncryptCert(bstrEnvelope.get(), bstrCert.get(), bstrContainer.get(), 0, &bDone),
                  c.hWant);
        BSTR bstrDesc = nullptr;
        ASSERT_EQ(agent.GetLastErrorDesc(&bstrDesc), QORA_OK);
        BString owner(bstrDesc);
        EXPECT_EQ(WString(bstrDesc).rfind(c.pwszText, 0), 0u);
    }
}

// A pair whose first half failed holds that failure; the encryption import ends the pair, and what it held
// ends with it, so the next enrolment's pair neither fails with the old code nor loses its containers.
TEST(AgentImport, AHeldFailureEndsWithItsPair)
{
    reqtest::ContainerSweeper sweeper(kEnhanced, PROV_RSA_FULL);
    CCryptoAgent agent;
    Configure(agent);
    KeyAndCert old = MakeKeyAndCert(kEnhanced, PROV_RSA_FULL, AT_KEYEXCHANGE);
    VARIANT_BOOL bDone = VARIANT_FALSE;
    ASSERT_EQ(Import(agent, 3, WString(), old.wstrContainer, &bDone), QORA_OK);  // held: E_FAIL
    EXPECT_EQ(ImportEncrypt(agent, TEXT("0000000000000009"), old.wstrBase64, old.wstrContainer), QORA_E_DEVICE_TYPE);

    KeyAndCert first = MakeKeyAndCert(kEnhanced, PROV_RSA_FULL, AT_KEYEXCHANGE);
    KeyAndCert second = MakeKeyAndCert(kEnhanced, PROV_RSA_FULL, AT_SIGNATURE);
    EXPECT_EQ(Import(agent, 3, first.wstrBase64, first.wstrContainer), QORA_OK);
    EXPECT_EQ(Import(agent, 3, second.wstrBase64, second.wstrContainer), QORA_OK);
    EXPECT_TRUE(Exists(first.wstrContainer));
    EXPECT_TRUE(Exists(second.wstrContainer));
    // Both set, nothing held: a third type-3 call takes the second place again (key spec 2).
    KeyAndCert third = MakeKeyAndCert(kEnhanced, PROV_RSA_FULL, AT_SIGNATURE);
    EXPECT_EQ(Import(agent, 3, third.wstrBase64, third.wstrContainer), QORA_OK);
    for (const KeyAndCert* p : {&old, &first, &second, &third}) RemoveFromMy(p->vecCert);
}

TEST(AgentImport, AFailedPairIsRemovedFromTheAesProviderToo)
{
    reqtest::ContainerSweeper sweeper(kAes, PROV_RSA_AES);
    CCryptoAgent agent;
    Configure(agent, kAes);
    KeyAndCert first = MakeKeyAndCert(kAes, PROV_RSA_AES, AT_KEYEXCHANGE);
    KeyAndCert second = MakeKeyAndCert(kAes, PROV_RSA_AES, AT_SIGNATURE);
    ASSERT_EQ(Import(agent, 3, first.wstrBase64, first.wstrContainer), QORA_OK);
    EXPECT_EQ(Import(agent, 3, WString(), second.wstrContainer), E_FAIL);
    EXPECT_FALSE(Exists(first.wstrContainer, kAes, PROV_RSA_AES));
    EXPECT_FALSE(Exists(second.wstrContainer, kAes, PROV_RSA_AES));
    RemoveFromMy(first.vecCert);
}
