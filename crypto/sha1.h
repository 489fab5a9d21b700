// SHA-1 and HMAC-SHA1.
//
// SHA-1 is the hash of FIPS 180-4, incremental, over a caller-owned
// context; HMAC-SHA1 is that of RFC 2104 (64-byte blocks, 20-byte MAC).
#pragma once

#include <stdint.h>

constexpr uint32_t SHA1_BLOCK_SIZE = 64;
constexpr uint32_t SHA1_DIGEST_SIZE = 20;
constexpr uint32_t SHA1_HASH_WORDS = 5;
constexpr uint32_t SHA1_SCHEDULE_WORDS = 16;

struct sha1_context {
    uint32_t h[SHA1_HASH_WORDS];        // chaining words H0 to H4
    uint32_t bit_count[2];              // message length in bits, low word first
    uint8_t block[SHA1_BLOCK_SIZE];     // the partial input block
    uint8_t digest[SHA1_DIGEST_SIZE];   // written by sha1_final, big-endian words
    uint32_t w[SHA1_SCHEDULE_WORDS];    // message schedule, a rolling window
};

// Every SHA-1 function does nothing for a null context; the other
// pointers are not checked.

// Starts a hash: bit count 0, the initial hash value.
void sha1_init(sha1_context *context);
// Absorbs length bytes.
void sha1_update(sha1_context *context, const uint8_t *data, uint32_t length);
// Pads, writes the digest, then clears the chaining value, the count and
// the block and compresses the cleared block once so that the schedule
// holds nothing of the message. sha1_init is needed before the next use.
void sha1_final(sha1_context *context);
// Copies the 20-byte digest to out.
void sha1_result(const sha1_context *context, uint8_t *out);
// Compresses one 64-byte block into h, using w.
void sha1_transform(sha1_context *context, const uint8_t *block);

// mac = HMAC-SHA1(key, data), 20 bytes, hashing with context, which is left
// freshly initialised. Keys longer than 64 bytes are replaced by their
// SHA-1 digest. Does nothing when any pointer is null.
void hmac_sha1(sha1_context *context, const uint8_t *key, uint32_t key_length, const uint8_t *data,
               uint32_t data_length, uint8_t *mac);
