// Whole runs in a host environment that fails the simulator: a state
// folder that cannot be used (machine files that cannot be read are in
// machine_file_test.cpp).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "cases.h"
#include "process.h"

namespace e2e {
namespace {

const std::string kMachinesDir = std::string(CELLVARO_SOURCE_DIR) + "/sim/machines";
constexpr int kErrorPathNotFound = 3;
constexpr int kErrorAccessDenied = 5;

struct BrokenSimDirCase {
    const char *name;
    // Lays out the broken folder; returns CELLVARO_SIM_DIR, or "" when it
    // cannot be made here.
    std::string (*layout)(const std::string &work);
    int last_error;
};
void PrintTo(const BrokenSimDirCase &c, std::ostream *os) { *os << c.name; }

const BrokenSimDirCase kBrokenSimDirs[] = {
    {"Missing", [](const std::string &work) { return work + "/missing/sim"; }, kErrorPathNotFound},
    {"AFile",
     [](const std::string &work) {
         std::ofstream(work + "/sim-file") << "x";
         return work + "/sim-file";
     },
     kErrorPathNotFound},
    {"OfAnotherUser",
     [](const std::string &work) {
         const std::string path = work + "/sim-other";
         mkdir(path.c_str(), 0700);
         return chown(path.c_str(), 65534, 65534) == 0 ? path : std::string();
     },
     kErrorAccessDenied},
};

class BrokenSimDir : public ::testing::TestWithParam<BrokenSimDirCase> {};

// Without a usable folder no copy can know whether another one runs: the
// instance mutex is not created, and each copy ends as a second copy
// does, with exit code 3 and no box, saying why on standard error.
TEST_P(BrokenSimDir, EveryCopyEndsWithThree) {
    const BrokenSimDirCase &c = GetParam();
    CWorkDir dir;
    const std::string simDir = c.layout(dir.Path());
    if (simDir.empty()) GTEST_SKIP() << "a folder cannot be given to another user here";

    // A first copy that would hold its box open, then a second copy.
    json holding = json::parse(ReadFile(kMachinesDir + "/clear-mode.json"));
    holding["message_box"] = {{"hold_ms", 3000 * SlowFactor()}};
    RunOptions first_options;
    first_options.machine_path = dir.WriteMachine(holding);
    first_options.sim_dir = simDir;
    Child first = Start(dir, first_options);
    RunOptions second_options;
    second_options.machine_path = dir.WriteMachine(BaseMachine());
    second_options.sim_dir = simDir;
    RunResult second = RunCellvaro(dir, second_options);
    RunResult first_run = Wait(first);

    for (const RunResult *run : {&first_run, &second}) {
        SCOPED_TRACE(run == &second ? "second copy" : "first copy");
        EXPECT_EQ(run->exit_status, 3) << run->err;
        EXPECT_EQ(run->out, "");
        EXPECT_TRUE(Events(*run, "message_box").empty());
        EXPECT_EQ(run->err.rfind("cellvaro: simulator folder " + simDir, 0), 0u) << run->err;
        EXPECT_EQ(run->err.find('\n'), run->err.size() - 1) << "not one line: " << run->err;
        std::vector<json> mutexes = Events(*run, "mutex_create");
        ASSERT_EQ(mutexes.size(), 1u);
        EXPECT_TRUE(mutexes[0]["handle"].is_null()) << mutexes[0];
        EXPECT_EQ(mutexes[0]["last_error"], c.last_error);
        EXPECT_FALSE(MiscDeviceOpened(*run));
        EXPECT_TRUE(Events(*run, "set_foreground_window").empty());
        ExpectCleanRun(*run);
    }
}

INSTANTIATE_TEST_SUITE_P(Folders, BrokenSimDir, ::testing::ValuesIn(kBrokenSimDirs),
                         [](const ::testing::TestParamInfo<BrokenSimDirCase> &p) { return p.param.name; });

}  // namespace
}  // namespace e2e
