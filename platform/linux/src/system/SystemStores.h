// platform/linux/src/system/SystemStores.h — crypt32 keeps its system stores in the registry, and the chain
// installation writes and removes certificates there directly: SOFTWARE\Microsoft\SystemCertificates
// \<store>\Certificates\<SHA-1 thumbprint>, value "Blob" (crypt32's serialized properties). In the native
// build those stores are the NSS database's certificates, so the registry hands such keys to crypt32 here.
#pragma once
#include <windows.h>

// pwszStore: "ROOT", "CA", "MY" (any case); pwszThumbprint: 40 hex digits. Each returns an ERROR_* code.
// Writing a blob imports its certificate (property CERT_BLOB_CERT_PROP_ID 32) with the store's trust:
// ROOT "C,,", CA ",,"; a thumbprint that is not the certificate's SHA-1 is refused (ERROR_INVALID_DATA).
LONG SystemStoreWriteBlob(LPCWSTR pwszStore, LPCWSTR pwszThumbprint, const BYTE* pbBlob, DWORD cbBlob);
// Whether the store holds the certificate of that thumbprint (ERROR_SUCCESS or ERROR_FILE_NOT_FOUND).
LONG SystemStoreFind(LPCWSTR pwszStore, LPCWSTR pwszThumbprint);
// Removes the certificate from the store (its trust, and the certificate where nothing else keeps it).
LONG SystemStoreDelete(LPCWSTR pwszStore, LPCWSTR pwszThumbprint);
