// tools/trace on the traces of real runs: the timeline names the requests
// as the driver saw them.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <sstream>

#include <fstream>

#include "process.h"

namespace e2e {
namespace {

// The tool's output (standard output and error) for its arguments, and its
// exit status.
std::string TraceTool(const std::string &args, int *status) {
    std::string command = std::string("'") + CELLVARO_E2E_PYTHON + "' '" + CELLVARO_SOURCE_DIR +
                          "/tools/trace' " + args + " 2>&1";
    std::string out;
    *status = -1;
    FILE *p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

// The timeline of a trace file.
std::string Timeline(const std::string &trace) {
    int status;
    std::string out = TraceTool("'" + trace + "'", &status);
    EXPECT_EQ(status, 0) << out;
    return out;
}

// The lines of a timeline that start with the given column.
std::vector<std::string> LinesOf(const std::string &timeline, const std::string &where) {
    std::vector<std::string> found;
    std::istringstream lines(timeline);
    for (std::string line; std::getline(lines, line);)
        if (line.compare(0, where.size() + 1, where + " ") == 0) found.push_back(line);
    return found;
}

void ExpectLine(const std::string &timeline, const std::string &line) {
    EXPECT_NE(timeline.find(line + "\n"), std::string::npos) << "missing: " << line << "\nin:\n" << timeline;
}

TEST(TraceTool, PrintsTheTimelineOfARun) {
    if (std::string(CELLVARO_E2E_PYTHON).empty()) GTEST_SKIP() << "no Python 3";
    const std::string machines = std::string(CELLVARO_SOURCE_DIR) + "/sim/machines";
    CWorkDir dir;

    // With sessions: the phases carry the session id, the close drops it.
    RunOptions secure;
    secure.machine_path = machines + "/recalled.json";
    RunResult run = RunCellvaro(dir, secure);
    ASSERT_EQ(run.exit_status, kExitRecalled);
    std::string t = Timeline(run.trace_path);
    ExpectLine(t, "mutex     Veltrano_Cellvaro_Exclusive_Mutex created");
    ExpectLine(t, "misc      probe -> sessions supported");
    ExpectLine(t, "misc      handshake Ini1 -> session 0x51d00001 (160 bytes)");
    ExpectLine(t, "misc      handshake Ini3 session 0x51d00001 -> 8 bytes");
    ExpectLine(t, "misc      model record (128 bytes) -> \"HT-K60A\"");
    ExpectLine(t, "box       \"Cellvaro\": お客様がお持ちのバッテリーパックは、リコール社告対象製品です。 [style 0]");
    ExpectLine(t, "misc      session close 0x51d00001 -> ok");
    ExpectLine(t, "exit      freed 3 blocks: 4168 bytes (wiped), 1024 bytes, 1024 bytes");
    ExpectLine(t, "exit      live blocks: none");

    // In clear: each capsule's message id, misc function and reply.
    RunOptions clear;
    clear.machine_path = machines + "/two-batteries-clear.json";
    run = RunCellvaro(dir, clear);
    ASSERT_EQ(run.exit_status, 0);
    t = Timeline(run.trace_path);
    ExpectLine(t, "misc      probe -> fails, ERROR_NOT_SUPPORTED (50): no sessions, capsules in clear");
    ExpectLine(t, "misc      capsule #0 0x1A support code (group 2, 8 bytes in, 9 out) -> status 0 (ok), code 3");
    ExpectLine(t, "misc      capsule #1 0x93 slot word (group 2, 10 bytes in, 10 out) -> status 0 (ok), slot word 0x0005");
    ExpectLine(t, "misc      capsule #4 0x42 manufacture date battery 1 (group 2, 10 bytes in, 14 out) -> status 0 "
                  "(ok), made 2013-07-15");
    ExpectLine(t, "misc      capsule #5 0x45 part number battery 1 (group 2, 12 bytes in, 22 out) -> status 0 (ok), "
                  "\"HT-QBLP23\"");
    ExpectLine(t, "battery1  information -> designed 92160 mWh");
    EXPECT_EQ(t.find("session close"), std::string::npos);

    // A busy reply and its pause.
    json busy = json::parse(ReadFile(machines + "/two-batteries-clear.json"));
    busy["misc_driver"]["batteries"][0]["date_status"] = {4, 0};
    run = RunMachine(dir, busy);
    t = Timeline(run.trace_path);
    ExpectLine(t, "misc      capsule #2 0x42 manufacture date battery 0 (group 2, 10 bytes in, 14 out) -> status 4 "
                  "(busy)");
    ExpectLine(t, "sleep     100 ms");
}

// The simulated driver records what it deciphered: a secure run's capsules
// read as the same run's in clear.
TEST(TraceTool, DecodesSecureCapsulesAsClearOnes) {
    if (std::string(CELLVARO_E2E_PYTHON).empty()) GTEST_SKIP() << "no Python 3";
    CWorkDir dir;
    json machine = json::parse(ReadFile(std::string(CELLVARO_SOURCE_DIR) + "/sim/machines/two-batteries-clear.json"));
    RunResult clear = RunMachine(dir, machine);
    machine["misc_driver"]["sessions"] = true;
    RunResult secure = RunMachine(dir, machine);
    ASSERT_EQ(clear.exit_status, 0);
    ASSERT_EQ(secure.exit_status, 0);
    const std::vector<std::string> in_clear = LinesOf(Timeline(clear.trace_path), "misc");
    const std::string secure_timeline = Timeline(secure.trace_path);
    std::vector<std::string> capsules;
    for (const std::string &line : LinesOf(secure_timeline, "misc"))
        if (line.find(" capsule #") != std::string::npos) capsules.push_back(line);
    std::vector<std::string> expected;
    for (const std::string &line : in_clear)
        if (line.find(" capsule #") != std::string::npos) expected.push_back(line);
    ASSERT_EQ(expected.size(), 6u) << secure_timeline;
    EXPECT_EQ(capsules, expected) << secure_timeline;
    EXPECT_EQ(secure_timeline.find("enciphered"), std::string::npos) << secure_timeline;
}

// Each run's first line says which run it is and its last how it ended, so
// that runs appended to one file read one after the other, each with its
// own frees.
TEST(TraceTool, RunsAppendedToOneFileStayApart) {
    if (std::string(CELLVARO_E2E_PYTHON).empty()) GTEST_SKIP() << "no Python 3";
    const std::string machines = std::string(CELLVARO_SOURCE_DIR) + "/sim/machines";
    CWorkDir dir;
    RunOptions options;
    options.trace_path = dir.NewFile("shared", ".jsonl");
    options.machine_path = machines + "/recalled.json";
    RunResult boxed = RunCellvaro(dir, options);
    options.machine_path = machines + "/two-batteries-clear.json";
    options.args = {"/Silent"};
    RunResult silent = RunCellvaro(dir, options);
    ASSERT_EQ(boxed.exit_status, kExitRecalled);
    ASSERT_EQ(silent.exit_status, 0);

    // The file as the second run left it: both runs, each framed.
    const std::vector<json> &trace = silent.trace;
    std::vector<size_t> starts, ends;
    for (size_t i = 0; i < trace.size(); i++) {
        if (trace[i]["event"] == "run_start") starts.push_back(i);
        if (trace[i]["event"] == "run_end") ends.push_back(i);
    }
    ASSERT_EQ(starts.size(), 2u);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(starts[0], 0u);
    EXPECT_EQ(ends[0] + 1, starts[1]);
    EXPECT_EQ(ends[1] + 1, trace.size());
    const json &first = trace[starts[0]], &second = trace[starts[1]];
    EXPECT_EQ(first["machine"], machines + "/recalled.json");
    EXPECT_EQ(second["argv"], json::array({CELLVARO_EXE, "/Silent"}));
    EXPECT_NE(first["pid"], second["pid"]);
    EXPECT_EQ(trace[ends[0]], json({{"event", "run_end"}, {"exit_code", -1}, {"outcome", "recalled"}, {"box_shown", true}}));
    EXPECT_EQ(trace[ends[1]], json({{"event", "run_end"}, {"exit_code", 0}, {"outcome", "not-recalled"}, {"box_shown", false}}));

    const std::string t = Timeline(options.trace_path);
    ExpectLine(t, "end       exit code -1, recalled, a box was shown");
    ExpectLine(t, "end       exit code 0, not-recalled, no box");
    const std::vector<std::string> freed = LinesOf(t, "exit");
    ASSERT_EQ(freed.size(), 4u) << t;
    EXPECT_EQ(freed[0], "exit      freed 3 blocks: 4168 bytes (wiped), 1024 bytes, 1024 bytes");
    EXPECT_EQ(freed[2], "exit      freed 2 blocks: 1024 bytes, 1024 bytes");
    EXPECT_LT(t.find("run 1     pid "), t.find("run 2     pid ")) << t;
}

// A machine that ends the run before any outcome still closes its trace.
TEST(TraceTool, EndLineOfARunWithoutOutcome) {
    CWorkDir dir;
    RunOptions options;
    options.machine_path = dir.NewFile("broken", ".json");
    std::ofstream(options.machine_path) << "{";
    RunResult run = RunCellvaro(dir, options);
    ASSERT_EQ(run.exit_status, 100);
    ASSERT_FALSE(run.trace.empty());
    EXPECT_EQ(run.trace.back(),
              json({{"event", "run_end"}, {"exit_code", 100}, {"outcome", "machine-file-error"}, {"box_shown", false}}));
}

// A trace path that cannot be used is said once; the run and its outcome
// stay what they are.
TEST(TracePath, UnusablePathsAreSaidOnceAndTheRunGoesOn) {
    CWorkDir dir;
    const std::string folder = dir.NewFile("folder", "");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const struct {
        const char *name;
        std::string path;
        const char *says;
    } cases[] = {
        {"a directory", folder, "cannot be opened (Is a directory)"},
        {"a missing folder", folder + "/missing/trace.jsonl", "cannot be opened (No such file or directory)"},
        {"a full device", "/dev/full", "cannot be written (No space left on device)"},
        // Read-only for root too, who may open any ordinary file.
        {"no permission", "/proc/sys/kernel/ostype", "cannot be opened (Permission denied)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RunOptions options;
        options.machine_path = std::string(CELLVARO_SOURCE_DIR) + "/sim/machines/recalled.json";
        options.args = {"/Silent"};
        options.trace_path = c.path;
        RunResult run = RunCellvaro(dir, options);
        EXPECT_EQ(run.exit_status, kExitRecalled);
        EXPECT_EQ(run.err, "cellvaro: trace file " + c.path + ": " + c.says +
                               (std::string(c.says).find("written") != std::string::npos ? "; lines are lost\n"
                                                                                          : "; no trace is written\n"));
    }
}

TEST(TraceTool, SaysWhatItCannotRead) {
    if (std::string(CELLVARO_E2E_PYTHON).empty()) GTEST_SKIP() << "no Python 3";
    CWorkDir dir;
    const std::string binary = dir.NewFile("binary", ".jsonl");
    std::ofstream(binary, std::ios::binary) << "{\"event\":\"sleep\",\"ms\":1}\n\xff\xfe\n";
    const std::string prose = dir.NewFile("prose", ".txt");
    std::ofstream(prose) << "not a trace\n";
    const std::string missing = dir.NewFile("missing", ".jsonl");
    const struct {
        std::string args;
        int status;
        std::string output;
    } cases[] = {
        {"'" + missing + "'", 2, "tools/trace: " + missing + ": No such file or directory\n"},
        {"'" + dir.Path() + "'", 2, "tools/trace: " + dir.Path() + ": Is a directory\n"},
        {"'" + binary + "'", 2, "tools/trace: " + binary + ": line 2 is not UTF-8 text: not a trace\n"},
        {"'" + prose + "'", 2, "tools/trace: " + prose + ": no line is a trace event: not a trace\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        int status;
        EXPECT_EQ(TraceTool(c.args, &status), c.output);
        EXPECT_EQ(status, c.status);
    }
    int status;
    const std::string help = TraceTool("--help", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(help.find("tools/trace TRACE.jsonl"), std::string::npos) << help;
}

// A model name in UTF-8 reads as text.
TEST(TraceTool, ShowsUtf8ModelNamesAsText) {
    if (std::string(CELLVARO_E2E_PYTHON).empty()) GTEST_SKIP() << "no Python 3";
    CWorkDir dir;
    json machine = json::parse(ReadFile(std::string(CELLVARO_SOURCE_DIR) + "/sim/machines/not-recalled.json"));
    machine["misc_driver"]["model"] = "HT-K60é";
    RunResult run = RunMachine(dir, machine, {"/Silent"});
    ExpectLine(Timeline(run.trace_path), "misc      model record (128 bytes) -> \"HT-K60é\"");
}

}  // namespace
}  // namespace e2e
