// Brindlemark/codec/ASN1Engine.cpp — DER encoder: tag-length-value writer and the composers of strings,
// bit strings and identifier-value pairs.
#include "codec/ASN1Engine.h"

#include "agent/ResultCode.h"
#include "trace/TraceHelper.h"

namespace {

constexpr DWORD kEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// One element found inside a buffer: its tag and where its contents lie.
struct DerElement {
    BYTE bTag = 0;
    const BYTE* pbContents = nullptr;
    DWORD cbContents = 0;
    DWORD cbTotal = 0;
};

// Reads the element at the start of [pb, pb + cb), definite lengths of up to four octets only; false
// when the header or the contents would run past the end.
bool ReadElement(const BYTE* pb, DWORD cb, DerElement& stElement)
{
    if (pb == nullptr || cb < 2) return false;
    DWORD dwPos = 1;
    BYTE bFirst = pb[dwPos++];
    DWORD cbContents = 0;
    if (bFirst < 0x80) {
        cbContents = bFirst;
    } else {
        DWORD nOctets = bFirst & 0x7F;
        if (nOctets == 0 || nOctets > 4 || cb - dwPos < nOctets) return false;
        for (DWORD i = 0; i < nOctets; ++i) cbContents = (cbContents << 8) | pb[dwPos++];
    }
    if (cbContents > cb - dwPos) return false;
    stElement.bTag = pb[0];
    stElement.pbContents = pb + dwPos;
    stElement.cbContents = cbContents;
    stElement.cbTotal = dwPos + cbContents;
    return true;
}

bool IsSupportedTag(BYTE bTag)
{
    switch (bTag) {
    case ASN1_TAG_INTEGER:
    case ASN1_TAG_OCTET_STRING:
    case ASN1_TAG_OBJECT_ID:
    case ASN1_TAG_UTF8_STRING:
    case ASN1_TAG_PRINTABLE_STRING:
    case ASN1_TAG_IA5_STRING:
    case ASN1_TAG_BMP_STRING:
    case ASN1_TAG_SEQUENCE:
    case ASN1_TAG_SET:
    case ASN1_TAG_CONTEXT_0:
    case ASN1_TAG_CONTEXT_0_CONSTRUCTED:
        return true;
    default:
        return false;
    }
}

// The identifier element of an attribute with no values, as the platform encoder writes it
// (30 len 06 len oid 31 00), re-encoded alone. Steps are traced under the caller's scope.
HRESULT EncodeObjectIDElement(const TraceHelper& scope, LPCSTR lpszObjID, ByteBuffer& vecEncoded)
{
    FAIL_IF_REASON(lpszObjID == nullptr, E_INVALIDARG, TEXT("Check parameter"), TEXT("lpszObjID == NULL"));

    CRYPT_ATTRIBUTE stAttribute = {};
    stAttribute.pszObjId = const_cast<LPSTR>(lpszObjID);
    ByteBuffer vecAttribute;
    HRESULT hResult = EncodeObject(PKCS_ATTRIBUTE, &stAttribute, vecAttribute);
    FAIL_IF(FAILED(hResult), hResult, TEXT("EncodeObject-PKCS_ATTRIBUTE"));

    DerElement stAttributeElement;
    DerElement stObjID;
    bool bFound = ReadElement(vecAttribute.data(), static_cast<DWORD>(vecAttribute.size()), stAttributeElement) &&
                  ReadElement(stAttributeElement.pbContents, stAttributeElement.cbContents, stObjID) &&
                  stObjID.bTag == ASN1_TAG_OBJECT_ID;
    FAIL_IF_REASON(!bFound, E_FAIL, TEXT("DecodeASN1Memory"), TEXT("FAILED(hResult)"));

    hResult = ASN1Encode(ASN1_TAG_OBJECT_ID, stObjID.pbContents, stObjID.cbContents, vecEncoded);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode-ObjectID"));
    return QORA_OK;
}

}  // namespace

HRESULT CalculateASNValueLength(DWORD cbValue, ByteBuffer& vecLength)
{
    TraceHelper scope(TEXT("CalculateASNValueLength"));

    if (0 == cbValue) {
        TRACE_INFO_VALUE("cbValue", cbValue);
        return E_FAIL;
    }

    vecLength.clear();
    if (cbValue < 0x80) {
        vecLength.push_back(static_cast<BYTE>(cbValue));
        return QORA_OK;
    }

    BYTE rgbOctets[4] = {};
    int nOctets = 0;
    for (DWORD dwRest = cbValue; dwRest != 0; dwRest >>= 8) rgbOctets[nOctets++] = static_cast<BYTE>(dwRest & 0xFF);
    vecLength.push_back(static_cast<BYTE>(0x80 | nOctets));
    while (nOctets > 0) vecLength.push_back(rgbOctets[--nOctets]);
    return QORA_OK;
}

HRESULT ASN1Encode(BYTE bTag, const BYTE* pbValue, DWORD cbValue, ByteBuffer& vecEncoded)
{
    TraceHelper scope(TEXT("ASN1Encode"));

    if (!IsSupportedTag(bTag)) {
        TraceValue(TRACE_FLAG_ERROR, TEXT("Unsupported tag"), bTag);
        return E_FAIL;
    }
    FAIL_IF_REASON(cbValue != 0 && pbValue == nullptr, E_POINTER, TEXT("Check parameter"), TEXT("pbValue == NULL"));

    ByteBuffer vecLength;
    HRESULT hResult = CalculateASNValueLength(cbValue, vecLength);
    FAIL_IF(FAILED(hResult), hResult, TEXT("CalculateASNValueLength"));

    ByteBuffer vecElement;
    FAIL_IF_REASON(!TryReserve(vecElement, uint64_t(1) + vecLength.size() + cbValue), E_OUTOFMEMORY,
                   TEXT("New Memory"), TEXT("NULL == pbEncoded"));
    vecElement.push_back(bTag);
    AppendBytes(vecElement, vecLength);
    vecElement.insert(vecElement.end(), pbValue, pbValue + cbValue);
    vecEncoded = std::move(vecElement);
    return QORA_OK;
}

HRESULT EncodeObject(LPCSTR lpszStructType, const void* pvStructInfo, ByteBuffer& vecEncoded)
{
    TraceHelper scope(TEXT("EncodeObject"));

    DWORD cbEncoded = 0;
    BOOL bRetCode = CryptEncodeObject(kEncodingType, lpszStructType, pvStructInfo, nullptr, &cbEncoded);
    FAIL_IF_REASON(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptEncodeObject - get length"),
                   TEXT("bRetCode == FALSE"));

    ByteBuffer vecValue;
    FAIL_IF_REASON(!TryResize(vecValue, cbEncoded), E_OUTOFMEMORY, TEXT("New Memory"), TEXT("NULL == pbEncoded"));
    bRetCode = CryptEncodeObject(kEncodingType, lpszStructType, pvStructInfo, vecValue.data(), &cbEncoded);
    FAIL_IF_REASON(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptEncodeObject - get value"),
                   TEXT("bRetCode == FALSE"));

    vecValue.resize(cbEncoded);
    vecEncoded = std::move(vecValue);
    return QORA_OK;
}

HRESULT ComposeAnyString(DWORD cbValue, DWORD dwValueType, const BYTE* pbValue, ByteBuffer& vecEncoded)
{
    TraceHelper scope(TEXT("ComposeAnyString"));
    TRACE_INFO_VALUE("dwValueType", dwValueType);
    TRACE_INFO_VALUE("cbValue", cbValue);

    FAIL_IF_REASON(cbValue != 0 && pbValue == nullptr, E_POINTER, TEXT("Check parameter"), TEXT("pbValue == NULL"));

    // With a zero count the platform encoder measures the value as a zero-terminated text, so an empty
    // value must point at an empty text.
    static const WCHAR wszEmpty[1] = {0};
    CERT_NAME_VALUE stValue = {};
    stValue.dwValueType = dwValueType;
    stValue.Value.cbData = cbValue;
    stValue.Value.pbData = const_cast<BYTE*>(cbValue != 0 ? pbValue : reinterpret_cast<const BYTE*>(wszEmpty));

    HRESULT hResult = EncodeObject(X509_NAME_VALUE, &stValue, vecEncoded);
    FAIL_IF(FAILED(hResult), hResult, TEXT("EncodeObject-X509_NAME_VALUE"));
    return QORA_OK;
}

HRESULT ComposeBITString(DWORD cbValue, const BYTE* pbValue, ByteBuffer& vecEncoded)
{
    TraceHelper scope(TEXT("ComposeBITString"));
    FAIL_IF_REASON(cbValue != 0 && pbValue == nullptr, E_POINTER, TEXT("Check parameter"), TEXT("pbValue == NULL"));
    FAIL_IF_REASON(cbValue == MAXDWORD, E_INVALIDARG, TEXT("Check parameter"), TEXT("cbValue == MAXDWORD"));

    ByteBuffer vecLength;
    HRESULT hResult = CalculateASNValueLength(cbValue + 1, vecLength);
    FAIL_IF(FAILED(hResult), hResult, TEXT("CalculateASNValueLength"));

    ByteBuffer vecElement;
    FAIL_IF_REASON(!TryReserve(vecElement, uint64_t(2) + vecLength.size() + cbValue), E_OUTOFMEMORY,
                   TEXT("New Memory"), TEXT("NULL == pbEncoded"));
    vecElement.push_back(0x03);
    AppendBytes(vecElement, vecLength);
    vecElement.push_back(0x00);  // unused bits
    if (cbValue != 0) vecElement.insert(vecElement.end(), pbValue, pbValue + cbValue);
    vecEncoded = std::move(vecElement);
    return QORA_OK;
}

HRESULT ComposeSpecialAttribute(LPCSTR lpszObjID, const BYTE* pbValue, DWORD cbValue, ByteBuffer& vecEncoded)
{
    TraceHelper scope(TEXT("ComposeSpecialAttribute"));
    if (lpszObjID != nullptr) TraceNarrowValue(TRACE_FLAG_INFO, TEXT("lpszObjID"), lpszObjID);
    FAIL_IF_REASON(cbValue != 0 && pbValue == nullptr, E_POINTER, TEXT("Check parameter"), TEXT("pbValue == NULL"));

    ByteBuffer vecContents;
    HRESULT hResult = EncodeObjectIDElement(scope, lpszObjID, vecContents);
    if (FAILED(hResult)) return hResult;

    if (pbValue != nullptr && cbValue != 0) {
        // The value is one complete element; it is re-written with its own tag and contents, so only tags
        // ASN1Encode knows and non-empty contents get through.
        DerElement stValue;
        bool bParsed = ReadElement(pbValue, cbValue, stValue) && stValue.cbTotal == cbValue;
        FAIL_IF_REASON(!bParsed, E_FAIL, TEXT("DecodeASN1Memory"), TEXT("FAILED(hResult)"));

        ByteBuffer vecValue;
        hResult = ASN1Encode(stValue.bTag, stValue.pbContents, stValue.cbContents, vecValue);
        FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode-AnyString"));
        AppendBytes(vecContents, vecValue);
    } else {
        vecContents.push_back(0x05);  // NULL parameters
        vecContents.push_back(0x00);
    }

    hResult = ASN1Encode(ASN1_TAG_SEQUENCE, vecContents, vecEncoded);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode-Sequence"));
    return QORA_OK;
}

HRESULT EncodeObjectID(LPCSTR lpszObjID, ByteBuffer& vecEncoded)
{
    TraceHelper scope(TEXT("EncodeObjectID"));
    return EncodeObjectIDElement(scope, lpszObjID, vecEncoded);
}
