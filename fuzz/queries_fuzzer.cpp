// The misc packet replies of the program's queries: GetSupportCode,
// GetBatterySlotStatus and GetBatteryIdentity (manufacture date, then
// part number). The driver object opens the simulated driver in clear
// mode; a hook answers every capsule with a reply built from fuzz data,
// mostly a well-formed capsule around a fuzz packet, so that the status
// bytes, the busy retry, the dates and the part numbers are reached.
#include "battery.h"
#include "fuzz_support.h"

using namespace MiscCommon;

namespace {

struct Exchange {
    FuzzedDataProvider *fdp;
    uint32_t calls;
    BYTE last_packet[64];  // the packet of the last reply, as delivered
    uint32_t last_packet_size;
};

sim::MiscDeviceReply Hook(void *context, uint32_t code, const uint8_t *in, uint32_t in_size,
                          uint8_t *out, uint32_t out_capacity) {
    Exchange &x = *(Exchange *)context;
    FuzzedDataProvider &fdp = *x.fdp;
    x.calls++;
    FUZZ_CHECK(code == IOCTL_MISC_CAPSULE && in_size >= 12 + 24);
    // The record's output size is the packet size the query expects.
    const uint32_t packetSize = ReadLe32(in + 12 + 16);
    FUZZ_CHECK(packetSize <= sizeof x.last_packet);
    x.last_packet_size = 0;
    if (fdp.ConsumeIntegral<uint8_t>() < 16)
        return sim::MiscDeviceReply{fdp.ConsumeBool(), fuzz::ConsumeLastError(fdp),
                                    fuzz::ConsumeReplyCapsule(fdp, out, out_capacity, packetSize,
                                                              nullptr)};
    // A well-formed reply: status, then data bytes; the header sizes tell
    // the truth about the packet.
    BYTE packet[64];
    memset(packet, 0, sizeof packet);
    const uint8_t kStatuses[] = {0, 0, 0, 2, 4, 1, 0x81, 0xFF};
    packet[0] = kStatuses[fdp.ConsumeIntegral<uint8_t>() % 8];
    fuzz::ConsumeInto(fdp, packet + 1, packetSize - 1);
    const uint32_t n = MiscCapsuleSize(packetSize);
    FUZZ_CHECK(n <= out_capacity);
    WriteLe32(out, packetSize);
    WriteLe32(out + 4, n);
    memcpy(out + 12, packet, packetSize);
    memcpy(x.last_packet, packet, packetSize);
    x.last_packet_size = packetSize;
    return sim::MiscDeviceReply{true, 0, n};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::UseMachine(false);
    if (g_MiscCommon.OpenDriver() != MISC_RESULT_SUCCESS ||
        g_MiscCommon._Initialize() != MISC_RESULT_SUCCESS ||
        fuzz::Access::_bSecureSession(g_MiscCommon) != 0)
        fuzz::Fail("no clear-mode driver");
    g_bDriverReady = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    Exchange x = {};
    x.fdp = &fdp;
    fuzz::CHeapWatch watch;
    hosted::SetMiscDeviceHook(Hook, &x);
    const uint32_t sleepsBefore = fuzz::g_sleeps;

    switch (fdp.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: {
        BYTE status = 0xA5, code = 0xA5;
        const DWORD result = GetSupportCode(&status, &code);
        FUZZ_CHECK(x.calls >= 1 && x.calls <= 2);
        if (result != MISC_RESULT_SUCCESS) FUZZ_CHECK(status == 0xA5 && code == 0xA5);
        else if (status != 0) FUZZ_CHECK(code == 0xA5);
        if (result == MISC_RESULT_SUCCESS && x.last_packet_size == 9) {
            FUZZ_CHECK(status == x.last_packet[0]);
            if (status == 0) FUZZ_CHECK(code == x.last_packet[8]);
        }
        break;
    }
    case 1: {
        BYTE status = 0xA5;
        WORD slot = 0xA5A5;
        const DWORD result = GetBatterySlotStatus(&status, &slot);
        FUZZ_CHECK(x.calls >= 1 && x.calls <= 2);
        if (result != MISC_RESULT_SUCCESS) FUZZ_CHECK(status == 0xA5 && slot == 0xA5A5);
        else if (status != 0) FUZZ_CHECK(slot == 0xA5A5);
        if (result == MISC_RESULT_SUCCESS && x.last_packet_size == 10) {
            FUZZ_CHECK(status == x.last_packet[0]);
            if (status == 0) FUZZ_CHECK(slot == ReadLe16(x.last_packet + 8));
        }
        const WORD count = BatteryCountFromSlotWord(slot);
        FUZZ_CHECK(count == 1 || count == 2);
        break;
    }
    default: {
        g_wBatteryCount = fdp.ConsumeIntegralInRange<WORD>(0, 3);
        const WORD index = fdp.ConsumeIntegralInRange<WORD>(0, 3);
        // The caller's buffers, exactly as large as the interface says.
        std::vector<char> part(BATTERY_TEXT_BYTES, 'P'), dateText(BATTERY_TEXT_BYTES, 'D');
        DWORD date = 0xA5A5A5A5;
        const BOOL ok = GetBatteryIdentity(index, part.data(), &date, dateText.data());
        FUZZ_CHECK(x.calls <= 4);
        if (index >= g_wBatteryCount) FUZZ_CHECK(!ok && x.calls == 0);
        const bool untouched = part[0] == 'P' && dateText[0] == 'D' && date == 0xA5A5A5A5;
        if (!ok || untouched) {
            for (char c : part) FUZZ_CHECK(c == 'P');
            for (char c : dateText) FUZZ_CHECK(c == 'D');
            FUZZ_CHECK(date == 0xA5A5A5A5);
        } else {
            // A part number of at most 12 bytes and an eight-digit date.
            FUZZ_CHECK(memchr(part.data(), 0, 13) != nullptr);
            FUZZ_CHECK(strlen(dateText.data()) == 8);
            for (int i = 0; i < 8; i++) FUZZ_CHECK(dateText[i] >= '0' && dateText[i] <= '9');
            FUZZ_CHECK(date / 10000 >= 1980 && date / 10000 <= 2107);
            if (x.last_packet_size == 22) {
                char expected[13] = {};
                memcpy(expected, x.last_packet + 8, 12);
                FUZZ_CHECK(strcmp(part.data(), expected) == 0);
            }
        }
        break;
    }
    }

    // At most one pause per request, and only before a second exchange.
    FUZZ_CHECK(fuzz::g_sleeps - sleepsBefore <= x.calls / 2);
    hosted::SetMiscDeviceHook(nullptr, nullptr);
    watch.Check();
    return 0;
}
