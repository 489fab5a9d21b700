// Whole runs of the hosted utility for the hostile tests: /Silent on a
// machine description, in a private folder, started and collected by the
// end-to-end tests' child-process runner (tests/e2e/process.h).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "process.h"

namespace hostile {

using json = nlohmann::json;

// Exit statuses of the utility's outcomes (-1 shows as 255).
bool IsOutcome(int status);

// Exit status a sanitizer gives a run it stopped (set in the child's
// ASAN_OPTIONS and UBSAN_OPTIONS); not an outcome.
constexpr int kSanitizerExit = 99;

struct RunResult {
    bool exited = false;  // false: killed by a signal or by the timeout
    int status = -1;      // exit status when exited
    int signal = 0;
    std::string err;      // standard error of the utility and of its driver
    std::vector<json> trace;

    // The events of one kind, in order.
    std::vector<json> Events(const std::string &event) const;
    // Blocks still allocated after the static destructors; -1 without an
    // exit line.
    long LiveBlocks() const;
    // Frees of key material (the 264-byte work buffer, the 4168-byte
    // Blowfish context) whose block was not all zero.
    int UnwipedKeyFrees() const;
    std::string Describe() const;
};

// A private folder: machine files, traces and the simulator's state; kept
// when the test failed.
class CSandbox {
public:
    const std::string &Path() const { return _dir.Path(); }
    // Runs the utility with /Silent on the machine, with a trace.
    RunResult Run(const json &machine, int timeout_seconds = 60);

private:
    e2e::CWorkDir _dir;
};

}  // namespace hostile
