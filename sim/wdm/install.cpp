// Installs the kernel-mode test driver's devices: one root-enumerated
// device for the misc driver and one per battery index, each bound to
// cellvsim.sys through the INF.
//
//   cellvaro_wdm_install PATH_TO_INF
//
// Exit status 0 when every device was created and its driver installed.
#include <windows.h>

#include <newdev.h>
#include <setupapi.h>

#include <stdio.h>

#include <string>

#include "notebook_wire.h"

namespace {

constexpr wchar_t kMiscHardwareId[] = L"Root\\CellvaroSimMisc";
constexpr wchar_t kBatteryHardwareId[] = L"Root\\CellvaroSimBattery";

// The System device class.
constexpr GUID kSystemClass = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

bool Fail(const wchar_t *what, const std::wstring &id) {
    fwprintf(stderr, L"cellvaro_wdm_install: %ls failed for %ls, error %lu\n", what, id.c_str(),
             GetLastError());
    return false;
}

// Creates a root-enumerated device whose instance path is
// ROOT\<name>\NNNN, with the hardware ID, and installs its driver.
bool InstallDevice(const std::wstring &hardware_id, const std::wstring &inf) {
    // The device name is the hardware ID without "Root\": the instance
    // paths then sort as the battery indices do.
    std::wstring name = hardware_id.substr(hardware_id.find(L'\\') + 1);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) return Fail(L"SetupDiCreateDeviceInfoList", hardware_id);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    bool ok = false;
    std::wstring ids = hardware_id + L'\0' + L'\0';
    if (!SetupDiCreateDeviceInfoW(set, name.c_str(), &kSystemClass, nullptr, nullptr,
                                  DICD_GENERATE_ID, &device)) {
        Fail(L"SetupDiCreateDeviceInfo", hardware_id);
    } else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                  (const BYTE *)ids.data(),
                                                  (DWORD)(ids.size() * sizeof(wchar_t)))) {
        Fail(L"SetupDiSetDeviceRegistryProperty", hardware_id);
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        Fail(L"DIF_REGISTERDEVICE", hardware_id);
    } else {
        BOOL reboot = FALSE;
        ok = UpdateDriverForPlugAndPlayDevicesW(nullptr, hardware_id.c_str(), inf.c_str(),
                                                INSTALLFLAG_FORCE, &reboot) != FALSE;
        if (!ok) Fail(L"UpdateDriverForPlugAndPlayDevices", hardware_id);
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) {
        fwprintf(stderr, L"usage: cellvaro_wdm_install PATH_TO_INF\n");
        return 2;
    }
    wchar_t inf[MAX_PATH];
    if (!GetFullPathNameW(argv[1], MAX_PATH, inf, nullptr)) {
        fwprintf(stderr, L"cellvaro_wdm_install: bad path %ls\n", argv[1]);
        return 2;
    }
    bool ok = InstallDevice(kMiscHardwareId, inf);
    for (uint32_t i = 0; i < sim::wdm::kInstalledBatteries; i++)
        ok = InstallDevice(kBatteryHardwareId + std::to_wstring(i), inf) && ok;
    return ok ? 0 : 1;
}
