// tools/inspector/Failures.cpp — the failed step of a command and its code, with the code's text.
#include "Failures.h"

#include "Text.h"

namespace inspector {

bool Fail(Failure& failure, const char* pszStep, DWORD dwCode)
{
    failure.step = pszStep;
    failure.dwCode = dwCode != 0 ? dwCode : static_cast<DWORD>(E_FAIL);
    return false;
}

// Wine has no system text for the providers' codes; their names say more than a bare number.
namespace {

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

}  // namespace

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

}  // namespace inspector
