// RaiseException: nothing in the program catches a structured exception,
// so the process ends as an unhandled exception ends it on Windows: one
// line on standard error and the exception code as the exit status.
#include <stdio.h>
#include <unistd.h>

#include "hosted.h"
#include "trace_line.h"

// Present only in a coverage build (gcc --coverage): writes the counts that
// _exit would otherwise lose.
extern "C" void __gcov_dump(void) __attribute__((weak));

extern "C" void WINAPI RaiseException(DWORD dwExceptionCode, DWORD dwExceptionFlags,
                                      DWORD nNumberOfArguments, const ULONG_PTR *lpArguments) {
    (void)nNumberOfArguments;
    (void)lpArguments;
    char line[128];
    int n = snprintf(line, sizeof line, "unhandled exception 0x%08X (flags 0x%X)\n",
                     (unsigned)dwExceptionCode, (unsigned)dwExceptionFlags);
    if (n > 0) {
        ssize_t w = write(2, line, (size_t)n);
        (void)w;
    }
    hosted::CTraceLine("exception").Set("code", dwExceptionCode).Write();
    hosted::TraceOutcome("unhandled-exception");
    hosted::TraceRunEnd((int)dwExceptionCode, true);
    (void)fflush(nullptr);
    if (__gcov_dump) __gcov_dump();
    _exit((int)dwExceptionCode);
}
