// tools/npbrowser/PluginLibrary.cpp — version-resource registration and export lookup of a plug-in DLL.
#include "tools/npbrowser/PluginLibrary.h"

#include "ResultCode.h"
#include "codec/Misc.h"

#include <vector>

namespace npbrowser {

namespace {

const WCHAR* const kRegistrationNames[] = {TEXT("MIMEType"),    TEXT("FileExtents"),    TEXT("FileOpenName"),
                                           TEXT("ProductName"), TEXT("FileVersion"), TEXT("ProductVersion")};

void AppendHex4(WString& wstr, WORD w)
{
    const WCHAR kDigits[] = TEXT("0123456789ABCDEF");
    for (int nShift = 12; nShift >= 0; nShift -= 4) wstr += kDigits[(w >> nShift) & 0xF];
}

// "\StringFileInfo\<language><code page>\" for one translation.
WString BlockPath(WORD wLanguage, WORD wCodePage)
{
    WString wstr = TEXT("\\StringFileInfo\\");
    AppendHex4(wstr, wLanguage);
    AppendHex4(wstr, wCodePage);
    wstr += TEXT("\\");
    return wstr;
}

bool QueryString(std::vector<BYTE>& vecInfo, const WString& wstrPath, WString& wstrValue)
{
    void* pv = nullptr;
    UINT cch = 0;
    if (!VerQueryValueW(vecInfo.data(), wstrPath.c_str(), &pv, &cch) || pv == nullptr || cch == 0) return false;
    // The length counts the terminating zero when there is one; never read beyond it.
    const WCHAR* pwsz = static_cast<const WCHAR*>(pv);
    size_t nLength = 0;
    while (nLength < cch && pwsz[nLength] != 0) ++nLength;
    wstrValue.assign(pwsz, nLength);
    return true;
}

}  // namespace

HRESULT ReadRegistration(const WString& wstrPath, std::map<std::string, std::string>& mapStrings)
{
    DWORD dwHandle = 0;
    const DWORD cbInfo = GetFileVersionInfoSizeW(wstrPath.c_str(), &dwHandle);
    if (cbInfo == 0) return E_FAIL;
    std::vector<BYTE> vecInfo(cbInfo);
    if (!GetFileVersionInfoW(wstrPath.c_str(), 0, cbInfo, vecInfo.data())) return E_FAIL;

    // Browsers read the US-English, Windows Multilingual block; a file that declares other translations is
    // read in the first of them after that.
    std::vector<WString> vecBlocks = {BlockPath(0x0409, 0x04E4)};
    void* pvTranslations = nullptr;
    UINT cbTranslations = 0;
    if (VerQueryValueW(vecInfo.data(), TEXT("\\VarFileInfo\\Translation"), &pvTranslations, &cbTranslations)) {
        const WORD* pw = static_cast<const WORD*>(pvTranslations);
        for (UINT n = 0; n + 1 < cbTranslations / sizeof(WORD); n += 2) vecBlocks.push_back(BlockPath(pw[n], pw[n + 1]));
    }
    for (const WCHAR* pwszName : kRegistrationNames) {
        for (const WString& wstrBlock : vecBlocks) {
            WString wstrValue;
            if (!QueryString(vecInfo, wstrBlock + pwszName, wstrValue)) continue;
            std::string strName, strValue;
            if (FAILED(UTF16ToUTF8(pwszName, strName)) || FAILED(UTF16ToUTF8(wstrValue.c_str(), strValue))) break;
            mapStrings[strName] = strValue;
            break;
        }
    }
    return QORA_OK;
}

PluginLibrary::~PluginLibrary()
{
    if (m_hModule != nullptr) FreeLibrary(m_hModule);
}

HRESULT PluginLibrary::LoadModule(const WString& wstrPath)
{
    if (m_hModule != nullptr) return E_UNEXPECTED;
    m_hModule = LoadLibraryW(wstrPath.c_str());
    return m_hModule != nullptr ? QORA_OK : ResultFromLastError();
}

HRESULT PluginLibrary::Load(const WString& wstrPath)
{
    const HRESULT hResult = LoadModule(wstrPath);
    if (FAILED(hResult)) return hResult;
    m_pfnGetEntryPoints = ExportAs<NP_GetEntryPointsFunc>("NP_GetEntryPoints");
    m_pfnInitialize = ExportAs<NP_InitializeFunc>("NP_Initialize");
    m_pfnShutdown = ExportAs<NP_ShutdownFunc>("NP_Shutdown");
    m_pfnGetMIMEDescription = ExportAs<NP_GetMIMEDescriptionFunc>("NP_GetMIMEDescription");
    if (m_pfnGetEntryPoints == nullptr || m_pfnInitialize == nullptr || m_pfnShutdown == nullptr)
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    return QORA_OK;
}

FARPROC PluginLibrary::Export(const char* pszName) const
{
    return m_hModule != nullptr ? GetProcAddress(m_hModule, pszName) : nullptr;
}

}  // namespace npbrowser
