// The simulated notebook: what the hosted platform layer plays for the
// program. Read from a JSON machine description (see README.md beside
// this file) or taken from the embedded default.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "battery_device.h"
#include "misc_device.h"

namespace sim {

struct ClockConfig {
    bool fixed_time = false;
    uint16_t year = 0, month = 0, day_of_week = 0, day = 0, hour = 0, minute = 0, second = 0,
             milliseconds = 0;
    bool fixed_counter = false;
    int64_t counter = 0;
};


struct ExistingMutex {
    std::string name;
    uint32_t session = 1;
};

// How long the platform waits for each reply of an external driver, by
// default and at most (an hour).
constexpr uint32_t kDefaultExternalReplyTimeoutMs = 5000;
constexpr uint32_t kMaxExternalReplyTimeoutMs = 3600000;

struct MiscDriverHost {
    bool present = false;
    bool version_missing = false;
    std::wstring driver_version = L"1.0.9.0";
    bool version_terminated = true;
    bool in_use_elsewhere = false;
    // The size SetupAPI reports as required for the interface's detail
    // record, in place of the true one.
    SizeSwitch detail_required_size = {false, 0};
    std::string external;  // a command that takes the built-in driver's place
    uint32_t external_reply_timeout_ms = kDefaultExternalReplyTimeoutMs;
    MiscDeviceConfig device;
};

struct Machine {
    std::string source;  // the file it came from, or "embedded default"
    uint32_t session = 1;
    ClockConfig clock;
    uint32_t hold_ms = 0;
    uint64_t fail_allocation = 0;
    std::vector<ExistingMutex> existing_mutexes;
    MiscDriverHost misc;
    std::vector<BatteryDeviceConfig> batteries;
};

// The most a machine file may hold, in bytes (1 MiB).
constexpr size_t kMaxMachineFileBytes = 1u << 20;

// Parses a machine description. On an error returns false and sets
// error to one line: the source, then the field or the place in the text.
bool ParseMachine(const std::string &text, const std::string &source, Machine *machine,
                  std::string *error);

// One thing wrong with a machine description: the path of the field it is
// about (empty for the text as a whole) and what is wrong with it.
struct MachineProblem {
    std::string path;
    std::string what;
};

// "field <path>: <what>", or just what for the text as a whole.
std::string DescribeProblem(const MachineProblem &problem);

// Every problem of a description that ParseMachine would refuse (none for
// one it takes). After each problem the field at fault is set aside and
// the rest is parsed again; a problem inside a list sets the whole list
// aside, and a text that is not JSON has only that one problem.
std::vector<MachineProblem> CheckMachine(const std::string &text);

// The embedded default notebook.
const char *DefaultMachineText();

}  // namespace sim
