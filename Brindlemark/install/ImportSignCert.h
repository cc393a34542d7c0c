// Brindlemark/install/ImportSignCert.h — an issued signing certificate to the container that holds its key.
#pragma once
#include "Common.h"

// The issued certificate into the current user's MY store, linked to its key container; the provider
// handle stays the caller's and stays open.
HRESULT AddCertificateToSystemStore(const WString& wstrCSPName, CryptProv& hProv, const BYTE* pbCert, DWORD cbCert,
                                    DWORD dwKeySpec, const WString& wstrContainerName);
// A signing certificate to the container that holds its key: into MY with the key-provider link for a
// Microsoft CSP, as the key's certificate parameter for any other. The text loses its commas.
HRESULT ImportSignCert(const WString& wstrKeyAlgorithm, WString& wstrSignCert, DWORD dwKeySpec,
                       const WString& wstrCSPName, const WString& wstrContainerName);
