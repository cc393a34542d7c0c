// tests/native/chaindocs_e2e.cpp — the chain-document generator run on a copy of the committed demo CA folder
// must write the committed documents and lists again, byte for byte; and each committed document is read
// back with OpenSSL: its roots as the registry keeps them, its bundle, the algorithms, what has expired.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "support/DerWalker.h"
#include "support/OsslOwners.h"

namespace fs = std::filesystem;
using namespace bm;

namespace {

using X509Ptr = OsslPtr<X509, X509_free>;
using Pkcs7Ptr = OsslPtr<PKCS7, PKCS7_free>;

const fs::path kSource = BM_SOURCE_DIR;
const char kImportPath[] = "SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates";

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every file below dir, by relative path, with its bytes.
std::map<std::string, std::string> Tree(const fs::path& dir)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file() && entry.path().filename() != ".democa.lock")
            files[fs::relative(entry.path(), dir).string()] = ReadAll(entry.path());
    return files;
}

class ChainDocsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/chaindocs-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        s_dir = pattern;
        fs::copy(kSource / "resources" / "democa-ca", s_dir / "ca", fs::copy_options::recursive);
        const std::string ca = (s_dir / "ca").string(), out = (s_dir / "out").string();
        const pid_t pid = fork();
        if (pid == 0) {
            execl(BM_CHAINDOCS, BM_CHAINDOCS, "--ca-dir", ca.c_str(), "--out", out.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        s_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static void TearDownTestSuite() { fs::remove_all(s_dir); }

    static inline fs::path s_dir;
    static inline int s_exitCode = -1;
};

TEST_F(ChainDocsTest, ASecondRunWritesTheCommittedFilesAgainAndMakesNothingNew)
{
    ASSERT_EQ(s_exitCode, 0);
    EXPECT_EQ(Tree(s_dir / "out"), Tree(kSource / "resources" / "chains"));
    // the kept CA material is reused as it is, and the withdrawn certificates are written out unchanged
    EXPECT_EQ(Tree(s_dir / "ca"), Tree(kSource / "resources" / "democa-ca"));
}

// ---- reading one document ----

// The text inside the next element of that name from `from` on; from moves past it.
std::string ElementText(const std::string& xml, const std::string& name, size_t& from)
{
    const std::string open = "<" + name, close = "</" + name + ">";
    size_t start = xml.find(open, from);
    while (start != std::string::npos && std::strchr(" >", xml[start + open.size()]) == nullptr)
        start = xml.find(open, start + 1);
    if (start == std::string::npos) return {};
    const size_t body = xml.find('>', start) + 1, end = xml.find(close, body);
    if (end == std::string::npos) return {};
    from = end + close.size();
    return xml.substr(body, end - body);
}

// Base64 between CR LF's: every line 76 characters but the last; empty result when the lines are wrong.
::testing::AssertionResult DecodeLines(const std::string& text, Bytes& bytes)
{
    std::string joined, line;
    std::vector<std::string> lines;
    size_t at = text.find("\r\n") == 0 ? 2 : 0;
    while (at < text.size()) {
        const size_t end = text.find("\r\n", at);
        if (end == std::string::npos) break;  // the closing tag's indentation
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].size() != 76 && !(i + 1 == lines.size() && !lines[i].empty() && lines[i].size() < 76))
            return ::testing::AssertionFailure() << "line " << i << " has " << lines[i].size() << " characters";
        joined += lines[i];
    }
    bytes.assign(joined.size(), 0);
    const int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(joined.data()),
                                  static_cast<int>(joined.size()));
    if (n < 0 || joined.size() % 4 != 0) return ::testing::AssertionFailure() << "not Base64";
    const size_t padding = joined.empty() ? 0 : (joined.back() == '=') + (joined.size() > 1 && joined[joined.size() - 2] == '=');
    bytes.resize(static_cast<size_t>(n) - padding);
    return ::testing::AssertionSuccess();
}

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

uint32_t Le32(const Bytes& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

std::string UpperHex(const Bytes& bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char b : bytes) hex += {kDigits[b >> 4], kDigits[b & 15]};
    return hex;
}

std::string Sha1Hex(const Bytes& der)
{
    Bytes digest(SHA_DIGEST_LENGTH);
    SHA1(der.data(), der.size(), digest.data());
    return UpperHex(digest);
}

X509Ptr Certificate(const Bytes& der)
{
    const unsigned char* p = der.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    return p == der.data() + der.size() ? std::move(cert) : X509Ptr();
}

// Verifies the certificate's signature with the issuer's key; SM2 signatures with the default identity.
bool SignedBy(X509* cert, X509* issuer)
{
    if (EVP_PKEY_is_a(X509_get0_pubkey(issuer), "SM2")) {
        ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>("1234567812345678"), 16);
        X509_set0_distinguishing_id(cert, id);
    }
    return X509_check_issued(issuer, cert) == X509_V_OK && X509_verify(cert, X509_get0_pubkey(issuer)) == 1;
}

bool Expired(X509* cert) { return X509_cmp_time(X509_get0_notAfter(cert), nullptr) < 0; }

struct DocumentCase {
    const char* file;
    const char* demoCa;    // the demo CA hierarchy it carries ("rsa", "sm2"), or none
    size_t roots, intermediates;
    size_t sha1Rsa, sha256Rsa, sm3Sm2;
    size_t expiredRoots, expiredIntermediates;
};
void PrintTo(const DocumentCase& c, std::ostream* os) { *os << c.file; }

class ChainDocument : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(ChainDocument, HasTheRootsBundleAndAlgorithmsOfItsChain)
{
    const DocumentCase& c = GetParam();
    const std::string xml = ReadAll(kSource / "resources" / "chains" / c.file);
    ASSERT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!--", 0), 0u);
    ASSERT_LT(xml.find("-->"), xml.find("<root>"));
    for (size_t at = xml.find('\n'); at != std::string::npos; at = xml.find('\n', at + 1))
        ASSERT_EQ(xml[at - 1], '\r') << "bare LF at " << at;
    ASSERT_GE(xml.size(), 9u);
    EXPECT_EQ(xml.substr(xml.size() - 9), "</root>\r\n");  // "root" is the document's last node

    // roots: the registry place, the thumbprint as key name, the property blob with the DER last
    std::vector<X509Ptr> roots;
    size_t expiredRoots = 0;
    size_t at = 0;
    for (std::string element; !(element = ElementText(xml, "Certificate", at)).empty();) {
        size_t inner = 0;
        EXPECT_EQ(ElementText(element, "ImportPath", inner), kImportPath);
        const std::string entryPoint = ElementText(element, "EntryPoint", inner);
        Bytes blob;
        ASSERT_TRUE(DecodeLines(ElementText(element, "Content", inner), blob));
        std::vector<uint32_t> ids;
        Bytes der;
        for (size_t pos = 0; pos < blob.size();) {
            ASSERT_LE(pos + 12, blob.size());
            const uint32_t id = Le32(blob, pos), length = Le32(blob, pos + 8);
            EXPECT_EQ(Le32(blob, pos + 4), 1u) << "reserved field of property " << id;
            ASSERT_LE(pos + 12 + length, blob.size());
            ids.push_back(id);
            const Bytes data(blob.begin() + static_cast<long>(pos + 12), blob.begin() + static_cast<long>(pos + 12 + length));
            if (id == 32) der = data;
            if (id == 3) {
                EXPECT_EQ(UpperHex(data), entryPoint) << "property 3 is the thumbprint";
            }
            pos += 12 + length;
        }
        EXPECT_EQ(ids, (std::vector<uint32_t>{3, 4, 15, 20, 25, 32}));
        EXPECT_EQ(entryPoint, Sha1Hex(der));
        X509Ptr root = Certificate(der);
        ASSERT_TRUE(root) << "property 32 is not one DER certificate";
        EXPECT_EQ(X509_check_issued(root.get(), root.get()), X509_V_OK) << "a root is self-issued";
        expiredRoots += Expired(root.get());
        roots.push_back(std::move(root));
    }
    EXPECT_EQ(roots.size(), c.roots);
    EXPECT_EQ(expiredRoots, c.expiredRoots);

    // the bundle: certificates only, none self-signed, each issued and signed by a root of this document
    at = 0;
    Bytes p7der;
    ASSERT_TRUE(DecodeLines(ElementText(xml, "P7bContent", at), p7der));
    const unsigned char* p = p7der.data();
    Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(p7der.size())));
    ASSERT_TRUE(p7 && PKCS7_type_is_signed(p7.get()));
    EXPECT_EQ(sk_PKCS7_SIGNER_INFO_num(p7->d.sign->signer_info), 0);
    EXPECT_EQ(p7->d.sign->contents->d.data, nullptr);
    STACK_OF(X509)* bundle = p7->d.sign->cert;
    ASSERT_EQ(static_cast<size_t>(sk_X509_num(bundle)), c.intermediates);
    size_t sha1 = 0, sha256 = 0, sm2 = 0, expired = 0;
    for (int i = 0; i < sk_X509_num(bundle); ++i) {
        X509* cert = sk_X509_value(bundle, i);
        EXPECT_NE(X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)), 0) << "self-signed in bundle";
        bool issued = false;
        for (const X509Ptr& root : roots)
            issued = issued || SignedBy(cert, root.get());
        EXPECT_TRUE(issued) << "intermediate " << i << " is not signed by a root of the document";
        char oid[64];
        OBJ_obj2txt(oid, sizeof(oid), X509_get0_tbs_sigalg(cert)->algorithm, 1);
        sha1 += std::strcmp(oid, "1.2.840.113549.1.1.5") == 0;
        sha256 += std::strcmp(oid, "1.2.840.113549.1.1.11") == 0;
        sm2 += std::strcmp(oid, "1.2.156.10197.1.501") == 0;
        expired += Expired(cert);
    }
    EXPECT_EQ(sha1, c.sha1Rsa);
    EXPECT_EQ(sha256, c.sha256Rsa);
    EXPECT_EQ(sm2, c.sm3Sm2);
    EXPECT_EQ(expired, c.expiredIntermediates);

    // the demo CA's own hierarchy is part of its production chain, so the certificates it issues chain up
    if (c.demoCa != nullptr) {
        const std::string prefix = c.demoCa;
        X509Ptr demoRoot = Certificate(BytesOf(ReadAll(kSource / "resources" / "democa-ca" / (prefix + "-root.der"))));
        X509Ptr demoCa = Certificate(BytesOf(ReadAll(kSource / "resources" / "democa-ca" / (prefix + "-ca.der"))));
        ASSERT_TRUE(demoRoot && demoCa);
        bool rootFound = false, caFound = false;
        for (const X509Ptr& root : roots) rootFound = rootFound || X509_cmp(root.get(), demoRoot.get()) == 0;
        for (int i = 0; i < sk_X509_num(bundle); ++i) caFound = caFound || X509_cmp(sk_X509_value(bundle, i), demoCa.get()) == 0;
        EXPECT_TRUE(rootFound && caFound);
    }
}

INSTANTIATE_TEST_SUITE_P(
    FourDocuments, ChainDocument,
    ::testing::Values(DocumentCase{"RsaCertificateChain.xml", "rsa", 3, 11, 6, 5, 0, 0, 0},
                      DocumentCase{"Sm2CertificateChain.xml", "sm2", 4, 18, 0, 0, 18, 1, 1},
                      DocumentCase{"TestRsaCertificateChain.xml", nullptr, 3, 10, 5, 5, 0, 0, 0},
                      DocumentCase{"TestSm2CertificateChain.xml", nullptr, 3, 10, 0, 0, 10, 0, 0}));

// ---- the removal lists, compiled as the program compiles them ----

enum Kind { DISCARDED_INTERMEDIATE, DISCARDED_ROOT };
struct DiscardedRow {
    Kind kind;
    const char *serial, *subject, *issuer, *thumbprint;
};
#define TEXT(s) s
#include "resources/chains/DiscardedCertificates.inc"
const DiscardedRow kRsaRows[] = {DISCARDED_RSA_CERTIFICATES};
const DiscardedRow kSm2Rows[] = {DISCARDED_SM2_CERTIFICATES};
#undef TEXT

// One row of the lists' shape: kind, serial digits, and the rows whose DN texts are this row's issuer and
// subject (1-based; 0: none required), and the row whose serial this one repeats.
struct ShapeRow {
    Kind kind;
    size_t serialDigits;
    int issuerIsSubjectOf, subjectIsSubjectOf, serialOf;
};

struct ListCase {
    const char* name;
    const DiscardedRow* rows;
    size_t count;
    std::vector<ShapeRow> shape;
};
void PrintTo(const ListCase& c, std::ostream* os) { *os << c.name; }

class DiscardedList : public ::testing::TestWithParam<ListCase> {};

TEST_P(DiscardedList, HasTheRemovalShapeAndNamesItsCertificates)
{
    const ListCase& c = GetParam();
    ASSERT_EQ(c.count, c.shape.size());
    for (size_t i = 0; i < c.count; ++i) {
        SCOPED_TRACE(i + 1);
        const DiscardedRow& row = c.rows[i];
        const ShapeRow& want = c.shape[i];
        EXPECT_EQ(row.kind, want.kind);
        EXPECT_EQ(std::strlen(row.serial), want.serialDigits);
        if (want.issuerIsSubjectOf) {
            EXPECT_STREQ(row.issuer, c.rows[want.issuerIsSubjectOf - 1].subject);
        }
        if (want.subjectIsSubjectOf) {
            EXPECT_STREQ(row.subject, c.rows[want.subjectIsSubjectOf - 1].subject);
        }
        if (want.serialOf) {
            EXPECT_STREQ(row.serial, c.rows[want.serialOf - 1].serial);
        }
        if (row.kind == DISCARDED_ROOT) {
            EXPECT_STREQ(row.subject, row.issuer);
        }

        // the certificate written for this row carries its serial, and a root's thumbprint is its SHA-1
        char file[64];
        std::snprintf(file, sizeof(file), "%s-%02zu-%s.der", c.name, i + 1,
                      row.kind == DISCARDED_ROOT ? "root" : "intermediate");
        const Bytes der = BytesOf(ReadAll(kSource / "resources" / "democa-ca" / "discarded" / file));
        X509Ptr cert = Certificate(der);
        ASSERT_TRUE(cert) << file;
        BignumPtr serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert.get()), nullptr));
        char* hex = serial ? BN_bn2hex(serial.get()) : nullptr;
        EXPECT_STREQ(hex, row.serial) << file;
        OPENSSL_free(hex);
        EXPECT_EQ(row.kind == DISCARDED_ROOT ? Sha1Hex(der) : "", row.thumbprint) << file;
        EXPECT_EQ(row.kind == DISCARDED_ROOT, X509_check_issued(cert.get(), cert.get()) == X509_V_OK) << file;
    }
}

using R = ShapeRow;
INSTANTIATE_TEST_SUITE_P(
    TwoLists, DiscardedList,
    ::testing::Values(ListCase{"rsa", kRsaRows, std::size(kRsaRows),
                               {R{DISCARDED_INTERMEDIATE, 8, 2, 0, 0}, R{DISCARDED_ROOT, 8, 0, 0, 0},
                                R{DISCARDED_INTERMEDIATE, 10, 4, 0, 0}, R{DISCARDED_ROOT, 8, 0, 0, 0},
                                R{DISCARDED_INTERMEDIATE, 10, 6, 0, 0}, R{DISCARDED_ROOT, 8, 0, 0, 0},
                                R{DISCARDED_INTERMEDIATE, 10, 9, 0, 0}, R{DISCARDED_INTERMEDIATE, 8, 9, 1, 1},
                                R{DISCARDED_ROOT, 8, 0, 0, 0}}},
                      ListCase{"sm2", kSm2Rows, std::size(kSm2Rows),
                               {R{DISCARDED_INTERMEDIATE, 10, 3, 0, 0}, R{DISCARDED_INTERMEDIATE, 10, 3, 0, 0},
                                R{DISCARDED_ROOT, 8, 0, 0, 0}, R{DISCARDED_INTERMEDIATE, 10, 5, 0, 0},
                                R{DISCARDED_ROOT, 8, 0, 0, 0}, R{DISCARDED_INTERMEDIATE, 10, 8, 0, 0},
                                R{DISCARDED_INTERMEDIATE, 10, 8, 0, 0}, R{DISCARDED_ROOT, 8, 0, 0, 0}}}));

}  // namespace
