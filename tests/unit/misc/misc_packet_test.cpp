// CallMiscFunction: the checks, the busy retry and the failures of the
// exchange.
#include <string.h>

#include <memory>

#include "support.h"

using namespace MiscCommon;

namespace unit {
namespace {

constexpr DWORD kCapsulePacket = 12 + 20;  // packet bytes in a clear request capsule

// The support-code request: Function 0x1A, InSize 8, OutSize 9.
struct Packet {
    BYTE bytes[9] = {0x1A, 2, 8, 0, 9, 0, 0, 0, 0};
};

// Each case gets a fresh object: the session mode is set once per object.
class MiscPacketTest : public HostedTest {
protected:
    CMiscCommon &Open(const std::string &machine, bool handshake = true) {
        _misc.reset();
        UseMachine(machine);
        _misc.reset(new CMiscCommon());
        OpenOn(*_misc, machine, handshake);
        return *_misc;
    }
    void TearDown() override {
        _misc.reset();
        HostedTest::TearDown();
    }
    std::unique_ptr<CMiscCommon> _misc;
};

// A clear reply capsule holding the given packet bytes.
sim::MiscDeviceReply ClearReply(const Bytes &packet, uint8_t *out, uint32_t capacity) {
    const uint32_t n = (uint32_t)packet.size();
    const uint32_t size = ((n - 1) & ~7u) + 24;
    if (size > capacity) return sim::MiscDeviceReply{false, ERROR_INSUFFICIENT_BUFFER, 0};
    memset(out, 0, size);
    out[0] = (uint8_t)n;
    out[4] = (uint8_t)size;
    memcpy(out + 12, packet.data(), n);
    return sim::MiscDeviceReply{true, 0, size};
}

TEST_F(MiscPacketTest, ClosedGateTouchesNothing) {
    CMiscCommon &misc = Open(MachineWith(R"("driver_version": "1.0.7.0")"), false);
    Packet p;
    const Packet before;
    EXPECT_EQ(misc.CallMiscFunction(p.bytes, sizeof p.bytes), MISC_RESULT_UNSUPPORTED_VERSION);
    EXPECT_EQ(memcmp(p.bytes, before.bytes, sizeof p.bytes), 0);
    EXPECT_EQ(ErrorText(misc), "stale");
    EXPECT_TRUE(Events(TakeTrace(), "device_io").empty());
}

TEST_F(MiscPacketTest, ChecksInOrderBeforeAnythingIsSent) {
    CMiscCommon &misc = Open(MachineWith(""));
    Packet p;
    BYTE inTooLarge[9] = {0x1A, 2, 10, 0, 9, 0, 0, 0, 0};
    BYTE outTooLarge[9] = {0x1A, 2, 8, 0, 10, 0, 0, 0, 0};
    const char *exceeds =
        "MiscCommon::CMiscCommon::CallMiscFunction: InSize or OutSize exceeds sizePacket";
    const char *shortPacket =
        "MiscCommon::CMiscCommon::CallMiscFunction: sizePacket is smaller than the packet header";
    const struct {
        const char *name;
        BYTE *packet;
        DWORD size;
        DWORD result;
        const char *text;
    } open[] = {
        {"no packet", nullptr, 9, MISC_RESULT_INVALID_ARGUMENT,
         "MiscCommon::CMiscCommon::CallMiscFunction: pPacket is NULL"},
        {"no packet, size 0", nullptr, 0, MISC_RESULT_INVALID_ARGUMENT,
         "MiscCommon::CMiscCommon::CallMiscFunction: pPacket is NULL"},
        {"size 0", p.bytes, 0, MISC_RESULT_INVALID_ARGUMENT,
         "MiscCommon::CMiscCommon::CallMiscFunction: sizePacket is '0'"},
        {"InSize above sizePacket", inTooLarge, 9, MISC_RESULT_INVALID_ARGUMENT, exceeds},
        {"OutSize above sizePacket", outTooLarge, 9, MISC_RESULT_INVALID_ARGUMENT, exceeds},
        {"size 1", p.bytes, 1, MISC_RESULT_INVALID_ARGUMENT, shortPacket},
        {"size 7", p.bytes, 7, MISC_RESULT_INVALID_ARGUMENT, shortPacket},
        // The header alone, with the support request's OutSize of 9 past it.
        {"size 8", p.bytes, 8, MISC_RESULT_INVALID_ARGUMENT, exceeds},
    };
    for (const auto &row : open) {
        SCOPED_TRACE(row.name);
        SetErrorText(misc, L"stale");
        const uint64_t allocations = hosted::AllocationCount();
        EXPECT_EQ(misc.CallMiscFunction(row.packet, row.size), row.result);
        EXPECT_EQ(ErrorText(misc), row.text);
        EXPECT_EQ(hosted::AllocationCount(), allocations);
    }
    // The handle comes before the packet.
    misc.CloseDriver();
    EXPECT_EQ(misc.CallMiscFunction(nullptr, 0), MISC_RESULT_NOT_INITIALIZED);
    EXPECT_EQ(ErrorText(misc), "MiscCommon::CMiscCommon::CallMiscFunction: _hDevice is NULL");
    CMiscCommonAccess::_hDevice(misc) = nullptr;
    SetErrorText(misc, L"stale");
    EXPECT_EQ(misc.CallMiscFunction(nullptr, 0), MISC_RESULT_NOT_INITIALIZED);
    EXPECT_EQ(ErrorText(misc), "MiscCommon::CMiscCommon::CallMiscFunction: _hDevice is NULL");
    CMiscCommonAccess::_hDevice(misc) = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(DeviceIo(TakeTrace(), IOCTL_MISC_CAPSULE).empty());
}

struct StatusRow {
    const char *statuses;
    BYTE status;       // in the packet afterwards
    size_t exchanges;  // capsules sent
};

TEST_F(MiscPacketTest, BusyIsAskedOnceMore) {
    const StatusRow rows[] = {
        {"[4, 0]", MISC_STATUS_SUCCESS, 2},     {"[4, 4, 0]", MISC_STATUS_BUSY, 2},
        {"[2, 0]", MISC_STATUS_NOT_PRESENT, 1}, {"[1, 0]", 1, 1},
        {"0", MISC_STATUS_SUCCESS, 1},
    };
    for (bool secure : {false, true}) {
        for (const StatusRow &row : rows) {
            SCOPED_TRACE(std::string(secure ? "secure, " : "clear, ") + row.statuses);
            CMiscCommon &misc =
                Open(MachineWith(std::string("\"sessions\": ") + (secure ? "true" : "false") +
                                 ", \"support_status\": " + row.statuses));
            Packet p;
            SetLastError(kSentinel);
            EXPECT_EQ(misc.CallMiscFunction(p.bytes, sizeof p.bytes), MISC_RESULT_SUCCESS);
            EXPECT_EQ(p.bytes[0], row.status);
            EXPECT_EQ(p.bytes[8], 3);
            EXPECT_EQ(ErrorText(misc), "");  // cleared, whatever the status
            Trace trace = TakeTrace();
            EXPECT_EQ(DeviceIo(trace, IOCTL_MISC_CAPSULE).size(), row.exchanges);
            Trace sleeps = Events(trace, "sleep");
            ASSERT_EQ(sleeps.size(), row.exchanges - 1);
            if (!sleeps.empty()) {
                EXPECT_EQ(sleeps[0]["ms"], 100);
            }
            ExpectReleased(trace);
        }
    }
}

TEST_F(MiscPacketTest, RetrySendsTheRequestAsTheCallerBuiltIt) {
    CMiscCommon &misc = Open(MachineWith(""), false);
    CMiscCommonAccess::_bSecureSession(misc) = 0;
    int call = 0;
    DeviceHook hook([&](uint32_t code, const uint8_t *, uint32_t, uint8_t *out, uint32_t capacity) {
        if (code != IOCTL_MISC_CAPSULE) return sim::MiscDeviceReply{true, 0, 0};
        // The busy reply scribbles over the header; the second one is good.
        if (call++ == 0)
            return ClearReply({4, 0x77, 0xFF, 0xFF, 0x01, 0, 0x55, 0x55, 0x66}, out, capacity);
        return ClearReply({0, 2, 8, 0, 9, 0, 0, 0, 0x33}, out, capacity);
    });
    Packet p;
    EXPECT_EQ(misc.CallMiscFunction(p.bytes, sizeof p.bytes), MISC_RESULT_SUCCESS);
    EXPECT_EQ(Hex(p.bytes, sizeof p.bytes), "000208000900000033");
    Trace io = DeviceIo(TakeTrace(), IOCTL_MISC_CAPSULE);
    ASSERT_EQ(io.size(), 2u);
    const Bytes first = FromHex(io[0]["in"]), second = FromHex(io[1]["in"]);
    ASSERT_EQ(first.size(), second.size());
    EXPECT_EQ(Hex(&second[kCapsulePacket], 8), Hex(&first[kCapsulePacket], 8));
    EXPECT_EQ(Hex(&first[kCapsulePacket], 8), "1a02080009000000");
    EXPECT_EQ(Hex(&first[12], 4), "00000000");  // message identifiers 0 and 1
    EXPECT_EQ(Hex(&second[12], 4), "01000000");
}

TEST_F(MiscPacketTest, FailedExchangeIsReported) {
    const char *text = "MiscCommon::CMiscCommon::CallMiscFunction: DeviceIoControl failed.";
    {
        SCOPED_TRACE("first exchange");
        CMiscCommon &misc = Open(MachineWith(R"("faults": {"capsule": {"last_error": 31}})"));
        Packet p;
        SetLastError(kSentinel);
        EXPECT_EQ(misc.CallMiscFunction(p.bytes, sizeof p.bytes), MISC_RESULT_FAILED);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
        EXPECT_EQ(ErrorText(misc), text);
        Trace trace = TakeTrace();
        EXPECT_TRUE(Events(trace, "sleep").empty());
        ExpectReleased(trace);
    }
    {
        SCOPED_TRACE("second exchange");
        CMiscCommon &misc = Open(MachineWith(R"("support_status": [4, 0])"));
        int capsules = 0;
        DeviceHook hook([&](uint32_t code, const uint8_t *in, uint32_t inSize, uint8_t *out,
                            uint32_t capacity) {
            if (code == IOCTL_MISC_CAPSULE && capsules++ == 1)
                return sim::MiscDeviceReply{false, ERROR_GEN_FAILURE, 0};
            return DeviceHook::Simulated(code, in, inSize, out, capacity);
        });
        Packet p;
        SetLastError(kSentinel);
        EXPECT_EQ(misc.CallMiscFunction(p.bytes, sizeof p.bytes), MISC_RESULT_FAILED);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
        EXPECT_EQ(ErrorText(misc), text);
        Trace trace = TakeTrace();
        EXPECT_EQ(DeviceIo(trace, IOCTL_MISC_CAPSULE).size(), 2u);
        EXPECT_EQ(Events(trace, "sleep").size(), 1u);
        ExpectReleased(trace);
    }
}

TEST_F(MiscPacketTest, WorkingCopyThatCannotBeMade) {
    CMiscCommon &misc = Open(MachineWith(""));
    Packet p;
    hosted::SetFailingAllocation(1);
    SetLastError(kSentinel);
    EXPECT_EQ(misc.CallMiscFunction(p.bytes, sizeof p.bytes), MISC_RESULT_INSUFFICIENT_BUFFER);
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(ErrorText(misc), "MiscCommon::CMiscCommon::CallMiscFunction: HeapAlloc failed.");
    EXPECT_TRUE(DeviceIo(TakeTrace(), IOCTL_MISC_CAPSULE).empty());
}

}  // namespace
}  // namespace unit
