// Helpers of the Windows-side tests: the program under test, child
// processes with bounded waits, and finding the program's message box.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "byte_order.h"

// Bounds of every wait, in milliseconds. Wine starts a GUI process slowly
// the first time in a fresh prefix, hence the generous limits.
constexpr DWORD kStartTimeoutMs = 30000;
constexpr DWORD kExitTimeoutMs = 30000;
constexpr DWORD kPollIntervalMs = 20;

// The full path of cellvaro.exe, from the command line of the test program.
const std::wstring &CellvaroExePath();
void SetCellvaroExePath(const std::wstring &path);

// The whole file, or an empty vector if it cannot be read.
std::vector<uint8_t> ReadWholeFile(const std::wstring &path);


// Handles messages of the test's own windows while it waits for others.
void PumpMessages();
// Sleeps for ms milliseconds while handling messages.
void PumpFor(DWORD ms);

// cellvaro.exe started as a child process. A copy still running when the
// object goes away is terminated, so that one failed case does not leave
// a box or a mutex behind for the next.
class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();
    CChildProcess(const CChildProcess &) = delete;
    CChildProcess &operator=(const CChildProcess &) = delete;

    // Starts the program with this text after its quoted path.
    bool Start(const std::wstring &arguments);
    // Waits up to timeout_ms for the end of the process; true and its exit
    // code (the full 32-bit value) if it ended.
    bool WaitForExit(DWORD timeout_ms, DWORD *exit_code);
    bool IsRunning() const;
    DWORD ProcessId() const { return _dwProcessId; }

private:
    HANDLE _hProcess = nullptr;
    DWORD _dwProcessId = 0;
};

// The top-level windows captioned "Cellvaro", in Z order.
std::vector<HWND> FindCellvaroWindows();

// Polls FindWindowW(NULL, L"Cellvaro") until a window of process pid shows
// up or timeout_ms pass; nullptr if none did.
HWND WaitForBox(DWORD pid, DWORD timeout_ms);

// The text of a control of the box, read with GetDlgItemTextW.
std::wstring DialogItemText(HWND box, int id);

// The box's static control in icon mode (SS_ICON), nullptr if none.
HWND FindIconControl(HWND box);

// Presses OK of the box.
void PressOk(HWND box);

// The icon that the box's icon control shows, or nullptr when it shows
// none (no control, hidden, or empty).
HICON ShownIcon(HWND box);

// Whether the icon control shows this icon, judged by its pixels on the
// screen (another process's HICON cannot be compared with this one's).
bool IconControlShows(HWND control, HICON icon);
