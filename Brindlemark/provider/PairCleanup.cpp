// Brindlemark/provider/PairCleanup.cpp — removing the containers of a key pair that cannot be completed.
#include "provider/PairCleanup.h"

#include "ResultCode.h"
#include "provider/CspEnumeration.h"
#include "trace/TraceHelper.h"

HRESULT DeleteMultiCertContainer(WString wstrFirstContainer, WString wstrSecondContainer, WString wstrCSPName)
{
    TraceHelper scope(TEXT("DeleteMultiCertContainer"));
    TRACE_INFO_TEXT("wstrFirstContainer", wstrFirstContainer.c_str());
    TRACE_INFO_TEXT("wstrSecondContainer", wstrSecondContainer.c_str());
    const struct {
        const WString* pwstrContainer;
        const WCHAR* pwszStep;
    } rgContainers[] = {{&wstrFirstContainer, TEXT("CryptAcquireContext-DeleteKeySetRSA")},
                        {&wstrSecondContainer, TEXT("CryptAcquireContext-DeleteKeySetSM2")}};
    // The AES provider refuses its containers to any other provider type.
    const DWORD dwProvType = RegisteredProviderType(wstrCSPName);
    for (const auto& container : rgContainers) {
        if (container.pwstrContainer->empty()) continue;
        HCRYPTPROV hProv = 0;
        const BOOL bDeleted = CryptAcquireContextW(&hProv, container.pwstrContainer->c_str(), wstrCSPName.c_str(),
                                                   dwProvType, CRYPT_DELETEKEYSET);
        STEP_FAILED_REASON(bDeleted == FALSE, ResultFromLastError(), container.pwszStep, TEXT("bRetCode == FALSE"));
    }
    return QORA_OK;
}
