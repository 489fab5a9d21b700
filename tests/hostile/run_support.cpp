#include "run_support.h"

namespace hostile {

namespace {

constexpr uint32_t kWorkBufferSize = 264;
constexpr uint32_t kContextSize = 4168;

}  // namespace

bool IsOutcome(int status) {
    return (status >= 0 && status <= 5) || status == 255;
}

std::vector<json> RunResult::Events(const std::string &event) const {
    std::vector<json> out;
    for (const json &e : trace)
        if (e.value("event", "") == event) out.push_back(e);
    return out;
}

long RunResult::LiveBlocks() const {
    for (const json &e : trace)
        if (e.value("event", "") == "exit") return (long)e["live_blocks"].size();
    return -1;
}

int RunResult::UnwipedKeyFrees() const {
    int n = 0;
    for (const json &e : Events("heap_free")) {
        const uint64_t size = e.value("size", 0u);
        if ((size == kWorkBufferSize || size == kContextSize) && !e.value("all_zero", false)) n++;
    }
    return n;
}

std::string RunResult::Describe() const {
    std::string s = exited ? "exit status " + std::to_string(status)
                           : signal ? "killed by signal " + std::to_string(signal) : "timed out";
    if (!err.empty()) s += "; standard error:\n" + err.substr(0, 4000);
    return s;
}

RunResult CSandbox::Run(const json &machine, int timeout_seconds) {
    e2e::RunOptions options;
    options.machine_path = _dir.WriteMachine(machine);
    options.args = {"/Silent"};
    // A sanitizer that stops the run must not look like an outcome.
    options.env = {"ASAN_OPTIONS=exitcode=99:detect_leaks=1",
                   "UBSAN_OPTIONS=halt_on_error=1:exitcode=99:print_stacktrace=1"};
    const e2e::RunResult run = e2e::Wait(e2e::Start(_dir, options), timeout_seconds * 1000);
    RunResult r;
    r.exited = run.exit_status >= 0;
    r.status = run.exit_status;
    r.signal = run.signal;
    r.err = run.err;
    r.trace = run.trace;
    return r;
}

}  // namespace hostile
