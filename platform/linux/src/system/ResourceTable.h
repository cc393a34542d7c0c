// platform/linux/src/system/ResourceTable.h — the program's resources in the native build: a table
// generated at build time (resources/linux/GenerateResources.py) from the scripts the Windows build
// compiles. A program linked without it has no resources, as a module without a resource section.
#pragma once
#include <windows.h>

struct BmResource {
    const WCHAR* pwszType;  // a named type ("CERTIFICATE"), or nullptr for a numbered one
    WORD wTypeId;           // the numbered type (6 for string blocks)
    WORD wNameId;
    WORD wLanguage;
    const BYTE* pbData;
    DWORD cbData;
};

extern const BmResource g_rgBmResources[] __attribute__((weak));
extern const size_t g_cBmResources __attribute__((weak));
