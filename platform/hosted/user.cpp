// The user-interface calls: strings from the linked string table, message
// boxes drawn on the terminal, and the window lookup that a second copy
// uses to bring the first copy's box to the front.
//
// An open message box is a file in the session's window folder named by
// the process id and holding the caption, so that FindWindowW in another
// process of the same simulated session can find it.
#include <string.h>
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "machine.h"
#include "objects.h"
#include "string_table.h"

namespace {

constexpr DWORD kErrorResourceNotFound = 1814;
constexpr DWORD kErrorInvalidWindowHandle = 1400;

std::string WindowDirectory() {
    std::string dir = hosted::SessionDirectory(hosted::CurrentMachine().session) + "/windows";
    mkdir(dir.c_str(), 0777);
    return dir;
}

void PauseMs(uint32_t ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
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
    hosted::Trace("\"event\":\"message_box\",\"caption\":" + hosted::JsonString(caption) +
                  ",\"text\":" + hosted::JsonString(text) + ",\"style\":" + std::to_string(uType));

    std::string window = WindowDirectory() + "/" + std::to_string(getpid());
    {
        std::ofstream f(window, std::ios::binary | std::ios::trunc);
        f << caption;
    }

    std::string out = "+-- " + caption + " " + std::string(40, '-') + "\n";
    bool first = true;
    std::istringstream lines(text);
    std::string line;
    const bool icon = (uType & MB_ICONMASK) == MB_ICONHAND;
    while (std::getline(lines, line) || first) {
        out += std::string("| ") + (icon ? (first ? "(X) " : "    ") : "") + line + "\n";
        first = false;
    }
    out += "|" + std::string(24, ' ') + "[ OK ]\n+" + std::string(44 + caption.size(), '-') + "\n";
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);

    uint32_t hold = hosted::CurrentMachine().hold_ms;
    if (hold) PauseMs(hold);

    bool foreground = access((window + ".foreground").c_str(), F_OK) == 0;
    unlink((window + ".foreground").c_str());
    unlink(window.c_str());
    hosted::Trace(std::string("\"event\":\"message_box_closed\",\"button\":\"OK\",\"brought_to_front\":") +
                  (foreground ? "true" : "false"));
    return IDOK;
}

extern "C" HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
    HWND found = nullptr;
    if (!lpClassName && lpWindowName) {
        std::string want = hosted::Utf8(lpWindowName);
        std::string dir = WindowDirectory();
        if (DIR *d = opendir(dir.c_str())) {
            while (struct dirent *e = readdir(d)) {
                std::string name = e->d_name;
                if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
                    continue;
                pid_t pid = (pid_t)atol(name.c_str());
                if (kill(pid, 0) != 0) continue;  // a box left by a process that died
                std::ifstream f(dir + "/" + name, std::ios::binary);
                std::stringstream s;
                s << f.rdbuf();
                if (s.str() == want) {
                    found = (HWND)(uintptr_t)pid;
                    break;
                }
            }
            closedir(d);
        }
    }
    hosted::Trace("\"event\":\"find_window\",\"window_name\":" + hosted::JsonWide(lpWindowName) +
                  ",\"found\":" + std::to_string((uintptr_t)found));
    return found;
}

extern "C" BOOL WINAPI SetForegroundWindow(HWND hWnd) {
    std::string window = WindowDirectory() + "/" + std::to_string((uintptr_t)hWnd);
    bool ok = hWnd && access(window.c_str(), F_OK) == 0;
    if (ok) std::ofstream(window + ".foreground") << "1";
    else SetLastError(kErrorInvalidWindowHandle);
    hosted::Trace("\"event\":\"set_foreground_window\",\"window\":" + std::to_string((uintptr_t)hWnd) +
                  ",\"result\":" + (ok ? "true" : "false"));
    return ok ? TRUE : FALSE;
}
