// platform/linux/host/Main.cpp — the Linux entry of BrindlemarkHost: the browser's arguments (UTF-8) become
// the wide ones the host's own entry takes.
#include <windows.h>

#include <string>
#include <vector>

int wmain(int argc, WCHAR* argv[]);

int main(int argc, char* argv[])
{
    std::vector<std::basic_string<WCHAR>> vecArguments;
    for (int i = 0; i < argc; ++i) {
        const int cch = MultiByteToWideChar(CP_UTF8, 0, argv[i], -1, nullptr, 0);
        std::basic_string<WCHAR> wstr(cch > 0 ? static_cast<size_t>(cch) : 1, 0);
        if (cch > 0) MultiByteToWideChar(CP_UTF8, 0, argv[i], -1, wstr.data(), cch);
        wstr.resize(wstr.size() - 1);
        vecArguments.push_back(std::move(wstr));
    }
    std::vector<WCHAR*> vecPointers;
    for (auto& wstr : vecArguments) vecPointers.push_back(wstr.data());
    vecPointers.push_back(nullptr);
    return wmain(argc, vecPointers.data());
}
