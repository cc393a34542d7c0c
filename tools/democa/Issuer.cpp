// tools/democa/Issuer.cpp
#include "Issuer.h"

#include <cstring>

#include <openssl/err.h>
#include <openssl/rand.h>

namespace democa {

namespace {

const char kSm2Identity[] = "1234567812345678";
constexpr long kHour = 60L * 60;
constexpr long kDay = 24 * kHour;
constexpr long kEndEntityDays = 365;
constexpr long kCaDays = 3650;

struct Extension {
    int nid;
    const char* value;
};

// Extensions after the key identifiers, in certificate order.
std::vector<Extension> ProfileExtensions(CertProfile profile, bool sm2Key)
{
    switch (profile) {
    case CertProfile::RootCa:
        return {{NID_basic_constraints, "critical,CA:TRUE"}, {NID_key_usage, "critical,keyCertSign,cRLSign"}};
    case CertProfile::IssuingCa:
        return {{NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
                {NID_key_usage, "critical,keyCertSign,cRLSign"}};
    case CertProfile::Signing:
        return {{NID_basic_constraints, "critical,CA:FALSE"},
                {NID_key_usage, "critical,digitalSignature,nonRepudiation"}};
    case CertProfile::Encryption:
        // an SM2 encryption key also serves key agreement; RSA only wraps
        if (sm2Key)
            return {{NID_basic_constraints, "critical,CA:FALSE"},
                    {NID_key_usage, "critical,keyEncipherment,dataEncipherment,keyAgreement"}};
        return {{NID_basic_constraints, "critical,CA:FALSE"},
                {NID_key_usage, "critical,keyEncipherment,dataEncipherment"}};
    case CertProfile::Server:
        // browsers match the address against the alternative names only, never the common name
        return {{NID_basic_constraints, "critical,CA:FALSE"},
                {NID_key_usage, "critical,digitalSignature,keyEncipherment"},
                {NID_ext_key_usage, "serverAuth"},
                {NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1"}};
    }
    return {};
}

Status AddExtension(X509* cert, X509V3_CTX& ctx, int nid, const char* value)
{
    X509ExtPtr ext(X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value));
    if (!ext || X509_add_ext(cert, ext.get(), -1) != 1)
        return OpenSslFailure(std::string("certificate extension ") + OBJ_nid2sn(nid));
    return Status::Success();
}

// Positive and exactly 16 bytes long, so the INTEGER's contents are the bytes the agent lists.
Status SetRandomSerial(X509* cert)
{
    uint8_t serial[16];
    if (RAND_bytes(serial, sizeof(serial)) != 1) return OpenSslFailure("serial number");
    serial[0] &= 0x7F;
    if (serial[0] == 0) serial[0] = 0x01;
    BignumPtr number(BN_bin2bn(serial, sizeof(serial), nullptr));
    if (!number || !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert)))
        return OpenSslFailure("serial number");
    return Status::Success();
}

Status SetFixedSerial(X509* cert, const Bytes& serial)
{
    if (serial.empty() || (serial[0] & 0x80) || (serial.size() > 1 && serial[0] == 0 && !(serial[1] & 0x80)))
        return Status::Internal("a fixed serial number must be positive and minimal");
    BignumPtr number(BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr));
    if (!number || !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert)))
        return OpenSslFailure("serial number");
    return Status::Success();
}

Status SignCertificate(X509* cert, EVP_PKEY* key, const EVP_MD* digest)
{
    const bool sm2 = EVP_PKEY_is_a(key, "SM2");
    PkeyCtxPtr pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    MdCtxPtr md(EVP_MD_CTX_new());  // after pctx: it borrows pctx and must be freed first
    if (!pctx || !md) return OpenSslFailure("certificate signing set-up");
    if (sm2 && EVP_PKEY_CTX_set1_id(pctx.get(), kSm2Identity, strlen(kSm2Identity)) <= 0)
        return OpenSslFailure("SM2 identity");
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    if (EVP_DigestSignInit(md.get(), nullptr, sm2 ? EVP_sm3() : digest ? digest : EVP_sha256(), nullptr, key) != 1 ||
        X509_sign_ctx(cert, md.get()) <= 0)
        return OpenSslFailure("certificate signing");
    return Status::Success();
}

}  // namespace

Status BuildCertificate(const CertContents& contents, X509Ptr& cert, const FixedFields& fixed)
{
    X509Ptr made(X509_new());
    if (!made || X509_set_version(made.get(), X509_VERSION_3) != 1) return OpenSslFailure("new certificate");
    if (Status status = fixed.serial.empty() ? SetRandomSerial(made.get()) : SetFixedSerial(made.get(), fixed.serial);
        !status.Ok())
        return status;
    if (X509_set_subject_name(made.get(), contents.subject) != 1 ||
        X509_set_issuer_name(made.get(), contents.issuer ? X509_get_subject_name(contents.issuer) : contents.subject) != 1 ||
        X509_set_pubkey(made.get(), contents.publicKey) != 1)
        return OpenSslFailure("certificate subject, issuer and key");

    const bool endEntity = contents.profile == CertProfile::Signing || contents.profile == CertProfile::Encryption ||
                           contents.profile == CertProfile::Server;
    if (fixed.notBefore != 0 || fixed.notAfter != 0) {
        if (!ASN1_TIME_set(X509_getm_notBefore(made.get()), fixed.notBefore) ||
            !ASN1_TIME_set(X509_getm_notAfter(made.get()), fixed.notAfter))
            return OpenSslFailure("certificate validity");
    } else if (!X509_gmtime_adj(X509_getm_notBefore(made.get()), -kHour) ||
               !X509_gmtime_adj(X509_getm_notAfter(made.get()), (endEntity ? kEndEntityDays : kCaDays) * kDay)) {
        return OpenSslFailure("certificate validity");
    }
    // a certificate that outlives its issuer would fail chain checks before its own end
    if (contents.issuer && ASN1_TIME_compare(X509_get0_notAfter(made.get()), X509_get0_notAfter(contents.issuer)) > 0 &&
        X509_set1_notAfter(made.get(), X509_get0_notAfter(contents.issuer)) != 1)
        return OpenSslFailure("certificate validity");

    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, contents.issuer ? contents.issuer : made.get(), made.get(), nullptr, nullptr, 0);
    if (Status status = AddExtension(made.get(), ctx, NID_subject_key_identifier, "hash"); !status.Ok()) return status;
    if (Status status = AddExtension(made.get(), ctx, NID_authority_key_identifier, "keyid:always"); !status.Ok())
        return status;
    for (const Extension& ext : ProfileExtensions(contents.profile, EVP_PKEY_is_a(contents.publicKey, "SM2")))
        if (Status status = AddExtension(made.get(), ctx, ext.nid, ext.value); !status.Ok()) return status;

    if (Status status = SignCertificate(made.get(), contents.issuerKey, fixed.digest); !status.Ok()) return status;
    cert = std::move(made);
    return Status::Success();
}

std::string SerialHex(const X509* cert)
{
    static const char kDigits[] = "0123456789abcdef";
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    const unsigned char* data = ASN1_STRING_get0_data(serial);
    std::string text;
    for (int i = 0; i < ASN1_STRING_length(serial); ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    return text;
}

std::string NameText(const X509_NAME* name)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

}  // namespace democa
