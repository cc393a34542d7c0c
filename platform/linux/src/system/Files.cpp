// platform/linux/src/system/Files.cpp — files, the temporary folder and the environment of the native
// build. A handle is the file's descriptor; a path may come in the "\\?\unix" form the trace sink gives
// a Unix path under Wine, which is the same path here.
#include "Utf8.h"

#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <string>

namespace {

using WString = std::basic_string<WCHAR>;

constexpr DWORD kDiskFull = 112;             // ERROR_DISK_FULL
constexpr DWORD kAttributeArchive = 0x20;    // FILE_ATTRIBUTE_ARCHIVE: a plain file
constexpr DWORD kAttributeReadOnly = 0x01;   // FILE_ATTRIBUTE_READONLY
// Descriptors are offset so that no handle is null and none equals INVALID_HANDLE_VALUE.
constexpr intptr_t kHandleBase = 0x10000;

bool PathOf(LPCWSTR lpFileName, std::string& strPath)
{
    if (lpFileName == nullptr || *lpFileName == 0) return false;
    WString wstr(lpFileName);
    static const WCHAR kUnixPrefix[] = u"\\\\?\\unix";
    if (wstr.compare(0, 8, kUnixPrefix) == 0) wstr.erase(0, 8);
    strPath = Utf8OfUtf16(wstr);
    return !strPath.empty();
}

// The platform's code for a failed call on strPath: a missing folder on the way is a missing path.
DWORD ErrorOf(int nErrno, const std::string& strPath)
{
    switch (nErrno) {
    case ENOENT: {
        const size_t nSlash = strPath.find_last_of('/');
        struct stat st = {};
        if (nSlash != std::string::npos && nSlash != 0 && stat(strPath.substr(0, nSlash).c_str(), &st) != 0)
            return ERROR_PATH_NOT_FOUND;
        return ERROR_FILE_NOT_FOUND;
    }
    case ENOTDIR:
    case ENAMETOOLONG:
        return ERROR_PATH_NOT_FOUND;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOSPC:
        return kDiskFull;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

int DescriptorOf(HANDLE hFile)
{
    const intptr_t nValue = reinterpret_cast<intptr_t>(hFile);
    return nValue >= kHandleBase && nValue - kHandleBase <= 0x7FFFFFFF ? static_cast<int>(nValue - kHandleBase) : -1;
}

template <typename T>
T Fail(DWORD dwError, T result)
{
    SetLastError(dwError);
    return result;
}

// Copies a text into the caller's buffer the way the platform's path and environment calls do: the
// length without the terminator when it fits, else the size it needs with the terminator.
DWORD CopyOut(const WString& wstr, LPWSTR lpBuffer, DWORD nSize)
{
    if (lpBuffer == nullptr || nSize <= wstr.size()) return static_cast<DWORD>(wstr.size() + 1);
    memcpy(lpBuffer, wstr.data(), wstr.size() * sizeof(WCHAR));
    lpBuffer[wstr.size()] = 0;
    return static_cast<DWORD>(wstr.size());
}

WString Widen(const char* psz) { return psz != nullptr ? Utf16OfUtf8(psz, strlen(psz)) : WString(); }

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;
    std::string strPath;
    if (!PathOf(lpFileName, strPath)) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    const bool bRead = (dwDesiredAccess & GENERIC_READ) != 0;
    const bool bWrite = (dwDesiredAccess & (GENERIC_WRITE | FILE_APPEND_DATA)) != 0;
    int nFlags = O_CLOEXEC | (bRead && bWrite ? O_RDWR : (bWrite ? O_WRONLY : O_RDONLY));
    if ((dwDesiredAccess & FILE_APPEND_DATA) != 0 && (dwDesiredAccess & GENERIC_WRITE) == 0) nFlags |= O_APPEND;
    struct stat st = {};
    const bool bExisted = stat(strPath.c_str(), &st) == 0;
    switch (dwCreationDisposition) {
    case CREATE_NEW:
        nFlags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        nFlags |= O_CREAT | O_TRUNC;
        break;
    case OPEN_EXISTING:
        break;
    case OPEN_ALWAYS:
        nFlags |= O_CREAT;
        break;
    case TRUNCATE_EXISTING:
        nFlags |= O_TRUNC;
        break;
    default:
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    if (bExisted && S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    // Files made here are the user's own: they may hold key material on its way somewhere.
    const int nFd = open(strPath.c_str(), nFlags, 0600);
    if (nFd < 0) return Fail(ErrorOf(errno, strPath), INVALID_HANDLE_VALUE);
    const bool bReportsExisting = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS;
    SetLastError(bReportsExisting && bExisted ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(nFd) + kHandleBase);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    const int nFd = DescriptorOf(hFile);
    if (nFd < 0 || lpOverlapped != nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    DWORD cbDone = 0;
    while (cbDone < nNumberOfBytesToRead) {
        const ssize_t cb = read(nFd, static_cast<BYTE*>(lpBuffer) + cbDone, nNumberOfBytesToRead - cbDone);
        if (cb < 0 && errno == EINTR) continue;
        if (cb < 0) return Fail(ErrorOf(errno, std::string()), FALSE);
        if (cb == 0) break;
        cbDone += static_cast<DWORD>(cb);
    }
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = cbDone;
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
    const int nFd = DescriptorOf(hFile);
    if (nFd < 0 || lpOverlapped != nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    DWORD cbDone = 0;
    while (cbDone < nNumberOfBytesToWrite) {
        const ssize_t cb = write(nFd, static_cast<const BYTE*>(lpBuffer) + cbDone, nNumberOfBytesToWrite - cbDone);
        if (cb < 0 && errno == EINTR) continue;
        if (cb <= 0) {
            if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = cbDone;
            return Fail(cb < 0 ? ErrorOf(errno, std::string()) : kDiskFull, FALSE);
        }
        cbDone += static_cast<DWORD>(cb);
    }
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = cbDone;
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile)
{
    const int nFd = DescriptorOf(hFile);
    if (nFd < 0) return Fail(ERROR_INVALID_HANDLE, FALSE);
    return fsync(nFd) == 0 ? TRUE : Fail(ErrorOf(errno, std::string()), FALSE);
}

BOOL CloseHandle(HANDLE hObject)
{
    // The pseudo handle of the current process closes without effect.
    if (hObject == INVALID_HANDLE_VALUE) return TRUE;
    const int nFd = DescriptorOf(hObject);
    if (nFd < 0 || close(nFd) != 0) return Fail(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR lpFileName)
{
    std::string strPath;
    if (!PathOf(lpFileName, strPath)) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    struct stat st = {};
    if (stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    return unlink(strPath.c_str()) == 0 ? TRUE : Fail(ErrorOf(errno, strPath), FALSE);
}

DWORD GetFileAttributesW(LPCWSTR lpFileName)
{
    std::string strPath;
    if (!PathOf(lpFileName, strPath)) return Fail(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    struct stat st = {};
    if (stat(strPath.c_str(), &st) != 0) return Fail(ErrorOf(errno, strPath), INVALID_FILE_ATTRIBUTES);
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    return access(strPath.c_str(), W_OK) == 0 ? kAttributeArchive : kAttributeArchive | kAttributeReadOnly;
}

DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer)
{
    const char* pszTemp = getenv("TMPDIR");
    WString wstrTemp = Widen(pszTemp != nullptr && *pszTemp == '/' ? pszTemp : "/tmp");
    if (wstrTemp.empty() || wstrTemp.back() != u'/') wstrTemp += u'/';
    return CopyOut(wstrTemp, lpBuffer, nBufferLength);
}

DWORD GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize)
{
    std::string strName;
    if (!PathOf(lpName, strName)) return Fail(ERROR_ENVVAR_NOT_FOUND, 0u);
    const char* pszValue = getenv(strName.c_str());
    if (pszValue == nullptr) return Fail(ERROR_ENVVAR_NOT_FOUND, 0u);
    const WString wstrValue = Widen(pszValue);
    if (wstrValue.empty()) {
        if (lpBuffer != nullptr && nSize != 0) lpBuffer[0] = 0;
        return 0;
    }
    return CopyOut(wstrValue, lpBuffer, nSize);
}
