// The simulated misc driver's logic, written from the interface: model
// record, session handshake, capsules, misc functions, session close.
#include "misc_device.h"

#include <string.h>

#include "bignum.h"
#include "byte_order.h"
#include "sha1.h"
#include "wipe.h"

namespace sim {

namespace {

constexpr uint32_t kIoctlSession = 0x222000;
constexpr uint32_t kIoctlSessionClose = 0x222004;
constexpr uint32_t kIoctlCapsule = 0x222008;
constexpr uint32_t kIoctlModelNumber = 0x222940;
constexpr uint32_t kIoctlMiscFunction = 0x222944;

constexpr uint32_t kPhase1Size = 160;
constexpr uint32_t kPhase2RequestSize = 28;
constexpr uint32_t kPhase2ReplySize = 20;
constexpr uint32_t kPhase3RequestSize = 24;
constexpr uint32_t kPhase3ReplySize = 8;
constexpr uint32_t kNonceFieldOffset = 136;
constexpr uint32_t kNonceFieldSize = 24;
constexpr size_t kExponentBytes = sizeof(uint32_t) * kExponentWords;
constexpr uint32_t kProofSize = 20;

constexpr uint32_t kCapsuleHeader = 12;
constexpr uint32_t kCapsuleMinimum = 16;
constexpr uint32_t kRecordHeader = 20;
constexpr uint32_t kRecordOverhead = 24;
constexpr uint32_t kPacketHeader = 8;
constexpr uint32_t kMaxCapsuleArea = 512;  // largest payload area served

constexpr uint8_t kStatusSuccess = 0;
constexpr uint8_t kStatusNotPresent = 2;
constexpr uint8_t kStatusUnknownFunction = 0x81;

constexpr uint32_t kConfirmLeft = 0x68747541;   // "Auth"
constexpr uint32_t kConfirmRight = 0x6373694d;  // "Misc"

// The driver's copy of the pre-shared authentication key.
constexpr uint8_t kPreSharedKey[16] = {0x95, 0xdf, 0x1b, 0x62, 0x6c, 0x14, 0xcd, 0x1e,
                                       0x46, 0x9c, 0x5c, 0xfe, 0xf4, 0x0a, 0x8b, 0xf8};

// The 1024-bit MODP prime of RFC 2409 (Second Oakley Group), as 33
// little-endian words with a zero top word.
constexpr uint32_t kPrime[kNumberWords] = {
    0xFFFFFFFF, 0xFFFFFFFF, 0xECE65381, 0x49286651, 0x7C4B1FE6, 0xAE9F2411, 0x5A899FA5,
    0xEE386BFB, 0xF406B7ED, 0x0BFF5CB6, 0xA637ED6B, 0xF44C42E9, 0x625E7EC6, 0xE485B576,
    0x6D51C245, 0x4FE1356D, 0xF25F1437, 0x302B0A6D, 0xCD3A431B, 0xEF9519B3, 0x8E3404DD,
    0x514A0879, 0x3B139B22, 0x020BBEA6, 0x8A67CC74, 0x29024E08, 0x80DC1CD1, 0xC4C6628B,
    0x2168C234, 0xC90FDAA2, 0xFFFFFFFF, 0xFFFFFFFF, 0x00000000};

void ToWords(const uint8_t *bytes, uint32_t *words, uint32_t count) {
    for (size_t i = 0; i < count; i++) words[i] = Read32(bytes + 4 * i);
}
void ToBytes(const uint32_t *words, uint8_t *bytes, uint32_t count) {
    for (size_t i = 0; i < count; i++) Write32(bytes + 4 * i, words[i]);
}

MiscDeviceReply Fail(uint32_t last_error) { return MiscDeviceReply{false, last_error, 0}; }
MiscDeviceReply Fault(const FaultSwitch &f) { return Fail(f.last_error); }
MiscDeviceReply Ok(uint32_t bytes) { return MiscDeviceReply{true, 0, bytes}; }

// Applies a reply-size override: the reply is cut, or padded with zeros,
// to the given size within the caller's buffer.
uint32_t OverrideSize(int32_t size, uint32_t natural, uint8_t *out, uint32_t cap) {
    if (size < 0) return natural;
    uint32_t n = (uint32_t)size < cap ? (uint32_t)size : cap;
    if (n > natural) memset(out + natural, 0, n - natural);
    return n;
}

void Hmac(const uint8_t *key, uint32_t key_size, const uint8_t *a, uint32_t a_size,
          const uint8_t *b, uint32_t b_size, uint8_t *mac) {
    uint8_t data[2 * kNumberBytes];
    memcpy(data, a, a_size);
    memcpy(data + a_size, b, b_size);
    sha1_context ctx;
    memset(&ctx, 0, sizeof ctx);
    hmac_sha1(&ctx, key, key_size, data, a_size + b_size, mac);
    secure_wipe(&ctx, sizeof ctx);
}

}  // namespace

void DefaultMiscDeviceConfig(MiscDeviceConfig *config) {
    memset(config, 0, sizeof *config);
    BuildModelRecord("HT-K60", config->model_record);
    config->model_record_size = kModelRecordSize;
    config->sessions = true;
    config->first_session_id = 0x51D00001;
    config->support_code = 3;
    config->slot_word = 0x0001;
    for (int i = 0; i < 3; i++) config->faults.phase_reply_size[i] = -1;
    config->faults.capsule_reply_size = -1;
}

void BuildModelRecord(const char *model, uint8_t *record) {
    memset(record, 0, kModelRecordSize);
    size_t n = strlen(model);
    if (n <= 12) {
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a fixed byte field, not a string
        memcpy(record + 40, model, n);
        return;
    }
    if (n > 19) n = 19;
    // Long form: characters 0 to 10 at offset 40, the rest at offset 96.
    memcpy(record + 40, model, 11);
    // cppcheck-suppress pointerOutOfBounds ; reached only when model is longer than 12 characters
    memcpy(record + 96, model + 11, n - 11);
    record[95] = (uint8_t)n;
}

CSimMiscDevice::CSimMiscDevice() {
    DefaultMiscDeviceConfig(&_config);
    _random = nullptr;
    _randomContext = nullptr;
    _observer = nullptr;
    _observerContext = nullptr;
    memset(&_log, 0, sizeof _log);
    _state = kIdle;
    _sessionId = 0;
    _nextSessionId = _config.first_session_id;
    _expectedMessageId = 0;
    memset(_exponent, 0, sizeof _exponent);
    memset(_clientPublic, 0, sizeof _clientPublic);
    memset(_driverPublic, 0, sizeof _driverPublic);
    memset(_linkKey, 0, sizeof _linkKey);
    memset(&_cipher, 0, sizeof _cipher);
    _supportStep = _slotStep = 0;
    memset(_dateStep, 0, sizeof _dateStep);
    memset(_partStep, 0, sizeof _partStep);
}

CSimMiscDevice::~CSimMiscDevice() { DropSession(); }

void CSimMiscDevice::Configure(const MiscDeviceConfig &config, RandomSource random,
                               void *random_context) {
    _config = config;
    if (_config.pack_count > kMaxPacks) _config.pack_count = kMaxPacks;
    _random = random;
    _randomContext = random_context;
    _nextSessionId = config.first_session_id;
}

void CSimMiscDevice::DropSession() {
    _state = kIdle;
    _sessionId = 0;
    _expectedMessageId = 0;
    secure_wipe(_exponent, sizeof _exponent);
    secure_wipe(_linkKey, sizeof _linkKey);
    secure_wipe(&_cipher, sizeof _cipher);
}

MiscDeviceReply CSimMiscDevice::Control(uint32_t code, const uint8_t *in, uint32_t in_size,
                                        uint8_t *out, uint32_t out_capacity) {
    if ((in == nullptr && in_size != 0) || (out == nullptr && out_capacity != 0))
        return Fail(kErrorInvalidParameter);
    switch (code) {
    case kIoctlModelNumber:
        return ServeModel(out, out_capacity);
    case kIoctlSession:
        return ServeSession(in, in_size, out, out_capacity);
    case kIoctlCapsule:
        return ServeCapsule(in, in_size, out, out_capacity);
    case kIoctlSessionClose:
        return ServeClose(in, in_size);
    default:
        return Fail(kErrorInvalidFunction);
    }
}

MiscDeviceReply CSimMiscDevice::ServeModel(uint8_t *out, uint32_t out_capacity) {
    if (_config.fail_model.active) return Fault(_config.fail_model);
    uint32_t n = _config.model_record_size;
    if (n > kMaxRawModelRecord) n = kMaxRawModelRecord;
    if (n > out_capacity) {
        // Buffered I/O: the part that fits arrives, with a warning status.
        if (out_capacity) memcpy(out, _config.model_record, out_capacity);
        return MiscDeviceReply{false, kErrorMoreData, out_capacity};
    }
    if (n) memcpy(out, _config.model_record, n);
    return Ok(n);
}

MiscDeviceReply CSimMiscDevice::ServeSession(const uint8_t *in, uint32_t in_size, uint8_t *out,
                                         uint32_t cap) {
    if (in_size == 0) {
        // The probe.
        if (_config.faults.probe_override)
            return MiscDeviceReply{_config.faults.probe_result, _config.faults.probe_last_error, 0};
        if (!_config.sessions) return Fail(kErrorNotSupported);
        return Ok(0);
    }
    if (_config.fail_session.active) return Fault(_config.fail_session);
    if (!_config.sessions) return Fail(kErrorNotSupported);
    if (in_size < 4) return Fail(kErrorInvalidParameter);
    if (memcmp(in, "Ini1", 4) == 0) return ServePhase1(in, in_size, out, cap);
    if (memcmp(in, "Ini2", 4) == 0) return ServePhase2(in, in_size, out, cap);
    if (memcmp(in, "Ini3", 4) == 0) return ServePhase3(in, in_size, out, cap);
    return Fail(kErrorInvalidParameter);
}

MiscDeviceReply CSimMiscDevice::ServePhase1(const uint8_t *in, uint32_t in_size, uint8_t *out,
                                        uint32_t cap) {
    if (_config.faults.phase[0].active) return Fault(_config.faults.phase[0]);
    if (in_size != kPhase1Size || cap < kPhase1Size) return Fail(kErrorInvalidParameter);
    // A new handshake replaces any earlier one.
    DropSession();

    uint8_t random[kExponentBytes + kNonceFieldSize];
    memset(random, 0, sizeof random);
    if (_random) _random(_randomContext, random, sizeof random);
    if (_config.fixed_exponent) {
        memcpy(_exponent, _config.private_exponent, sizeof _exponent);
    } else {
        ToWords(random, _exponent, 3);
        _exponent[3] = 0;
    }

    memcpy(_clientPublic, in + 4, kNumberBytes);
    uint32_t b[kNumberWords];
    memset(b, 0, sizeof b);
    if (!pow2mod(b, kNumberWords, _exponent, kExponentWords, kPrime, kNumberWords))
        return Fail(kErrorGenFailure);
    ToBytes(b, _driverPublic, kNumberWords);

    _sessionId = _nextSessionId++;
    memset(out, 0, kPhase1Size);
    Write32(out, _sessionId);
    memcpy(out + 4, _driverPublic, kNumberBytes);
    memcpy(out + kNonceFieldOffset, random + kExponentBytes, kNonceFieldSize);

    // Link key over the client's nonce field and the driver's.
    Hmac(kPreSharedKey, sizeof kPreSharedKey, in + kNonceFieldOffset, kNonceFieldSize,
         out + kNonceFieldOffset, kNonceFieldSize, _linkKey);
    _state = kAfterPhase1;
    secure_wipe(random, sizeof random);
    return Ok(OverrideSize(_config.faults.phase_reply_size[0], kPhase1Size, out, cap));
}

MiscDeviceReply CSimMiscDevice::ServePhase2(const uint8_t *in, uint32_t in_size, uint8_t *out,
                                        uint32_t cap) {
    if (_config.faults.phase[1].active) return Fault(_config.faults.phase[1]);
    if (in_size != kPhase2RequestSize || cap < kPhase2ReplySize) return Fail(kErrorInvalidParameter);
    if (_state != kAfterPhase1 || Read32(in + 4) != _sessionId) return Fail(kErrorAccessDenied);
    uint8_t expected[kProofSize];
    Hmac(_linkKey, sizeof _linkKey, _clientPublic, kNumberBytes, _driverPublic, kNumberBytes,
         expected);
    if (memcmp(expected, in + 8, kProofSize) != 0) {
        DropSession();
        return Fail(kErrorAccessDenied);
    }
    Hmac(_linkKey, sizeof _linkKey, _driverPublic, kNumberBytes, _clientPublic, kNumberBytes, out);
    if (_config.faults.wrong_driver_proof) out[kProofSize - 1] ^= 0x01;
    _state = kAfterPhase2;
    return Ok(OverrideSize(_config.faults.phase_reply_size[1], kPhase2ReplySize, out, cap));
}

MiscDeviceReply CSimMiscDevice::ServePhase3(const uint8_t *in, uint32_t in_size, uint8_t *out,
                                        uint32_t cap) {
    if (_config.faults.phase[2].active) return Fault(_config.faults.phase[2]);
    if (in_size != kPhase3RequestSize || cap < kPhase3ReplySize) return Fail(kErrorInvalidParameter);
    if (_state != kAfterPhase2 || Read32(in + 4) != _sessionId) return Fail(kErrorAccessDenied);

    // Shared secret Z = A^y mod p; the key-encryption key is SHA-1(Z)[0..16).
    uint32_t a[kNumberWords], z[kNumberWords];
    ToWords(_clientPublic, a, kNumberWords);
    memset(z, 0, sizeof z);
    if (!powmod(z, kNumberWords, a, kNumberWords, _exponent, kExponentWords, kPrime, kNumberWords))
        return Fail(kErrorAccessDenied);
    uint8_t zbytes[kNumberBytes];
    ToBytes(z, zbytes, kNumberWords);
    sha1_context sha;
    memset(&sha, 0, sizeof sha);
    sha1_init(&sha);
    sha1_update(&sha, zbytes, kNumberBytes);
    sha1_final(&sha);
    uint8_t digest[20];
    sha1_result(&sha, digest);

    // Recover the session key from the two enciphered blocks.
    BlowfishInitialize(&_cipher, digest, 16);
    uint32_t key[4];
    ToWords(in + 8, key, 4);
    BlowfishDecipher(&_cipher, &key[0], &key[1]);
    BlowfishDecipher(&_cipher, &key[2], &key[3]);
    uint8_t session_key[16];
    ToBytes(key, session_key, 4);
    BlowfishInitialize(&_cipher, session_key, sizeof session_key);

    uint32_t left = kConfirmLeft, right = kConfirmRight;
    if (_config.faults.wrong_confirmation) right ^= 0x20;
    BlowfishEncipher(&_cipher, &left, &right);
    Write32(out, left);
    Write32(out + 4, right);

    secure_wipe(a, sizeof a);
    secure_wipe(z, sizeof z);
    secure_wipe(zbytes, sizeof zbytes);
    secure_wipe(&sha, sizeof sha);
    secure_wipe(digest, sizeof digest);
    secure_wipe(key, sizeof key);
    secure_wipe(session_key, sizeof session_key);

    _state = kEstablished;
    _expectedMessageId = 0;
    _log.handshakes_completed++;
    return Ok(OverrideSize(_config.faults.phase_reply_size[2], kPhase3ReplySize, out, cap));
}

MiscDeviceReply CSimMiscDevice::ServeClose(const uint8_t *in, uint32_t in_size) {
    if (_config.fail_close.active) return Fault(_config.fail_close);
    if (in_size != 4) return Fail(kErrorInvalidParameter);
    uint32_t id = Read32(in);
    if (_state == kIdle || id != _sessionId) return Fail(kErrorInvalidParameter);
    _log.sessions_closed++;
    _log.last_closed_session = id;
    DropSession();
    return Ok(0);
}

MiscDeviceReply CSimMiscDevice::ServeCapsule(const uint8_t *in, uint32_t in_size, uint8_t *out,
                                         uint32_t out_capacity) {
    if (_config.fail_capsule.active) return Fault(_config.fail_capsule);
    const bool secure = _config.sessions;
    // Check the request capsule before trusting any size in it.
    if (in_size < kCapsuleMinimum) {
        _log.capsules_refused++;
        return Fail(kErrorInvalidParameter);
    }
    uint32_t data_size = Read32(in), capsule_size = Read32(in + 4), session = Read32(in + 8);
    if (capsule_size != in_size || capsule_size % 8 != 0 ||
        data_size > capsule_size - kCapsuleMinimum || data_size < kRecordOverhead) {
        _log.capsules_refused++;
        return Fail(kErrorInvalidParameter);
    }
    if (secure && (_state != kEstablished || session != _sessionId)) {
        _log.capsules_refused++;
        return Fail(kErrorAccessDenied);
    }
    if (!secure && session != 0) {
        _log.capsules_refused++;
        return Fail(kErrorAccessDenied);
    }

    // Decipher a working copy of the payload.
    uint8_t payload[kMaxCapsuleArea];
    uint32_t area = capsule_size - kCapsuleMinimum;
    if (area > sizeof payload) {
        _log.capsules_refused++;
        return Fail(kErrorInvalidParameter);
    }
    memcpy(payload, in + kCapsuleHeader, area);
    if (secure) {
        for (size_t i = 0; i < area / 8; i++) {
            uint32_t l = Read32(payload + 8 * i), r = Read32(payload + 8 * i + 4);
            BlowfishDecipher(&_cipher, &l, &r);
            Write32(payload + 8 * i, l);
            Write32(payload + 8 * i + 4, r);
        }
    }

    // The request record.
    uint32_t message_id = Read32(payload), record_size = Read32(payload + 4);
    uint32_t ioctl = Read32(payload + 8), k = Read32(payload + 12);
    uint32_t client_out = Read32(payload + 16);
    if (record_size != data_size || k + kRecordOverhead != record_size ||
        ioctl != kIoctlMiscFunction || (secure && message_id != _expectedMessageId)) {
        _log.capsules_refused++;
        return Fail(kErrorAccessDenied);
    }
    _expectedMessageId++;

    // The misc packet, served in place in a buffer as large as the client's.
    uint8_t packet[kMaxCapsuleArea];
    memset(packet, 0, sizeof packet);
    if (client_out > sizeof packet - kCapsuleMinimum) client_out = sizeof packet - kCapsuleMinimum;
    memcpy(packet, payload + kRecordHeader, k < sizeof packet ? k : sizeof packet);
    uint32_t n = ServeMiscFunction(packet, k, client_out);

    // The reply capsule: the reply bytes themselves, enciphered.
    uint32_t reply_capsule = n == 0 ? kCapsuleMinimum : ((n - 1) & ~7u) + 24;
    if (out == nullptr || reply_capsule > out_capacity) {
        secure_wipe(payload, sizeof payload);
        _log.capsules_refused++;
        return Fail(kErrorInsufficientBuffer);
    }
    memset(out, 0, reply_capsule);
    uint32_t reported = n + (uint32_t)_config.faults.reply_data_size_extra;
    Write32(out, reported);
    Write32(out + 4, _config.faults.capsule_size_override ? _config.faults.capsule_size : reply_capsule);
    Write32(out + 8, secure ? _sessionId : 0);
    memcpy(out + kCapsuleHeader, packet, n);
    if (secure && _observer) {
        uint8_t request[kCapsuleHeader + kMaxCapsuleArea];
        memcpy(request, in, kCapsuleHeader);
        memcpy(request + kCapsuleHeader, payload, area);
        _observer(_observerContext, request, kCapsuleHeader + area, out, reply_capsule);
        secure_wipe(request, sizeof request);
    }
    secure_wipe(payload, sizeof payload);
    if (secure) {
        for (size_t i = 0; i < (reply_capsule - kCapsuleMinimum) / 8; i++) {
            uint8_t *block = out + kCapsuleHeader + 8 * i;
            uint32_t l = Read32(block), r = Read32(block + 4);
            BlowfishEncipher(&_cipher, &l, &r);
            Write32(block, l);
            Write32(block + 4, r);
        }
    }
    _log.capsules_served++;
    uint32_t bytes = reply_capsule;
    if (_config.faults.capsule_reply_size >= 0 && (uint32_t)_config.faults.capsule_reply_size < bytes)
        bytes = (uint32_t)_config.faults.capsule_reply_size;
    return Ok(bytes);
}

uint8_t CSimMiscDevice::NextStatus(const StatusScript &script, uint32_t &position) {
    if (script.count == 0) return kStatusSuccess;
    uint32_t i = position < script.count ? position : script.count - 1;
    position++;
    return script.steps[i];
}

uint32_t CSimMiscDevice::ServeMiscFunction(uint8_t *packet, uint32_t in_size, uint32_t out_limit) {
    if (in_size < kPacketHeader) return 0;
    uint8_t function = packet[0];
    uint32_t out_size = Read16(packet + 4);
    if (out_size > out_limit) out_size = out_limit;
    if (out_size < kPacketHeader) out_size = out_limit < kPacketHeader ? out_limit : kPacketHeader;
    if (_log.misc_function_count < 8) _log.misc_functions[_log.misc_function_count] = function;
    _log.misc_function_count++;

    uint8_t status = kStatusSuccess;
    uint8_t data[16];
    memset(data, 0, sizeof data);
    uint16_t index = in_size >= 10 ? Read16(packet + 8) : 0;
    switch (function) {
    case 0x1A:
        status = NextStatus(_config.support_status, _supportStep);
        data[0] = _config.support_code;
        break;
    case 0x93:
        status = NextStatus(_config.slot_status, _slotStep);
        Write16(data, _config.slot_word);
        break;
    case 0x42:
        if (index >= _config.pack_count) {
            status = kStatusNotPresent;
            break;
        }
        status = NextStatus(_config.packs[index].date_status, _dateStep[index]);
        Write16(data, index);
        Write16(data + 2, _config.packs[index].packed_date);
        break;
    case 0x45:
        if (index >= _config.pack_count) {
            status = kStatusNotPresent;
            break;
        }
        status = NextStatus(_config.packs[index].part_status, _partStep[index]);
        memcpy(data, _config.packs[index].part_number, kPartNumberSize);
        break;
    default:
        status = kStatusUnknownFunction;
        break;
    }
    // The reply keeps the request header but for the status byte.
    packet[0] = status;
    uint32_t data_room = out_size > kPacketHeader ? out_size - kPacketHeader : 0;
    memset(packet + kPacketHeader, 0, data_room);
    memcpy(packet + kPacketHeader, data, data_room < sizeof data ? data_room : sizeof data);
    return out_size;
}

}  // namespace sim
