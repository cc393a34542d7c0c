// tests/native/support/RequestChecks.cpp — every structural fact is read with DerWalker; every
// cryptographic fact is decided by OpenSSL.
#include "support/RequestChecks.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>

#include "support/OsslOwners.h"

namespace bm {

namespace {

const char kRsaEncryption[] = "1.2.840.113549.1.1.1";
const char kEcPublicKey[] = "1.2.840.10045.2.1";
const char kSm2Curve[] = "1.2.156.10197.1.301";
const char kChallengePassword[] = "1.2.840.113549.1.9.7";
const char kTemporaryKeyAttribute[] = "1.2.840.113549.1.9.63";
const char kSm2Identity[] = "1234567812345678";

const uint8_t kSha1WithRsa[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05, 0x05, 0x00};
const uint8_t kMd5WithRsa[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04, 0x05, 0x00};
const uint8_t kSm2WithSm3[] = {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75, 0x05, 0x00};
const uint8_t kDerNull[] = {0x05, 0x00};
const uint8_t kSm2TemporaryKeyHeader[] = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
constexpr size_t kSm2TemporaryKeySize = 136;

bool Same(ByteView a, ByteView b) { return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin()); }

std::string AsText(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string OpenSslError()
{
    std::string text;
    while (unsigned long e = ERR_get_error()) {
        char sz[256];
        ERR_error_string_n(e, sz, sizeof(sz));
        if (!text.empty()) text += "; ";
        text += sz;
    }
    return text.empty() ? "no OpenSSL error recorded" : text;
}

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Bits of a positive DER INTEGER's contents, or 0 when it is not a positive minimal INTEGER.
size_t PositiveIntegerBits(ByteView contents)
{
    if (contents.empty() || (contents[0] & 0x80) != 0) return 0;
    size_t i = 0;
    if (contents[0] == 0) {
        if (contents.size() == 1 || (contents[1] & 0x80) == 0) return 0;
        i = 1;
    }
    size_t bits = (contents.size() - i - 1) * 8;
    for (uint8_t top = contents[i]; top != 0; top >>= 1) ++bits;
    return bits;
}

// SM2 public key of a 65-byte uncompressed point, validated on the curve first.
std::string Sm2KeyFromPoint(ByteView point, PkeyPtr& key)
{
    EcGroupPtr group(EC_GROUP_new_by_curve_name(NID_sm2));
    EcPointPtr ecPoint(group ? EC_POINT_new(group.get()) : nullptr);
    if (!ecPoint) return "SM2 curve unavailable: " + OpenSslError();
    if (point.size() != 65 || point[0] != 0x04 ||
        EC_POINT_oct2point(group.get(), ecPoint.get(), point.data(), point.size(), nullptr) != 1) {
        ERR_clear_error();
        return "SM2 point is not on the curve: " + HexOf(point.first(std::min<size_t>(point.size(), 8))) + "...";
    }
    ParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!builder || OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) != 1)
        return "parameter build failed: " + OpenSslError();
    ParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return "SM2 key from point failed: " + OpenSslError();
    key.reset(raw);
    return {};
}

std::string VerifySm2(ByteView point, ByteView derSignature, ByteView data)
{
    PkeyPtr key;
    if (std::string why = Sm2KeyFromPoint(point, key); !why.empty()) return why;
    PkeyCtxPtr pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    MdCtxPtr md(EVP_MD_CTX_new());  // declared after pctx: it borrows pctx and must go first
    if (!pctx || !md || EVP_PKEY_CTX_set1_id(pctx.get(), kSm2Identity, strlen(kSm2Identity)) <= 0)
        return "SM2 verification set-up failed: " + OpenSslError();
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    if (EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, key.get()) != 1)
        return "SM2 verification set-up failed: " + OpenSslError();
    const int rc = EVP_DigestVerify(md.get(), derSignature.data(), derSignature.size(), data.data(), data.size());
    if (rc != 1) {
        ERR_clear_error();
        return "SM2 signature does not verify over the CertificationRequestInfo";
    }
    return {};
}

}  // namespace

std::string DecodeRequestText(std::string_view text, Bytes& der)
{
    der.clear();
    if (text.empty()) return "request text is empty";
    if (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") return "text ends with CR LF";
    for (size_t i = 0; i < text.size(); ++i) {
        const bool crlf = text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
        if (crlf) {
            ++i;
        } else if (text[i] == '\r' || text[i] == '\n') {
            return "bare CR or LF at offset " + std::to_string(i);
        }
    }
    std::string joined;
    size_t pos = 0;
    size_t lineNo = 0;
    for (;;) {
        const size_t end = text.find("\r\n", pos);
        const std::string_view line = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        ++lineNo;
        const bool last = end == std::string_view::npos;
        if (line.empty()) return last ? "text ends with CR LF" : "empty line " + std::to_string(lineNo);
        if (line.size() > 64 || (!last && line.size() != 64))
            return "line " + std::to_string(lineNo) + " has " + std::to_string(line.size()) + " characters";
        for (char c : line)
            if (Base64Value(c) < 0 && c != '=')
                return "line " + std::to_string(lineNo) + " holds a character outside Base64: " +
                       std::to_string(static_cast<unsigned char>(c));
        joined.append(line);
        if (last) break;
        pos = end + 2;
    }
    if (joined.size() % 4 != 0) return "Base64 length " + std::to_string(joined.size()) + " is not a multiple of 4";
    const size_t firstPad = joined.find('=');
    if (firstPad != std::string::npos && (firstPad < joined.size() - 2 || joined.find_first_not_of('=', firstPad) !=
                                                                               std::string::npos))
        return "'=' inside the Base64 text";
    for (size_t i = 0; i < joined.size(); i += 4) {
        int v[4];
        int pads = 0;
        for (int k = 0; k < 4; ++k) {
            v[k] = joined[i + k] == '=' ? 0 : Base64Value(joined[i + k]);
            pads += joined[i + k] == '=';
        }
        const uint32_t n = static_cast<uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        der.push_back(static_cast<uint8_t>(n >> 16));
        if (pads < 2) der.push_back(static_cast<uint8_t>(n >> 8));
        if (pads < 1) der.push_back(static_cast<uint8_t>(n));
        // bits below the last full byte must be zero in a canonical encoding
        if ((pads == 2 && (v[1] & 0x0F) != 0) || (pads == 1 && (v[2] & 0x03) != 0))
            return "Base64 padding bits are not zero";
    }
    return {};
}

std::string ParseRequest(Bytes der, ParsedRequest& parsed)
{
    parsed = ParsedRequest();
    parsed.der = std::move(der);
    DerWalker top(parsed.der);
    DerElement request;
    if (!top.Expect(0x30, request) || !top.Empty()) return "the request is not exactly one DER SEQUENCE";

    DerWalker body(request.contents);
    DerElement info, sigAlg, sigBits;
    if (!body.Expect(0x30, info)) return "no CertificationRequestInfo SEQUENCE";
    if (!body.Expect(0x30, sigAlg)) return "no signature AlgorithmIdentifier SEQUENCE";
    if (!body.Expect(0x03, sigBits)) return "no signature BIT STRING";
    if (!body.Empty()) return "elements after the signature";
    if (sigBits.contents.empty() || sigBits.contents[0] != 0) return "signature BIT STRING with unused bits";
    parsed.info = info.whole;
    parsed.signatureAlgorithm = sigAlg.whole;
    parsed.signature = sigBits.contents.subspan(1);

    DerWalker fields(info.contents);
    DerElement version, name, spki, attributes;
    if (!fields.Expect(0x02, version)) return "no version INTEGER";
    if (!fields.Expect(0x30, name)) return "no subject Name";
    if (!fields.Expect(0x30, spki)) return "no SubjectPublicKeyInfo";
    parsed.infoElementCount = 3;
    if (!fields.Empty()) {
        if (!fields.Next(attributes)) return "malformed element after SubjectPublicKeyInfo";
        ++parsed.infoElementCount;
        if (attributes.tag != 0xA0) return "element after SubjectPublicKeyInfo is not [0]";
        parsed.hasAttributes = true;
        parsed.attributes = attributes.contents;
        DerElement extra;
        while (fields.Next(extra)) ++parsed.infoElementCount;
        if (fields.Failed()) return "malformed element in CertificationRequestInfo";
    }
    parsed.version = version.whole;
    parsed.name = name.whole;
    parsed.spki = spki.whole;

    DerWalker keyInfo(spki.contents);
    DerElement algorithm, keyBits;
    if (!keyInfo.Expect(0x30, algorithm) || !keyInfo.Expect(0x03, keyBits) || !keyInfo.Empty())
        return "SubjectPublicKeyInfo is not SEQUENCE { AlgorithmIdentifier, BIT STRING }";
    if (keyBits.contents.empty() || keyBits.contents[0] != 0) return "public key BIT STRING with unused bits";
    parsed.publicKeyElement = keyBits.whole;
    parsed.publicKey = keyBits.contents.subspan(1);
    DerWalker alg(algorithm.contents);
    DerElement oid, params;
    if (!alg.Expect(0x06, oid) || !alg.Next(params) || !alg.Empty())
        return "public key AlgorithmIdentifier is not { OBJECT IDENTIFIER, parameters }";
    parsed.keyAlgorithmOid = OidText(oid.contents);
    parsed.keyAlgorithmParams = params.whole;
    return {};
}

std::string ExpectedRdns(std::string_view subjectDn, std::vector<Rdn>& rdns)
{
    struct Key {
        const char* name;
        const char* oid;
        uint8_t tag;
    };
    static const Key kKeys[] = {
        {"CN", "2.5.4.3", 0x0C},      {"SERIALNUMBER", "2.5.4.5", 0x13}, {"C", "2.5.4.6", 0x13},
        {"L", "2.5.4.7", 0x0C},       {"S", "2.5.4.8", 0x0C},            {"ST", "2.5.4.8", 0x0C},
        {"STREET", "2.5.4.9", 0x0C},  {"O", "2.5.4.10", 0x0C},           {"OU", "2.5.4.11", 0x0C},
        {"E", "1.2.840.113549.1.9.1", 0x16}, {"EMAIL", "1.2.840.113549.1.9.1", 0x16},
    };
    rdns.clear();
    size_t pos = 0;
    while (pos <= subjectDn.size()) {
        size_t comma = subjectDn.find(',', pos);
        if (comma == std::string_view::npos) comma = subjectDn.size();
        const std::string_view item = subjectDn.substr(pos, comma - pos);
        const size_t eq = item.find('=');
        if (eq == std::string_view::npos || item.find('=', eq + 1) != std::string_view::npos)
            return "subject item without exactly one '=': " + std::string(item);
        std::string key;
        for (char c : item.substr(0, eq))
            if (c != ' ') key += static_cast<char>(toupper(static_cast<unsigned char>(c)));
        const Key* found = nullptr;
        for (const Key& k : kKeys)
            if (key == k.name) found = &k;
        if (found == nullptr) return "subject key the peer does not know: " + key;
        rdns.push_back({found->oid, found->tag, std::string(item.substr(eq + 1))});
        pos = comma + 1;
    }
    std::reverse(rdns.begin(), rdns.end());
    return {};
}

std::string CheckSubject(const ParsedRequest& parsed, std::string_view subjectDn)
{
    std::vector<Rdn> want;
    if (std::string why = ExpectedRdns(subjectDn, want); !why.empty()) return why;
    DerWalker outer(parsed.name);
    DerElement name;
    if (!outer.Expect(0x30, name)) return "subject is not a SEQUENCE";
    DerWalker sets(name.contents);
    for (size_t i = 0; i < want.size(); ++i) {
        const std::string where = "subject component " + std::to_string(i + 1) + " (" + want[i].oid + ")";
        DerElement set, pair, oid, value;
        if (!sets.Expect(0x31, set)) return where + ": no SET";
        DerWalker inSet(set.contents);
        if (!inSet.Expect(0x30, pair) || !inSet.Empty()) return where + ": SET does not hold exactly one SEQUENCE";
        DerWalker inPair(pair.contents);
        if (!inPair.Expect(0x06, oid) || !inPair.Next(value) || !inPair.Empty())
            return where + ": not { OBJECT IDENTIFIER, value }";
        if (OidText(oid.contents) != want[i].oid) return where + ": identifier is " + OidText(oid.contents);
        if (value.tag != want[i].tag)
            return where + ": value tag " + HexOf(ByteView(&value.tag, 1)) + ", want " +
                   HexOf(ByteView(&want[i].tag, 1));
        if (AsText(value.contents) != want[i].value)
            return where + ": value \"" + AsText(value.contents) + "\", want \"" + want[i].value + "\"";
    }
    if (!sets.Empty()) return "subject has more components than the text";
    return {};
}

std::string CheckPublicKeyInfo(const ParsedRequest& parsed, const RequestExpectation& expect)
{
    if (expect.algorithm == KeyAlgorithm::Rsa) {
        if (parsed.keyAlgorithmOid != kRsaEncryption) return "public key algorithm is " + parsed.keyAlgorithmOid;
        if (!Same(parsed.keyAlgorithmParams, kDerNull)) return "RSA key parameters are not NULL";
        DerWalker walker(parsed.publicKey);
        DerElement seq, n, e;
        if (!walker.Expect(0x30, seq) || !walker.Empty()) return "public key bits are not one RSAPublicKey";
        DerWalker fields(seq.contents);
        if (!fields.Expect(0x02, n) || !fields.Expect(0x02, e) || !fields.Empty())
            return "RSAPublicKey is not { INTEGER, INTEGER }";
        const size_t bits = PositiveIntegerBits(n.contents);
        if (bits == 0 || PositiveIntegerBits(e.contents) == 0) return "RSA modulus or exponent is not a positive INTEGER";
        if (expect.keyBits != 0 && bits != expect.keyBits)
            return "RSA modulus has " + std::to_string(bits) + " bits, want " + std::to_string(expect.keyBits);
        return {};
    }
    if (parsed.keyAlgorithmOid != kEcPublicKey) return "public key algorithm is " + parsed.keyAlgorithmOid;
    DerWalker params(parsed.keyAlgorithmParams);
    DerElement curve;
    if (!params.Expect(0x06, curve) || OidText(curve.contents) != kSm2Curve)
        return "SM2 key parameters are not the identifier " + std::string(kSm2Curve);
    if (parsed.publicKeyElement.size() != 68 || parsed.publicKeyElement[0] != 0x03 ||
        parsed.publicKeyElement[1] != 0x42 || parsed.publicKeyElement[2] != 0x00 || parsed.publicKeyElement[3] != 0x04)
        return "SM2 public key is not 03 42 00 04 X Y: " + HexOf(parsed.publicKeyElement.first(
                                                               std::min<size_t>(parsed.publicKeyElement.size(), 4)));
    PkeyPtr key;
    return Sm2KeyFromPoint(parsed.publicKey, key);
}

std::string CheckSignatureAlgorithm(const ParsedRequest& parsed, const RequestExpectation& expect)
{
    ByteView want;
    if (expect.algorithm == KeyAlgorithm::Sm2) want = kSm2WithSm3;
    else if (expect.hash == RequestHash::Md5) want = kMd5WithRsa;
    else want = kSha1WithRsa;
    if (!Same(parsed.signatureAlgorithm, want))
        return "signature algorithm is " + HexOf(parsed.signatureAlgorithm) + ", want " + HexOf(want);
    return {};
}

std::string CheckAttributes(ParsedRequest& parsed, const RequestExpectation& expect)
{
    parsed.temporaryKey.clear();
    if (!Same(parsed.version, std::vector<uint8_t>{0x02, 0x01, 0x00})) return "version is not 02 01 00";
    if (!expect.isDouble) {
        if (parsed.infoElementCount != 3)
            return "single request has " + std::to_string(parsed.infoElementCount) +
                   " elements in CertificationRequestInfo, want 3 and no [0]";
        return {};
    }
    if (!parsed.hasAttributes || parsed.infoElementCount != 4) return "double request without exactly one [0]";

    DerWalker attrs(parsed.attributes);
    DerElement password, keyAttr;
    if (!attrs.Expect(0x30, password) || !attrs.Expect(0x30, keyAttr) || !attrs.Empty())
        return "[0] does not hold exactly two attribute SEQUENCEs";

    DerWalker pw(password.contents);
    DerElement oid, value;
    if (!pw.Expect(0x06, oid) || OidText(oid.contents) != kChallengePassword)
        return "first attribute is not the challenge password";
    if (!pw.Next(value) || !pw.Empty()) return "challenge password attribute is not { OBJECT IDENTIFIER, value }";
    if (value.tag == 0x31) return "challenge password value is wrapped in a SET";
    if (value.tag != 0x13 || AsText(value.contents) != "246802")
        return "challenge password is not PrintableString \"246802\": " + HexOf(value.whole);

    DerWalker tk(keyAttr.contents);
    DerElement octets;
    if (!tk.Expect(0x06, oid) || OidText(oid.contents) != kTemporaryKeyAttribute)
        return "second attribute is not the temporary key";
    if (!tk.Next(octets) || !tk.Empty()) return "temporary key attribute is not { OBJECT IDENTIFIER, value }";
    if (octets.tag == 0x31) return "temporary key value is wrapped in a SET";
    if (octets.tag != 0x04) return "temporary key value is not an OCTET STRING";
    DerWalker wrapped(octets.contents);
    DerElement seq, version, key;
    if (!wrapped.Expect(0x30, seq) || !wrapped.Empty()) return "temporary key OCTET STRING does not hold one SEQUENCE";
    DerWalker inner(seq.contents);
    if (!inner.Expect(0x02, version) || !Same(version.whole, std::vector<uint8_t>{0x02, 0x01, 0x01}))
        return "temporary key SEQUENCE does not start with 02 01 01";
    if (!inner.Expect(0x04, key) || !inner.Empty()) return "temporary key SEQUENCE lacks the OCTET STRING";

    if (expect.algorithm == KeyAlgorithm::Rsa) {
        DerWalker rsa(key.contents);
        DerElement rsaSeq, n, e;
        if (!rsa.Expect(0x30, rsaSeq) || !rsa.Empty()) return "temporary key is not one RSAPublicKey";
        DerWalker fields(rsaSeq.contents);
        if (!fields.Expect(0x02, n) || !fields.Expect(0x02, e) || !fields.Empty())
            return "temporary RSAPublicKey is not { INTEGER, INTEGER }";
        if (PositiveIntegerBits(n.contents) != 1024 || PositiveIntegerBits(e.contents) == 0)
            return "temporary RSA modulus has " + std::to_string(PositiveIntegerBits(n.contents)) + " bits, want 1024";
        if (Same(key.contents, parsed.publicKey)) return "temporary key equals the signing key";
    } else {
        if (key.contents.size() != kSm2TemporaryKeySize)
            return "SM2 temporary key has " + std::to_string(key.contents.size()) + " bytes, want 136";
        if (!Same(key.contents.first(8), kSm2TemporaryKeyHeader))
            return "SM2 temporary key header is " + HexOf(key.contents.first(8));
        Bytes point = {0x04};
        point.insert(point.end(), key.contents.begin() + 8, key.contents.begin() + 40);
        point.insert(point.end(), key.contents.begin() + 72, key.contents.begin() + 104);
        PkeyPtr pkey;
        if (std::string why = Sm2KeyFromPoint(point, pkey); !why.empty()) return "temporary key: " + why;
        if (Same(point, parsed.publicKey)) return "temporary key equals the signing key";
    }
    parsed.temporaryKey.assign(key.contents.begin(), key.contents.end());
    return {};
}

std::string CheckSm2SignatureEncoding(ByteView signatureBits)
{
    DerWalker top(signatureBits);
    DerElement seq;
    if (!top.Expect(0x30, seq) || !top.Empty()) return "SM2 signature is not one SEQUENCE";
    DerWalker fields(seq.contents);
    const char* names[] = {"r", "s"};
    for (const char* name : names) {
        DerElement integer;
        if (!fields.Expect(0x02, integer)) return std::string("SM2 signature lacks INTEGER ") + name;
        const ByteView c = integer.contents;
        const bool plain = c.size() == 32 && c[0] < 0x80;
        const bool padded = c.size() == 33 && c[0] == 0x00 && c[1] >= 0x80;
        if (!plain && !padded)
            return std::string("SM2 INTEGER ") + name + " is not 32 bytes (33 with a 00 before a high byte): " +
                   HexOf(integer.whole.first(std::min<size_t>(integer.whole.size(), 4))) + "...";
    }
    if (!fields.Empty()) return "SM2 signature has more than two INTEGERs";
    return {};
}

std::string VerifyRequestSignature(const ParsedRequest& parsed, const RequestExpectation& expect)
{
    if (expect.algorithm == KeyAlgorithm::Sm2) {
        // OpenSSL wants the INTEGERs minimal; the request keeps them at full width, so re-encode the numbers.
        DerWalker top(parsed.signature);
        DerElement seq, r, s;
        if (!top.Expect(0x30, seq)) return "SM2 signature is not a SEQUENCE";
        DerWalker fields(seq.contents);
        if (!fields.Expect(0x02, r) || !fields.Expect(0x02, s)) return "SM2 signature is not two INTEGERs";
        if (r.contents.empty() || s.contents.empty() || (r.contents[0] & 0x80) || (s.contents[0] & 0x80))
            return "SM2 signature INTEGER is empty or negative";
        BignumPtr bnR(BN_bin2bn(r.contents.data(), static_cast<int>(r.contents.size()), nullptr));
        BignumPtr bnS(BN_bin2bn(s.contents.data(), static_cast<int>(s.contents.size()), nullptr));
        EcdsaSigPtr sig(ECDSA_SIG_new());
        if (!bnR || !bnS || !sig || ECDSA_SIG_set0(sig.get(), bnR.get(), bnS.get()) != 1)
            return "SM2 signature numbers: " + OpenSslError();
        bnR.release();  // owned by sig now
        bnS.release();
        unsigned char* der = nullptr;
        const int derLen = i2d_ECDSA_SIG(sig.get(), &der);
        if (derLen <= 0) return "SM2 signature re-encoding failed: " + OpenSslError();
        const Bytes minimal(der, der + derLen);
        OPENSSL_free(der);
        return VerifySm2(parsed.publicKey, minimal, parsed.info);
    }

    const unsigned char* p = parsed.spki.data();
    PkeyPtr key(d2i_PUBKEY(nullptr, &p, static_cast<long>(parsed.spki.size())));
    if (!key) return "OpenSSL cannot read the SubjectPublicKeyInfo: " + OpenSslError();
    const size_t modulusBytes = static_cast<size_t>(EVP_PKEY_get_size(key.get()));
    if (parsed.signature.size() != modulusBytes)
        return "RSA signature has " + std::to_string(parsed.signature.size()) + " bytes, the modulus " +
               std::to_string(modulusBytes);
    MdCtxPtr md(EVP_MD_CTX_new());
    const EVP_MD* digest = expect.hash == RequestHash::Md5 ? EVP_md5() : EVP_sha1();
    if (!md || EVP_DigestVerifyInit(md.get(), nullptr, digest, nullptr, key.get()) != 1)
        return "RSA verification set-up failed: " + OpenSslError();
    if (EVP_DigestVerify(md.get(), parsed.signature.data(), parsed.signature.size(), parsed.info.data(),
                         parsed.info.size()) != 1) {
        ERR_clear_error();
        return std::string("RSA PKCS#1 v1.5 signature with ") + (expect.hash == RequestHash::Md5 ? "MD5" : "SHA-1") +
               " does not verify over the CertificationRequestInfo";
    }
    return {};
}

std::string VerifyWithX509Req(const Bytes& der)
{
    const unsigned char* p = der.data();
    X509ReqPtr req(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
    if (!req || p != der.data() + der.size()) return "OpenSSL cannot parse the request: " + OpenSslError();
    EVP_PKEY* key = X509_REQ_get0_pubkey(req.get());
    if (key == nullptr) return "OpenSSL finds no public key in the request: " + OpenSslError();
    if (X509_REQ_verify(req.get(), key) != 1) {
        const std::string why = OpenSslError();
        return "X509_REQ_verify rejects the request: " + why;
    }
    return {};
}

std::vector<std::string> CheckRequest(std::string_view text, const RequestExpectation& expect,
                                      ParsedRequest* parsedOut)
{
    std::vector<std::string> failures;
    Bytes der;
    if (std::string why = DecodeRequestText(text, der); !why.empty()) {
        failures.push_back("text: " + why);
        return failures;
    }
    ParsedRequest parsed;
    if (std::string why = ParseRequest(der, parsed); !why.empty()) {
        failures.push_back("structure: " + why);
        return failures;
    }
    auto add = [&failures](const char* what, const std::string& why) {
        if (!why.empty()) failures.push_back(std::string(what) + ": " + why);
    };
    add("subject", CheckSubject(parsed, expect.subjectDn));
    add("public key", CheckPublicKeyInfo(parsed, expect));
    add("signature algorithm", CheckSignatureAlgorithm(parsed, expect));
    add("attributes", CheckAttributes(parsed, expect));
    if (expect.algorithm == KeyAlgorithm::Sm2) add("signature encoding", CheckSm2SignatureEncoding(parsed.signature));
    add("signature", VerifyRequestSignature(parsed, expect));
    if (expect.algorithm == KeyAlgorithm::Rsa && !expect.isDouble) add("OpenSSL", VerifyWithX509Req(parsed.der));
    if (parsedOut != nullptr) *parsedOut = std::move(parsed);
    return failures;
}

}  // namespace bm
