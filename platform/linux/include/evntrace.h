// platform/linux/include/evntrace.h — event tracing as the trace provider calls it. Linux has no ETW: the
// native build registers nothing and no session ever enables the provider, so only the file sink writes.
#pragma once
#include <windows.h>
#include <wmistr.h>

typedef ULONG64 TRACEHANDLE;
typedef TRACEHANDLE* PTRACEHANDLE;

#define EVENT_TRACE_CONTROL_QUERY 0

typedef struct _EVENT_TRACE_HEADER {
    USHORT Size;
    USHORT FieldTypeFlags;
    union {
        ULONG Version;
        struct {
            UCHAR Type;
            UCHAR Level;
            USHORT Version;
        } Class;
    };
    ULONG ThreadId;
    ULONG ProcessId;
    LARGE_INTEGER TimeStamp;
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
} EVENT_TRACE_HEADER, *PEVENT_TRACE_HEADER;

typedef struct _MOF_FIELD {
    ULONG64 DataPtr;
    ULONG Length;
    ULONG DataType;
} MOF_FIELD;

typedef struct _EVENT_TRACE_PROPERTIES {
    WNODE_HEADER Wnode;
    ULONG BufferSize;
    ULONG MinimumBuffers;
    ULONG MaximumBuffers;
    ULONG MaximumFileSize;
    ULONG LogFileMode;
    ULONG FlushTimer;
    ULONG EnableFlags;
    LONG AgeLimit;
    ULONG NumberOfBuffers;
    ULONG FreeBuffers;
    ULONG EventsLost;
    ULONG BuffersWritten;
    ULONG LogBuffersLost;
    ULONG RealTimeBuffersLost;
    HANDLE LoggerThreadId;
    ULONG LogFileNameOffset;
    ULONG LoggerNameOffset;
} EVENT_TRACE_PROPERTIES;

typedef struct _TRACE_GUID_REGISTRATION {
    LPCGUID Guid;
    HANDLE RegHandle;
} TRACE_GUID_REGISTRATION;

typedef ULONG (*WMIDPREQUEST)(WMIDPREQUESTCODE RequestCode, PVOID RequestContext, ULONG* BufferSize, PVOID Buffer);

ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid, ULONG GuidCount,
                          TRACE_GUID_REGISTRATION* TraceGuidReg, LPCWSTR MofImagePath, LPCWSTR MofResourceName,
                          PTRACEHANDLE RegistrationHandle);
ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle);
TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer);
UCHAR GetTraceEnableLevel(TRACEHANDLE SessionHandle);
ULONG GetTraceEnableFlags(TRACEHANDLE SessionHandle);
ULONG ControlTraceW(TRACEHANDLE SessionHandle, LPCWSTR SessionName, EVENT_TRACE_PROPERTIES* Properties,
                    ULONG ControlCode);
