// platform/linux/src/system/Containers.h — what crypt32 needs to know of the providers' containers: in the
// native build a container is the set of private keys in the NSS database whose nickname is its name, one
// per key spec, and it remembers the provider name it was made under (all four Microsoft names keep their
// keys in the database's own token).
#pragma once
#include <windows.h>

#include <string>

struct SECKEYPrivateKeyStr;

// The provider name the container was made under; false when no such container exists.
bool ContainerProviderName(const std::string& strContainer, std::basic_string<WCHAR>& wstrProvider);

// The container and key spec (AT_KEYEXCHANGE or AT_SIGNATURE) a private key of the database belongs to;
// false for a key no container holds.
bool ContainerOfKey(SECKEYPrivateKeyStr* pKey, std::string& strContainer, DWORD& dwKeySpec);
