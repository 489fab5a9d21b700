// Fixed-capacity big integers: two's complement words with a tracked
// signed bit length; Karatsuba multiplication, bit-serial restoring
// division and right-to-left binary exponentiation.
#include "bignum.h"

#include <exception>

#include "crypto_host.h"

namespace {

constexpr uint32_t TOP_BIT = 0x80000000u;
constexpr uint32_t ALL_ONES = 0xFFFFFFFFu;

[[noreturn]] void raise_capacity_exceeded() {
    crypto_host_raise(CRYPTO_EXCEPTION_INT_OVERFLOW, CRYPTO_EXCEPTION_NONCONTINUABLE);
    // A non-continuable exception never comes back here.
    std::terminate();
}

inline int32_t bit_length(uint32_t w) { return w ? 32 - __builtin_clz(w) : 0; }

// cppcheck-suppress uninitvar ; add() resizes only an out that is also an input, so is set
inline uint32_t sign_word(const bignum &x) { return x.bits < 0 ? ALL_ONES : 0; }

inline bool is_zero(const bignum &x) { return x.bits == 0; }

// dst = count words of src from word start on (sign words past its size),
// normalized. count 0 gives zero.
void take_words(bignum &dst, const bignum &src, uint32_t start, uint32_t count) {
    if (count == 0) {
        set_int(dst, 0);
        return;
    }
    for (uint32_t i = 0; i < count; i++) dst.word[i] = word_at(src, start + i);
    dst.size = count;
    normalize(dst);
}

// dst = the low h words of src as a non-negative number: h + 1 words, the
// top one 0.
void take_low_words(bignum &dst, const bignum &src, uint32_t h) {
    for (uint32_t i = 0; i < h; i++) dst.word[i] = word_at(src, i);
    dst.word[h] = 0;
    dst.size = h + 1;
    normalize(dst);
}

// out = a * b for positive a and b, out distinct from both.
void multiply_positive(const bignum &a, const bignum &b, bignum &out) {
    set_int(out, 0);
    if (a.bits <= 32 || b.bits <= 32) {
        const bignum &s = a.bits <= 32 ? a : b;
        const bignum &u = a.bits <= 32 ? b : a;
        uint32_t k = words_needed(u);
        resize(out, k + 1);
        // NOLINTNEXTLINE(clang-analyzer-core.uninitialized.Assign): size is never 0, word[0] is set
        uint64_t m = s.word[0];
        uint64_t carry = 0;
        for (uint32_t i = 0; i < k; i++) {
            uint64_t product = (uint64_t)word_at(u, i) * m + carry;
            out.word[i] = (uint32_t)product;
            carry = product >> 32;
        }
        if (carry != 0) out.word[k] = (uint32_t)carry;
        if (carry & TOP_BIT) {
            resize(out, k + 2);
            out.word[k + 1] = 0;
        }
        normalize(out);
        return;
    }

    // Karatsuba: X = X1 * 2^(32h) + X0, Y likewise;
    // X * Y = X1*Y1 * 2^(64h) + ((X1+X0)(Y1+Y0) - X1*Y1 - X0*Y0) * 2^(32h) + X0*Y0.
    uint32_t na = words_needed(a);
    uint32_t nb = words_needed(b);
    const bignum &X = na > nb ? a : b;
    const bignum &Y = na > nb ? b : a;
    uint32_t nx = words_needed(X);
    uint32_t ny = words_needed(Y);
    uint32_t h = nx / 2;
    uint32_t hi = nx - h;

    bignum X1, X0, Y1, Y0, P1, P2, P3;
    take_words(X1, X, h, hi);
    take_low_words(X0, X, h);
    if (ny < h) {
        take_words(Y0, Y, 0, ny);
        set_int(Y1, 0);
    } else {
        take_words(Y1, Y, h, ny < nx ? ny - h : hi);
        take_low_words(Y0, Y, h);
    }

    add(X1, X0, P1);
    add(Y1, Y0, P2);
    multiply(P1, P2, P3);
    multiply(X1, Y1, P1);
    multiply(X0, Y0, P2);
    subtract(P3, P1, P3);
    subtract(P3, P2, P3);
    shift_left_words(P3, h);
    shift_left_words(P1, 2 * h);
    add(P1, P3, out);
    add(out, P2, out);
}

// x = 2x, as shift_left_1 describes it.
inline void double_in_place(bignum &x) {
    if (x.bits == 0) return;
    uint32_t top = x.size - 1;
    bool grows = (x.word[top] & TOP_BIT) != 0;
    if (grows && x.size >= BIGNUM_MAX_WORDS) raise_capacity_exceeded();
    x.bits += x.bits > 0 ? 1 : -1;
    for (uint32_t i = top; i > 0; i--) x.word[i] = (x.word[i] << 1) | (x.word[i - 1] >> 31);
    x.word[0] <<= 1;
    if (grows) {
        x.word[x.size] = x.bits > 0 ? 1 : ALL_ONES;
        x.size++;
    }
}

// r = r - d for r >= d > 0, given -d sign-extended to the full capacity and
// its words_needed: the words, size and bit length that subtract(r, d, r)
// leaves, without negating d each time.
inline void subtract_in_place(bignum &r, const uint32_t *minus_d, uint32_t minus_d_words) {
    uint32_t r_words = (uint32_t)r.bits / 32 + 1;
    uint32_t m = r_words > minus_d_words ? r_words : minus_d_words;
    if (m + 1 > BIGNUM_MAX_WORDS) raise_capacity_exceeded();
    for (uint32_t i = r.size; i < m; i++) r.word[i] = 0;  // r's sign words
    uint64_t carry = 0;
    for (uint32_t i = 0; i < m; i++) {
        uint64_t sum = (uint64_t)r.word[i] + minus_d[i] + carry;
        r.word[i] = (uint32_t)sum;
        carry = sum >> 32;
    }
    r.size = m;
    normalize(r);
}

// Bit-serial restoring division of n > 0 by d > 0 with d <= n and d of
// more than 32 bits; q and r distinct from n, d and each other.
void divide_bit_serial(const bignum &n, const bignum &d, bignum &q, bignum &r) {
    set_int(q, 0);
    resize(q, words_needed(n));
    set_int(r, 0);
    resize(r, words_needed(d));

    bignum minus_d;
    assign(minus_d, d);
    negate(minus_d);
    uint32_t minus_d_words = words_needed(minus_d);
    uint32_t minus_d_extended[BIGNUM_MAX_WORDS];
    for (uint32_t j = 0; j < BIGNUM_MAX_WORDS; j++) minus_d_extended[j] = word_at(minus_d, j);

    // Bring in n's bits from the top until r >= d. With k bits in, r is
    // n >> (n.bits - k) and stays below d for every k < d.bits, so the
    // loop stops at k = d.bits or d.bits + 1; take those bits at once.
    // r never reaches its top word's top bit on the way, so its size
    // stays words_needed(d).
    uint32_t i = (uint32_t)(n.bits - d.bits);
    auto load_top_bits = [&](uint32_t from) {
        uint32_t shift = from % 32;
        uint32_t first = from / 32;
        for (uint32_t j = 0; j < r.size; j++) {
            uint32_t lo = word_at(n, first + j);
            uint32_t w = shift ? (lo >> shift) | (word_at(n, first + j + 1) << (32 - shift)) : lo;
            r.word[j] = w;
        }
        r.bits = n.bits - (int32_t)from;
    };
    load_top_bits(i);
    if (compare(r, d) < 0) {
        i--;
        load_top_bits(i);
    }

    // r < 2d here and after every step, so one subtraction per bit
    // suffices and r < d right after it.
    for (;;) {
        if (compare(r, d) >= 0) {
            subtract_in_place(r, minus_d_extended, minus_d_words);
            q.word[i / 32] |= 1u << (i % 32);
        }
        if (i == 0) break;
        i--;
        double_in_place(r);
        if (test_bit(n, i)) {
            r.word[0] |= 1;
            if (r.bits == 0) r.bits = 1;
        }
    }
    normalize(q);
}

}  // namespace

void set_int(bignum &x, int32_t v) {
    x.size = 1;
    x.word[0] = (uint32_t)v;
    normalize(x);
}

void set_words(bignum &x, const uint32_t *p, uint32_t n) {
    if (p == nullptr || n == 0) {
        x.size = 1;
        x.bits = 0;
        x.word[0] = 0;
        return;
    }
    if (n > BIGNUM_MAX_WORDS) raise_capacity_exceeded();
    for (uint32_t i = 0; i < n; i++) x.word[i] = p[i];
    x.size = n;
    normalize(x);
}

bool get_words(const bignum &x, uint32_t *p, uint32_t capacity) {
    if (p == nullptr || x.size > capacity) return false;
    for (uint32_t i = 0; i < x.size; i++) p[i] = x.word[i];
    return true;
}

void assign(bignum &x, const bignum &b) {
    if (&x == &b) return;
    x.size = b.size;
    x.bits = b.bits;
    for (uint32_t i = 0; i < b.size; i++) x.word[i] = b.word[i];
}

void move_to(bignum &x, bignum &b) {
    if (&x == &b) return;
    assign(b, x);
    set_int(x, 0);
}

void reset(bignum &x, uint32_t n) {
    if (n > BIGNUM_MAX_WORDS) std::terminate();
    x.size = n ? n : 1;
    x.bits = 0;
    x.word[0] = 0;
}

void resize(bignum &x, uint32_t n) {
    if (n == 0) n = 1;
    if (n > BIGNUM_MAX_WORDS) raise_capacity_exceeded();
    uint32_t fill = sign_word(x);
    for (uint32_t i = x.size; i < n; i++) x.word[i] = fill;
    x.size = n;
}

void normalize(bignum &x) {
    uint32_t i = x.size;
    if (x.word[x.size - 1] & TOP_BIT) {
        while (i-- > 0) {
            if (x.word[i] != ALL_ONES) {
                x.bits = -(1 + 32 * (int32_t)i + bit_length(~x.word[i]));
                return;
            }
        }
        x.bits = -1;
    } else {
        while (i-- > 0) {
            if (x.word[i] != 0) {
                x.bits = 32 * (int32_t)i + bit_length(x.word[i]);
                return;
            }
        }
        x.bits = 0;
    }
}

uint32_t words_needed(const bignum &x) {
    if (x.bits == 0) return 0;
    if (x.bits > 0) return (uint32_t)x.bits / 32 + 1;
    if (x.bits == -1) return 1;
    return (uint32_t)(-x.bits - 1) / 32 + 1;
}

uint32_t word_at(const bignum &x, uint32_t i) { return i < x.size ? x.word[i] : sign_word(x); }

bool test_bit(const bignum &x, uint32_t i) { return (x.word[i / 32] >> (i % 32)) & 1; }

int compare(const bignum &a, const bignum &b) {
    if (a.bits != b.bits) return a.bits - b.bits;
    int32_t top;
    if (a.bits > 0)
        top = (a.bits - 1) / 32;
    else if (a.bits < -1)
        top = (-a.bits - 2) / 32;
    else
        return 0;
    for (int32_t i = top; i >= 0; i--) {
        uint32_t wa = word_at(a, (uint32_t)i);
        uint32_t wb = word_at(b, (uint32_t)i);
        if (wa != wb) return wa < wb ? -1 : 1;
    }
    return 0;
}

bool is_min_negative(const bignum &x) {
    // NOLINTNEXTLINE(clang-analyzer-core.UndefinedBinaryOperatorResult): size is never 0
    if (x.bits >= 0 || x.word[x.size - 1] != TOP_BIT) return false;
    for (uint32_t i = 0; i + 1 < x.size; i++)
        if (x.word[i] != 0) return false;
    return true;
}

void complement(bignum &x) {
    for (uint32_t i = 0; i < x.size; i++) x.word[i] = ~x.word[i];
    x.bits = -1 - x.bits;
}

void negate(bignum &x) {
    if (is_zero(x)) return;
    if (is_min_negative(x)) resize(x, x.size + 1);
    complement(x);
    for (uint32_t i = 0; i < x.size; i++)
        if (++x.word[i] != 0) break;
    normalize(x);
}

void shift_left_1(bignum &x) { double_in_place(x); }

void shift_left_words(bignum &x, uint32_t n) {
    if (n == 0 || is_zero(x)) return;
    uint32_t needed = words_needed(x) + n;
    if (x.size < needed) resize(x, needed);
    for (uint32_t i = x.size - 1; i >= n; i--) x.word[i] = x.word[i - n];
    for (uint32_t i = 0; i < n; i++) x.word[i] = 0;
    x.bits += x.bits > 0 ? 32 * (int32_t)n : -32 * (int32_t)n;
}

void add(const bignum &a, const bignum &b, bignum &out) {
    uint32_t na = words_needed(a);
    uint32_t nb = words_needed(b);
    uint32_t m = na > nb ? na : nb;
    bool a_negative = a.bits < 0;
    bool b_negative = b.bits < 0;
    if (&out == &a || &out == &b)
        resize(out, m + 1);
    else
        reset(out, m + 1);
    // Word i of both inputs is read before word i of out is written.
    uint64_t carry = 0;
    for (uint32_t i = 0; i < m; i++) {
        uint64_t sum = (uint64_t)word_at(a, i) + word_at(b, i) + carry;
        out.word[i] = (uint32_t)sum;
        carry = sum >> 32;
    }
    if (a_negative && b_negative) {
        // Two negative operands: the sign words' sum with the carry, so
        // that the sum keeps its sign.
        out.word[m] = ALL_ONES - 1 + (uint32_t)carry;
    } else if (a_negative || b_negative) {
        resize(out, m);  // the carry out of a two's complement sum is dropped
    } else {
        out.word[m] = (uint32_t)carry;
    }
    normalize(out);
}

void subtract(const bignum &a, const bignum &b, bignum &out) {
    bignum minus_b;
    assign(minus_b, b);
    negate(minus_b);
    add(a, minus_b, out);
}

void multiply(const bignum &a, const bignum &b, bignum &out) {
    if (is_zero(a) || is_zero(b)) {
        set_int(out, 0);
        return;
    }
    if (a.bits < 0 || b.bits < 0) {
        bignum ma, mb;
        assign(ma, a);
        assign(mb, b);
        if (ma.bits < 0) negate(ma);
        if (mb.bits < 0) negate(mb);
        multiply_positive(ma, mb, out);
        if ((a.bits < 0) != (b.bits < 0)) negate(out);
        return;
    }
    if (&out == &a || &out == &b) {
        bignum product;
        multiply_positive(a, b, product);
        move_to(product, out);
        return;
    }
    multiply_positive(a, b, out);
}

void divide(const bignum &n, const bignum &d, bignum &q, bignum &r) {
    if (is_zero(d)) {
        crypto_host_raise(CRYPTO_EXCEPTION_INT_DIVIDE_BY_ZERO, 0);
        set_int(q, 0);
        set_int(r, 0);
        return;
    }
    if (is_zero(n)) {
        set_int(q, 0);
        set_int(r, 0);
        return;
    }
    if (&q == &r) {
        bignum discarded;
        set_int(discarded, 0);
        divide(n, d, q, discarded);
        return;
    }
    if (&q == &n || &q == &d) {
        bignum quotient;
        set_int(quotient, 0);
        divide(n, d, quotient, r);
        move_to(quotient, q);
        return;
    }
    if (&r == &n || &r == &d) {
        bignum remainder;
        set_int(remainder, 0);
        divide(n, d, q, remainder);
        move_to(remainder, r);
        return;
    }
    if (n.bits < 0 || d.bits < 0) {
        bignum mn, md;
        assign(mn, n);
        assign(md, d);
        if (mn.bits < 0) negate(mn);
        if (md.bits < 0) negate(md);
        divide(mn, md, q, r);
        if ((n.bits < 0) != (d.bits < 0)) negate(q);
        if (n.bits < 0) negate(r);
        return;
    }
    if (compare(d, n) > 0) {
        set_int(q, 0);
        assign(r, n);
        return;
    }
    if (d.bits <= 32) {
        uint64_t divisor = d.word[0];
        reset(q, n.size);
        uint64_t t = 0;
        for (uint32_t i = n.size; i-- > 0;) {
            uint64_t current = (t << 32) | n.word[i];
            q.word[i] = (uint32_t)(current / divisor);
            t = current % divisor;
        }
        r.size = 1;
        r.word[0] = (uint32_t)t;
        if (t & TOP_BIT) {
            r.word[1] = 0;
            r.size = 2;
        }
        normalize(r);
        normalize(q);
        return;
    }
    divide_bit_serial(n, d, q, r);
}

void mod_power(const bignum &base, const bignum &exp, const bignum &mod, bignum &out) {
    if (is_zero(exp)) {
        set_int(out, 1);
        return;
    }
    if (exp.bits < 0 || is_zero(base)) {
        set_int(out, 0);
        return;
    }
    bignum t, quotient;
    divide(base, mod, quotient, t);
    if (t.bits < 0) {
        // A negative base: bring its remainder into [0, |mod|).
        if (mod.bits > 0)
            add(t, mod, t);
        else
            subtract(t, mod, t);
    }
    set_int(out, 1);
    for (uint32_t i = 0; i < (uint32_t)exp.bits; i++) {
        if (test_bit(exp, i)) {
            multiply(out, t, out);
            divide(out, mod, quotient, out);
        }
        multiply(t, t, t);
        divide(t, mod, quotient, t);
    }
}

bool powmod(uint32_t *result, uint32_t result_capacity, const uint32_t *base, uint32_t base_words,
            const uint32_t *exponent, uint32_t exponent_words, const uint32_t *modulus,
            uint32_t modulus_words) {
    if (base_words > BIGNUM_MAX_WORDS || exponent_words > BIGNUM_MAX_WORDS ||
        modulus_words > BIGNUM_MAX_WORDS)
        return false;
    bignum b, e, m, r;
    set_words(b, base, base_words);
    set_words(e, exponent, exponent_words);
    set_words(m, modulus, modulus_words);
    if (result == nullptr || base == nullptr || exponent == nullptr || modulus == nullptr)
        return false;
    if (b.bits < 0) return false;
    mod_power(b, e, m, r);
    return get_words(r, result, result_capacity);
}

bool pow2mod(uint32_t *result, uint32_t result_capacity, const uint32_t *exponent,
             uint32_t exponent_words, const uint32_t *modulus, uint32_t modulus_words) {
    static const uint32_t TWO[1] = {2};
    return powmod(result, result_capacity, TWO, 1, exponent, exponent_words, modulus,
                  modulus_words);
}
