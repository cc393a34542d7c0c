// platform/linux/src/system/Crypt32Certificates.cpp — certificate contexts of the native crypt32: decoding
// into CERT_INFO, their names as text, extensions, validity, properties and the private key they are bound to.
#include "Containers.h"
#include "Utf8.h"
#include "Crypt32Internal.h"
#include "NssDatabase.h"

#include <algorithm>
#include <cstring>

namespace {

class CertDecoder {
public:
    explicit CertDecoder(CertObject& object) : m_object(object) {}

    bool Decode(HRESULT& hr)
    {
        const Bytes& vec = m_object.vecEncoded;
        // The outer sequence's own length is checked after its parts, so a certificate cut inside its last part
        // fails as that part does.
        DerElement outer;
        if (!OuterSequence(vec.data(), vec.size(), outer, hr)) return false;
        DerCursor parts(outer);
        DerElement tbs, algorithm, signature;
        if (!parts.Expect(kTagSequence, tbs, hr) || !ToBeSigned(tbs, hr) || !parts.Expect(kTagSequence, algorithm, hr) ||
            !parts.Expect(kTagBitString, signature, hr)) {
            // Parts that are not what a certificate holds, inside a length past the end: the length is the fault.
            if (m_bOuterShort && hr == CRYPT_E_ASN1_BADTAG) hr = CRYPT_E_ASN1_EOD;
            return false;
        }
        if (signature.cbContents == 0) return Fail(CRYPT_E_ASN1_CORRUPT, hr);
        if (m_bOuterShort) return Fail(CRYPT_E_ASN1_EOD, hr);
        return true;
    }

private:
    bool OuterSequence(const BYTE* pb, size_t cb, DerElement& outer, HRESULT& hr)
    {
        if (cb == 0) return Fail(CRYPT_E_ASN1_EOD, hr);
        if (pb[0] != kTagSequence) return Fail(CRYPT_E_ASN1_BADTAG, hr);
        DerCursor cursor(pb, cb);
        if (cursor.Next(outer, hr, true)) return true;
        if (hr != CRYPT_E_ASN1_EOD || cb < 2) return false;
        // Declared longer than given: its parts are read from what is there.
        size_t nHeader = 2;
        if (pb[1] & 0x80) nHeader += pb[1] & 0x7F;
        if (nHeader > cb) return Fail(CRYPT_E_ASN1_CORRUPT, hr);
        outer.bTag = kTagSequence;
        outer.pbContents = pb + nHeader;
        outer.cbContents = cb - nHeader;
        m_bOuterShort = true;
        return true;
    }

    const char* KeepOid(const DerElement& oid, HRESULT& hr)
    {
        auto pstr = std::make_unique<std::string>();
        if (!OidToText(oid.pbContents, oid.cbContents, *pstr)) {
            hr = CRYPT_E_ASN1_CORRUPT;
            return nullptr;
        }
        m_object.vecOids.push_back(std::move(pstr));
        return m_object.vecOids.back()->c_str();
    }

    bool Algorithm(const DerElement& sequence, CRYPT_ALGORITHM_IDENTIFIER& algorithm, HRESULT& hr)
    {
        DerCursor parts(sequence);
        DerElement oid;
        if (!parts.Expect(kTagOid, oid, hr)) return false;
        const char* psz = KeepOid(oid, hr);
        if (psz == nullptr) return false;
        algorithm.pszObjId = const_cast<LPSTR>(psz);
        // The parameters as encoded, whatever follows the identifier.
        algorithm.Parameters.cbData = static_cast<DWORD>(parts.Remaining());
        algorithm.Parameters.pbData = parts.Remaining() != 0 ? const_cast<BYTE*>(oid.pbWhole + oid.cbWhole) : nullptr;
        return true;
    }

    static bool BitString(const DerElement& element, CRYPT_BIT_BLOB& bits, HRESULT& hr)
    {
        if (element.cbContents == 0 || element.pbContents[0] > 7) return Fail(CRYPT_E_ASN1_CORRUPT, hr);
        bits.cUnusedBits = element.pbContents[0];
        bits.cbData = static_cast<DWORD>(element.cbContents - 1);
        bits.pbData = bits.cbData != 0 ? const_cast<BYTE*>(element.pbContents + 1) : nullptr;
        return true;
    }

    bool Extensions(const DerElement& wrapper, HRESULT& hr)
    {
        DerCursor outer(wrapper);
        DerElement list;
        if (!outer.Expect(kTagSequence, list, hr)) return false;
        DerCursor items(list);
        while (!items.Empty()) {
            DerElement extension, oid, value;
            if (!items.Expect(kTagSequence, extension, hr)) return false;
            DerCursor parts(extension);
            if (!parts.Expect(kTagOid, oid, hr)) return false;
            CERT_EXTENSION stExtension = {};
            const char* psz = KeepOid(oid, hr);
            if (psz == nullptr) return false;
            stExtension.pszObjId = const_cast<LPSTR>(psz);
            if (parts.PeekTag() == kTagBoolean) {
                DerElement critical;
                if (!parts.Next(critical, hr)) return false;
                if (critical.cbContents != 1) return Fail(CRYPT_E_ASN1_CORRUPT, hr);
                stExtension.fCritical = critical.pbContents[0] != 0 ? TRUE : FALSE;
            }
            if (!parts.Expect(kTagOctetString, value, hr)) return false;
            stExtension.Value.cbData = static_cast<DWORD>(value.cbContents);
            stExtension.Value.pbData = value.cbContents != 0 ? const_cast<BYTE*>(value.pbContents) : nullptr;
            m_object.vecExtensions.push_back(stExtension);
        }
        return true;
    }

    bool ToBeSigned(const DerElement& tbs, HRESULT& hr)
    {
        CERT_INFO& info = m_object.info;
        DerCursor parts(tbs);
        DerElement element;
        if (parts.PeekTag() == 0xA0) {
            DerElement wrapper, version;
            if (!parts.Next(wrapper, hr)) return false;
            DerCursor inner(wrapper);
            if (!inner.Expect(kTagInteger, version, hr)) return false;
            if (version.cbContents != 1 || version.pbContents[0] > 2) return Fail(CRYPT_E_ASN1_CORRUPT, hr);
            info.dwVersion = version.pbContents[0];
        }
        if (!parts.Expect(kTagInteger, element, hr)) return false;
        if (element.cbContents == 0) return Fail(CRYPT_E_ASN1_CORRUPT, hr);
        m_object.vecSerial.assign(element.pbContents, element.pbContents + element.cbContents);
        std::reverse(m_object.vecSerial.begin(), m_object.vecSerial.end());

        if (!parts.Expect(kTagSequence, element, hr) || !Algorithm(element, info.SignatureAlgorithm, hr)) return false;
        if (!parts.Expect(kTagSequence, element, hr)) return false;
        info.Issuer.cbData = static_cast<DWORD>(element.cbWhole);
        info.Issuer.pbData = const_cast<BYTE*>(element.pbWhole);

        DerElement validity, notBefore, notAfter;
        if (!parts.Expect(kTagSequence, validity, hr)) return false;
        DerCursor times(validity);
        if (!times.Next(notBefore, hr) || !times.Next(notAfter, hr)) return false;
        if (!DerTimeToFileTime(notBefore, info.NotBefore) || !DerTimeToFileTime(notAfter, info.NotAfter))
            return Fail(CRYPT_E_ASN1_CORRUPT, hr);

        if (!parts.Expect(kTagSequence, element, hr)) return false;
        info.Subject.cbData = static_cast<DWORD>(element.cbWhole);
        info.Subject.pbData = const_cast<BYTE*>(element.pbWhole);

        DerElement spki, algorithm, key;
        if (!parts.Expect(kTagSequence, spki, hr)) return false;
        DerCursor keyParts(spki);
        if (!keyParts.Expect(kTagSequence, algorithm, hr) ||
            !Algorithm(algorithm, info.SubjectPublicKeyInfo.Algorithm, hr) || !keyParts.Expect(kTagBitString, key, hr) ||
            !BitString(key, info.SubjectPublicKeyInfo.PublicKey, hr))
            return false;

        if (parts.PeekTag() == 0x81 || parts.PeekTag() == 0xA1) {
            if (!parts.Next(element, hr) || !BitString(element, info.IssuerUniqueId, hr)) return false;
        }
        if (parts.PeekTag() == 0x82 || parts.PeekTag() == 0xA2) {
            if (!parts.Next(element, hr) || !BitString(element, info.SubjectUniqueId, hr)) return false;
        }
        if (parts.PeekTag() == 0xA3) {
            if (!parts.Next(element, hr) || !Extensions(element, hr)) return false;
        }
        return true;
    }

    CertObject& m_object;
    bool m_bOuterShort = false;
};

// A text handed out as crypt32 does: the size with its terminator when there is nowhere to write or the
// buffer holds it, else what fits, cut and terminated.
DWORD PutText(const WText& wstr, LPWSTR psz, DWORD csz)
{
    if (psz == nullptr) return static_cast<DWORD>(wstr.size() + 1);
    if (csz == 0) return 0;
    const size_t cch = std::min<size_t>(wstr.size(), csz - 1);
    if (cch != 0) memcpy(psz, wstr.data(), cch * sizeof(WCHAR));
    psz[cch] = 0;
    return static_cast<DWORD>(cch + 1);
}

WText NameText(const std::vector<NameRdn>& vecRdns, DWORD dwStrType)
{
    const DWORD dwBase = dwStrType & 0xFFFF;
    const bool bReverse = (dwStrType & CERT_NAME_STR_REVERSE_FLAG) != 0;
    // The platform quotes even under CERT_NAME_STR_NO_QUOTING_FLAG.
    WText wstr;
    for (size_t n = 0; n < vecRdns.size(); ++n) {
        const NameRdn& rdn = vecRdns[bReverse ? vecRdns.size() - 1 - n : n];
        if (n != 0) wstr += u", ";
        for (size_t i = 0; i < rdn.size(); ++i) {
            if (i != 0) wstr += u" + ";
            if (dwBase != CERT_SIMPLE_NAME_STR) {
                const char* pszShort = dwBase == CERT_X500_NAME_STR ? AttributeShortName(rdn[i].strOid) : nullptr;
                wstr += Utf16OfUtf8(pszShort != nullptr ? std::string(pszShort) : rdn[i].strOid);
                wstr += u'=';
            }
            wstr += QuotedValue(rdn[i]);
        }
    }
    return wstr;
}

bool HashOf(const BYTE* pb, size_t cb, std::array<BYTE, 20>& hash)
{
    if (!NssDatabaseOpen()) return false;
    if (cb > 0x7FFFFFFF || PK11_HashBuf(SEC_OID_SHA1, hash.data(), pb, static_cast<PRInt32>(cb)) != SECSuccess) {
        SetLastError(static_cast<DWORD>(NTE_FAIL));
        return false;
    }
    return true;
}

DWORD ProviderTypeOf(const WText& wstrProvider)
{
    return wstrProvider.find(u"AES") != WText::npos ? static_cast<DWORD>(PROV_RSA_AES) : static_cast<DWORD>(PROV_RSA_FULL);
}

bool CurrentKeyProvInfo(CertObject& object, KeyProvInfo& info)
{
    {
        std::lock_guard<std::mutex> lock(object.mutex);
        if (object.bHasKeyProvInfo) {
            info = object.keyProvInfo;
            return true;
        }
        if (!object.bKeyFromDatabase) return false;
    }
    return KeyProvInfoFromDatabase(object.vecEncoded, info);
}

// CRYPT_KEY_PROV_INFO followed by its two texts, which its pointers point at.
Bytes SerializeKeyProvInfo(const KeyProvInfo& info)
{
    const size_t cbHead = sizeof(CRYPT_KEY_PROV_INFO);
    const size_t cbContainer = (info.wstrContainer.size() + 1) * sizeof(WCHAR);
    const size_t cbProvider = (info.wstrProvider.size() + 1) * sizeof(WCHAR);
    Bytes vec(cbHead + cbContainer + cbProvider, 0);
    memcpy(vec.data() + cbHead, info.wstrContainer.c_str(), cbContainer);
    memcpy(vec.data() + cbHead + cbContainer, info.wstrProvider.c_str(), cbProvider);
    return vec;
}

void PointKeyProvInfo(BYTE* pb, const KeyProvInfo& info)
{
    CRYPT_KEY_PROV_INFO st = {};
    st.pwszContainerName = reinterpret_cast<LPWSTR>(pb + sizeof(CRYPT_KEY_PROV_INFO));
    st.pwszProvName = reinterpret_cast<LPWSTR>(pb + sizeof(CRYPT_KEY_PROV_INFO) +
                                               (info.wstrContainer.size() + 1) * sizeof(WCHAR));
    st.dwProvType = info.dwProvType;
    st.dwFlags = info.dwFlags;
    st.dwKeySpec = info.dwKeySpec;
    memcpy(pb, &st, sizeof(st));
}

bool PutBytes(const BYTE* pbSource, size_t cb, void* pvData, DWORD* pcbData)
{
    if (pvData == nullptr) {
        *pcbData = static_cast<DWORD>(cb);
        return true;
    }
    if (*pcbData < cb) {
        *pcbData = static_cast<DWORD>(cb);
        SetLastError(ERROR_MORE_DATA);
        return false;
    }
    if (cb != 0) memcpy(pvData, pbSource, cb);
    *pcbData = static_cast<DWORD>(cb);
    return true;
}

}  // namespace

bool Sha1Of(const BYTE* pb, size_t cb, std::array<BYTE, 20>& hash) { return HashOf(pb, cb, hash); }

CertObject* CreateCertObject(const BYTE* pb, DWORD cb)
{
    auto pObject = std::make_unique<CertObject>();
    pObject->vecEncoded.assign(pb, pb + (pb != nullptr ? cb : 0));
    HRESULT hr = S_OK;
    if (!CertDecoder(*pObject).Decode(hr)) {
        SetLastError(static_cast<DWORD>(hr));
        return nullptr;
    }
    pObject->info.SerialNumber.cbData = static_cast<DWORD>(pObject->vecSerial.size());
    pObject->info.SerialNumber.pbData = pObject->vecSerial.data();
    pObject->info.cExtension = static_cast<DWORD>(pObject->vecExtensions.size());
    pObject->info.rgExtension = pObject->vecExtensions.empty() ? nullptr : pObject->vecExtensions.data();
    CERT_CONTEXT& context = pObject->context;
    context.dwCertEncodingType = X509_ASN_ENCODING;
    context.pbCertEncoded = pObject->vecEncoded.data();
    context.cbCertEncoded = static_cast<DWORD>(pObject->vecEncoded.size());
    context.pCertInfo = &pObject->info;
    return pObject.release();
}

CertObject* FromContext(PCCERT_CONTEXT pContext)
{
    return const_cast<CertObject*>(reinterpret_cast<const CertObject*>(pContext));
}

CertObject* AddReference(CertObject* pObject)
{
    if (pObject != nullptr) pObject->lRefs.fetch_add(1);
    return pObject;
}

void ReleaseReference(CertObject* pObject)
{
    if (pObject != nullptr && pObject->lRefs.fetch_sub(1) == 1) delete pObject;
}

CertObject* CopyCertObject(CertObject* pObject, StoreKind kind, const std::shared_ptr<CertStoreObject>& pStore)
{
    CertObject* pCopy = CreateCertObject(pObject->vecEncoded.data(), static_cast<DWORD>(pObject->vecEncoded.size()));
    if (pCopy == nullptr) return nullptr;
    {
        std::lock_guard<std::mutex> lock(pObject->mutex);
        pCopy->bHasKeyProvInfo = pObject->bHasKeyProvInfo;
        pCopy->keyProvInfo = pObject->keyProvInfo;
        pCopy->bKeyFromDatabase = pObject->bKeyFromDatabase;
    }
    pCopy->bInStore = true;
    pCopy->storeKind = kind;
    if (kind == StoreKind::Memory) pCopy->pMemoryStore = pStore;
    if (kind == StoreKind::My) pCopy->bKeyFromDatabase = true;
    // Names the store; contexts never hand their store back to the API.
    pCopy->context.hCertStore = pStore.get();
    return pCopy;
}

NssCert NssCertificateOf(const Bytes& vecEncoded)
{
    SECItem item = {siDERCertBuffer, const_cast<unsigned char*>(vecEncoded.data()),
                    static_cast<unsigned int>(vecEncoded.size())};
    NssCert pCert(CERT_FindCertByDERCert(CERT_GetDefaultCertDB(), &item));
    if (!pCert) pCert.reset(CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE, PR_TRUE));
    return pCert;
}

SECKEYPrivateKey* PrivateKeyOf(CERTCertificate* pCert)
{
    // Found by the key's identifier, which the database derives from the public key, so a certificate that is
    // not in the database yet finds its key too.
    NssSlot pSlot(NssDatabaseSlot());
    return pSlot ? PK11_FindKeyByDERCert(pSlot.get(), pCert, nullptr) : nullptr;
}

bool KeyProvInfoFromDatabase(const Bytes& vecEncoded, KeyProvInfo& info)
{
    if (!NssDatabaseOpen()) return false;
    NssCert pCert = NssCertificateOf(vecEncoded);
    if (!pCert) return false;
    NssPrivateKey pKey(PrivateKeyOf(pCert.get()));
    if (!pKey) return false;
    std::string strContainer;
    DWORD dwKeySpec = 0;
    WText wstrProvider;
    if (!ContainerOfKey(pKey.get(), strContainer, dwKeySpec) || !ContainerProviderName(strContainer, wstrProvider))
        return false;
    info.wstrContainer = Utf16OfUtf8(strContainer);
    info.wstrProvider = wstrProvider;
    info.dwProvType = ProviderTypeOf(wstrProvider);
    info.dwFlags = 0;
    info.dwKeySpec = dwKeySpec;
    return true;
}

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded, DWORD cbCertEncoded)
{
    if ((dwCertEncodingType & X509_ASN_ENCODING) == 0) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    CertObject* pObject = CreateCertObject(pbCertEncoded, cbCertEncoded);
    return pObject != nullptr ? &pObject->context : nullptr;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext)
{
    if (pCertContext == nullptr) return nullptr;
    return &AddReference(FromContext(pCertContext))->context;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext)
{
    ReleaseReference(FromContext(pCertContext));
    return TRUE;
}

DWORD CertNameToStrW(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPWSTR psz, DWORD csz)
{
    (void)dwCertEncodingType;
    std::vector<NameRdn> vecRdns;
    HRESULT hr = S_OK;
    const DWORD dwBase = dwStrType & 0xFFFF;
    if (pName == nullptr || (dwBase != CERT_SIMPLE_NAME_STR && dwBase != CERT_OID_NAME_STR && dwBase != CERT_X500_NAME_STR)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return PutText(WText(), psz, csz);
    }
    if (!DecodeName(pName->pbData, pName->cbData, vecRdns, hr)) {
        SetLastError(static_cast<DWORD>(hr));
        return PutText(WText(), psz, csz);
    }
    return PutText(NameText(vecRdns, dwStrType), psz, csz);
}

DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                         LPWSTR pszNameString, DWORD cchNameString)
{
    (void)pvTypePara;
    if (pCertContext == nullptr || pCertContext->pCertInfo == nullptr || dwType != CERT_NAME_SIMPLE_DISPLAY_TYPE) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return PutText(WText(), pszNameString, cchNameString);
    }
    const CERT_NAME_BLOB& name = (dwFlags & CERT_NAME_ISSUER_FLAG) ? pCertContext->pCertInfo->Issuer
                                                                      : pCertContext->pCertInfo->Subject;
    std::vector<NameRdn> vecRdns;
    HRESULT hr = S_OK;
    if (!DecodeName(name.pbData, name.cbData, vecRdns, hr)) return PutText(WText(), pszNameString, cchNameString);
    // The first attribute of the first of these types the name has, in this order.
    for (const char* pszOid : {"2.5.4.3", "2.5.4.11", "2.5.4.10", "1.2.840.113549.1.9.1"}) {
        for (const NameRdn& rdn : vecRdns)
            for (const NameAttribute& attribute : rdn)
                if (attribute.strOid == pszOid) return PutText(attribute.wstrValue, pszNameString, cchNameString);
    }
    return PutText(WText(), pszNameString, cchNameString);
}

PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions, CERT_EXTENSION* rgExtensions)
{
    if (pszObjId != nullptr && rgExtensions != nullptr) {
        for (DWORD i = 0; i < cExtensions; ++i)
            if (rgExtensions[i].pszObjId != nullptr && strcmp(rgExtensions[i].pszObjId, pszObjId) == 0)
                return &rgExtensions[i];
    }
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return nullptr;
}

LONG CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo)
{
    FILETIME ftNow = {};
    if (pTimeToVerify == nullptr) GetSystemTimeAsFileTime(&ftNow);
    const FILETIME* pft = pTimeToVerify != nullptr ? pTimeToVerify : &ftNow;
    if (CompareFileTime(pft, &pCertInfo->NotBefore) < 0) return -1;
    if (CompareFileTime(pft, &pCertInfo->NotAfter) > 0) return 1;
    return 0;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData, DWORD* pcbData)
{
    if (pCertContext == nullptr || pcbData == nullptr) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    CertObject* pObject = FromContext(pCertContext);
    if (dwPropId == CERT_SHA1_HASH_PROP_ID) {
        std::array<BYTE, 20> hash = {};
        if (!HashOf(pObject->vecEncoded.data(), pObject->vecEncoded.size(), hash)) return FALSE;
        return PutBytes(hash.data(), hash.size(), pvData, pcbData) ? TRUE : FALSE;
    }
    if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
        KeyProvInfo info;
        if (!CurrentKeyProvInfo(*pObject, info)) {
            SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
            return FALSE;
        }
        Bytes vec = SerializeKeyProvInfo(info);
        if (!PutBytes(vec.data(), vec.size(), pvData, pcbData)) return FALSE;
        if (pvData != nullptr) PointKeyProvInfo(static_cast<BYTE*>(pvData), info);
        return TRUE;
    }
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return FALSE;
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags, const void* pvData)
{
    (void)dwFlags;
    if (pCertContext == nullptr || dwPropId != CERT_KEY_PROV_INFO_PROP_ID) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    CertObject* pObject = FromContext(pCertContext);
    const auto* pInfo = static_cast<const CRYPT_KEY_PROV_INFO*>(pvData);
    KeyProvInfo info;
    if (pInfo != nullptr) {
        info.wstrContainer = pInfo->pwszContainerName != nullptr ? WText(pInfo->pwszContainerName) : WText();
        info.wstrProvider = pInfo->pwszProvName != nullptr ? WText(pInfo->pwszProvName) : WText();
        info.dwProvType = pInfo->dwProvType;
        info.dwFlags = pInfo->dwFlags;
        info.dwKeySpec = pInfo->dwKeySpec;
    }
    // In the personal store the binding is the database's: the certificate goes into the key's token.
    if (pInfo != nullptr && pObject->bInStore && pObject->storeKind == StoreKind::My &&
        !AddToDatabaseStore(StoreKind::My, pObject->vecEncoded))
        return FALSE;
    std::lock_guard<std::mutex> lock(pObject->mutex);
    pObject->bHasKeyProvInfo = pInfo != nullptr;
    pObject->keyProvInfo = info;
    return TRUE;
}

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                       HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProvOrNCryptKey)
{
    (void)dwFlags;
    (void)pvParameters;
    if (pCert == nullptr || phCryptProvOrNCryptKey == nullptr) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    KeyProvInfo info;
    if (!CurrentKeyProvInfo(*FromContext(pCert), info)) {
        SetLastError(static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
        return FALSE;
    }
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, info.wstrContainer.c_str(), info.wstrProvider.c_str(), info.dwProvType,
                              info.dwFlags & CRYPT_MACHINE_KEYSET))
        return FALSE;
    *phCryptProvOrNCryptKey = hProv;
    if (pdwKeySpec != nullptr) *pdwKeySpec = info.dwKeySpec;
    if (pfCallerFreeProvOrNCryptKey != nullptr) *pfCallerFreeProvOrNCryptKey = TRUE;
    return TRUE;
}
