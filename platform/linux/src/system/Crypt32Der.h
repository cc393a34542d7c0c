// platform/linux/src/system/Crypt32Der.h — the DER that crypt32 reads and writes in the native build:
// a bounds-checked cursor that fails with the platform's ASN.1 codes, object identifiers as dotted text,
// times as FILETIME, names as their attribute values in the platform's text forms, and RSA public keys
// both as DER and as the providers' public key blob.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

using Bytes = std::vector<BYTE>;
using WText = std::basic_string<WCHAR>;

// The tags crypt32 reads and writes.
constexpr BYTE kTagBoolean = 0x01;
constexpr BYTE kTagInteger = 0x02;
constexpr BYTE kTagBitString = 0x03;
constexpr BYTE kTagOctetString = 0x04;
constexpr BYTE kTagOid = 0x06;
constexpr BYTE kTagUtf8String = 0x0C;
constexpr BYTE kTagUtcTime = 0x17;
constexpr BYTE kTagGeneralizedTime = 0x18;
constexpr BYTE kTagBmpString = 0x1E;
constexpr BYTE kTagSequence = 0x30;

// Names the fault and reads false, for the readers' early returns.
inline bool Fail(HRESULT hrCode, HRESULT& hr)
{
    hr = hrCode;
    return false;
}

// One element: its tag, its contents and the whole encoding.
struct DerElement {
    BYTE bTag = 0;
    const BYTE* pbContents = nullptr;
    size_t cbContents = 0;
    const BYTE* pbWhole = nullptr;
    size_t cbWhole = 0;
};

// Walks elements forward inside what it was given. A failed read leaves the cursor where it was and names
// the fault as the platform does: nothing left at the very start of a decode reads as the end of the data,
// a header cut short or a length not in the fewest octets as corrupt, an element longer than what is left
// as the end of the data, except a primitive one inside another, which is corrupt; an unexpected tag is a
// bad tag.
class DerCursor {
public:
    DerCursor() = default;
    DerCursor(const BYTE* pb, size_t cb) : m_pb(pb), m_cb(pb != nullptr ? cb : 0) {}
    explicit DerCursor(const DerElement& element) : DerCursor(element.pbContents, element.cbContents) {}

    bool Empty() const { return m_pos == m_cb; }
    size_t Remaining() const { return m_cb - m_pos; }
    // The tag of the next element, or 0 when nothing is left.
    BYTE PeekTag() const { return Empty() ? 0 : m_pb[m_pos]; }

    // The next element whatever its tag; hr is its fault otherwise.
    bool Next(DerElement& element, HRESULT& hr, bool bTopLevel = false);
    // The next element, which must carry bTag.
    bool Expect(BYTE bTag, DerElement& element, HRESULT& hr, bool bTopLevel = false);

private:
    const BYTE* m_pb = nullptr;
    size_t m_cb = 0;
    size_t m_pos = 0;
};

// "1.2.840.113549.1.1.1" from an identifier's contents; false for contents that are no identifier.
bool OidToText(const BYTE* pb, size_t cb, std::string& strOid);
// The contents of an identifier written as dotted text; false for text that is none.
bool OidFromText(const char* pszOid, Bytes& vecContents);

// A DER element of tag and contents.
Bytes DerEncode(BYTE bTag, const BYTE* pb, size_t cb);
inline Bytes DerEncode(BYTE bTag, const Bytes& vec) { return DerEncode(bTag, vec.data(), vec.size()); }
void Append(Bytes& vec, const Bytes& vecMore);

// UTCTime (tag 0x17) or GeneralizedTime (0x18) to FILETIME.
bool DerTimeToFileTime(const DerElement& element, FILETIME& ft);

// One attribute of a name as crypt32 shows it.
struct NameAttribute {
    std::string strOid;
    WText wstrValue;
    bool bWideValue = false;  // held as UTF-16 by the platform (UTF8String, BMPString)
};
using NameRdn = std::vector<NameAttribute>;

// The RDNs of an encoded Name in their encoded order; hr is the fault of a name that does not decode.
bool DecodeName(const BYTE* pb, size_t cb, std::vector<NameRdn>& vecRdns, HRESULT& hr);
// The platform's short name of an attribute type ("CN", "SERIALNUMBER"), or nullptr for one shown dotted.
const char* AttributeShortName(const std::string& strOid);
// The value as CERT_X500_NAME_STR and CERT_SIMPLE_NAME_STR write it: quoted where the platform quotes.
WText QuotedValue(const NameAttribute& attribute);

// RSAPublicKey (SEQUENCE { modulus, exponent }) to the providers' PUBLICKEYBLOB (CALG_RSA_KEYX) and back.
bool RsaPublicKeyToBlob(const BYTE* pb, size_t cb, Bytes& vecBlob, HRESULT& hr);
bool RsaBlobToPublicKey(const BYTE* pb, size_t cb, Bytes& vecDer);
