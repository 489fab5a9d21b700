// The three handshake replies and the probe, read by _Initialize. A hook
// plays the driver from fuzz data. It can also play it faithfully: with a
// fixed clock the utility's private exponent, nonce and session key are
// known in advance (the generator is seeded from the clock alone), so the
// hook can give a correct driver proof for any public value B it chooses
// and the right confirmation block, and the target reaches every step,
// with hostile values of B in the shared-secret exponentiation among them.
// GMP and OpenSSL compute what the utility should have sent.
#include <gmp.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "bignum.h"
#include "fuzz_support.h"
#include "hdrand.h"

using namespace MiscCommon;

namespace {

// The pre-shared key, as the simulated driver holds it.
const uint8_t kPreSharedKey[16] = {0x95, 0xdf, 0x1b, 0x62, 0x6c, 0x14, 0xcd, 0x1e,
                                   0x46, 0x9c, 0x5c, 0xfe, 0xf4, 0x0a, 0x8b, 0xf8};
const char kPrimeHex[] =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A0879"
    "8E3404DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B"
    "0BFF5CB6F406B7EDEE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF";

void ToMpz(mpz_t out, const uint8_t *le, size_t n) { mpz_import(out, n, -1, 1, 0, 0, le); }
void FromMpz(uint8_t *le, size_t n, const mpz_t v) {
    memset(le, 0, n);
    size_t count = 0;
    if (mpz_sizeinbase(v, 256) <= n) mpz_export(le, &count, -1, 1, 0, 0, v);
}

void Hmac(const uint8_t *key, size_t key_size, const uint8_t *a, size_t a_size, const uint8_t *b,
          size_t b_size, uint8_t *mac) {
    std::vector<uint8_t> data(a, a + a_size);
    data.insert(data.end(), b, b + b_size);
    unsigned int length = 0;
    HMAC(EVP_sha1(), key, (int)key_size, data.data(), data.size(), mac, &length);
}

// What the utility will draw from its generator under the current clock.
struct Prediction {
    uint32_t exponent[4];
    uint8_t nonce[20];
    uint8_t session_key[16];
};

Prediction Predict() {
    Prediction p = {};
    hdrand_init();
    for (int i = 0; i < 3; i++) p.exponent[i] = hdrand_next();
    for (int i = 0; i < 5; i++) WriteLe32(p.nonce + 4 * i, hdrand_next());
    for (int i = 0; i < 4; i++) WriteLe32(p.session_key + 4 * i, hdrand_next());
    return p;
}

struct Driver {
    FuzzedDataProvider *fdp;
    Prediction predicted;
    mpz_t prime, x;
    int phase;  // the last phase request seen
    bool probe_not_supported;
    bool phase1_accepted;
    uint32_t session_id;
    uint8_t client_public[MISC_NUMBER_BYTES], driver_public[MISC_NUMBER_BYTES];
    uint8_t client_nonce_field[MISC_NONCE_FIELD_SIZE], driver_nonce_field[MISC_NONCE_FIELD_SIZE];
    uint8_t link_key[MISC_PROOF_SIZE];
    uint32_t closes;
};

// Values of B that break assumptions: zero, one, p - 1, p, p + 1, all
// ones below the top word, a non-zero top word, a negative array.
void SpecialPublic(uint8_t which, mpz_t prime, uint8_t *out) {
    mpz_t v;
    mpz_init(v);
    switch (which % 9) {
    case 0: mpz_set_ui(v, 0); break;
    case 1: mpz_set_ui(v, 1); break;
    case 2: mpz_sub_ui(v, prime, 1); break;
    case 3: mpz_set(v, prime); break;
    case 4: mpz_add_ui(v, prime, 1); break;
    case 5: mpz_ui_pow_ui(v, 2, 1024); mpz_sub_ui(v, v, 1); break;
    case 6: mpz_ui_pow_ui(v, 2, 1055); mpz_sub_ui(v, v, 1); break;
    case 7: mpz_ui_pow_ui(v, 2, 1055); break;  // the top bit: a negative array
    default: mpz_ui_pow_ui(v, 2, 1056); mpz_sub_ui(v, v, 1); break;  // all ones
    }
    FromMpz(out, MISC_NUMBER_BYTES, v);
    mpz_clear(v);
}

sim::MiscDeviceReply Phase1(Driver &d, const uint8_t *in, uint32_t in_size, uint8_t *out,
                            uint32_t cap) {
    FuzzedDataProvider &fdp = *d.fdp;
    FUZZ_CHECK(in_size == MISC_PHASE1_SIZE && cap == MISC_PHASE1_SIZE);
    FUZZ_CHECK(memcmp(in + 136, d.predicted.nonce, 20) == 0);
    FUZZ_CHECK(ReadLe32(in + 156) == 0 && ReadLe32(in + 132) == 0);
    // A = 2^x mod p.
    mpz_t a, expected;
    mpz_inits(a, expected, nullptr);
    ToMpz(a, in + 4, MISC_NUMBER_BYTES);
    mpz_set_ui(expected, 2);
    mpz_powm(expected, expected, d.x, d.prime);
    FUZZ_CHECK(mpz_cmp(a, expected) == 0);
    mpz_clears(a, expected, nullptr);
    memcpy(d.client_public, in + 4, MISC_NUMBER_BYTES);
    memcpy(d.client_nonce_field, in + MISC_PHASE1_NONCE_FIELD, MISC_NONCE_FIELD_SIZE);

    d.session_id = fdp.ConsumeIntegral<uint32_t>();
    const uint8_t kind = fdp.ConsumeIntegral<uint8_t>();
    if (kind < 64) {
        fuzz::ConsumeInto(fdp, d.driver_public, MISC_NUMBER_BYTES);
    } else if (kind < 128) {
        SpecialPublic(kind, d.prime, d.driver_public);
    } else {
        // A faithful driver: B = 2^y mod p.
        mpz_t b, y;
        mpz_inits(b, y, nullptr);
        mpz_set_ui(y, fdp.ConsumeIntegral<uint64_t>() | 1);
        mpz_set_ui(b, 2);
        mpz_powm(b, b, y, d.prime);
        FromMpz(d.driver_public, MISC_NUMBER_BYTES, b);
        mpz_clears(b, y, nullptr);
    }
    fuzz::ConsumeInto(fdp, d.driver_nonce_field, MISC_NONCE_FIELD_SIZE);
    WriteLe32(out, d.session_id);
    memcpy(out + 4, d.driver_public, MISC_NUMBER_BYTES);
    memcpy(out + MISC_PHASE1_NONCE_FIELD, d.driver_nonce_field, MISC_NONCE_FIELD_SIZE);
    Hmac(kPreSharedKey, sizeof kPreSharedKey, d.client_nonce_field, MISC_NONCE_FIELD_SIZE,
         d.driver_nonce_field, MISC_NONCE_FIELD_SIZE, d.link_key);

    const bool result = fdp.ConsumeIntegral<uint8_t>() != 0;
    const uint32_t error = fuzz::ConsumeLastError(fdp);
    const uint32_t n = fuzz::ConsumeReplySize(fdp, MISC_PHASE1_SIZE, cap);
    if (n < MISC_PHASE1_SIZE) memset(out + n, 0, MISC_PHASE1_SIZE - n);
    d.phase1_accepted = result && n == MISC_PHASE1_SIZE;
    return sim::MiscDeviceReply{result, error, n};
}

// A reply that is right, right but for one byte, or fuzz bytes.
void ShapeReply(FuzzedDataProvider &fdp, uint8_t *reply, uint32_t size) {
    const uint8_t kind = fdp.ConsumeIntegral<uint8_t>();
    if (kind < 32) {
        fuzz::ConsumeInto(fdp, reply, size);
    } else if (kind < 64) {
        reply[fdp.ConsumeIntegralInRange<uint32_t>(0, size - 1)] ^=
            (uint8_t)(fdp.ConsumeIntegral<uint8_t>() | 1);
    }
}

sim::MiscDeviceReply Phase2(Driver &d, const uint8_t *in, uint32_t in_size, uint8_t *out,
                            uint32_t cap) {
    FuzzedDataProvider &fdp = *d.fdp;
    FUZZ_CHECK(in_size == 28 && cap == MISC_PROOF_SIZE);
    FUZZ_CHECK(ReadLe32(in + 4) == d.session_id);
    uint8_t proof[MISC_PROOF_SIZE];
    Hmac(d.link_key, MISC_PROOF_SIZE, d.client_public, MISC_NUMBER_BYTES, d.driver_public, MISC_NUMBER_BYTES, proof);
    FUZZ_CHECK(memcmp(in + 8, proof, MISC_PROOF_SIZE) == 0);
    Hmac(d.link_key, MISC_PROOF_SIZE, d.driver_public, MISC_NUMBER_BYTES, d.client_public, MISC_NUMBER_BYTES, out);
    ShapeReply(fdp, out, MISC_PROOF_SIZE);
    const bool result = fdp.ConsumeIntegral<uint8_t>() != 0;
    const uint32_t error = fuzz::ConsumeLastError(fdp);
    return sim::MiscDeviceReply{result, error, fuzz::ConsumeReplySize(fdp, MISC_PROOF_SIZE, cap)};
}

sim::MiscDeviceReply Phase3(Driver &d, const uint8_t *in, uint32_t in_size, uint8_t *out,
                            uint32_t cap) {
    FuzzedDataProvider &fdp = *d.fdp;
    FUZZ_CHECK(in_size == 24 && cap == MISC_PHASE3_REPLY_SIZE);
    FUZZ_CHECK(ReadLe32(in + 4) == d.session_id);
    // The session key must arrive enciphered under SHA-1(B^x mod p).
    mpz_t b, z;
    mpz_inits(b, z, nullptr);
    ToMpz(b, d.driver_public, MISC_NUMBER_BYTES);
    mpz_powm(z, b, d.x, d.prime);
    uint8_t zBytes[MISC_NUMBER_BYTES], digest[EVP_MAX_MD_SIZE];
    FromMpz(zBytes, MISC_NUMBER_BYTES, z);
    mpz_clears(b, z, nullptr);
    unsigned int length = 0;
    EVP_Digest(zBytes, MISC_NUMBER_BYTES, digest, &length, EVP_sha1(), nullptr);
    BlowfishContext kek;
    BlowfishInitialize(&kek, digest, 16);
    for (int block = 0; block < 2; block++) {
        uint32_t left = ReadLe32(in + 8 + 8 * block), right = ReadLe32(in + 12 + 8 * block);
        BlowfishDecipher(&kek, &left, &right);
        FUZZ_CHECK(left == ReadLe32(d.predicted.session_key + 8 * block));
        FUZZ_CHECK(right == ReadLe32(d.predicted.session_key + 8 * block + 4));
    }
    BlowfishContext session;
    BlowfishInitialize(&session, d.predicted.session_key, 16);
    uint32_t left = 0x68747541, right = 0x6373694d;  // "Auth" "Misc"
    BlowfishEncipher(&session, &left, &right);
    WriteLe32(out, left);
    WriteLe32(out + 4, right);
    ShapeReply(fdp, out, MISC_PHASE3_REPLY_SIZE);
    const bool result = fdp.ConsumeIntegral<uint8_t>() != 0;
    const uint32_t error = fuzz::ConsumeLastError(fdp);
    return sim::MiscDeviceReply{result, error, fuzz::ConsumeReplySize(fdp, MISC_PHASE3_REPLY_SIZE, cap)};
}

sim::MiscDeviceReply Hook(void *context, uint32_t code, const uint8_t *in, uint32_t in_size,
                          uint8_t *out, uint32_t out_capacity) {
    Driver &d = *(Driver *)context;
    FuzzedDataProvider &fdp = *d.fdp;
    if (code == IOCTL_MISC_SESSION_CLOSE) {
        FUZZ_CHECK(in_size == 4 && ReadLe32(in) == d.session_id && d.phase1_accepted);
        d.closes++;
        return sim::MiscDeviceReply{fdp.ConsumeBool(), fuzz::ConsumeLastError(fdp), 0};
    }
    FUZZ_CHECK(code == IOCTL_MISC_SESSION);
    if (in_size == 0) {
        FUZZ_CHECK(d.phase == 0 && out_capacity == 0);
        d.phase = 1;
        const bool result = fdp.ConsumeBool();
        const uint32_t error = fdp.ConsumeIntegral<uint8_t>() < 32 ? (uint32_t)ERROR_NOT_SUPPORTED
                                                                   : fuzz::ConsumeLastError(fdp);
        d.probe_not_supported = !result && error == ERROR_NOT_SUPPORTED;
        return sim::MiscDeviceReply{result, error, 0};
    }
    FUZZ_CHECK(in_size >= 4);
    if (memcmp(in, "Ini1", 4) == 0) {
        FUZZ_CHECK(d.phase == 1);
        d.phase = 2;
        return Phase1(d, in, in_size, out, out_capacity);
    }
    if (memcmp(in, "Ini2", 4) == 0) {
        FUZZ_CHECK(d.phase == 2 && d.phase1_accepted);
        d.phase = 3;
        return Phase2(d, in, in_size, out, out_capacity);
    }
    FUZZ_CHECK(memcmp(in, "Ini3", 4) == 0 && d.phase == 3);
    d.phase = 4;
    return Phase3(d, in, in_size, out, out_capacity);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::UseMachine(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    // The clock, and with it everything the utility draws.
    SYSTEMTIME now = {2026, 12, 4, 10, 5, 0, 0, 0};
    now.wMilliseconds = fdp.ConsumeIntegralInRange<WORD>(0, 999);
    hosted::SetFixedClock(now, fdp.ConsumeIntegral<int64_t>());

    Driver d = {};
    d.fdp = &fdp;
    d.predicted = Predict();
    mpz_inits(d.prime, d.x, nullptr);
    mpz_set_str(d.prime, kPrimeHex, 16);
    uint8_t xBytes[16];
    for (int i = 0; i < 4; i++) WriteLe32(xBytes + 4 * i, d.predicted.exponent[i]);
    ToMpz(d.x, xBytes, sizeof xBytes);
    // The first or second allocation of the handshake may fail: the work
    // buffer, the context.
    const uint8_t failing = fdp.ConsumeIntegral<uint8_t>();

    fuzz::CHeapWatch watch;
    {
        CMiscCommon misc;
        FUZZ_CHECK(misc.OpenDriver() == MISC_RESULT_SUCCESS);
        hosted::SetMiscDeviceHook(Hook, &d);
        hosted::SetFailingAllocation(failing < 8 ? failing % 3 : 0);
        const DWORD result = misc._Initialize();
        hosted::SetFailingAllocation(0);
        if (result == MISC_RESULT_SUCCESS) {
            if (d.probe_not_supported) {
                FUZZ_CHECK(d.phase == 1 && fuzz::Access::_bSecureSession(misc) == 0 &&
                           !fuzz::Access::_pBlowfishContext(misc));
            } else {
                FUZZ_CHECK(d.phase == 4 && fuzz::Access::_pBlowfishContext(misc) &&
                           fuzz::Access::_dwSessionId(misc) == d.session_id);
                FUZZ_CHECK(fuzz::Access::_dwNextMessageId(misc) == 0 && d.closes == 0);
                // The context enciphers under the session key.
                BlowfishContext session;
                BlowfishInitialize(&session, d.predicted.session_key, 16);
                uint32_t l1 = 1, r1 = 2, l2 = 1, r2 = 2;
                BlowfishEncipher(&session, &l1, &r1);
                const BYTE *context = fuzz::Access::_pBlowfishContext(misc);
                BlowfishEncipher((const BlowfishContext *)context, &l2, &r2);
                FUZZ_CHECK(l1 == l2 && r1 == r2);
            }
        } else {
            FUZZ_CHECK(result == MISC_RESULT_FAILED || result == MISC_RESULT_INSUFFICIENT_BUFFER ||
                       result == MISC_RESULT_DEVICE_UNAVAILABLE);
            FUZZ_CHECK(!fuzz::Access::_pBlowfishContext(misc) &&
                       fuzz::Access::_dwSessionId(misc) == 0 &&
                       fuzz::Access::_bSecureSession(misc) == 1);
            // A half-open session is dropped once the driver has named it.
            FUZZ_CHECK(d.closes == (d.phase1_accepted ? 1u : 0u));
        }
        // The destructor ends an established session at the driver.
        d.phase1_accepted = true;
    }
    hosted::SetMiscDeviceHook(nullptr, nullptr);
    watch.Check();
    mpz_clears(d.prime, d.x, nullptr);
    return 0;
}
