// platform/linux/src/system/Crypt32Encoding.cpp — the structures crypt32 encodes and decodes for the shared
// units (name values, attributes, key usage, octet strings, RSA public keys) and the public key info of a
// provider's key, through the providers' public API.
#include "Crypt32Internal.h"
#include "Utf8.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace {

// Hands out a structure of cbNeeded bytes, which fill() writes at pb: its size alone when there is nowhere
// to write, ERROR_MORE_DATA when it does not fit.
template <typename Fill>
BOOL PutStructure(size_t cbNeeded, void* pv, DWORD* pcb, Fill fill)
{
    if (pcb == nullptr) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    if (pv == nullptr) {
        *pcb = static_cast<DWORD>(cbNeeded);
        return TRUE;
    }
    if (*pcb < cbNeeded) {
        *pcb = static_cast<DWORD>(cbNeeded);
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    fill(static_cast<BYTE*>(pv));
    *pcb = static_cast<DWORD>(cbNeeded);
    return TRUE;
}

BOOL PutEncoding(const Bytes& vec, BYTE* pb, DWORD* pcb)
{
    return PutStructure(vec.size(), pb, pcb, [&](BYTE* pbOut) { memcpy(pbOut, vec.data(), vec.size()); });
}

BOOL Failure(HRESULT hr)
{
    SetLastError(static_cast<DWORD>(hr));
    return FALSE;
}

// A blob structure (CRYPT_DATA_BLOB or CRYPT_BIT_BLOB) followed by the bytes it points at.
template <typename Blob>
BOOL PutBlob(const BYTE* pbData, size_t cbData, DWORD dwUnusedBits, void* pv, DWORD* pcb)
{
    return PutStructure(sizeof(Blob) + cbData, pv, pcb, [&](BYTE* pbOut) {
        Blob blob = {};
        blob.cbData = static_cast<DWORD>(cbData);
        blob.pbData = cbData != 0 ? pbOut + sizeof(Blob) : nullptr;
        if constexpr (std::is_same_v<Blob, CRYPT_BIT_BLOB>) blob.cUnusedBits = dwUnusedBits;
        (void)dwUnusedBits;
        memcpy(pbOut, &blob, sizeof(blob));
        if (cbData != 0) memcpy(pbOut + sizeof(Blob), pbData, cbData);
    });
}

// One element of the tag that must fill the input (anything after it is not read, as the platform does).
bool ReadWhole(const BYTE* pb, DWORD cb, BYTE bTag, DerElement& element, HRESULT& hr)
{
    DerCursor cursor(pb, cb);
    return cursor.Expect(bTag, element, hr, true);
}

size_t WideLength(const WCHAR* pwsz)
{
    size_t n = 0;
    while (pwsz[n] != 0) ++n;
    return n;
}

bool EncodeNameValue(const CERT_NAME_VALUE& value, Bytes& vec, HRESULT& hr)
{
    const BYTE* pb = value.Value.pbData;
    switch (value.dwValueType) {
    case CERT_RDN_PRINTABLE_STRING:
    case CERT_RDN_IA5_STRING: {
        // Zero length: a zero-terminated text.
        const size_t cb = value.Value.cbData != 0 || pb == nullptr ? value.Value.cbData
                                                                   : strlen(reinterpret_cast<const char*>(pb));
        vec = DerEncode(value.dwValueType == CERT_RDN_PRINTABLE_STRING ? 0x13 : 0x16, pb, cb);
        return true;
    }
    case CERT_RDN_UTF8_STRING: {
        const WCHAR* pwsz = reinterpret_cast<const WCHAR*>(pb);
        const size_t cch = value.Value.cbData != 0 || pwsz == nullptr ? value.Value.cbData / sizeof(WCHAR)
                                                                      : WideLength(pwsz);
        const std::string str = Utf8OfUtf16(pwsz, cch);
        vec = DerEncode(0x0C, reinterpret_cast<const BYTE*>(str.data()), str.size());
        return true;
    }
    case CERT_RDN_OCTET_STRING:
        vec = DerEncode(0x04, pb, value.Value.cbData);
        return true;
    default:
        hr = E_INVALIDARG;
        return false;
    }
}

bool EncodeAttribute(const CRYPT_ATTRIBUTE& attribute, Bytes& vec, HRESULT& hr)
{
    Bytes vecOid;
    if (!OidFromText(attribute.pszObjId, vecOid)) {
        hr = CRYPT_E_ASN1_ERROR;
        return false;
    }
    Bytes vecValues;
    for (DWORD i = 0; i < attribute.cValue; ++i)
        vecValues.insert(vecValues.end(), attribute.rgValue[i].pbData,
                         attribute.rgValue[i].pbData + attribute.rgValue[i].cbData);
    Bytes vecContents = DerEncode(0x06, vecOid);
    Append(vecContents, DerEncode(0x31, vecValues));
    vec = DerEncode(0x30, vecContents);
    return true;
}

// The key's PUBLICKEYBLOB through the provider.
bool ExportPublicBlob(HCRYPTPROV hProv, DWORD dwKeySpec, Bytes& vecBlob)
{
    HCRYPTKEY hKey = 0;
    if (!CryptGetUserKey(hProv, dwKeySpec, &hKey)) return false;
    DWORD cb = 0;
    bool bExported = CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, nullptr, &cb) != FALSE;
    Bytes vec(cb);
    bExported = bExported && CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, vec.data(), &cb) != FALSE;
    const DWORD dwError = GetLastError();
    CryptDestroyKey(hKey);
    SetLastError(dwError);
    if (!bExported) return false;
    vec.resize(std::min<size_t>(cb, vec.size()));
    vecBlob.swap(vec);
    return true;
}

}  // namespace

BOOL CryptDecodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded, DWORD cbEncoded,
                         DWORD dwFlags, void* pDecodePara, void* pvStructInfo, DWORD* pcbStructInfo)
{
    (void)dwCertEncodingType;
    (void)dwFlags;
    (void)pDecodePara;
    HRESULT hr = S_OK;
    DerElement element;
    if (lpszStructType == X509_OCTET_STRING) {
        if (!ReadWhole(pbEncoded, cbEncoded, 0x04, element, hr)) return Failure(hr);
        return PutBlob<CRYPT_DATA_BLOB>(element.pbContents, element.cbContents, 0, pvStructInfo, pcbStructInfo);
    }
    if (lpszStructType == X509_KEY_USAGE || lpszStructType == X509_BITS) {
        if (!ReadWhole(pbEncoded, cbEncoded, 0x03, element, hr)) return Failure(hr);
        if (element.cbContents == 0 || element.pbContents[0] > 7) return Failure(CRYPT_E_ASN1_CORRUPT);
        return PutBlob<CRYPT_BIT_BLOB>(element.pbContents + 1, element.cbContents - 1, element.pbContents[0],
                                       pvStructInfo, pcbStructInfo);
    }
    if (lpszStructType == RSA_CSP_PUBLICKEYBLOB) {
        Bytes vecBlob;
        if (!RsaPublicKeyToBlob(pbEncoded, cbEncoded, vecBlob, hr)) return Failure(hr);
        return PutStructure(vecBlob.size(), pvStructInfo, pcbStructInfo,
                            [&](BYTE* pbOut) { memcpy(pbOut, vecBlob.data(), vecBlob.size()); });
    }
    return Failure(static_cast<HRESULT>(ERROR_FILE_NOT_FOUND));
}

BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo, BYTE* pbEncoded,
                       DWORD* pcbEncoded)
{
    (void)dwCertEncodingType;
    if (pvStructInfo == nullptr) return Failure(E_INVALIDARG);
    HRESULT hr = S_OK;
    Bytes vec;
    if (lpszStructType == X509_NAME_VALUE) {
        if (!EncodeNameValue(*static_cast<const CERT_NAME_VALUE*>(pvStructInfo), vec, hr)) return Failure(hr);
    } else if (lpszStructType == PKCS_ATTRIBUTE) {
        if (!EncodeAttribute(*static_cast<const CRYPT_ATTRIBUTE*>(pvStructInfo), vec, hr)) return Failure(hr);
    } else if (lpszStructType == RSA_CSP_PUBLICKEYBLOB) {
        const BYTE* pbBlob = static_cast<const BYTE*>(pvStructInfo);
        BLOBHEADER header;
        RSAPUBKEY rsa;
        memcpy(&header, pbBlob, sizeof(header));
        memcpy(&rsa, pbBlob + sizeof(header), sizeof(rsa));
        if (!RsaBlobToPublicKey(pbBlob, sizeof(header) + sizeof(rsa) + rsa.bitlen / 8, vec))
            return Failure(CRYPT_E_ASN1_ERROR);
    } else {
        return Failure(static_cast<HRESULT>(ERROR_FILE_NOT_FOUND));
    }
    return PutEncoding(vec, pbEncoded, pcbEncoded);
}

BOOL CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hCryptProvOrNCryptKey, DWORD dwKeySpec,
                              DWORD dwCertEncodingType, CERT_PUBLIC_KEY_INFO* pInfo, DWORD* pcbInfo)
{
    (void)dwCertEncodingType;
    Bytes vecBlob, vecKey;
    if (!ExportPublicBlob(static_cast<HCRYPTPROV>(hCryptProvOrNCryptKey), dwKeySpec, vecBlob)) return FALSE;
    if (!RsaBlobToPublicKey(vecBlob.data(), vecBlob.size(), vecKey)) return Failure(NTE_BAD_KEY);
    // The structure, then the algorithm's identifier, its NULL parameters and the key bits it points at.
    static const char kOid[] = szOID_RSA_RSA;
    static const BYTE kNullParameters[] = {0x05, 0x00};
    const size_t cbHead = sizeof(CERT_PUBLIC_KEY_INFO);
    const size_t cbNeeded = cbHead + sizeof(kOid) + sizeof(kNullParameters) + vecKey.size();
    return PutStructure(cbNeeded, pInfo, pcbInfo, [&](BYTE* pbOut) {
        CERT_PUBLIC_KEY_INFO info = {};
        BYTE* pbOid = pbOut + cbHead;
        BYTE* pbParameters = pbOid + sizeof(kOid);
        BYTE* pbKey = pbParameters + sizeof(kNullParameters);
        memcpy(pbOid, kOid, sizeof(kOid));
        memcpy(pbParameters, kNullParameters, sizeof(kNullParameters));
        memcpy(pbKey, vecKey.data(), vecKey.size());
        info.Algorithm.pszObjId = reinterpret_cast<LPSTR>(pbOid);
        info.Algorithm.Parameters.cbData = sizeof(kNullParameters);
        info.Algorithm.Parameters.pbData = pbParameters;
        info.PublicKey.cbData = static_cast<DWORD>(vecKey.size());
        info.PublicKey.pbData = pbKey;
        info.PublicKey.cUnusedBits = 0;
        memcpy(pbOut, &info, sizeof(info));
    });
}

BOOL CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType, CERT_PUBLIC_KEY_INFO* pInfo,
                              HCRYPTKEY* phKey)
{
    (void)dwCertEncodingType;
    if (pInfo == nullptr || phKey == nullptr) return Failure(E_INVALIDARG);
    // The key bits are read as an RSA key whatever the algorithm names, as the platform's default import does.
    HRESULT hr = S_OK;
    Bytes vecBlob;
    if (!RsaPublicKeyToBlob(pInfo->PublicKey.pbData, pInfo->PublicKey.cbData, vecBlob, hr)) return Failure(hr);
    return CryptImportKey(hCryptProv, vecBlob.data(), static_cast<DWORD>(vecBlob.size()), 0, 0, phKey);
}
