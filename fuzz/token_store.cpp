// fuzz/token_store.cpp — the stand-in token's store file and its change log. Input: 32-bit length of the
// store part, the store file, then the log; with the top bit of the length set, each log record's checksum
// is put right first so that record bodies, not only their checksums, get exercised. A store that parses
// writes out as a file that parses to the same containers.
#include "TokenStore.h"

#include "support/FuzzSupport.h"

#include <cstdlib>
#include <vector>

namespace {

DWORD Fnv1a(const BYTE* pb, size_t cb)
{
    DWORD hash = 2166136261u;
    for (size_t i = 0; i < cb; ++i) hash = (hash ^ pb[i]) * 16777619u;
    return hash;
}

DWORD Get32(const BYTE* pb) { return pb[0] | (pb[1] << 8) | (pb[2] << 16) | (static_cast<DWORD>(pb[3]) << 24); }

void Put32(BYTE* pb, DWORD dw)
{
    for (int i = 0; i < 4; ++i) pb[i] = static_cast<BYTE>(dw >> (8 * i));
}

// Header (8 bytes), then records of body length, checksum, body.
void FixChecksums(ByteBuffer& vecLog)
{
    size_t nPos = 8;
    while (nPos + 8 <= vecLog.size()) {
        const DWORD cbBody = Get32(&vecLog[nPos]);
        if (cbBody > vecLog.size() - nPos - 8) return;
        Put32(&vecLog[nPos + 4], Fnv1a(&vecLog[nPos + 8], cbBody));
        nPos += 8 + cbBody;
    }
}

std::vector<std::string> NamesOf(const ByteBuffer& vecFile)
{
    StoreData store;
    store.SetSource([&vecFile]() -> const BYTE* { return vecFile.data(); });
    if (!store.Parse(vecFile.size())) abort();
    return store.Names();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb)
{
    FuzzInput in(pb, cb);
    const DWORD dwHead = in.U32();
    const bool bFixChecksums = (dwHead & 0x80000000u) != 0;
    const size_t cbStore = std::min<size_t>(dwHead & 0x7FFFFFFFu, in.RestSize());
    const ByteBuffer vecFile(in.Rest(), in.Rest() + cbStore);
    ByteBuffer vecLog(in.Rest() + cbStore, in.Rest() + in.RestSize());
    if (bFixChecksums) FixChecksums(vecLog);

    StoreData store;
    store.SetSource([&vecFile]() -> const BYTE* { return vecFile.empty() ? nullptr : vecFile.data(); });
    const bool bParsed = store.Parse(vecFile.size());
    if (!bParsed && store.Count() != 0) abort();

    size_t cbValid = 0;
    const bool bLog = store.ApplyLog(vecLog.data(), vecLog.size(), cbValid);
    if (cbValid > vecLog.size()) abort();
    if (!bLog || store.Failed()) return 0;

    const std::vector<std::string> vecNames = store.Names();
    if (vecNames.size() != store.Count()) abort();
    for (const std::string& strName : vecNames)
        if (store.Find(strName) == nullptr) abort();

    ByteBuffer vecWritten;
    const bool bWritten = store.WriteTo([&vecWritten](const BYTE* pbPiece, size_t cbPiece) {
        vecWritten.insert(vecWritten.end(), pbPiece, pbPiece + cbPiece);
        return true;
    });
    if (!bWritten || store.Failed()) abort();
    if (NamesOf(vecWritten) != vecNames) abort();
    return 0;
}
