#include "battery_device.h"

#include <string.h>

#include "byte_order.h"

namespace sim {

namespace {

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kQuerySize = 12;        // BATTERY_QUERY_INFORMATION
constexpr uint32_t kInformationSize = 36;  // BATTERY_INFORMATION
constexpr uint32_t kLevelBatteryInformation = 0;
constexpr uint32_t kCapacityRelative = 0x40000000;
constexpr uint32_t kSystemBattery = 0x80000000;

MiscDeviceReply Fail(uint32_t error) { return MiscDeviceReply{false, error, 0}; }

}  // namespace

MiscDeviceReply BatteryDeviceControl(const BatteryDeviceConfig &b, uint32_t code, const uint8_t *in,
                                     uint32_t in_size, uint8_t *out, uint32_t out_capacity) {
    if ((!in && in_size) || (!out && out_capacity)) return Fail(kErrorInvalidParameter);
    if (code == kIoctlBatteryQueryTag) {
        if (b.fail_tag.active) return Fail(b.fail_tag.last_error);
        if (in_size < 4 || out_capacity < 4) return Fail(kErrorInvalidParameter);
        Write32(out, b.tag);
        return MiscDeviceReply{true, 0, 4};
    }
    if (code == kIoctlBatteryQueryInformation) {
        if (b.fail_information.active) return Fail(b.fail_information.last_error);
        if (in_size < kQuerySize) return Fail(kErrorInvalidParameter);
        // A tag that is not the battery's current one names no battery.
        if (b.tag == 0 || Read32(in) != b.tag) return Fail(kErrorFileNotFound);
        if (Read32(in + 4) != kLevelBatteryInformation) return Fail(kErrorInvalidFunction);
        if (out_capacity < kInformationSize) return Fail(kErrorInsufficientBuffer);
        memset(out, 0, kInformationSize);
        Write32(out + 0, kSystemBattery | (b.relative ? kCapacityRelative : 0));
        out[4] = 1;  // rechargeable
        memcpy(out + 8, "LION", 4);
        Write32(out + 12, b.design_capacity);
        Write32(out + 16, b.design_capacity / 10 * 9);
        Write32(out + 20, b.design_capacity / 10);
        Write32(out + 24, b.design_capacity / 20);
        Write32(out + 28, 0);
        Write32(out + 32, 17);
        return MiscDeviceReply{true, 0, kInformationSize};
    }
    return Fail(kErrorInvalidFunction);
}

}  // namespace sim
