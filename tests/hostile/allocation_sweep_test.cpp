// Every heap allocation of a full secure run fails in turn, one run per
// allocation, until a run no longer reaches that many allocations. Each
// run must end with the outcome that belongs to the failing allocation's
// place, leave no block behind and free no unwiped key material.
//
// The place of the failing allocation is read from the run's own trace:
// what the run did before it (static initialisation, opening the driver,
// the handshake, a misc request and which one, a capacity query).
#include <gtest/gtest.h>

#include <map>

#include "run_support.h"

namespace hostile {
namespace {

constexpr int kNotRecalled = 0, kUnsupported = 2, kDriverError = 4, kQueryError = 5;
constexpr uint32_t kIoctlModelNumber = 0x222940;
constexpr uint32_t kIoctlCapsule = 0x222008;
const char kBatteryClass[] = "{72631E54-78A4-11D0-BCF7-00AA00B7B32A}";
const char kMiscClass[] = "{80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}";

// A session driver and two packs, neither from a recalled lot.
json SweepMachine() {
    return json::parse(R"({
      "description": "session driver, two clear packs",
      "clock": {"system_time": "2026-12-10T05:00:00.000Z", "performance_counter": 1234567},
      "misc_driver": {
        "driver_version": "1.0.9.0", "model": "HT-K60A", "sessions": true,
        "private_exponent": "0123456789abcdef01234567", "slot_word": 5,
        "batteries": [{"part_number": "HT-QBLP21", "date": "2013-06-01"},
                      {"part_number": "HT-QBLP23", "date": "2015-03-01"}]},
      "battery_class": [{"design_capacity": 46080}, {"design_capacity": 92160}]
    })");
}

struct Site {
    std::string name;
    int outcome;
};

// Where the run stood when the allocation failed, and what that failure
// must lead to.
Site Classify(const RunResult &run) {
    enum { kStatic, kOpening, kHandshake, kQueries, kCapacity } stage = kStatic;
    uint64_t packet = 0;  // the size of the misc packet being sent, 0: none yet
    bool versionKey = false;  // the driver's registry key is open
    for (const json &e : run.trace) {
        const std::string event = e.value("event", "");
        const std::string call = e.value("call", "");
        if (event == "heap_alloc_failed") {
            const uint64_t size = e.value("size", 0u);
            switch (stage) {
            case kStatic: return {"error text at static initialisation", kNotRecalled};
            case kOpening:
                return {versionKey ? "driver version text" : "device interface detail buffer",
                        kDriverError};
            case kHandshake:
                if (size == 264) return {"handshake work buffer", kDriverError};
                if (size == 4168) return {"Blowfish context", kDriverError};
                return {"unknown handshake block of " + std::to_string(size), -1};
            case kCapacity: return {"capacity detail record", kQueryError};
            case kQueries: {
                if (packet == 0) packet = size;  // the working copy itself
                const std::string what = " (" + std::to_string(packet) + "-byte packet)";
                if (packet == 9) return {"support code request" + what, kUnsupported};
                if (packet == 10) return {"slot word request" + what, kUnsupported};
                if (packet == 14) return {"manufacture date request" + what, kQueryError};
                if (packet == 22) return {"part number request" + what, kQueryError};
                return {"unknown request block" + what, -1};
            }
            }
        }
        if (event == "setupapi" && call == "SetupDiGetClassDevsW") {
            if (e.value("class", "") == kMiscClass) stage = kOpening;
            if (e.value("class", "") == kBatteryClass) stage = kCapacity;
        } else if (event == "setupapi" && call == "SetupDiOpenDevRegKey") {
            versionKey = true;
        } else if (event == "setupapi" && call == "SetupDiDestroyDeviceInfoList" &&
                   stage == kCapacity) {
            stage = kQueries;
            packet = 0;
        } else if (event == "create_file" && stage == kOpening) {
            stage = kHandshake;
        } else if (event == "device_io" && e.value("code", 0u) == kIoctlModelNumber) {
            stage = kQueries;
            packet = 0;
        } else if (event == "device_io" && e.value("code", 0u) == kIoctlCapsule) {
            packet = 0;
        } else if (event == "heap_alloc" && stage == kQueries && packet == 0) {
            packet = e.value("size", 0u);
        }
    }
    return {"no allocation failed", -1};
}

TEST(AllocationSweep, EveryAllocationOfASecureRunWithTwoPacksFailsInTurn) {
    CSandbox box;
    json machine = SweepMachine();
    const RunResult baseline = box.Run(machine);
    ASSERT_TRUE(baseline.exited && baseline.status == kNotRecalled) << baseline.Describe();
    EXPECT_EQ(baseline.LiveBlocks(), 0);
    EXPECT_EQ(baseline.UnwipedKeyFrees(), 0);
    const size_t allocations = baseline.Events("heap_alloc").size();

    std::map<std::string, std::vector<int>> sites;
    int n = 1;
    for (;; n++) {
        machine["heap"]["fail_allocation"] = n;
        const RunResult run = box.Run(machine);
        ASSERT_TRUE(run.exited) << "allocation " << n << ": " << run.Describe();
        if (run.Events("heap_alloc_failed").empty()) break;
        const Site site = Classify(run);
        sites[site.name].push_back(n);
        EXPECT_NE(site.outcome, -1) << "allocation " << n << ": " << site.name;
        EXPECT_EQ(run.status, site.outcome) << "allocation " << n << ": " << site.name;
        EXPECT_EQ(run.LiveBlocks(), 0) << "allocation " << n << ": " << site.name;
        EXPECT_EQ(run.UnwipedKeyFrees(), 0) << "allocation " << n << ": " << site.name;
    }
    // Every allocation of the full run was made to fail once.
    EXPECT_EQ((size_t)(n - 1), allocations);
    printf("allocation sweep: %d runs (%zu allocations in a full run)\n", n - 1, allocations);
    for (const auto &s : sites) {
        printf("  %-50s allocations", s.first.c_str());
        for (int k : s.second) printf(" %d", k);
        printf("\n");
    }
    // The places the run allocates at were all reached.
    for (const char *expected :
         {"error text at static initialisation", "device interface detail buffer",
          "driver version text", "handshake work buffer", "Blowfish context",
          "capacity detail record"})
        EXPECT_EQ(sites.count(expected), 1u) << expected;
}

}  // namespace
}  // namespace hostile
