// deploy/cellvaro-report.cmd run by Wine's cmd on the kernel-mode test
// driver: one run per outcome with its CSV line read back, the header, the
// lock with two copies waiting on it, and the wrapper's own exit codes.
// The wrapper and cellvaro.exe sit in a folder whose name has a blank, as
// under "Program Files". ctest runs this with TZ set away from UTC, so that
// a local time in the CSV would show.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "driver_stack.h"
#include "test_support.h"

namespace {

constexpr DWORD kWrapperTimeoutMs = 90000;
// How long the wrapper must keep waiting on a taken lock after cellvaro.exe
// has ended; the wrapper's own steps take well under a second.
constexpr DWORD kLockHeldMs = 3000;
constexpr ULONGLONG kTicksPerSecond = 10000000;  // FILETIME units
constexpr ULONGLONG kClockSlackSeconds = 2;
constexpr size_t kTimeChars = 20;  // yyyy-mm-ddThh:mm:ssZ
constexpr DWORD kExitRecalled = 0xFFFFFFFF;
constexpr DWORD kExitUsage = 10;
constexpr DWORD kExitNoExe = 11;
constexpr DWORD kExitNotAppended = 13;
constexpr char kHeader[] = "computer,utc_time,exit_code,outcome";
constexpr wchar_t kScript[] = L"cellvaro-report.cmd";

ULONGLONG NowTicks() {
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    return (ULONGLONG)now.dwHighDateTime << 32 | now.dwLowDateTime;
}

std::string ComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name) : std::string();
}

std::wstring Quoted(const std::wstring &path) { return L"\"" + path + L"\""; }

bool Exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadText(const std::wstring &path) {
    std::vector<uint8_t> bytes = ReadWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

bool WriteText(const std::wstring &path, const std::string &text) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = text.empty() ||
              (WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr) && written == text.size());
    CloseHandle(file);
    return ok;
}

// The lines of a CSV file that cmd wrote: each ends with CR LF; a last line
// without its end is returned as "<unterminated>..." so that it shows.
std::vector<std::string> CsvLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back("<unterminated>" + text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::vector<std::string> Fields(const std::string &line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t comma = line.find(',', start);
        fields.push_back(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return fields;
        start = comma + 1;
    }
}

// The time field as FILETIME ticks, 0 if it is not yyyy-mm-ddThh:mm:ssZ.
ULONGLONG ParseUtc(const std::string &text) {
    SYSTEMTIME t = {};
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char zone = 0;
    if (text.size() != kTimeChars ||
        std::sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%c", &year, &month, &day, &hour, &minute, &second,
                    &zone) != 7 ||
        zone != 'Z')
        return 0;
    t.wYear = (WORD)year;
    t.wMonth = (WORD)month;
    t.wDay = (WORD)day;
    t.wHour = (WORD)hour;
    t.wMinute = (WORD)minute;
    t.wSecond = (WORD)second;
    FILETIME ft = {};
    if (!SystemTimeToFileTime(&t, &ft)) return 0;
    return (ULONGLONG)ft.dwHighDateTime << 32 | ft.dwLowDateTime;
}

// One wrapper started by cmd, in a job, so that a case that fails takes
// its cmd and cellvaro.exe down with it.
class CWrapperRun {
public:
    CWrapperRun() = default;
    ~CWrapperRun() {
        if (_hJob) CloseHandle(_hJob);  // kills what still runs
        if (_hProcess) {
            TerminateProcess(_hProcess, 0xDEAD);
            CloseHandle(_hProcess);
        }
    }
    CWrapperRun(const CWrapperRun &) = delete;
    CWrapperRun &operator=(const CWrapperRun &) = delete;

    // cmd /d /c ""SCRIPT" ARGUMENTS": cmd drops the outer quotes.
    bool Start(const std::wstring &script, const std::wstring &arguments) {
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
        std::wstring line =
            L"cmd.exe /d /c \"" + Quoted(script) + (arguments.empty() ? L"" : L" " + arguments) + L"\"";
        std::vector<wchar_t> writable(line.begin(), line.end());
        writable.push_back(L'\0');
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(cmd.c_str(), writable.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                            nullptr, &si, &pi))
            return false;
        _hJob = CreateJobObjectW(nullptr, nullptr);
        if (_hJob) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            SetInformationJobObject(_hJob, JobObjectExtendedLimitInformation, &limits, sizeof limits);
            AssignProcessToJobObject(_hJob, pi.hProcess);
        }
        ResumeThread(pi.hThread);
        CloseHandle(pi.hThread);
        _hProcess = pi.hProcess;
        return true;
    }

    bool IsRunning() const { return _hProcess && WaitForSingleObject(_hProcess, 0) == WAIT_TIMEOUT; }

    // Waits for the end; "" and the exit code, or what went wrong. A window
    // captioned Cellvaro beyond those already open means that cellvaro.exe
    // did not get /Silent as its whole command line.
    std::string WaitForExit(DWORD *exit_code, const std::vector<HWND> &open_before = {}) {
        DWORD start = GetTickCount();
        while (IsRunning()) {
            if (GetTickCount() - start >= kWrapperTimeoutMs) return "still running after the bound";
            if (FindCellvaroWindows() != open_before) return "a Cellvaro box appeared";
            PumpFor(kPollIntervalMs);
        }
        if (!_hProcess || !GetExitCodeProcess(_hProcess, exit_code)) return "no exit code";
        return "";
    }

private:
    HANDLE _hProcess = nullptr;
    HANDLE _hJob = nullptr;
};

// Checks one data line against the run that wrote it.
void ExpectLine(const std::string &line, DWORD exit_code, const char *outcome, ULONGLONG started,
                ULONGLONG ended) {
    SCOPED_TRACE("line: " + line);
    std::vector<std::string> f = Fields(line);
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0], ComputerName());
    ULONGLONG at = ParseUtc(f[1]);
    ASSERT_NE(at, 0u) << "not yyyy-mm-ddThh:mm:ssZ";
    // The field has whole seconds; a local time would be hours away.
    EXPECT_GE(at + kClockSlackSeconds * kTicksPerSecond, started) << "before the run started";
    EXPECT_LE(at, ended + kClockSlackSeconds * kTicksPerSecond) << "after the run ended";
    EXPECT_EQ(f[2], std::to_string((int)exit_code));
    EXPECT_EQ(f[3], outcome);
}

bool InstallMachine(const char *path, uint32_t *sequence, std::string *error) {
    sim::Machine machine;
    if (!LoadMachine(path, &machine, error)) return false;
    *sequence = InstallNotebook(machine, error);
    return *sequence != 0;
}

class ReportWrapperTest : public testing::Test {
protected:
    // A fresh folder with the wrapper, and cellvaro.exe beside it.
    void SetUp() override {
        ASSERT_TRUE(FindCellvaroWindows().empty()) << "a box of an earlier case is still open";
        _folder = NewFolder();
        ASSERT_FALSE(_folder.empty());
        ASSERT_TRUE(CopyFileW((SourceRoot() + L"\\deploy\\" + kScript).c_str(), Script().c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(CellvaroExePath().c_str(), (_folder + L"\\cellvaro.exe").c_str(), FALSE));
        _csv = _folder + L"\\results.csv";
    }

    static std::wstring NewFolder() {
        static unsigned s_count = 0;
        wchar_t temp[MAX_PATH] = {};
        if (!GetTempPathW(MAX_PATH, temp)) return L"";
        std::wstring folder = std::wstring(temp) + L"cellvaro report " + std::to_wstring(++s_count);
        return CreateDirectoryW(folder.c_str(), nullptr) ? folder : L"";
    }

    std::wstring Script() const { return _folder + L"\\" + kScript; }

    std::wstring _folder;
    std::wstring _csv;
};

struct OUTCOME_CASE {
    const char *machine;
    DWORD exit_code;
    const char *outcome;
    bool first_copy_open;  // a copy with its box open makes the wrapper's copy end with 3
};

const OUTCOME_CASE kOutcomes[] = {
    {"sim/machines/not-recalled.json", 0, "not-recalled", false},
    {"sim/machines/no-battery.json", 1, "no-battery", false},
    {"sim/machines/unsupported-model.json", 2, "unsupported", false},
    {"sim/machines/recalled.json", 3, "already-running", true},
    {"sim/machines/driver-error.json", 4, "driver-error", false},
    {"sim/machines/query-error.json", 5, "query-error", false},
    {"sim/machines/recalled.json", kExitRecalled, "recalled", false},
};

// Every outcome appended to one file: the header once at the top, each run's
// line read back, and what earlier runs wrote left as it was.
TEST_F(ReportWrapperTest, OneLinePerOutcomeUnderOneHeader) {
    TIME_ZONE_INFORMATION zone = {};
    GetTimeZoneInformation(&zone);
    ASSERT_NE(zone.Bias, 0) << "run with TZ set away from UTC, or a local time would pass for UTC";

    std::string previous;
    for (size_t i = 0; i < sizeof kOutcomes / sizeof kOutcomes[0]; i++) {
        const OUTCOME_CASE &c = kOutcomes[i];
        SCOPED_TRACE(c.outcome);
        uint32_t sequence = 0;
        std::string error;
        ASSERT_TRUE(InstallMachine(c.machine, &sequence, &error)) << error;

        CChildProcess first;
        std::vector<HWND> open_before;
        if (c.first_copy_open) {
            ASSERT_TRUE(first.Start(L""));
            HWND box = WaitForBox(first.ProcessId(), kStartTimeoutMs);
            ASSERT_NE(box, nullptr) << "the first copy showed no box";
            open_before.push_back(box);
        }

        ULONGLONG started = NowTicks();
        CWrapperRun run;
        ASSERT_TRUE(run.Start(Script(), Quoted(_csv)));
        DWORD code = 0;
        ASSERT_EQ(run.WaitForExit(&code, open_before), "");
        ULONGLONG ended = NowTicks();
        EXPECT_EQ(code, c.exit_code);

        if (c.first_copy_open) {
            PressOk(open_before[0]);
            DWORD first_code = 0;
            ASSERT_TRUE(first.WaitForExit(kExitTimeoutMs, &first_code));
            EXPECT_EQ(first_code, kExitRecalled);
        }
        sim::wdm::DriverLog log;
        ASSERT_TRUE(WaitForSettledLog(sequence, &log)) << "the driver did not see the run end";

        std::string text = ReadText(_csv);
        ASSERT_EQ(text.compare(0, previous.size(), previous), 0) << "an earlier line changed:\n" << text;
        std::vector<std::string> lines = CsvLines(text);
        ASSERT_EQ(lines.size(), i + 2) << text;
        EXPECT_EQ(lines[0], kHeader);
        ExpectLine(lines.back(), c.exit_code, c.outcome, started, ended);
        previous = text;
    }
    EXPECT_FALSE(Exists(_csv + L".lock")) << "the lock was left behind";
}

// The header goes into an empty file too, and never into one with lines.
TEST_F(ReportWrapperTest, HeaderOnlyIntoAnEmptyFile) {
    const struct {
        const char *name;
        const char *before;
        const char *expected_first;
    } kCases[] = {
        {"empty", "", kHeader},
        {"with lines", "PC1,2026-01-01T00:00:00Z,0,not-recalled\r\n",
         "PC1,2026-01-01T00:00:00Z,0,not-recalled"},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.name);
        std::wstring csv = _folder + L"\\" + std::wstring(c.name, c.name + strlen(c.name)) + L".csv";
        ASSERT_TRUE(WriteText(csv, c.before));
        uint32_t sequence = 0;
        std::string error;
        ASSERT_TRUE(InstallMachine("sim/machines/not-recalled.json", &sequence, &error)) << error;
        ULONGLONG started = NowTicks();
        CWrapperRun run;
        ASSERT_TRUE(run.Start(Script(), Quoted(csv)));
        DWORD code = 1;
        ASSERT_EQ(run.WaitForExit(&code), "");
        ULONGLONG ended = NowTicks();
        EXPECT_EQ(code, 0u);
        std::vector<std::string> lines = CsvLines(ReadText(csv));
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], c.expected_first);
        ExpectLine(lines[1], 0, "not-recalled", started, ended);
        sim::wdm::DriverLog log;
        ASSERT_TRUE(WaitForSettledLog(sequence, &log)) << "the driver did not see the run end";
    }
}

// Two copies find the lock taken: both wait, past the end of their
// cellvaro.exe, without writing; released, both append, and no line is lost.
TEST_F(ReportWrapperTest, TwoCopiesWaitForTheLockAndLoseNoLine) {
    uint32_t sequence = 0;
    std::string error;
    ASSERT_TRUE(InstallMachine("sim/machines/not-recalled.json", &sequence, &error)) << error;
    std::wstring lock = _csv + L".lock";
    ASSERT_TRUE(CreateDirectoryW(lock.c_str(), nullptr));

    ULONGLONG started = NowTicks();
    CWrapperRun runs[2];
    for (CWrapperRun &run : runs) ASSERT_TRUE(run.Start(Script(), Quoted(_csv)));
    // One copy of cellvaro.exe talks to the driver; the other may end with
    // 3 at once if the two overlap.
    sim::wdm::DriverLog log;
    ASSERT_TRUE(WaitForSettledLog(sequence, &log));
    PumpFor(kLockHeldMs);
    for (CWrapperRun &run : runs) EXPECT_TRUE(run.IsRunning()) << "a copy did not wait for the lock";
    EXPECT_FALSE(Exists(_csv)) << "written while the lock was taken";

    ASSERT_TRUE(RemoveDirectoryW(lock.c_str()));
    std::vector<std::string> codes;
    for (CWrapperRun &run : runs) {
        DWORD code = 0;
        ASSERT_EQ(run.WaitForExit(&code), "");
        EXPECT_TRUE(code == 0 || code == 3) << code;
        codes.push_back(std::to_string(code));
    }
    ULONGLONG ended = NowTicks();

    std::string text = ReadText(_csv);
    std::vector<std::string> lines = CsvLines(text);
    ASSERT_EQ(lines.size(), 3u) << text;
    EXPECT_EQ(lines[0], kHeader);
    std::vector<std::string> written;
    for (size_t i = 1; i < lines.size(); i++) {
        std::vector<std::string> f = Fields(lines[i]);
        ASSERT_EQ(f.size(), 4u) << lines[i];
        const char *outcome = f[2] == "0" ? "not-recalled" : "already-running";
        ExpectLine(lines[i], std::stoul(f[2]), outcome, started, ended);
        written.push_back(f[2]);
    }
    std::sort(codes.begin(), codes.end());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, codes) << "the lines are not the two copies' own";
    EXPECT_FALSE(Exists(lock));
}

enum FAILURE_SETUP { kNoArgument, kNoExe, kMissingFolder, kFileHeldOpen };

struct FAILURE_CASE {
    const char *name;
    FAILURE_SETUP setup;
    DWORD exit_code;
};

void PrintTo(const FAILURE_CASE &c, std::ostream *os) { *os << c.name; }

class ReportWrapperFailureTest : public ReportWrapperTest,
                                 public testing::WithParamInterface<FAILURE_CASE> {};

// The wrapper's own failures get their own codes and leave nothing behind:
// no file, no folder, no lock; a file that another program holds open is
// reported, not passed over.
TEST_P(ReportWrapperFailureTest, EndsWithItsOwnCodeAndWritesNothing) {
    const FAILURE_CASE &c = GetParam();
    uint32_t sequence = 0;
    std::string error;
    ASSERT_TRUE(InstallMachine("sim/machines/recalled.json", &sequence, &error)) << error;
    std::wstring csv = _csv;
    HANDLE held = INVALID_HANDLE_VALUE;
    const std::string kEarlier = "PC1,2026-01-01T00:00:00Z,0,not-recalled\r\n";
    switch (c.setup) {
    case kNoArgument:
        csv.clear();
        break;
    case kNoExe:
        ASSERT_TRUE(DeleteFileW((_folder + L"\\cellvaro.exe").c_str()));
        break;
    case kMissingFolder:
        csv = _folder + L"\\missing\\results.csv";
        break;
    case kFileHeldOpen:
        ASSERT_TRUE(WriteText(csv, kEarlier));
        held = CreateFileW(csv.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        break;
    }

    CWrapperRun run;
    ASSERT_TRUE(run.Start(Script(), csv.empty() ? L"" : Quoted(csv)));
    DWORD code = 0;
    std::string waited = run.WaitForExit(&code);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    ASSERT_EQ(waited, "");
    EXPECT_EQ(code, c.exit_code);

    if (c.setup == kFileHeldOpen) {
        EXPECT_EQ(ReadText(csv), kEarlier);
    } else {
        EXPECT_FALSE(Exists(_csv));
    }
    EXPECT_FALSE(Exists(_folder + L"\\missing")) << "the missing folder was made";
    EXPECT_FALSE(Exists((csv.empty() ? _csv : csv) + L".lock")) << "the lock was left behind";
    if (c.setup == kMissingFolder || c.setup == kFileHeldOpen) {
        sim::wdm::DriverLog log;
        EXPECT_TRUE(WaitForSettledLog(sequence, &log)) << "the driver did not see the run end";
    }
}

const FAILURE_CASE kFailures[] = {
    {"NoArgument", kNoArgument, kExitUsage},
    {"NoExeBesideTheScript", kNoExe, kExitNoExe},
    {"MissingFolder", kMissingFolder, kExitNotAppended},
    {"FileHeldOpen", kFileHeldOpen, kExitNotAppended},
};

INSTANTIATE_TEST_SUITE_P(Wrapper, ReportWrapperFailureTest, testing::ValuesIn(kFailures),
                         [](const testing::TestParamInfo<FAILURE_CASE> &param_info) {
                             return std::string(param_info.param.name);
                         });

// cmd misreads labels and gotos in a file with bare LF line ends; the
// checkout must keep the script's CR LF.
TEST(ReportWrapperScript, HasWindowsLineEnds) {
    std::string text = ReadText(SourceRoot() + L"\\deploy\\" + kScript);
    ASSERT_FALSE(text.empty());
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at byte " << i;
        }
    }
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

}  // namespace
