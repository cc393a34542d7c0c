// host/HostTrace.h — the host's own narrow step lines, in the host's format rather than the shared library's.
#pragma once
#include "Common.h"
#include "trace/TraceHelper.h"


// "[unit(line)]:(function -- step)\t\t--OK" and "[unit(line):](function -- step)\t\t--Failed:(code) [Reason:...]".
#define HOST_STEP_OK(function, step) TraceHostSuccess(__FILE__, __LINE__, (function), (step))
#define HOST_STEP_FAILED(function, step, result, reason) \
    TraceHostFailure(__FILE__, __LINE__, (function), (step), static_cast<int>(result), (reason))
