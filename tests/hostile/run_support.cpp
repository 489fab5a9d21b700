#include "run_support.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef CELLVARO_EXE
#error "CELLVARO_EXE must name the utility"
#endif

namespace hostile {

namespace {

constexpr uint32_t kWorkBufferSize = 264;
constexpr uint32_t kContextSize = 4168;

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

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

CSandbox::CSandbox() {
    char pattern[] = "/tmp/cellvaro-hostile-XXXXXX";
    const char *made = mkdtemp(pattern);
    _path = made ? made : "/tmp";
    std::filesystem::create_directories(_path + "/sim");
}

CSandbox::~CSandbox() {
    std::error_code ignored;
    if (_path != "/tmp") std::filesystem::remove_all(_path, ignored);
}

RunResult CSandbox::Run(const json &machine, int timeout_seconds) {
    const std::string stem = _path + "/run" + std::to_string(++_runs);
    const std::string machinePath = stem + ".json", tracePath = stem + ".trace",
                      errPath = stem + ".err";
    {
        std::ofstream out(machinePath);
        out << machine.dump(2);
    }
    RunResult r;
    pid_t pid = fork();
    if (pid == 0) {
        setenv("CELLVARO_MACHINE", machinePath.c_str(), 1);
        setenv("CELLVARO_TRACE", tracePath.c_str(), 1);
        setenv("CELLVARO_SIM_DIR", (_path + "/sim").c_str(), 1);
        unsetenv("CELLVARO_COMMAND_LINE");
        // A sanitizer that stops the run must not look like an outcome.
        setenv("ASAN_OPTIONS", "exitcode=99:detect_leaks=1", 1);
        setenv("UBSAN_OPTIONS", "halt_on_error=1:exitcode=99:print_stacktrace=1", 1);
        int devnull = open("/dev/null", O_RDWR);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(err, 2);
        execl(CELLVARO_EXE, CELLVARO_EXE, "/Silent", (char *)nullptr);
        _exit(127);
    }
    if (pid < 0) return r;
    int status = 0;
    bool done = false;
    for (long waited = 0; waited < timeout_seconds * 1000L; waited += 2) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            done = true;
            break;
        }
        struct timespec ts = {0, 2 * 1000000L};
        nanosleep(&ts, nullptr);
    }
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        r.exited = true;
        r.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.signal = WTERMSIG(status);
    }
    r.err = ReadFile(errPath);
    std::istringstream lines(ReadFile(tracePath));
    for (std::string line; std::getline(lines, line);) {
        json e = json::parse(line, nullptr, false);
        if (!e.is_discarded()) r.trace.push_back(e);
    }
    return r;
}

}  // namespace hostile
