// Whole runs: the sample notebooks, the command line, the model name, the
// driver version and the driver-access failures, and the two instance
// mutexes, within one process and across real processes.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "cases.h"
#include "expected_texts.h"
#include "process.h"

namespace e2e {
namespace {

const std::string kMachinesDir = std::string(CELLVARO_SOURCE_DIR) + "/sim/machines";
constexpr char kInstanceMutex[] = "Veltrano_Cellvaro_Exclusive_Mutex";
constexpr char kGlobalMutex[] = "Global\\Veltrano_Cellvaro_Exclusive_Global_Mutex";

// ---------------------------------------------------------------------------
// The sample notebooks of sim/machines.

struct SampleCase {
    const char *file;
    int exit_status;
    int message;
    unsigned checks;
};

void PrintTo(const SampleCase &c, std::ostream *os) { *os << c.file; }

const SampleCase kSamples[] = {
    {"recalled.json", kExitRecalled, 117, kHandshake},
    {"not-recalled.json", 0, 115, kHandshake},
    {"no-battery.json", 1, 114, kHandshake},
    {"unsupported-model.json", 2, 111, kHandshake},
    {"old-driver.json", 2, 111, kNoRequests},
    {"already-running.json", 3, 0, kNotOpened},
    {"other-user.json", 3, 112, kNotOpened},
    {"no-driver.json", 4, 113, kNotOpened},
    {"driver-error.json", 4, 113, kNoExtraCheck},
    {"query-error.json", 5, 118, kHandshake},
    {"clear-mode.json", kExitRecalled, 117, kNoExtraCheck},
    {"two-batteries.json", 0, 115, kHandshake},
    {"two-batteries-clear.json", 0, 115, kNoExtraCheck},
    {"external-driver.json", kExitRecalled, 117, kExternal},
};

class SampleMachine : public ::testing::TestWithParam<SampleCase> {};

TEST_P(SampleMachine, EndsWithItsOutcome) {
    const SampleCase &c = GetParam();
    if ((c.checks & kExternal) && !*CELLVARO_E2E_PYTHON) GTEST_SKIP() << "no python3 for the sample driver";
    CWorkDir dir;
    RunOptions options;
    options.machine_path = kMachinesDir + "/" + c.file;
    // From the top of the repository, as the samples are run.
    options.cwd = CELLVARO_SOURCE_DIR;
    RunResult run = RunCellvaro(dir, options);
    ExpectOutcome(run, c.exit_status, c.message);
    ExpectTraceChecks(run, c.checks);

    // The same notebook under /Silent: the same exit status, nothing shown.
    options.args = {"/Silent"};
    RunResult silent = RunCellvaro(dir, options);
    ExpectOutcome(silent, c.exit_status, 0);
}

INSTANTIATE_TEST_SUITE_P(Samples, SampleMachine, ::testing::ValuesIn(kSamples),
                         [](const ::testing::TestParamInfo<SampleCase> &p) {
                             std::string name = p.param.file;
                             name = name.substr(0, name.size() - 5);
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(SampleMachines, EveryFileIsInTheTableAndDescribed) {
    std::set<std::string> listed;
    for (const SampleCase &c : kSamples) listed.insert(c.file);
    DIR *d = opendir(kMachinesDir.c_str());
    ASSERT_NE(d, nullptr);
    int files = 0;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 5 || name.substr(name.size() - 5) != ".json") continue;
        files++;
        EXPECT_TRUE(listed.count(name)) << name << " has no row in kSamples";
        json m = json::parse(ReadFile(kMachinesDir + "/" + name), nullptr, false);
        ASSERT_FALSE(m.is_discarded()) << name;
        ASSERT_TRUE(m.contains("description") && m["description"].is_string()) << name;
        const std::string text = m["description"];
        EXPECT_FALSE(text.empty()) << name;
        EXPECT_EQ(text.find('\n'), std::string::npos) << name;
        const std::string readme = ReadFile(kMachinesDir + "/README.md");
        EXPECT_NE(readme.find("`" + name + "`"), std::string::npos) << name << " missing from README.md";
    }
    closedir(d);
    EXPECT_EQ(files, (int)listed.size());
}

// ---------------------------------------------------------------------------
// The command line: only "/" followed by "Silent" in any letter case, as
// the whole text after the program name and the blanks after it.

struct SilentCase {
    const char *name;
    const char *command_line;
    bool silent;
};

void PrintTo(const SilentCase &c, std::ostream *os) { *os << c.name; }

const SilentCase kSilentCases[] = {
    {"Silent", "cellvaro /Silent", true},
    {"LowerCase", "cellvaro /silent", true},
    {"UpperCase", "cellvaro /SILENT", true},
    {"BlanksBefore", "cellvaro    /Silent", true},
    {"TabBefore", "cellvaro\t/Silent", true},
    {"QuotedProgramName", "\"C:\\Program Files\\Cellvaro\\cellvaro.exe\" /Silent", true},
    {"Dash", "cellvaro -Silent", false},
    {"NoSlash", "cellvaro Silent", false},
    {"SecondArgument", "cellvaro /Silent x", false},
    {"QuotedWithBlank", "cellvaro \"/Silent \"", false},
    {"TrailingBlank", "cellvaro /Silent ", false},
    {"Prefix", "cellvaro /Silen", false},
    {"NoArguments", "cellvaro", false},
};

class SilentOption : public ::testing::TestWithParam<SilentCase> {};

TEST_P(SilentOption, DecidesWhetherTheBoxIsShown) {
    const SilentCase &c = GetParam();
    CWorkDir dir;
    RunOptions options;
    options.machine_path = kMachinesDir + "/recalled.json";
    options.set_command_line = true;
    options.command_line = c.command_line;
    RunResult run = RunCellvaro(dir, options);
    // The recall outcome is -1, which a process exit status shows as 255.
    ExpectOutcome(run, kExitRecalled, c.silent ? 0 : 117);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, SilentOption, ::testing::ValuesIn(kSilentCases),
                         [](const ::testing::TestParamInfo<SilentCase> &p) { return p.param.name; });

TEST(SilentOption, FromTheArgumentsWithoutAGivenCommandLine) {
    CWorkDir dir;
    RunOptions options;
    options.machine_path = kMachinesDir + "/recalled.json";
    options.args = {"/silent"};
    ExpectOutcome(RunCellvaro(dir, options), kExitRecalled, 0);
    options.args = {"/Silent", "x"};
    ExpectOutcome(RunCellvaro(dir, options), kExitRecalled, 117);
}

// ---------------------------------------------------------------------------
// Model name, driver version, driver access and the mutexes named in the
// machine description: one row each over the base notebook.

const MachineCase kMachineCases[] = {
    // The model name as read, normalised with a '-' at index 2.
    {"ModelWithoutDash", R"({"misc_driver": {"model": "HTK60"}})", 0, 115, kHandshake},
    {"ModelLongerThanTableName", R"({"misc_driver": {"model": "HT-K60XYZ"}})", 0, 115},
    {"ModelLongForm", R"({"misc_driver": {"model": "HT-K60ABCDEFGHIJ"}})", 0, 115},
    {"ModelLongFormWithoutDash", R"({"misc_driver": {"model": "HTK60ABCDEFGHIJ"}})", 0, 115},
    {"ModelTwoCharacters", R"({"misc_driver": {"model": "HT"}})", 2, 111},
    {"ModelOneCharacter", R"({"misc_driver": {"model": "H"}})", 2, 111},
    {"ModelEmpty", R"({"misc_driver": {"model": ""}})", 2, 111},
    {"ModelShorterThanTableName", R"({"misc_driver": {"model": "HT-K6"}})", 2, 111},
    {"ModelOutsideTable", R"({"misc_driver": {"model": "HT-Z90"}})", 2, 111},
    {"ModelLowerCase", R"({"misc_driver": {"model": "ht-k60"}})", 2, 111},
    {"ModelReadFails", R"({"misc_driver": {"faults": {"model": {"last_error": 31}}}})", 2, 111, kHandshake},
    {"ModelRecordShort", R"({"misc_driver": {"model": null, "model_record": "00"}})", 2, 111},

    // The version gate: (major, minor, build) at least (1, 0, 8).
    {"Version_1_0_8", R"({"misc_driver": {"driver_version": "1.0.8.0"}})", 0, 115, kHandshake},
    {"Version_1_1_0", R"({"misc_driver": {"driver_version": "1.1.0.0"}})", 0, 115, kHandshake},
    {"Version_2_0_0", R"({"misc_driver": {"driver_version": "2.0.0.0"}})", 0, 115, kHandshake},
    {"Version_1_0_7", R"({"misc_driver": {"driver_version": "1.0.7.0"}})", 2, 111, kNoRequests},
    {"Version_1_0_7_99", R"({"misc_driver": {"driver_version": "1.0.7.99"}})", 2, 111, kNoRequests},
    {"Version_1_0_0", R"({"misc_driver": {"driver_version": "1.0.0.0"}})", 2, 111, kNoRequests},
    {"Version_0_9_9", R"({"misc_driver": {"driver_version": "0.9.9.9"}})", 2, 111, kNoRequests},
    {"Version_1_0", R"({"misc_driver": {"driver_version": "1.0"}})", 2, 111, kNoRequests},
    {"VersionNotANumber", R"({"misc_driver": {"driver_version": "beta"}})", 2, 111, kNoRequests},
    // Read as signed decimal, compared unsigned: -1 is above 1.
    {"VersionNegativeMajor", R"({"misc_driver": {"driver_version": "-1.0.0.0"}})", 0, 115, kHandshake},
    {"VersionBlanksInside", R"({"misc_driver": {"driver_version": "1 .0.9.0"}})", 2, 111, kNoRequests},
    {"VersionUnterminated", R"({"misc_driver": {"driver_version": "1.0.9.0", "driver_version_terminated": false}})",
     0, 115, kHandshake},

    // Driver access: outcome 4, the only box with the error icon.
    {"NoMiscDriver", R"({"misc_driver": null})", 4, 113, kNotOpened},
    {"VersionValueMissing", R"({"misc_driver": {"driver_version": "<null>"}})", 4, 113, kNotOpened},
    {"DeviceInUseElsewhere", R"({"misc_driver": {"in_use_elsewhere": true}})", 4, 113, kNotOpened},
    {"DetailSizeBelowHeader", R"({"misc_driver": {"detail_required_size": 3}})", 4, 113, kNotOpened},
    {"WrongDriverProof", R"({"misc_driver": {"faults": {"wrong_driver_proof": true}}})", 4, 113},
    {"WrongConfirmation", R"({"misc_driver": {"faults": {"wrong_confirmation": true}}})", 4, 113},
    {"Phase1ReplyShort", R"({"misc_driver": {"faults": {"phase1_reply_size": 159}}})", 4, 113},
    {"Phase1Fails", R"({"misc_driver": {"faults": {"phase1": {"last_error": 31}}}})", 4, 113},
    {"Phase2Fails", R"({"misc_driver": {"faults": {"phase2": {"last_error": 31}}}})", 4, 113},
    {"Phase3ReplyShort", R"({"misc_driver": {"faults": {"phase3_reply_size": 7}}})", 4, 113},
    // A probe that fails for another reason than "not supported" does
    // not stop the handshake.
    {"ProbeFailsOtherwise", R"({"misc_driver": {"faults": {"probe": {"result": false, "last_error": 87}}}})",
     0, 115, kHandshake},
    // The session id is the driver's choice; the close carries it back.
    {"SessionIdFromDriver", R"({"misc_driver": {"first_session_id": 305419896}})", 0, 115, kHandshake},
    // The close request's result is ignored.
    {"CloseFails", R"({"misc_driver": {"faults": {"close": {"last_error": 31}}}})", 0, 115, kHandshake},
    {"CapsulesFail", R"({"misc_driver": {"faults": {"capsule": {"last_error": 31}}}})", 2, 111, kHandshake},

    // Mutexes that another copy holds.
    {"InstanceMutexHeld", R"({"existing_mutexes": [{"name": "Veltrano_Cellvaro_Exclusive_Mutex"}]})", 3, 0,
     kNotOpened},
    {"InstanceMutexHeldSilent", R"({"existing_mutexes": [{"name": "Veltrano_Cellvaro_Exclusive_Mutex"}]})", 3,
     0, kNotOpened, {"/Silent"}},
    {"InstanceMutexHeldInOtherSession",
     R"({"existing_mutexes": [{"name": "Veltrano_Cellvaro_Exclusive_Mutex", "session": 2}]})", 0, 115,
     kHandshake},
    {"GlobalMutexHeldInOtherSession",
     R"({"existing_mutexes": [{"name": "Global\\Veltrano_Cellvaro_Exclusive_Global_Mutex", "session": 2}]})",
     3, 112, kNotOpened},
    {"GlobalMutexHeldInThisSession",
     R"({"existing_mutexes": [{"name": "Global\\Veltrano_Cellvaro_Exclusive_Global_Mutex"}]})", 3, 112,
     kNotOpened},
    {"GlobalMutexHeldSilent",
     R"({"existing_mutexes": [{"name": "Global\\Veltrano_Cellvaro_Exclusive_Global_Mutex", "session": 2}]})",
     3, 0, kNotOpened, {"/Silent"}},
    {"BothMutexesHeld",
     R"({"existing_mutexes": [{"name": "Veltrano_Cellvaro_Exclusive_Mutex"},
                              {"name": "Global\\Veltrano_Cellvaro_Exclusive_Global_Mutex"}]})",
     3, 0, kNotOpened},
};

class MachineRun : public ::testing::TestWithParam<MachineCase> {};

TEST_P(MachineRun, EndsWithItsOutcome) {
    const MachineCase &c = GetParam();
    CWorkDir dir;
    RunResult run = RunMachine(dir, Patched(c.patch), c.args);
    ExpectOutcome(run, c.exit_status, c.message);
    ExpectTraceChecks(run, c.checks);
}

INSTANTIATE_TEST_SUITE_P(Machines, MachineRun, ::testing::ValuesIn(kMachineCases), CaseName);

// A second copy in the same session with no window of the first: it looks
// for the window, finds none, and never creates the global mutex.
TEST(InstanceMutex, HeldWithoutAWindowEndsQuietly) {
    CWorkDir dir;
    RunResult run = RunMachine(dir, Patched(R"({"existing_mutexes": [{"name": "Veltrano_Cellvaro_Exclusive_Mutex"}]})"));
    ExpectOutcome(run, 3, 0);
    std::vector<json> mutexes = Events(run, "mutex_create");
    ASSERT_EQ(mutexes.size(), 1u);
    EXPECT_EQ(mutexes[0]["name"], kInstanceMutex);
    EXPECT_EQ(mutexes[0]["already_exists"], true);
    std::vector<json> find = Events(run, "find_window");
    ASSERT_EQ(find.size(), 1u);
    EXPECT_EQ(find[0]["window_name"], kCaption);
    EXPECT_EQ(find[0]["found"], 0);
    EXPECT_TRUE(Events(run, "set_foreground_window").empty());
}

// The version text against its 256-character buffer: a value that does
// not fit fails the registry read (outcome 4); one that fills the buffer
// without a terminator is still read as a version.
TEST(VersionText, AgainstTheSizeOfItsBuffer) {
    CWorkDir dir;
    json machine = BaseMachine();
    machine["misc_driver"]["driver_version"] = "1.0.9." + std::string(300, '0');
    ExpectOutcome(RunMachine(dir, machine), 4, 113);

    machine["misc_driver"]["driver_version"] = "1.0.9." + std::string(250, '0');
    machine["misc_driver"]["driver_version_terminated"] = false;
    RunResult run = RunMachine(dir, machine);
    ExpectOutcome(run, 0, 115);
    ExpectTraceChecks(run, kHandshake);

    machine["misc_driver"]["driver_version"] = "1.0.7." + std::string(250, '9');
    run = RunMachine(dir, machine);
    ExpectOutcome(run, 2, 111);
    ExpectTraceChecks(run, kNoRequests);
}

// ---------------------------------------------------------------------------
// A failing heap allocation at each place that allocates, found by its
// role in a run of the base notebook: the outcome of the step, and every
// block freed (ExpectCleanRun).

struct AllocationCase {
    const char *name;
    const char *after_call;  // the allocation after this SetupAPI call...
    int size;                // ...or the allocation of this size (0: any)
    int occurrence;          // counted from 1
    int exit_status;
    int message;
};

void PrintTo(const AllocationCase &c, std::ostream *os) { *os << c.name; }

const AllocationCase kAllocationCases[] = {
    // The error text, made before the entry runs: its texts are skipped.
    {"ErrorText", nullptr, 0, 1, 0, 115},
    {"MiscInterfaceDetail", "SetupDiGetDeviceInterfaceDetailW", 0, 1, 4, 113},
    {"VersionText", "SetupDiOpenDevRegKey", 0, 1, 4, 113},
    {"HandshakeWorkBuffer", nullptr, 264, 1, 4, 113},
    {"BlowfishContext", nullptr, 4168, 1, 4, 113},
    {"SupportPacketCopy", nullptr, 9, 1, 2, 111},
    {"SupportRequestRecord", nullptr, 32, 1, 2, 111},
    {"SupportRequestCapsule", nullptr, 48, 1, 2, 111},
    {"SupportReplyCapsule", nullptr, 32, 2, 2, 111},
    {"DatePacketCopy", nullptr, 14, 1, 5, 118},
    {"PartNumberReplyCapsule", nullptr, 40, 1, 5, 118},
    {"BatteryInterfaceDetail", "SetupDiGetDeviceInterfaceDetailW", 0, 2, 5, 118},
};

// The allocation's number in the process (1 for the first), or 0.
int AllocationNumber(const RunResult &reference, const AllocationCase &c) {
    int number = 0, seen = 0;
    bool armed = false;
    int calls = 0;
    for (const json &j : reference.trace) {
        if (c.after_call && j["event"] == "setupapi" && j["call"] == c.after_call &&
            (std::string(c.after_call) != "SetupDiGetDeviceInterfaceDetailW" || j["size"] == 0))
            armed = ++calls == c.occurrence;
        if (j["event"] != "heap_alloc") continue;
        number++;
        if (c.after_call) {
            if (armed) return number;
        } else if (c.size == 0 || j["size"] == c.size) {
            if (++seen == c.occurrence) return number;
        }
    }
    return 0;
}

class AllocationFailure : public ::testing::TestWithParam<AllocationCase> {};

TEST_P(AllocationFailure, EndsWithTheOutcomeOfItsStep) {
    const AllocationCase &c = GetParam();
    CWorkDir dir;
    // One reference run serves every row.
    static const RunResult reference = [] {
        CWorkDir reference_dir;
        return RunMachine(reference_dir, BaseMachine());
    }();
    ASSERT_EQ(reference.exit_status, 0);
    const int number = AllocationNumber(reference, c);
    ASSERT_GT(number, 0) << "no such allocation in the reference run";

    json machine = BaseMachine();
    machine["heap"] = {{"fail_allocation", number}};
    RunResult run = RunMachine(dir, machine);
    std::vector<json> failed = Events(run, "heap_alloc_failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["number"], number);
    ExpectOutcome(run, c.exit_status, c.message);
}

INSTANTIATE_TEST_SUITE_P(Heap, AllocationFailure, ::testing::ValuesIn(kAllocationCases),
                         [](const ::testing::TestParamInfo<AllocationCase> &p) { return p.param.name; });

// ---------------------------------------------------------------------------
// Both mutexes across real processes: a first copy keeps its box open
// while a second copy starts in the same session and a third in another.

TEST(InstanceMutex, SecondCopiesWhileTheFirstShowsItsBox) {
    CWorkDir dir;
    json first_machine = json::parse(ReadFile(kMachinesDir + "/clear-mode.json"));
    first_machine["message_box"] = {{"hold_ms", 1500 * SlowFactor()}};
    RunOptions first_options;
    first_options.machine_path = dir.WriteMachine(first_machine);
    Child first = Start(dir, first_options);
    // The box is drawn on standard output once its window exists.
    ASSERT_TRUE(WaitForText(first.out_path, "[ OK ]", 10000 * SlowFactor())) << "the first copy shows no box";

    // Same session: no box, exit 3, and the first copy's box comes forward.
    RunOptions same_session;
    same_session.machine_path = dir.WriteMachine(BaseMachine());
    RunResult second = RunCellvaro(dir, same_session);
    ExpectOutcome(second, 3, 0);
    ExpectTraceChecks(second, kNotOpened);
    std::vector<json> found = Events(second, "find_window");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]["found"], first.pid);
    std::vector<json> front = Events(second, "set_foreground_window");
    ASSERT_EQ(front.size(), 1u);
    EXPECT_EQ(front[0]["result"], true);

    // Another Windows session: the global mutex is held, message 112.
    json other = BaseMachine();
    other["session"] = 2;
    RunOptions other_session;
    other_session.machine_path = dir.WriteMachine(other);
    RunResult third = RunCellvaro(dir, other_session);
    ExpectOutcome(third, 3, 112);
    ExpectTraceChecks(third, kNotOpened);
    std::vector<json> mutexes = Events(third, "mutex_create");
    ASSERT_EQ(mutexes.size(), 2u);
    EXPECT_EQ(mutexes[0]["already_exists"], false);
    EXPECT_EQ(mutexes[1]["name"], kGlobalMutex);
    EXPECT_EQ(mutexes[1]["already_exists"], true);

    RunResult first_run = Wait(first);
    ExpectOutcome(first_run, kExitRecalled, 117);
    std::vector<json> closed = Events(first_run, "message_box_closed");
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0]["brought_to_front"], true);

    // Once the first copy has ended, both names are free again.
    RunResult after = RunCellvaro(dir, same_session);
    ExpectOutcome(after, 0, 115);
    for (const json &m : Events(after, "mutex_create")) EXPECT_EQ(m["already_exists"], false);
}

}  // namespace
}  // namespace e2e
