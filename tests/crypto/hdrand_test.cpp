// The hdrand generator under a fixed simulated clock, with OpenSSL's SHA-1
// as the reference for the pool.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "byte_order.h"
#include "hdrand.h"
#include "hosted.h"
#include "sha1.h"
#include "test_support.h"

using namespace crypto_test;

namespace {

Bytes OpenSslSha1(const Bytes &message) {
    Bytes digest(SHA1_DIGEST_SIZE);
    unsigned int n = 0;
    EVP_Digest(message.data(), message.size(), digest.data(), &n, EVP_sha1(), nullptr);
    return digest;
}

Bytes Pool() {
    Bytes pool(HDRAND_POOL_SIZE);
    hdrand_state_pool(pool.data());
    return pool;
}

// Draws n words and checks each against the rules: the word is the pool at
// the offset (0, 4, 8, 12, then 0 again, from the current offset on), and
// the pool becomes SHA-1 of its bytes 2 to 17 followed by that offset.
void ExpectWordsFollowThePool(int n) {
    const uint32_t offsets[] = {0, 4, 8, 12};
    const uint32_t first = hdrand_state_offset() / 4;
    for (int k = 0; k < n; k++) {
        SCOPED_TRACE("word " + std::to_string(k));
        Bytes before = Pool();
        uint32_t offset = offsets[(first + k) % 4];
        uint32_t word = hdrand_next();
        EXPECT_EQ(word, ReadLe32(before.data() + offset));
        Bytes input(before.begin() + 2, before.begin() + 18);
        input.resize(20);
        WriteLe32(input.data() + 16, offset);
        EXPECT_EQ(ToHex(Pool()), ToHex(OpenSslSha1(input)));
        EXPECT_EQ(hdrand_state_offset(), (offset + 4) % 20);
    }
}

struct FixedClock {
    FixedClock(const SYSTEMTIME &time, int64_t counter) { hosted::SetFixedClock(time, counter); }
    ~FixedClock() { hosted::ClearFixedClock(); }
};

TEST(Hdrand, SeedIsSha1OfCounterThenTimeAndOutputsFollowThePool) {
    const SYSTEMTIME time = {2024, 3, 2, 19, 13, 45, 7, 912};
    const int64_t counter = 0x0123456789ABCDEFLL;
    FixedClock clock(time, counter);

    hdrand_state_clear();
    hdrand_next();  // leave a non-zero offset: seeding must restart it
    EXPECT_TRUE(hdrand_init());
    EXPECT_EQ(hdrand_state_offset(), 0u);

    // K = the counter's 8 bytes, T = the SYSTEMTIME's eight fields, all
    // little-endian.
    Bytes seed = FromHex("efcdab8967452301" "e807" "0300" "0200" "1300" "0d00" "2d00" "0700" "9003");
    Bytes digest = OpenSslSha1(seed);
    EXPECT_EQ(ToHex(Pool()), ToHex(digest));

    // Two full rounds of offsets: the fifth word is read at offset 0 again
    // and hashes the offset 0 into the pool.
    ExpectWordsFollowThePool(8);

    EXPECT_EQ(hdrand_test(), 1);
    EXPECT_EQ(hdrand_test(), 1);
}

TEST(Hdrand, FromTheZeroStateTheFirstWordIsZero) {
    hdrand_state_clear();
    EXPECT_EQ(hdrand_next(), 0u);
    EXPECT_EQ(ToHex(Pool()), ToHex(OpenSslSha1(Bytes(20, 0))));
    EXPECT_EQ(hdrand_state_offset(), 4u);
    ExpectWordsFollowThePool(4);
}

}  // namespace
