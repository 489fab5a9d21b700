#include "test_support.h"

namespace {

constexpr int kTextBufferChars = 1024;
constexpr wchar_t kCaption[] = L"Cellvaro";

std::wstring g_ExePath;

} // namespace

const std::wstring &CellvaroExePath() { return g_ExePath; }

void SetCellvaroExePath(const std::wstring &path) { g_ExePath = path; }

std::vector<uint8_t> ReadWholeFile(const std::wstring &path) {
    std::vector<uint8_t> data;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return data;
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < 0x10000000) {
        data.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        if (!ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &read, nullptr) ||
            read != data.size()) {
            data.clear();
        }
    }
    CloseHandle(file);
    return data;
}

void PumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void PumpFor(DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        PumpMessages();
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    }
}

CChildProcess::~CChildProcess() {
    if (_hProcess == nullptr) return;
    if (IsRunning()) {
        TerminateProcess(_hProcess, 0xDEAD);
        WaitForSingleObject(_hProcess, 5000);
    }
    CloseHandle(_hProcess);
}

bool CChildProcess::Start(const std::wstring &arguments) {
    std::wstring command = L"\"" + CellvaroExePath() + L"\"";
    if (!arguments.empty()) command += L" " + arguments;
    std::vector<wchar_t> writable(command.begin(), command.end());
    writable.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(CellvaroExePath().c_str(), writable.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &si, &pi)) {
        return false;
    }
    CloseHandle(pi.hThread);
    _hProcess = pi.hProcess;
    _dwProcessId = pi.dwProcessId;
    return true;
}

bool CChildProcess::WaitForExit(DWORD timeout_ms, DWORD *exit_code) {
    if (_hProcess == nullptr) return false;
    DWORD start = GetTickCount();
    for (;;) {
        PumpMessages();
        DWORD elapsed = GetTickCount() - start;
        DWORD left = elapsed >= timeout_ms ? 0 : timeout_ms - elapsed;
        DWORD r = MsgWaitForMultipleObjects(1, &_hProcess, FALSE, left, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) break;
        if (r != WAIT_OBJECT_0 + 1) return false;
    }
    return GetExitCodeProcess(_hProcess, exit_code) != 0;
}

bool CChildProcess::IsRunning() const {
    return _hProcess != nullptr && WaitForSingleObject(_hProcess, 0) == WAIT_TIMEOUT;
}

std::vector<HWND> FindCellvaroWindows() {
    std::vector<HWND> found;
    HWND hwnd = nullptr;
    while ((hwnd = FindWindowExW(nullptr, hwnd, nullptr, kCaption)) != nullptr) {
        found.push_back(hwnd);
    }
    return found;
}

HWND WaitForBox(DWORD pid, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND hwnd = FindWindowW(nullptr, kCaption);
        if (hwnd != nullptr) {
            DWORD owner = 0;
            GetWindowThreadProcessId(hwnd, &owner);
            if (owner == pid) return hwnd;
        }
        if (GetTickCount() - start >= timeout_ms) return nullptr;
        PumpFor(kPollIntervalMs);
    }
}

std::wstring DialogItemText(HWND box, int id) {
    wchar_t buffer[kTextBufferChars] = {};
    UINT n = GetDlgItemTextW(box, id, buffer, kTextBufferChars);
    return std::wstring(buffer, n);
}

namespace {

BOOL CALLBACK FindIconControlProc(HWND child, LPARAM param) {
    wchar_t cls[64] = {};
    GetClassNameW(child, cls, 64);
    LONG style = GetWindowLongW(child, GWL_STYLE);
    if (lstrcmpiW(cls, L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
        *reinterpret_cast<HWND *>(param) = child;
        return FALSE;
    }
    return TRUE;
}

} // namespace

HWND FindIconControl(HWND box) {
    HWND found = nullptr;
    EnumChildWindows(box, FindIconControlProc, reinterpret_cast<LPARAM>(&found));
    return found;
}

void PressOk(HWND box) {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
}
