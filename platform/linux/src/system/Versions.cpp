// platform/linux/src/system/Versions.cpp — the system version the native build reports: the one the
// Windows build sees in its Wine prefix (6.1.7601, Service Pack 1, a workstation), so the version checks
// of the shared units (SHA-256 support) decide as they do there.
#include <windows.h>

namespace {

constexpr DWORD kMajor = 6, kMinor = 1, kBuild = 7601, kPlatformNt = 2;
constexpr WORD kServicePackMajor = 1, kServicePackMinor = 0;
constexpr BYTE kWorkstation = 1;  // VER_NT_WORKSTATION
constexpr BYTE kLess = 4, kLessEqual = 5;
constexpr BYTE kGreater = 2;

BYTE ConditionOf(DWORDLONG dwlConditionMask, DWORD dwType)
{
    for (int nBit = 0; nBit < 8; ++nBit)
        if (dwType == (1u << nBit)) return static_cast<BYTE>((dwlConditionMask >> (nBit * 3)) & 7);
    return 0;
}

bool Holds(BYTE byCondition, LONGLONG llCompare)
{
    switch (byCondition) {
    case VER_EQUAL:
        return llCompare == 0;
    case kGreater:
        return llCompare > 0;
    case VER_GREATER_EQUAL:
        return llCompare >= 0;
    case kLess:
        return llCompare < 0;
    case kLessEqual:
        return llCompare <= 0;
    default:
        return false;
    }
}

}  // namespace

BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation)
{
    if (lpVersionInformation == nullptr ||
        (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW) &&
         lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW))) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    lpVersionInformation->dwMajorVersion = kMajor;
    lpVersionInformation->dwMinorVersion = kMinor;
    lpVersionInformation->dwBuildNumber = kBuild;
    lpVersionInformation->dwPlatformId = kPlatformNt;
    static const WCHAR kServicePack[] = u"Service Pack 1";
    memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
    memcpy(lpVersionInformation->szCSDVersion, kServicePack, sizeof(kServicePack));
    if (lpVersionInformation->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW)) {
        auto* pEx = reinterpret_cast<LPOSVERSIONINFOEXW>(lpVersionInformation);
        pEx->wServicePackMajor = kServicePackMajor;
        pEx->wServicePackMinor = kServicePackMinor;
        pEx->wSuiteMask = 0;
        pEx->wProductType = kWorkstation;
        pEx->wReserved = 0;
    }
    return TRUE;
}

ULONGLONG VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition)
{
    // Three bits of condition per type bit, in the order of the type bits.
    for (int nBit = 0; nBit < 8; ++nBit)
        if ((TypeMask & (1u << nBit)) != 0) ConditionMask |= static_cast<ULONGLONG>(Condition & 7) << (nBit * 3);
    return ConditionMask;
}

BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask, DWORDLONG dwlConditionMask)
{
    if (lpVersionInformation == nullptr || dwTypeMask == 0 || dwlConditionMask == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const OSVERSIONINFOEXW& want = *lpVersionInformation;
    bool bHolds = true;
    if ((dwTypeMask & VER_PRODUCT_TYPE) != 0)
        bHolds = Holds(ConditionOf(dwlConditionMask, VER_PRODUCT_TYPE),
                       static_cast<LONGLONG>(kWorkstation) - static_cast<LONGLONG>(want.wProductType));
    // Major, minor and service pack compare as one version: the first part that differs decides, under
    // the condition given for the most significant part asked for.
    struct Part {
        DWORD dwType;
        LONGLONG llHave, llWant;
    };
    const Part kParts[] = {{VER_MAJORVERSION, kMajor, want.dwMajorVersion},
                           {VER_MINORVERSION, kMinor, want.dwMinorVersion},
                           {VER_SERVICEPACKMAJOR, kServicePackMajor, want.wServicePackMajor},
                           {VER_SERVICEPACKMINOR, kServicePackMinor, want.wServicePackMinor}};
    BYTE byCondition = 0;
    LONGLONG llCompare = 0;
    for (const Part& part : kParts) {
        if ((dwTypeMask & part.dwType) == 0) continue;
        if (byCondition == 0) byCondition = ConditionOf(dwlConditionMask, part.dwType);
        if (llCompare == 0) llCompare = part.llHave - part.llWant;
    }
    if (byCondition != 0 && !Holds(byCondition, llCompare)) bHolds = false;
    if (!bHolds) {
        SetLastError(ERROR_OLD_WIN_VERSION);
        return FALSE;
    }
    return TRUE;
}
