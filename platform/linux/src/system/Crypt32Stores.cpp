// platform/linux/src/system/Crypt32Stores.cpp — certificate stores of the native crypt32: memory stores, a
// PKCS#7 bundle read into one, and the system stores "MY", "CA" and "ROOT", which are views of the NSS
// database: MY holds the certificates whose private key the database holds, ROOT those trusted as issuers
// ("C,,"), CA the other issuers kept without trust (",,"). NSS writes through, so a commit has nothing to do.
#include "Crypt32Internal.h"
#include "NssDatabase.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr DWORD kSystemStoreLocationMask = 0x00FF0000;
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);

bool SameEncoding(const CertObject* pA, const CertObject* pB) { return pA->vecEncoded == pB->vecEncoded; }

StoreHandle* HandleOf(HCERTSTORE hStore) { return static_cast<StoreHandle*>(hStore); }

bool HasPrivateKey(CERTCertificate* pCert)
{
    NssSlot pSlot(PK11_KeyForCertExists(pCert, nullptr, nullptr));
    return pSlot != nullptr;
}

// The system store the database's certificate belongs to apart from MY, if any.
bool InTrustStore(CERTCertificate* pCert, StoreKind kind)
{
    CERTCertTrust trust = {};
    if (CERT_GetCertTrust(pCert, &trust) != SECSuccess) return false;
    const bool bTrusted = (trust.sslFlags & CERTDB_TRUSTED_CA) != 0;
    if (kind == StoreKind::Root) return bTrusted;
    return !bTrusted && !HasPrivateKey(pCert);
}

bool InDatabaseStore(StoreKind kind, CERTCertificate* pCert)
{
    if (pCert == nullptr || !pCert->isperm) return false;
    return kind == StoreKind::My ? HasPrivateKey(pCert) : InTrustStore(pCert, kind);
}

std::string HexOf(const std::array<BYTE, 20>& hash)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string str;
    for (BYTE b : hash) {
        str.push_back(kDigits[b >> 4]);
        str.push_back(kDigits[b & 15]);
    }
    return str;
}

// Each certificate goes by a name of its own made from its subject: the two keys of a container, and the
// certificates of one key, must not share one, as the database keeps a nickname to one subject.
std::string NicknameFor(CERTCertificate* pCert)
{
    char* psz = CERT_MakeCANickname(pCert);
    std::string str(psz != nullptr ? psz : "certificate");
    if (psz != nullptr) PORT_Free(psz);
    return str;
}

bool DatabaseFailure()
{
    SetLastError(static_cast<DWORD>(NTE_FAIL));
    return false;
}

CertObject* NewStoreObject(const Bytes& vecEncoded, StoreKind kind)
{
    CertObject* pObject = CreateCertObject(vecEncoded.data(), static_cast<DWORD>(vecEncoded.size()));
    if (pObject == nullptr) return nullptr;
    pObject->bInStore = true;
    pObject->storeKind = kind;
    pObject->bKeyFromDatabase = kind == StoreKind::My;
    return pObject;
}

// Refills a system store's list from the database.
bool RefreshSystemStore(CertStoreObject& store)
{
    std::vector<Bytes> vecEncoded;
    if (!ListDatabaseStore(store.kind, vecEncoded)) return false;
    std::vector<CertObject*> vec;
    for (const Bytes& encoded : vecEncoded) {
        // A certificate crypt32 cannot read is left out, as the platform skips an unreadable entry.
        CertObject* pObject = NewStoreObject(encoded, store.kind);
        if (pObject == nullptr) continue;
        pObject->context.hCertStore = &store;
        vec.push_back(pObject);
    }
    for (CertObject* pObject : store.vecCerts) ReleaseReference(pObject);
    store.vecCerts.swap(vec);
    return true;
}

// Position after pPrev in the store's list (0 without one); false when pPrev is not in it.
bool PositionAfter(const CertStoreObject& store, PCCERT_CONTEXT pPrev, size_t& nPos)
{
    if (pPrev == nullptr) {
        nPos = 0;
        return true;
    }
    const CertObject* pObject = FromContext(pPrev);
    const auto it = std::find(store.vecCerts.begin(), store.vecCerts.end(), pObject);
    if (it == store.vecCerts.end()) return false;
    nPos = static_cast<size_t>(it - store.vecCerts.begin()) + 1;
    return true;
}

// The first certificate from after pPrev that matches, freeing pPrev.
template <typename Match>
PCCERT_CONTEXT NextMatching(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrev, Match match)
{
    StoreHandle* pHandle = HandleOf(hCertStore);
    if (pHandle == nullptr || !pHandle->pStore) {
        ReleaseReference(FromContext(pPrev));
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    CertStoreObject& store = *pHandle->pStore;
    CertObject* pFound = nullptr;
    DWORD dwError = static_cast<DWORD>(CRYPT_E_NOT_FOUND);
    {
        std::lock_guard<std::mutex> lock(store.mutex);
        size_t nPos = 0;
        if (pPrev == nullptr && store.kind != StoreKind::Memory && !RefreshSystemStore(store)) {
            dwError = GetLastError();
        } else if (PositionAfter(store, pPrev, nPos)) {
            for (; nPos < store.vecCerts.size(); ++nPos) {
                if (match(store.vecCerts[nPos])) {
                    pFound = AddReference(store.vecCerts[nPos]);
                    break;
                }
            }
        }
    }
    ReleaseReference(FromContext(pPrev));
    if (pFound == nullptr) {
        SetLastError(dwError);
        return nullptr;
    }
    return &pFound->context;
}

// The PKCS#7 SignedData's certificates, each read as a context of the store.
bool ReadBundle(const CRYPT_DATA_BLOB* pBlob, CertStoreObject& store, const std::shared_ptr<CertStoreObject>& pStore)
{
    if (pBlob == nullptr) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return false;
    }
    HRESULT hr = S_OK;
    DerCursor top(pBlob->pbData, pBlob->cbData);
    DerElement contentInfo, type, wrapper, signedData, element;
    Bytes vecSignedDataOid;
    OidFromText("1.2.840.113549.1.7.2", vecSignedDataOid);
    bool bRead = top.Expect(0x30, contentInfo, hr, true);
    DerCursor parts(contentInfo);
    bRead = bRead && parts.Expect(0x06, type, hr);
    if (bRead && (type.cbContents != vecSignedDataOid.size() ||
                  memcmp(type.pbContents, vecSignedDataOid.data(), type.cbContents) != 0)) {
        // Any other content is no bundle of certificates.
        hr = CRYPT_E_ASN1_CORRUPT;
        bRead = false;
    }
    bRead = bRead && parts.Expect(0xA0, wrapper, hr);
    DerCursor inner(wrapper);
    bRead = bRead && inner.Expect(0x30, signedData, hr);
    DerCursor fields(signedData);
    // version, digest algorithms, content
    bRead = bRead && fields.Expect(0x02, element, hr) && fields.Expect(0x31, element, hr) &&
            fields.Expect(0x30, element, hr);
    if (!bRead) {
        SetLastError(static_cast<DWORD>(hr));
        return false;
    }
    if (fields.PeekTag() != 0xA0) return true;
    DerElement certificates;
    if (!fields.Next(certificates, hr)) {
        SetLastError(static_cast<DWORD>(hr));
        return false;
    }
    DerCursor list(certificates);
    while (!list.Empty()) {
        DerElement certificate;
        if (!list.Next(certificate, hr)) {
            SetLastError(static_cast<DWORD>(hr));
            return false;
        }
        CertObject* pObject = CreateCertObject(certificate.pbWhole, static_cast<DWORD>(certificate.cbWhole));
        if (pObject == nullptr) return false;
        pObject->bInStore = true;
        pObject->storeKind = StoreKind::Memory;
        pObject->pMemoryStore = pStore;
        pObject->context.hCertStore = &store;
        store.vecCerts.push_back(pObject);
    }
    return true;
}

BOOL AddToStore(HCERTSTORE hCertStore, CertObject* pSource, DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext)
{
    if (ppStoreContext != nullptr) *ppStoreContext = nullptr;
    StoreHandle* pHandle = HandleOf(hCertStore);
    if (pHandle == nullptr || !pHandle->pStore || pSource == nullptr || dwAddDisposition < CERT_STORE_ADD_NEW ||
        dwAddDisposition > CERT_STORE_ADD_ALWAYS) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    const std::shared_ptr<CertStoreObject>& pStore = pHandle->pStore;
    CertStoreObject& store = *pStore;
    if (store.bReadOnly) {
        SetLastError(static_cast<DWORD>(kAccessDenied));
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(store.mutex);
    CertObject* pResult = nullptr;
    if (store.kind == StoreKind::Memory) {
        auto it = std::find_if(store.vecCerts.begin(), store.vecCerts.end(),
                               [&](const CertObject* p) { return SameEncoding(p, pSource); });
        const bool bExists = it != store.vecCerts.end() && dwAddDisposition != CERT_STORE_ADD_ALWAYS;
        if (bExists && dwAddDisposition == CERT_STORE_ADD_NEW) {
            SetLastError(static_cast<DWORD>(CRYPT_E_EXISTS));
            return FALSE;
        }
        if (bExists && dwAddDisposition == CERT_STORE_ADD_USE_EXISTING) {
            pResult = AddReference(*it);
        } else {
            CertObject* pCopy = CopyCertObject(pSource, StoreKind::Memory, pStore);
            if (pCopy == nullptr) return FALSE;
            if (bExists) {
                ReleaseReference(*it);
                *it = pCopy;
            } else {
                store.vecCerts.push_back(pCopy);
            }
            pResult = AddReference(pCopy);
        }
    } else {
        if (!NssDatabaseOpen()) return FALSE;
        SECItem item = {siDERCertBuffer, pSource->vecEncoded.data(), static_cast<unsigned int>(pSource->vecEncoded.size())};
        const bool bExists = InDatabaseStore(store.kind, NssCert(CERT_FindCertByDERCert(CERT_GetDefaultCertDB(), &item)).get());
        if (bExists && dwAddDisposition == CERT_STORE_ADD_NEW) {
            SetLastError(static_cast<DWORD>(CRYPT_E_EXISTS));
            return FALSE;
        }
        if ((!bExists || dwAddDisposition != CERT_STORE_ADD_USE_EXISTING) &&
            !AddToDatabaseStore(store.kind, pSource->vecEncoded))
            return FALSE;
        pResult = CopyCertObject(pSource, store.kind, pStore);
        if (pResult == nullptr) return FALSE;
    }
    if (ppStoreContext != nullptr)
        *ppStoreContext = &pResult->context;
    else
        ReleaseReference(pResult);
    return TRUE;
}

}  // namespace

CertStoreObject::~CertStoreObject()
{
    for (CertObject* pObject : vecCerts) ReleaseReference(pObject);
}

bool SystemStoreKind(const WCHAR* pwszName, StoreKind& kind)
{
    if (pwszName == nullptr) return false;
    WText wstr;
    for (const WCHAR* p = pwszName; *p != 0; ++p) wstr.push_back(*p >= u'a' && *p <= u'z' ? *p - u'a' + u'A' : *p);
    if (wstr == u"MY") kind = StoreKind::My;
    else if (wstr == u"CA") kind = StoreKind::Ca;
    else if (wstr == u"ROOT") kind = StoreKind::Root;
    else return false;
    return true;
}

bool ListDatabaseStore(StoreKind kind, std::vector<Bytes>& vecCertificates)
{
    if (!NssDatabaseOpen()) return false;
    NssCertList pList(PK11_ListCerts(kind == StoreKind::My ? PK11CertListUserUnique : PK11CertListUnique, nullptr));
    std::vector<std::pair<std::string, Bytes>> vecSorted;
    if (pList) {
        for (CERTCertListNode* pNode = CERT_LIST_HEAD(pList.get()); !CERT_LIST_END(pNode, pList.get());
             pNode = CERT_LIST_NEXT(pNode)) {
            if (!InDatabaseStore(kind, pNode->cert)) continue;
            Bytes vec(pNode->cert->derCert.data, pNode->cert->derCert.data + pNode->cert->derCert.len);
            std::array<BYTE, 20> hash = {};
            if (!Sha1Of(vec.data(), vec.size(), hash)) return false;
            vecSorted.emplace_back(HexOf(hash), std::move(vec));
        }
    }
    // In thumbprint order, as the platform lists a store kept in the registry.
    std::sort(vecSorted.begin(), vecSorted.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    vecCertificates.clear();
    for (auto& entry : vecSorted) vecCertificates.push_back(std::move(entry.second));
    return true;
}

bool AddToDatabaseStore(StoreKind kind, const Bytes& vecEncoded)
{
    if (!NssDatabaseOpen()) return false;
    NssCert pCert = NssCertificateOf(vecEncoded);
    if (!pCert) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
        return false;
    }
    if (!pCert->isperm) {
        NssSlot pSlot(NssDatabaseSlot());
        if (!pSlot) return false;
        const std::string strNickname = NicknameFor(pCert.get());
        if (PK11_ImportCert(pSlot.get(), pCert.get(), CK_INVALID_HANDLE, strNickname.c_str(), PR_FALSE) != SECSuccess)
            return DatabaseFailure();
        pCert = NssCertificateOf(vecEncoded);
        if (!pCert || !pCert->isperm) return DatabaseFailure();
    }
    if (kind == StoreKind::My) return true;
    CERTCertTrust trust = {};
    if (kind == StoreKind::Root) trust.sslFlags = CERTDB_TRUSTED_CA | CERTDB_VALID_CA;
    if (CERT_ChangeCertTrust(CERT_GetDefaultCertDB(), pCert.get(), &trust) != SECSuccess) return DatabaseFailure();
    return true;
}

bool RemoveFromDatabaseStore(StoreKind kind, const Bytes& vecEncoded)
{
    if (!NssDatabaseOpen()) return false;
    SECItem item = {siDERCertBuffer, const_cast<unsigned char*>(vecEncoded.data()),
                    static_cast<unsigned int>(vecEncoded.size())};
    NssCert pCert(CERT_FindCertByDERCert(CERT_GetDefaultCertDB(), &item));
    if (!InDatabaseStore(kind, pCert.get())) {
        SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
        return false;
    }
    // A certificate with its key stays for MY; from CA and ROOT it loses only its trust.
    if (kind != StoreKind::My && HasPrivateKey(pCert.get())) {
        CERTCertTrust trust = {};
        if (CERT_ChangeCertTrust(CERT_GetDefaultCertDB(), pCert.get(), &trust) != SECSuccess) return DatabaseFailure();
        return true;
    }
    if (SEC_DeletePermCertificate(pCert.get()) != SECSuccess) return DatabaseFailure();
    return true;
}

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType, HCRYPTPROV hCryptProv, DWORD dwFlags,
                         const void* pvPara)
{
    (void)dwEncodingType;
    (void)hCryptProv;
    auto pStore = std::make_shared<CertStoreObject>();
    pStore->bReadOnly = (dwFlags & CERT_STORE_READONLY_FLAG) != 0;
    if (lpszStoreProvider == CERT_STORE_PROV_MEMORY) {
        pStore->kind = StoreKind::Memory;
    } else if (lpszStoreProvider == CERT_STORE_PROV_PKCS7) {
        pStore->kind = StoreKind::Memory;
        if (!ReadBundle(static_cast<const CRYPT_DATA_BLOB*>(pvPara), *pStore, pStore)) return nullptr;
    } else if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W) {
        const DWORD dwLocation = dwFlags & kSystemStoreLocationMask;
        if ((dwLocation != CERT_SYSTEM_STORE_CURRENT_USER && dwLocation != CERT_SYSTEM_STORE_LOCAL_MACHINE) ||
            !SystemStoreKind(static_cast<const WCHAR*>(pvPara), pStore->kind)) {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
            return nullptr;
        }
        if (!NssDatabaseOpen()) return nullptr;
    } else {
        SetLastError(static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        return nullptr;
    }
    return new StoreHandle{std::move(pStore)};
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags)
{
    (void)dwFlags;
    delete HandleOf(hCertStore);
    return TRUE;
}

BOOL CertControlStore(HCERTSTORE hCertStore, DWORD dwFlags, DWORD dwCtrlType, const void* pvCtrlPara)
{
    (void)dwFlags;
    (void)pvCtrlPara;
    if (hCertStore == nullptr) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    if (dwCtrlType != CERT_STORE_CTRL_COMMIT) {
        SetLastError(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
        return FALSE;
    }
    return TRUE;
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext)
{
    return NextMatching(hCertStore, pPrevCertContext, [](const CertObject*) { return true; });
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, DWORD dwFindFlags,
                                          DWORD dwFindType, const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext)
{
    (void)dwCertEncodingType;
    (void)dwFindFlags;
    if (dwFindType == CERT_FIND_ANY)
        return NextMatching(hCertStore, pPrevCertContext, [](const CertObject*) { return true; });
    if (dwFindType == CERT_FIND_EXISTING && pvFindPara != nullptr) {
        const CertObject* pWanted = FromContext(static_cast<PCCERT_CONTEXT>(pvFindPara));
        return NextMatching(hCertStore, pPrevCertContext,
                            [pWanted](const CertObject* p) { return SameEncoding(p, pWanted); });
    }
    ReleaseReference(FromContext(pPrevCertContext));
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                      DWORD cbCertEncoded, DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext)
{
    if (ppCertContext != nullptr) *ppCertContext = nullptr;
    PCCERT_CONTEXT pContext = CertCreateCertificateContext(dwCertEncodingType, pbCertEncoded, cbCertEncoded);
    if (pContext == nullptr) return FALSE;
    const BOOL bAdded = AddToStore(hCertStore, FromContext(pContext), dwAddDisposition, ppCertContext);
    const DWORD dwError = GetLastError();
    CertFreeCertificateContext(pContext);
    SetLastError(dwError);
    return bAdded;
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext, DWORD dwAddDisposition,
                                      PCCERT_CONTEXT* ppStoreContext)
{
    return AddToStore(hCertStore, FromContext(pCertContext), dwAddDisposition, ppStoreContext);
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext)
{
    if (pCertContext == nullptr) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    // The context given is freed whatever the outcome.
    CertObject* pObject = FromContext(pCertContext);
    BOOL bResult = TRUE;
    if (pObject->bInStore && pObject->storeKind != StoreKind::Memory) {
        bResult = RemoveFromDatabaseStore(pObject->storeKind, pObject->vecEncoded) ? TRUE : FALSE;
    } else if (std::shared_ptr<CertStoreObject> pStore = pObject->pMemoryStore.lock()) {
        std::lock_guard<std::mutex> lock(pStore->mutex);
        auto it = std::find(pStore->vecCerts.begin(), pStore->vecCerts.end(), pObject);
        if (it != pStore->vecCerts.end()) {
            pStore->vecCerts.erase(it);
            ReleaseReference(pObject);
        }
    }
    const DWORD dwError = GetLastError();
    ReleaseReference(pObject);
    SetLastError(dwError);
    return bResult;
}
