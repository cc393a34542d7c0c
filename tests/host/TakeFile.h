// Reads a file the program under test wrote (a trace file) and removes it.
#pragma once
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

inline std::string TakeFile(const char* pszPath)
{
    std::stringstream ss;
    {
        std::ifstream in(pszPath, std::ios::binary);
        ss << in.rdbuf();
    }
    DeleteFileA(pszPath);
    return ss.str();
}
