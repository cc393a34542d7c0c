// fuzz/support/TraceSink.cpp — the trace provider of the fuzz build. Nothing is written, but every text a
// trace point is handed is read to its terminator, as the file and ETW sinks read it, so that a text cut
// short of its terminator is an out-of-bounds read here too.
#include "trace/Trace.h"

namespace {

volatile size_t g_cchSeen = 0;

void Read(const WCHAR* pwsz)
{
    if (pwsz != nullptr) g_cchSeen = g_cchSeen + static_cast<size_t>(lstrlenW(pwsz));
}

void Read(const char* psz)
{
    if (psz != nullptr) g_cchSeen = g_cchSeen + strlen(psz);
}

}  // namespace

void TraceInitialize() {}
void TraceUninitialize() {}
bool TraceIsEnabled(DWORD) { return false; }
void TraceResult(HRESULT, const WCHAR* pwszText) { Read(pwszText); }
void TraceWide(DWORD, const WCHAR* pwszText) { Read(pwszText); }
void TraceNarrow(DWORD, const char* pszText) { Read(pszText); }
void TraceValue(DWORD, const WCHAR* pwszName, LONG) { Read(pwszName); }
void TraceWideValue(DWORD, const WCHAR* pwszName, const WCHAR* pwszValue)
{
    Read(pwszName);
    Read(pwszValue);
}
void TraceNarrowValue(DWORD, const WCHAR* pwszName, const char* pszValue)
{
    Read(pwszName);
    Read(pszValue);
}
void TraceEnter(const WCHAR* pwszFunction) { Read(pwszFunction); }
void TraceExit(const WCHAR* pwszFunction) { Read(pwszFunction); }
void TraceStepFailure(const char* pszFile, int, const WCHAR* pwszFunction, const WCHAR* pwszStep,
                      const WCHAR* pwszReason, HRESULT)
{
    Read(pszFile);
    Read(pwszFunction);
    Read(pwszStep);
    Read(pwszReason);
}
void TraceStepSuccess(const WCHAR* pwszFunction, const WCHAR* pwszStep)
{
    Read(pwszFunction);
    Read(pwszStep);
}
void TraceHostFailure(const char* pszFile, int, const char* pszFunction, const char* pszStep, int, const char* pszReason)
{
    Read(pszFile);
    Read(pszFunction);
    Read(pszStep);
    Read(pszReason);
}
void TraceHostSuccess(const char* pszFile, int, const char* pszFunction, const char* pszStep)
{
    Read(pszFile);
    Read(pszFunction);
    Read(pszStep);
}
