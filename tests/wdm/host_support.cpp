// What the devices' host asks of the kernel, given by the test process so
// that it can run the same host as the driver.
#include <windows.h>

#include "host.h"

extern "C" {

void SimKernelEntropy(uint8_t out[16]) {
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t = {};
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    for (int i = 0; i < 8; i++) {
        out[i] = static_cast<uint8_t>(static_cast<ULONGLONG>(counter.QuadPart) >> (8 * i));
        out[8 + i] = static_cast<uint8_t>(t.QuadPart >> (8 * i));
    }
}

void *SimKernelAllocate(uint32_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void SimKernelFree(void *block) { HeapFree(GetProcessHeap(), 0, block); }

void SimKernelRaise(uint32_t code) {
    RaiseException(code, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    ExitProcess(code);
}

}  // extern "C"
