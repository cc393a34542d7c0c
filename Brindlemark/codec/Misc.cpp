// Brindlemark/codec/Misc.cpp — small wrappers around the platform that several units share.
#include "codec/Misc.h"

#include "agent/ResultCode.h"
#include "trace/TraceHelper.h"

#include <objbase.h>

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
