// The simulated misc driver's logic, written from the interface: model
// record, session handshake, capsules, misc functions, session close.
#include "misc_device.h"

#include <string.h>

#include "bignum.h"
#include "byte_order.h"
#include "misc_driver.h"
#include "wipe.h"

namespace sim {

namespace {

constexpr size_t kExponentBytes = sizeof(uint32_t) * kExponentWords;
constexpr uint32_t kMaxCapsuleArea = 512;  // largest payload area served
constexpr uint32_t kMiscDataRoom = 16;     // the most data a served function answers with

constexpr uint8_t kStatusUnknownFunction = 0x81;

// The driver's copy of the pre-shared authentication key.
constexpr uint8_t kPreSharedKey[MISC_SESSION_KEY_SIZE] = {0x95, 0xdf, 0x1b, 0x62, 0x6c, 0x14,
                                                          0xcd, 0x1e, 0x46, 0x9c, 0x5c, 0xfe,
                                                          0xf4, 0x0a, 0x8b, 0xf8};

// Where a field at a packet offset lies in the reply's data.
constexpr uint32_t DataAt(uint32_t packet_offset) { return packet_offset - MISC_PACKET_DATA; }

// Whether the request opens with a handshake phase's tag.
bool HasTag(const uint8_t *in, const char *tag) { return memcmp(in, tag, MISC_SESSION_TAG_SIZE) == 0; }

// Enciphers or deciphers whole blocks in place.
void CipherBlocks(const BlowfishContext *cipher, uint8_t *area, uint32_t size, bool encipher) {
    for (uint32_t at = 0; at + MISC_CAPSULE_BLOCK_SIZE <= size; at += MISC_CAPSULE_BLOCK_SIZE) {
        uint32_t l = ReadLe32(area + at), r = ReadLe32(area + at + 4);
        if (encipher) BlowfishEncipher(cipher, &l, &r);
        else BlowfishDecipher(cipher, &l, &r);
        WriteLe32(area + at, l);
        WriteLe32(area + at + 4, r);
    }
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
    uint8_t data[2 * MISC_NUMBER_BYTES];
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
    config->model_record_size = MISC_MODEL_RECORD_SIZE;
    config->sessions = true;
    config->first_session_id = 0x51D00001;
    config->support_code = 3;
    config->slot_word = 0x0001;
    for (int i = 0; i < 3; i++) config->faults.phase_reply_size[i] = -1;
    config->faults.capsule_reply_size = -1;
}

void BuildModelRecord(const char *model, uint8_t *record) {
    memset(record, 0, MISC_MODEL_RECORD_SIZE);
    size_t n = strlen(model);
    if (n <= MISC_MODEL_SHORT_SIZE) {
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a fixed byte field, not a string
        memcpy(record + MISC_MODEL_SHORT_OFFSET, model, n);
        return;
    }
    if (n > MISC_MODEL_LONG_MAX) n = MISC_MODEL_LONG_MAX;
    // Long form: the head at the short form's place, the rest in the tail.
    memcpy(record + MISC_MODEL_SHORT_OFFSET, model, MISC_MODEL_LONG_HEAD);
    // cppcheck-suppress pointerOutOfBounds ; reached only when model is longer than the short form
    memcpy(record + MISC_MODEL_TAIL_OFFSET, model + MISC_MODEL_LONG_HEAD, n - MISC_MODEL_LONG_HEAD);
    record[MISC_MODEL_LENGTH_OFFSET] = (uint8_t)n;
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
    case IOCTL_MISC_GET_MODEL_NUMBER:
        return ServeModel(out, out_capacity);
    case IOCTL_MISC_SESSION:
        return ServeSession(in, in_size, out, out_capacity);
    case IOCTL_MISC_CAPSULE:
        return ServeCapsule(in, in_size, out, out_capacity);
    case IOCTL_MISC_SESSION_CLOSE:
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
    if (in_size < MISC_SESSION_TAG_SIZE) return Fail(kErrorInvalidParameter);
    if (HasTag(in, MISC_SESSION_TAG_PHASE1)) return ServePhase1(in, in_size, out, cap);
    if (HasTag(in, MISC_SESSION_TAG_PHASE2)) return ServePhase2(in, in_size, out, cap);
    if (HasTag(in, MISC_SESSION_TAG_PHASE3)) return ServePhase3(in, in_size, out, cap);
    return Fail(kErrorInvalidParameter);
}

MiscDeviceReply CSimMiscDevice::ServePhase1(const uint8_t *in, uint32_t in_size, uint8_t *out,
                                        uint32_t cap) {
    if (_config.faults.phase[0].active) return Fault(_config.faults.phase[0]);
    if (in_size != MISC_PHASE1_SIZE || cap < MISC_PHASE1_SIZE) return Fail(kErrorInvalidParameter);
    // A new handshake replaces any earlier one.
    DropSession();

    uint8_t random[kExponentBytes + MISC_NONCE_FIELD_SIZE];
    memset(random, 0, sizeof random);
    if (_random) _random(_randomContext, random, sizeof random);
    if (_config.fixed_exponent) {
        memcpy(_exponent, _config.private_exponent, sizeof _exponent);
    } else {
        // 96 random bits: the top word stays zero.
        ReadLe32Words(random, _exponent, kExponentWords - 1);
        _exponent[kExponentWords - 1] = 0;
    }

    memcpy(_clientPublic, in + MISC_PHASE1_PUBLIC, MISC_NUMBER_BYTES);
    uint32_t b[MISC_NUMBER_WORDS];
    memset(b, 0, sizeof b);
    if (!pow2mod(b, MISC_NUMBER_WORDS, _exponent, kExponentWords, MISC_SESSION_PRIME,
                 MISC_NUMBER_WORDS))
        return Fail(kErrorGenFailure);
    WriteLe32Words(_driverPublic, b, MISC_NUMBER_WORDS);

    // The reply: the session id first, then the driver's public value and nonce field.
    _sessionId = _nextSessionId++;
    memset(out, 0, MISC_PHASE1_SIZE);
    WriteLe32(out, _sessionId);
    memcpy(out + MISC_PHASE1_PUBLIC, _driverPublic, MISC_NUMBER_BYTES);
    memcpy(out + MISC_PHASE1_NONCE_FIELD, random + kExponentBytes, MISC_NONCE_FIELD_SIZE);

    // Link key over the client's nonce field and the driver's.
    Hmac(kPreSharedKey, sizeof kPreSharedKey, in + MISC_PHASE1_NONCE_FIELD, MISC_NONCE_FIELD_SIZE,
         out + MISC_PHASE1_NONCE_FIELD, MISC_NONCE_FIELD_SIZE, _linkKey);
    _state = kAfterPhase1;
    secure_wipe(random, sizeof random);
    return Ok(OverrideSize(_config.faults.phase_reply_size[0], MISC_PHASE1_SIZE, out, cap));
}

MiscDeviceReply CSimMiscDevice::ServePhase2(const uint8_t *in, uint32_t in_size, uint8_t *out,
                                        uint32_t cap) {
    if (_config.faults.phase[1].active) return Fault(_config.faults.phase[1]);
    if (in_size != MISC_PHASE2_REQUEST_SIZE || cap < MISC_PHASE2_REPLY_SIZE)
        return Fail(kErrorInvalidParameter);
    if (_state != kAfterPhase1 || ReadLe32(in + MISC_SESSION_ID_OFFSET) != _sessionId)
        return Fail(kErrorAccessDenied);
    uint8_t expected[MISC_PROOF_SIZE];
    Hmac(_linkKey, sizeof _linkKey, _clientPublic, MISC_NUMBER_BYTES, _driverPublic,
         MISC_NUMBER_BYTES, expected);
    if (memcmp(expected, in + MISC_PROOF_OFFSET, MISC_PROOF_SIZE) != 0) {
        DropSession();
        return Fail(kErrorAccessDenied);
    }
    Hmac(_linkKey, sizeof _linkKey, _driverPublic, MISC_NUMBER_BYTES, _clientPublic,
         MISC_NUMBER_BYTES, out);
    if (_config.faults.wrong_driver_proof) out[MISC_PROOF_SIZE - 1] ^= 0x01;
    _state = kAfterPhase2;
    return Ok(OverrideSize(_config.faults.phase_reply_size[1], MISC_PHASE2_REPLY_SIZE, out, cap));
}

MiscDeviceReply CSimMiscDevice::ServePhase3(const uint8_t *in, uint32_t in_size, uint8_t *out,
                                        uint32_t cap) {
    if (_config.faults.phase[2].active) return Fault(_config.faults.phase[2]);
    if (in_size != MISC_PHASE3_REQUEST_SIZE || cap < MISC_PHASE3_REPLY_SIZE)
        return Fail(kErrorInvalidParameter);
    if (_state != kAfterPhase2 || ReadLe32(in + MISC_SESSION_ID_OFFSET) != _sessionId)
        return Fail(kErrorAccessDenied);

    // Shared secret Z = A^y mod p; the key-encryption key is the first
    // session-key-size bytes of SHA-1(Z).
    uint32_t a[MISC_NUMBER_WORDS], z[MISC_NUMBER_WORDS];
    ReadLe32Words(_clientPublic, a, MISC_NUMBER_WORDS);
    memset(z, 0, sizeof z);
    if (!powmod(z, MISC_NUMBER_WORDS, a, MISC_NUMBER_WORDS, _exponent, kExponentWords,
                MISC_SESSION_PRIME, MISC_NUMBER_WORDS))
        return Fail(kErrorAccessDenied);
    uint8_t zbytes[MISC_NUMBER_BYTES];
    WriteLe32Words(zbytes, z, MISC_NUMBER_WORDS);
    sha1_context sha;
    memset(&sha, 0, sizeof sha);
    sha1_init(&sha);
    sha1_update(&sha, zbytes, MISC_NUMBER_BYTES);
    sha1_final(&sha);
    uint8_t digest[SHA1_DIGEST_SIZE];
    sha1_result(&sha, digest);

    // Recover the session key from the two enciphered blocks.
    BlowfishInitialize(&_cipher, digest, MISC_SESSION_KEY_SIZE);
    uint8_t session_key[MISC_SESSION_KEY_SIZE];
    memcpy(session_key, in + MISC_KEY_BLOCKS_OFFSET, sizeof session_key);
    CipherBlocks(&_cipher, session_key, sizeof session_key, false);
    BlowfishInitialize(&_cipher, session_key, sizeof session_key);

    uint32_t left = MISC_CONFIRM_LEFT, right = MISC_CONFIRM_RIGHT;
    if (_config.faults.wrong_confirmation) right ^= 0x20;
    BlowfishEncipher(&_cipher, &left, &right);
    WriteLe32(out, left);
    WriteLe32(out + 4, right);

    secure_wipe(a, sizeof a);
    secure_wipe(z, sizeof z);
    secure_wipe(zbytes, sizeof zbytes);
    secure_wipe(&sha, sizeof sha);
    secure_wipe(digest, sizeof digest);
    secure_wipe(session_key, sizeof session_key);

    _state = kEstablished;
    _expectedMessageId = 0;
    _log.handshakes_completed++;
    return Ok(OverrideSize(_config.faults.phase_reply_size[2], MISC_PHASE3_REPLY_SIZE, out, cap));
}

MiscDeviceReply CSimMiscDevice::ServeClose(const uint8_t *in, uint32_t in_size) {
    if (_config.fail_close.active) return Fault(_config.fail_close);
    if (in_size != MISC_SESSION_ID_SIZE) return Fail(kErrorInvalidParameter);
    uint32_t id = ReadLe32(in);
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
    if (in_size < MISC_CAPSULE_OVERHEAD) {
        _log.capsules_refused++;
        return Fail(kErrorInvalidParameter);
    }
    uint32_t data_size = ReadLe32(in + MISC_CAPSULE_DATA_SIZE);
    uint32_t capsule_size = ReadLe32(in + MISC_CAPSULE_SIZE);
    uint32_t session = ReadLe32(in + MISC_CAPSULE_SESSION_ID);
    if (capsule_size != in_size || capsule_size % MISC_CAPSULE_BLOCK_SIZE != 0 ||
        data_size > capsule_size - MISC_CAPSULE_OVERHEAD || data_size < MISC_RECORD_OVERHEAD) {
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
    uint32_t area = capsule_size - MISC_CAPSULE_OVERHEAD;
    if (area > sizeof payload) {
        _log.capsules_refused++;
        return Fail(kErrorInvalidParameter);
    }
    memcpy(payload, in + MISC_CAPSULE_HEADER_SIZE, area);
    if (secure) CipherBlocks(&_cipher, payload, area, false);

    // The request record.
    uint32_t message_id = ReadLe32(payload + MISC_RECORD_MESSAGE_ID);
    uint32_t record_size = ReadLe32(payload + MISC_RECORD_SIZE);
    uint32_t ioctl = ReadLe32(payload + MISC_RECORD_IO_CONTROL_CODE);
    uint32_t k = ReadLe32(payload + MISC_RECORD_IN_BUFFER_SIZE);
    uint32_t client_out = ReadLe32(payload + MISC_RECORD_OUT_BUFFER_SIZE);
    if (record_size != data_size || k + MISC_RECORD_OVERHEAD != record_size ||
        ioctl != IOCTL_MISC_FUNCTION || (secure && message_id != _expectedMessageId)) {
        _log.capsules_refused++;
        return Fail(kErrorAccessDenied);
    }
    _expectedMessageId++;

    // The misc packet, served in place in a buffer as large as the client's.
    uint8_t packet[kMaxCapsuleArea];
    memset(packet, 0, sizeof packet);
    if (client_out > sizeof packet - MISC_CAPSULE_OVERHEAD)
        client_out = sizeof packet - MISC_CAPSULE_OVERHEAD;
    memcpy(packet, payload + MISC_RECORD_IN_BUFFER, k < sizeof packet ? k : sizeof packet);
    uint32_t n = ServeMiscFunction(packet, k, client_out);

    // The reply capsule: the reply bytes themselves, enciphered.
    uint32_t reply_capsule = MiscCapsuleSize(n);
    if (out == nullptr || reply_capsule > out_capacity) {
        secure_wipe(payload, sizeof payload);
        _log.capsules_refused++;
        return Fail(kErrorInsufficientBuffer);
    }
    memset(out, 0, reply_capsule);
    uint32_t reported = n + (uint32_t)_config.faults.reply_data_size_extra;
    WriteLe32(out + MISC_CAPSULE_DATA_SIZE, reported);
    WriteLe32(out + MISC_CAPSULE_SIZE,
              _config.faults.capsule_size_override ? _config.faults.capsule_size : reply_capsule);
    WriteLe32(out + MISC_CAPSULE_SESSION_ID, secure ? _sessionId : 0);
    memcpy(out + MISC_CAPSULE_HEADER_SIZE, packet, n);
    if (secure && _observer) {
        uint8_t request[MISC_CAPSULE_HEADER_SIZE + kMaxCapsuleArea];
        memcpy(request, in, MISC_CAPSULE_HEADER_SIZE);
        memcpy(request + MISC_CAPSULE_HEADER_SIZE, payload, area);
        _observer(_observerContext, request, MISC_CAPSULE_HEADER_SIZE + area, out, reply_capsule);
        secure_wipe(request, sizeof request);
    }
    secure_wipe(payload, sizeof payload);
    if (secure)
        CipherBlocks(&_cipher, out + MISC_CAPSULE_HEADER_SIZE, reply_capsule - MISC_CAPSULE_OVERHEAD,
                     true);
    _log.capsules_served++;
    uint32_t bytes = reply_capsule;
    if (_config.faults.capsule_reply_size >= 0 && (uint32_t)_config.faults.capsule_reply_size < bytes)
        bytes = (uint32_t)_config.faults.capsule_reply_size;
    return Ok(bytes);
}

uint8_t CSimMiscDevice::NextStatus(const StatusScript &script, uint32_t &position) {
    if (script.count == 0) return MISC_STATUS_SUCCESS;
    uint32_t i = position < script.count ? position : script.count - 1;
    position++;
    return script.steps[i];
}

uint32_t CSimMiscDevice::ServeMiscFunction(uint8_t *packet, uint32_t in_size, uint32_t out_limit) {
    if (in_size < MISC_PACKET_HEADER_SIZE) return 0;
    uint8_t function = packet[MISC_PACKET_FUNCTION];
    uint32_t out_size = ReadLe16(packet + MISC_PACKET_OUT_SIZE);
    if (out_size > out_limit) out_size = out_limit;
    if (out_size < MISC_PACKET_HEADER_SIZE)
        out_size = out_limit < MISC_PACKET_HEADER_SIZE ? out_limit : MISC_PACKET_HEADER_SIZE;
    if (_log.misc_function_count < kMaxLoggedFunctions)
        _log.misc_functions[_log.misc_function_count] = function;
    _log.misc_function_count++;

    // The reply's data, from the packet's data offset on.
    uint8_t status = MISC_STATUS_SUCCESS;
    uint8_t data[kMiscDataRoom];
    memset(data, 0, sizeof data);
    constexpr uint32_t kIndexEnd = MISC_BATTERY_INDEX_OFFSET + 2;
    uint16_t index = in_size >= kIndexEnd ? ReadLe16(packet + MISC_BATTERY_INDEX_OFFSET) : 0;
    switch (function) {
    case MISC_QUERY_SUPPORT_CODE.function:
        status = NextStatus(_config.support_status, _supportStep);
        data[0] = _config.support_code;
        break;
    case MISC_QUERY_SLOT_WORD.function:
        status = NextStatus(_config.slot_status, _slotStep);
        WriteLe16(data, _config.slot_word);
        break;
    case MISC_QUERY_BATTERY_DATE.function:
        if (index >= _config.pack_count) {
            status = MISC_STATUS_NOT_PRESENT;
            break;
        }
        status = NextStatus(_config.packs[index].date_status, _dateStep[index]);
        WriteLe16(data + DataAt(MISC_BATTERY_INDEX_OFFSET), index);
        WriteLe16(data + DataAt(MISC_PACKED_DATE_OFFSET), _config.packs[index].packed_date);
        break;
    case MISC_QUERY_PART_NUMBER.function:
        if (index >= _config.pack_count) {
            status = MISC_STATUS_NOT_PRESENT;
            break;
        }
        status = NextStatus(_config.packs[index].part_status, _partStep[index]);
        memcpy(data + DataAt(MISC_PART_NUMBER_OFFSET), _config.packs[index].part_number,
               MISC_PART_NUMBER_SIZE);
        break;
    default:
        status = kStatusUnknownFunction;
        break;
    }
    // The reply keeps the request header but for the status byte.
    packet[MISC_PACKET_FUNCTION] = status;
    uint32_t data_room = out_size > MISC_PACKET_HEADER_SIZE ? out_size - MISC_PACKET_HEADER_SIZE : 0;
    memset(packet + MISC_PACKET_DATA, 0, data_room);
    memcpy(packet + MISC_PACKET_DATA, data, data_room < sizeof data ? data_room : sizeof data);
    return out_size;
}

}  // namespace sim
