// providers/TokenCore/TokenStore.cpp — the token's store file and change log, their lock, their atomic
// replacement, and the parsed store a loaded DLL keeps while the files stay as it read them.
#include "TokenStore.h"

#include "ByteReader.h"

#include <algorithm>
#include <mutex>

namespace {

constexpr DWORD STORE_MAGIC = 0x4B544D42;  // "BMTK"
constexpr DWORD STORE_VERSION = 1;
constexpr DWORD LOG_MAGIC = 0x4C544D42;  // "BMTL"
constexpr DWORD LOG_VERSION = 1;
constexpr size_t LOG_HEADER_BYTES = 8;
constexpr BYTE LOG_PUT = 1;     // the whole container, as the store file holds it
constexpr BYTE LOG_REMOVE = 2;  // its name
constexpr size_t MAX_KEY_BYTES = 16 * 1024;
constexpr size_t MAX_CERT_BYTES = 1024 * 1024;
constexpr size_t MAX_STORE_BYTES = 256 * 1024 * 1024;
// A name of one byte and two empty slots: no count in a file can promise more containers than this allows.
constexpr size_t MIN_CONTAINER_BYTES = 4 + 1 + 2 * (4 + 4 + 4);
constexpr size_t MAX_RESERVED_CONTAINERS = 64 * 1024;
// Below this a store is rewritten on every change; above it changes go to the log until the log holds
// an eighth of the store (or this much, whichever is more): a rewrite then costs little per change.
constexpr ULONGLONG LOG_MIN_STORE_BYTES = 64 * 1024;
constexpr ULONGLONG LOG_MIN_BYTES = 64 * 1024;
constexpr DWORD LOCK_TIMEOUT_MS = 60 * 1000;
constexpr size_t NO_POSITION = static_cast<size_t>(-1);

using WPath = std::basic_string<WCHAR>;

void AppendHex(WPath& out, DWORD dw)
{
    for (int shift = 28; shift >= 0; shift -= 4) out += TEXT("0123456789ABCDEF")[(dw >> shift) & 0xF];
}

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

DWORD NameHash(std::string_view name)
{
    DWORD hash = 2166136261u;
    for (char c : name) hash = (hash ^ static_cast<BYTE>(FoldAscii(c))) * 16777619u;
    return hash;
}

DWORD Checksum(const BYTE* pb, size_t cb)
{
    DWORD hash = 2166136261u;
    for (size_t i = 0; i < cb; ++i) hash = (hash ^ pb[i]) * 16777619u;
    return hash;
}

bool ReadName(ByteReader& r, std::string_view& name)
{
    DWORD cbName = 0;
    const BYTE* pbName = nullptr;
    if (!r.U32(cbName) || cbName == 0 || cbName >= MAX_CONTAINER_NAME || !r.Bytes(cbName, pbName)) return false;
    name = std::string_view(reinterpret_cast<const char*>(pbName), cbName);
    return true;
}

// One container as the store file holds it: the name, then per slot the algorithm, key and certificate.
// The name is a view into the reader's bytes; pOut, when given, receives the whole container.
bool ReadContainer(ByteReader& r, std::string_view& name, ContainerData* pOut)
{
    if (!ReadName(r, name)) return false;
    if (pOut != nullptr) pOut->name.assign(name);
    for (int i = 0; i < 2; ++i) {
        DWORD dwAlgid = 0, cbKey = 0, cbCert = 0;
        const BYTE* pbKey = nullptr;
        const BYTE* pbCert = nullptr;
        if (!r.U32(dwAlgid) || !r.U32(cbKey) || cbKey > MAX_KEY_BYTES || !r.Bytes(cbKey, pbKey) || !r.U32(cbCert) ||
            cbCert > MAX_CERT_BYTES || !r.Bytes(cbCert, pbCert))
            return false;
        if (pOut != nullptr) {
            KeySlot& slot = pOut->slots[i];
            slot.algid = dwAlgid;
            slot.key.assign(pbKey, pbKey + cbKey);
            slot.cert.assign(pbCert, pbCert + cbCert);
        }
    }
    return true;
}

size_t EncodedSize(const ContainerData& c)
{
    size_t cb = 4 + c.name.size();
    for (const KeySlot& slot : c.slots) cb += 12 + slot.key.size() + slot.cert.size();
    return cb;
}

BYTE* PutU32(BYTE* pb, DWORD dw)
{
    for (int i = 0; i < 4; ++i) *pb++ = static_cast<BYTE>(dw >> (8 * i));
    return pb;
}

BYTE* PutCounted(BYTE* pb, const BYTE* pbData, size_t cb)
{
    pb = PutU32(pb, static_cast<DWORD>(cb));
    if (cb != 0) memcpy(pb, pbData, cb);
    return pb + cb;
}

// Writes EncodedSize(c) bytes.
BYTE* Encode(BYTE* pb, const ContainerData& c)
{
    pb = PutCounted(pb, reinterpret_cast<const BYTE*>(c.name.data()), c.name.size());
    for (const KeySlot& slot : c.slots) {
        pb = PutU32(pb, slot.algid);
        pb = PutCounted(pb, slot.key.data(), slot.key.size());
        pb = PutCounted(pb, slot.cert.data(), slot.cert.size());
    }
    return pb;
}

// Kernel objects of one store (its mutex, its generation) are named after the store's path, case folded.
WPath ObjectNameOf(const WPath& path, const WCHAR* pwszSuffix)
{
    DWORD hash = 2166136261u;
    for (WCHAR ch : path) {
        WCHAR up = (ch >= 'a' && ch <= 'z') ? static_cast<WCHAR>(ch - 'a' + 'A') : ch;
        hash = (hash ^ up) * 16777619u;
    }
    WPath name = TEXT("Local\\BrindlemarkTokenStore-");
    AppendHex(name, hash);
    return name + pwszSuffix;
}

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

// Holds the token's mutex for one access. An abandoned mutex is still ours: the store file only ever
// changes by rename, and the log's torn last record is ignored.
class StoreLock {
public:
    explicit StoreLock(const WPath& path)
    {
        m_hMutex = CreateMutexW(nullptr, FALSE, ObjectNameOf(path, TEXT("")).c_str());
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

// A counter that every writer raises, under the mutex, before it changes the store's files. A parsed
// store taken at one generation still matches the files while the counter has not moved; the files'
// time stamps alone cannot say so, being coarser than two writes in a row. The section lasts while any
// process has it open, and every process holding a parsed store does.
class SharedGeneration {
public:
    SharedGeneration() = default;
    ~SharedGeneration() { Close(); }
    SharedGeneration(const SharedGeneration&) = delete;
    SharedGeneration& operator=(const SharedGeneration&) = delete;

    bool Open(const WPath& storePath)
    {
        Close();
        m_hSection = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG64),
                                        ObjectNameOf(storePath, TEXT("-Generation")).c_str());
        if (m_hSection == nullptr) return false;
        m_pValue = static_cast<LONG64*>(MapViewOfFile(m_hSection, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LONG64)));
        if (m_pValue == nullptr) Close();
        return m_pValue != nullptr;
    }
    bool Ok() const { return m_pValue != nullptr; }
    LONG64 Current() const { return InterlockedCompareExchange64(m_pValue, 0, 0); }
    void Raise() { InterlockedIncrement64(m_pValue); }

private:
    void Close()
    {
        if (m_pValue != nullptr) UnmapViewOfFile(m_pValue);
        if (m_hSection != nullptr) CloseHandle(m_hSection);
        m_pValue = nullptr;
        m_hSection = nullptr;
    }

    HANDLE m_hSection = nullptr;
    LONG64* m_pValue = nullptr;
};

// What the file system says of a file without opening it.
struct FileStamp {
    bool bExists = false;
    ULONGLONG cb = 0;
    ULONGLONG created = 0, written = 0;

    bool operator==(const FileStamp&) const = default;
};

ULONGLONG TicksOf(const FILETIME& ft) { return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

bool StampOf(const WPath& path, FileStamp& stamp)
{
    stamp = FileStamp();
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        DWORD dwError = GetLastError();
        return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
    }
    stamp.bExists = true;
    stamp.cb = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.created = TicksOf(data.ftCreationTime);
    stamp.written = TicksOf(data.ftLastWriteTime);
    return true;
}

// A file mapped for reading, for the length of one access: its pages are the file system's cache, so
// reading a large store costs no memory of the token's own. No view outlives the access, since another
// writer must be able to replace the file.
class FileView {
public:
    FileView() = default;
    ~FileView() { Close(); }
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;

    // The file at the size it was stamped with, or null (another size means someone else changed it).
    const BYTE* Open(const WPath& path, ULONGLONG cbExpected)
    {
        if (m_pb != nullptr) return m_pb;
        if (cbExpected == 0 || cbExpected > MAX_STORE_BYTES) return nullptr;
        m_hFile = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        LARGE_INTEGER size = {};
        if (m_hFile == INVALID_HANDLE_VALUE || !GetFileSizeEx(m_hFile, &size) ||
            static_cast<ULONGLONG>(size.QuadPart) != cbExpected)
            return Close();
        m_hMapping = CreateFileMappingW(m_hFile, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (m_hMapping == nullptr) return Close();
        m_pb = static_cast<const BYTE*>(MapViewOfFile(m_hMapping, FILE_MAP_READ, 0, 0, 0));
        if (m_pb == nullptr) return Close();
        return m_pb;
    }

    const BYTE* Close()
    {
        if (m_pb != nullptr) UnmapViewOfFile(m_pb);
        if (m_hMapping != nullptr) CloseHandle(m_hMapping);
        if (m_hFile != INVALID_HANDLE_VALUE) CloseHandle(m_hFile);
        m_pb = nullptr;
        m_hMapping = nullptr;
        m_hFile = INVALID_HANDLE_VALUE;
        return nullptr;
    }

private:
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    HANDLE m_hMapping = nullptr;
    const BYTE* m_pb = nullptr;
};

bool CreateParentDirectories(const WPath& path)
{
    for (size_t pos = path.find(TEXT('\\'), 3); pos != WPath::npos; pos = path.find(TEXT('\\'), pos + 1)) {
        WPath dir = path.substr(0, pos);
        if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return true;
}

bool EndsWithTmp(const WCHAR* pwszName)
{
    int cch = lstrlenW(pwszName);
    return cch >= 4 && CompareStringOrdinal(pwszName + cch - 4, 4, TEXT(".tmp"), 4, TRUE) == CSTR_EQUAL;
}

// Writers hold the mutex, so any temporary file beside the store is what a killed writer left: the
// store's own temporary name, or the per-thread names earlier versions used.
void RemoveLeftovers(const WPath& path)
{
    WPath dir = path.substr(0, path.rfind(TEXT('\\')) + 1);
    WIN32_FIND_DATAW fd = {};
    HANDLE hFind = FindFirstFileW((path + TEXT(".*")).c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE) return;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && EndsWithTmp(fd.cFileName))
            DeleteFileW((dir + fd.cFileName).c_str());
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);
}

// Writes the whole store beside the file, then replaces the file; the view is closed before that.
CspStatus WriteStoreFile(const WPath& path, StoreData& store, FileView& view)
{
    if (!CreateParentDirectories(path)) return NTE_FAIL;
    // One name for every writer: the mutex serialises them, and the next write replaces what a killed one left.
    WPath tmp = path + TEXT(".tmp");
    {
        OwnedHandle file(CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                     nullptr));
        if (file.h == INVALID_HANDLE_VALUE) return NTE_FAIL;
        bool ok = store.WriteTo([&](const BYTE* pb, size_t cb) {
            DWORD cbWritten = 0;
            return WriteFile(file.h, pb, static_cast<DWORD>(cb), &cbWritten, nullptr) && cbWritten == cb;
        });
        if (!ok || !FlushFileBuffers(file.h)) {
            CloseHandle(file.h);
            file.h = nullptr;
            DeleteFileW(tmp.c_str());
            return NTE_FAIL;
        }
    }
    view.Close();
    if (!MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(tmp.c_str());
        return NTE_FAIL;
    }
    return CSP_OK;
}

// Writes records at the log's offset cbAt, cutting off whatever a killed writer left after it.
CspStatus AppendLogFile(const WPath& logPath, size_t cbAt, const ByteBuffer& records)
{
    OwnedHandle file(CreateFileW(logPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.h == INVALID_HANDLE_VALUE) return NTE_FAIL;
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(cbAt);
    DWORD cbWritten = 0;
    if (!SetFilePointerEx(file.h, at, nullptr, FILE_BEGIN) ||
        !WriteFile(file.h, records.data(), static_cast<DWORD>(records.size()), &cbWritten, nullptr) ||
        cbWritten != records.size() || !SetEndOfFile(file.h) || !FlushFileBuffers(file.h))
        return NTE_FAIL;
    return CSP_OK;
}

// The store as this DLL load last read or wrote it, kept while the files' stamps and the shared
// generation say the files are still those. Used only under the store's mutex, one access at a time:
// End closes what the access opened. A different store path (BRINDLEMARK_TOKEN_DIR changed) starts afresh.
class StoreCache {
public:
    StoreCache()
    {
        m_store.SetSource([this]() { return m_view.Open(m_path, m_stamp.cb); });
    }

    CspStatus Load(const WPath& path)
    {
        if (path != m_path) {
            Forget();
            m_path = path;
            m_logPath = path + TEXT(".log");
            m_shared.Open(path);
        }
        if (!m_shared.Ok() && !m_shared.Open(path)) return Forget();
        FileStamp stamp, logStamp;
        if (!StampOf(m_path, stamp) || !StampOf(m_logPath, logStamp)) return Forget();
        LONG64 generation = m_shared.Current();
        m_store.ForgetTouched();
        if (m_bValid && stamp == m_stamp && logStamp == m_logStamp && generation == m_generation) return CSP_OK;
        Forget();
        // A writer killed while rewriting the store raised the generation first, so whoever reads the
        // files next comes here and clears what it left.
        RemoveLeftovers(m_path);
        m_stamp = stamp;
        m_logStamp = logStamp;
        // A missing file is an empty store; an empty file is a damaged one.
        if (stamp.bExists && !m_store.Parse(static_cast<size_t>(std::min<ULONGLONG>(stamp.cb, MAX_STORE_BYTES + 1))))
            return Forget();
        if (logStamp.cb != 0) {
            FileView log;
            const BYTE* pb = log.Open(m_logPath, logStamp.cb);
            if (pb == nullptr || !m_store.ApplyLog(pb, static_cast<size_t>(logStamp.cb), m_cbLogValid))
                return Forget();
        }
        m_store.ForgetTouched();
        m_generation = generation;
        m_bValid = true;
        return CSP_OK;
    }

    StoreData& Store() { return m_store; }

    CspStatus Save()
    {
        // Until the files say otherwise, what is in memory is not what is on disk.
        m_bValid = false;
        ByteBuffer records = m_store.LogRecords(m_cbLogValid == 0);
        const ULONGLONG cbLogLimit = std::max<ULONGLONG>(LOG_MIN_BYTES, m_stamp.cb / 8);
        const bool bAppend = m_stamp.cb >= LOG_MIN_STORE_BYTES && m_cbLogValid + records.size() <= cbLogLimit;
        // Raised before a file changes: from here on, stores parsed elsewhere are stale.
        m_shared.Raise();
        CspStatus status = CSP_OK;
        if (bAppend) {
            status = AppendLogFile(m_logPath, m_cbLogValid, records);
            if (status == CSP_OK) m_cbLogValid += records.size();
        } else {
            status = WriteStoreFile(m_path, m_store, m_view);
            // The rewritten store holds what the log did; a log left behind replays to the same store.
            if (status == CSP_OK && DeleteFileW(m_logPath.c_str())) m_cbLogValid = 0;
        }
        if (status != CSP_OK || !StampOf(m_path, m_stamp) || !StampOf(m_logPath, m_logStamp))
            return Forget(status == CSP_OK ? NTE_FAIL : status);
        m_store.ForgetTouched();
        m_generation = m_shared.Current();
        m_bValid = true;
        return CSP_OK;
    }

    // What an access leaves: the view closed, and the store forgotten if its file could not be read.
    CspStatus End(CspStatus status)
    {
        m_view.Close();
        if (m_store.Failed()) return Forget();
        return status;
    }

    CspStatus Forget(CspStatus status = NTE_FAIL)
    {
        m_bValid = false;
        m_view.Close();
        m_store.Clear();
        m_store.ClearFailure();
        m_stamp = FileStamp();
        m_logStamp = FileStamp();
        m_cbLogValid = 0;
        return status;
    }

private:
    WPath m_path, m_logPath;
    SharedGeneration m_shared;
    FileView m_view;
    bool m_bValid = false;
    FileStamp m_stamp, m_logStamp;
    size_t m_cbLogValid = 0;
    LONG64 m_generation = 0;
    StoreData m_store;
};

StoreCache& Cache()
{
    static StoreCache cache;
    return cache;
}

// The named mutex is per store path, and threads of one process may name different paths: the one
// cache needs a lock of its own as well.
std::mutex& CacheLock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace

bool SameContainerName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

std::vector<std::string> StoreData::Names() const
{
    std::vector<std::string> names;
    names.reserve(m_entries.size());
    for (const Entry& entry : m_entries) names.emplace_back(NameOf(entry));
    return names;
}

ContainerData* StoreData::Find(const std::string& name)
{
    size_t pos = Position(name);
    if (pos == NO_POSITION) return nullptr;
    Touch(name);
    return Decoded(m_entries[pos]);
}

const ContainerData* StoreData::Find(const std::string& name) const
{
    size_t pos = Position(name);
    return pos == NO_POSITION ? nullptr : Decoded(m_entries[pos]);
}

bool StoreData::Add(ContainerData container)
{
    if (Position(container.name) != NO_POSITION || m_bFailed) return false;
    Touch(container.name);
    return Put(std::move(container));
}

bool StoreData::Remove(const std::string& name)
{
    size_t pos = Position(name);
    if (pos == NO_POSITION) return false;
    Touch(name);
    m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(pos));
    Reindex();
    return true;
}

void StoreData::Clear()
{
    m_entries.clear();
    m_slots.clear();
    m_touched.clear();
}

bool StoreData::Parse(size_t cb)
{
    Clear();
    const BYTE* pbFile = cb == 0 ? nullptr : FileBytes();
    ByteReader r(pbFile, cb);
    DWORD dwMagic = 0, dwVersion = 0, dwCount = 0;
    bool ok = pbFile != nullptr && r.U32(dwMagic) && dwMagic == STORE_MAGIC && r.U32(dwVersion) &&
              dwVersion == STORE_VERSION && r.U32(dwCount) && dwCount <= r.Remaining() / MIN_CONTAINER_BYTES;
    if (ok) m_entries.reserve(std::min<size_t>(dwCount, MAX_RESERVED_CONTAINERS));
    for (DWORD i = 0; ok && i < dwCount; ++i) {
        const BYTE* pbStart = r.Cursor();
        std::string_view name;
        ok = ReadContainer(r, name, nullptr);
        if (!ok) break;
        Entry entry;
        // The file is at most MAX_STORE_BYTES long, so offsets fit.
        entry.offset = static_cast<DWORD>(pbStart - pbFile);
        entry.cb = static_cast<DWORD>(r.Cursor() - pbStart);
        entry.hash = NameHash(name);
        m_entries.push_back(std::move(entry));
    }
    ok = ok && r.Empty() && Reindex();
    if (!ok) Clear();
    return ok;
}

bool StoreData::ApplyLog(const BYTE* pb, size_t cb, size_t& cbValid)
{
    cbValid = 0;
    ByteReader r(pb, cb);
    DWORD dwMagic = 0, dwVersion = 0;
    // A header cut short is a log whose first writer was killed: nothing was logged.
    if (!r.U32(dwMagic) || !r.U32(dwVersion)) return true;
    if (dwMagic != LOG_MAGIC || dwVersion != LOG_VERSION) return false;
    cbValid = LOG_HEADER_BYTES;
    for (;;) {
        DWORD cbBody = 0, dwCheck = 0;
        const BYTE* pbBody = nullptr;
        // The first record that is cut short or does not match its checksum ends the log: a writer was
        // killed while appending it, and the next one writes over it.
        if (!r.U32(cbBody) || !r.U32(dwCheck) || cbBody == 0 || !r.Bytes(cbBody, pbBody) ||
            Checksum(pbBody, cbBody) != dwCheck)
            return true;
        ByteReader body(pbBody, cbBody);
        BYTE op = 0;
        std::string_view name;
        if (!body.U8(op)) return false;
        if (op == LOG_PUT) {
            ContainerData container;
            if (!ReadContainer(body, name, &container) || !body.Empty() || !Put(std::move(container))) return false;
        } else if (op == LOG_REMOVE) {
            if (!ReadName(body, name) || !body.Empty()) return false;
            size_t pos = Position(name);
            if (pos != NO_POSITION) {
                m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(pos));
                Reindex();
            }
        } else {
            return false;
        }
        if (m_bFailed) return false;
        cbValid = cb - r.Remaining();
    }
}

bool StoreData::WriteTo(const std::function<bool(const BYTE*, size_t)>& write)
{
    // The header and every decoded container are encoded into one buffer; containers never decoded are
    // the file's bytes, and neighbours there go out together.
    size_t cbEncoded = 12;
    bool bAnyRaw = false;
    for (const Entry& entry : m_entries) {
        if (entry.decoded)
            cbEncoded += EncodedSize(*entry.decoded);
        else
            bAnyRaw = true;
    }
    const BYTE* pbFile = bAnyRaw ? FileBytes() : nullptr;
    if (bAnyRaw && pbFile == nullptr) return false;
    ByteBuffer encoded(cbEncoded);
    BYTE* pb = encoded.data();
    pb = PutU32(pb, STORE_MAGIC);
    pb = PutU32(pb, STORE_VERSION);
    pb = PutU32(pb, static_cast<DWORD>(m_entries.size()));
    struct Piece {
        const BYTE* pb;
        size_t cb;
    };
    std::vector<Piece> pieces{{encoded.data(), 12}};
    std::vector<DWORD> offsets;
    offsets.reserve(m_entries.size());
    size_t cbTotal = 12;
    for (const Entry& entry : m_entries) {
        Piece piece = {pb, 0};
        if (entry.decoded) {
            pb = Encode(pb, *entry.decoded);
            piece.cb = static_cast<size_t>(pb - piece.pb);
        } else {
            piece = {pbFile + entry.offset, entry.cb};
        }
        // A store larger than a read accepts would lock every container away.
        if (piece.cb > MAX_STORE_BYTES - cbTotal) return false;
        offsets.push_back(static_cast<DWORD>(cbTotal));
        cbTotal += piece.cb;
        if (pieces.back().pb + pieces.back().cb == piece.pb)
            pieces.back().cb += piece.cb;
        else
            pieces.push_back(piece);
    }
    for (const Piece& piece : pieces)
        if (!write(piece.pb, piece.cb)) return false;
    for (size_t i = 0; i < m_entries.size(); ++i) {
        m_entries[i].offset = offsets[i];
        m_entries[i].cb = static_cast<DWORD>((i + 1 < offsets.size() ? offsets[i + 1] : cbTotal) - offsets[i]);
    }
    return true;
}

ByteBuffer StoreData::LogRecords(bool bHeader) const
{
    ByteBuffer out;
    if (bHeader) {
        out.resize(LOG_HEADER_BYTES);
        PutU32(PutU32(out.data(), LOG_MAGIC), LOG_VERSION);
    }
    for (const std::string& name : m_touched) {
        const ContainerData* c = Find(name);
        const size_t cbBody = 1 + (c != nullptr ? EncodedSize(*c) : 4 + name.size());
        const size_t at = out.size();
        out.resize(at + 8 + cbBody);
        BYTE* pbBody = out.data() + at + 8;
        pbBody[0] = c != nullptr ? LOG_PUT : LOG_REMOVE;
        if (c != nullptr)
            Encode(pbBody + 1, *c);
        else
            PutCounted(pbBody + 1, reinterpret_cast<const BYTE*>(name.data()), name.size());
        PutU32(PutU32(out.data() + at, static_cast<DWORD>(cbBody)), Checksum(pbBody, cbBody));
    }
    return out;
}

const BYTE* StoreData::FileBytes() const
{
    const BYTE* pb = m_source ? m_source() : nullptr;
    if (pb == nullptr) m_bFailed = true;
    return pb;
}

std::string_view StoreData::NameOf(const Entry& entry) const
{
    if (entry.decoded) return entry.decoded->name;
    const BYTE* pbFile = FileBytes();
    if (pbFile == nullptr) return {};
    // Parse measured the container, which opens with its name.
    ByteReader r(pbFile + entry.offset, entry.cb);
    std::string_view name;
    return ReadName(r, name) ? name : std::string_view();
}

ContainerData* StoreData::Decoded(const Entry& entry) const
{
    if (!entry.decoded) {
        const BYTE* pbFile = FileBytes();
        if (pbFile == nullptr) return nullptr;
        auto container = std::make_unique<ContainerData>();
        ByteReader r(pbFile + entry.offset, entry.cb);
        std::string_view name;
        if (!ReadContainer(r, name, container.get())) {
            m_bFailed = true;
            return nullptr;
        }
        entry.decoded = std::move(container);
    }
    return entry.decoded.get();
}

size_t StoreData::Position(std::string_view name) const
{
    if (m_slots.empty()) return NO_POSITION;
    const DWORD hash = NameHash(name);
    const size_t mask = m_slots.size() - 1;
    for (size_t i = hash & mask; m_slots[i] != 0; i = (i + 1) & mask) {
        size_t pos = m_slots[i] - 1;
        if (m_entries[pos].hash == hash && SameContainerName(NameOf(m_entries[pos]), name)) return pos;
    }
    return NO_POSITION;
}

void StoreData::Insert(size_t pos)
{
    const size_t mask = m_slots.size() - 1;
    size_t i = m_entries[pos].hash & mask;
    while (m_slots[i] != 0) i = (i + 1) & mask;
    m_slots[i] = static_cast<DWORD>(pos + 1);
}

bool StoreData::Reindex()
{
    // At most half full, so that a probe soon meets a free slot.
    size_t cSlots = 16;
    while (cSlots < 2 * m_entries.size()) cSlots *= 2;
    m_slots.assign(cSlots, 0);
    const size_t mask = cSlots - 1;
    for (size_t pos = 0; pos < m_entries.size(); ++pos) {
        // Names are read only where hashes meet, so that indexing does not decode the store.
        const Entry& entry = m_entries[pos];
        size_t i = entry.hash & mask;
        for (; m_slots[i] != 0; i = (i + 1) & mask) {
            const Entry& other = m_entries[m_slots[i] - 1];
            if (other.hash == entry.hash && SameContainerName(NameOf(other), NameOf(entry))) return false;
        }
        m_slots[i] = static_cast<DWORD>(pos + 1);
    }
    return !m_bFailed;
}

void StoreData::Touch(std::string_view name)
{
    for (const std::string& touched : m_touched)
        if (SameContainerName(touched, name)) return;
    m_touched.emplace_back(name);
}

bool StoreData::Put(ContainerData container)
{
    size_t pos = Position(container.name);
    if (pos != NO_POSITION) {
        m_entries[pos].decoded = std::make_unique<ContainerData>(std::move(container));
        return true;
    }
    Entry entry;
    entry.hash = NameHash(container.name);
    entry.decoded = std::make_unique<ContainerData>(std::move(container));
    m_entries.push_back(std::move(entry));
    if (2 * m_entries.size() > m_slots.size()) return Reindex();
    Insert(m_entries.size() - 1);
    return true;
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

CspStatus ReadStore(const TokenProfile& profile, const std::function<CspStatus(const StoreData&)>& fn)
{
    std::lock_guard<std::mutex> guard(CacheLock());
    WPath path = StorePath(profile);
    StoreLock lock(path);
    if (!lock.Held()) return NTE_FAIL;
    StoreCache& cache = Cache();
    CspStatus status = cache.Load(path);
    if (status == CSP_OK) status = fn(cache.Store());
    return cache.End(status);
}

CspStatus ChangeStore(const TokenProfile& profile, const std::function<CspStatus(StoreData&)>& fn)
{
    std::lock_guard<std::mutex> guard(CacheLock());
    WPath path = StorePath(profile);
    StoreLock lock(path);
    if (!lock.Held()) return NTE_FAIL;
    StoreCache& cache = Cache();
    CspStatus status = cache.Load(path);
    if (status != CSP_OK) return cache.End(status);
    status = fn(cache.Store());
    // A refused change may have been made in part: the next access reads the files again.
    if (cache.Store().Failed()) return cache.End(cache.Forget(NTE_FAIL));
    if (status != CSP_OK) return cache.End(cache.Forget(status));
    return cache.End(cache.Save());
}
