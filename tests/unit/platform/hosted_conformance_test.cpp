// The hosted platform's SetupAPI, registry and device calls, held to
// Win32's contract for the same arguments: each failing call returns its
// failure value with the exact last error (SetLastError(kSentinel) before
// every call, so that a call that sets nothing shows), leaves its output
// records alone, and traces the failure; stale, foreign and made-up
// handles are refused; record sizes (cbSize) are checked exactly.
#include <stddef.h>

#include "device_paths.h"
#include "misc_driver.h"
#include "support.h"

namespace unit {
namespace {

GUID FromProtocol(const PROTOCOL_GUID &g) {
    GUID out;
    static_assert(sizeof out == sizeof g, "the same layout");
    memcpy(&out, &g, sizeof out);
    return out;
}

const GUID kMisc = FromProtocol(MISC_INTERFACE_CLASS);
constexpr DWORD kInterfaceFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
constexpr BYTE kUntouched = 0xA5;  // the fill of output records that a failure must not write

// A notebook with the misc driver and two batteries, the second one
// absent (listed only without DIGCF_PRESENT).
class ConformanceTest : public HostedTest {
protected:
    void SetUp() override {
        HostedTest::SetUp();
        UseMachine(MachineWith("", R"([{"design_capacity": 46080},
                                       {"design_capacity": 46080, "present": false}])"));
    }

    HDEVINFO OpenSet(const GUID &cls, DWORD flags = kInterfaceFlags) {
        HDEVINFO set = SetupDiGetClassDevsW(&cls, nullptr, nullptr, flags);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        return set;
    }

    // The interface data of member `index`, or cbSize 0 when there is none.
    SP_DEVICE_INTERFACE_DATA Interface(HDEVINFO set, const GUID &cls, DWORD index) {
        SP_DEVICE_INTERFACE_DATA data;
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &cls, index, &data)) data.cbSize = 0;
        return data;
    }
};

// The last setupapi line of the trace is a failure of `call` with `error`.
void ExpectTracedFailure(const char *call, DWORD error) {
    Trace lines = Events(TakeTrace(), "setupapi");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["call"], call);
    EXPECT_EQ(lines.back()["result"], false);
    EXPECT_EQ(lines.back()["last_error"], error);
}

// ---------------------------------------------------------------------------
// Handles: every SetupAPI call on a handle that is no device information set
// fails as ERROR_INVALID_HANDLE, and so do the generic calls on a set.

TEST_F(ConformanceTest, CallsOnHandlesThatNameNoSetFailAsInvalidHandle) {
    HDEVINFO destroyed = OpenSet(kMisc);
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(destroyed));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"ConformanceTestMutex");
    ASSERT_NE(mutex, nullptr);
    const struct {
        const char *name;
        HDEVINFO handle;
    } handles[] = {
        {"a destroyed set", destroyed},
        {"INVALID_HANDLE_VALUE", INVALID_HANDLE_VALUE},
        {"null", nullptr},
        {"never handed out", (HDEVINFO)(uintptr_t)0x7FFF0000},
        {"a mutex", mutex},
    };
    for (const auto &h : handles) {
        SCOPED_TRACE(h.name);
        SP_DEVICE_INTERFACE_DATA data;
        memset(&data, kUntouched, sizeof data);
        data.cbSize = sizeof data;
        SetLastError(kSentinel);
        EXPECT_FALSE(SetupDiEnumDeviceInterfaces(h.handle, nullptr, &kMisc, 0, &data));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        EXPECT_EQ(data.Flags, 0xA5A5A5A5u) << "a failed call wrote its record";
        ExpectTracedFailure("SetupDiEnumDeviceInterfaces", ERROR_INVALID_HANDLE);

        DWORD required = 0x12345678;
        SetLastError(kSentinel);
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(h.handle, &data, nullptr, 0, &required, nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        EXPECT_EQ(required, 0x12345678u);
        ExpectTracedFailure("SetupDiGetDeviceInterfaceDetailW", ERROR_INVALID_HANDLE);

        SP_DEVINFO_DATA device = {sizeof device, {}, 1, 0};
        SetLastError(kSentinel);
        EXPECT_EQ(SetupDiOpenDevRegKey(h.handle, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ),
                  (HKEY)INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        ExpectTracedFailure("SetupDiOpenDevRegKey", ERROR_INVALID_HANDLE);

        SetLastError(kSentinel);
        EXPECT_FALSE(SetupDiDestroyDeviceInfoList(h.handle));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        ExpectTracedFailure("SetupDiDestroyDeviceInfoList", ERROR_INVALID_HANDLE);
    }
    EXPECT_TRUE(CloseHandle(mutex));

    // A set is no kernel object and no registry key, and no device.
    HDEVINFO set = OpenSet(kMisc);
    SetLastError(kSentinel);
    EXPECT_FALSE(CloseHandle(set));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey((HKEY)set), (LSTATUS)ERROR_INVALID_HANDLE);
    DWORD bytes = 0x12345678;
    SetLastError(kSentinel);
    EXPECT_FALSE(DeviceIoControl(set, IOCTL_MISC_GET_MODEL_NUMBER, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(bytes, 0x12345678u);
    // The set survived all that, and goes once.
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

// ---------------------------------------------------------------------------
// Enumeration and record sizes.

TEST_F(ConformanceTest, EnumDeviceInterfacesChecksItsArgumentsAndEnds) {
    HDEVINFO misc = OpenSet(kMisc);
    HDEVINFO batteries = OpenSet(GUID_DEVICE_BATTERY);
    HDEVINFO listed = OpenSet(GUID_DEVICE_BATTERY, DIGCF_DEVICEINTERFACE);  // absent ones too
    HDEVINFO devices = OpenSet(kMisc, DIGCF_PRESENT);                       // no interfaces
    struct Row {
        const char *name;
        HDEVINFO set;
        const GUID *cls;
        DWORD index;
        DWORD cbSize;
        DWORD error;  // ERROR_SUCCESS: the call succeeds
    };
    const DWORD size = sizeof(SP_DEVICE_INTERFACE_DATA);
    const Row rows[] = {
        {"the misc interface", misc, &kMisc, 0, size, ERROR_SUCCESS},
        {"past the misc interface", misc, &kMisc, 1, size, ERROR_NO_MORE_ITEMS},
        {"far past it", misc, &kMisc, 0xFFFFFFFF, size, ERROR_NO_MORE_ITEMS},
        {"the present battery", batteries, &GUID_DEVICE_BATTERY, 0, size, ERROR_SUCCESS},
        {"the absent battery, present only", batteries, &GUID_DEVICE_BATTERY, 1, size, ERROR_NO_MORE_ITEMS},
        {"the absent battery, all listed", listed, &GUID_DEVICE_BATTERY, 1, size, ERROR_SUCCESS},
        {"another class than the set's", misc, &GUID_DEVICE_BATTERY, 0, size, ERROR_NO_MORE_ITEMS},
        {"a set of devices, not interfaces", devices, &kMisc, 0, size, ERROR_NO_MORE_ITEMS},
        {"no class", misc, nullptr, 0, size, ERROR_INVALID_PARAMETER},
        {"cbSize 0", misc, &kMisc, 0, 0, ERROR_INVALID_USER_BUFFER},
        {"cbSize one short", misc, &kMisc, 0, size - 1, ERROR_INVALID_USER_BUFFER},
        {"cbSize one over", misc, &kMisc, 0, size + 1, ERROR_INVALID_USER_BUFFER},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SP_DEVICE_INTERFACE_DATA data;
        memset(&data, kUntouched, sizeof data);
        data.cbSize = row.cbSize;
        SetLastError(kSentinel);
        const BOOL ok = SetupDiEnumDeviceInterfaces(row.set, nullptr, row.cls, row.index, &data);
        if (row.error == ERROR_SUCCESS) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(GetLastError(), kSentinel);
            EXPECT_TRUE(data.InterfaceClassGuid == *row.cls);
            EXPECT_EQ(data.Flags, (DWORD)SPINT_ACTIVE);
            TakeTrace();
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), row.error);
            EXPECT_EQ(data.Flags, 0xA5A5A5A5u) << "a failed call wrote its record";
            ExpectTracedFailure("SetupDiEnumDeviceInterfaces", row.error);
        }
    }
    // No record to fill at all.
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(misc, nullptr, &kMisc, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    // A device record narrows the list to that device's interfaces, and
    // its size is checked as well.
    SP_DEVINFO_DATA device = {sizeof device, {}, 1, 0};
    SP_DEVICE_INTERFACE_DATA data = {sizeof data, {}, 0, 0};
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(misc, &device, &kMisc, 0, &data));
    device.DevInst = 2;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(misc, &device, &kMisc, 0, &data));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
    device.cbSize = sizeof device - 1;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(misc, &device, &kMisc, 0, &data));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);

    for (HDEVINFO set : {misc, batteries, listed, devices}) EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(ConformanceTest, ClassDevsNeedAClassUnlessAllClassesAreAsked) {
    SetLastError(kSentinel);
    EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, kInterfaceFlags), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    ExpectTracedFailure("SetupDiGetClassDevsW", ERROR_INVALID_PARAMETER);
    HDEVINFO all = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    ASSERT_NE(all, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(all));
}

// The detail record's size is asked first, then the record is filled; the
// required size is the path's, terminator included, behind the cbSize.
TEST_F(ConformanceTest, InterfaceDetailReportsItsSizeAndChecksEveryRecord) {
    HDEVINFO set = OpenSet(kMisc);
    SP_DEVICE_INTERFACE_DATA data = Interface(set, kMisc, 0);
    ASSERT_EQ(data.cbSize, sizeof data);
    const std::wstring path = hosted::MiscDevicePath();
    const DWORD needed = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                 (path.size() + 1) * sizeof(WCHAR));
    std::vector<BYTE> buffer(needed + 16);
    auto *detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_W)buffer.data();
    const DWORD detailSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);

    struct Row {
        const char *name;
        DWORD interfaceCbSize;  // of the interface record passed in
        bool withDetail;
        DWORD detailCbSize;
        DWORD bufferSize;
        DWORD deviceCbSize;  // 0: no device record
        DWORD error;
        bool reportsRequired;  // RequiredSize is written
    };
    const Row rows[] = {
        {"the size alone", sizeof data, false, 0, 0, 0, ERROR_INSUFFICIENT_BUFFER, true},
        {"a buffer one byte short", sizeof data, true, detailSize, needed - 1, 0, ERROR_INSUFFICIENT_BUFFER, true},
        {"a buffer of the record alone", sizeof data, true, detailSize, detailSize, 0, ERROR_INSUFFICIENT_BUFFER, true},
        {"no buffer but a size", sizeof data, false, 0, needed, 0, ERROR_INVALID_USER_BUFFER, false},
        {"detail cbSize 0", sizeof data, true, 0, needed, 0, ERROR_INVALID_USER_BUFFER, false},
        {"detail cbSize of the whole buffer", sizeof data, true, needed, needed, 0, ERROR_INVALID_USER_BUFFER, false},
        {"interface cbSize one short", sizeof data - 1, true, detailSize, needed, 0, ERROR_INVALID_PARAMETER, false},
        {"device cbSize one short", sizeof data, true, detailSize, needed, sizeof(SP_DEVINFO_DATA) - 1,
         ERROR_INVALID_USER_BUFFER, false},
        {"the exact size", sizeof data, true, detailSize, needed, sizeof(SP_DEVINFO_DATA), ERROR_SUCCESS, true},
        {"more than enough", sizeof data, true, detailSize, needed + 16, 0, ERROR_SUCCESS, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        memset(buffer.data(), kUntouched, buffer.size());
        detail->cbSize = row.detailCbSize;
        SP_DEVICE_INTERFACE_DATA in = data;
        in.cbSize = row.interfaceCbSize;
        SP_DEVINFO_DATA device;
        memset(&device, kUntouched, sizeof device);
        device.cbSize = row.deviceCbSize;
        DWORD required = 0x12345678;
        SetLastError(kSentinel);
        const BOOL ok = SetupDiGetDeviceInterfaceDetailW(set, &in, row.withDetail ? detail : nullptr,
                                                         row.bufferSize, &required,
                                                         row.deviceCbSize ? &device : nullptr);
        EXPECT_EQ(required, row.reportsRequired ? needed : 0x12345678u);
        if (row.error == ERROR_SUCCESS) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(GetLastError(), kSentinel);
            EXPECT_EQ(std::wstring(detail->DevicePath), path);
            if (row.deviceCbSize) {
                EXPECT_EQ(device.DevInst, 1u);
            }
            TakeTrace();
            continue;
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), row.error);
        EXPECT_EQ(buffer[offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)], kUntouched)
            << "a failed call wrote the path";
        EXPECT_EQ(device.DevInst, 0xA5A5A5A5u) << "a failed call wrote the device record";
        ExpectTracedFailure("SetupDiGetDeviceInterfaceDetailW", row.error);
    }
    // An interface record that the set never handed out names no interface.
    SP_DEVICE_INTERFACE_DATA made_up = data;
    made_up.Reserved = 0x777;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &made_up, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

// ---------------------------------------------------------------------------
// The driver key and its one value.

TEST_F(ConformanceTest, DriverKeyOpensForTheMiscDeviceOnly) {
    HDEVINFO set = OpenSet(kMisc);
    struct Row {
        const char *name;
        DWORD cbSize, devInst, scope, keyType;
        DWORD error;
    };
    const DWORD size = sizeof(SP_DEVINFO_DATA);
    const Row rows[] = {
        {"the misc device's driver key", size, 1, DICS_FLAG_GLOBAL, DIREG_DRV, ERROR_SUCCESS},
        {"its hardware key", size, 1, DICS_FLAG_GLOBAL, DIREG_DEV, ERROR_KEY_DOES_NOT_EXIST},
        {"a battery's driver key", size, 0x100, DICS_FLAG_GLOBAL, DIREG_DRV, ERROR_KEY_DOES_NOT_EXIST},
        {"cbSize one short", size - 1, 1, DICS_FLAG_GLOBAL, DIREG_DRV, ERROR_INVALID_PARAMETER},
        {"no such scope", size, 1, 4, DIREG_DRV, ERROR_INVALID_PARAMETER},
        {"no such key type", size, 1, DICS_FLAG_GLOBAL, 3, ERROR_INVALID_PARAMETER},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SP_DEVINFO_DATA device = {row.cbSize, {}, row.devInst, 0};
        SetLastError(kSentinel);
        HKEY key = SetupDiOpenDevRegKey(set, &device, row.scope, 0, row.keyType, KEY_READ);
        if (row.error == ERROR_SUCCESS) {
            ASSERT_NE(key, (HKEY)INVALID_HANDLE_VALUE);
            EXPECT_EQ(RegCloseKey(key), (LSTATUS)ERROR_SUCCESS);
            EXPECT_EQ(RegCloseKey(key), (LSTATUS)ERROR_INVALID_HANDLE) << "closed twice";
            TakeTrace();
        } else {
            EXPECT_EQ(key, (HKEY)INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), row.error);
            ExpectTracedFailure("SetupDiOpenDevRegKey", row.error);
        }
    }
    SetLastError(kSentinel);
    EXPECT_EQ(SetupDiOpenDevRegKey(set, nullptr, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ),
              (HKEY)INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

// RegQueryValueExW answers with a status of its own and leaves the thread's
// last error alone; the size is in bytes, the terminator included.
TEST_F(ConformanceTest, QueryValueReportsSizesAndStatuses) {
    HDEVINFO set = OpenSet(kMisc);
    SP_DEVINFO_DATA device = {sizeof device, {}, 1, 0};
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    ASSERT_NE(key, (HKEY)INVALID_HANDLE_VALUE);
    const DWORD bytes = sizeof L"1.0.9.0";  // the default machine's version, terminated
    DWORD reserved = 0;
    struct Row {
        const char *name;
        HKEY key;
        const wchar_t *value;
        DWORD *reserved;
        bool withData;
        DWORD size;  // in *lpcbData
        LSTATUS status;
        DWORD sizeAfter;
    };
    const Row rows[] = {
        {"the value", key, L"DriverVersion", nullptr, true, 64, ERROR_SUCCESS, bytes},
        {"exactly its size", key, L"DriverVersion", nullptr, true, bytes, ERROR_SUCCESS, bytes},
        {"one byte short", key, L"DriverVersion", nullptr, true, bytes - 1, ERROR_MORE_DATA, bytes},
        {"the size alone", key, L"DriverVersion", nullptr, false, 0, ERROR_SUCCESS, bytes},
        {"no such value", key, L"Version", nullptr, true, 64, ERROR_FILE_NOT_FOUND, 64},
        {"reserved set", key, L"DriverVersion", &reserved, true, 64, ERROR_INVALID_PARAMETER, 64},
        {"a set's handle", (HKEY)set, L"DriverVersion", nullptr, true, 64, ERROR_INVALID_HANDLE, 64},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        BYTE data[64];
        memset(data, kUntouched, sizeof data);
        DWORD size = row.size, type = 0x55;
        SetLastError(kSentinel);
        EXPECT_EQ(RegQueryValueExW(row.key, row.value, row.reserved, &type, row.withData ? data : nullptr,
                                   &size),
                  row.status);
        EXPECT_EQ(GetLastError(), kSentinel);
        EXPECT_EQ(size, row.sizeAfter);
        if (row.status == ERROR_SUCCESS && row.withData) {
            EXPECT_EQ(std::wstring((const wchar_t *)data), L"1.0.9.0");
        } else if (row.status != ERROR_MORE_DATA) {  // with it, Windows leaves the buffer undefined
            EXPECT_EQ(data[0], kUntouched) << "data written on a failure";
        }
    }
    EXPECT_EQ(RegCloseKey(key), (LSTATUS)ERROR_SUCCESS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

// ---------------------------------------------------------------------------
// Device handles: a closed one is refused, and leaves the count alone.

TEST_F(ConformanceTest, ClosedDeviceHandlesAreRefused) {
    HANDLE device = CreateFileW(hosted::MiscDevicePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    BYTE out[MISC_MODEL_RECORD_SIZE];
    DWORD count = 0;
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_MISC_GET_MODEL_NUMBER, nullptr, 0, out, sizeof out, &count,
                                nullptr));
    EXPECT_EQ(count, (DWORD)MISC_MODEL_RECORD_SIZE);
    ASSERT_TRUE(CloseHandle(device));
    TakeTrace();

    memset(out, kUntouched, sizeof out);
    count = 0x12345678;
    SetLastError(kSentinel);
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_MISC_GET_MODEL_NUMBER, nullptr, 0, out, sizeof out, &count,
                                 nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(count, 0x12345678u);
    EXPECT_EQ(out[0], kUntouched);
    Trace io = Events(TakeTrace(), "device_io");
    ASSERT_EQ(io.size(), 1u);
    EXPECT_EQ(io[0]["device"], "invalid");
    EXPECT_EQ(io[0]["last_error"], ERROR_INVALID_HANDLE);
    SetLastError(kSentinel);
    EXPECT_FALSE(CloseHandle(device));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace unit
