// host/HostTrace.h — the host's own narrow step lines, and allocation that reports failure as a result.
#pragma once
#include "trace/TraceHelper.h"

#include <cstdint>
#include <new>
#include <stdexcept>

// "[unit(line)]:(function -- step)\t\t--OK" and "[unit(line):](function -- step)\t\t--Failed:(code) [Reason:...]".
#define HOST_STEP_OK(function, step) TraceHostSuccess(__FILE__, __LINE__, (function), (step))
#define HOST_STEP_FAILED(function, step, result, reason) \
    TraceHostFailure(__FILE__, __LINE__, (function), (step), static_cast<int>(result), (reason))

// Containers throw when memory is exhausted; the host's steps report that as a failed step instead.
template <typename Container>
bool HostTryResize(Container& container, uint64_t ullSize)
{
    if (ullSize > container.max_size()) return false;
    try {
        container.resize(static_cast<size_t>(ullSize));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}
