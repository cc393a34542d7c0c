// tools/democa/CaStore.h — the CA folder: an RSA and an SM2 hierarchy, made on first use and kept.
#pragma once
#include <filesystem>

#include "Issuer.h"

namespace democa {

// One RSA or SM2 hierarchy in the CA folder: a root and the issuing CA below it.
struct CaHierarchy {
    KeyType keyType = KeyType::Rsa;
    X509Ptr root;
    X509Ptr ca;
    PkeyPtr caKey;
    std::filesystem::path rootDer, rootPem, rootKey, caDer, caPem, caKeyFile;
};

// Loads the hierarchy from dir, or creates it (and dir) on first use. Concurrent runs on one folder wait
// for each other.
Status OpenCaHierarchy(const std::filesystem::path& dir, KeyType keyType, CaHierarchy& hierarchy);

// Files of CA material. A file is written beside its name and renamed over it, so it appears complete or
// not at all; keys are unencrypted PKCS#8 PEM, certificates DER (and PEM beside them where asked).
Status WriteFileAtomically(const std::filesystem::path& path, const std::string& bytes, std::filesystem::perms perms);
bool ReadFile(const std::filesystem::path& path, std::string& bytes);
Status WriteKey(const std::filesystem::path& path, EVP_PKEY* key);
Status WriteCertificate(const std::filesystem::path& der, const std::filesystem::path& pem, X509* cert);
Status LoadCertificate(const std::filesystem::path& path, X509Ptr& cert);
// The key in the file must be of this type.
Status LoadKey(const std::filesystem::path& path, KeyType keyType, PkeyPtr& key);
// A new CA key: RSA 2048 or SM2.
Status GenerateKey(KeyType keyType, PkeyPtr& key);

// The issuing CA's certificate for the request's subject and this key.
Status IssueCertificate(const CaHierarchy& hierarchy, const X509_NAME* subject, EVP_PKEY* publicKey,
                        CertProfile profile, X509Ptr& cert);

}  // namespace democa
