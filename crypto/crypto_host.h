// What the cryptographic code asks of the system it runs on: a structured
// exception for the big numbers, and the clock readings that seed the
// random generator. Each host implements these once, in a file of this
// name: crypto/windows/ over the Win32 API (the program, and the hosted
// build over its Win32 subset), sim/wdm/ for the kernel-mode test driver.
#pragma once

#include <stdint.h>

// Exception codes and flags as Windows numbers them.
constexpr uint32_t CRYPTO_EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094u;
constexpr uint32_t CRYPTO_EXCEPTION_INT_OVERFLOW = 0xC0000095u;
constexpr uint32_t CRYPTO_EXCEPTION_NONCONTINUABLE = 1;

// Raises a structured exception with this code and these flags and no
// arguments. Nothing in the program handles one, so it does not return;
// a host that could continue after a continuable one returns.
void crypto_host_raise(uint32_t code, uint32_t flags);

// The UTC system time's eight fields, in the order of the Windows record:
// year, month, day of week, day, hour, minute, second, milliseconds.
constexpr uint32_t CRYPTO_TIME_FIELDS = 8;

struct crypto_clock_reading {
    uint16_t utc[CRYPTO_TIME_FIELDS];
    int64_t counter;  // the performance counter, read after the time
};

// Reads the system time, then the performance counter (whose result is
// not looked at).
void crypto_host_read_clock(crypto_clock_reading *reading);
