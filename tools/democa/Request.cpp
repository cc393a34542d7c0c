// tools/democa/Request.cpp — the structure is walked with DerReader; keys, names and signatures are
// decided by OpenSSL.
#include "Request.h"

#include <cstring>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include "Der.h"

namespace democa {

namespace {

const char kRsaEncryption[] = "1.2.840.113549.1.1.1";
const char kEcPublicKey[] = "1.2.840.10045.2.1";
const char kSm2Curve[] = "1.2.156.10197.1.301";
const char kChallengePassword[] = "1.2.840.113549.1.9.7";
const char kTemporaryKeyAttribute[] = "1.2.840.113549.1.9.63";
const char kSm2Identity[] = "1234567812345678";
// The SM2 exchange key travels as a 136-byte record: this header, then 64-byte X and Y fields whose first
// 32 bytes hold the coordinate big-endian.
const uint8_t kSm2TemporaryKeyHeader[] = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
constexpr size_t kSm2TemporaryKeySize = 136;

struct SignatureAlgorithm {
    const char* oid;
    KeyType keyType;
    const EVP_MD* (*digest)();
};
const SignatureAlgorithm kSignatureAlgorithms[] = {
    {"1.2.840.113549.1.1.4", KeyType::Rsa, EVP_md5},     // the agent's MD5 variant
    {"1.2.840.113549.1.1.5", KeyType::Rsa, EVP_sha1},    // the agent's RSA requests
    {"1.2.840.113549.1.1.14", KeyType::Rsa, EVP_sha224},
    {"1.2.840.113549.1.1.11", KeyType::Rsa, EVP_sha256},
    {"1.2.840.113549.1.1.12", KeyType::Rsa, EVP_sha384},
    {"1.2.840.113549.1.1.13", KeyType::Rsa, EVP_sha512},
    {"1.2.156.10197.1.501", KeyType::Sm2, EVP_sm3},
};

Status NotARequest(const std::string& why)
{
    return Status::BadInput("the request is not a PKCS#10 certification request: " + why);
}

// "1.3.101.112 (ED25519)" where OpenSSL knows a name.
std::string OidWithName(const std::string& oid)
{
    const int nid = OBJ_txt2nid(oid.c_str());
    ERR_clear_error();
    return nid == NID_undef ? oid : oid + " (" + OBJ_nid2sn(nid) + ")";
}

// Contents of a BIT STRING without unused bits.
bool BitStringBits(const DerElement& element, ByteView& bits)
{
    if (element.contents.empty() || element.contents[0] != 0) return false;
    bits = element.contents.subspan(1);
    return true;
}

Status ReadPublicKey(const DerElement& spki, CertRequest& request)
{
    DerReader info(spki.contents);
    DerElement algorithm, keyBits;
    if (!info.Expect(0x30, algorithm) || !info.Expect(0x03, keyBits) || !info.Empty())
        return NotARequest("SubjectPublicKeyInfo is not { AlgorithmIdentifier, BIT STRING }");
    DerReader alg(algorithm.contents);
    DerElement oid, params;
    if (!alg.Expect(0x06, oid)) return NotARequest("the public key algorithm has no identifier");
    const bool hasParams = alg.Next(params);
    if (alg.Failed() || !alg.Empty()) return NotARequest("malformed public key algorithm");
    const std::string keyOid = OidText(oid.contents);

    if (keyOid == kRsaEncryption) {
        const unsigned char* p = spki.whole.data();
        PkeyPtr key(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.whole.size())));
        if (!key || p != spki.whole.data() + spki.whole.size() || !EVP_PKEY_is_a(key.get(), "RSA")) {
            ERR_clear_error();
            return NotARequest("the RSA public key does not decode");
        }
        request.keyType = KeyType::Rsa;
        request.keyBits = EVP_PKEY_get_bits(key.get());
        request.publicKey = std::move(key);
        if (request.keyBits < 512 || request.keyBits > 16384)
            return Status::BadInput("the request's RSA key has " + std::to_string(request.keyBits) +
                                    " bits; 512 to 16384 are accepted");
        return Status::Success();
    }
    if (keyOid != kEcPublicKey) return Status::BadInput("unknown key type in the request: " + OidWithName(keyOid));
    if (!hasParams || params.tag != 0x06)
        return Status::BadInput("unknown key type in the request: an EC key without a named curve");
    const std::string curve = OidText(params.contents);
    if (curve != kSm2Curve)
        return Status::BadInput("unknown key type in the request: an EC key on curve " + OidWithName(curve));
    ByteView point;
    if (!BitStringBits(keyBits, point) || !Sm2KeyFromPoint(point, request.publicKey))
        return NotARequest("the SM2 public key is not a point on the curve");
    request.keyType = KeyType::Sm2;
    request.keyBits = 256;
    return Status::Success();
}

// The agent writes r and s at full width (a leading 00 byte is kept); OpenSSL accepts only minimal
// INTEGERs, so the numbers are read leniently and written again.
bool MinimalSm2Signature(ByteView bits, Bytes& der)
{
    DerReader top(bits);
    DerElement seq, r, s;
    if (!top.Expect(0x30, seq) || !top.Empty()) return false;
    DerReader fields(seq.contents);
    if (!fields.Expect(0x02, r) || !fields.Expect(0x02, s) || !fields.Empty()) return false;
    for (const DerElement* number : {&r, &s})
        if (number->contents.empty() || number->contents.size() > 33 || (number->contents[0] & 0x80) != 0)
            return false;
    BignumPtr bnR(BN_bin2bn(r.contents.data(), static_cast<int>(r.contents.size()), nullptr));
    BignumPtr bnS(BN_bin2bn(s.contents.data(), static_cast<int>(s.contents.size()), nullptr));
    EcdsaSigPtr sig(ECDSA_SIG_new());
    if (!bnR || !bnS || !sig || ECDSA_SIG_set0(sig.get(), bnR.get(), bnS.get()) != 1) return false;
    bnR.release();  // sig owns them now
    bnS.release();
    der = DerOf<ECDSA_SIG>(sig.get(), i2d_ECDSA_SIG);
    return !der.empty();
}

Status VerifySignature(const CertRequest& request, const DerElement& info, const DerElement& sigAlg,
                       const DerElement& sigBits)
{
    DerReader alg(sigAlg.contents);
    DerElement oid, params;
    if (!alg.Expect(0x06, oid)) return NotARequest("the signature algorithm has no identifier");
    if (alg.Next(params) && params.tag != 0x05) return NotARequest("signature algorithm parameters are not NULL");
    if (alg.Failed() || !alg.Empty()) return NotARequest("malformed signature algorithm");
    const std::string sigOid = OidText(oid.contents);
    const SignatureAlgorithm* found = nullptr;
    for (const SignatureAlgorithm& candidate : kSignatureAlgorithms)
        if (sigOid == candidate.oid) found = &candidate;
    if (found == nullptr) return Status::BadInput("unsupported signature algorithm " + OidWithName(sigOid));
    if (found->keyType != request.keyType)
        return Status::BadInput("signature algorithm " + OidWithName(sigOid) + " does not fit the request's " +
                                KeyTypeName(request.keyType) + " key");
    ByteView signature;
    if (!BitStringBits(sigBits, signature)) return NotARequest("the signature BIT STRING has unused bits");

    const Status badSignature = Status::BadInput("the request's signature does not verify");
    Bytes sm2Signature;
    PkeyCtxPtr pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, request.publicKey.get(), nullptr));
    MdCtxPtr md(EVP_MD_CTX_new());  // after pctx: it borrows pctx and must be freed first
    if (!pctx || !md) return OpenSslFailure("signature verification set-up");
    if (request.keyType == KeyType::Sm2) {
        if (!MinimalSm2Signature(signature, sm2Signature)) {
            ERR_clear_error();
            return Status::BadInput("the request's SM2 signature is not SEQUENCE { INTEGER r, INTEGER s }");
        }
        signature = sm2Signature;
        if (EVP_PKEY_CTX_set1_id(pctx.get(), kSm2Identity, strlen(kSm2Identity)) <= 0)
            return OpenSslFailure("SM2 identity");
    }
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    if (EVP_DigestVerifyInit(md.get(), nullptr, found->digest(), nullptr, request.publicKey.get()) != 1)
        return OpenSslFailure("signature verification set-up");
    if (EVP_DigestVerify(md.get(), signature.data(), signature.size(), info.whole.data(), info.whole.size()) != 1) {
        ERR_clear_error();
        return badSignature;
    }
    return Status::Success();
}

Status ReadTemporaryKey(ByteView keyBytes, CertRequest& request)
{
    if (request.keyType == KeyType::Rsa) {
        const unsigned char* p = keyBytes.data();
        PkeyPtr key(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(keyBytes.size())));
        if (!key || p != keyBytes.data() + keyBytes.size()) {
            ERR_clear_error();
            return Status::BadInput("the temporary key is not an RSAPublicKey");
        }
        const int bits = EVP_PKEY_get_bits(key.get());
        if (bits < 512 || bits > 4096)
            return Status::BadInput("the temporary RSA key has " + std::to_string(bits) +
                                    " bits; 512 to 4096 are accepted");
        request.temporaryKey = std::move(key);
        return Status::Success();
    }
    if (keyBytes.size() != kSm2TemporaryKeySize ||
        memcmp(keyBytes.data(), kSm2TemporaryKeyHeader, sizeof(kSm2TemporaryKeyHeader)) != 0)
        return Status::BadInput("the temporary SM2 key is not the 136-byte exchange key record");
    Bytes point{0x04};
    point.insert(point.end(), keyBytes.begin() + 8, keyBytes.begin() + 40);
    point.insert(point.end(), keyBytes.begin() + 72, keyBytes.begin() + 104);
    if (!Sm2KeyFromPoint(point, request.temporaryKey))
        return Status::BadInput("the temporary SM2 key is not a point on the curve");
    return Status::Success();
}

// Attributes are SEQUENCE { type, value } as the agent writes them, or the standard
// SEQUENCE { type, SET { value } }; only the challenge password and the temporary key matter here.
Status ReadAttributes(const DerElement& attributes, CertRequest& request)
{
    DerReader reader(attributes.contents);
    DerElement attribute;
    bool hasPassword = false;
    while (reader.Next(attribute)) {
        DerReader fields(attribute.contents);
        DerElement oid, value;
        if (attribute.tag != 0x30 || !fields.Expect(0x06, oid) || !fields.Next(value))
            return NotARequest("an attribute is not { OBJECT IDENTIFIER, value }");
        if (value.tag == 0x31) {
            DerReader set(value.contents);
            if (!set.Next(value)) return NotARequest("an attribute has an empty SET of values");
        }
        const std::string type = OidText(oid.contents);
        if (type == kChallengePassword) hasPassword = true;
        if (type != kTemporaryKeyAttribute) continue;

        if (request.temporaryKey) return Status::BadInput("the request carries more than one temporary key");
        DerReader wrapped(value.contents);
        DerElement seq, version, key;
        if (value.tag != 0x04 || !wrapped.Expect(0x30, seq) || !wrapped.Empty())
            return Status::BadInput("the temporary key attribute is not an OCTET STRING holding a SEQUENCE");
        DerReader inner(seq.contents);
        if (!inner.Expect(0x02, version) || !inner.Expect(0x04, key) || !inner.Empty())
            return Status::BadInput("the temporary key attribute is not { INTEGER, OCTET STRING }");
        if (version.contents.size() != 1 || version.contents[0] != 1)
            return Status::BadInput("the temporary key attribute has an unknown version");
        if (Status status = ReadTemporaryKey(key.contents, request); !status.Ok()) return status;
    }
    if (reader.Failed()) return NotARequest("malformed attributes");
    if (hasPassword && !request.temporaryKey)
        return Status::BadInput("a double request without a temporary key (challenge password but no exchange key)");
    return Status::Success();
}

}  // namespace

const char* KeyTypeName(KeyType type) { return type == KeyType::Rsa ? "RSA" : "SM2"; }

bool Sm2KeyFromPoint(ByteView point, PkeyPtr& key)
{
    ParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!builder || OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) != 1)
        return false;
    ParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* raw = nullptr;
    // the import decodes the point and refuses one off the curve
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        ERR_clear_error();
        return false;
    }
    key.reset(raw);
    return true;
}

Status ReadCertRequest(std::string_view text, CertRequest& request)
{
    request = CertRequest();
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) return Status::BadInput("the request is empty");
    Bytes der;
    if (!Base64Decode(text, der)) return Status::BadInput("the request is not Base64 text");

    DerReader top(der);
    DerElement outer;
    if (!top.Expect(0x30, outer) || !top.Empty()) return NotARequest("not exactly one DER SEQUENCE");
    DerReader body(outer.contents);
    DerElement info, sigAlg, sigBits;
    if (!body.Expect(0x30, info) || !body.Expect(0x30, sigAlg) || !body.Expect(0x03, sigBits) || !body.Empty())
        return NotARequest("not { CertificationRequestInfo, AlgorithmIdentifier, BIT STRING }");

    DerReader fields(info.contents);
    DerElement version, name, spki, attributes;
    if (!fields.Expect(0x02, version) || !fields.Expect(0x30, name) || !fields.Expect(0x30, spki))
        return NotARequest("CertificationRequestInfo is not { version, subject, SubjectPublicKeyInfo, ... }");
    const bool hasAttributes = fields.Next(attributes);
    if (fields.Failed() || !fields.Empty() || (hasAttributes && attributes.tag != 0xA0))
        return NotARequest("unexpected elements after the SubjectPublicKeyInfo");
    if (version.contents.size() != 1 || version.contents[0] != 0) return NotARequest("version is not 0");

    const unsigned char* p = name.whole.data();
    request.subject.reset(d2i_X509_NAME(nullptr, &p, static_cast<long>(name.whole.size())));
    if (!request.subject || p != name.whole.data() + name.whole.size()) {
        ERR_clear_error();
        return NotARequest("the subject does not decode");
    }
    if (X509_NAME_entry_count(request.subject.get()) == 0) return Status::BadInput("the request's subject is empty");

    if (Status status = ReadPublicKey(spki, request); !status.Ok()) return status;
    if (Status status = VerifySignature(request, info, sigAlg, sigBits); !status.Ok()) return status;
    if (hasAttributes)
        if (Status status = ReadAttributes(attributes, request); !status.Ok()) return status;
    // the encryption key is made the signing key's size, and the client's key blob splits it in sixteenths
    if (request.IsDouble() && request.keyType == KeyType::Rsa &&
        (request.keyBits > 4096 || request.keyBits % 16 != 0))
        return Status::BadInput("an RSA double request needs a signing key of 512 to 4096 bits in steps of 16; this one has " +
                                std::to_string(request.keyBits));
    return Status::Success();
}

}  // namespace democa
