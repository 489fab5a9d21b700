// An oracle for the reproducible run (fixtures/reproducible.json): the
// handshake and the capsules recorded in fixtures/handshake.jsonl and
// fixtures/capsules.jsonl are recomputed from the run's inputs with GMP
// and OpenSSL, never with crypto/. The utility and the simulated driver
// share crypto/, so a mistake made the same way on both sides still
// completes the handshake and re-records into the fixtures; here it shows.
//
// The inputs: the machine file's fixed clock (the seed of the client's
// random words), its fixed driver exponent (which also seeds the driver's
// randomness), its battery pack, and the pre-shared key transcribed below.
// Only the session identifier, the driver's free choice, is read from the
// recording. The sizes, codes and key below are transcribed here rather
// than taken from protocol/, so that a wrong shared fact shows as well.
#include <gmp.h>
#include <gtest/gtest.h>
#include <openssl/blowfish.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <stdio.h>
#include <time.h>

#include <fstream>

#include "byte_order.h"
#include "process.h"
#include "test_support.h"

namespace e2e {
namespace {

using crypto_test::FromHex;
using crypto_test::ToHex;
typedef crypto_test::Bytes Bytes;

const std::string kFixtures = std::string(CELLVARO_SOURCE_DIR) + "/tests/e2e/fixtures";

constexpr size_t kNumberBytes = 132;  // a 1024-bit value: 33 little-endian words
constexpr size_t kKeySize = 16;
constexpr uint32_t kIoctlMiscFunction = 0x222944;

// The pre-shared authentication key: the driver's copy, kPreSharedKey in
// sim/misc_device.cpp; the utility assembles the same 16 bytes at offset
// 45 of its constant block in misc/session.cpp.
const Bytes kPreSharedKey = FromHex("95df1b62 6c14cd1e 469c5cfe f40a8bf8");

Bytes Le32Bytes(uint32_t v) {
    Bytes b(4);
    WriteLe32(b.data(), v);
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Slice(const Bytes &b, size_t offset, size_t size) {
    if (offset + size > b.size()) return Bytes();
    return Bytes(b.begin() + offset, b.begin() + offset + size);
}

// --- OpenSSL ------------------------------------------------------------

Bytes Sha1(const Bytes &data) {
    Bytes digest(20);
    unsigned n = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &n, EVP_sha1(), nullptr);
    return digest;
}

Bytes HmacSha1(const Bytes &key, const Bytes &data) {
    Bytes mac(20);
    unsigned n = 0;
    HMAC(EVP_sha1(), key.data(), (int)key.size(), data.data(), data.size(), mac.data(), &n);
    return mac;
}

// OpenSSL's low-level Blowfish is deprecated in OpenSSL 3 but present;
// only these calls are exempt from the warning.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// This system's key schedule for a 16-byte key, through OpenSSL's: its
// 18 key words pack the key bytes cyclically, each sign-extended as a
// signed 8-bit value (a byte of 0x80 or more overwrites the bytes shifted
// in before it). Written big-endian, all 72 bytes handed to BF_set_key
// make it XOR exactly these words into P.
BF_KEY SystemSchedule(const Bytes &key) {
    uint8_t words[72];
    for (size_t i = 0; i < 18; i++) {
        uint32_t d = 0;
        for (size_t k = 0; k < 4; k++) d = d << 8 | (uint32_t)(int32_t)(int8_t)key[(4 * i + k) % kKeySize];
        for (size_t k = 0; k < 4; k++) words[4 * i + k] = (uint8_t)(d >> (24 - 8 * k));
    }
    BF_KEY schedule;
    BF_set_key(&schedule, sizeof words, words);
    return schedule;
}

// ECB over bytes [offset, offset + size) of data, each block two
// little-endian words, left = bytes 0 to 3.
Bytes Ecb(const Bytes &key, Bytes data, size_t offset, size_t size, bool encipher) {
    BF_KEY schedule = SystemSchedule(key);
    for (size_t p = offset; p + 8 <= offset + size && p + 8 <= data.size(); p += 8) {
        BF_LONG block[2] = {ReadLe32(&data[p]), ReadLe32(&data[p + 4])};
        if (encipher)
            BF_encrypt(block, &schedule);
        else
            BF_decrypt(block, &schedule);
        WriteLe32(&data[p], (uint32_t)block[0]);
        WriteLe32(&data[p + 4], (uint32_t)block[1]);
    }
    return data;
}

#pragma GCC diagnostic pop

// --- GMP ----------------------------------------------------------------

struct Number {
    mpz_t z;
    Number() { mpz_init(z); }
    ~Number() { mpz_clear(z); }
    Number(const Number &) = delete;
    Number &operator=(const Number &) = delete;
};

// The RFC 2409 prime, printed there most significant digit first.
void Prime(mpz_t p) {
    std::string digits;
    for (char c : std::string(
#include "vectors/modp1024.inc"
             ))
        if (c != ' ') digits += c;
    mpz_set_str(p, digits.c_str(), 16);
}

// A value below the prime as the 132-byte field of the messages.
Bytes Field(const mpz_t v) {
    Bytes out(kNumberBytes, 0);
    size_t count = 0;
    mpz_export(out.data(), &count, -1, 1, 0, 0, v);
    EXPECT_LE(count, kNumberBytes);
    return out;
}

// --- The run's inputs ---------------------------------------------------

json ReadJson(const std::string &path) {
    std::ifstream in(path);
    return json::parse(in);
}

std::vector<std::string> ReadLines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// The hdrand generator: a SHA-1 pool seeded with the performance counter
// (8 bytes) and the SYSTEMTIME (8 little-endian 16-bit fields); each word
// read from offsets 0, 4, 8, 12 in turn, and the pool re-hashed from its
// bytes 2 to 17 and the offset read.
class CReferenceHdrand {
public:
    CReferenceHdrand(uint64_t counter, const uint16_t time[8]) {
        Bytes seed(24);
        for (int i = 0; i < 8; i++) seed[i] = (uint8_t)(counter >> (8 * i));
        for (int i = 0; i < 8; i++) {
            seed[8 + 2 * i] = (uint8_t)time[i];
            seed[9 + 2 * i] = (uint8_t)(time[i] >> 8);
        }
        _pool = Sha1(seed);
    }
    // count words, as little-endian bytes in order.
    Bytes Words(int count) {
        Bytes out;
        for (int i = 0; i < count; i++) {
            if (_offset + 4 >= 20) _offset = 0;
            Bytes word = Slice(_pool, _offset, 4);
            out.insert(out.end(), word.begin(), word.end());
            _pool = Sha1(Cat({Slice(_pool, 2, 16), Le32Bytes(_offset)}));
            _offset = (_offset + 4) % 20;
        }
        return out;
    }

private:
    Bytes _pool;
    uint32_t _offset = 0;
};

// "YYYY-MM-DDThh:mm:ss.sssZ" as SYSTEMTIME fields: year, month, day of
// week, day, hour, minute, second, milliseconds.
void SystemTime(const std::string &text, uint16_t fields[8]) {
    struct tm t = {};
    int ms = 0;
    ASSERT_EQ(sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &t.tm_year, &t.tm_mon, &t.tm_mday,
                     &t.tm_hour, &t.tm_min, &t.tm_sec, &ms),
              7)
        << text;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    time_t seconds = timegm(&t);
    struct tm check;
    gmtime_r(&seconds, &check);
    const int values[8] = {check.tm_year + 1900, check.tm_mon + 1, check.tm_wday, check.tm_mday,
                           check.tm_hour,        check.tm_min,     check.tm_sec,  ms};
    for (int i = 0; i < 8; i++) fields[i] = (uint16_t)values[i];
}

// Everything the run exchanges, from its inputs.
struct Expected {
    Bytes client_public, client_nonce_field;   // A; the 20-byte nonce and four zero bytes
    Bytes driver_public, driver_nonce_field;   // B; 24 bytes
    Bytes link_key, client_proof, driver_proof;
    Bytes key_encryption_key, session_key;
    std::string part_number, date;  // the machine file's one pack
};

Expected Recompute() {
    Expected e;
    const json machine = ReadJson(kFixtures + "/reproducible.json");
    uint16_t time[8];
    SystemTime(machine["clock"]["system_time"].get<std::string>(), time);
    CReferenceHdrand hdrand((uint64_t)machine["clock"]["performance_counter"].get<int64_t>(), time);

    // The client draws x (3 words; a fourth zero word), the nonce (5) and,
    // in phase 3, the session key (4).
    Bytes x_bytes = hdrand.Words(3);
    e.client_nonce_field = Cat({hdrand.Words(5), Bytes(4, 0)});
    e.session_key = hdrand.Words(4);

    // The driver's fixed exponent y also seeds its randomness
    // (platform/hosted/machine_state.cpp): SHA-1 of y as 16 little-endian
    // bytes and four zero bytes, followed by a 32-bit little-endian block
    // counter from 0. Phase 1 draws 40 bytes: 16 for an exponent the fixed
    // one replaces, then the 24-byte nonce field.
    Number p, x, y, a, b, z;
    Prime(p.z);
    mpz_import(x.z, x_bytes.size(), -1, 1, 0, 0, x_bytes.data());
    mpz_set_str(y.z, machine["misc_driver"]["private_exponent"].get<std::string>().c_str(), 16);
    Bytes state(20, 0);
    mpz_export(state.data(), nullptr, -1, 1, 0, 0, y.z);
    Bytes driver_random;
    for (uint32_t counter = 0; driver_random.size() < 40; counter++) {
        Bytes block = Sha1(Cat({state, Le32Bytes(counter)}));
        driver_random.insert(driver_random.end(), block.begin(), block.end());
    }
    e.driver_nonce_field = Slice(driver_random, 16, 24);

    Number two;
    mpz_set_ui(two.z, 2);
    mpz_powm(a.z, two.z, x.z, p.z);
    mpz_powm(b.z, two.z, y.z, p.z);
    mpz_powm(z.z, b.z, x.z, p.z);
    e.client_public = Field(a.z);
    e.driver_public = Field(b.z);

    e.link_key = HmacSha1(kPreSharedKey, Cat({e.client_nonce_field, e.driver_nonce_field}));
    e.client_proof = HmacSha1(e.link_key, Cat({e.client_public, e.driver_public}));
    e.driver_proof = HmacSha1(e.link_key, Cat({e.driver_public, e.client_public}));
    e.key_encryption_key = Slice(Sha1(Field(z.z)), 0, kKeySize);

    const json &pack = machine["misc_driver"]["batteries"].at(0);
    e.part_number = pack["part_number"].get<std::string>();
    e.date = pack["date"].get<std::string>();
    return e;
}

const Expected &Reproduced() {
    static const Expected e = Recompute();
    return e;
}

// The recorded exchanges of one control code: in, out and bytes returned.
struct Exchange {
    Bytes in, out;
    size_t bytes = 0;
    bool result = false;
};

std::vector<Exchange> Recorded(const std::string &file) {
    std::vector<Exchange> out;
    for (const std::string &line : ReadLines(kFixtures + "/" + file)) {
        json j = json::parse(line);
        out.push_back(Exchange{e2e::Bytes(j["in"]), e2e::Bytes(j["out"]), j["bytes"].get<size_t>(),
                               j["result"].get<bool>()});
    }
    return out;
}

// bytes [offset, offset + expected.size()) of a recorded buffer.
void ExpectBytes(const std::string &what, const Bytes &recorded, size_t offset, const Bytes &expected) {
    EXPECT_EQ(ToHex(Slice(recorded, offset, expected.size())), ToHex(expected)) << what;
}

// The probe and the three phases: their sizes, tags and session id; the
// tests check what the run's inputs determine.
class RecordedHandshake : public ::testing::Test {
protected:
    void SetUp() override {
        struct Shape {
            size_t in, out;
            std::string tag;
        };
        const Shape shapes[] = {{0, 0, ""}, {160, 160, "Ini1"}, {28, 20, "Ini2"}, {24, 8, "Ini3"}};
        phases = Recorded("handshake.jsonl");
        ASSERT_EQ(phases.size(), 4u) << "handshake.jsonl: the probe and three phases";
        for (size_t i = 0; i < phases.size(); i++) {
            ASSERT_TRUE(phases[i].result) << "exchange " << i;
            ASSERT_EQ(phases[i].in.size(), shapes[i].in) << "exchange " << i;
            ASSERT_EQ(phases[i].out.size(), shapes[i].out) << "exchange " << i;
            ExpectBytes("tag of exchange " + std::to_string(i), phases[i].in, 0,
                        Bytes(shapes[i].tag.begin(), shapes[i].tag.end()));
        }
        session_id = Slice(phases[1].out, 0, 4);
        ExpectBytes("phase-2 session id", phases[2].in, 4, session_id);
        ExpectBytes("phase-3 session id", phases[3].in, 4, session_id);
    }
    std::vector<Exchange> phases;
    Bytes session_id;
};

TEST_F(RecordedHandshake, Phase1CarriesBothPublicValuesAndNonces) {
    const Expected &e = Reproduced();
    ExpectBytes("A = 2^x mod p", phases[1].in, 4, e.client_public);
    ExpectBytes("client nonce and four zero bytes", phases[1].in, 136, e.client_nonce_field);
    ExpectBytes("B = 2^y mod p", phases[1].out, 4, e.driver_public);
    ExpectBytes("driver nonce field", phases[1].out, 136, e.driver_nonce_field);
}

TEST_F(RecordedHandshake, Phase2ProofsAreHmacsUnderTheLinkKey) {
    const Expected &e = Reproduced();
    ExpectBytes("client proof HMAC(L, A || B)", phases[2].in, 8, e.client_proof);
    ExpectBytes("driver proof HMAC(L, B || A)", phases[2].out, 0, e.driver_proof);
}

TEST_F(RecordedHandshake, Phase3SendsTheSessionKeyUnderTheKeyEncryptionKey) {
    const Expected &e = Reproduced();
    ExpectBytes("session key enciphered under SHA-1(Z)[0..16)", phases[3].in, 8,
                Ecb(e.key_encryption_key, e.session_key, 0, kKeySize, true));
    ExpectBytes("confirmation block deciphered under the session key",
                Ecb(e.session_key, phases[3].out, 0, 8, false), 0, Bytes{'A', 'u', 't', 'h', 'M', 'i', 's', 'c'});
}

// --- Capsules -----------------------------------------------------------

constexpr size_t kCapsuleHeader = 12;

size_t CapsuleSize(size_t n) { return n == 0 ? 16 : 16 + (n + 7) / 8 * 8; }

// A capsule in clear: data size, capsule size, session id, the payload
// padded with zeros, four zero bytes.
Bytes Capsule(const Bytes &session_id, const Bytes &payload) {
    Bytes c = Cat({Le32Bytes((uint32_t)payload.size()), Le32Bytes((uint32_t)CapsuleSize(payload.size())),
                   session_id, payload});
    c.resize(CapsuleSize(payload.size()), 0);
    return c;
}

// A misc packet: function (in the reply: status), group 2, InSize,
// OutSize, 0, then the data.
Bytes Packet(uint8_t function, uint16_t in_size, uint16_t out_size, const Bytes &data) {
    return Cat({Bytes{function, 2, (uint8_t)in_size, (uint8_t)(in_size >> 8), (uint8_t)out_size,
                      (uint8_t)(out_size >> 8), 0, 0},
                data});
}

struct MiscExchange {
    const char *what;
    Bytes request;  // InSize bytes
    uint16_t out_size;
    Bytes reply;  // OutSize bytes: the simulated driver keeps the request
                  // header but for the status byte
};

// The run's misc functions: support code, slot word, then the one pack's
// date and part number. Support code 3 and slot word 1 are the simulated
// notebook's defaults; the pack is the machine file's.
std::vector<MiscExchange> RunMiscExchanges(const Expected &e) {
    int year = 0, month = 0, day = 0;
    EXPECT_EQ(sscanf(e.date.c_str(), "%d-%d-%d", &year, &month, &day), 3) << e.date;
    const uint16_t packed = (uint16_t)((year - 1980) << 9 | month << 5 | day);
    Bytes part(e.part_number.begin(), e.part_number.end());
    part.resize(12, 0);
    const Bytes zero2(2, 0);
    return {
        {"support code", Packet(0x1A, 8, 9, {}), 9, Packet(0, 8, 9, {3})},
        {"slot word", Packet(0x93, 10, 10, zero2), 10, Packet(0, 10, 10, {1, 0})},
        {"pack 0 date", Packet(0x42, 10, 14, zero2), 14,
         Packet(0, 10, 14, Cat({zero2, Bytes{(uint8_t)packed, (uint8_t)(packed >> 8)}, zero2}))},
        {"pack 0 part number", Packet(0x45, 12, 22, Cat({zero2, zero2})), 22,
         Packet(0, 12, 22, Cat({part, zero2}))},
    };
}

// Each recorded capsule, its area deciphered with OpenSSL under the
// session key, must be the capsule in clear that the run's misc exchange
// makes, and that capsule enciphered must be the recorded bytes.
void ExpectCapsule(const std::string &what, const Bytes &session_key, const Bytes &recorded,
                   const Bytes &clear) {
    const size_t area = clear.size() - 16;
    EXPECT_EQ(ToHex(Ecb(session_key, recorded, kCapsuleHeader, area, false)), ToHex(clear))
        << what << " deciphered";
    EXPECT_EQ(ToHex(Ecb(session_key, clear, kCapsuleHeader, area, true)), ToHex(recorded))
        << what << " enciphered again";
}

TEST_F(RecordedHandshake, CapsulesCarryTheRunsMiscPacketsUnderTheSessionKey) {
    const Expected &e = Reproduced();
    std::vector<Exchange> capsules = Recorded("capsules.jsonl");
    std::vector<MiscExchange> misc = RunMiscExchanges(e);
    ASSERT_EQ(capsules.size(), misc.size());
    for (size_t i = 0; i < misc.size(); i++) {
        const MiscExchange &m = misc[i];
        const size_t k = m.request.size();
        // The request record: message id counting from 0, record size,
        // the misc-function code, input and output sizes, the packet, zero.
        Bytes record = Cat({Le32Bytes((uint32_t)i), Le32Bytes((uint32_t)(k + 24)), Le32Bytes(kIoctlMiscFunction),
                            Le32Bytes((uint32_t)k), Le32Bytes(m.out_size), m.request, Bytes(4, 0)});
        ExpectCapsule(std::string("request ") + m.what, e.session_key, capsules[i].in,
                      Capsule(session_id, record));
        EXPECT_EQ(capsules[i].bytes, CapsuleSize(m.out_size)) << m.what;
        ExpectCapsule(std::string("reply ") + m.what, e.session_key, capsules[i].out,
                      Capsule(session_id, m.reply));
    }
}

// capsules.jsonl is what this code sends today (the handshake lines are
// compared with handshake.jsonl by machine_file_test).
TEST(RecordedCapsules, AreThisCodesOutput) {
    CWorkDir dir;
    RunOptions options;
    options.machine_path = kFixtures + "/reproducible.json";
    options.args = {"/Silent"};
    RunResult run = RunCellvaro(dir, options);
    ExpectOutcome(run, kExitRecalled, 0);
    std::vector<std::string> lines;
    for (const std::string &line : run.lines)
        if (line.find("\"event\":\"device_io\"") != std::string::npos &&
            line.find("\"code\":" + std::to_string(IOCTL_MISC_CAPSULE) + ",") != std::string::npos)
            lines.push_back(line);
    EXPECT_EQ(lines, ReadLines(kFixtures + "/capsules.jsonl")) << "re-record: tests/e2e/fixtures/record.sh";
}

}  // namespace
}  // namespace e2e
