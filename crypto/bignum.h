// Fixed-capacity signed big integers and modular exponentiation.
//
// A bignum is a stack value of 67 32-bit words in two's complement, least
// significant word first, with the count of words in use and a signed bit
// length. Nothing here allocates memory or keeps state. Exceeding the
// capacity raises EXCEPTION_INT_OVERFLOW (non-continuable) and a division
// by zero raises EXCEPTION_INT_DIVIDE_BY_ZERO; nothing catches either.
//
// The number of words that an operation leaves in `size` is part of its
// result: pow2mod and powmod write exactly that many words.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint32_t BIGNUM_MAX_WORDS = 67;

struct bignum {
    // Words in use, 1 to BIGNUM_MAX_WORDS; never 0.
    uint32_t size;
    // Signed bit length, its sign the number's sign. Positive v: index of
    // the highest 1 bit plus one. Negative v: -(1 + bit length of ~v).
    // Zero: 0.
    int32_t bits;
    // Two's complement, least significant first; word[size] and above are
    // not meaningful (they read as the sign word, see word_at).
    uint32_t word[BIGNUM_MAX_WORDS];
};
static_assert(sizeof(bignum) == (2 + BIGNUM_MAX_WORDS) * sizeof(uint32_t), "bignum is 69 words");

// --- Entry points ------------------------------------------------------
//
// base^exponent mod modulus. Each array holds its stated number of words,
// least significant first, read as two's complement; a null array or a
// length of 0 reads as zero. Writes exactly the result's `size` words into
// result and returns true; returns false and writes nothing when a pointer
// is null, the result has more words than result_capacity, an input length
// exceeds BIGNUM_MAX_WORDS (the array is then not read) or the base is
// negative (its last word has the top bit set).
bool powmod(uint32_t *result, uint32_t result_capacity, const uint32_t *base, uint32_t base_words,
            const uint32_t *exponent, uint32_t exponent_words, const uint32_t *modulus,
            uint32_t modulus_words);
// 2^exponent mod modulus: powmod with the one-word base 2.
bool pow2mod(uint32_t *result, uint32_t result_capacity, const uint32_t *exponent,
             uint32_t exponent_words, const uint32_t *modulus, uint32_t modulus_words);

// --- Operations --------------------------------------------------------

// x = v; size 1.
void set_int(bignum &x, int32_t v);
// x = the n words at p, normalized; size n. p null or n = 0: zero, size 1.
// n above BIGNUM_MAX_WORDS raises the capacity exception.
void set_words(bignum &x, const uint32_t *p, uint32_t n);
// Copies x's size words to p when they fit in capacity; false otherwise,
// with nothing written.
bool get_words(const bignum &x, uint32_t *p, uint32_t capacity);
// x = b, taking b's size. Nothing when b is x.
void assign(bignum &x, const bignum &b);
// b takes x's value and size; x becomes zero with size 1.
void move_to(bignum &x, bignum &b);
// size = n (0 taken as 1), bits = 0, word[0] = 0; other words untouched.
// n above BIGNUM_MAX_WORDS terminates the process.
void reset(bignum &x, uint32_t n);
// size = n (0 taken as 1), new words get the sign word, bits unchanged.
// n above BIGNUM_MAX_WORDS raises the capacity exception.
void resize(bignum &x, uint32_t n);
// Recomputes bits from the words; the sign is the top bit of word[size-1].
void normalize(bignum &x);
// Fewest words that hold the value with a correct sign bit (0 for zero).
uint32_t words_needed(const bignum &x);
// word[i] within size, else the sign word (0 or 0xFFFFFFFF, from bits).
uint32_t word_at(const bignum &x, uint32_t i);
// Bit i; i must lie within size words.
bool test_bit(const bignum &x, uint32_t i);
// Negative, zero or positive as a < b, a = b, a > b.
int compare(const bignum &a, const bignum &b);
// True for -2^(32*size-1), the value that negate must widen.
bool is_min_negative(const bignum &x);
// x = ~x.
void complement(bignum &x);
// x = -x; size grows by one only for is_min_negative.
void negate(bignum &x);
// x = 2x; size grows by one when the top bit of the top word was set.
void shift_left_1(bignum &x);
// x = x * 2^(32n).
void shift_left_words(bignum &x, uint32_t n);
// out = a + b. out may be a or b.
void add(const bignum &a, const bignum &b, bignum &out);
// out = a - b. out may be a or b.
void subtract(const bignum &a, const bignum &b, bignum &out);
// out = a * b (one-word or Karatsuba). out may be a or b.
void multiply(const bignum &a, const bignum &b, bignum &out);
// q = n / d, r = n mod d (one-word or bit-serial restoring division). Any
// output may be an input; when q and r are the same number it receives
// the quotient. A negative operand divides the magnitudes: the quotient
// is truncated toward zero and the remainder takes n's sign.
void divide(const bignum &n, const bignum &d, bignum &q, bignum &r);
// out = base^exp mod mod, right-to-left binary. out must differ from the
// three inputs. A negative base is first reduced into [0, |mod|).
void mod_power(const bignum &base, const bignum &exp, const bignum &mod, bignum &out);
