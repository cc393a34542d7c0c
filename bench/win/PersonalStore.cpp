// bench/win/PersonalStore.cpp — fills and empties the personal certificate store of the prefix it runs in:
//   PersonalStore.exe clear
//       removes every certificate from MY, of the user and of the machine (the user's view shows both);
//   PersonalStore.exe add <list file> <provider name>
//       adds the certificates of the list to the user's MY; each line is "<container> <Base64 DER>", and a
//       container other than "-" becomes the certificate's key-provider link (that provider, type 1,
//       AT_KEYEXCHANGE; the key itself need not exist). One commit at the end.
// Exit code 0 when done, 1 when a store operation failed, 2 on bad arguments or an unreadable list.
#include <windows.h>

#include <wincrypt.h>

#include <stdio.h>

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

}  // namespace

int wmain(int argc, WCHAR** argv)
{
    if (argc == 2 && lstrcmpW(argv[1], TEXT("clear")) == 0) return Clear();
    if (argc == 4 && lstrcmpW(argv[1], TEXT("add")) == 0) return Add(argv[2], argv[3]);
    fprintf(stderr, "usage: PersonalStore.exe clear | add <list file> <provider name>\n");
    return 2;
}
