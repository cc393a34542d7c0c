// platform/linux/src/system/CryptoApiInternal.h — what the three CryptoAPI units of the native build share:
// owners for NSS objects, the handle tables behind HCRYPTPROV, HCRYPTKEY and HCRYPTHASH, the providers by
// name, and the containers of the NSS database.
//
// How a container lives in the database: each of its keys is a private key of the database's key token
// whose nickname (CKA_LABEL) is the container's name. The exchange key (AT_KEYEXCHANGE) is the one that may
// decrypt (CKA_DECRYPT true); the signature key (AT_SIGNATURE) may only sign. Each key's public half is a
// token public key with the same CKA_ID (SHA-1 of the modulus, which is also what links a certificate to
// its key), labelled with the name of the provider the key was made under: that is how a later process
// learns the provider of a container. A container made with CRYPT_NEWKEYSET that has no key yet exists
// only in the process that made it, since the token keeps no object without key material.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <keyhi.h>
#include <pk11pub.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cryptoapi {

using Bytes = std::vector<BYTE>;
using WideString = std::basic_string<WCHAR>;

// Owners for the NSS objects the units take.
struct NssRelease {
    void operator()(SECKEYPrivateKey* p) const { SECKEY_DestroyPrivateKey(p); }
    void operator()(SECKEYPublicKey* p) const { SECKEY_DestroyPublicKey(p); }
    void operator()(SECKEYPrivateKeyList* p) const { SECKEY_DestroyPrivateKeyList(p); }
    void operator()(SECKEYPublicKeyList* p) const { SECKEY_DestroyPublicKeyList(p); }
    void operator()(PK11SlotInfo* p) const { PK11_FreeSlot(p); }
    void operator()(PK11SymKey* p) const { PK11_FreeSymKey(p); }
    void operator()(PK11Context* p) const { PK11_DestroyContext(p, PR_TRUE); }
    void operator()(SECItem* p) const { SECITEM_FreeItem(p, PR_TRUE); }
    void operator()(char* p) const { PORT_Free(p); }
};
template <typename T>
using NssPtr = std::unique_ptr<T, NssRelease>;

// Sets the thread's last error and gives FALSE, the way every entry point fails.
BOOL Fail(DWORD dwError);
inline BOOL Fail(HRESULT hr) { return Fail(static_cast<DWORD>(hr)); }

// The CryptoAPI convention for variable-length outputs: no buffer asks for the size; a short buffer gets
// ERROR_MORE_DATA and the size; otherwise the bytes and their count.
BOOL CopyOut(const void* pvValue, DWORD cbValue, BYTE* pbData, DWORD* pdwDataLen);

// Key material whose bytes are wiped before the memory goes back.
void Wipe(Bytes& vec);

// One provider by name, with the algorithms it offers.
struct ProviderEntry {
    const WCHAR* pwszName;
    DWORD dwType;
    DWORD dwDefaultRsaBits;
    bool bTripleDes;  // the Base provider has no Triple-DES
    bool bAes;        // only the AES provider has AES and SHA-256
};
const ProviderEntry* FindProvider(const WCHAR* pwszName);
const ProviderEntry& ProviderAt(size_t nIndex);
size_t ProviderCount();
constexpr DWORD kMinRsaBits = 384;
constexpr DWORD kMaxRsaBits = 16384;
// The provider a container made by another program is reported under.
const WCHAR* DefaultContainerProvider();

// The algorithms a provider offers, in the order PP_ENUMALGS_EX lists them.
std::vector<PROV_ENUMALGS_EX> ProviderAlgorithms(const ProviderEntry& provider);
bool ProviderOffers(const ProviderEntry& provider, ALG_ID algId);

// The RSA integers of a key, big-endian without leading zeros (CryptoAPI's blobs hold them little-endian).
struct RsaComponents {
    Bytes n, e, d, p, q, dP, dQ, qInv;
    void Clear();
    ~RsaComponents() { Clear(); }
};

// One RSA key: a private key of NSS (with its public half) or a public key alone. A key whose exponents are
// one is kept here rather than in NSS, which refuses it: RSA with the exponent one is the identity on every
// number below the modulus, so its private and public operations are computed as exactly that.
struct RsaKey {
    ALG_ID algId = 0;
    DWORD dwBits = 0;
    NssPtr<SECKEYPrivateKey> pPrivate;
    NssPtr<SECKEYPublicKey> pPublic;
    Bytes vecModulus;   // big-endian, dwBits / 8 bytes
    Bytes vecExponent;  // big-endian
    bool bIdentity = false;
    bool bHasPrivate = false;
    // Held only for an exportable key, for the PRIVATEKEYBLOB export.
    std::unique_ptr<RsaComponents> pComponents;
};

// A session key of a block cipher, with the mode and chaining value CryptEncrypt and CryptDecrypt use.
struct SymmetricKey {
    ALG_ID algId = 0;
    Bytes vecSecret;
    DWORD dwMode = 1;  // CRYPT_MODE_CBC
    Bytes vecIv;       // the value KP_IV set; zeros by default
    Bytes vecChain;    // the running chaining value between calls that are not final
    ~SymmetricKey();
};

// An open provider context.
struct ProviderContext {
    const ProviderEntry* pProvider = nullptr;
    std::string strContainer;  // UTF-8; empty for a verify context
    bool bVerify = false;
    // Keys that live with this context rather than in the database: a verify context's keys, an
    // exportable key (the database keeps no readable copy) and a key NSS refuses. Indexed by key spec - 1.
    std::shared_ptr<RsaKey> rgHeld[2];
    size_t nNextAlgorithm = 0;
    std::vector<std::string> vecContainers;  // the PP_ENUMCONTAINERS snapshot taken at CRYPT_FIRST
    size_t nNextContainer = 0;
};

struct KeyObject {
    std::shared_ptr<ProviderContext> pContext;
    std::shared_ptr<RsaKey> pRsa;
    std::unique_ptr<SymmetricKey> pSymmetric;
};

struct HashObject {
    std::shared_ptr<ProviderContext> pContext;
    ALG_ID algId = 0;
    NssPtr<PK11Context> pDigest;
    Bytes vecValue;  // set once the value was taken; the hash takes no more data then
};

// The handles: numbers that name objects of one table; a number of another kind or a released one is an
// invalid handle.
std::shared_ptr<ProviderContext> FindContext(HCRYPTPROV hProv);
std::shared_ptr<KeyObject> FindKey(HCRYPTKEY hKey);
std::shared_ptr<HashObject> FindHash(HCRYPTHASH hHash);
ULONG_PTR AddContext(std::shared_ptr<ProviderContext> p);
ULONG_PTR AddKey(std::shared_ptr<KeyObject> p);
ULONG_PTR AddHash(std::shared_ptr<HashObject> p);
bool RemoveContext(HCRYPTPROV hProv);
bool RemoveKey(HCRYPTKEY hKey);
bool RemoveHash(HCRYPTHASH hHash);

// Text conversions for names the database keeps in UTF-8.
bool ToUtf8(const WCHAR* pwsz, std::string& str);

// The containers of the database.
struct ContainerKey {
    NssPtr<SECKEYPrivateKey> pKey;
    DWORD dwKeySpec = 0;
};
std::vector<ContainerKey> ContainerKeys(const std::string& strContainer);
DWORD KeySpecOf(SECKEYPrivateKey* pKey);
bool ContainerExists(const std::string& strContainer);
std::vector<std::string> ContainerNames();
void RememberEmptyContainer(const std::string& strContainer, const WCHAR* pwszProvider);
void ForgetEmptyContainer(const std::string& strContainer);
// Removes the container's keys (and their public halves); false when one could not be removed.
bool DeleteContainerKeys(const std::string& strContainer, DWORD dwKeySpec = 0, const SECItem* pKeep = nullptr);
// Labels the public half of a new container key with the provider's name, importing it when the token has
// none.
void LabelPublicKey(SECKEYPrivateKey* pKey, SECKEYPublicKey* pPublic, const WCHAR* pwszProvider);

// The key a context uses for a key spec: the one it holds, else the container's in the database.
std::shared_ptr<RsaKey> UserKey(ProviderContext& context, DWORD dwKeySpec);
// An RsaKey over a private key of NSS, its public half read from the key.
std::shared_ptr<RsaKey> WrapPrivateKey(NssPtr<SECKEYPrivateKey> pKey, ALG_ID algId);

// RSA with raw blocks (big-endian, modulus-sized), whichever way the key is held.
bool RsaPrivateRaw(const RsaKey& key, const Bytes& vecIn, Bytes& vecOut, DWORD& dwError);
bool RsaPublicRaw(const RsaKey& key, const Bytes& vecIn, Bytes& vecOut, DWORD& dwError);

// PKCS#1 v1.5 blocks: type 1 (signature) and type 2 (encryption) padding, as CryptoAPI's RSA uses them.
bool PadBlock(BYTE bType, const Bytes& vecMessage, size_t cbBlock, Bytes& vecBlock);
bool UnpadBlock(BYTE bType, const Bytes& vecBlock, Bytes& vecMessage);

Bytes Reversed(const BYTE* pb, size_t cb);
// A 32-bit exponent as a big-endian integer without leading zeros (empty for zero).
Bytes ExponentBytes(DWORD dwExponent);

}  // namespace cryptoapi
