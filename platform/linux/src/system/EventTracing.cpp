// platform/linux/src/system/EventTracing.cpp — event tracing of the native build: Linux has no such
// sessions, so registration is not supported and no session ever exists; the trace provider's file sink is
// what writes.
#include <evntrace.h>

namespace {

constexpr ULONG kInstanceNotFound = 4201;  // ERROR_WMI_INSTANCE_NOT_FOUND

}  // namespace

ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid, ULONG GuidCount,
                          TRACE_GUID_REGISTRATION* TraceGuidReg, LPCWSTR MofImagePath, LPCWSTR MofResourceName,
                          PTRACEHANDLE RegistrationHandle)
{
    (void)RequestAddress;
    (void)RequestContext;
    (void)ControlGuid;
    (void)GuidCount;
    (void)TraceGuidReg;
    (void)MofImagePath;
    (void)MofResourceName;
    if (RegistrationHandle != nullptr) *RegistrationHandle = 0;
    return ERROR_NOT_SUPPORTED;
}

ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle)
{
    (void)RegistrationHandle;
    return ERROR_INVALID_HANDLE;
}

TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer)
{
    (void)Buffer;
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<TRACEHANDLE>(-1);
}

UCHAR GetTraceEnableLevel(TRACEHANDLE SessionHandle)
{
    (void)SessionHandle;
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

ULONG GetTraceEnableFlags(TRACEHANDLE SessionHandle)
{
    (void)SessionHandle;
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

ULONG ControlTraceW(TRACEHANDLE SessionHandle, LPCWSTR SessionName, EVENT_TRACE_PROPERTIES* Properties,
                    ULONG ControlCode)
{
    (void)SessionHandle;
    (void)SessionName;
    (void)Properties;
    (void)ControlCode;
    return kInstanceNotFound;
}
