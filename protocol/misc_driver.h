// What both ends of the misc driver's interface fix: the device interface
// class, the control codes, the misc packet and its functions, the model
// record, the session handshake messages and the capsule. The utility
// (misc/, app/), the simulated driver (sim/), the kernel-mode test driver,
// the fuzzers and the tests take these facts from here; each side's logic
// stays its own code.
//
// Every multi-byte field is little-endian (byte_order.h). Offsets and sizes
// are in bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

// --- Device interface class and control codes -----------------------------

// {80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}, in the fields of a GUID.
struct PROTOCOL_GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
// The same fields in a GUID type of the platform's (GUID on Windows).
template <typename GuidType>
constexpr GuidType GuidFromProtocol(const PROTOCOL_GUID &g) {
    return GuidType{g.Data1, g.Data2, g.Data3,
                    {g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                     g.Data4[6], g.Data4[7]}};
}

constexpr PROTOCOL_GUID MISC_INTERFACE_CLASS = {
    0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};

// FILE_DEVICE_UNKNOWN (0x22), METHOD_BUFFERED, FILE_ANY_ACCESS; function
// numbers 0x800, 0x801, 0x802, 0xA50 and 0xA51.
constexpr uint32_t IOCTL_MISC_SESSION = 0x00222000;
constexpr uint32_t IOCTL_MISC_SESSION_CLOSE = 0x00222004;
constexpr uint32_t IOCTL_MISC_CAPSULE = 0x00222008;
constexpr uint32_t IOCTL_MISC_GET_MODEL_NUMBER = 0x00222940;
constexpr uint32_t IOCTL_MISC_FUNCTION = 0x00222944;  // carried inside a capsule only

constexpr uint32_t MISC_SESSION_ID_SIZE = 4;  // the close request's input

// --- The misc packet --------------------------------------------------------

// An 8-byte header and the function's data; the reply is written over the
// request, and its byte 0 is the status.
constexpr uint32_t MISC_PACKET_FUNCTION = 0;  // the status in the reply
constexpr uint32_t MISC_PACKET_GROUP = 1;
constexpr uint32_t MISC_PACKET_IN_SIZE = 2;   // 16-bit: bytes sent, header included
constexpr uint32_t MISC_PACKET_OUT_SIZE = 4;  // 16-bit: bytes the reply may fill
constexpr uint32_t MISC_PACKET_RESERVED = 6;  // 16-bit, 0
constexpr uint32_t MISC_PACKET_DATA = 8;
constexpr uint32_t MISC_PACKET_HEADER_SIZE = 8;

constexpr uint8_t MISC_FUNCTION_GROUP = 2;

constexpr uint8_t MISC_STATUS_SUCCESS = 0;
constexpr uint8_t MISC_STATUS_NOT_PRESENT = 2;
constexpr uint8_t MISC_STATUS_BUSY = 4;

// The functions this system asks for: code, InSize and OutSize (the packet
// is OutSize bytes long), and where the reply's data lies.
struct MISC_FUNCTION_SHAPE {
    uint8_t function;
    uint16_t inSize;
    uint16_t outSize;
};
constexpr MISC_FUNCTION_SHAPE MISC_QUERY_SUPPORT_CODE = {0x1A, 8, 9};   // data: code at 8
constexpr MISC_FUNCTION_SHAPE MISC_QUERY_SLOT_WORD = {0x93, 10, 10};    // data: word at 8
constexpr MISC_FUNCTION_SHAPE MISC_QUERY_BATTERY_DATE = {0x42, 10, 14};  // in: index at 8
constexpr MISC_FUNCTION_SHAPE MISC_QUERY_PART_NUMBER = {0x45, 12, 22};   // in: index at 8
constexpr uint32_t MISC_LARGEST_QUERY_PACKET = 22;

constexpr uint32_t MISC_BATTERY_INDEX_OFFSET = MISC_PACKET_DATA;  // 16-bit, in date and part requests
constexpr uint32_t MISC_PACKED_DATE_OFFSET = 10;                  // 16-bit, in the date reply
constexpr uint32_t MISC_PART_NUMBER_OFFSET = MISC_PACKET_DATA;
constexpr uint32_t MISC_PART_NUMBER_SIZE = 12;  // no terminator when all 12 are used

// The manufacture date in the MS-DOS (FAT) layout: bits 15-9 the year less
// 1980, bits 8-5 the month, bits 4-0 the day. Values pass as they come.
constexpr uint32_t PackedDateYear(uint16_t packed) { return (uint32_t)(packed >> 9) + 1980; }
constexpr uint32_t PackedDateMonth(uint16_t packed) { return (uint32_t)(packed >> 5) & 0xF; }
constexpr uint32_t PackedDateDay(uint16_t packed) { return (uint32_t)packed & 0x1F; }
constexpr uint16_t PackDate(uint32_t year, uint32_t month, uint32_t day) {
    return (uint16_t)((year - 1980) << 9 | (month & 0xF) << 5 | (day & 0x1F));
}

// --- The model record -------------------------------------------------------

constexpr uint32_t MISC_MODEL_RECORD_SIZE = 128;
constexpr uint32_t MISC_MODEL_SHORT_OFFSET = 40;
constexpr uint32_t MISC_MODEL_SHORT_SIZE = 12;
constexpr uint32_t MISC_MODEL_LENGTH_OFFSET = 95;  // L: 0, or 12 to 19 for the long form
constexpr uint32_t MISC_MODEL_TAIL_OFFSET = 96;    // characters 12 to L of the long form
constexpr uint32_t MISC_MODEL_LONG_HEAD = 11;      // the long form takes 11 bytes at offset 40
constexpr uint32_t MISC_MODEL_LONG_MIN = 12;
constexpr uint32_t MISC_MODEL_LONG_MAX = 19;

// --- The session handshake ------------------------------------------------

// 1024-bit numbers travel as 33 little-endian words, least significant
// first; below the prime the last word is 0.
constexpr uint32_t MISC_NUMBER_WORDS = 33;
constexpr uint32_t MISC_NUMBER_BYTES = MISC_NUMBER_WORDS * 4;

// The 1024-bit MODP prime of RFC 2409 (Second Oakley Group), generator 2.
inline constexpr uint32_t MISC_SESSION_PRIME[MISC_NUMBER_WORDS] = {
    0xFFFFFFFF, 0xFFFFFFFF, 0xECE65381, 0x49286651, 0x7C4B1FE6, 0xAE9F2411, 0x5A899FA5,
    0xEE386BFB, 0xF406B7ED, 0x0BFF5CB6, 0xA637ED6B, 0xF44C42E9, 0x625E7EC6, 0xE485B576,
    0x6D51C245, 0x4FE1356D, 0xF25F1437, 0x302B0A6D, 0xCD3A431B, 0xEF9519B3, 0x8E3404DD,
    0x514A0879, 0x3B139B22, 0x020BBEA6, 0x8A67CC74, 0x29024E08, 0x80DC1CD1, 0xC4C6628B,
    0x2168C234, 0xC90FDAA2, 0xFFFFFFFF, 0xFFFFFFFF, 0x00000000};

constexpr uint32_t MISC_SESSION_TAG_SIZE = 4;
constexpr char MISC_SESSION_TAG_PHASE1[] = "Ini1";
constexpr char MISC_SESSION_TAG_PHASE2[] = "Ini2";
constexpr char MISC_SESSION_TAG_PHASE3[] = "Ini3";

// Phase 1: tag, the client's public value A, its nonce and four zero
// bytes; the reply: session id, the driver's public value B, its 24-byte
// nonce field.
constexpr uint32_t MISC_PHASE1_SIZE = 160;  // request and reply
constexpr uint32_t MISC_PHASE1_PUBLIC = 4;
constexpr uint32_t MISC_PHASE1_NONCE_FIELD = 136;
constexpr uint32_t MISC_NONCE_FIELD_SIZE = 24;
constexpr uint32_t MISC_NONCE_SIZE = 20;  // the client's nonce; then four zero bytes
// Phase 2: tag, session id, the client's proof; the reply is the driver's proof.
constexpr uint32_t MISC_PHASE2_REQUEST_SIZE = 28;
constexpr uint32_t MISC_PHASE2_REPLY_SIZE = 20;
constexpr uint32_t MISC_PROOF_SIZE = 20;
// Phase 3: tag, session id, the session key in two enciphered blocks; the
// reply is one block enciphered under the session key.
constexpr uint32_t MISC_PHASE3_REQUEST_SIZE = 24;
constexpr uint32_t MISC_PHASE3_REPLY_SIZE = 8;
constexpr uint32_t MISC_SESSION_ID_OFFSET = 4;  // phases 2 and 3
constexpr uint32_t MISC_PROOF_OFFSET = 8;       // phase 2
constexpr uint32_t MISC_KEY_BLOCKS_OFFSET = 8;  // phase 3
constexpr uint32_t MISC_SESSION_KEY_SIZE = 16;  // also the pre-shared key's size
constexpr uint32_t MISC_CONFIRM_LEFT = 0x68747541;   // "Auth"
constexpr uint32_t MISC_CONFIRM_RIGHT = 0x6373694d;  // "Misc"

// --- The capsule ------------------------------------------------------------

// dwDataSize, dwCapsuleSize, dwSessionId in clear; the payload padded with
// zeros to whole 8-byte blocks (the enciphered area); four zero bytes.
constexpr uint32_t MISC_CAPSULE_DATA_SIZE = 0;
constexpr uint32_t MISC_CAPSULE_SIZE = 4;
constexpr uint32_t MISC_CAPSULE_SESSION_ID = 8;
constexpr uint32_t MISC_CAPSULE_HEADER_SIZE = 12;  // also the payload's offset
constexpr uint32_t MISC_CAPSULE_OVERHEAD = 16;     // header and the closing zero bytes
constexpr uint32_t MISC_CAPSULE_BLOCK_SIZE = 8;

// The capsule for a payload of n bytes: 16 + n rounded up to whole blocks.
constexpr uint32_t MiscCapsuleSize(uint32_t payload) {
    return payload == 0 ? MISC_CAPSULE_OVERHEAD
                        : ((payload - 1) & ~(MISC_CAPSULE_BLOCK_SIZE - 1)) + MISC_CAPSULE_OVERHEAD +
                              MISC_CAPSULE_BLOCK_SIZE;
}

// The MiscRequest record, the payload of every request capsule: a 20-byte
// header, the caller's k input bytes, four zero bytes (k + 24 in all).
constexpr uint32_t MISC_RECORD_MESSAGE_ID = 0;
constexpr uint32_t MISC_RECORD_SIZE = 4;
constexpr uint32_t MISC_RECORD_IO_CONTROL_CODE = 8;
constexpr uint32_t MISC_RECORD_IN_BUFFER_SIZE = 12;
constexpr uint32_t MISC_RECORD_OUT_BUFFER_SIZE = 16;
constexpr uint32_t MISC_RECORD_IN_BUFFER = 20;
constexpr uint32_t MISC_RECORD_OVERHEAD = 24;
