// The external driver port: the misc device served by a separate driver
// program (clear_driver.cpp) over pipes. A driver that ends or answers
// with a broken frame makes that call and every later one fail with
// ERROR_GEN_FAILURE, and the run ends with the outcome of the step that
// failed.
#include <gtest/gtest.h>

#include "cases.h"
#include "process.h"

namespace e2e {
namespace {

constexpr int kErrorGenFailure = 31;
constexpr int kErrorNotSupported = 50;

struct ExternalCase {
    const char *name;
    const char *driver_args;
    int slot_word;
    int exit_status;
    int message;
    int requests;       // misc requests the run makes
    int first_failing;  // from this request on (counted from 1) every one fails with 31; 0: none
};

void PrintTo(const ExternalCase &c, std::ostream *os) { *os << c.name; }

const ExternalCase kCases[] = {
    {"RecalledPack", "--pack HT-QBLP21@2012-02-09", 1, kExitRecalled, 117, 6, 0},
    {"ClearPack", "--pack HT-QBLP21@2013-06-01", 1, 0, 115, 6, 0},
    {"SecondPackRecalled", "--pack HT-QBLP21@2013-06-01 --pack HT-QBLP23@2012-11-29 --slot-word 5", 5,
     kExitRecalled, 117, 8, 0},
    {"NoPack", "", 1, 1, 114, 5, 0},
    {"ModelOutsideTable", "--model HT-Z90 --pack HT-QBLP21@2012-02-09", 1, 2, 111, 2, 0},
    // Gone at the probe: the probe's error is not "not supported", so the
    // handshake begins, and its first phase fails as well.
    {"ExitsAtProbe", "--pack HT-QBLP21@2012-02-09 --exit-at 1", 1, 4, 113, 2, 1},
    // Gone after the model request: the support code query fails.
    {"ExitsAfterModel", "--pack HT-QBLP21@2012-02-09 --exit-at 3", 1, 2, 111, 3, 3},
    {"ExitsAtDate", "--pack HT-QBLP21@2012-02-09 --exit-at 5", 1, 5, 118, 5, 5},
    {"ShortFrameAtProbe", "--pack HT-QBLP21@2012-02-09 --short-at 1", 1, 4, 113, 2, 1},
    {"ShortFrameAtModel", "--pack HT-QBLP21@2012-02-09 --short-at 2", 1, 2, 111, 2, 2},
    {"ShortFrameAtPartNumber", "--pack HT-QBLP21@2012-02-09 --short-at 6", 1, 5, 118, 6, 6},
    // A size field below 8: the driver lives on, but the handle is broken.
    {"UndersizedFrameAtSupportCode", "--pack HT-QBLP21@2012-02-09 --bad-size-at 3", 1, 2, 111, 3, 3},
    {"UndersizedFrameAtProbe", "--pack HT-QBLP21@2012-02-09 --bad-size-at 1", 1, 4, 113, 2, 1},
};

class ExternalDriver : public ::testing::TestWithParam<ExternalCase> {};

TEST_P(ExternalDriver, ServesTheClearModeRun) {
    const ExternalCase &c = GetParam();
    json machine = BaseMachine();
    machine["misc_driver"] = {
        {"driver_version", "1.0.9.0"},
        {"slot_word", c.slot_word},
        {"external", std::string("'") + CELLVARO_E2E_DRIVER + "' " + c.driver_args},
    };
    machine["battery_class"] = json::parse(R"([{"design_capacity": 46080}, {"design_capacity": 92160}])");
    CWorkDir dir;
    RunResult run = RunMachine(dir, machine);
    // The driver's refusals would show on the inherited standard error.
    ExpectOutcome(run, c.exit_status, c.message);

    std::vector<json> misc = MiscRequests(run);
    ASSERT_EQ((int)misc.size(), c.requests);
    for (size_t i = 0; i < misc.size(); i++) {
        const json &j = misc[i];
        EXPECT_EQ(j["device"], "misc(external)");
        const bool failing = c.first_failing && (int)i + 1 >= c.first_failing;
        if (failing) {
            EXPECT_EQ(j["result"], false) << j.dump();
            EXPECT_EQ(j["last_error"], kErrorGenFailure) << j.dump();
            EXPECT_EQ(j["bytes"], 0) << j.dump();
        } else if (i == 0) {
            // The probe: this driver supports no sessions.
            EXPECT_EQ(j["code"], IOCTL_MISC_SESSION);
            EXPECT_EQ(j["last_error"], kErrorNotSupported) << j.dump();
        } else {
            EXPECT_EQ(j["result"], true) << j.dump();
        }
    }
    if (!c.first_failing && c.requests > 2) {
        EXPECT_EQ(misc[1]["code"], IOCTL_MISC_GET_MODEL_NUMBER);
        EXPECT_EQ(misc[1]["bytes"], 128);
        std::vector<std::string> expected = {"1A", "93"};
        for (int k = 0; k < (c.slot_word == 5 ? 2 : 1); k++) {
            expected.push_back("42:" + std::to_string(k));
            if (c.requests > 5) expected.push_back("45:" + std::to_string(k));
        }
        EXPECT_EQ(ClearMiscFunctions(run), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Port, ExternalDriver, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ExternalCase> &p) { return p.param.name; });

}  // namespace
}  // namespace e2e
