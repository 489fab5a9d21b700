#include "test_support.h"

namespace {

constexpr int kTextBufferChars = 1024;
constexpr wchar_t kCaption[] = L"Cellvaro";

constexpr DWORD kPaintTimeoutMs = 3000;
constexpr uint32_t kRgbMask = 0x00FFFFFF;

// The pixels of a 32-bit top-down DIB section as 0xRRGGBB, top row first.
std::vector<uint32_t> DibPixels(const void *bits, int width, int height) {
    const uint8_t *p = static_cast<const uint8_t *>(bits);
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = ReadLe32(p + 4 * i) & kRgbMask;
    return pixels;
}

// Draws into a fresh width x height DIB with draw(memory_dc) and returns
// its pixels; with a screen rectangle it copies that part of the screen.
template <typename DRAW>
std::vector<uint32_t> RenderPixels(int width, int height, DRAW draw) {
    std::vector<uint32_t> pixels;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP dib = CreateDIBSection(memory, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (dib != nullptr && bits != nullptr) {
        HGDIOBJ old = SelectObject(memory, dib);
        draw(memory, screen);
        GdiFlush();
        pixels = DibPixels(bits, width, height);
        SelectObject(memory, old);
        DeleteObject(dib);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

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

// The icon that the box's icon control shows, or nullptr when it shows
// none (no control, hidden, or empty).
HICON ShownIcon(HWND box) {
    HWND control = FindIconControl(box);
    if (control == nullptr || !IsWindowVisible(control)) return nullptr;
    return reinterpret_cast<HICON>(SendMessageW(control, STM_GETICON, 0, 0));
}

// Whether the icon control shows this icon: its pixels on the screen equal
// the icon drawn at the control's size on the control's ground colour (its
// corner pixel; the system icons are round). Polls while the box paints.
bool IconControlShows(HWND control, HICON icon) {
    RECT r = {};
    if (control == nullptr || icon == nullptr || !GetWindowRect(control, &r)) return false;
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return false;
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<uint32_t> shown = RenderPixels(w, h, [&](HDC memory, HDC screen) {
            BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
        });
        if (!shown.empty()) {
            const uint32_t ground = shown[0];
            std::vector<uint32_t> drawn = RenderPixels(w, h, [&](HDC memory, HDC) {
                HBRUSH brush = CreateSolidBrush(
                    RGB((ground >> 16) & 0xFF, (ground >> 8) & 0xFF, ground & 0xFF));
                RECT all = {0, 0, w, h};
                FillRect(memory, &all, brush);
                DeleteObject(brush);
                DrawIconEx(memory, 0, 0, icon, w, h, 0, nullptr, DI_NORMAL);
            });
            if (shown == drawn) return true;
        }
        if (GetTickCount() - start >= kPaintTimeoutMs) return false;
        PumpFor(kPollIntervalMs * 5);
    }
}
