// The hdrand generator: a SHA-1 pool seeded from the clock.
#include <string.h>

#include "byte_order.h"
#include "crypto_host.h"
#include "hdrand.h"
#include "sha1.h"

namespace {

constexpr uint32_t HDRAND_WORD_SIZE = 4;
constexpr uint32_t HDRAND_COUNTER_SIZE = 8;
constexpr uint32_t HDRAND_SEED_SIZE = HDRAND_COUNTER_SIZE + 2 * CRYPTO_TIME_FIELDS;  // then the time
constexpr uint32_t HDRAND_REHASH_FROM = 2;  // pool bytes 2 to 17 are re-hashed
constexpr uint32_t HDRAND_REHASH_BYTES = 16;

// Process-wide, all zero at start.
uint32_t hdrand_offset;
uint8_t hdrand_pool[HDRAND_POOL_SIZE];
sha1_context hdrand_sha;

void pool_from_hash(const uint8_t *data, uint32_t length) {
    sha1_init(&hdrand_sha);
    sha1_update(&hdrand_sha, data, length);
    sha1_final(&hdrand_sha);
    sha1_result(&hdrand_sha, hdrand_pool);
}

}  // namespace

bool hdrand_init() {
    crypto_clock_reading now;
    crypto_host_read_clock(&now);

    uint8_t seed[HDRAND_SEED_SIZE];
    uint64_t count = (uint64_t)now.counter;
    for (uint32_t i = 0; i < HDRAND_COUNTER_SIZE; i++) seed[i] = (uint8_t)(count >> (8 * i));
    for (size_t i = 0; i < CRYPTO_TIME_FIELDS; i++)
        WriteLe16(seed + HDRAND_COUNTER_SIZE + 2 * i, now.utc[i]);

    pool_from_hash(seed, HDRAND_SEED_SIZE);
    hdrand_offset = 0;
    return true;
}

int32_t hdrand_test() { return 1; }

uint32_t hdrand_next() {
    if (hdrand_offset + HDRAND_WORD_SIZE >= HDRAND_POOL_SIZE) hdrand_offset = 0;
    uint32_t r = ReadLe32(hdrand_pool + hdrand_offset);

    uint8_t input[HDRAND_REHASH_BYTES + HDRAND_WORD_SIZE];
    memcpy(input, hdrand_pool + HDRAND_REHASH_FROM, HDRAND_REHASH_BYTES);
    WriteLe32(input + HDRAND_REHASH_BYTES, hdrand_offset);
    pool_from_hash(input, sizeof input);

    hdrand_offset = (hdrand_offset + HDRAND_WORD_SIZE) % HDRAND_POOL_SIZE;
    return r;
}

uint32_t hdrand_state_offset() { return hdrand_offset; }

void hdrand_state_pool(uint8_t out[HDRAND_POOL_SIZE]) { memcpy(out, hdrand_pool, HDRAND_POOL_SIZE); }

void hdrand_state_clear() {
    hdrand_offset = 0;
    memset(hdrand_pool, 0, sizeof hdrand_pool);
    memset(&hdrand_sha, 0, sizeof hdrand_sha);
}
