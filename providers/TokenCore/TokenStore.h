// providers/TokenCore/TokenStore.h — the token's persistent store: every container with its two key
// slots and their certificates, one file per token inside the prefix. The DLL is loaded per context,
// so nothing lives in memory between calls; every change is a locked read-modify-write.
#pragma once
#include "TokenCommon.h"

#include <functional>

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

struct StoreData {
    std::vector<ContainerData> containers;
    ContainerData* Find(const std::string& name);
    bool Remove(const std::string& name);
};

// Container names compare without regard to ASCII case, as the platform's containers do.
bool SameContainerName(const std::string& a, const std::string& b);

// Serialised form of the store; Parse refuses anything truncated, oversized or trailing.
ByteBuffer SerializeStore(const StoreData& store);
bool ParseStore(const BYTE* pb, size_t cb, StoreData& store);

// Path of this token's store file: under %ProgramData%, or under BRINDLEMARK_TOKEN_DIR when set
// (tests use their own directory so that they see only their own containers).
std::basic_string<WCHAR> StorePath(const TokenProfile& profile);

// Runs fn on the store under the token's named mutex. With bWrite the store is saved (atomically,
// by write-then-rename) when fn succeeds; a missing store file reads as an empty store.
CspStatus WithStore(const TokenProfile& profile, bool bWrite, const std::function<CspStatus(StoreData&)>& fn);
