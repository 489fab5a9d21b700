// Host steps that several hosted calls share: errno to Win32 errors, whole
// writes, pauses that last, and SIGPIPE turned into a failed write.
#include "host_steps.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

namespace hosted {

DWORD Win32ErrorOf(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case EAGAIN:
    case ENOLCK:
    case ENOSPC:
    case EDQUOT: return ERROR_NO_SYSTEM_RESOURCES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    default: return ERROR_GEN_FAILURE;
    }
}

bool WriteAll(int fd, const void *data, size_t size) {
    const unsigned char *p = (const unsigned char *)data;
    while (size) {
        ssize_t w = write(fd, p, size);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return false;
        if (w == 0) {
            errno = EIO;
            return false;
        }
        p += w;
        size -= (size_t)w;
    }
    return true;
}

void PauseMs(uint32_t ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

CBrokenPipeFails::CBrokenPipeFails() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &_old);
}

CBrokenPipeFails::~CBrokenPipeFails() { sigaction(SIGPIPE, &_old, nullptr); }

}  // namespace hosted
