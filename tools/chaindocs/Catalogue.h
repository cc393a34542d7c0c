// tools/chaindocs/Catalogue.h — the CA certificates the four chain documents and the two withdrawn-certificate
// lists describe: which exist, who issued them, their names, serials, dates and signature hashes, and the
// material behind them in the CA folder.
#pragma once
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "CaStore.h"

namespace chaindocs {

using democa::KeyType;
using democa::Status;

// One CA certificate. The demo CA's own root and issuing CA are taken from its hierarchy; every other one is
// made once, kept under chains/ (roots with their keys, since they issue) and loaded on later runs.
struct CaCertSpec {
    std::string file;         // name under chains/ without extension; "democa:rsa-root" and the like for the hierarchy
    KeyType keyType = KeyType::Rsa;
    bool root = false;
    std::string commonName;   // under "O=Brindlemark Demo CA, C=CN"
    bool commonNameFirst = false;  // encoded CN, O, C (the withdrawn intermediates); otherwise C, O, CN
    std::string issuer;       // file of the issuing root; empty for a root
    std::string serialHex;    // display order, most significant byte first
    time_t notBefore = 0, notAfter = 0;
    bool sha1 = false;        // an RSA certificate signed with SHA-1 rather than SHA-256
};

struct ChainDocumentSpec {
    int resourceId = 0;
    std::string fileName;     // under the output folder, and the name the resources expect
    std::string description;  // for the document's comment
    std::vector<std::string> roots, intermediates;  // certificate files, in document order
};

enum class DiscardedKind { Intermediate, Root };

struct DiscardedEntrySpec {
    DiscardedKind kind = DiscardedKind::Intermediate;
    std::string cert;         // certificate file
};

struct DiscardedListSpec {
    std::string name;         // "RSA" or "SM2"
    std::vector<DiscardedEntrySpec> entries;
};

// The fixed plan.
const std::vector<CaCertSpec>& CaCertificates();
const std::vector<ChainDocumentSpec>& ChainDocuments();
const std::vector<DiscardedListSpec>& DiscardedLists();
const CaCertSpec* FindSpec(const std::string& file);

// "CN=..., O=Brindlemark Demo CA, C=CN": a DN text as the removal lists write it, most general part last.
std::string ListDn(const CaCertSpec& spec);

// Every certificate of the plan, loaded from the CA folder or made there on first use.
class CaMaterial {
public:
    Status Open(const std::filesystem::path& caDir);
    X509* Cert(const std::string& file) const;

private:
    Status Obtain(const CaCertSpec& spec);

    std::filesystem::path m_chainsDir;
    std::map<std::string, democa::X509Ptr> m_certs;
    std::map<std::string, democa::PkeyPtr> m_keys;  // roots only
};

}  // namespace chaindocs
