// Brindlemark/install/ImportSignCert.cpp — the signing certificate to the container that holds its key.
// Its trace lines carry the unit both imports have always been traced under.
#define TRACE_UNIT_FILE "ImportEncryptCert.cpp"
#include "install/ImportSignCert.h"

#include "ResultCode.h"
#include "codec/Misc.h"
#include "install/CertificateKeyCheck.h"
#include "install/ImportEncryptCert.h"
#include "provider/CspEnumeration.h"
#include "trace/TraceHelper.h"


HRESULT AddCertificateToSystemStore(const WString& wstrCSPName, CryptProv& hProv, const BYTE* pbCert, DWORD cbCert,
                                    DWORD dwKeySpec, const WString& wstrContainerName)
{
    TraceHelper scope(TEXT("AddCertificateToSystemStore"));
    TRACE_INFO_TEXT("wstrCSPName", wstrCSPName.c_str());
    TRACE_INFO_TEXT("wstrContainerName", wstrContainerName.c_str());
    TRACE_INFO_VALUE("dwKeySpec", dwKeySpec);

    // CERT_STORE_NO_CRYPT_RELEASE_FLAG: closing the store must leave the caller's provider open.
    CertStore hCertStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, hProv.get(),
                                       CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG,
                                       TEXT("MY")));
    FAIL_IF_REASON(!hCertStore, ResultFromLastError(), TEXT("CertOpenStore"), TEXT("hCertStore == NULL"));

    CertContext pstCertContext;
    BOOL bRetCode = CertAddEncodedCertificateToStore(hCertStore.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbCert,
                                                     cbCert, CERT_STORE_ADD_REPLACE_EXISTING, pstCertContext.put());
    FAIL_IF_REASON(bRetCode == FALSE, ResultFromLastError(), TEXT("CertAddEncodedCertificateToStore"), TEXT("1"));

    CRYPT_KEY_PROV_INFO stKeyProvInfo = {};
    stKeyProvInfo.pwszContainerName = const_cast<LPWSTR>(wstrContainerName.c_str());
    stKeyProvInfo.pwszProvName = const_cast<LPWSTR>(wstrCSPName.c_str());
    stKeyProvInfo.dwProvType = ProviderTypeOfName(wstrCSPName);
    stKeyProvInfo.dwFlags = 0;
    stKeyProvInfo.cProvParam = 0;
    stKeyProvInfo.rgProvParam = nullptr;
    stKeyProvInfo.dwKeySpec = dwKeySpec;
    bRetCode = CertSetCertificateContextProperty(pstCertContext.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &stKeyProvInfo);
    FAIL_IF_REASON(bRetCode == FALSE, ResultFromLastError(), TEXT("CertSetCertificateContextProperty"), TEXT("1"));
    // The context goes before the store closes, so the change reaches other handles.
    pstCertContext.reset();
    return QORA_OK;
}

HRESULT ImportSignCert(const WString& wstrKeyAlgorithm, WString& wstrSignCert, DWORD dwKeySpec,
                       const WString& wstrCSPName, const WString& wstrContainerName)
{
    TraceHelper scope(TEXT("ImportSignCert"));
    TRACE_INFO_TEXT("wstrKeyAlgorithm", wstrKeyAlgorithm.c_str());
    TRACE_INFO_TEXT("wstrCSPName", wstrCSPName.c_str());
    TRACE_INFO_TEXT("wstrContainerName", wstrContainerName.c_str());
    TRACE_INFO_VALUE("dwKeySpec", dwKeySpec);

    EraseCommaInWstr(wstrSignCert);
    ByteBuffer vecCert;
    HRESULT hResult = DecodeBase64Key(wstrSignCert, vecCert);
    FAIL_IF(FAILED(hResult), hResult, TEXT("base64 decode public key FAILED."));

    WString wstrDumpFile;
    DumpDatatoTempFile(vecCert.data(), static_cast<DWORD>(vecCert.size()), wstrDumpFile);
    TRACE_INFO_TEXT("wstrDumpFile", wstrDumpFile.c_str());

    // Neither a provider nor a store reads a certificate by its own header before it is measured here.
    CertContext pCert;
    hResult = ParseSingleCertificate(vecCert, pCert);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ParseSingleCertificate"));

    CryptProv hProv;
    if (IsRsaAlgorithm(wstrKeyAlgorithm)) {
        BOOL bRetCode = CryptAcquireContextW(hProv.put(), wstrContainerName.c_str(), wstrCSPName.c_str(),
                                             ProviderTypeOfName(wstrCSPName), 0);
        FAIL_IF_REASON(bRetCode == FALSE, ResultFromLastError(), TEXT("RSA CryptAcquireContext"), TEXT("1"));
    } else {
        // The SM2 CSP opens the named container under the verify-context flag.
        BOOL bRetCode = CryptAcquireContextW(hProv.put(), wstrContainerName.c_str(), wstrCSPName.c_str(), PROV_RSA_FULL,
                                             CRYPT_VERIFYCONTEXT);
        FAIL_IF_REASON(bRetCode == FALSE, ResultFromLastError(), TEXT("SM2 CryptAcquireContext"), TEXT("1"));
    }

    CryptKey hKey;
    BOOL bRetCode = CryptGetUserKey(hProv.get(), dwKeySpec, hKey.put());
    FAIL_IF_REASON(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptGetUserKey"), TEXT("1"));
    hResult = CheckCertificateKey(hProv.get(), dwKeySpec, pCert.get());
    FAIL_IF(FAILED(hResult), hResult, TEXT("CheckCertificateKey"));

    if (wstrCSPName.find(TEXT("Microsoft")) != WString::npos) {
        hResult = AddCertificateToSystemStore(wstrCSPName, hProv, vecCert.data(), static_cast<DWORD>(vecCert.size()),
                                              dwKeySpec, wstrContainerName);
        FAIL_IF(FAILED(hResult), hResult, TEXT("AddCertificateToSystemStore"));
    } else {
        bRetCode = CryptSetKeyParam(hKey.get(), KP_CERTIFICATE, vecCert.data(), 0);
        FAIL_IF_REASON(bRetCode == FALSE, ResultFromLastError(), TEXT("non-microsoft's CSP: CryptSetKeyParam"),
                       TEXT("1"));
    }
    return QORA_OK;
}
