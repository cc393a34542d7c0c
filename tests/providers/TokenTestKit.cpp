// tests/providers/TokenTestKit.cpp — shared helpers of the token tests (see TokenTestKit.h).
#include "TokenTestKit.h"

#include <objbase.h>

#include <openssl/ec.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace tokentest {
namespace {

struct CtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, CtxFree>;

void DerLength(ByteBuffer& out, size_t cb)
{
    if (cb < 0x80) {
        out.push_back(static_cast<BYTE>(cb));
    } else if (cb < 0x100) {
        Append(out, {0x81, static_cast<BYTE>(cb)});
    } else {
        Append(out, {0x82, static_cast<BYTE>(cb >> 8), static_cast<BYTE>(cb)});
    }
}

ByteBuffer Tlv(BYTE tag, const ByteBuffer& contents)
{
    ByteBuffer out{tag};
    DerLength(out, contents.size());
    Append(out, contents);
    return out;
}

// Reads one TLV of the expected tag (short or long length form) at pos; empty on a mismatch.
ByteBuffer TakeTlv(const ByteBuffer& der, size_t& pos, BYTE tag)
{
    if (pos + 2 > der.size() || der[pos] != tag) return {};
    size_t cb = der[pos + 1], hdr = 2;
    if (cb & 0x80) {
        size_t n = cb & 0x7F;
        cb = 0;
        for (size_t i = 0; i < n; ++i) cb = (cb << 8) | der[pos + 2 + i];
        hdr += n;
    }
    ByteBuffer out(der.begin() + static_cast<long>(pos + hdr), der.begin() + static_cast<long>(pos + hdr + cb));
    pos += hdr + cb;
    return out;
}

ByteBuffer Fixed32(const ByteBuffer& integer)
{
    ByteBuffer v = integer;
    while (v.size() > 32 && v[0] == 0) v.erase(v.begin());
    ByteBuffer out(32 - std::min<size_t>(32, v.size()), 0);
    Append(out, v);
    return out;
}

Owned<BIGNUM> GetBn(EVP_PKEY* pkey, const char* name)
{
    BIGNUM* bn = nullptr;
    EVP_PKEY_get_bn_param(pkey, name, &bn);
    return Owned<BIGNUM>(bn);
}

ByteBuffer BnBytes(const BIGNUM* bn, int cb)
{
    ByteBuffer out(static_cast<size_t>(cb));
    BN_bn2binpad(bn, out.data(), cb);
    return out;
}

void AppendLe(ByteBuffer& out, const BIGNUM* bn, int cb)
{
    ByteBuffer be = BnBytes(bn, cb);
    out.insert(out.end(), be.rbegin(), be.rend());
}

void PutU32(ByteBuffer& out, DWORD dw)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(dw >> (8 * i)));
}

void PutAddress(ByteBuffer& out, const void* pv)
{
    const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(pv);
    for (size_t i = 0; i < sizeof(ULONG_PTR); ++i) out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

}  // namespace

IsolatedStore::IsolatedStore()
{
    WCHAR wszTemp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, wszTemp);
    m_dir = WString(wszTemp) + TEXT("bmtoken-") + NewContainerName();
    SetEnvironmentVariableW(TEXT("BRINDLEMARK_TOKEN_DIR"), m_dir.c_str());
}

IsolatedStore::~IsolatedStore()
{
    SetEnvironmentVariableW(TEXT("BRINDLEMARK_TOKEN_DIR"), nullptr);
    WIN32_FIND_DATAW fd = {};
    HANDLE hFind = FindFirstFileW((m_dir + TEXT("\\*")).c_str(), &fd);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((m_dir + TEXT("\\") + fd.cFileName).c_str());
        } while (FindNextFileW(hFind, &fd));
        FindClose(hFind);
    }
    RemoveDirectoryW(m_dir.c_str());
}

WString NewContainerName()
{
    GUID guid = {};
    CoCreateGuid(&guid);
    WCHAR wsz[64] = {};
    StringFromGUID2(guid, wsz, 64);
    return wsz;
}

std::string Narrow(const WString& w)
{
    std::string s;
    for (WCHAR ch : w) s.push_back(static_cast<char>(ch));
    return s;
}

DWORD Acquire(CryptProv& prov, const WString& container, const WCHAR* pwszProv, DWORD dwFlags)
{
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, container.empty() ? nullptr : container.c_str(), pwszProv, PROV_RSA_FULL, dwFlags))
        return GetLastError();
    prov = CryptProv(h);
    return 0;
}

DWORD AcquireRaw(const WCHAR* pwszContainer, const WCHAR* pwszProv, DWORD dwFlags)
{
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, pwszContainer, pwszProv, PROV_RSA_FULL, dwFlags)) return GetLastError();
    if (h != 0) CryptReleaseContext(h, 0);
    return 0;
}

TokenContainer::TokenContainer(const WCHAR* pwszProv, const WString& name) : m_pwszProv(pwszProv), m_name(name)
{
    m_bCreated = Acquire(m_prov, m_name, m_pwszProv, CRYPT_NEWKEYSET) == 0;
    EXPECT_TRUE(m_bCreated) << "creating container failed: " << std::hex << GetLastError();
}

TokenContainer::~TokenContainer()
{
    m_prov.reset();
    if (m_bCreated) AcquireRaw(m_name.c_str(), m_pwszProv, CRYPT_DELETEKEYSET);
}

DWORD TokenContainer::Open()
{
    m_prov.reset();
    return Acquire(m_prov, m_name, m_pwszProv, 0);
}

DWORD TokenContainer::GenKey(ALG_ID algid, DWORD dwFlags, CryptKey* pKey)
{
    CryptKey key;
    if (!CryptGenKey(m_prov.get(), algid, dwFlags, key.put())) return GetLastError();
    if (pKey != nullptr) *pKey = std::move(key);
    return 0;
}

ByteBuffer TokenContainer::PublicBlob(DWORD dwKeySpec)
{
    CryptKey key;
    DWORD cb = 0;
    if (!CryptGetUserKey(m_prov.get(), dwKeySpec, key.put()) || !CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, nullptr, &cb))
        return {};
    ByteBuffer blob(cb);
    if (!CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, blob.data(), &cb)) return {};
    blob.resize(cb);
    return blob;
}

ByteBuffer Reversed(const BYTE* pb, size_t cb) { return ByteBuffer(std::make_reverse_iterator(pb + cb), std::make_reverse_iterator(pb)); }
ByteBuffer Reversed(const ByteBuffer& b) { return ByteBuffer(b.rbegin(), b.rend()); }

ByteBuffer FromHex(const std::string& hex)
{
    ByteBuffer out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string Hex(const ByteBuffer& b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (BYTE x : b) s += {digits[x >> 4], digits[x & 15]};
    return s;
}

PKey Sm2KeyFromBlob(const ByteBuffer& blob)
{
    if (blob.size() != 140) return PKey();
    ByteBuffer point{0x04};
    ByteBuffer x = Reversed(blob.data() + 12, 32), y = Reversed(blob.data() + 76, 32);
    Append(point, x);
    Append(point, y);
    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* p = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 || EVP_PKEY_fromdata(ctx.get(), &p, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return PKey();
    return PKey(p);
}

PKey RsaKeyFromBlob(const ByteBuffer& blob)
{
    if (blob.size() < 20) return PKey();
    DWORD dwBits = blob[12] | (blob[13] << 8) | (blob[14] << 16) | (static_cast<DWORD>(blob[15]) << 24);
    DWORD dwExp = blob[16] | (blob[17] << 8) | (blob[18] << 16) | (static_cast<DWORD>(blob[19]) << 24);
    if (blob.size() != 20 + dwBits / 8) return PKey();
    ByteBuffer n = Reversed(blob.data() + 20, dwBits / 8);
    Owned<BIGNUM> bn(BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr)), be(BN_new());
    BN_set_word(be.get(), dwExp);
    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, bn.get());
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, be.get());
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* p = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 || EVP_PKEY_fromdata(ctx.get(), &p, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return PKey();
    return PKey(p);
}

ByteBuffer Sm2PointOf(EVP_PKEY* pkey)
{
    ByteBuffer point(65);
    size_t cb = 0;
    if (EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &cb) != 1) return {};
    point.resize(cb);
    return point;
}

ByteBuffer Sm2ScalarOf(EVP_PKEY* pkey)
{
    Owned<BIGNUM> d = GetBn(pkey, OSSL_PKEY_PARAM_PRIV_KEY);
    return d ? BnBytes(d.get(), 32) : ByteBuffer();
}

ByteBuffer RsaModulusOf(EVP_PKEY* pkey)
{
    Owned<BIGNUM> n = GetBn(pkey, OSSL_PKEY_PARAM_RSA_N);
    return n ? BnBytes(n.get(), BN_num_bytes(n.get())) : ByteBuffer();
}

PKey NewSm2Key() { return PKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")); }
PKey NewRsaKey(int bits) { return PKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits))); }

bool Sm2Verify(EVP_PKEY* pub, const ByteBuffer& data, const ByteBuffer& rs)
{
    if (rs.size() != 64) return false;
    Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
    ECDSA_SIG_set0(sig.get(), BN_bin2bn(rs.data(), 32, nullptr), BN_bin2bn(rs.data() + 32, 32, nullptr));
    unsigned char* der = nullptr;
    int cbDer = i2d_ECDSA_SIG(sig.get(), &der);
    Owned<EVP_MD_CTX> md(EVP_MD_CTX_new());
    Owned<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr));
    EVP_PKEY_CTX_set1_id(pctx.get(), "1234567812345678", 16);
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    bool ok = EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, pub) == 1 &&
              EVP_DigestVerify(md.get(), der, static_cast<size_t>(cbDer), data.data(), data.size()) == 1;
    OPENSSL_free(der);
    return ok;
}

ByteBuffer Sm2EncryptC1C3C2(EVP_PKEY* pub, const ByteBuffer& plain)
{
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr));
    size_t cb = 0;
    if (EVP_PKEY_encrypt_init(ctx.get()) != 1 || EVP_PKEY_encrypt(ctx.get(), nullptr, &cb, plain.data(), plain.size()) != 1)
        return {};
    ByteBuffer der(cb);
    if (EVP_PKEY_encrypt(ctx.get(), der.data(), &cb, plain.data(), plain.size()) != 1) return {};
    der.resize(cb);
    size_t pos = 0;
    ByteBuffer seq = TakeTlv(der, pos, 0x30);
    pos = 0;
    ByteBuffer x = TakeTlv(seq, pos, 0x02), y = TakeTlv(seq, pos, 0x02), c3 = TakeTlv(seq, pos, 0x04),
               c2 = TakeTlv(seq, pos, 0x04);
    ByteBuffer out = Fixed32(x);
    ByteBuffer yy = Fixed32(y);
    Append(out, yy);
    Append(out, c3);
    Append(out, c2);
    return out;
}

ByteBuffer RsaEncryptPkcs1(EVP_PKEY* pub, const ByteBuffer& plain)
{
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr));
    size_t cb = 0;
    if (EVP_PKEY_encrypt_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &cb, plain.data(), plain.size()) != 1)
        return {};
    ByteBuffer out(cb);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &cb, plain.data(), plain.size()) != 1) return {};
    out.resize(cb);
    return out;
}

bool RsaVerifyPkcs1(EVP_PKEY* pub, const EVP_MD* md, const ByteBuffer& data, const ByteBuffer& sig)
{
    Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    return EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, pub) == 1 &&
           EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), data.data(), data.size()) == 1;
}

DWORD SignThroughToken(HCRYPTPROV hProv, ALG_ID hashAlg, DWORD dwKeySpec, const ByteBuffer& data, ByteBuffer& sig)
{
    CryptHash hash;
    DWORD cb = 0;
    if (!CryptCreateHash(hProv, hashAlg, 0, 0, hash.put()) ||
        !CryptHashData(hash.get(), data.data(), static_cast<DWORD>(data.size()), 0) ||
        !CryptSignHashW(hash.get(), dwKeySpec, nullptr, 0, nullptr, &cb))
        return GetLastError();
    sig.assign(cb, 0);
    if (!CryptSignHashW(hash.get(), dwKeySpec, nullptr, 0, sig.data(), &cb)) return GetLastError();
    sig.resize(cb);
    return 0;
}

ByteBuffer Sm2KeySpecBlob(const ByteBuffer& ciphertext)
{
    ByteBuffer blob{PRIVATEKEYBLOB, 2, 1, 0};
    PutU32(blob, SM2_KEYX);
    PutU32(blob, SM2_KEYX);
    PutU32(blob, static_cast<DWORD>(ciphertext.size() * 8));
    PutAddress(blob, ciphertext.data());
    return blob;
}

ByteBuffer RsaKeySpecBlob(DWORD dwKeyBits, const ByteBuffer& der)
{
    ByteBuffer blob{PRIVATEKEYBLOB, 2, 1, 0};
    PutU32(blob, CALG_RSA_KEYX);
    PutU32(blob, CALG_RSA_KEYX);
    PutU32(blob, dwKeyBits);
    PutU32(blob, static_cast<DWORD>(der.size() * 8));
    PutAddress(blob, der.data());
    return blob;
}

ByteBuffer RsaEnvelopeDer(const ByteBuffer& sessionKey, const ByteBuffer& privateKey)
{
    ByteBuffer body{0x02, 0x01, 0x01};
    const ByteBuffer rsaOid{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    const ByteBuffer symOid{0x06, 0x09, 0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07};
    Append(body, rsaOid);
    Append(body, symOid);
    ByteBuffer s = Tlv(0x04, sessionKey), p = Tlv(0x04, privateKey);
    Append(body, s);
    Append(body, p);
    return Tlv(0x30, body);
}

ByteBuffer Pkcs1PrivateKeyOf(EVP_PKEY* pkey)
{
    unsigned char* der = nullptr;
    int cb = i2d_PrivateKey(pkey, &der);
    ByteBuffer out(der, der + (cb > 0 ? cb : 0));
    OPENSSL_free(der);
    return out;
}

ByteBuffer TripleDesEcbEncrypt(const ByteBuffer& key24, const ByteBuffer& plain)
{
    Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    ByteBuffer out(plain.size() + 8);
    int cb1 = 0, cb2 = 0;
    EVP_EncryptInit_ex(ctx.get(), EVP_des_ede3_ecb(), nullptr, key24.data(), nullptr);
    EVP_EncryptUpdate(ctx.get(), out.data(), &cb1, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx.get(), out.data() + cb1, &cb2);
    out.resize(static_cast<size_t>(cb1 + cb2));
    return out;
}

ByteBuffer PrivateKeyBlobOf(EVP_PKEY* pkey, ALG_ID algid)
{
    int bits = EVP_PKEY_get_bits(pkey);
    int full = bits / 8, half = (bits + 15) / 16;
    ByteBuffer blob{PRIVATEKEYBLOB, 2, 0, 0};
    PutU32(blob, algid);
    PutU32(blob, 0x32415352);
    PutU32(blob, static_cast<DWORD>(bits));
    Owned<BIGNUM> e = GetBn(pkey, OSSL_PKEY_PARAM_RSA_E);
    PutU32(blob, static_cast<DWORD>(BN_get_word(e.get())));
    AppendLe(blob, GetBn(pkey, OSSL_PKEY_PARAM_RSA_N).get(), full);
    AppendLe(blob, GetBn(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1).get(), half);
    AppendLe(blob, GetBn(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2).get(), half);
    AppendLe(blob, GetBn(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1).get(), half);
    AppendLe(blob, GetBn(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2).get(), half);
    AppendLe(blob, GetBn(pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1).get(), half);
    AppendLe(blob, GetBn(pkey, OSSL_PKEY_PARAM_RSA_D).get(), full);
    return blob;
}

}  // namespace tokentest
