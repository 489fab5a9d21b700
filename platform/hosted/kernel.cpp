// Named mutexes and Sleep.
//
// A named mutex exists while some process holds a handle to it. Each name
// is a lock file in the simulator's state folder (per simulated session,
// or shared by all sessions for "Global\" names): a holder keeps a shared
// lock on it, and a creator that cannot take an exclusive lock knows that
// the mutex already exists. Process exit drops the locks, as it closes the
// handles on Windows. The machine description can also name mutexes that
// another copy holds.
#include <string.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include "machine.h"
#include "objects.h"

namespace {

const wchar_t kGlobalPrefix[] = L"Global\\";
const wchar_t kLocalPrefix[] = L"Local\\";

bool StartsWith(const wchar_t *s, const wchar_t *prefix) {
    return wcsncmp(s, prefix, wcslen(prefix)) == 0;
}

// A file name for a mutex name: its UTF-8 bytes in hexadecimal.
std::string LockPath(const std::wstring &name, bool global, uint32_t session) {
    std::string dir = global ? hosted::StateDirectory() + "/global" : hosted::SessionDirectory(session);
    mkdir(dir.c_str(), 0777);
    return dir + "/mutex-" + hosted::Hex(hosted::Utf8(name.c_str()).data(),
                                         hosted::Utf8(name.c_str()).size());
}

bool HeldByMachine(const std::wstring &full, bool global, uint32_t session) {
    std::string utf8 = hosted::Utf8(full.c_str());
    for (const sim::ExistingMutex &m : hosted::CurrentMachine().existing_mutexes)
        if (m.name == utf8 && (global || m.session == session)) return true;
    return false;
}

}  // namespace

extern "C" HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                      LPCWSTR lpName) {
    (void)lpMutexAttributes;
    (void)bInitialOwner;  // nothing waits on the mutexes; ownership is not modelled
    const uint32_t session = hosted::CurrentMachine().session;
    hosted::Object o;
    o.kind = hosted::ObjectKind::Mutex;
    bool exists = false;
    if (lpName && *lpName) {
        bool global = StartsWith(lpName, kGlobalPrefix);
        const wchar_t *bare = lpName;
        if (global) bare += wcslen(kGlobalPrefix);
        else if (StartsWith(lpName, kLocalPrefix)) bare += wcslen(kLocalPrefix);
        if (wcschr(bare, L'\\')) {
            SetLastError(ERROR_INVALID_NAME);
            hosted::Trace("\"event\":\"mutex_create\",\"name\":" + hosted::JsonWide(lpName) +
                          ",\"result\":null,\"last_error\":123");
            return nullptr;
        }
        o.name = hosted::Utf8(lpName);
        // Creation is serialised by a guard lock on the state folder.
        std::string guard_path = hosted::StateDirectory() + "/.guard";
        int guard = open(guard_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (guard >= 0) flock(guard, LOCK_EX);
        int fd = open(LockPath(bare, global, session).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0) {
            if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
                flock(fd, LOCK_SH);
            } else {
                exists = true;
                flock(fd, LOCK_SH);
            }
        }
        if (guard >= 0) close(guard);
        o.fd = fd;
        if (HeldByMachine(lpName, global, session)) exists = true;
    }
    HANDLE h = hosted::AddObject(o);
    SetLastError(exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    hosted::Trace("\"event\":\"mutex_create\",\"name\":" + hosted::JsonWide(lpName) +
                  ",\"handle\":" + std::to_string((uintptr_t)h) +
                  ",\"already_exists\":" + (exists ? "true" : "false"));
    return h;
}

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
    hosted::Trace("\"event\":\"sleep\",\"ms\":" + std::to_string(dwMilliseconds));
    struct timespec ts;
    ts.tv_sec = dwMilliseconds / 1000;
    ts.tv_nsec = (long)(dwMilliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}
