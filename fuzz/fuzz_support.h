// Shared pieces of the fuzz targets: replies a hostile driver may give,
// the simulated notebooks the targets run on, and the checks every target
// makes after a call (no heap block left behind, no key material freed
// unwiped).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "battery_class.h"
#include "blowfish.h"
#include "byte_order.h"
#include "hosted.h"
#include "misc_common_access.h"
#include "misc_device.h"
#include "misc_driver.h"

namespace fuzz {

// CMiscCommon's state, as the fuzzers set it up and check it.
typedef MiscCommon::CMiscCommonAccess Access;

// Sizes of the key material blocks: the handshake work buffer and the
// session's Blowfish context.
constexpr uint32_t kWorkBufferSize = 264;
constexpr uint32_t kContextSize = MiscCommon::MISC_BLOWFISH_CONTEXT_SIZE;

// Pauses the product asked for (fuzz_sleep.cpp): how many, and their sum.
extern uint32_t g_sleeps;
extern uint32_t g_sleptMs;

[[noreturn]] inline void Fail(const char *what) {
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}
#define FUZZ_CHECK(condition)                                  \
    do {                                                       \
        if (!(condition)) ::fuzz::Fail(#condition " (" __FILE__ ")"); \
    } while (0)

// A last-error value a driver might report: the interesting ones often,
// any value sometimes.
inline uint32_t ConsumeLastError(FuzzedDataProvider &fdp) {
    static const uint32_t kErrors[] = {ERROR_SUCCESS,       ERROR_MORE_DATA,
                                       ERROR_NOT_SUPPORTED, ERROR_INSUFFICIENT_BUFFER,
                                       ERROR_GEN_FAILURE,   ERROR_INVALID_PARAMETER,
                                       ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY};
    const uint8_t pick = fdp.ConsumeIntegral<uint8_t>();
    if (pick < sizeof kErrors / sizeof kErrors[0]) return kErrors[pick];
    if (pick == 0xFF) return fdp.ConsumeIntegral<uint32_t>();
    return ERROR_SUCCESS;
}

// A byte count a driver might report for a reply that should have
// `expected` bytes: the boundaries around the header and the expected
// size often, anything up to the buffer sometimes. Never above capacity:
// the I/O manager cuts a longer reply to the buffer.
inline uint32_t ConsumeReplySize(FuzzedDataProvider &fdp, uint32_t expected, uint32_t capacity) {
    const uint32_t kBoundaries[] = {0, 1, 11, 12, 15, 16, 17, 23, 24};
    const uint8_t pick = fdp.ConsumeIntegral<uint8_t>();
    uint32_t n;
    if (pick < 9) n = kBoundaries[pick];
    else if (pick < 12) n = expected + pick - 10;  // expected - 1, expected, expected + 1
    else if (pick < 14) n = capacity;
    else if (pick < 128) n = expected;
    else n = fdp.ConsumeIntegralInRange<uint32_t>(0, capacity);
    return n < capacity ? n : capacity;
}

// A 32-bit size field of a reply that lies: near the true value, at the
// edges of the buffer, or anything.
inline uint32_t ConsumeSizeField(FuzzedDataProvider &fdp, uint32_t truth, uint32_t capacity) {
    const uint8_t pick = fdp.ConsumeIntegral<uint8_t>();
    switch (pick % 16) {
    case 0: return 0;
    case 1: return truth - 1;
    case 2: return truth + 1;
    case 3: return capacity;
    case 4: return capacity + 1;
    case 5: return capacity + 8;
    case 6: return 0xFFFFFFFFu;
    case 7: return 0x80000000u;
    case 8: return 0x7FFFFFFFu;
    case 9: return fdp.ConsumeIntegral<uint32_t>();
    case 10: return truth - 8;
    case 11: return truth + 8;
    default: return truth;
    }
}

// Copies up to n bytes of fuzz data into out; the rest of the n bytes
// stays as it was (the platform hands the hook a zeroed buffer).
inline void ConsumeInto(FuzzedDataProvider &fdp, uint8_t *out, uint32_t n) {
    std::vector<uint8_t> bytes = fdp.ConsumeBytes<uint8_t>(n);
    if (!bytes.empty()) memcpy(out, bytes.data(), bytes.size());
}

// A reply capsule from fuzz data, as a driver would write it into the
// caller's buffer of out_capacity bytes: either a consistent header with
// lying deltas, or a raw one. With a cipher the payload blocks that lie
// within the returned bytes are enciphered, so that the reader deciphers
// them back to the fuzz bytes. Returns the byte count.
inline uint32_t ConsumeReplyCapsule(FuzzedDataProvider &fdp, uint8_t *out, uint32_t out_capacity,
                                    uint32_t expected_payload, const BlowfishContext *cipher) {
    const uint32_t payload = fdp.ConsumeBool() ? expected_payload
                                               : fdp.ConsumeIntegralInRange<uint32_t>(0, 64);
    const uint32_t n = ConsumeReplySize(fdp, MiscCapsuleSize(payload), out_capacity);
    uint8_t header[MISC_CAPSULE_HEADER_SIZE];
    if (fdp.ConsumeBool()) {
        WriteLe32(header, ConsumeSizeField(fdp, payload, out_capacity));
        WriteLe32(header + 4, ConsumeSizeField(fdp, MiscCapsuleSize(payload), out_capacity));
        WriteLe32(header + 8, fdp.ConsumeIntegral<uint32_t>());
    } else {
        memset(header, 0, sizeof header);
        ConsumeInto(fdp, header, sizeof header);
    }
    memcpy(out, header, n < MISC_CAPSULE_HEADER_SIZE ? n : MISC_CAPSULE_HEADER_SIZE);
    if (n > MISC_CAPSULE_HEADER_SIZE) ConsumeInto(fdp, out + MISC_CAPSULE_HEADER_SIZE, n - MISC_CAPSULE_HEADER_SIZE);
    if (cipher) {
        for (uint32_t at = MISC_CAPSULE_HEADER_SIZE; at + 8 <= n; at += 8) {
            uint32_t left = ReadLe32(out + at), right = ReadLe32(out + at + 4);
            BlowfishEncipher(cipher, &left, &right);
            WriteLe32(out + at, left);
            WriteLe32(out + at + 4, right);
        }
    }
    return n;
}

// Notebooks the targets run on: a present misc driver (version 1.0.9,
// with or without sessions), a fixed clock, two battery interfaces.
inline std::string MachineText(bool sessions) {
    return std::string(R"({"clock": {"system_time": "2026-12-10T05:00:00.000Z", "performance_counter": 1234567},
 "misc_driver": {"driver_version": "1.0.9.0", "model": "HT-K60A", "sessions": )") +
           (sessions ? "true" : "false") +
           R"(, "private_exponent": "0123456789abcdef01234567", "slot_word": 5,
  "batteries": [{"part_number": "HT-QBLP21", "date": "2013-06-01"},
                {"part_number": "HT-QBLP23", "date": "2015-03-01"}]},
 "battery_class": [{"design_capacity": 46080}, {"design_capacity": 92160}]})";
}

inline void UseMachine(bool sessions) {
    std::string error;
    if (!hosted::UseMachineText(MachineText(sessions), &error)) {
        fprintf(stderr, "fuzz: machine: %s\n", error.c_str());
        abort();
    }
}

// Watches one call: the heap holds the same blocks afterwards, and no
// block of key material was freed with anything but zeros in it.
class CHeapWatch {
public:
    CHeapWatch() : _live(hosted::LiveHeapBlocks()) { hosted::TraceCaptureInMemory(true); }
    ~CHeapWatch() { hosted::TraceCaptureInMemory(false); }
    CHeapWatch(const CHeapWatch &) = delete;
    CHeapWatch &operator=(const CHeapWatch &) = delete;

    void Check(bool same_blocks = true) {
        if (same_blocks) FUZZ_CHECK(hosted::LiveHeapBlocks() == _live);
        for (const std::string &line : hosted::TakeTraceLines()) {
            if (line.find("\"event\":\"heap_free\"") == std::string::npos) continue;
            const bool key = line.find("\"size\":" + std::to_string(kWorkBufferSize) + ",") !=
                                 std::string::npos ||
                             line.find("\"size\":" + std::to_string(kContextSize) + ",") !=
                                 std::string::npos;
            if (key) FUZZ_CHECK(line.find("\"all_zero\":true") != std::string::npos);
        }
    }

private:
    size_t _live;
};

}  // namespace fuzz
