// platform/linux/src/Kernel.cpp — the thread's last error and the time conversions of the native build,
// with the platform's ranges: FILETIME counts 100 ns from 1601-01-01 UTC and is valid up to 2^63 - 1.
#include <windows.h>

#include <ctime>

namespace {

thread_local DWORD t_dwLastError = ERROR_SUCCESS;

constexpr ULONGLONG kTicksPerSecond = 10000000ull;
constexpr ULONGLONG kTicksPerDay = 86400ull * kTicksPerSecond;
constexpr ULONGLONG kMaxFileTime = 0x7FFFFFFFFFFFFFFFull;
// Days from 0000-03-01 (proleptic Gregorian) to 1601-01-01.
constexpr LONGLONG kDaysTo1601 = 584694;
// Seconds between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kSecondsTo1970 = 11644473600ll;

ULONGLONG TicksOf(const FILETIME& ft) { return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

void PutTicks(ULONGLONG ullTicks, FILETIME& ft)
{
    ft.dwLowDateTime = static_cast<DWORD>(ullTicks);
    ft.dwHighDateTime = static_cast<DWORD>(ullTicks >> 32);
}

// Civil date of a day count from 0000-03-01 (the era arithmetic of the proleptic Gregorian calendar).
void CivilOfDays(LONGLONG llDays, LONGLONG& llYear, unsigned& uMonth, unsigned& uDay)
{
    const LONGLONG llEra = llDays / 146097;
    const unsigned uDayOfEra = static_cast<unsigned>(llDays - llEra * 146097);
    const unsigned uYearOfEra = (uDayOfEra - uDayOfEra / 1460 + uDayOfEra / 36524 - uDayOfEra / 146096) / 365;
    const unsigned uDayOfYear = uDayOfEra - (365 * uYearOfEra + uYearOfEra / 4 - uYearOfEra / 100);
    const unsigned uMonthFromMarch = (5 * uDayOfYear + 2) / 153;
    uDay = uDayOfYear - (153 * uMonthFromMarch + 2) / 5 + 1;
    uMonth = uMonthFromMarch < 10 ? uMonthFromMarch + 3 : uMonthFromMarch - 9;
    llYear = static_cast<LONGLONG>(uYearOfEra) + llEra * 400 + (uMonth <= 2 ? 1 : 0);
}

LONGLONG DaysOfCivil(LONGLONG llYear, unsigned uMonth, unsigned uDay)
{
    llYear -= uMonth <= 2 ? 1 : 0;
    const LONGLONG llEra = llYear / 400;
    const unsigned uYearOfEra = static_cast<unsigned>(llYear - llEra * 400);
    const unsigned uDayOfYear = (153 * (uMonth > 2 ? uMonth - 3 : uMonth + 9) + 2) / 5 + uDay - 1;
    const unsigned uDayOfEra = uYearOfEra * 365 + uYearOfEra / 4 - uYearOfEra / 100 + uDayOfYear;
    return llEra * 146097 + static_cast<LONGLONG>(uDayOfEra);
}

bool IsLeapYear(unsigned uYear) { return (uYear % 4 == 0 && uYear % 100 != 0) || uYear % 400 == 0; }

BOOL Fail(DWORD dwError)
{
    t_dwLastError = dwError;
    return FALSE;
}

// The zone's offset from UTC now, in ticks; the platform applies the current bias to every time.
LONGLONG LocalBiasTicks()
{
    const time_t tNow = time(nullptr);
    struct tm tmLocal = {};
    if (localtime_r(&tNow, &tmLocal) == nullptr) return 0;
    return static_cast<LONGLONG>(tmLocal.tm_gmtoff) * static_cast<LONGLONG>(kTicksPerSecond);
}

}  // namespace

DWORD GetLastError() { return t_dwLastError; }

void SetLastError(DWORD dwErrCode) { t_dwLastError = dwErrCode; }

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime)
{
    if (lpFileTime == nullptr || lpSystemTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const ULONGLONG ullTicks = TicksOf(*lpFileTime);
    if (ullTicks > kMaxFileTime) return Fail(ERROR_INVALID_PARAMETER);
    const ULONGLONG ullDays = ullTicks / kTicksPerDay;
    const ULONGLONG ullRest = ullTicks % kTicksPerDay;
    LONGLONG llYear = 0;
    unsigned uMonth = 0, uDay = 0;
    CivilOfDays(static_cast<LONGLONG>(ullDays) + kDaysTo1601, llYear, uMonth, uDay);
    SYSTEMTIME st = {};
    st.wYear = static_cast<WORD>(llYear);
    st.wMonth = static_cast<WORD>(uMonth);
    st.wDay = static_cast<WORD>(uDay);
    st.wDayOfWeek = static_cast<WORD>((ullDays + 1) % 7);  // 1601-01-01 was a Monday
    st.wHour = static_cast<WORD>(ullRest / (3600 * kTicksPerSecond));
    st.wMinute = static_cast<WORD>(ullRest / (60 * kTicksPerSecond) % 60);
    st.wSecond = static_cast<WORD>(ullRest / kTicksPerSecond % 60);
    st.wMilliseconds = static_cast<WORD>(ullRest / 10000 % 1000);
    *lpSystemTime = st;
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime)
{
    if (lpSystemTime == nullptr || lpFileTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const SYSTEMTIME& st = *lpSystemTime;
    static const unsigned kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (st.wYear < 1601 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 || st.wHour > 23 ||
        st.wMinute > 59 || st.wSecond > 59 || st.wMilliseconds > 999)
        return Fail(ERROR_INVALID_PARAMETER);
    const unsigned uLast = kDaysInMonth[st.wMonth - 1] + (st.wMonth == 2 && IsLeapYear(st.wYear) ? 1 : 0);
    if (st.wDay > uLast) return Fail(ERROR_INVALID_PARAMETER);
    const ULONGLONG ullDays = static_cast<ULONGLONG>(DaysOfCivil(st.wYear, st.wMonth, st.wDay) - kDaysTo1601);
    if (ullDays > kMaxFileTime / kTicksPerDay) return Fail(ERROR_INVALID_PARAMETER);
    const ULONGLONG ullTicks = ullDays * kTicksPerDay +
                               (st.wHour * 3600ull + st.wMinute * 60ull + st.wSecond) * kTicksPerSecond +
                               st.wMilliseconds * 10000ull;
    // The time must fit a FILETIME (up to 30828-09-14 02:48:05.477).
    if (ullTicks > kMaxFileTime) return Fail(ERROR_INVALID_PARAMETER);
    PutTicks(ullTicks, *lpFileTime);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime)
{
    if (lpFileTime == nullptr || lpLocalFileTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const LONGLONG llBias = LocalBiasTicks();
    const ULONGLONG ullTicks = TicksOf(*lpFileTime);
    // The result wraps as the platform's does; only the conversion to a system time checks the range.
    PutTicks(ullTicks + static_cast<ULONGLONG>(llBias), *lpLocalFileTime);
    return TRUE;
}

LONG CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2)
{
    const ULONGLONG ull1 = TicksOf(*lpFileTime1), ull2 = TicksOf(*lpFileTime2);
    return ull1 < ull2 ? -1 : (ull1 > ull2 ? 1 : 0);
}

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime)
{
    struct timespec ts = {};
    clock_gettime(CLOCK_REALTIME, &ts);
    const ULONGLONG ullTicks = static_cast<ULONGLONG>(ts.tv_sec + kSecondsTo1970) * kTicksPerSecond +
                               static_cast<ULONGLONG>(ts.tv_nsec) / 100;
    PutTicks(ullTicks, *lpSystemTimeAsFileTime);
}
