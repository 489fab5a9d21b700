// Little-endian reads and writes of 16- and 32-bit fields in byte buffers,
// and the big-endian words of SHA-1: the one set of byte-order helpers for
// every layout the utility, its crypto code, the simulated devices, the
// fuzzers and the tests handle.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline uint16_t ReadLe16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }

inline uint32_t ReadLe32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline void WriteLe16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

inline void WriteLe32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

inline uint32_t ReadBe32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

inline void WriteBe32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// Words to and from their little-endian bytes, least significant word first
// (the form of every 1024-bit number on the wire).
inline void ReadLe32Words(const uint8_t *bytes, uint32_t *words, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) words[i] = ReadLe32(bytes + 4 * (size_t)i);
}

inline void WriteLe32Words(uint8_t *bytes, const uint32_t *words, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) WriteLe32(bytes + 4 * (size_t)i, words[i]);
}
