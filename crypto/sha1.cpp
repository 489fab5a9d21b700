// SHA-1 (FIPS 180-4) and HMAC-SHA1 (RFC 2104).
#include <string.h>

#include "sha1.h"

#include "byte_order.h"

namespace {

constexpr uint32_t SHA1_H0[SHA1_HASH_WORDS] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476,
                                               0xC3D2E1F0};
constexpr uint32_t SHA1_PAD_TARGET_BITS = 448;  // bit count mod 512 before the length
constexpr uint32_t SHA1_LENGTH_BYTES = 8;
constexpr uint32_t HMAC_INNER_XOR = 0x36;
constexpr uint32_t HMAC_OUTER_XOR = 0x5c;

inline uint32_t rotl(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

void sha1_init(sha1_context *context) {
    if (context == nullptr) return;
    context->bit_count[0] = 0;
    context->bit_count[1] = 0;
    for (uint32_t i = 0; i < SHA1_HASH_WORDS; i++) context->h[i] = SHA1_H0[i];
}

void sha1_transform(sha1_context *context, const uint8_t *block) {
    if (context == nullptr) return;
    uint32_t *w = context->w;
    for (size_t t = 0; t < SHA1_SCHEDULE_WORDS; t++) w[t] = ReadBe32(block + 4 * t);
    uint32_t a = context->h[0], b = context->h[1], c = context->h[2], d = context->h[3],
             e = context->h[4];
    for (uint32_t t = 0; t < 80; t++) {
        uint32_t wt;
        if (t < 16) {
            wt = w[t];
        } else {
            wt = rotl(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
            w[t & 15] = wt;
        }
        uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t temp = rotl(a, 5) + f + e + k + wt;
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = temp;
    }
    context->h[0] += a;
    context->h[1] += b;
    context->h[2] += c;
    context->h[3] += d;
    context->h[4] += e;
}

void sha1_update(sha1_context *context, const uint8_t *data, uint32_t length) {
    if (context == nullptr) return;
    uint32_t used = (context->bit_count[0] >> 3) % SHA1_BLOCK_SIZE;
    uint32_t low = context->bit_count[0];
    context->bit_count[0] = low + (length << 3);
    if (context->bit_count[0] < low) context->bit_count[1]++;
    context->bit_count[1] += length >> 29;

    if (used != 0) {
        uint32_t room = SHA1_BLOCK_SIZE - used;
        if (length < room) {
            memcpy(context->block + used, data, length);
            return;
        }
        memcpy(context->block + used, data, room);
        sha1_transform(context, context->block);
        data += room;
        length -= room;
    }
    while (length >= SHA1_BLOCK_SIZE) {
        sha1_transform(context, data);
        data += SHA1_BLOCK_SIZE;
        length -= SHA1_BLOCK_SIZE;
    }
    if (length != 0) memcpy(context->block, data, length);
}

void sha1_final(sha1_context *context) {
    if (context == nullptr) return;
    uint8_t length_field[SHA1_LENGTH_BYTES];
    WriteBe32(length_field, context->bit_count[1]);
    WriteBe32(length_field + 4, context->bit_count[0]);

    static const uint8_t MARKER = 0x80;
    static const uint8_t ZERO = 0x00;
    sha1_update(context, &MARKER, 1);
    while (context->bit_count[0] % 512 != SHA1_PAD_TARGET_BITS) sha1_update(context, &ZERO, 1);
    sha1_update(context, length_field, SHA1_LENGTH_BYTES);

    for (size_t i = 0; i < SHA1_HASH_WORDS; i++) WriteBe32(context->digest + 4 * i, context->h[i]);

    memset(context->block, 0, sizeof context->block);
    memset(context->h, 0, sizeof context->h);
    context->bit_count[0] = 0;
    context->bit_count[1] = 0;
    sha1_transform(context, context->block);
}

void sha1_result(const sha1_context *context, uint8_t *out) {
    if (context == nullptr) return;
    memcpy(out, context->digest, SHA1_DIGEST_SIZE);
}

void hmac_sha1(sha1_context *context, const uint8_t *key, uint32_t key_length, const uint8_t *data,
               uint32_t data_length, uint8_t *mac) {
    uint8_t inner_pad[SHA1_BLOCK_SIZE] = {};
    uint8_t outer_pad[SHA1_BLOCK_SIZE] = {};
    if (context == nullptr || key == nullptr || data == nullptr || mac == nullptr) return;

    if (key_length > SHA1_BLOCK_SIZE) {
        uint8_t key_digest[SHA1_DIGEST_SIZE];
        sha1_init(context);
        sha1_update(context, key, key_length);
        sha1_final(context);
        sha1_result(context, key_digest);
        memcpy(inner_pad, key_digest, SHA1_DIGEST_SIZE);
        memcpy(outer_pad, key_digest, SHA1_DIGEST_SIZE);
    } else {
        memcpy(inner_pad, key, key_length);
        memcpy(outer_pad, key, key_length);
    }
    for (uint32_t i = 0; i < SHA1_BLOCK_SIZE; i++) {
        inner_pad[i] ^= HMAC_INNER_XOR;
        outer_pad[i] ^= HMAC_OUTER_XOR;
    }

    uint8_t inner_digest[SHA1_DIGEST_SIZE];
    sha1_init(context);
    sha1_update(context, inner_pad, SHA1_BLOCK_SIZE);
    sha1_update(context, data, data_length);
    sha1_final(context);
    sha1_result(context, inner_digest);

    sha1_init(context);
    sha1_update(context, outer_pad, SHA1_BLOCK_SIZE);
    sha1_update(context, inner_digest, SHA1_DIGEST_SIZE);
    sha1_final(context);
    sha1_result(context, mac);

    sha1_init(context);
}
