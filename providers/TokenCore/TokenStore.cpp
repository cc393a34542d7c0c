// providers/TokenCore/TokenStore.cpp — the token's store file, its lock and its atomic replacement.
#include "TokenStore.h"

#include "ByteReader.h"

namespace {

constexpr DWORD STORE_MAGIC = 0x4B544D42;  // "BMTK"
constexpr DWORD STORE_VERSION = 1;
constexpr size_t MAX_KEY_BYTES = 16 * 1024;
constexpr size_t MAX_CERT_BYTES = 1024 * 1024;
constexpr size_t MAX_STORE_BYTES = 256 * 1024 * 1024;
constexpr DWORD LOCK_TIMEOUT_MS = 60 * 1000;

using WPath = std::basic_string<WCHAR>;

void AppendHex(WPath& out, DWORD dw)
{
    for (int shift = 28; shift >= 0; shift -= 4) out += TEXT("0123456789ABCDEF")[(dw >> shift) & 0xF];
}

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

struct OwnedHandle {
    HANDLE h;
    explicit OwnedHandle(HANDLE handle) : h(handle) {}
    ~OwnedHandle()
    {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
};

// Holds the token's mutex for one read-modify-write; an abandoned mutex is still ours, and the store
// file is whole because it only ever changes by rename.
class StoreLock {
public:
    explicit StoreLock(const WPath& path)
    {
        DWORD hash = 2166136261u;
        for (WCHAR ch : path) {
            WCHAR up = (ch >= 'a' && ch <= 'z') ? static_cast<WCHAR>(ch - 'a' + 'A') : ch;
            hash = (hash ^ up) * 16777619u;
        }
        WPath name = TEXT("Local\\BrindlemarkTokenStore-");
        AppendHex(name, hash);
        m_hMutex = CreateMutexW(nullptr, FALSE, name.c_str());
        if (m_hMutex == nullptr) return;
        DWORD dwWait = WaitForSingleObject(m_hMutex, LOCK_TIMEOUT_MS);
        m_bHeld = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
    }
    ~StoreLock()
    {
        if (m_bHeld) ReleaseMutex(m_hMutex);
        if (m_hMutex != nullptr) CloseHandle(m_hMutex);
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    bool Held() const { return m_bHeld; }

private:
    HANDLE m_hMutex = nullptr;
    bool m_bHeld = false;
};

CspStatus ReadStoreFile(const WPath& path, StoreData& store)
{
    store.containers.clear();
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.h == INVALID_HANDLE_VALUE) {
        DWORD dwError = GetLastError();
        return (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND) ? CSP_OK : NTE_FAIL;
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.h, &size) || size.QuadPart > static_cast<LONGLONG>(MAX_STORE_BYTES)) return NTE_FAIL;
    ByteBuffer bytes(static_cast<size_t>(size.QuadPart));
    DWORD cbRead = 0;
    if (!bytes.empty() && (!ReadFile(file.h, bytes.data(), static_cast<DWORD>(bytes.size()), &cbRead, nullptr) ||
                           cbRead != bytes.size()))
        return NTE_FAIL;
    return ParseStore(bytes.data(), bytes.size(), store) ? CSP_OK : NTE_FAIL;
}

bool CreateParentDirectories(const WPath& path)
{
    for (size_t pos = path.find(TEXT('\\'), 3); pos != WPath::npos; pos = path.find(TEXT('\\'), pos + 1)) {
        WPath dir = path.substr(0, pos);
        if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return true;
}

CspStatus WriteStoreFile(const WPath& path, const StoreData& store)
{
    if (!CreateParentDirectories(path)) return NTE_FAIL;
    ByteBuffer bytes = SerializeStore(store);
    WPath tmp = path + TEXT(".");
    AppendHex(tmp, GetCurrentProcessId());
    AppendHex(tmp, GetCurrentThreadId());
    tmp += TEXT(".tmp");
    {
        OwnedHandle file(CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                     nullptr));
        if (file.h == INVALID_HANDLE_VALUE) return NTE_FAIL;
        DWORD cbWritten = 0;
        if (!WriteFile(file.h, bytes.data(), static_cast<DWORD>(bytes.size()), &cbWritten, nullptr) ||
            cbWritten != bytes.size() || !FlushFileBuffers(file.h)) {
            CloseHandle(file.h);
            file.h = nullptr;
            DeleteFileW(tmp.c_str());
            return NTE_FAIL;
        }
    }
    if (!MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(tmp.c_str());
        return NTE_FAIL;
    }
    return CSP_OK;
}

}  // namespace

bool SameContainerName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

ContainerData* StoreData::Find(const std::string& name)
{
    for (ContainerData& c : containers)
        if (SameContainerName(c.name, name)) return &c;
    return nullptr;
}

bool StoreData::Remove(const std::string& name)
{
    for (auto it = containers.begin(); it != containers.end(); ++it) {
        if (SameContainerName(it->name, name)) {
            containers.erase(it);
            return true;
        }
    }
    return false;
}

ByteBuffer SerializeStore(const StoreData& store)
{
    ByteWriter w;
    w.U32(STORE_MAGIC);
    w.U32(STORE_VERSION);
    w.U32(static_cast<DWORD>(store.containers.size()));
    for (const ContainerData& c : store.containers) {
        w.Counted(ByteBuffer(c.name.begin(), c.name.end()));
        for (const KeySlot& slot : c.slots) {
            w.U32(slot.algid);
            w.Counted(slot.key);
            w.Counted(slot.cert);
        }
    }
    return std::move(w.Buffer());
}

bool ParseStore(const BYTE* pb, size_t cb, StoreData& store)
{
    store.containers.clear();
    ByteReader r(pb, cb);
    DWORD dwMagic = 0, dwVersion = 0, dwCount = 0;
    if (!r.U32(dwMagic) || dwMagic != STORE_MAGIC || !r.U32(dwVersion) || dwVersion != STORE_VERSION ||
        !r.U32(dwCount))
        return false;
    for (DWORD i = 0; i < dwCount; ++i) {
        ContainerData c;
        ByteBuffer name;
        if (!r.Counted(MAX_CONTAINER_NAME - 1, name) || name.empty()) return false;
        c.name.assign(name.begin(), name.end());
        for (KeySlot& slot : c.slots) {
            DWORD dwAlgid = 0;
            if (!r.U32(dwAlgid) || !r.Counted(MAX_KEY_BYTES, slot.key) || !r.Counted(MAX_CERT_BYTES, slot.cert))
                return false;
            slot.algid = dwAlgid;
        }
        if (store.Find(c.name) != nullptr) return false;
        store.containers.push_back(std::move(c));
    }
    return r.Empty();
}

std::basic_string<WCHAR> StorePath(const TokenProfile& profile)
{
    WCHAR wszDir[MAX_PATH] = {};
    DWORD cch = GetEnvironmentVariableW(TEXT("BRINDLEMARK_TOKEN_DIR"), wszDir, MAX_PATH);
    WPath dir;
    if (cch > 0 && cch < MAX_PATH) {
        dir = wszDir;
    } else {
        cch = GetEnvironmentVariableW(TEXT("ProgramData"), wszDir, MAX_PATH);
        dir = (cch > 0 && cch < MAX_PATH) ? WPath(wszDir) : WPath(TEXT("C:\\ProgramData"));
        dir += TEXT("\\Brindlemark\\Tokens");
    }
    while (!dir.empty() && (dir.back() == TEXT('\\') || dir.back() == TEXT('/'))) dir.pop_back();
    return dir + TEXT("\\") + profile.pwszStoreName + TEXT(".tok");
}

CspStatus WithStore(const TokenProfile& profile, bool bWrite, const std::function<CspStatus(StoreData&)>& fn)
{
    WPath path = StorePath(profile);
    StoreLock lock(path);
    if (!lock.Held()) return NTE_FAIL;
    StoreData store;
    CspStatus status = ReadStoreFile(path, store);
    if (status != CSP_OK) return status;
    status = fn(store);
    if (status != CSP_OK || !bWrite) return status;
    return WriteStoreFile(path, store);
}
