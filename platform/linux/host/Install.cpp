// platform/linux/host/Install.cpp — BrindlemarkInstall, the installing party on Linux: what the plug-in's
// install entry does on Windows, into the user's NSS database (BM_NSSDB, or ~/.pki/nssdb): the withdrawn CA
// certificates out first, then the four chains in (roots trusted "C,,", intermediates ",,"). Every step runs
// whatever the one before it returned; the exit code says whether all of them succeeded, and each failure
// is named on stderr as well as in the trace. With --check it installs nothing and answers whether the
// database holds the RSA chains, as the plug-in's chain check does (exit 0 good, 1 not).
#include "Brindlemark/Common.h"
#include "Brindlemark/ResultCode.h"
#include "agent/CryptoAgent.h"
#include "chain/CertificateChainDelete.h"
#include "chain/CertificateChainOperate.h"
#include "resources/ChainResources.h"
#include "trace/TraceHelper.h"

#include <objbase.h>

#include <cstdio>
#include <cstring>

namespace {

struct InstallStep {
    const char* pszName;
    const WCHAR* pwszStep;  // the install entry's own step text
    HRESULT (*pfnRun)();
};

const InstallStep kSteps[] = {
    {"DeleteRSADiscardCert", TEXT("DeleteRSADiscardCert"), DeleteRSADiscardCert},
    {"DeleteSM2DiscardCert", TEXT("DeleteSM2DiscardCert"), DeleteSM2DiscardCert},
    {"ImportCertificateChainfromResoure(IDR_RSA_CERTIFICATE_CHAIN)", TEXT("ImportCertificateChainfromResoure"),
     [] { return ImportCertificateChainfromResoure(IDR_RSA_CERTIFICATE_CHAIN); }},
    {"ImportCertificateChainfromResoure(IDR_TEST_RSA_CERTIFICATE_CHAIN)", TEXT("ImportCertificateChainfromResoure"),
     [] { return ImportCertificateChainfromResoure(IDR_TEST_RSA_CERTIFICATE_CHAIN); }},
    {"ImportCertificateChainfromResoure(IDR_SM2_CERTIFICATE_CHAIN)",
     TEXT("ImportCertificateChainfromResoure(IDR_SM2_CERTIFICATE_CHAIN)"),
     [] { return ImportCertificateChainfromResoure(IDR_SM2_CERTIFICATE_CHAIN); }},
    {"ImportCertificateChainfromResoure(IDR_TEST_SM2_CERTIFICATE_CHAIN)",
     TEXT("ImportCertificateChainfromResoure(IDR_TEST_SM2_CERTIFICATE_CHAIN)"),
     [] { return ImportCertificateChainfromResoure(IDR_TEST_SM2_CERTIFICATE_CHAIN); }},
};

int CheckChains()
{
    SetResourceModule(GetModuleHandleW(nullptr));
    CCryptoAgent agent;
    VARIANT_BOOL bGood = VARIANT_FALSE;
    const HRESULT hResult = agent.QORA_CheckCertificateChain(&bGood);
    // A certificate the check does not find fails it: the chains are not (all) there.
    if (SUCCEEDED(hResult) && bGood == VARIANT_TRUE) {
        printf("the chains are installed\n");
        return 0;
    }
    printf("the chains are not installed (0x%08X)\n", static_cast<unsigned>(hResult));
    return 1;
}

}  // namespace

int main(int argc, char* argv[])
{
    TraceInitialize();
    if (argc == 2 && strcmp(argv[1], "--check") == 0) {
        const int nCode = CheckChains();
        TraceUninitialize();
        return nCode;
    }
    if (argc != 1) {
        fprintf(stderr, "usage: BrindlemarkInstall [--check]\n");
        TraceUninitialize();
        return 2;
    }
    int nFailed = 0;
    {
        TraceHelper scope(TEXT("NP_Install"));
        // The chain installation makes its XML documents through COM, as the installer's thread owns it there.
        const HRESULT hrCom = CoInitialize(nullptr);
        for (const InstallStep& step : kSteps) {
            const HRESULT hResult = FAILED(hrCom) ? hrCom : step.pfnRun();
            if (STEP_FAILED_REASON(FAILED(hResult), hResult, step.pwszStep, TEXT("FAILED(hResult)"))) {
                ++nFailed;
                fprintf(stderr, "BrindlemarkInstall: %s failed: 0x%08X\n", step.pszName, static_cast<unsigned>(hResult));
            }
        }
        if (SUCCEEDED(hrCom)) CoUninitialize();
    }
    TraceUninitialize();
    return nFailed == 0 ? 0 : 1;
}
