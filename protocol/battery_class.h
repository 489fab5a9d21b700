// What the utility reads of the Windows battery class interface, for the
// builds and devices that have no Windows headers: the interface class,
// the two control codes and the byte layout of the two records. On Windows
// the product takes the names from <batclass.h>; these are the same values
// under names of their own, so that both can stand in one translation unit.
#pragma once

#include <stdint.h>

#include "misc_driver.h"  // PROTOCOL_GUID

// GUID_DEVICE_BATTERY, {72631E54-78A4-11D0-BCF7-00AA00B7B32A}.
constexpr PROTOCOL_GUID BATTERY_INTERFACE_CLASS = {
    0x72631E54, 0x78A4, 0x11D0, {0xBC, 0xF7, 0x00, 0xAA, 0x00, 0xB7, 0xB3, 0x2A}};

constexpr uint32_t BATTERY_CODE_QUERY_TAG = 0x294040;          // IOCTL_BATTERY_QUERY_TAG
constexpr uint32_t BATTERY_CODE_QUERY_INFORMATION = 0x294044;  // IOCTL_BATTERY_QUERY_INFORMATION

constexpr uint32_t BATTERY_TAG_SIZE = 4;
constexpr uint32_t BATTERY_WAIT_SIZE = 4;  // the tag query's input: a wait time

// BATTERY_QUERY_INFORMATION: BatteryTag, InformationLevel, AtRate.
constexpr uint32_t BATTERY_QUERY_SIZE = 12;
constexpr uint32_t BATTERY_QUERY_TAG_OFFSET = 0;
constexpr uint32_t BATTERY_QUERY_LEVEL_OFFSET = 4;
constexpr uint32_t BATTERY_QUERY_AT_RATE_OFFSET = 8;
constexpr uint32_t BATTERY_LEVEL_INFORMATION = 0;  // BatteryInformation

// BATTERY_INFORMATION: 36 bytes, of which Capabilities and DesignedCapacity
// are read.
constexpr uint32_t BATTERY_INFORMATION_SIZE = 36;
constexpr uint32_t BATTERY_CAPABILITIES_OFFSET = 0;
constexpr uint32_t BATTERY_DESIGNED_CAPACITY_OFFSET = 12;
constexpr uint32_t BATTERY_FLAG_SYSTEM_BATTERY = 0x80000000;    // BATTERY_SYSTEM_BATTERY
constexpr uint32_t BATTERY_FLAG_CAPACITY_RELATIVE = 0x40000000;  // BATTERY_CAPACITY_RELATIVE
