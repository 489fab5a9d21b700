#include "process.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "expected_texts.h"

extern char **environ;

namespace e2e {

namespace {

constexpr int kPollMs = 5;

void SleepMs(int ms) {
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

// The variables a run gets: none of the caller's CELLVARO_* settings, only
// what the run options ask for, plus PATH and the sanitizers' settings.
std::vector<std::string> ChildEnvironment(const CWorkDir &dir, const RunOptions &options,
                                          const std::string &trace) {
    std::vector<std::string> env;
    for (const char *keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        const std::string prefix = std::string(keep) + "=";
        bool overridden = false;
        for (const std::string &e : options.env) overridden |= e.compare(0, prefix.size(), prefix) == 0;
        if (const char *v = getenv(keep); v && !overridden) env.push_back(prefix + v);
    }
    if (!options.machine_path.empty()) env.push_back("CELLVARO_MACHINE=" + options.machine_path);
    env.push_back("CELLVARO_TRACE=" + trace);
    env.push_back("CELLVARO_SIM_DIR=" + (options.sim_dir.empty() ? dir.SimDir() : options.sim_dir));
    if (options.set_command_line) env.push_back("CELLVARO_COMMAND_LINE=" + options.command_line);
    env.insert(env.end(), options.env.begin(), options.env.end());
    return env;
}

}  // namespace

CWorkDir::CWorkDir() {
    char pattern[] = "/tmp/cellvaro-e2e-XXXXXX";
    const char *made = mkdtemp(pattern);
    if (!made) {
        ADD_FAILURE() << "mkdtemp failed";
        return;
    }
    _path = made;
    mkdir(SimDir().c_str(), 0700);
}

CWorkDir::~CWorkDir() {
    if (_path.empty()) return;
    if (_keep || ::testing::Test::HasFailure()) {
        std::cerr << "e2e: files of the failed test kept in " << _path << "\n";
        return;
    }
    nftw(_path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string CWorkDir::NewFile(const std::string &stem, const std::string &suffix) {
    return _path + "/" + stem + "-" + std::to_string(++_counter) + suffix;
}

std::string CWorkDir::WriteMachine(const json &machine) {
    std::string path = NewFile("machine", ".json");
    std::ofstream(path, std::ios::binary) << machine.dump(2) << "\n";
    return path;
}

int SlowFactor() {
    const char *wrapper = getenv("CELLVARO_E2E_WRAPPER");
    return wrapper && *wrapper ? 10 : 1;
}

Child Start(CWorkDir &dir, const RunOptions &options) {
    Child c;
    c.out_path = dir.NewFile("stdout", ".txt");
    c.err_path = dir.NewFile("stderr", ".txt");
    c.trace_path = options.trace_path.empty() ? dir.NewFile("trace", ".jsonl") : options.trace_path;

    std::vector<std::string> env = ChildEnvironment(dir, options, c.trace_path);
    std::vector<char *> envp;
    for (std::string &e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    // CELLVARO_E2E_WRAPPER runs every utility under a tool, for example
    // "valgrind -q --error-exitcode=99 --leak-check=full".
    std::string exe = CELLVARO_EXE;
    std::vector<std::string> args;
    if (const char *wrapper = getenv("CELLVARO_E2E_WRAPPER")) {
        std::istringstream words(wrapper);
        for (std::string w; words >> w;) args.push_back(w);
    }
    const std::string program = args.empty() ? exe : args[0];
    args.push_back(exe);
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, c.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, c.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) ADD_FAILURE() << "cannot start " << program << ": error " << rc;
    else c.pid = pid;
    return c;
}

RunResult Wait(const Child &child, int timeout_ms) {
    RunResult r;
    if (child.pid <= 0) return r;
    int status = 0;
    timeout_ms *= SlowFactor();
    for (int waited = 0;; waited += kPollMs) {
        pid_t done = waitpid(child.pid, &status, WNOHANG);
        if (done == child.pid) break;
        if (waited >= timeout_ms) {
            ADD_FAILURE() << "the run did not end within " << timeout_ms << " ms; killed";
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            r.timed_out = true;
            break;
        }
        SleepMs(kPollMs);
    }
    if (WIFEXITED(status)) r.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status) && !r.timed_out) r.signal = WTERMSIG(status);
    r.out = ReadFile(child.out_path);
    r.err = ReadFile(child.err_path);
    r.trace_path = child.trace_path;
    // A trace path that names no ordinary file with contents (a test of
    // unusable paths: a folder, a device, a file of /proc) has nothing to
    // read back.
    struct stat st;
    const bool readable =
        stat(child.trace_path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    std::istringstream lines(readable ? ReadFile(child.trace_path) : std::string());
    std::string line;
    while (std::getline(lines, line)) {
        r.lines.push_back(line);
        json j = json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object() || !j.contains("event"))
            ADD_FAILURE() << "trace line is not an event object: " << line;
        else r.trace.push_back(j);
    }
    return r;
}

RunResult RunCellvaro(CWorkDir &dir, const RunOptions &options) { return Wait(Start(dir, options)); }

RunResult RunMachine(CWorkDir &dir, const json &machine, std::vector<std::string> args) {
    RunOptions options;
    options.machine_path = dir.WriteMachine(machine);
    options.args = std::move(args);
    return RunCellvaro(dir, options);
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WaitForText(const std::string &path, const std::string &needle, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += kPollMs) {
        if (ReadFile(path).find(needle) != std::string::npos) return true;
        SleepMs(kPollMs);
    }
    return false;
}

std::vector<json> Events(const RunResult &run, const std::string &event) {
    std::vector<json> out;
    for (const json &j : run.trace)
        if (j["event"] == event) out.push_back(j);
    return out;
}

std::vector<json> MiscRequests(const RunResult &run) {
    std::vector<json> out;
    for (const json &j : run.trace)
        if (j["event"] == "device_io" && j.value("device", "").rfind("misc", 0) == 0) out.push_back(j);
    return out;
}

std::vector<uint8_t> Bytes(const json &hex) {
    std::vector<uint8_t> out;
    const std::string s = hex.is_string() ? hex.get<std::string>() : "";
    for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back((uint8_t)std::stoul(s.substr(i, 2), nullptr, 16));
    return out;
}

uint32_t Le32(const std::vector<uint8_t> &b, size_t offset) {
    return offset + 4 > b.size() ? 0 : ReadLe32(&b[offset]);
}

uint16_t Le16(const std::vector<uint8_t> &b, size_t offset) {
    return offset + 2 > b.size() ? 0 : ReadLe16(&b[offset]);
}

std::vector<std::string> ClearMiscFunctions(const RunResult &run) {
    // The capsule header, then the request record with the packet in it.
    constexpr size_t kPacket = MISC_CAPSULE_HEADER_SIZE + MISC_RECORD_IN_BUFFER;
    std::vector<std::string> out;
    for (const json &j : MiscRequests(run)) {
        if (j["code"] != IOCTL_MISC_CAPSULE) continue;
        std::vector<uint8_t> in = Bytes(j["in"]);
        if (in.size() < kPacket + MISC_PACKET_HEADER_SIZE) {
            out.push_back("?");
            continue;
        }
        char name[16];
        const uint8_t function = in[kPacket + MISC_PACKET_FUNCTION];
        if (function == MISC_QUERY_BATTERY_DATE.function || function == MISC_QUERY_PART_NUMBER.function)
            snprintf(name, sizeof name, "%02X:%u", function, Le16(in, kPacket + MISC_BATTERY_INDEX_OFFSET));
        else snprintf(name, sizeof name, "%02X", function);
        out.push_back(name);
    }
    return out;
}

std::vector<int> BatteryDevicesQueried(const RunResult &run) {
    std::set<int> seen;
    for (const json &j : Events(run, "device_io")) {
        const std::string d = j.value("device", "");
        if (d.rfind("battery", 0) == 0) seen.insert(std::stoi(d.substr(7)));
    }
    return std::vector<int>(seen.begin(), seen.end());
}

int CountSleeps(const RunResult &run, int ms) {
    int n = 0;
    for (const json &j : Events(run, "sleep"))
        if (j["ms"] == ms) n++;
    return n;
}

void ExpectCleanRun(const RunResult &run) {
    ASSERT_FALSE(run.trace.empty()) << "no trace";

    // The run's end line comes last, right after exit processing's report
    // of what is left allocated: nothing.
    ASSERT_GE(run.trace.size(), 2u);
    const json &end = run.trace.back();
    EXPECT_EQ(end["event"], "run_end") << run.lines.back();
    if (run.exit_status >= 0) {
        EXPECT_EQ(end["exit_code"].is_number() ? (end["exit_code"].get<int>() & 0xFF) : -1, run.exit_status)
            << run.lines.back();
    }
    const json &last = run.trace[run.trace.size() - 2];
    EXPECT_EQ(last["event"], "exit") << run.lines[run.lines.size() - 2];
    EXPECT_EQ(Events(run, "exit").size(), 1u);
    EXPECT_TRUE(last.contains("live_blocks") && last["live_blocks"].empty()) << run.lines[run.lines.size() - 2];

    // Blocks that never carry request data or keys: the error text (made
    // during static initialisation, before the first mutex), the version
    // text (after the registry key is opened) and the device-interface
    // detail records (after the size query).
    std::set<uint64_t> exempt;
    bool before_mutex = true;
    bool next_is_exempt = false;
    for (const json &j : run.trace) {
        const std::string e = j["event"];
        if (e == "mutex_create") before_mutex = false;
        if (e == "heap_alloc") {
            if (before_mutex || next_is_exempt) exempt.insert(j["block"].get<uint64_t>());
            next_is_exempt = false;
        }
        if (e == "setupapi" && (j["call"] == "SetupDiOpenDevRegKey" ||
                                (j["call"] == "SetupDiGetDeviceInterfaceDetailW" && j["size"] == 0)))
            next_is_exempt = true;
    }
    bool context_seen = false;
    for (const json &j : Events(run, "heap_free")) {
        if (j["size"] == 4168) context_seen = true;
        if (exempt.count(j["block"].get<uint64_t>())) continue;
        EXPECT_TRUE(j["all_zero"].get<bool>()) << "freed without wiping: " << j.dump();
    }
    for (const json &j : Events(run, "heap_alloc"))
        if (j["size"] == 4168) {
            EXPECT_TRUE(context_seen) << "the 4168-byte context was not freed";
        }

    // The session close: after a full phase-1 reply, and only then, the
    // last misc request drops that session.
    std::vector<json> misc = MiscRequests(run);
    std::string session_id;
    int closes = 0;
    for (const json &j : misc) {
        const std::string in = j["in"];
        if (j["code"] == IOCTL_MISC_SESSION && in.rfind("496e6931", 0) == 0 && j["result"] == true &&
            j["bytes"] == 160)
            session_id = j["out"].get<std::string>().substr(0, 8);
        if (j["code"] == IOCTL_MISC_SESSION_CLOSE) closes++;
    }
    if (session_id.empty()) {
        EXPECT_EQ(closes, 0) << "a session close without a session";
    } else {
        EXPECT_EQ(closes, 1);
        ASSERT_FALSE(misc.empty());
        EXPECT_EQ(misc.back()["code"], IOCTL_MISC_SESSION_CLOSE) << misc.back().dump();
        EXPECT_EQ(misc.back()["in"], session_id);
    }

    // Every handle is closed once; the global mutex before the instance
    // mutex; the misc device only at exit, after both.
    std::map<uint64_t, int> open;
    for (const json &j : run.trace) {
        const std::string e = j["event"];
        if ((e == "mutex_create" || e == "create_file") && j.contains("handle") && !j["handle"].is_null())
            open[j["handle"].get<uint64_t>()]++;
        if (e == "setupapi" && j["call"] == "SetupDiGetClassDevsW" && j["result"] == true)
            open[j["set"].get<uint64_t>()]++;
        if (e == "setupapi" && j["call"] == "SetupDiOpenDevRegKey" && j["result"] == true)
            open[j["key"].get<uint64_t>()]++;
        if (e == "close_handle" && j["result"] == true) open[j["handle"].get<uint64_t>()]--;
        if (e == "setupapi" && j["call"] == "SetupDiDestroyDeviceInfoList" && j["result"] == true)
            open[j["set"].get<uint64_t>()]--;
        if (e == "registry" && j["call"] == "RegCloseKey") open[j["key"].get<uint64_t>()]--;
    }
    for (const auto &h : open) EXPECT_EQ(h.second, 0) << "handle " << h.first << " opened and closed unevenly";
    int instance_closed = -1, global_closed = -1, misc_closed = -1;
    for (size_t i = 0; i < run.trace.size(); i++) {
        const json &j = run.trace[i];
        if (j["event"] != "close_handle" || j["result"] != true) continue;
        if (j["kind"] == "mutex" && j["name"] == "Veltrano_Cellvaro_Exclusive_Mutex") instance_closed = (int)i;
        if (j["kind"] == "mutex" && j["name"] == "Global\\Veltrano_Cellvaro_Exclusive_Global_Mutex")
            global_closed = (int)i;
        if (j["kind"] == "misc_device") misc_closed = (int)i;
    }
    if (global_closed >= 0) {
        EXPECT_LT(global_closed, instance_closed) << "the global mutex is closed first";
    }
    if (misc_closed >= 0) {
        EXPECT_GT(misc_closed, instance_closed) << "the driver is closed at exit";
    }

    // The box is shown while both mutexes are still held.
    for (size_t i = 0; i < run.trace.size(); i++) {
        if (run.trace[i]["event"] != "message_box") continue;
        if (instance_closed >= 0) {
            EXPECT_LT((int)i, instance_closed) << "box shown after the instance mutex was closed";
        }
        if (global_closed >= 0) {
            EXPECT_LT((int)i, global_closed) << "box shown after the global mutex was closed";
        }
    }
    EXPECT_TRUE(Events(run, "exception").empty()) << Events(run, "exception").front().dump();

    // One box at most, of a known message, with that message's style.
    std::vector<json> boxes = Events(run, "message_box");
    EXPECT_LE(boxes.size(), 1u);
    for (const json &b : boxes) {
        EXPECT_EQ(b["caption"], kCaption);
        int id = 0;
        for (int candidate = 111; candidate <= 118; candidate++)
            if (MessageText(candidate) && b["text"] == MessageText(candidate)) id = candidate;
        ASSERT_NE(id, 0) << b.dump();
        EXPECT_EQ(b["style"], MessageStyle(id)) << b.dump();
    }
}

}  // namespace e2e

namespace e2e {

void ExpectOutcome(const RunResult &run, int exit_status, int message_id) {
    EXPECT_EQ(run.exit_status, exit_status) << run.err;
    EXPECT_EQ(run.err, "");
    std::vector<json> boxes = Events(run, "message_box");
    if (message_id == 0) {
        EXPECT_TRUE(boxes.empty()) << boxes.front().dump();
        EXPECT_EQ(run.out, "");
    } else {
        ASSERT_EQ(boxes.size(), 1u) << "no message box";
        ASSERT_NE(MessageText(message_id), nullptr) << message_id;
        EXPECT_EQ(boxes[0]["text"].get<std::string>(), MessageText(message_id))
            << "expected message " << message_id;
        EXPECT_EQ(boxes[0]["style"], MessageStyle(message_id));
        // The terminal box: the icon's glyph, if any, before the first line.
        const std::string text = MessageText(message_id);
        const std::string first_line = "| " + std::string(IconGlyph(MessageStyle(message_id))) +
                                       text.substr(0, text.find('\n')) + "\n";
        EXPECT_NE(run.out.find(first_line), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("[ OK ]"), std::string::npos);
    }
    ExpectCleanRun(run);
}

}  // namespace e2e
