// platform/linux/src/system/Crypt32Internal.h — certificate contexts and stores of the native crypt32. A
// context owns its encoding and every buffer its CERT_INFO points into and counts its references; a store
// is a memory list (memory and PKCS#7 stores) or a view of the NSS database (the system stores "MY", "CA"
// and "ROOT", for the user and the machine alike).
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include "Crypt32Der.h"

#include <cert.h>
#include <certdb.h>
#include <keyhi.h>
#include <pk11pub.h>

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct CertStoreObject;
enum class StoreKind { Memory, My, Ca, Root };

// Owners of what NSS hands out.
template <typename T, void (*Free)(T*)>
struct NssFree {
    void operator()(T* p) const
    {
        if (p != nullptr) Free(p);
    }
};
using NssCert = std::unique_ptr<CERTCertificate, NssFree<CERTCertificate, CERT_DestroyCertificate>>;
using NssPrivateKey = std::unique_ptr<SECKEYPrivateKey, NssFree<SECKEYPrivateKey, SECKEY_DestroyPrivateKey>>;
using NssSlot = std::unique_ptr<PK11SlotInfo, NssFree<PK11SlotInfo, PK11_FreeSlot>>;
using NssCertList = std::unique_ptr<CERTCertList, NssFree<CERTCertList, CERT_DestroyCertList>>;

// The database's certificate of that encoding, or a temporary one when the database does not hold it.
NssCert NssCertificateOf(const Bytes& vecEncoded);

// A context's CERT_KEY_PROV_INFO_PROP_ID, kept as its parts.
struct KeyProvInfo {
    WText wstrContainer;
    WText wstrProvider;
    DWORD dwProvType = 0;
    DWORD dwFlags = 0;
    DWORD dwKeySpec = 0;
};

struct CertObject {
    CERT_CONTEXT context = {};  // first, so a PCCERT_CONTEXT is the object's address
    std::atomic<long> lRefs{1};
    Bytes vecEncoded;
    CERT_INFO info = {};
    std::vector<std::unique_ptr<std::string>> vecOids;  // the pszObjId texts, at stable addresses
    std::vector<CERT_EXTENSION> vecExtensions;
    Bytes vecSerial;  // little-endian, as the platform gives it
    std::mutex mutex;  // guards the properties below
    bool bHasKeyProvInfo = false;
    KeyProvInfo keyProvInfo;
    // The key binding comes from the database: a context of the personal store, or a copy of one.
    bool bKeyFromDatabase = false;
    // The store the context belongs to: a system store is known by its kind alone, a memory store only while
    // it is open (its list holds the context, so the context must not hold the store).
    bool bInStore = false;
    StoreKind storeKind = StoreKind::Memory;
    std::weak_ptr<CertStoreObject> pMemoryStore;
};

struct CertStoreObject {
    StoreKind kind = StoreKind::Memory;
    bool bReadOnly = false;
    std::mutex mutex;
    // A memory store's certificates; for a system store, what the last enumeration from the start found.
    std::vector<CertObject*> vecCerts;  // each holds one reference
    ~CertStoreObject();
};

// What CertOpenStore hands out: each handle owns one reference to its store.
struct StoreHandle {
    std::shared_ptr<CertStoreObject> pStore;
};

// A new context of the encoding (nullptr with the last error set).
CertObject* CreateCertObject(const BYTE* pb, DWORD cb);
CertObject* FromContext(PCCERT_CONTEXT pContext);
CertObject* AddReference(CertObject* pObject);
void ReleaseReference(CertObject* pObject);
// A new context of the same certificate with the same properties, for a store of that kind.
CertObject* CopyCertObject(CertObject* pObject, StoreKind kind, const std::shared_ptr<CertStoreObject>& pStore);

// SHA-1 of the bytes (the database must open: NSS computes it).
bool Sha1Of(const BYTE* pb, size_t cb, std::array<BYTE, 20>& hash);
// The database's private key of the certificate's public key, if it holds one (the caller frees it).
SECKEYPrivateKey* PrivateKeyOf(CERTCertificate* pCert);
// The binding of the certificate's private key in the database, if the database holds the key.
bool KeyProvInfoFromDatabase(const Bytes& vecEncoded, KeyProvInfo& info);

// The system store named (any case) "MY", "CA" or "ROOT"; false for any other.
bool SystemStoreKind(const WCHAR* pwszName, StoreKind& kind);
// The database's certificates of a system store.
bool ListDatabaseStore(StoreKind kind, std::vector<Bytes>& vecCertificates);
// Puts the certificate into a system store of the database (importing it, which links it to its key through
// the key's identifier, and setting its trust); the last error is set on failure.
bool AddToDatabaseStore(StoreKind kind, const Bytes& vecEncoded);
// Takes it out of the store: its trust for "CA" and "ROOT", the certificate itself where no other store keeps it.
bool RemoveFromDatabaseStore(StoreKind kind, const Bytes& vecEncoded);
