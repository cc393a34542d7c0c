// tests/providers/TokenTestKit.h — what the token tests share: an isolated token store per test,
// container helpers over CryptoAPI, and OpenSSL (cross-built) as the independent side of each check.
#pragma once
#include "Common.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

namespace tokentest {

inline const WCHAR* SM2_PROV = TEXT("Software SM2 Token CSP v1.0");
inline const WCHAR* RSA_PROV = TEXT("Software RSA Token CSP v1.0");
constexpr ALG_ID SM2_KEYX = 0xBE00;
constexpr ALG_ID SM2_SIGN = 0x3E00;
constexpr ALG_ID SM3 = 0x800F;
constexpr DWORD SM2_DELETE = 0xFFFF0002;

struct PKeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyFree>;

// Points the tokens at a store directory of the test's own for as long as it lives; the store is
// removed afterwards, so no test sees another's containers and the prefix's stores stay untouched.
class IsolatedStore {
public:
    IsolatedStore();
    ~IsolatedStore();
    IsolatedStore(const IsolatedStore&) = delete;
    IsolatedStore& operator=(const IsolatedStore&) = delete;
    const WString& Dir() const { return m_dir; }

private:
    WString m_dir;
};

WString NewContainerName();
std::string Narrow(const WString& w);

// Acquire that reports the error code instead of a handle on failure.
DWORD Acquire(CryptProv& prov, const WString& container, const WCHAR* pwszProv, DWORD dwFlags);
DWORD AcquireRaw(const WCHAR* pwszContainer, const WCHAR* pwszProv, DWORD dwFlags);
// Runs a CryptoAPI call and gives 0 on success, else the last error.
inline DWORD ErrorOf(BOOL bResult) { return bResult ? 0 : GetLastError(); }

// A container with keys made by the token, removed again when the test ends.
class TokenContainer {
public:
    TokenContainer(const WCHAR* pwszProv, const WString& name = NewContainerName());
    ~TokenContainer();
    DWORD Open();  // 0 or the acquire error
    HCRYPTPROV Prov() const { return m_prov.get(); }
    const WString& Name() const { return m_name; }
    DWORD GenKey(ALG_ID algid, DWORD dwFlags, CryptKey* pKey = nullptr);
    ByteBuffer PublicBlob(DWORD dwKeySpec);
    void Release() { m_prov.reset(); }

private:
    const WCHAR* m_pwszProv;
    WString m_name;
    CryptProv m_prov;
    bool m_bCreated = false;
};

// Appends byte by byte (GCC 12 misreads range inserts into small vectors as out of bounds).
inline void Append(ByteBuffer& out, const ByteBuffer& more)
{
    out.reserve(out.size() + more.size());
    for (BYTE b : more) out.push_back(b);
}

ByteBuffer Reversed(const BYTE* pb, size_t cb);
ByteBuffer Reversed(const ByteBuffer& b);
ByteBuffer FromHex(const std::string& hex);
std::string Hex(const ByteBuffer& b);

// OpenSSL keys from what a token exports.
PKey Sm2KeyFromBlob(const ByteBuffer& blob);
PKey RsaKeyFromBlob(const ByteBuffer& blob);
ByteBuffer Sm2PointOf(EVP_PKEY* pkey);  // 04 || X || Y
ByteBuffer Sm2ScalarOf(EVP_PKEY* pkey);  // 32 bytes big-endian
ByteBuffer RsaModulusOf(EVP_PKEY* pkey);  // big-endian
PKey NewSm2Key();
PKey NewRsaKey(int bits);

// SM2 verification over ZA (identity 1234567812345678) and the data; sig is r || s big-endian.
bool Sm2Verify(EVP_PKEY* pub, const ByteBuffer& data, const ByteBuffer& rsBigEndian);
// SM2 encryption to a public key, as C1 (64 bytes, no 04) || C3 || C2.
ByteBuffer Sm2EncryptC1C3C2(EVP_PKEY* pub, const ByteBuffer& plain);
ByteBuffer RsaEncryptPkcs1(EVP_PKEY* pub, const ByteBuffer& plain);  // big-endian
bool RsaVerifyPkcs1(EVP_PKEY* pub, const EVP_MD* md, const ByteBuffer& data, const ByteBuffer& sigBigEndian);

// Signs data through CryptoAPI with the container's key of the given spec; the signature as returned.
DWORD SignThroughToken(HCRYPTPROV hProv, ALG_ID hashAlg, DWORD dwKeySpec, const ByteBuffer& data, ByteBuffer& sig);

// The key-spec blobs a caller hands the tokens; the address field points at data.
ByteBuffer Sm2KeySpecBlob(const ByteBuffer& ciphertext);
ByteBuffer RsaKeySpecBlob(DWORD dwKeyBits, const ByteBuffer& der);
// The DER structure {1, rsaEncryption, 1.3.6.1.4.1.4929.1.7, session key, private key}.
ByteBuffer RsaEnvelopeDer(const ByteBuffer& sessionKey, const ByteBuffer& privateKey);
ByteBuffer Pkcs1PrivateKeyOf(EVP_PKEY* pkey);
ByteBuffer TripleDesEcbEncrypt(const ByteBuffer& key24, const ByteBuffer& plain);
// The platform's PRIVATEKEYBLOB of an RSA key (RSA2, CALG_RSA_KEYX unless given).
ByteBuffer PrivateKeyBlobOf(EVP_PKEY* pkey, ALG_ID algid = CALG_RSA_KEYX);

}  // namespace tokentest
