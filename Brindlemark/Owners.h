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

// Runs an operation's body; exhausted memory inside it ends the operation with E_OUTOFMEMORY, never an exception.
template <typename Body>
HRESULT GuardAllocation(Body body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    TraceResult(E_OUTOFMEMORY, TEXT("New Memory"));
    return E_OUTOFMEMORY;
}
