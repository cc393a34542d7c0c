// bench/win/DropContainers.cpp — deletes the key containers a benchmark created:
//   DropContainers.exe <provider name> <provider type> <container>...
// Exit code 0 when every container was deleted, 1 when one could not be, 2 on bad arguments.
#include <windows.h>

#include <wincrypt.h>

#include <stdio.h>

namespace {

bool ParseDecimal(const WCHAR* pwsz, DWORD& dwValue)
{
    dwValue = 0;
    if (pwsz == nullptr || *pwsz == 0) return false;
    for (; *pwsz != 0; ++pwsz) {
        if (*pwsz < '0' || *pwsz > '9' || dwValue > 0xFFFFFFF) return false;
        dwValue = dwValue * 10 + static_cast<DWORD>(*pwsz - '0');
    }
    return true;
}

bool Contains(const WCHAR* pwszText, const WCHAR* pwszPart)
{
    const int cchText = lstrlenW(pwszText), cchPart = lstrlenW(pwszPart);
    for (int i = 0; i + cchPart <= cchText; ++i)
        if (CompareStringOrdinal(pwszText + i, cchPart, pwszPart, cchPart, FALSE) == CSTR_EQUAL) return true;
    return false;
}

}  // namespace

int wmain(int argc, WCHAR** argv)
{
    DWORD dwProvType = 0;
    if (argc < 3 || !ParseDecimal(argv[2], dwProvType)) return 2;
    // the stand-in SM2 token removes a container on its own flag value
    const DWORD dwDelete = Contains(argv[1], TEXT("SM2")) ? 0xFFFF0002 : CRYPT_DELETEKEYSET;
    int nResult = 0;
    for (int i = 3; i < argc; ++i) {
        HCRYPTPROV hProv = 0;
        if (!CryptAcquireContextW(&hProv, argv[i], argv[1], dwProvType, dwDelete)) {
            fprintf(stderr, "container %ls: error 0x%08lx\n", argv[i], GetLastError());
            nResult = 1;
        }
    }
    return nResult;
}
