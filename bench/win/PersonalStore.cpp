// bench/win/PersonalStore.cpp — fills and empties the personal certificate store of the prefix it runs in:
//   PersonalStore.exe clear
//       removes every certificate from MY, of the user and of the machine (the user's view shows both);
//   PersonalStore.exe add <list file> <provider name>
//       adds the certificates of the list to the user's MY; each line is "<container> <Base64 DER>", and a
//       container other than "-" becomes the certificate's key-provider link (that provider, type 1,
//       AT_KEYEXCHANGE; the key itself need not exist). One commit at the end;
//   PersonalStore.exe phases <provider name>
//       times the platform's steps of an inventory of the user's MY for that provider; prints one JSON line.
// Exit code 0 when done, 1 when a store operation failed, 2 on bad arguments or an unreadable list.
#include <windows.h>

#include <wincrypt.h>

#include <stdio.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct StoreCloser {
    void operator()(HCERTSTORE hStore) const { CertCloseStore(hStore, 0); }
};
using CertStore = std::unique_ptr<void, StoreCloser>;

struct ContextFreer {
    void operator()(PCCERT_CONTEXT p) const { CertFreeCertificateContext(p); }
};
using CertContext = std::unique_ptr<const CERT_CONTEXT, ContextFreer>;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

int Fail(const char* pszStep)
{
    fprintf(stderr, "%s: error 0x%08lx\n", pszStep, GetLastError());
    return 1;
}

// Wine keeps a deletion from MY only once the store is committed, and an enumeration that deletes as it
// goes never ends there: the certificates are collected first.
int Clear()
{
    for (DWORD dwLocation : {CERT_SYSTEM_STORE_LOCAL_MACHINE, CERT_SYSTEM_STORE_CURRENT_USER}) {
        CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, dwLocation, TEXT("MY")));
        if (!hStore) return Fail("CertOpenStore");
        std::vector<CertContext> found;
        for (PCCERT_CONTEXT p = nullptr; (p = CertEnumCertificatesInStore(hStore.get(), p)) != nullptr;)
            found.emplace_back(CertDuplicateCertificateContext(p));
        for (CertContext& p : found)
            if (!CertDeleteCertificateFromStore(p.release())) return Fail("CertDeleteCertificateFromStore");
        if (!CertControlStore(hStore.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr)) return Fail("CertControlStore");
        printf("%u removed\n", static_cast<unsigned>(found.size()));
    }
    return 0;
}

struct Entry {
    std::basic_string<WCHAR> wstrContainer;  // empty: no key-provider link
    std::vector<BYTE> vecDer;
};

// One line "<container> <Base64>"; false for anything else.
bool ParseLine(const std::string& line, Entry& entry)
{
    const size_t space = line.find(' ');
    if (space == std::string::npos || space == 0 || space + 1 >= line.size()) return false;
    const std::string container = line.substr(0, space), base64 = line.substr(space + 1);
    entry.wstrContainer.clear();
    if (container != "-") {
        const int cch = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, container.data(),
                                            static_cast<int>(container.size()), nullptr, 0);
        if (cch <= 0) return false;
        entry.wstrContainer.resize(static_cast<size_t>(cch));
        MultiByteToWideChar(CP_UTF8, 0, container.data(), static_cast<int>(container.size()), &entry.wstrContainer[0], cch);
    }
    DWORD cbDer = 0;
    if (!CryptStringToBinaryA(base64.data(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64, nullptr, &cbDer,
                              nullptr, nullptr) ||
        cbDer == 0)
        return false;
    entry.vecDer.resize(cbDer);
    return CryptStringToBinaryA(base64.data(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                                entry.vecDer.data(), &cbDer, nullptr, nullptr) &&
           cbDer <= entry.vecDer.size();
}

bool ReadList(const WCHAR* pwszPath, std::vector<Entry>& entries)
{
    std::unique_ptr<FILE, FileCloser> file(_wfopen(pwszPath, TEXT("rb")));
    if (!file) return false;
    std::string line;
    for (int c; (c = fgetc(file.get())) != EOF;) {
        if (c != '\n') {
            if (c != '\r') line += static_cast<char>(c);
            continue;
        }
        if (line.empty()) continue;
        entries.emplace_back();
        if (!ParseLine(line, entries.back())) return false;
        line.clear();
    }
    if (!line.empty()) {
        entries.emplace_back();
        if (!ParseLine(line, entries.back())) return false;
    }
    return true;
}

int Add(const WCHAR* pwszList, const WCHAR* pwszProvider)
{
    std::vector<Entry> entries;
    if (!ReadList(pwszList, entries)) {
        fprintf(stderr, "unreadable list %ls\n", pwszList);
        return 2;
    }
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY")));
    if (!hStore) return Fail("CertOpenStore");
    for (Entry& entry : entries) {
        PCCERT_CONTEXT p = nullptr;
        if (!CertAddEncodedCertificateToStore(hStore.get(), kCertEncoding, entry.vecDer.data(),
                                              static_cast<DWORD>(entry.vecDer.size()), CERT_STORE_ADD_REPLACE_EXISTING, &p))
            return Fail("CertAddEncodedCertificateToStore");
        CertContext owner(p);
        if (entry.wstrContainer.empty()) continue;
        CRYPT_KEY_PROV_INFO stInfo = {};
        stInfo.pwszContainerName = &entry.wstrContainer[0];
        stInfo.pwszProvName = const_cast<WCHAR*>(pwszProvider);
        stInfo.dwProvType = PROV_RSA_FULL;
        stInfo.dwKeySpec = AT_KEYEXCHANGE;
        if (!CertSetCertificateContextProperty(p, CERT_KEY_PROV_INFO_PROP_ID, 0, &stInfo))
            return Fail("CertSetCertificateContextProperty");
    }
    if (!CertControlStore(hStore.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr)) return Fail("CertControlStore");
    printf("%u added\n", static_cast<unsigned>(entries.size()));
    return 0;
}

double Ms(const LARGE_INTEGER& from, const LARGE_INTEGER& to, const LARGE_INTEGER& frequency)
{
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The platform's share of an inventory, step by step as the inventory takes it (the user's MY read, the
// certificates linked to the provider kept, those collected in a memory store, their records' fields read),
// each step timed; the memory store is filled twice, once as the inventory does it (every add looks for the
// certificate already there) and once looking up a hash set first.
int Phases(const WCHAR* pwszProvider)
{
    LARGE_INTEGER frequency, t[8];
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&t[0]);
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kCertEncoding, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, TEXT("MY")));
    if (!hStore) return Fail("CertOpenStore");
    QueryPerformanceCounter(&t[1]);
    std::vector<CertContext> all;
    for (PCCERT_CONTEXT p = nullptr; (p = CertEnumCertificatesInStore(hStore.get(), p)) != nullptr;)
        all.emplace_back(CertDuplicateCertificateContext(p));
    QueryPerformanceCounter(&t[2]);
    std::vector<PCCERT_CONTEXT> linked;
    for (const CertContext& p : all) {
        DWORD cb = 0;
        if (!CertGetCertificateContextProperty(p.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) continue;
        std::vector<BYTE> vecInfo(cb);
        if (!CertGetCertificateContextProperty(p.get(), CERT_KEY_PROV_INFO_PROP_ID, vecInfo.data(), &cb)) continue;
        const CRYPT_KEY_PROV_INFO* pInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(vecInfo.data());
        if (pInfo->pwszProvName != nullptr && lstrcmpiW(pInfo->pwszProvName, pwszProvider) == 0) linked.push_back(p.get());
    }
    QueryPerformanceCounter(&t[3]);
    CertStore hMemory(CertOpenStore(CERT_STORE_PROV_MEMORY, kCertEncoding, 0, 0, nullptr));
    for (PCCERT_CONTEXT p : linked)
        if (!CertAddCertificateContextToStore(hMemory.get(), p, CERT_STORE_ADD_USE_EXISTING, nullptr))
            return Fail("CertAddCertificateContextToStore");
    QueryPerformanceCounter(&t[4]);
    CertStore hHashed(CertOpenStore(CERT_STORE_PROV_MEMORY, kCertEncoding, 0, 0, nullptr));
    std::vector<std::basic_string<BYTE>> seen;
    for (PCCERT_CONTEXT p : linked) {
        BYTE rgbHash[20];
        DWORD cbHash = sizeof(rgbHash);
        if (!CertGetCertificateContextProperty(p, CERT_SHA1_HASH_PROP_ID, rgbHash, &cbHash)) return Fail("hash");
        std::basic_string<BYTE> hash(rgbHash, cbHash);
        const auto at = std::lower_bound(seen.begin(), seen.end(), hash);
        if (at != seen.end() && *at == hash) continue;
        seen.insert(at, hash);
        if (!CertAddCertificateContextToStore(hHashed.get(), p, CERT_STORE_ADD_ALWAYS, nullptr))
            return Fail("CertAddCertificateContextToStore");
    }
    QueryPerformanceCounter(&t[5]);
    size_t cchAll = 0;
    for (PCCERT_CONTEXT p = nullptr; (p = CertEnumCertificatesInStore(hMemory.get(), p)) != nullptr;) {
        WCHAR wszName[512];
        cchAll += CertNameToStrW(X509_ASN_ENCODING, &p->pCertInfo->Subject, CERT_X500_NAME_STR, nullptr, 0);
        cchAll += CertNameToStrW(X509_ASN_ENCODING, &p->pCertInfo->Subject, CERT_X500_NAME_STR, wszName, 512);
        for (const FILETIME* pft : {&p->pCertInfo->NotBefore, &p->pCertInfo->NotAfter}) {
            FILETIME ftLocal;
            SYSTEMTIME st;
            FileTimeToLocalFileTime(pft, &ftLocal);
            FileTimeToSystemTime(&ftLocal, &st);
        }
        DWORD cb = 0;
        CertGetCertificateContextProperty(p, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb);
        cchAll += cb;
    }
    QueryPerformanceCounter(&t[6]);
    printf("{\"certificates\":%u,\"linked\":%u,\"open_ms\":%.1f,\"extract_ms\":%.1f,\"filter_ms\":%.1f,"
           "\"add_use_existing_ms\":%.1f,\"add_hashed_ms\":%.1f,\"fields_ms\":%.1f,\"chars\":%u}\n",
           static_cast<unsigned>(all.size()), static_cast<unsigned>(linked.size()), Ms(t[0], t[1], frequency),
           Ms(t[1], t[2], frequency), Ms(t[2], t[3], frequency), Ms(t[3], t[4], frequency), Ms(t[4], t[5], frequency),
           Ms(t[5], t[6], frequency), static_cast<unsigned>(cchAll));
    return 0;
}

}  // namespace

int wmain(int argc, WCHAR** argv)
{
    if (argc == 2 && lstrcmpW(argv[1], TEXT("clear")) == 0) return Clear();
    if (argc == 4 && lstrcmpW(argv[1], TEXT("add")) == 0) return Add(argv[2], argv[3]);
    if (argc == 3 && lstrcmpW(argv[1], TEXT("phases")) == 0) return Phases(argv[2]);
    fprintf(stderr, "usage: PersonalStore.exe clear | add <list file> <provider name> | phases <provider name>\n");
    return 2;
}
