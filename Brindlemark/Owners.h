// Brindlemark/Owners.h — owners beside the unique handles of Common.h: COM interface pointers, and the
// guard that turns exhausted memory inside an operation into its result code.
#pragma once
#include "Common.h"
#include "trace/Trace.h"

#include <new>
#include <stdexcept>

namespace handle_traits {
template <typename T>
struct ComInterface {
    using Type = T*;
    static Type Empty() { return nullptr; }
    static void Release(Type p) { p->Release(); }
};
}  // namespace handle_traits

// Owner of one COM interface pointer.
template <typename T>
using ComPtr = UniqueHandle<handle_traits::ComInterface<T>>;

// The one allocation guard: runs body, and when memory runs out inside it (std::bad_alloc, or a length past
// what a container holds) answers what onExhausted traces and returns instead, never an exception.
template <typename Body, typename OnExhausted>
auto GuardAllocationWith(Body body, OnExhausted onExhausted) -> decltype(body())
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return onExhausted();
}

// An operation's body whose exhaustion is one result line: E_OUTOFMEMORY.
template <typename Body>
HRESULT GuardAllocation(Body body, const WCHAR* pwszText = TEXT("New Memory"))
{
    return GuardAllocationWith(body, [pwszText] {
        TraceResult(E_OUTOFMEMORY, pwszText);
        return E_OUTOFMEMORY;
    });
}

// A step of the caller's trace scope: exhaustion is traced as that step's failure and answered with failure.
// The body is the last argument, so that commas inside it need no parentheses.
#define GUARD_ALLOCATION_STEP(step, reason, failure, ...)                                                \
    GuardAllocationWith(__VA_ARGS__, [&] {                                                               \
        TraceStepFailure(TRACE_UNIT_FILE, __LINE__, scope.Name(), (step), (reason), (failure));          \
        return (failure);                                                                                \
    })
