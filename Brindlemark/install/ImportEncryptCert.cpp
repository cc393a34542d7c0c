// Brindlemark/install/ImportEncryptCert.cpp — the encryption certificate and the encrypted-key envelope the
// authority returns, taken apart for the imports.
#include "install/ImportEncryptCert.h"

#include "ResultCode.h"
#include "codec/ASN1Engine.h"
#include "codec/Misc.h"
#include "install/CertificateKeyCheck.h"
#include "install/ImportSignCert.h"
#include "provider/CspEnumeration.h"
#include "request/CertificateRequisition.h"
#include "trace/TraceHelper.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <limits>

namespace {

constexpr size_t kFieldWidth = 16;
constexpr LONG kSessionKeyTripleDes = 306;
// The range of LONG, which is 32-bit wherever the unit is built; the C long of LONG_MAX is not.
constexpr LONGLONG kLongMax = std::numeric_limits<LONG>::max();
constexpr LONGLONG kLongMin = std::numeric_limits<LONG>::min();

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
        if (llValue > kLongMax + 1) llValue = kLongMax + 1;
    }
    if (bNegative) llValue = -llValue;
    lValue = static_cast<LONG>(llValue < kLongMin ? kLongMin : (llValue > kLongMax ? kLongMax : llValue));
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

bool IsRsaAlgorithm(const WString& wstrKeyAlgorithm)
{
    return CompareStringOrdinal(wstrKeyAlgorithm.c_str(), -1, TEXT("RSA"), -1, TRUE) == CSTR_EQUAL;
}

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
        // An empty field is only its length: the next field starts right after it.
        wstrKey.clear();
        nPos = nKeyPos;
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

    ByteBuffer vecStructure;
    DerWriter writer(vecStructure);
    const DerWriter::Mark mark = writer.Open(ASN1_TAG_SEQUENCE);
    writer.Append({ASN1_TAG_INTEGER, 0x01, 0x01});
    ByteBuffer vecPart;
    HRESULT hResult = ComposeObjectIdentifier(szOID_RSA_RSA, vecPart);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeObjectIdentifier -- AsymAlgID"));
    writer.Append(vecPart);
    hResult = ComposeObjectIdentifier(kOidEnvelopeSymmetric, vecPart);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeObjectIdentifier -- SymAlgID"));
    writer.Append(vecPart);
    hResult = ComposeAnyString(cbEncryptedSessionKey, CERT_RDN_OCTET_STRING, pbEncryptedSessionKey, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeAnyString -- pbEncryptedSessionKey"));
    hResult = ComposeAnyString(cbEncryptedPrivateKey, CERT_RDN_OCTET_STRING, pbEncryptedPrivateKey, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeAnyString -- pbEncryptedPrivateKey"));

    hResult = ASN1Encode(ASN1_TAG_SEQUENCE, writer, mark);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode"));
    vecEncoded = std::move(vecStructure);
    return QORA_OK;
}

// ---- Encryption certificate ----------------------------------------------------------------------

namespace {

const WCHAR kSoftProviderName[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
constexpr DWORD kRsaBlobMagic = 0x32415352;  // "RSA2"
constexpr DWORD kPlainSessionKeyBytes = 24;  // the authority sends 32 bytes; Triple-DES keys on the first 24
constexpr DWORD kCipherC1Bytes = 64;
constexpr DWORD kCipherC3Bytes = 32;
constexpr LONG kMaxRsaKeyBits = 16384;

void PutWord(BYTE* pb, WORD w)
{
    pb[0] = static_cast<BYTE>(w);
    pb[1] = static_cast<BYTE>(w >> 8);
}

void PutDword(BYTE* pb, DWORD dw)
{
    for (int i = 0; i < 4; ++i) pb[i] = static_cast<BYTE>(dw >> (8 * i));
}

DWORD GetDword(const BYTE* pb)
{
    return pb[0] | (pb[1] << 8) | (pb[2] << 16) | (static_cast<DWORD>(pb[3]) << 24);
}

// Little-endian and pointer-wide: the tokens read the address the way this process holds it.
void PutAddress(BYTE* pb, const void* pv)
{
    const ULONG_PTR ulAddress = reinterpret_cast<ULONG_PTR>(pv);
    for (size_t i = 0; i < sizeof(ULONG_PTR); ++i) pb[i] = static_cast<BYTE>(ulAddress >> (8 * i));
}

// Where the parts of the platform's RSA private-key blob lie for a key of dwBits bits.
struct RsaBlobLayout {
    // Halves round up, as the platform lays out a key of an odd number of bytes.
    explicit RsaBlobLayout(DWORD dwBits) : cbFull(dwBits / 8), cbHalf((dwBits / 8 + 1) / 2) {}
    size_t cbFull;  // n and d
    size_t cbHalf;  // p, q, dP, dQ and qInv
    size_t N() const { return 20; }
    size_t P() const { return 20 + cbFull; }
    size_t Q() const { return P() + cbHalf; }
    size_t DP() const { return Q() + cbHalf; }
    size_t DQ() const { return DP() + cbHalf; }
    size_t QInv() const { return DQ() + cbHalf; }
    size_t D() const { return QInv() + cbHalf; }
    size_t Size() const { return D() + cbFull; }
};

// Key material in plain text is wiped before its memory goes back.
class WipeOnExit {
public:
    explicit WipeOnExit(ByteBuffer& vec) : m_vec(vec) {}
    ~WipeOnExit()
    {
        if (!m_vec.empty()) SecureZeroMemory(m_vec.data(), m_vec.size());
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    ByteBuffer& m_vec;
};

// Removes the throw-away container of the session key; the keys and the context made in it go first,
// so it is declared before them.
class TempContainer {
public:
    ~TempContainer()
    {
        if (!m_wstrName.empty()) DeleteTempContainer(m_wstrName);
    }
    void Hold(const WString& wstrName) { m_wstrName = wstrName; }

private:
    static void DeleteTempContainer(const WString& wstrName)
    {
        TraceHelper scope(TEXT("DeleteTempContainer"));
        HCRYPTPROV hDeleted = 0;
        BOOL bResult = CryptAcquireContextW(&hDeleted, wstrName.c_str(), kSoftProviderName, PROV_RSA_FULL,
                                            CRYPT_DELETEKEYSET);
        (void)STEP_FAILED_REASON(FALSE == bResult, ResultFromLastError(), TEXT("CryptAcquireContext-DeleteKeySet"),
                                 TEXT("FALSE == bResult"));
    }
    WString m_wstrName;
};

// A step of a function that reports plain success or failure.
#define BOOL_FAIL_IF(cond, step)                                                                    \
    do {                                                                                            \
        if (STEP_FAILED_REASON(cond, ResultFromLastError(), step, TEXT(#cond))) return FALSE;       \
    } while (0)

// The length test of every step that hands a buffer to the platform by a 32-bit count.
bool FitsDword(size_t cb) { return cb <= MAXDWORD; }

// One SM2 ciphertext reordering; the two orders differ in where C3 stands.
HRESULT ReorderCiphertext(const TraceHelper& scope, const BYTE* pbCiphertext, DWORD cbCiphertext, bool bC3Last,
                          const WCHAR* pwszBufferReason, ByteBuffer& vecOutput)
{
    // Shorter than C1 and C3 leaves no room for C2.
    FAIL_IF_REASON(pbCiphertext == nullptr || cbCiphertext < kCipherC1Bytes + kCipherC3Bytes,
                   QORA_E_IMPORT_ENCRYPT_CERT, TEXT("Check ciphertext length"), TEXT("nCipherLen < 96"));
    ByteBuffer vec;
    FAIL_IF_REASON(!TryResize(vec, cbCiphertext), E_OUTOFMEMORY, TEXT("New buffer"), pwszBufferReason);
    const DWORD cbC2 = cbCiphertext - kCipherC1Bytes - kCipherC3Bytes;
    const BYTE* pbIn = pbCiphertext;
    BYTE* pbOut = vec.data();
    std::copy(pbIn, pbIn + kCipherC1Bytes, pbOut);
    if (bC3Last) {
        // C1 C3 C2 -> C1 C2 C3
        std::copy(pbIn + kCipherC1Bytes + kCipherC3Bytes, pbIn + cbCiphertext, pbOut + kCipherC1Bytes);
        std::copy(pbIn + kCipherC1Bytes, pbIn + kCipherC1Bytes + kCipherC3Bytes, pbOut + kCipherC1Bytes + cbC2);
    } else {
        // C1 C2 C3 -> C1 C3 C2
        std::copy(pbIn + kCipherC1Bytes + cbC2, pbIn + cbCiphertext, pbOut + kCipherC1Bytes);
        std::copy(pbIn + kCipherC1Bytes, pbIn + kCipherC1Bytes + cbC2, pbOut + kCipherC1Bytes + kCipherC3Bytes);
    }
    vecOutput = std::move(vec);
    return QORA_OK;
}

// The extended RSA import is handed the certificate without its length, as a token's certificate parameter
// is. Its caller measured it whole, so the header (six bytes at most) tells how long it is.
DWORD MeasuredCertificateLength(const BYTE* pbCert)
{
    constexpr size_t kLongestHeader = 6;
    ASN1Header stHeader;
    if (pbCert == nullptr || ParseASN1TLV(pbCert, kLongestHeader, 0, kLongestHeader, stHeader) != 0 ||
        stHeader.bIndefinite || stHeader.llLastByte < 0 || stHeader.llLastByte >= static_cast<LONGLONG>(MAXDWORD))
        return 0;
    return static_cast<DWORD>(stHeader.llLastByte + 1);
}

// The certificate an encryption import installs, parsed again from the bytes its caller measured.
HRESULT EncryptCertificateContext(const TraceHelper& scope, const BYTE* pbCert, DWORD cbCert, CertContext& pCert)
{
    ByteBuffer vecCert;
    if (pbCert != nullptr) vecCert.assign(pbCert, pbCert + cbCert);
    const HRESULT hResult = ParseSingleCertificate(vecCert, pCert);
    FAIL_IF(FAILED(hResult), QORA_E_IMPORT_ENCRYPT_CERT, TEXT("ParseSingleCertificate"));
    return QORA_OK;
}

// The plain delivered key shows it is the certificate's in a throw-away context before a container takes it.
HRESULT ProveKeyBlob(const TraceHelper& scope, const ByteBuffer& vecBlob, PCCERT_CONTEXT pCert)
{
    CryptProv hTrial;
    FAIL_IF(!CryptAcquireContextW(hTrial.put(), nullptr, kSoftProviderName, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT),
            QORA_E_IMPORT_ENCRYPT_CERT, TEXT("CryptAcquireContext-TrialKey"));
    CryptKey hTrialKey;
    FAIL_IF(!CryptImportKey(hTrial.get(), vecBlob.data(), static_cast<DWORD>(vecBlob.size()), 0, 0, hTrialKey.put()),
            QORA_E_IMPORT_ENCRYPT_CERT, TEXT("CryptImportKey-TrialKey"));
    // A signature made with the primes never reads the modulus or the public exponent: those are compared too.
    HRESULT hResult = CheckKeyOfCertificate(hTrialKey.get(), pCert);
    FAIL_IF(FAILED(hResult), QORA_E_IMPORT_ENCRYPT_CERT, TEXT("CheckKeyOfCertificate"));
    hResult = ProveExchangeKey(hTrial.get(), hTrialKey.get(), pCert);
    FAIL_IF(hResult != QORA_OK, QORA_E_IMPORT_ENCRYPT_CERT, TEXT("ProveExchangeKey"));
    return QORA_OK;
}

// A delivered key now in the container, before its certificate is: it must be the certificate's key (for
// RSA also proven by a signature or a decryption). One that is not is replaced by a fresh key that no
// certificate names, so the container never keeps a wrong key where the certificate's should be.
HRESULT SealDeliveredKey(const TraceHelper& scope, HCRYPTPROV hProv, HCRYPTKEY hKey, PCCERT_CONTEXT pCert, bool bRsa,
                         LONG lKeyLength)
{
    HRESULT hResult = CheckCertificateKey(hProv, AT_KEYEXCHANGE, pCert);
    if (SUCCEEDED(hResult) && bRsa) {
        hResult = ProveExchangeKey(hProv, hKey, pCert);
        // A provider that neither signs nor decrypts with the key keeps to the public key's check.
        if (hResult == S_FALSE) hResult = QORA_OK;
    }
    if (!STEP_FAILED_REASON(FAILED(hResult), QORA_E_IMPORT_ENCRYPT_CERT, TEXT("Check delivered key"),
                            TEXT("FAILED(hResult)")))
        return QORA_OK;
    const DWORD dwBits = bRsa ? (lKeyLength > 0 && lKeyLength <= kMaxRsaKeyBits ? static_cast<DWORD>(lKeyLength) : 1024)
                              : 256;
    CryptKey hFresh;
    const BOOL bReplaced = CryptGenKey(hProv, bRsa ? AT_KEYEXCHANGE : CALG_SM2_KEYX, dwBits << 16, hFresh.put());
    (void)STEP_FAILED_REASON(FALSE == bReplaced, ResultFromLastError(), TEXT("CryptGenKey-ReplaceDeliveredKey"),
                             TEXT("FALSE == bResult"));
    return QORA_E_IMPORT_ENCRYPT_CERT;
}

}  // namespace

void FillRSAKeySpecBlob(BYTE* pbBlob, DWORD dwKeyLength, const BYTE* pbDer, DWORD cbDer)
{
    TraceHelper scope(TEXT("FillRSAKeySpecBlob"));
    pbBlob[0] = PRIVATEKEYBLOB;
    pbBlob[1] = CUR_BLOB_VERSION;
    PutWord(pbBlob + 2, 1);  // 1 marks a key-spec blob; a plain PRIVATEKEYBLOB holds 0 here
    PutDword(pbBlob + 4, CALG_RSA_KEYX);
    PutDword(pbBlob + 8, CALG_RSA_KEYX);
    PutDword(pbBlob + 12, dwKeyLength);
    PutDword(pbBlob + 16, cbDer * 8);
    PutAddress(pbBlob + 20, pbDer);
}

void FillSM2KeySpecBlob(BYTE* pbBlob, const BYTE* pbCiphertext, DWORD cbCiphertext)
{
    TraceHelper scope(TEXT("FillSM2KeySpecBlob"));
    pbBlob[0] = PRIVATEKEYBLOB;
    pbBlob[1] = CUR_BLOB_VERSION;
    PutWord(pbBlob + 2, 1);
    PutDword(pbBlob + 4, CALG_SM2_KEYX);
    PutDword(pbBlob + 8, CALG_SM2_KEYX);
    PutDword(pbBlob + 12, cbCiphertext * 8);
    PutAddress(pbBlob + 16, pbCiphertext);
}

HRESULT ConvertC1C3C2ToC1C2C3(const BYTE* pbCiphertext, DWORD cbCiphertext, ByteBuffer& vecC1C2C3)
{
    TraceHelper scope(TEXT("ConvertC1C3C2ToC1C2C3"));
    return ReorderCiphertext(scope, pbCiphertext, cbCiphertext, true, TEXT("!pbyC1C2C3"), vecC1C2C3);
}

HRESULT ConvertC1C2C3ToC1C3C2(const BYTE* pbCiphertext, DWORD cbCiphertext, ByteBuffer& vecC1C3C2)
{
    TraceHelper scope(TEXT("ConvertC1C2C3ToC1C3C2"));
    return ReorderCiphertext(scope, pbCiphertext, cbCiphertext, false, TEXT("!pbyC1C3C2"), vecC1C3C2);
}

HRESULT getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(const BYTE* pbPrivateKey, DWORD cbPrivateKey, LONG lKeyLength,
                                                ByteBuffer& vecBlob)
{
    TraceHelper scope(TEXT("getMicrosoftSoftPkcs1PrivateKeyBlob_RSA"));
    TRACE_INFO_VALUE("lKeyLength", lKeyLength);
    RSAPrivateKeyParts stParts;
    HRESULT hResult = DecodePrivateKey(pbPrivateKey, cbPrivateKey, stParts);
    // The decoder's statuses are not all failures (0x20001041) nor codes a page knows (-1).
    const HRESULT hrDecode = hResult == E_OUTOFMEMORY ? E_OUTOFMEMORY : QORA_E_IMPORT_ENCRYPT_CERT;
    FAIL_IF_REASON(hResult != QORA_OK, hrDecode, TEXT("getMicrosoftSoftPkcs1PrivateKeyBlob_RSA-DecodePrivateKey"),
                   TEXT("FAILED(hResult)"));
    WipeOnExit wipeModulus(stParts.vecModulus), wipeP(stParts.vecPrime1), wipeQ(stParts.vecPrime2),
        wipeDP(stParts.vecExponent1), wipeDQ(stParts.vecExponent2), wipeQInv(stParts.vecCoefficient),
        wipeD(stParts.vecPrivateExponent);

    // The public exponent goes into the blob as the key has it; the decoder above does not hand it out.
    std::unique_ptr<ASN1Node> pRoot;
    const bool bDecoded = DecodeASN1Memory(pbPrivateKey, cbPrivateKey, pRoot) == 0 && pRoot->children.size() >= 9;
    FAIL_IF_REASON(!bDecoded, QORA_E_IMPORT_ENCRYPT_CERT,
                   TEXT("getMicrosoftSoftPkcs1PrivateKeyBlob_RSA-DecodePrivateKey"), TEXT("FAILED(hResult)"));
    ByteBuffer vecExponent;
    hResult = CopyPrivateKeyAttribute(*pRoot->children[2], vecExponent);
    FAIL_IF(FAILED(hResult), hResult, TEXT("CopyPrivateKeyAttribute"));
    bool bExponentFits = !vecExponent.empty();
    DWORD dwExponent = 0;
    for (size_t i = 0; i < vecExponent.size(); ++i) {
        if (i < 4)
            dwExponent |= static_cast<DWORD>(vecExponent[i]) << (8 * i);
        else if (vecExponent[i] != 0)
            bExponentFits = false;
    }

    TRACE_INFO_VALUE("cbModulus", stParts.vecModulus.size());
    TRACE_INFO_VALUE("cbPublicExponent", vecExponent.size());
    TRACE_INFO_VALUE("cbPrivateExponent", stParts.vecPrivateExponent.size());
    TRACE_INFO_VALUE("cbPrime1", stParts.vecPrime1.size());
    TRACE_INFO_VALUE("cbPrime2", stParts.vecPrime2.size());
    TRACE_INFO_VALUE("cbExponent1", stParts.vecExponent1.size());
    TRACE_INFO_VALUE("cbExponent2", stParts.vecExponent2.size());
    TRACE_INFO_VALUE("cbCoefficient", stParts.vecCoefficient.size());
    const bool bKeyLength = lKeyLength > 0 && lKeyLength <= kMaxRsaKeyBits && lKeyLength % 8 == 0;
    const RsaBlobLayout layout(bKeyLength ? static_cast<DWORD>(lKeyLength) : 0);
    // The modulus fixes the key length. The other integers are as long as their values: about one key in
    // 256 has a top byte of zero in a given one, which the blob's fixed fields take zero-extended.
    const bool bLengths = bKeyLength && bExponentFits && dwExponent != 0 &&
                          stParts.vecModulus.size() == layout.cbFull &&
                          stParts.vecPrivateExponent.size() <= layout.cbFull &&
                          stParts.vecPrime1.size() <= layout.cbHalf && stParts.vecPrime2.size() <= layout.cbHalf &&
                          stParts.vecExponent1.size() <= layout.cbHalf &&
                          stParts.vecExponent2.size() <= layout.cbHalf &&
                          stParts.vecCoefficient.size() <= layout.cbHalf;
    FAIL_IF_REASON(!bLengths, QORA_E_IMPORT_ENCRYPT_CERT, TEXT("PKCS1 RSA private key length"), TEXT("TRUE"));

    ByteBuffer vec;
    FAIL_IF_REASON(!TryResize(vec, layout.Size()), E_OUTOFMEMORY, TEXT("new memory"), TEXT("TRUE"));
    vec[0] = PRIVATEKEYBLOB;
    vec[1] = CUR_BLOB_VERSION;
    PutWord(&vec[2], 0);
    PutDword(&vec[4], CALG_RSA_KEYX);
    PutDword(&vec[8], kRsaBlobMagic);
    PutDword(&vec[12], static_cast<DWORD>(lKeyLength));
    PutDword(&vec[16], dwExponent);
    // Little-endian already; the zeros TryResize left above a short integer are its high end.
    const struct {
        size_t nOffset;
        const ByteBuffer* pvec;
    } rgParts[] = {{layout.N(), &stParts.vecModulus},      {layout.P(), &stParts.vecPrime1},
                   {layout.Q(), &stParts.vecPrime2},       {layout.DP(), &stParts.vecExponent1},
                   {layout.DQ(), &stParts.vecExponent2},   {layout.QInv(), &stParts.vecCoefficient},
                   {layout.D(), &stParts.vecPrivateExponent}};
    for (const auto& part : rgParts) std::copy(part.pvec->begin(), part.pvec->end(), vec.begin() + part.nOffset);
    vecBlob = std::move(vec);
    return QORA_OK;
}

HRESULT DecryptSessionKeywithTempKey(const WString& wstrCSPName, const WString& wstrContainerName,
                                     const WString& wstrKeyAlgorithm, const ByteBuffer& vecEncryptedSessionKey,
                                     ByteBuffer& vecSessionKey, CryptProv& hProv)
{
    TraceHelper scope(TEXT("DecryptSessionKeywithTempKey"));
    TRACE_INFO_TEXT("wstrCSPName", wstrCSPName.c_str());
    TRACE_INFO_TEXT("wstrContainerName", wstrContainerName.c_str());
    TRACE_INFO_TEXT("wstrKeyAlgorithm", wstrKeyAlgorithm.c_str());
    TRACE_INFO_VALUE("cbEncryptedSessionKey", vecEncryptedSessionKey.size());

    const DWORD dwProvType = ProviderTypeOfName(wstrCSPName, TEXT("Microsoft Enhanced RSA and AES"));
    CryptProv hContainer;
    BOOL bResult =
        CryptAcquireContextW(hContainer.put(), wstrContainerName.c_str(), wstrCSPName.c_str(), dwProvType, 0);
    FAIL_IF_REASON(FALSE == bResult, ResultFromLastError(), TEXT("RSA CryptAcquireContext"), TEXT("1"));

    CryptKey hTempKey;
    bResult = CryptGetUserKey(hContainer.get(), AT_KEYEXCHANGE, hTempKey.put());
    FAIL_IF_REASON(FALSE == bResult, ResultFromLastError(), TEXT("CryptGetUserKey"), TEXT("1"));

    ByteBuffer vecPlain;
    FAIL_IF_REASON(!FitsDword(vecEncryptedSessionKey.size()) || !TryResize(vecPlain, vecEncryptedSessionKey.size()),
                   E_OUTOFMEMORY, TEXT("new memory"), TEXT("1"));
    WipeOnExit wipePlain(vecPlain);
    // The authority sends the session key big-endian; the CSP decrypts little-endian.
    std::copy(vecEncryptedSessionKey.rbegin(), vecEncryptedSessionKey.rend(), vecPlain.begin());
    DWORD cbPlain = static_cast<DWORD>(vecPlain.size());
    bResult = CryptDecrypt(hTempKey.get(), 0, TRUE, 0, vecPlain.data(), &cbPlain);
    FAIL_IF_REASON(FALSE == bResult, ResultFromLastError(), TEXT("CryptDecrypt"), TEXT("1"));
    TRACE_INFO_VALUE("cbSessionKey", cbPlain);

    // Peers send 32 bytes and key Triple-DES with the first 24.
    if (cbPlain == 32) cbPlain = kPlainSessionKeyBytes;
    vecSessionKey.assign(vecPlain.begin(), vecPlain.begin() + cbPlain);
    hProv = std::move(hContainer);
    return QORA_OK;
}

BOOL CreatePrivateExponentOneKey(HCRYPTPROV hProv, CryptKey& hExponentOneKey)
{
    TraceHelper scope(TEXT("CreatePrivateExponentOneKey"));
    ByteBuffer vecBlob;
    WipeOnExit wipeBlob(vecBlob);
    {
        CryptKey hGenerated;
        BOOL bResult = CryptGenKey(hProv, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, hGenerated.put());
        BOOL_FAIL_IF(FALSE == bResult, TEXT("CryptGenKey"));
        DWORD cbBlob = 0;
        bResult = CryptExportKey(hGenerated.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &cbBlob);
        BOOL_FAIL_IF(FALSE == bResult, TEXT("CryptExportKey"));
        if (STEP_FAILED_REASON(!TryResize(vecBlob, cbBlob), E_OUTOFMEMORY, TEXT("new memory"), TEXT("TRUE")))
            return FALSE;
        bResult = CryptExportKey(hGenerated.get(), 0, PRIVATEKEYBLOB, 0, vecBlob.data(), &cbBlob);
        BOOL_FAIL_IF(FALSE == bResult, TEXT("CryptExportKey"));
        vecBlob.resize(cbBlob);
    }

    const DWORD dwBits = vecBlob.size() >= 20 ? GetDword(&vecBlob[12]) : 0;
    const RsaBlobLayout layout(dwBits);
    if (STEP_FAILED_REASON(dwBits == 0 || vecBlob.size() < layout.Size(), NTE_BAD_KEY, TEXT("Check key blob"),
                           TEXT("cbBlob < nKeyBlobLen")))
        return FALSE;
    // e = d = dP = dQ = 1: both directions of the key leave a block as it is.
    auto setOne = [&](size_t nOffset, size_t cb) {
        std::fill(vecBlob.begin() + nOffset, vecBlob.begin() + nOffset + cb, BYTE{0});
        vecBlob[nOffset] = 1;
    };
    setOne(16, 4);
    setOne(layout.DP(), layout.cbHalf);
    setOne(layout.DQ(), layout.cbHalf);
    setOne(layout.D(), layout.cbFull);

    BOOL bResult = CryptImportKey(hProv, vecBlob.data(), static_cast<DWORD>(vecBlob.size()), 0, 0,
                                  hExponentOneKey.put());
    BOOL_FAIL_IF(FALSE == bResult, TEXT("CryptImportKey"));
    return TRUE;
}

BOOL ImportPlainSessionBlob(HCRYPTPROV hProv, HCRYPTKEY hExponentOneKey, ALG_ID algId, const BYTE* pbSessionKey,
                            DWORD cbSessionKey, CryptKey& hSessionKey)
{
    TraceHelper scope(TEXT("ImportPlainSessionBlob"));
    TRACE_INFO_VALUE("algId", algId);
    TRACE_INFO_VALUE("cbSessionKey", cbSessionKey);

    DWORD dwFlags = CRYPT_FIRST;
    for (;;) {
        PROV_ENUMALGS_EX stAlgorithm = {};
        DWORD cbAlgorithm = sizeof(stAlgorithm);
        BOOL bResult = CryptGetProvParam(hProv, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&stAlgorithm), &cbAlgorithm,
                                         dwFlags);
        BOOL_FAIL_IF(FALSE == bResult, TEXT("CryptGetProvParam"));
        dwFlags = 0;
        if (stAlgorithm.aiAlgid == algId) break;
    }

    DWORD dwAlgKeyBits = 0;
    {
        CryptKey hProbe;
        BOOL bResult = CryptGenKey(hProv, algId, 0, hProbe.put());
        BOOL_FAIL_IF(FALSE == bResult, TEXT("CryptGenKey"));
        DWORD cb = sizeof(dwAlgKeyBits);
        bResult = CryptGetKeyParam(hProbe.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&dwAlgKeyBits), &cb, 0);
        BOOL_FAIL_IF(FALSE == bResult, TEXT("CryptGetKeyParam"));
    }
    TRACE_INFO_VALUE("dwAlgKeyBits", dwAlgKeyBits);
    if (STEP_FAILED_REASON(static_cast<ULONGLONG>(dwAlgKeyBits) < 8ull * cbSessionKey, NTE_BAD_LEN,
                           TEXT("Check session key length"), TEXT("dwKeyBitLen < cbSessionKey * 8")))
        return FALSE;

    ALG_ID algWrapping = 0;
    DWORD dwWrappingBits = 0;
    DWORD cb = sizeof(algWrapping);
    BOOL bResult = CryptGetKeyParam(hExponentOneKey, KP_ALGID, reinterpret_cast<BYTE*>(&algWrapping), &cb, 0);
    BOOL_FAIL_IF(FALSE == bResult, TEXT("CryptGetKeyParam"));
    cb = sizeof(dwWrappingBits);
    bResult = CryptGetKeyParam(hExponentOneKey, KP_KEYLEN, reinterpret_cast<BYTE*>(&dwWrappingBits), &cb, 0);
    BOOL_FAIL_IF(FALSE == bResult, TEXT("CryptGetKeyParam"));

    // PKCS#1 v1.5 type 2 needs the key, its zero, the 2, the leading zero and eight random bytes.
    const size_t cbBlock = dwWrappingBits / 8;
    if (STEP_FAILED_REASON(pbSessionKey == nullptr || cbSessionKey == 0 || cbBlock < cbSessionKey + 11ull,
                           NTE_BAD_LEN, TEXT("Check session key length"), TEXT("cbSessionKey + 11 > nBlockLen")))
        return FALSE;
    ByteBuffer vecBlob;
    if (STEP_FAILED_REASON(!TryResize(vecBlob, 12 + cbBlock), E_OUTOFMEMORY, TEXT("new memory"), TEXT("TRUE")))
        return FALSE;
    WipeOnExit wipeBlob(vecBlob);
    vecBlob[0] = SIMPLEBLOB;
    vecBlob[1] = CUR_BLOB_VERSION;
    PutDword(&vecBlob[4], algId);
    PutDword(&vecBlob[8], algWrapping);
    // The padded block little-endian: the key reversed, 0, random non-zero bytes, 2, 0.
    std::copy(std::make_reverse_iterator(pbSessionKey + cbSessionKey), std::make_reverse_iterator(pbSessionKey),
              vecBlob.begin() + 12);
    const size_t nRandom = 13 + cbSessionKey;
    const DWORD cbRandom = static_cast<DWORD>(cbBlock - cbSessionKey - 3);
    bResult = CryptGenRandom(hProv, cbRandom, &vecBlob[nRandom]);
    BOOL_FAIL_IF(FALSE == bResult, TEXT("CryptGenRandom"));
    for (size_t i = nRandom; i < nRandom + cbRandom; ++i)
        if (vecBlob[i] == 0) vecBlob[i] = 1;
    vecBlob[10 + cbBlock] = 2;

    bResult = CryptImportKey(hProv, vecBlob.data(), static_cast<DWORD>(vecBlob.size()), hExponentOneKey,
                             CRYPT_EXPORTABLE, hSessionKey.put());
    BOOL_FAIL_IF(FALSE == bResult, TEXT("CryptImportKey"));
    return TRUE;
}

HRESULT DecryptPrivateKeywithSessionKey(ALG_ID algId, const ByteBuffer& vecSessionKey,
                                        const ByteBuffer& vecEncryptedPrivateKey, ByteBuffer& vecPrivateKey)
{
    TraceHelper scope(TEXT("DecryptPrivateKeywithSessionKey"));
    TRACE_INFO_VALUE("algId", algId);
    TRACE_INFO_VALUE("cbEncryptedPrivateKey", vecEncryptedPrivateKey.size());

    WString wstrTempContainer;
    HRESULT hResult = CreateGUIDStr(wstrTempContainer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("CreateGUIDStr"));

    TempContainer tempContainer;  // goes last, after the keys and the context below
    CryptProv hTempProv;
    BOOL bResult =
        CryptAcquireContextW(hTempProv.put(), wstrTempContainer.c_str(), kSoftProviderName, PROV_RSA_FULL, 0);
    if (FALSE == bResult)
        bResult = CryptAcquireContextW(hTempProv.put(), wstrTempContainer.c_str(), kSoftProviderName, PROV_RSA_FULL,
                                       CRYPT_NEWKEYSET);
    FAIL_IF(FALSE == bResult, ResultFromLastError(), TEXT("CryptAcquireContext"));
    tempContainer.Hold(wstrTempContainer);

    CryptKey hExponentOneKey;
    bResult = CreatePrivateExponentOneKey(hTempProv.get(), hExponentOneKey);
    FAIL_IF(FALSE == bResult, QORA_E_IMPORT_ENCRYPT_CERT, TEXT("CreatePrivateExponentOneKey"));

    CryptKey hSessionKey;
    bResult = ImportPlainSessionBlob(hTempProv.get(), hExponentOneKey.get(), algId, vecSessionKey.data(),
                                     static_cast<DWORD>(vecSessionKey.size()), hSessionKey);
    FAIL_IF(FALSE == bResult, QORA_E_IMPORT_ENCRYPT_CERT, TEXT("ImportPlainSessionBlob"));

    // ECB and no initialisation vector: the authority encrypts that way.
    DWORD dwMode = CRYPT_MODE_ECB;
    bResult = CryptSetKeyParam(hSessionKey.get(), KP_MODE, reinterpret_cast<BYTE*>(&dwMode), 0);
    FAIL_IF(FALSE == bResult, ResultFromLastError(), TEXT("CryptSetKeyParam"));

    ByteBuffer vecPlain;
    const bool bBuffer = FitsDword(vecEncryptedPrivateKey.size()) && TryResize(vecPlain, vecEncryptedPrivateKey.size());
    FAIL_IF_REASON(!bBuffer, E_OUTOFMEMORY, TEXT("new memory"), TEXT("pPrivateKey == NULL"));
    WipeOnExit wipePlain(vecPlain);
    std::copy(vecEncryptedPrivateKey.begin(), vecEncryptedPrivateKey.end(), vecPlain.begin());
    DWORD cbPlain = static_cast<DWORD>(vecPlain.size());
    bResult = CryptDecrypt(hSessionKey.get(), 0, TRUE, 0, vecPlain.data(), &cbPlain);
    FAIL_IF(FALSE == bResult, ResultFromLastError(), TEXT("CryptDecrypt"));
    TRACE_INFO_VALUE("cbPrivateKey", cbPlain);
    vecPrivateKey.assign(vecPlain.begin(), vecPlain.begin() + cbPlain);
    return QORA_OK;
}

HRESULT ImportEncryptCert_RSA(const WString& wstrContainerName, const BYTE* pbCert, const WString& wstrCSPName,
                              CryptProv& hProv, LONG lKeyLength, DWORD cbCert, const BYTE* pbPrivateKey,
                              DWORD cbPrivateKey, DWORD dwFlags)
{
    TraceHelper scope(TEXT("ImportEncryptCert_RSA"));
    TRACE_INFO_TEXT("wstrCSPName", wstrCSPName.c_str());
    TRACE_INFO_TEXT("wstrContainerName", wstrContainerName.c_str());
    TRACE_INFO_VALUE("dwFlags", dwFlags);

    ByteBuffer vecBlob;
    HRESULT hResult = getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(pbPrivateKey, cbPrivateKey, lKeyLength, vecBlob);
    WipeOnExit wipeBlob(vecBlob);
    FAIL_IF(FAILED(hResult), hResult, TEXT("getMicrosoftSoftPkcs1PrivateKeyBlob_RSA"));
    CertContext pCert;
    hResult = EncryptCertificateContext(scope, pbCert, cbCert, pCert);
    if (FAILED(hResult)) return hResult;
    hResult = ProveKeyBlob(scope, vecBlob, pCert.get());
    if (FAILED(hResult)) return hResult;

    // CALG_RSA_KEYX in the blob: the delivered key replaces the container's exchange key.
    CryptKey hKey;
    BOOL bResult =
        CryptImportKey(hProv.get(), vecBlob.data(), static_cast<DWORD>(vecBlob.size()), 0, dwFlags, hKey.put());
    if (wstrCSPName.find(TEXT("Microsoft")) == WString::npos) {
        FAIL_IF(FALSE == bResult, ResultFromLastError(), TEXT("non-Microsoft's CSP: CryptImportKey"));
        hResult = SealDeliveredKey(scope, hProv.get(), hKey.get(), pCert.get(), true, lKeyLength);
        if (FAILED(hResult)) return hResult;
        bResult = CryptSetKeyParam(hKey.get(), KP_CERTIFICATE, pbCert, 0);
        FAIL_IF(FALSE == bResult, ResultFromLastError(), TEXT("non-Microsoft's CSP: CryptSetKeyParam"));
    } else {
        FAIL_IF(FALSE == bResult, ResultFromLastError(), TEXT("Microsoft CSP: CryptImportKey"));
        hResult = SealDeliveredKey(scope, hProv.get(), hKey.get(), pCert.get(), true, lKeyLength);
        if (FAILED(hResult)) return hResult;
        hResult = AddCertificateToSystemStore(wstrCSPName, hProv, pbCert, cbCert, AT_KEYEXCHANGE, wstrContainerName);
        FAIL_IF(FAILED(hResult), hResult, TEXT("AddCertificateToSystemStore"));
    }
    return QORA_OK;
}

HRESULT ImportEncryptCert(const WString& wstrCSPName, const WString& wstrContainerName,
                          const WString& wstrEncryptedPrivateKeyData, const WString& wstrEncryptPublicCert,
                          const WString& wstrKeyAlgorithm, LONG lKeyLength, LONG lFlags)
{
    TraceHelper scope(TEXT("ImportEncryptCert"));
    TRACE_INFO_TEXT("wstrCSPName", wstrCSPName.c_str());
    TRACE_INFO_TEXT("wstrContainerName", wstrContainerName.c_str());
    TRACE_INFO_VALUE("lKeyLength", lKeyLength);

    WString wstrCert = wstrEncryptPublicCert;
    ByteBuffer vecCert;
    HRESULT hResult = ParseEncryptCertPublicKeyCert(wstrCert, vecCert);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ParseEncryptCertPublicKeyCert"));

    ByteBuffer vecEncryptedSessionKey, vecEncryptedPrivateKey;
    ALG_ID algId = 0;
    hResult = ParseEncryptCertPrivateKeyData(wstrEncryptedPrivateKeyData, vecEncryptedSessionKey,
                                             vecEncryptedPrivateKey, algId);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ParseEncryptCertPrivateKeyData"));
    // The certificate is measured before any provider takes part.
    CertContext pCert;
    hResult = EncryptCertificateContext(scope, vecCert.data(), static_cast<DWORD>(vecCert.size()), pCert);
    if (FAILED(hResult)) return hResult;

    CryptProv hProv;
    ByteBuffer vecSessionKey;
    WipeOnExit wipeSessionKey(vecSessionKey);
    hResult = DecryptSessionKeywithTempKey(wstrCSPName, wstrContainerName, wstrKeyAlgorithm, vecEncryptedSessionKey,
                                           vecSessionKey, hProv);
    FAIL_IF(FAILED(hResult), hResult, TEXT("DecryptSessionKeywithTempKey"));

    ByteBuffer vecPrivateKey;
    WipeOnExit wipePrivateKey(vecPrivateKey);
    hResult = DecryptPrivateKeywithSessionKey(algId, vecSessionKey, vecEncryptedPrivateKey, vecPrivateKey);
    FAIL_IF(FAILED(hResult), hResult, TEXT("DecryptPrivateKeywithSessionKey"));

    hResult = ImportEncryptCert_RSA(wstrContainerName, vecCert.data(), wstrCSPName, hProv, lKeyLength,
                                    static_cast<DWORD>(vecCert.size()), vecPrivateKey.data(),
                                    static_cast<DWORD>(vecPrivateKey.size()), static_cast<DWORD>(lFlags));
    FAIL_IF(FAILED(hResult), hResult, TEXT("ImportEncryptCert_RSA"));
    return QORA_OK;
}

HRESULT GetCSPHandleofTempPublickey(const WString& wstrCSPName, const WString& wstrContainerName,
                                    const WString& wstrKeyAlgorithm, CryptProv& hProv)
{
    TraceHelper scope(TEXT("GetCSPHandleofTempPublickey"));
    TRACE_INFO_TEXT("wstrCSPName", wstrCSPName.c_str());
    TRACE_INFO_TEXT("wstrContainerName", wstrContainerName.c_str());
    CryptProv hContainer;
    if (IsRsaAlgorithm(wstrKeyAlgorithm)) {
        BOOL bResult =
            CryptAcquireContextW(hContainer.put(), wstrContainerName.c_str(), wstrCSPName.c_str(), PROV_RSA_FULL, 0);
        FAIL_IF_REASON(FALSE == bResult, ResultFromLastError(), TEXT("RSA CryptAcquireContext"), TEXT("1"));
    } else {
        // The SM2 CSP opens the named container under the verify-context flag.
        BOOL bResult = CryptAcquireContextW(hContainer.put(), wstrContainerName.c_str(), wstrCSPName.c_str(),
                                            PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
        FAIL_IF_REASON(FALSE == bResult, ResultFromLastError(), TEXT("SM2 CryptAcquireContext"), TEXT("1"));
    }
    hProv = std::move(hContainer);
    return QORA_OK;
}

HRESULT ImportEncryptCertEx_RSA(const BYTE* pbCert, const BYTE* pbEncryptedPrivateKey,
                                const BYTE* pbEncryptedSessionKey, const WString& wstrCSPName, CryptProv& hProv,
                                LONG lKeyLength, DWORD cbSessionKey, DWORD cbPrivateKey, DWORD dwFlags)
{
    TraceHelper scope(TEXT("ImportEncryptCertEx_RSA"));
    TRACE_INFO_TEXT("wstrCSPName", wstrCSPName.c_str());
    TRACE_INFO_VALUE("lKeyLength", lKeyLength);
    TRACE_INFO_VALUE("cbSessionKey", cbSessionKey);
    TRACE_INFO_VALUE("cbPrivateKey", cbPrivateKey);
    FAIL_IF_REASON(!hProv, E_INVALIDARG, TEXT("Invalid parameter."), TEXT("hCryptProv == NULL"));

    // Both keys go to the CSP as the authority sent them; it decrypts with the container's exchange key.
    ByteBuffer vecDer;
    HRESULT hResult =
        ComposeRSAEVPPrivateKey(pbEncryptedPrivateKey, cbPrivateKey, pbEncryptedSessionKey, cbSessionKey, vecDer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeRSAEVPPrivateKey"));
    FAIL_IF_REASON(vecDer.size() > MAXDWORD / 8, QORA_E_IMPORT_ENCRYPT_CERT, TEXT("Check key structure length"),
                   TEXT("cbEncoded * 8 > MAXDWORD"));

    ByteBuffer vecBlob;
    FAIL_IF_REASON(!TryResize(vecBlob, kRSAKeySpecBlobBytes), E_OUTOFMEMORY, TEXT("New buffer"),
                   TEXT("!pbEncryptedPrivateKeyBlob"));
    FillRSAKeySpecBlob(vecBlob.data(), static_cast<DWORD>(lKeyLength), vecDer.data(),
                       static_cast<DWORD>(vecDer.size()));

    CryptKey hKey;
    BOOL bResult = CryptImportKey(hProv.get(), vecBlob.data(), kRSAKeySpecBlobBytes, 0, dwFlags, hKey.put());
    FAIL_IF_REASON(FALSE == bResult, ResultFromLastError(),
                   TEXT("ImportEncryptCertEx_RSA non-microsoft's CSP: CryptImportKey"), TEXT("1"));
    CertContext pCert;
    hResult = EncryptCertificateContext(scope, pbCert, MeasuredCertificateLength(pbCert), pCert);
    if (FAILED(hResult)) return hResult;
    hResult = SealDeliveredKey(scope, hProv.get(), hKey.get(), pCert.get(), true, lKeyLength);
    if (FAILED(hResult)) return hResult;
    bResult = CryptSetKeyParam(hKey.get(), KP_CERTIFICATE, pbCert, 0);
    FAIL_IF_REASON(FALSE == bResult, ResultFromLastError(),
                   TEXT("ImportEncryptCertEx_RSA non-microsoft's CSP: CryptSetKeyParam"), TEXT("1"));
    return QORA_OK;
}

HRESULT ImportEncryptCertEx_SM2(const BYTE* pbCert, const BYTE* pbCiphertext, DWORD cbCiphertext, CryptProv& hProv,
                                DWORD cbCert, DWORD dwFlags)
{
    TraceHelper scope(TEXT("ImportEncryptCertEx_SM2"));
    TRACE_INFO_VALUE("cbCiphertext", cbCiphertext);
    TRACE_INFO_VALUE("cbCert", cbCert);
    FAIL_IF_REASON(cbCiphertext > MAXDWORD / 8, QORA_E_IMPORT_ENCRYPT_CERT, TEXT("Check ciphertext length"),
                   TEXT("nCipherLen * 8 > MAXDWORD"));

    ByteBuffer vecBlob;
    FAIL_IF_REASON(!TryResize(vecBlob, kSM2KeySpecBlobBytes), E_OUTOFMEMORY, TEXT("New buffer"),
                   TEXT("!pbyEncryptedPrivateKeyBlob"));
    FillSM2KeySpecBlob(vecBlob.data(), pbCiphertext, cbCiphertext);

    CertContext pCert;
    HRESULT hResult = EncryptCertificateContext(scope, pbCert, cbCert, pCert);
    if (FAILED(hResult)) return hResult;

    CryptKey hKey;
    BOOL bResult = CryptImportKey(hProv.get(), vecBlob.data(), kSM2KeySpecBlobBytes, 0, dwFlags, hKey.put());
    FAIL_IF(!bResult, ResultFromLastError(), TEXT("CryptImportKey"));
    hResult = SealDeliveredKey(scope, hProv.get(), hKey.get(), pCert.get(), false, 256);
    if (FAILED(hResult)) return hResult;
    bResult = CryptSetKeyParam(hKey.get(), KP_CERTIFICATE, pbCert, 0);
    FAIL_IF(!bResult, ResultFromLastError(), TEXT("CryptSetKeyParam"));
    return QORA_OK;
}

HRESULT ImportEncryptCertByEncryptedFormat(const WString& wstrEncryptPublicCert, const WString& wstrCSPName,
                                           const WString& wstrEncryptedPrivateKeyData,
                                           const WString& wstrContainerName, const WString& wstrKeyAlgorithm,
                                           LONG lKeyLength, LONG lFlags)
{
    TraceHelper scope(TEXT("ImportEncryptCertByEncryptedFormat"));
    TRACE_INFO_TEXT("wstrCSPName", wstrCSPName.c_str());
    TRACE_INFO_TEXT("wstrContainerName", wstrContainerName.c_str());
    TRACE_INFO_TEXT("wstrKeyAlgorithm", wstrKeyAlgorithm.c_str());
    TRACE_INFO_VALUE("lKeyLength", lKeyLength);
    FAIL_IF_REASON(wstrEncryptedPrivateKeyData.empty() || wstrEncryptPublicCert.empty() || wstrCSPName.empty() ||
                       wstrContainerName.empty() || wstrKeyAlgorithm.empty(),
                   E_INVALIDARG, TEXT("Invalid parameter."),
                   TEXT("(wstrEncryptedPrivateKeyData == L\"\" || wstrEncryptPublicCert == L\"\" || ")
                   TEXT("wstrCSPName == L\"\" || wstrContainerName == L\"\" || wstrKeyAlgorithm == L\"\")"));

    WString wstrCert = wstrEncryptPublicCert;
    ByteBuffer vecCert;
    HRESULT hResult = ParseEncryptCertPublicKeyCert(wstrCert, vecCert);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ParseEncryptCertPublicKeyCert"));

    ByteBuffer vecSessionKey, vecPrivateKey;
    ALG_ID algId = 0;
    hResult = ParseEncryptCertPrivateKeyDataEx(wstrEncryptedPrivateKeyData, vecSessionKey, vecPrivateKey, algId);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ParseEncryptCertPrivateKeyDataEx"));
    TRACE_INFO_VALUE("algId", algId);
    CertContext pCert;
    hResult = EncryptCertificateContext(scope, vecCert.data(), static_cast<DWORD>(vecCert.size()), pCert);
    if (FAILED(hResult)) return hResult;

    CryptProv hProv;
    hResult = GetCSPHandleofTempPublickey(wstrCSPName, wstrContainerName, wstrKeyAlgorithm, hProv);
    FAIL_IF(FAILED(hResult), hResult, TEXT("GetCSPHandleofTempPublickey"));

    const DWORD cbCert = static_cast<DWORD>(vecCert.size());
    const DWORD dwFlags = static_cast<DWORD>(lFlags);
    if (IsRsaAlgorithm(wstrKeyAlgorithm)) {
        hResult = ImportEncryptCertEx_RSA(vecCert.data(), vecPrivateKey.data(),
                                          vecSessionKey.empty() ? nullptr : vecSessionKey.data(), wstrCSPName, hProv,
                                          lKeyLength, static_cast<DWORD>(vecSessionKey.size()),
                                          static_cast<DWORD>(vecPrivateKey.size()), dwFlags);
        FAIL_IF(FAILED(hResult), hResult, TEXT("ImportEncryptCertEx_RSA"));
        return QORA_OK;
    }

    // The authority's SM2 ciphertext comes in either component order; the CSP takes C1 C3 C2. Each retry
    // reorders the ciphertext as delivered.
    const BYTE* pbCiphertext = vecPrivateKey.data();
    const DWORD cbCiphertext = static_cast<DWORD>(vecPrivateKey.size());
    hResult = ImportEncryptCertEx_SM2(vecCert.data(), pbCiphertext, cbCiphertext, hProv, cbCert, dwFlags);
    if (!STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("Check dwNeedRetry"), TEXT("FAILED(hResult)")))
        return QORA_OK;
    // A ciphertext that decrypted to a key other than the certificate's is not tried in another order.
    REJECT_IF(hResult == QORA_E_IMPORT_ENCRYPT_CERT, hResult, TEXT("ImportEncryptCertEx_SM2"));

    ByteBuffer vecC1C2C3;
    hResult = ConvertC1C3C2ToC1C2C3(pbCiphertext, cbCiphertext, vecC1C2C3);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ConvertC1C3C2ToC1C2C3"));
    hResult = ImportEncryptCertEx_SM2(vecCert.data(), vecC1C2C3.data(), cbCiphertext, hProv, cbCert, dwFlags);
    if (!STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("Check dwNeedRetry"), TEXT("FAILED(hResult)")))
        return QORA_OK;
    REJECT_IF(hResult == QORA_E_IMPORT_ENCRYPT_CERT, hResult, TEXT("ImportEncryptCertEx_SM2"));

    ByteBuffer vecC1C3C2;
    hResult = ConvertC1C2C3ToC1C3C2(pbCiphertext, cbCiphertext, vecC1C3C2);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ConvertC1C2C3ToC1C3C2"));
    hResult = ImportEncryptCertEx_SM2(vecCert.data(), vecC1C3C2.data(), cbCiphertext, hProv, cbCert, dwFlags);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ImportEncryptCertEx_SM2"));
    return QORA_OK;
}

HRESULT ImportEncryptCertEx(const WString& wstrCSPName, const WString& wstrContainerName,
                            const WString& wstrKeyAlgorithm, const WString& wstrEncryptedPrivateKeyData,
                            const WString& wstrEncryptePublicCert, LONG lKeyLength, LONG lFlags)
{
    TraceHelper scope(TEXT("ImportEncryptCertEx"));
    TRACE_INFO_TEXT("wstrCSPName", wstrCSPName.c_str());
    TRACE_INFO_TEXT("wstrContainerName", wstrContainerName.c_str());
    TRACE_INFO_TEXT("wstrKeyAlgorithm", wstrKeyAlgorithm.c_str());
    TRACE_INFO_VALUE("lKeyLength", lKeyLength);
    TRACE_INFO_VALUE("lFlags", lFlags);
    FAIL_IF_REASON(wstrEncryptedPrivateKeyData.empty() || wstrEncryptePublicCert.empty() || wstrCSPName.empty() ||
                       wstrContainerName.empty() || wstrKeyAlgorithm.empty(),
                   E_INVALIDARG, TEXT("Invalid parameter."),
                   TEXT("(wstrEncryptedPrivateKeyData == L\"\" || wstrEncryptePublicCert == L\"\" || ")
                   TEXT("wstrCSPName == L\"\" || wstrContainerName == L\"\" || wstrKeyAlgorithm == L\"\")"));

    const bool bClassic = IsRsaAlgorithm(wstrKeyAlgorithm) &&
                          (wstrCSPName.find(TEXT("Microsoft")) != WString::npos || lKeyLength == 1024);
    if (bClassic) {
        HRESULT hResult = ImportEncryptCert(wstrCSPName, wstrContainerName, wstrEncryptedPrivateKeyData,
                                            wstrEncryptePublicCert, wstrKeyAlgorithm, lKeyLength, lFlags);
        FAIL_IF(FAILED(hResult), hResult, TEXT("ImportEncryptCertEx-ImportEncryptCert"));
        return QORA_OK;
    }
    HRESULT hResult = ImportEncryptCertByEncryptedFormat(wstrEncryptePublicCert, wstrCSPName,
                                                         wstrEncryptedPrivateKeyData, wstrContainerName,
                                                         wstrKeyAlgorithm, lKeyLength, lFlags);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ImportEncryptCertByEncryptedFormat"));
    return QORA_OK;
}
