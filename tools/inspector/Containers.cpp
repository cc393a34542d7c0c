// tools/inspector/Containers.cpp — the providers, a provider's key containers with their keys, and the deletion of
// one container.
#include "Commands.h"

#include "Certificates.h"
#include "Text.h"

#include <algorithm>
#include <cstring>

namespace inspector {

namespace {

const char* KeySpecName(DWORD dwKeySpec) { return dwKeySpec == AT_KEYEXCHANGE ? "AT_KEYEXCHANGE" : "AT_SIGNATURE"; }

}  // namespace

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

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace inspector
