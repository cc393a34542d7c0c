// Brindlemark/codec/ASN1Engine.h — DER elements for requests and key envelopes, written in place: a level's
// children go straight into their parent and its length is filled in when it closes. The decoder turns one
// element held in memory into a tree of nodes that record offsets into it, never copies.
#pragma once
#include "Common.h"
#include "codec/DerWriter.h"

#include <memory>
#include <utility>

// Tags ASN1Encode accepts.
constexpr BYTE ASN1_TAG_INTEGER = 0x02;
constexpr BYTE ASN1_TAG_OCTET_STRING = 0x04;
constexpr BYTE ASN1_TAG_OBJECT_ID = 0x06;
constexpr BYTE ASN1_TAG_UTF8_STRING = 0x0C;
constexpr BYTE ASN1_TAG_PRINTABLE_STRING = 0x13;
constexpr BYTE ASN1_TAG_IA5_STRING = 0x16;
constexpr BYTE ASN1_TAG_BMP_STRING = 0x1E;
constexpr BYTE ASN1_TAG_SEQUENCE = 0x30;
constexpr BYTE ASN1_TAG_SET = 0x31;
constexpr BYTE ASN1_TAG_CONTEXT_0 = 0x80;
constexpr BYTE ASN1_TAG_CONTEXT_0_CONSTRUCTED = 0xA0;

// DER length octets of a contents length; a length of 0 is refused with E_FAIL.
HRESULT CalculateASNValueLength(DWORD cbValue, ByteBuffer& vecLength);

// Every composer below writes its element in place, after what the writer already holds, and has a twin
// that gives the element as a new buffer (left untouched on failure). A constructed element is opened with
// DerWriter::Open, its children are composed into the same writer, and ASN1Encode(tag, writer, mark) closes
// it; the order of the trace lines is the order of the elements' completion, as when every level had its own
// buffer. After a failure the writer holds part of an element, and the caller fails too.

// Runs an in-place composer into a new buffer that replaces vecOut only on success.
template <typename Compose>
HRESULT ComposeNew(ByteBuffer& vecOut, Compose&& compose)
{
    ByteBuffer vec;
    DerWriter writer(vec);
    const HRESULT hResult = compose(writer);
    if (SUCCEEDED(hResult)) vecOut = std::move(vec);
    return hResult;
}

// One element: tag, length octets, a copy of the contents. Unsupported tags (BIT STRING included) and
// empty contents fail with E_FAIL.
HRESULT ASN1Encode(BYTE bTag, const BYTE* pbValue, DWORD cbValue, DerWriter& writer);
HRESULT ASN1Encode(BYTE bTag, const BYTE* pbValue, DWORD cbValue, ByteBuffer& vecEncoded);
inline HRESULT ASN1Encode(BYTE bTag, const ByteBuffer& vecValue, ByteBuffer& vecEncoded)
{
    return ASN1Encode(bTag, vecValue.data(), static_cast<DWORD>(vecValue.size()), vecEncoded);
}
// Closes the element opened at mark with its tag and the length of everything written after it; the same
// tags, the same refusal of empty contents and the same trace as the copying form.
HRESULT ASN1Encode(BYTE bTag, DerWriter& writer, DerWriter::Mark mark);

// A platform structure (X509_NAME_VALUE, X509_BITS, PKCS_ATTRIBUTE) through the platform encoder.
HRESULT EncodeObject(LPCSTR lpszStructType, const void* pvStructInfo, DerWriter& writer);
HRESULT EncodeObject(LPCSTR lpszStructType, const void* pvStructInfo, ByteBuffer& vecEncoded);

// One string element of a name-value type: CERT_RDN_OCTET_STRING (2), CERT_RDN_PRINTABLE_STRING (4),
// CERT_RDN_IA5_STRING (7) take the bytes as they are; CERT_RDN_UTF8_STRING (13) takes UTF-16 text
// (cbValue = 2 x characters) and writes it as UTF-8.
HRESULT ComposeAnyString(DWORD cbValue, DWORD dwValueType, const BYTE* pbValue, DerWriter& writer);
HRESULT ComposeAnyString(DWORD cbValue, DWORD dwValueType, const BYTE* pbValue, ByteBuffer& vecEncoded);

// BIT STRING with 0 unused bits.
HRESULT ComposeBITString(DWORD cbValue, const BYTE* pbValue, DerWriter& writer);
HRESULT ComposeBITString(DWORD cbValue, const BYTE* pbValue, ByteBuffer& vecEncoded);
inline HRESULT ComposeBITString(const ByteBuffer& vecValue, ByteBuffer& vecEncoded)
{
    return ComposeBITString(static_cast<DWORD>(vecValue.size()), vecValue.data(), vecEncoded);
}

// SEQUENCE { OBJECT IDENTIFIER, value } with the one encoded value placed directly after the identifier
// (no SET), or SEQUENCE { OBJECT IDENTIFIER, NULL } when no value is given (cbValue 0). The value is read,
// never written: it must not lie inside the writer's own buffer.
HRESULT ComposeSpecialAttribute(LPCSTR lpszObjID, const BYTE* pbValue, DWORD cbValue, DerWriter& writer);
HRESULT ComposeSpecialAttribute(LPCSTR lpszObjID, const BYTE* pbValue, DWORD cbValue, ByteBuffer& vecEncoded);
inline HRESULT ComposeSpecialAttribute(LPCSTR lpszObjID, const ByteBuffer& vecValue, DerWriter& writer)
{
    return ComposeSpecialAttribute(lpszObjID, vecValue.data(), static_cast<DWORD>(vecValue.size()), writer);
}
inline HRESULT ComposeSpecialAttribute(LPCSTR lpszObjID, const ByteBuffer& vecValue, ByteBuffer& vecEncoded)
{
    return ComposeSpecialAttribute(lpszObjID, vecValue.data(), static_cast<DWORD>(vecValue.size()), vecEncoded);
}

// The OBJECT IDENTIFIER element alone of a dotted-decimal identifier (the parameters of an algorithm
// identifier). A text that is not dotted decimal fails with the platform encoder's error.
HRESULT EncodeObjectID(LPCSTR lpszObjID, ByteBuffer& vecEncoded);

// ---- Decoder ---------------------------------------------------------------------------------------

// Failures of the decoder below the root header; the root header's own failure is QORA_S_ASN1_DECODE.
constexpr LONG ASN1_DECODE_FAILED = -1;
// One input holds at most this many elements, the root included.
constexpr int ASN1_MAX_NODES = 255;

// Where one element's header says its parts lie.
struct ASN1Header {
    BYTE bTag = 0;
    DWORD dwLengthOctets = 0;     // 1 for the short and the indefinite form, 1 + n for the long form
    DWORD dwContentsLength = 0;   // 0xFFFFFFFF while indefinite
    ULONGLONG ullContentsOffset = 0;
    LONGLONG llLastByte = -1;     // offset of the element's last byte; -1 while indefinite
    bool bIndefinite = false;
};

struct ASN1Node {
    BYTE bTag = 0;
    DWORD dwLengthOctets = 0;
    DWORD dwContentsLength = 0;
    ULONGLONG ullContentsOffset = 0;
    ULONGLONG ullTotalSize = 0;
    bool bIndefinite = false;
    const BYTE* pbInput = nullptr;  // shared by the whole tree, not owned
    size_t cbInput = 0;
    ASN1Node* pParent = nullptr;
    std::vector<std::unique_ptr<ASN1Node>> children;

    const BYTE* Contents() const { return pbInput + ullContentsOffset; }
};

// Reads the header at ullPos; ullEnd is the exclusive bound its tag and first length octet must lie before.
LONG ParseASN1TLV(const BYTE* pbInput, size_t cbInput, ULONGLONG ullPos, ULONGLONG ullEnd, ASN1Header& stHeader);
// Reads the length octets at ullPos (the octet after the tag).
LONG GetASN1ValueLength(const BYTE* pbInput, size_t cbInput, ULONGLONG ullPos, ULONGLONG ullEnd, ASN1Header& stHeader);
LONG ParseNode(ASN1Node& node, int& nNodeCount);
LONG GetInfiniteLength(ASN1Node& node);
void PrintNode(const ASN1Node& node);
// 0 and the root, QORA_S_ASN1_DECODE when the root header cannot be read, ASN1_DECODE_FAILED otherwise.
LONG DecodeASN1Memory(const BYTE* pbInput, size_t cbInput, std::unique_ptr<ASN1Node>& pRoot);

// The components of a PKCS #1 RSAPrivateKey, each little-endian as the platform's private key blob has them.
struct RSAPrivateKeyParts {
    ByteBuffer vecModulus, vecPrime1, vecPrime2, vecExponent1, vecExponent2, vecCoefficient, vecPrivateExponent;
};
HRESULT CopyPrivateKeyAttribute(const ASN1Node& node, ByteBuffer& vecAttribute);
HRESULT DecodePrivateKey(const BYTE* pbInput, size_t cbInput, RSAPrivateKeyParts& stParts);
