// Many whole runs of the utility against the hostile external driver
// (hostile_driver.cpp), each on a notebook drawn from its seed: whatever
// the driver and the battery class answer, the run ends with one of the
// outcomes, leaves no heap block behind and frees no unwiped key
// material. In the sanitizer build a read or write outside a buffer, a
// leak or undefined behaviour stops the run with status 99, which is no
// outcome.
//
// CELLVARO_HOSTILE_SEED (default 20261210) and CELLVARO_HOSTILE_RUNS
// (default 300) choose the seeds: base to base + runs - 1, in three
// parts that CTest can run side by side.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "run_support.h"

#ifndef CELLVARO_HOSTILE_DRIVER
#error "CELLVARO_HOSTILE_DRIVER must name the hostile driver"
#endif

namespace hostile {
namespace {

uint64_t EnvNumber(const char *name, uint64_t fallback) {
    const char *v = getenv(name);
    return v && *v ? strtoull(v, nullptr, 0) : fallback;
}

// The notebook around the driver: its version, the battery class
// interfaces (values, relative capacity, tag 0, failures, absent ones)
// and now and then a failing allocation.
json MachineFor(uint64_t seed) {
    std::mt19937_64 rng(seed ^ 0x5EEDBA77E41ull);
    auto below = [&](uint32_t n) { return (uint32_t)(rng() % n); };
    const char *kVersions[] = {"1.0.9.0", "1.0.9.0", "1.0.9.0", "1.0.8.0", "2.0.0.0",
                               "1.0.9.0", "1.0.9.0", "1.0.9.0", "1.1.0.0", "1.0.7.0"};
    json m;
    m["description"] = "hostile driver, seed " + std::to_string(seed);
    m["clock"] = {{"system_time", "2026-12-10T05:00:00.000Z"}, {"performance_counter", seed}};
    m["misc_driver"] = {{"driver_version", kVersions[below(10)]},
                        {"external", std::string("exec env -u CELLVARO_TRACE -u CELLVARO_MACHINE '") +
                                         CELLVARO_HOSTILE_DRIVER + "' " + std::to_string(seed)}};
    json batteries = json::array();
    const uint32_t kCapacities[] = {46080, 92160, 23040, 0, 0xFFFFFFFFu};
    for (uint32_t i = 0, n = below(4); i < n; i++) {
        json b = {{"design_capacity", kCapacities[below(5)]}};
        if (below(8) == 0) b["relative"] = true;
        if (below(8) == 0) b["tag"] = 0;
        if (below(10) == 0) b["present"] = false;
        if (below(12) == 0) b["fail_open"] = {{"last_error", 31}};
        if (below(12) == 0) b["fail_tag"] = {{"last_error", 31}};
        if (below(12) == 0) b["fail_information"] = {{"last_error", 31}};
        batteries.push_back(b);
    }
    m["battery_class"] = batteries;
    if (below(10) == 0) m["heap"] = {{"fail_allocation", 1 + below(40)}};
    return m;
}

constexpr uint64_t kParts = 3;

// One of the parts the seeds are split into, counted from 0.
struct SeedPart {
    uint64_t index;
};

void PrintTo(const SeedPart &p, std::ostream *os) {
    *os << "seed part " << p.index + 1 << " of " << kParts;
}

std::vector<SeedPart> SeedParts() {
    std::vector<SeedPart> parts;
    for (uint64_t i = 0; i < kParts; i++) parts.push_back({i});
    return parts;
}

class HostileDriver : public ::testing::TestWithParam<SeedPart> {};

TEST_P(HostileDriver, EveryRunEndsWithAnOutcome) {
    const uint64_t base = EnvNumber("CELLVARO_HOSTILE_SEED", 20261210);
    const uint64_t runs = EnvNumber("CELLVARO_HOSTILE_RUNS", 300);
    const uint64_t part = GetParam().index;
    const uint64_t first = base + runs * part / kParts;
    const uint64_t end = base + runs * (part + 1) / kParts;
    if (first == end) GTEST_SKIP() << "no seeds in this part";
    printf("hostile driver: seeds %llu to %llu\n", (unsigned long long)first,
           (unsigned long long)(end - 1));
    CSandbox box;
    std::map<int, int> outcomes;
    int failures = 0;
    for (uint64_t seed = first; seed < end && failures < 5; seed++) {
        const RunResult run = box.Run(MachineFor(seed));
        const bool ok = run.exited && IsOutcome(run.status) && run.LiveBlocks() == 0 &&
                        run.UnwipedKeyFrees() == 0 && run.err.find("Sanitizer") == std::string::npos &&
                        run.err.find("runtime error") == std::string::npos;
        if (run.exited) outcomes[run.status]++;
        if (!ok) {
            failures++;
            ADD_FAILURE() << "seed " << seed << ": " << run.Describe() << "\nlive blocks "
                          << run.LiveBlocks() << ", unwiped key frees " << run.UnwipedKeyFrees()
                          << "\nrepeat with CELLVARO_HOSTILE_SEED=" << seed
                          << " CELLVARO_HOSTILE_RUNS=1";
        }
    }
    printf("hostile driver: outcomes");
    for (const auto &o : outcomes) printf("  %d: %d", o.first, o.second);
    printf("\n");
}

INSTANTIATE_TEST_SUITE_P(Seeds, HostileDriver, ::testing::ValuesIn(SeedParts()),
                         [](const ::testing::TestParamInfo<SeedPart> &p) {
                             return "Part" + std::to_string(p.param.index + 1) + "Of" +
                                    std::to_string(kParts);
                         });

}  // namespace
}  // namespace hostile
