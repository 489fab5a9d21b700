// GetSystemTime and QueryPerformanceCounter over the host clock, or over
// the fixed values that a machine description or a test sets.
#include <time.h>

#include "hosted.h"

namespace {
bool g_fixedTime_on = false;
bool g_fixedCounter_on = false;
SYSTEMTIME g_fixedTime;
int64_t g_fixedCounter = 0;
}  // namespace

namespace hosted {
void SetFixedClock(const SYSTEMTIME &time, int64_t counter) {
    SetClockParts(true, time, true, counter);
}
void SetClockParts(bool fixed_time, const SYSTEMTIME &time, bool fixed_counter, int64_t counter) {
    g_fixedTime_on = fixed_time;
    g_fixedTime = time;
    g_fixedCounter_on = fixed_counter;
    g_fixedCounter = counter;
}
void ClearFixedClock() { g_fixedTime_on = g_fixedCounter_on = false; }
}  // namespace hosted

extern "C" void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    if (g_fixedTime_on) {
        *lpSystemTime = g_fixedTime;
        return;
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    lpSystemTime->wYear = (WORD)(tm.tm_year + 1900);
    lpSystemTime->wMonth = (WORD)(tm.tm_mon + 1);
    lpSystemTime->wDayOfWeek = (WORD)tm.tm_wday;
    lpSystemTime->wDay = (WORD)tm.tm_mday;
    lpSystemTime->wHour = (WORD)tm.tm_hour;
    lpSystemTime->wMinute = (WORD)tm.tm_min;
    lpSystemTime->wSecond = (WORD)tm.tm_sec;
    lpSystemTime->wMilliseconds = (WORD)(ts.tv_nsec / 1000000);
}

extern "C" BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount) {
    if (g_fixedCounter_on) {
        lpPerformanceCount->QuadPart = g_fixedCounter;
        return TRUE;
    }
    // A 10 MHz counter, as current Windows versions report.
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    lpPerformanceCount->QuadPart = (int64_t)ts.tv_sec * 10000000 + ts.tv_nsec / 100;
    return TRUE;
}
