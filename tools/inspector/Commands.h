// tools/inspector/Commands.h — the options every command reads and the commands themselves; each fills the report or
// records its failure.
#pragma once
#include "Failures.h"
#include "Report.h"

namespace inspector {

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

DWORD ProviderTypeOf(const Options& opts);
DWORD KeyDword(HCRYPTKEY hKey, DWORD dwParam);

struct HashName {
    const WCHAR* pwszName;
    ALG_ID algid;
};
// The hash of a --hash name, or null.
const HashName* HashOf(const WString& wstrHash);

// Providers and key containers (Containers.cpp).
bool RunProviders(const Options& opts, Node& report, Failure& failure);
bool RunContainers(const Options& opts, Node& report, Failure& failure);
bool RunDelete(const Options& opts, Node& report, Failure& failure);
// A system store's certificates (Stores.cpp).
bool RunStore(const Options& opts, Node& report, Failure& failure);
bool RunAdd(const Options& opts, Node& report, Failure& failure);
bool RunRemove(const Options& opts, Node& report, Failure& failure);
// A signature with a container's key (Sign.cpp).
bool RunSign(const Options& opts, Node& report, Failure& failure);

}  // namespace inspector
