// trace/TraceHelper.h — the function scope every traced function opens first, and the step macros.
#pragma once
#include "trace/Trace.h"

// The unit a failure line names: its source file, unless a file that took over part of a unit defines this
// before its includes to keep that unit's name in its lines.
#ifndef TRACE_UNIT_FILE
#define TRACE_UNIT_FILE __FILE__
#endif

class TraceHelper {
public:
    explicit TraceHelper(const WCHAR* pwszFunction) : m_pwszFunction(pwszFunction) { TraceEnter(m_pwszFunction); }
    ~TraceHelper() { TraceExit(m_pwszFunction); }
    TraceHelper(const TraceHelper&) = delete;
    TraceHelper& operator=(const TraceHelper&) = delete;
    const WCHAR* Name() const { return m_pwszFunction; }

private:
    const WCHAR* m_pwszFunction;
};

// One step, one check, inside a function that returns a result code and has `TraceHelper scope`.
// On failure: traces "[unit(line):] function - step [Reason:cond]" with the code and returns it.
// On success: traces "function - step".
#define FAIL_IF_REASON(cond, hr, step, reason)                                                  \
    do {                                                                                        \
        if (cond) {                                                                             \
            const HRESULT hrFailIf_ = (hr);                                                     \
            TraceStepFailure(TRACE_UNIT_FILE, __LINE__, scope.Name(), (step), (reason), hrFailIf_);   \
            return hrFailIf_;                                                                   \
        }                                                                                       \
        TraceStepSuccess(scope.Name(), (step));                                                 \
    } while (0)
#define FAIL_IF(cond, hr, step) FAIL_IF_REASON(cond, hr, step, TEXT(#cond))

// The same, for code that must not return at once (cleanup or a held result): evaluates to true on failure.
#define STEP_FAILED_REASON(cond, hr, step, reason)                                              \
    ((cond) ? (TraceStepFailure(TRACE_UNIT_FILE, __LINE__, scope.Name(), (step), (reason), (hr)), true) \
            : (TraceStepSuccess(scope.Name(), (step)), false))

// A rejected argument or input: traced with the message as the step; nothing is traced when it passes, so a
// message that reads as a complaint never appears as a success.
#define REJECT_IF_REASON(cond, hr, message, reason)                                              \
    do {                                                                                         \
        if (cond) {                                                                              \
            const HRESULT hrReject_ = (hr);                                                      \
            TraceStepFailure(TRACE_UNIT_FILE, __LINE__, scope.Name(), (message), (reason), hrReject_); \
            return hrReject_;                                                                    \
        }                                                                                        \
    } while (0)
#define REJECT_IF(cond, hr, message) REJECT_IF_REASON(cond, hr, message, TEXT(#cond))

// Information-level traces of values.
#define TRACE_INFO_VALUE(name, value) TraceValue(TRACE_FLAG_INFO, TEXT(name), static_cast<LONG>(value))
#define TRACE_INFO_TEXT(name, text) TraceWideValue(TRACE_FLAG_INFO, TEXT(name), (text))
