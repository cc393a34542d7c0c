// platform/linux/src/system/Times.cpp — the local clock and the zone's rules of the native build: local
// times convert with the rule in force on their own date (daylight saving included), as the platform does.
#include <windows.h>

#include <ctime>

void GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    if (lpSystemTime == nullptr) return;
    struct timespec ts = {};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmLocal = {};
    const time_t tNow = ts.tv_sec;
    if (localtime_r(&tNow, &tmLocal) == nullptr) return;
    lpSystemTime->wYear = static_cast<WORD>(tmLocal.tm_year + 1900);
    lpSystemTime->wMonth = static_cast<WORD>(tmLocal.tm_mon + 1);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(tmLocal.tm_wday);
    lpSystemTime->wDay = static_cast<WORD>(tmLocal.tm_mday);
    lpSystemTime->wHour = static_cast<WORD>(tmLocal.tm_hour);
    lpSystemTime->wMinute = static_cast<WORD>(tmLocal.tm_min);
    lpSystemTime->wSecond = static_cast<WORD>(tmLocal.tm_sec);
    lpSystemTime->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

BOOL TzSpecificLocalTimeToSystemTime(const void* lpTimeZoneInformation, const SYSTEMTIME* lpLocalTime,
                                     LPSYSTEMTIME lpUniversalTime)
{
    // Only the current zone (a null zone) is asked for.
    FILETIME ftCheck = {};
    if (lpTimeZoneInformation != nullptr || lpLocalTime == nullptr || lpUniversalTime == nullptr ||
        !SystemTimeToFileTime(lpLocalTime, &ftCheck)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct tm tmLocal = {};
    tmLocal.tm_year = lpLocalTime->wYear - 1900;
    tmLocal.tm_mon = lpLocalTime->wMonth - 1;
    tmLocal.tm_mday = lpLocalTime->wDay;
    tmLocal.tm_hour = lpLocalTime->wHour;
    tmLocal.tm_min = lpLocalTime->wMinute;
    tmLocal.tm_sec = lpLocalTime->wSecond;
    tmLocal.tm_isdst = -1;
    const time_t tUtc = mktime(&tmLocal);
    struct tm tmUtc = {};
    if (tUtc == static_cast<time_t>(-1) && tmLocal.tm_year != 69) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (gmtime_r(&tUtc, &tmUtc) == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SYSTEMTIME st = {};
    st.wYear = static_cast<WORD>(tmUtc.tm_year + 1900);
    st.wMonth = static_cast<WORD>(tmUtc.tm_mon + 1);
    st.wDayOfWeek = static_cast<WORD>(tmUtc.tm_wday);
    st.wDay = static_cast<WORD>(tmUtc.tm_mday);
    st.wHour = static_cast<WORD>(tmUtc.tm_hour);
    st.wMinute = static_cast<WORD>(tmUtc.tm_min);
    st.wSecond = static_cast<WORD>(tmUtc.tm_sec);
    st.wMilliseconds = lpLocalTime->wMilliseconds;
    *lpUniversalTime = st;
    return TRUE;
}
