// Helpers shared by the crypto tests: byte strings from the vector
// notation, hex, seeded random numbers.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <iostream>
#include <random>
#include <string>
#include <vector>

namespace crypto_test {

typedef std::vector<uint8_t> Bytes;

inline Bytes FromHex(const std::string &hex) {
    Bytes out;
    std::string digits;
    for (char c : hex)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back((uint8_t)strtoul(digits.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

inline std::string ToHex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
inline std::string ToHex(const Bytes &b) { return ToHex(b.data(), b.size()); }

// "text:abc" or "hex:0b0c", optionally followed by "*n" to repeat n times.
inline Bytes FromNotation(const std::string &notation) {
    std::string body = notation.substr(notation.find(':') + 1);
    size_t repeat = 1;
    size_t star = body.rfind('*');
    if (star != std::string::npos) {
        repeat = strtoul(body.c_str() + star + 1, nullptr, 10);
        body.resize(star);
    }
    Bytes once = notation.compare(0, 4, "hex:") == 0 ? FromHex(body) : Bytes(body.begin(), body.end());
    Bytes out;
    for (size_t i = 0; i < repeat; i++) out.insert(out.end(), once.begin(), once.end());
    return out;
}


// A generator for randomized tests. The seed comes from CELLVARO_TEST_SEED
// when set, else from the system; it is printed so a failure can be rerun.
inline std::mt19937_64 SeededRng(const char *test_name) {
    uint64_t seed;
    const char *env = getenv("CELLVARO_TEST_SEED");
    if (env != nullptr && *env != 0)
        seed = strtoull(env, nullptr, 0);
    else
        seed = ((uint64_t)std::random_device{}() << 32) ^ std::random_device{}();
    std::cout << test_name << ": seed " << seed << " (set CELLVARO_TEST_SEED to repeat)"
              << std::endl;
    return std::mt19937_64(seed);
}

}  // namespace crypto_test
