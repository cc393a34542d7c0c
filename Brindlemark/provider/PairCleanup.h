// Brindlemark/provider/PairCleanup.h — removing the containers of a key pair that cannot be completed.
#pragma once
#include "Common.h"

// Deletes the containers of a pair that cannot be completed; each non-empty name, first then second, with
// the provider type the CSP is registered with. Outcomes are traced and otherwise ignored: always QORA_OK.
HRESULT DeleteMultiCertContainer(WString wstrFirstContainer, WString wstrSecondContainer, WString wstrCSPName);
