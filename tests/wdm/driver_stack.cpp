#include "driver_stack.h"

#include <setupapi.h>

#include <algorithm>
#include <cstring>

#include "battery_class.h"
#include "misc_driver.h"
#include "test_support.h"

const GUID kMiscInterface = GuidFromProtocol<GUID>(MISC_INTERFACE_CLASS);
const GUID kBatteryInterface = GuidFromProtocol<GUID>(BATTERY_INTERFACE_CLASS);

namespace {

constexpr wchar_t kParametersKey[] = L"System\\CurrentControlSet\\Services\\CellvaroSim\\Parameters";
constexpr wchar_t kNotebookValue[] = L"Notebook";
constexpr wchar_t kLogValue[] = L"Log";
constexpr wchar_t kVersionValue[] = L"DriverVersion";
constexpr DWORD kDetailBytes = 2048;

std::wstring g_root;
uint32_t g_sequence = 0;

// Runs fn(set, interface data, device data, device path) for every present
// interface of the class, until it returns false.
template <typename FN>
void ForEachInterface(const GUID &interface_class, FN fn) {
    HDEVINFO set = SetupDiGetClassDevsW(&interface_class, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVICE_INTERFACE_DATA item = {};
    item.cbSize = sizeof item;
    std::vector<uint8_t> detail(kDetailBytes);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &interface_class, i, &item); i++) {
        auto *d = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(detail.data());
        d->cbSize = sizeof *d;
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &item, d, kDetailBytes, nullptr, &device)) continue;
        if (!fn(set, device, std::wstring(d->DevicePath))) break;
    }
    SetupDiDestroyDeviceInfoList(set);
}

bool SetDriverVersion(const sim::MiscDriverHost &misc, std::string *error) {
    bool found = false, ok = false;
    ForEachInterface(kMiscInterface, [&](HDEVINFO set, SP_DEVINFO_DATA &device, const std::wstring &) {
        found = true;
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV,
                                        KEY_SET_VALUE | KEY_QUERY_VALUE);
        if (key == INVALID_HANDLE_VALUE) return false;
        LSTATUS status;
        if (misc.version_missing) {
            status = RegDeleteValueW(key, kVersionValue);
            if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
        } else {
            size_t chars = misc.driver_version.size() + (misc.version_terminated ? 1 : 0);
            status = RegSetValueExW(key, kVersionValue, 0, REG_SZ,
                                    reinterpret_cast<const BYTE *>(misc.driver_version.c_str()),
                                    static_cast<DWORD>(chars * sizeof(wchar_t)));
        }
        RegCloseKey(key);
        ok = status == ERROR_SUCCESS;
        return false;
    });
    if (!found) *error = "no misc device interface";
    else if (!ok) *error = "could not write DriverVersion";
    return found && ok;
}

}  // namespace

void SetSourceRoot(const std::wstring &root) { g_root = root; }

const std::wstring &SourceRoot() { return g_root; }

bool LoadMachine(const char *path, sim::Machine *machine, std::string *error) {
    std::wstring file = g_root + L"\\" + std::wstring(path, path + strlen(path));
    std::replace(file.begin(), file.end(), L'/', L'\\');
    std::vector<uint8_t> text = ReadWholeFile(file);
    if (text.empty()) {
        *error = std::string("cannot read machine ") + path;
        return false;
    }
    return sim::ParseMachine(std::string(text.begin(), text.end()), path, machine, error);
}

sim::wdm::Notebook NotebookFor(const sim::Machine &machine) {
    if (g_sequence == 0) g_sequence = GetTickCount() | 1;
    sim::wdm::Notebook n = {};
    n.sequence = ++g_sequence;
    n.misc = machine.misc.device;
    n.battery_count = 0;
    for (const sim::BatteryDeviceConfig &b : machine.batteries) {
        if (n.battery_count == sim::wdm::kMaxBatteries) break;
        n.batteries[n.battery_count++] = b;
    }
    return n;
}

uint32_t InstallNotebook(const sim::Machine &machine, std::string *error) {
    // What the driver cannot play under Wine is refused here, so that no
    // case silently tests something else.
    if (!machine.misc.present) {
        *error = "a machine without the misc driver needs no test driver";
        return 0;
    }
    if (machine.misc.in_use_elsewhere) {
        *error = "Wine does not enforce exclusive opens";
        return 0;
    }
    if (!machine.misc.external.empty()) {
        *error = "an external driver runs only on the hosted build";
        return 0;
    }
    // Wine's own SetupAPI reports the detail sizes, and the driver's
    // notebook carries no reply sizes of the battery devices.
    bool sizes_set = machine.misc.detail_required_size.active;
    for (const sim::BatteryDeviceConfig &b : machine.batteries)
        sizes_set = sizes_set || b.detail_required_size.active || b.tag_reply_size.active ||
                    b.information_reply_size.active;
    if (sizes_set) {
        *error = "detail and reply sizes are played by the hosted build only";
        return 0;
    }
    if (!machine.existing_mutexes.empty() || machine.fail_allocation != 0) {
        *error = "mutexes of other copies and failing allocations are the test's, not the driver's";
        return 0;
    }
    if (!SetDriverVersion(machine.misc, error)) return 0;
    sim::wdm::Notebook n = NotebookFor(machine);
    uint8_t blob[sim::wdm::kNotebookSize];
    sim::wdm::EncodeNotebook(n, blob);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParametersKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        *error = "cannot create the driver's Parameters key";
        return 0;
    }
    LSTATUS status = RegSetValueExW(key, kNotebookValue, 0, REG_BINARY, blob, sizeof blob);
    RegDeleteValueW(key, kLogValue);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        *error = "cannot write the notebook value";
        return 0;
    }
    return n.sequence;
}

bool ReadDriverLog(sim::wdm::DriverLog *log) {
    std::vector<uint8_t> data(sim::wdm::kLogSize);
    DWORD size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kParametersKey, kLogValue, RRF_RT_REG_BINARY, &type,
                     data.data(), &size) != ERROR_SUCCESS)
        return false;
    return sim::wdm::DecodeLog(data.data(), size, log);
}

std::vector<sim::wdm::JournalEntry> EntriesOf(const sim::wdm::DriverLog &log, uint32_t device) {
    std::vector<sim::wdm::JournalEntry> entries;
    uint32_t n = log.entry_count < sim::wdm::kMaxJournal ? log.entry_count : sim::wdm::kMaxJournal;
    for (uint32_t i = 0; i < n; i++)
        if (log.entries[i].device == device) entries.push_back(log.entries[i]);
    return entries;
}

bool WaitForSettledLog(uint32_t sequence, sim::wdm::DriverLog *log) {
    DWORD start = GetTickCount();
    for (;;) {
        if (ReadDriverLog(log) && log->sequence == sequence) {
            bool settled = true;
            for (uint32_t d = 0; d < sim::wdm::kDeviceBattery0 + sim::wdm::kInstalledBatteries; d++) {
                int open = 0;
                for (const sim::wdm::JournalEntry &e : EntriesOf(*log, d)) {
                    if (e.kind == sim::wdm::kJournalOpen) open++;
                    if (e.kind == sim::wdm::kJournalClose) open--;
                }
                if (open != 0) settled = false;
            }
            if (settled) return true;
        }
        if (GetTickCount() - start >= kLogSettleTimeoutMs) return false;
        Sleep(kPollIntervalMs);
    }
}

std::vector<std::wstring> InterfacePaths(const GUID &interface_class) {
    std::vector<std::wstring> paths;
    ForEachInterface(interface_class, [&](HDEVINFO, SP_DEVINFO_DATA &, const std::wstring &path) {
        paths.push_back(path);
        return true;
    });
    return paths;
}

bool WaitForInterfaces(DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        if (InterfacePaths(kMiscInterface).size() == 1 &&
            InterfacePaths(kBatteryInterface).size() == sim::wdm::kInstalledBatteries)
            return true;
        if (GetTickCount() - start >= timeout_ms) return false;
        Sleep(kPollIntervalMs * 10);
    }
}
