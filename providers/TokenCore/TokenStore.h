// providers/TokenCore/TokenStore.h — the token's persistent store: every container with its two key
// slots and their certificates, one file per token inside the prefix. Several processes share it, and
// the DLL is loaded per context: every access takes the token's named mutex, and what was parsed stays
// valid only while the files, by their stamps and the store's shared generation, have not changed.
//
// The store file keeps its one format. A small store is rewritten whole on every change and replaced by
// rename. A large one would then cost its whole size per change, so its changes are appended to a log
// beside it (<store>.log: each record the whole new state of one container, or its removal, with a
// checksum; a torn last record is ignored), and the log is folded into a rewritten store once it has
// grown to a fraction of it. Replaying records twice gives the same store, so a writer that dies
// between replacing the store and removing the log loses nothing.
#pragma once
#include "TokenCommon.h"

#include <functional>
#include <memory>
#include <string_view>

struct KeySlot {
    ALG_ID algid = 0;
    ByteBuffer key;   // SM2: 32-byte big-endian scalar; RSA: DER RSAPrivateKey
    ByteBuffer cert;  // DER certificate set through KP_CERTIFICATE, or empty
    bool Present() const { return !key.empty(); }
};

struct ContainerData {
    std::string name;
    KeySlot slots[2];
};

// Container names compare without regard to ASCII case, as the platform's containers do.
bool SameContainerName(std::string_view a, std::string_view b);

// The containers in file order. A parsed store is an index over the store file: a container is decoded
// from the file's bytes only when it is looked up, and one that never was goes back out as the bytes it
// was read as, so a large store costs one walk to read and little memory of its own. The file's bytes
// come from a source the owner attaches for the length of one access; when the source cannot give them,
// the store counts as failed and so does the access. Find's container may be changed, but not its name;
// the containers Add, Remove and the changing Find touched are what LogRecords writes out.
class StoreData {
public:
    using Source = std::function<const BYTE*()>;  // the start of the store file, or null

    StoreData() = default;
    StoreData(const StoreData&) = delete;
    StoreData& operator=(const StoreData&) = delete;

    size_t Count() const { return m_entries.size(); }
    std::vector<std::string> Names() const;
    ContainerData* Find(const std::string& name);
    const ContainerData* Find(const std::string& name) const;
    // False, and the store unchanged, when a container of that name is there already.
    bool Add(ContainerData container);
    bool Remove(const std::string& name);
    void Clear();

    void SetSource(Source source) { m_source = std::move(source); }
    bool Failed() const { return m_bFailed; }
    void ClearFailure() { m_bFailed = false; }

    // Indexes the store file the source gives, cb bytes long; refuses anything truncated, oversized,
    // duplicated or trailing, and then leaves the store empty.
    bool Parse(size_t cb);
    // Applies a change log; cbValid is where its last whole record ends (0 without a whole header).
    // False for a log that is not one or a whole record that does not hold what it should.
    bool ApplyLog(const BYTE* pb, size_t cb, size_t& cbValid);
    // Hands the whole store file, magic to last container, to write in pieces (false stops it);
    // afterwards the store refers to the file as written.
    bool WriteTo(const std::function<bool(const BYTE*, size_t)>& write);
    // The log records of the containers touched since ForgetTouched (a header first when bHeader).
    ByteBuffer LogRecords(bool bHeader) const;
    void ForgetTouched() { m_touched.clear(); }

private:
    struct Entry {
        DWORD offset = 0, cb = 0;  // the container's bytes in the store file
        DWORD hash = 0;            // of its name, case folded
        mutable std::unique_ptr<ContainerData> decoded;
    };
    const BYTE* FileBytes() const;
    std::string_view NameOf(const Entry& entry) const;
    ContainerData* Decoded(const Entry& entry) const;
    size_t Position(std::string_view name) const;  // of the container of that name, if there is one
    void Insert(size_t pos);                       // into the index, which has room and not the name
    bool Reindex();                                // false when two containers have the same name
    void Touch(std::string_view name);
    bool Put(ContainerData container);             // adds, or replaces the one of that name

    std::vector<Entry> m_entries;
    std::vector<DWORD> m_slots;  // open addressing by name hash: position + 1, or 0 when free
    std::vector<std::string> m_touched;
    Source m_source;
    mutable bool m_bFailed = false;
};

// Path of this token's store file: under %ProgramData%, or under BRINDLEMARK_TOKEN_DIR when set
// (tests use their own directory so that they see only their own containers).
std::basic_string<WCHAR> StorePath(const TokenProfile& profile);

// Runs fn on the store under the token's named mutex; a missing store file reads as an empty store.
CspStatus ReadStore(const TokenProfile& profile, const std::function<CspStatus(const StoreData&)>& fn);
// The same, and when fn succeeds its change is saved before the call returns: appended to the log, or
// the store written whole to its one temporary file, which then replaces the store file by rename. A
// writer that dies leaves the store as it was before its change.
CspStatus ChangeStore(const TokenProfile& profile, const std::function<CspStatus(StoreData&)>& fn);
