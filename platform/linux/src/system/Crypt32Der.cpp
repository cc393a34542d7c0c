// platform/linux/src/system/Crypt32Der.cpp — DER reading and writing for crypt32 of the native build.
#include "Crypt32Der.h"
#include "Utf8.h"

#include <cstring>

namespace {

// The C library's white space in the "C" locale, which decides the platform's quoting.
bool IsCSpace(BYTE b) { return b == 0x20 || (b >= 0x09 && b <= 0x0D); }

bool IsSpecial(WCHAR w)
{
    switch (w) {
    case u',':
    case u'+':
    case u'=':
    case u'"':
    case u'\n':
    case u'<':
    case u'>':
    case u'#':
    case u';':
        return true;
    default:
        return false;
    }
}

bool Digits(const BYTE* pb, size_t nDigits, unsigned& uValue)
{
    uValue = 0;
    for (size_t i = 0; i < nDigits; ++i) {
        if (pb[i] < '0' || pb[i] > '9') return false;
        uValue = uValue * 10 + (pb[i] - '0');
    }
    return true;
}

}  // namespace

bool DerCursor::Next(DerElement& element, HRESULT& hr, bool bTopLevel)
{
    const size_t nLeft = Remaining();
    if (nLeft == 0) return Fail(bTopLevel ? CRYPT_E_ASN1_EOD : CRYPT_E_ASN1_CORRUPT, hr);
    if (nLeft < 2) return Fail(CRYPT_E_ASN1_CORRUPT, hr);
    const BYTE* pb = m_pb + m_pos;
    const BYTE bTag = pb[0];
    if ((bTag & 0x1F) == 0x1F) return Fail(CRYPT_E_ASN1_CORRUPT, hr);
    size_t nHeader = 2;
    size_t cbContents = pb[1];
    if (pb[1] & 0x80) {
        const size_t nOctets = pb[1] & 0x7F;
        if (nOctets == 0 || nOctets > 4 || nLeft < 2 + nOctets) return Fail(CRYPT_E_ASN1_CORRUPT, hr);
        // DER writes a length in the fewest octets.
        if (pb[2] == 0) return Fail(CRYPT_E_ASN1_CORRUPT, hr);
        cbContents = 0;
        for (size_t i = 0; i < nOctets; ++i) cbContents = (cbContents << 8) | pb[2 + i];
        if (cbContents < 0x80) return Fail(CRYPT_E_ASN1_CORRUPT, hr);
        nHeader += nOctets;
    }
    if (cbContents > nLeft - nHeader)
        return Fail((bTag & 0x20) || bTopLevel ? CRYPT_E_ASN1_EOD : CRYPT_E_ASN1_CORRUPT, hr);
    element.bTag = bTag;
    element.pbContents = pb + nHeader;
    element.cbContents = cbContents;
    element.pbWhole = pb;
    element.cbWhole = nHeader + cbContents;
    m_pos += element.cbWhole;
    return true;
}

bool DerCursor::Expect(BYTE bTag, DerElement& element, HRESULT& hr, bool bTopLevel)
{
    if (!Empty() && m_pb[m_pos] != bTag) return Fail(CRYPT_E_ASN1_BADTAG, hr);
    return Next(element, hr, bTopLevel);
}

bool OidToText(const BYTE* pb, size_t cb, std::string& strOid)
{
    if (cb == 0 || (pb[cb - 1] & 0x80)) return false;
    std::string str;
    bool bFirst = true;
    uint64_t ullArc = 0;
    for (size_t i = 0; i < cb; ++i) {
        if (ullArc > (UINT64_MAX >> 7)) return false;
        ullArc = (ullArc << 7) | (pb[i] & 0x7F);
        if (pb[i] & 0x80) continue;
        if (bFirst) {
            const uint64_t ullTop = ullArc < 40 ? 0 : ullArc < 80 ? 1 : 2;
            str = std::to_string(ullTop);
            str += '.';
            str += std::to_string(ullArc - ullTop * 40);
            bFirst = false;
        } else {
            str += '.';
            str += std::to_string(ullArc);
        }
        ullArc = 0;
    }
    strOid.swap(str);
    return true;
}

bool OidFromText(const char* pszOid, Bytes& vecContents)
{
    if (pszOid == nullptr) return false;
    std::vector<uint64_t> vecArcs;
    const char* p = pszOid;
    for (;;) {
        if (*p < '0' || *p > '9') return false;
        uint64_t ull = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (ull > (UINT64_MAX - 9) / 10) return false;
            ull = ull * 10 + static_cast<uint64_t>(*p - '0');
        }
        vecArcs.push_back(ull);
        if (*p == 0) break;
        if (*p++ != '.') return false;
    }
    if (vecArcs.size() < 2 || vecArcs[0] > 2 || (vecArcs[0] < 2 && vecArcs[1] >= 40) ||
        vecArcs[1] > UINT64_MAX - 80)
        return false;
    Bytes vec;
    for (size_t i = 1; i < vecArcs.size(); ++i) {
        uint64_t ull = i == 1 ? vecArcs[0] * 40 + vecArcs[1] : vecArcs[i];
        BYTE rgb[10];
        size_t n = 0;
        do {
            rgb[n++] = static_cast<BYTE>(ull & 0x7F);
            ull >>= 7;
        } while (ull != 0);
        while (n > 0) {
            --n;
            vec.push_back(static_cast<BYTE>(rgb[n] | (n > 0 ? 0x80 : 0)));
        }
    }
    vecContents.swap(vec);
    return true;
}

Bytes DerEncode(BYTE bTag, const BYTE* pb, size_t cb)
{
    Bytes vec{bTag};
    if (cb < 0x80) {
        vec.push_back(static_cast<BYTE>(cb));
    } else {
        BYTE rgb[sizeof(size_t)];
        size_t n = 0;
        for (size_t c = cb; c != 0; c >>= 8) rgb[n++] = static_cast<BYTE>(c);
        vec.push_back(static_cast<BYTE>(0x80 | n));
        while (n > 0) vec.push_back(rgb[--n]);
    }
    if (cb != 0) vec.insert(vec.end(), pb, pb + cb);
    return vec;
}

void Append(Bytes& vec, const Bytes& vecMore) { vec.insert(vec.end(), vecMore.begin(), vecMore.end()); }

bool DerTimeToFileTime(const DerElement& element, FILETIME& ft)
{
    const BYTE* pb = element.pbContents;
    size_t cb = element.cbContents;
    SYSTEMTIME st = {};
    unsigned u = 0;
    size_t nYear = 0;
    if (element.bTag == kTagUtcTime) {
        if (cb < 11 || !Digits(pb, 2, u)) return false;
        st.wYear = static_cast<WORD>(u < 50 ? 2000 + u : 1900 + u);
        nYear = 2;
    } else if (element.bTag == kTagGeneralizedTime) {
        if (cb < 13 || !Digits(pb, 4, u)) return false;
        st.wYear = static_cast<WORD>(u);
        nYear = 4;
    } else {
        return false;
    }
    pb += nYear;
    cb -= nYear;
    unsigned uMonth = 0, uDay = 0, uHour = 0, uMinute = 0, uSecond = 0;
    if (!Digits(pb, 2, uMonth) || !Digits(pb + 2, 2, uDay) || !Digits(pb + 4, 2, uHour) || !Digits(pb + 6, 2, uMinute))
        return false;
    pb += 8;
    cb -= 8;
    if (cb >= 2 && pb[0] >= '0' && pb[0] <= '9') {
        if (!Digits(pb, 2, uSecond)) return false;
        pb += 2;
        cb -= 2;
    }
    // A fraction of a second, then the zone: only UTC is written by issuers.
    unsigned uMilliseconds = 0;
    if (cb > 0 && (pb[0] == '.' || pb[0] == ',')) {
        size_t i = 1;
        unsigned uScale = 100;
        for (; i < cb && pb[i] >= '0' && pb[i] <= '9'; ++i) {
            uMilliseconds += (pb[i] - '0') * uScale;
            uScale /= 10;
        }
        if (i == 1) return false;
        pb += i;
        cb -= i;
    }
    if (cb != 1 || pb[0] != 'Z') return false;
    st.wMonth = static_cast<WORD>(uMonth);
    st.wDay = static_cast<WORD>(uDay);
    st.wHour = static_cast<WORD>(uHour);
    st.wMinute = static_cast<WORD>(uMinute);
    st.wSecond = static_cast<WORD>(uSecond);
    st.wMilliseconds = static_cast<WORD>(uMilliseconds);
    return SystemTimeToFileTime(&st, &ft) != FALSE;
}

namespace {

// The value of one attribute as the platform holds it before writing it out.
bool DecodeValue(const DerElement& value, NameAttribute& attribute, HRESULT& hr)
{
    const BYTE* pb = value.pbContents;
    const size_t cb = value.cbContents;
    WText wstr;
    switch (value.bTag) {
    case 0x12:  // NumericString
    case 0x13:  // PrintableString
    case 0x14:  // TeletexString
    case 0x15:  // VideotexString
    case 0x16:  // IA5String
    case 0x19:  // GraphicString
    case 0x1A:  // VisibleString
    case 0x1B:  // GeneralString
        // One character per byte.
        for (size_t i = 0; i < cb; ++i) wstr.push_back(static_cast<WCHAR>(pb[i]));
        break;
    case kTagUtf8String: {
        attribute.bWideValue = true;
        if (cb == 0) break;
        if (cb > 0x7FFFFFFF) return Fail(CRYPT_E_ASN1_LARGE, hr);
        wstr = Utf16OfUtf8(reinterpret_cast<const char*>(pb), cb);
        break;
    }
    case kTagBmpString:
        attribute.bWideValue = true;
        // A last odd byte is no character.
        for (size_t i = 0; i + 1 < cb; i += 2) wstr.push_back(static_cast<WCHAR>((pb[i] << 8) | pb[i + 1]));
        break;
    case kTagOctetString:
        // Shown as nothing.
        break;
    default:
        return Fail(CRYPT_E_ASN1_BADTAG, hr);
    }
    attribute.wstrValue.swap(wstr);
    return true;
}

}  // namespace

bool DecodeName(const BYTE* pb, size_t cb, std::vector<NameRdn>& vecRdns, HRESULT& hr)
{
    DerCursor top(pb, cb);
    DerElement name;
    if (!top.Expect(0x30, name, hr, true)) return false;
    std::vector<NameRdn> vec;
    DerCursor rdns(name);
    while (!rdns.Empty()) {
        DerElement set;
        if (!rdns.Expect(0x31, set, hr)) return false;
        NameRdn rdn;
        DerCursor attributes(set);
        while (!attributes.Empty()) {
            DerElement sequence, oid, value;
            if (!attributes.Expect(0x30, sequence, hr)) return false;
            DerCursor parts(sequence);
            if (!parts.Expect(0x06, oid, hr) || !parts.Next(value, hr)) return false;
            NameAttribute attribute;
            if (!OidToText(oid.pbContents, oid.cbContents, attribute.strOid)) return Fail(CRYPT_E_ASN1_CORRUPT, hr);
            if (!DecodeValue(value, attribute, hr)) return false;
            rdn.push_back(std::move(attribute));
        }
        vec.push_back(std::move(rdn));
    }
    vecRdns.swap(vec);
    return true;
}

const char* AttributeShortName(const std::string& strOid)
{
    static const struct {
        const char* pszOid;
        const char* pszName;
    } rgNames[] = {{"2.5.4.3", "CN"},
                   {"2.5.4.4", "SN"},
                   {"2.5.4.5", "SERIALNUMBER"},
                   {"2.5.4.6", "C"},
                   {"2.5.4.7", "L"},
                   {"2.5.4.8", "S"},
                   {"2.5.4.9", "STREET"},
                   {"2.5.4.10", "O"},
                   {"2.5.4.11", "OU"},
                   {"2.5.4.12", "T"},
                   {"2.5.4.13", "Description"},
                   {"2.5.4.17", "PostalCode"},
                   {"2.5.4.18", "POBox"},
                   {"2.5.4.20", "Phone"},
                   {"2.5.4.24", "X21Address"},
                   {"2.5.4.42", "G"},
                   {"2.5.4.43", "I"},
                   {"2.5.4.46", "dnQualifier"},
                   {"1.2.840.113549.1.9.1", "E"},
                   {"0.9.2342.19200300.100.1.25", "DC"}};
    for (const auto& entry : rgNames)
        if (strOid == entry.pszOid) return entry.pszName;
    return nullptr;
}

WText QuotedValue(const NameAttribute& attribute)
{
    const WText& wstr = attribute.wstrValue;
    bool bQuote = false;
    for (WCHAR w : wstr)
        if (IsSpecial(w)) bQuote = true;
    if (!wstr.empty()) {
        if (attribute.bWideValue) {
            // The platform looks for white space at the first byte and at the byte as far in as the value has
            // characters, of the value held as little-endian UTF-16, so this is what decides here too.
            const size_t nLast = wstr.size() - 1;
            const WCHAR wLast = wstr[nLast / 2];
            const BYTE bLast = static_cast<BYTE>(nLast % 2 == 0 ? wLast & 0xFF : wLast >> 8);
            bQuote = bQuote || IsCSpace(static_cast<BYTE>(wstr[0] & 0xFF)) || IsCSpace(bLast);
        } else {
            bQuote = bQuote || (wstr[0] < 0x100 && IsCSpace(static_cast<BYTE>(wstr[0]))) ||
                     (wstr.back() < 0x100 && IsCSpace(static_cast<BYTE>(wstr.back())));
        }
    }
    if (!bQuote) return wstr;
    WText wstrQuoted(1, u'"');
    for (WCHAR w : wstr) {
        wstrQuoted.push_back(w);
        if (w == u'"') wstrQuoted.push_back(u'"');
    }
    wstrQuoted.push_back(u'"');
    return wstrQuoted;
}

namespace {

// An INTEGER's contents without the sign octet, as unsigned big-endian bytes.
bool UnsignedContents(const DerElement& integer, const BYTE*& pb, size_t& cb)
{
    pb = integer.pbContents;
    cb = integer.cbContents;
    if (cb == 0 || (pb[0] & 0x80)) return false;
    while (cb > 1 && pb[0] == 0) {
        ++pb;
        --cb;
    }
    return true;
}

Bytes UnsignedInteger(const BYTE* pbBigEndian, size_t cb)
{
    while (cb > 1 && pbBigEndian[0] == 0) {
        ++pbBigEndian;
        --cb;
    }
    Bytes vec;
    if (cb == 0 || (pbBigEndian[0] & 0x80)) vec.push_back(0);
    vec.insert(vec.end(), pbBigEndian, pbBigEndian + cb);
    return DerEncode(0x02, vec);
}

constexpr DWORD kRsaPublicMagic = 0x31415352;  // "RSA1"

}  // namespace

bool RsaPublicKeyToBlob(const BYTE* pb, size_t cb, Bytes& vecBlob, HRESULT& hr)
{
    DerCursor top(pb, cb);
    DerElement sequence, modulus, exponent;
    if (!top.Expect(0x30, sequence, hr, true)) return false;
    DerCursor parts(sequence);
    if (!parts.Expect(0x02, modulus, hr) || !parts.Expect(0x02, exponent, hr)) return false;
    const BYTE* pbModulus = nullptr;
    const BYTE* pbExponent = nullptr;
    size_t cbModulus = 0, cbExponent = 0;
    if (!UnsignedContents(modulus, pbModulus, cbModulus) || !UnsignedContents(exponent, pbExponent, cbExponent))
        return Fail(CRYPT_E_ASN1_CORRUPT, hr);
    if (cbExponent > sizeof(DWORD) || cbModulus > 0x1FFFFFFF) return Fail(CRYPT_E_ASN1_LARGE, hr);
    DWORD dwExponent = 0;
    for (size_t i = 0; i < cbExponent; ++i) dwExponent = (dwExponent << 8) | pbExponent[i];

    Bytes vec(sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + cbModulus);
    BLOBHEADER header = {PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, CALG_RSA_KEYX};
    RSAPUBKEY rsa = {kRsaPublicMagic, static_cast<DWORD>(cbModulus * 8), dwExponent};
    memcpy(vec.data(), &header, sizeof(header));
    memcpy(vec.data() + sizeof(header), &rsa, sizeof(rsa));
    BYTE* pbOut = vec.data() + sizeof(header) + sizeof(rsa);
    for (size_t i = 0; i < cbModulus; ++i) pbOut[i] = pbModulus[cbModulus - 1 - i];
    vecBlob.swap(vec);
    return true;
}

bool RsaBlobToPublicKey(const BYTE* pb, size_t cb, Bytes& vecDer)
{
    if (pb == nullptr || cb < sizeof(BLOBHEADER) + sizeof(RSAPUBKEY)) return false;
    BLOBHEADER header;
    RSAPUBKEY rsa;
    memcpy(&header, pb, sizeof(header));
    memcpy(&rsa, pb + sizeof(header), sizeof(rsa));
    if (header.bType != PUBLICKEYBLOB || rsa.magic != kRsaPublicMagic || rsa.bitlen == 0 || rsa.bitlen % 8 != 0)
        return false;
    const size_t cbModulus = rsa.bitlen / 8;
    if (cb - sizeof(header) - sizeof(rsa) < cbModulus) return false;
    const BYTE* pbModulus = pb + sizeof(header) + sizeof(rsa);
    Bytes vecModulus(cbModulus);
    for (size_t i = 0; i < cbModulus; ++i) vecModulus[i] = pbModulus[cbModulus - 1 - i];
    const BYTE rgbExponent[4] = {static_cast<BYTE>(rsa.pubexp >> 24), static_cast<BYTE>(rsa.pubexp >> 16),
                                 static_cast<BYTE>(rsa.pubexp >> 8), static_cast<BYTE>(rsa.pubexp)};
    Bytes vecContents = UnsignedInteger(vecModulus.data(), vecModulus.size());
    Append(vecContents, UnsignedInteger(rgbExponent, sizeof(rgbExponent)));
    vecDer = DerEncode(0x30, vecContents);
    return true;
}
