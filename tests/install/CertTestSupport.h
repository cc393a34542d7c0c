// A container with a key and a self-signed certificate for it, as the authority's answer would carry it.
#pragma once
#include "../request/RequestTestSupport.h"
#include "ResultCode.h"
#include "codec/Misc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace installtest {

// A new container with one RSA key of that spec, and a self-signed certificate for it as Base64 text.
struct KeyAndCert {
    WString wstrContainer;
    ByteBuffer vecCert;
    WString wstrBase64;
};

inline KeyAndCert MakeKeyAndCert(const WCHAR* pwszCSP, DWORD dwType, DWORD dwKeySpec)
{
    KeyAndCert out;
    EXPECT_EQ(CreateGUIDStr(out.wstrContainer), QORA_OK);
    CryptProv hProv;
    CryptKey hKey;
    if (!CryptAcquireContextW(hProv.put(), out.wstrContainer.c_str(), pwszCSP, dwType, CRYPT_NEWKEYSET) ||
        !CryptGenKey(hProv.get(), dwKeySpec, (1024u << 16), hKey.put())) {
        ADD_FAILURE() << "no key: " << std::hex << GetLastError();
        return out;
    }
    BYTE rgbName[64];
    DWORD cbName = sizeof(rgbName);
    CertStrToNameW(X509_ASN_ENCODING, TEXT("CN=import test"), CERT_X500_NAME_STR, nullptr, rgbName, &cbName, nullptr);
    CERT_NAME_BLOB stName = {cbName, rgbName};
    CRYPT_KEY_PROV_INFO stInfo = {const_cast<LPWSTR>(out.wstrContainer.c_str()), const_cast<LPWSTR>(pwszCSP), dwType,
                                  0, 0, nullptr, dwKeySpec};
    PCCERT_CONTEXT pCert = CertCreateSelfSignCertificate(hProv.get(), &stName, 0, &stInfo, nullptr, nullptr, nullptr,
                                                         nullptr);
    if (pCert == nullptr) {
        ADD_FAILURE() << "no certificate: " << std::hex << GetLastError();
        return out;
    }
    CertContext owner(pCert);
    out.vecCert.assign(pCert->pbCertEncoded, pCert->pbCertEncoded + pCert->cbCertEncoded);
    std::string str;
    EXPECT_EQ(Base64EncodeEx(out.vecCert.data(), static_cast<DWORD>(out.vecCert.size()), str), QORA_OK);
    out.wstrBase64.assign(str.begin(), str.end());
    return out;
}

// Deletion from MY lasts under Wine only once committed, and deleting while enumerating never ends there.
inline void RemoveFromMy(const ByteBuffer& vecCert)
{
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY")));
    std::vector<PCCERT_CONTEXT> found;
    PCCERT_CONTEXT pCert = nullptr;
    while ((pCert = CertEnumCertificatesInStore(hStore.get(), pCert)) != nullptr) {
        if (pCert->cbCertEncoded == vecCert.size() && memcmp(pCert->pbCertEncoded, vecCert.data(), vecCert.size()) == 0)
            found.push_back(CertDuplicateCertificateContext(pCert));
    }
    for (PCCERT_CONTEXT pFound : found) CertDeleteCertificateFromStore(pFound);
    CertControlStore(hStore.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

}  // namespace installtest

using installtest::KeyAndCert;
using installtest::MakeKeyAndCert;
using installtest::RemoveFromMy;
