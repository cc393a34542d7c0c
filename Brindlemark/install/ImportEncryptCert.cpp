// Brindlemark/install/ImportEncryptCert.cpp — the encryption certificate and the encrypted-key envelope the
// authority returns, taken apart for the imports.
#include "install/ImportEncryptCert.h"

#include "agent/ResultCode.h"
#include "codec/ASN1Engine.h"
#include "codec/Misc.h"
#include "trace/TraceHelper.h"

#include <climits>

namespace {

constexpr size_t kFieldWidth = 16;
constexpr LONG kSessionKeyTripleDes = 306;

// A 16-character numeric field read the way a base-10 string-to-long conversion reads it: leading white
// space and a sign, then digits up to the first other character; no digits read 0, overflow saturates.
// False when the envelope ends inside the field.
bool ReadNumericField(const WString& wstrEnvelope, size_t nPos, LONG& lValue)
{
    if (nPos > wstrEnvelope.size() || wstrEnvelope.size() - nPos < kFieldWidth) return false;
    const WCHAR* pwch = wstrEnvelope.data() + nPos;
    const WCHAR* pwchEnd = pwch + kFieldWidth;
    while (pwch < pwchEnd && (*pwch == TEXT(' ') || (*pwch >= TEXT('\t') && *pwch <= TEXT('\r')))) ++pwch;
    bool bNegative = false;
    if (pwch < pwchEnd && (*pwch == TEXT('+') || *pwch == TEXT('-'))) bNegative = *pwch++ == TEXT('-');
    LONGLONG llValue = 0;
    for (; pwch < pwchEnd && *pwch >= TEXT('0') && *pwch <= TEXT('9'); ++pwch) {
        llValue = llValue * 10 + (*pwch - TEXT('0'));
        if (llValue > static_cast<LONGLONG>(LONG_MAX) + 1) llValue = static_cast<LONGLONG>(LONG_MAX) + 1;
    }
    if (bNegative) llValue = -llValue;
    lValue = static_cast<LONG>(llValue < LONG_MIN ? LONG_MIN : (llValue > LONG_MAX ? LONG_MAX : llValue));
    return true;
}

// Device type, encrypt type and session key type; steps traced under the caller's scope.
HRESULT CheckEnvelopeHeader(const TraceHelper& scope, const WString& wstrEnvelope, bool bExtended, ALG_ID& algId)
{
    LONG lDeviceType = 0, lEncryptType = 0, lSessionKeyType = 0;
    // An envelope that ends inside its header has nothing more to read.
    FAIL_IF_REASON(!ReadNumericField(wstrEnvelope, 0, lDeviceType), QORA_E_IMPORT_ENCRYPT_CERT,
                   TEXT("Check encrypted data size."), TEXT("nEncryptedDataLen < 48"));
    TRACE_INFO_VALUE("nDeviceType", lDeviceType);
    FAIL_IF_REASON(lDeviceType < 0 || lDeviceType > 2, QORA_E_DEVICE_TYPE,
                   TEXT("Invalid device type of generating encrypt cert key."), TEXT("TRUE"));

    FAIL_IF_REASON(!ReadNumericField(wstrEnvelope, kFieldWidth, lEncryptType), QORA_E_IMPORT_ENCRYPT_CERT,
                   TEXT("Check encrypted data size."), TEXT("nEncryptedDataLen < 48"));
    TRACE_INFO_VALUE("nEncryptType", lEncryptType);
    FAIL_IF_REASON(lEncryptType != 1 && lEncryptType != 2, QORA_E_ENCRYPT_TYPE,
                   TEXT("Invalid encrypt type used for encrypting private key."), TEXT("TRUE"));

    FAIL_IF_REASON(!ReadNumericField(wstrEnvelope, 2 * kFieldWidth, lSessionKeyType), QORA_E_IMPORT_ENCRYPT_CERT,
                   TEXT("Check encrypted data size."), TEXT("nEncryptedDataLen < 48"));
    TRACE_INFO_VALUE("nSessionKeyType", lSessionKeyType);
    const bool bAccepted = lSessionKeyType == kSessionKeyTripleDes || (bExtended && lSessionKeyType == 0);
    FAIL_IF_REASON(!bAccepted, QORA_E_SESSION_KEY_TYPE,
                   TEXT("Invalid session key type used for encrypting private key."), TEXT("TRUE"));
    algId = lSessionKeyType == kSessionKeyTripleDes ? CALG_3DES : 0;
    return QORA_OK;
}

// Reads both fields and decodes those the layout uses; steps traced under the caller's scope.
HRESULT ReadEnvelopeFields(const TraceHelper& scope, const WString& wstrEnvelope, bool bExtended,
                           ByteBuffer& vecSessionField, ByteBuffer& vecPrivateField, ALG_ID& algId)
{
    ALG_ID algRead = 0;
    HRESULT hResult = CheckEnvelopeHeader(scope, wstrEnvelope, bExtended, algRead);
    if (FAILED(hResult)) return hResult;

    size_t nPos = 3 * kFieldWidth;
    WString wstrSessionKey, wstrPrivateKey;
    hResult = GetBase64KeyFromEncryptedData(wstrEnvelope, nPos, wstrSessionKey);
    FAIL_IF(FAILED(hResult), hResult, TEXT("get session key encoded with base64"));
    hResult = GetBase64KeyFromEncryptedData(wstrEnvelope, nPos, wstrPrivateKey);
    FAIL_IF(FAILED(hResult), hResult, TEXT("get private key encoded with base64"));

    ByteBuffer vecSession;
    if (algRead == CALG_3DES) {
        hResult = DecodeBase64Key(wstrSessionKey, vecSession);
        FAIL_IF(FAILED(hResult), hResult, TEXT("base64 decode session key FAILED."));
    }
    ByteBuffer vecPrivate;
    hResult = DecodeBase64Key(wstrPrivateKey, vecPrivate);
    FAIL_IF(FAILED(hResult), hResult, TEXT("base64 decode private key FAILED."));

    vecSessionField = std::move(vecSession);
    vecPrivateField = std::move(vecPrivate);
    algId = algRead;
    return QORA_OK;
}

// Unwraps the key material of both decoded fields; steps traced under the caller's scope.
HRESULT UnwrapEnvelopeFields(const TraceHelper& scope, const ByteBuffer& vecSessionField,
                             const ByteBuffer& vecPrivateField, ALG_ID algId, ByteBuffer& vecSessionKey,
                             ByteBuffer& vecPrivateKey)
{
    ByteBuffer vecSession;
    if (algId == CALG_3DES) {
        HRESULT hResult = GetSessionKeyorPrivateKeyFromASN1Obj(vecSessionField, vecSession);
        FAIL_IF(FAILED(hResult), hResult, TEXT("get session key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)"));
    }
    ByteBuffer vecPrivate;
    HRESULT hResult = GetSessionKeyorPrivateKeyFromASN1Obj(vecPrivateField, vecPrivate);
    FAIL_IF(FAILED(hResult), hResult, TEXT("get private key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)"));
    vecSessionKey = std::move(vecSession);
    vecPrivateKey = std::move(vecPrivate);
    return QORA_OK;
}

using FieldReader = HRESULT (*)(const WString&, ByteBuffer&, ByteBuffer&, ALG_ID&);

// Either layout: its field reader, then the key material of both fields; traced under the caller's scope.
HRESULT ParseEnvelope(const TraceHelper& scope, const WString& wstrEnvelope, FieldReader pfnReadFields,
                      const WCHAR* pwszReadStep, ByteBuffer& vecSessionKey, ByteBuffer& vecPrivateKey, ALG_ID& algId)
{
    ByteBuffer vecSessionField, vecPrivateField;
    ALG_ID algRead = 0;
    HRESULT hResult = pfnReadFields(wstrEnvelope, vecSessionField, vecPrivateField, algRead);
    FAIL_IF(FAILED(hResult), hResult, pwszReadStep);
    hResult = UnwrapEnvelopeFields(scope, vecSessionField, vecPrivateField, algRead, vecSessionKey, vecPrivateKey);
    if (FAILED(hResult)) return hResult;
    algId = algRead;
    return QORA_OK;
}

}  // namespace

void EraseCommaInWstr(WString& wstr)
{
    TraceHelper scope(TEXT("EraseCommaInWstr"));
    size_t nOut = 0;
    for (WCHAR wch : wstr)
        if (wch != TEXT(',')) wstr[nOut++] = wch;
    wstr.resize(nOut);
}

HRESULT DecodeBase64Key(const WString& wstrBase64, ByteBuffer& vecKey)
{
    TraceHelper scope(TEXT("DecodeBase64Key"));
    std::string strBase64;
    HRESULT hResult = UTF16ToUTF8(wstrBase64.c_str(), strBase64);
    FAIL_IF(FAILED(hResult), hResult, TEXT("UTF16ToUTF8 (Kernel) FAILED."));
    FAIL_IF_REASON(strBase64.size() > static_cast<size_t>(INT_MAX), E_OUTOFMEMORY, TEXT("Check Base64 length"),
                   TEXT("nLength > INT_MAX"));
    ByteBuffer vec;
    hResult = Base64DecodeEx(strBase64.c_str(), static_cast<int>(strBase64.size()), vec);
    FAIL_IF(FAILED(hResult), hResult, TEXT("Base64DecodeEx (Kernel) FAILED."));
    vecKey = std::move(vec);
    return QORA_OK;
}

HRESULT ParseEncryptCertPublicKeyCert(WString& wstrCert, ByteBuffer& vecCert)
{
    TraceHelper scope(TEXT("ParseEncryptCertPublicKeyCert"));
    EraseCommaInWstr(wstrCert);
    HRESULT hResult = DecodeBase64Key(wstrCert, vecCert);
    FAIL_IF(FAILED(hResult), hResult, TEXT("base64 decode public key FAILED."));
    return QORA_OK;
}

HRESULT GetBase64KeyFromEncryptedData(const WString& wstrEnvelope, size_t& nPos, WString& wstrKey)
{
    TraceHelper scope(TEXT("GetBase64KeyFromEncryptedData"));
    const size_t nRemainLen = nPos < wstrEnvelope.size() ? wstrEnvelope.size() - nPos : 0;
    TRACE_INFO_VALUE("nRemainLen", nRemainLen);
    FAIL_IF_REASON(0 == nRemainLen || nRemainLen < kFieldWidth, QORA_E_IMPORT_ENCRYPT_CERT,
                   TEXT("Check encrypted data size."), TEXT("0 == nRemainLen || nRemainLen < 16"));

    LONG lKeyLength = 0;
    ReadNumericField(wstrEnvelope, nPos, lKeyLength);
    TRACE_INFO_VALUE("nKeyLength", lKeyLength);
    FAIL_IF_REASON(lKeyLength < 0 || static_cast<size_t>(lKeyLength) > nRemainLen - kFieldWidth,
                   QORA_E_IMPORT_ENCRYPT_CERT, TEXT("GetBase64KeyFromEncryptedData-key's length is wrong"),
                   TEXT("TRUE"));
    const size_t nKeyLength = static_cast<size_t>(lKeyLength);
    const size_t nKeyPos = nPos + kFieldWidth;
    if (nKeyLength == 0) {
        // An empty field: the position stays where the length field began.
        wstrKey.clear();
        return QORA_OK;
    }
    FAIL_IF_REASON(wstrEnvelope[nKeyPos + nKeyLength - 1] != TEXT(','), QORA_E_IMPORT_ENCRYPT_CERT,
                   TEXT("Check endl character"), TEXT("L',' != keyBase64Encoded[nKeyLength - 1]"));
    WString wstrField = wstrEnvelope.substr(nKeyPos, nKeyLength);
    EraseCommaInWstr(wstrField);
    wstrKey = std::move(wstrField);
    nPos = nKeyPos + nKeyLength;
    return QORA_OK;
}

HRESULT GetSessionKeyorPrivateKeyFromASN1Obj(const ByteBuffer& vecField, ByteBuffer& vecKey)
{
    TraceHelper scope(TEXT("GetSessionKeyorPrivateKeyFromASN1Obj"));
    std::unique_ptr<ASN1Node> pRoot;
    LONG lResult = DecodeASN1Memory(vecField.data(), vecField.size(), pRoot);
    FAIL_IF_REASON(lResult != 0, QORA_E_IMPORT_ENCRYPT_CERT, TEXT("DecodeASN1Memory"), TEXT("TRUE"));
    FAIL_IF_REASON(pRoot->children.size() != 2, QORA_E_IMPORT_ENCRYPT_CERT,
                   TEXT("Level 1: 2 nodes(INTEGER and OCTET STRING can not be found"), TEXT("TRUE"));
    const ASN1Node& key = *pRoot->children[1];
    ByteBuffer vec;
    FAIL_IF_REASON(!TryResize(vec, key.dwContentsLength), E_OUTOFMEMORY, TEXT("new memory"), TEXT("NULL == pbKey"));
    std::copy(key.Contents(), key.Contents() + key.dwContentsLength, vec.begin());
    vecKey = std::move(vec);
    return QORA_OK;
}

HRESULT GetSessionKeyandPrivateKeyASN1Obj(const WString& wstrEnvelope, ByteBuffer& vecSessionField,
                                          ByteBuffer& vecPrivateField, ALG_ID& algId)
{
    TraceHelper scope(TEXT("GetSessionKeyandPrivateKeyASN1Obj"));
    return ReadEnvelopeFields(scope, wstrEnvelope, false, vecSessionField, vecPrivateField, algId);
}

HRESULT GetSessionKeyandPrivateKeyASN1ObjEx(const WString& wstrEnvelope, ByteBuffer& vecSessionField,
                                            ByteBuffer& vecPrivateField, ALG_ID& algId)
{
    TraceHelper scope(TEXT("GetSessionKeyandPrivateKeyASN1ObjEx"));
    return ReadEnvelopeFields(scope, wstrEnvelope, true, vecSessionField, vecPrivateField, algId);
}

HRESULT ParseEncryptCertPrivateKeyData(const WString& wstrEnvelope, ByteBuffer& vecSessionKey,
                                       ByteBuffer& vecPrivateKey, ALG_ID& algId)
{
    TraceHelper scope(TEXT("ParseEncryptCertPrivateKeyData"));
    return ParseEnvelope(scope, wstrEnvelope, &GetSessionKeyandPrivateKeyASN1Obj,
                         TEXT("GetSessionKeyandPrivateKeyASN1Obj"), vecSessionKey, vecPrivateKey, algId);
}

HRESULT ParseEncryptCertPrivateKeyDataEx(const WString& wstrEnvelope, ByteBuffer& vecSessionKey,
                                         ByteBuffer& vecPrivateKey, ALG_ID& algId)
{
    TraceHelper scope(TEXT("ParseEncryptCertPrivateKeyDataEx"));
    return ParseEnvelope(scope, wstrEnvelope, &GetSessionKeyandPrivateKeyASN1ObjEx,
                         TEXT("GetSessionKeyandPrivateKeyASN1ObjEx"), vecSessionKey, vecPrivateKey, algId);
}

HRESULT ComposeObjectIdentifier(LPCSTR lpszObjID, ByteBuffer& vecEncoded)
{
    TraceHelper scope(TEXT("ComposeObjectIdentifier"));
    // SEQUENCE {OID, NULL} without its two-byte SEQUENCE header and the trailing NULL.
    ByteBuffer vecAlgorithm;
    HRESULT hResult = ComposeSpecialAttribute(lpszObjID, nullptr, 0, vecAlgorithm);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeSpecialAttribute"));
    FAIL_IF_REASON(vecAlgorithm.size() < 6 || vecAlgorithm[1] >= 0x80, E_FAIL, TEXT("Check algorithm identifier"),
                   TEXT("cbEncoded < 6"));
    vecEncoded.assign(vecAlgorithm.begin() + 2, vecAlgorithm.end() - 2);
    return QORA_OK;
}

HRESULT ComposeRSAEVPPrivateKey(const BYTE* pbEncryptedPrivateKey, DWORD cbEncryptedPrivateKey,
                                const BYTE* pbEncryptedSessionKey, DWORD cbEncryptedSessionKey, ByteBuffer& vecEncoded)
{
    TraceHelper scope(TEXT("ComposeRSAEVPPrivateKey"));
    FAIL_IF_REASON((pbEncryptedPrivateKey == nullptr && cbEncryptedPrivateKey != 0) ||
                       (pbEncryptedSessionKey == nullptr && cbEncryptedSessionKey != 0),
                   E_POINTER, TEXT("Check parameter"), TEXT("pbEncryptedPrivateKey == NULL"));

    ByteBuffer vecContents = {ASN1_TAG_INTEGER, 0x01, 0x01};
    ByteBuffer vecPart;
    HRESULT hResult = ComposeObjectIdentifier(kOidRsaEncryption, vecPart);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeObjectIdentifier -- AsymAlgID"));
    AppendBytes(vecContents, vecPart);
    hResult = ComposeObjectIdentifier(kOidEnvelopeSymmetric, vecPart);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeObjectIdentifier -- SymAlgID"));
    AppendBytes(vecContents, vecPart);
    hResult = ComposeAnyString(cbEncryptedSessionKey, CERT_RDN_OCTET_STRING, pbEncryptedSessionKey, vecPart);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeAnyString -- pbEncryptedSessionKey"));
    AppendBytes(vecContents, vecPart);
    hResult = ComposeAnyString(cbEncryptedPrivateKey, CERT_RDN_OCTET_STRING, pbEncryptedPrivateKey, vecPart);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeAnyString -- pbEncryptedPrivateKey"));
    AppendBytes(vecContents, vecPart);

    hResult = ASN1Encode(ASN1_TAG_SEQUENCE, vecContents, vecEncoded);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode"));
    return QORA_OK;
}

// ---- Signing certificate -------------------------------------------------------------------------

namespace {

const WCHAR kAesProviderName[] = TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider");

DWORD ProviderTypeOfName(const WString& wstrCSPName)
{
    return wstrCSPName.find(kAesProviderName) != WString::npos ? PROV_RSA_AES : PROV_RSA_FULL;
}

bool IsRsaAlgorithm(const WString& wstrKeyAlgorithm)
{
    return CompareStringOrdinal(wstrKeyAlgorithm.c_str(), -1, TEXT("RSA"), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

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
