// tools/chaindocs/Documents.cpp — the chain documents byte for byte: UTF-8, CR LF, a comment before "root",
// roots as property blobs under the ROOT registry place, intermediates in a PKCS#7 bundle.
#include "Documents.h"

#include <fstream>

#include <openssl/pkcs7.h>

#include "Der.h"

namespace chaindocs {

namespace fs = std::filesystem;
using namespace democa;

namespace {

constexpr size_t kBase64LineLength = 76;
const char kImportPath[] = "SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates";

// Property ids of the blob: SHA-1 and MD5 of the DER, the to-be-signed hash, the key identifier, MD5 of the
// public key, its bit length, and the DER itself.
enum : uint32_t {
    kSha1HashProp = 3,
    kMd5HashProp = 4,
    kSignatureHashProp = 15,
    kKeyIdentifierProp = 20,
    kPublicKeyMd5Prop = 25,
    kPublicKeyBitLengthProp = 92,
    kCertificateProp = 32,
};

Bytes Digest(const EVP_MD* md, ByteView data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!md || EVP_Digest(data.data(), data.size(), out, &length, md, nullptr) != 1) return {};
    return Bytes(out, out + length);
}

void AppendLe32(Bytes& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void AppendProperty(Bytes& blob, uint32_t id, ByteView data)
{
    AppendLe32(blob, id);
    AppendLe32(blob, 1);
    AppendLe32(blob, static_cast<uint32_t>(data.size()));
    blob.insert(blob.end(), data.begin(), data.end());
}

// The encoded tbsCertificate, exactly as signed.
ByteView ToBeSigned(const Bytes& der)
{
    DerElement certificate, tbs;
    DerReader outer(der);
    if (!outer.Expect(0x30, certificate)) return {};
    DerReader inner(certificate.contents);
    return inner.Expect(0x30, tbs) ? tbs.whole : ByteView();
}

// The platform hashes the to-be-signed part with the hash of the certificate's own signature algorithm
// (SHA-1, SHA-256, and for SM2 certificates SM3).
const EVP_MD* SignatureHash(const X509* cert)
{
    int mdNid = NID_undef, pkeyNid = NID_undef;
    if (OBJ_find_sigid_algs(X509_get_signature_nid(cert), &mdNid, &pkeyNid) != 1) return nullptr;
    return EVP_get_digestbynid(mdNid);
}

std::string Hex(ByteView bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) text += {kDigits[b >> 4], kDigits[b & 15]};
    return text;
}

std::string NameText(const X509_NAME* name, unsigned long order)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_FN_SN | order |
                                                           ASN1_STRFLGS_UTF8_CONVERT) < 0)
        return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

std::string XmlAttribute(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// A certificates-only SignedData: version 1, no digest algorithms, data content type without content,
// the certificates in the given order, no signers.
Status Bundle(const std::vector<X509*>& certs, Bytes& der)
{
    OsslPtr<PKCS7, PKCS7_free> p7(PKCS7_new());
    if (!p7 || PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1 ||
        PKCS7_content_new(p7.get(), NID_pkcs7_data) != 1)
        return OpenSslFailure("PKCS#7 bundle");
    // the empty data content carries no octets at all
    ASN1_OCTET_STRING_free(p7->d.sign->contents->d.data);
    p7->d.sign->contents->d.data = nullptr;
    for (X509* cert : certs)
        if (PKCS7_add_certificate(p7.get(), cert) != 1) return OpenSslFailure("PKCS#7 bundle");
    der = DerOf<PKCS7>(p7.get(), i2d_PKCS7);
    if (der.empty()) return OpenSslFailure("PKCS#7 bundle encoding");
    return Status::Success();
}

Status WriteText(const fs::path& path, const std::string& text)
{
    const fs::perms readable =
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;
    return WriteFileAtomically(path, text, readable);
}

}  // namespace

Bytes PropertyBlob(X509* cert)
{
    const Bytes der = DerOf<X509>(cert, i2d_X509);
    const ByteView tbs = ToBeSigned(der);
    const unsigned char* bits = nullptr;
    int bitsLength = 0;
    X509_PUBKEY_get0_param(nullptr, &bits, &bitsLength, nullptr, X509_get_X509_PUBKEY(cert));
    const ByteView publicKey(bits, bits ? static_cast<size_t>(bitsLength) : 0);
    const ASN1_OCTET_STRING* keyId = X509_get0_subject_key_id(cert);
    // without the extension the platform takes the SHA-1 of the public key bits
    const Bytes keyIdentifier =
        keyId ? Bytes(keyId->data, keyId->data + keyId->length) : Digest(EVP_sha1(), publicKey);
    const Bytes signatureHash = Digest(SignatureHash(cert), tbs);
    if (der.empty() || tbs.empty() || publicKey.empty() || signatureHash.empty()) return {};

    Bytes blob, bitLength;
    AppendLe32(bitLength, static_cast<uint32_t>(EVP_PKEY_get_bits(X509_get0_pubkey(cert))));
    AppendProperty(blob, kSha1HashProp, Digest(EVP_sha1(), der));
    AppendProperty(blob, kMd5HashProp, Digest(EVP_md5(), der));
    AppendProperty(blob, kSignatureHashProp, signatureHash);
    AppendProperty(blob, kKeyIdentifierProp, keyIdentifier);
    AppendProperty(blob, kPublicKeyMd5Prop, Digest(EVP_md5(), publicKey));
    AppendProperty(blob, kPublicKeyBitLengthProp, bitLength);
    AppendProperty(blob, kCertificateProp, der);
    return blob;
}

std::string Base64Lines(ByteView bytes)
{
    const std::string text = Base64Encode(bytes);
    std::string out;
    for (size_t at = 0; at < text.size(); at += kBase64LineLength)
        out += text.substr(at, kBase64LineLength) + "\r\n";
    return out;
}

std::string NameInEncodedOrder(const X509_NAME* name) { return NameText(name, 0); }
std::string NameReversed(const X509_NAME* name) { return NameText(name, XN_FLAG_DN_REV); }

std::string Thumbprint(X509* cert) { return Hex(Digest(EVP_sha1(), DerOf<X509>(cert, i2d_X509))); }

Status WriteChainDocument(const ChainDocumentSpec& spec, const CaMaterial& material, const fs::path& outDir)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";
    xml += "<!-- Brindlemark Demo CA: " + spec.description + ", resource " + std::to_string(spec.resourceId) + ", " +
           std::to_string(spec.roots.size()) + " root certificates and " + std::to_string(spec.intermediates.size()) +
           " intermediate CA certificates. -->\r\n";
    xml += "<!-- Written by chaindocs from the demo CA folder; regenerate it rather than edit it. -->\r\n";
    xml += "<root>\r\n  <RootCACertificate>\r\n";
    for (const std::string& file : spec.roots) {
        X509* cert = material.Cert(file);
        const Bytes blob = cert ? PropertyBlob(cert) : Bytes();
        if (blob.empty()) return Status::Internal("no property blob for " + file);
        xml += "    <Certificate SerialNum=\"" + SerialHex(cert) + "\" SubjectDN=\"" +
               XmlAttribute(NameInEncodedOrder(X509_get_subject_name(cert))) + "\">\r\n";
        xml += std::string("      <ImportPath>") + kImportPath + "</ImportPath>\r\n";
        xml += "      <EntryPoint>" + Thumbprint(cert) + "</EntryPoint>\r\n";
        xml += "      <Content>\r\n" + Base64Lines(blob) + "      </Content>\r\n";
        xml += "    </Certificate>\r\n";
    }
    xml += "  </RootCACertificate>\r\n";
    std::vector<X509*> intermediates;
    for (const std::string& file : spec.intermediates) {
        X509* cert = material.Cert(file);
        if (!cert) return Status::Internal("no certificate " + file);
        intermediates.push_back(cert);
    }
    Bytes bundle;
    if (Status s = Bundle(intermediates, bundle); !s.Ok()) return s;
    xml += "  <P7bContent>\r\n" + Base64Lines(bundle) + "  </P7bContent>\r\n";
    xml += "</root>\r\n";
    return WriteText(outDir / spec.fileName, xml);
}

}  // namespace chaindocs
