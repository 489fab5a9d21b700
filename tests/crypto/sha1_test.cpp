// SHA-1 and HMAC-SHA1: published vectors, the ways a message can be split
// into updates, and OpenSSL as an oracle over random inputs.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "sha1.h"
#include "test_support.h"

using namespace crypto_test;

namespace {

struct DigestVector {
    const char *message;
    const char *digest;
};
const DigestVector FIPS180_VECTORS[] = {
#include "vectors/fips180_sha1.inc"
};

struct HmacVector {
    const char *key;
    const char *data;
    const char *digest;
};
const HmacVector RFC2202_VECTORS[] = {
#include "vectors/rfc2202_hmac_sha1.inc"
};

// Hashes message fed as consecutive updates of the given lengths, cycling
// through them.
Bytes Sha1InChunks(const Bytes &message, const std::vector<size_t> &chunks) {
    sha1_context ctx;
    memset(&ctx, 0, sizeof ctx);
    sha1_init(&ctx);
    size_t pos = 0;
    for (size_t k = 0; pos < message.size(); k++) {
        size_t n = std::min(chunks[k % chunks.size()], message.size() - pos);
        sha1_update(&ctx, message.data() + pos, (uint32_t)n);
        pos += n;
    }
    sha1_final(&ctx);
    Bytes digest(SHA1_DIGEST_SIZE);
    sha1_result(&ctx, digest.data());
    return digest;
}

Bytes Sha1(const Bytes &message) { return Sha1InChunks(message, {message.size() + 1}); }

Bytes OpenSslSha1(const Bytes &message) {
    Bytes digest(SHA1_DIGEST_SIZE);
    unsigned int n = 0;
    EVP_Digest(message.data(), message.size(), digest.data(), &n, EVP_sha1(), nullptr);
    return digest;
}

Bytes Hmac(const Bytes &key, const Bytes &data) {
    sha1_context ctx;
    memset(&ctx, 0, sizeof ctx);
    Bytes mac(SHA1_DIGEST_SIZE);
    // data() of an empty vector may be null; keep the pointers valid.
    static const uint8_t empty = 0;
    hmac_sha1(&ctx, key.empty() ? &empty : key.data(), (uint32_t)key.size(),
              data.empty() ? &empty : data.data(), (uint32_t)data.size(), mac.data());
    return mac;
}

Bytes RandomBytes(std::mt19937_64 &rng, size_t n) {
    Bytes b(n);
    for (auto &x : b) x = (uint8_t)rng();
    return b;
}

TEST(Sha1, PublishedDigestsInOneCallByteByByteAndInOddChunks) {
    for (const auto &v : FIPS180_VECTORS) {
        Bytes message = FromNotation(v.message);
        SCOPED_TRACE(std::string(v.message).substr(0, 40));
        EXPECT_EQ(ToHex(Sha1(message)), v.digest);
        EXPECT_EQ(ToHex(Sha1InChunks(message, {1})), v.digest);
        EXPECT_EQ(ToHex(Sha1InChunks(message, {1, 63, 64, 65})), v.digest);
        EXPECT_EQ(ToHex(Sha1InChunks(message, {65, 1, 64, 63})), v.digest);
    }
}

TEST(Sha1, SplitAtEveryOffsetMatchesOneCall) {
    // 200 bytes cross three block boundaries and both padding cases.
    std::mt19937_64 rng = SeededRng("Sha1.SplitAtEveryOffsetMatchesOneCall");
    Bytes message = RandomBytes(rng, 200);
    Bytes whole = OpenSslSha1(message);
    for (size_t split = 0; split <= message.size(); split++) {
        sha1_context ctx;
        sha1_init(&ctx);
        sha1_update(&ctx, message.data(), (uint32_t)split);
        sha1_update(&ctx, message.data() + split, (uint32_t)(message.size() - split));
        sha1_final(&ctx);
        Bytes digest(SHA1_DIGEST_SIZE);
        sha1_result(&ctx, digest.data());
        ASSERT_EQ(ToHex(digest), ToHex(whole)) << "split at " << split;
    }
}

TEST(Sha1, AgreesWithOpenSslOnRandomLengths) {
    std::mt19937_64 rng = SeededRng("Sha1.AgreesWithOpenSslOnRandomLengths");
    for (int i = 0; i < 300; i++) {
        Bytes message = RandomBytes(rng, rng() % 4097);
        ASSERT_EQ(ToHex(Sha1InChunks(message, {1 + rng() % 130, 1 + rng() % 130})),
                  ToHex(OpenSslSha1(message)))
            << "length " << message.size();
    }
}

TEST(Sha1, FinalLeavesNothingOfTheMessage) {
    sha1_context ctx;
    sha1_init(&ctx);
    Bytes message = FromNotation("text:abc");
    sha1_update(&ctx, message.data(), 3);
    sha1_final(&ctx);
    sha1_context zero_run;
    memset(&zero_run, 0, sizeof zero_run);
    sha1_transform(&zero_run, zero_run.block);  // compression of zeros from zeros
    EXPECT_EQ(ctx.bit_count[0], 0u);
    EXPECT_EQ(ctx.bit_count[1], 0u);
    for (uint8_t b : ctx.block) EXPECT_EQ(b, 0);
    for (uint32_t i = 0; i < SHA1_HASH_WORDS; i++) EXPECT_EQ(ctx.h[i], zero_run.h[i]);
    for (uint32_t i = 0; i < SHA1_SCHEDULE_WORDS; i++) EXPECT_EQ(ctx.w[i], zero_run.w[i]);
}

TEST(HmacSha1, Rfc2202Cases) {
    for (const auto &v : RFC2202_VECTORS) {
        SCOPED_TRACE(v.data);
        EXPECT_EQ(ToHex(Hmac(FromNotation(v.key), FromNotation(v.data))), v.digest);
    }
}

TEST(HmacSha1, KeysAboveOneBlockAreHashedAndAOneBlockKeyIsNot) {
    std::mt19937_64 rng = SeededRng("HmacSha1.KeysAboveOneBlockAreHashedAndAOneBlockKeyIsNot");
    Bytes data = RandomBytes(rng, 48);
    Bytes key65 = RandomBytes(rng, 65);
    EXPECT_EQ(ToHex(Hmac(key65, data)), ToHex(Hmac(OpenSslSha1(key65), data)));
    Bytes key64(key65.begin(), key65.begin() + 64);
    EXPECT_NE(ToHex(Hmac(key64, data)), ToHex(Hmac(OpenSslSha1(key64), data)));

    // Every key length around the block size, against OpenSSL.
    for (size_t n = 0; n <= 130; n++) {
        Bytes key = RandomBytes(rng, n);
        Bytes expected(SHA1_DIGEST_SIZE);
        unsigned int len = 0;
        static const uint8_t empty = 0;
        HMAC(EVP_sha1(), key.empty() ? &empty : key.data(), (int)n, data.data(), data.size(),
             expected.data(), &len);
        ASSERT_EQ(ToHex(Hmac(key, data)), ToHex(expected)) << "key length " << n;
    }
}

TEST(HmacSha1, LeavesTheContextReadyForTheNextHash) {
    sha1_context ctx;
    memset(&ctx, 0, sizeof ctx);
    Bytes key = FromNotation("text:Jefe"), data = FromNotation("text:abc"), mac(SHA1_DIGEST_SIZE);
    hmac_sha1(&ctx, key.data(), 4, data.data(), 3, mac.data());
    // No sha1_init here: the context must already be initialised.
    sha1_update(&ctx, data.data(), 3);
    sha1_final(&ctx);
    Bytes digest(SHA1_DIGEST_SIZE);
    sha1_result(&ctx, digest.data());
    EXPECT_EQ(ToHex(digest), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(HmacSha1, NullArgumentsWriteNothing) {
    sha1_context ctx;
    sha1_init(&ctx);
    uint8_t key[16] = {1}, data[4] = {2};
    const uint8_t untouched[SHA1_DIGEST_SIZE] = {0xA5, 0xA5, 0xA5};
    uint8_t mac[SHA1_DIGEST_SIZE];
    struct Case {
        sha1_context *ctx;
        const uint8_t *key;
        const uint8_t *data;
        uint32_t data_length;
    } cases[] = {{nullptr, key, data, 4}, {&ctx, nullptr, data, 4}, {&ctx, key, nullptr, 4},
                 {&ctx, key, nullptr, 0}};
    for (const auto &c : cases) {
        memcpy(mac, untouched, sizeof mac);
        hmac_sha1(c.ctx, c.key, 16, c.data, c.data_length, mac);
        EXPECT_EQ(memcmp(mac, untouched, sizeof mac), 0);
    }
    hmac_sha1(&ctx, key, 16, data, 4, nullptr);  // no output: returns without effect

    // A null context is ignored by every SHA-1 call.
    sha1_init(nullptr);
    sha1_update(nullptr, data, 4);
    sha1_transform(nullptr, data);
    sha1_final(nullptr);
    memcpy(mac, untouched, sizeof mac);
    sha1_result(nullptr, mac);
    EXPECT_EQ(memcmp(mac, untouched, sizeof mac), 0);
}

}  // namespace
