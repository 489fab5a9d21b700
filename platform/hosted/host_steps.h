// Host steps that several hosted calls share: the Win32 error of a failed
// host call, writes that finish, pauses that last their time, and writes
// to a pipe without a reader that fail instead of ending the process.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include "win32.h"

namespace hosted {

// The Win32 error that a kernel object or device call reports when its
// host step failed with the errno value `error`: a missing folder is
// ERROR_PATH_NOT_FOUND, refused access ERROR_ACCESS_DENIED, exhausted
// descriptors, processes, locks or space ERROR_NO_SYSTEM_RESOURCES, a name
// too long ERROR_FILENAME_EXCED_RANGE, anything else ERROR_GEN_FAILURE.
DWORD Win32ErrorOf(int error);

// write(2) until every byte is written; false on an error (errno tells).
bool WriteAll(int fd, const void *data, size_t size);

// Sleeps for the whole time, also when signals interrupt the sleep.
void PauseMs(uint32_t ms);

// While one lives, a write to a pipe whose reader has gone fails with
// EPIPE instead of raising SIGPIPE, which would end the process (Windows
// has no such signal: the write fails).
class CBrokenPipeFails {
public:
    CBrokenPipeFails();
    ~CBrokenPipeFails();
    CBrokenPipeFails(const CBrokenPipeFails &) = delete;
    CBrokenPipeFails &operator=(const CBrokenPipeFails &) = delete;

private:
    struct sigaction _old;
};

}  // namespace hosted
