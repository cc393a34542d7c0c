// tools/npbrowser/PluginLibrary.h — a plug-in DLL as a browser on Windows finds and loads it: the registration
// strings of its version resource, then its exports.
#pragma once
#include "Common.h"
#include "plugin/NpApi.h"

#include <map>
#include <string>

namespace npbrowser {

// The version resource's strings a browser registers a plug-in with ("MIMEType", "FileExtents",
// "FileOpenName", "ProductName", "FileVersion", "ProductVersion"), as UTF-8; absent values are left out.
// E_FAIL when the file has no version resource.
HRESULT ReadRegistration(const WString& wstrPath, std::map<std::string, std::string>& mapStrings);

class PluginLibrary {
public:
    PluginLibrary() = default;
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // Loads the DLL and finds the three browser exports; the MIME description export is optional.
    HRESULT Load(const WString& wstrPath);
    // Loads the DLL and nothing more, as an installer does before it looks up the one export it calls.
    HRESULT LoadModule(const WString& wstrPath);

    NP_GetEntryPointsFunc GetEntryPoints() const { return m_pfnGetEntryPoints; }
    NP_InitializeFunc Initialize() const { return m_pfnInitialize; }
    NP_ShutdownFunc Shutdown() const { return m_pfnShutdown; }
    NP_GetMIMEDescriptionFunc GetMIMEDescription() const { return m_pfnGetMIMEDescription; }
    // Any other export by name (an installer's entry, for instance); null when absent.
    FARPROC Export(const char* pszName) const;
    HMODULE Module() const { return m_hModule; }
    // An export as the function type the caller knows it by.
    template <typename Fn>
    Fn ExportAs(const char* pszName) const
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(Export(pszName)));
    }

private:
    HMODULE m_hModule = nullptr;
    NP_GetEntryPointsFunc m_pfnGetEntryPoints = nullptr;
    NP_InitializeFunc m_pfnInitialize = nullptr;
    NP_ShutdownFunc m_pfnShutdown = nullptr;
    NP_GetMIMEDescriptionFunc m_pfnGetMIMEDescription = nullptr;
};

}  // namespace npbrowser
