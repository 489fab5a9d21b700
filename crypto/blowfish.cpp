// Blowfish: 16-round Feistel network, key schedule with a 16-byte cap and
// sign-extended key bytes.
#include "blowfish.h"

const uint32_t BLOWFISH_INITIAL_TABLES[BLOWFISH_TABLE_WORDS] = {
#include "blowfish_tables.inc"
};

namespace {

uint32_t BlowfishF(const BlowfishContext *context, uint32_t x) {
    if (context == nullptr) return 0;
    uint32_t a = x >> 24, b = (x >> 16) & 0xFF, c = (x >> 8) & 0xFF, d = x & 0xFF;
    return ((context->S[0][a] + context->S[1][b]) ^ context->S[2][c]) + context->S[3][d];
}

void encipher_block(const BlowfishContext *context, uint32_t &left, uint32_t &right) {
    uint32_t l = left, r = right;
    for (uint32_t i = 0; i < BLOWFISH_ROUNDS; i++) {
        l ^= context->P[i];
        r ^= BlowfishF(context, l);
        uint32_t t = l;
        l = r;
        r = t;
    }
    // Undo the last swap, then whiten with P17 and P18.
    left = r ^ context->P[BLOWFISH_ROUNDS + 1];
    right = l ^ context->P[BLOWFISH_ROUNDS];
}

void decipher_block(const BlowfishContext *context, uint32_t &left, uint32_t &right) {
    uint32_t l = left, r = right;
    for (uint32_t i = BLOWFISH_ROUNDS + 1; i > 1; i--) {
        l ^= context->P[i];
        r ^= BlowfishF(context, l);
        uint32_t t = l;
        l = r;
        r = t;
    }
    left = r ^ context->P[0];
    right = l ^ context->P[1];
}

}  // namespace

bool BlowfishInitialize(BlowfishContext *context, const uint8_t *key, uint32_t key_length) {
    if (context == nullptr) return false;
    if (key_length > BLOWFISH_MAX_KEY_BYTES) key_length = BLOWFISH_MAX_KEY_BYTES;

    const uint32_t *initial = BLOWFISH_INITIAL_TABLES;
    for (uint32_t i = 0; i < BLOWFISH_SUBKEYS; i++) context->P[i] = *initial++;
    for (uint32_t s = 0; s < BLOWFISH_SBOXES; s++)
        for (uint32_t e = 0; e < BLOWFISH_SBOX_ENTRIES; e++) context->S[s][e] = *initial++;

    uint32_t j = 0;
    for (uint32_t i = 0; i < BLOWFISH_SUBKEYS; i++) {
        uint32_t d = 0;
        for (int k = 0; k < 4; k++) {
            // Sign extension: a byte of 0x80 or more sets the 24 bits above it.
            d = (d << 8) | (uint32_t)(int32_t)(int8_t)key[j];
            j++;
            if (j >= key_length) j = 0;
        }
        context->P[i] ^= d;
    }

    uint32_t l = 0, r = 0;
    for (uint32_t i = 0; i < BLOWFISH_SUBKEYS; i += 2) {
        encipher_block(context, l, r);
        context->P[i] = l;
        context->P[i + 1] = r;
    }
    for (uint32_t s = 0; s < BLOWFISH_SBOXES; s++) {
        for (uint32_t e = 0; e < BLOWFISH_SBOX_ENTRIES; e += 2) {
            encipher_block(context, l, r);
            context->S[s][e] = l;
            context->S[s][e + 1] = r;
        }
    }
    return true;
}

bool BlowfishEncipher(const BlowfishContext *context, uint32_t *left, uint32_t *right) {
    if (context == nullptr || left == nullptr || right == nullptr) return false;
    encipher_block(context, *left, *right);
    return true;
}

bool BlowfishDecipher(const BlowfishContext *context, uint32_t *left, uint32_t *right) {
    if (context == nullptr || left == nullptr || right == nullptr) return false;
    decipher_block(context, *left, *right);
    return true;
}
