// tools/trace on the traces of real runs: the timeline names the requests
// as the driver saw them.
#include <gtest/gtest.h>
#include <stdio.h>

#include "process.h"

namespace e2e {
namespace {

// The tool's output for a trace file.
std::string Timeline(const std::string &trace) {
    std::string command = std::string("'") + CELLVARO_E2E_PYTHON + "' '" + CELLVARO_SOURCE_DIR +
                          "/tools/trace' '" + trace + "' 2>&1";
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << out;
    return out;
}

void ExpectLine(const std::string &timeline, const std::string &line) {
    EXPECT_NE(timeline.find(line + "\n"), std::string::npos) << "missing: " << line << "\nin:\n" << timeline;
}

TEST(TraceTool, PrintsTheTimelineOfARun) {
    if (std::string(CELLVARO_E2E_PYTHON).empty()) GTEST_SKIP() << "no Python 3";
    const std::string machines = std::string(CELLVARO_SOURCE_DIR) + "/sim/machines";
    CWorkDir dir;

    // With sessions: the phases carry the session id, the close drops it.
    RunOptions secure;
    secure.machine_path = machines + "/recalled.json";
    RunResult run = RunCellvaro(dir, secure);
    ASSERT_EQ(run.exit_status, kExitRecalled);
    std::string t = Timeline(run.trace_path);
    ExpectLine(t, "mutex     Veltrano_Cellvaro_Exclusive_Mutex created");
    ExpectLine(t, "misc      probe -> sessions supported");
    ExpectLine(t, "misc      handshake Ini1 -> session 0x51d00001 (160 bytes)");
    ExpectLine(t, "misc      handshake Ini3 session 0x51d00001 -> 8 bytes");
    ExpectLine(t, "misc      model record (128 bytes) -> \"HT-K60A\"");
    ExpectLine(t, "box       \"Cellvaro\": お客様がお持ちのバッテリーパックは、リコール社告対象製品です。 [style 0]");
    ExpectLine(t, "misc      session close 0x51d00001 -> ok");
    ExpectLine(t, "exit      freed 4168 bytes (wiped), 1024 bytes, 1024 bytes");
    ExpectLine(t, "exit      live blocks: none");

    // In clear: each capsule's message id, misc function and reply.
    RunOptions clear;
    clear.machine_path = machines + "/two-batteries-clear.json";
    run = RunCellvaro(dir, clear);
    ASSERT_EQ(run.exit_status, 0);
    t = Timeline(run.trace_path);
    ExpectLine(t, "misc      probe -> fails, ERROR_NOT_SUPPORTED (50): no sessions, capsules in clear");
    ExpectLine(t, "misc      capsule #0 0x1A support code -> status 0 (ok), code 3");
    ExpectLine(t, "misc      capsule #1 0x93 slot word -> status 0 (ok), slot word 0x0005");
    ExpectLine(t, "misc      capsule #4 0x42 manufacture date battery 1 -> status 0 (ok), made 2013-07-15");
    ExpectLine(t, "misc      capsule #5 0x45 part number battery 1 -> status 0 (ok), \"HT-QBLP23\"");
    ExpectLine(t, "battery1  information -> designed 92160 mWh");
    EXPECT_EQ(t.find("session close"), std::string::npos);

    // A busy reply and its pause.
    json busy = json::parse(ReadFile(machines + "/two-batteries-clear.json"));
    busy["misc_driver"]["batteries"][0]["date_status"] = {4, 0};
    run = RunMachine(dir, busy);
    t = Timeline(run.trace_path);
    ExpectLine(t, "misc      capsule #2 0x42 manufacture date battery 0 -> status 4 (busy)");
    ExpectLine(t, "sleep     100 ms");
}

}  // namespace
}  // namespace e2e
