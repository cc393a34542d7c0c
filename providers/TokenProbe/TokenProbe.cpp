// providers/TokenProbe/TokenProbe.cpp — signs data with a stand-in token through CryptoAPI and prints
// what an outside verifier needs, one "NAME hex" line each; the container is removed afterwards.
//   tokenprobe sm2 <hex data>         PUB (140-byte blob), SIG (r then s, little-endian as returned)
//   tokenprobe rsa <bits> <hex data>  SPKI (DER SubjectPublicKeyInfo), SIG (SHA-1, little-endian)
//   tokenprobe sm2-open <list file>   opens every SM2 container named in the file (one a line) with both
//                                     keys: MISSING <name> <error> for each that fails, then OPENED <n>
//                                     and LISTED <containers the token enumerates>
#include <windows.h>
#include <wincrypt.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

void PrintHex(const char* pszName, const Bytes& b)
{
    printf("%s ", pszName);
    for (BYTE x : b) printf("%02x", x);
    printf("\n");
}

bool ParseHex(const char* psz, Bytes& out)
{
    std::string s(psz);
    if (s.size() % 2 != 0) return false;
    for (size_t i = 0; i < s.size(); i += 2) {
        char* end = nullptr;
        std::string pair = s.substr(i, 2);
        long v = strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) return false;
        out.push_back(static_cast<BYTE>(v));
    }
    return true;
}

int Fail(const char* pszStep)
{
    fprintf(stderr, "%s failed: 0x%08lx\n", pszStep, GetLastError());
    return 1;
}

std::basic_string<WCHAR> NewContainerName()
{
    GUID guid = {};
    WCHAR wsz[64] = {};
    CoCreateGuid(&guid);
    StringFromGUID2(guid, wsz, 64);
    return wsz;
}

int SignWith(bool bSm2, DWORD dwBits, const Bytes& data)
{
    const WCHAR* pwszProv = bSm2 ? TEXT("Software SM2 Token CSP v1.0") : TEXT("Software RSA Token CSP v1.0");
    std::basic_string<WCHAR> container = NewContainerName();
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, container.c_str(), pwszProv, PROV_RSA_FULL, CRYPT_NEWKEYSET))
        return Fail("CryptAcquireContext");
    int rc = 0;
    HCRYPTKEY hKey = 0;
    HCRYPTHASH hHash = 0;
    Bytes pub, sig;
    DWORD cb = 0;
    if (!CryptGenKey(hProv, bSm2 ? 0x3E00 : AT_SIGNATURE, dwBits << 16, &hKey)) {
        rc = Fail("CryptGenKey");
    } else if (bSm2) {
        if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, nullptr, &cb) ||
            (pub.resize(cb), !CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, pub.data(), &cb)))
            rc = Fail("CryptExportKey");
    } else {
        if (!CryptExportPublicKeyInfo(hProv, AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &cb)) {
            rc = Fail("CryptExportPublicKeyInfo");
        } else {
            Bytes info(cb);
            auto* pInfo = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data());
            DWORD cbDer = 0;
            if (!CryptExportPublicKeyInfo(hProv, AT_SIGNATURE, X509_ASN_ENCODING, pInfo, &cb) ||
                !CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, pInfo, nullptr, &cbDer) ||
                (pub.resize(cbDer), !CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, pInfo, pub.data(), &cbDer)))
                rc = Fail("CryptEncodeObject");
            pub.resize(cbDer);
        }
    }
    if (rc == 0 && (!CryptCreateHash(hProv, bSm2 ? 0x800F : CALG_SHA1, 0, 0, &hHash) ||
                    !CryptHashData(hHash, data.data(), static_cast<DWORD>(data.size()), 0)))
        rc = Fail("CryptHashData");
    cb = 0;
    if (rc == 0 && (!CryptSignHashW(hHash, AT_SIGNATURE, nullptr, 0, nullptr, &cb) ||
                    (sig.resize(cb), !CryptSignHashW(hHash, AT_SIGNATURE, nullptr, 0, sig.data(), &cb))))
        rc = Fail("CryptSignHash");
    if (hHash) CryptDestroyHash(hHash);
    if (hKey) CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
    HCRYPTPROV hDelete = 0;
    CryptAcquireContextW(&hDelete, container.c_str(), pwszProv, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    if (rc != 0) return rc;
    PrintHex(bSm2 ? "PUB" : "SPKI", pub);
    PrintHex("SIG", sig);
    return 0;
}

int OpenListed(const char* pszList)
{
    const char* pszProv = "Software SM2 Token CSP v1.0";
    FILE* pList = fopen(pszList, "r");
    if (pList == nullptr) return 2;
    char szName[512];
    int nOpened = 0;
    while (fgets(szName, sizeof szName, pList) != nullptr) {
        szName[strcspn(szName, "\r\n")] = 0;
        if (szName[0] == 0) continue;
        HCRYPTPROV hProv = 0;
        BOOL ok = CryptAcquireContextA(&hProv, szName, pszProv, PROV_RSA_FULL, 0);
        for (DWORD dwKeySpec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
            HCRYPTKEY hKey = 0;
            ok = ok && CryptGetUserKey(hProv, dwKeySpec, &hKey);
            if (hKey != 0) CryptDestroyKey(hKey);
        }
        DWORD dwError = GetLastError();
        if (hProv != 0) CryptReleaseContext(hProv, 0);
        if (ok)
            ++nOpened;
        else
            printf("MISSING %s 0x%08lx\n", szName, dwError);
    }
    fclose(pList);
    unsigned long nListed = 0;
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextA(&hProv, nullptr, pszProv, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return Fail("CryptAcquireContext");
    for (DWORD cb = sizeof szName, dwFlags = CRYPT_FIRST;
         CryptGetProvParam(hProv, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(szName), &cb, dwFlags);
         cb = sizeof szName, dwFlags = CRYPT_NEXT)
        ++nListed;
    CryptReleaseContext(hProv, 0);
    printf("OPENED %d\nLISTED %lu\n", nOpened, nListed);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Bytes data;
    if (argc == 3 && std::string(argv[1]) == "sm2" && ParseHex(argv[2], data)) return SignWith(true, 256, data);
    if (argc == 3 && std::string(argv[1]) == "sm2-open") return OpenListed(argv[2]);
    if (argc == 4 && std::string(argv[1]) == "rsa" && ParseHex(argv[3], data))
        return SignWith(false, static_cast<DWORD>(strtoul(argv[2], nullptr, 10)), data);
    fprintf(stderr, "usage: tokenprobe sm2 <hex> | tokenprobe rsa <bits> <hex> | tokenprobe sm2-open <list>\n");
    return 2;
}
