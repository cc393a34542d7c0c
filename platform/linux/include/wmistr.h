// platform/linux/include/wmistr.h — the WMI node header the event-tracing declarations carry.
#pragma once
#include <windows.h>

#define WNODE_FLAG_TRACED_GUID 0x00020000
#define WNODE_FLAG_USE_MOF_PTR 0x00100000

typedef struct _WNODE_HEADER {
    ULONG BufferSize;
    ULONG ProviderId;
    ULONG64 HistoricalContext;
    LARGE_INTEGER TimeStamp;
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
} WNODE_HEADER;

typedef enum { WMI_ENABLE_EVENTS = 4, WMI_DISABLE_EVENTS = 5 } WMIDPREQUESTCODE;
