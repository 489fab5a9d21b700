// The trace: one JSON object per line, written with write(2) so that lines
// from exit processing still reach the file after stdio has gone.
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


// CELLVARO_TRACE names the trace file; it is opened on first use, since
// the program allocates during static initialisation, before main.
void OpenFromEnvironmentOnce() {
    static bool done = false;
    if (done) return;
    done = true;
    const char *path = getenv("CELLVARO_TRACE");
    if (path && *path && g_traceFd < 0)
        g_traceFd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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
    std::string line = "{" + body + "}";
    if (g_capture) Captured().push_back(line);
    if (g_traceFd >= 0) {
        // A trace that cannot be written loses the line; a pipe whose
        // reader has gone must not end the run.
        line += "\n";
        CBrokenPipeFails pipeFails;
        WriteAll(g_traceFd, line.data(), line.size());
    }
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
