// powmod and pow2mod against GMP's mpz_powm. Every array has exactly its
// stated size (so that AddressSanitizer sees any read or write beyond
// it); the result is checked for its value, for the words written (none
// on failure, never more than the capacity, nothing beyond the result's
// own words), and a failure must be a result that does not fit.
//
// The modulus is kept positive (a zero modulus raises by design, a
// negative one is outside the contract) and at most 33 words, so that
// products stay within the 67-word capacity.
#include <fuzzer/FuzzedDataProvider.h>
#include <gmp.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <vector>

#include "bignum.h"

namespace {

constexpr uint32_t kMaxModulusWords = 33;
constexpr uint32_t kCanaryA = 0xA5A5A5A5, kCanaryB = 0x5A5A5A5A;

[[noreturn]] void Fail(const char *what) {
    fprintf(stderr, "powmod check failed: %s\n", what);
    abort();
}
#define CHECK(c) \
    do {         \
        if (!(c)) Fail(#c); \
    } while (0)

bool Negative(const std::vector<uint32_t> &v) { return !v.empty() && (v.back() >> 31); }

void ToMpz(mpz_t out, const uint32_t *words, size_t n) {
    mpz_set_ui(out, 0);
    if (n) mpz_import(out, n, -1, sizeof(uint32_t), 0, 0, words);
}

std::vector<uint32_t> ConsumeWords(FuzzedDataProvider &fdp, uint32_t max_words) {
    const uint32_t n = fdp.ConsumeIntegralInRange<uint32_t>(0, max_words);
    std::vector<uint32_t> v(n);
    for (uint32_t &w : v) {
        // Whole-word patterns matter to the arithmetic: zero, all ones.
        const uint8_t kind = fdp.ConsumeIntegral<uint8_t>();
        w = kind < 32 ? 0 : kind < 64 ? 0xFFFFFFFFu : fdp.ConsumeIntegral<uint32_t>();
    }
    return v;
}

// One call into a result array of exactly `capacity` words, filled with
// a canary first. Returns the result and the words afterwards.
bool Call(bool two, const std::vector<uint32_t> &base, uint32_t base_words,
          const std::vector<uint32_t> &exponent, const std::vector<uint32_t> &modulus,
          uint32_t capacity, uint32_t canary, std::vector<uint32_t> *words) {
    std::unique_ptr<uint32_t[]> result(new uint32_t[capacity]);
    for (uint32_t i = 0; i < capacity; i++) result[i] = canary;
    // Inputs in arrays of exactly their size.
    std::unique_ptr<uint32_t[]> b(new uint32_t[base.size()]), e(new uint32_t[exponent.size()]),
        m(new uint32_t[modulus.size()]);
    std::copy(base.begin(), base.end(), b.get());
    std::copy(exponent.begin(), exponent.end(), e.get());
    std::copy(modulus.begin(), modulus.end(), m.get());
    const bool ok = two ? pow2mod(result.get(), capacity, e.get(), (uint32_t)exponent.size(), m.get(),
                                  (uint32_t)modulus.size())
                        : powmod(result.get(), capacity, b.get(), base_words, e.get(),
                                 (uint32_t)exponent.size(), m.get(), (uint32_t)modulus.size());
    words->assign(result.get(), result.get() + capacity);
    return ok;
}

// The words a call wrote. The canary has its top bit set, and the top
// word of a non-negative result has it clear, so the words written are
// those before the trailing run of canaries; only when the word before
// that run has its top bit set could it be a written word that equals the
// canary, and a second call under another canary decides.
bool Written(bool two, const std::vector<uint32_t> &base, uint32_t base_words,
             const std::vector<uint32_t> &exponent, const std::vector<uint32_t> &modulus,
             uint32_t capacity, std::vector<uint32_t> *words, uint32_t *written) {
    const bool ok = Call(two, base, base_words, exponent, modulus, capacity, kCanaryA, words);
    uint32_t n = capacity;
    while (n > 0 && (*words)[n - 1] == kCanaryA) n--;
    if (n > 0 && n < capacity && ((*words)[n - 1] >> 31)) {
        std::vector<uint32_t> other;
        CHECK(ok == Call(two, base, base_words, exponent, modulus, capacity, kCanaryB, &other));
        n = 0;
        while (n < capacity && (*words)[n] == other[n]) n++;
        for (uint32_t i = n; i < capacity; i++) CHECK((*words)[i] == kCanaryA && other[i] == kCanaryB);
    }
    *written = n;
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    const bool two = fdp.ConsumeBool();
    std::vector<uint32_t> modulus = ConsumeWords(fdp, kMaxModulusWords);
    if (modulus.empty()) modulus.push_back(1);
    modulus.back() &= 0x7FFFFFFFu;
    bool zero = true;
    for (uint32_t w : modulus) zero = zero && w == 0;
    if (zero) modulus[0] = 1 + (fdp.ConsumeIntegral<uint8_t>() & 1) * 2;
    // Exponents up to the handshake's four words: longer ones only cost
    // time, every bit takes the same path.
    std::vector<uint32_t> exponent = ConsumeWords(fdp, 4);
    std::vector<uint32_t> base = two ? std::vector<uint32_t>{2} : ConsumeWords(fdp, BIGNUM_MAX_WORDS);
    // A base length beyond the capacity must not be read at all.
    uint32_t baseWords = (uint32_t)base.size();
    if (!two && fdp.ConsumeIntegral<uint8_t>() < 8)
        baseWords = BIGNUM_MAX_WORDS + 1 + fdp.ConsumeIntegral<uint8_t>();
    const uint32_t capacity = fdp.ConsumeIntegralInRange<uint32_t>(0, BIGNUM_MAX_WORDS + 2);

    // The expected value.
    mpz_t b, e, m, r;
    mpz_inits(b, e, m, r, nullptr);
    ToMpz(b, base.data(), base.size());
    ToMpz(e, exponent.data(), exponent.size());
    ToMpz(m, modulus.data(), modulus.size());
    const bool refused = baseWords > BIGNUM_MAX_WORDS || Negative(base);
    if (Negative(exponent)) mpz_set_ui(r, 0);
    else if (mpz_sgn(e) == 0) mpz_set_ui(r, 1);
    else mpz_powm(r, b, e, m);

    std::vector<uint32_t> runA;
    uint32_t written = 0;
    const bool okA = Written(two, base, baseWords, exponent, modulus, capacity, &runA, &written);

    if (refused) {
        CHECK(!okA && written == 0);
    } else if (okA) {
        CHECK(written >= 1);
        // Two's complement words: a non-negative result has its top bit clear.
        CHECK((runA[written - 1] >> 31) == 0);
        mpz_t got;
        mpz_init(got);
        ToMpz(got, runA.data(), written);
        CHECK(mpz_cmp(got, r) == 0);
        mpz_clear(got);
    } else {
        // Refused only for want of room: with the full capacity it fits,
        // in more words than were offered.
        CHECK(written == 0);
        std::vector<uint32_t> full;
        uint32_t used = 0;
        CHECK(Written(two, base, baseWords, exponent, modulus, BIGNUM_MAX_WORDS, &full, &used));
        CHECK(used > capacity);
    }
    mpz_clears(b, e, m, r, nullptr);
    return 0;
}
