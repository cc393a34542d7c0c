// Brindlemark/codec/ASN1Engine.cpp — DER encoder (the tag-length-value writer in place and the composers of
// strings, bit strings and identifier-value pairs) and the decoder of one element into a tree of
// nodes.
#include "codec/ASN1Engine.h"

#include "Owners.h"
#include "ResultCode.h"
#include "trace/TraceHelper.h"

namespace {

constexpr DWORD kEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

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

// Both forms of ASN1Encode: the contents are copied from pbValue, or, with pOpen, they are what the writer
// holds after the element opened there.
HRESULT EncodeElement(BYTE bTag, const BYTE* pbValue, DWORD cbValue, DerWriter& writer, const DerWriter::Mark* pOpen)
{
    TraceHelper scope(TEXT("ASN1Encode"));

    if (!IsSupportedTag(bTag)) {
        TraceValue(TRACE_FLAG_ERROR, TEXT("Unsupported tag"), bTag);
        return E_FAIL;
    }
    FAIL_IF_REASON(pOpen == nullptr && cbValue != 0 && pbValue == nullptr, E_POINTER, TEXT("Check parameter"),
                   TEXT("pbValue == NULL"));

    ByteBuffer vecLength;
    HRESULT hResult = CalculateASNValueLength(cbValue, vecLength);
    FAIL_IF(FAILED(hResult), hResult, TEXT("CalculateASNValueLength"));

    const bool bWritten = pOpen != nullptr ? writer.CloseAs(*pOpen, bTag) : writer.AppendTlv(bTag, pbValue, cbValue);
    FAIL_IF_REASON(!bWritten, E_OUTOFMEMORY, TEXT("New Memory"), TEXT("NULL == pbEncoded"));
    return QORA_OK;
}

// The identifier element of an attribute with no values, as the platform encoder writes it
// (30 len 06 len oid 31 00), re-encoded alone. Steps are traced under the caller's scope.
HRESULT EncodeObjectIDElement(const TraceHelper& scope, LPCSTR lpszObjID, DerWriter& writer)
{
    FAIL_IF_REASON(lpszObjID == nullptr, E_INVALIDARG, TEXT("Check parameter"), TEXT("lpszObjID == NULL"));

    CRYPT_ATTRIBUTE stAttribute = {};
    stAttribute.pszObjId = const_cast<LPSTR>(lpszObjID);
    ByteBuffer vecAttribute;
    HRESULT hResult = EncodeObject(PKCS_ATTRIBUTE, &stAttribute, vecAttribute);
    FAIL_IF(FAILED(hResult), hResult, TEXT("EncodeObject-PKCS_ATTRIBUTE"));

    std::unique_ptr<ASN1Node> pAttribute;
    bool bFound = DecodeASN1Memory(vecAttribute.data(), vecAttribute.size(), pAttribute) == 0 &&
                  !pAttribute->children.empty() && pAttribute->children[0]->bTag == ASN1_TAG_OBJECT_ID;
    FAIL_IF_REASON(!bFound, E_FAIL, TEXT("DecodeASN1Memory"), TEXT("FAILED(hResult)"));

    const ASN1Node& stObjID = *pAttribute->children[0];
    hResult = ASN1Encode(ASN1_TAG_OBJECT_ID, stObjID.Contents(), stObjID.dwContentsLength, writer);
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
    AppendDerLength(vecLength, cbValue);
    return QORA_OK;
}

HRESULT ASN1Encode(BYTE bTag, const BYTE* pbValue, DWORD cbValue, DerWriter& writer)
{
    return EncodeElement(bTag, pbValue, cbValue, writer, nullptr);
}

HRESULT ASN1Encode(BYTE bTag, const BYTE* pbValue, DWORD cbValue, ByteBuffer& vecEncoded)
{
    return ComposeNew(vecEncoded, [&](DerWriter& writer) { return ASN1Encode(bTag, pbValue, cbValue, writer); });
}

HRESULT ASN1Encode(BYTE bTag, DerWriter& writer, DerWriter::Mark mark)
{
    // A writer that failed before this close has no open element at the mark to measure.
    const size_t cbContents = !writer.Failed() && mark + 2 <= writer.Size() ? writer.ContentsLength(mark) : 0;
    const DWORD cbValue = cbContents > MAXDWORD ? MAXDWORD : static_cast<DWORD>(cbContents);
    return EncodeElement(bTag, nullptr, writer.Failed() ? 1 : cbValue, writer, &mark);
}

HRESULT EncodeObject(LPCSTR lpszStructType, const void* pvStructInfo, DerWriter& writer)
{
    TraceHelper scope(TEXT("EncodeObject"));

    DWORD cbEncoded = 0;
    BOOL bRetCode = CryptEncodeObject(kEncodingType, lpszStructType, pvStructInfo, nullptr, &cbEncoded);
    FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptEncodeObject - get length"));

    const DWORD cbRoom = cbEncoded;
    BYTE* pbEncoded = writer.Extend(cbRoom);
    FAIL_IF_REASON(pbEncoded == nullptr, E_OUTOFMEMORY, TEXT("New Memory"), TEXT("NULL == pbEncoded"));
    bRetCode = CryptEncodeObject(kEncodingType, lpszStructType, pvStructInfo, pbEncoded, &cbEncoded);
    FAIL_IF(bRetCode == FALSE, ResultFromLastError(), TEXT("CryptEncodeObject - get value"));

    if (cbEncoded < cbRoom) writer.Trim(cbRoom - cbEncoded);
    return QORA_OK;
}

HRESULT EncodeObject(LPCSTR lpszStructType, const void* pvStructInfo, ByteBuffer& vecEncoded)
{
    return ComposeNew(vecEncoded, [&](DerWriter& writer) { return EncodeObject(lpszStructType, pvStructInfo, writer); });
}

HRESULT ComposeAnyString(DWORD cbValue, DWORD dwValueType, const BYTE* pbValue, DerWriter& writer)
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

    HRESULT hResult = EncodeObject(X509_NAME_VALUE, &stValue, writer);
    FAIL_IF(FAILED(hResult), hResult, TEXT("EncodeObject-X509_NAME_VALUE"));
    return QORA_OK;
}

HRESULT ComposeAnyString(DWORD cbValue, DWORD dwValueType, const BYTE* pbValue, ByteBuffer& vecEncoded)
{
    return ComposeNew(vecEncoded,
                      [&](DerWriter& writer) { return ComposeAnyString(cbValue, dwValueType, pbValue, writer); });
}

HRESULT ComposeBITString(DWORD cbValue, const BYTE* pbValue, DerWriter& writer)
{
    TraceHelper scope(TEXT("ComposeBITString"));
    FAIL_IF_REASON(cbValue != 0 && pbValue == nullptr, E_POINTER, TEXT("Check parameter"), TEXT("pbValue == NULL"));
    FAIL_IF(cbValue == MAXDWORD, E_INVALIDARG, TEXT("Check parameter"));

    ByteBuffer vecLength;
    HRESULT hResult = CalculateASNValueLength(cbValue + 1, vecLength);
    FAIL_IF(FAILED(hResult), hResult, TEXT("CalculateASNValueLength"));

    // The unused-bits octet, then the bits; a size no buffer can hold fails before the bits are read.
    const DerWriter::Mark mark = writer.Open(0x03);
    writer.Append({0x00});
    writer.Append(pbValue, cbValue);
    FAIL_IF_REASON(!writer.Close(mark), E_OUTOFMEMORY, TEXT("New Memory"), TEXT("NULL == pbEncoded"));
    return QORA_OK;
}

HRESULT ComposeBITString(DWORD cbValue, const BYTE* pbValue, ByteBuffer& vecEncoded)
{
    return ComposeNew(vecEncoded, [&](DerWriter& writer) { return ComposeBITString(cbValue, pbValue, writer); });
}

HRESULT ComposeSpecialAttribute(LPCSTR lpszObjID, const BYTE* pbValue, DWORD cbValue, DerWriter& writer)
{
    TraceHelper scope(TEXT("ComposeSpecialAttribute"));
    if (lpszObjID != nullptr) TraceNarrowValue(TRACE_FLAG_INFO, TEXT("lpszObjID"), lpszObjID);
    FAIL_IF_REASON(cbValue != 0 && pbValue == nullptr, E_POINTER, TEXT("Check parameter"), TEXT("pbValue == NULL"));

    const DerWriter::Mark mark = writer.Open(ASN1_TAG_SEQUENCE);
    HRESULT hResult = EncodeObjectIDElement(scope, lpszObjID, writer);
    if (FAILED(hResult)) return hResult;

    if (pbValue != nullptr && cbValue != 0) {
        // The value is one complete element; it is re-written with its own tag and contents, so only tags
        // ASN1Encode knows and non-empty contents get through.
        std::unique_ptr<ASN1Node> pValue;
        bool bParsed = DecodeASN1Memory(pbValue, cbValue, pValue) == 0 && pValue->ullTotalSize == cbValue;
        FAIL_IF_REASON(!bParsed, E_FAIL, TEXT("DecodeASN1Memory"), TEXT("FAILED(hResult)"));

        hResult = ASN1Encode(pValue->bTag, pValue->Contents(), pValue->dwContentsLength, writer);
        FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode-AnyString"));
    } else {
        writer.Append({0x05, 0x00});  // NULL parameters
    }

    hResult = ASN1Encode(ASN1_TAG_SEQUENCE, writer, mark);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ASN1Encode-Sequence"));
    return QORA_OK;
}

HRESULT ComposeSpecialAttribute(LPCSTR lpszObjID, const BYTE* pbValue, DWORD cbValue, ByteBuffer& vecEncoded)
{
    return ComposeNew(vecEncoded,
                      [&](DerWriter& writer) { return ComposeSpecialAttribute(lpszObjID, pbValue, cbValue, writer); });
}

HRESULT EncodeObjectID(LPCSTR lpszObjID, ByteBuffer& vecEncoded)
{
    TraceHelper scope(TEXT("EncodeObjectID"));
    return ComposeNew(vecEncoded, [&](DerWriter& writer) { return EncodeObjectIDElement(scope, lpszObjID, writer); });
}

// ---- Decoder ---------------------------------------------------------------------------------------

namespace {

// Tags read as leaves: universal primitive types and context-specific primitive tags.
bool IsLeafTag(BYTE bTag) { return bTag <= 0x1F || (bTag >= 0x80 && bTag <= 0x8F); }

std::unique_ptr<ASN1Node> NewNode(const BYTE* pbInput, size_t cbInput, const ASN1Header& stHeader, ASN1Node* pParent)
{
    auto pNode = std::make_unique<ASN1Node>();
    pNode->bTag = stHeader.bTag;
    pNode->dwLengthOctets = stHeader.dwLengthOctets;
    pNode->dwContentsLength = stHeader.dwContentsLength;
    pNode->ullContentsOffset = stHeader.ullContentsOffset;
    pNode->bIndefinite = stHeader.bIndefinite;
    pNode->ullTotalSize = stHeader.bIndefinite ? 0 : 1ull + stHeader.dwLengthOctets + stHeader.dwContentsLength;
    pNode->pbInput = pbInput;
    pNode->cbInput = cbInput;
    pNode->pParent = pParent;
    return pNode;
}

}  // namespace

LONG GetASN1ValueLength(const BYTE* pbInput, size_t cbInput, ULONGLONG ullPos, ULONGLONG ullEnd, ASN1Header& stHeader)
{
    TraceHelper scope(TEXT("GetASN1ValueLength"));
    FAIL_IF_REASON(pbInput == nullptr || ullPos >= ullEnd || ullPos >= cbInput, ASN1_DECODE_FAILED,
                   TEXT("Check length position"), TEXT("nPos >= nEnd"));
    const BYTE bFirst = pbInput[ullPos];
    if (bFirst < 0x80) {
        stHeader.dwLengthOctets = 1;
        stHeader.dwContentsLength = bFirst;
        stHeader.bIndefinite = false;
    } else if (bFirst == 0x80) {
        stHeader.dwLengthOctets = 1;
        stHeader.dwContentsLength = 0xFFFFFFFF;
        stHeader.bIndefinite = true;
    } else {
        const DWORD nOctets = bFirst & 0x7F;
        FAIL_IF_REASON(nOctets > 4, ASN1_DECODE_FAILED, TEXT("Check length octets"), TEXT("nLengthBytes > 4"));
        FAIL_IF_REASON(cbInput - ullPos - 1 < nOctets, ASN1_DECODE_FAILED, TEXT("Check length octets"),
                       TEXT("nPos + nLengthBytes >= nSize"));
        DWORD dwLength = 0;
        for (DWORD i = 1; i <= nOctets; ++i) dwLength = (dwLength << 8) | pbInput[ullPos + i];
        stHeader.dwLengthOctets = 1 + nOctets;
        stHeader.dwContentsLength = dwLength;
        stHeader.bIndefinite = false;
    }
    return 0;
}

LONG ParseASN1TLV(const BYTE* pbInput, size_t cbInput, ULONGLONG ullPos, ULONGLONG ullEnd, ASN1Header& stHeader)
{
    TraceHelper scope(TEXT("ParseASN1TLV"));
    FAIL_IF_REASON(pbInput == nullptr || ullPos >= ullEnd || ullPos >= cbInput, ASN1_DECODE_FAILED,
                   TEXT("Check tag position"), TEXT("nPos >= nEnd"));
    ASN1Header stRead;
    stRead.bTag = pbInput[ullPos];
    LONG lResult = GetASN1ValueLength(pbInput, cbInput, ullPos + 1, ullEnd, stRead);
    FAIL_IF_REASON(lResult != 0, lResult, TEXT("GetASN1ValueLength"), TEXT("0 != nResult"));
    stRead.ullContentsOffset = ullPos + 1 + stRead.dwLengthOctets;
    stRead.llLastByte = stRead.bIndefinite
                            ? -1
                            : static_cast<LONGLONG>(stRead.ullContentsOffset + stRead.dwContentsLength) - 1;
    stHeader = stRead;
    return 0;
}

void PrintNode(const ASN1Node& node)
{
    TraceHelper scope(TEXT("PrintNode"));
    TRACE_INFO_VALUE("Tag", node.bTag);
    TRACE_INFO_VALUE("Length", node.dwContentsLength);
    TRACE_INFO_VALUE("Offset", node.ullContentsOffset);
}

LONG GetInfiniteLength(ASN1Node& node)
{
    TraceHelper scope(TEXT("GetInfiniteLength"));
    FAIL_IF_REASON(!node.bIndefinite, ASN1_DECODE_FAILED, TEXT("Check indefinite"), TEXT("!pNode->bInfinite"));
    for (ULONGLONG ullPos = node.ullContentsOffset; ullPos + 1 < node.cbInput; ++ullPos) {
        if (node.pbInput[ullPos] == 0 && node.pbInput[ullPos + 1] == 0) {
            const ULONGLONG ullLength = ullPos + 2 - node.ullContentsOffset;
            FAIL_IF_REASON(ullLength > 0xFFFFFFFEull, ASN1_DECODE_FAILED, TEXT("Check length"), TEXT("nLength too long"));
            node.dwContentsLength = static_cast<DWORD>(ullLength);
            node.ullTotalSize = 1ull + node.dwLengthOctets + ullLength;
            node.bIndefinite = false;
            return 0;
        }
    }
    TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("Find end of contents"), TEXT("no 00 00 within the input"),
                     ASN1_DECODE_FAILED);
    return ASN1_DECODE_FAILED;
}

LONG ParseNode(ASN1Node& node, int& nNodeCount)
{
    TraceHelper scope(TEXT("ParseNode"));
    ++nNodeCount;
    FAIL_IF_REASON(nNodeCount > ASN1_MAX_NODES, ASN1_DECODE_FAILED, TEXT("Check node count"), TEXT("nNodeCount >= 256"));

    if (IsLeafTag(node.bTag)) {
        if (node.bIndefinite) return GetInfiniteLength(node);
        FAIL_IF_REASON(node.ullContentsOffset + node.dwContentsLength > node.cbInput, ASN1_DECODE_FAILED,
                       TEXT("Check contents"), TEXT("nOffset + nLength > nSize"));
        return 0;
    }

    const bool bIndefinite = node.bIndefinite;
    ULONGLONG ullEnd = node.cbInput;
    if (!bIndefinite) {
        ullEnd = node.ullContentsOffset + node.dwContentsLength;
        FAIL_IF_REASON(ullEnd > node.cbInput, ASN1_DECODE_FAILED, TEXT("Check contents"),
                       TEXT("nOffset + nLength > nSize"));
        if (node.dwContentsLength == 0) return 0;
    }

    ULONGLONG ullPos = node.ullContentsOffset;
    for (;;) {
        if (bIndefinite) {
            FAIL_IF_REASON(ullPos + 1 >= node.cbInput, ASN1_DECODE_FAILED, TEXT("Find end of contents"),
                           TEXT("nPos + 2 > nSize"));
            if (node.pbInput[ullPos] == 0 && node.pbInput[ullPos + 1] == 0) {
                const ULONGLONG ullLength = ullPos + 2 - node.ullContentsOffset;
                FAIL_IF_REASON(ullLength > 0xFFFFFFFEull, ASN1_DECODE_FAILED, TEXT("Check length"),
                               TEXT("nLength too long"));
                node.dwContentsLength = static_cast<DWORD>(ullLength);
                node.ullTotalSize = 1ull + node.dwLengthOctets + ullLength;
                node.bIndefinite = false;
                return 0;
            }
        } else if (ullPos == ullEnd) {
            return 0;
        }

        ASN1Header stChild;
        LONG lResult = ParseASN1TLV(node.pbInput, node.cbInput, ullPos, ullEnd, stChild);
        FAIL_IF_REASON(lResult != 0, ASN1_DECODE_FAILED, TEXT("ParseASN1TLV"), TEXT("0 != nResult"));
        std::unique_ptr<ASN1Node> pChild = NewNode(node.pbInput, node.cbInput, stChild, &node);
        PrintNode(*pChild);
        lResult = ParseNode(*pChild, nNodeCount);
        FAIL_IF_REASON(lResult != 0, ASN1_DECODE_FAILED, TEXT("ParseNode"), TEXT("0 != nResult"));
        ullPos += pChild->ullTotalSize;
        node.children.push_back(std::move(pChild));
        // A child that runs past its parent's end would take bytes of the parent's next sibling.
        FAIL_IF_REASON(ullPos > ullEnd, ASN1_DECODE_FAILED, TEXT("Check child"), TEXT("nPos > nEnd"));
    }
}

LONG DecodeASN1Memory(const BYTE* pbInput, size_t cbInput, std::unique_ptr<ASN1Node>& pRoot)
{
    TraceHelper scope(TEXT("DecodeASN1Memory"));
    TRACE_INFO_VALUE("cbInput", cbInput);
    return GUARD_ALLOCATION_STEP(TEXT("New Memory"), TEXT("std::bad_alloc"), ASN1_DECODE_FAILED, [&]() -> LONG {
        // The root's bound is its last byte's index, so a root element has at least three bytes.
        ASN1Header stRoot;
        LONG lResult = pbInput != nullptr && cbInput > 0
                           ? ParseASN1TLV(pbInput, cbInput, 0, cbInput - 1, stRoot)
                           : ASN1_DECODE_FAILED;
        FAIL_IF_REASON(lResult != 0, QORA_S_ASN1_DECODE, TEXT("ParseASN1TLV"), TEXT("0 != nResult"));

        std::unique_ptr<ASN1Node> pNode = NewNode(pbInput, cbInput, stRoot, nullptr);
        PrintNode(*pNode);
        int nNodeCount = 0;
        lResult = ParseNode(*pNode, nNodeCount);
        FAIL_IF_REASON(lResult != 0, ASN1_DECODE_FAILED, TEXT("ParseNode"), TEXT("0 != nResult"));
        pRoot = std::move(pNode);
        return 0;
    });
}

HRESULT CopyPrivateKeyAttribute(const ASN1Node& node, ByteBuffer& vecAttribute)
{
    TraceHelper scope(TEXT("CopyPrivateKeyAttribute"));
    const BYTE* pbValue = node.Contents();
    size_t cbValue = node.dwContentsLength;
    if (cbValue != 0 && pbValue[0] == 0x00) {
        ++pbValue;
        --cbValue;
    }
    ByteBuffer vec;
    FAIL_IF_REASON(!TryResize(vec, cbValue), E_OUTOFMEMORY, TEXT("New Memory"), TEXT("NULL == pbAttribute"));
    for (size_t i = 0; i < cbValue; ++i) vec[i] = pbValue[cbValue - 1 - i];
    vecAttribute = std::move(vec);
    return QORA_OK;
}

HRESULT DecodePrivateKey(const BYTE* pbInput, size_t cbInput, RSAPrivateKeyParts& stParts)
{
    TraceHelper scope(TEXT("DecodePrivateKey"));
    std::unique_ptr<ASN1Node> pRoot;
    LONG lResult = DecodeASN1Memory(pbInput, cbInput, pRoot);
    FAIL_IF_REASON(lResult != 0, lResult, TEXT("DecodeASN1Memory"), TEXT("0 != nResult"));
    FAIL_IF_REASON(pRoot->children.size() < 9, ASN1_DECODE_FAILED, TEXT("Check RSA private key nodes"),
                   TEXT("nNodes < 9"));

    RSAPrivateKeyParts stRead;
    const struct {
        size_t nChild;
        ByteBuffer* pvec;
    } rgComponents[] = {{1, &stRead.vecModulus},   {4, &stRead.vecPrime1},    {5, &stRead.vecPrime2},
                        {6, &stRead.vecExponent1}, {7, &stRead.vecExponent2}, {8, &stRead.vecCoefficient},
                        {3, &stRead.vecPrivateExponent}};
    for (const auto& component : rgComponents) {
        HRESULT hResult = CopyPrivateKeyAttribute(*pRoot->children[component.nChild], *component.pvec);
        FAIL_IF(FAILED(hResult), hResult, TEXT("CopyPrivateKeyAttribute"));
    }
    stParts = std::move(stRead);
    return QORA_OK;
}
