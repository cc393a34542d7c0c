// tools/inspector/Stores.cpp — a system store's certificates, and adding or removing those of a file.
#include "Commands.h"

#include "Certificates.h"
#include "Text.h"

namespace inspector {

namespace {

DWORD StoreLocationOf(const Options& opts)
{
    return opts.bMachine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
}

// The certificates of --file: one DER certificate or a DER PKCS#7 bundle, as an in-memory store.
bool OpenFileCertificates(const Options& opts, CertStore& hFileStore, Failure& failure)
{
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, opts.wstrFile.c_str(),
                          CERT_QUERY_CONTENT_FLAG_CERT | CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, hFileStore.put(), nullptr,
                          nullptr))
        return Fail(failure, "CryptQueryObject", GetLastError());
    return true;
}

// Adds every certificate of --file that the store lacks, and commits: a change to a system store lasts only
// once committed.

}  // namespace

bool RunAdd(const Options& opts, Node& report, Failure& failure)
{
    CertStore hFileStore;
    if (!OpenFileCertificates(opts, hFileStore, failure)) return false;
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, StoreLocationOf(opts), opts.wstrStoreName.c_str()));
    if (!hStore) return Fail(failure, "CertOpenStore", GetLastError());
    report.Add("store", Node::Text(ToUtf8(opts.wstrStoreName)));
    Node& added = report.Add("added", Node::List());
    for (PCCERT_CONTEXT pCert = CertEnumCertificatesInStore(hFileStore.get(), nullptr); pCert != nullptr;
         pCert = CertEnumCertificatesInStore(hFileStore.get(), pCert)) {
        if (!CertAddCertificateContextToStore(hStore.get(), pCert, CERT_STORE_ADD_USE_EXISTING, nullptr)) {
            const DWORD dwError = GetLastError();
            CertFreeCertificateContext(pCert);
            return Fail(failure, "CertAddCertificateContextToStore", dwError);
        }
        added.Push(DescribeCertificate(pCert));
    }
    if (!CertControlStore(hStore.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr))
        return Fail(failure, "CertControlStore(CERT_STORE_CTRL_COMMIT)", GetLastError());
    return true;
}

// Deletes from the store every certificate equal to one of --file, and commits; a store that does not exist
// holds none of them.
bool RunRemove(const Options& opts, Node& report, Failure& failure)
{
    CertStore hFileStore;
    if (!OpenFileCertificates(opts, hFileStore, failure)) return false;
    report.Add("store", Node::Text(ToUtf8(opts.wstrStoreName)));
    Node& removed = report.Add("removed", Node::List());
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   StoreLocationOf(opts) | CERT_STORE_OPEN_EXISTING_FLAG, opts.wstrStoreName.c_str()));
    if (!hStore) {
        const DWORD dwError = GetLastError();
        return dwError == ERROR_FILE_NOT_FOUND ? true : Fail(failure, "CertOpenStore", dwError);
    }
    for (PCCERT_CONTEXT pCert = CertEnumCertificatesInStore(hFileStore.get(), nullptr); pCert != nullptr;
         pCert = CertEnumCertificatesInStore(hFileStore.get(), pCert)) {
        PCCERT_CONTEXT pFound =
            CertFindCertificateInStore(hStore.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                       pCert, nullptr);
        if (pFound == nullptr) continue;
        removed.Push(DescribeCertificate(pFound));
        // the deletion frees the context, whatever its outcome
        if (!CertDeleteCertificateFromStore(pFound)) {
            const DWORD dwError = GetLastError();
            CertFreeCertificateContext(pCert);
            return Fail(failure, "CertDeleteCertificateFromStore", dwError);
        }
    }
    if (!CertControlStore(hStore.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr))
        return Fail(failure, "CertControlStore(CERT_STORE_CTRL_COMMIT)", GetLastError());
    return true;
}

bool RunStore(const Options& opts, Node& report, Failure& failure)
{
    report.Add("store", Node::Text(ToUtf8(opts.wstrStoreName)));
    report.Add("location", Node::Text(opts.bMachine ? "LocalMachine" : "CurrentUser"));
    // Read-only, and never created: a store nobody has written to yet (the user's MY in a new profile) or a
    // misspelt name is reported as absent and empty.
    const DWORD dwFlags = (opts.bMachine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER) |
                          CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG;
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, dwFlags, opts.wstrStoreName.c_str()));
    if (!hStore) {
        const DWORD dwError = GetLastError();
        if (dwError != ERROR_FILE_NOT_FOUND) return Fail(failure, "CertOpenStore", dwError);
    }
    report.Add("exists", Node::Bool(static_cast<bool>(hStore)));
    Node& certificates = report.Add("certificates", Node::List());
    if (!hStore) return true;
    // the enumeration frees each context when it hands out the next, and the last when it ends
    for (PCCERT_CONTEXT pCert = CertEnumCertificatesInStore(hStore.get(), nullptr); pCert != nullptr;
         pCert = CertEnumCertificatesInStore(hStore.get(), pCert)) {
        Node& cert = certificates.Push(DescribeCertificate(pCert));
        cert.Add("keyProvider", DescribeKeyProvider(pCert));
    }
    return true;
}

}  // namespace inspector
