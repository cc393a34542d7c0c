// platform/linux/src/system/CryptoApiContexts.cpp — advapi32's providers and contexts in the native build:
// the four Microsoft provider names over the NSS database's key token, key containers, provider parameters
// and random bytes. The failures are the codes the platform's dispatcher and its software providers set.
#include "Containers.h"
#include "Utf8.h"
#include "CryptoApiInternal.h"
#include "NssDatabase.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

namespace cryptoapi {

namespace {

// In the order the platform enumerates them (its registry lists provider names alphabetically).
const ProviderEntry kProviders[] = {
    {MS_DEF_PROV_W, PROV_RSA_FULL, 512, false, false},
    {MS_ENHANCED_PROV_W, PROV_RSA_FULL, 1024, true, false},
    {MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, 1024, true, true},
    {MS_STRONG_PROV_W, PROV_RSA_FULL, 1024, true, false},
};

// Handle values count up from one counter shared by the three kinds, so a handle of one kind is never
// taken for another.
std::mutex g_handleMutex;
ULONG_PTR g_nextHandle = 0x10000;
std::map<ULONG_PTR, std::shared_ptr<ProviderContext>> g_contexts;
std::map<ULONG_PTR, std::shared_ptr<KeyObject>> g_keys;
std::map<ULONG_PTR, std::shared_ptr<HashObject>> g_hashes;

template <typename T>
std::shared_ptr<T> FindIn(std::map<ULONG_PTR, std::shared_ptr<T>>& table, ULONG_PTR h)
{
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = table.find(h);
    return it == table.end() ? nullptr : it->second;
}

template <typename T>
ULONG_PTR AddTo(std::map<ULONG_PTR, std::shared_ptr<T>>& table, std::shared_ptr<T> p)
{
    std::lock_guard<std::mutex> lock(g_handleMutex);
    g_nextHandle += 4;
    table.emplace(g_nextHandle, std::move(p));
    return g_nextHandle;
}

template <typename T>
bool RemoveFrom(std::map<ULONG_PTR, std::shared_ptr<T>>& table, ULONG_PTR h)
{
    std::shared_ptr<T> pGone;  // destroyed outside the lock
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = table.find(h);
    if (it == table.end()) return false;
    pGone = std::move(it->second);
    table.erase(it);
    return true;
}

// Containers made in this process that hold no key yet, with the provider they were made under.
std::mutex g_emptyMutex;
std::map<std::string, WideString> g_emptyContainers;

PROV_ENUMALGS_EX Algorithm(ALG_ID algId, DWORD dwDefault, DWORD dwMin, DWORD dwMax, const char* pszName,
                           const char* pszLongName)
{
    PROV_ENUMALGS_EX st = {};
    st.aiAlgid = algId;
    st.dwDefaultLen = dwDefault;
    st.dwMinLen = dwMin;
    st.dwMaxLen = dwMax;
    st.dwNameLen = static_cast<DWORD>(strlen(pszName) + 1);
    memcpy(st.szName, pszName, st.dwNameLen);
    st.dwLongNameLen = static_cast<DWORD>(strlen(pszLongName) + 1);
    memcpy(st.szLongName, pszLongName, st.dwLongNameLen);
    return st;
}

// The name a container without one is given: the user's, as the software providers do.
std::string DefaultContainerName()
{
    const char* pszUser = getenv("USER");
    return pszUser != nullptr && *pszUser != 0 ? pszUser : "Default";
}

// A name the database can keep as a nickname; longer names or control characters are refused.
bool StorableContainerName(const std::string& str)
{
    if (str.empty() || str.size() > MAX_PATH) return false;
    return std::none_of(str.begin(), str.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

NssPtr<SECItem> KeyIdOf(SECKEYPrivateKey* pKey) { return NssPtr<SECItem>(PK11_GetLowLevelKeyIDForPrivateKey(pKey)); }

NssPtr<SECItem> KeyIdOf(SECKEYPublicKey* pKey)
{
    if (pKey->keyType != rsaKey) return nullptr;
    return NssPtr<SECItem>(PK11_MakeIDFromPubKey(&pKey->u.rsa.modulus));
}

// The token's public keys whose CKA_ID is the given one.
std::vector<NssPtr<SECKEYPublicKey>> PublicKeysWithId(const SECItem& id)
{
    std::vector<NssPtr<SECKEYPublicKey>> vec;
    NssPtr<PK11SlotInfo> pSlot(NssDatabaseSlot());
    if (!pSlot) return vec;
    NssPtr<SECKEYPublicKeyList> pList(PK11_ListPublicKeysInSlot(pSlot.get(), nullptr));
    if (!pList) return vec;
    for (SECKEYPublicKeyListNode* pNode = PUBKEY_LIST_HEAD(pList.get()); !PUBKEY_LIST_END(pNode, pList.get());
         pNode = PUBKEY_LIST_NEXT(pNode)) {
        NssPtr<SECItem> pId = KeyIdOf(pNode->key);
        if (pId && SECITEM_ItemsAreEqual(pId.get(), &id)) vec.emplace_back(SECKEY_CopyPublicKey(pNode->key));
    }
    return vec;
}

BOOL AcquireFailure(HCRYPTPROV* phProv, DWORD dwError)
{
    if (phProv != nullptr) *phProv = 0;
    return Fail(dwError);
}

}  // namespace

BOOL Fail(DWORD dwError)
{
    SetLastError(dwError);
    return FALSE;
}

BOOL CopyOut(const void* pvValue, DWORD cbValue, BYTE* pbData, DWORD* pdwDataLen)
{
    if (pdwDataLen == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (pbData == nullptr) {
        *pdwDataLen = cbValue;
        return TRUE;
    }
    if (*pdwDataLen < cbValue) {
        *pdwDataLen = cbValue;
        return Fail(static_cast<DWORD>(ERROR_MORE_DATA));
    }
    if (cbValue != 0) memcpy(pbData, pvValue, cbValue);
    *pdwDataLen = cbValue;
    return TRUE;
}

void Wipe(Bytes& vec)
{
    if (!vec.empty()) SecureZeroMemory(vec.data(), vec.size());
    vec.clear();
}

void RsaComponents::Clear()
{
    for (Bytes* p : {&n, &e, &d, &p, &q, &dP, &dQ, &qInv}) Wipe(*p);
}

SymmetricKey::~SymmetricKey() { Wipe(vecSecret); }

const ProviderEntry* FindProvider(const WCHAR* pwszName)
{
    if (pwszName == nullptr) return nullptr;
    for (const ProviderEntry& entry : kProviders)
        if (std::char_traits<WCHAR>::length(pwszName) == std::char_traits<WCHAR>::length(entry.pwszName) &&
            std::char_traits<WCHAR>::compare(pwszName, entry.pwszName,
                                             std::char_traits<WCHAR>::length(entry.pwszName)) == 0)
            return &entry;
    return nullptr;
}

const ProviderEntry& ProviderAt(size_t nIndex) { return kProviders[nIndex]; }
size_t ProviderCount() { return sizeof(kProviders) / sizeof(kProviders[0]); }
const WCHAR* DefaultContainerProvider() { return MS_ENHANCED_PROV_W; }

std::vector<PROV_ENUMALGS_EX> ProviderAlgorithms(const ProviderEntry& provider)
{
    std::vector<PROV_ENUMALGS_EX> vec;
    if (provider.bAes) {
        vec.push_back(Algorithm(CALG_AES_128, 128, 128, 128, "AES-128", "Advanced Encryption Standard (AES-128)"));
        vec.push_back(Algorithm(CALG_AES_192, 192, 192, 192, "AES-192", "Advanced Encryption Standard (AES-192)"));
        vec.push_back(Algorithm(CALG_AES_256, 256, 256, 256, "AES-256", "Advanced Encryption Standard (AES-256)"));
    }
    if (provider.bTripleDes) vec.push_back(Algorithm(CALG_3DES, 192, 192, 192, "3DES", "Three Key Triple DES"));
    vec.push_back(Algorithm(CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"));
    if (provider.bAes)
        vec.push_back(Algorithm(CALG_SHA_256, 256, 256, 256, "SHA-256", "Secure Hash Algorithm (SHA-256)"));
    vec.push_back(Algorithm(CALG_MD5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"));
    vec.push_back(Algorithm(CALG_RSA_SIGN, provider.dwDefaultRsaBits, kMinRsaBits, kMaxRsaBits, "RSA_SIGN",
                            "RSA Signature"));
    vec.push_back(Algorithm(CALG_RSA_KEYX, provider.dwDefaultRsaBits, kMinRsaBits, kMaxRsaBits, "RSA_KEYX",
                            "RSA Key Exchange"));
    return vec;
}

bool ProviderOffers(const ProviderEntry& provider, ALG_ID algId)
{
    for (const PROV_ENUMALGS_EX& st : ProviderAlgorithms(provider))
        if (st.aiAlgid == algId) return true;
    return false;
}

std::shared_ptr<ProviderContext> FindContext(HCRYPTPROV hProv) { return FindIn(g_contexts, hProv); }
std::shared_ptr<KeyObject> FindKey(HCRYPTKEY hKey) { return FindIn(g_keys, hKey); }
std::shared_ptr<HashObject> FindHash(HCRYPTHASH hHash) { return FindIn(g_hashes, hHash); }
ULONG_PTR AddContext(std::shared_ptr<ProviderContext> p) { return AddTo(g_contexts, std::move(p)); }
ULONG_PTR AddKey(std::shared_ptr<KeyObject> p) { return AddTo(g_keys, std::move(p)); }
ULONG_PTR AddHash(std::shared_ptr<HashObject> p) { return AddTo(g_hashes, std::move(p)); }
bool RemoveContext(HCRYPTPROV hProv) { return RemoveFrom(g_contexts, hProv); }
bool RemoveKey(HCRYPTKEY hKey) { return RemoveFrom(g_keys, hKey); }
bool RemoveHash(HCRYPTHASH hHash) { return RemoveFrom(g_hashes, hHash); }

bool ToUtf8(const WCHAR* pwsz, std::string& str)
{
    const int cb = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pwsz, -1, nullptr, 0, nullptr, nullptr);
    if (cb <= 0) return false;
    std::vector<char> vec(static_cast<size_t>(cb));
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pwsz, -1, vec.data(), cb, nullptr, nullptr) != cb)
        return false;
    str.assign(vec.data());
    return true;
}


DWORD KeySpecOf(SECKEYPrivateKey* pKey)
{
    return PK11_HasAttributeSet(pKey->pkcs11Slot, pKey->pkcs11ID, CKA_DECRYPT, PR_FALSE) ? AT_KEYEXCHANGE
                                                                                          : AT_SIGNATURE;
}

std::vector<ContainerKey> ContainerKeys(const std::string& strContainer)
{
    std::vector<ContainerKey> vec;
    NssPtr<PK11SlotInfo> pSlot(NssDatabaseSlot());
    if (!pSlot || strContainer.empty()) return vec;
    NssPtr<SECKEYPrivateKeyList> pList(
        PK11_ListPrivKeysInSlot(pSlot.get(), const_cast<char*>(strContainer.c_str()), nullptr));
    if (!pList) return vec;
    for (SECKEYPrivateKeyListNode* pNode = PRIVKEY_LIST_HEAD(pList.get()); !PRIVKEY_LIST_END(pNode, pList.get());
         pNode = PRIVKEY_LIST_NEXT(pNode)) {
        // The list is by label; the name is compared again so a longer or shorter label never matches.
        NssPtr<char> pNickname(PK11_GetPrivateKeyNickname(pNode->key));
        if (!pNickname || strContainer != pNickname.get()) continue;
        ContainerKey key;
        key.dwKeySpec = KeySpecOf(pNode->key);
        key.pKey.reset(SECKEY_CopyPrivateKey(pNode->key));
        if (key.pKey) vec.push_back(std::move(key));
    }
    return vec;
}

bool ContainerExists(const std::string& strContainer)
{
    {
        std::lock_guard<std::mutex> lock(g_emptyMutex);
        if (g_emptyContainers.count(strContainer) != 0) return true;
    }
    return !ContainerKeys(strContainer).empty();
}

std::vector<std::string> ContainerNames()
{
    std::set<std::string> names;
    NssPtr<PK11SlotInfo> pSlot(NssDatabaseSlot());
    if (pSlot) {
        NssPtr<SECKEYPrivateKeyList> pList(PK11_ListPrivKeysInSlot(pSlot.get(), nullptr, nullptr));
        if (pList)
            for (SECKEYPrivateKeyListNode* pNode = PRIVKEY_LIST_HEAD(pList.get());
                 !PRIVKEY_LIST_END(pNode, pList.get()); pNode = PRIVKEY_LIST_NEXT(pNode)) {
                NssPtr<char> pNickname(PK11_GetPrivateKeyNickname(pNode->key));
                if (pNickname && *pNickname.get() != 0) names.insert(pNickname.get());
            }
    }
    std::lock_guard<std::mutex> lock(g_emptyMutex);
    for (const auto& entry : g_emptyContainers) names.insert(entry.first);
    return std::vector<std::string>(names.begin(), names.end());
}

void RememberEmptyContainer(const std::string& strContainer, const WCHAR* pwszProvider)
{
    std::lock_guard<std::mutex> lock(g_emptyMutex);
    g_emptyContainers[strContainer] = pwszProvider;
}

void ForgetEmptyContainer(const std::string& strContainer)
{
    std::lock_guard<std::mutex> lock(g_emptyMutex);
    g_emptyContainers.erase(strContainer);
}

bool DeleteContainerKeys(const std::string& strContainer, DWORD dwKeySpec, const SECItem* pKeep)
{
    bool bAll = true;
    for (ContainerKey& key : ContainerKeys(strContainer)) {
        if (dwKeySpec != 0 && key.dwKeySpec != dwKeySpec) continue;
        NssPtr<SECItem> pId = KeyIdOf(key.pKey.get());
        if (pKeep != nullptr && pId && SECITEM_ItemsAreEqual(pId.get(), pKeep)) continue;
        if (pId)
            for (NssPtr<SECKEYPublicKey>& pPublic : PublicKeysWithId(*pId))
                (void)PK11_DeleteTokenPublicKey(pPublic.release());  // it frees the structure too
        // Forced: a certificate that names the key does not keep it, as with the platform's containers.
        if (PK11_DeleteTokenPrivateKey(key.pKey.release(), PR_TRUE) != SECSuccess) bAll = false;
    }
    return bAll;
}

void LabelPublicKey(SECKEYPrivateKey* pKey, SECKEYPublicKey* pPublic, const WCHAR* pwszProvider)
{
    std::string strProvider;
    NssPtr<SECItem> pId = KeyIdOf(pKey);
    if (!pId || !ToUtf8(pwszProvider, strProvider)) return;
    std::vector<NssPtr<SECKEYPublicKey>> vec = PublicKeysWithId(*pId);
    if (vec.empty()) {
        NssPtr<PK11SlotInfo> pSlot(NssDatabaseSlot());
        if (!pSlot || pPublic == nullptr) return;
        if (PK11_ImportPublicKey(pSlot.get(), pPublic, PR_TRUE) == CK_INVALID_HANDLE) return;
        vec = PublicKeysWithId(*pId);
    }
    for (NssPtr<SECKEYPublicKey>& p : vec) (void)PK11_SetPublicKeyNickname(p.get(), strProvider.c_str());
}

std::shared_ptr<RsaKey> WrapPrivateKey(NssPtr<SECKEYPrivateKey> pKey, ALG_ID algId)
{
    if (!pKey) return nullptr;
    NssPtr<SECKEYPublicKey> pPublic(SECKEY_ConvertToPublicKey(pKey.get()));
    if (!pPublic || pPublic->keyType != rsaKey) return nullptr;
    auto p = std::make_shared<RsaKey>();
    const SECItem& n = pPublic->u.rsa.modulus;
    const SECItem& e = pPublic->u.rsa.publicExponent;
    size_t nSkip = 0;
    while (nSkip < n.len && n.data[nSkip] == 0) ++nSkip;
    p->vecModulus.assign(n.data + nSkip, n.data + n.len);
    nSkip = 0;
    while (nSkip < e.len && e.data[nSkip] == 0) ++nSkip;
    p->vecExponent.assign(e.data + nSkip, e.data + e.len);
    p->dwBits = SECKEY_PublicKeyStrengthInBits(pPublic.get());
    p->algId = algId;
    p->pPrivate = std::move(pKey);
    p->pPublic = std::move(pPublic);
    p->bHasPrivate = true;
    return p;
}

std::shared_ptr<RsaKey> UserKey(ProviderContext& context, DWORD dwKeySpec)
{
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return nullptr;
    if (context.rgHeld[dwKeySpec - 1]) return context.rgHeld[dwKeySpec - 1];
    if (context.bVerify) return nullptr;
    for (ContainerKey& key : ContainerKeys(context.strContainer))
        if (key.dwKeySpec == dwKeySpec)
            return WrapPrivateKey(std::move(key.pKey), dwKeySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN);
    return nullptr;
}

}  // namespace cryptoapi

using namespace cryptoapi;

bool ContainerProviderName(const std::string& strContainer, std::basic_string<WCHAR>& wstrProvider)
{
    if (!NssDatabaseOpen()) return false;
    {
        std::lock_guard<std::mutex> lock(g_emptyMutex);
        auto it = g_emptyContainers.find(strContainer);
        if (it != g_emptyContainers.end()) {
            wstrProvider = it->second;
            return true;
        }
    }
    std::vector<ContainerKey> vecKeys = ContainerKeys(strContainer);
    if (vecKeys.empty()) return false;
    for (ContainerKey& key : vecKeys) {
        NssPtr<SECItem> pId = KeyIdOf(key.pKey.get());
        if (!pId) continue;
        for (NssPtr<SECKEYPublicKey>& pPublic : PublicKeysWithId(*pId)) {
            NssPtr<char> pLabel(PK11_GetPublicKeyNickname(pPublic.get()));
            if (!pLabel) continue;
            const WideString wstrLabel = Utf16OfUtf8(pLabel.get(), strlen(pLabel.get()));
            if (FindProvider(wstrLabel.c_str()) != nullptr) {
                wstrProvider = wstrLabel;
                return true;
            }
        }
    }
    wstrProvider = DefaultContainerProvider();
    return true;
}

bool ContainerOfKey(SECKEYPrivateKeyStr* pKey, std::string& strContainer, DWORD& dwKeySpec)
{
    if (pKey == nullptr) return false;
    NssPtr<char> pNickname(PK11_GetPrivateKeyNickname(pKey));
    if (!pNickname || *pNickname.get() == 0) return false;
    strContainer = pNickname.get();
    dwKeySpec = KeySpecOf(pKey);
    return true;
}

BOOL CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType, LPWSTR szProvName,
                         DWORD* pcbProvName)
{
    if (pdwReserved != nullptr || dwFlags != 0 || pdwProvType == nullptr || pcbProvName == nullptr)
        return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (dwIndex >= ProviderCount()) return Fail(static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    const ProviderEntry& entry = ProviderAt(dwIndex);
    *pdwProvType = entry.dwType;
    const DWORD cbName = static_cast<DWORD>((std::char_traits<WCHAR>::length(entry.pwszName) + 1) * sizeof(WCHAR));
    return CopyOut(entry.pwszName, cbName, reinterpret_cast<BYTE*>(szProvName), pcbProvName);
}

BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider, DWORD dwProvType,
                          DWORD dwFlags)
{
    if (phProv == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    *phProv = 0;
    const ProviderEntry* pProvider = nullptr;
    if (szProvider == nullptr || *szProvider == 0) {
        // No name: the type's default provider.
        for (size_t i = 0; i < ProviderCount() && pProvider == nullptr; ++i)
            if (ProviderAt(i).dwType == dwProvType) pProvider = &ProviderAt(i);
        if (pProvider == nullptr) return AcquireFailure(phProv, static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
    } else {
        pProvider = FindProvider(szProvider);
        if (pProvider == nullptr) return AcquireFailure(phProv, static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
        if (pProvider->dwType != dwProvType) return AcquireFailure(phProv, static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH));
    }
    const DWORD dwKnown = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
    if ((dwFlags & ~dwKnown) != 0) return AcquireFailure(phProv, static_cast<DWORD>(NTE_BAD_FLAGS));
    if (!NssDatabaseOpen()) return AcquireFailure(phProv, static_cast<DWORD>(NTE_FAIL));

    const bool bNamed = szContainer != nullptr && *szContainer != 0;
    std::string strContainer;
    if (bNamed && !ToUtf8(szContainer, strContainer)) return AcquireFailure(phProv, static_cast<DWORD>(NTE_BAD_KEYSET));
    if (!bNamed) strContainer = DefaultContainerName();

    auto pContext = std::make_shared<ProviderContext>();
    pContext->pProvider = pProvider;
    switch (dwFlags & (CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) {
    case 0:
        if (!ContainerExists(strContainer)) return AcquireFailure(phProv, static_cast<DWORD>(NTE_BAD_KEYSET));
        pContext->strContainer = strContainer;
        break;
    case CRYPT_NEWKEYSET:
        if (ContainerExists(strContainer)) return AcquireFailure(phProv, static_cast<DWORD>(NTE_EXISTS));
        if (!StorableContainerName(strContainer))
            return AcquireFailure(phProv, static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));
        RememberEmptyContainer(strContainer, pProvider->pwszName);
        pContext->strContainer = strContainer;
        break;
    case CRYPT_DELETEKEYSET: {
        if (!ContainerExists(strContainer)) return AcquireFailure(phProv, static_cast<DWORD>(NTE_BAD_KEYSET));
        ForgetEmptyContainer(strContainer);
        if (!DeleteContainerKeys(strContainer)) return AcquireFailure(phProv, static_cast<DWORD>(NTE_FAIL));
        return TRUE;  // no context remains
    }
    case CRYPT_VERIFYCONTEXT:
    case CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET:
        // The software providers take no container name together with a verify context.
        if (bNamed) return AcquireFailure(phProv, static_cast<DWORD>(NTE_BAD_FLAGS));
        pContext->bVerify = true;
        break;
    default:
        return AcquireFailure(phProv, static_cast<DWORD>(NTE_BAD_FLAGS));
    }
    *phProv = AddContext(std::move(pContext));
    return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags)
{
    if (!RemoveContext(hProv)) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (dwFlags != 0) return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    return TRUE;
}

BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags)
{
    std::shared_ptr<ProviderContext> pContext = FindContext(hProv);
    if (!pContext) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (pdwDataLen == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ProviderContext& context = *pContext;
    switch (dwParam) {
    case PP_NAME: {
        std::string strName;
        ToUtf8(context.pProvider->pwszName, strName);
        return CopyOut(strName.c_str(), static_cast<DWORD>(strName.size() + 1), pbData, pdwDataLen);
    }
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
        return CopyOut(context.strContainer.c_str(), static_cast<DWORD>(context.strContainer.size() + 1), pbData,
                       pdwDataLen);
    case PP_PROVTYPE:
        return CopyOut(&context.pProvider->dwType, sizeof(DWORD), pbData, pdwDataLen);
    case PP_ENUMALGS_EX: {
        if ((dwFlags & CRYPT_FIRST) != 0) context.nNextAlgorithm = 0;
        const std::vector<PROV_ENUMALGS_EX> vec = ProviderAlgorithms(*context.pProvider);
        if (context.nNextAlgorithm >= vec.size()) return Fail(static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        if (!CopyOut(&vec[context.nNextAlgorithm], sizeof(PROV_ENUMALGS_EX), pbData, pdwDataLen)) return FALSE;
        if (pbData != nullptr) ++context.nNextAlgorithm;
        return TRUE;
    }
    case PP_ENUMCONTAINERS: {
        if ((dwFlags & CRYPT_FIRST) != 0) {
            context.vecContainers = ContainerNames();
            context.nNextContainer = 0;
        }
        // The size asked for is that of the longest name the providers allow.
        if (pbData == nullptr) {
            *pdwDataLen = MAX_PATH + 1;
            return TRUE;
        }
        if (context.nNextContainer >= context.vecContainers.size())
            return Fail(static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        const std::string& strName = context.vecContainers[context.nNextContainer];
        if (!CopyOut(strName.c_str(), static_cast<DWORD>(strName.size() + 1), pbData, pdwDataLen)) return FALSE;
        ++context.nNextContainer;
        return TRUE;
    }
    default:
        return Fail(static_cast<DWORD>(NTE_BAD_TYPE));
    }
}

BOOL CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer)
{
    if (!FindContext(hProv)) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (dwLen == 0) return TRUE;
    if (pbBuffer == nullptr) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    if (!NssDatabaseOpen()) return FALSE;
    // NSS takes an int; longer requests go in pieces.
    for (DWORD dwDone = 0; dwDone < dwLen;) {
        const DWORD dwChunk = std::min<DWORD>(dwLen - dwDone, 1u << 20);
        if (PK11_GenerateRandom(pbBuffer + dwDone, static_cast<int>(dwChunk)) != SECSuccess)
            return Fail(static_cast<DWORD>(NTE_FAIL));
        dwDone += dwChunk;
    }
    return TRUE;
}
