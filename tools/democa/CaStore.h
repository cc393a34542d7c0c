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

// The issuing CA's certificate for the request's subject and this key.
Status IssueCertificate(const CaHierarchy& hierarchy, const X509_NAME* subject, EVP_PKEY* publicKey,
                        CertProfile profile, X509Ptr& cert);

}  // namespace democa
