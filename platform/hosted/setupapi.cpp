// SetupAPI and the registry over the simulated notebook's devices: the misc
// driver's interface (when the machine has one) and one battery class
// interface per battery device. The device list is made from the machine
// description each time a set is opened; the description is the one
// source of device data.
#include <stdio.h>
#include <string.h>

#include <vector>

#include "battery_class.h"
#include "device_paths.h"
#include "machine.h"
#include "misc_driver.h"
#include "objects.h"
#include "trace_line.h"

namespace hosted {

namespace {

constexpr bool SameGuid(const GUID &a, const PROTOCOL_GUID &b) {
    for (int i = 0; i < 8; i++)
        if (a.Data4[i] != b.Data4[i]) return false;
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3;
}

// win32.h names the battery class as the Windows headers do; it must name
// the interface the battery devices have.
static_assert(SameGuid(GUID_DEVICE_BATTERY, BATTERY_INTERFACE_CLASS), "the battery interface class");
static_assert(IOCTL_BATTERY_QUERY_TAG == BATTERY_CODE_QUERY_TAG &&
                  IOCTL_BATTERY_QUERY_INFORMATION == BATTERY_CODE_QUERY_INFORMATION,
              "the battery control codes");

constexpr GUID kMiscInterface = GuidFromProtocol<GUID>(MISC_INTERFACE_CLASS);
// The device setup classes: "System" for the misc device; a battery's
// setup class has the same GUID as its interface class.
constexpr GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kBatteryClass = GuidFromProtocol<GUID>(BATTERY_INTERFACE_CLASS);

constexpr DWORD kMiscDevInst = 1;
constexpr DWORD kFirstBatteryDevInst = 0x100;

// A GUID in its registry form, "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}".
std::string GuidText(const GUID &g, bool upper) {
    char buf[64];
    (void)snprintf(buf, sizeof buf,
                   upper ? "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}"
                         : "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                   g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                   g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

// A device interface path: the device instance, then its interface class.
std::wstring InterfacePath(const std::string &instance, const GUID &cls) {
    const std::string path = "\\\\?\\" + instance + "#" + GuidText(cls, false);
    return std::wstring(path.begin(), path.end());
}

// The interfaces of a class that a set with the given flags lists.
std::vector<DeviceEntry> ListInterfaces(const GUID &cls, DWORD flags) {
    std::vector<DeviceEntry> list;
    const sim::Machine &m = CurrentMachine();
    if (cls == kMiscInterface && m.misc.present) {
        DeviceEntry e;
        e.path = MiscDevicePath();
        e.battery = -1;
        e.dev_inst = kMiscDevInst;
        list.push_back(e);
    }
    if (cls == kBatteryClass) {
        for (size_t i = 0; i < m.batteries.size(); i++) {
            if ((flags & DIGCF_PRESENT) && !m.batteries[i].present) continue;
            DeviceEntry e;
            e.path = BatteryDevicePath((int)i);
            e.battery = (int)i;
            e.dev_inst = (DWORD)(kFirstBatteryDevInst + i);
            list.push_back(e);
        }
    }
    return list;
}

// One SetupAPI call's outcome: its trace line (the call's name, the
// fields the call adds, then the result and, on a failure, the last
// error) and the value it returns.
class CSetupApiCall {
public:
    explicit CSetupApiCall(const char *name) : _line("setupapi") { _line.Set("call", name); }
    CTraceLine &Line() { return _line; }

    // Sets the last error, traces the failure and returns `value`.
    template <typename T>
    T Fail(DWORD error, T value) {
        SetLastError(error);
        _line.Set("result", false).Set("last_error", error).Write();
        return value;
    }
    template <typename T>
    T Succeed(T value) {
        _line.Set("result", true).Write();
        return value;
    }

private:
    CTraceLine _line;
};

// The device information set behind a handle; null when the handle names
// none, with the call failed as ERROR_INVALID_HANDLE.
Object *DeviceInfoSet(HDEVINFO handle, CSetupApiCall &call) {
    Object *set = FindObject(handle, ObjectKind::DeviceInfoSet);
    if (!set) call.Fail(ERROR_INVALID_HANDLE, 0);
    return set;
}

}  // namespace

std::wstring MiscDevicePath() { return InterfacePath("ROOT#SYSTEM#0000", kMiscInterface); }

std::wstring BatteryDevicePath(int index) {
    return InterfacePath("ACPI#PNP0C0A#" + std::to_string(index + 1), kBatteryClass);
}

}  // namespace hosted

using hosted::CSetupApiCall;
using hosted::Object;
using hosted::ObjectKind;

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator,
                                                HWND hwndParent, DWORD Flags) {
    (void)hwndParent;
    CSetupApiCall call("SetupDiGetClassDevsW");
    if (!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) {
        call.Line().Null("class");
        return call.Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    Object o;
    o.kind = ObjectKind::DeviceInfoSet;
    o.flags = Flags;
    if (ClassGuid) o.interface_class = *ClassGuid;
    if (Enumerator) o.name = hosted::Utf8(Enumerator);
    HDEVINFO set = hosted::AddObject(o);
    if (ClassGuid) call.Line().Set("class", hosted::GuidText(*ClassGuid, true));
    else call.Line().Null("class");
    call.Line().Set("flags", Flags).Handle("set", set);
    return call.Succeed(set);
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    CSetupApiCall call("SetupDiDestroyDeviceInfoList");
    if (!hosted::DeviceInfoSet(DeviceInfoSet, call)) return FALSE;
    hosted::RemoveObject(DeviceInfoSet);
    call.Line().Handle("set", DeviceInfoSet);
    call.Succeed(0);
    hosted::ClobberLastErrorAfterSuccess();
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                                   PSP_DEVINFO_DATA DeviceInfoData,
                                                   const GUID *InterfaceClassGuid,
                                                   DWORD MemberIndex,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    CSetupApiCall call("SetupDiEnumDeviceInterfaces");
    call.Line().Set("index", MemberIndex);
    Object *set = hosted::DeviceInfoSet(DeviceInfoSet, call);
    if (!set) return FALSE;
    if (!InterfaceClassGuid || !DeviceInterfaceData) return call.Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)))
        return call.Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    std::vector<hosted::DeviceEntry> list;
    if (set->interface_class == *InterfaceClassGuid && (set->flags & DIGCF_DEVICEINTERFACE))
        list = hosted::ListInterfaces(*InterfaceClassGuid, set->flags);
    if (DeviceInfoData) {
        // Only the interfaces of that device.
        std::vector<hosted::DeviceEntry> of_device;
        for (const auto &e : list)
            if (e.dev_inst == DeviceInfoData->DevInst) of_device.push_back(e);
        list = of_device;
    }
    if (MemberIndex >= list.size()) return call.Fail(ERROR_NO_MORE_ITEMS, FALSE);
    DeviceInterfaceData->InterfaceClassGuid = *InterfaceClassGuid;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = (ULONG_PTR)list[MemberIndex].dev_inst;
    return call.Succeed(TRUE);
}

extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    CSetupApiCall call("SetupDiGetDeviceInterfaceDetailW");
    call.Line().Set("size", DeviceInterfaceDetailDataSize);
    Object *set = hosted::DeviceInfoSet(DeviceInfoSet, call);
    if (!set) return FALSE;
    if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return call.Fail(ERROR_INVALID_PARAMETER, FALSE);
    if ((!DeviceInterfaceDetailData && DeviceInterfaceDetailDataSize) ||
        (DeviceInterfaceDetailData &&
         DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) ||
        (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)))
        return call.Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    const hosted::DeviceEntry *entry = nullptr;
    std::vector<hosted::DeviceEntry> list =
        hosted::ListInterfaces(DeviceInterfaceData->InterfaceClassGuid, set->flags);
    for (const auto &e : list)
        if ((ULONG_PTR)e.dev_inst == DeviceInterfaceData->Reserved) entry = &e;
    if (!entry) return call.Fail(ERROR_INVALID_PARAMETER, FALSE);
    const DWORD needed = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                 (entry->path.size() + 1) * sizeof(WCHAR));
    // The machine may have the size reported wrongly; the record still
    // needs its true size.
    const sim::Machine &m = hosted::CurrentMachine();
    const sim::SizeSwitch &reported = entry->battery >= 0
                                          ? m.batteries[(size_t)entry->battery].detail_required_size
                                          : m.misc.detail_required_size;
    const DWORD required = reported.active ? (DWORD)reported.bytes : needed;
    if (RequiredSize) *RequiredSize = required;
    if (!DeviceInterfaceDetailData || DeviceInterfaceDetailDataSize < needed) {
        call.Line().Set("required", required);
        return call.Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    wmemcpy(DeviceInterfaceDetailData->DevicePath, entry->path.c_str(), entry->path.size() + 1);
    if (DeviceInfoData) {
        DeviceInfoData->ClassGuid = entry->battery >= 0 ? hosted::kBatteryClass : hosted::kSystemClass;
        DeviceInfoData->DevInst = entry->dev_inst;
        DeviceInfoData->Reserved = 0;
    }
    call.Line().Wide("path", entry->path.c_str());
    return call.Succeed(TRUE);
}

extern "C" HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                            DWORD Scope, DWORD HwProfile, DWORD KeyType,
                                            REGSAM samDesired) {
    (void)HwProfile;
    (void)samDesired;
    CSetupApiCall call("SetupDiOpenDevRegKey");
    const HKEY none = (HKEY)INVALID_HANDLE_VALUE;
    if (!hosted::DeviceInfoSet(DeviceInfoSet, call)) return none;
    if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA) ||
        (Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) ||
        (KeyType != DIREG_DEV && KeyType != DIREG_DRV))
        return call.Fail(ERROR_INVALID_PARAMETER, none);
    // Only the misc device's driver key has values the program reads.
    if (DeviceInfoData->DevInst != hosted::kMiscDevInst || KeyType != DIREG_DRV)
        return call.Fail(ERROR_KEY_DOES_NOT_EXIST, none);
    Object o;
    o.kind = ObjectKind::RegistryKey;
    o.name = "misc driver key";
    HKEY key = (HKEY)hosted::AddObject(o);
    call.Line().Handle("key", key);
    return call.Succeed(key);
}

extern "C" LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                           LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    auto trace = [&](LSTATUS status, DWORD bytes) {
        hosted::CTraceLine("registry")
            .Set("call", "RegQueryValueExW")
            .Wide("value", lpValueName)
            .Set("status", status)
            .Set("bytes", bytes)
            .Write();
        return status;
    };
    if (!FindObject(hKey, ObjectKind::RegistryKey)) return trace(ERROR_INVALID_HANDLE, 0);
    if (lpReserved || (lpData && !lpcbData)) return trace(ERROR_INVALID_PARAMETER, 0);
    const sim::MiscDriverHost &misc = hosted::CurrentMachine().misc;
    if (!lpValueName || wcscmp(lpValueName, L"DriverVersion") != 0 || misc.version_missing)
        return trace(ERROR_FILE_NOT_FOUND, 0);
    // The stored value: the text in WCHARs, with its terminator unless the
    // description says otherwise. Nothing adds a terminator on the way out.
    std::vector<WCHAR> value(misc.driver_version.begin(), misc.driver_version.end());
    if (misc.version_terminated) value.push_back(0);
    const DWORD bytes = (DWORD)(value.size() * sizeof(WCHAR));
    if (lpType) *lpType = REG_SZ;
    if (!lpcbData) return trace(ERROR_SUCCESS, bytes);
    if (!lpData) {
        *lpcbData = bytes;
        return trace(ERROR_SUCCESS, bytes);
    }
    if (*lpcbData < bytes) {
        *lpcbData = bytes;
        return trace(ERROR_MORE_DATA, bytes);
    }
    if (bytes) memcpy(lpData, value.data(), bytes);
    *lpcbData = bytes;
    return trace(ERROR_SUCCESS, bytes);
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (!FindObject(hKey, ObjectKind::RegistryKey)) return ERROR_INVALID_HANDLE;
    hosted::RemoveObject(hKey);
    hosted::CTraceLine("registry").Set("call", "RegCloseKey").Handle("key", hKey).Write();
    hosted::ClobberLastErrorAfterSuccess();
    return ERROR_SUCCESS;
}
