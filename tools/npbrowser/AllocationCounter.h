// tools/npbrowser/AllocationCounter.h — counts the C runtime heap blocks a loaded module holds, so that many
// create/destroy cycles can show the module keeps nothing per cycle. Wine's heap walk does not list small blocks
// one by one, so the count is taken at the module's own calls instead.
#pragma once
#include <windows.h>

namespace npbrowser {

// Routes the module's imports of malloc, calloc, realloc and free from the C runtime through counting
// wrappers. False when the module imports none of them.
bool CountAllocationsOf(HMODULE hModule);
// Blocks taken minus blocks given back by the module since counting began.
long long LiveAllocations();

}  // namespace npbrowser
