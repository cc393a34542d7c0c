// tests/providers/TokenContainerTest.cpp — registration, containers, enumeration, deletion and the
// container certificate of both tokens, through CryptoAPI under Wine.
#include "TokenTestKit.h"

#include <chrono>
#include <set>

using namespace tokentest;

namespace {

std::vector<std::string> EnumContainers(HCRYPTPROV hProv, DWORD& dwEndError)
{
    std::vector<std::string> names;
    DWORD cbMax = 0;
    if (!CryptGetProvParam(hProv, PP_ENUMCONTAINERS, nullptr, &cbMax, CRYPT_FIRST)) {
        dwEndError = GetLastError();
        return names;
    }
    std::vector<char> buf(cbMax + 1);
    for (DWORD dwFlags = CRYPT_FIRST;; dwFlags = CRYPT_NEXT) {
        DWORD cb = cbMax;
        if (!CryptGetProvParam(hProv, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buf.data()), &cb, dwFlags)) break;
        names.push_back(buf.data());
    }
    dwEndError = GetLastError();
    return names;
}

std::string ProvString(HCRYPTPROV hProv, DWORD dwParam)
{
    char sz[512] = {};
    DWORD cb = sizeof sz;
    if (!CryptGetProvParam(hProv, dwParam, reinterpret_cast<BYTE*>(sz), &cb, 0)) return "<error>";
    return sz;
}

// A certificate-shaped DER value: the token keeps it whole whatever its inside says.
ByteBuffer FakeCertificate(size_t cbBody, BYTE seed)
{
    ByteBuffer tbsBody(cbBody);
    for (size_t i = 0; i < cbBody; ++i) tbsBody[i] = static_cast<BYTE>(seed + i * 7);
    ByteBuffer tbs{0x30, 0x82, static_cast<BYTE>(cbBody >> 8), static_cast<BYTE>(cbBody)};
    Append(tbs, tbsBody);
    Append(tbs, {0x30, 0x03, 0x06, 0x01, 0x2A, 0x03, 0x02, 0x00, 0x55});
    ByteBuffer cert{0x30, 0x82, static_cast<BYTE>(tbs.size() >> 8), static_cast<BYTE>(tbs.size())};
    Append(cert, tbs);
    return cert;
}

DWORD ReadCertificate(HCRYPTPROV hProv, DWORD dwKeySpec, ByteBuffer& cert)
{
    CryptKey key;
    DWORD cb = 0;
    if (!CryptGetUserKey(hProv, dwKeySpec, key.put()) || !CryptGetKeyParam(key.get(), KP_CERTIFICATE, nullptr, &cb, 0))
        return GetLastError();
    cert.assign(cb, 0);
    if (!CryptGetKeyParam(key.get(), KP_CERTIFICATE, cert.data(), &cb, 0)) return GetLastError();
    cert.resize(cb);
    return 0;
}

// Runs this test program again with only TokenChild.Run and the given environment; its exit code.
DWORD RunChild(const std::vector<std::pair<WString, WString>>& env, HANDLE* phProcess = nullptr)
{
    for (const auto& [name, value] : env) SetEnvironmentVariableW(name.c_str(), value.c_str());
    WCHAR wszExe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, wszExe, MAX_PATH);
    WString cmd = WString(TEXT("\"")) + wszExe + TEXT("\" --gtest_filter=TokenChild.Run --gtest_brief=1");
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    for (const auto& [name, value] : env) SetEnvironmentVariableW(name.c_str(), nullptr);
    if (!ok) return 0xFFFFFFFF;
    CloseHandle(pi.hThread);
    if (phProcess != nullptr) {
        *phProcess = pi.hProcess;
        return 0;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD dwExit = 0;
    GetExitCodeProcess(pi.hProcess, &dwExit);
    CloseHandle(pi.hProcess);
    return dwExit;
}

WString EnvOf(const WCHAR* pwszName)
{
    WCHAR wsz[4096] = {};
    DWORD cch = GetEnvironmentVariableW(pwszName, wsz, 4096);
    return cch > 0 && cch < 4096 ? WString(wsz) : WString();
}

}  // namespace

// The other half of the cross-process tests; skipped unless a parent test started it.
TEST(TokenChild, Run)
{
    WString mode = EnvOf(TEXT("BM_TOKEN_CHILD"));
    if (mode.empty()) GTEST_SKIP() << "started only by the cross-process tests";
    const WCHAR* pwszProv = EnvOf(TEXT("BM_TOKEN_CHILD_PROV")) == TEXT("RSA") ? RSA_PROV : SM2_PROV;
    if (mode == TEXT("readcert")) {
        CryptProv prov;
        ASSERT_EQ(0u, Acquire(prov, EnvOf(TEXT("BM_TOKEN_CHILD_CONTAINER")), pwszProv, 0));
        ByteBuffer cert;
        ASSERT_EQ(0u, ReadCertificate(prov.get(), AT_SIGNATURE, cert));
        EXPECT_EQ(Hex(cert), Narrow(EnvOf(TEXT("BM_TOKEN_CHILD_CERT"))));
    } else if (mode == TEXT("regen")) {
        CryptProv prov;
        CryptKey key;
        ASSERT_EQ(0u, Acquire(prov, EnvOf(TEXT("BM_TOKEN_CHILD_CONTAINER")), pwszProv, 0));
        ASSERT_TRUE(CryptGenKey(prov.get(), SM2_SIGN, 0, key.put())) << std::hex << GetLastError();
    } else if (mode == TEXT("create")) {
        WString prefix = EnvOf(TEXT("BM_TOKEN_CHILD_CONTAINER"));
        for (int i = 0; i < 15; ++i) {
            WString name = prefix + TEXT("-") + static_cast<WCHAR>('a' + i);
            EXPECT_EQ(0u, AcquireRaw(name.c_str(), pwszProv, CRYPT_NEWKEYSET)) << Narrow(name);
        }
    }
}

TEST(TokenRegistration, BothTokensAreListedAfterTheMicrosoftProviders)
{
    std::vector<std::pair<WString, DWORD>> providers;
    WCHAR wszName[256];
    DWORD dwType = 0, cb = sizeof wszName;
    for (DWORD i = 0; cb = sizeof wszName, CryptEnumProvidersW(i, nullptr, 0, &dwType, wszName, &cb); ++i)
        providers.emplace_back(wszName, dwType);
    size_t lastMicrosoft = 0, sm2 = 0, rsa = 0;
    for (size_t i = 0; i < providers.size(); ++i) {
        if (providers[i].first.find(TEXT("Microsoft")) != WString::npos) lastMicrosoft = i + 1;
        if (providers[i].first == SM2_PROV) sm2 = i + 1;
        if (providers[i].first == RSA_PROV) rsa = i + 1;
    }
    ASSERT_NE(0u, sm2);
    ASSERT_NE(0u, rsa);
    EXPECT_GT(sm2, lastMicrosoft);
    EXPECT_GT(rsa, lastMicrosoft);
    EXPECT_EQ(1u, providers[sm2 - 1].second);
    EXPECT_EQ(1u, providers[rsa - 1].second);
}

TEST(TokenContainers, LifecycleAnswersLikeACsp)
{
    IsolatedStore store;
    for (const WCHAR* pwszProv : {SM2_PROV, RSA_PROV}) {
        SCOPED_TRACE(Narrow(pwszProv));
        WString name = NewContainerName();
        CryptProv prov;
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), Acquire(prov, name, pwszProv, 0));
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), Acquire(prov, name, pwszProv, CRYPT_VERIFYCONTEXT));
        ASSERT_EQ(0u, Acquire(prov, name, pwszProv, CRYPT_NEWKEYSET));
        EXPECT_EQ(Narrow(name), ProvString(prov.get(), PP_CONTAINER));
        EXPECT_EQ(Narrow(pwszProv), ProvString(prov.get(), PP_NAME));
        prov.reset();
        EXPECT_EQ(static_cast<DWORD>(NTE_EXISTS), Acquire(prov, name, pwszProv, CRYPT_NEWKEYSET));
        // A container named with CRYPT_VERIFYCONTEXT is opened, not ignored.
        ASSERT_EQ(0u, Acquire(prov, name, pwszProv, CRYPT_VERIFYCONTEXT));
        EXPECT_EQ(Narrow(name), ProvString(prov.get(), PP_CONTAINER));
        prov.reset();
        ASSERT_EQ(0u, Acquire(prov, WString(), pwszProv, CRYPT_VERIFYCONTEXT));
        EXPECT_EQ("<error>", ProvString(prov.get(), PP_CONTAINER));
        prov.reset();
        EXPECT_EQ(0u, AcquireRaw(name.c_str(), pwszProv, CRYPT_DELETEKEYSET));
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), Acquire(prov, name, pwszProv, 0));
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), AcquireRaw(name.c_str(), pwszProv, CRYPT_DELETEKEYSET));
    }
}

TEST(TokenContainers, EnumerationListsExactlyTheContainersCreated)
{
    IsolatedStore store;
    for (const WCHAR* pwszProv : {SM2_PROV, RSA_PROV}) {
        SCOPED_TRACE(Narrow(pwszProv));
        std::set<std::string> created;
        for (int i = 0; i < 4; ++i) {
            WString name = NewContainerName();
            ASSERT_EQ(0u, AcquireRaw(name.c_str(), pwszProv, CRYPT_NEWKEYSET));
            created.insert(Narrow(name));
        }
        CryptProv prov;
        ASSERT_EQ(0u, Acquire(prov, WString(), pwszProv, CRYPT_VERIFYCONTEXT));
        DWORD cbMax = 0;
        ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, nullptr, &cbMax, CRYPT_FIRST));
        EXPECT_GE(cbMax, 39u);
        DWORD dwEnd = 0;
        std::vector<std::string> listed = EnumContainers(prov.get(), dwEnd);
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), dwEnd);
        EXPECT_EQ(created, std::set<std::string>(listed.begin(), listed.end()));
        EXPECT_EQ(created.size(), listed.size());
        // Starting again with CRYPT_FIRST gives the same list.
        EXPECT_EQ(listed, EnumContainers(prov.get(), dwEnd));
        for (const std::string& name : created) {
            WString wname(name.begin(), name.end());
            EXPECT_EQ(0u, AcquireRaw(wname.c_str(), pwszProv, CRYPT_DELETEKEYSET));
        }
        EXPECT_TRUE(EnumContainers(prov.get(), dwEnd).empty());
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), dwEnd);
    }
}

TEST(TokenContainers, SystemCleanupFlagsDeleteTheContainer)
{
    IsolatedStore store;
    for (const WCHAR* pwszProv : {SM2_PROV, RSA_PROV}) {
        SCOPED_TRACE(Narrow(pwszProv));
        WString name = NewContainerName();
        ASSERT_EQ(0u, AcquireRaw(name.c_str(), pwszProv, CRYPT_NEWKEYSET));
        HCRYPTPROV h = 0;
        ASSERT_TRUE(CryptAcquireContextW(&h, name.c_str(), pwszProv, PROV_RSA_FULL, SM2_DELETE)) << std::hex << GetLastError();
        // The dispatcher keeps this handle, so it must release like any other.
        EXPECT_TRUE(CryptReleaseContext(h, 0));
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), AcquireRaw(name.c_str(), pwszProv, 0));
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), AcquireRaw(name.c_str(), pwszProv, SM2_DELETE));
    }
}

TEST(TokenContainers, AcquireFlagsAreChecked)
{
    IsolatedStore store;
    struct FlagCase {
        DWORD dwFlags;
        DWORD dwWant;
    };
    for (const FlagCase& c : std::vector<FlagCase>{{CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET, (DWORD)NTE_BAD_FLAGS},
                                                   {CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET, (DWORD)NTE_BAD_FLAGS},
                                                   {0x10000000, (DWORD)NTE_BAD_FLAGS},
                                                   {0x00000100, (DWORD)NTE_BAD_FLAGS},
                                                   {0xFFFF0000, (DWORD)NTE_BAD_FLAGS},
                                                   {0xFFFF0001, (DWORD)NTE_BAD_FLAGS}}) {
        SCOPED_TRACE(c.dwFlags);
        EXPECT_EQ(c.dwWant, AcquireRaw(NewContainerName().c_str(), SM2_PROV, c.dwFlags));
    }
    std::string tooLong(260, 'x');
    HCRYPTPROV h = 0;
    EXPECT_FALSE(CryptAcquireContextA(&h, tooLong.c_str(), "Software RSA Token CSP v1.0", PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET_PARAM), GetLastError());
}

TEST(TokenContainers, ErrorOfAFailedAcquireSurvivesTheUnload)
{
    IsolatedStore store;
    // No other context is open, so the dispatcher unloads the provider right after the failure.
    SetLastError(0);
    HCRYPTPROV h = 0;
    EXPECT_FALSE(CryptAcquireContextW(&h, TEXT("{no-such-container}"), SM2_PROV, PROV_RSA_FULL, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), GetLastError());
    EXPECT_FALSE(CryptAcquireContextW(&h, TEXT("{no-such-container}"), RSA_PROV, PROV_RSA_FULL, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), GetLastError());
}

TEST(TokenCertificate, RoundTripPerKeyAndAcrossProcesses)
{
    IsolatedStore store;
    struct CertCase {
        const WCHAR* pwszProv;
        ALG_ID exchange, signature;
        DWORD dwBits;
    };
    for (const CertCase& c : {CertCase{SM2_PROV, SM2_KEYX, SM2_SIGN, 256}, CertCase{RSA_PROV, AT_KEYEXCHANGE, AT_SIGNATURE, 1024}}) {
        SCOPED_TRACE(Narrow(c.pwszProv));
        TokenContainer container(c.pwszProv);
        CryptKey exchange, signature;
        ASSERT_EQ(0u, container.GenKey(c.exchange, c.dwBits << 16, &exchange));
        ASSERT_EQ(0u, container.GenKey(c.signature, c.dwBits << 16, &signature));
        DWORD cb = 0;
        EXPECT_FALSE(CryptGetKeyParam(signature.get(), KP_CERTIFICATE, nullptr, &cb, 0));
        EXPECT_EQ(static_cast<DWORD>(SCARD_E_NO_SUCH_CERTIFICATE), GetLastError());

        ByteBuffer signCert = FakeCertificate(700, 1), exchangeCert = FakeCertificate(90, 2);
        // Bytes after the DER value must not be taken: the token reads the length from the header.
        ByteBuffer padded = signCert;
        Append(padded, ByteBuffer(64, 0xEE));
        ASSERT_TRUE(CryptSetKeyParam(signature.get(), KP_CERTIFICATE, padded.data(), 0)) << std::hex << GetLastError();
        ASSERT_TRUE(CryptSetKeyParam(exchange.get(), KP_CERTIFICATE, exchangeCert.data(), 0));
        container.Release();
        exchange.reset();
        signature.reset();

        ASSERT_EQ(0u, container.Open());
        ByteBuffer got;
        EXPECT_EQ(0u, ReadCertificate(container.Prov(), AT_SIGNATURE, got));
        EXPECT_EQ(signCert, got);
        EXPECT_EQ(0u, ReadCertificate(container.Prov(), AT_KEYEXCHANGE, got));
        EXPECT_EQ(exchangeCert, got);
        cb = 10;
        CryptKey key;
        ASSERT_TRUE(CryptGetUserKey(container.Prov(), AT_SIGNATURE, key.put()));
        ByteBuffer small(10);
        EXPECT_FALSE(CryptGetKeyParam(key.get(), KP_CERTIFICATE, small.data(), &cb, 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
        EXPECT_EQ(signCert.size(), cb);
        container.Release();

        std::string certHex = Hex(signCert);
        EXPECT_EQ(0u, RunChild({{TEXT("BM_TOKEN_CHILD"), TEXT("readcert")},
                                {TEXT("BM_TOKEN_CHILD_PROV"), c.pwszProv == RSA_PROV ? TEXT("RSA") : TEXT("SM2")},
                                {TEXT("BM_TOKEN_CHILD_CONTAINER"), container.Name()},
                                {TEXT("BM_TOKEN_CHILD_CERT"), WString(certHex.begin(), certHex.end())}}));
    }
}

TEST(TokenStoreFile, TwoProcessesCreatingContainersAtOnceLoseNothing)
{
    IsolatedStore store;
    HANDLE hA = nullptr, hB = nullptr;
    ASSERT_EQ(0u, RunChild({{TEXT("BM_TOKEN_CHILD"), TEXT("create")}, {TEXT("BM_TOKEN_CHILD_CONTAINER"), TEXT("first")}}, &hA));
    ASSERT_EQ(0u, RunChild({{TEXT("BM_TOKEN_CHILD"), TEXT("create")}, {TEXT("BM_TOKEN_CHILD_CONTAINER"), TEXT("second")}}, &hB));
    HANDLE both[2] = {hA, hB};
    WaitForMultipleObjects(2, both, TRUE, INFINITE);
    for (HANDLE h : both) {
        DWORD dwExit = 1;
        GetExitCodeProcess(h, &dwExit);
        EXPECT_EQ(0u, dwExit);
        CloseHandle(h);
    }
    CryptProv prov;
    ASSERT_EQ(0u, Acquire(prov, WString(), SM2_PROV, CRYPT_VERIFYCONTEXT));
    DWORD dwEnd = 0;
    std::vector<std::string> listed = EnumContainers(prov.get(), dwEnd);
    EXPECT_EQ(30u, listed.size());
    EXPECT_EQ(30u, std::set<std::string>(listed.begin(), listed.end()).size());
}

TEST(TokenStoreFile, AProcessKeepingTheTokenLoadedSeesWhatAnotherChanged)
{
    IsolatedStore store;
    // This context keeps the provider, and so what it has read of the store, loaded throughout.
    CryptProv keepLoaded;
    ASSERT_EQ(0u, Acquire(keepLoaded, WString(), SM2_PROV, CRYPT_VERIFYCONTEXT));
    TokenContainer container(SM2_PROV);
    ASSERT_EQ(0u, container.GenKey(SM2_SIGN, 0));
    container.Release();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(0u, container.Open());
        const ByteBuffer before = container.PublicBlob(AT_SIGNATURE);
        container.Release();
        // The new key has the size of the old one: the store file keeps its size.
        EXPECT_EQ(0u, RunChild({{TEXT("BM_TOKEN_CHILD"), TEXT("regen")}, {TEXT("BM_TOKEN_CHILD_CONTAINER"), container.Name()}}));
        ASSERT_EQ(0u, container.Open());
        const ByteBuffer after = container.PublicBlob(AT_SIGNATURE);
        EXPECT_EQ(140u, after.size());
        EXPECT_NE(before, after);
        container.Release();
    }
}
