// tools/inspector/Certificates.cpp — what the reports say about a certificate.
#include "Certificates.h"

#include "Failures.h"
#include "Text.h"

#include <cstdio>

namespace inspector {

std::string NameText(const CERT_NAME_BLOB* pName)
{
    DWORD cch = CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(pName), CERT_X500_NAME_STR, nullptr, 0);
    if (cch <= 1) return std::string();
    WString wstr(cch, 0);
    cch = CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(pName), CERT_X500_NAME_STR, wstr.data(), cch);
    wstr.resize(cch > 0 ? cch - 1 : 0);
    return ToUtf8(wstr);
}

std::string UtcText(const FILETIME& ft)
{
    SYSTEMTIME st = {};
    if (!FileTimeToSystemTime(&ft, &st)) return std::string();
    char sz[32] = {};
    snprintf(sz, sizeof sz, "%04u-%02u-%02uT%02u:%02u:%02uZ", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond);
    return sz;
}

Node DescribeCertificate(PCCERT_CONTEXT pCert)
{
    const CERT_INFO* pInfo = pCert->pCertInfo;
    Node cert = Node::Map();
    cert.Add("subject", Node::Text(NameText(&pInfo->Subject)));
    cert.Add("issuer", Node::Text(NameText(&pInfo->Issuer)));
    // the platform keeps the serial number little-endian
    cert.Add("serial", Node::Text(Hex(Reversed(pInfo->SerialNumber.pbData, pInfo->SerialNumber.cbData))));
    BYTE rgbThumbprint[20] = {};
    DWORD cbThumbprint = sizeof rgbThumbprint;
    const bool bThumbprint =
        CertGetCertificateContextProperty(pCert, CERT_SHA1_HASH_PROP_ID, rgbThumbprint, &cbThumbprint) != FALSE;
    cert.Add("thumbprint", bThumbprint ? Node::Text(Hex(rgbThumbprint, cbThumbprint)) : Node::Null());
    cert.Add("notBefore", Node::Text(UtcText(pInfo->NotBefore)));
    cert.Add("notAfter", Node::Text(UtcText(pInfo->NotAfter)));
    return cert;
}

Node DescribeKeyProvider(PCCERT_CONTEXT pCert)
{
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb) ||
        cb < sizeof(CRYPT_KEY_PROV_INFO))
        return Node::Null();
    ByteBuffer vec;
    if (!TryResize(vec, cb) || !CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, vec.data(), &cb))
        return ErrorNode("CertGetCertificateContextProperty(CERT_KEY_PROV_INFO_PROP_ID)", GetLastError());
    const auto* pKeyProvInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(vec.data());
    Node link = Node::Map();
    link.Add("container", Node::Text(ToUtf8(pKeyProvInfo->pwszContainerName)));
    link.Add("provider", Node::Text(ToUtf8(pKeyProvInfo->pwszProvName)));
    link.Add("type", Node::Number(pKeyProvInfo->dwProvType));
    link.Add("keySpec", Node::Number(pKeyProvInfo->dwKeySpec));
    return link;
}

}  // namespace inspector
