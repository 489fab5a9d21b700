// Runs the hosted utility as a child process on a simulated notebook and
// collects what it did: exit status, standard output and error, and the
// trace (one JSON object per line).
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "battery_class.h"
#include "byte_order.h"
#include "misc_driver.h"

namespace e2e {

using json = nlohmann::json;

constexpr int kExitRecalled = 255;  // -1 as a process exit status
constexpr int kExitMachineError = 100;

// A private folder for one test: machine files, traces, outputs and the
// simulator's shared state (CELLVARO_SIM_DIR). Removed at the end unless
// the test failed.
class CWorkDir {
public:
    CWorkDir();
    ~CWorkDir();
    CWorkDir(const CWorkDir &) = delete;
    CWorkDir &operator=(const CWorkDir &) = delete;

    const std::string &Path() const { return _path; }
    std::string SimDir() const { return _path + "/sim"; }
    // A fresh file name in the folder: <stem>-<n><suffix>.
    std::string NewFile(const std::string &stem, const std::string &suffix);
    // Writes a machine description and returns its path.
    std::string WriteMachine(const json &machine);
    void Keep() { _keep = true; }

private:
    std::string _path;
    int _counter = 0;
    bool _keep = false;
};

struct RunOptions {
    std::string machine_path;     // CELLVARO_MACHINE; empty: the embedded default
    std::vector<std::string> args;
    bool set_command_line = false;  // CELLVARO_COMMAND_LINE
    std::string command_line;
    std::string sim_dir;            // CELLVARO_SIM_DIR; empty: the work folder's
    std::string trace_path;         // CELLVARO_TRACE; empty: a new file in the work folder
    std::vector<std::string> env;   // more variables, "NAME=value"; they win over the caller's
    std::string cwd;                // the run's working directory; empty: the test's
};

struct RunResult {
    int exit_status = -1;  // 0..255; -1 when the process did not exit normally
    int signal = 0;          // the signal that ended it, if one did
    bool timed_out = false;  // killed by Wait after its timeout
    std::string out;
    std::string err;
    std::vector<std::string> lines;  // the trace as written
    std::vector<json> trace;         // the same, parsed
    std::string trace_path;
};

// A started child; Wait collects it.
struct Child {
    pid_t pid = -1;
    std::string out_path, err_path, trace_path;
};

Child Start(CWorkDir &dir, const RunOptions &options);
// How many times longer a run may take than on its own: 10 when every run
// goes through CELLVARO_E2E_WRAPPER (valgrind), otherwise 1.
int SlowFactor();
// Waits for the child to end (killing it after timeout_ms) and reads its
// outputs. A trace line that is not JSON fails the current test.
RunResult Wait(const Child &child, int timeout_ms = 20000);
RunResult RunCellvaro(CWorkDir &dir, const RunOptions &options);
// Runs the utility on a machine description.
RunResult RunMachine(CWorkDir &dir, const json &machine, std::vector<std::string> args = {});

std::string ReadFile(const std::string &path);
// Polls until the file contains needle; false after timeout_ms.
bool WaitForText(const std::string &path, const std::string &needle, int timeout_ms);

// Trace helpers.
std::vector<json> Events(const RunResult &run, const std::string &event);
// device_io lines of the misc device (built-in or external).
std::vector<json> MiscRequests(const RunResult &run);
std::vector<uint8_t> Bytes(const json &hex);
uint32_t Le32(const std::vector<uint8_t> &b, size_t offset);
uint16_t Le16(const std::vector<uint8_t> &b, size_t offset);

// The misc functions a clear-mode run asked for, in order: "1A", "93",
// "42:<index>", "45:<index>".
std::vector<std::string> ClearMiscFunctions(const RunResult &run);
// The battery class devices a run sent requests to, e.g. {0, 1}.
std::vector<int> BatteryDevicesQueried(const RunResult &run);
int CountSleeps(const RunResult &run, int ms);

// What must hold after every traced run: one exit event with no live
// blocks; every freed block that carried request data or key material
// zeroed (only the two text buffers and the device-interface detail
// records are exempt); when a handshake got a phase-1 reply, the last
// misc request is the session close carrying that reply's session id,
// otherwise no close is sent; at most one message box, with the error
// icon exactly when it shows the driver-access message.
void ExpectCleanRun(const RunResult &run);

}  // namespace e2e

namespace e2e {
// The exit status and the box a run ended with (message_id 0: no box and
// nothing on standard output), then ExpectCleanRun.
void ExpectOutcome(const RunResult &run, int exit_status, int message_id);
}  // namespace e2e
