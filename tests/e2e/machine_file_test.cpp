// The machine description itself: files that cannot be used end the run
// before the program starts (the cases that the schema's test shares are
// in fixtures/machine_cases.json), and a description with a fixed clock
// and a fixed driver exponent repeats a whole run byte for byte.
#include <gtest/gtest.h>

#include <fstream>

#include "process.h"

namespace e2e {
namespace {

const std::string kFixtures = std::string(CELLVARO_SOURCE_DIR) + "/tests/e2e/fixtures";
constexpr size_t kMaxMachineFileBytes = 1u << 20;  // as the simulator's limit

struct MachineCase {
    std::string name;
    std::string text;   // the file's bytes
    std::string error;  // what the error line must hold (refused cases)
};

void PrintTo(const MachineCase &c, std::ostream *os) { *os << c.name; }

// One list of fixtures/machine_cases.json, shared with the schema's test.
std::vector<MachineCase> LoadCases(const char *list) {
    std::ifstream in(kFixtures + "/machine_cases.json");
    const json table = json::parse(in, nullptr, false);
    std::vector<MachineCase> cases;
    if (table.is_discarded() || !table.contains(list)) {
        ADD_FAILURE() << "fixtures/machine_cases.json has no list " << list;
        return cases;
    }
    for (const json &c : table[list]) {
        MachineCase m;
        m.name = c["name"].get<std::string>();
        m.text = c.contains("text") ? c["text"].get<std::string>() : c["machine"].dump();
        if (c.contains("error")) m.error = c["error"].get<std::string>();
        cases.push_back(m);
    }
    return cases;
}

std::string CaseName(const ::testing::TestParamInfo<MachineCase> &p) { return p.param.name; }

// The program itself never ran: the trace holds its frame and exit
// processing only.
void ExpectProgramNeverRan(const RunResult &run) {
    for (const json &j : run.trace) {
        const std::string e = j["event"];
        EXPECT_TRUE(e == "run_start" || e == "exit" || e == "run_end") << j.dump();
    }
}

// The run ended before the program started, with one line that names the
// file and holds error.
void ExpectRefused(const RunResult &run, const std::string &path, const std::string &error) {
    EXPECT_EQ(run.exit_status, kExitMachineError);
    EXPECT_EQ(run.out, "");
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not one line: " << run.err;
    EXPECT_EQ(run.err.rfind("cellvaro: machine file " + path + ": ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(error), std::string::npos) << run.err;
    ExpectProgramNeverRan(run);
}

RunResult RunOnText(CWorkDir &dir, const std::string &text, std::string *path) {
    RunOptions options;
    options.machine_path = dir.NewFile("machine", ".json");
    options.args = {"/Silent"};
    std::ofstream(options.machine_path, std::ios::binary) << text;
    *path = options.machine_path;
    return RunCellvaro(dir, options);
}

class RefusedMachineFile : public ::testing::TestWithParam<MachineCase> {};

TEST_P(RefusedMachineFile, EndsTheRunWithOneLineNamingFileAndField) {
    CWorkDir dir;
    std::string path;
    RunResult run = RunOnText(dir, GetParam().text, &path);
    ExpectRefused(run, path, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Files, RefusedMachineFile, ::testing::ValuesIn(LoadCases("refused")), CaseName);

class AcceptedMachineFile : public ::testing::TestWithParam<MachineCase> {};

TEST_P(AcceptedMachineFile, RunsTheProgram) {
    CWorkDir dir;
    std::string path;
    RunResult run = RunOnText(dir, GetParam().text, &path);
    EXPECT_NE(run.exit_status, kExitMachineError) << run.err;
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(Files, AcceptedMachineFile, ::testing::ValuesIn(LoadCases("accepted")), CaseName);

// Files that cannot be read as a machine description at all.
struct UnreadableCase {
    const char *name;
    // The path to name in CELLVARO_MACHINE, laid out in the work folder.
    std::string (*layout)(CWorkDir &dir);
    const char *error;
};

void PrintTo(const UnreadableCase &c, std::ostream *os) { *os << c.name; }

// A file of n bytes that holds an empty description.
std::string PaddedMachine(CWorkDir &dir, size_t n) {
    std::string path = dir.NewFile("large", ".json");
    std::string text = "{}";
    text.resize(n, ' ');
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

const UnreadableCase kUnreadable[] = {
    {"Missing", [](CWorkDir &dir) { return dir.Path() + "/missing.json"; },
     "cannot be read (No such file or directory)"},
    {"Folder", [](CWorkDir &dir) { return dir.Path(); }, "is a folder, not a file"},
    {"OneByteTooLarge", [](CWorkDir &dir) { return PaddedMachine(dir, kMaxMachineFileBytes + 1); },
     "is larger than 1048576 bytes, the most a machine file may hold"},
    // Endless: the read stops one byte past the limit.
    {"DevZero", [](CWorkDir &) { return std::string("/dev/zero"); }, "is larger than 1048576 bytes"},
};

class UnreadableMachineFile : public ::testing::TestWithParam<UnreadableCase> {};

TEST_P(UnreadableMachineFile, EndsTheRunWithItsOwnMessage) {
    CWorkDir dir;
    RunOptions options;
    options.machine_path = GetParam().layout(dir);
    RunResult run = RunCellvaro(dir, options);
    ExpectRefused(run, options.machine_path, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Files, UnreadableMachineFile, ::testing::ValuesIn(kUnreadable),
                         [](const ::testing::TestParamInfo<UnreadableCase> &p) { return p.param.name; });

TEST(MachineFileSize, AFileThatFillsTheLimitExactlyIsRead) {
    CWorkDir dir;
    RunOptions options;
    options.machine_path = PaddedMachine(dir, kMaxMachineFileBytes);
    options.args = {"/Silent"};
    RunResult run = RunCellvaro(dir, options);
    EXPECT_NE(run.exit_status, kExitMachineError) << run.err;
    EXPECT_EQ(run.err, "");
}

// CELLVARO_MACHINE set but empty (a variable that did not expand) is an
// error, not the embedded default.
TEST(MachineVariable, SetButEmptyEndsTheRunWithOneLine) {
    CWorkDir dir;
    RunOptions options;
    options.env = {"CELLVARO_MACHINE="};
    RunResult run = RunCellvaro(dir, options);

    EXPECT_EQ(run.exit_status, kExitMachineError);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not one line: " << run.err;
    EXPECT_EQ(run.err.rfind("cellvaro: CELLVARO_MACHINE is set but empty", 0), 0u) << run.err;
    ExpectProgramNeverRan(run);
}

// With a fixed clock (the client's random seed) and a fixed driver
// exponent (the driver's randomness), the probe and the three handshake
// phases go over the wire exactly as recorded in
// fixtures/handshake.jsonl. The fixture was taken from a run of this code:
//   export CELLVARO_MACHINE=tests/e2e/fixtures/reproducible.json CELLVARO_TRACE=t.jsonl
//   build/hosted/cellvaro /Silent
//   grep '"code":2236416,' t.jsonl > tests/e2e/fixtures/handshake.jsonl
TEST(ReproducibleRun, HandshakeMatchesTheRecordedBytes) {
    const std::string fixtures = std::string(CELLVARO_SOURCE_DIR) + "/tests/e2e/fixtures";
    CWorkDir dir;
    RunOptions options;
    options.machine_path = fixtures + "/reproducible.json";
    options.args = {"/Silent"};
    RunResult a = RunCellvaro(dir, options);
    RunResult b = RunCellvaro(dir, options);
    ExpectOutcome(a, kExitRecalled, 0);

    auto session_lines = [](const RunResult &run) {
        std::vector<std::string> out;
        for (const std::string &line : run.lines)
            if (line.find("\"event\":\"device_io\"") != std::string::npos &&
                line.find("\"code\":2236416,") != std::string::npos)
                out.push_back(line);
        return out;
    };
    std::vector<std::string> recorded;
    {
        std::ifstream in(fixtures + "/handshake.jsonl");
        std::string line;
        while (std::getline(in, line)) recorded.push_back(line);
    }
    ASSERT_EQ(recorded.size(), 4u) << "fixture: the probe and three phases";
    EXPECT_EQ(session_lines(a), recorded);
    EXPECT_EQ(session_lines(b), recorded);
    // The rest of the run repeats too, the enciphered capsules included;
    // only the start line's process id differs.
    ASSERT_FALSE(a.lines.empty());
    ASSERT_FALSE(b.lines.empty());
    EXPECT_NE(a.lines[0], b.lines[0]);
    EXPECT_EQ(std::vector<std::string>(a.lines.begin() + 1, a.lines.end()),
              std::vector<std::string>(b.lines.begin() + 1, b.lines.end()));
}

}  // namespace
}  // namespace e2e
