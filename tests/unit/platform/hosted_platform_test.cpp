// The hosted platform's own calls when their host step fails: each fails
// as Win32 fails, with its exact last error, and none reports a success
// it did not have. Host failures are made real: folders in the way or of
// another user, and system calls that a seccomp filter fails in a child
// process.
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "device_paths.h"
#include "misc_driver.h"
#include "support.h"

namespace unit {
namespace {

constexpr uid_t kOtherUser = 65534;
constexpr WCHAR kInstanceName[] = L"Veltrano_Cellvaro_Exclusive_Mutex";
constexpr WCHAR kGlobalName[] = L"Global\\Veltrano_Cellvaro_Exclusive_Global_Mutex";

// A fresh folder for one test, and CELLVARO_SIM_DIR pointing where the
// test says, both undone at the end.
class HostedPlatformTest : public HostedTest {
protected:
    void SetUp() override {
        HostedTest::SetUp();
        char pattern[] = "/tmp/cellvaro-hosted-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        _root = pattern;
        const char *old = getenv("CELLVARO_SIM_DIR");
        _oldSimDir = old ? old : "";
        UseSimDir(_root + "/sim");
        UseMachine("{}");
    }
    void TearDown() override {
        setenv("CELLVARO_SIM_DIR", _oldSimDir.c_str(), 1);
        std::error_code ignored;
        std::filesystem::remove_all(_root, ignored);
        HostedTest::TearDown();
    }
    void UseSimDir(const std::string &path) { setenv("CELLVARO_SIM_DIR", path.c_str(), 1); }
    const std::string &Root() const { return _root; }

private:
    std::string _root;
    std::string _oldSimDir;
};

void WriteFile(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

void MakeFolder(const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path; }

// The lock file name of a mutex name in its namespace folder.
std::string LockName(const WCHAR *bare) {
    const std::string utf8 = hosted::Utf8(bare);
    return "mutex-" + hosted::Hex(utf8.data(), utf8.size());
}

// ---------------------------------------------------------------------------
// The state folder and its namespaces.

TEST_F(HostedPlatformTest, NamedMutexExistsWhileAHandleIsOpen) {
    SetLastError(kSentinel);
    HANDLE first = CreateMutexW(nullptr, FALSE, kInstanceName);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    HANDLE second = CreateMutexW(nullptr, FALSE, kInstanceName);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(CloseHandle(first));
    HANDLE again = CreateMutexW(nullptr, FALSE, kInstanceName);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(CloseHandle(again));
    // The state folder is made private to this user.
    struct stat st;
    ASSERT_EQ(stat((Root() + "/sim").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

struct BrokenFolderCase {
    const char *name;
    // Lays out the broken state under the test's folder; returns the value
    // of CELLVARO_SIM_DIR, or "" when the layout cannot be made here.
    std::string (*layout)(const std::string &root);
    const WCHAR *mutex;
    DWORD error;
    bool sessionBroken;  // the session's window folder cannot be used either
};

void PrintTo(const BrokenFolderCase &c, std::ostream *os) { *os << c.name; }

std::string OwnedByOtherUser(const std::string &path, bool link) {
    const int rc = link ? lchown(path.c_str(), kOtherUser, kOtherUser)
                        : chown(path.c_str(), kOtherUser, kOtherUser);
    return rc == 0 ? path : "";
}

const BrokenFolderCase kBrokenFolders[] = {
    {"StateFolderAndItsParentMissing", [](const std::string &root) { return root + "/missing/sim"; },
     kInstanceName, ERROR_PATH_NOT_FOUND, true},
    {"StateFolderIsAFile",
     [](const std::string &root) {
         WriteFile(root + "/sim", "x");
         return root + "/sim";
     },
     kGlobalName, ERROR_PATH_NOT_FOUND, true},
    {"StateFolderOfAnotherUser",
     [](const std::string &root) {
         MakeFolder(root + "/sim");
         return OwnedByOtherUser(root + "/sim", false);
     },
     kInstanceName, ERROR_ACCESS_DENIED, true},
    {"StateFolderThatOthersCanWrite",
     [](const std::string &root) {
         MakeFolder(root + "/sim");
         chmod((root + "/sim").c_str(), 0777);
         return root + "/sim";
     },
     kInstanceName, ERROR_ACCESS_DENIED, true},
    {"StateFolderALinkOfAnotherUser",
     [](const std::string &root) {
         MakeFolder(root + "/real");
         EXPECT_EQ(symlink((root + "/real").c_str(), (root + "/sim").c_str()), 0);
         return OwnedByOtherUser(root + "/sim", true);
     },
     kInstanceName, ERROR_ACCESS_DENIED, true},
    {"SessionFolderIsAFile",
     [](const std::string &root) {
         MakeFolder(root + "/sim");
         WriteFile(root + "/sim/session-1", "x");
         return root + "/sim";
     },
     kInstanceName, ERROR_PATH_NOT_FOUND, true},
    {"GlobalFolderOfAnotherUser",
     [](const std::string &root) {
         MakeFolder(root + "/sim");
         MakeFolder(root + "/sim/global");
         return OwnedByOtherUser(root + "/sim/global", false).empty() ? "" : root + "/sim";
     },
     kGlobalName, ERROR_ACCESS_DENIED, false},
    {"GuardIsAFolder",
     [](const std::string &root) {
         MakeFolder(root + "/sim");
         MakeFolder(root + "/sim/.guard");
         return root + "/sim";
     },
     kInstanceName, ERROR_ACCESS_DENIED, false},
    // Another object, not a mutex, holds the name.
    {"LockFileIsAFolder",
     [](const std::string &root) {
         MakeFolder(root + "/sim");
         MakeFolder(root + "/sim/session-1");
         MakeFolder(root + "/sim/session-1/" + LockName(kInstanceName));
         return root + "/sim";
     },
     kInstanceName, ERROR_INVALID_HANDLE, false},
};

class BrokenStateFolder : public HostedPlatformTest,
                          public ::testing::WithParamInterface<BrokenFolderCase> {};

TEST_P(BrokenStateFolder, CreateMutexFailsWithTheErrorOfItsNamespace) {
    const BrokenFolderCase &c = GetParam();
    const std::string simDir = c.layout(Root());
    if (simDir.empty()) GTEST_SKIP() << "files cannot be given to another user here";
    UseSimDir(simDir);
    TakeTrace();

    SetLastError(kSentinel);
    HANDLE h = CreateMutexW(nullptr, FALSE, c.mutex);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(GetLastError(), c.error);
    Trace created = Events(TakeTrace(), "mutex_create");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_TRUE(created[0]["handle"].is_null()) << created[0];
    EXPECT_EQ(created[0]["last_error"], c.error);
    if (h) CloseHandle(h);

    // The window calls of that session fail too, as on a desktop that
    // cannot be used.
    if (c.sessionBroken) {
        SetLastError(kSentinel);
        EXPECT_EQ(FindWindowW(nullptr, L"Cellvaro"), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        SetLastError(kSentinel);
        EXPECT_EQ(MessageBoxW(nullptr, L"text", L"Cellvaro", MB_OK), 0);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        EXPECT_TRUE(Events(TakeTrace(), "message_box_closed").empty());
        SetLastError(kSentinel);
        EXPECT_FALSE(SetForegroundWindow((HWND)(uintptr_t)getpid()));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    }
}

INSTANTIATE_TEST_SUITE_P(Folders, BrokenStateFolder, ::testing::ValuesIn(kBrokenFolders),
                         [](const ::testing::TestParamInfo<BrokenFolderCase> &p) { return p.param.name; });

// ---------------------------------------------------------------------------
// System calls that fail: a child process installs a seccomp filter that
// fails the named calls with an errno value, makes one Win32 call and
// reports its result through shared memory.

struct CallOutcome {
    bool succeeded;
    DWORD error;
};

struct ChildReport {
    int filterInstalled;
    CallOutcome outcome;
};

// A filter that fails the system calls `numbers` (only those whose second
// argument is `arg1`, unless it is negative) with `errnoValue`.
std::vector<sock_filter> FailingCalls(const std::vector<long> &numbers, long arg1, int errnoValue) {
    std::vector<sock_filter> f;
    f.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)));
    for (size_t i = 0; i < numbers.size(); i++)
        f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t)numbers[i],
                             (uint8_t)(numbers.size() - i), 0));
    f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    if (arg1 >= 0) {
        // The low half of the argument on a little-endian host.
        f.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[1])));
        f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t)arg1, 1, 0));
        f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ((uint32_t)errnoValue & SECCOMP_RET_DATA)));
    return f;
}

// Runs `call` in a child with the filter; false when the child could not
// install it (the test then skips) or did not report.
bool RunInChild(const std::vector<sock_filter> &filter, CallOutcome (*call)(void *), void *context,
                CallOutcome *outcome, int *signal) {
    void *shared = mmap(nullptr, sizeof(ChildReport), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return false;
    ChildReport *report = new (shared) ChildReport{-1, {true, 0}};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        sock_fprog program = {(unsigned short)filter.size(), const_cast<sock_filter *>(filter.data())};
        report->filterInstalled = filter.empty() || (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                                                     prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0);
        if (report->filterInstalled) report->outcome = call(context);
        _exit(0);
    }
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
    *signal = pid > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    const bool ran = pid > 0 && report->filterInstalled == 1;
    *outcome = report->outcome;
    munmap(shared, sizeof(ChildReport));
    return ran || *signal;
}

// The system calls of one step on this architecture: the newer form, and
// the older ones where they still exist.
const std::vector<long> kOpenCalls = {__NR_openat,
#ifdef __NR_open
                                      __NR_open,
#endif
};
const std::vector<long> kMkdirCalls = {__NR_mkdirat,
#ifdef __NR_mkdir
                                       __NR_mkdir,
#endif
};
const std::vector<long> kForkCalls = {__NR_clone,
#ifdef __NR_clone3
                                      __NR_clone3,
#endif
#ifdef __NR_fork
                                      __NR_fork,
#endif
};

CallOutcome CreateInstanceMutex(void *) {
    SetLastError(kSentinel);
    HANDLE h = CreateMutexW(nullptr, FALSE, kInstanceName);
    return {h != nullptr, GetLastError()};
}

CallOutcome OpenMiscDevice(void *) {
    SetLastError(kSentinel);
    HANDLE h = CreateFileW(hosted::MiscDevicePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return {h != INVALID_HANDLE_VALUE, GetLastError()};
}

CallOutcome ShowBox(void *) {
    SetLastError(kSentinel);
    int button = MessageBoxW(nullptr, L"text", L"Cellvaro", MB_OK);
    return {button != 0, GetLastError()};
}

CallOutcome FindBox(void *) {
    SetLastError(kSentinel);
    // The caption of no window: success here is "none found" without an error.
    HWND h = FindWindowW(nullptr, L"Cellvaro");
    DWORD error = GetLastError();
    return {h == nullptr && error == kSentinel, error};
}

CallOutcome BringParentsBoxForward(void *) {
    SetLastError(kSentinel);
    BOOL ok = SetForegroundWindow((HWND)(uintptr_t)getppid());
    return {ok != FALSE, GetLastError()};
}

struct FailingCallRow {
    const char *name;
    std::vector<long> syscalls;
    long arg1;
    int errnoValue;
    CallOutcome (*call)(void *);
    DWORD error;
    bool freshFolder;  // the state folder is still to be made
};

TEST_F(HostedPlatformTest, EveryFailedHostStepFailsTheCall) {
    UseMachine(MachineWith(R"("external": "cat >/dev/null")"));
    const FailingCallRow rows[] = {
        {"mutex: the guard lock", {__NR_flock}, LOCK_EX, ENOLCK, CreateInstanceMutex, ERROR_NO_SYSTEM_RESOURCES, false},
        {"mutex: the test lock", {__NR_flock}, LOCK_EX | LOCK_NB, ENOLCK, CreateInstanceMutex,
         ERROR_NO_SYSTEM_RESOURCES, false},
        {"mutex: the shared lock", {__NR_flock}, LOCK_SH, ENOLCK, CreateInstanceMutex, ERROR_NO_SYSTEM_RESOURCES, false},
        {"mutex: no descriptors", kOpenCalls, -1, EMFILE, CreateInstanceMutex, ERROR_NO_SYSTEM_RESOURCES, false},
        {"mutex: a read-only disk", kMkdirCalls, -1, EROFS, CreateInstanceMutex, ERROR_ACCESS_DENIED, true},
        {"external driver: no pipes", {__NR_pipe2}, -1, EMFILE, OpenMiscDevice, ERROR_NO_SYSTEM_RESOURCES, false},
        {"external driver: no process", kForkCalls, -1, EAGAIN, OpenMiscDevice, ERROR_NO_SYSTEM_RESOURCES, false},
        {"box: no descriptors", kOpenCalls, -1, EMFILE, ShowBox, ERROR_NOT_ENOUGH_MEMORY, false},
        {"box: the window file not written", {__NR_write}, -1, ENOSPC, ShowBox, ERROR_NOT_ENOUGH_MEMORY, false},
        {"box: its folders not made", kMkdirCalls, -1, EACCES, ShowBox, ERROR_ACCESS_DENIED, true},
        {"find window: no descriptors", kOpenCalls, -1, EMFILE, FindBox, ERROR_NOT_ENOUGH_MEMORY, false},
        {"to the front: no descriptors", kOpenCalls, -1, EMFILE, BringParentsBoxForward, ERROR_NOT_ENOUGH_MEMORY, false},
    };
    // A box of this process for SetForegroundWindow to find.
    std::string windows = Root() + "/sim";
    MakeFolder(windows);
    MakeFolder(windows += "/session-1");
    MakeFolder(windows += "/windows");
    WriteFile(windows + "/" + std::to_string(getpid()), "Cellvaro");

    for (const FailingCallRow &row : rows) {
        SCOPED_TRACE(row.name);
        UseSimDir(row.freshFolder ? Root() + "/fresh-" + std::to_string(&row - rows) : Root() + "/sim");
        // The shared lock is taken after a refused test lock too: another
        // handle holds the mutex then.
        HANDLE holder = nullptr;
        if (row.arg1 == LOCK_SH) {
            holder = CreateMutexW(nullptr, FALSE, kInstanceName);
            ASSERT_NE(holder, nullptr);
        }
        CallOutcome outcome;
        int signal = 0;
        if (!RunInChild(FailingCalls(row.syscalls, row.arg1, row.errnoValue), row.call, nullptr, &outcome,
                        &signal))
            GTEST_SKIP() << "no seccomp filters here";
        EXPECT_EQ(signal, 0);
        EXPECT_FALSE(outcome.succeeded);
        EXPECT_EQ(outcome.error, row.error);
        if (holder) CloseHandle(holder);
    }
}

// Writes to a pipe whose reader has gone fail; they never end the process.
TEST_F(HostedPlatformTest, APipeWithoutReaderFailsTheBoxAndSparesTheTrace) {
    CallOutcome outcome;
    int signal = 0;
    auto boxAndTrace = [](void *root) -> CallOutcome {
        int fds[2];
        if (pipe(fds) != 0) return {true, 0};
        // The trace into a pipe opened while its reader was still there.
        hosted::TraceOpen(("/proc/self/fd/" + std::to_string(fds[1])).c_str());
        dup2(fds[1], 1);
        close(fds[0]);
        hosted::Trace("\"event\":\"sleep\",\"ms\":1");
        SetLastError(kSentinel);
        const int button = MessageBoxW(nullptr, L"text", L"Cellvaro", MB_OK);
        const DWORD error = GetLastError();
        // A box that was not shown leaves no window behind.
        const std::string windows = *(const std::string *)root + "/sim/session-1/windows/" + std::to_string(getpid());
        return {button != 0 || access(windows.c_str(), F_OK) == 0, error};
    };
    std::string root = Root();
    ASSERT_TRUE(RunInChild({}, boxAndTrace, &root, &outcome, &signal));
    EXPECT_EQ(signal, 0) << "ended by signal " << signal;
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_EQ(outcome.error, (DWORD)ERROR_ACCESS_DENIED);
}

// ---------------------------------------------------------------------------
// The external driver port delivers a failed request's bytes only with
// ERROR_MORE_DATA; success delivers them too.

TEST_F(HostedPlatformTest, ExternalPortDeliversDataOnSuccessAndMoreDataOnly) {
    struct Row {
        const char *name;
        const char *resultAndError;  // the reply frame's two words, as printf octal escapes
        BOOL result;
        DWORD error;
        bool delivered;
    };
    const Row rows[] = {
        {"success", "\\001\\000\\000\\000\\000\\000\\000\\000", TRUE, kSentinel, true},
        {"more data", "\\000\\000\\000\\000\\352\\000\\000\\000", FALSE, ERROR_MORE_DATA, true},
        {"an error", "\\000\\000\\000\\000\\037\\000\\000\\000", FALSE, ERROR_GEN_FAILURE, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        // One reply of four bytes, "DATA", whatever is asked.
        const std::string command =
            std::string("printf '\\014\\000\\000\\000") + row.resultAndError + "DATA'; cat >/dev/null";
        json machine = json::parse(MachineWith(""));
        machine["misc_driver"]["external"] = command;
        UseMachine(machine.dump());
        HANDLE h = CreateFileW(hosted::MiscDevicePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        uint8_t in[4] = {1, 2, 3, 4};
        uint8_t out[8];
        memset(out, 0xEE, sizeof out);
        DWORD bytes = 0x12345678;
        SetLastError(kSentinel);
        EXPECT_EQ(DeviceIoControl(h, IOCTL_MISC_CAPSULE, in, sizeof in, out, sizeof out, &bytes, nullptr), row.result);
        EXPECT_EQ(GetLastError(), row.error);
        if (row.delivered) {
            EXPECT_EQ(bytes, 4u);
            EXPECT_EQ(Hex(out, sizeof out), "44415441eeeeeeee");
        } else {
            EXPECT_EQ(bytes, 0x12345678u);
            EXPECT_EQ(Hex(out, sizeof out), "eeeeeeeeeeeeeeee");
        }
        EXPECT_TRUE(CloseHandle(h));
    }
}

}  // namespace
}  // namespace unit
