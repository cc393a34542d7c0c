// platform/linux/include/shlwapi.h — the shell's string helpers the native build provides.
#pragma once
#include <windows.h>

// First occurrence of lpszSearch in lpszStr, ASCII letters compared without regard to case.
LPWSTR StrStrIW(LPCWSTR lpszStr, LPCWSTR lpszSearch);
