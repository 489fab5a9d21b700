// Device paths and entries shared by SetupAPI and device I/O.
#pragma once

#include <string>

#include "hosted.h"

namespace hosted {

struct DeviceEntry {
    std::wstring path;
    int battery;  // battery class interface index, or -1 for the misc device
    DWORD dev_inst;
};

std::wstring MiscDevicePath();
std::wstring BatteryDevicePath(int index);

}  // namespace hosted
