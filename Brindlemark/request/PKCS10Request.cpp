// Brindlemark/request/PKCS10Request.cpp — subject DN, request body, attributes and the signature made
// inside the CSP.
#include "request/PKCS10Request.h"

#include "ResultCode.h"
#include "codec/ASN1Engine.h"
#include "codec/Misc.h"
#include "trace/TraceHelper.h"

#include <algorithm>
#include <cstring>

namespace {

const char kOidCountryName[] = "2.5.4.6";
const char kOidSerialNumber[] = "2.5.4.5";
const char kOidJurisdictionCountryName[] = "1.3.6.1.4.1.311.60.2.1.3";
const char kOidEmail[] = "1.2.840.113549.1.9.1";
const char kOidChallengePassword[] = "1.2.840.113549.1.9.7";
const char kOidTemporaryKey[] = "1.2.840.113549.1.9.63";
const char kChallengePassword[] = "246802";

constexpr DWORD kHashChunk = 0x4000;
constexpr DWORD kSM2SignatureBuffer = 0x4000;
constexpr DWORD kSM2CoordinateSize = 32;
constexpr DWORD kSM2RawSignatureSize = 2 * kSM2CoordinateSize;
// PUBLICKEYBLOB of the SM2 CSPs: BLOBHEADER, 32-bit bit length, X field, Y field.
constexpr DWORD kSM2BlobHeaderSize = 8;
constexpr DWORD kSM2FieldSize = 64;
constexpr DWORD kSM2BlobSize = kSM2BlobHeaderSize + 4 + 2 * kSM2FieldSize;
constexpr DWORD kSM2TempKeyMagic = 0xB400;
constexpr DWORD kSM2TempKeyBits = 256;
constexpr HRESULT kInvalidData = static_cast<HRESULT>(0x8007000D);

struct ObjectIDEntry {
    const WCHAR* pwszKey;
    const char* pszObjectID;
};

const ObjectIDEntry kObjectIDs[] = {
    {TEXT("CN"), "2.5.4.3"},
    {TEXT("SERIALNUMBER"), "2.5.4.5"},
    {TEXT("C"), "2.5.4.6"},
    {TEXT("L"), "2.5.4.7"},
    {TEXT("S"), "2.5.4.8"},
    {TEXT("ST"), "2.5.4.8"},
    {TEXT("STREET"), "2.5.4.9"},
    {TEXT("O"), "2.5.4.10"},
    {TEXT("OU"), "2.5.4.11"},
    {TEXT("businessCategory"), "2.5.4.15"},
    {TEXT("PostalCode"), "2.5.4.17"},
    {TEXT("E"), "1.2.840.113549.1.9.1"},
    {TEXT("Email"), "1.2.840.113549.1.9.1"},
    {TEXT("jurisdictionOfIncorporationLocalityName"), "1.3.6.1.4.1.311.60.2.1.1"},
    {TEXT("jurisdictionOfIncorporationStateOrProvinceName"), "1.3.6.1.4.1.311.60.2.1.2"},
    {TEXT("jurisdictionOfIncorporationCountryName"), "1.3.6.1.4.1.311.60.2.1.3"},
};

bool EqualsIgnoringCase(const WString& wstrA, const WCHAR* pwszB)
{
    return CompareStringOrdinal(wstrA.c_str(), static_cast<int>(wstrA.size()), pwszB, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

// ---- Subject DN ------------------------------------------------------------------------------------

void SplidWstr(const WString& wstrText, WCHAR wchSeparator, std::vector<WString>& vecItems)
{
    TraceHelper scope(TEXT("SplidWstr"));
    if (wstrText.empty()) return;

    size_t nStart = 0;
    for (size_t i = 0; i < wstrText.size(); ++i) {
        if (wstrText[i] == wchSeparator) {
            vecItems.push_back(wstrText.substr(nStart, i - nStart));
            nStart = i + 1;
        }
    }
    vecItems.push_back(wstrText.substr(nStart));
}

WString ReplaceWchar(const WString& wstrText, WCHAR wch)
{
    TraceHelper scope(TEXT("ReplaceWchar"));
    WString wstrResult;
    wstrResult.reserve(wstrText.size());
    for (WCHAR c : wstrText)
        if (c != wch) wstrResult.push_back(c);
    return wstrResult;
}

std::string GetObjectID(const WString& wstrKey)
{
    TraceHelper scope(TEXT("GetObjectID"));
    for (const ObjectIDEntry& stEntry : kObjectIDs)
        if (EqualsIgnoringCase(wstrKey, stEntry.pwszKey)) return stEntry.pszObjectID;

    TraceWideValue(TRACE_FLAG_ERROR, TEXT("Unknown subject key"), wstrKey.c_str());
    return std::string();
}

HRESULT ParseSubject(const WString& wstrSubjectDN, SubjectPairs& vecPairs)
{
    TraceHelper scope(TEXT("ParseSubject"));

    std::vector<WString> vecItems;
    SplidWstr(wstrSubjectDN, TEXT(','), vecItems);
    TraceStepSuccess(scope.Name(), TEXT("SplidWstr-Subject"));
    TRACE_INFO_VALUE("nItems", vecItems.size());

    SubjectPairs vecParsed;
    for (const WString& wstrItem : vecItems) {
        std::vector<WString> vecPair;
        SplidWstr(wstrItem, TEXT('='), vecPair);
        FAIL_IF(vecPair.size() != 2, NTE_BAD_DATA, TEXT("SplidWstr-Pair"));

        // "CN=a, O=b": the space after the comma belongs to the key.
        WString wstrKey = ReplaceWchar(vecPair[0], TEXT(' '));
        vecParsed.emplace_back(GetObjectID(wstrKey), vecPair[1]);
    }

    vecPairs.insert(vecPairs.end(), vecParsed.begin(), vecParsed.end());
    return QORA_OK;
}

HRESULT ComposeSubjectChild(const std::string& strObjectID, const WString& wstrValue, DerWriter& writer)
{
    TraceHelper scope(TEXT("ComposeSubjectChild"));
    TraceNarrowValue(TRACE_FLAG_INFO, TEXT("strObjectID"), strObjectID.c_str());
    TRACE_INFO_TEXT("wstrValue", wstrValue.c_str());

    ByteBuffer vecValue;
    HRESULT hResult = QORA_OK;
    bool bPrintable = strObjectID == kOidCountryName || strObjectID == kOidSerialNumber ||
                      strObjectID == kOidJurisdictionCountryName;
    bool bEmail = strObjectID == kOidEmail;
    if (bPrintable || bEmail) {
        std::string strValue;
        hResult = UTF16ToUTF8(wstrValue.c_str(), strValue);
        FAIL_IF(FAILED(hResult), hResult, bPrintable ? TEXT("UTF16ToUTF8(CountryName)") : TEXT("UTF16ToUTF8(Email)"));
        hResult = ComposeAnyString(static_cast<DWORD>(strValue.size()),
                                   bPrintable ? CERT_RDN_PRINTABLE_STRING : CERT_RDN_IA5_STRING,
                                   reinterpret_cast<const BYTE*>(strValue.c_str()), vecValue);
    } else {
        hResult = ComposeAnyString(static_cast<DWORD>(wstrValue.size() * sizeof(WCHAR)), CERT_RDN_UTF8_STRING,
                                   reinterpret_cast<const BYTE*>(wstrValue.c_str()), vecValue);
    }
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeAnyString"));

    const DerWriter::Mark mark = writer.Open(ASN1_TAG_SET);
    hResult = ComposeSpecialAttribute(strObjectID.c_str(), vecValue, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeSpecialAttribute"));

    hResult = ASN1Encode(ASN1_TAG_SET, writer, mark);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode"));
    return QORA_OK;
}

HRESULT ComposeSubject(const WString& wstrSubjectDN, DerWriter& writer)
{
    TraceHelper scope(TEXT("ComposeSubject"));
    TRACE_INFO_TEXT("wstrSubjectDN", wstrSubjectDN.c_str());

    SubjectPairs vecPairs;
    HRESULT hResult = ParseSubject(wstrSubjectDN, vecPairs);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ParseSubject"));

    // The text names the most specific component first; the DER Name starts with the least specific.
    const DerWriter::Mark mark = writer.Open(ASN1_TAG_SEQUENCE);
    for (auto it = vecPairs.rbegin(); it != vecPairs.rend(); ++it) {
        hResult = ComposeSubjectChild(it->first, it->second, writer);
        FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeSubjectChild"));
    }

    hResult = ASN1Encode(ASN1_TAG_SEQUENCE, writer, mark);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode"));
    return QORA_OK;
}

HRESULT ComposeSubject(const WString& wstrSubjectDN, ByteBuffer& vecSubject)
{
    return ComposeNew(vecSubject, [&](DerWriter& writer) { return ComposeSubject(wstrSubjectDN, writer); });
}

// ---- Signing ---------------------------------------------------------------------------------------

HRESULT PKCS10CalculateHashandSign(HCRYPTPROV hProv, LPCSTR lpszPublicKeyAlgorithm, const BYTE* pbData, DWORD cbData,
                                   ALG_ID algHash, DWORD dwKeySpec, ByteBuffer& vecSignature)
{
    TraceHelper scope(TEXT("PKCS10CalculateHashandSign"));
    TRACE_INFO_VALUE("algHash", algHash);
    TRACE_INFO_VALUE("dwKeySpec", dwKeySpec);
    TRACE_INFO_VALUE("cbData", cbData);
    FAIL_IF_REASON(cbData != 0 && pbData == nullptr, E_POINTER, TEXT("Check parameter"), TEXT("pbData == NULL"));
    bool bIsRSA = lpszPublicKeyAlgorithm != nullptr && 0 == strcmp(lpszPublicKeyAlgorithm, szOID_RSA_RSA);

    CryptKey hKey;
    BOOL bRetCode = CryptGetUserKey(hProv, dwKeySpec, hKey.put());
    FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptGetUserKey"));

    ByteBuffer vecProviderName;
    if (SUCCEEDED(GetProviderInfo(hProv, PP_NAME, vecProviderName))) {
        vecProviderName.push_back(0);
        TraceNarrowValue(TRACE_FLAG_INFO, TEXT("PP_NAME"), reinterpret_cast<const char*>(vecProviderName.data()));
    }

    CryptHash hHash;
    bRetCode = CryptCreateHash(hProv, algHash, 0, 0, hHash.put());
    FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptCreateHash"));

    for (DWORD dwDone = 0; dwDone < cbData;) {
        DWORD cbChunk = std::min(kHashChunk, cbData - dwDone);
        bRetCode = CryptHashData(hHash.get(), pbData + dwDone, cbChunk, 0);
        FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptHashData"));
        dwDone += cbChunk;
    }

    DWORD cbSignature = 0;
    bRetCode = CryptSignHashW(hHash.get(), dwKeySpec, nullptr, 0, nullptr, &cbSignature);
    FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptSignHash"));

    // An SM2 CSP may report a size that is not the size of its signature; give it room.
    ByteBuffer vecRaw;
    FAIL_IF_REASON(!TryResize(vecRaw, bIsRSA ? cbSignature : kSM2SignatureBuffer), E_OUTOFMEMORY, TEXT("New Memory"),
                   TEXT("NULL == pbSignature"));
    cbSignature = static_cast<DWORD>(vecRaw.size());
    bRetCode = CryptSignHashW(hHash.get(), dwKeySpec, nullptr, 0, vecRaw.data(), &cbSignature);
    FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptSignHash"));
    TRACE_INFO_VALUE("cbSignature", cbSignature);
    vecRaw.resize(std::min<size_t>(cbSignature, vecRaw.size()));

    // CryptoAPI gives signatures little-endian; the request carries them big-endian.
    if (bIsRSA) {
        SwapByteOrder(vecRaw.data(), static_cast<DWORD>(vecRaw.size()));
    } else if (vecRaw.size() >= kSM2RawSignatureSize) {
        SwapByteOrder(vecRaw.data(), kSM2CoordinateSize);
        SwapByteOrder(vecRaw.data() + kSM2CoordinateSize, kSM2CoordinateSize);
    }

    vecSignature = std::move(vecRaw);
    return QORA_OK;
}

HRESULT SM2EncodeRawSignature(const BYTE* pbRawSignature, DWORD cbRawSignature, ByteBuffer& vecEncoded)
{
    TraceHelper scope(TEXT("SM2EncodeRawSignature"));
    FAIL_IF_REASON(cbRawSignature != kSM2RawSignatureSize || pbRawSignature == nullptr, kInvalidData,
                   TEXT("Check SM2 raw signature size"), TEXT("cbRawSignature != 64"));

    // Each half becomes an INTEGER of exactly its 32 bytes, with a 00 in front when it would read negative.
    ByteBuffer vecSequence;
    DerWriter writer(vecSequence);
    const DerWriter::Mark mark = writer.Open(ASN1_TAG_SEQUENCE);
    const WCHAR* rgpwszSteps[2][2] = {{TEXT("ASN1Encode(1)"), TEXT("ASN1Encode(2)")},
                                      {TEXT("ASN1Encode(3)"), TEXT("ASN1Encode(4)")}};
    for (int nHalf = 0; nHalf < 2; ++nHalf) {
        const BYTE* pbHalf = pbRawSignature + nHalf * kSM2CoordinateSize;
        HRESULT hResult = QORA_OK;
        if (pbHalf[0] >= 0x80) {
            BYTE rgbPadded[1 + kSM2CoordinateSize] = {0x00};
            memcpy(rgbPadded + 1, pbHalf, kSM2CoordinateSize);
            hResult = ASN1Encode(ASN1_TAG_INTEGER, rgbPadded, sizeof(rgbPadded), writer);
            FAIL_IF(FAILED(hResult), hResult, rgpwszSteps[nHalf][0]);
        } else {
            hResult = ASN1Encode(ASN1_TAG_INTEGER, pbHalf, kSM2CoordinateSize, writer);
            FAIL_IF(FAILED(hResult), hResult, rgpwszSteps[nHalf][1]);
        }
    }

    HRESULT hResult = ASN1Encode(ASN1_TAG_SEQUENCE, writer, mark);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode(5)"));
    vecEncoded = std::move(vecSequence);
    return QORA_OK;
}

HRESULT ComposeSignature(const BYTE* pbRawSignature, DWORD cbRawSignature, BOOL bIsSM2, DerWriter& writer)
{
    TraceHelper scope(TEXT("ComposeSignature"));

    HRESULT hResult = QORA_OK;
    if (bIsSM2) {
        // The SEQUENCE is complete before the bit string around it is begun: the bit string takes its bits whole.
        ByteBuffer vecEncoded;
        hResult = SM2EncodeRawSignature(pbRawSignature, cbRawSignature, vecEncoded);
        FAIL_IF(FAILED(hResult), hResult, TEXT("SM2EncodeRawSignature"));
        hResult = ComposeBITString(static_cast<DWORD>(vecEncoded.size()), vecEncoded.data(), writer);
        FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeBITString(SM2)"));
    } else {
        hResult = ComposeBITString(cbRawSignature, pbRawSignature, writer);
        FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeBITString(RSA)"));
    }
    return QORA_OK;
}

HRESULT ComposeSignature(const BYTE* pbRawSignature, DWORD cbRawSignature, BOOL bIsSM2, ByteBuffer& vecSignature)
{
    return ComposeNew(vecSignature, [&](DerWriter& writer) {
        return ComposeSignature(pbRawSignature, cbRawSignature, bIsSM2, writer);
    });
}

// ---- Request construction --------------------------------------------------------------------------

HRESULT ConvertSM2PublicKeyBlobToPoint(const BYTE* pbBlob, DWORD cbBlob, ByteBuffer& vecPoint)
{
    TraceHelper scope(TEXT("ConvertSM2PublicKeyBlobToPoint"));
    FAIL_IF_REASON(pbBlob == nullptr || cbBlob < kSM2BlobSize, kInvalidData, TEXT("Check SM2 public key blob size"),
                   TEXT("cbBlob < 140"));

    const BYTE* pbX = pbBlob + kSM2BlobHeaderSize + 4;
    const BYTE* pbY = pbX + kSM2FieldSize;
    ByteBuffer vecResult;
    vecResult.reserve(1 + kSM2RawSignatureSize);
    vecResult.push_back(0x04);  // uncompressed point
    vecResult.insert(vecResult.end(), std::make_reverse_iterator(pbX + kSM2CoordinateSize),
                     std::make_reverse_iterator(pbX));
    vecResult.insert(vecResult.end(), std::make_reverse_iterator(pbY + kSM2CoordinateSize),
                     std::make_reverse_iterator(pbY));
    vecPoint = std::move(vecResult);
    return QORA_OK;
}

HRESULT ConvertSM2PublicKeyBlobToTempKey(const BYTE* pbBlob, DWORD cbBlob, ByteBuffer& vecTempKey)
{
    TraceHelper scope(TEXT("ConvertSM2PublicKeyBlobToTempKey"));
    FAIL_IF_REASON(pbBlob == nullptr || cbBlob < kSM2BlobSize, kInvalidData, TEXT("Check SM2 public key blob size"),
                   TEXT("cbBlob < 140"));

    ByteBuffer vecResult(8 + 2 * kSM2FieldSize, 0);
    const DWORD rgdwHeader[2] = {kSM2TempKeyMagic, kSM2TempKeyBits};
    for (int i = 0; i < 2; ++i)
        for (int nByte = 0; nByte < 4; ++nByte)
            vecResult[i * 4 + nByte] = static_cast<BYTE>((rgdwHeader[i] >> (8 * nByte)) & 0xFF);

    // Both fields keep their layout; only the coordinate in the first half of each turns big-endian.
    memcpy(vecResult.data() + 8, pbBlob + kSM2BlobHeaderSize + 4, 2 * kSM2FieldSize);
    SwapByteOrder(vecResult.data() + 8, kSM2CoordinateSize);
    SwapByteOrder(vecResult.data() + 8 + kSM2FieldSize, kSM2CoordinateSize);
    vecTempKey = std::move(vecResult);
    return QORA_OK;
}

HRESULT ComposeSignPublicKeyData(LPCSTR lpszPublicKeyAlgorithm, LPCSTR lpszPublicKeyParameters,
                                 const BYTE* pbPublicKeyBits, DWORD cbPublicKeyBits, DerWriter& writer)
{
    TraceHelper scope(TEXT("ComposeSignPublicKeyData"));

    // The parameters are the value the algorithm identifier's composer reads, so they are made apart.
    ByteBuffer vecParameters;
    HRESULT hResult = QORA_OK;
    if (lpszPublicKeyParameters != nullptr) {
        hResult = EncodeObjectID(lpszPublicKeyParameters, vecParameters);
        FAIL_IF(FAILED(hResult), hResult, TEXT("EncodeObjectID"));
    }
    const DerWriter::Mark mark = writer.Open(ASN1_TAG_SEQUENCE);
    hResult = ComposeSpecialAttribute(lpszPublicKeyAlgorithm, vecParameters, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeSpecialAttribute"));

    hResult = ComposeBITString(cbPublicKeyBits, pbPublicKeyBits, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeBITString"));

    hResult = ASN1Encode(ASN1_TAG_SEQUENCE, writer, mark);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode"));
    return QORA_OK;
}

HRESULT ComposeAttributes(const BYTE* pbTempKey, DWORD cbTempKey, DerWriter& writer)
{
    TraceHelper scope(TEXT("ComposeAttributes"));
    TRACE_INFO_VALUE("cbTempKey", cbTempKey);

    ByteBuffer vecPassword;
    HRESULT hResult = ComposeAnyString(static_cast<DWORD>(strlen(kChallengePassword)), CERT_RDN_PRINTABLE_STRING,
                                       reinterpret_cast<const BYTE*>(kChallengePassword), vecPassword);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeAnyString"));

    // OCTET STRING { SEQUENCE { INTEGER 1, OCTET STRING key } }: the value the attribute's composer reads, so
    // it is made apart from the attributes.
    ByteBuffer vecKeyValue;
    DerWriter keyValue(vecKeyValue);
    const DerWriter::Mark markValue = keyValue.Open(ASN1_TAG_OCTET_STRING);
    const DerWriter::Mark markSequence = keyValue.Open(ASN1_TAG_SEQUENCE);
    keyValue.Append({ASN1_TAG_INTEGER, 0x01, 0x01});
    hResult = ASN1Encode(ASN1_TAG_OCTET_STRING, pbTempKey, cbTempKey, keyValue);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode(TempKey)"));
    hResult = ASN1Encode(ASN1_TAG_SEQUENCE, keyValue, markSequence);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode(Sequence)"));
    hResult = ASN1Encode(ASN1_TAG_OCTET_STRING, keyValue, markValue);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode(OctetString)"));

    const DerWriter::Mark mark = writer.Open(ASN1_TAG_CONTEXT_0_CONSTRUCTED);
    hResult = ComposeSpecialAttribute(kOidChallengePassword, vecPassword, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeSpecialAttribute(ChallengePassword)"));

    hResult = ComposeSpecialAttribute(kOidTemporaryKey, vecKeyValue, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeSpecialAttribute(TempKey)"));

    hResult = ASN1Encode(ASN1_TAG_CONTEXT_0_CONSTRUCTED, writer, mark);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode(Attributes)"));
    return QORA_OK;
}

HRESULT ComposeSignAlgorithm(LPCSTR lpszSignAlgorithm, DerWriter& writer)
{
    TraceHelper scope(TEXT("ComposeSignAlgorithm"));
    HRESULT hResult = ComposeSpecialAttribute(lpszSignAlgorithm, nullptr, 0, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeSpecialAttribute"));
    return QORA_OK;
}

HRESULT ComposeCertRequestInfo(const WString& wstrSubjectDN, LPCSTR lpszPublicKeyAlgorithm,
                               LPCSTR lpszPublicKeyParameters, const BYTE* pbPublicKeyBits, DWORD cbPublicKeyBits,
                               const BYTE* pbTempKey, DWORD cbTempKey, DerWriter& writer)
{
    TraceHelper scope(TEXT("ComposeCertRequestInfo"));

    const DerWriter::Mark mark = writer.Open(ASN1_TAG_SEQUENCE);
    static const BYTE kVersion0 = 0x00;
    HRESULT hResult = ASN1Encode(ASN1_TAG_INTEGER, &kVersion0, 1, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode(Version)"));

    hResult = ComposeSubject(wstrSubjectDN, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeSubject"));

    hResult = ComposeSignPublicKeyData(lpszPublicKeyAlgorithm, lpszPublicKeyParameters, pbPublicKeyBits,
                                       cbPublicKeyBits, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeSignPublicKeyData"));

    // A temporary key that is given but empty fails in ComposeAttributes rather than turning the request
    // into a single-certificate one.
    if (pbTempKey != nullptr || cbTempKey != 0) {
        hResult = ComposeAttributes(pbTempKey, cbTempKey, writer);
        FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeAttributes"));
    }

    hResult = ASN1Encode(ASN1_TAG_SEQUENCE, writer, mark);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode(Sequence)"));
    return QORA_OK;
}

HRESULT ComposeCertRequestInfo(const WString& wstrSubjectDN, LPCSTR lpszPublicKeyAlgorithm,
                               LPCSTR lpszPublicKeyParameters, const BYTE* pbPublicKeyBits, DWORD cbPublicKeyBits,
                               const BYTE* pbTempKey, DWORD cbTempKey, ByteBuffer& vecRequestInfo)
{
    return ComposeNew(vecRequestInfo, [&](DerWriter& writer) {
        return ComposeCertRequestInfo(wstrSubjectDN, lpszPublicKeyAlgorithm, lpszPublicKeyParameters, pbPublicKeyBits,
                                      cbPublicKeyBits, pbTempKey, cbTempKey, writer);
    });
}

HRESULT PKCS10RequestBase64(DWORD dwKeySpec, HCRYPTPROV hProv, const WCHAR* lpwSubjectDN, LPCSTR lpszPublicKeyAlgorithm,
                            LPCSTR lpszPublicKeyParameters, const BYTE* pbSignPublicKey, DWORD cbSignPublicKey,
                            const BYTE* pbExchangeKey, DWORD cbExchangeKey, ALG_ID algHash, LPCSTR lpszSignAlgorithm,
                            BOOL bIsSM2, std::string& strRequest)
{
    TraceHelper scope(TEXT("PKCS10RequestBase64"));
    FAIL_IF_REASON(lpwSubjectDN == nullptr, E_INVALIDARG, TEXT("Check parameter"), TEXT("lpwSubjectDN == NULL"));

    const BYTE* pbKeyBits = pbSignPublicKey;
    DWORD cbKeyBits = cbSignPublicKey;
    const BYTE* pbTempKey = pbExchangeKey;
    DWORD cbTempKey = cbExchangeKey;
    ByteBuffer vecPoint;
    ByteBuffer vecTempKey;
    HRESULT hResult = QORA_OK;
    if (bIsSM2) {
        hResult = ConvertSM2PublicKeyBlobToPoint(pbSignPublicKey, cbSignPublicKey, vecPoint);
        FAIL_IF(FAILED(hResult), hResult, TEXT("ConvertSM2PublicKeyBlobToPoint"));
        pbKeyBits = vecPoint.data();
        cbKeyBits = static_cast<DWORD>(vecPoint.size());
        if (pbExchangeKey != nullptr || cbExchangeKey != 0) {
            hResult = ConvertSM2PublicKeyBlobToTempKey(pbExchangeKey, cbExchangeKey, vecTempKey);
            FAIL_IF(FAILED(hResult), hResult, TEXT("ConvertSM2PublicKeyBlobToTempKey"));
            pbTempKey = vecTempKey.data();
            cbTempKey = static_cast<DWORD>(vecTempKey.size());
        }
    }

    // The request's three parts go straight into it; the signature covers the first as it lies there.
    ByteBuffer vecDer;
    DerWriter writer(vecDer);
    const DerWriter::Mark mark = writer.Open(ASN1_TAG_SEQUENCE);
    const size_t nInfoStart = writer.Size();
    hResult = ComposeCertRequestInfo(lpwSubjectDN, lpszPublicKeyAlgorithm, lpszPublicKeyParameters, pbKeyBits,
                                     cbKeyBits, pbTempKey, cbTempKey, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeCertRequestInfo"));
    const size_t cbInfo = writer.Size() - nInfoStart;

    hResult = ComposeSignAlgorithm(lpszSignAlgorithm, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeSignAlgorithm"));

    ByteBuffer vecRawSignature;
    hResult = PKCS10CalculateHashandSign(hProv, lpszPublicKeyAlgorithm, writer.Data() + nInfoStart,
                                         static_cast<DWORD>(cbInfo), algHash, dwKeySpec, vecRawSignature);
    FAIL_IF(FAILED(hResult), hResult, TEXT("PKCS10CalculateHashandSign"));

    hResult = ComposeSignature(vecRawSignature.data(), static_cast<DWORD>(vecRawSignature.size()), bIsSM2, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ComposeSignature"));

    hResult = ASN1Encode(ASN1_TAG_SEQUENCE, writer, mark);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode(Sequence)"));

    std::string strBase64;
    hResult = Base64EncodeEx(vecDer.data(), static_cast<DWORD>(vecDer.size()), strBase64);
    FAIL_IF(FAILED(hResult), hResult, TEXT("Base64EncodeEx"));

    std::string strWrapped;
    hResult = TransformBase64EncodedDatatoHoldCRLFPer64Chars(strBase64.c_str(), static_cast<DWORD>(strBase64.size()),
                                                             strWrapped);
    FAIL_IF(FAILED(hResult), hResult, TEXT("TransformBase64EncodedDatatoHoldCRLFPer64Chars"));

    strRequest = std::move(strWrapped);
    TRACE_INFO_VALUE("cchRequest", strRequest.size());
    return QORA_OK;
}
