// tools/inspector/StoreTool.cpp — what CryptoAPI holds, seen from outside the agent: the registered
// providers, a provider's key containers with their keys and attached certificates, a system store's
// certificates with their key-provider links; signing with a container's key proves that it holds the
// key of an issued certificate. Three explicit commands change state: one deletes a container, two add
// certificates to a system store or take them out (tests and the demo prepare stores with them); everything
// else only reads.
#include "Brindlemark/Common.h"
#include "Brindlemark/codec/ByteReader.h"
#include "Brindlemark/codec/DerWriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

namespace {

// ---- Report: one tree per command, printed as JSON or as indented text --------------------------------

class Node {
public:
    enum class Kind { Null, Bool, Number, Text, List, Map };

    static Node Null() { return Node(Kind::Null); }
    static Node Bool(bool b)
    {
        Node n(Kind::Bool);
        n.m_b = b;
        return n;
    }
    static Node Number(long long ll)
    {
        Node n(Kind::Number);
        n.m_ll = ll;
        return n;
    }
    static Node Text(std::string str)
    {
        Node n(Kind::Text);
        n.m_str = std::move(str);
        return n;
    }
    static Node List() { return Node(Kind::List); }
    static Node Map() { return Node(Kind::Map); }

    Node& Add(std::string key, Node value)
    {
        m_keys.push_back(std::move(key));
        m_items.push_back(std::move(value));
        return m_items.back();
    }
    Node& Push(Node value)
    {
        m_items.push_back(std::move(value));
        return m_items.back();
    }

    Kind GetKind() const { return m_kind; }
    bool IsScalar() const { return m_kind != Kind::List && m_kind != Kind::Map; }
    const std::vector<std::string>& Keys() const { return m_keys; }
    const std::vector<Node>& Items() const { return m_items; }
    bool BoolValue() const { return m_b; }
    long long NumberValue() const { return m_ll; }
    const std::string& TextValue() const { return m_str; }

private:
    explicit Node(Kind kind) : m_kind(kind) {}

    Kind m_kind;
    bool m_b = false;
    long long m_ll = 0;
    std::string m_str;
    std::vector<std::string> m_keys;  // Map only, one per item
    std::vector<Node> m_items;
};

void AppendJsonString(const std::string& str, std::string& out)
{
    static const char kDigits[] = "0123456789abcdef";
    out += '"';
    for (char ch : str) {
        const unsigned char uch = static_cast<unsigned char>(ch);
        switch (ch) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (uch < 0x20) {
                out += "\\u00";
                out += kDigits[uch >> 4];
                out += kDigits[uch & 15];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

void AppendJson(const Node& node, std::string& out)
{
    switch (node.GetKind()) {
    case Node::Kind::Null: out += "null"; break;
    case Node::Kind::Bool: out += node.BoolValue() ? "true" : "false"; break;
    case Node::Kind::Number: out += std::to_string(node.NumberValue()); break;
    case Node::Kind::Text: AppendJsonString(node.TextValue(), out); break;
    case Node::Kind::List:
    case Node::Kind::Map: {
        const bool bMap = node.GetKind() == Node::Kind::Map;
        out += bMap ? '{' : '[';
        for (size_t i = 0; i < node.Items().size(); ++i) {
            if (i != 0) out += ',';
            if (bMap) {
                AppendJsonString(node.Keys()[i], out);
                out += ':';
            }
            AppendJson(node.Items()[i], out);
        }
        out += bMap ? '}' : ']';
        break;
    }
    }
}

std::string ScalarText(const Node& node)
{
    switch (node.GetKind()) {
    case Node::Kind::Bool: return node.BoolValue() ? "yes" : "no";
    case Node::Kind::Number: return std::to_string(node.NumberValue());
    case Node::Kind::Text: return node.TextValue();
    default: return "-";
    }
}

void AppendTextMap(const Node& map, size_t cIndent, std::string& out);

void AppendTextValue(const Node& value, size_t cIndent, std::string& out)
{
    if (value.IsScalar()) {
        out += " " + ScalarText(value) + "\n";
    } else if (value.Items().empty()) {
        out += " (none)\n";
    } else if (value.GetKind() == Node::Kind::Map) {
        out += "\n";
        AppendTextMap(value, cIndent + 2, out);
    } else {
        out += "\n";
        for (const Node& item : value.Items()) {
            if (item.GetKind() == Node::Kind::Map && !item.Items().empty()) {
                // The item's first line carries the list mark in the indentation its members share.
                const size_t cStart = out.size();
                AppendTextMap(item, cIndent + 4, out);
                out[cStart + cIndent + 2] = '-';
            } else {
                out += std::string(cIndent + 2, ' ') + "-";
                AppendTextValue(item, cIndent + 2, out);
            }
        }
    }
}

void AppendTextMap(const Node& map, size_t cIndent, std::string& out)
{
    for (size_t i = 0; i < map.Items().size(); ++i) {
        out += std::string(cIndent, ' ') + map.Keys()[i] + ":";
        AppendTextValue(map.Items()[i], cIndent, out);
    }
}

// ---- Text ----------------------------------------------------------------------------------------------

std::string ToUtf8(const WCHAR* pwsz, size_t cch)
{
    if (cch == 0 || cch > 0x7FFFFFFF) return std::string();
    const int cchWide = static_cast<int>(cch);
    const int cb = WideCharToMultiByte(CP_UTF8, 0, pwsz, cchWide, nullptr, 0, nullptr, nullptr);
    if (cb <= 0) return std::string();
    std::string str(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, pwsz, cchWide, str.data(), cb, nullptr, nullptr);
    return str;
}

std::string ToUtf8(const WString& wstr) { return ToUtf8(wstr.data(), wstr.size()); }
std::string ToUtf8(const WCHAR* pwsz) { return pwsz != nullptr ? ToUtf8(pwsz, lstrlenW(pwsz)) : std::string(); }

// Container names come back as narrow text: UTF-8 when they are valid UTF-8, the ANSI code page otherwise.
WString FromNarrow(const char* psz, size_t cb)
{
    if (cb == 0 || cb > 0x7FFFFFFF) return WString();
    for (UINT uCodePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
        const DWORD dwFlags = uCodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int cch = MultiByteToWideChar(uCodePage, dwFlags, psz, static_cast<int>(cb), nullptr, 0);
        if (cch <= 0) continue;
        WString wstr(static_cast<size_t>(cch), 0);
        MultiByteToWideChar(uCodePage, dwFlags, psz, static_cast<int>(cb), wstr.data(), cch);
        return wstr;
    }
    return WString();
}

bool EqualsIgnoringCase(const WString& wstr, const WCHAR* pwsz)
{
    return CompareStringOrdinal(wstr.c_str(), -1, pwsz, -1, TRUE) == CSTR_EQUAL;
}

bool Contains(const WString& wstr, const WCHAR* pwszPart) { return wstr.find(pwszPart) != WString::npos; }

std::string Hex(const BYTE* pb, size_t cb)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string str;
    str.reserve(cb * 2);
    for (size_t i = 0; i < cb; ++i) {
        str += kDigits[pb[i] >> 4];
        str += kDigits[pb[i] & 15];
    }
    return str;
}

std::string Hex(const ByteBuffer& vec) { return Hex(vec.data(), vec.size()); }

std::string HexDword(DWORD dw, int cDigits)
{
    char sz[16] = {};
    snprintf(sz, sizeof sz, "0x%0*lx", cDigits, static_cast<unsigned long>(dw));
    return sz;
}

int HexDigit(WCHAR ch)
{
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

bool ParseHex(const WString& wstr, ByteBuffer& vec)
{
    vec.clear();
    if (wstr.size() % 2 != 0) return false;
    for (size_t i = 0; i < wstr.size(); i += 2) {
        const int nHigh = HexDigit(wstr[i]), nLow = HexDigit(wstr[i + 1]);
        if (nHigh < 0 || nLow < 0) return false;
        vec.push_back(static_cast<BYTE>(nHigh << 4 | nLow));
    }
    return true;
}

bool ParseDecimal(const WString& wstr, DWORD dwMax, DWORD& dwValue)
{
    dwValue = 0;
    if (wstr.empty()) return false;
    for (WCHAR ch : wstr) {
        if (ch < '0' || ch > '9') return false;
        const DWORD dwDigit = static_cast<DWORD>(ch - '0');
        if (dwDigit > dwMax || dwValue > (dwMax - dwDigit) / 10) return false;
        dwValue = dwValue * 10 + dwDigit;
    }
    return true;
}

// ---- Failures ------------------------------------------------------------------------------------------

struct Failure {
    std::string step;
    DWORD dwCode = 0;
};

bool Fail(Failure& failure, const char* pszStep, DWORD dwCode)
{
    failure.step = pszStep;
    failure.dwCode = dwCode != 0 ? dwCode : static_cast<DWORD>(E_FAIL);
    return false;
}

// Wine has no system text for the providers' codes; their names say more than a bare number.
#define BM_NAMED_CODE(code) {static_cast<DWORD>(code), #code}
struct NamedCode {
    DWORD dwCode;
    const char* pszName;
};
constexpr NamedCode kNamedCodes[] = {
    BM_NAMED_CODE(NTE_BAD_UID), BM_NAMED_CODE(NTE_BAD_HASH), BM_NAMED_CODE(NTE_BAD_KEY),
    BM_NAMED_CODE(NTE_BAD_LEN), BM_NAMED_CODE(NTE_BAD_DATA), BM_NAMED_CODE(NTE_BAD_SIGNATURE),
    BM_NAMED_CODE(NTE_BAD_VER), BM_NAMED_CODE(NTE_BAD_ALGID), BM_NAMED_CODE(NTE_BAD_FLAGS),
    BM_NAMED_CODE(NTE_BAD_TYPE), BM_NAMED_CODE(NTE_BAD_KEY_STATE), BM_NAMED_CODE(NTE_BAD_HASH_STATE),
    BM_NAMED_CODE(NTE_NO_KEY), BM_NAMED_CODE(NTE_NO_MEMORY), BM_NAMED_CODE(NTE_EXISTS),
    BM_NAMED_CODE(NTE_PERM), BM_NAMED_CODE(NTE_NOT_FOUND), BM_NAMED_CODE(NTE_BAD_PROVIDER),
    BM_NAMED_CODE(NTE_BAD_PROV_TYPE), BM_NAMED_CODE(NTE_BAD_PUBLIC_KEY), BM_NAMED_CODE(NTE_BAD_KEYSET),
    BM_NAMED_CODE(NTE_PROV_TYPE_NOT_DEF), BM_NAMED_CODE(NTE_PROV_TYPE_ENTRY_BAD),
    BM_NAMED_CODE(NTE_KEYSET_NOT_DEF), BM_NAMED_CODE(NTE_KEYSET_ENTRY_BAD), BM_NAMED_CODE(NTE_PROV_TYPE_NO_MATCH),
    BM_NAMED_CODE(NTE_PROVIDER_DLL_FAIL), BM_NAMED_CODE(NTE_PROV_DLL_NOT_FOUND),
    BM_NAMED_CODE(NTE_BAD_KEYSET_PARAM), BM_NAMED_CODE(NTE_FAIL), BM_NAMED_CODE(SCARD_E_NO_SUCH_CERTIFICATE),
};
#undef BM_NAMED_CODE

std::string ErrorText(DWORD dwCode)
{
    WCHAR* pwszMessage = nullptr;
    const DWORD cch = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, dwCode, 0, reinterpret_cast<WCHAR*>(&pwszMessage), 0, nullptr);
    std::string text = cch != 0 ? ToUtf8(pwszMessage, cch) : std::string();
    if (pwszMessage != nullptr) LocalFree(pwszMessage);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (!text.empty()) return text;
    for (const NamedCode& named : kNamedCodes)
        if (named.dwCode == dwCode) return named.pszName;
    return "no text for this code";
}

Node ErrorNode(const Failure& failure)
{
    Node error = Node::Map();
    error.Add("step", Node::Text(failure.step));
    error.Add("code", Node::Text(HexDword(failure.dwCode, 8)));
    error.Add("text", Node::Text(ErrorText(failure.dwCode)));
    return error;
}

Node ErrorNode(const char* pszStep, DWORD dwCode)
{
    Failure failure;
    Fail(failure, pszStep, dwCode);
    return ErrorNode(failure);
}

// ---- DER, only what a signature and an SM2 public key need ---------------------------------------------

ByteBuffer Tlv(BYTE bTag, const ByteBuffer& vecContents) { return DerTlv(bTag, vecContents.data(), vecContents.size()); }

ByteBuffer Concat(std::initializer_list<ByteBuffer> parts)
{
    ByteBuffer vec;
    for (const ByteBuffer& part : parts) vec.insert(vec.end(), part.begin(), part.end());
    return vec;
}

// A non-negative INTEGER from big-endian magnitude bytes: minimal, with a 00 before a high first bit.
ByteBuffer UnsignedInteger(const BYTE* pb, size_t cb)
{
    size_t iFirst = 0;
    while (iFirst + 1 < cb && pb[iFirst] == 0) ++iFirst;
    ByteBuffer vec;
    if (cb == 0 || (pb[iFirst] & 0x80) != 0) vec.push_back(0);
    vec.insert(vec.end(), pb + iFirst, pb + cb);
    return Tlv(0x02, vec);
}

ByteBuffer Reversed(const BYTE* pb, size_t cb)
{
    return ByteBuffer(std::reverse_iterator<const BYTE*>(pb + cb), std::reverse_iterator<const BYTE*>(pb));
}

constexpr ALG_ID kSm2KeyExchange = 0xBE00;
constexpr ALG_ID kSm2Signature = 0x3E00;
constexpr ALG_ID kSm3Hash = 0x800F;
constexpr size_t kSm2Coordinate = 32;
constexpr size_t kSm2PublicBlob = 140;

bool IsSm2(ALG_ID algid) { return algid == kSm2KeyExchange || algid == kSm2Signature; }

// The token's r then s, each 32 bytes little-endian, as the ECDSA-Sig-Value that X.509 verifiers read.
ByteBuffer Sm2SignatureDer(const ByteBuffer& vecSignature)
{
    const ByteBuffer vecR = Reversed(vecSignature.data(), kSm2Coordinate);
    const ByteBuffer vecS = Reversed(vecSignature.data() + kSm2Coordinate, kSm2Coordinate);
    return Tlv(0x30, Concat({UnsignedInteger(vecR.data(), vecR.size()), UnsignedInteger(vecS.data(), vecS.size())}));
}

// SubjectPublicKeyInfo {id-ecPublicKey, the SM2 curve} of the token's 140-byte blob: header, bit length,
// then X and Y each in a 64-byte field whose first 32 bytes hold the coordinate little-endian.
bool Sm2PublicKeyInfo(const ByteBuffer& vecBlob, ByteBuffer& vecSpki)
{
    static const ByteBuffer kEcPublicKeyOid = {0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
    static const ByteBuffer kSm2CurveOid = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};
    ByteReader cursor(vecBlob);
    const BYTE* pbHeader = nullptr;
    const BYTE* pbX = nullptr;
    const BYTE* pbY = nullptr;
    DWORD dwBits = 0;
    if (vecBlob.size() != kSm2PublicBlob || !cursor.Bytes(sizeof(BLOBHEADER), pbHeader) || !cursor.U32(dwBits) ||
        !cursor.Bytes(2 * kSm2Coordinate, pbX) || !cursor.Bytes(2 * kSm2Coordinate, pbY) || !cursor.Empty())
        return false;
    if (pbHeader[0] != PUBLICKEYBLOB || dwBits != 8 * kSm2Coordinate) return false;
    ByteBuffer vecPoint{0x00, 0x04};  // no unused bits, then an uncompressed point
    const ByteBuffer vecX = Reversed(pbX, kSm2Coordinate), vecY = Reversed(pbY, kSm2Coordinate);
    vecPoint.insert(vecPoint.end(), vecX.begin(), vecX.end());
    vecPoint.insert(vecPoint.end(), vecY.begin(), vecY.end());
    vecSpki = Tlv(0x30, Concat({Tlv(0x30, Concat({kEcPublicKeyOid, kSm2CurveOid})), Tlv(0x03, vecPoint)}));
    return true;
}

// ---- Certificates --------------------------------------------------------------------------------------

std::string NameText(const CERT_NAME_BLOB* pName)
{
    DWORD cch = CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(pName), CERT_X500_NAME_STR, nullptr, 0);
    if (cch <= 1) return std::string();
    WString wstr(cch, 0);
    cch = CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(pName), CERT_X500_NAME_STR, wstr.data(), cch);
    wstr.resize(cch > 0 ? cch - 1 : 0);
    return ToUtf8(wstr);
}

std::string UtcText(const FILETIME& ft)
{
    SYSTEMTIME st = {};
    if (!FileTimeToSystemTime(&ft, &st)) return std::string();
    char sz[32] = {};
    snprintf(sz, sizeof sz, "%04u-%02u-%02uT%02u:%02u:%02uZ", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond);
    return sz;
}

Node DescribeCertificate(PCCERT_CONTEXT pCert)
{
    const CERT_INFO* pInfo = pCert->pCertInfo;
    Node cert = Node::Map();
    cert.Add("subject", Node::Text(NameText(&pInfo->Subject)));
    cert.Add("issuer", Node::Text(NameText(&pInfo->Issuer)));
    // the platform keeps the serial number little-endian
    cert.Add("serial", Node::Text(Hex(Reversed(pInfo->SerialNumber.pbData, pInfo->SerialNumber.cbData))));
    BYTE rgbThumbprint[20] = {};
    DWORD cbThumbprint = sizeof rgbThumbprint;
    const bool bThumbprint =
        CertGetCertificateContextProperty(pCert, CERT_SHA1_HASH_PROP_ID, rgbThumbprint, &cbThumbprint) != FALSE;
    cert.Add("thumbprint", bThumbprint ? Node::Text(Hex(rgbThumbprint, cbThumbprint)) : Node::Null());
    cert.Add("notBefore", Node::Text(UtcText(pInfo->NotBefore)));
    cert.Add("notAfter", Node::Text(UtcText(pInfo->NotAfter)));
    return cert;
}

// The key-provider link of a store certificate, or null when it has none.
Node DescribeKeyProvider(PCCERT_CONTEXT pCert)
{
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb) ||
        cb < sizeof(CRYPT_KEY_PROV_INFO))
        return Node::Null();
    ByteBuffer vec;
    if (!TryResize(vec, cb) || !CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, vec.data(), &cb))
        return ErrorNode("CertGetCertificateContextProperty(CERT_KEY_PROV_INFO_PROP_ID)", GetLastError());
    const auto* pKeyProvInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(vec.data());
    Node link = Node::Map();
    link.Add("container", Node::Text(ToUtf8(pKeyProvInfo->pwszContainerName)));
    link.Add("provider", Node::Text(ToUtf8(pKeyProvInfo->pwszProvName)));
    link.Add("type", Node::Number(pKeyProvInfo->dwProvType));
    link.Add("keySpec", Node::Number(pKeyProvInfo->dwKeySpec));
    return link;
}

// ---- Commands ------------------------------------------------------------------------------------------

struct Options {
    WString wstrCommand;
    WString wstrCSP, wstrContainer, wstrStoreName = TEXT("MY"), wstrHash;
    DWORD dwProvType = 0;  // 0: from the provider's name
    DWORD dwKeySpec = 0;
    ByteBuffer vecData;
    WString wstrFile;
    bool bMachine = false;
    bool bJson = false;
};

DWORD ProviderTypeOf(const Options& opts)
{
    if (opts.dwProvType != 0) return opts.dwProvType;
    return Contains(opts.wstrCSP, TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider")) ? PROV_RSA_AES
                                                                                                 : PROV_RSA_FULL;
}

const char* KeySpecName(DWORD dwKeySpec) { return dwKeySpec == AT_KEYEXCHANGE ? "AT_KEYEXCHANGE" : "AT_SIGNATURE"; }

bool RunProviders(const Options&, Node& report, Failure& failure)
{
    Node& providers = report.Add("providers", Node::List());
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD dwType = 0, cb = 0;
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwType, nullptr, &cb)) {
            const DWORD dwError = GetLastError();
            if (dwError == ERROR_NO_MORE_ITEMS) return true;
            return Fail(failure, "CryptEnumProviders", dwError);
        }
        WString wstrName;
        if (!TryResize(wstrName, cb / sizeof(WCHAR) + 1)) return Fail(failure, "CryptEnumProviders", E_OUTOFMEMORY);
        cb = static_cast<DWORD>(wstrName.size() * sizeof(WCHAR));
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwType, wstrName.data(), &cb))
            return Fail(failure, "CryptEnumProviders", GetLastError());
        wstrName.resize(static_cast<size_t>(lstrlenW(wstrName.c_str())));
        Node& provider = providers.Push(Node::Map());
        provider.Add("name", Node::Text(ToUtf8(wstrName)));
        provider.Add("type", Node::Number(dwType));
    }
}

bool EnumContainerNames(HCRYPTPROV hProv, std::vector<WString>& names, Failure& failure)
{
    DWORD cbMax = 0;
    if (!CryptGetProvParam(hProv, PP_ENUMCONTAINERS, nullptr, &cbMax, CRYPT_FIRST)) {
        const DWORD dwError = GetLastError();
        if (dwError == ERROR_NO_MORE_ITEMS) return true;
        return Fail(failure, "CryptGetProvParam(PP_ENUMCONTAINERS)", dwError);
    }
    std::vector<char> vecName;
    if (!TryResize(vecName, static_cast<uint64_t>(cbMax < MAX_PATH ? MAX_PATH : cbMax) + 1))
        return Fail(failure, "CryptGetProvParam(PP_ENUMCONTAINERS)", E_OUTOFMEMORY);
    for (DWORD dwFlags = CRYPT_FIRST;; dwFlags = CRYPT_NEXT) {
        std::fill(vecName.begin(), vecName.end(), '\0');
        DWORD cb = static_cast<DWORD>(vecName.size() - 1);
        if (!CryptGetProvParam(hProv, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(vecName.data()), &cb, dwFlags)) {
            const DWORD dwError = GetLastError();
            if (dwError == ERROR_NO_MORE_ITEMS) return true;
            return Fail(failure, "CryptGetProvParam(PP_ENUMCONTAINERS)", dwError);
        }
        // the buffer keeps one zero past what the provider may write
        names.push_back(FromNarrow(vecName.data(), strlen(vecName.data())));
    }
}

DWORD KeyDword(HCRYPTKEY hKey, DWORD dwParam)
{
    DWORD dw = 0, cb = sizeof dw;
    return CryptGetKeyParam(hKey, dwParam, reinterpret_cast<BYTE*>(&dw), &cb, 0) && cb == sizeof dw ? dw : 0;
}

// The certificate the provider keeps with a key (KP_CERTIFICATE), or null when it keeps none.
Node KeyCertificate(HCRYPTKEY hKey)
{
    DWORD cb = 0;
    if (!CryptGetKeyParam(hKey, KP_CERTIFICATE, nullptr, &cb, 0) || cb == 0) return Node::Null();
    ByteBuffer vec;
    if (!TryResize(vec, cb)) return ErrorNode("CryptGetKeyParam(KP_CERTIFICATE)", E_OUTOFMEMORY);
    if (!CryptGetKeyParam(hKey, KP_CERTIFICATE, vec.data(), &cb, 0))
        return ErrorNode("CryptGetKeyParam(KP_CERTIFICATE)", GetLastError());
    CertContext pCert(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, vec.data(),
                                                   cb < vec.size() ? cb : static_cast<DWORD>(vec.size())));
    if (!pCert) return ErrorNode("CertCreateCertificateContext", GetLastError());
    return DescribeCertificate(pCert.get());
}

void DescribeContainer(const Options& opts, DWORD dwProvType, const WString& wstrName, Node& container)
{
    CryptProv hProv;
    if (!CryptAcquireContextW(hProv.put(), wstrName.c_str(), opts.wstrCSP.c_str(), dwProvType, CRYPT_SILENT)) {
        container.Add("error", ErrorNode("CryptAcquireContext", GetLastError()));
        return;
    }
    Node& keys = container.Add("keys", Node::List());
    for (DWORD dwKeySpec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
        CryptKey hKey;
        const bool bKey = CryptGetUserKey(hProv.get(), dwKeySpec, hKey.put()) != FALSE;
        const DWORD dwError = bKey ? 0 : GetLastError();
        if (dwError == static_cast<DWORD>(NTE_NO_KEY)) continue;
        Node& key = keys.Push(Node::Map());
        key.Add("spec", Node::Number(dwKeySpec));
        key.Add("specName", Node::Text(KeySpecName(dwKeySpec)));
        if (!bKey) {
            key.Add("error", ErrorNode("CryptGetUserKey", dwError));
            continue;
        }
        key.Add("algId", Node::Text(HexDword(KeyDword(hKey.get(), KP_ALGID), 4)));
        key.Add("bits", Node::Number(KeyDword(hKey.get(), KP_KEYLEN)));
        key.Add("certificate", KeyCertificate(hKey.get()));
    }
}

bool RunContainers(const Options& opts, Node& report, Failure& failure)
{
    const DWORD dwProvType = ProviderTypeOf(opts);
    report.Add("csp", Node::Text(ToUtf8(opts.wstrCSP)));
    report.Add("type", Node::Number(dwProvType));
    std::vector<WString> names;
    {
        CryptProv hProv;
        if (!CryptAcquireContextW(hProv.put(), nullptr, opts.wstrCSP.c_str(), dwProvType, CRYPT_VERIFYCONTEXT))
            return Fail(failure, "CryptAcquireContext(CRYPT_VERIFYCONTEXT)", GetLastError());
        if (!EnumContainerNames(hProv.get(), names, failure)) return false;
    }
    Node& containers = report.Add("containers", Node::List());
    for (const WString& wstrName : names) {
        Node& container = containers.Push(Node::Map());
        container.Add("name", Node::Text(ToUtf8(wstrName)));
        DescribeContainer(opts, dwProvType, wstrName, container);
    }
    return true;
}

DWORD StoreLocationOf(const Options& opts)
{
    return opts.bMachine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
}

// The certificates of --file: one DER certificate or a DER PKCS#7 bundle, as an in-memory store.
bool OpenFileCertificates(const Options& opts, CertStore& hFileStore, Failure& failure)
{
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, opts.wstrFile.c_str(),
                          CERT_QUERY_CONTENT_FLAG_CERT | CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, hFileStore.put(), nullptr,
                          nullptr))
        return Fail(failure, "CryptQueryObject", GetLastError());
    return true;
}

// Adds every certificate of --file that the store lacks, and commits: a change to a system store lasts only
// once committed.
bool RunAdd(const Options& opts, Node& report, Failure& failure)
{
    CertStore hFileStore;
    if (!OpenFileCertificates(opts, hFileStore, failure)) return false;
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, StoreLocationOf(opts), opts.wstrStoreName.c_str()));
    if (!hStore) return Fail(failure, "CertOpenStore", GetLastError());
    report.Add("store", Node::Text(ToUtf8(opts.wstrStoreName)));
    Node& added = report.Add("added", Node::List());
    for (PCCERT_CONTEXT pCert = CertEnumCertificatesInStore(hFileStore.get(), nullptr); pCert != nullptr;
         pCert = CertEnumCertificatesInStore(hFileStore.get(), pCert)) {
        if (!CertAddCertificateContextToStore(hStore.get(), pCert, CERT_STORE_ADD_USE_EXISTING, nullptr)) {
            const DWORD dwError = GetLastError();
            CertFreeCertificateContext(pCert);
            return Fail(failure, "CertAddCertificateContextToStore", dwError);
        }
        added.Push(DescribeCertificate(pCert));
    }
    if (!CertControlStore(hStore.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr))
        return Fail(failure, "CertControlStore(CERT_STORE_CTRL_COMMIT)", GetLastError());
    return true;
}

// Deletes from the store every certificate equal to one of --file, and commits; a store that does not exist
// holds none of them.
bool RunRemove(const Options& opts, Node& report, Failure& failure)
{
    CertStore hFileStore;
    if (!OpenFileCertificates(opts, hFileStore, failure)) return false;
    report.Add("store", Node::Text(ToUtf8(opts.wstrStoreName)));
    Node& removed = report.Add("removed", Node::List());
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   StoreLocationOf(opts) | CERT_STORE_OPEN_EXISTING_FLAG, opts.wstrStoreName.c_str()));
    if (!hStore) {
        const DWORD dwError = GetLastError();
        return dwError == ERROR_FILE_NOT_FOUND ? true : Fail(failure, "CertOpenStore", dwError);
    }
    for (PCCERT_CONTEXT pCert = CertEnumCertificatesInStore(hFileStore.get(), nullptr); pCert != nullptr;
         pCert = CertEnumCertificatesInStore(hFileStore.get(), pCert)) {
        PCCERT_CONTEXT pFound =
            CertFindCertificateInStore(hStore.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                       pCert, nullptr);
        if (pFound == nullptr) continue;
        removed.Push(DescribeCertificate(pFound));
        // the deletion frees the context, whatever its outcome
        if (!CertDeleteCertificateFromStore(pFound)) {
            const DWORD dwError = GetLastError();
            CertFreeCertificateContext(pCert);
            return Fail(failure, "CertDeleteCertificateFromStore", dwError);
        }
    }
    if (!CertControlStore(hStore.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr))
        return Fail(failure, "CertControlStore(CERT_STORE_CTRL_COMMIT)", GetLastError());
    return true;
}

bool RunStore(const Options& opts, Node& report, Failure& failure)
{
    report.Add("store", Node::Text(ToUtf8(opts.wstrStoreName)));
    report.Add("location", Node::Text(opts.bMachine ? "LocalMachine" : "CurrentUser"));
    // Read-only, and never created: a store nobody has written to yet (the user's MY in a new profile) or a
    // misspelt name is reported as absent and empty.
    const DWORD dwFlags = (opts.bMachine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER) |
                          CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG;
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, dwFlags, opts.wstrStoreName.c_str()));
    if (!hStore) {
        const DWORD dwError = GetLastError();
        if (dwError != ERROR_FILE_NOT_FOUND) return Fail(failure, "CertOpenStore", dwError);
    }
    report.Add("exists", Node::Bool(static_cast<bool>(hStore)));
    Node& certificates = report.Add("certificates", Node::List());
    if (!hStore) return true;
    // the enumeration frees each context when it hands out the next, and the last when it ends
    for (PCCERT_CONTEXT pCert = CertEnumCertificatesInStore(hStore.get(), nullptr); pCert != nullptr;
         pCert = CertEnumCertificatesInStore(hStore.get(), pCert)) {
        Node& cert = certificates.Push(DescribeCertificate(pCert));
        cert.Add("keyProvider", DescribeKeyProvider(pCert));
    }
    return true;
}

struct HashName {
    const WCHAR* pwszName;
    ALG_ID algid;
};
constexpr HashName kHashes[] = {{TEXT("sha1"), CALG_SHA1}, {TEXT("sha256"), CALG_SHA_256}, {TEXT("sm3"), kSm3Hash}};

const HashName* HashOf(const WString& wstrHash)
{
    for (const HashName& hash : kHashes)
        if (EqualsIgnoringCase(wstrHash, hash.pwszName)) return &hash;
    return nullptr;
}

// DER SubjectPublicKeyInfo of the key, or empty when the provider cannot give it.
ByteBuffer PublicKeyInfo(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwKeySpec, bool bSm2)
{
    ByteBuffer vecSpki;
    DWORD cb = 0;
    if (bSm2) {
        ByteBuffer vecBlob;
        if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, nullptr, &cb) || !TryResize(vecBlob, cb) ||
            !CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, vecBlob.data(), &cb) || cb > vecBlob.size())
            return ByteBuffer();
        vecBlob.resize(cb);
        if (!Sm2PublicKeyInfo(vecBlob, vecSpki)) return ByteBuffer();
        return vecSpki;
    }
    ByteBuffer vecInfo;
    if (!CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING, nullptr, &cb) || !TryResize(vecInfo, cb) ||
        !CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING,
                                  reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(vecInfo.data()), &cb))
        return ByteBuffer();
    DWORD cbDer = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, vecInfo.data(), nullptr, &cbDer) ||
        !TryResize(vecSpki, cbDer) ||
        !CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, vecInfo.data(), vecSpki.data(), &cbDer) ||
        cbDer > vecSpki.size())
        return ByteBuffer();
    vecSpki.resize(cbDer);
    return vecSpki;
}

bool RunSign(const Options& opts, Node& report, Failure& failure)
{
    const DWORD dwProvType = ProviderTypeOf(opts);
    report.Add("csp", Node::Text(ToUtf8(opts.wstrCSP)));
    report.Add("container", Node::Text(ToUtf8(opts.wstrContainer)));
    report.Add("spec", Node::Number(opts.dwKeySpec));
    const HashName* pHash = HashOf(opts.wstrHash);
    if (pHash == nullptr) return Fail(failure, "hash algorithm", NTE_BAD_ALGID);
    report.Add("hash", Node::Text(ToUtf8(pHash->pwszName)));
    CryptProv hProv;
    if (!CryptAcquireContextW(hProv.put(), opts.wstrContainer.c_str(), opts.wstrCSP.c_str(), dwProvType, CRYPT_SILENT))
        return Fail(failure, "CryptAcquireContext", GetLastError());
    CryptKey hKey;
    if (!CryptGetUserKey(hProv.get(), opts.dwKeySpec, hKey.put()))
        return Fail(failure, "CryptGetUserKey", GetLastError());
    const ALG_ID algid = KeyDword(hKey.get(), KP_ALGID);
    const bool bSm2 = IsSm2(algid);
    report.Add("algId", Node::Text(HexDword(algid, 4)));

    CryptHash hHash;
    if (!CryptCreateHash(hProv.get(), pHash->algid, 0, 0, hHash.put()))
        return Fail(failure, "CryptCreateHash", GetLastError());
    if (!CryptHashData(hHash.get(), opts.vecData.data(), static_cast<DWORD>(opts.vecData.size()), 0))
        return Fail(failure, "CryptHashData", GetLastError());
    DWORD cb = 0;
    ByteBuffer vecSignature;
    if (!CryptSignHashW(hHash.get(), opts.dwKeySpec, nullptr, 0, nullptr, &cb))
        return Fail(failure, "CryptSignHash", GetLastError());
    if (!TryResize(vecSignature, cb)) return Fail(failure, "CryptSignHash", E_OUTOFMEMORY);
    if (!CryptSignHashW(hHash.get(), opts.dwKeySpec, nullptr, 0, vecSignature.data(), &cb) || cb > vecSignature.size())
        return Fail(failure, "CryptSignHash", GetLastError());
    vecSignature.resize(cb);

    if (bSm2) {
        if (vecSignature.size() != 2 * kSm2Coordinate)
            return Fail(failure, "SM2 signature of r and s", NTE_BAD_SIGNATURE);
        report.Add("signatureFormat", Node::Text("ECDSA-Sig-Value"));
        report.Add("signature", Node::Text(Hex(Sm2SignatureDer(vecSignature))));
    } else {
        const bool bRsa = GET_ALG_TYPE(algid) == ALG_TYPE_RSA;
        report.Add("signatureFormat", Node::Text(bRsa ? "PKCS#1 v1.5" : "big-endian"));
        report.Add("signature", Node::Text(Hex(Reversed(vecSignature.data(), vecSignature.size()))));
    }
    const ByteBuffer vecSpki = PublicKeyInfo(hProv.get(), hKey.get(), opts.dwKeySpec, bSm2);
    report.Add("publicKeyInfo", vecSpki.empty() ? Node::Null() : Node::Text(Hex(vecSpki)));
    return true;
}

enum class Presence { Present, Absent, Unknown };

Presence ContainerPresence(const Options& opts, DWORD dwProvType, DWORD& dwError)
{
    CryptProv hProv;
    if (CryptAcquireContextW(hProv.put(), opts.wstrContainer.c_str(), opts.wstrCSP.c_str(), dwProvType, CRYPT_SILENT))
        return Presence::Present;
    dwError = GetLastError();
    return dwError == static_cast<DWORD>(NTE_BAD_KEYSET) ? Presence::Absent : Presence::Unknown;
}

// SM2 tokens take their own flags value for a deletion.
constexpr DWORD kSm2DeleteKeySet = 0xFFFF0002;

bool RunDelete(const Options& opts, Node& report, Failure& failure)
{
    const DWORD dwProvType = ProviderTypeOf(opts);
    report.Add("csp", Node::Text(ToUtf8(opts.wstrCSP)));
    report.Add("container", Node::Text(ToUtf8(opts.wstrContainer)));
    report.Add("type", Node::Number(dwProvType));
    DWORD dwError = 0;
    switch (ContainerPresence(opts, dwProvType, dwError)) {
    case Presence::Present: break;
    case Presence::Absent: return Fail(failure, "no such container", dwError);
    case Presence::Unknown: return Fail(failure, "CryptAcquireContext", dwError);
    }
    struct Attempt {
        DWORD dwFlags;
        const char* pszName;
    };
    DWORD dwLastError = 0;
    for (const Attempt& attempt : {Attempt{CRYPT_DELETEKEYSET, "CRYPT_DELETEKEYSET"},
                                   Attempt{kSm2DeleteKeySet, "0xFFFF0002"}}) {
        if (attempt.dwFlags == CRYPT_DELETEKEYSET) {
            // after a deletion the handle is undefined: nothing to release
            HCRYPTPROV hDeleted = 0;
            if (!CryptAcquireContextW(&hDeleted, opts.wstrContainer.c_str(), opts.wstrCSP.c_str(), dwProvType,
                                      CRYPT_DELETEKEYSET))
                dwLastError = GetLastError();
        } else {
            // these flags are no deletion to the dispatcher, which hands out a context to release
            CryptProv hProv;
            if (!CryptAcquireContextW(hProv.put(), opts.wstrContainer.c_str(), opts.wstrCSP.c_str(), dwProvType,
                                      attempt.dwFlags))
                dwLastError = GetLastError();
        }
        switch (ContainerPresence(opts, dwProvType, dwError)) {
        case Presence::Absent: report.Add("deletedWith", Node::Text(attempt.pszName)); return true;
        case Presence::Present: break;
        case Presence::Unknown: return Fail(failure, "CryptAcquireContext", dwError);
        }
    }
    return Fail(failure, "container still present after deletion", dwLastError != 0 ? dwLastError : NTE_FAIL);
}

// ---- Arguments -----------------------------------------------------------------------------------------

const char kUsage[] =
    "usage: inspector <command> [options] [--json]\n"
    "  providers                                  registered providers and their types\n"
    "  containers --csp NAME [--type N]           key containers, their keys and attached certificates\n"
    "  store [--name MY] [--machine]              a system store's certificates and key-provider links\n"
    "  sign --csp NAME --container NAME --spec 1|2 --hash sha1|sha256|sm3 --data HEX [--type N]\n"
    "                                             signs with a container's key; prints the signature\n"
    "                                             (big-endian, DER for SM2) and the public key info\n"
    "  delete --csp NAME --container NAME [--type N]   deletes one key container\n"
    "  add --name NAME [--machine] --file PATH    adds the certificates of a DER certificate or PKCS#7\n"
    "                                             bundle to a system store, and commits\n"
    "  remove --name NAME [--machine] --file PATH deletes the store's copies of those certificates, and commits\n"
    "--type defaults to 24 for the Microsoft Enhanced RSA and AES Cryptographic Provider, else 1.\n"
    "--json prints one JSON object on stdout. Exit codes: 0 done, 1 operation failed, 2 usage.\n";

struct Command {
    const WCHAR* pwszName;
    std::vector<const WCHAR*> required;
    std::vector<const WCHAR*> optional;
    bool (*pfnRun)(const Options&, Node&, Failure&);
};

const std::vector<Command>& Commands()
{
    static const std::vector<Command> commands = {
        {TEXT("providers"), {}, {}, RunProviders},
        {TEXT("containers"), {TEXT("--csp")}, {TEXT("--type")}, RunContainers},
        {TEXT("store"), {}, {TEXT("--name"), TEXT("--machine")}, RunStore},
        {TEXT("sign"),
         {TEXT("--csp"), TEXT("--container"), TEXT("--spec"), TEXT("--hash"), TEXT("--data")},
         {TEXT("--type")},
         RunSign},
        {TEXT("delete"), {TEXT("--csp"), TEXT("--container")}, {TEXT("--type")}, RunDelete},
        {TEXT("add"), {TEXT("--name"), TEXT("--file")}, {TEXT("--machine")}, RunAdd},
        {TEXT("remove"), {TEXT("--name"), TEXT("--file")}, {TEXT("--machine")}, RunRemove},
    };
    return commands;
}

const std::vector<const WCHAR*> kValueOptions = {TEXT("--csp"),  TEXT("--type"), TEXT("--name"), TEXT("--container"),
                                                  TEXT("--spec"), TEXT("--hash"), TEXT("--data"), TEXT("--file")};

bool IsOneOf(const WString& wstr, const std::vector<const WCHAR*>& names)
{
    for (const WCHAR* pwsz : names)
        if (wstr == pwsz) return true;
    return false;
}

enum class ParseOutcome { Run, Help, Usage };

struct ParsedArgs {
    ParseOutcome outcome = ParseOutcome::Run;
    std::string error;
    const Command* pCommand = nullptr;
    Options opts;
};

// The first usage error is the one reported.
ParsedArgs& UsageError(ParsedArgs& parsed, const std::string& error)
{
    if (parsed.outcome != ParseOutcome::Usage) parsed.error = error;
    parsed.outcome = ParseOutcome::Usage;
    return parsed;
}

// Checks the option values of a known command and stores them in the options.
ParsedArgs& ReadValues(ParsedArgs& parsed, const std::vector<std::pair<WString, WString>>& values)
{
    Options& opts = parsed.opts;
    for (const auto& [wstrOption, wstrValue] : values) {
        const std::string option = ToUtf8(wstrOption);
        if (wstrOption == TEXT("--machine")) {
            opts.bMachine = true;
        } else if (wstrOption == TEXT("--csp") || wstrOption == TEXT("--container") || wstrOption == TEXT("--name") ||
                   wstrOption == TEXT("--file")) {
            if (wstrValue.empty()) return UsageError(parsed, option + " needs a non-empty value");
            WString& wstrTarget = wstrOption == TEXT("--csp")         ? opts.wstrCSP
                                  : wstrOption == TEXT("--container") ? opts.wstrContainer
                                  : wstrOption == TEXT("--file")      ? opts.wstrFile
                                                                      : opts.wstrStoreName;
            wstrTarget = wstrValue;
        } else if (wstrOption == TEXT("--type")) {
            if (!ParseDecimal(wstrValue, 0xFFFFFFFF, opts.dwProvType) || opts.dwProvType == 0)
                return UsageError(parsed, "--type takes a positive decimal provider type");
        } else if (wstrOption == TEXT("--spec")) {
            if (!ParseDecimal(wstrValue, 2, opts.dwKeySpec) || opts.dwKeySpec == 0)
                return UsageError(parsed, "--spec takes 1 (AT_KEYEXCHANGE) or 2 (AT_SIGNATURE)");
        } else if (wstrOption == TEXT("--hash")) {
            if (HashOf(wstrValue) == nullptr) return UsageError(parsed, "--hash takes sha1, sha256 or sm3");
            opts.wstrHash = wstrValue;
        } else if (wstrOption == TEXT("--data")) {
            if (!ParseHex(wstrValue, opts.vecData) || opts.vecData.size() > 0x7FFFFFFF)
                return UsageError(parsed, "--data takes an even number of hexadecimal digits");
        }
    }
    return parsed;
}

// --help anywhere wins over every usage error; otherwise the first usage error ends the parse.
ParsedArgs ParseArguments(int argc, WCHAR** argv)
{
    ParsedArgs parsed;
    WString wstrCommand;
    bool bHelp = false;
    std::vector<std::pair<WString, WString>> values;
    for (int i = 1; i < argc; ++i) {
        const WString wstrArg = argv[i];
        if (wstrArg == TEXT("--json")) {
            parsed.opts.bJson = true;
        } else if (wstrArg == TEXT("--help") || wstrArg == TEXT("-h")) {
            bHelp = true;
        } else if (wstrArg == TEXT("--machine")) {
            values.emplace_back(wstrArg, WString());
        } else if (IsOneOf(wstrArg, kValueOptions)) {
            if (i + 1 < argc)
                values.emplace_back(wstrArg, argv[++i]);
            else
                UsageError(parsed, ToUtf8(wstrArg) + " needs a value");
        } else if (wstrArg.size() > 1 && wstrArg[0] == '-') {
            UsageError(parsed, "unknown option " + ToUtf8(wstrArg));
        } else if (wstrCommand.empty()) {
            wstrCommand = wstrArg;
        } else {
            UsageError(parsed, "unexpected argument " + ToUtf8(wstrArg));
        }
    }
    if (bHelp) {
        parsed.outcome = ParseOutcome::Help;
        return parsed;
    }
    if (parsed.outcome == ParseOutcome::Usage) return parsed;
    if (wstrCommand.empty()) return UsageError(parsed, "no command");
    for (const Command& command : Commands())
        if (wstrCommand == command.pwszName) parsed.pCommand = &command;
    if (parsed.pCommand == nullptr) return UsageError(parsed, "unknown command " + ToUtf8(wstrCommand));
    parsed.opts.wstrCommand = wstrCommand;
    const std::string command = ToUtf8(wstrCommand);
    for (size_t i = 0; i < values.size(); ++i) {
        const WString& wstrOption = values[i].first;
        if (!IsOneOf(wstrOption, parsed.pCommand->required) && !IsOneOf(wstrOption, parsed.pCommand->optional))
            return UsageError(parsed, ToUtf8(wstrOption) + " does not apply to " + command);
        for (size_t j = 0; j < i; ++j)
            if (values[j].first == wstrOption) return UsageError(parsed, ToUtf8(wstrOption) + " given twice");
    }
    for (const WCHAR* pwszRequired : parsed.pCommand->required) {
        bool bGiven = false;
        for (const auto& value : values) bGiven = bGiven || value.first == pwszRequired;
        if (!bGiven) return UsageError(parsed, command + " needs " + ToUtf8(pwszRequired));
    }
    return ReadValues(parsed, values);
}

void WriteOut(FILE* pStream, const std::string& text)
{
    fwrite(text.data(), 1, text.size(), pStream);
    fflush(pStream);
}

}  // namespace

int wmain(int argc, WCHAR** argv)
{
    SetConsoleOutputCP(CP_UTF8);
    ParsedArgs parsed = ParseArguments(argc, argv);
    if (parsed.outcome == ParseOutcome::Help) {
        WriteOut(stdout, kUsage);
        return 0;
    }
    if (parsed.outcome == ParseOutcome::Usage) {
        WriteOut(stderr, "inspector: " + parsed.error + "\n" + kUsage);
        return 2;
    }
    const Options& opts = parsed.opts;
    Node report = Node::Map();
    report.Add("command", Node::Text(ToUtf8(opts.wstrCommand)));
    Failure failure;
    const bool bDone = parsed.pCommand->pfnRun(opts, report, failure);
    if (!bDone) {
        if (opts.bJson) {
            Node error = Node::Map();
            error.Add("command", Node::Text(ToUtf8(opts.wstrCommand)));
            error.Add("error", ErrorNode(failure));
            report = std::move(error);
        } else {
            WriteOut(stderr, "inspector " + ToUtf8(opts.wstrCommand) + ": " + failure.step + " failed: " +
                                 HexDword(failure.dwCode, 8) + " " + ErrorText(failure.dwCode) + "\n");
            return 1;
        }
    }
    std::string out;
    if (opts.bJson) {
        AppendJson(report, out);
        out += "\n";
    } else {
        AppendTextMap(report, 0, out);
    }
    WriteOut(stdout, out);
    return bDone ? 0 : 1;
}
