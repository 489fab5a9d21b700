// cellvaro.exe on the kernel-mode test driver: every outcome and every
// driver mode through Windows' own SetupAPI, registry, CreateFileW and
// DeviceIoControl. Each case checks the full exit code, the box (text and
// icon, or none with /Silent) and what the driver saw.
//
// Not shown here, because Wine 8.0 cannot: a misc device held open by
// someone else (Wine does not enforce share mode 0) and a battery whose
// open fails at CreateFileW (Wine hands out the handle before the driver
// answers the open). The hosted tests cover both.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "battery_class.h"
#include "driver_stack.h"
#include "misc_driver.h"
#include "expected_texts.h"
#include "test_support.h"

namespace {

using sim::wdm::JournalEntry;

constexpr int kMessageTextId = 0xFFFF;
constexpr uint32_t kErrorNotSupported = 50;
constexpr DWORD kExitRecalled = 0xFFFFFFFF;
constexpr DWORD kExitAlreadyRunning = 3;

// The misc functions by short names, for the case table.
constexpr uint32_t kSupportCode = MISC_QUERY_SUPPORT_CODE.function;
constexpr uint32_t kSlotWord = MISC_QUERY_SLOT_WORD.function;
constexpr uint32_t kDate = MISC_QUERY_BATTERY_DATE.function;
constexpr uint32_t kPartNumber = MISC_QUERY_PART_NUMBER.function;

enum DRIVER_MODE { kSession, kClear, kBelow108 };

struct RUN_CASE {
    const char *name;
    const char *machine;
    const wchar_t *arguments;
    DWORD exit_code;
    unsigned message;  // 0: no box; its icon is ExpectedIcon(message)
    DRIVER_MODE mode;
    bool handshake_completes;         // kSession: false when the driver fails authentication
    std::vector<uint32_t> functions;  // misc functions, in the order of the capsules
    uint32_t batteries_queried;       // battery devices asked for their capacity
};

void PrintTo(const RUN_CASE &c, std::ostream *os) { *os << c.name; }

// Follows the child to its end: with a message, its box (text, icon) and
// OK; without, no window captioned "Cellvaro" beyond those already open.
void ExpectRunEnds(CChildProcess &child, unsigned message, DWORD exit_code,
                   const std::vector<HWND> &open_before = {}) {
    DWORD code = 0;
    if (message == 0) {
        DWORD start = GetTickCount();
        while (child.IsRunning() && GetTickCount() - start < kExitTimeoutMs) {
            ASSERT_EQ(FindCellvaroWindows(), open_before) << "a window captioned Cellvaro appeared";
            PumpFor(kPollIntervalMs);
        }
        ASSERT_TRUE(child.WaitForExit(0, &code)) << "still running after " << kExitTimeoutMs << " ms";
    } else {
        HWND box = WaitForBox(child.ProcessId(), kStartTimeoutMs);
        ASSERT_NE(box, nullptr) << "no box within " << kStartTimeoutMs << " ms";
        EXPECT_EQ(DialogItemText(box, kMessageTextId), ExpectedText(message));
        if (LPCWSTR icon = ExpectedIcon(message)) {
            // Compared by the pixels shown, as another process's HICON
            // cannot be compared with this one's.
            EXPECT_NE(ShownIcon(box), nullptr) << "the box shows no icon";
            EXPECT_TRUE(IconControlShows(FindIconControl(box), LoadIconW(nullptr, icon)))
                << "the box shows another icon than message " << message << "'s";
        } else {
            EXPECT_EQ(ShownIcon(box), nullptr) << "an MB_OK box shows an icon";
        }
        PressOk(box);
        ASSERT_TRUE(child.WaitForExit(kExitTimeoutMs, &code)) << "did not end after OK";
    }
    EXPECT_EQ(code, exit_code);
}

std::vector<JournalEntry> Requests(const std::vector<JournalEntry> &entries) {
    std::vector<JournalEntry> requests;
    for (const JournalEntry &e : entries)
        if (e.kind == sim::wdm::kJournalControl) requests.push_back(e);
    return requests;
}

void ExpectOneOpenAndClose(const std::vector<JournalEntry> &entries, const char *device) {
    int opens = 0, closes = 0;
    for (const JournalEntry &e : entries) {
        if (e.kind == sim::wdm::kJournalOpen) opens++;
        if (e.kind == sim::wdm::kJournalClose) closes++;
    }
    EXPECT_EQ(opens, 1) << device;
    EXPECT_EQ(closes, 1) << device;
    ASSERT_FALSE(entries.empty()) << device;
    EXPECT_EQ(entries.front().kind, uint32_t(sim::wdm::kJournalOpen)) << device;
    EXPECT_EQ(entries.back().kind, uint32_t(sim::wdm::kJournalClose)) << device;
}

void ExpectRequest(const JournalEntry &e, uint32_t code, uint32_t in_size, uint32_t bytes,
                   const char *what) {
    EXPECT_EQ(e.code, code) << what;
    EXPECT_EQ(e.in_size, in_size) << what;
    EXPECT_EQ(e.result, 1u) << what << " failed with " << e.last_error;
    EXPECT_EQ(e.bytes, bytes) << what;
}

// What the misc device and the battery devices must have seen in a run.
void ExpectDriverSaw(const RUN_CASE &c, const sim::wdm::DriverLog &log) {
    std::vector<JournalEntry> misc = EntriesOf(log, sim::wdm::kDeviceMisc);
    ExpectOneOpenAndClose(misc, "misc device");
    std::vector<JournalEntry> requests = Requests(misc);
    if (c.mode == kBelow108) {
        EXPECT_TRUE(requests.empty()) << "a driver below 1.0.8 got " << requests.size() << " requests";
        return;
    }
    size_t next = 0;
    auto take = [&]() -> const JournalEntry * {
        return next < requests.size() ? &requests[next++] : nullptr;
    };

    const JournalEntry *probe = take();
    ASSERT_NE(probe, nullptr) << "no probe";
    EXPECT_EQ(probe->code, IOCTL_MISC_SESSION);
    EXPECT_EQ(probe->in_size, 0u);
    EXPECT_EQ(probe->result, c.mode == kSession ? 1u : 0u);
    if (c.mode == kClear) {
        EXPECT_EQ(probe->last_error, kErrorNotSupported);
    }

    uint32_t session = 0;
    if (c.mode == kSession) {
        const JournalEntry *ini1 = take();
        ASSERT_NE(ini1, nullptr) << "no phase 1";
        EXPECT_EQ(0, memcmp(ini1->in_head, "Ini1", 4));
        ExpectRequest(*ini1, IOCTL_MISC_SESSION, MISC_PHASE1_SIZE, MISC_PHASE1_SIZE, "phase 1");
        session = ReadLe32(ini1->out_head);
        const JournalEntry *ini2 = take();
        ASSERT_NE(ini2, nullptr) << "no phase 2";
        EXPECT_EQ(0, memcmp(ini2->in_head, "Ini2", 4));
        EXPECT_EQ(ReadLe32(ini2->in_head + 4), session);
        ExpectRequest(*ini2, IOCTL_MISC_SESSION, MISC_PHASE2_REQUEST_SIZE, MISC_PHASE2_REPLY_SIZE, "phase 2");
        if (!c.handshake_completes) {
            // The driver failed authentication: the utility drops the
            // half-made session at once and sends nothing more.
            const JournalEntry *close = take();
            ASSERT_NE(close, nullptr) << "the refused session was not closed";
            ExpectRequest(*close, IOCTL_MISC_SESSION_CLOSE, 4, 0, "session close");
            EXPECT_EQ(ReadLe32(close->in_head), session);
            EXPECT_EQ(next, requests.size()) << "requests after a refused handshake";
            EXPECT_EQ(log.misc.handshakes_completed, 0u);
            EXPECT_EQ(log.misc.sessions_closed, 1u);
            return;
        }
        const JournalEntry *ini3 = take();
        ASSERT_NE(ini3, nullptr) << "no phase 3";
        EXPECT_EQ(0, memcmp(ini3->in_head, "Ini3", 4));
        EXPECT_EQ(ReadLe32(ini3->in_head + 4), session);
        ExpectRequest(*ini3, IOCTL_MISC_SESSION, MISC_PHASE3_REQUEST_SIZE, MISC_PHASE3_REPLY_SIZE, "phase 3");
        EXPECT_EQ(log.misc.handshakes_completed, 1u);
    }

    const JournalEntry *model = take();
    ASSERT_NE(model, nullptr) << "no model request";
    ExpectRequest(*model, IOCTL_MISC_GET_MODEL_NUMBER, 0, MISC_MODEL_RECORD_SIZE, "model record");
    EXPECT_EQ(model->out_capacity, MISC_MODEL_RECORD_SIZE);

    // The capsules: the clear header carries the size and the session; in
    // clear mode the record's message identifier follows it. Enciphered, the
    // device serves only the next identifier, so none refused means 0, 1, 2…
    for (uint32_t id = 0; id < c.functions.size(); id++) {
        const JournalEntry *capsule = take();
        ASSERT_NE(capsule, nullptr) << "capsule " << id << " missing";
        EXPECT_EQ(capsule->code, IOCTL_MISC_CAPSULE) << "capsule " << id;
        EXPECT_EQ(capsule->result, 1u) << "capsule " << id << " failed with " << capsule->last_error;
        EXPECT_EQ(ReadLe32(capsule->in_head + 4), capsule->in_size) << "capsule " << id;
        EXPECT_EQ(ReadLe32(capsule->in_head + 8), session) << "capsule " << id;
        if (c.mode == kClear) {
            EXPECT_EQ(ReadLe32(capsule->in_head + 12), id) << "message identifier";
        }
    }
    EXPECT_EQ(log.misc.capsules_served, c.functions.size());
    EXPECT_EQ(log.misc.capsules_refused, 0u);
    std::vector<uint32_t> served(log.misc.misc_functions,
                                 log.misc.misc_functions + std::min<uint32_t>(log.misc.misc_function_count, 8));
    EXPECT_EQ(served, c.functions);

    if (c.mode == kSession) {
        const JournalEntry *close = take();
        ASSERT_NE(close, nullptr) << "the session was not closed at exit";
        ExpectRequest(*close, IOCTL_MISC_SESSION_CLOSE, 4, 0, "session close");
        EXPECT_EQ(ReadLe32(close->in_head), session);
        EXPECT_EQ(log.misc.sessions_closed, 1u);
        EXPECT_EQ(log.misc.last_closed_session, session);
    }
    EXPECT_EQ(next, requests.size()) << "unexpected requests after the last one expected";

    for (uint32_t b = 0; b < sim::wdm::kInstalledBatteries; b++) {
        SCOPED_TRACE("battery " + std::to_string(b));
        std::vector<JournalEntry> battery = EntriesOf(log, sim::wdm::kDeviceBattery0 + b);
        if (b >= c.batteries_queried) {
            EXPECT_TRUE(battery.empty());
            continue;
        }
        ExpectOneOpenAndClose(battery, "battery device");
        std::vector<JournalEntry> asked = Requests(battery);
        ASSERT_EQ(asked.size(), 2u);
        ExpectRequest(asked[0], BATTERY_CODE_QUERY_TAG, 4, 4, "tag");
        ExpectRequest(asked[1], BATTERY_CODE_QUERY_INFORMATION, BATTERY_QUERY_SIZE, BATTERY_INFORMATION_SIZE,
                      "information");
    }
}

class OutcomeTest : public testing::TestWithParam<RUN_CASE> {
protected:
    void SetUp() override {
        ASSERT_TRUE(FindCellvaroWindows().empty()) << "a box of an earlier case is still open";
    }
};

TEST_P(OutcomeTest, ExitCodeBoxAndDriverRequests) {
    const RUN_CASE &c = GetParam();
    sim::Machine machine;
    std::string error;
    ASSERT_TRUE(LoadMachine(c.machine, &machine, &error)) << error;
    uint32_t sequence = InstallNotebook(machine, &error);
    ASSERT_NE(sequence, 0u) << error;

    CChildProcess child;
    ASSERT_TRUE(child.Start(c.arguments));
    ExpectRunEnds(child, c.message, c.exit_code);

    sim::wdm::DriverLog log;
    ASSERT_TRUE(WaitForSettledLog(sequence, &log))
        << "the driver's log did not show this run with every handle closed";
    ExpectDriverSaw(c, log);
}

const std::vector<uint32_t> kOnePack = {kSupportCode, kSlotWord, kDate, kPartNumber};

// The hosted build's sample notebooks, and one of this folder's.
const RUN_CASE kRunCases[] = {
    {"Recalled", "sim/machines/recalled.json", L"", kExitRecalled, 117, kSession, true,
     kOnePack, 1},
    {"RecalledSilent", "sim/machines/recalled.json", L"/Silent", kExitRecalled, 0, kSession,
     true, kOnePack, 1},
    {"NotRecalled", "sim/machines/not-recalled.json", L"", 0, 115, kSession, true, kOnePack, 1},
    {"NoBattery", "sim/machines/no-battery.json", L"", 1, 114, kSession, true,
     {kSupportCode, kSlotWord, kDate}, 0},
    {"UnsupportedModel", "sim/machines/unsupported-model.json", L"", 2, 111, kSession, true,
     {}, 0},
    {"DriverError", "sim/machines/driver-error.json", L"", 4, 113, kSession, false, {}, 0},
    {"QueryError", "sim/machines/query-error.json", L"", 5, 118, kSession, true, kOnePack, 1},
    {"SecondPackRecalled", "tests/wdm/machines/second-pack-recalled.json", L"", kExitRecalled, 117,
     kSession, true, {kSupportCode, kSlotWord, kDate, kPartNumber, kDate, kPartNumber}, 2},
    {"ClearMode", "sim/machines/clear-mode.json", L"", kExitRecalled, 117, kClear, false,
     kOnePack, 1},
    {"Below108", "sim/machines/old-driver.json", L"", 2, 111, kBelow108, false, {}, 0},
};

INSTANTIATE_TEST_SUITE_P(Driver, OutcomeTest, testing::ValuesIn(kRunCases),
                         [](const testing::TestParamInfo<RUN_CASE> &param_info) {
                             return std::string(param_info.param.name);
                         });

// Outcome 3 with the driver: a second copy started while the first copy's
// box is open ends with 3 without a box and never opens the driver.
TEST(AlreadyRunningTest, SecondCopyEndsWith3AndLeavesTheDriverAlone) {
    ASSERT_TRUE(FindCellvaroWindows().empty());
    sim::Machine machine;
    std::string error;
    ASSERT_TRUE(LoadMachine("sim/machines/recalled.json", &machine, &error)) << error;
    uint32_t sequence = InstallNotebook(machine, &error);
    ASSERT_NE(sequence, 0u) << error;

    CChildProcess first;
    ASSERT_TRUE(first.Start(L""));
    HWND box = WaitForBox(first.ProcessId(), kStartTimeoutMs);
    ASSERT_NE(box, nullptr) << "no box within " << kStartTimeoutMs << " ms";

    CChildProcess second;
    ASSERT_TRUE(second.Start(L""));
    ExpectRunEnds(second, 0, kExitAlreadyRunning, {box});

    EXPECT_EQ(DialogItemText(box, kMessageTextId), ExpectedText(117));
    PressOk(box);
    DWORD code = 0;
    ASSERT_TRUE(first.WaitForExit(kExitTimeoutMs, &code));
    EXPECT_EQ(code, kExitRecalled);

    sim::wdm::DriverLog log;
    ASSERT_TRUE(WaitForSettledLog(sequence, &log));
    ExpectDriverSaw({"first copy", "", L"", kExitRecalled, 117, kSession, true, kOnePack, 1}, log);
}

}  // namespace
