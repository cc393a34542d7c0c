// platform/linux/include/io.h — the runtime library's descriptor I/O under its Windows names.
#pragma once
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#ifndef _O_BINARY
#define _O_BINARY 0x8000
#endif

inline int _fileno(FILE* pStream) { return fileno(pStream); }
// Descriptors carry bytes unchanged here: there is no text mode to leave.
inline int _setmode(int, int) { return _O_BINARY; }
inline int _read(int nFd, void* pvBuffer, unsigned int cbCount) { return static_cast<int>(read(nFd, pvBuffer, cbCount)); }
inline int _write(int nFd, const void* pvBuffer, unsigned int cbCount)
{
    return static_cast<int>(write(nFd, pvBuffer, cbCount));
}
