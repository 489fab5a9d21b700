// The external driver port's bounds: a driver that does not answer in
// time fails its calls as a dead driver's fail, with one line on standard
// error; and a driver, with whatever it started, ends when the utility
// ends, at a normal exit and by a signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

#include "cases.h"
#include "process.h"

namespace e2e {
namespace {

constexpr int kErrorGenFailure = 31;
constexpr int kShortTimeoutMs = 300;
constexpr int kDefaultTimeoutMs = 5000;
// What a run may take beyond its driver's deadline: the handshake's
// refusal, the box, the exit.
constexpr int kRunMarginMs = 3000;
constexpr int kGoneWithinMs = 2000;

int64_t NowMs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

std::string Quoted(const std::string &path) { return "'" + path + "'"; }

// The pid a command wrote into a file, or 0.
pid_t ReadPid(const std::string &path) {
    std::ifstream in(path);
    long pid = 0;
    in >> pid;
    return (pid_t)pid;
}

// Gone: no such process, or a zombie that only waits to be reaped by
// whoever adopted it.
bool ProcessGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z';
}

bool GoneWithin(pid_t pid, int ms) {
    const int64_t until = NowMs() + ms;
    while (!ProcessGone(pid)) {
        if (NowMs() > until) return false;
        usleep(10000);
    }
    return true;
}

// ---------------------------------------------------------------------------
// The reply deadline.

struct LateCase {
    const char *name;
    const char *stall;  // shell commands that answer the first request badly, or not at all
    int timeout_ms;     // external_reply_timeout_ms; 0: not set (the default)
};

void PrintTo(const LateCase &c, std::ostream *os) { *os << c.name; }

const LateCase kLateCases[] = {
    {"NoReply", "exec sleep 1000", kShortTimeoutMs},
    {"NoReplyUnderTheDefault", "exec sleep 1000", 0},
    // The first 4 bytes of a reply header, then nothing.
    {"PartOfAHeader", "printf '\\020\\000\\000\\000'; exec sleep 1000", kShortTimeoutMs},
    // A whole header that promises 8 bytes of data that never come.
    {"HeaderWithoutItsData",
     "printf '\\020\\000\\000\\000\\001\\000\\000\\000\\000\\000\\000\\000'; exec sleep 1000",
     kShortTimeoutMs},
    // A byte every 100 ms: each read gets something within the deadline,
    // the whole reply does not.
    {"Trickle", "printf '\\020'; while :; do sleep 0.1; printf '\\000'; done", kShortTimeoutMs},
};

class LateDriver : public ::testing::TestWithParam<LateCase> {};

TEST_P(LateDriver, FailsEveryCallAsADeadDriverAndSaysSoOnce) {
    const LateCase &c = GetParam();
    CWorkDir dir;
    const std::string pidFile = dir.NewFile("driver", ".pid");
    const std::string command = "echo $$ > " + Quoted(pidFile) + "; " + c.stall;
    json machine = BaseMachine();
    machine["misc_driver"]["external"] = command;
    if (c.timeout_ms) machine["misc_driver"]["external_reply_timeout_ms"] = c.timeout_ms;
    const int deadline = c.timeout_ms ? c.timeout_ms : kDefaultTimeoutMs;

    const int64_t start = NowMs();
    RunResult run = RunMachine(dir, machine);
    const int64_t took = NowMs() - start;

    // The probe gets no answer, so the handshake begins, and its first
    // phase fails as well: the driver cannot be used.
    EXPECT_EQ(run.exit_status, 4) << run.err;
    std::vector<json> boxes = Events(run, "message_box");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]["style"], 0x10);
    std::vector<json> misc = MiscRequests(run);
    ASSERT_EQ(misc.size(), 2u);
    for (const json &j : misc) {
        EXPECT_EQ(j["device"], "misc(external)");
        EXPECT_EQ(j["result"], false) << j.dump();
        EXPECT_EQ(j["last_error"], kErrorGenFailure) << j.dump();
        EXPECT_EQ(j["bytes"], 0) << j.dump();
    }
    ExpectCleanRun(run);

    // One line, naming the command and the deadline.
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not one line: " << run.err;
    EXPECT_EQ(run.err.rfind("cellvaro: external driver \"" + command + "\"", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("within " + std::to_string(deadline) + " ms"), std::string::npos) << run.err;

    // The driver had its whole time, and the run did not wait much beyond.
    EXPECT_GE(took, deadline);
    EXPECT_LT(took, (deadline + kRunMarginMs) * SlowFactor());
    const pid_t driver = ReadPid(pidFile);
    ASSERT_GT(driver, 0);
    EXPECT_TRUE(GoneWithin(driver, kGoneWithinMs)) << "driver " << driver << " outlived the run";
}

INSTANTIATE_TEST_SUITE_P(Port, LateDriver, ::testing::ValuesIn(kLateCases),
                         [](const ::testing::TestParamInfo<LateCase> &p) { return p.param.name; });

// ---------------------------------------------------------------------------
// The driver's lifetime.

struct EndCase {
    const char *name;
    int signal;  // sent while the utility waits for the driver's reply; 0: the run ends by itself
    bool side_process_ends;
};

void PrintTo(const EndCase &c, std::ostream *os) { *os << c.name; }

const EndCase kEndCases[] = {
    {"NormalExit", 0, true},
    {"Sigterm", SIGTERM, true},
    {"Sigint", SIGINT, true},
    // Nothing runs in a killed utility: only the death signal of the
    // process it started reaches the driver, not what the driver started.
    {"Sigkill", SIGKILL, false},
};

class DriverLifetime : public ::testing::TestWithParam<EndCase> {};

TEST_P(DriverLifetime, EndsWithTheUtility) {
    const EndCase &c = GetParam();
    CWorkDir dir;
    const std::string driverPid = dir.NewFile("driver", ".pid");
    const std::string sidePid = dir.NewFile("side", ".pid");
    // The driver leaves a process of its own behind, then serves the run,
    // or, for a signal, never answers (and never reads its input, so that
    // only the utility can end it).
    const std::string program = c.signal ? "exec sleep 1000"
                                         : "exec " + Quoted(CELLVARO_E2E_DRIVER) + " --pack HT-QBLP21@2013-06-01";
    json machine = BaseMachine();
    machine["misc_driver"] = {
        {"driver_version", "1.0.9.0"},
        {"external", "sleep 1000 >/dev/null 2>&1 & echo $! > " + Quoted(sidePid) + "; echo $$ > " +
                         Quoted(driverPid) + "; " + program},
        {"external_reply_timeout_ms", 60000},
    };
    RunOptions options;
    options.machine_path = dir.WriteMachine(machine);
    Child child = Start(dir, options);
    RunResult run;
    if (c.signal) {
        ASSERT_TRUE(WaitForText(driverPid, "\n", 10000 * SlowFactor())) << "the driver did not start";
        kill(child.pid, c.signal);
        run = Wait(child, 10000);
        EXPECT_EQ(run.exit_status, -1) << "not ended by the signal";
    } else {
        run = Wait(child);
        ExpectOutcome(run, 0, 115);
    }

    const pid_t driver = ReadPid(driverPid), side = ReadPid(sidePid);
    ASSERT_GT(driver, 0);
    ASSERT_GT(side, 0);
    const bool driverGone = GoneWithin(driver, kGoneWithinMs);
    EXPECT_TRUE(driverGone) << "driver " << driver << " outlived the utility";
    const bool sideGone = GoneWithin(side, c.side_process_ends ? kGoneWithinMs : 0);
    if (c.side_process_ends) {
        EXPECT_TRUE(sideGone) << "process " << side << " of the driver outlived the utility";
    }
    // What outlived the utility is still this test's to end.
    if (!driverGone) kill(driver, SIGKILL);
    if (!sideGone) kill(side, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(Port, DriverLifetime, ::testing::ValuesIn(kEndCases),
                         [](const ::testing::TestParamInfo<EndCase> &p) { return p.param.name; });

}  // namespace
}  // namespace e2e
