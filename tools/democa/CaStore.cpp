// tools/democa/CaStore.cpp — files of a hierarchy, for prefix p ("rsa" or "sm2"): p-root.der, p-root.pem,
// p-root.key.pem, p-ca.der, p-ca.pem, p-ca.key.pem. Keys are unencrypted PKCS#8 PEM readable by the owner
// only; the DER certificates are what is loaded again.
#include "CaStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include <openssl/err.h>
#include <openssl/pem.h>

namespace democa {

namespace fs = std::filesystem;

namespace {

constexpr int kRsaCaBits = 2048;

std::string MemBioText(BIO* bio)
{
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

// Holds an exclusive lock on the CA folder while it lives.
class FolderLock {
public:
    explicit FolderLock(const fs::path& dir)
    {
        m_fd = open((dir / ".democa.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd >= 0 && flock(m_fd, LOCK_EX) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~FolderLock()
    {
        if (m_fd >= 0) close(m_fd);  // closing releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

Status CaName(KeyType keyType, const char* role, X509NamePtr& name)
{
    const std::string common = std::string("Brindlemark Demo ") + KeyTypeName(keyType) + " " + role;
    name.reset(X509_NAME_new());
    const auto add = [&name](const char* field, const std::string& value) {
        return X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1;
    };
    if (!name || !add("C", "CN") || !add("O", "Brindlemark Demo CA") || !add("CN", common))
        return OpenSslFailure("CA name");
    return Status::Success();
}

Status CreateHierarchy(CaHierarchy& h)
{
    PkeyPtr rootKey;
    X509NamePtr rootName, caName;
    X509Ptr root, ca;
    if (Status s = GenerateKey(h.keyType, rootKey); !s.Ok()) return s;
    if (Status s = CaName(h.keyType, "Root CA", rootName); !s.Ok()) return s;
    if (Status s = BuildCertificate({rootName.get(), rootKey.get(), CertProfile::RootCa, nullptr, rootKey.get()}, root);
        !s.Ok())
        return s;
    if (Status s = GenerateKey(h.keyType, h.caKey); !s.Ok()) return s;
    if (Status s = CaName(h.keyType, "Issuing CA", caName); !s.Ok()) return s;
    if (Status s = BuildCertificate({caName.get(), h.caKey.get(), CertProfile::IssuingCa, root.get(), rootKey.get()}, ca);
        !s.Ok())
        return s;
    // the issuing CA's files last: their presence marks a finished hierarchy
    if (Status s = WriteKey(h.rootKey, rootKey.get()); !s.Ok()) return s;
    if (Status s = WriteCertificate(h.rootDer, h.rootPem, root.get()); !s.Ok()) return s;
    if (Status s = WriteKey(h.caKeyFile, h.caKey.get()); !s.Ok()) return s;
    if (Status s = WriteCertificate(h.caDer, h.caPem, ca.get()); !s.Ok()) return s;
    h.root = std::move(root);
    h.ca = std::move(ca);
    return Status::Success();
}

Status LoadHierarchy(CaHierarchy& h)
{
    if (Status s = LoadCertificate(h.rootDer, h.root); !s.Ok()) return s;
    if (Status s = LoadCertificate(h.caDer, h.ca); !s.Ok()) return s;
    if (Status s = LoadKey(h.caKeyFile, h.keyType, h.caKey); !s.Ok()) return s;
    if (X509_check_private_key(h.ca.get(), h.caKey.get()) != 1) {
        ERR_clear_error();
        return Status::Internal(h.caKeyFile.string() + " does not belong to " + h.caDer.string());
    }
    if (X509_check_issued(h.root.get(), h.ca.get()) != X509_V_OK)
        return Status::Internal(h.caDer.string() + " was not issued by " + h.rootDer.string());
    return Status::Success();
}

}  // namespace

// A file appears complete or not at all: written beside its name, then renamed over it.
Status WriteFileAtomically(const fs::path& path, const std::string& bytes, fs::perms perms)
{
    const fs::path temp = path.string() + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return Status::Internal("cannot write " + temp.string());
        std::error_code ec;
        fs::permissions(temp, perms, ec);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out || ec) return Status::Internal("cannot write " + temp.string());
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) return Status::Internal("cannot rename " + temp.string() + ": " + ec.message());
    return Status::Success();
}

bool ReadFile(const fs::path& path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

Status WriteKey(const fs::path& path, EVP_PKEY* key)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return OpenSslFailure("CA key encoding");
    return WriteFileAtomically(path, MemBioText(bio.get()), fs::perms::owner_read | fs::perms::owner_write);
}

Status WriteCertificate(const fs::path& der, const fs::path& pem, X509* cert)
{
    const Bytes bytes = DerOf<X509>(cert, i2d_X509);
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (bytes.empty() || !bio || PEM_write_bio_X509(bio.get(), cert) != 1) return OpenSslFailure("CA certificate encoding");
    const fs::perms readable = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::others_read;
    if (Status status = WriteFileAtomically(der, std::string(bytes.begin(), bytes.end()), readable); !status.Ok())
        return status;
    return WriteFileAtomically(pem, MemBioText(bio.get()), readable);
}

Status GenerateKey(KeyType keyType, PkeyPtr& key)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, keyType == KeyType::Rsa ? "RSA" : "SM2", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        (keyType == KeyType::Rsa && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kRsaCaBits) != 1) ||
        EVP_PKEY_generate(ctx.get(), &raw) != 1)
        return OpenSslFailure("CA key generation");
    key.reset(raw);
    return Status::Success();
}

Status LoadCertificate(const fs::path& path, X509Ptr& cert)
{
    std::string bytes;
    if (!ReadFile(path, bytes)) return Status::Internal("cannot read " + path.string());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    cert.reset(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
    if (!cert) return Status::Internal(path.string() + " is not a DER certificate: " + OpenSslErrors());
    return Status::Success();
}

Status LoadKey(const fs::path& path, KeyType keyType, PkeyPtr& key)
{
    std::string pem;
    if (!ReadFile(path, pem)) return Status::Internal("cannot read " + path.string());
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    key.reset(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) return Status::Internal(path.string() + " is not a PEM private key: " + OpenSslErrors());
    const char* type = keyType == KeyType::Rsa ? "RSA" : "SM2";
    if (!EVP_PKEY_is_a(key.get(), type)) return Status::Internal(path.string() + " does not hold an " + type + " key");
    return Status::Success();
}

Status OpenCaHierarchy(const fs::path& dir, KeyType keyType, CaHierarchy& h)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return Status::Internal("cannot create the CA folder " + dir.string() + ": " + ec.message());
    const fs::path base = fs::absolute(dir, ec);
    if (ec) return Status::Internal("cannot resolve the CA folder " + dir.string() + ": " + ec.message());

    h = CaHierarchy();
    h.keyType = keyType;
    const std::string prefix = keyType == KeyType::Rsa ? "rsa" : "sm2";
    h.rootDer = base / (prefix + "-root.der");
    h.rootPem = base / (prefix + "-root.pem");
    h.rootKey = base / (prefix + "-root.key.pem");
    h.caDer = base / (prefix + "-ca.der");
    h.caPem = base / (prefix + "-ca.pem");
    h.caKeyFile = base / (prefix + "-ca.key.pem");

    FolderLock lock(base);
    if (!lock.Held()) return Status::Internal("cannot lock the CA folder " + base.string());
    size_t present = 0;
    std::string missing;
    for (const fs::path* file : {&h.rootDer, &h.rootKey, &h.caDer, &h.caKeyFile}) {
        if (fs::exists(*file, ec)) {
            ++present;
        } else {
            missing += (missing.empty() ? "" : ", ") + file->filename().string();
        }
    }
    if (present == 0) return CreateHierarchy(h);
    if (!missing.empty())
        return Status::Internal("the " + prefix + " hierarchy in " + base.string() + " is incomplete (missing " +
                                missing + "); remove its " + prefix + "-* files to have it made again");
    return LoadHierarchy(h);
}

Status IssueCertificate(const CaHierarchy& h, const X509_NAME* subject, EVP_PKEY* publicKey, CertProfile profile,
                        X509Ptr& cert)
{
    return BuildCertificate({subject, publicKey, profile, h.ca.get(), h.caKey.get()}, cert);
}

}  // namespace democa
