// The agent's settings, its last-result rule, the thread's last error and the conversion of thread errors.
#include "agent/CryptoAgent.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr VARIANT_BOOL kUnwritten = 123;

WString Text(BSTR bstr) { return bstr != nullptr ? WString(bstr, SysStringLen(bstr)) : WString(TEXT("<null>")); }

std::string Narrow(const WString& wstr)
{
    int cb = WideCharToMultiByte(CP_UTF8, 0, wstr.c_str(), static_cast<int>(wstr.size()), nullptr, 0, nullptr, nullptr);
    std::string str(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wstr.c_str(), static_cast<int>(wstr.size()), str.data(), cb, nullptr, nullptr);
    return str;
}

}  // namespace

TEST(CCryptoAgent, StartsEmptyAndGetContainerGivesAnEmptyString)
{
    CCryptoAgent agent;
    EXPECT_EQ(agent.LastResult(), QORA_OK);
    EXPECT_EQ(agent.KeyLength(), 0);
    EXPECT_TRUE(agent.CSPName().empty());
    EXPECT_TRUE(agent.KeyAlgorithm().empty());
    BSTR bstr = reinterpret_cast<BSTR>(1);
    ASSERT_EQ(agent.QORA_GetContainer(&bstr), QORA_OK);
    BString owner(bstr);
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(SysStringLen(bstr), 0u);
}

TEST(CCryptoAgent, SetCSPInfoKeyLengthRuleTrimmingAndAmpersand)
{
    struct Case {
        LONG lKeyLength;
        const WCHAR* pwszName;
        HRESULT want;
        const WCHAR* pwszStored;  // on success
    };
    const WCHAR* kBase = TEXT("Microsoft Base Cryptographic Provider v1.0");
    const WCHAR* kEnhanced = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
    const WCHAR* kToken = TEXT("Software SM2 Token CSP v1.0");
    for (const Case& c : std::vector<Case>{
             {2048, kBase, QORA_E_KEY_LENGTH, nullptr},
             {1024, kBase, QORA_OK, kBase},
             {512, kBase, QORA_OK, kBase},
             {0, kBase, QORA_E_KEY_LENGTH, nullptr},
             {3072, kEnhanced, QORA_E_KEY_LENGTH, nullptr},
             {4096, kEnhanced, QORA_OK, kEnhanced},
             {2048, kEnhanced, QORA_OK, kEnhanced},
             {-1024, kEnhanced, QORA_E_KEY_LENGTH, nullptr},
             {3072, kToken, QORA_OK, kToken},
             {0, kToken, QORA_OK, kToken},
             {-7, kToken, QORA_OK, kToken},
             {4096, TEXT("  microsoft base  "), QORA_OK, TEXT("microsoft base")},  // substring tests are case-sensitive
             {512, TEXT(" A&amp;B&amp;C "), QORA_OK, TEXT("A&B&amp;C")},
             {2048, TEXT("Microsoft&amp;Base"), QORA_E_KEY_LENGTH, nullptr},  // the rule sees the name before "&amp;" goes
             {7, TEXT("\tX\t"), QORA_OK, TEXT("\tX\t")},                      // only U+0020 is trimmed
             {1024, TEXT("   "), E_INVALIDARG, nullptr},
             {1024, TEXT(""), E_INVALIDARG, nullptr},
         }) {
        SCOPED_TRACE(Narrow(c.pwszName) + " " + std::to_string(c.lKeyLength));
        CCryptoAgent agent;
        VARIANT_BOOL bDone = kUnwritten;
        BString bstrPrevious(SysAllocString(TEXT("Previous")));
        ASSERT_EQ(agent.QORA_SetCSPInfo(777, bstrPrevious.get(), &bDone), QORA_OK);
        bDone = kUnwritten;
        BString bstrName(SysAllocString(c.pwszName));
        EXPECT_EQ(agent.QORA_SetCSPInfo(c.lKeyLength, bstrName.get(), &bDone), c.want);
        EXPECT_EQ(agent.LastResult(), c.want);
        if (SUCCEEDED(c.want)) {
            EXPECT_EQ(bDone, VARIANT_TRUE);
            EXPECT_TRUE(agent.CSPName() == WString(c.pwszStored));
            EXPECT_EQ(agent.KeyLength(), c.lKeyLength);
        } else {
            EXPECT_EQ(bDone, kUnwritten);
            EXPECT_TRUE(agent.CSPName() == WString(TEXT("Previous")));
            EXPECT_EQ(agent.KeyLength(), 777);
        }
    }
}

TEST(CCryptoAgent, SetCSPInfoWithNullNameIsInvalidArgument)
{
    CCryptoAgent agent;
    VARIANT_BOOL bDone = kUnwritten;
    EXPECT_EQ(agent.QORA_SetCSPInfo(1024, nullptr, &bDone), E_INVALIDARG);
    EXPECT_EQ(bDone, kUnwritten);
    EXPECT_EQ(agent.LastResult(), E_INVALIDARG);
}

TEST(CCryptoAgent, SetKeyAlgorithmAcceptsRsaAndSm2InAnyCase)
{
    struct Case {
        const WCHAR* pwszValue;
        HRESULT want;
        const WCHAR* pwszStored;
    };
    for (const Case& c : std::vector<Case>{{TEXT("RSA"), QORA_OK, TEXT("RSA")},
                                           {TEXT("rsa"), QORA_OK, TEXT("rsa")},
                                           {TEXT(" sm2 "), QORA_OK, TEXT("sm2")},
                                           {TEXT("Sm2"), QORA_OK, TEXT("Sm2")},
                                           {TEXT("   "), QORA_E_KEY_ALGORITHM, nullptr},  // not empty before trimming
                                           {TEXT(""), E_INVALIDARG, nullptr},
                                           {TEXT("RSA2"), QORA_E_KEY_ALGORITHM, nullptr},
                                           {TEXT("\tRSA"), QORA_E_KEY_ALGORITHM, nullptr},
                                           {TEXT("ECC"), QORA_E_KEY_ALGORITHM, nullptr}}) {
        SCOPED_TRACE(Narrow(c.pwszValue));
        CCryptoAgent agent;
        VARIANT_BOOL bDone = kUnwritten;
        BString bstrPrevious(SysAllocString(TEXT("RSA")));
        ASSERT_EQ(agent.QORA_SetKeyAlgorithm(bstrPrevious.get(), &bDone), QORA_OK);
        bDone = kUnwritten;
        BString bstrValue(SysAllocString(c.pwszValue));
        EXPECT_EQ(agent.QORA_SetKeyAlgorithm(bstrValue.get(), &bDone), c.want);
        EXPECT_EQ(agent.LastResult(), c.want);
        EXPECT_EQ(bDone, SUCCEEDED(c.want) ? VARIANT_TRUE : kUnwritten);
        EXPECT_TRUE(agent.KeyAlgorithm() == WString(SUCCEEDED(c.want) ? c.pwszStored : TEXT("RSA")));
    }
    CCryptoAgent agent;
    VARIANT_BOOL bDone = kUnwritten;
    EXPECT_EQ(agent.QORA_SetKeyAlgorithm(nullptr, &bDone), E_INVALIDARG);
    EXPECT_EQ(bDone, kUnwritten);
}

TEST(CCryptoAgent, LastResultRule)
{
    CCryptoAgent agent;
    VARIANT_BOOL bDone = kUnwritten;
    BString bstrBase(SysAllocString(TEXT("Microsoft Base Cryptographic Provider v1.0")));
    ASSERT_EQ(agent.QORA_SetCSPInfo(2048, bstrBase.get(), &bDone), QORA_E_KEY_LENGTH);

    // Asking for the text does not change what is described.
    BSTR bstrFirst = nullptr, bstrSecond = nullptr;
    ASSERT_EQ(agent.GetLastErrorDesc(&bstrFirst), QORA_OK);
    ASSERT_EQ(agent.GetLastErrorDesc(&bstrSecond), QORA_OK);
    BString ownFirst(bstrFirst), ownSecond(bstrSecond);
    EXPECT_TRUE(Text(bstrFirst) == Text(bstrSecond));
    EXPECT_EQ(agent.LastResult(), QORA_E_KEY_LENGTH);

    // The permission probe leaves the last result alone; every other operation records its own.
    VARIANT_BOOL bPermitted = kUnwritten;
    EXPECT_EQ(agent.QORA_HavePermissiontoGenerateKeyPair(&bPermitted), QORA_OK);
    EXPECT_EQ(agent.LastResult(), QORA_E_KEY_LENGTH);

    BSTR bstrContainer = nullptr;
    ASSERT_EQ(agent.QORA_GetContainer(&bstrContainer), QORA_OK);
    BString ownContainer(bstrContainer);
    EXPECT_EQ(agent.LastResult(), QORA_OK);
}

TEST(CCryptoAgent, OperationsHandBackTheThreadsLastError)
{
    CCryptoAgent agent;
    VARIANT_BOOL bDone = kUnwritten;
    BSTR bstr = nullptr;
    BString bstrBad(SysAllocString(TEXT("DSA")));
    SetLastError(ERROR_FILE_NOT_FOUND);
    agent.QORA_SetKeyAlgorithm(bstrBad.get(), &bDone);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    agent.QORA_SetCSPInfo(1, nullptr, &bDone);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // Calls that fail inside set the thread error themselves: a provider that does not exist makes
    // CryptAcquireContext fail (no container is created), and the code it leaves has no system text, so the
    // description's lookup fails too. The caller still sees its own error after each.
    BString bstrRSA(SysAllocString(TEXT("RSA")));
    BString bstrNoSuchCSP(SysAllocString(TEXT("Brindlemark Test CSP That Is Not Installed")));
    ASSERT_EQ(agent.QORA_SetKeyAlgorithm(bstrRSA.get(), &bDone), QORA_OK);
    ASSERT_EQ(agent.QORA_SetCSPInfo(1024, bstrNoSuchCSP.get(), &bDone), QORA_OK);
    BString bstrSubject(SysAllocString(TEXT("CN=last error")));
    BSTR bstrRequest = nullptr;
    SetLastError(ERROR_FILE_NOT_FOUND);
    const HRESULT hrRequest = agent.QORA_PKCS10CertRequisition(bstrSubject.get(), 1, 0, &bstrRequest);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    BString ownRequest(bstrRequest);
    ASSERT_TRUE(FAILED(hrRequest));
    ASSERT_EQ(agent.GetLastErrorDesc(&bstr), QORA_OK);
    BString own(bstr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_EQ(agent.QORA_PKCS10CertRequisitionwithMD5(bstrSubject.get(), 1, 0, &bstrRequest), hrRequest);
    BString ownMD5Request(bstrRequest);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(ResultFromError, ConversionRule)
{
    struct Case {
        LONG lError;
        HRESULT want;
    };
    for (const Case& c : std::vector<Case>{{0x20001041, static_cast<HRESULT>(0xA0071041)},
                                           {5, static_cast<HRESULT>(0x80070005)},
                                           {0, E_FAIL},  // a failed call never turns into success
                                           {87, E_INVALIDARG},
                                           {0x2ABC1234, static_cast<HRESULT>(0xA0071234)},
                                           {0x00012345, static_cast<HRESULT>(0x80072345)},
                                           {static_cast<LONG>(0x80090016), static_cast<HRESULT>(0x80090016)},
                                           {-1, -1}}) {
        SCOPED_TRACE(c.lError);
        EXPECT_EQ(ResultFromError(c.lError), c.want);
        SetLastError(static_cast<DWORD>(c.lError));
        EXPECT_EQ(ResultFromLastError(), c.want);
    }
}

TEST(ResourceModule, DefaultsToTheProgramAndCanBeSet)
{
    EXPECT_EQ(GetResourceModule(), GetModuleHandleW(nullptr));
    HMODULE hKernel = GetModuleHandleW(TEXT("kernel32.dll"));
    SetResourceModule(hKernel);
    EXPECT_EQ(GetResourceModule(), hKernel);
    SetResourceModule(nullptr);
    EXPECT_EQ(GetResourceModule(), GetModuleHandleW(nullptr));
}
