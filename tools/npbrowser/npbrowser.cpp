// tools/npbrowser/npbrowser.cpp — the test browser: loads a plug-in DLL the way a browser on Windows does,
// embeds it, drives its scriptable objects from a script of JSON lines and checks, when it leaves, that the
// plug-in gave back every object and every block of browser memory.
//
//   npbrowser --plugin <dll> [--script <file>|-] [--cycles <n>]
//             [--plugin-table-size <n>] [--browser-table-size <n>] [--browser-version <n>]
//   npbrowser --plugin <dll> --install [--no-com]
//
// With --install it is the plug-in's installer instead: it loads the DLL, prepares the machine's trusted-root
// store, initialises COM on its thread (unless --no-com) and calls the install entry, then prints one line.
//
// Exit codes: 0 done; 1 usage; 2 an object or a block of browser memory left over, or misused; 3 script steps
// that did not go as the script expected; 4 the plug-in could not be registered, loaded or initialised.
#include "Common.h"
#include "ResultCode.h"
#include "codec/Misc.h"
#include "tools/npbrowser/AllocationCounter.h"
#include "tools/npbrowser/BrowserFuncs.h"
#include "tools/npbrowser/BrowserSession.h"
#include "tools/npbrowser/PluginLibrary.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace {

constexpr int kExitDone = 0;
constexpr int kExitUsage = 1;
constexpr int kExitLeftOver = 2;
constexpr int kExitScript = 3;
constexpr int kExitPlugin = 4;

struct Options {
    WString wstrPlugin;
    WString wstrScript;
    int nCycles = 0;
    std::optional<uint16_t> nPluginTableSize;
    std::optional<uint16_t> nBrowserTableSize;
    std::optional<uint16_t> nBrowserVersion;
    bool bInstall = false;
    bool bNoCom = false;
};

using NP_InstallFunc = void(WINAPI*)(void);

bool ReadNumber(const WCHAR* pwsz, long lMax, long& lValue)
{
    std::string str;
    if (FAILED(UTF16ToUTF8(pwsz, str)) || str.empty()) return false;
    char* pszEnd = nullptr;
    lValue = strtol(str.c_str(), &pszEnd, 0);
    return pszEnd != nullptr && *pszEnd == 0 && lValue >= 0 && lValue <= lMax;
}

bool ParseOptions(int argc, WCHAR* argv[], Options& stOptions)
{
    for (int n = 1; n < argc; ++n) {
        const WString wstrName = argv[n];
        if (wstrName == TEXT("--install")) {
            stOptions.bInstall = true;
            continue;
        }
        if (wstrName == TEXT("--no-com")) {
            stOptions.bNoCom = true;
            continue;
        }
        if (n + 1 >= argc) return false;
        const WCHAR* pwszValue = argv[++n];
        long lValue = 0;
        if (wstrName == TEXT("--plugin")) {
            stOptions.wstrPlugin = pwszValue;
        } else if (wstrName == TEXT("--script")) {
            stOptions.wstrScript = pwszValue;
        } else if (wstrName == TEXT("--cycles") && ReadNumber(pwszValue, 10000000, lValue)) {
            stOptions.nCycles = static_cast<int>(lValue);
        } else if (wstrName == TEXT("--plugin-table-size") && ReadNumber(pwszValue, 0xFFFF, lValue)) {
            stOptions.nPluginTableSize = static_cast<uint16_t>(lValue);
        } else if (wstrName == TEXT("--browser-table-size") && ReadNumber(pwszValue, 0xFFFF, lValue)) {
            stOptions.nBrowserTableSize = static_cast<uint16_t>(lValue);
        } else if (wstrName == TEXT("--browser-version") && ReadNumber(pwszValue, 0xFFFF, lValue)) {
            stOptions.nBrowserVersion = static_cast<uint16_t>(lValue);
        } else {
            return false;
        }
    }
    // The installer takes none of the browser's options.
    const bool bBrowserOptions = !stOptions.wstrScript.empty() || stOptions.nCycles > 0 || stOptions.nPluginTableSize ||
                                 stOptions.nBrowserTableSize || stOptions.nBrowserVersion;
    if (stOptions.bInstall && bBrowserOptions) return false;
    if (stOptions.bNoCom && !stOptions.bInstall) return false;
    return !stOptions.wstrPlugin.empty();
}

void PrintRegistration(const std::map<std::string, std::string>& mapStrings)
{
    cJSON* pLine = cJSON_CreateObject();
    cJSON* pStrings = cJSON_AddObjectToObject(pLine, "registration");
    for (const auto& [strName, strValue] : mapStrings) cJSON_AddStringToObject(pStrings, strName.c_str(), strValue.c_str());
    npbrowser::PrintLine(pLine);
}

void PrintEntry(const char* pszName, NPError err, const char* pszExtraName = nullptr, double dExtra = 0)
{
    cJSON* pLine = cJSON_CreateObject();
    cJSON_AddStringToObject(pLine, "event", pszName);
    cJSON_AddNumberToObject(pLine, "npError", err);
    if (pszExtraName != nullptr) cJSON_AddNumberToObject(pLine, pszExtraName, dExtra);
    npbrowser::PrintLine(pLine);
}

// The accounting at the end: a left-over object or block, or a misuse, fails the run.
bool PrintSummary()
{
    const npbrowser::Accounting& stAccounting = npbrowser::CurrentAccounting();
    cJSON* pLine = cJSON_CreateObject();
    cJSON* pSummary = cJSON_AddObjectToObject(pLine, "summary");
    cJSON_AddNumberToObject(pSummary, "liveBlocks", static_cast<double>(stAccounting.nLiveBlocks));
    cJSON_AddNumberToObject(pSummary, "liveObjects", static_cast<double>(stAccounting.nLiveObjects));
    cJSON_AddNumberToObject(pSummary, "objectsCreated", static_cast<double>(stAccounting.nObjectsCreated));
    cJSON_AddNumberToObject(pSummary, "objectsDeallocated", static_cast<double>(stAccounting.nObjectsDeallocated));
    cJSON_AddNumberToObject(pSummary, "pluginMemFree", static_cast<double>(stAccounting.nPluginMemFree));
    cJSON_AddNumberToObject(pSummary, "misuses", static_cast<double>(stAccounting.nMisuses));
    cJSON* pUnexpected = cJSON_AddArrayToObject(pSummary, "unexpectedCalls");
    for (const std::string& strName : stAccounting.vecUnexpected)
        cJSON_AddItemToArray(pUnexpected, cJSON_CreateString(strName.c_str()));
    npbrowser::PrintLine(pLine);
    return stAccounting.nLiveBlocks == 0 && stAccounting.nLiveObjects == 0 && stAccounting.nMisuses == 0;
}

int RunBrowser(const Options& stOptions)
{
    std::map<std::string, std::string> mapRegistration;
    if (FAILED(npbrowser::ReadRegistration(stOptions.wstrPlugin, mapRegistration))) {
        fprintf(stderr, "npbrowser: the plug-in has no version resource\n");
        return kExitPlugin;
    }
    PrintRegistration(mapRegistration);
    const auto itMIMEType = mapRegistration.find("MIMEType");
    if (itMIMEType == mapRegistration.end() || itMIMEType->second.empty()) {
        fprintf(stderr, "npbrowser: the version resource names no MIME type\n");
        return kExitPlugin;
    }

    npbrowser::PluginLibrary library;
    const HRESULT hrLoad = library.Load(stOptions.wstrPlugin);
    if (FAILED(hrLoad)) {
        fprintf(stderr, "npbrowser: cannot load the plug-in (0x%08lx)\n", static_cast<unsigned long>(hrLoad));
        return kExitPlugin;
    }
    if (stOptions.nCycles > 0 && !npbrowser::CountAllocationsOf(library.Module()))
        fprintf(stderr, "npbrowser: the plug-in's heap blocks cannot be counted\n");
    if (library.GetMIMEDescription() != nullptr) {
        const char* pszDescription = library.GetMIMEDescription()();
        cJSON* pLine = cJSON_CreateObject();
        cJSON_AddStringToObject(pLine, "mimeDescription", pszDescription != nullptr ? pszDescription : "");
        npbrowser::PrintLine(pLine);
    }

    NPPluginFuncs stPluginFuncs = {};
    stPluginFuncs.size = stOptions.nPluginTableSize.value_or(sizeof(NPPluginFuncs));
    const NPError errEntryPoints = library.GetEntryPoints()(&stPluginFuncs);
    PrintEntry("NP_GetEntryPoints", errEntryPoints, "version", stPluginFuncs.version);

    NPNetscapeFuncs stBrowserFuncs;
    npbrowser::FillBrowserFuncs(stBrowserFuncs);
    if (stOptions.nBrowserTableSize) stBrowserFuncs.size = *stOptions.nBrowserTableSize;
    if (stOptions.nBrowserVersion) stBrowserFuncs.version = *stOptions.nBrowserVersion;
    const NPError errInitialize = library.Initialize()(&stBrowserFuncs);
    PrintEntry("NP_Initialize", errInitialize);
    if (errEntryPoints != NPERR_NO_ERROR || errInitialize != NPERR_NO_ERROR) {
        // A browser that could not initialise a plug-in does not shut it down either.
        return kExitPlugin;
    }

    int nScriptFailures = 0;
    bool bCyclesGood = true;
    {
        npbrowser::BrowserSession session(stPluginFuncs, itMIMEType->second);
        if (!stOptions.wstrScript.empty()) {
            FILE* pScript = stOptions.wstrScript == TEXT("-") ? stdin : _wfopen(stOptions.wstrScript.c_str(), TEXT("rb"));
            if (pScript == nullptr) {
                fprintf(stderr, "npbrowser: cannot open the script\n");
                nScriptFailures = 1;
            } else {
                nScriptFailures = session.RunScript(pScript);
                if (pScript != stdin) fclose(pScript);
            }
        }
        if (stOptions.nCycles > 0) bCyclesGood = session.RunCycles(stOptions.nCycles);
        session.DestroyAll();
    }
    PrintEntry("NP_Shutdown", library.Shutdown()());

    if (!PrintSummary()) return kExitLeftOver;
    return nScriptFailures == 0 && bCyclesGood ? kExitDone : kExitScript;
}

void AddResult(cJSON* pLine, const char* pszName, HRESULT hResult)
{
    char szCode[16];
    snprintf(szCode, sizeof(szCode), "0x%08lx", static_cast<unsigned long>(hResult));
    cJSON_AddStringToObject(pLine, pszName, szCode);
}

// What an installer does: no browser entry point is called, only the install entry, on a thread whose COM the
// installer owns. The machine's "Root" store is opened and closed once first: Wine creates its registry key
// only then (Windows always has it), and the install entry writes roots below that key.
int RunInstall(const Options& stOptions)
{
    npbrowser::PluginLibrary library;
    const HRESULT hrLoad = library.LoadModule(stOptions.wstrPlugin);
    if (FAILED(hrLoad)) {
        fprintf(stderr, "npbrowser: cannot load the plug-in (0x%08lx)\n", static_cast<unsigned long>(hrLoad));
        return kExitPlugin;
    }
    const NP_InstallFunc pfnInstall = library.ExportAs<NP_InstallFunc>("NP_Install");
    if (pfnInstall == nullptr) {
        fprintf(stderr, "npbrowser: the plug-in has no NP_Install export\n");
        return kExitPlugin;
    }

    cJSON* pLine = cJSON_CreateObject();
    cJSON_AddStringToObject(pLine, "event", "NP_Install");
    {
        CertStore hRoot(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("Root")));
        AddResult(pLine, "machineRootStore", hRoot ? QORA_OK : ResultFromLastError());
    }
    HRESULT hrCom = S_FALSE;
    if (stOptions.bNoCom) {
        cJSON_AddNullToObject(pLine, "coInitialize");
    } else {
        hrCom = CoInitialize(nullptr);
        AddResult(pLine, "coInitialize", hrCom);
    }
    pfnInstall();
    if (!stOptions.bNoCom && SUCCEEDED(hrCom)) CoUninitialize();
    npbrowser::PrintLine(pLine);
    return kExitDone;
}

}  // namespace

int wmain(int argc, WCHAR* argv[])
{
    Options stOptions;
    if (!ParseOptions(argc, argv, stOptions)) {
        fprintf(stderr,
                "usage: npbrowser --plugin <dll> [--script <file>|-] [--cycles <n>] [--plugin-table-size <n>] "
                "[--browser-table-size <n>] [--browser-version <n>]\n"
                "       npbrowser --plugin <dll> --install [--no-com]\n");
        return kExitUsage;
    }
    return stOptions.bInstall ? RunInstall(stOptions) : RunBrowser(stOptions);
}
