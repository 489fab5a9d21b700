// The user-interface calls: strings from the linked string table, message
// boxes drawn on the terminal, and the window lookup that a second copy
// uses to bring the first copy's box to the front.
//
// An open message box is a file in the session's window folder named by
// the process id and holding the caption, so that FindWindowW in another
// process of the same simulated session can find it. A box whose window
// file cannot be made, or that cannot be drawn, is not shown: MessageBoxW
// fails as it fails on a desktop that cannot be used.
#include <errno.h>
#include <string.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "host_steps.h"
#include "machine.h"
#include "objects.h"
#include "string_table.h"
#include "trace_line.h"

namespace {

constexpr DWORD kErrorResourceNotFound = 1814;

// The user interface's form of a failed host step: out of resources is
// ERROR_NOT_ENOUGH_MEMORY, anything else a desktop that the caller may
// not use, ERROR_ACCESS_DENIED.
DWORD UserError(DWORD kernelError) {
    return kernelError == ERROR_NO_SYSTEM_RESOURCES ? ERROR_NOT_ENOUGH_MEMORY : ERROR_ACCESS_DENIED;
}

bool WindowFolder(std::string *path, DWORD *error) {
    const std::string relative =
        hosted::SessionFolderName(hosted::CurrentMachine().session) + "/windows";
    if (hosted::StateFolder(relative, path, error)) return true;
    *error = UserError(*error);
    return false;
}

// Writes a whole small file; false with errno set when any step fails.
bool WriteWholeFile(const std::string &path, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    const bool written = hosted::WriteAll(fd, text.data(), text.size());
    const int saved = errno;
    const bool closed = close(fd) == 0;
    if (!written) errno = saved;
    return written && closed;
}

// Draws the box on standard output; false when it cannot be written.
bool Draw(const std::string &picture) {
    hosted::CBrokenPipeFails pipeFails;
    const bool drawn = fwrite(picture.data(), 1, picture.size(), stdout) == picture.size() &&
                       fflush(stdout) == 0;
    clearerr(stdout);
    return drawn;
}

// The terminal's stand-in for the box's icon, four columns wide; nullptr
// for a box without one.
const char *IconGlyph(UINT uType) {
    switch (uType & MB_ICONMASK) {
    case MB_ICONHAND: return "(X) ";
    case MB_ICONEXCLAMATION: return "(!) ";
    case MB_ICONASTERISK: return "(i) ";
    default: return nullptr;
    }
}

}  // namespace

extern "C" void WINAPI InitCommonControls(void) {}

extern "C" int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    if (hInstance && hInstance != hosted::ModuleHandle()) {
        SetLastError(kErrorResourceNotFound);
        return 0;
    }
    const wchar_t *text = nullptr;
    for (unsigned i = 0; i < g_StringResourceCount; i++)
        if (g_StringResources[i].id == uID) text = g_StringResources[i].text;
    if (!text) {
        SetLastError(kErrorResourceNotFound);
        return 0;
    }
    int length = (int)wcslen(text);
    if (!lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cchBufferMax == 0) {
        // A read-only pointer to the resource itself.
        *(const wchar_t **)lpBuffer = text;
        return length;
    }
    int n = length < cchBufferMax - 1 ? length : cchBufferMax - 1;
    wmemcpy(lpBuffer, text, (size_t)n);
    lpBuffer[n] = 0;
    return n;
}

extern "C" int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    (void)hWnd;
    const std::string caption = hosted::Utf8(lpCaption ? lpCaption : L"Error");
    const std::string text = hosted::Utf8(lpText ? lpText : L"");
    hosted::CTraceLine traced("message_box");
    traced.Set("caption", caption).Set("text", text).Set("style", uType);
    auto fail = [&](DWORD error) {
        SetLastError(error);
        traced.Set("result", 0).Set("last_error", error).Write();
        return 0;
    };

    std::string folder;
    DWORD error = ERROR_SUCCESS;
    if (!WindowFolder(&folder, &error)) return fail(error);
    const std::string window = folder + "/" + std::to_string(getpid());
    if (!WriteWholeFile(window, caption)) {
        error = UserError(hosted::Win32ErrorOf(errno));
        unlink(window.c_str());
        return fail(error);
    }

    std::string out = "+-- " + caption + " " + std::string(40, '-') + "\n";
    bool first = true;
    std::istringstream lines(text);
    std::string line;
    const char *icon = IconGlyph(uType);
    while (std::getline(lines, line) || first) {
        out += std::string("| ") + (icon ? (first ? icon : "    ") : "") + line + "\n";
        first = false;
    }
    out += "|" + std::string(24, ' ') + "[ OK ]\n+" + std::string(44 + caption.size(), '-') + "\n";
    if (!Draw(out)) {
        unlink(window.c_str());
        return fail(ERROR_ACCESS_DENIED);
    }
    traced.Write();
    hosted::TraceBoxShown();

    uint32_t hold = hosted::CurrentMachine().hold_ms;
    if (hold) hosted::PauseMs(hold);

    bool foreground = access((window + ".foreground").c_str(), F_OK) == 0;
    unlink((window + ".foreground").c_str());
    unlink(window.c_str());
    hosted::CTraceLine("message_box_closed").Set("button", "OK").Set("brought_to_front", foreground).Write();
    return IDOK;
}

extern "C" HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
    HWND found = nullptr;
    DWORD error = ERROR_SUCCESS;
    std::string dir;
    if (!WindowFolder(&dir, &error)) {
        // The windows of the session cannot be listed.
    } else if (!lpClassName && lpWindowName) {
        std::string want = hosted::Utf8(lpWindowName);
        const std::string prefix = dir + "/";
        if (DIR *d = opendir(dir.c_str())) {
            while (struct dirent *e = readdir(d)) {
                std::string name = e->d_name;
                if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
                    continue;
                pid_t pid = (pid_t)strtol(name.c_str(), nullptr, 10);
                if (kill(pid, 0) != 0) continue;  // a box left by a process that died
                // A box that closes meanwhile cannot be read: it is gone.
                std::ifstream f(prefix + name, std::ios::binary);
                std::stringstream s;
                s << f.rdbuf();
                if (s.str() == want) {
                    found = (HWND)(uintptr_t)pid;
                    break;
                }
            }
            closedir(d);
        } else {
            error = UserError(hosted::Win32ErrorOf(errno));
        }
    }
    hosted::CTraceLine line("find_window");
    line.Wide("window_name", lpWindowName).Handle("found", found);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        line.Set("last_error", error);
    }
    line.Write();
    return found;
}

extern "C" BOOL WINAPI SetForegroundWindow(HWND hWnd) {
    std::string dir;
    DWORD error = ERROR_SUCCESS;
    if (WindowFolder(&dir, &error)) {
        const std::string window = dir + "/" + std::to_string((uintptr_t)hWnd);
        if (!hWnd || access(window.c_str(), F_OK) != 0) error = ERROR_INVALID_WINDOW_HANDLE;
        else if (!WriteWholeFile(window + ".foreground", "1"))
            error = UserError(hosted::Win32ErrorOf(errno));
    }
    hosted::CTraceLine line("set_foreground_window");
    line.Handle("window", hWnd).Set("result", error == ERROR_SUCCESS);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        line.Set("last_error", error);
    }
    line.Write();
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}
