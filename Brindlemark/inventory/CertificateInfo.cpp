// Brindlemark/inventory/CertificateInfo.cpp — certificate records of the information text and the
// single-attribute queries behind them.
#include "inventory/CertificateInfo.h"

#include "ResultCode.h"
#include "codec/Misc.h"
#include "trace/TraceHelper.h"

namespace {

constexpr DWORD kIssuerStrType = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;

bool HasCertInfo(PCCERT_CONTEXT pCertContext) { return pCertContext != nullptr && pCertContext->pCertInfo != nullptr; }

// A name blob rendered by CertNameToStrW; a name the platform renders as nothing is the empty text.
HRESULT NameToText(const TraceHelper& scope, const CERT_NAME_BLOB* pName, DWORD dwStrType, WString& wstrName)
{
    const DWORD cchName = CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(pName), dwStrType, nullptr, 0);
    if (cchName <= 1) {
        wstrName.clear();
        return QORA_OK;
    }
    std::vector<WCHAR> vecName;
    FAIL_IF_REASON(!TryResize(vecName, cchName), E_OUTOFMEMORY, TEXT("Dispatch memory failed."), TEXT("NULL == pwszName"));
    const DWORD cchWritten =
        CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(pName), dwStrType, vecName.data(), cchName);
    FAIL_IF(cchWritten == 0, ResultFromLastError(), TEXT("CertNameToStrW"));
    vecName.back() = 0;
    wstrName.assign(vecName.data());
    return QORA_OK;
}

// One extension of the certificate decoded into a buffer that holds the platform's structure.
HRESULT DecodeExtension(const TraceHelper& scope, PCCERT_CONTEXT pCertContext, LPCSTR pszExtensionOID,
                        LPCSTR lpszStructType, HRESULT hrMissing, ByteBuffer& vecDecoded)
{
    const CERT_INFO* pInfo = pCertContext->pCertInfo;
    PCERT_EXTENSION pExtension = CertFindExtension(pszExtensionOID, pInfo->cExtension, pInfo->rgExtension);
    FAIL_IF(pExtension == nullptr, hrMissing, TEXT("CertFindExtension"));

    DWORD cbDecoded = 0;
    BOOL bResult = CryptDecodeObjectEx(X509_ASN_ENCODING, lpszStructType, pExtension->Value.pbData,
                                       pExtension->Value.cbData, 0, nullptr, nullptr, &cbDecoded);
    FAIL_IF(bResult == FALSE, ResultFromLastError(), TEXT("CryptDecodeObjectEx"));
    ByteBuffer vec;
    FAIL_IF_REASON(!TryResize(vec, cbDecoded), E_OUTOFMEMORY, TEXT("Dispatch memory failed."), TEXT("NULL == pbDecoded"));
    bResult = CryptDecodeObjectEx(X509_ASN_ENCODING, lpszStructType, pExtension->Value.pbData, pExtension->Value.cbData,
                                  0, nullptr, vec.data(), &cbDecoded);
    FAIL_IF(bResult == FALSE, ResultFromLastError(), TEXT("CryptDecodeObjectEx"));
    vecDecoded.swap(vec);
    return QORA_OK;
}

// A text parameter (PP_NAME, PP_CONTAINER) of the provider that holds the certificate's private key.
HRESULT GetKeyProviderText(const TraceHelper& scope, PCCERT_CONTEXT pCertContext, DWORD dwParam, WString& wstrText)
{
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hKeyProv = 0;
    DWORD dwKeySpec = 0;
    BOOL bCallerFree = FALSE;
    const BOOL bResult = CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, &hKeyProv, &dwKeySpec, &bCallerFree);
    FAIL_IF(bResult == FALSE, ResultFromLastError(), TEXT("CryptAcquireCertificatePrivateKey"));
    CryptProv hProv(bCallerFree ? static_cast<HCRYPTPROV>(hKeyProv) : 0);

    ByteBuffer vecInfo;
    HRESULT hResult = GetProviderInfo(static_cast<HCRYPTPROV>(hKeyProv), dwParam, vecInfo);
    FAIL_IF(FAILED(hResult), hResult, TEXT("GetProviderInfo"));
    // The provider's text may arrive without its terminator.
    FAIL_IF_REASON(!TryResize(vecInfo, vecInfo.size() + 1), E_OUTOFMEMORY, TEXT("Dispatch memory failed."),
                   TEXT("NULL == pbInfo"));
    vecInfo.back() = 0;
    hResult = UTF8ToUTF16(reinterpret_cast<const char*>(vecInfo.data()), wstrText);
    FAIL_IF(FAILED(hResult), hResult, TEXT("UTF8ToUTF16"));
    return QORA_OK;
}

// "%0*d" for a non-negative value.
void AppendDecimal(WString& wstr, unsigned int nValue, size_t nMinDigits)
{
    WCHAR wszDigits[16];
    size_t nDigits = 0;
    do {
        wszDigits[nDigits++] = static_cast<WCHAR>(TEXT('0') + nValue % 10);
        nValue /= 10;
    } while (nValue != 0);
    for (size_t n = nDigits; n < nMinDigits; ++n) wstr += TEXT('0');
    while (nDigits > 0) wstr += wszDigits[--nDigits];
}

// Fields 1 to 4 of a record, each followed by ";"; traced under the record's scope.
HRESULT AppendCommonFields(const TraceHelper& scope, PCCERT_CONTEXT pCertContext, WString& wstrRecord)
{
    CERTIFICATE_QUERY_RESULT stResult;
    HRESULT hResult = QueryCertContextInfo(pCertContext, QUERYID_SUBJECT_FULL, stResult);
    FAIL_IF(FAILED(hResult), hResult, TEXT("QueryCertContextInfo(QUERYID_SUBJECT_FULL)"));
    wstrRecord += stResult.wstrText;
    wstrRecord += TEXT(';');

    hResult = QueryCertContextInfo(pCertContext, QUERYID_SERIALNUMBER, stResult);
    FAIL_IF(FAILED(hResult), hResult, TEXT("QueryCertContextInfo(QUERYID_SERIALNUMBER)"));
    WString wstrSerial;
    hResult = ConvertBinaryDataToString(stResult.vecBytes.data(), static_cast<DWORD>(stResult.vecBytes.size()), wstrSerial);
    FAIL_IF(FAILED(hResult), hResult, TEXT("FormatStringFromData"));
    wstrRecord += wstrSerial;
    wstrRecord += TEXT(';');

    const struct {
        DWORD dwQueryID;
        const WCHAR* pwszStep;
    } rgDates[] = {{QUERYID_FROMDATE, TEXT("QueryCertContextInfo(QUERYID_FROMDATE)")},
                   {QUERYID_TODATE, TEXT("QueryCertContextInfo(QUERYID_TODATE)")}};
    for (const auto& date : rgDates) {
        hResult = QueryCertContextInfo(pCertContext, date.dwQueryID, stResult);
        FAIL_IF(FAILED(hResult), hResult, date.pwszStep);
        // A time that cannot be converted is shown as it is, in UTC.
        ConvertUTCtimetoLocalTime(&stResult.stTime);
        WString wstrTime;
        hResult = GetTimeString(&stResult.stTime, wstrTime);
        FAIL_IF(FAILED(hResult), hResult, TEXT("GetTimeString"));
        wstrRecord += wstrTime;
        wstrRecord += TEXT(';');
    }
    return QORA_OK;
}

// Appends a record behind "||" unless it is the first.
void AppendRecord(WString& wstrText, DWORD& dwCount, const WString& wstrRecord)
{
    if (dwCount > 0) wstrText += TEXT("||");
    wstrText += wstrRecord;
    ++dwCount;
}

}  // namespace

HRESULT GetCertSubject(PCCERT_CONTEXT pCertContext, DWORD dwStrType, WString& wstrSubject)
{
    TraceHelper scope(TEXT("GetCertSubject"));
    FAIL_IF(!HasCertInfo(pCertContext), E_INVALIDARG, TEXT("Check parameter"));
    return NameToText(scope, &pCertContext->pCertInfo->Subject, dwStrType, wstrSubject);
}

HRESULT GetCertIssuer(PCCERT_CONTEXT pCertContext, WString& wstrIssuer)
{
    TraceHelper scope(TEXT("GetCertIssuer"));
    FAIL_IF(!HasCertInfo(pCertContext), E_INVALIDARG, TEXT("Check parameter"));
    return NameToText(scope, &pCertContext->pCertInfo->Issuer, kIssuerStrType, wstrIssuer);
}

HRESULT GetCertSerialNumber(PCCERT_CONTEXT pCertContext, ByteBuffer& vecSerialNumber)
{
    TraceHelper scope(TEXT("GetCertSerialNumber"));
    FAIL_IF(!HasCertInfo(pCertContext), E_INVALIDARG, TEXT("Check parameter"));
    const CRYPT_INTEGER_BLOB& serial = pCertContext->pCertInfo->SerialNumber;
    ByteBuffer vec;
    FAIL_IF_REASON(!TryResize(vec, serial.cbData), E_OUTOFMEMORY, TEXT("Dispatch memory failed."),
                   TEXT("NULL == pbSerialNumber"));
    for (DWORD i = 0; i < serial.cbData; ++i) vec[i] = serial.pbData[i];
    vecSerialNumber.swap(vec);
    return QORA_OK;
}

HRESULT GetCertProviderName(PCCERT_CONTEXT pCertContext, WString& wstrProviderName)
{
    TraceHelper scope(TEXT("GetCertProviderName"));
    FAIL_IF(!HasCertInfo(pCertContext), E_INVALIDARG, TEXT("Check parameter"));
    return GetKeyProviderText(scope, pCertContext, PP_NAME, wstrProviderName);
}

HRESULT GetCertContainerName(PCCERT_CONTEXT pCertContext, WString& wstrContainerName)
{
    TraceHelper scope(TEXT("GetCertContainerName"));
    FAIL_IF(!HasCertInfo(pCertContext), E_INVALIDARG, TEXT("Check parameter"));
    return GetKeyProviderText(scope, pCertContext, PP_CONTAINER, wstrContainerName);
}

HRESULT GetCertToDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME& stToDate)
{
    TraceHelper scope(TEXT("GetCertToDate"));
    FAIL_IF(!HasCertInfo(pCertContext), E_INVALIDARG, TEXT("Check parameter"));
    FAIL_IF(!FileTimeToSystemTime(&pCertContext->pCertInfo->NotAfter, &stToDate), ResultFromLastError(),
            TEXT("FileTimeToSystemTime"));
    return QORA_OK;
}

HRESULT GetCertFromDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME& stFromDate)
{
    TraceHelper scope(TEXT("GetCertFromDate"));
    FAIL_IF(!HasCertInfo(pCertContext), E_INVALIDARG, TEXT("Check parameter"));
    FAIL_IF(!FileTimeToSystemTime(&pCertContext->pCertInfo->NotBefore, &stFromDate), ResultFromLastError(),
            TEXT("FileTimeToSystemTime"));
    return QORA_OK;
}

HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pCertContext, ByteBuffer& vecSubjectKeyID)
{
    TraceHelper scope(TEXT("GetCertSubjectKeyID"));
    FAIL_IF(!HasCertInfo(pCertContext), E_INVALIDARG, TEXT("Check parameter"));
    ByteBuffer vecDecoded;
    HRESULT hResult = DecodeExtension(scope, pCertContext, szOID_SUBJECT_KEY_IDENTIFIER, X509_OCTET_STRING,
                                      QORA_E_NO_SUBJECT_KEY_ID, vecDecoded);
    if (FAILED(hResult)) return hResult;
    const CRYPT_DATA_BLOB* pKeyID = reinterpret_cast<const CRYPT_DATA_BLOB*>(vecDecoded.data());
    ByteBuffer vec;
    FAIL_IF_REASON(!TryResize(vec, pKeyID->cbData), E_OUTOFMEMORY, TEXT("Dispatch memory failed."),
                   TEXT("NULL == pbKeyID"));
    for (DWORD i = 0; i < pKeyID->cbData; ++i) vec[i] = pKeyID->pbData[i];
    vecSubjectKeyID.swap(vec);
    return QORA_OK;
}

HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD& dwKeyUsage)
{
    TraceHelper scope(TEXT("GetCertKeyUsage"));
    FAIL_IF(!HasCertInfo(pCertContext), E_INVALIDARG, TEXT("Check parameter"));
    ByteBuffer vecDecoded;
    HRESULT hResult =
        DecodeExtension(scope, pCertContext, szOID_KEY_USAGE, X509_KEY_USAGE, QORA_E_NO_KEY_USAGE, vecDecoded);
    if (FAILED(hResult)) return hResult;
    // decipherOnly, the ninth bit, lies outside the first byte and is not reported.
    const CRYPT_BIT_BLOB* pBits = reinterpret_cast<const CRYPT_BIT_BLOB*>(vecDecoded.data());
    dwKeyUsage = pBits->cbData > 0 ? pBits->pbData[0] : 0;
    return QORA_OK;
}

HRESULT GetCertCN(PCCERT_CONTEXT pCertContext, WString& wstrCN)
{
    TraceHelper scope(TEXT("GetCertCN"));
    FAIL_IF(!HasCertInfo(pCertContext), E_INVALIDARG, TEXT("Check parameter"));
    const DWORD cchName = CertGetNameStringW(pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (cchName <= 1) {
        wstrCN.clear();
        return QORA_OK;
    }
    std::vector<WCHAR> vecName;
    FAIL_IF_REASON(!TryResize(vecName, cchName), E_OUTOFMEMORY, TEXT("Dispatch memory failed."), TEXT("NULL == pwszCN"));
    const DWORD cchWritten =
        CertGetNameStringW(pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, vecName.data(), cchName);
    FAIL_IF(cchWritten == 0, ResultFromLastError(), TEXT("CertGetNameStringW"));
    vecName.back() = 0;
    wstrCN.assign(vecName.data());
    return QORA_OK;
}

HRESULT QueryCertContextInfo(PCCERT_CONTEXT pCertContext, DWORD dwQueryID, CERTIFICATE_QUERY_RESULT& stResult)
{
    TraceHelper scope(TEXT("QueryCertContextInfo"));
    TRACE_INFO_VALUE("dwQueryID", dwQueryID);
    switch (dwQueryID) {
    case QUERYID_SUBJECT_FULL:
        return GetCertSubject(pCertContext, CERT_X500_NAME_STR, stResult.wstrText);
    case QUERYID_SUBJECT_SIMPLE:
        return GetCertSubject(pCertContext, CERT_SIMPLE_NAME_STR, stResult.wstrText);
    case QUERYID_ISSUER:
        return GetCertIssuer(pCertContext, stResult.wstrText);
    case QUERYID_SERIALNUMBER:
        return GetCertSerialNumber(pCertContext, stResult.vecBytes);
    case QUERYID_PROVIDERNAME:
        return GetCertProviderName(pCertContext, stResult.wstrText);
    case QUERYID_TODATE:
        return GetCertToDate(pCertContext, stResult.stTime);
    case QUERYID_FROMDATE:
        return GetCertFromDate(pCertContext, stResult.stTime);
    case QUERYID_SUBJECTKEYID:
        return GetCertSubjectKeyID(pCertContext, stResult.vecBytes);
    case QUERYID_KEYUSAGE:
        return GetCertKeyUsage(pCertContext, stResult.dwValue);
    case QUERYID_CONTAINERNAME:
        return GetCertContainerName(pCertContext, stResult.wstrText);
    case QUERYID_CN:
        return GetCertCN(pCertContext, stResult.wstrText);
    default:
        FAIL_IF_REASON(true, QORA_E_QUERY_TYPE, TEXT("Check dwQueryID"), TEXT("Query type is not supported."));
    }
    return QORA_E_QUERY_TYPE;
}

HRESULT GetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, ByteBuffer& vecProperty)
{
    TraceHelper scope(TEXT("GetCertificateContextProperty"));
    FAIL_IF(pCertContext == nullptr, E_INVALIDARG, TEXT("Check parameter"));
    TRACE_INFO_VALUE("dwPropId", dwPropId);
    DWORD cbProperty = 0;
    BOOL bResult = CertGetCertificateContextProperty(pCertContext, dwPropId, nullptr, &cbProperty);
    FAIL_IF(bResult == FALSE, ResultFromLastError(), TEXT("CertGetCertificateContextProperty"));
    ByteBuffer vec;
    FAIL_IF_REASON(!TryResize(vec, cbProperty), E_OUTOFMEMORY, TEXT("Dispatch memory failed."), TEXT("NULL == pbProperty"));
    bResult = CertGetCertificateContextProperty(pCertContext, dwPropId, vec.data(), &cbProperty);
    FAIL_IF(bResult == FALSE, ResultFromLastError(), TEXT("CertGetCertificateContextProperty"));
    FAIL_IF(cbProperty > vec.size(), HRESULT_FROM_WIN32(ERROR_MORE_DATA), TEXT("CertGetCertificateContextProperty"));
    vec.resize(cbProperty);
    vecProperty.swap(vec);
    return QORA_OK;
}

HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* pstSysTime)
{
    TraceHelper scope(TEXT("ConvertUTCtimetoLocalTime"));
    FAIL_IF(pstSysTime == NULL, E_INVALIDARG, TEXT("Check parameter"));
    FILETIME ftUTC = {}, ftLocal = {};
    FAIL_IF(!SystemTimeToFileTime(pstSysTime, &ftUTC), ResultFromLastError(), TEXT("SystemTimeToFileTime"));
    FAIL_IF(!FileTimeToLocalFileTime(&ftUTC, &ftLocal), ResultFromLastError(), TEXT("FileTimeToLocalFileTime"));
    SYSTEMTIME stLocal = {};
    FAIL_IF(!FileTimeToSystemTime(&ftLocal, &stLocal), ResultFromLastError(), TEXT("FileTimeToSystemTime"));
    *pstSysTime = stLocal;
    return QORA_OK;
}

HRESULT GetTimeString(const SYSTEMTIME* pstSysTime, WString& wstrTime)
{
    TraceHelper scope(TEXT("GetTimeString"));
    FAIL_IF(pstSysTime == NULL, E_INVALIDARG, TEXT("Check parameter"));
    WString wstr;
    AppendDecimal(wstr, pstSysTime->wYear, 4);
    wstr += TEXT('-');
    AppendDecimal(wstr, pstSysTime->wMonth, 2);
    wstr += TEXT('-');
    AppendDecimal(wstr, pstSysTime->wDay, 2);
    wstr += TEXT(' ');
    AppendDecimal(wstr, pstSysTime->wHour, 2);
    wstr += TEXT(':');
    AppendDecimal(wstr, pstSysTime->wMinute, 2);
    wstr += TEXT(':');
    AppendDecimal(wstr, pstSysTime->wSecond, 2);
    wstrTime.swap(wstr);
    return QORA_OK;
}

HRESULT GetCertificateInfo(PCCERT_CONTEXT pstCertContext, WString& wstrCertInfo)
{
    TraceHelper scope(TEXT("GetCertificateInfo"));
    FAIL_IF(pstCertContext == NULL, E_INVALIDARG, TEXT("Check parameter"));

    WString wstrRecord;
    HRESULT hResult = AppendCommonFields(scope, pstCertContext, wstrRecord);
    if (FAILED(hResult)) return hResult;

    ByteBuffer vecKeyProvInfo;
    hResult = GetCertificateContextProperty(pstCertContext, CERT_KEY_PROV_INFO_PROP_ID, vecKeyProvInfo);
    FAIL_IF(FAILED(hResult), hResult, TEXT("GetCertificateContextProperty(CERT_KEY_PROV_INFO_PROP_ID)"));
    FAIL_IF_REASON(vecKeyProvInfo.size() < sizeof(CRYPT_KEY_PROV_INFO), CRYPT_E_NOT_FOUND, TEXT("Check ProvName"),
                   TEXT("NULL == pstKeyProvInfo->pwszProvName"));
    const CRYPT_KEY_PROV_INFO* pstKeyProvInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(vecKeyProvInfo.data());
    FAIL_IF(NULL == pstKeyProvInfo->pwszProvName, CRYPT_E_NOT_FOUND, TEXT("Check ProvName"));
    wstrRecord += pstKeyProvInfo->pwszProvName;

    wstrCertInfo.swap(wstrRecord);
    return QORA_OK;
}

HRESULT GetCertificateInfoUnregisteredCert(const UNREGISTERED_CERT_CONTEXT* pstUnregisteredCertContext,
                                           WString& wstrCertInfo)
{
    TraceHelper scope(TEXT("GetCertificateInfoUnregisteredCert"));
    FAIL_IF(pstUnregisteredCertContext == NULL, E_INVALIDARG, TEXT("Check parameter"));

    WString wstrRecord;
    HRESULT hResult = AppendCommonFields(scope, pstUnregisteredCertContext->pCertContext, wstrRecord);
    if (FAILED(hResult)) return hResult;
    wstrRecord += pstUnregisteredCertContext->wszProvName;

    wstrCertInfo.swap(wstrRecord);
    return QORA_OK;
}

HRESULT GetAllCertificatesInfoinStore(HCERTSTORE hCertStore, WString& wstrCertInfo)
{
    TraceHelper scope(TEXT("GetAllCertificatesInfoinStore"));
    FAIL_IF(hCertStore == NULL, E_INVALIDARG, TEXT("Check parameter"));

    WString wstrText;
    DWORD dwCount = 0;
    // The enumeration frees the context it is handed; the owner frees the current one on every other path.
    CertContext pstCertContext;
    for (;;) {
        PCCERT_CONTEXT pNext = CertEnumCertificatesInStore(hCertStore, pstCertContext.release());
        if (pNext == nullptr) break;
        pstCertContext.reset(pNext);
        WString wstrRecord;
        const HRESULT hResult = GetCertificateInfo(pstCertContext.get(), wstrRecord);
        // Store certificates without a private-key binding are not offered to the page.
        if (hResult == CRYPT_E_NOT_FOUND) continue;
        FAIL_IF(FAILED(hResult), hResult, TEXT("GetCertificateInfo"));
        AppendRecord(wstrText, dwCount, wstrRecord);
    }
    TRACE_INFO_VALUE("dwCount", dwCount);
    wstrCertInfo.swap(wstrText);
    return QORA_OK;
}

HRESULT GetAllCertificatesInfoUnregisteredCertSet(const UnregisteredCertSet& vtrUnregisteredCertSet,
                                                  WString& wstrCertInfo)
{
    TraceHelper scope(TEXT("GetAllCertificatesInfoUnregisteredCertSet"));
    FAIL_IF(vtrUnregisteredCertSet.size() == 0, E_INVALIDARG, TEXT("Check parameter"));

    WString wstrText;
    DWORD dwCount = 0;
    for (const UnregisteredCertContext& pstUnregisteredCertContext : vtrUnregisteredCertSet) {
        WString wstrRecord;
        const HRESULT hResult = GetCertificateInfoUnregisteredCert(pstUnregisteredCertContext.get(), wstrRecord);
        if (hResult == CRYPT_E_NOT_FOUND) continue;
        FAIL_IF(FAILED(hResult), hResult, TEXT("GetCertificateInfoUnregisteredCert"));
        AppendRecord(wstrText, dwCount, wstrRecord);
    }
    TRACE_INFO_VALUE("dwCount", dwCount);
    wstrCertInfo.swap(wstrText);
    return QORA_OK;
}
