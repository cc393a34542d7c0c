// fuzz/support/TraceSink.cpp — the trace provider of the fuzz build. Nothing is written, but every text a
// trace point is handed that can hold input (values and free texts) is read to its terminator, as the file
// and ETW sinks read it, so that a text cut short of its terminator is an out-of-bounds read here too.
// Function names, step labels and reasons are the code's own literals and are not read.
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
void TraceResult(HRESULT, const WCHAR*) {}
void TraceWide(DWORD, const WCHAR* pwszText) { Read(pwszText); }
void TraceNarrow(DWORD, const char* pszText) { Read(pszText); }
void TraceValue(DWORD, const WCHAR*, LONG) {}
void TraceWideValue(DWORD, const WCHAR*, const WCHAR* pwszValue) { Read(pwszValue); }
void TraceNarrowValue(DWORD, const WCHAR*, const char* pszValue) { Read(pszValue); }
void TraceEnter(const WCHAR*) {}
void TraceExit(const WCHAR*) {}
void TraceStepFailure(const char*, int, const WCHAR*, const WCHAR*, const WCHAR*, HRESULT) {}
void TraceStepSuccess(const WCHAR*, const WCHAR*) {}
void TraceHostFailure(const char*, int, const char*, const char*, int, const char*) {}
void TraceHostSuccess(const char*, int, const char*, const char*) {}
