// bench/win/TokenStoreBench.cpp — the SM2 token with a store of a given size:
//   TokenStoreBench.exe <containers>
// fills a store folder of its own with that many containers (two keys each, as a request leaves them)
// through the token's own store code, then answers every frame "<n>" on standard input with a frame
// holding the microseconds that n request-shaped sequences took: acquire a new container, generate the
// exchange and signature keys, export both public keys, sign, release. The container each sequence made
// is deleted outside the measured time, so the store keeps its size. The folder goes away at the end.
#include "TokenStore.h"

#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

using WPath = std::basic_string<WCHAR>;

const WCHAR* const SM2_PROV = TEXT("Software SM2 Token CSP v1.0");
// The SM2 token's profile: the store file this program fills is the one the token reads.
const TokenProfile SM2_STORE = {TokenKind::SM2, "Software SM2 Token CSP v1.0", TEXT("SM2Token")};

WPath NewContainerName()
{
    GUID guid = {};
    CoCreateGuid(&guid);
    WCHAR wsz[64] = {};
    StringFromGUID2(guid, wsz, 64);
    return wsz;
}

bool Fill(DWORD dwContainers)
{
    ByteBuffer random(64 * static_cast<size_t>(dwContainers));
    HCRYPTPROV hRandom = 0;
    if (!CryptAcquireContextW(&hRandom, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return false;
    BOOL ok = random.empty() || CryptGenRandom(hRandom, static_cast<DWORD>(random.size()), random.data());
    CryptReleaseContext(hRandom, 0);
    if (!ok) return false;
    return ChangeStore(SM2_STORE, [&](StoreData& store) -> CspStatus {
        for (DWORD i = 0; i < dwContainers; ++i) {
            ContainerData c;
            WPath name = NewContainerName();
            c.name.assign(name.begin(), name.end());
            c.slots[0].algid = CALG_SM2_KEYX;
            c.slots[1].algid = CALG_SM2_SIGN;
            const BYTE* pb = random.data() + 64 * static_cast<size_t>(i);
            c.slots[0].key.assign(pb, pb + 32);
            c.slots[1].key.assign(pb + 32, pb + 64);
            if (!store.Add(std::move(c))) return NTE_EXISTS;
        }
        return CSP_OK;
    }) == CSP_OK;
}

bool ExportPublic(HCRYPTKEY hKey)
{
    BYTE blob[256];
    DWORD cb = sizeof blob;
    return CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob, &cb) != FALSE;
}

// One request-shaped sequence; the container name it made, for the clean-up.
bool Request(const WPath& name)
{
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, name.c_str(), SM2_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET)) return false;
    HCRYPTKEY hExchange = 0, hSignature = 0;
    HCRYPTHASH hHash = 0;
    BYTE body[512];
    for (size_t i = 0; i < sizeof body; ++i) body[i] = static_cast<BYTE>(i * 31);
    BYTE sig[64];
    DWORD cbSig = sizeof sig;
    bool ok = CryptGenKey(hProv, CALG_SM2_KEYX, 256 << 16, &hExchange) &&
              CryptGenKey(hProv, CALG_SM2_SIGN, 256 << 16, &hSignature) && ExportPublic(hExchange) &&
              ExportPublic(hSignature) && CryptCreateHash(hProv, CALG_SM3_HASH, 0, 0, &hHash) &&
              CryptHashData(hHash, body, sizeof body, 0) &&
              CryptSignHashW(hHash, AT_SIGNATURE, nullptr, 0, sig, &cbSig);
    if (hHash != 0) CryptDestroyHash(hHash);
    if (hSignature != 0) CryptDestroyKey(hSignature);
    if (hExchange != 0) CryptDestroyKey(hExchange);
    CryptReleaseContext(hProv, 0);
    return ok;
}

bool Drop(const WPath& name)
{
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, name.c_str(), SM2_PROV, PROV_RSA_FULL, SM2_DELETE_KEYSET_FLAGS)) return false;
    CryptReleaseContext(hProv, 0);
    return true;
}

void RemoveFolder(const WPath& dir)
{
    WIN32_FIND_DATAW fd = {};
    HANDLE hFind = FindFirstFileW((dir + TEXT("\\*")).c_str(), &fd);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((dir + TEXT("\\") + fd.cFileName).c_str());
        } while (FindNextFileW(hFind, &fd));
        FindClose(hFind);
    }
    RemoveDirectoryW(dir.c_str());
}

bool ReadExact(BYTE* pb, unsigned int cb)
{
    unsigned int cbDone = 0;
    while (cbDone < cb) {
        const int n = _read(0, pb + cbDone, cb - cbDone);
        if (n <= 0) return false;
        cbDone += static_cast<unsigned int>(n);
    }
    return true;
}

bool WriteFrame(const char* psz, unsigned int cb)
{
    BYTE prefix[4];
    for (int i = 0; i < 4; ++i) prefix[i] = static_cast<BYTE>(cb >> (8 * i));
    return _write(1, prefix, 4) == 4 && _write(1, psz, cb) == static_cast<int>(cb);
}

// Answers frames until the input ends; false when a sequence failed.
bool Serve()
{
    LARGE_INTEGER freq = {};
    QueryPerformanceFrequency(&freq);
    for (;;) {
        BYTE prefix[4] = {};
        if (!ReadExact(prefix, 4)) return true;
        const unsigned int cb = prefix[0] | prefix[1] << 8 | prefix[2] << 16 | static_cast<unsigned int>(prefix[3]) << 24;
        char text[16] = {};
        if (cb == 0 || cb >= sizeof text || !ReadExact(reinterpret_cast<BYTE*>(text), cb)) return false;
        const long nRequests = strtol(text, nullptr, 10);
        if (nRequests <= 0) return false;
        double us = 0;
        for (long i = 0; i < nRequests; ++i) {
            WPath name = NewContainerName();
            LARGE_INTEGER t0 = {}, t1 = {};
            QueryPerformanceCounter(&t0);
            const bool ok = Request(name);
            QueryPerformanceCounter(&t1);
            if (!ok) {
                fprintf(stderr, "request sequence failed: 0x%08lx\n", GetLastError());
                return false;
            }
            if (!Drop(name)) {
                fprintf(stderr, "container not deleted: 0x%08lx\n", GetLastError());
                return false;
            }
            us += static_cast<double>(t1.QuadPart - t0.QuadPart) * 1e6 / static_cast<double>(freq.QuadPart);
        }
        char answer[32];
        const int n = snprintf(answer, sizeof answer, "%.1f", us);
        if (!WriteFrame(answer, static_cast<unsigned int>(n))) return false;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || _setmode(0, _O_BINARY) == -1 || _setmode(1, _O_BINARY) == -1) return 2;
    const long nContainers = strtol(argv[1], nullptr, 10);
    if (nContainers < 0 || nContainers > 1000000) return 2;

    WCHAR wszTemp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, wszTemp);
    const WPath dir = WPath(wszTemp) + TEXT("bmtoken-bench-") + NewContainerName();
    SetEnvironmentVariableW(TEXT("BRINDLEMARK_TOKEN_DIR"), dir.c_str());
    int rc = 0;
    if (!Fill(static_cast<DWORD>(nContainers))) {
        fprintf(stderr, "could not fill the store with %ld containers\n", nContainers);
        rc = 3;
    } else if (!Serve()) {
        rc = 1;
    }
    RemoveFolder(dir);
    return rc;
}
