// Placeholder entry until the host units land.
#include <windows.h>
int wmain(int, wchar_t**) { return 0; }
