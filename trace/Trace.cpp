// trace/Trace.cpp — provider registration, enable state, and emission to ETW and to the file sink.
#include "trace/Trace.h"

#include <evntrace.h>
#include <wmistr.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

using WString = std::basic_string<WCHAR>;

// {9c92e91c-20b7-4e6d-bd06-6acdbc6f6eca}
const GUID kControlGuid = {0x9c92e91c, 0x20b7, 0x4e6d, {0xbd, 0x06, 0x6a, 0xcd, 0xbc, 0x6f, 0x6e, 0xca}};
// Messages of every unit carry this GUID; the unit is inside the step texts.
const GUID kMessageGuid = {0x3b5f1e0a, 0x7d42, 0x4c8e, {0x9a, 0x61, 0x2f, 0x0c, 0x5e, 0x83, 0x14, 0xd7}};
const WCHAR kGlobalLoggerKey[] = TEXT("SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger");
const WCHAR kProviderSubkey[] = TEXT("9c92e91c-20b7-4e6d-bd06-6acdbc6f6eca");
const WCHAR kTraceFileValue[] = TEXT("TraceFile");
constexpr ULONG kMessageFlags = 0x2B;  // sequence, GUID, time stamp, system information

using PFN_TraceMessage = ULONG(WINAPIV*)(TRACEHANDLE, ULONG, LPCGUID, USHORT, ...);
using PFN_TraceMessageVa = ULONG(WINAPI*)(TRACEHANDLE, ULONG, LPCGUID, USHORT, va_list);
using PFN_TraceEvent = ULONG(WINAPI*)(TRACEHANDLE, PEVENT_TRACE_HEADER);

// The enable callback writes these on the platform's thread while trace points read them on theirs.
std::atomic<bool> g_bInitialized{false};
TRACEHANDLE g_hRegistration = 0;
std::atomic<TRACEHANDLE> g_hLogger{0};
std::atomic<DWORD> g_dwEnableFlags{0};
std::atomic<UCHAR> g_ucEnableLevel{0};
HMODULE g_hAdvapi = nullptr;
PFN_TraceMessage g_pfnTraceMessage = nullptr;
PFN_TraceMessageVa g_pfnTraceMessageVa = nullptr;
PFN_TraceEvent g_pfnTraceEvent = nullptr;
HANDLE g_hTraceFile = INVALID_HANDLE_VALUE;
std::atomic<DWORD> g_dwFileFlags{0};
std::atomic<LONG> g_lSequence{0};
// Whether the development switch has been read: by TraceInitialize, or by the first trace point of a module
// whose facility nobody started (an installer calling the plug-in's install entry on its own).
std::atomic<bool> g_bSinkLooked{false};

bool EtwActive(DWORD dwFlag) { return g_hLogger != 0 && (g_dwEnableFlags & dwFlag) != 0; }
bool FileActive(DWORD dwFlag) { return g_hTraceFile != INVALID_HANDLE_VALUE && (g_dwFileFlags & dwFlag) != 0; }

std::string ToUtf8(const WCHAR* pwsz)
{
    if (pwsz == nullptr) return "NULL";
    if (*pwsz == 0) return "<NULL>";
    int cb = WideCharToMultiByte(CP_UTF8, 0, pwsz, -1, nullptr, 0, nullptr, nullptr);
    if (cb <= 1) return std::string();
    std::string str(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, pwsz, -1, str.data(), cb, nullptr, nullptr);
    str.resize(static_cast<size_t>(cb) - 1);
    return str;
}

WString FromNarrow(const char* psz)
{
    WString wstr;
    if (psz == nullptr) return wstr;
    int cch = MultiByteToWideChar(CP_UTF8, 0, psz, -1, nullptr, 0);
    if (cch <= 1) return wstr;
    wstr.resize(static_cast<size_t>(cch));
    MultiByteToWideChar(CP_UTF8, 0, psz, -1, wstr.data(), cch);
    wstr.resize(static_cast<size_t>(cch) - 1);
    return wstr;
}

// The unit name is the source file's base name without its extension.
std::string UnitOf(const char* pszFile)
{
    std::string str(pszFile != nullptr ? pszFile : "");
    size_t pos = str.find_last_of("/\\");
    if (pos != std::string::npos) str.erase(0, pos + 1);
    pos = str.rfind('.');
    if (pos != std::string::npos) str.erase(pos);
    return str;
}

void FileLine(const char* pszKind, const std::string& strText)
{
    std::string strLine;
    strLine.reserve(strText.size() + 24);
    char szHead[32];
    snprintf(szHead, sizeof(szHead), "%06ld %s ", static_cast<long>(++g_lSequence), pszKind);
    strLine += szHead;
    strLine += strText;
    if (strLine.empty() || strLine.back() != '\n') strLine += '\n';
    DWORD dwWritten = 0;
    WriteFile(g_hTraceFile, strLine.data(), static_cast<DWORD>(strLine.size()), &dwWritten, nullptr);
}

// Sends one message with up to three (pointer, size) arguments to the session.
void EtwMessage(USHORT usNumber, const void* pv1, size_t cb1, const void* pv2 = nullptr, size_t cb2 = 0,
                const void* pv3 = nullptr, size_t cb3 = 0)
{
    const TRACEHANDLE hLogger = g_hLogger;
    if (hLogger == 0) return;
    if (g_pfnTraceMessage != nullptr) {
        if (pv3 != nullptr)
            g_pfnTraceMessage(hLogger, kMessageFlags, &kMessageGuid, usNumber, pv1, cb1, pv2, cb2, pv3, cb3, nullptr);
        else if (pv2 != nullptr)
            g_pfnTraceMessage(hLogger, kMessageFlags, &kMessageGuid, usNumber, pv1, cb1, pv2, cb2, nullptr);
        else
            g_pfnTraceMessage(hLogger, kMessageFlags, &kMessageGuid, usNumber, pv1, cb1, nullptr);
        return;
    }
    if (g_pfnTraceEvent == nullptr) return;
    // No TraceMessage: an event of the provider's format with the arguments as inline data fields.
    struct {
        EVENT_TRACE_HEADER header;
        MOF_FIELD fields[3];
    } event = {};
    ULONG nFields = 0;
    const void* apv[3] = {pv1, pv2, pv3};
    const size_t acb[3] = {cb1, cb2, cb3};
    for (int i = 0; i < 3 && apv[i] != nullptr; ++i) {
        event.fields[nFields].DataPtr = reinterpret_cast<ULONG64>(apv[i]);
        event.fields[nFields].Length = static_cast<ULONG>(acb[i]);
        ++nFields;
    }
    event.header.Size = static_cast<USHORT>(sizeof(EVENT_TRACE_HEADER) + nFields * sizeof(MOF_FIELD));
    event.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;
    event.header.Guid = kMessageGuid;
    event.header.Class.Type = static_cast<UCHAR>(usNumber);
    g_pfnTraceEvent(hLogger, &event.header);
}

void EtwWide(USHORT usNumber, const WCHAR* pwsz)
{
    const WCHAR* pwszSend = pwsz == nullptr ? TEXT("NULL") : (*pwsz == 0 ? TEXT("<NULL>") : pwsz);
    EtwMessage(usNumber, pwszSend, (static_cast<size_t>(lstrlenW(pwszSend)) + 1) * sizeof(WCHAR));
}

void EtwNarrow(USHORT usNumber, const char* psz)
{
    const char* pszSend = psz == nullptr ? "NULL" : psz;
    EtwMessage(usNumber, pszSend, static_cast<size_t>(lstrlenA(pszSend)) + 1);
}

ULONG WINAPI ControlCallback(WMIDPREQUESTCODE RequestCode, PVOID, ULONG*, PVOID Buffer)
{
    switch (RequestCode) {
    case WMI_ENABLE_EVENTS: {
        const TRACEHANDLE hLogger = GetTraceLoggerHandle(Buffer);
        g_ucEnableLevel = GetTraceEnableLevel(hLogger);
        g_dwEnableFlags = GetTraceEnableFlags(hLogger);
        g_hLogger = hLogger;
        return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
        g_hLogger = 0;
        g_dwEnableFlags = 0;
        g_ucEnableLevel = 0;
        return ERROR_SUCCESS;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

bool ReadDword(HKEY hKey, const WCHAR* pwszName, DWORD& dwValue)
{
    DWORD dwType = 0, cb = sizeof(dwValue);
    return RegQueryValueExW(hKey, pwszName, nullptr, &dwType, reinterpret_cast<BYTE*>(&dwValue), &cb) == ERROR_SUCCESS &&
           dwType == REG_DWORD;
}

void OpenTraceFile(const WString& wstrPath, DWORD dwFlags)
{
    if (wstrPath.empty() || g_hTraceFile != INVALID_HANDLE_VALUE) return;
    // A Unix path (development under Wine) is reached through Wine's \\?\unix\ form.
    WString wstrOpen = wstrPath[0] == TEXT('/') ? WString(TEXT("\\\\?\\unix")) + wstrPath : wstrPath;
    HANDLE hFile = CreateFileW(wstrOpen.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return;
    g_dwFileFlags = dwFlags & 0x7FFFFFFF;
    g_hTraceFile = hFile;
}

// The boot-time session: GlobalLogger settings in the registry, with an optional file name for the file sink.
void ReadBootTimeSettings()
{
    HKEY hGlobal = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLoggerKey, 0, KEY_READ, &hGlobal) != ERROR_SUCCESS) return;
    DWORD dwStart = 0;
    HKEY hProvider = nullptr;
    if (ReadDword(hGlobal, TEXT("Start"), dwStart) && dwStart != 0 &&
        RegOpenKeyExW(hGlobal, kProviderSubkey, 0, KEY_READ, &hProvider) == ERROR_SUCCESS) {
        DWORD dwFlags = 0, dwLevel = 0;
        ReadDword(hProvider, TEXT("Flags"), dwFlags);
        ReadDword(hProvider, TEXT("Level"), dwLevel);
        if (dwStart == 1 && g_hLogger == 0) {
            struct {
                EVENT_TRACE_PROPERTIES props;
                WCHAR names[2 * 1024];
            } query = {};
            query.props.Wnode.BufferSize = sizeof(query);
            query.props.LoggerNameOffset = offsetof(decltype(query), names);
            query.props.LogFileNameOffset = offsetof(decltype(query), names) + 1024 * sizeof(WCHAR);
            ULONG ulStatus = ControlTraceW(0, TEXT("GlobalLogger"), &query.props, EVENT_TRACE_CONTROL_QUERY);
            if ((ulStatus == ERROR_SUCCESS || ulStatus == ERROR_MORE_DATA) && query.props.Wnode.HistoricalContext != 0) {
                g_dwEnableFlags = dwFlags & 0x7FFFFFFF;
                g_ucEnableLevel = static_cast<UCHAR>(dwLevel);
                g_hLogger = query.props.Wnode.HistoricalContext;
            }
        }
        WCHAR wszPath[MAX_PATH] = {};
        DWORD dwType = 0, cb = sizeof(wszPath) - sizeof(WCHAR);
        if (RegQueryValueExW(hProvider, kTraceFileValue, nullptr, &dwType, reinterpret_cast<BYTE*>(wszPath), &cb) ==
                ERROR_SUCCESS &&
            dwType == REG_SZ)
            OpenTraceFile(wszPath, dwFlags);
        RegCloseKey(hProvider);
    }
    RegCloseKey(hGlobal);
}

// Development switch: BRINDLEMARK_TRACE_FILE names the file, BRINDLEMARK_TRACE_FLAGS the flags (default 0xF).
void ReadEnvironmentSettings()
{
    WCHAR wszPath[MAX_PATH] = {};
    DWORD cch = GetEnvironmentVariableW(TEXT("BRINDLEMARK_TRACE_FILE"), wszPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) return;
    DWORD dwFlags = 0xF;
    WCHAR wszFlags[32] = {};
    DWORD cchFlags = GetEnvironmentVariableW(TEXT("BRINDLEMARK_TRACE_FLAGS"), wszFlags, 32);
    if (cchFlags > 0 && cchFlags < 32) {
        std::string strFlags = ToUtf8(wszFlags);
        dwFlags = static_cast<DWORD>(strtoul(strFlags.c_str(), nullptr, 0));
    }
    OpenTraceFile(wszPath, dwFlags);
}

void EmitWide(DWORD dwFlag, USHORT usNumber, const char* pszKind, const WCHAR* pwsz)
{
    if (EtwActive(dwFlag)) EtwWide(usNumber, pwsz);
    if (FileActive(dwFlag)) FileLine(pszKind, ToUtf8(pwsz));
}

}  // namespace

// Every trace point below drops its line when there is no memory to format it: tracing never ends an
// operation, nor lets an exception out of a scope's destructor.

void TraceInitialize()
{
    LastErrorKeeper keep;
    if (g_bInitialized) return;
    g_hAdvapi = LoadLibraryW(TEXT("advapi32.dll"));
    if (g_hAdvapi != nullptr) {
        g_pfnTraceMessage = reinterpret_cast<PFN_TraceMessage>(
            reinterpret_cast<void*>(GetProcAddress(g_hAdvapi, "TraceMessage")));
        g_pfnTraceMessageVa = reinterpret_cast<PFN_TraceMessageVa>(
            reinterpret_cast<void*>(GetProcAddress(g_hAdvapi, "TraceMessageVa")));
        g_pfnTraceEvent =
            reinterpret_cast<PFN_TraceEvent>(reinterpret_cast<void*>(GetProcAddress(g_hAdvapi, "TraceEvent")));
    }
    TRACE_GUID_REGISTRATION registration = {&kMessageGuid, nullptr};
    if (RegisterTraceGuidsW(ControlCallback, nullptr, &kControlGuid, 1, &registration, nullptr, nullptr,
                            &g_hRegistration) != ERROR_SUCCESS)
        g_hRegistration = 0;
    ReadBootTimeSettings();
    ReadEnvironmentSettings();
    g_bSinkLooked = true;
    g_bInitialized = true;
}

void TraceUninitialize()
{
    LastErrorKeeper keep;
    if (!g_bInitialized) return;
    g_bInitialized = false;
    if (g_hRegistration != 0) UnregisterTraceGuids(g_hRegistration);
    g_hRegistration = 0;
    g_hLogger = 0;
    g_dwEnableFlags = 0;
    if (g_hTraceFile != INVALID_HANDLE_VALUE) CloseHandle(g_hTraceFile);
    g_hTraceFile = INVALID_HANDLE_VALUE;
    g_dwFileFlags = 0;
    if (g_hAdvapi != nullptr) FreeLibrary(g_hAdvapi);
    g_hAdvapi = nullptr;
    g_pfnTraceMessage = nullptr;
    g_pfnTraceMessageVa = nullptr;
    g_pfnTraceEvent = nullptr;
}

bool TraceIsEnabled(DWORD dwFlag)
{
    // ETW needs the registration TraceInitialize makes; the file sink of the development switch does not, so
    // entry points called outside the start-up (the install entry, for one) stay observable under Wine. Once
    // looked for, it is never reopened by a trace point: after TraceUninitialize the module stays silent.
    if (!g_bSinkLooked.load(std::memory_order_relaxed) && !g_bSinkLooked.exchange(true)) {
        LastErrorKeeper keep;
        ReadEnvironmentSettings();
    }
    return EtwActive(dwFlag) || FileActive(dwFlag);
}

void TraceResult(HRESULT hResult, const WCHAR* pwszText)
{
    const DWORD dwFlag = FAILED(hResult) ? TRACE_FLAG_FAILED : TRACE_FLAG_INFO;
    if (!TraceIsEnabled(dwFlag)) return;
    LastErrorKeeper keep;
    try {
        const USHORT usNumber = FAILED(hResult) ? TRACE_MSG_RESULT_FAILED : TRACE_MSG_RESULT_OK;
        if (EtwActive(dwFlag)) {
            const WCHAR* pwszSend = pwszText == nullptr ? TEXT("NULL") : pwszText;
            EtwMessage(usNumber, pwszSend, (static_cast<size_t>(lstrlenW(pwszSend)) + 1) * sizeof(WCHAR), &hResult,
                       sizeof(hResult));
        }
        if (FileActive(dwFlag)) {
            char szCode[16];
            snprintf(szCode, sizeof(szCode), "0x%08lx ", static_cast<unsigned long>(hResult));
            FileLine(FAILED(hResult) ? "FAILED" : "RESULT", szCode + ToUtf8(pwszText));
        }
    } catch (...) {
    }
}

void TraceWide(DWORD dwFlag, const WCHAR* pwszText)
{
    if (!TraceIsEnabled(dwFlag)) return;
    LastErrorKeeper keep;
    try {
        EmitWide(dwFlag, TRACE_MSG_TEXT, dwFlag == TRACE_FLAG_ERROR ? "ERROR" : "INFO", pwszText);
    } catch (...) {
    }
}

void TraceNarrow(DWORD dwFlag, const char* pszText)
{
    if (!TraceIsEnabled(dwFlag)) return;
    LastErrorKeeper keep;
    try {
        if (EtwActive(dwFlag)) EtwNarrow(TRACE_MSG_NARROW, pszText);
        if (FileActive(dwFlag)) FileLine(dwFlag == TRACE_FLAG_ERROR ? "ERROR" : "INFO", pszText ? pszText : "NULL");
    } catch (...) {
    }
}

void TraceValue(DWORD dwFlag, const WCHAR* pwszName, LONG lValue)
{
    if (!TraceIsEnabled(dwFlag)) return;
    LastErrorKeeper keep;
    try {
        const WCHAR* pwszSend = pwszName == nullptr ? TEXT("NULL") : pwszName;
        if (EtwActive(dwFlag))
            EtwMessage(TRACE_MSG_VALUE, pwszSend, (static_cast<size_t>(lstrlenW(pwszSend)) + 1) * sizeof(WCHAR), &lValue,
                       sizeof(lValue));
        if (FileActive(dwFlag)) FileLine("VALUE", ToUtf8(pwszSend) + "=" + std::to_string(lValue));
    } catch (...) {
    }
}

void TraceWideValue(DWORD dwFlag, const WCHAR* pwszName, const WCHAR* pwszValue)
{
    if (!TraceIsEnabled(dwFlag)) return;
    LastErrorKeeper keep;
    try {
        WString wstr = pwszName != nullptr ? WString(pwszName) : WString(TEXT("NULL"));
        wstr += TEXT(": ");
        wstr += pwszValue == nullptr ? TEXT("NULL") : (*pwszValue == 0 ? TEXT("<NULL>") : pwszValue);
        EmitWide(dwFlag, TRACE_MSG_TEXT, "VALUE", wstr.c_str());
    } catch (...) {
    }
}

void TraceNarrowValue(DWORD dwFlag, const WCHAR* pwszName, const char* pszValue)
{
    if (!TraceIsEnabled(dwFlag)) return;
    LastErrorKeeper keep;
    try {
        const WCHAR* pwszSend = pwszName == nullptr ? TEXT("NULL") : pwszName;
        const char* pszSend = pszValue == nullptr ? "NULL" : pszValue;
        if (EtwActive(dwFlag))
            EtwMessage(TRACE_MSG_NARROW, pwszSend, (static_cast<size_t>(lstrlenW(pwszSend)) + 1) * sizeof(WCHAR), pszSend,
                       static_cast<size_t>(lstrlenA(pszSend)) + 1);
        if (FileActive(dwFlag)) FileLine("VALUE", ToUtf8(pwszSend) + ": " + pszSend);
    } catch (...) {
    }
}

void TraceEnter(const WCHAR* pwszFunction)
{
    if (!TraceIsEnabled(TRACE_FLAG_ENTRY)) return;
    LastErrorKeeper keep;
    try {
        EmitWide(TRACE_FLAG_ENTRY, TRACE_MSG_ENTER, "ENTER", pwszFunction);
    } catch (...) {
    }
}

void TraceExit(const WCHAR* pwszFunction)
{
    if (!TraceIsEnabled(TRACE_FLAG_ENTRY)) return;
    LastErrorKeeper keep;
    try {
        EmitWide(TRACE_FLAG_ENTRY, TRACE_MSG_EXIT, "EXIT", pwszFunction);
    } catch (...) {
    }
}

void TraceStepFailure(const char* pszFile, int nLine, const WCHAR* pwszFunction, const WCHAR* pwszStep,
                      const WCHAR* pwszReason, HRESULT hResult)
{
    if (!TraceIsEnabled(TRACE_FLAG_FAILED) && !TraceIsEnabled(TRACE_FLAG_INFO)) return;
    LastErrorKeeper keep;
    try {
        // "[%ws(%d):] %ws - %ws [Reason:%ws]", at most 512 characters with the terminator.
        WString wstr = TEXT("[");
        wstr += FromNarrow(UnitOf(pszFile).c_str());
        wstr += TEXT("(");
        wstr += FromNarrow(std::to_string(nLine).c_str());
        wstr += TEXT("):] ");
        wstr += pwszFunction != nullptr ? pwszFunction : TEXT("");
        wstr += TEXT(" - ");
        wstr += pwszStep != nullptr ? pwszStep : TEXT("");
        wstr += TEXT(" [Reason:");
        wstr += pwszReason != nullptr ? pwszReason : TEXT("");
        wstr += TEXT("]");
        if (wstr.size() > 511) wstr.resize(511);
        TraceResult(hResult, wstr.c_str());
    } catch (...) {
    }
}

void TraceStepSuccess(const WCHAR* pwszFunction, const WCHAR* pwszStep)
{
    if (!TraceIsEnabled(TRACE_FLAG_INFO)) return;
    LastErrorKeeper keep;
    try {
        WString wstr = pwszFunction != nullptr ? pwszFunction : TEXT("");
        wstr += TEXT(" - ");
        wstr += pwszStep != nullptr ? pwszStep : TEXT("");
        if (wstr.size() > 511) wstr.resize(511);
        TraceResult(0, wstr.c_str());
    } catch (...) {
    }
}

void TraceHostFailure(const char* pszFile, int nLine, const char* pszFunction, const char* pszStep, int nResult,
                      const char* pszReason)
{
    if (!TraceIsEnabled(TRACE_FLAG_ERROR)) return;
    LastErrorKeeper keep;
    char szLine[512];
    snprintf(szLine, sizeof(szLine), "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n", UnitOf(pszFile).c_str(),
             nLine, pszFunction ? pszFunction : "", pszStep ? pszStep : "", static_cast<unsigned>(nResult),
             pszReason ? pszReason : "");
    TraceNarrow(TRACE_FLAG_ERROR, szLine);
}

void TraceHostSuccess(const char* pszFile, int nLine, const char* pszFunction, const char* pszStep)
{
    if (!TraceIsEnabled(TRACE_FLAG_INFO)) return;
    LastErrorKeeper keep;
    char szLine[512];
    snprintf(szLine, sizeof(szLine), "[%s(%d)]:(%s -- %s)\t\t--OK\n", UnitOf(pszFile).c_str(), nLine,
             pszFunction ? pszFunction : "", pszStep ? pszStep : "");
    TraceNarrow(TRACE_FLAG_INFO, szLine);
}
