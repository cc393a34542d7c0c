// platform/linux/src/system/Locale.h — the user-interface language resources and system messages are
// chosen in: the user's LC_ALL, LC_MESSAGES or LANG (the first one set), zh_CN giving Chinese (PRC,
// 0x0804) and everything else US English (0x0409), the two languages the program carries.
#pragma once
#include <windows.h>

WORD UserInterfaceLanguage();
