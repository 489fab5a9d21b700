// The simulated battery class device: answers the tag and information
// queries from a machine's battery entry.
#include "battery_device.h"

#include <string.h>

#include "byte_order.h"

namespace sim {

namespace {

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kTagSize = 4;
constexpr uint32_t kQuerySize = 12;        // BATTERY_QUERY_INFORMATION
constexpr uint32_t kInformationSize = 36;  // BATTERY_INFORMATION
constexpr uint32_t kLevelBatteryInformation = 0;
constexpr uint32_t kCapacityRelative = 0x40000000;
constexpr uint32_t kSystemBattery = 0x80000000;

MiscDeviceReply Fail(uint32_t error) { return MiscDeviceReply{false, error, 0}; }

// Answers with the record, or with the number of bytes the description
// gives: the record cut short, or followed by zeros. The bytes reported
// are that number; the platform cuts them to the output buffer as the
// I/O manager does.
MiscDeviceReply Answer(const uint8_t *record, uint32_t record_size, const SizeSwitch &size,
                       uint8_t *out, uint32_t out_capacity) {
    const uint32_t bytes = size.active ? size.bytes : record_size;
    const uint32_t written = bytes < out_capacity ? bytes : out_capacity;
    const uint32_t copied = written < record_size ? written : record_size;
    if (copied) memcpy(out, record, copied);
    // cppcheck-suppress knownConditionTrueFalse ; true when more bytes are reported than the record has
    if (written > copied) memset(out + copied, 0, written - copied);
    return MiscDeviceReply{true, 0, bytes};
}

}  // namespace

MiscDeviceReply BatteryDeviceControl(const BatteryDeviceConfig &b, uint32_t code, const uint8_t *in,
                                     uint32_t in_size, uint8_t *out, uint32_t out_capacity) {
    if ((!in && in_size) || (!out && out_capacity)) return Fail(kErrorInvalidParameter);
    if (code == kIoctlBatteryQueryTag) {
        if (b.fail_tag.active) return Fail(b.fail_tag.last_error);
        if (in_size < kTagSize || out_capacity < kTagSize) return Fail(kErrorInvalidParameter);
        uint8_t tag[kTagSize];
        Write32(tag, b.tag);
        return Answer(tag, kTagSize, b.tag_reply_size, out, out_capacity);
    }
    if (code == kIoctlBatteryQueryInformation) {
        if (b.fail_information.active) return Fail(b.fail_information.last_error);
        if (in_size < kQuerySize) return Fail(kErrorInvalidParameter);
        // A tag that is not the battery's current one names no battery.
        if (b.tag == 0 || Read32(in) != b.tag) return Fail(kErrorFileNotFound);
        if (Read32(in + 4) != kLevelBatteryInformation) return Fail(kErrorInvalidFunction);
        if (out_capacity < kInformationSize) return Fail(kErrorInsufficientBuffer);
        uint8_t record[kInformationSize];
        memset(record, 0, kInformationSize);
        Write32(record + 0, kSystemBattery | (b.relative ? kCapacityRelative : 0));
        record[4] = 1;  // rechargeable
        memcpy(record + 8, "LION", 4);
        Write32(record + 12, b.design_capacity);
        Write32(record + 16, b.design_capacity / 10 * 9);
        Write32(record + 20, b.design_capacity / 10);
        Write32(record + 24, b.design_capacity / 20);
        Write32(record + 28, 0);
        Write32(record + 32, 17);
        return Answer(record, kInformationSize, b.information_reply_size, out, out_capacity);
    }
    return Fail(kErrorInvalidFunction);
}

}  // namespace sim
