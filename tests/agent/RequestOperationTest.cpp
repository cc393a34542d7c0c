// The agent's two request operations: what they check before building, what they hand to the builder,
// and which container name the agent keeps.
#include "agent/CryptoAgent.h"
#include "../request/RequestTestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

const WCHAR kBase[] = TEXT("Microsoft Base Cryptographic Provider v1.0");
const WCHAR kSubject[] = TEXT("CN=agent test,O=Brindlemark,C=CN");

using RequestOperation = HRESULT (CCryptoAgent::*)(BSTR, LONG, LONG, BSTR*);

struct Outcome {
    HRESULT hResult;
    bool bNull;        // the output BSTR was left null
    WString wstrText;  // the output text
};

void Configure(CCryptoAgent& agent, const WCHAR* pwszAlgorithm, LONG lKeyLength, const WCHAR* pwszCSP)
{
    VARIANT_BOOL bDone = VARIANT_FALSE;
    if (pwszAlgorithm != nullptr) {
        BString bstrAlgorithm(SysAllocString(pwszAlgorithm));
        ASSERT_EQ(agent.QORA_SetKeyAlgorithm(bstrAlgorithm.get(), &bDone), QORA_OK);
    }
    BString bstrCSP(SysAllocString(pwszCSP));
    ASSERT_EQ(agent.QORA_SetCSPInfo(lKeyLength, bstrCSP.get(), &bDone), QORA_OK);
}

Outcome Request(CCryptoAgent& agent, RequestOperation pfnOperation, const WCHAR* pwszSubject, LONG lCertType,
                LONG lGenKeyFlags = 0)
{
    BString bstrSubject(pwszSubject != nullptr ? SysAllocString(pwszSubject) : nullptr);
    BSTR bstrRequest = reinterpret_cast<BSTR>(1);
    Outcome outcome;
    outcome.hResult = (agent.*pfnOperation)(bstrSubject.get(), lCertType, lGenKeyFlags, &bstrRequest);
    BString owner(bstrRequest);
    outcome.bNull = bstrRequest == nullptr;
    if (!outcome.bNull) outcome.wstrText.assign(bstrRequest, SysStringLen(bstrRequest));
    return outcome;
}

WString Container(CCryptoAgent& agent)
{
    BSTR bstr = nullptr;
    EXPECT_EQ(agent.QORA_GetContainer(&bstr), QORA_OK);
    BString owner(bstr);
    return bstr != nullptr ? WString(bstr, SysStringLen(bstr)) : WString();
}

// The signature algorithm element of a request text, decoded by the platform.
std::string SignAlgorithmOf(const WString& wstrRequest)
{
    DWORD cb = 0;
    if (!CryptStringToBinaryW(wstrRequest.c_str(), static_cast<DWORD>(wstrRequest.size()), CRYPT_STRING_BASE64, nullptr,
                              &cb, nullptr, nullptr))
        return "not Base64";
    ByteBuffer vec(cb);
    if (!CryptStringToBinaryW(wstrRequest.c_str(), static_cast<DWORD>(wstrRequest.size()), CRYPT_STRING_BASE64,
                              vec.data(), &cb, nullptr, nullptr))
        return "not Base64";
    vec.resize(cb);
    std::vector<reqtest::Der> parts = reqtest::Children(reqtest::ReadDer(vec));
    return parts.size() == 3 ? reqtest::ToHex(parts[1].whole) : "not a request";
}

// Whether the container's key of that spec lets its private half out: only CRYPT_EXPORTABLE keys do.
bool PrivateKeyExportable(const WString& wstrContainer, DWORD dwKeySpec)
{
    CryptProv hProv;
    CryptKey hKey;
    DWORD cb = 0;
    return CryptAcquireContextW(hProv.put(), wstrContainer.c_str(), kBase, PROV_RSA_FULL, 0) &&
           CryptGetUserKey(hProv.get(), dwKeySpec, hKey.put()) &&
           CryptExportKey(hKey.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &cb) && cb != 0;
}

// Removes a container the tests made in the Microsoft Base provider.
void DeleteContainer(const WString& wstrContainer)
{
    HCRYPTPROV hProv = 0;
    CryptAcquireContextW(&hProv, wstrContainer.c_str(), kBase, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
}

}  // namespace

TEST(AgentRequest, RefusalsBeforeAnyKeyIsMadeAnswerAnEmptyString)
{
    struct Case {
        const char* pszName;
        const WCHAR* pwszAlgorithm;  // null: never set
        RequestOperation pfnOperation;
        const WCHAR* pwszSubject;
        LONG lCertType;
        HRESULT want;
    };
    const RequestOperation kSha1 = &CCryptoAgent::QORA_PKCS10CertRequisition;
    const RequestOperation kMd5 = &CCryptoAgent::QORA_PKCS10CertRequisitionwithMD5;
    for (const Case& c : std::vector<Case>{
             {"algorithm unset, SHA-1", nullptr, kSha1, kSubject, 1, QORA_E_KEY_ALGORITHM},
             {"algorithm unset, MD5", nullptr, kMd5, kSubject, 1, QORA_E_KEY_ALGORITHM},
             {"MD5 with SM2", TEXT("SM2"), kMd5, kSubject, 1, QORA_E_KEY_ALGORITHM},
             {"MD5 with sm2", TEXT(" sm2 "), kMd5, kSubject, 1, QORA_E_KEY_ALGORITHM},
             {"MD5 with type 3", TEXT("RSA"), kMd5, kSubject, 3, E_INVALIDARG},
             {"MD5 with type 0", TEXT("RSA"), kMd5, kSubject, 0, E_INVALIDARG},
             {"MD5 with a null subject", TEXT("RSA"), kMd5, nullptr, 1, E_INVALIDARG},
             {"MD5 with an empty subject", TEXT("RSA"), kMd5, TEXT(""), 1, E_INVALIDARG},
             {"SHA-1 with a null subject", TEXT("RSA"), kSha1, nullptr, 1, E_INVALIDARG},
         }) {
        SCOPED_TRACE(c.pszName);
        reqtest::ContainerSweeper sweeper(kBase, PROV_RSA_FULL);
        CCryptoAgent agent;
        Configure(agent, c.pwszAlgorithm, 1024, kBase);
        Outcome outcome = Request(agent, c.pfnOperation, c.pwszSubject, c.lCertType);
        EXPECT_TRUE(sweeper.NewContainers().empty()) << "refused before any key was generated";
        EXPECT_EQ(outcome.hResult, c.want);
        EXPECT_EQ(agent.LastResult(), c.want);
        EXPECT_FALSE(outcome.bNull) << "a failed request answers the empty string, not null";
        EXPECT_TRUE(outcome.wstrText.empty());
        EXPECT_TRUE(Container(agent).empty());
    }
}

TEST(AgentRequest, TypeThreeIsPassedOnAndFailsOpeningAContainerThatWasNeverCreated)
{
    reqtest::ContainerSweeper sweeper(kBase, PROV_RSA_FULL);
    CCryptoAgent agent;
    Configure(agent, TEXT("RSA"), 1024, kBase);
    Outcome outcome = Request(agent, &CCryptoAgent::QORA_PKCS10CertRequisition, kSubject, 3);
    EXPECT_TRUE(sweeper.NewContainers().empty());
    EXPECT_EQ(outcome.hResult, static_cast<HRESULT>(NTE_BAD_KEYSET));
    EXPECT_FALSE(outcome.bNull);
    EXPECT_TRUE(outcome.wstrText.empty());
}

TEST(AgentRequest, ContainerIsKeptOnlyWhenTheRequestSucceeds)
{
    // Also removes the container that the failed request below leaves behind.
    reqtest::ContainerSweeper sweeper(kBase, PROV_RSA_FULL);
    CCryptoAgent agent;
    Configure(agent, TEXT("rsa"), 512, kBase);  // lower-case rsa is accepted by both operations

    Outcome first = Request(agent, &CCryptoAgent::QORA_PKCS10CertRequisitionwithMD5, kSubject, 1);
    ASSERT_EQ(first.hResult, QORA_OK);
    const WString wstrFirst = Container(agent);
    ASSERT_EQ(wstrFirst.size(), 38u);
    EXPECT_EQ(wstrFirst.front(), TEXT('{'));
    EXPECT_EQ(wstrFirst.back(), TEXT('}'));
    // Base64 in 64-character lines joined by CR LF, no line break at the end.
    ASSERT_GT(first.wstrText.size(), 64u);
    EXPECT_EQ(first.wstrText.substr(64, 2), WString(TEXT("\r\n")));
    EXPECT_NE(first.wstrText.back(), TEXT('\n'));
    EXPECT_EQ(SignAlgorithmOf(first.wstrText), "30 0D 06 09 2A 86 48 86 F7 0D 01 01 04 05 00") << "md5WithRSAEncryption";

    // A subject that does not parse fails after the keys exist; the agent keeps the earlier container.
    Outcome failed = Request(agent, &CCryptoAgent::QORA_PKCS10CertRequisition, TEXT("CN=a,,O=b"), 1);
    EXPECT_EQ(failed.hResult, static_cast<HRESULT>(NTE_BAD_DATA));
    EXPECT_TRUE(failed.wstrText.empty());
    EXPECT_TRUE(Container(agent) == wstrFirst);

    Outcome second = Request(agent, &CCryptoAgent::QORA_PKCS10CertRequisition, kSubject, 2);
    ASSERT_EQ(second.hResult, QORA_OK);
    const WString wstrSecond = Container(agent);
    EXPECT_EQ(wstrSecond.size(), 38u);
    EXPECT_FALSE(wstrSecond == wstrFirst);
    EXPECT_GT(second.wstrText.size(), first.wstrText.size()) << "a double request carries the exchange key";
    EXPECT_EQ(SignAlgorithmOf(second.wstrText), "30 0D 06 09 2A 86 48 86 F7 0D 01 01 05 05 00") << "sha1WithRSAEncryption";

    DeleteContainer(wstrFirst);
    DeleteContainer(wstrSecond);
}

TEST(AgentRequest, PagesGenerationFlagsReachTheSigningKeyOnly)
{
    struct Case {
        LONG lCertType;
        LONG lFlags;
        bool bExchangeExportable;
        bool bSignatureExportable;
    } cases[] = {
        // A single request's signing key is the exchange-spec key; a double request's is the signature-spec key.
        {1, CRYPT_EXPORTABLE, true, false},
        {1, 0, false, false},
        {2, CRYPT_EXPORTABLE, false, true},
        {2, 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.lCertType << " flags " << c.lFlags);
        reqtest::ContainerSweeper sweeper(kBase, PROV_RSA_FULL);
        CCryptoAgent agent;
        Configure(agent, TEXT("RSA"), 512, kBase);
        Outcome outcome = Request(agent, &CCryptoAgent::QORA_PKCS10CertRequisition, kSubject, c.lCertType, c.lFlags);
        ASSERT_EQ(outcome.hResult, QORA_OK);
        const WString wstrContainer = Container(agent);
        EXPECT_EQ(PrivateKeyExportable(wstrContainer, AT_KEYEXCHANGE), c.bExchangeExportable);
        EXPECT_EQ(PrivateKeyExportable(wstrContainer, AT_SIGNATURE), c.bSignatureExportable);
        DeleteContainer(wstrContainer);
    }
}

TEST(AgentRequest, WithoutACspSettingThePlatformsDefaultProviderIsAsked)
{
    // The unset name reaches the platform as the empty string, which names the default provider of type 1
    // (the Base provider here), with its default key length.
    reqtest::ContainerSweeper sweeper(kBase, PROV_RSA_FULL);
    CCryptoAgent agent;
    VARIANT_BOOL bDone = VARIANT_FALSE;
    BString bstrRsa(SysAllocString(TEXT("RSA")));
    ASSERT_EQ(agent.QORA_SetKeyAlgorithm(bstrRsa.get(), &bDone), QORA_OK);
    Outcome rsa = Request(agent, &CCryptoAgent::QORA_PKCS10CertRequisition, kSubject, 1);
    ASSERT_EQ(rsa.hResult, QORA_OK);
    const WString wstrContainer = Container(agent);
    EXPECT_EQ(sweeper.NewContainers(), std::set<WString>{wstrContainer});

    // SM2 is no algorithm of that provider: the request fails and its new container is removed again.
    BString bstrSm2(SysAllocString(TEXT("SM2")));
    ASSERT_EQ(agent.QORA_SetKeyAlgorithm(bstrSm2.get(), &bDone), QORA_OK);
    Outcome sm2 = Request(agent, &CCryptoAgent::QORA_PKCS10CertRequisition, kSubject, 1);
    EXPECT_EQ(sm2.hResult, static_cast<HRESULT>(NTE_BAD_ALGID));
    EXPECT_TRUE(sm2.wstrText.empty());
    EXPECT_TRUE(Container(agent) == wstrContainer);
    EXPECT_EQ(sweeper.NewContainers(), std::set<WString>{wstrContainer});
    DeleteContainer(wstrContainer);
}
