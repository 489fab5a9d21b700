// Table rows of whole runs: a change to a base notebook, the outcome it
// must end with, and what the trace must show besides.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"

namespace e2e {

// What a row checks in the trace beyond the outcome.
enum TraceCheck : unsigned {
    kNoExtraCheck = 0,
    kHandshake = 1u << 0,   // Ini1, Ini2 and Ini3 went to the driver and succeeded
    kNoRequests = 1u << 1,  // the misc device was opened, but no request reached it
    kNotOpened = 1u << 2,   // the misc device was never opened
    kExternal = 1u << 3,    // an external driver served the clear-mode requests, each in a whole reply
};

struct MachineCase {
    const char *name;
    const char *patch;  // JSON merge patch (RFC 7386) over the base notebook
    int exit_status;
    int message;  // message ID of the box; 0: none
    unsigned checks;
    std::vector<std::string> args;
};

inline void PrintTo(const MachineCase &c, std::ostream *os) { *os << c.name; }

// The notebook the rows change: an HT-K60 with session driver 1.0.9 and
// one pack outside the recalled lots (message 115, exit 0).
inline json BaseMachine() {
    return json::parse(R"({
      "description": "HT-K60, session driver 1.0.9, one clear pack",
      "misc_driver": {
        "driver_version": "1.0.9.0",
        "model": "HT-K60",
        "batteries": [{"part_number": "HT-QBLP21", "date": "2013-06-01"}]
      },
      "battery_class": [{"design_capacity": 46080}]
    })");
}

// A null in a merge patch deletes the field; the text "<null>" stands for
// a null that the machine description keeps.
inline void KeepNulls(json &j) {
    if (j.is_string() && j == "<null>") j = nullptr;
    if (j.is_structured())
        for (json &child : j) KeepNulls(child);
}

inline json Patched(const char *patch) {
    json m = BaseMachine();
    m.merge_patch(json::parse(patch));
    KeepNulls(m);
    return m;
}

inline std::string CaseName(const ::testing::TestParamInfo<MachineCase> &info) {
    return info.param.name;
}

// The handshake phase requests ("Ini1" ...) that succeeded.
inline int PhasesSent(const RunResult &run) {
    int n = 0;
    for (const json &j : MiscRequests(run)) {
        const std::string in = j["in"];
        if (j["code"] == IOCTL_MISC_SESSION && j["result"] == true &&
            (in.rfind("496e6931", 0) == 0 || in.rfind("496e6932", 0) == 0 || in.rfind("496e6933", 0) == 0))
            n++;
    }
    return n;
}

inline bool MiscDeviceOpened(const RunResult &run) {
    for (const json &j : Events(run, "create_file"))
        if (j["path"].get<std::string>().find("80dcc0c5") != std::string::npos && !j["handle"].is_null())
            return true;
    return false;
}

inline void ExpectTraceChecks(const RunResult &run, unsigned checks) {
    if (checks & kHandshake) {
        EXPECT_EQ(PhasesSent(run), 3) << "the handshake did not run";
    }
    if (checks & kNoRequests) {
        EXPECT_TRUE(MiscDeviceOpened(run));
        EXPECT_TRUE(MiscRequests(run).empty()) << MiscRequests(run).front().dump();
    }
    if (checks & kNotOpened) {
        EXPECT_FALSE(MiscDeviceOpened(run));
    }
    if (checks & kExternal) {
        std::vector<json> misc = MiscRequests(run);
        ASSERT_FALSE(misc.empty());
        for (const json &j : misc) {
            EXPECT_EQ(j["device"], "misc(external)");
            EXPECT_NE(j["last_error"], 31) << "a broken reply frame: " << j.dump();
        }
        EXPECT_EQ(ClearMiscFunctions(run), (std::vector<std::string>{"1A", "93", "42:0", "45:0"}));
    }
}

}  // namespace e2e
