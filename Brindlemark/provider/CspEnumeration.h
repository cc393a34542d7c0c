// Brindlemark/provider/CspEnumeration.h — the CSPs installed on this computer, as the platform lists them.
#pragma once
#include "Common.h"

// Every installed CSP's name, in the platform's order, joined by "||"; empty when there are none.
HRESULT GetAllCSPName(WString& wstrAllCSPName);

// The provider type a CSP is registered with; PROV_RSA_FULL for a name not registered.
DWORD RegisteredProviderType(const WString& wstrCSPName);
