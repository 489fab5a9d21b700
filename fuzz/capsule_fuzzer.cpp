// The reply capsule, read by EncapsuledDeviceIoControl, and the misc
// packet around it, read by CallMiscFunction. The driver object opens the
// simulated driver and (with FUZZ_SECURE) sets up a real session with it
// once; from then on a hook answers every capsule request with fuzz bytes.
// In a session the hook enciphers the payload blocks it returns under the
// session key, so that the fuzz bytes are what the reader deciphers.
#include "fuzz_support.h"

using namespace MiscCommon;

namespace {

#ifndef FUZZ_SECURE
#define FUZZ_SECURE 0
#endif

CMiscCommon *g_misc = nullptr;

struct Exchange {
    FuzzedDataProvider *fdp;
    uint32_t expected_payload;  // what a faithful driver would return
    uint32_t calls;
    uint32_t advancing;  // calls that returned TRUE or delivered bytes
};

sim::MiscDeviceReply Hook(void *context, uint32_t code, const uint8_t *in, uint32_t in_size,
                          uint8_t *out, uint32_t out_capacity) {
    Exchange &x = *(Exchange *)context;
    FuzzedDataProvider &fdp = *x.fdp;
    x.calls++;
    FUZZ_CHECK(code == IOCTL_MISC_CAPSULE);
    // The request capsule is well formed whatever came back before.
    FUZZ_CHECK(in_size >= MISC_CAPSULE_OVERHEAD && in_size % 8 == 0);
    FUZZ_CHECK(ReadLe32(in + 4) == in_size);
    FUZZ_CHECK(MiscCapsuleSize(ReadLe32(in)) == in_size);
    const bool result = fdp.ConsumeBool();
    const uint32_t error = fuzz::ConsumeLastError(fdp);
    const BlowfishContext *cipher =
        fuzz::Access::_bSecureSession(*g_misc)
            ? (const BlowfishContext *)fuzz::Access::_pBlowfishContext(*g_misc)
            : nullptr;
    const uint32_t n = fuzz::ConsumeReplyCapsule(fdp, out, out_capacity, x.expected_payload, cipher);
    if (result || (error == ERROR_MORE_DATA && n > 0)) x.advancing++;
    return sim::MiscDeviceReply{result, error, n};
}

// The four misc packets of the program: function, InSize, OutSize.
struct Query {
    BYTE function;
    WORD in_size, out_size;
};
const Query kQueries[] = {{0x1A, 8, 9}, {0x93, 10, 10}, {0x42, 10, 14}, {0x45, 12, 22}};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::UseMachine(FUZZ_SECURE != 0);
    g_misc = new CMiscCommon();
    if (g_misc->OpenDriver() != MISC_RESULT_SUCCESS || g_misc->_Initialize() != MISC_RESULT_SUCCESS)
        fuzz::Fail("no session with the simulated driver");
    if ((fuzz::Access::_pBlowfishContext(*g_misc) != nullptr) != (FUZZ_SECURE != 0))
        fuzz::Fail("session state is not the one asked for");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    Exchange x = {&fdp, 0, 0, 0};
    fuzz::CHeapWatch watch;
    const DWORD idBefore = fuzz::Access::_dwNextMessageId(*g_misc);
    const uint32_t sleepsBefore = fuzz::g_sleeps, sleptBefore = fuzz::g_sleptMs;
    hosted::SetMiscDeviceHook(Hook, &x);

    const uint8_t mode = fdp.ConsumeIntegralInRange<uint8_t>(0, 4);
    if (mode < 4) {
        // One of the program's packets, through CallMiscFunction, in a
        // buffer of exactly the packet's size.
        const Query &q = kQueries[mode];
        std::vector<BYTE> packet(q.out_size, 0);
        packet[0] = q.function;
        packet[1] = MISC_FUNCTION_GROUP;
        WriteLe16(&packet[2], q.in_size);
        WriteLe16(&packet[4], q.out_size);
        if (q.in_size > 8) WriteLe16(&packet[8], fdp.ConsumeIntegral<uint8_t>() & 1);
        x.expected_payload = q.out_size;
        const DWORD result = g_misc->CallMiscFunction(packet.data(), q.out_size);
        FUZZ_CHECK(result == MISC_RESULT_SUCCESS || result == MISC_RESULT_FAILED);
        // A second exchange only after a busy reply and one pause.
        FUZZ_CHECK(x.calls >= 1 && x.calls <= 2);
        FUZZ_CHECK(fuzz::g_sleeps - sleepsBefore == x.calls - 1);
        FUZZ_CHECK(fuzz::g_sleptMs - sleptBefore == 100 * (x.calls - 1));
    } else {
        // Any buffer sizes the calling convention allows.
        const uint32_t inSize = fdp.ConsumeIntegralInRange<uint32_t>(0, 80);
        const uint32_t outSize = fdp.ConsumeIntegralInRange<uint32_t>(0, 80);
        std::vector<BYTE> in(inSize), out(outSize);
        for (BYTE &b : in) b = 0x5A;
        x.expected_payload = outSize;
        DWORD returned = 0xDEADBEEF;
        const BOOL ok = g_misc->EncapsuledDeviceIoControl(inSize ? in.data() : nullptr, inSize,
                                                          outSize ? out.data() : nullptr, outSize,
                                                          &returned);
        FUZZ_CHECK(x.calls == 1);
        FUZZ_CHECK(returned <= outSize);
        if (ok) FUZZ_CHECK(x.advancing == 1);
    }
    FUZZ_CHECK(fuzz::Access::_dwNextMessageId(*g_misc) - idBefore == x.advancing);

    hosted::SetMiscDeviceHook(nullptr, nullptr);
    watch.Check();
    return 0;
}
