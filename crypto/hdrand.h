// The hdrand random generator: a 20-byte pool, seeded from the clock and
// the performance counter, re-hashed with SHA-1 (sha1.h) on every output
// word.
#pragma once

#include <stdint.h>

constexpr uint32_t HDRAND_POOL_SIZE = 20;

// Seeds the pool with SHA-1 of the performance counter (8 bytes) and the
// UTC system time (16 bytes), little-endian; the offset restarts at 0.
// Always true.
bool hdrand_init();
// Self-test hook: returns 1 (-1 would mean failure).
int32_t hdrand_test();
// The next word: pool bytes at the offset, little-endian; the pool then
// becomes SHA-1 of pool bytes 2 to 17 and the offset used.
uint32_t hdrand_next();

// The generator's state, for tests: the offset of the next word, a copy of
// the pool, and a return to the all-zero state that the process starts in.
uint32_t hdrand_state_offset();
void hdrand_state_pool(uint8_t out[HDRAND_POOL_SIZE]);
void hdrand_state_clear();
