// platform/linux/src/system/SystemStores.cpp — the registry's system-store keys, carried to the NSS database:
// a "Blob" value is crypt32's serialized properties (each: id, reserved 1, length, data), of which property 32
// is the certificate.
#include "SystemStores.h"

#include "Crypt32Internal.h"

#include <cstring>

namespace {

constexpr DWORD kCertificatePropId = 32;  // CERT_CERT_PROP_ID

bool ThumbprintOf(LPCWSTR pwsz, std::array<BYTE, 20>& hash)
{
    if (pwsz == nullptr) return false;
    for (size_t i = 0; i < 40; ++i) {
        const WCHAR w = pwsz[i];
        int n = -1;
        if (w >= u'0' && w <= u'9') n = w - u'0';
        else if (w >= u'a' && w <= u'f') n = w - u'a' + 10;
        else if (w >= u'A' && w <= u'F') n = w - u'A' + 10;
        if (n < 0) return false;
        if (i % 2 == 0) hash[i / 2] = static_cast<BYTE>(n << 4);
        else hash[i / 2] = static_cast<BYTE>(hash[i / 2] | n);
    }
    return pwsz[40] == 0;
}

// The certificate of the serialized properties; false for a blob that does not hold one whole.
bool CertificateOfBlob(const BYTE* pb, DWORD cb, Bytes& vecCert)
{
    size_t nPos = 0;
    const size_t cbBlob = pb != nullptr ? cb : 0;
    while (cbBlob - nPos >= 12) {
        DWORD rgdw[3];
        memcpy(rgdw, pb + nPos, sizeof(rgdw));
        nPos += 12;
        const DWORD dwId = rgdw[0], dwReserved = rgdw[1], cbData = rgdw[2];
        if (dwReserved != 1 || cbData > cbBlob - nPos) return false;
        if (dwId == kCertificatePropId) {
            vecCert.assign(pb + nPos, pb + nPos + cbData);
            return true;
        }
        nPos += cbData;
    }
    return false;
}

// The database's certificate of the thumbprint, if it is in the store.
bool FindInStore(StoreKind kind, const std::array<BYTE, 20>& hash, Bytes& vecCert)
{
    std::vector<Bytes> vecCertificates;
    if (!ListDatabaseStore(kind, vecCertificates)) return false;
    for (Bytes& vec : vecCertificates) {
        std::array<BYTE, 20> hashOfCert = {};
        if (Sha1Of(vec.data(), vec.size(), hashOfCert) && hashOfCert == hash) {
            vecCert.swap(vec);
            return true;
        }
    }
    return false;
}

}  // namespace

LONG SystemStoreWriteBlob(LPCWSTR pwszStore, LPCWSTR pwszThumbprint, const BYTE* pbBlob, DWORD cbBlob)
{
    StoreKind kind = StoreKind::Memory;
    std::array<BYTE, 20> hash = {}, hashOfCert = {};
    Bytes vecCert;
    if (!SystemStoreKind(pwszStore, kind) || !ThumbprintOf(pwszThumbprint, hash)) return ERROR_INVALID_PARAMETER;
    if (!CertificateOfBlob(pbBlob, cbBlob, vecCert)) return ERROR_INVALID_DATA;
    CertObject* pObject = CreateCertObject(vecCert.data(), static_cast<DWORD>(vecCert.size()));
    if (pObject == nullptr) return ERROR_INVALID_DATA;
    ReleaseReference(pObject);
    if (!Sha1Of(vecCert.data(), vecCert.size(), hashOfCert)) return ERROR_BADDB;
    if (hashOfCert != hash) return ERROR_INVALID_DATA;
    return AddToDatabaseStore(kind, vecCert) ? ERROR_SUCCESS : ERROR_BADDB;
}

LONG SystemStoreFind(LPCWSTR pwszStore, LPCWSTR pwszThumbprint)
{
    StoreKind kind = StoreKind::Memory;
    std::array<BYTE, 20> hash = {};
    Bytes vecCert;
    if (!SystemStoreKind(pwszStore, kind) || !ThumbprintOf(pwszThumbprint, hash)) return ERROR_INVALID_PARAMETER;
    return FindInStore(kind, hash, vecCert) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG SystemStoreDelete(LPCWSTR pwszStore, LPCWSTR pwszThumbprint)
{
    StoreKind kind = StoreKind::Memory;
    std::array<BYTE, 20> hash = {};
    Bytes vecCert;
    if (!SystemStoreKind(pwszStore, kind) || !ThumbprintOf(pwszThumbprint, hash)) return ERROR_INVALID_PARAMETER;
    if (!FindInStore(kind, hash, vecCert)) return ERROR_FILE_NOT_FOUND;
    return RemoveFromDatabaseStore(kind, vecCert) ? ERROR_SUCCESS : ERROR_BADDB;
}
