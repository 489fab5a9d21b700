// What the cryptographic code needs of the operating system, for the
// kernel-mode test driver: found ahead of platform/platform.h on the
// driver's include path. A raised exception ends up in the driver's
// SimKernelRaise, which raises the status in the kernel.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "host.h"

typedef uint32_t DWORD;
typedef uintptr_t ULONG_PTR;

constexpr DWORD EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094u;
constexpr DWORD EXCEPTION_INT_OVERFLOW = 0xC0000095u;
constexpr DWORD EXCEPTION_NONCONTINUABLE = 1;

inline void RaiseException(DWORD code, DWORD, DWORD, const ULONG_PTR *) { SimKernelRaise(code); }
