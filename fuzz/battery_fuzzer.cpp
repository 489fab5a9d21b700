// The battery class replies, read by GetBatteryDesignCapacity: a hook
// answers the tag and information requests of the two battery
// interfaces with fuzz bytes. Every call must close the battery it opened.
#include "battery.h"
#include "battery_device.h"
#include "device_paths.h"
#include "fuzz_support.h"

using namespace MiscCommon;

namespace {

// The information reply must cover Capabilities and DesignedCapacity.
constexpr uint32_t kInformationCovered = BATTERY_DESIGNED_CAPACITY_OFFSET + 4;
constexpr uint32_t kInterfaces = 2;

struct Exchange {
    FuzzedDataProvider *fdp;
    int index;  // the interface asked, -1 before the first request
    uint32_t calls;
    uint32_t tag;
    bool information_delivered;
    uint8_t information[BATTERY_INFORMATION_SIZE];
};

sim::BatteryDeviceReply Hook(void *context, int index, uint32_t code, const uint8_t *in,
                          uint32_t in_size, uint8_t *out, uint32_t out_capacity) {
    Exchange &x = *(Exchange *)context;
    FuzzedDataProvider &fdp = *x.fdp;
    x.calls++;
    FUZZ_CHECK(x.index < 0 || x.index == index);
    x.index = index;
    const bool result = fdp.ConsumeIntegral<uint8_t>() >= 16;
    const uint32_t error = fuzz::ConsumeLastError(fdp);
    if (code == IOCTL_BATTERY_QUERY_TAG) {
        FUZZ_CHECK(x.calls == 1 && in_size == BATTERY_TAG_SIZE && out_capacity == BATTERY_TAG_SIZE);
        const uint32_t n = fuzz::ConsumeReplySize(fdp, BATTERY_TAG_SIZE, out_capacity);
        const uint8_t pick = fdp.ConsumeIntegral<uint8_t>();
        x.tag = pick < 32 ? 0 : pick < 64 ? 0xFFFFFFFFu : fdp.ConsumeIntegral<uint32_t>();
        uint8_t tag[BATTERY_TAG_SIZE];
        WriteLe32(tag, x.tag);
        memcpy(out, tag, n);
        return sim::BatteryDeviceReply{result, error, n};
    }
    FUZZ_CHECK(code == IOCTL_BATTERY_QUERY_INFORMATION && x.calls == 2);
    FUZZ_CHECK(in_size == BATTERY_QUERY_SIZE && out_capacity == BATTERY_INFORMATION_SIZE);
    FUZZ_CHECK(ReadLe32(in) == x.tag && ReadLe32(in + 4) == 0 && ReadLe32(in + 8) == 0);
    const uint32_t n = fuzz::ConsumeReplySize(fdp, BATTERY_INFORMATION_SIZE, out_capacity);
    fuzz::ConsumeInto(fdp, out, n);
    if (fdp.ConsumeBool()) out[3] &= 0xBF;  // BATTERY_CAPACITY_RELATIVE clear
    memcpy(x.information, out, BATTERY_INFORMATION_SIZE);
    x.information_delivered = result && n >= kInformationCovered;
    return sim::BatteryDeviceReply{result, error, n};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::UseMachine(false);
    g_bDriverReady = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    Exchange x = {};
    x.fdp = &fdp;
    x.index = -1;
    fuzz::CHeapWatch watch;
    hosted::SetBatteryDeviceHook(Hook, &x);

    g_wBatteryCount = fdp.ConsumeIntegralInRange<WORD>(1, 3);
    const WORD index = fdp.ConsumeIntegralInRange<WORD>(0, 3);
    DWORD capacity = 0xA5A5A5A5;
    const BOOL ok = GetBatteryDesignCapacity(index, &capacity);
    if (index >= g_wBatteryCount || index >= kInterfaces) FUZZ_CHECK(!ok && x.calls == 0);
    if (ok) {
        FUZZ_CHECK(x.tag != 0 && x.information_delivered);
        FUZZ_CHECK((ReadLe32(x.information) & 0x40000000u) == 0);
        FUZZ_CHECK(capacity == ReadLe32(x.information + 12));
    } else {
        FUZZ_CHECK(capacity == 0xA5A5A5A5);
    }
    hosted::SetBatteryDeviceHook(nullptr, nullptr);

    // The battery was closed again: an exclusive open succeeds.
    if (x.index >= 0) {
        const std::wstring path = hosted::BatteryDevicePath(x.index);
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        FUZZ_CHECK(h != INVALID_HANDLE_VALUE);
        CloseHandle(h);
    }
    watch.Check();
    return 0;
}
