// platform/linux/src/system/Registry.cpp — the registry of the native build: HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER in one file beside the NSS database, answering with the platform's codes. crypt32's
// system stores (SOFTWARE\Microsoft\SystemCertificates\<store>\Certificates\<thumbprint>) are the
// database's certificates instead, so those keys go to SystemStores.h.
//
// The file ("registry" in the database folder) is UTF-8 text, one line per key or value:
//   K <tab> <path>                                   a key, e.g. HKLM\SOFTWARE\Example
//   V <tab> <path> <tab> <name> <tab> <type> <tab> <hex data>
// with '%', tab, line breaks and other control bytes of paths and names written as %XX. Every change
// rewrites the whole file under an exclusive lock on "registry.lock" and replaces it by rename, so a
// reader sees the file before or after a change, never half of one; a crash leaves at most a temporary.
#include "NssDatabase.h"
#include "Utf8.h"
#include "SystemStores.h"

#include <windows.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

namespace {

using WString = std::basic_string<WCHAR>;

struct Value {
    WString wstrName;
    DWORD dwType = REG_NONE;
    std::vector<BYTE> vecData;
};

struct Key {
    WString wstrPath;                     // as first created
    std::map<WString, Value> mapValues;   // by folded name
};

// The keys by folded full path ("HKLM\..." or "HKCU\...").
using Hive = std::map<WString, Key>;

// An open key: its full path as the caller spelled it.
struct OpenKey {
    WString wstrPath;
};

std::mutex g_mutex;
std::set<const OpenKey*> g_setOpen;

const WCHAR kMachineRoot[] = u"HKLM";
const WCHAR kUserRoot[] = u"HKCU";

WString Fold(const WString& wstr)
{
    WString wstrFolded(wstr);
    for (WCHAR& wch : wstrFolded)
        if (wch >= u'a' && wch <= u'z') wch = static_cast<WCHAR>(wch - u'a' + u'A');
    return wstrFolded;
}

std::string FilePath() { return NssDatabaseDirectory() + "/registry"; }

// ---- The file ----------------------------------------------------------------------------------------

std::string Escape(const WString& wstr)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string strOut;
    for (const char ch : Utf8OfUtf16(wstr)) {
        const BYTE by = static_cast<BYTE>(ch);
        if (by < 0x20 || by == '%' || by == 0x7F) {
            strOut += '%';
            strOut += kHex[by >> 4];
            strOut += kHex[by & 0xF];
        } else {
            strOut += ch;
        }
    }
    return strOut;
}

int HexDigit(char ch)
{
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return -1;
}

bool Unescape(const std::string& str, WString& wstrOut)
{
    std::string strRaw;
    for (size_t i = 0; i < str.size(); ++i) {
        if (str[i] != '%') {
            strRaw += str[i];
            continue;
        }
        if (i + 2 >= str.size()) return false;
        const int nHigh = HexDigit(str[i + 1]), nLow = HexDigit(str[i + 2]);
        if (nHigh < 0 || nLow < 0) return false;
        strRaw += static_cast<char>(nHigh * 16 + nLow);
        i += 2;
    }
    wstrOut = Utf16OfUtf8(strRaw);
    return true;
}

bool ParseHex(const std::string& str, std::vector<BYTE>& vecOut)
{
    if (str.size() % 2 != 0) return false;
    vecOut.clear();
    for (size_t i = 0; i < str.size(); i += 2) {
        const int nHigh = HexDigit(str[i]), nLow = HexDigit(str[i + 1]);
        if (nHigh < 0 || nLow < 0) return false;
        vecOut.push_back(static_cast<BYTE>(nHigh * 16 + nLow));
    }
    return true;
}

std::vector<std::string> SplitTabs(const std::string& strLine)
{
    std::vector<std::string> vecFields;
    size_t nStart = 0;
    for (;;) {
        const size_t nTab = strLine.find('\t', nStart);
        vecFields.push_back(strLine.substr(nStart, nTab == std::string::npos ? std::string::npos : nTab - nStart));
        if (nTab == std::string::npos) return vecFields;
        nStart = nTab + 1;
    }
}

// A missing file is an empty registry; a damaged one is ERROR_BADDB.
LONG LoadHive(Hive& hive)
{
    hive.clear();
    FILE* pFile = fopen(FilePath().c_str(), "rb");
    if (pFile == nullptr) return ERROR_SUCCESS;
    std::string strAll;
    char achBuffer[4096];
    size_t cbRead = 0;
    while ((cbRead = fread(achBuffer, 1, sizeof(achBuffer), pFile)) > 0) strAll.append(achBuffer, cbRead);
    fclose(pFile);
    size_t nStart = 0;
    while (nStart < strAll.size()) {
        size_t nEnd = strAll.find('\n', nStart);
        if (nEnd == std::string::npos) nEnd = strAll.size();
        const std::string strLine = strAll.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (strLine.empty()) continue;
        const std::vector<std::string> vecFields = SplitTabs(strLine);
        WString wstrPath;
        if (vecFields.size() < 2 || !Unescape(vecFields[1], wstrPath) || wstrPath.empty()) return ERROR_BADDB;
        Key& key = hive[Fold(wstrPath)];
        if (key.wstrPath.empty()) key.wstrPath = wstrPath;
        if (vecFields[0] == "K" && vecFields.size() == 2) continue;
        if (vecFields[0] != "V" || vecFields.size() != 5) return ERROR_BADDB;
        Value value;
        char* pszEnd = nullptr;
        const unsigned long ulType = strtoul(vecFields[3].c_str(), &pszEnd, 10);
        if (!Unescape(vecFields[2], value.wstrName) || pszEnd == vecFields[3].c_str() || *pszEnd != 0 ||
            ulType > 0xFFFFFFFFul || !ParseHex(vecFields[4], value.vecData))
            return ERROR_BADDB;
        value.dwType = static_cast<DWORD>(ulType);
        key.mapValues[Fold(value.wstrName)] = std::move(value);
    }
    return ERROR_SUCCESS;
}

LONG SaveHive(const Hive& hive)
{
    static const char kHex[] = "0123456789abcdef";
    std::string strAll;
    for (const auto& [wstrFolded, key] : hive) {
        (void)wstrFolded;
        strAll += "K\t" + Escape(key.wstrPath) + "\n";
        for (const auto& [wstrName, value] : key.mapValues) {
            (void)wstrName;
            strAll += "V\t" + Escape(key.wstrPath) + "\t" + Escape(value.wstrName) + "\t" + std::to_string(value.dwType) + "\t";
            for (const BYTE by : value.vecData) {
                strAll += kHex[by >> 4];
                strAll += kHex[by & 0xF];
            }
            strAll += "\n";
        }
    }
    const std::string strPath = FilePath();
    const std::string strTemp = strPath + ".tmp." + std::to_string(getpid());
    const int nFd = open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (nFd < 0) return ERROR_ACCESS_DENIED;
    size_t cbDone = 0;
    while (cbDone < strAll.size()) {
        const ssize_t cb = write(nFd, strAll.data() + cbDone, strAll.size() - cbDone);
        if (cb <= 0) break;
        cbDone += static_cast<size_t>(cb);
    }
    const bool bWritten = cbDone == strAll.size() && fsync(nFd) == 0;
    close(nFd);
    if (!bWritten || rename(strTemp.c_str(), strPath.c_str()) != 0) {
        unlink(strTemp.c_str());
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

// Holds the file lock (shared to read, exclusive to change) and the process's own lock for one call.
class HiveLock {
public:
    explicit HiveLock(bool bExclusive) : m_guard(g_mutex)
    {
        if (NssDatabaseDirectory().empty()) return;
        m_nFd = open((NssDatabaseDirectory() + "/registry.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_nFd >= 0) flock(m_nFd, bExclusive ? LOCK_EX : LOCK_SH);
    }
    ~HiveLock()
    {
        if (m_nFd >= 0) close(m_nFd);
    }
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;
    bool Held() const { return m_nFd >= 0; }

private:
    std::lock_guard<std::mutex> m_guard;
    int m_nFd = -1;
};

// ---- Paths -------------------------------------------------------------------------------------------

// The full path of hKey's sub key, or an error code.
LONG ResolvePath(HKEY hKey, LPCWSTR lpSubKey, WString& wstrPath)
{
    if (hKey == HKEY_LOCAL_MACHINE)
        wstrPath = kMachineRoot;
    else if (hKey == HKEY_CURRENT_USER)
        wstrPath = kUserRoot;
    else if (g_setOpen.count(reinterpret_cast<const OpenKey*>(hKey)) != 0)
        wstrPath = reinterpret_cast<const OpenKey*>(hKey)->wstrPath;
    else
        return ERROR_INVALID_HANDLE;
    if (lpSubKey == nullptr || *lpSubKey == 0) return ERROR_SUCCESS;
    if (*lpSubKey == u'\\') return ERROR_BAD_PATHNAME;
    WString wstrSub(lpSubKey);
    while (!wstrSub.empty() && wstrSub.back() == u'\\') wstrSub.pop_back();
    if (wstrSub.find(u"\\\\") != WString::npos) return ERROR_BAD_PATHNAME;
    wstrPath += u'\\';
    wstrPath += wstrSub;
    return ERROR_SUCCESS;
}

bool IsRoot(const WString& wstrFolded) { return wstrFolded == kMachineRoot || wstrFolded == kUserRoot; }

// A key of crypt32's system stores: its level (1 the store, 2 its Certificates, 3 a certificate, 4 below),
// the store and the thumbprint; level 0 for every other key.
struct StoreKey {
    int nLevel = 0;
    WString wstrStore;
    WString wstrThumbprint;
};

StoreKey ClassifyStoreKey(const WString& wstrPath)
{
    StoreKey stKey;
    const WString wstrFolded = Fold(wstrPath);
    static const WString kPrefixes[] = {u"HKLM\\SOFTWARE\\MICROSOFT\\SYSTEMCERTIFICATES\\",
                                        u"HKCU\\SOFTWARE\\MICROSOFT\\SYSTEMCERTIFICATES\\"};
    for (const WString& wstrPrefix : kPrefixes) {
        if (wstrFolded.compare(0, wstrPrefix.size(), wstrPrefix) != 0) continue;
        std::vector<WString> vecParts;
        size_t nStart = wstrPrefix.size();
        for (;;) {
            const size_t nSlash = wstrPath.find(u'\\', nStart);
            vecParts.push_back(wstrPath.substr(nStart, nSlash == WString::npos ? WString::npos : nSlash - nStart));
            if (nSlash == WString::npos) break;
            nStart = nSlash + 1;
        }
        const WString wstrStore = Fold(vecParts[0]);
        if (wstrStore != u"ROOT" && wstrStore != u"CA" && wstrStore != u"MY") return stKey;
        stKey.wstrStore = vecParts[0];
        stKey.nLevel = 1;
        if (vecParts.size() >= 2) {
            if (Fold(vecParts[1]) != u"CERTIFICATES") {
                stKey.nLevel = 0;
                return stKey;
            }
            stKey.nLevel = 2;
        }
        if (vecParts.size() >= 3) {
            stKey.nLevel = vecParts.size() == 3 ? 3 : 4;
            stKey.wstrThumbprint = vecParts[2];
        }
        return stKey;
    }
    return stKey;
}

bool KeyExists(const Hive& hive, const WString& wstrPath)
{
    const WString wstrFolded = Fold(wstrPath);
    return IsRoot(wstrFolded) || hive.count(wstrFolded) != 0;
}

bool IsPredefined(HKEY hKey, LPCWSTR lpSubKey)
{
    return (lpSubKey == nullptr || *lpSubKey == 0) && (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER);
}

LONG NewHandle(const WString& wstrPath, PHKEY phkResult)
{
    OpenKey* pKey = new (std::nothrow) OpenKey{wstrPath};
    if (pKey == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    g_setOpen.insert(pKey);
    *phkResult = reinterpret_cast<HKEY>(pKey);
    return ERROR_SUCCESS;
}

// What an open or a create hands back: a root asked for by itself is its predefined handle, never a new one.
LONG HandleFor(HKEY hKey, LPCWSTR lpSubKey, const WString& wstrPath, PHKEY phkResult)
{
    if (!IsPredefined(hKey, lpSubKey)) return NewHandle(wstrPath, phkResult);
    *phkResult = hKey;
    return ERROR_SUCCESS;
}

// The key a handle names, which must still exist.
LONG KeyOfHandle(HKEY hKey, const Hive& hive, WString& wstrPath)
{
    const LONG lResult = ResolvePath(hKey, nullptr, wstrPath);
    if (lResult != ERROR_SUCCESS) return lResult;
    if (ClassifyStoreKey(wstrPath).nLevel != 0) return ERROR_SUCCESS;
    return KeyExists(hive, wstrPath) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

bool IsStringType(DWORD dwType) { return dwType == REG_SZ || dwType == 2 || dwType == 7; }

}  // namespace

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    (void)ulOptions;
    (void)samDesired;
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    HiveLock lock(false);
    if (!lock.Held()) return ERROR_ACCESS_DENIED;
    WString wstrPath;
    LONG lResult = ResolvePath(hKey, lpSubKey, wstrPath);
    if (lResult != ERROR_SUCCESS) return lResult;
    if (IsPredefined(hKey, lpSubKey)) return HandleFor(hKey, lpSubKey, wstrPath, phkResult);
    const StoreKey stKey = ClassifyStoreKey(wstrPath);
    if (stKey.nLevel == 3) {
        lResult = SystemStoreFind(stKey.wstrStore.c_str(), stKey.wstrThumbprint.c_str());
        if (lResult != ERROR_SUCCESS) return lResult;
    } else if (stKey.nLevel == 4) {
        return ERROR_FILE_NOT_FOUND;
    } else if (stKey.nLevel == 0) {
        Hive hive;
        lResult = LoadHive(hive);
        if (lResult != ERROR_SUCCESS) return lResult;
        if (!KeyExists(hive, wstrPath)) return ERROR_FILE_NOT_FOUND;
    }
    return HandleFor(hKey, lpSubKey, wstrPath, phkResult);
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    (void)Reserved;
    (void)lpClass;
    (void)dwOptions;
    (void)samDesired;
    (void)lpSecurityAttributes;
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    HiveLock lock(true);
    if (!lock.Held()) return ERROR_ACCESS_DENIED;
    WString wstrPath;
    LONG lResult = ResolvePath(hKey, lpSubKey, wstrPath);
    if (lResult != ERROR_SUCCESS) return lResult;
    DWORD dwDisposition = REG_OPENED_EXISTING_KEY;
    const StoreKey stKey = ClassifyStoreKey(wstrPath);
    if (stKey.nLevel == 3) {
        // The certificate's key comes to be with its Blob value.
        if (SystemStoreFind(stKey.wstrStore.c_str(), stKey.wstrThumbprint.c_str()) != ERROR_SUCCESS)
            dwDisposition = REG_CREATED_NEW_KEY;
    } else if (stKey.nLevel == 4) {
        return ERROR_ACCESS_DENIED;
    } else if (stKey.nLevel == 0) {
        Hive hive;
        lResult = LoadHive(hive);
        if (lResult != ERROR_SUCCESS) return lResult;
        if (!KeyExists(hive, wstrPath)) {
            dwDisposition = REG_CREATED_NEW_KEY;
            // Every missing key on the way is made too.
            for (size_t nSlash = wstrPath.find(u'\\'); ; nSlash = wstrPath.find(u'\\', nSlash + 1)) {
                const WString wstrPart = wstrPath.substr(0, nSlash);
                Key& key = hive[Fold(wstrPart)];
                if (key.wstrPath.empty()) key.wstrPath = wstrPart;
                if (nSlash == WString::npos) break;
            }
            hive.erase(Fold(wstrPath.substr(0, wstrPath.find(u'\\'))));
            lResult = SaveHive(hive);
            if (lResult != ERROR_SUCCESS) return lResult;
        }
    }
    if (lpdwDisposition != nullptr) *lpdwDisposition = dwDisposition;
    return HandleFor(hKey, lpSubKey, wstrPath, phkResult);
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    (void)Reserved;
    if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    HiveLock lock(true);
    if (!lock.Held()) return ERROR_ACCESS_DENIED;
    Hive hive;
    LONG lResult = LoadHive(hive);
    if (lResult != ERROR_SUCCESS) return lResult;
    WString wstrPath;
    lResult = KeyOfHandle(hKey, hive, wstrPath);
    if (lResult != ERROR_SUCCESS) return lResult;
    const WString wstrName = lpValueName != nullptr ? WString(lpValueName) : WString();
    const StoreKey stKey = ClassifyStoreKey(wstrPath);
    if (stKey.nLevel != 0) {
        // Only a certificate's serialized properties have a place in the database.
        if (stKey.nLevel != 3 || Fold(wstrName) != u"BLOB") return ERROR_ACCESS_DENIED;
        return SystemStoreWriteBlob(stKey.wstrStore.c_str(), stKey.wstrThumbprint.c_str(), lpData, cbData);
    }
    Key& key = hive[Fold(wstrPath)];
    if (key.wstrPath.empty()) key.wstrPath = wstrPath;
    Value value;
    value.wstrName = wstrName;
    value.dwType = dwType;
    if (cbData != 0) value.vecData.assign(lpData, lpData + cbData);
    key.mapValues[Fold(wstrName)] = std::move(value);
    return SaveHive(hive);
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData)
{
    (void)lpReserved;
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    HiveLock lock(false);
    if (!lock.Held()) return ERROR_ACCESS_DENIED;
    Hive hive;
    LONG lResult = LoadHive(hive);
    if (lResult != ERROR_SUCCESS) return lResult;
    WString wstrPath;
    lResult = KeyOfHandle(hKey, hive, wstrPath);
    if (lResult != ERROR_SUCCESS) return lResult;
    const auto itKey = hive.find(Fold(wstrPath));
    if (itKey == hive.end()) return ERROR_FILE_NOT_FOUND;
    const auto itValue = itKey->second.mapValues.find(Fold(lpValueName != nullptr ? WString(lpValueName) : WString()));
    if (itValue == itKey->second.mapValues.end()) return ERROR_FILE_NOT_FOUND;
    const Value& value = itValue->second;
    std::vector<BYTE> vecData = value.vecData;
    // A string stored without its terminator is read with one.
    if (IsStringType(value.dwType) &&
        (vecData.size() < sizeof(WCHAR) || vecData[vecData.size() - 1] != 0 || vecData[vecData.size() - 2] != 0 ||
         vecData.size() % 2 != 0))
        vecData.insert(vecData.end(), sizeof(WCHAR), 0);
    if (lpType != nullptr) *lpType = value.dwType;
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    const DWORD cbHave = *lpcbData;
    *lpcbData = static_cast<DWORD>(vecData.size());
    if (lpData == nullptr) return ERROR_SUCCESS;
    if (cbHave < vecData.size()) return ERROR_MORE_DATA;
    if (!vecData.empty()) memcpy(lpData, vecData.data(), vecData.size());
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    HiveLock lock(true);
    if (!lock.Held()) return ERROR_ACCESS_DENIED;
    WString wstrPath;
    LONG lResult = ResolvePath(hKey, lpSubKey, wstrPath);
    if (lResult != ERROR_SUCCESS) return lResult;
    const StoreKey stKey = ClassifyStoreKey(wstrPath);
    if (stKey.nLevel == 3) return SystemStoreDelete(stKey.wstrStore.c_str(), stKey.wstrThumbprint.c_str());
    if (stKey.nLevel != 0) return stKey.nLevel == 4 ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    const WString wstrFolded = Fold(wstrPath);
    if (IsRoot(wstrFolded)) return ERROR_ACCESS_DENIED;
    Hive hive;
    lResult = LoadHive(hive);
    if (lResult != ERROR_SUCCESS) return lResult;
    const auto itKey = hive.find(wstrFolded);
    if (itKey == hive.end()) return ERROR_FILE_NOT_FOUND;
    // A key with sub keys stays.
    const WString wstrChildren = wstrFolded + u'\\';
    const auto itChild = hive.lower_bound(wstrChildren);
    if (itChild != hive.end() && itChild->first.compare(0, wstrChildren.size(), wstrChildren) == 0)
        return ERROR_ACCESS_DENIED;
    hive.erase(itKey);
    return SaveHive(hive);
}

LONG RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> guard(g_mutex);
    const auto it = g_setOpen.find(reinterpret_cast<const OpenKey*>(hKey));
    if (it == g_setOpen.end()) return ERROR_INVALID_HANDLE;
    delete *it;
    g_setOpen.erase(it);
    return ERROR_SUCCESS;
}
