// cellvaro.exe run as a child process on a machine without the misc
// driver: the outcome-4 box, the silent option, and the two instance
// mutexes.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "expected_texts.h"
#include "test_support.h"

namespace {

constexpr DWORD kExitDriverError = 4;
constexpr DWORD kExitAlreadyRunning = 3;
constexpr int kMessageTextId = 0xFFFF;
constexpr DWORD kForegroundTimeoutMs = 5000;
constexpr wchar_t kInstanceMutex[] = L"Veltrano_Cellvaro_Exclusive_Mutex";
constexpr wchar_t kGlobalMutex[] = L"Global\\Veltrano_Cellvaro_Exclusive_Global_Mutex";

std::wstring ClassName(HWND hwnd) {
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return name;
}

// Waits for the end of a child that must show no box, checking all the
// while that no window captioned "Cellvaro" appears.
void ExpectExitWithoutWindow(CChildProcess &child, DWORD expected_code) {
    DWORD start = GetTickCount();
    while (child.IsRunning() && GetTickCount() - start < kExitTimeoutMs) {
        // A box would hold the child until OK: fail at once, the child is
        // terminated when it goes out of scope.
        ASSERT_TRUE(FindCellvaroWindows().empty()) << "a window captioned Cellvaro appeared";
        PumpFor(kPollIntervalMs);
    }
    DWORD code = 0;
    ASSERT_TRUE(child.WaitForExit(0, &code)) << "still running after " << kExitTimeoutMs << " ms";
    EXPECT_TRUE(FindCellvaroWindows().empty()) << "a window captioned Cellvaro is left";
    EXPECT_EQ(code, expected_code);
}

// Presses OK on the box and checks that the child then ends with the code.
void ExpectExitAfterOk(CChildProcess &child, HWND box, DWORD expected_code) {
    PressOk(box);
    DWORD code = 0;
    ASSERT_TRUE(child.WaitForExit(kExitTimeoutMs, &code)) << "did not end after OK";
    EXPECT_EQ(code, expected_code);
}

class RunTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FindCellvaroWindows().empty()) << "a box of an earlier case is still open";
    }
};

TEST_F(RunTest, WithoutDriverShowsDriverErrorWithErrorIconAndEndsWith4) {
    CChildProcess child;
    ASSERT_TRUE(child.Start(L""));
    HWND box = WaitForBox(child.ProcessId(), kStartTimeoutMs);
    ASSERT_NE(box, nullptr) << "no box within " << kStartTimeoutMs << " ms";
    EXPECT_EQ(ClassName(box), L"#32770");
    EXPECT_EQ(FindCellvaroWindows().size(), 1u);
    EXPECT_EQ(DialogItemText(box, kMessageTextId), ExpectedText(kDriverErrorId));

    // The other process's HICON cannot be compared with this one's (Wine
    // gives each process its own handles), so the shown pixels are compared
    // with the error icon drawn here on the same ground.
    ASSERT_NE(ShownIcon(box), nullptr) << "the box shows no icon";
    HWND control = FindIconControl(box);
    EXPECT_TRUE(IconControlShows(control, LoadIconW(nullptr, IDI_HAND)))
        << "the box's icon is not the error icon";

    ExpectExitAfterOk(child, box, kExitDriverError);
}

struct COMMAND_LINE_CASE {
    const char *name;
    const wchar_t *arguments;
    bool silent;
};

void PrintTo(const COMMAND_LINE_CASE &c, std::ostream *os) { *os << c.name; }

class CommandLineTest : public RunTest, public testing::WithParamInterface<COMMAND_LINE_CASE> {};

TEST_P(CommandLineTest, SilentOptionDecidesWhetherTheBoxShows) {
    const COMMAND_LINE_CASE &c = GetParam();
    CChildProcess child;
    ASSERT_TRUE(child.Start(c.arguments));
    if (c.silent) {
        ExpectExitWithoutWindow(child, kExitDriverError);
        return;
    }
    HWND box = WaitForBox(child.ProcessId(), kStartTimeoutMs);
    ASSERT_NE(box, nullptr) << "no box within " << kStartTimeoutMs << " ms";
    EXPECT_EQ(DialogItemText(box, kMessageTextId), ExpectedText(kDriverErrorId));
    ExpectExitAfterOk(child, box, kExitDriverError);
}

// The text after the program name is what the start-up code hands to the
// entry: the option is the whole of it, so a trailing blank or a second
// word makes it something else.
const COMMAND_LINE_CASE kCommandLines[] = {
    {"SlashSilent", L"/Silent", true},
    {"SlashSilentLower", L"/silent", true},
    {"SlashSilentUpper", L"/SILENT", true},
    {"SlashSilentAfterBlanks", L"   /Silent", true},
    {"DashSilent", L"-Silent", false},
    {"BareSilent", L"Silent", false},
    {"SlashSilentAndWord", L"/Silent x", false},
    {"SlashSilentTrailingBlank", L"/Silent ", false},
};

INSTANTIATE_TEST_SUITE_P(Options, CommandLineTest, testing::ValuesIn(kCommandLines),
                         [](const testing::TestParamInfo<COMMAND_LINE_CASE> &param_info) {
                             return std::string(param_info.param.name);
                         });

LRESULT CALLBACK PlainWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// A top-level window of the test's own, to take the foreground away from
// the box.
HWND CreateForegroundWindow() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = PlainWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"CellvaroTestForeground";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"foreground taker", WS_OVERLAPPEDWINDOW,
                                0, 0, 200, 100, nullptr, nullptr, wc.hInstance, nullptr);
    if (hwnd == nullptr) return nullptr;
    ShowWindow(hwnd, SW_SHOW);
    SetForegroundWindow(hwnd);
    return hwnd;
}

bool WaitForForeground(HWND hwnd, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    while (GetForegroundWindow() != hwnd) {
        if (GetTickCount() - start >= timeout_ms) return false;
        PumpFor(kPollIntervalMs);
    }
    return true;
}

TEST_F(RunTest, SecondCopyEndsWith3WithoutBoxAndBringsFirstBoxToFront) {
    CChildProcess first;
    ASSERT_TRUE(first.Start(L""));
    HWND box = WaitForBox(first.ProcessId(), kStartTimeoutMs);
    ASSERT_NE(box, nullptr);

    HWND other = CreateForegroundWindow();
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(WaitForForeground(other, kForegroundTimeoutMs)) << "could not take the foreground";

    CChildProcess second;
    ASSERT_TRUE(second.Start(L""));
    DWORD start = GetTickCount();
    size_t most_windows = 0;
    while (second.IsRunning() && GetTickCount() - start < kExitTimeoutMs) {
        most_windows = std::max(most_windows, FindCellvaroWindows().size());
        PumpFor(kPollIntervalMs);
    }
    DWORD code = 0;
    ASSERT_TRUE(second.WaitForExit(0, &code)) << "second copy still running";
    EXPECT_EQ(code, kExitAlreadyRunning);
    EXPECT_LE(most_windows, 1u) << "the second copy showed a box";
    EXPECT_EQ(FindCellvaroWindows(), std::vector<HWND>{box});
    EXPECT_TRUE(WaitForForeground(box, kForegroundTimeoutMs))
        << "the first copy's box did not come to the front";

    DestroyWindow(other);
    ExpectExitAfterOk(first, box, kExitDriverError);
}

struct MUTEX_CASE {
    const char *name;
    const wchar_t *mutex;
    unsigned message;  // 0: no box
};

void PrintTo(const MUTEX_CASE &c, std::ostream *os) { *os << c.name; }

class HeldMutexTest : public RunTest, public testing::WithParamInterface<MUTEX_CASE> {};

TEST_P(HeldMutexTest, EndsWith3) {
    const MUTEX_CASE &c = GetParam();
    HANDLE held = CreateMutexW(nullptr, FALSE, c.mutex);
    ASSERT_NE(held, nullptr) << "error " << GetLastError();
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    CChildProcess child;
    ASSERT_TRUE(child.Start(L""));
    if (c.message == 0) {
        ExpectExitWithoutWindow(child, kExitAlreadyRunning);
    } else {
        HWND box = WaitForBox(child.ProcessId(), kStartTimeoutMs);
        ASSERT_NE(box, nullptr) << "no box within " << kStartTimeoutMs << " ms";
        EXPECT_EQ(DialogItemText(box, kMessageTextId), ExpectedText(c.message));
        EXPECT_EQ(ShownIcon(box), nullptr) << "an MB_OK box shows an icon";
        ExpectExitAfterOk(child, box, kExitAlreadyRunning);
    }
    CloseHandle(held);
}

// The instance mutex alone: another copy in this session, found by its
// box; none is open here, so nothing shows. The global mutex alone:
// another user's copy, which the program reports with message 112.
const MUTEX_CASE kMutexCases[] = {
    {"InstanceMutex", kInstanceMutex, 0},
    {"GlobalMutex", kGlobalMutex, kOtherUserId},
};

INSTANTIATE_TEST_SUITE_P(Held, HeldMutexTest, testing::ValuesIn(kMutexCases),
                         [](const testing::TestParamInfo<MUTEX_CASE> &param_info) {
                             return std::string(param_info.param.name);
                         });

} // namespace
