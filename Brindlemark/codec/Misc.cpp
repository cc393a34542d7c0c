// Brindlemark/codec/Misc.cpp — text and binary conversions, and small wrappers around the platform,
// that several units share.
#include "codec/Misc.h"

#include "Owners.h"
#include "ResultCode.h"
#include "trace/TraceHelper.h"

#include <objbase.h>

#include <cstdint>
#include <new>
#include <stdexcept>

namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kBase64GroupsPerLine = 19;  // 76 characters
constexpr size_t kWrappedLineLength = 64;

// Value of a Base64 alphabet character, -1 for every other byte.
int Base64Value(unsigned char ch)
{
    if (ch >= 'A' && ch <= 'Z') return ch - 'A';
    if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
    if (ch >= '0' && ch <= '9') return ch - '0' + 52;
    if (ch == '+') return 62;
    if (ch == '/') return 63;
    return -1;
}

int HexValue(WCHAR wch)
{
    if (wch >= TEXT('0') && wch <= TEXT('9')) return wch - TEXT('0');
    if (wch >= TEXT('a') && wch <= TEXT('f')) return wch - TEXT('a') + 10;
    if (wch >= TEXT('A') && wch <= TEXT('F')) return wch - TEXT('A') + 10;
    return -1;
}

}  // namespace

HRESULT UTF16ToUTF8(const WCHAR* pwszInput, std::string& strOutput)
{
    TraceHelper scope(TEXT("UTF16ToUTF8"));
    FAIL_IF(pwszInput == nullptr, E_POINTER, TEXT("Check parameter(pwszInput)"));

    int cbNeeded = WideCharToMultiByte(CP_UTF8, 0, pwszInput, -1, nullptr, 0, nullptr, nullptr);
    FAIL_IF(0 == cbNeeded, ResultFromLastError(), TEXT("WideCharToMultiByte(size)"));

    std::string str;
    FAIL_IF_REASON(!TryResize(str, static_cast<uint64_t>(cbNeeded)), E_OUTOFMEMORY, TEXT("New Memory"),
                   TEXT("NULL == pszUTF8"));
    int cbDone = WideCharToMultiByte(CP_UTF8, 0, pwszInput, -1, str.data(), cbNeeded, nullptr, nullptr);
    FAIL_IF(0 == cbDone, ResultFromLastError(), TEXT("WideCharToMultiByte"));

    str.resize(static_cast<size_t>(cbDone) - 1);
    strOutput.swap(str);
    return QORA_OK;
}

HRESULT UTF8ToUTF16(const char* pszInput, WString& wstrOutput)
{
    TraceHelper scope(TEXT("UTF8ToUTF16"));
    FAIL_IF(pszInput == nullptr, E_POINTER, TEXT("Check parameter(pszInput)"));
    TraceNarrowValue(TRACE_FLAG_INFO, TEXT("pszInput"), pszInput);
    TRACE_INFO_VALUE("nInputLength", lstrlenA(pszInput));

    int cchNeeded = MultiByteToWideChar(CP_UTF8, 0, pszInput, -1, nullptr, 0);
    FAIL_IF(0 == cchNeeded, ResultFromLastError(), TEXT("MultiByteToWideChar(size)"));

    WString wstr;
    FAIL_IF_REASON(!TryResize(wstr, static_cast<uint64_t>(cchNeeded)), E_OUTOFMEMORY, TEXT("New Memory"),
                   TEXT("NULL == pwszUTF16"));
    int cchDone = MultiByteToWideChar(CP_UTF8, 0, pszInput, -1, wstr.data(), cchNeeded);
    FAIL_IF(0 == cchDone, ResultFromLastError(), TEXT("MultiByteToWideChar"));

    wstr.resize(static_cast<size_t>(cchDone) - 1);
    TRACE_INFO_VALUE("nOutputLength", wstr.size());
    wstrOutput.swap(wstr);
    return QORA_OK;
}

HRESULT Base64EncodeEx(const BYTE* pbData, DWORD cbData, std::string& strBase64)
{
    TraceHelper scope(TEXT("Base64EncodeEx"));
    FAIL_IF(pbData == nullptr && cbData != 0, E_POINTER, TEXT("Check parameter(pbData)"));
    TRACE_INFO_VALUE("cbData", cbData);

    const uint64_t ullGroups = cbData / 3;
    const uint64_t ullRest = cbData % 3;
    const uint64_t ullSize = ullGroups * 4 + (ullGroups / kBase64GroupsPerLine) * 2 + (ullRest != 0 ? 4 : 0);
    std::string str;
    FAIL_IF_REASON(!TryReserve(str, ullSize), E_OUTOFMEMORY, TEXT("New Memory"), TEXT("NULL == pszBase64"));

    const BYTE* pb = pbData;
    for (uint64_t i = 1; i <= ullGroups; ++i, pb += 3) {
        const DWORD dwGroup = (static_cast<DWORD>(pb[0]) << 16) | (static_cast<DWORD>(pb[1]) << 8) | pb[2];
        str += kBase64Alphabet[(dwGroup >> 18) & 0x3F];
        str += kBase64Alphabet[(dwGroup >> 12) & 0x3F];
        str += kBase64Alphabet[(dwGroup >> 6) & 0x3F];
        str += kBase64Alphabet[dwGroup & 0x3F];
        if (i % kBase64GroupsPerLine == 0) str += "\r\n";
    }
    if (ullRest != 0) {
        const DWORD dwGroup = (static_cast<DWORD>(pb[0]) << 16) | (ullRest == 2 ? static_cast<DWORD>(pb[1]) << 8 : 0);
        str += kBase64Alphabet[(dwGroup >> 18) & 0x3F];
        str += kBase64Alphabet[(dwGroup >> 12) & 0x3F];
        str += ullRest == 2 ? kBase64Alphabet[(dwGroup >> 6) & 0x3F] : '=';
        str += '=';
    }
    TRACE_INFO_VALUE("nBase64Length", str.size());
    strBase64.swap(str);
    return QORA_OK;
}

HRESULT Base64DecodeEx(const char* pszBase64, int nLength, ByteBuffer& vecData)
{
    TraceHelper scope(TEXT("Base64DecodeEx"));
    TRACE_INFO_VALUE("nLength", nLength);
    FAIL_IF(nLength <= 0, E_FAIL, TEXT("Check parameter(nLength)"));
    FAIL_IF(pszBase64 == nullptr, E_POINTER, TEXT("Check parameter(pszBase64)"));

    // Four characters give three bytes, so the input length always suffices.
    ByteBuffer vec;
    FAIL_IF_REASON(!TryReserve(vec, static_cast<uint64_t>(nLength)), E_OUTOFMEMORY, TEXT("New Memory"),
                   TEXT("NULL == pbyData"));

    int anQuad[4] = {};
    int nInQuad = 0;
    for (int i = 0; i < nLength; ++i) {
        const unsigned char ch = static_cast<unsigned char>(pszBase64[i]);
        if (ch == 0 && nInQuad == 0) break;
        const int nValue = Base64Value(ch);
        if (nValue < 0) continue;
        anQuad[nInQuad++] = nValue;
        if (nInQuad == 4) {
            vec.push_back(static_cast<BYTE>((anQuad[0] << 2) | (anQuad[1] >> 4)));
            vec.push_back(static_cast<BYTE>(((anQuad[1] & 0x0F) << 4) | (anQuad[2] >> 2)));
            vec.push_back(static_cast<BYTE>(((anQuad[2] & 0x03) << 6) | anQuad[3]));
            nInQuad = 0;
        }
    }
    if (nInQuad >= 2) vec.push_back(static_cast<BYTE>((anQuad[0] << 2) | (anQuad[1] >> 4)));
    if (nInQuad == 3) vec.push_back(static_cast<BYTE>(((anQuad[1] & 0x0F) << 4) | (anQuad[2] >> 2)));

    TRACE_INFO_VALUE("cbData", vec.size());
    vecData.swap(vec);
    return QORA_OK;
}

HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(const char* pszBase64, DWORD cchBase64, std::string& strOutput)
{
    TraceHelper scope(TEXT("TransformBase64EncodedDatatoHoldCRLFPer64Chars"));
    FAIL_IF(pszBase64 == nullptr && cchBase64 != 0, E_POINTER, TEXT("Check parameter(pszBase64)"));
    TRACE_INFO_VALUE("nInputLength", cchBase64);

    uint64_t ullChars = 0;
    for (DWORD i = 0; i < cchBase64; ++i)
        if (pszBase64[i] != '\r' && pszBase64[i] != '\n') ++ullChars;
    const uint64_t ullSize = ullChars + (ullChars != 0 ? (ullChars - 1) / kWrappedLineLength * 2 : 0);

    std::string str;
    FAIL_IF_REASON(!TryReserve(str, ullSize), E_OUTOFMEMORY, TEXT("new memory failed."), TEXT("NULL == pszOutput"));
    size_t nOnLine = 0;
    for (DWORD i = 0; i < cchBase64; ++i) {
        const char ch = pszBase64[i];
        if (ch == '\r' || ch == '\n') continue;
        if (nOnLine == kWrappedLineLength) {
            str += "\r\n";
            nOnLine = 0;
        }
        str += ch;
        ++nOnLine;
    }
    TRACE_INFO_VALUE("nOutputLength", str.size());
    strOutput.swap(str);
    return QORA_OK;
}

HRESULT ConvertBinaryDataToString(const BYTE* pbData, DWORD cbData, WString& wstrHex)
{
    TraceHelper scope(TEXT("ConvertBinaryDataToString"));
    FAIL_IF(pbData == nullptr && cbData != 0, E_POINTER, TEXT("Check parameter(pbData)"));

    static const WCHAR kDigits[] = TEXT("0123456789abcdef");
    WString wstr;
    FAIL_IF_REASON(!TryReserve(wstr, static_cast<uint64_t>(cbData) * 2), E_OUTOFMEMORY,
                   TEXT("Dispatch memory failed."), TEXT("NULL == pwszHex"));
    for (DWORD i = cbData; i > 0; --i) {
        wstr += kDigits[pbData[i - 1] >> 4];
        wstr += kDigits[pbData[i - 1] & 0x0F];
    }
    wstrHex.swap(wstr);
    return QORA_OK;
}

HRESULT ConvertStringToBinaryData(const WCHAR* pwszHex, ByteBuffer& vecData)
{
    TraceHelper scope(TEXT("ConvertStringToBinaryData"));
    FAIL_IF(pwszHex == nullptr, E_INVALIDARG, TEXT("Check parameter(pwszHex)"));
    const size_t cch = static_cast<size_t>(lstrlenW(pwszHex));
    FAIL_IF(cch % 2 != 0, E_INVALIDARG, TEXT("Check parameter(length)"));
    size_t nHexDigits = 0;
    while (nHexDigits < cch && HexValue(pwszHex[nHexDigits]) >= 0) ++nHexDigits;
    FAIL_IF(nHexDigits != cch, E_INVALIDARG, TEXT("Check parameter(hex digits)"));

    const size_t cbData = cch / 2;
    ByteBuffer vec;
    FAIL_IF_REASON(!TryResize(vec, cbData), E_OUTOFMEMORY, TEXT("Dispatch memory failed."), TEXT("NULL == pbyData"));
    for (size_t i = 0; i < cbData; ++i) {
        const size_t nPair = cbData - 1 - i;
        vec[i] = static_cast<BYTE>((HexValue(pwszHex[2 * nPair]) << 4) | HexValue(pwszHex[2 * nPair + 1]));
    }
    vecData.swap(vec);
    return QORA_OK;
}

void SplitStrings(const WCHAR* pwszText, std::vector<WString>& vecItems)
{
    TraceHelper scope(TEXT("SplitStrings"));
    if (pwszText == nullptr) return;
    const WCHAR* pwszItem = pwszText;
    while (*pwszItem != 0) {
        const WCHAR* pwszEnd = pwszItem;
        while (*pwszEnd != 0 && !(pwszEnd[0] == TEXT('|') && pwszEnd[1] == TEXT('|'))) ++pwszEnd;
        if (pwszEnd == pwszItem) break;
        const bool bAdded = GUARD_ALLOCATION_STEP(TEXT("New Memory"), TEXT("emplace_back"), E_OUTOFMEMORY, [&] {
            vecItems.emplace_back(pwszItem, static_cast<size_t>(pwszEnd - pwszItem));
            return QORA_OK;
        }) == QORA_OK;
        if (!bAdded) return;
        TRACE_INFO_TEXT("Item", vecItems.back().c_str());
        pwszItem = *pwszEnd != 0 ? pwszEnd + 2 : pwszEnd;
    }
}

void SwapByteOrder(BYTE* pbData, DWORD cbData)
{
    TraceHelper scope(TEXT("SwapByteOrder"));
    if (pbData == nullptr || cbData < 2) return;
    for (DWORD i = 0, j = cbData - 1; i < j; ++i, --j) {
        const BYTE b = pbData[i];
        pbData[i] = pbData[j];
        pbData[j] = b;
    }
}

HRESULT CreateGUIDStr(WString& wstrGuid)
{
    TraceHelper scope(TEXT("CreateGUIDStr"));

    GUID guid = {};
    HRESULT hResult = CoCreateGuid(&guid);
    FAIL_IF(FAILED(hResult), hResult, TEXT("CoCreateGuid"));

    WCHAR wszGuid[64] = {};
    int nChars = StringFromGUID2(guid, wszGuid, 64);
    FAIL_IF(0 == nChars, ResultFromLastError(), TEXT("StringFromGUID2"));

    wstrGuid = wszGuid;
    TRACE_INFO_TEXT("wstrGuid", wstrGuid.c_str());
    return QORA_OK;
}

HRESULT GetTempDirPath(WString& wstrTempDir)
{
    TraceHelper scope(TEXT("GetTempDirPath"));

    std::vector<WCHAR> vecPath(MAX_PATH + 1, 0);
    DWORD dwChars = GetTempPathW(MAX_PATH, vecPath.data());
    FAIL_IF(0 == dwChars, ResultFromLastError(), TEXT("GetTempPath"));
    if (dwChars > MAX_PATH) {
        // A longer directory than MAX_PATH: the call reported the size it needs, so ask again.
        vecPath.assign(dwChars + 1, 0);
        dwChars = GetTempPathW(dwChars + 1, vecPath.data());
        FAIL_IF(0 == dwChars || dwChars >= vecPath.size(), ResultFromLastError(), TEXT("GetTempPath"));
    }

    wstrTempDir.assign(vecPath.data(), dwChars);
    TRACE_INFO_TEXT("wstrTempDir", wstrTempDir.c_str());
    return QORA_OK;
}

void DumpDatatoTempFile(const BYTE* pbData, DWORD cbData, WString& wstrPath)
{
    TraceHelper scope(TEXT("DumpDatatoTempFile"));

    WString wstrGuid;
    HRESULT hResult = CreateGUIDStr(wstrGuid);
    if (STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("CreateGUIDStr"), TEXT("FAILED(hResult)"))) return;

    WString wstrTempDir;
    hResult = GetTempDirPath(wstrTempDir);
    if (STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("GetTempDirPath"), TEXT("FAILED(hResult)"))) return;

    WString wstrFile = wstrTempDir + wstrGuid + TEXT(".QORA");
    TRACE_INFO_TEXT("wstrFile", wstrFile.c_str());

    if (GetFileAttributesW(wstrFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
        BOOL bRetCode = DeleteFileW(wstrFile.c_str());
        if (STEP_FAILED_REASON(bRetCode == FALSE, ResultFromLastError(), TEXT("DeleteFile"), TEXT("bRetCode == FALSE")))
            return;
    }

    FileHandle hFile(CreateFileW(wstrFile.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (STEP_FAILED_REASON(!hFile, ResultFromLastError(), TEXT("CreateFile"), TEXT("hFile == INVALID_HANDLE_VALUE")))
        return;

    DWORD cbWritten = 0;
    BOOL bRetCode = WriteFile(hFile.get(), pbData, cbData, &cbWritten, nullptr);
    if (STEP_FAILED_REASON(bRetCode == FALSE || cbWritten != cbData, ResultFromLastError(), TEXT("WriteFile"),
                           TEXT("bRetCode == FALSE")))
        return;

    wstrPath = wstrFile;
}

HRESULT GetProviderInfo(HCRYPTPROV hProv, DWORD dwParam, ByteBuffer& vecInfo)
{
    TraceHelper scope(TEXT("GetProviderInfo"));
    TRACE_INFO_VALUE("dwParam", dwParam);

    DWORD cbInfo = 0;
    BOOL bRetCode = CryptGetProvParam(hProv, dwParam, nullptr, &cbInfo, 0);
    FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptGetProvParam"));
    TRACE_INFO_VALUE("cbInfo", cbInfo);
    FAIL_IF(0 == cbInfo, E_FAIL, TEXT("CryptGetProvParam"));

    // The size comes from the provider; one it cannot back is a failed allocation, not an exception.
    ByteBuffer vecValue;
    FAIL_IF_REASON(!TryResize(vecValue, cbInfo), E_OUTOFMEMORY, TEXT("New Memory"), TEXT("NULL == pbInfo"));
    bRetCode = CryptGetProvParam(hProv, dwParam, vecValue.data(), &cbInfo, 0);
    FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptGetProvParam"));
    TRACE_INFO_VALUE("cbInfo", cbInfo);
    // A second answer larger than the buffer it filled cannot be trusted: nothing past the buffer is ours.
    FAIL_IF(cbInfo > vecValue.size(), HRESULT_FROM_WIN32(ERROR_MORE_DATA), TEXT("CryptGetProvParam"));

    vecValue.resize(cbInfo);
    vecInfo = std::move(vecValue);
    return QORA_OK;
}

BOOL CheckIsSystemSupportSHA256()
{
    TraceHelper scope(TEXT("CheckIsSystemSupportSHA256"));

    OSVERSIONINFOEXW stVersion = {};
    stVersion.dwOSVersionInfoSize = sizeof(stVersion);
    if (GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&stVersion))) {
        TRACE_INFO_VALUE("wProductType", stVersion.wProductType);
        TRACE_INFO_VALUE("dwMajorVersion", stVersion.dwMajorVersion);
        TRACE_INFO_VALUE("dwMinorVersion", stVersion.dwMinorVersion);
        TRACE_INFO_VALUE("wServicePackMajor", stVersion.wServicePackMajor);
        TRACE_INFO_VALUE("wServicePackMinor", stVersion.wServicePackMinor);
    }

    OSVERSIONINFOEXW stWanted = {};
    stWanted.dwOSVersionInfoSize = sizeof(stWanted);
    DWORDLONG dwlConditions = 0;
    DWORD dwTypeMask = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR | VER_SERVICEPACKMINOR;
    dwlConditions = VerSetConditionMask(dwlConditions, VER_MAJORVERSION, VER_GREATER_EQUAL);
    dwlConditions = VerSetConditionMask(dwlConditions, VER_MINORVERSION, VER_GREATER_EQUAL);
    dwlConditions = VerSetConditionMask(dwlConditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    dwlConditions = VerSetConditionMask(dwlConditions, VER_SERVICEPACKMINOR, VER_GREATER_EQUAL);
    if (stVersion.wProductType == VER_NT_SERVER) {
        // Windows Server 2008 and later.
        stWanted.dwMajorVersion = 6;
        stWanted.dwMinorVersion = 0;
        stWanted.wServicePackMajor = 0;
        stWanted.wServicePackMinor = 0;
        stWanted.wProductType = VER_NT_SERVER;
        dwTypeMask |= VER_PRODUCT_TYPE;
        dwlConditions = VerSetConditionMask(dwlConditions, VER_PRODUCT_TYPE, VER_EQUAL);
    } else {
        // Windows XP SP3 and later.
        stWanted.dwMajorVersion = 5;
        stWanted.dwMinorVersion = 1;
        stWanted.wServicePackMajor = 3;
        stWanted.wServicePackMinor = 0;
    }

    BOOL bSupported = VerifyVersionInfoW(&stWanted, dwTypeMask, dwlConditions);
    TRACE_INFO_VALUE("bSupported", bSupported);
    return bSupported;
}
