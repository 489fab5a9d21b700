// CreateFileW and DeviceIoControl on the simulated devices.
//
// Requests are METHOD_BUFFERED and synchronous, as the I/O manager runs
// them: the driver sees a copy of the input and fills at most the output
// size; on success or a warning status (ERROR_MORE_DATA) the bytes it
// wrote and their count reach the caller; on an error status the caller's
// buffer and count are left alone.
//
// The misc device is served by the built-in simulated driver, or by an
// external driver command speaking the framing described in sim/README.md.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "battery_device.h"
#include "byte_order.h"
#include "device_paths.h"
#include "driver_port.h"
#include "host_steps.h"
#include "machine.h"
#include "misc_device.h"
#include "objects.h"
#include "trace_line.h"

namespace hosted {

namespace {

constexpr DWORD kExternalExitWaitMs = 2000;
constexpr uint32_t kMaxFrame = 1u << 20;
// Drivers whose process groups a fatal signal ends with the utility.
constexpr size_t kMaxDriverGroups = 16;
constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

struct ExternalDriver {
    pid_t pid = -1;  // also the driver's process group
    int to_driver = -1;
    int from_driver = -1;
    bool broken = false;
    bool late = false;  // it missed a reply's deadline and was killed
    uint32_t reply_timeout_ms = 0;
    std::string command;
};

std::map<int, ExternalDriver> &Externals() {
    static std::map<int, ExternalDriver> *m = new std::map<int, ExternalDriver>();
    return *m;
}
int g_nextExternal = 1;
bool g_miscOpen = false;
MiscDeviceHook g_hook = nullptr;
void *g_hookContext = nullptr;
BatteryDeviceHook g_batteryHook = nullptr;
void *g_batteryHookContext = nullptr;
bool g_batteryOpen[64] = {};

// The process groups of running drivers, read by the signal handler below;
// 0 marks a free entry.
volatile sig_atomic_t g_driverGroups[kMaxDriverGroups] = {};
bool g_signalsCaught = false;

void RememberGroup(pid_t group) {
    for (volatile sig_atomic_t &g : g_driverGroups)
        if (g == 0) {
            g = group;
            return;
        }
}

void ForgetGroup(pid_t group) {
    for (volatile sig_atomic_t &g : g_driverGroups)
        if (g == group) g = 0;
}

// A signal that ends the utility ends its drivers first, whatever they
// started, then ends the utility as the signal would have (the handler is
// installed with SA_RESETHAND). Only async-signal-safe calls here.
void EndDriversAndDie(int signal) {
    for (volatile sig_atomic_t &g : g_driverGroups)
        if (g > 0) kill(-(pid_t)g, SIGKILL);
    (void)raise(signal);
}

// Installs the handler for the ending signals that still have their default
// action; an ignored signal (nohup) stays ignored.
void CatchEndingSignals() {
    if (g_signalsCaught) return;
    g_signalsCaught = true;
    for (int signal : kEndingSignals) {
        struct sigaction old = {};
        if (sigaction(signal, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction action = {};
        action.sa_handler = EndDriversAndDie;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
}

int64_t MonotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Waits until fd is ready for `events` or the deadline passes; false with
// *late set when time ran out, false alone on an error.
bool ReadyBefore(int fd, short events, int64_t deadline, bool *late) {
    for (;;) {
        const int64_t left = deadline - MonotonicMs();
        if (left <= 0) {
            *late = true;
            return false;
        }
        struct pollfd p = {fd, events, 0};
        const int r = poll(&p, 1, (int)left);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r > 0) return true;
    }
}

// Reads n bytes before the deadline; false at end of file, on an error or
// when time runs out (*late).
bool ReadBefore(int fd, uint8_t *p, size_t n, int64_t deadline, bool *late) {
    while (n) {
        if (!ReadyBefore(fd, POLLIN, deadline, late)) return false;
        ssize_t r = read(fd, p, n);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r <= 0) return false;
        p += r;
        n -= (size_t)r;
    }
    return true;
}

// Writes n bytes to the non-blocking fd before the deadline: a driver that
// reads nothing cannot hold the utility on a full pipe either.
bool WriteBefore(int fd, const uint8_t *p, size_t n, int64_t deadline, bool *late) {
    while (n) {
        if (!ReadyBefore(fd, POLLOUT, deadline, late)) return false;
        ssize_t w = write(fd, p, n);
        if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// Ends the driver and whatever it started (its process group).
void KillDriver(const ExternalDriver &d) {
    kill(-d.pid, SIGKILL);
    kill(d.pid, SIGKILL);
}

// The command as one line of text, for the message about a late driver.
std::string OneLine(const std::string &text) {
    std::string line = text;
    for (char &c : line)
        if (c == '\n' || c == '\r') c = ' ';
    return line;
}

// Starts the external driver; its slot, or -1 with *error the Win32 error
// of the host step that failed (the pipes, the new process).
//
// The driver leads a process group of its own, so that closing the device
// or a fatal signal ends whatever it started; and it gets SIGKILL when the
// utility goes, by any path (PR_SET_PDEATHSIG; the death signal survives
// exec, so a command that execs its program passes it on).
int StartExternal(const std::string &command, uint32_t reply_timeout_ms, DWORD *error) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        *error = Win32ErrorOf(errno);
        return -1;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        *error = Win32ErrorOf(errno);
        close(in[0]);
        close(in[1]);
        return -1;
    }
    CatchEndingSignals();
    // The ending signals wait until the new driver's group is remembered:
    // one that came in between would end the utility and leave what the
    // driver started running.
    sigset_t ending, unblocked;
    sigemptyset(&ending);
    for (int signal : kEndingSignals) sigaddset(&ending, signal);
    sigprocmask(SIG_BLOCK, &ending, &unblocked);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &unblocked, nullptr);
        // The utility may have gone before the death signal was set.
        if (setpgid(0, 0) != 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
            _exit(127);
        // Copies above the standard descriptors first, so that a pipe end
        // that is itself 0 or 1 survives the other dup2 and loses its
        // close-on-exec flag.
        int from = fcntl(in[0], F_DUPFD_CLOEXEC, 3), to = fcntl(out[1], F_DUPFD_CLOEXEC, 3);
        if (from < 0 || to < 0 || dup2(from, 0) < 0 || dup2(to, 1) < 0) _exit(127);
        execl("/bin/sh", "sh", "-c", command.c_str(), (char *)nullptr);
        _exit(127);
    }
    const int forkError = errno;
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        sigprocmask(SIG_SETMASK, &unblocked, nullptr);
        *error = Win32ErrorOf(forkError);
        close(in[1]);
        close(out[0]);
        return -1;
    }
    // Also from this side, so that the group exists before anyone kills it;
    // the child may have got there first.
    (void)setpgid(pid, pid);
    RememberGroup(pid);
    sigprocmask(SIG_SETMASK, &unblocked, nullptr);
    (void)fcntl(in[1], F_SETFL, O_NONBLOCK);
    ExternalDriver d;
    d.pid = pid;
    d.to_driver = in[1];
    d.from_driver = out[0];
    d.reply_timeout_ms = reply_timeout_ms;
    d.command = command;
    int slot = g_nextExternal++;
    Externals()[slot] = d;
    return slot;
}

// Ends the driver's process group and reaps the driver. Its exit is
// awaited without reaping first, so that its process group ID cannot pass
// to an unrelated process before the kill.
void StopExternal(int slot) {
    auto it = Externals().find(slot);
    if (it == Externals().end()) return;
    ExternalDriver &d = it->second;
    close(d.to_driver);
    // Give the driver two seconds to leave (a late one none), then end it.
    for (DWORD waited = 0; !d.late; waited += 10) {
        siginfo_t info = {};
        if (waitid(P_PID, (id_t)d.pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0)
            break;
        if (waited >= kExternalExitWaitMs) break;
        PauseMs(10);
    }
    KillDriver(d);
    ForgetGroup(d.pid);
    int status;
    while (waitpid(d.pid, &status, 0) < 0 && errno == EINTR) {
    }
    close(d.from_driver);
    Externals().erase(it);
}

// One exchange with an external driver, within the reply deadline.
sim::MiscDeviceReply ExternalControl(int slot, uint32_t code, const uint8_t *in, uint32_t in_size,
                                     uint8_t *out, uint32_t out_capacity) {
    ExternalDriver &d = Externals()[slot];
    if (!d.broken) {
        std::vector<uint8_t> frame(PORT_FRAME_HEADER_SIZE + in_size);
        WriteLe32(&frame[PORT_REQUEST_SIZE], PORT_SIZE_OVERHEAD + in_size);
        WriteLe32(&frame[PORT_REQUEST_CODE], code);
        WriteLe32(&frame[PORT_REQUEST_OUT_CAPACITY], out_capacity);
        if (in_size) memcpy(&frame[PORT_FRAME_HEADER_SIZE], in, in_size);
        const int64_t deadline = MonotonicMs() + d.reply_timeout_ms;
        uint8_t head[PORT_FRAME_HEADER_SIZE];
        bool ok;
        {
            CBrokenPipeFails pipeFails;
            ok = WriteBefore(d.to_driver, frame.data(), frame.size(), deadline, &d.late) &&
                 ReadBefore(d.from_driver, head, sizeof head, deadline, &d.late);
        }
        if (ok) {
            uint32_t size = ReadLe32(head + PORT_REPLY_SIZE);
            if (size >= PORT_SIZE_OVERHEAD && size - PORT_SIZE_OVERHEAD <= kMaxFrame) {
                std::vector<uint8_t> body(size - PORT_SIZE_OVERHEAD);
                if (body.empty() ||
                    ReadBefore(d.from_driver, body.data(), body.size(), deadline, &d.late)) {
                    uint32_t n = (uint32_t)body.size() < out_capacity ? (uint32_t)body.size()
                                                                      : out_capacity;
                    if (n) memcpy(out, body.data(), n);
                    return sim::MiscDeviceReply{ReadLe32(head + PORT_REPLY_RESULT) != 0,
                                                ReadLe32(head + PORT_REPLY_LAST_ERROR), n};
                }
            }
        }
        d.broken = true;
        if (d.late) {
            (void)fprintf(stderr,
                          "cellvaro: external driver \"%s\" sent no whole reply within %u ms "
                          "(misc_driver.external_reply_timeout_ms); it was ended, and this and "
                          "every later request fails\n",
                          OneLine(d.command).c_str(), (unsigned)d.reply_timeout_ms);
            KillDriver(d);
        }
    }
    return sim::MiscDeviceReply{false, ERROR_GEN_FAILURE, 0};
}

// The battery class driver's answers, for the battery at an interface index.
sim::BatteryDeviceReply BatteryControl(int index, uint32_t code, const uint8_t *in, uint32_t in_size,
                                       uint8_t *out, uint32_t out_capacity) {
    const sim::Machine &m = CurrentMachine();
    if (index < 0 || (size_t)index >= m.batteries.size())
        return sim::BatteryDeviceReply{false, ERROR_FILE_NOT_FOUND, 0};
    return sim::BatteryDeviceControl(m.batteries[(size_t)index], code, in, in_size, out, out_capacity);
}

}  // namespace

void ResetOpenDevices() {
    g_miscOpen = false;
    memset(g_batteryOpen, 0, sizeof g_batteryOpen);
}

void SetMiscDeviceHook(MiscDeviceHook hook, void *context) {
    g_hook = hook;
    g_hookContext = context;
}

void SetBatteryDeviceHook(BatteryDeviceHook hook, void *context) {
    g_batteryHook = hook;
    g_batteryHookContext = context;
}

void CloseDeviceObject(const Object &object) {
    if (object.kind == ObjectKind::MiscDevice) {
        g_miscOpen = false;
        if (object.external >= 0) StopExternal(object.external);
    } else if (object.kind == ObjectKind::BatteryDevice && object.battery >= 0 && object.battery < 64) {
        g_batteryOpen[object.battery] = false;
    }
}

}  // namespace hosted

using hosted::Object;
using hosted::ObjectKind;

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;
    const sim::Machine &m = hosted::CurrentMachine();
    hosted::CTraceLine line("create_file");
    line.Wide("path", lpFileName).Set("access", dwDesiredAccess).Set("share", dwShareMode);
    auto fail = [&](DWORD error) {
        SetLastError(error);
        line.Null("handle").Set("last_error", error).Write();
        return INVALID_HANDLE_VALUE;
    };
    if (!lpFileName) return fail(ERROR_INVALID_PARAMETER);
    if (dwCreationDisposition != OPEN_EXISTING) return fail(ERROR_ACCESS_DENIED);
    std::wstring path = lpFileName;
    Object o;
    o.name = hosted::Utf8(lpFileName);
    if (m.misc.present && path == hosted::MiscDevicePath()) {
        if (m.misc.in_use_elsewhere || hosted::g_miscOpen) return fail(ERROR_SHARING_VIOLATION);
        o.kind = ObjectKind::MiscDevice;
        if (!m.misc.external.empty()) {
            DWORD error = ERROR_SUCCESS;
            o.external =
                hosted::StartExternal(m.misc.external, m.misc.external_reply_timeout_ms, &error);
            if (o.external < 0) return fail(error);
        }
        // Exclusive opens only: share mode 0 is what the program asks for.
        if (dwShareMode == 0) hosted::g_miscOpen = true;
    } else {
        int index = -1;
        for (size_t i = 0; i < m.batteries.size(); i++)
            if (path == hosted::BatteryDevicePath((int)i)) index = (int)i;
        if (index < 0 || !m.batteries[(size_t)index].present) return fail(ERROR_FILE_NOT_FOUND);
        const sim::BatteryDeviceConfig &b = m.batteries[(size_t)index];
        if (b.fail_open.active) return fail(b.fail_open.last_error);
        if (index < 64 && hosted::g_batteryOpen[index]) return fail(ERROR_SHARING_VIOLATION);
        o.kind = ObjectKind::BatteryDevice;
        o.battery = index;
        if (dwShareMode == 0 && index < 64) hosted::g_batteryOpen[index] = true;
    }
    HANDLE h = hosted::AddObject(o);
    SetLastError(ERROR_SUCCESS);
    line.Handle("handle", h).Write();
    return h;
}

namespace {

// What a device answered, as the I/O manager completes the request.
struct Completion {
    bool result;
    DWORD last_error;
    uint32_t bytes;
};

template <typename Reply>
Completion Complete(const Reply &reply) {
    return Completion{reply.result, reply.last_error, reply.bytes};
}

// A secure capsule as the simulated driver deciphered it, for the trace
// line of the request that carried it.
struct ClearCapsules {
    bool seen = false;
    std::string request, reply;
};

void KeepClearCapsules(void *context, const uint8_t *request, uint32_t request_size,
                       const uint8_t *reply, uint32_t reply_size) {
    ClearCapsules *clear = (ClearCapsules *)context;
    clear->seen = true;
    clear->request = hosted::Hex(request, request_size);
    clear->reply = hosted::Hex(reply, reply_size);
}

}  // namespace

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped) {
    Object *o = hosted::FindAnyObject(hDevice);
    std::string device;
    ClearCapsules clear;
    Completion reply{false, ERROR_INVALID_HANDLE, 0};
    std::vector<uint8_t> in(nInBufferSize), out(nOutBufferSize);
    if (lpInBuffer && nInBufferSize) memcpy(in.data(), lpInBuffer, nInBufferSize);
    if (!o || (o->kind != ObjectKind::MiscDevice && o->kind != ObjectKind::BatteryDevice)) {
        device = "invalid";
    } else if (lpOverlapped || !lpBytesReturned || (!lpInBuffer && nInBufferSize) ||
               (!lpOutBuffer && nOutBufferSize)) {
        device = o->kind == ObjectKind::MiscDevice ? "misc" : "battery" + std::to_string(o->battery);
        reply = Completion{false, ERROR_INVALID_PARAMETER, 0};
    } else if (o->kind == ObjectKind::MiscDevice) {
        device = o->external >= 0 ? "misc(external)" : "misc";
        if (hosted::g_hook) {
            reply = Complete(hosted::g_hook(hosted::g_hookContext, dwIoControlCode, in.data(),
                                            nInBufferSize, out.data(), nOutBufferSize));
        } else if (o->external >= 0) {
            reply = Complete(hosted::ExternalControl(o->external, dwIoControlCode, in.data(),
                                                     nInBufferSize, out.data(), nOutBufferSize));
        } else {
            sim::CSimMiscDevice &misc = hosted::MiscDevice();
            if (hosted::TraceEnabled()) misc.ObserveCapsules(KeepClearCapsules, &clear);
            reply = Complete(misc.Control(dwIoControlCode, in.data(), nInBufferSize, out.data(),
                                          nOutBufferSize));
            misc.ObserveCapsules(nullptr, nullptr);
        }
    } else {
        device = "battery" + std::to_string(o->battery);
        reply = Complete(hosted::g_batteryHook
                             ? hosted::g_batteryHook(hosted::g_batteryHookContext, o->battery,
                                                     dwIoControlCode, in.data(), nInBufferSize,
                                                     out.data(), nOutBufferSize)
                             : hosted::BatteryControl(o->battery, dwIoControlCode, in.data(),
                                                      nInBufferSize, out.data(), nOutBufferSize));
    }
    if (reply.bytes > nOutBufferSize) reply.bytes = nOutBufferSize;
    // Data and count arrive on success and on the buffer-overflow warning.
    const bool deliver = reply.result || reply.last_error == ERROR_MORE_DATA;
    if (deliver) {
        if (reply.bytes) memcpy(lpOutBuffer, out.data(), reply.bytes);
        *lpBytesReturned = reply.bytes;
    }
    if (!reply.result) SetLastError(reply.last_error);
    hosted::CTraceLine line("device_io");
    line.Set("device", device)
        .Set("code", dwIoControlCode)
        .Bytes("in", in.data(), nInBufferSize)
        .Bytes("out", out.data(), deliver ? reply.bytes : 0)
        .Set("bytes", deliver ? reply.bytes : 0)
        .Set("result", reply.result)
        .Set("last_error", reply.result ? 0 : reply.last_error);
    if (clear.seen) line.Set("deciphered_in", clear.request).Set("deciphered_out", clear.reply);
    line.Write();
    return reply.result ? TRUE : FALSE;
}
