// Brindlemark/codec/ASN1Engine.h — DER elements for requests and key envelopes. Each element is built
// into its own buffer; callers concatenate the children of a level and wrap them.
#pragma once
#include "Common.h"

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

// One element: tag, length octets, a copy of the contents. Unsupported tags (BIT STRING included) and
// empty contents fail with E_FAIL.
HRESULT ASN1Encode(BYTE bTag, const BYTE* pbValue, DWORD cbValue, ByteBuffer& vecEncoded);
inline HRESULT ASN1Encode(BYTE bTag, const ByteBuffer& vecValue, ByteBuffer& vecEncoded)
{
    return ASN1Encode(bTag, vecValue.data(), static_cast<DWORD>(vecValue.size()), vecEncoded);
}

// A platform structure (X509_NAME_VALUE, X509_BITS, PKCS_ATTRIBUTE) through the platform encoder.
HRESULT EncodeObject(LPCSTR lpszStructType, const void* pvStructInfo, ByteBuffer& vecEncoded);

// One string element of a name-value type: CERT_RDN_OCTET_STRING (2), CERT_RDN_PRINTABLE_STRING (4),
// CERT_RDN_IA5_STRING (7) take the bytes as they are; CERT_RDN_UTF8_STRING (13) takes UTF-16 text
// (cbValue = 2 x characters) and writes it as UTF-8.
HRESULT ComposeAnyString(DWORD cbValue, DWORD dwValueType, const BYTE* pbValue, ByteBuffer& vecEncoded);

// BIT STRING with 0 unused bits.
HRESULT ComposeBITString(DWORD cbValue, const BYTE* pbValue, ByteBuffer& vecEncoded);
inline HRESULT ComposeBITString(const ByteBuffer& vecValue, ByteBuffer& vecEncoded)
{
    return ComposeBITString(static_cast<DWORD>(vecValue.size()), vecValue.data(), vecEncoded);
}

// SEQUENCE { OBJECT IDENTIFIER, value } with the one encoded value placed directly after the identifier
// (no SET), or SEQUENCE { OBJECT IDENTIFIER, NULL } when no value is given (cbValue 0).
HRESULT ComposeSpecialAttribute(LPCSTR lpszObjID, const BYTE* pbValue, DWORD cbValue, ByteBuffer& vecEncoded);
inline HRESULT ComposeSpecialAttribute(LPCSTR lpszObjID, const ByteBuffer& vecValue, ByteBuffer& vecEncoded)
{
    return ComposeSpecialAttribute(lpszObjID, vecValue.data(), static_cast<DWORD>(vecValue.size()), vecEncoded);
}

// The OBJECT IDENTIFIER element alone of a dotted-decimal identifier (the parameters of an algorithm
// identifier). A text that is not dotted decimal fails with the platform encoder's error.
HRESULT EncodeObjectID(LPCSTR lpszObjID, ByteBuffer& vecEncoded);

// Byte concatenation of the children of one level.
inline void AppendBytes(ByteBuffer& vecTo, const ByteBuffer& vecFrom) { vecTo.insert(vecTo.end(), vecFrom.begin(), vecFrom.end()); }
