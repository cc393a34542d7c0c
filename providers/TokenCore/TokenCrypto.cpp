// providers/TokenCore/TokenCrypto.cpp — OpenSSL behind the token: every object has an owner, every
// OpenSSL failure becomes the NTE_* code the entry point reports.
#include "TokenCrypto.h"

#include "ByteReader.h"
#include "Brindlemark/codec/DerWriter.h"

#include <algorithm>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace {

struct Free {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
    void operator()(BN_CTX* p) const { BN_CTX_free(p); }
    void operator()(EC_GROUP* p) const { EC_GROUP_free(p); }
    void operator()(EC_POINT* p) const { EC_POINT_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

const char SM2_DEFAULT_ID[] = "1234567812345678";

// Leaves no OpenSSL error behind for the next call on this thread.
CspStatus Failed(CspStatus status)
{
    ERR_clear_error();
    return status;
}

Owned<BIGNUM> BigNum(const ByteBuffer& be) { return Owned<BIGNUM>(BN_bin2bn(be.data(), static_cast<int>(be.size()), nullptr)); }

void AppendReversed(ByteBuffer& out, const BYTE* pb, size_t cb)
{
    for (size_t i = cb; i > 0; --i) out.push_back(pb[i - 1]);
}

bool BnToLittleEndian(const BIGNUM* bn, size_t cb, ByteBuffer& out)
{
    ByteBuffer be(cb);
    if (BN_bn2binpad(bn, be.data(), static_cast<int>(cb)) < 0) return false;
    AppendReversed(out, be.data(), cb);
    return true;
}

Owned<EVP_PKEY_CTX> ContextOf(EVP_PKEY* pkey) { return Owned<EVP_PKEY_CTX>(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr)); }

CspStatus Sm2KeyFromScalar(const BYTE* pbScalar, ByteBuffer& key)
{
    Owned<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_sm2));
    Owned<BIGNUM> d(BN_bin2bn(pbScalar, 32, nullptr));
    Owned<BIGNUM> limit(BN_new());
    if (!group || !d || !limit || !BN_copy(limit.get(), EC_GROUP_get0_order(group.get())) ||
        !BN_sub_word(limit.get(), 1))
        return Failed(NTE_NO_MEMORY);
    // An SM2 private key lies in [1, n-2].
    if (BN_is_zero(d.get()) || BN_cmp(d.get(), limit.get()) >= 0) return Failed(NTE_BAD_DATA);
    key.assign(pbScalar, pbScalar + 32);
    return CSP_OK;
}

Owned<BIGNUM> RsaParam(EVP_PKEY* pkey, const char* pszName)
{
    BIGNUM* pbn = nullptr;
    if (EVP_PKEY_get_bn_param(pkey, pszName, &pbn) != 1) return Owned<BIGNUM>();
    return Owned<BIGNUM>(pbn);
}

// The components of a delivered key must belong together: n = pq, ed = 1 modulo p-1 and q-1, and
// the CRT values derive from them. (OpenSSL's own pairwise check also proves primality: too slow.)
bool RsaComponentsConsistent(EVP_PKEY* pkey)
{
    Owned<BIGNUM> n = RsaParam(pkey, OSSL_PKEY_PARAM_RSA_N), e = RsaParam(pkey, OSSL_PKEY_PARAM_RSA_E),
                  d = RsaParam(pkey, OSSL_PKEY_PARAM_RSA_D), p = RsaParam(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1),
                  q = RsaParam(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2),
                  dp = RsaParam(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1),
                  dq = RsaParam(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2),
                  qinv = RsaParam(pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    Owned<BN_CTX> ctx(BN_CTX_new());
    Owned<BIGNUM> t(BN_new()), p1(BN_new()), q1(BN_new()), ed(BN_new());
    if (!n || !e || !d || !p || !q || !dp || !dq || !qinv || !ctx || !t || !p1 || !q1 || !ed) return false;
    if (BN_is_zero(p.get()) || BN_is_zero(q.get()) || BN_is_one(p.get()) || BN_is_one(q.get())) return false;
    if (!BN_mul(t.get(), p.get(), q.get(), ctx.get()) || BN_cmp(t.get(), n.get()) != 0) return false;
    if (!BN_sub(p1.get(), p.get(), BN_value_one()) || !BN_sub(q1.get(), q.get(), BN_value_one()) ||
        !BN_mul(ed.get(), e.get(), d.get(), ctx.get()))
        return false;
    if (!BN_mod(t.get(), ed.get(), p1.get(), ctx.get()) || !BN_is_one(t.get())) return false;
    if (!BN_mod(t.get(), ed.get(), q1.get(), ctx.get()) || !BN_is_one(t.get())) return false;
    if (!BN_mod(t.get(), d.get(), p1.get(), ctx.get()) || BN_cmp(t.get(), dp.get()) != 0) return false;
    if (!BN_mod(t.get(), d.get(), q1.get(), ctx.get()) || BN_cmp(t.get(), dq.get()) != 0) return false;
    return BN_mod_mul(t.get(), qinv.get(), q.get(), p.get(), ctx.get()) && BN_is_one(t.get());
}

CspStatus RsaKeyFromPkey(EVP_PKEY* pkey, ByteBuffer& key)
{
    if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) return Failed(NTE_BAD_DATA);
    int bits = EVP_PKEY_get_bits(pkey);
    if (bits < 512 || bits > 4096 || !RsaComponentsConsistent(pkey)) return Failed(NTE_BAD_DATA);
    unsigned char* pbDer = nullptr;
    int cbDer = i2d_PrivateKey(pkey, &pbDer);
    if (cbDer <= 0) return Failed(NTE_FAIL);
    key.assign(pbDer, pbDer + cbDer);
    OPENSSL_clear_free(pbDer, cbDer);
    return CSP_OK;
}

CspStatus RsaKeyFromPkcs1(const BYTE* pb, size_t cb, ByteBuffer& key)
{
    ByteReader outer(pb, cb);
    ByteReader contents;
    BYTE tag = 0;
    // Exactly one RSAPrivateKey, nothing after it.
    if (!outer.ReadTlv(tag, contents) || tag != 0x30 || !outer.Empty()) return Failed(NTE_BAD_DATA);
    const unsigned char* p = pb;
    PKey pkey(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(cb)));
    if (!pkey || p != pb + cb) return Failed(NTE_BAD_DATA);
    return RsaKeyFromPkey(pkey.get(), key);
}

CspStatus TripleDesEcbDecrypt(const BYTE* pbKey, const ByteBuffer& in, ByteBuffer& out)
{
    if (in.empty() || in.size() % 8 != 0) return Failed(NTE_BAD_DATA);
    Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_des_ede3_ecb(), nullptr, pbKey, nullptr) != 1)
        return Failed(NTE_FAIL);
    out.assign(in.size() + 8, 0);
    int cb1 = 0, cb2 = 0;
    if (EVP_DecryptUpdate(ctx.get(), out.data(), &cb1, in.data(), static_cast<int>(in.size())) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), out.data() + cb1, &cb2) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        out.clear();
        return Failed(NTE_BAD_DATA);
    }
    out.resize(static_cast<size_t>(cb1 + cb2));
    return CSP_OK;
}

}  // namespace

CspStatus GenerateKey(TokenKind kind, DWORD dwBits, ByteBuffer& key)
{
    if (kind == TokenKind::SM2) {
        PKey pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
        BIGNUM* pbn = nullptr;
        if (!pkey || EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &pbn) != 1) return Failed(NTE_FAIL);
        Owned<BIGNUM> d(pbn);
        BYTE scalar[32] = {};
        if (BN_bn2binpad(d.get(), scalar, 32) != 32) return Failed(NTE_FAIL);
        CspStatus status = Sm2KeyFromScalar(scalar, key);
        OPENSSL_cleanse(scalar, sizeof scalar);
        return status;
    }
    PKey pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(dwBits)));
    if (!pkey) return Failed(NTE_FAIL);
    return RsaKeyFromPkey(pkey.get(), key);
}

CspStatus LoadKey(TokenKind kind, const ByteBuffer& key, PKey& pkey)
{
    if (kind == TokenKind::RSA) {
        const unsigned char* p = key.data();
        pkey.reset(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(key.size())));
        return pkey ? CSP_OK : Failed(NTE_BAD_KEY);
    }
    if (key.size() != 32) return Failed(NTE_BAD_KEY);
    Owned<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_sm2));
    Owned<BIGNUM> d(BN_bin2bn(key.data(), 32, nullptr));
    Owned<BN_CTX> bnctx(BN_CTX_new());
    if (!group || !d || !bnctx) return Failed(NTE_NO_MEMORY);
    Owned<EC_POINT> point(EC_POINT_new(group.get()));
    BYTE pub[65] = {};
    if (!point || EC_POINT_mul(group.get(), point.get(), d.get(), nullptr, nullptr, bnctx.get()) != 1 ||
        EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, pub, sizeof pub, bnctx.get()) !=
            sizeof pub)
        return Failed(NTE_BAD_KEY);
    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!bld || OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, pub, sizeof pub) != 1)
        return Failed(NTE_NO_MEMORY);
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* pRaw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &pRaw, EVP_PKEY_KEYPAIR, params.get()) != 1)
        return Failed(NTE_BAD_KEY);
    pkey.reset(pRaw);
    return CSP_OK;
}

DWORD KeyBits(EVP_PKEY* pkey) { return static_cast<DWORD>(EVP_PKEY_get_bits(pkey)); }

CspStatus ExportPublicKeyBlob(TokenKind kind, EVP_PKEY* pkey, ALG_ID algid, ByteBuffer& blob)
{
    blob.clear();
    ByteWriter w;
    BYTE header[4] = {PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, 0};
    w.Bytes(header, sizeof header);
    w.U32(algid);
    if (kind == TokenKind::SM2) {
        BYTE pub[65] = {};
        size_t cbPub = 0;
        if (EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, pub, sizeof pub, &cbPub) != 1 ||
            cbPub != sizeof pub || pub[0] != 0x04)
            return Failed(NTE_BAD_KEY);
        w.U32(SM2_KEY_BITS);
        blob = std::move(w.Buffer());
        for (int coordinate = 0; coordinate < 2; ++coordinate) {
            AppendReversed(blob, pub + 1 + 32 * coordinate, 32);
            blob.insert(blob.end(), 32, 0);
        }
        return CSP_OK;
    }
    BIGNUM* pn = nullptr;
    BIGNUM* pe = nullptr;
    int okN = EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_N, &pn);
    int okE = EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_E, &pe);
    Owned<BIGNUM> n(pn), e(pe);
    if (okN != 1 || okE != 1 || BN_num_bytes(e.get()) > 4) return Failed(NTE_BAD_KEY);
    DWORD dwBits = (static_cast<DWORD>(BN_num_bits(n.get())) + 7) / 8 * 8;
    w.U32(0x31415352);  // "RSA1"
    w.U32(dwBits);
    w.U32(static_cast<DWORD>(BN_get_word(e.get())));
    blob = std::move(w.Buffer());
    if (!BnToLittleEndian(n.get(), dwBits / 8, blob)) return Failed(NTE_BAD_KEY);
    return CSP_OK;
}

const EVP_MD* DigestOfAlgid(TokenKind kind, ALG_ID algid)
{
    if (kind == TokenKind::SM2) return algid == CALG_SM3_HASH ? EVP_sm3() : nullptr;
    switch (algid) {
    case CALG_MD5: return EVP_md5();
    case CALG_SHA1: return EVP_sha1();
    case CALG_SHA_256: return EVP_sha256();
    case CALG_SHA_384: return EVP_sha384();
    case CALG_SHA_512: return EVP_sha512();
    default: return nullptr;
    }
}

namespace {
CspStatus Sm2SignatureToRaw(const ByteBuffer& der, ByteBuffer& sig)
{
    const unsigned char* p = der.data();
    Owned<ECDSA_SIG> ecsig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (!ecsig) return Failed(NTE_FAIL);
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(ecsig.get(), &r, &s);
    sig.clear();
    if (!BnToLittleEndian(r, 32, sig) || !BnToLittleEndian(s, 32, sig)) return Failed(NTE_FAIL);
    return CSP_OK;
}
}  // namespace

CspStatus Sm2SignData(EVP_PKEY* pkey, const ByteBuffer& data, ByteBuffer& sig)
{
    MdCtx md(EVP_MD_CTX_new());
    Owned<EVP_PKEY_CTX> pctx = ContextOf(pkey);
    if (!md || !pctx || EVP_PKEY_CTX_set1_id(pctx.get(), SM2_DEFAULT_ID, sizeof SM2_DEFAULT_ID - 1) <= 0)
        return Failed(NTE_FAIL);
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());  // stays owned here
    size_t cbDer = 0;
    if (EVP_DigestSignInit(md.get(), nullptr, EVP_sm3(), nullptr, pkey) != 1 ||
        EVP_DigestSignUpdate(md.get(), data.data(), data.size()) != 1 ||
        EVP_DigestSignFinal(md.get(), nullptr, &cbDer) != 1)
        return Failed(NTE_FAIL);
    ByteBuffer der(cbDer);
    if (EVP_DigestSignFinal(md.get(), der.data(), &cbDer) != 1) return Failed(NTE_FAIL);
    der.resize(cbDer);
    md.reset();
    return Sm2SignatureToRaw(der, sig);
}

CspStatus Sm2SignDigest(EVP_PKEY* pkey, const ByteBuffer& digest, ByteBuffer& sig)
{
    Owned<EVP_PKEY_CTX> pctx = ContextOf(pkey);
    size_t cbDer = 0;
    if (!pctx || EVP_PKEY_sign_init(pctx.get()) != 1 ||
        EVP_PKEY_sign(pctx.get(), nullptr, &cbDer, digest.data(), digest.size()) != 1)
        return Failed(NTE_FAIL);
    ByteBuffer der(cbDer);
    if (EVP_PKEY_sign(pctx.get(), der.data(), &cbDer, digest.data(), digest.size()) != 1) return Failed(NTE_FAIL);
    der.resize(cbDer);
    return Sm2SignatureToRaw(der, sig);
}

CspStatus RsaSignDigest(EVP_PKEY* pkey, const EVP_MD* md, const ByteBuffer& digest, bool bNoOid, ByteBuffer& sig)
{
    Owned<EVP_PKEY_CTX> pctx = ContextOf(pkey);
    if (!pctx || EVP_PKEY_sign_init(pctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        (!bNoOid && EVP_PKEY_CTX_set_signature_md(pctx.get(), md) <= 0))
        return Failed(NTE_FAIL);
    size_t cbSig = 0;
    if (EVP_PKEY_sign(pctx.get(), nullptr, &cbSig, digest.data(), digest.size()) != 1) return Failed(NTE_FAIL);
    ByteBuffer be(cbSig);
    if (EVP_PKEY_sign(pctx.get(), be.data(), &cbSig, digest.data(), digest.size()) != 1) return Failed(NTE_BAD_HASH);
    sig.clear();
    // Left-pad to the modulus size before turning it little-endian.
    size_t cbModulus = (KeyBits(pkey) + 7) / 8;
    sig.reserve(cbModulus);
    AppendReversed(sig, be.data(), cbSig);
    sig.resize(std::max(cbModulus, cbSig), 0);
    return CSP_OK;
}

CspStatus RsaDecrypt(EVP_PKEY* pkey, const BYTE* pb, size_t cb, bool bOaep, ByteBuffer& plain)
{
    if (cb != (KeyBits(pkey) + 7) / 8) return Failed(NTE_BAD_LEN);
    Owned<EVP_PKEY_CTX> pctx = ContextOf(pkey);
    if (!pctx || EVP_PKEY_decrypt_init(pctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx.get(), bOaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) <= 0)
        return Failed(NTE_FAIL);
    size_t cbPlain = cb;
    plain.assign(cb, 0);
    if (EVP_PKEY_decrypt(pctx.get(), plain.data(), &cbPlain, pb, cb) != 1) {
        plain.clear();
        return Failed(NTE_BAD_DATA);
    }
    plain.resize(cbPlain);
    return CSP_OK;
}

CspStatus Sm2KeyFromCiphertext(EVP_PKEY* exchangeKey, const BYTE* pbC1C3C2, size_t cb, ByteBuffer& key)
{
    if (cb != SM2_CIPHERTEXT_BYTES) return Failed(NTE_BAD_LEN);
    // OpenSSL takes SM2 ciphertext as SEQUENCE { x, y, C3, C2 }: the same order, with DER framing.
    ByteBuffer der;
    DerWriter writer(der);
    const DerWriter::Mark mark = writer.Open(0x30);
    writer.AppendUnsignedInteger(pbC1C3C2, 32);
    writer.AppendUnsignedInteger(pbC1C3C2 + 32, 32);
    writer.AppendTlv(0x04, pbC1C3C2 + 64, 32);
    writer.AppendTlv(0x04, pbC1C3C2 + 96, cb - 96);
    if (!writer.Close(mark)) return Failed(NTE_NO_MEMORY);

    Owned<EVP_PKEY_CTX> pctx = ContextOf(exchangeKey);
    size_t cbPlain = 0;
    if (!pctx || EVP_PKEY_decrypt_init(pctx.get()) != 1 ||
        EVP_PKEY_decrypt(pctx.get(), nullptr, &cbPlain, der.data(), der.size()) != 1)
        return Failed(NTE_BAD_DATA);
    ByteBuffer plain(cbPlain);
    // Fails when C3 does not match, which is how a ciphertext in the other order shows.
    if (EVP_PKEY_decrypt(pctx.get(), plain.data(), &cbPlain, der.data(), der.size()) != 1 || cbPlain != 32) {
        OPENSSL_cleanse(plain.data(), plain.size());
        return Failed(NTE_BAD_DATA);
    }
    CspStatus status = Sm2KeyFromScalar(plain.data(), key);
    OPENSSL_cleanse(plain.data(), plain.size());
    return status;
}

CspStatus RsaKeyFromEnvelope(EVP_PKEY* exchangeKey, const BYTE* pbDer, size_t cb, ByteBuffer& key)
{
    static const BYTE kRsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    static const BYTE kTripleDesEcb[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07};
    ByteReader outer(pbDer, cb);
    ByteReader seq;
    BYTE tag = 0;
    if (!outer.ReadTlv(tag, seq) || tag != 0x30 || !outer.Empty()) return Failed(NTE_BAD_DATA);
    ByteBuffer version, asymAlg, symAlg, sessionKey, privateKey;
    if (!seq.ReadTlv(0x02, version) || !seq.ReadTlv(0x06, asymAlg) || !seq.ReadTlv(0x06, symAlg) ||
        !seq.ReadTlv(0x04, sessionKey) || !seq.ReadTlv(0x04, privateKey) || !seq.Empty())
        return Failed(NTE_BAD_DATA);
    if (version != ByteBuffer{0x01}) return Failed(NTE_BAD_VER);
    if (asymAlg != ByteBuffer(std::begin(kRsaEncryption), std::end(kRsaEncryption)) ||
        symAlg != ByteBuffer(std::begin(kTripleDesEcb), std::end(kTripleDesEcb)))
        return Failed(NTE_BAD_ALGID);
    if (privateKey.empty()) return Failed(NTE_BAD_DATA);

    ByteBuffer pkcs1;
    if (!sessionKey.empty()) {
        ByteBuffer session;
        CspStatus status = RsaDecrypt(exchangeKey, sessionKey.data(), sessionKey.size(), false, session);
        if (status != CSP_OK) return status;
        // A 32-byte session key carries the Triple-DES key in its first 24 bytes.
        if (session.size() != 24 && session.size() != 32) {
            OPENSSL_cleanse(session.data(), session.size());
            return Failed(NTE_BAD_DATA);
        }
        status = TripleDesEcbDecrypt(session.data(), privateKey, pkcs1);
        OPENSSL_cleanse(session.data(), session.size());
        if (status != CSP_OK) return status;
    } else {
        // No session key: the private key comes as consecutive blocks for the exchange key.
        size_t cbBlock = (KeyBits(exchangeKey) + 7) / 8;
        if (privateKey.size() % cbBlock != 0) return Failed(NTE_BAD_LEN);
        for (size_t pos = 0; pos < privateKey.size(); pos += cbBlock) {
            ByteBuffer chunk;
            CspStatus status = RsaDecrypt(exchangeKey, privateKey.data() + pos, cbBlock, false, chunk);
            if (status != CSP_OK) {
                OPENSSL_cleanse(pkcs1.data(), pkcs1.size());
                return status;
            }
            pkcs1.insert(pkcs1.end(), chunk.begin(), chunk.end());
            OPENSSL_cleanse(chunk.data(), chunk.size());
        }
    }
    CspStatus status = RsaKeyFromPkcs1(pkcs1.data(), pkcs1.size(), key);
    OPENSSL_cleanse(pkcs1.data(), pkcs1.size());
    return status;
}

CspStatus RsaKeyFromParts(const RsaBlobParts& parts, ByteBuffer& key)
{
    Owned<BIGNUM> n = BigNum(parts.n), e = BigNum(parts.e), d = BigNum(parts.d), p = BigNum(parts.p),
                  q = BigNum(parts.q), dp = BigNum(parts.dp), dq = BigNum(parts.dq), qinv = BigNum(parts.qinv);
    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!n || !e || !d || !p || !q || !dp || !dq || !qinv || !bld) return Failed(NTE_NO_MEMORY);
    if (OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get()) != 1)
        return Failed(NTE_NO_MEMORY);
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* pRaw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &pRaw, EVP_PKEY_KEYPAIR, params.get()) != 1)
        return Failed(NTE_BAD_DATA);
    PKey pkey(pRaw);
    return RsaKeyFromPkey(pkey.get(), key);
}

CspStatus RandomBytes(BYTE* pb, DWORD cb)
{
    if (cb == 0) return CSP_OK;
    return RAND_bytes(pb, static_cast<int>(cb)) == 1 ? CSP_OK : Failed(NTE_FAIL);
}
