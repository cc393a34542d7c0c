// tools/chaindocs/Catalogue.cpp — the plan: what each document carries, what the authority has withdrawn, and
// the certificates behind both. Files under chains/: <name>.der for every certificate made here,
// <name>.key.pem for the roots among them.
#include "Catalogue.h"

#include <cstdio>

#include <openssl/err.h>

namespace chaindocs {

namespace fs = std::filesystem;
using namespace democa;

namespace {

const char kOrganisation[] = "Brindlemark Demo CA";
const char kCountry[] = "CN";

// Current chains: long-lived. The expired pair of the SM2 production chain, and the withdrawn generation,
// which must still be valid while it is installed and removed again.
constexpr time_t k2010 = 1262304000, k2015 = 1420070400, k2020 = 1577836800, k2025 = 1735689600,
                 k2035 = 2051222400, k2045 = 2366841600;

const char kDemoRsaRoot[] = "democa:rsa-root";
const char kDemoRsaCa[] = "democa:rsa-ca";
const char kDemoSm2Root[] = "democa:sm2-root";
const char kDemoSm2Ca[] = "democa:sm2-ca";

std::string Hex2(unsigned value)
{
    char text[3];
    std::snprintf(text, sizeof(text), "%02X", value & 0xFFu);
    return text;
}

struct Plan {
    std::vector<CaCertSpec> certs;
    std::vector<ChainDocumentSpec> documents;
    std::vector<DiscardedListSpec> discarded;
};

CaCertSpec Root(std::string file, KeyType type, std::string cn, std::string serial, time_t from, time_t to,
                bool sha1 = false)
{
    return {std::move(file), type, true, std::move(cn), false, "", std::move(serial), from, to, sha1};
}

CaCertSpec Intermediate(std::string file, KeyType type, std::string cn, std::string issuer, std::string serial,
                        time_t from, time_t to, bool sha1 = false, bool cnFirst = false)
{
    return {std::move(file), type, false, std::move(cn), cnFirst, std::move(issuer), std::move(serial), from, to, sha1};
}

// Serial numbers of the current chains: 42, the document (08 to 0B), 01 root or 02 intermediate, index.
std::string CurrentSerial(int resourceId, bool root, int index)
{
    return "42" + Hex2(static_cast<unsigned>(resourceId - 200)) + (root ? "01" : "02") + Hex2(static_cast<unsigned>(index));
}

// Adds one current chain: the given roots (the demo CA's own first, where it takes part), then intermediates
// issued in turn by the roots made here, RSA ones first with SHA-1 and then with SHA-256.
void AddChain(Plan& plan, int id, std::string fileName, std::string description, KeyType type, std::string prefix,
              std::string cnPrefix, const std::vector<std::string>& demoCerts, int madeRoots, int sha1Intermediates,
              int otherIntermediates)
{
    ChainDocumentSpec doc{id, std::move(fileName), std::move(description), {}, {}};
    std::vector<std::string> issuers;
    if (!demoCerts.empty()) doc.roots.push_back(demoCerts[0]);
    for (int i = 1; i <= madeRoots; ++i) {
        // the production chains add to the demo CA's root generations G2, G3; the test chains count from 1
        const std::string number = std::to_string(demoCerts.empty() ? i : i + 1);
        const std::string tag = (demoCerts.empty() ? std::string() : std::string("G")) + number;
        const std::string file = prefix + "-root-" + (demoCerts.empty() ? std::string() : std::string("g")) + number;
        plan.certs.push_back(Root(file, type, cnPrefix + " Root CA " + tag, CurrentSerial(id, true, i), k2025, k2045));
        doc.roots.push_back(file);
        issuers.push_back(file);
    }
    if (demoCerts.size() > 1) doc.intermediates.push_back(demoCerts[1]);
    const bool rsa = type == KeyType::Rsa;
    int index = 0;
    const auto add = [&](const std::string& kind, int count, bool sha1) {
        for (int i = 1; i <= count; ++i, ++index) {
            const std::string file = prefix + "-" + kind + "ca-" + std::to_string(i);
            const std::string cn = cnPrefix + " " + (rsa ? (sha1 ? "SHA1 " : "SHA256 ") : "") + "CA " + std::to_string(i);
            plan.certs.push_back(Intermediate(file, type, cn, issuers[static_cast<size_t>(index) % issuers.size()],
                                              CurrentSerial(id, false, index + 1), k2025, k2045, sha1));
            doc.intermediates.push_back(file);
        }
    };
    add(rsa ? "sha1-" : "", sha1Intermediates, true);
    add(rsa ? "sha256-" : "", otherIntermediates, false);
    plan.documents.push_back(std::move(doc));
}

Plan MakePlan()
{
    Plan plan;
    // democa's hierarchy: names and serials are its own
    plan.certs.push_back({kDemoRsaRoot, KeyType::Rsa, true, "", false, "", "", 0, 0, false});
    plan.certs.push_back({kDemoRsaCa, KeyType::Rsa, false, "", false, kDemoRsaRoot, "", 0, 0, false});
    plan.certs.push_back({kDemoSm2Root, KeyType::Sm2, true, "", false, "", "", 0, 0, false});
    plan.certs.push_back({kDemoSm2Ca, KeyType::Sm2, false, "", false, kDemoSm2Root, "", 0, 0, false});

    // 208: 3 roots, 11 intermediates (democa's SHA-256 one, 6 SHA-1, 4 SHA-256)
    AddChain(plan, 208, "RsaCertificateChain.xml", "RSA production chain", KeyType::Rsa, "rsa",
             "Brindlemark Demo RSA", {kDemoRsaRoot, kDemoRsaCa}, 2, 6, 4);
    // 209: 4 roots and 18 intermediates, one expired pair among them
    AddChain(plan, 209, "Sm2CertificateChain.xml", "SM2 production chain", KeyType::Sm2, "sm2",
             "Brindlemark Demo SM2", {kDemoSm2Root, kDemoSm2Ca}, 2, 0, 16);
    plan.certs.push_back(Root("sm2-root-2010", KeyType::Sm2, "Brindlemark Demo SM2 Root CA 2010",
                              CurrentSerial(209, true, 0x10), k2010, k2020));
    plan.certs.push_back(Intermediate("sm2-ca-2010", KeyType::Sm2, "Brindlemark Demo SM2 CA 2010", "sm2-root-2010",
                                      CurrentSerial(209, false, 0x10), k2010, k2020));
    plan.documents.back().roots.push_back("sm2-root-2010");
    plan.documents.back().intermediates.push_back("sm2-ca-2010");
    // 210: 3 roots, 5 SHA-1 and 5 SHA-256 intermediates
    AddChain(plan, 210, "TestRsaCertificateChain.xml", "RSA test chain", KeyType::Rsa, "rsa-test",
             "Brindlemark Demo RSA Test", {}, 3, 5, 5);
    // 211: 3 roots, 10 intermediates
    AddChain(plan, 211, "TestSm2CertificateChain.xml", "SM2 test chain", KeyType::Sm2, "sm2-test",
             "Brindlemark Demo SM2 Test", {}, 3, 0, 10);

    // The withdrawn generation. Intermediates' names are encoded CN first and roots' C first, so that the
    // list's DN texts (CN first) are substrings of a subject rendered in encoded order and of an issuer
    // rendered reversed, the two ways the removal's filter reads them.
    const auto earlierRoot = [&](const std::string& file, KeyType type, const std::string& cn, const std::string& serial) {
        plan.certs.push_back(Root(file, type, cn, serial, k2015, k2035, type == KeyType::Rsa));
    };
    const auto earlierCa = [&](const std::string& file, KeyType type, const std::string& cn, const std::string& issuer,
                               const std::string& serial) {
        plan.certs.push_back(Intermediate(file, type, cn, issuer, serial, k2015, k2035, type == KeyType::Rsa, true));
    };
    const KeyType rsa = KeyType::Rsa, sm2 = KeyType::Sm2;
    earlierRoot("earlier-rsa-root-1", rsa, "Brindlemark Earlier RSA Root CA 1", "5A0E0002");
    earlierRoot("earlier-rsa-test-root", rsa, "Brindlemark Earlier RSA Test Root CA", "5A0E0004");
    earlierRoot("earlier-rsa-root-2", rsa, "Brindlemark Earlier RSA Root CA 2", "5A0E0006");
    earlierRoot("earlier-rsa-root-3", rsa, "Brindlemark Earlier RSA Root CA 3", "5A0E0009");
    earlierCa("earlier-rsa-ca-1", rsa, "Brindlemark Earlier RSA CA 1", "earlier-rsa-root-1", "5A0E0001");
    earlierCa("earlier-rsa-test-ca", rsa, "Brindlemark Earlier RSA Test CA", "earlier-rsa-test-root", "5A0E000003");
    earlierCa("earlier-rsa-ca-2", rsa, "Brindlemark Earlier RSA CA 2", "earlier-rsa-root-2", "5A0E000005");
    earlierCa("earlier-rsa-ca-3", rsa, "Brindlemark Earlier RSA CA 3", "earlier-rsa-root-3", "5A0E000007");
    // the first CA again, same name and serial, under the third root
    earlierCa("earlier-rsa-ca-1-reissued", rsa, "Brindlemark Earlier RSA CA 1", "earlier-rsa-root-3", "5A0E0001");
    using K = DiscardedKind;
    plan.discarded.push_back({"RSA",
                              {{K::Intermediate, "earlier-rsa-ca-1"},
                               {K::Root, "earlier-rsa-root-1"},
                               {K::Intermediate, "earlier-rsa-test-ca"},
                               {K::Root, "earlier-rsa-test-root"},
                               {K::Intermediate, "earlier-rsa-ca-2"},
                               {K::Root, "earlier-rsa-root-2"},
                               {K::Intermediate, "earlier-rsa-ca-3"},
                               {K::Intermediate, "earlier-rsa-ca-1-reissued"},
                               {K::Root, "earlier-rsa-root-3"}}});

    earlierRoot("earlier-sm2-root-1", sm2, "Brindlemark Earlier SM2 Root CA 1", "5B0E0003");
    earlierRoot("earlier-sm2-test-root", sm2, "Brindlemark Earlier SM2 Test Root CA", "5B0E0005");
    earlierRoot("earlier-sm2-root-2", sm2, "Brindlemark Earlier SM2 Root CA 2", "5B0E0008");
    earlierCa("earlier-sm2-ca-1", sm2, "Brindlemark Earlier SM2 CA 1", "earlier-sm2-root-1", "5B0E000001");
    earlierCa("earlier-sm2-ca-2", sm2, "Brindlemark Earlier SM2 CA 2", "earlier-sm2-root-1", "5B0E000002");
    earlierCa("earlier-sm2-test-ca", sm2, "Brindlemark Earlier SM2 Test CA", "earlier-sm2-test-root", "5B0E000004");
    earlierCa("earlier-sm2-ca-3", sm2, "Brindlemark Earlier SM2 CA 3", "earlier-sm2-root-2", "5B0E000006");
    earlierCa("earlier-sm2-ca-4", sm2, "Brindlemark Earlier SM2 CA 4", "earlier-sm2-root-2", "5B0E000007");
    plan.discarded.push_back({"SM2",
                              {{K::Intermediate, "earlier-sm2-ca-1"},
                               {K::Intermediate, "earlier-sm2-ca-2"},
                               {K::Root, "earlier-sm2-root-1"},
                               {K::Intermediate, "earlier-sm2-test-ca"},
                               {K::Root, "earlier-sm2-test-root"},
                               {K::Intermediate, "earlier-sm2-ca-3"},
                               {K::Intermediate, "earlier-sm2-ca-4"},
                               {K::Root, "earlier-sm2-root-2"}}});
    return plan;
}

const Plan& ThePlan()
{
    static const Plan plan = MakePlan();
    return plan;
}

bool IsDemoCert(const std::string& file) { return file.rfind("democa:", 0) == 0; }

Status NameOf(const CaCertSpec& spec, X509NamePtr& name)
{
    name.reset(X509_NAME_new());
    const auto add = [&name](const char* field, const std::string& value) {
        return X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1;
    };
    const bool ok = spec.commonNameFirst
                        ? name && add("CN", spec.commonName) && add("O", kOrganisation) && add("C", kCountry)
                        : name && add("C", kCountry) && add("O", kOrganisation) && add("CN", spec.commonName);
    return ok ? Status::Success() : OpenSslFailure("name of " + spec.file);
}

Status SerialBytes(const std::string& hex, Bytes& bytes)
{
    bytes.clear();
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(hex.c_str() + i, "%2x", &value) != 1) return Status::Internal("bad serial " + hex);
        bytes.push_back(static_cast<uint8_t>(value));
    }
    if (bytes.empty() || hex.size() % 2 != 0) return Status::Internal("bad serial " + hex);
    return Status::Success();
}

std::string Upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

}  // namespace

const std::vector<CaCertSpec>& CaCertificates() { return ThePlan().certs; }
const std::vector<ChainDocumentSpec>& ChainDocuments() { return ThePlan().documents; }
const std::vector<DiscardedListSpec>& DiscardedLists() { return ThePlan().discarded; }

const CaCertSpec* FindSpec(const std::string& file)
{
    for (const CaCertSpec& spec : CaCertificates())
        if (spec.file == file) return &spec;
    return nullptr;
}

std::string ListDn(const CaCertSpec& spec)
{
    return "CN=" + spec.commonName + ", O=" + kOrganisation + ", C=" + kCountry;
}

X509* CaMaterial::Cert(const std::string& file) const
{
    const auto it = m_certs.find(file);
    return it == m_certs.end() ? nullptr : it->second.get();
}

Status CaMaterial::Open(const fs::path& caDir)
{
    for (const KeyType type : {KeyType::Rsa, KeyType::Sm2}) {
        CaHierarchy h;
        if (Status s = OpenCaHierarchy(caDir, type, h); !s.Ok()) return s;
        m_certs[type == KeyType::Rsa ? kDemoRsaRoot : kDemoSm2Root] = std::move(h.root);
        m_certs[type == KeyType::Rsa ? kDemoRsaCa : kDemoSm2Ca] = std::move(h.ca);
    }
    m_chainsDir = caDir / "chains";
    std::error_code ec;
    fs::create_directories(m_chainsDir, ec);
    if (ec) return Status::Internal("cannot create " + m_chainsDir.string() + ": " + ec.message());
    // roots first: the intermediates made here need their keys
    for (const bool roots : {true, false})
        for (const CaCertSpec& spec : CaCertificates())
            if (spec.root == roots && !IsDemoCert(spec.file))
                if (Status s = Obtain(spec); !s.Ok()) return s;
    return Status::Success();
}

Status CaMaterial::Obtain(const CaCertSpec& spec)
{
    const fs::path der = m_chainsDir / (spec.file + ".der"), keyFile = m_chainsDir / (spec.file + ".key.pem");
    X509NamePtr name;
    Bytes serial;
    if (Status s = NameOf(spec, name); !s.Ok()) return s;
    if (Status s = SerialBytes(spec.serialHex, serial); !s.Ok()) return s;
    X509* issuer = spec.root ? nullptr : Cert(spec.issuer);
    if (!spec.root && !issuer) return Status::Internal("no issuer " + spec.issuer + " for " + spec.file);

    std::error_code ec;
    if (fs::exists(der, ec)) {
        X509Ptr cert;
        if (Status s = LoadCertificate(der, cert); !s.Ok()) return s;
        // a kept certificate that no longer fits the plan would silently describe another chain
        const X509_NAME* wantIssuer = issuer ? X509_get_subject_name(issuer) : name.get();
        if (X509_NAME_cmp(X509_get_subject_name(cert.get()), name.get()) != 0 ||
            X509_NAME_cmp(X509_get_issuer_name(cert.get()), wantIssuer) != 0 ||
            Upper(SerialHex(cert.get())) != spec.serialHex)
            return Status::Internal(der.string() + " does not match the certificate planned under that name; remove it "
                                    "to have it made again");
        m_certs[spec.file] = std::move(cert);
        return Status::Success();
    }

    PkeyPtr key, issuerKey;
    if (Status s = GenerateKey(spec.keyType, key); !s.Ok()) return s;
    EVP_PKEY* signer = key.get();
    if (!spec.root) {
        if (Status s = LoadKey(m_chainsDir / (spec.issuer + ".key.pem"), spec.keyType, issuerKey); !s.Ok()) return s;
        signer = issuerKey.get();
    }
    const CertContents contents{name.get(), key.get(), spec.root ? CertProfile::RootCa : CertProfile::IssuingCa,
                                issuer, signer};
    const FixedFields fixed{serial, spec.notBefore, spec.notAfter, spec.sha1 ? EVP_sha1() : nullptr};
    X509Ptr cert;
    if (Status s = BuildCertificate(contents, cert, fixed); !s.Ok()) return s;
    if (spec.root)
        if (Status s = WriteKey(keyFile, key.get()); !s.Ok()) return s;
    const Bytes bytes = DerOf<X509>(cert.get(), i2d_X509);
    if (bytes.empty()) return OpenSslFailure("encoding " + spec.file);
    const fs::perms readable =
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;
    if (Status s = WriteFileAtomically(der, std::string(bytes.begin(), bytes.end()), readable); !s.Ok()) return s;
    m_certs[spec.file] = std::move(cert);
    return Status::Success();
}

}  // namespace chaindocs
