// Platform helpers: GUID texts, diagnostic files in the temporary directory, provider parameters.
#include "RequestTestSupport.h"

#include "ResultCode.h"
#include "codec/Misc.h"
#include "ImportPatch.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace {

ByteBuffer ReadWholeFile(const WString& wstrPath)
{
    FileHandle hFile(CreateFileW(wstrPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!hFile) return {0xEE};  // marks a missing file
    ByteBuffer vec(GetFileSize(hFile.get(), nullptr));
    DWORD cbRead = 0;
    if (!vec.empty()) ReadFile(hFile.get(), vec.data(), static_cast<DWORD>(vec.size()), &cbRead, nullptr);
    vec.resize(cbRead);
    return vec;
}

DWORD g_cbProvParamReported = 0;

// A provider that reports a parameter size it could never deliver.
BOOL WINAPI ReportProvParamSize(HCRYPTPROV, DWORD, BYTE* pbData, DWORD* pcbData, DWORD)
{
    if (pbData == nullptr) {
        *pcbData = g_cbProvParamReported;
        return TRUE;
    }
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
}

// A provider whose second answer differs from its first: it fills cbFilled bytes and reports cbSecond.
DWORD g_cbFilled = 0;
DWORD g_cbSecond = 0;
BOOL WINAPI ChangeProvParamSize(HCRYPTPROV, DWORD, BYTE* pbData, DWORD* pcbData, DWORD)
{
    if (pbData != nullptr) memset(pbData, 'n', std::min(g_cbFilled, *pcbData));
    *pcbData = pbData == nullptr ? g_cbProvParamReported : g_cbSecond;
    return TRUE;
}

}  // namespace

TEST(Misc, GetProviderInfoTakesNoMoreThanTheBufferItOffered)
{
    CryptProv hProv;
    ASSERT_TRUE(CryptAcquireContextW(hProv.put(), nullptr, TEXT("Microsoft Enhanced Cryptographic Provider v1.0"),
                                     PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    struct Case {
        DWORD cbFirst, cbFilled, cbSecond;
        HRESULT hWant;
        size_t cbWant;
    } cases[] = {
        {16, 5, 5, QORA_OK, 5},                                    // fewer bytes than announced
        {16, 16, 16, QORA_OK, 16},                                 // as announced
        {16, 16, 17, HRESULT_FROM_WIN32(ERROR_MORE_DATA), 1},      // claims a byte past the buffer
        {16, 16, 0xFFFFFFFF, HRESULT_FROM_WIN32(ERROR_MORE_DATA), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cbFirst << "/" << c.cbFilled << "/" << c.cbSecond);
        g_cbProvParamReported = c.cbFirst;
        g_cbFilled = c.cbFilled;
        g_cbSecond = c.cbSecond;
        reqtest::ImportPatch patch("advapi32.dll", "CryptGetProvParam", reinterpret_cast<const void*>(&ChangeProvParamSize));
        ASSERT_TRUE(patch.Active());
        ByteBuffer vecInfo = {0x01};
        EXPECT_EQ(GetProviderInfo(hProv.get(), PP_NAME, vecInfo), c.hWant);
        EXPECT_EQ(vecInfo.size(), c.cbWant);
    }
}

TEST(Misc, GuidTextsAreNewBracedAndThirtyEightCharactersLong)
{
    WString wstrFirst, wstrSecond;
    ASSERT_EQ(CreateGUIDStr(wstrFirst), QORA_OK);
    ASSERT_EQ(CreateGUIDStr(wstrSecond), QORA_OK);
    for (const WString& wstr : {wstrFirst, wstrSecond}) {
        EXPECT_EQ(wstr.size(), 38u);
        EXPECT_EQ(wstr.front(), TEXT('{'));
        EXPECT_EQ(wstr.back(), TEXT('}'));
        EXPECT_EQ(wstr.find_first_not_of(TEXT("{}-0123456789ABCDEF")), WString::npos) << reqtest::Narrow(wstr);
    }
    EXPECT_NE(wstrFirst, wstrSecond);
}

TEST(Misc, DumpDatatoTempFileWritesAQoraFileInTheTemporaryDirectory)
{
    WString wstrTemp;
    ASSERT_EQ(GetTempDirPath(wstrTemp), QORA_OK);
    ASSERT_FALSE(wstrTemp.empty());
    EXPECT_EQ(wstrTemp.back(), TEXT('\\'));

    for (const ByteBuffer& vecData : {ByteBuffer{}, ByteBuffer{0x30, 0x00, 0xFF}, ByteBuffer(70000, 0xA5)}) {
        SCOPED_TRACE(vecData.size());
        WString wstrPath;
        DumpDatatoTempFile(vecData.data(), static_cast<DWORD>(vecData.size()), wstrPath);
        ASSERT_EQ(wstrPath.size(), wstrTemp.size() + 38 + 5);
        EXPECT_EQ(wstrPath.compare(0, wstrTemp.size(), wstrTemp), 0);
        EXPECT_EQ(wstrPath.substr(wstrPath.size() - 5), WString(TEXT(".QORA")));
        EXPECT_EQ(ReadWholeFile(wstrPath), vecData);
        DeleteFileW(wstrPath.c_str());
    }
}

TEST(Misc, GetProviderInfoReadsParametersAndReturnsTheProvidersError)
{
    WString wstrContainer;
    ASSERT_EQ(CreateGUIDStr(wstrContainer), QORA_OK);
    const WCHAR* pwszCSP = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
    CryptProv hProv;
    ASSERT_TRUE(CryptAcquireContextW(hProv.put(), wstrContainer.c_str(), pwszCSP, PROV_RSA_FULL, CRYPT_NEWKEYSET));

    ByteBuffer vecName;
    ASSERT_EQ(GetProviderInfo(hProv.get(), PP_NAME, vecName), QORA_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(vecName.data())), "Microsoft Enhanced Cryptographic Provider v1.0");
    EXPECT_EQ(vecName.size(), strlen("Microsoft Enhanced Cryptographic Provider v1.0") + 1);

    ByteBuffer vecContainer;
    ASSERT_EQ(GetProviderInfo(hProv.get(), PP_CONTAINER, vecContainer), QORA_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(vecContainer.data())), reqtest::Narrow(wstrContainer));

    ByteBuffer vecUnknown = {0x01};
    HRESULT hResult = GetProviderInfo(hProv.get(), 0x7777, vecUnknown);
    EXPECT_TRUE(FAILED(hResult));
    EXPECT_EQ(HRESULT_FACILITY(hResult), FACILITY_SECURITY) << std::hex << hResult;
    EXPECT_EQ(vecUnknown, ByteBuffer{0x01});

    hProv.reset();
    reqtest::DeleteContainer(wstrContainer, pwszCSP, PROV_RSA_FULL);
}

TEST(Misc, GetProviderInfoAnswersOutOfMemoryForASizeNoBufferCanHold)
{
    reqtest::AllocationCeiling ceiling;
    ASSERT_TRUE(ceiling.Active());
    CryptProv hProv;
    ASSERT_TRUE(CryptAcquireContextW(hProv.put(), nullptr, TEXT("Microsoft Enhanced Cryptographic Provider v1.0"),
                                     PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    for (DWORD cb : reqtest::kImpossibleSizes) {
        SCOPED_TRACE(cb);
        g_cbProvParamReported = cb;
        reqtest::ImportPatch patch("advapi32.dll", "CryptGetProvParam", reinterpret_cast<const void*>(&ReportProvParamSize));
        ASSERT_TRUE(patch.Active());
        ByteBuffer vecInfo = {0x01};
        EXPECT_EQ(GetProviderInfo(hProv.get(), PP_NAME, vecInfo), E_OUTOFMEMORY);
        EXPECT_EQ(vecInfo, ByteBuffer{0x01});
    }
}

TEST(Misc, Sha256IsSupportedOnThePlatformsVersionsSinceXpSp3)
{
    // Wine presents itself as a client version well after XP SP3.
    EXPECT_TRUE(CheckIsSystemSupportSHA256());
}
