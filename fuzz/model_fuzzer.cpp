// The 128-byte model record, read by GetModelNumber: a hook answers the
// model request with fuzz bytes (any count, any length byte, success or
// failure), and the caller's buffer has exactly the capacity it offers.
#include "fuzz_support.h"

using namespace MiscCommon;

namespace {

CMiscCommon *g_misc = nullptr;

struct Exchange {
    FuzzedDataProvider *fdp;
    uint32_t calls;
    uint8_t record[MISC_MODEL_RECORD_SIZE];
    uint32_t bytes;
    bool result;
};

sim::MiscDeviceReply Hook(void *context, uint32_t code, const uint8_t *, uint32_t in_size,
                          uint8_t *out, uint32_t out_capacity) {
    Exchange &x = *(Exchange *)context;
    FuzzedDataProvider &fdp = *x.fdp;
    x.calls++;
    FUZZ_CHECK(code == IOCTL_MISC_GET_MODEL_NUMBER && in_size == 0);
    x.result = fdp.ConsumeBool();
    const uint32_t error = fuzz::ConsumeLastError(fdp);
    x.bytes = fuzz::ConsumeReplySize(fdp, MISC_MODEL_RECORD_SIZE, out_capacity);
    // The length byte is chosen on its own, the rest is fuzz bytes.
    const uint8_t kLengths[] = {0, 11, 12, 13, 15, 19, 20, 0xFF};
    const uint8_t length = kLengths[fdp.ConsumeIntegral<uint8_t>() % 8];
    fuzz::ConsumeInto(fdp, out, x.bytes);
    if (x.bytes > MISC_MODEL_LENGTH_OFFSET && fdp.ConsumeBool()) out[MISC_MODEL_LENGTH_OFFSET] = length;
    memset(x.record, 0, sizeof x.record);
    memcpy(x.record, out, x.bytes < MISC_MODEL_RECORD_SIZE ? x.bytes : MISC_MODEL_RECORD_SIZE);
    return sim::MiscDeviceReply{x.result, error, x.bytes};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::UseMachine(false);
    g_misc = new CMiscCommon();
    if (g_misc->OpenDriver() != MISC_RESULT_SUCCESS) fuzz::Fail("cannot open the simulated driver");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    Exchange x = {};
    x.fdp = &fdp;
    fuzz::CHeapWatch watch;
    hosted::SetMiscDeviceHook(Hook, &x);

    const DWORD capacity = fdp.ConsumeIntegralInRange<DWORD>(0, 300);
    std::vector<BYTE> buffer(capacity, 0xEE);
    DWORD inOut = capacity;
    const DWORD result = g_misc->GetModelNumber(capacity ? buffer.data() : nullptr, &inOut);

    FUZZ_CHECK(x.calls == 1);
    const uint32_t length = x.record[MISC_MODEL_LENGTH_OFFSET];
    const bool delivered = x.result && x.bytes == MISC_MODEL_RECORD_SIZE;
    if (result != MISC_RESULT_SUCCESS)
        for (DWORD i = 0; i < capacity; i++) FUZZ_CHECK(buffer[i] == 0xEE);
    if (!delivered) {
        FUZZ_CHECK(result == MISC_RESULT_FAILED && inOut == capacity);
    } else if (length != 0 && (length < 12 || length > 19)) {
        FUZZ_CHECK(result == MISC_RESULT_FAILED && inOut == capacity);
    } else {
        // The short form unless the long one exists and the buffer takes it.
        const bool longForm = length != 0 && capacity >= 20;
        const DWORD needed = longForm ? length : MISC_MODEL_SHORT_SIZE;
        if (capacity < needed) {
            FUZZ_CHECK(result == MISC_RESULT_INSUFFICIENT_BUFFER && inOut == needed);
        } else {
            FUZZ_CHECK(result == MISC_RESULT_SUCCESS && inOut == needed);
            const DWORD head = longForm ? 11 : MISC_MODEL_SHORT_SIZE;
            FUZZ_CHECK(memcmp(buffer.data(), x.record + MISC_MODEL_SHORT_OFFSET, head) == 0);
            FUZZ_CHECK(memcmp(buffer.data() + head, x.record + MISC_MODEL_TAIL_OFFSET, needed - head) == 0);
            for (DWORD i = needed; i < capacity; i++) FUZZ_CHECK(buffer[i] == 0xEE);
        }
    }

    hosted::SetMiscDeviceHook(nullptr, nullptr);
    watch.Check();
    return 0;
}
