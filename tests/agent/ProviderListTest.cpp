// The CSP list and the key-pair permission probe: the platform's enumeration as it is, a provider that
// cannot be read left out, and a probe that leaves no container and no last result behind.
#include "agent/CryptoAgent.h"
#include "../request/ImportPatch.h"
#include "../request/RequestTestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const WCHAR kBase[] = TEXT("Microsoft Base Cryptographic Provider v1.0");

using EnumProvidersFn = BOOL(WINAPI*)(DWORD, DWORD*, DWORD, DWORD*, LPWSTR, DWORD*);
EnumProvidersFn g_pfnEnumProviders = nullptr;
DWORD g_dwUnreadable = 0xFFFFFFFF;  // index whose size query fails
bool g_bHideBase = false;           // the enumeration as on a computer without the Base provider

std::vector<WString> RealProviders()
{
    std::vector<WString> names;
    for (DWORD i = 0;; ++i) {
        DWORD dwType = 0, cb = 0;
        if (!g_pfnEnumProviders(i, nullptr, 0, &dwType, nullptr, &cb)) break;
        std::vector<WCHAR> vec(cb / sizeof(WCHAR) + 1, 0);
        if (!g_pfnEnumProviders(i, nullptr, 0, &dwType, vec.data(), &cb)) break;
        names.emplace_back(vec.data());
    }
    return names;
}

BOOL WINAPI PatchedEnumProviders(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwType, LPWSTR pwszName,
                                 DWORD* pcbName)
{
    if (g_bHideBase) {
        // Indexes past the Base provider move up by one.
        const std::vector<WString> names = RealProviders();
        DWORD dwReal = 0, dwSeen = 0;
        for (; dwReal < names.size(); ++dwReal) {
            if (names[dwReal] == kBase) continue;
            if (dwSeen++ == dwIndex) break;
        }
        return g_pfnEnumProviders(dwReal, pdwReserved, dwFlags, pdwType, pwszName, pcbName);
    }
    if (dwIndex == g_dwUnreadable && pwszName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return g_pfnEnumProviders(dwIndex, pdwReserved, dwFlags, pdwType, pwszName, pcbName);
}

// A provider layer that fails every index and never says the list has ended.
DWORD g_dwEndlessCalls = 0;
BOOL WINAPI EndlessEnumProviders(DWORD, DWORD*, DWORD, DWORD*, LPWSTR, DWORD*)
{
    ++g_dwEndlessCalls;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

WString Joined(const std::vector<WString>& names, size_t nSkip = static_cast<size_t>(-1))
{
    WString wstr;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i == nSkip) continue;
        if (!wstr.empty()) wstr += TEXT("||");
        wstr += names[i];
    }
    return wstr;
}

WString CspInfo(CCryptoAgent& agent, HRESULT& hResult)
{
    BSTR bstr = nullptr;
    hResult = agent.QORA_GetCSPInfo(&bstr);
    BString owner(bstr);
    return bstr != nullptr ? WString(bstr) : WString(TEXT("(null)"));
}

}  // namespace

TEST(ProviderList, JoinsThePlatformsEnumerationAndSkipsAnUnreadableProvider)
{
    reqtest::ImportPatch patch("advapi32.dll", "CryptEnumProvidersW", reinterpret_cast<const void*>(&PatchedEnumProviders));
    ASSERT_TRUE(patch.Active());
    g_pfnEnumProviders = patch.Original<EnumProvidersFn>();
    const std::vector<WString> names = RealProviders();
    ASSERT_GE(names.size(), 3u);

    CCryptoAgent agent;
    HRESULT hResult = E_FAIL;
    EXPECT_TRUE(CspInfo(agent, hResult) == Joined(names));
    EXPECT_EQ(hResult, QORA_OK);
    EXPECT_EQ(agent.LastResult(), QORA_OK);

    for (DWORD dwSkip : {DWORD{0}, DWORD{1}, static_cast<DWORD>(names.size() - 1)}) {
        SCOPED_TRACE(dwSkip);
        g_dwUnreadable = dwSkip;
        EXPECT_TRUE(CspInfo(agent, hResult) == Joined(names, dwSkip));
        EXPECT_EQ(hResult, QORA_OK);
    }
    g_dwUnreadable = 0xFFFFFFFF;
}

TEST(ProviderList, PermissionProbeLeavesNoContainerAndNoLastResult)
{
    reqtest::ContainerSweeper sweeper(kBase, PROV_RSA_FULL);
    CCryptoAgent agent;
    VARIANT_BOOL bDone = VARIANT_FALSE;
    BString bstrBad(SysAllocString(TEXT("DSA")));
    ASSERT_EQ(agent.QORA_SetKeyAlgorithm(bstrBad.get(), &bDone), QORA_E_KEY_ALGORITHM);

    VARIANT_BOOL bPermitted = VARIANT_FALSE;
    EXPECT_EQ(agent.QORA_HavePermissiontoGenerateKeyPair(&bPermitted), QORA_OK);
    EXPECT_EQ(bPermitted, VARIANT_TRUE);
    EXPECT_TRUE(sweeper.NewContainers().empty());
    EXPECT_EQ(agent.LastResult(), QORA_E_KEY_ALGORITHM) << "the probe leaves the operation before it to describe";

    reqtest::ImportPatch patch("advapi32.dll", "CryptEnumProvidersW", reinterpret_cast<const void*>(&PatchedEnumProviders));
    ASSERT_TRUE(patch.Active());
    g_pfnEnumProviders = patch.Original<EnumProvidersFn>();
    g_bHideBase = true;
    HRESULT hResult = E_FAIL;
    EXPECT_EQ(CspInfo(agent, hResult).find(kBase), WString::npos);
    bPermitted = VARIANT_TRUE;
    EXPECT_EQ(agent.QORA_HavePermissiontoGenerateKeyPair(&bPermitted), E_ACCESSDENIED);
    EXPECT_EQ(bPermitted, VARIANT_FALSE);
    g_bHideBase = false;
    EXPECT_TRUE(sweeper.NewContainers().empty());
}

TEST(ProviderList, AnEnumerationThatNeverEndsStopsAtABound)
{
    reqtest::ImportPatch patch("advapi32.dll", "CryptEnumProvidersW", reinterpret_cast<const void*>(&EndlessEnumProviders));
    ASSERT_TRUE(patch.Active());
    g_dwEndlessCalls = 0;
    CCryptoAgent agent;
    HRESULT hResult = E_FAIL;
    EXPECT_TRUE(CspInfo(agent, hResult).empty());
    EXPECT_EQ(hResult, QORA_OK);
    EXPECT_EQ(g_dwEndlessCalls, 1024u);
}
