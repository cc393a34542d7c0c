// Brindlemark/provider/CspEnumeration.h — the CSPs installed on this computer, as the platform lists them.
#pragma once
#include "Common.h"

// Every installed CSP's name, in the platform's order, joined by "||"; empty when there are none.
HRESULT GetAllCSPName(WString& wstrAllCSPName);

// The provider type a step opens a container with by the CSP's name: 24 (PROV_RSA_AES) when the name contains
// the AES provider's name (case-sensitive), else 1 (PROV_RSA_FULL). The classic import's temporary key is opened
// by a shorter text.
constexpr WCHAR kAesProviderName[] = TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider");
inline DWORD ProviderTypeOfName(const WString& wstrCSPName, const WCHAR* pwszAesName = kAesProviderName)
{
    return wstrCSPName.find(pwszAesName) != WString::npos ? PROV_RSA_AES : PROV_RSA_FULL;
}

// The provider type a CSP is registered with; PROV_RSA_FULL for a name not registered.
DWORD RegisteredProviderType(const WString& wstrCSPName);
