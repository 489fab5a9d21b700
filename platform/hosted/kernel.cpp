// Named mutexes and Sleep.
//
// A named mutex exists while some process holds a handle to it. Each name
// is a lock file in the simulator's state folder (per simulated session,
// or shared by all sessions for "Global\" names): a holder keeps a shared
// lock on it, and a creator that cannot take an exclusive lock knows that
// the mutex already exists. Process exit drops the locks, as it closes the
// handles on Windows. The machine description can also name mutexes that
// another copy holds.
//
// Only a creator that took its lock knows the answer: when a host step
// fails (the folder, the guard, the lock file or a lock), the call fails
// with the Win32 error of that step and returns no handle.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host_steps.h"
#include "machine.h"
#include "objects.h"
#include "trace_line.h"

namespace {

const wchar_t kGlobalPrefix[] = L"Global\\";
const wchar_t kLocalPrefix[] = L"Local\\";

bool StartsWith(const wchar_t *s, const wchar_t *prefix) {
    return wcsncmp(s, prefix, wcslen(prefix)) == 0;
}

bool HeldByMachine(const std::wstring &full, bool global, uint32_t session) {
    std::string utf8 = hosted::Utf8(full.c_str());
    for (const sim::ExistingMutex &m : hosted::CurrentMachine().existing_mutexes)
        if (m.name == utf8 && (global || m.session == session)) return true;
    return false;
}

int LockWaiting(int fd, int operation) {
    int rc;
    while ((rc = flock(fd, operation)) != 0 && errno == EINTR) {
    }
    return rc;
}

// Opens (or makes) the lock file of a named mutex and holds it shared.
// Returns the descriptor, with *exists telling whether another handle
// already held it, or -1 with *error set.
int HoldNamedMutex(const std::wstring &bare, bool global, uint32_t session, bool *exists,
                   DWORD *error) {
    std::string state, folder;
    if (!hosted::StateFolder("", &state, error) ||
        !hosted::StateFolder(global ? "global" : hosted::SessionFolderName(session), &folder, error))
        return -1;
    const std::string utf8 = hosted::Utf8(bare.c_str());
    const std::string path = folder + "/mutex-" + hosted::Hex(utf8.data(), utf8.size());

    // Creation is serialised by a guard lock on the state folder, so that
    // the test for an exclusive lock and the step down to a shared one are
    // one step for every other creator.
    int guard = open((state + "/.guard").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (guard < 0 || LockWaiting(guard, LOCK_EX) != 0) {
        *error = hosted::Win32ErrorOf(errno);
        if (guard >= 0) close(guard);
        return -1;
    }
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    struct stat st;
    if (fd < 0) {
        // A folder or a link by that name stands for an object of another
        // type, which Windows reports as ERROR_INVALID_HANDLE.
        *error = errno == EISDIR || errno == ELOOP ? ERROR_INVALID_HANDLE : hosted::Win32ErrorOf(errno);
        close(guard);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        *error = ERROR_ACCESS_DENIED;
    } else {
        // Only a refused exclusive lock means that another handle holds it.
        const int rc = flock(fd, LOCK_EX | LOCK_NB);
        if (rc == 0 || errno == EWOULDBLOCK) {
            *exists = rc != 0;
            if (LockWaiting(fd, LOCK_SH) == 0) {
                close(guard);
                return fd;
            }
        }
        *error = hosted::Win32ErrorOf(errno);
    }
    close(fd);
    close(guard);
    return -1;
}

}  // namespace

extern "C" HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                      LPCWSTR lpName) {
    (void)lpMutexAttributes;
    (void)bInitialOwner;  // nothing waits on the mutexes; ownership is not modelled
    auto fail = [&](DWORD error) -> HANDLE {
        SetLastError(error);
        hosted::CTraceLine("mutex_create")
            .Wide("name", lpName)
            .Null("handle")
            .Set("last_error", error)
            .Write();
        return nullptr;
    };
    const uint32_t session = hosted::CurrentMachine().session;
    hosted::Object o;
    o.kind = hosted::ObjectKind::Mutex;
    bool exists = false;
    if (lpName && *lpName) {
        bool global = StartsWith(lpName, kGlobalPrefix);
        const wchar_t *bare = lpName;
        if (global) bare += wcslen(kGlobalPrefix);
        else if (StartsWith(lpName, kLocalPrefix)) bare += wcslen(kLocalPrefix);
        if (wcschr(bare, L'\\')) return fail(ERROR_INVALID_NAME);
        DWORD error = ERROR_SUCCESS;
        o.fd = HoldNamedMutex(bare, global, session, &exists, &error);
        if (o.fd < 0) return fail(error);
        o.name = hosted::Utf8(lpName);
        if (HeldByMachine(lpName, global, session)) exists = true;
    }
    HANDLE h = hosted::AddObject(o);
    SetLastError(exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    hosted::CTraceLine("mutex_create")
        .Wide("name", lpName)
        .Handle("handle", h)
        .Set("already_exists", exists)
        .Write();
    return h;
}

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
    hosted::CTraceLine("sleep").Set("ms", dwMilliseconds).Write();
    hosted::PauseMs(dwMilliseconds);
}
