// The trace: one JSON object per line, written with write(2) so that lines
// from exit processing still reach the file after stdio has gone.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "host_steps.h"
#include "hosted.h"
#include "trace_line.h"

namespace {
int g_traceFd = -1;
bool g_capture = false;
// Never destroyed, made on first use: exit processing writes the last lines.
std::vector<std::string> &Captured() {
    static std::vector<std::string> *captured = new std::vector<std::string>();
    return *captured;
}


const char *g_tracePath = nullptr;  // CELLVARO_TRACE, for the one line of a failure
bool g_writeFailed = false;
bool g_boxShown = false;
bool g_endWritten = false;
int g_exitStatus = 0;
bool g_exitStatusKnown = false;
const char *g_outcome = nullptr;  // named when the run reaches one

using ordered_json = nlohmann::ordered_json;

constexpr size_t kReadChunk = 4096;

void WriteLine(const std::string &object);

// The text of a trace line's object. Texts that are not UTF-8 (an
// argument, a path) are written with U+FFFD in place of the bytes at
// fault, so that every line stays JSON.
std::string TraceText(const ordered_json &line) {
    return line.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

// The process's own argument vector, as the kernel holds it.
ordered_json ArgvJson() {
    ordered_json argv = ordered_json::array();
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        std::string raw;
        char buf[kReadChunk];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) raw.append(buf, (size_t)n);
        close(fd);
        size_t start = 0;
        while (start < raw.size()) {
            size_t end = raw.find('\0', start);
            if (end == std::string::npos) end = raw.size();
            argv.push_back(raw.substr(start, end - start));
            start = end + 1;
        }
    }
    return argv;
}

ordered_json TextOrNull(const char *text) { return text ? ordered_json(text) : ordered_json(); }

// Each run's trace opens with a line that says which run it is, so that
// runs appended to one file stay apart.
void WriteRunStart() {
    ordered_json line;
    line["event"] = "run_start";
    line["pid"] = getpid();
    line["argv"] = ArgvJson();
    line["command_line"] = TextOrNull(getenv("CELLVARO_COMMAND_LINE"));
    line["machine"] = TextOrNull(getenv("CELLVARO_MACHINE"));
    WriteLine(TraceText(line));
}

// CELLVARO_TRACE names the trace file; it is opened on first use, since
// the program allocates during static initialisation, before main. A path
// that cannot be opened is said once; the run goes on without a trace.
void OpenFromEnvironmentOnce() {
    static bool done = false;
    if (done) return;
    done = true;
    const char *path = getenv("CELLVARO_TRACE");
    if (!path || !*path || g_traceFd >= 0) return;
    g_tracePath = path;
    g_traceFd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (g_traceFd < 0) {
        (void)fprintf(stderr, "cellvaro: trace file %s: cannot be opened (%s); no trace is written\n",
                      path, strerror(errno));
        return;
    }
    WriteRunStart();
}

// The exit status, handed over by exit(); the end line is written after
// every other exit-time line.
void NoteExitStatus(int status, void *) {
    g_exitStatus = status;
    g_exitStatusKnown = true;
}
// Before the static initialisers, which may already end the run (a
// machine file that cannot be used).
__attribute__((constructor(101))) void WatchExit() { (void)on_exit(NoteExitStatus, nullptr); }
__attribute__((destructor(101))) void WriteEndAtExit() {
    hosted::TraceRunEnd(g_exitStatus, g_exitStatusKnown);
}

// Writes one line to the file: the object's text and a line break.
void WriteLine(const std::string &object) {
    if (g_traceFd < 0) return;
    // A trace that cannot be written loses the line; a pipe whose reader
    // has gone must not end the run.
    std::string line = object + "\n";
    hosted::CBrokenPipeFails pipeFails;
    if (!hosted::WriteAll(g_traceFd, line.data(), line.size()) && !g_writeFailed) {
        g_writeFailed = true;
        (void)fprintf(stderr, "cellvaro: trace file %s: cannot be written (%s); lines are lost\n",
                      g_tracePath ? g_tracePath : "(opened by a test)", strerror(errno));
    }
}

}  // namespace

namespace hosted {

void TraceOpen(const char *path) {
    if (g_traceFd >= 0) close(g_traceFd);
    g_traceFd = path ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
}

void TraceCaptureInMemory(bool on) {
    g_capture = on;
    Captured().clear();
}

std::vector<std::string> TakeTraceLines() {
    std::vector<std::string> lines;
    lines.swap(Captured());
    return lines;
}

bool TraceEnabled() {
    OpenFromEnvironmentOnce();
    return g_traceFd >= 0 || g_capture;
}

// A line to the file and to the in-memory copy.
void EmitLine(const std::string &object) {
    if (!TraceEnabled()) return;
    if (g_capture) Captured().push_back(object);
    WriteLine(object);
}

void Trace(const std::string &body) { EmitLine("{" + body + "}"); }

CTraceLine::CTraceLine(const char *event) : _on(TraceEnabled()) {
    if (_on) _line["event"] = event;
}

CTraceLine &CTraceLine::Null(const char *key) {
    if (_on) _line[key] = nullptr;
    return *this;
}

CTraceLine &CTraceLine::Wide(const char *key, const wchar_t *text) {
    if (_on) _line[key] = text ? ordered_json(Utf8(text)) : ordered_json();
    return *this;
}

CTraceLine &CTraceLine::Bytes(const char *key, const void *data, size_t size) {
    if (_on) _line[key] = Hex(data, size);
    return *this;
}

CTraceLine &CTraceLine::Handle(const char *key, const void *handle) {
    if (_on) _line[key] = (uintptr_t)handle;
    return *this;
}

void CTraceLine::Write() const {
    if (_on) EmitLine(TraceText(_line));
}

void TraceBoxShown() { g_boxShown = true; }

void TraceOutcome(const char *name) { g_outcome = name; }

void TraceRunEnd(int exitCode, bool known) {
    OpenFromEnvironmentOnce();
    if (g_endWritten || g_traceFd < 0) return;
    g_endWritten = true;
    ordered_json line;
    line["event"] = "run_end";
    line["exit_code"] = known ? ordered_json(exitCode) : ordered_json();
    line["outcome"] = g_outcome                                ? g_outcome
                      : known && exitCode == kMachineErrorExit ? "machine-file-error"
                                                               : "none";
    line["box_shown"] = g_boxShown;
    WriteLine(TraceText(line));
}

std::string Utf8(const wchar_t *text) {
    std::string out;
    if (!text) return out;
    for (; *text; text++) {
        // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c): 32-bit wchar_t, no sign extension
        uint32_t c = (uint32_t)*text;
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | c >> 6);
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | c >> 12);
            out += (char)(0x80 | (c >> 6 & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | c >> 18);
            out += (char)(0x80 | (c >> 12 & 0x3F));
            out += (char)(0x80 | (c >> 6 & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Hex(const void *data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const unsigned char *p = (const unsigned char *)data;
    for (size_t i = 0; p && i < size; i++) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

}  // namespace hosted
