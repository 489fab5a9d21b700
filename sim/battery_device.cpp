// The simulated battery class device: answers the tag and information
// queries from a machine's battery entry.
#include "battery_device.h"

#include <string.h>

#include "battery_class.h"
#include "byte_order.h"

namespace sim {

namespace {

// The fields of BATTERY_INFORMATION that the utility does not read, which
// the battery fills as a real one would.
constexpr uint32_t kTechnologyOffset = 4;
constexpr uint32_t kChemistryOffset = 8;
constexpr uint32_t kFullChargedCapacityOffset = 16;
constexpr uint32_t kDefaultAlert1Offset = 20;
constexpr uint32_t kDefaultAlert2Offset = 24;
constexpr uint32_t kCriticalBiasOffset = 28;
constexpr uint32_t kCycleCountOffset = 32;
constexpr uint8_t kRechargeable = 1;
constexpr uint8_t kChemistry[4] = {'L', 'I', 'O', 'N'};
constexpr uint32_t kCycleCount = 17;

BatteryDeviceReply Fail(uint32_t error) { return BatteryDeviceReply{false, error, 0}; }

// Answers with the record, or with the number of bytes the description
// gives: the record cut short, or followed by zeros. The bytes reported
// are that number; the platform cuts them to the output buffer as the
// I/O manager does.
BatteryDeviceReply Answer(const uint8_t *record, uint32_t record_size, const SizeSwitch &size,
                          uint8_t *out, uint32_t out_capacity) {
    const uint32_t bytes = size.active ? size.bytes : record_size;
    const uint32_t written = bytes < out_capacity ? bytes : out_capacity;
    const uint32_t copied = written < record_size ? written : record_size;
    if (copied) memcpy(out, record, copied);
    // cppcheck-suppress knownConditionTrueFalse ; true when more bytes are reported than the record has
    if (written > copied) memset(out + copied, 0, written - copied);
    return BatteryDeviceReply{true, 0, bytes};
}

}  // namespace

BatteryDeviceReply BatteryDeviceControl(const BatteryDeviceConfig &b, uint32_t code,
                                        const uint8_t *in, uint32_t in_size, uint8_t *out,
                                        uint32_t out_capacity) {
    if ((!in && in_size) || (!out && out_capacity)) return Fail(kErrorInvalidParameter);
    if (code == BATTERY_CODE_QUERY_TAG) {
        if (b.fail_tag.active) return Fail(b.fail_tag.last_error);
        if (in_size < BATTERY_WAIT_SIZE || out_capacity < BATTERY_TAG_SIZE)
            return Fail(kErrorInvalidParameter);
        uint8_t tag[BATTERY_TAG_SIZE];
        WriteLe32(tag, b.tag);
        return Answer(tag, BATTERY_TAG_SIZE, b.tag_reply_size, out, out_capacity);
    }
    if (code == BATTERY_CODE_QUERY_INFORMATION) {
        if (b.fail_information.active) return Fail(b.fail_information.last_error);
        if (in_size < BATTERY_QUERY_SIZE) return Fail(kErrorInvalidParameter);
        // A tag that is not the battery's current one names no battery.
        if (b.tag == 0 || ReadLe32(in + BATTERY_QUERY_TAG_OFFSET) != b.tag)
            return Fail(kErrorFileNotFound);
        if (ReadLe32(in + BATTERY_QUERY_LEVEL_OFFSET) != BATTERY_LEVEL_INFORMATION)
            return Fail(kErrorInvalidFunction);
        if (out_capacity < BATTERY_INFORMATION_SIZE) return Fail(kErrorInsufficientBuffer);
        uint8_t record[BATTERY_INFORMATION_SIZE];
        memset(record, 0, sizeof record);
        WriteLe32(record + BATTERY_CAPABILITIES_OFFSET,
                  BATTERY_FLAG_SYSTEM_BATTERY | (b.relative ? BATTERY_FLAG_CAPACITY_RELATIVE : 0));
        record[kTechnologyOffset] = kRechargeable;
        memcpy(record + kChemistryOffset, kChemistry, sizeof kChemistry);
        WriteLe32(record + BATTERY_DESIGNED_CAPACITY_OFFSET, b.design_capacity);
        WriteLe32(record + kFullChargedCapacityOffset, b.design_capacity / 10 * 9);
        WriteLe32(record + kDefaultAlert1Offset, b.design_capacity / 10);
        WriteLe32(record + kDefaultAlert2Offset, b.design_capacity / 20);
        WriteLe32(record + kCriticalBiasOffset, 0);
        WriteLe32(record + kCycleCountOffset, kCycleCount);
        return Answer(record, BATTERY_INFORMATION_SIZE, b.information_reply_size, out, out_capacity);
    }
    return Fail(kErrorInvalidFunction);
}

}  // namespace sim
