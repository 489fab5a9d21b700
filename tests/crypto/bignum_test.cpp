// Big numbers: the sizes that the entry points write, the edge cases of
// the operations, GMP as the oracle for values, and the structured
// exceptions at the capacity limit and on division by zero.
#include <gmp.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "bignum.h"
#include "byte_order.h"
#include "test_support.h"

using namespace crypto_test;

namespace {

typedef std::vector<uint32_t> Words;

constexpr uint32_t SENTINEL = 0xA5A5A5A5;
constexpr uint32_t PRIME_WORDS = 33;

// The RFC 2409 prime as 33 little-endian words, the last one 0.
Words HandshakePrime() {
    static const char hex[] =
#include "vectors/modp1024.inc"
        ;
    Bytes be = FromHex(hex);
    Words w(PRIME_WORDS, 0);
    for (size_t i = 0; i < 32; i++) w[i] = ReadBe32(&be[4 * (31 - i)]);
    return w;
}

// --- GMP conversions ---------------------------------------------------

struct Mpz {
    mpz_t z;
    Mpz() { mpz_init(z); }
    ~Mpz() { mpz_clear(z); }
    Mpz(const Mpz &) = delete;
    Mpz &operator=(const Mpz &) = delete;
};

// n words, least significant first, in two's complement.
void SetMpz(mpz_t z, const uint32_t *w, size_t n) {
    mpz_set_ui(z, 0);
    if (n == 0) return;
    mpz_import(z, n, -1, sizeof(uint32_t), 0, 0, w);
    if (w[n - 1] & 0x80000000u) {
        Mpz wrap;
        mpz_ui_pow_ui(wrap.z, 2, 32 * n);
        mpz_sub(z, z, wrap.z);
    }
}
void SetMpz(mpz_t z, const Words &w) { SetMpz(z, w.data(), w.size()); }
void SetMpz(mpz_t z, const bignum &x) { SetMpz(z, x.word, x.size); }

// The value of z >= 0 as words, at least `min_words` of them.
Words WordsOf(const mpz_t z, size_t min_words = 0) {
    size_t n = (mpz_sizeinbase(z, 2) + 31) / 32 + 1;
    Words w(std::max(n, min_words), 0);
    size_t count = 0;
    mpz_export(w.data(), &count, -1, sizeof(uint32_t), 0, 0, z);
    return w;
}

bignum Num(const Words &w) {
    bignum x;
    set_words(x, w.data(), (uint32_t)w.size());
    return x;
}
bignum Num(const mpz_t z) { return Num(WordsOf(z)); }
bignum Int(int32_t v) {
    bignum x;
    set_int(x, v);
    return x;
}

std::string Dec(const mpz_t z) {
    char *s = mpz_get_str(nullptr, 10, z);
    std::string out(s);
    free(s);
    return out;
}
std::string Dec(const bignum &x) {
    Mpz z;
    SetMpz(z.z, x);
    return Dec(z.z);
}

Words RandomWords(std::mt19937_64 &rng, size_t n) {
    Words w(n);
    for (auto &x : w) x = (uint32_t)rng();
    return w;
}

// A positive number of exactly `n` words needed, top word's top bit clear.
Words RandomPositive(std::mt19937_64 &rng, size_t n) {
    Words w = RandomWords(rng, n);
    w[n - 1] &= 0x7FFFFFFF;
    if (w[n - 1] == 0) w[n - 1] = 1 + (uint32_t)(rng() % 0x7FFFFFFF);
    return w;
}

// --- Entry points: words written -----------------------------------------

// Runs powmod (base "2" meaning pow2mod) into a sentinel-filled array and
// checks the result and exactly which words were written.
struct EntryCase {
    const char *name;
    Words base;  // empty: pow2mod
    Words exponent;
    Words modulus;
    uint32_t capacity;
    bool ok;
    Words written;  // exactly these words, the rest untouched
};

// An array's pointer, valid (not null) even for an empty array.
const uint32_t *Ptr(const Words &w) {
    static const uint32_t unused = SENTINEL;
    return w.empty() ? &unused : w.data();
}

void ExpectEntryCase(const EntryCase &c) {
    SCOPED_TRACE(c.name);
    Words result(80, SENTINEL);
    bool ok = c.base.empty()
                  ? pow2mod(result.data(), c.capacity, Ptr(c.exponent),
                            (uint32_t)c.exponent.size(), Ptr(c.modulus), (uint32_t)c.modulus.size())
                  : powmod(result.data(), c.capacity, Ptr(c.base), (uint32_t)c.base.size(),
                           Ptr(c.exponent), (uint32_t)c.exponent.size(), Ptr(c.modulus),
                           (uint32_t)c.modulus.size());
    EXPECT_EQ(ok, c.ok);
    for (size_t i = 0; i < result.size(); i++) {
        uint32_t expected = i < c.written.size() ? c.written[i] : SENTINEL;
        ASSERT_EQ(result[i], expected) << "word " << i;
    }
}

TEST(Bignum, EntryPointsWriteTheResultsSize) {
    const Words p = HandshakePrime();
    Mpz pz, two_1024, b;
    SetMpz(pz.z, p);
    mpz_ui_pow_ui(two_1024.z, 2, 1024);
    mpz_mod(two_1024.z, two_1024.z, pz.z);
    Words r1024 = WordsOf(two_1024.z);
    r1024.resize(31);  // 2^1024 mod p needs 30 words; the product keeps one more

    // 2^1023 <= B < p: with the exponent 1 the result is the product 1 * B,
    // which keeps the one-word product's k + 1 = 34 words.
    mpz_sub_ui(b.z, pz.z, 12345);
    Words big_b = WordsOf(b.z, PRIME_WORDS);
    ASSERT_EQ(big_b.size(), PRIME_WORDS);
    Words big_b_34 = big_b;
    big_b_34.push_back(0);

    const EntryCase cases[] = {
        {"2^1, product size", {}, {1}, p, 33, true, {2, 0}},
        {"2^1, capacity below the size", {}, {1}, p, 1, false, {}},
        {"2^3", {}, {3}, p, 33, true, {8, 0}},
        {"2^1024 mod p", {}, {1024}, p, 33, true, r1024},
        {"exponent of length 0", {}, {}, p, 33, true, {1}},
        {"all-zero exponent", {}, {0, 0, 0, 0}, p, 33, true, {1}},
        {"all-zero exponent, modulus 1", {}, {0}, {1}, 33, true, {1}},
        {"negative exponent", {}, {0, 0x80000000u}, p, 33, true, {0}},
        {"zero base", {0}, {5}, p, 33, true, {0}},
        {"B^1, 34 words into 33", big_b, {1}, p, 33, false, {}},
        {"B^1, 34 words into 34", big_b, {1}, p, 34, true, big_b_34},
        {"negative base is refused", {5, 0x80000000u}, {3}, p, 33, false, {}},
    };
    for (const auto &c : cases) ExpectEntryCase(c);
}

TEST(Bignum, EntryPointsRefuseNullPointersAndOverlongInputs) {
    const Words p = HandshakePrime();
    const uint32_t base[1] = {3}, exponent[1] = {5};
    Words result(40, SENTINEL);
    uint32_t *r = result.data();
    EXPECT_FALSE(powmod(nullptr, 33, base, 1, exponent, 1, p.data(), 33));
    EXPECT_FALSE(powmod(r, 33, nullptr, 1, exponent, 1, p.data(), 33));
    EXPECT_FALSE(powmod(r, 33, base, 1, nullptr, 1, p.data(), 33));
    EXPECT_FALSE(powmod(r, 33, base, 1, exponent, 1, nullptr, 33));
    EXPECT_FALSE(pow2mod(r, 33, nullptr, 0, p.data(), 33));
    // Lengths above the capacity are refused before the arrays are read
    // (the arrays here are one word long).
    EXPECT_FALSE(powmod(r, 33, base, 68, exponent, 1, p.data(), 33));
    EXPECT_FALSE(powmod(r, 33, base, 1, exponent, 68, p.data(), 33));
    EXPECT_FALSE(pow2mod(r, 33, exponent, 1, base, 68));
    for (uint32_t w : result) EXPECT_EQ(w, SENTINEL);
}

// --- Operations ----------------------------------------------------------

TEST(Bignum, Compare) {
    const struct {
        bignum a, b;
        int sign;
    } cases[] = {
        {Int(0), Int(0), 0},
        {Int(-1), Int(-1), 0},
        {Num({0, 1}), Num({0xFFFFFFFF, 0}), 1},  // 2^32 (bits 33) > 2^32 - 1 (bits 32)
        {Int(-4), Int(-1), -1},                  // bits -3 against -1
        {Int(-3), Int(-4), 1},                   // same bits, words decide
        {Num({7, 0, 0}), Int(7), 0},             // sizes do not matter
        {Int(-1), Int(0), -1},
        {Num({1, 0x80000000u}), Num({2, 0x80000000u}), -1},
    };
    for (const auto &c : cases) {
        int r = compare(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << Dec(c.a) << " vs " << Dec(c.b);
    }
}

TEST(Bignum, SignedAndSizeEdgeCases) {
    // -2^31 in one word negates to 2^31 in two words.
    bignum x = Int(INT32_MIN);
    EXPECT_EQ(x.bits, -32);
    EXPECT_TRUE(is_min_negative(x));
    negate(x);
    EXPECT_EQ(x.size, 2u);
    EXPECT_EQ(x.bits, 32);
    EXPECT_EQ(x.word[0], 0x80000000u);
    EXPECT_EQ(x.word[1], 0u);

    // 0xFFFFFFFF (positive, two words needed) + 1 = 2^32 in three words.
    bignum sum;
    add(Num({0xFFFFFFFF, 0}), Int(1), sum);
    EXPECT_EQ(sum.size, 3u);
    EXPECT_EQ(sum.bits, 33);
    EXPECT_EQ(Dec(sum), "4294967296");

    // Bit lengths of negative values and words_needed.
    const struct {
        int32_t v;
        int32_t bits;
        uint32_t needed;
    } ints[] = {{0, 0, 0}, {1, 1, 1}, {-1, -1, 1}, {-2, -2, 1}, {-3, -3, 1}, {-4, -3, 1},
                {INT32_MIN, -32, 1}, {INT32_MAX, 31, 1}};
    for (const auto &c : ints) {
        bignum v = Int(c.v);
        EXPECT_EQ(v.bits, c.bits) << c.v;
        EXPECT_EQ(words_needed(v), c.needed) << c.v;
    }
    EXPECT_EQ(words_needed(Num({0x80000000u, 0})), 2u);  // a spare word for the sign

    // Doubling moves a 1 into the top bit without growing; the next one grows.
    bignum d = Num({0x40000000u});
    shift_left_1(d);
    EXPECT_EQ(d.size, 1u);
    EXPECT_EQ(d.bits, 32);
    EXPECT_EQ(word_at(d, 1), 0u);  // still positive: the sign word comes from bits
    shift_left_1(d);
    EXPECT_EQ(d.size, 2u);
    EXPECT_EQ(Dec(d), "4294967296");

    // Two negative operands keep their sign.
    bignum negative_sum;
    add(Int(INT32_MIN), Int(INT32_MIN), negative_sum);
    EXPECT_EQ(Dec(negative_sum), "-4294967296");
}

TEST(Bignum, DivideEdgeCases) {
    const struct {
        const char *name;
        bignum n, d;
        const char *q, *r;
        uint32_t q_size, r_size;
    } cases[] = {
        // d > n: the remainder keeps n's size.
        {"divisor above dividend", Num({5, 0, 0, 0}), Num({0, 1}), "0", "5", 1, 4},
        // One-word divisor: q has n's size, r one word or two when its top bit is set.
        {"one word", Num({10, 0, 0}), Int(3), "3", "1", 3, 1},
        {"one word, remainder top bit", Num({0x7FFFFFFFu, 1, 0}), Num({0xC0000000u, 0}),
         "1", "3221225471", 3, 2},
        // Bit-serial: r has the size of the last subtraction's minuend, here
        // 2^63 against a 63-bit divisor, one word more than the divisor needs.
        {"bit-serial, minuend of 64 bits", Num({0, 0x80000000u, 0}), Num({1, 0x40000000u}), "1",
         "4611686018427387903", 3, 3},
        {"bit-serial", Num({0, 0, 0, 1}), Num({0, 0, 1}), "4294967296", "0", 4, 3},
        // 2d + 1: the last step leaves zero and the last bit brought in makes it 1.
        {"bit-serial, remainder 1 after an exact step", Num({1, 0, 2}), Num({0, 0, 1}), "2", "1",
         3, 3},
        // Negative operands divide the magnitudes: truncated quotient, n's sign.
        {"-7 / 2", Int(-7), Int(2), "-3", "-1", 1, 1},
        {"7 / -2", Int(7), Int(-2), "-3", "1", 1, 1},
        {"-7 / -2", Int(-7), Int(-2), "3", "-1", 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bignum q, r;
        divide(c.n, c.d, q, r);
        EXPECT_EQ(Dec(q), c.q);
        EXPECT_EQ(Dec(r), c.r);
        EXPECT_EQ(q.size, c.q_size);
        EXPECT_EQ(r.size, c.r_size);
        // The bit lengths agree with the words: comparisons and is_zero read them.
        bignum qn = q, rn = r;
        normalize(qn);
        normalize(rn);
        EXPECT_EQ(q.bits, qn.bits);
        EXPECT_EQ(r.bits, rn.bits);
    }

    // The outputs may be the inputs.
    bignum n = Int(100), d = Int(7);
    divide(n, d, n, d);
    EXPECT_EQ(Dec(n), "14");
    EXPECT_EQ(Dec(d), "2");
    bignum m = Int(100);
    divide(m, Int(7), m, m);  // q and r the same number: it gets the quotient
    EXPECT_EQ(Dec(m), "14");
}

// The remainder's size under the bit-serial division: that of the number
// the last subtraction started from, R = floor(n / 2^i) - (floor(q / 2^i) - 1) d
// at i = the lowest 1 bit of q.
uint32_t BitSerialRemainderSize(const mpz_t n, const mpz_t d, const mpz_t q) {
    Mpz r, t;
    mp_bitcnt_t i = mpz_scan1(q, 0);
    mpz_tdiv_q_2exp(r.z, n, i);
    mpz_tdiv_q_2exp(t.z, q, i);
    mpz_sub_ui(t.z, t.z, 1);
    mpz_submul(r.z, t.z, d);
    return (uint32_t)mpz_sizeinbase(r.z, 2) / 32 + 1;
}

TEST(Bignum, MultiplyAndDivideAgreeWithGmp) {
    std::mt19937_64 rng = SeededRng("Bignum.MultiplyAndDivideAgreeWithGmp");
    for (int i = 0; i < 500; i++) {
        Words aw = RandomPositive(rng, 1 + rng() % 33);
        Words bw = RandomPositive(rng, 1 + rng() % 33);
        // Divisors whose top word has bit 30 set reach the widest remainders.
        if (rng() % 4 == 0) bw.back() |= 0x40000000u;
        Mpz a, b, product, q, r;
        SetMpz(a.z, aw);
        SetMpz(b.z, bw);
        mpz_mul(product.z, a.z, b.z);

        bignum x = Num(aw), y = Num(bw), out;
        multiply(x, y, out);
        ASSERT_EQ(Dec(out), Dec(product.z)) << Dec(a.z) << " * " << Dec(b.z);
        ASSERT_LE(words_needed(out), out.size);

        // Divide the product plus something below b by b, and a by b.
        Mpz extra;
        SetMpz(extra.z, RandomPositive(rng, bw.size()));
        mpz_mod(extra.z, extra.z, b.z);
        mpz_add(product.z, product.z, extra.z);
        for (mpz_srcptr n : {(mpz_srcptr)product.z, (mpz_srcptr)a.z}) {
            bignum nn = Num(n), qq, rr;
            divide(nn, y, qq, rr);
            mpz_tdiv_qr(q.z, r.z, n, b.z);
            ASSERT_EQ(Dec(qq), Dec(q.z)) << Dec(n) << " / " << Dec(b.z);
            ASSERT_EQ(Dec(rr), Dec(r.z)) << Dec(n) << " mod " << Dec(b.z);
            if (mpz_cmp(b.z, n) > 0) {
                ASSERT_EQ(rr.size, nn.size);
            } else if (y.bits <= 32) {
                ASSERT_EQ(qq.size, nn.size);
                ASSERT_EQ(rr.size, (rr.word[0] & 0x80000000u) ? 2u : 1u);
            } else {
                ASSERT_EQ(qq.size, words_needed(nn));
                ASSERT_EQ(rr.size, BitSerialRemainderSize(n, b.z, q.z))
                    << Dec(n) << " mod " << Dec(b.z);
            }
        }
    }
}

TEST(Bignum, PowmodAgreesWithGmpUnderTheHandshakePrime) {
    std::mt19937_64 rng = SeededRng("Bignum.PowmodAgreesWithGmpUnderTheHandshakePrime");
    const Words p = HandshakePrime();
    Mpz pz;
    SetMpz(pz.z, p);
    for (int i = 0; i < 24; i++) {
        // Bases below 2^1024 as the peer sends them (the last word 0), some
        // of them p or above; exponents of 96 bits in four words.
        Words base = RandomWords(rng, PRIME_WORDS);
        base[32] = 0;
        if (i % 6 == 0) {
            Mpz above_p;
            SetMpz(above_p.z, RandomPositive(rng, 28));
            mpz_add(above_p.z, above_p.z, pz.z);
            base = WordsOf(above_p.z, PRIME_WORDS);
        }
        Words exponent = RandomWords(rng, 4);
        exponent[3] = 0;
        exponent[0] |= 3;  // at least two 1 bits: the last reduction is a long division

        Mpz b, e, expected;
        SetMpz(b.z, base);
        SetMpz(e.z, exponent);
        mpz_powm(expected.z, b.z, e.z, pz.z);

        Words result(40, SENTINEL);
        ASSERT_TRUE(powmod(result.data(), PRIME_WORDS, base.data(), PRIME_WORDS, exponent.data(),
                           4, p.data(), PRIME_WORDS));
        Words expected_words = WordsOf(expected.z, PRIME_WORDS);
        for (size_t k = 0; k < result.size(); k++)
            ASSERT_EQ(result[k], k < PRIME_WORDS ? expected_words[k] : SENTINEL) << "word " << k;

        // pow2mod is powmod with the base 2.
        Words two_x(40, SENTINEL);
        ASSERT_TRUE(pow2mod(two_x.data(), PRIME_WORDS, exponent.data(), 4, p.data(), PRIME_WORDS));
        Mpz two;
        mpz_set_ui(two.z, 2);
        mpz_powm(expected.z, two.z, e.z, pz.z);
        EXPECT_EQ(two_x[32], 0u);
        EXPECT_EQ(two_x[33], SENTINEL);
        Mpz got;
        SetMpz(got.z, two_x.data(), PRIME_WORDS);
        ASSERT_EQ(Dec(got.z), Dec(expected.z));
    }
}

TEST(Bignum, ModPowerAgreesWithGmpOnSmallModuli) {
    std::mt19937_64 rng = SeededRng("Bignum.ModPowerAgreesWithGmpOnSmallModuli");
    for (int i = 0; i < 300; i++) {
        Words modulus = RandomPositive(rng, 1 + rng() % 8);
        if (rng() % 4 == 0) modulus.back() |= 0x40000000u;
        if (i == 0) modulus = {1};
        Words base = RandomPositive(rng, 1 + rng() % 10);
        Words exponent = RandomPositive(rng, 1 + rng() % 3);
        Mpz m, b, e, expected;
        SetMpz(m.z, modulus);
        SetMpz(b.z, base);
        SetMpz(e.z, exponent);
        mpz_powm(expected.z, b.z, e.z, m.z);

        bignum r;
        mod_power(Num(base), Num(exponent), Num(modulus), r);
        ASSERT_EQ(Dec(r), Dec(expected.z))
            << Dec(b.z) << " ^ " << Dec(e.z) << " mod " << Dec(m.z);

        // The entry point writes exactly r's words.
        Words result(80, SENTINEL);
        ASSERT_TRUE(powmod(result.data(), r.size, base.data(), (uint32_t)base.size(),
                           exponent.data(), (uint32_t)exponent.size(), modulus.data(),
                           (uint32_t)modulus.size()));
        for (size_t k = 0; k < result.size(); k++)
            ASSERT_EQ(result[k], k < r.size ? r.word[k] : SENTINEL);
    }
}

// --- Structured exceptions ---------------------------------------------------

// 67 words whose top word is 0x40000000: the largest size, one doubling
// short of the top bit.
bignum Largest() {
    Words w(BIGNUM_MAX_WORDS, 0x12345678);
    w.back() = 0x40000000u;
    return Num(w);
}

void ResizeAboveCapacity() {
    bignum x = Int(1);
    resize(x, BIGNUM_MAX_WORDS + 1);
}

void DoubleTheLargestTwice() {
    bignum x = Largest();
    shift_left_1(x);  // into the top bit, no growth yet
    shift_left_1(x);  // would need a 68th word
}

// B^1 mod m with a 67-word m: the product 1 * B needs 68 words.
void PowmodWithTheLargestModulus() {
    Words m(BIGNUM_MAX_WORDS, 0xFFFFFFFF);
    m.back() = 0x40000000u;
    Words b = m;
    b[0] = 1;
    Words result(BIGNUM_MAX_WORDS);
    const uint32_t one = 1;
    powmod(result.data(), BIGNUM_MAX_WORDS, b.data(), BIGNUM_MAX_WORDS, &one, 1, m.data(),
           BIGNUM_MAX_WORDS);
}

void ResetAboveCapacity() {
    bignum x;
    reset(x, BIGNUM_MAX_WORDS + 1);
}

void PowmodWithZeroModulus() {
    const uint32_t base = 5, exponent = 3, modulus = 0;
    uint32_t result[33];
    powmod(result, 33, &base, 1, &exponent, 1, &modulus, 1);
}

// The hosted RaiseException names the code and the flags: the capacity
// limit is non-continuable, a division by zero continuable.
constexpr const char *kOverflowRaised = "0xC0000095 \\(flags 0x1\\)";
constexpr const char *kDivideByZeroRaised = "0xC0000094 \\(flags 0x0\\)";

TEST(BignumDeathTest, CapacityLimitRaisesIntegerOverflow) {
    EXPECT_EXIT(ResizeAboveCapacity(), ::testing::ExitedWithCode(0x95), kOverflowRaised);
    EXPECT_EXIT(DoubleTheLargestTwice(), ::testing::ExitedWithCode(0x95), kOverflowRaised);
    EXPECT_EXIT(PowmodWithTheLargestModulus(), ::testing::ExitedWithCode(0x95), kOverflowRaised);
}

TEST(BignumDeathTest, ResetAboveCapacityTerminates) {
    EXPECT_EXIT(ResetAboveCapacity(), ::testing::KilledBySignal(SIGABRT), "");
}

TEST(BignumDeathTest, ZeroModulusRaisesDivideByZero) {
    EXPECT_EXIT(PowmodWithZeroModulus(), ::testing::ExitedWithCode(0x94), kDivideByZeroRaised);
}

}  // namespace
