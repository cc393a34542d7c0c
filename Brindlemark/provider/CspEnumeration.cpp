// Brindlemark/provider/CspEnumeration.cpp — the CSPs installed on this computer, as the platform lists them.
#include "provider/CspEnumeration.h"

#include "ResultCode.h"
#include "trace/TraceHelper.h"

namespace {

// A provider layer that never reports the end of its list must not hold a call for ever.
constexpr DWORD kMaxProviderIndexes = 1024;

}  // namespace

DWORD RegisteredProviderType(const WString& wstrCSPName)
{
    for (DWORD dwIndex = 0; dwIndex < kMaxProviderIndexes; ++dwIndex) {
        DWORD dwType = 0, cbName = 0;
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwType, nullptr, &cbName)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
            continue;
        }
        std::vector<WCHAR> vecName;
        if (!TryResize(vecName, cbName / sizeof(WCHAR) + 1)) break;
        DWORD cbFetched = static_cast<DWORD>((vecName.size() - 1) * sizeof(WCHAR));
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwType, vecName.data(), &cbFetched)) continue;
        vecName.back() = 0;
        if (wstrCSPName == vecName.data()) return dwType;
    }
    return PROV_RSA_FULL;
}

HRESULT GetAllCSPName(WString& wstrAllCSPName)
{
    TraceHelper scope(TEXT("GetAllCSPName"));
    WString wstrList;
    for (DWORD dwIndex = 0; dwIndex < kMaxProviderIndexes; ++dwIndex) {
        DWORD dwType = 0, cbName = 0;
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwType, nullptr, &cbName)) {
            const DWORD dwError = GetLastError();
            if (dwError == ERROR_NO_MORE_ITEMS) break;
            // One provider that cannot be read does not hide the others.
            TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("CryptEnumProviders(size)"), TEXT("!bResult"),
                             ResultFromError(static_cast<LONG>(dwError)));
            continue;
        }
        std::vector<WCHAR> vecName;
        FAIL_IF_REASON(!TryResize(vecName, cbName / sizeof(WCHAR) + 1), E_OUTOFMEMORY, TEXT("New buffer"),
                       TEXT("!pwstrProvName"));
        DWORD cbFetched = static_cast<DWORD>((vecName.size() - 1) * sizeof(WCHAR));
        const BOOL bResult = CryptEnumProvidersW(dwIndex, nullptr, 0, &dwType, vecName.data(), &cbFetched);
        FAIL_IF(!bResult, ResultFromLastError(), TEXT("CryptEnumProviders"));
        vecName.back() = 0;
        if (!wstrList.empty()) wstrList += TEXT("||");
        wstrList += vecName.data();
    }
    TRACE_INFO_TEXT("wstrAllCSPName", wstrList.c_str());
    wstrAllCSPName.swap(wstrList);
    return QORA_OK;
}
