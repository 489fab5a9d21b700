// SetupAPI and the registry over the simulated notebook's devices: the misc
// driver's interface (when the machine has one) and one battery class
// interface per battery device. The device list is made from the machine
// description each time a set is opened; the description is the one
// source of device data.
#include <string.h>

#include <vector>

#include "device_paths.h"
#include "machine.h"
#include "objects.h"

namespace hosted {

namespace {

const GUID kMiscInterface = {0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};
// The device setup class "System" of the misc device and "Battery".
const GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID kBatteryClass = {0x72631e54, 0x78a4, 0x11d0, {0xbc, 0xf7, 0x00, 0xaa, 0x00, 0xb7, 0xb3, 0x2a}};

std::string GuidText(const GUID *g) {
    if (!g) return "null";
    char buf[64];
    (void)snprintf(buf, sizeof buf, "\"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}\"",
                   g->Data1, g->Data2, g->Data3, g->Data4[0], g->Data4[1], g->Data4[2],
                   g->Data4[3], g->Data4[4], g->Data4[5], g->Data4[6], g->Data4[7]);
    return buf;
}

// The interfaces of a class that a set with the given flags lists.
std::vector<DeviceEntry> ListInterfaces(const GUID &cls, DWORD flags) {
    std::vector<DeviceEntry> list;
    const sim::Machine &m = CurrentMachine();
    if (cls == kMiscInterface && m.misc.present) {
        DeviceEntry e;
        e.path = MiscDevicePath();
        e.battery = -1;
        e.dev_inst = 1;
        list.push_back(e);
    }
    if (cls == GUID_DEVICE_BATTERY) {
        for (size_t i = 0; i < m.batteries.size(); i++) {
            if ((flags & DIGCF_PRESENT) && !m.batteries[i].present) continue;
            DeviceEntry e;
            e.path = BatteryDevicePath((int)i);
            e.battery = (int)i;
            e.dev_inst = (DWORD)(0x100 + i);
            list.push_back(e);
        }
    }
    return list;
}

void TraceCall(const std::string &what, const std::string &rest, bool result) {
    Trace("\"event\":\"setupapi\",\"call\":\"" + what + "\"" + rest +
          ",\"result\":" + (result ? "true" : "false") +
          (result ? "" : ",\"last_error\":" + std::to_string(GetLastError())));
}

}  // namespace

std::wstring MiscDevicePath() {
    return L"\\\\?\\ROOT#SYSTEM#0000#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}";
}

std::wstring BatteryDevicePath(int index) {
    return L"\\\\?\\ACPI#PNP0C0A#" + std::to_wstring(index + 1) +
           L"#{72631e54-78a4-11d0-bcf7-00aa00b7b32a}";
}

}  // namespace hosted

using hosted::FindObject;
using hosted::Object;
using hosted::ObjectKind;

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator,
                                                HWND hwndParent, DWORD Flags) {
    (void)hwndParent;
    if (!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        hosted::TraceCall("SetupDiGetClassDevsW", ",\"class\":null", false);
        return INVALID_HANDLE_VALUE;
    }
    Object o;
    o.kind = ObjectKind::DeviceInfoSet;
    o.flags = Flags;
    if (ClassGuid) o.interface_class = *ClassGuid;
    if (Enumerator) o.name = hosted::Utf8(Enumerator);
    HDEVINFO set = hosted::AddObject(o);
    hosted::TraceCall("SetupDiGetClassDevsW",
                      ",\"class\":" + hosted::GuidText(ClassGuid) + ",\"flags\":" +
                          std::to_string(Flags) + ",\"set\":" + std::to_string((uintptr_t)set),
                      true);
    return set;
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    if (!FindObject(DeviceInfoSet, ObjectKind::DeviceInfoSet)) {
        SetLastError(ERROR_INVALID_HANDLE);
        hosted::TraceCall("SetupDiDestroyDeviceInfoList", "", false);
        return FALSE;
    }
    hosted::RemoveObject(DeviceInfoSet);
    hosted::TraceCall("SetupDiDestroyDeviceInfoList",
                      ",\"set\":" + std::to_string((uintptr_t)DeviceInfoSet), true);
    hosted::ClobberLastErrorAfterSuccess();
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                                   PSP_DEVINFO_DATA DeviceInfoData,
                                                   const GUID *InterfaceClassGuid,
                                                   DWORD MemberIndex,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    const std::string what = "SetupDiEnumDeviceInterfaces";
    const std::string index = ",\"index\":" + std::to_string(MemberIndex);
    Object *set = FindObject(DeviceInfoSet, ObjectKind::DeviceInfoSet);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        hosted::TraceCall(what, index, false);
        return FALSE;
    }
    if (!InterfaceClassGuid || !DeviceInterfaceData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        hosted::TraceCall(what, index, false);
        return FALSE;
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        hosted::TraceCall(what, index, false);
        return FALSE;
    }
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
    if (MemberIndex >= list.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        hosted::TraceCall(what, index, false);
        return FALSE;
    }
    DeviceInterfaceData->InterfaceClassGuid = *InterfaceClassGuid;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = (ULONG_PTR)list[MemberIndex].dev_inst;
    hosted::TraceCall(what, index, true);
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    const std::string what = "SetupDiGetDeviceInterfaceDetailW";
    const std::string size = ",\"size\":" + std::to_string(DeviceInterfaceDetailDataSize);
    Object *set = FindObject(DeviceInfoSet, ObjectKind::DeviceInfoSet);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        hosted::TraceCall(what, size, false);
        return FALSE;
    }
    if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        hosted::TraceCall(what, size, false);
        return FALSE;
    }
    if ((!DeviceInterfaceDetailData && DeviceInterfaceDetailDataSize) ||
        (DeviceInterfaceDetailData &&
         DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) ||
        (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        hosted::TraceCall(what, size, false);
        return FALSE;
    }
    const hosted::DeviceEntry *entry = nullptr;
    std::vector<hosted::DeviceEntry> list =
        hosted::ListInterfaces(DeviceInterfaceData->InterfaceClassGuid, set->flags);
    for (const auto &e : list)
        if ((ULONG_PTR)e.dev_inst == DeviceInterfaceData->Reserved) entry = &e;
    if (!entry) {
        SetLastError(ERROR_INVALID_PARAMETER);
        hosted::TraceCall(what, size, false);
        return FALSE;
    }
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
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        hosted::TraceCall(what, size + ",\"required\":" + std::to_string(required), false);
        return FALSE;
    }
    wmemcpy(DeviceInterfaceDetailData->DevicePath, entry->path.c_str(), entry->path.size() + 1);
    if (DeviceInfoData) {
        DeviceInfoData->ClassGuid = entry->battery >= 0 ? hosted::kBatteryClass : hosted::kSystemClass;
        DeviceInfoData->DevInst = entry->dev_inst;
        DeviceInfoData->Reserved = 0;
    }
    hosted::TraceCall(what, size + ",\"path\":" + hosted::JsonWide(entry->path.c_str()), true);
    return TRUE;
}

extern "C" HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                            DWORD Scope, DWORD HwProfile, DWORD KeyType,
                                            REGSAM samDesired) {
    (void)HwProfile;
    (void)samDesired;
    const std::string what = "SetupDiOpenDevRegKey";
    if (!FindObject(DeviceInfoSet, ObjectKind::DeviceInfoSet)) {
        SetLastError(ERROR_INVALID_HANDLE);
        hosted::TraceCall(what, "", false);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA) ||
        (Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) ||
        (KeyType != DIREG_DEV && KeyType != DIREG_DRV)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        hosted::TraceCall(what, "", false);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    // Only the misc device's driver key has values the program reads.
    if (DeviceInfoData->DevInst != 1 || KeyType != DIREG_DRV) {
        SetLastError(ERROR_KEY_DOES_NOT_EXIST);
        hosted::TraceCall(what, "", false);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    Object o;
    o.kind = ObjectKind::RegistryKey;
    o.name = "misc driver key";
    HKEY key = (HKEY)hosted::AddObject(o);
    hosted::TraceCall(what, ",\"key\":" + std::to_string((uintptr_t)key), true);
    return key;
}

extern "C" LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                           LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    auto trace = [&](LSTATUS status, DWORD bytes) {
        hosted::Trace("\"event\":\"registry\",\"call\":\"RegQueryValueExW\",\"value\":" +
                      hosted::JsonWide(lpValueName) + ",\"status\":" + std::to_string(status) +
                      ",\"bytes\":" + std::to_string(bytes));
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
    hosted::Trace("\"event\":\"registry\",\"call\":\"RegCloseKey\",\"key\":" +
                  std::to_string((uintptr_t)hKey));
    hosted::ClobberLastErrorAfterSuccess();
    return ERROR_SUCCESS;
}
