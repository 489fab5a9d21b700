// pow2mod and powmod at the handshake's sizes (33-word base and modulus,
// the RFC 2409 prime, 96-bit exponent in four words) against mpz_powm on
// the same inputs; prints the time per exponentiation and the ratio.
#include <benchmark/benchmark.h>
#include <gmp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <random>

#include "bignum.h"

namespace {

constexpr uint32_t WORDS = 33;
constexpr uint32_t EXPONENT_WORDS = 4;

struct Inputs {
    uint32_t prime[WORDS];
    uint32_t base[WORDS];
    uint32_t exponent[EXPONENT_WORDS];
    mpz_t prime_z, base_z, two_z, exponent_z;

    Inputs() {
        static const char hex[] =
#include "vectors/modp1024.inc"
            ;
        char digits[300];
        size_t n = 0;
        for (const char *p = hex; *p; p++)
            if (*p != ' ') digits[n++] = *p;
        digits[n] = 0;
        mpz_init_set_str(prime_z, digits, 16);
        for (uint32_t i = 0; i < WORDS; i++) prime[i] = 0;
        mpz_export(prime, nullptr, -1, sizeof(uint32_t), 0, 0, prime_z);

        // A fixed peer value below p (last word 0) and a 96-bit exponent
        // (word 3 = 0), as the handshake uses them.
        std::mt19937 rng(20240319);
        for (uint32_t i = 0; i < WORDS - 1; i++) base[i] = rng();
        base[WORDS - 2] &= 0x7FFFFFFF;
        base[WORDS - 1] = 0;
        for (uint32_t i = 0; i < EXPONENT_WORDS - 1; i++) exponent[i] = rng();
        exponent[EXPONENT_WORDS - 1] = 0;

        mpz_inits(base_z, two_z, exponent_z, nullptr);
        mpz_import(base_z, WORDS, -1, sizeof(uint32_t), 0, 0, base);
        mpz_import(exponent_z, EXPONENT_WORDS, -1, sizeof(uint32_t), 0, 0, exponent);
        mpz_set_ui(two_z, 2);
    }
};

Inputs &In() {
    static Inputs inputs;
    return inputs;
}

// Time per iteration of each benchmark's last run, for the summary.
enum { POW2MOD, POWMOD, GMP_POW2, GMP_POW, COUNT };
double g_seconds_per_op[COUNT];

template <typename F>
void Measure(benchmark::State &state, int slot, F op) {
    auto start = std::chrono::steady_clock::now();
    int64_t n = 0;
    for (auto _ : state) {
        op();
        n++;
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (n > 0) g_seconds_per_op[slot] = elapsed.count() / (double)n;
}

void BM_pow2mod(benchmark::State &state) {
    Inputs &in = In();
    uint32_t result[WORDS] = {};
    Measure(state, POW2MOD, [&] {
        bool ok = pow2mod(result, WORDS, in.exponent, EXPONENT_WORDS, in.prime, WORDS);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(result);
    });
}

void BM_powmod(benchmark::State &state) {
    Inputs &in = In();
    uint32_t result[WORDS] = {};
    Measure(state, POWMOD, [&] {
        bool ok = powmod(result, WORDS, in.base, WORDS, in.exponent, EXPONENT_WORDS, in.prime, WORDS);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(result);
    });
}

void BM_gmp_powm_base2(benchmark::State &state) {
    Inputs &in = In();
    mpz_t r;
    mpz_init(r);
    Measure(state, GMP_POW2, [&] {
        mpz_powm(r, in.two_z, in.exponent_z, in.prime_z);
        benchmark::DoNotOptimize(r);
    });
    mpz_clear(r);
}

void BM_gmp_powm(benchmark::State &state) {
    Inputs &in = In();
    mpz_t r;
    mpz_init(r);
    Measure(state, GMP_POW, [&] {
        mpz_powm(r, in.base_z, in.exponent_z, in.prime_z);
        benchmark::DoNotOptimize(r);
    });
    mpz_clear(r);
}

BENCHMARK(BM_pow2mod)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_powmod)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_gmp_powm_base2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_gmp_powm)->Unit(benchmark::kMicrosecond);

// Checks that both sides compute the same value before timing them.
bool SameResults() {
    Inputs &in = In();
    uint32_t ours[WORDS] = {}, theirs[WORDS] = {};
    mpz_t r;
    mpz_init(r);
    mpz_powm(r, in.base_z, in.exponent_z, in.prime_z);
    mpz_export(theirs, nullptr, -1, sizeof(uint32_t), 0, 0, r);
    mpz_clear(r);
    if (!powmod(ours, WORDS, in.base, WORDS, in.exponent, EXPONENT_WORDS, in.prime, WORDS))
        return false;
    for (uint32_t i = 0; i < WORDS; i++)
        if (ours[i] != theirs[i]) return false;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (!SameResults()) {
        fprintf(stderr, "powmod and mpz_powm disagree\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const double *t = g_seconds_per_op;
    if (t[POW2MOD] > 0 && t[GMP_POW2] > 0)
        printf("pow2mod: %.2f ms per exponentiation, %.0f times mpz_powm (%.1f us)\n",
               t[POW2MOD] * 1e3, t[POW2MOD] / t[GMP_POW2], t[GMP_POW2] * 1e6);
    if (t[POWMOD] > 0 && t[GMP_POW] > 0)
        printf("powmod:  %.2f ms per exponentiation, %.0f times mpz_powm (%.1f us)\n",
               t[POWMOD] * 1e3, t[POWMOD] / t[GMP_POW], t[GMP_POW] * 1e6);
    return 0;
}
