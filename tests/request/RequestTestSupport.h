// Helpers of the request tests: byte literals, a small DER walker, and the key containers of a CSP.
#pragma once
#include "Common.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace reqtest {

// "30 0F 31" -> {0x30, 0x0F, 0x31}
inline ByteBuffer Hex(const char* psz)
{
    ByteBuffer vec;
    int nHigh = -1;
    for (; *psz; ++psz) {
        char c = *psz;
        int n = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
        if (n < 0) continue;
        if (nHigh < 0) {
            nHigh = n;
        } else {
            vec.push_back(static_cast<BYTE>(nHigh * 16 + n));
            nHigh = -1;
        }
    }
    return vec;
}

inline std::string ToHex(const ByteBuffer& vec)
{
    std::string str;
    char sz[4];
    for (BYTE b : vec) {
        snprintf(sz, sizeof(sz), "%02X ", b);
        str += sz;
    }
    if (!str.empty()) str.pop_back();
    return str;
}

inline ByteBuffer Concat(std::initializer_list<ByteBuffer> parts)
{
    ByteBuffer vec;
    for (const ByteBuffer& part : parts) vec.insert(vec.end(), part.begin(), part.end());
    return vec;
}

inline std::string Narrow(const WString& wstr)
{
    std::string str;
    for (WCHAR c : wstr) str.push_back(static_cast<char>(c));
    return str;
}

// One element of a DER buffer; the walker never reads outside what it was given.
struct Der {
    BYTE tag = 0;
    ByteBuffer whole;     // tag, length octets, contents
    ByteBuffer contents;  // contents alone
    bool ok = false;
};

// The element at the start of the bytes; ok is false for a bad or truncated header.
inline Der ReadDer(const BYTE* pb, size_t cb)
{
    Der der;
    if (cb < 2) return der;
    size_t pos = 2;
    size_t len = pb[1];
    if (len >= 0x80) {
        size_t n = len & 0x7F;
        if (n == 0 || n > 4 || cb < 2 + n) return der;
        len = 0;
        for (size_t i = 0; i < n; ++i) len = (len << 8) | pb[pos++];
    }
    if (len > cb - pos) return der;
    der.tag = pb[0];
    der.contents.assign(pb + pos, pb + pos + len);
    der.whole.assign(pb, pb + pos + len);
    der.ok = true;
    return der;
}
inline Der ReadDer(const ByteBuffer& vec) { return ReadDer(vec.data(), vec.size()); }

// The elements inside a constructed element; an empty result with ok false on any malformed child.
inline std::vector<Der> Children(const Der& parent, bool* pbOk = nullptr)
{
    std::vector<Der> children;
    size_t pos = 0;
    bool bOk = parent.ok;
    while (bOk && pos < parent.contents.size()) {
        Der child = ReadDer(parent.contents.data() + pos, parent.contents.size() - pos);
        if (!child.ok) {
            bOk = false;
            break;
        }
        pos += child.whole.size();
        children.push_back(child);
    }
    if (pbOk) *pbOk = bOk;
    if (!bOk) children.clear();
    return children;
}

// ---- Key containers --------------------------------------------------------------------------------

struct ProviderCase {
    const WCHAR* pwszName;
    DWORD dwType;
};

inline const std::vector<ProviderCase>& MicrosoftProviders()
{
    static const std::vector<ProviderCase> providers = {
        {TEXT("Microsoft Base Cryptographic Provider v1.0"), PROV_RSA_FULL},
        {TEXT("Microsoft Enhanced Cryptographic Provider v1.0"), PROV_RSA_FULL},
        {TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider"), PROV_RSA_AES},
    };
    return providers;
}

inline std::set<WString> EnumContainers(const WCHAR* pwszCSP, DWORD dwType)
{
    std::set<WString> names;
    CryptProv hProv;
    if (!CryptAcquireContextW(hProv.put(), nullptr, pwszCSP, dwType, CRYPT_VERIFYCONTEXT)) {
        ADD_FAILURE() << "CryptAcquireContext(VERIFYCONTEXT) " << std::hex << GetLastError();
        return names;
    }
    DWORD dwFlags = CRYPT_FIRST;
    for (;;) {
        char szName[1024] = {};
        DWORD cb = sizeof(szName);
        if (!CryptGetProvParam(hProv.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(szName), &cb, dwFlags)) break;
        dwFlags = CRYPT_NEXT;
        WString wstr;
        for (const char* p = szName; *p; ++p) wstr.push_back(static_cast<WCHAR>(static_cast<BYTE>(*p)));
        names.insert(wstr);
    }
    return names;
}

inline void DeleteContainer(const WString& wstrName, const WCHAR* pwszCSP, DWORD dwType)
{
    HCRYPTPROV hProv = 0;
    CryptAcquireContextW(&hProv, wstrName.c_str(), pwszCSP, dwType, CRYPT_DELETEKEYSET);
}

// Removes, when it goes, every container of the CSP that did not exist when it was made.
class ContainerSweeper {
public:
    ContainerSweeper(const WCHAR* pwszCSP, DWORD dwType)
        : m_pwszCSP(pwszCSP), m_dwType(dwType), m_before(EnumContainers(pwszCSP, dwType))
    {
    }
    ~ContainerSweeper()
    {
        for (const WString& wstr : NewContainers()) DeleteContainer(wstr, m_pwszCSP, m_dwType);
    }
    std::set<WString> NewContainers() const
    {
        std::set<WString> now = EnumContainers(m_pwszCSP, m_dwType);
        std::set<WString> added;
        for (const WString& wstr : now)
            if (!m_before.count(wstr)) added.insert(wstr);
        return added;
    }

private:
    const WCHAR* m_pwszCSP;
    DWORD m_dwType;
    std::set<WString> m_before;
};

}  // namespace reqtest
