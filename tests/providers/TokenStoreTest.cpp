// tests/providers/TokenStoreTest.cpp — the SM2 token's store from outside: store files written byte by
// byte in the format the token has always used, files that killed writers leave, and the change log of
// a large store, all read back through CryptoAPI once every context is released.
#include "TokenTestKit.h"

using namespace tokentest;

namespace {

// Above the size from which the token logs changes instead of rewriting the store file.
constexpr size_t LARGE = 1200;

struct Stored {
    std::string name;
    ByteBuffer exchange;  // 32-byte scalar, or empty
    ByteBuffer cert;      // of the exchange key
};

void PutU32(ByteBuffer& out, DWORD dw)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(dw >> (8 * i)));
}

void PutCounted(ByteBuffer& out, const ByteBuffer& b)
{
    PutU32(out, static_cast<DWORD>(b.size()));
    Append(out, b);
}

// "BMTK", version 1, the count, then per container its name and two slots (algorithm, key,
// certificate), every length a 32-bit little-endian count before its bytes.
ByteBuffer StoreFile(const std::vector<Stored>& containers)
{
    ByteBuffer out;
    PutU32(out, 0x4B544D42);
    PutU32(out, 1);
    PutU32(out, static_cast<DWORD>(containers.size()));
    for (const Stored& c : containers) {
        PutCounted(out, ByteBuffer(c.name.begin(), c.name.end()));
        PutU32(out, c.exchange.empty() ? 0 : SM2_KEYX);
        PutCounted(out, c.exchange);
        PutCounted(out, c.cert);
        PutU32(out, 0);
        PutCounted(out, {});
        PutCounted(out, {});
    }
    return out;
}

std::vector<Stored> Fillers(size_t n, const ByteBuffer& scalar)
{
    std::vector<Stored> containers(n);
    for (size_t i = 0; i < n; ++i) {
        char name[16];
        snprintf(name, sizeof name, "c%04u", static_cast<unsigned>(i));
        containers[i] = {name, scalar, {}};
    }
    return containers;
}

// A value the token takes as a certificate: a SEQUENCE opening with a SEQUENCE.
ByteBuffer CertOfSize(size_t cbBody, BYTE fill)
{
    ByteBuffer inner{0x30, 0x82, static_cast<BYTE>(cbBody >> 8), static_cast<BYTE>(cbBody)};
    Append(inner, ByteBuffer(cbBody, fill));
    ByteBuffer cert{0x30, 0x82, static_cast<BYTE>(inner.size() >> 8), static_cast<BYTE>(inner.size())};
    Append(cert, inner);
    return cert;
}

bool WriteBytes(const WString& path, const ByteBuffer& bytes, bool bAppend = false)
{
    HANDLE h = CreateFileW(path.c_str(), bAppend ? FILE_APPEND_DATA : GENERIC_WRITE, 0, nullptr,
                           bAppend ? OPEN_EXISTING : CREATE_ALWAYS, 0, nullptr);
    DWORD cb = 0;
    bool ok = h != INVALID_HANDLE_VALUE && WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &cb, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return ok && cb == bytes.size();
}

bool Exists(const WString& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Starts the store over with these containers.
void WriteStore(const IsolatedStore& store, const std::vector<Stored>& containers)
{
    CreateDirectoryW(store.Dir().c_str(), nullptr);
    DeleteFileW((store.Dir() + TEXT("\\SM2Token.tok.log")).c_str());
    ASSERT_TRUE(WriteBytes(store.Dir() + TEXT("\\SM2Token.tok"), StoreFile(containers)));
}

// The container's exchange key as 04 || X || Y and its certificate (setting one first when given);
// empty where the token refused.
std::pair<ByteBuffer, ByteBuffer> Exchange(const WString& name, const ByteBuffer& newCert = {})
{
    CryptProv prov;
    CryptKey key;
    BYTE blob[140];
    DWORD cb = sizeof blob;
    if (Acquire(prov, name, SM2_PROV, 0) != 0 || !CryptGetUserKey(prov.get(), AT_KEYEXCHANGE, key.put()) ||
        !CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, blob, &cb) ||
        (!newCert.empty() && !CryptSetKeyParam(key.get(), KP_CERTIFICATE, newCert.data(), 0)))
        return {};
    PKey pub = Sm2KeyFromBlob(ByteBuffer(blob, blob + cb));
    ByteBuffer cert;
    cb = 0;
    if (CryptGetKeyParam(key.get(), KP_CERTIFICATE, nullptr, &cb, 0)) {
        cert.resize(cb);
        CryptGetKeyParam(key.get(), KP_CERTIFICATE, cert.data(), &cb, 0);
    }
    return {pub ? Sm2PointOf(pub.get()) : ByteBuffer(), cert};
}

// A new container with a new exchange key; its point.
ByteBuffer NewContainer(const WString& name)
{
    CryptProv prov;
    CryptKey key;
    if (Acquire(prov, name, SM2_PROV, CRYPT_NEWKEYSET) != 0 || !CryptGenKey(prov.get(), SM2_KEYX, 0, key.put())) return {};
    key.reset();
    prov.reset();
    return Exchange(name).first;
}

size_t CountContainers()
{
    CryptProv prov;
    if (Acquire(prov, WString(), SM2_PROV, CRYPT_VERIFYCONTEXT) != 0) return 0;
    char name[MAX_PATH];
    size_t n = 0;
    for (DWORD cb = sizeof name, dwFlags = CRYPT_FIRST;
         CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &cb, dwFlags);
         cb = sizeof name, dwFlags = CRYPT_NEXT)
        ++n;
    return n;
}

}  // namespace

TEST(TokenStoreFile, StoresOfTheFirstFormatReadAndTakeChanges)
{
    IsolatedStore store;
    const WString tok = store.Dir() + TEXT("\\SM2Token.tok");
    PKey key = NewSm2Key();
    const ByteBuffer scalar = Sm2ScalarOf(key.get()), point = Sm2PointOf(key.get());
    for (size_t n : {size_t{5}, LARGE}) {
        SCOPED_TRACE(n);
        std::vector<Stored> containers = Fillers(n, scalar);
        containers[4].cert = CertOfSize(40, 9);
        WriteStore(store, containers);
        // What killed writers left: the one temporary name, and the per-thread names of earlier versions.
        const WString leftovers[] = {tok + TEXT(".tmp"), tok + TEXT(".000004D20000162E.tmp")};
        for (const WString& path : leftovers) ASSERT_TRUE(WriteBytes(path, {0x42, 0x4D, 0x54}));
        ASSERT_TRUE(WriteBytes(tok + TEXT(".keep"), {1}));
        EXPECT_EQ(std::make_pair(point, containers[4].cert), Exchange(TEXT("C0004")));
        EXPECT_EQ(n, CountContainers());

        // A container added, one removed, and certificates large enough that a large store's log
        // outgrows its share by the third, which folds it into the store file.
        const ByteBuffer added = NewContainer(TEXT("added"));
        ASSERT_EQ(65u, added.size());
        EXPECT_EQ(0u, AcquireRaw(TEXT("c0000"), SM2_PROV, SM2_DELETE));
        std::vector<ByteBuffer> certs;
        for (BYTE i = 1; i <= 3; ++i) {
            certs.push_back(CertOfSize(30000, i));
            EXPECT_EQ(point, Exchange(TEXT("c000") + WString(1, static_cast<WCHAR>('0' + i)), certs.back()).first);
        }
        for (const WString& path : leftovers) EXPECT_FALSE(Exists(path)) << Narrow(path);
        EXPECT_TRUE(Exists(tok + TEXT(".keep")));
        EXPECT_FALSE(Exists(tok + TEXT(".log")));
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        ASSERT_TRUE(GetFileAttributesExW(tok.c_str(), GetFileExInfoStandard, &data));
        EXPECT_GT(data.nFileSizeLow, 3u * 30000u);

        EXPECT_EQ(added, Exchange(TEXT("added")).first);
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), AcquireRaw(TEXT("c0000"), SM2_PROV, 0));
        for (BYTE i = 1; i <= 3; ++i)
            EXPECT_EQ(std::make_pair(point, certs[i - 1]), Exchange(TEXT("c000") + WString(1, static_cast<WCHAR>('0' + i))));
        EXPECT_EQ(std::make_pair(point, containers[4].cert), Exchange(TEXT("c0004")));
        EXPECT_EQ(n, CountContainers());
    }
}

TEST(TokenStoreFile, DuplicateNamesRefuseTheStore)
{
    IsolatedStore store;
    struct DuplicateCase {
        std::vector<std::string> extra;  // after the fillers
        size_t nFillers;
        DWORD dwWant;
    };
    for (const DuplicateCase& c : std::vector<DuplicateCase>{{{"x", "y"}, 0, 0},
                                                             {{"x", "y", "X"}, 0, (DWORD)NTE_FAIL},
                                                             {{"x", "x"}, 0, (DWORD)NTE_FAIL},
                                                             {{"x"}, LARGE, 0},
                                                             {{"x", "C0777"}, LARGE, (DWORD)NTE_FAIL}}) {
        SCOPED_TRACE(c.extra.back());
        std::vector<Stored> containers = Fillers(c.nFillers, {});
        for (const std::string& name : c.extra) containers.push_back({name, {}, {}});
        WriteStore(store, containers);
        EXPECT_EQ(c.dwWant, AcquireRaw(TEXT("x"), SM2_PROV, 0));
    }
}

TEST(TokenStoreFile, CutOrDamagedLastLogRecordIsWrittenOver)
{
    IsolatedStore store;
    const WString log = store.Dir() + TEXT("\\SM2Token.tok.log");
    WriteStore(store, Fillers(LARGE, ByteBuffer(32, 7)));
    const ByteBuffer point = NewContainer(TEXT("logged"));
    ASSERT_EQ(65u, point.size());
    ASSERT_TRUE(Exists(log));
    // A record is its body's length, the body's checksum, then the body.
    WCHAR suffix = 'a';
    for (const ByteBuffer& tail : {ByteBuffer{0x2A, 0x00, 0x00},
                                   ByteBuffer{0xC8, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x01, 0x05},
                                   ByteBuffer{0x02, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x02, 0x00}}) {
        SCOPED_TRACE(Hex(tail));
        ASSERT_TRUE(WriteBytes(log, tail, true));
        EXPECT_EQ(point, Exchange(TEXT("logged")).first);
        const WString after = TEXT("after-") + WString(1, suffix++);
        EXPECT_EQ(0u, AcquireRaw(after.c_str(), SM2_PROV, CRYPT_NEWKEYSET));
        EXPECT_EQ(0u, AcquireRaw(after.c_str(), SM2_PROV, 0));
    }
    EXPECT_EQ(LARGE + 4, CountContainers());
}
