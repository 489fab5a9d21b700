// The machine description itself: files that cannot be used end the run
// before the program starts, and a description with a fixed clock and a
// fixed driver exponent repeats a whole run byte for byte.
#include <gtest/gtest.h>

#include <fstream>

#include "process.h"

namespace e2e {
namespace {

struct BrokenCase {
    const char *name;
    const char *text;   // nullptr: the path does not exist
    const char *field;  // what the error line must name
};

void PrintTo(const BrokenCase &c, std::ostream *os) { *os << c.name; }

const BrokenCase kBroken[] = {
    {"UnknownField", R"({"misc_driver": {"modle": "HT-K60"}})", "field misc_driver.modle: unknown field"},
    {"UnknownTopField", R"({"sesion": 2})", "sesion: unknown field"},
    {"WrongType", R"({"session": "two"})", "field session: must be a non-negative integer"},
    {"WrongTypeInList", R"({"battery_class": [{"design_capacity": "46080"}]})",
     "field battery_class[0].design_capacity:"},
    {"NegativeNumber", R"({"misc_driver": {"slot_word": -1}})", "field misc_driver.slot_word:"},
    {"BadDate", R"({"misc_driver": {"batteries": [{"part_number": "HT-QBLP21", "date": "2012-13-01"}]}})",
     "field misc_driver.batteries[0].date:"},
    {"DateNotIso", R"({"misc_driver": {"batteries": [{"part_number": "HT-QBLP21", "date": "09.02.2012"}]}})",
     "field misc_driver.batteries[0].date: must be \"YYYY-MM-DD\""},
    {"RequiredFieldMissing", R"({"misc_driver": {"batteries": [{"part_number": "HT-QBLP21"}]}})",
     "field misc_driver.batteries[0].date: is required"},
    {"PartNumberTooLong", R"({"misc_driver": {"batteries": [{"part_number": "HT-QBLP21-LONGER", "date": 0}]}})",
     "field misc_driver.batteries[0].part_number:"},
    {"ReplySizeNotANumber", R"({"battery_class": [{"design_capacity": 46080, "information_reply_size": "40"}]})",
     "field battery_class[0].information_reply_size: must be a non-negative integer"},
    {"NotJson", R"({"misc_driver": )", "not valid JSON"},
    {"Unreadable", nullptr, "cannot be read"},
};

class BrokenMachineFile : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenMachineFile, EndsTheRunWithOneLineNamingFileAndField) {
    const BrokenCase &c = GetParam();
    CWorkDir dir;
    RunOptions options;
    options.machine_path = dir.NewFile("broken", ".json");
    if (c.text) std::ofstream(options.machine_path) << c.text;
    RunResult run = RunCellvaro(dir, options);

    EXPECT_EQ(run.exit_status, kExitMachineError);
    EXPECT_EQ(run.out, "");
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not one line: " << run.err;
    EXPECT_EQ(run.err.rfind("cellvaro: machine file " + options.machine_path, 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.field), std::string::npos) << run.err;
    // The program itself never ran: the trace holds its frame and exit
    // processing only.
    for (const json &j : run.trace) {
        const std::string e = j["event"];
        EXPECT_TRUE(e == "run_start" || e == "exit" || e == "run_end") << j.dump();
    }
}

INSTANTIATE_TEST_SUITE_P(Files, BrokenMachineFile, ::testing::ValuesIn(kBroken),
                         [](const ::testing::TestParamInfo<BrokenCase> &p) { return p.param.name; });

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
