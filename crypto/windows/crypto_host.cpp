// The cryptographic code's host over the Win32 API: RaiseException,
// GetSystemTime and QueryPerformanceCounter. The program links it with the
// crypto library; the hosted build compiles it into its platform base,
// beneath the simulated notebook, where those calls are the hosted layer's
// (exception.cpp, and clock.cpp, which a machine description may fix).
#include "crypto_host.h"

#include <stddef.h>
#include <string.h>

#include "platform.h"

static_assert(CRYPTO_EXCEPTION_INT_DIVIDE_BY_ZERO == EXCEPTION_INT_DIVIDE_BY_ZERO, "Windows code");
static_assert(CRYPTO_EXCEPTION_INT_OVERFLOW == EXCEPTION_INT_OVERFLOW, "Windows code");
static_assert(CRYPTO_EXCEPTION_NONCONTINUABLE == EXCEPTION_NONCONTINUABLE, "Windows flag");

void crypto_host_raise(uint32_t code, uint32_t flags) { RaiseException(code, flags, 0, nullptr); }

// SYSTEMTIME is the eight 16-bit fields in the order of the reading.
static_assert(sizeof(SYSTEMTIME) == sizeof(crypto_clock_reading::utc), "eight WORDs");
static_assert(offsetof(SYSTEMTIME, wDayOfWeek) == 2 * sizeof(uint16_t) &&
                  offsetof(SYSTEMTIME, wMilliseconds) == 7 * sizeof(uint16_t),
              "field order");

void crypto_host_read_clock(crypto_clock_reading *reading) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    memcpy(reading->utc, &now, sizeof now);
    reading->counter = counter.QuadPart;
}
