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

void WriteLine(const std::string &body);

// The process's own argument vector, as the kernel holds it.
std::string ArgvJson() {
    std::string out = "[";
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        std::string raw;
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) raw.append(buf, (size_t)n);
        close(fd);
        size_t start = 0;
        while (start < raw.size()) {
            size_t end = raw.find('\0', start);
            if (end == std::string::npos) end = raw.size();
            if (out.size() > 1) out += ",";
            out += hosted::JsonString(raw.substr(start, end - start));
            start = end + 1;
        }
    }
    return out + "]";
}

std::string JsonOrNull(const char *text) { return text ? hosted::JsonString(text) : "null"; }

// Each run's trace opens with a line that says which run it is, so that
// runs appended to one file stay apart.
void WriteRunStart() {
    const char *machine = getenv("CELLVARO_MACHINE");
    WriteLine("\"event\":\"run_start\",\"pid\":" + std::to_string(getpid()) +
              ",\"argv\":" + ArgvJson() +
              ",\"command_line\":" + JsonOrNull(getenv("CELLVARO_COMMAND_LINE")) +
              ",\"machine\":" + JsonOrNull(machine));
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

void WriteLine(const std::string &body) {
    if (g_traceFd < 0) return;
    // A trace that cannot be written loses the line; a pipe whose reader
    // has gone must not end the run.
    std::string line = "{" + body + "}\n";
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

void Trace(const std::string &body) {
    if (!TraceEnabled()) return;
    if (g_capture) Captured().push_back("{" + body + "}");
    WriteLine(body);
}

void TraceBoxShown() { g_boxShown = true; }

void TraceOutcome(const char *name) { g_outcome = name; }

void TraceRunEnd(int exitCode, bool known) {
    OpenFromEnvironmentOnce();
    if (g_endWritten || g_traceFd < 0) return;
    g_endWritten = true;
    WriteLine("\"event\":\"run_end\",\"exit_code\":" + (known ? std::to_string(exitCode) : "null") +
              ",\"outcome\":" +
              JsonString(g_outcome                              ? g_outcome
                         : known && exitCode == kMachineErrorExit ? "machine-file-error"
                                                                  : "none") +
              ",\"box_shown\":" + (g_boxShown ? "true" : "false"));
}

std::string JsonString(const std::string &utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                (void)snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += (char)c;
            }
        }
    }
    return out + "\"";
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

std::string JsonWide(const wchar_t *text) { return text ? JsonString(Utf8(text)) : "null"; }

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
