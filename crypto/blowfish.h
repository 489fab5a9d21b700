// The Blowfish block cipher, one 64-bit block at a time.
//
// Two points differ from the published cipher, and the driver's copy
// matches them: only the first 16 key bytes count, and key bytes of 0x80
// and above are sign-extended when they are packed into the key words.
// Keys whose bytes are all below 0x80 and at most 16 bytes long give the
// published key schedule.
//
// A block is two 32-bit halves, enciphered in place; callers that hold
// blocks as bytes take left = bytes 0 to 3 and right = bytes 4 to 7, each
// little-endian.
#pragma once

#include <stdint.h>

constexpr uint32_t BLOWFISH_ROUNDS = 16;
constexpr uint32_t BLOWFISH_SUBKEYS = BLOWFISH_ROUNDS + 2;
constexpr uint32_t BLOWFISH_SBOXES = 4;
constexpr uint32_t BLOWFISH_SBOX_ENTRIES = 256;
constexpr uint32_t BLOWFISH_TABLE_WORDS = BLOWFISH_SUBKEYS + BLOWFISH_SBOXES * BLOWFISH_SBOX_ENTRIES;
constexpr uint32_t BLOWFISH_CONTEXT_SIZE = 4168;
constexpr uint32_t BLOWFISH_MAX_KEY_BYTES = 16;

struct BlowfishContext {
    uint32_t P[BLOWFISH_SUBKEYS];                        // P1 to P18
    uint32_t S[BLOWFISH_SBOXES][BLOWFISH_SBOX_ENTRIES];  // S1 to S4
};
static_assert(sizeof(BlowfishContext) == BLOWFISH_CONTEXT_SIZE, "BlowfishContext is 4168 bytes");
static_assert(BLOWFISH_TABLE_WORDS * sizeof(uint32_t) == BLOWFISH_CONTEXT_SIZE, "1042 words");

// The initial P array then S-boxes: the fractional hexadecimal digits of pi.
extern const uint32_t BLOWFISH_INITIAL_TABLES[BLOWFISH_TABLE_WORDS];

// Expands key (key_length bytes, cut to 16, used cyclically; the first byte
// fills every position when key_length is 0) into context. False only for
// a null context, with nothing written.
bool BlowfishInitialize(BlowfishContext *context, const uint8_t *key, uint32_t key_length);
// Enciphers the block (*left, *right) in place. False, with both halves
// unchanged, when a pointer is null.
bool BlowfishEncipher(const BlowfishContext *context, uint32_t *left, uint32_t *right);
// The inverse of BlowfishEncipher, with the same arguments and results.
bool BlowfishDecipher(const BlowfishContext *context, uint32_t *left, uint32_t *right);
