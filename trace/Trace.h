// trace/Trace.h — the system's trace provider: ETW on Windows, plus a line-oriented file sink for
// platforms where ETW is absent (Wine, Linux). Tracing never changes a result and keeps the thread's
// last error.
#pragma once
#include <windows.h>

// Enable flags given by the controller.
constexpr DWORD TRACE_FLAG_ERROR = 0x1;   // errors the program detects itself
constexpr DWORD TRACE_FLAG_FAILED = 0x2;  // failure results (negative codes)
constexpr DWORD TRACE_FLAG_INFO = 0x4;    // parameters, intermediate values, successful results
constexpr DWORD TRACE_FLAG_ENTRY = 0x8;   // entry and exit of every traced function

// Message numbers within a source unit.
constexpr USHORT TRACE_MSG_ENTER = 10;
constexpr USHORT TRACE_MSG_EXIT = 11;
constexpr USHORT TRACE_MSG_TEXT = 12;
constexpr USHORT TRACE_MSG_RESULT_FAILED = 13;
constexpr USHORT TRACE_MSG_RESULT_OK = 14;
constexpr USHORT TRACE_MSG_NARROW = 15;
constexpr USHORT TRACE_MSG_VALUE = 16;

// Process start and end. Safe to call more than once; the last uninitialise wins.
void TraceInitialize();
void TraceUninitialize();

// One flag test: true when a trace point under dwFlag would be written.
bool TraceIsEnabled(DWORD dwFlag);

// The result trace: a negative code under 0x2, any other under 0x4.
void TraceResult(HRESULT hResult, const WCHAR* pwszText);

// Typed trace points.
void TraceWide(DWORD dwFlag, const WCHAR* pwszText);
void TraceNarrow(DWORD dwFlag, const char* pszText);
void TraceValue(DWORD dwFlag, const WCHAR* pwszName, LONG lValue);
void TraceWideValue(DWORD dwFlag, const WCHAR* pwszName, const WCHAR* pwszValue);
void TraceNarrowValue(DWORD dwFlag, const WCHAR* pwszName, const char* pszValue);

// Entry and exit messages (used by TraceHelper).
void TraceEnter(const WCHAR* pwszFunction);
void TraceExit(const WCHAR* pwszFunction);

// Step texts of the shared library:
//   failure "[%ws(%d):] %ws - %ws [Reason:%ws]" through the result trace with the failing code,
//   success "%ws - %ws" through the result trace with code 0.
// pszFile is __FILE__; the unit name is its base name without extension.
void TraceStepFailure(const char* pszFile, int nLine, const WCHAR* pwszFunction, const WCHAR* pwszStep,
                      const WCHAR* pwszReason, HRESULT hResult);
void TraceStepSuccess(const WCHAR* pwszFunction, const WCHAR* pwszStep);

// Step texts of the host front end (narrow):
//   "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n" under 0x1,
//   "[%s(%d)]:(%s -- %s)\t\t--OK\n" under 0x4.
void TraceHostFailure(const char* pszFile, int nLine, const char* pszFunction, const char* pszStep, int nResult,
                      const char* pszReason);
void TraceHostSuccess(const char* pszFile, int nLine, const char* pszFunction, const char* pszStep);

// Keeps the thread's last error across a scope: tracing and the agent's operations hand it back unchanged.
class LastErrorKeeper {
public:
    LastErrorKeeper() : m_dwError(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(m_dwError); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD m_dwError;
};
