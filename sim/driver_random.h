// The simulated misc driver's random bytes, as both of its hosts (the
// hosted platform layer and the kernel-mode test driver) draw them: SHA-1
// over a chained state, a counter and fresh entropy from the host. When
// the machine fixes the driver's exponent, the state is seeded with it and
// no entropy is mixed in, so that a run repeats byte for byte.
//
// Header-only and heap-free: the kernel-mode driver builds it freestanding.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "byte_order.h"
#include "misc_device.h"
#include "sha1.h"
#include "wipe.h"

namespace sim {

constexpr uint32_t kDriverEntropySize = 16;

// Fills out with kDriverEntropySize fresh bytes of the host.
typedef void (*EntropySource)(uint8_t *out);

struct DriverRandom {
    bool deterministic;
    uint8_t state[SHA1_DIGEST_SIZE];
    uint32_t counter;
    EntropySource entropy;
};

// Starts the generator for a device configuration.
inline void StartDriverRandom(DriverRandom *r, const MiscDeviceConfig &config, EntropySource entropy) {
    memset(r, 0, sizeof *r);
    r->entropy = entropy;
    if (!config.fixed_exponent) return;
    r->deterministic = true;
    WriteLe32Words(r->state, config.private_exponent, kExponentWords);
}

// A RandomSource over a DriverRandom (the context).
inline void FillDriverRandom(void *context, uint8_t *out, size_t size) {
    DriverRandom *r = (DriverRandom *)context;
    while (size) {
        sha1_context ctx;
        memset(&ctx, 0, sizeof ctx);
        sha1_init(&ctx);
        sha1_update(&ctx, r->state, sizeof r->state);
        uint8_t c[4];
        WriteLe32(c, r->counter);
        r->counter++;
        sha1_update(&ctx, c, sizeof c);
        if (!r->deterministic) {
            uint8_t entropy[kDriverEntropySize];
            r->entropy(entropy);
            sha1_update(&ctx, entropy, sizeof entropy);
            secure_wipe(entropy, sizeof entropy);
        }
        sha1_final(&ctx);
        uint8_t digest[SHA1_DIGEST_SIZE];
        sha1_result(&ctx, digest);
        secure_wipe(&ctx, sizeof ctx);
        const size_t n = size < sizeof digest ? size : sizeof digest;
        memcpy(out, digest, n);
        out += n;
        size -= n;
        if (!r->deterministic) memcpy(r->state, digest, sizeof r->state);
        secure_wipe(digest, sizeof digest);
    }
}

}  // namespace sim
