// Blowfish: the initial tables against pi computed here, the published
// vectors, the 16-byte key cap and the sign-extended key bytes (OpenSSL's
// published-cipher schedule as the oracle), and the block operations.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <gmp.h>
#include <gtest/gtest.h>
#include <openssl/blowfish.h>

#include "blowfish.h"
#include "byte_order.h"
#include "test_support.h"

using namespace crypto_test;

namespace {

struct EcbVector {
    const char *key;
    const char *plain;
    const char *cipher;
};
const EcbVector PUBLISHED_VECTORS[] = {
#include "vectors/blowfish_ecb.inc"
};

// atan(1/x) * one, by its Taylor series.
void AtanInverse(mpz_t result, unsigned long x, const mpz_t one) {
    mpz_t power, term;
    mpz_init(power);
    mpz_init(term);
    mpz_tdiv_q_ui(power, one, x);
    mpz_set(result, power);
    for (unsigned long k = 1; mpz_sgn(power) != 0; k++) {
        mpz_tdiv_q_ui(power, power, x * x);
        mpz_tdiv_q_ui(term, power, 2 * k + 1);
        if (k % 2)
            mpz_sub(result, result, term);
        else
            mpz_add(result, result, term);
    }
    mpz_clear(power);
    mpz_clear(term);
}

// The first n 32-bit words of pi's fractional part, by Machin's formula
// pi = 16 atan(1/5) - 4 atan(1/239) in fixed point with 64 guard bits.
std::vector<uint32_t> PiFractionWords(size_t n) {
    const unsigned long guard = 64, fraction_bits = 32 * n;
    mpz_t one, a, b, pi;
    mpz_inits(one, a, b, pi, nullptr);
    mpz_ui_pow_ui(one, 2, fraction_bits + guard);
    AtanInverse(a, 5, one);
    AtanInverse(b, 239, one);
    mpz_mul_ui(pi, a, 16);
    mpz_submul_ui(pi, b, 4);
    mpz_tdiv_q_2exp(pi, pi, guard);
    mpz_tdiv_r_2exp(pi, pi, fraction_bits);  // drop the integer part, 3
    std::vector<uint32_t> words(n);
    size_t count = 0;
    mpz_export(words.data(), &count, 1, sizeof(uint32_t), 0, 0, pi);
    EXPECT_EQ(count, n);
    mpz_clears(one, a, b, pi, nullptr);
    return words;
}

// A published 8-byte block (halves big-endian) as the two halves that the
// system's callers pass: each half's four bytes reversed, read
// little-endian.
void ToHalves(const Bytes &published, uint32_t &left, uint32_t &right) {
    uint8_t block[8];
    for (int i = 0; i < 4; i++) {
        block[i] = published[3 - i];
        block[4 + i] = published[7 - i];
    }
    left = ReadLe32(block);
    right = ReadLe32(block + 4);
}

BlowfishContext Keyed(const Bytes &key, uint32_t length) {
    BlowfishContext ctx;
    EXPECT_TRUE(BlowfishInitialize(&ctx, key.data(), length));
    return ctx;
}
BlowfishContext Keyed(const Bytes &key) { return Keyed(key, (uint32_t)key.size()); }

bool SameSchedule(const BlowfishContext &a, const BlowfishContext &b) {
    for (uint32_t i = 0; i < BLOWFISH_SUBKEYS; i++)
        if (a.P[i] != b.P[i]) return false;
    for (uint32_t s = 0; s < BLOWFISH_SBOXES; s++)
        for (uint32_t e = 0; e < BLOWFISH_SBOX_ENTRIES; e++)
            if (a.S[s][e] != b.S[s][e]) return false;
    return true;
}

bool SameSchedule(const BlowfishContext &a, const BF_KEY &b) {
    for (uint32_t i = 0; i < BLOWFISH_SUBKEYS; i++)
        if (a.P[i] != b.P[i]) return false;
    for (uint32_t s = 0; s < BLOWFISH_SBOXES; s++)
        for (uint32_t e = 0; e < BLOWFISH_SBOX_ENTRIES; e++)
            if (a.S[s][e] != b.S[s * BLOWFISH_SBOX_ENTRIES + e]) return false;
    return true;
}

// The published cipher's schedule for the 72 key bytes that spell out the
// 18 key words this system derives from key: only the first 16 bytes
// used cyclically, each byte sign-extended as it is packed.
BF_KEY PublishedScheduleForOurKeyWords(const Bytes &key) {
    size_t length = std::min<size_t>(key.size(), BLOWFISH_MAX_KEY_BYTES);
    uint8_t words[4 * BLOWFISH_SUBKEYS];
    size_t j = 0;
    for (uint32_t i = 0; i < BLOWFISH_SUBKEYS; i++) {
        uint32_t d = 0;
        for (int k = 0; k < 4; k++) {
            int32_t byte = (int8_t)key[j];
            d = (d << 8) | (uint32_t)byte;
            if (++j >= length) j = 0;
        }
        for (int k = 0; k < 4; k++) words[4 * i + k] = (uint8_t)(d >> (24 - 8 * k));
    }
    BF_KEY schedule;
    BF_set_key(&schedule, sizeof words, words);
    return schedule;
}

TEST(Blowfish, InitialTablesAreTheHexDigitsOfPi) {
    std::vector<uint32_t> pi = PiFractionWords(BLOWFISH_TABLE_WORDS);
    ASSERT_EQ(pi[0], 0x243F6A88u);
    for (uint32_t i = 0; i < BLOWFISH_TABLE_WORDS; i++)
        ASSERT_EQ(BLOWFISH_INITIAL_TABLES[i], pi[i]) << "entry " << i;
}

TEST(Blowfish, PublishedVectors) {
    for (const auto &v : PUBLISHED_VECTORS) {
        SCOPED_TRACE(std::string("key ") + v.key + " plaintext " + v.plain);
        BlowfishContext ctx = Keyed(FromHex(v.key));
        uint32_t left, right, expected_left, expected_right;
        ToHalves(FromHex(v.plain), left, right);
        ToHalves(FromHex(v.cipher), expected_left, expected_right);
        uint32_t plain_left = left, plain_right = right;
        ASSERT_TRUE(BlowfishEncipher(&ctx, &left, &right));
        EXPECT_EQ(left, expected_left);
        EXPECT_EQ(right, expected_right);
        ASSERT_TRUE(BlowfishDecipher(&ctx, &left, &right));
        EXPECT_EQ(left, plain_left);
        EXPECT_EQ(right, plain_right);
    }
}

TEST(Blowfish, KeyBytesAreSignExtended) {
    // 01 80 02 03 packs as 0xFF800203, which is what the published cipher
    // makes of the key FF 80 02 03, and not what it makes of 01 80 02 03.
    const Bytes key = FromHex("01800203");
    BlowfishContext ctx = Keyed(key);
    BF_KEY published_ff, published_01;
    const Bytes ff = FromHex("FF800203");
    BF_set_key(&published_ff, 4, ff.data());
    BF_set_key(&published_01, 4, key.data());
    EXPECT_TRUE(SameSchedule(ctx, published_ff));
    EXPECT_FALSE(SameSchedule(ctx, published_01));
    EXPECT_TRUE(SameSchedule(ctx, Keyed(ff)));
}

TEST(Blowfish, ScheduleMatchesThePublishedCipherOnOurKeyWords) {
    std::mt19937_64 rng = SeededRng("Blowfish.ScheduleMatchesThePublishedCipherOnOurKeyWords");
    for (size_t length = 1; length <= 24; length++) {
        Bytes key(length);
        for (auto &b : key) b = (uint8_t)rng();
        SCOPED_TRACE("key " + ToHex(key));
        EXPECT_TRUE(SameSchedule(Keyed(key), PublishedScheduleForOurKeyWords(key)));
    }
}

TEST(Blowfish, OnlyTheFirstSixteenKeyBytesCount) {
    Bytes key = FromHex("00112233445566778899AABBCCDDEEFF0123456789");
    BlowfishContext full = Keyed(key, 20);
    EXPECT_TRUE(SameSchedule(full, Keyed(key, 16)));
    EXPECT_FALSE(SameSchedule(full, Keyed(key, 15)));
}

TEST(Blowfish, KeyLengthZeroRepeatsTheFirstByte) {
    Bytes key = FromHex("5A7700");
    EXPECT_TRUE(SameSchedule(Keyed(key, 0), Keyed(key, 1)));
}

TEST(Blowfish, NullPointersChangeNothing) {
    BlowfishContext ctx = Keyed(FromHex("0123456789ABCDEF"));
    EXPECT_FALSE(BlowfishInitialize(nullptr, FromHex("00").data(), 1));
    typedef bool (*BlockOperation)(const BlowfishContext *, uint32_t *, uint32_t *);
    for (BlockOperation op : {BlowfishEncipher, BlowfishDecipher}) {
        uint32_t left = 0x11111111, right = 0x22222222;
        EXPECT_FALSE(op(nullptr, &left, &right));
        EXPECT_FALSE(op(&ctx, nullptr, &right));
        EXPECT_FALSE(op(&ctx, &left, nullptr));
        EXPECT_EQ(left, 0x11111111u);
        EXPECT_EQ(right, 0x22222222u);
    }
}

TEST(Blowfish, DecipherInvertsEncipher) {
    std::mt19937_64 rng = SeededRng("Blowfish.DecipherInvertsEncipher");
    Bytes key(16);
    for (auto &b : key) b = (uint8_t)rng();
    BlowfishContext ctx = Keyed(key);
    for (int i = 0; i < 1000; i++) {
        uint32_t left = (uint32_t)rng(), right = (uint32_t)rng();
        uint32_t l = left, r = right;
        ASSERT_TRUE(BlowfishEncipher(&ctx, &l, &r));
        ASSERT_TRUE(l != left || r != right);
        ASSERT_TRUE(BlowfishDecipher(&ctx, &l, &r));
        ASSERT_EQ(l, left);
        ASSERT_EQ(r, right);
    }
}

}  // namespace
