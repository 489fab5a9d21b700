// The simulated Windows battery class device: the tag and information
// requests of one battery, answered from its description. Like the misc
// device it needs nothing of its host.
#pragma once

#include <stdint.h>

#include "misc_device.h"  // FaultSwitch and the error values

namespace sim {

// A size that stands in for the true one while active.
struct SizeSwitch {
    bool active;
    uint32_t bytes;
};

struct BatteryDeviceConfig {
    bool present = true;
    uint32_t design_capacity = 0;
    bool relative = false;
    uint32_t tag = 1;
    FaultSwitch fail_open = {false, 0};
    FaultSwitch fail_tag = {false, 0};
    FaultSwitch fail_information = {false, 0};
    // The bytes a request is answered with, in place of its record's size.
    SizeSwitch tag_reply_size = {false, 0};
    SizeSwitch information_reply_size = {false, 0};
    // The size that the platform's SetupAPI reports as required for this
    // interface's detail record, in place of the true one.
    SizeSwitch detail_required_size = {false, 0};
};

// The battery's answer to one request: the call's BOOL, the last error
// when it fails, and the bytes the battery reports, which may be more than
// the output buffer holds (the platform cuts them to it, as the I/O
// manager does).
struct BatteryDeviceReply {
    bool result;
    uint32_t last_error;
    uint32_t bytes;
};

// One buffered request to the battery; out may be null when out_capacity is 0.
BatteryDeviceReply BatteryDeviceControl(const BatteryDeviceConfig &battery, uint32_t code,
                                     const uint8_t *in, uint32_t in_size, uint8_t *out,
                                     uint32_t out_capacity);

}  // namespace sim
