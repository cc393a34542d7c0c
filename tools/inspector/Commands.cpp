// tools/inspector/Commands.cpp — what several commands share.
#include "Commands.h"

#include "KeyDer.h"
#include "Text.h"

namespace inspector {

DWORD ProviderTypeOf(const Options& opts)
{
    if (opts.dwProvType != 0) return opts.dwProvType;
    return Contains(opts.wstrCSP, TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider")) ? PROV_RSA_AES
                                                                                                 : PROV_RSA_FULL;
}

DWORD KeyDword(HCRYPTKEY hKey, DWORD dwParam)
{
    DWORD dw = 0, cb = sizeof dw;
    return CryptGetKeyParam(hKey, dwParam, reinterpret_cast<BYTE*>(&dw), &cb, 0) && cb == sizeof dw ? dw : 0;
}

namespace {

constexpr HashName kHashes[] = {{TEXT("sha1"), CALG_SHA1}, {TEXT("sha256"), CALG_SHA_256}, {TEXT("sm3"), kSm3Hash}};

}  // namespace

const HashName* HashOf(const WString& wstrHash)
{
    for (const HashName& hash : kHashes)
        if (EqualsIgnoringCase(wstrHash, hash.pwszName)) return &hash;
    return nullptr;
}

}  // namespace inspector
