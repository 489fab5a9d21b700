#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a valid reply (or a short run of replies) encoded the way the
target reads its input with FuzzedDataProvider: byte strings from the
front, integers from the back (the first integer read is the last byte).
The encoders follow the order in which each target consumes its input.
"""
import os
import struct

# The sizes, offsets and the prime below are copied from
# protocol/misc_driver.h, which holds them for the C++ code.

PRIME = int(
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A0879"
    "8E3404DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B"
    "0BFF5CB6F406B7EDEE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF", 16)


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the target reads it

    def data(self, b):
        self.front += bytes(b)
        return self

    def range(self, lo, hi, v, width):
        span, r, n = hi - lo, (v - lo) % (1 << (8 * width)), 0
        while n < width and (span >> (8 * n)) > 0:
            n += 1
        # The most significant byte is read first.
        self.back += r.to_bytes(n, "big") if n else b""
        return self

    def u8(self, v):
        return self.range(0, 255, v, 1)

    def u16(self, v):
        return self.range(0, 0xFFFF, v, 2)

    def u32(self, v):
        return self.range(0, 0xFFFFFFFF, v, 4)

    def u64(self, v):
        return self.range(0, (1 << 64) - 1, v, 8)

    def i64(self, v):
        return self.range(-(1 << 63), (1 << 63) - 1, v, 8)

    def bool(self, v):
        return self.u8(1 if v else 0)

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


# Picks of fuzz_support.h: ConsumeLastError index 0 is ERROR_SUCCESS,
# ConsumeReplySize 50 is the expected size, ConsumeSizeField 12 the truth.
NO_ERROR, EXPECTED_SIZE, TRUE_FIELD = 0, 50, 12


def capsule_size(payload):
    return 16 if payload == 0 else ((payload - 1) & ~7) + 24


def packet(function_or_status, data, size):
    p = bytearray(size)
    p[0] = function_or_status
    p[8:8 + len(data)] = data
    return bytes(p)


def capsule_reply(s, payload_bytes):
    """A faithful reply capsule for capsule_fuzzer (result TRUE)."""
    n = capsule_size(len(payload_bytes))
    s.bool(True).u8(NO_ERROR)
    s.bool(True)  # the payload is the expected one
    s.u8(EXPECTED_SIZE)
    s.bool(True).u8(TRUE_FIELD).u8(TRUE_FIELD).u32(0x51D00001)
    s.data(payload_bytes + bytes(n - 12 - len(payload_bytes)))


def capsule_seeds():
    seeds = {}
    s = Seed().range(0, 4, 0, 1)
    capsule_reply(s, packet(0, b"\x03", 9))
    seeds["support_code_3"] = s
    s = Seed().range(0, 4, 1, 1).u8(0)
    capsule_reply(s, packet(0, b"\x05\x00", 10))
    seeds["slot_word_5"] = s
    s = Seed().range(0, 4, 2, 1).u8(0)
    capsule_reply(s, packet(4, b"", 14))  # busy, then the date
    capsule_reply(s, packet(0, b"\x00\x00\x49\x40", 14))
    seeds["date_busy_once"] = s
    s = Seed().range(0, 4, 3, 1).u8(1)
    capsule_reply(s, packet(0, b"HT-QBLP21\x00\x00\x00", 22))
    seeds["part_number"] = s
    return seeds


def queries_reply(s, status, data, size):
    s.u8(200).u8([0, 0, 0, 2, 4, 1, 0x81, 0xFF].index(status))
    s.data(bytes(data) + bytes(size - 1 - len(data)))


def queries_seeds():
    seeds = {}
    s = Seed().range(0, 2, 0, 4)
    queries_reply(s, 0, b"\x02\x08\x00\x09\x00\x00\x00\x03", 9)
    seeds["support_code_3"] = s
    s = Seed().range(0, 2, 1, 4)
    queries_reply(s, 0, b"\x02\x0a\x00\x0a\x00\x00\x00\x05\x00", 10)
    seeds["slot_word_5"] = s
    s = Seed().range(0, 2, 2, 4).range(0, 3, 2, 2).range(0, 3, 1, 2)
    queries_reply(s, 0, b"\x02\x0a\x00\x0e\x00\x00\x00\x01\x00\x49\x40", 14)
    queries_reply(s, 0, b"\x02\x0c\x00\x16\x00\x00\x00HT-QBLP23", 22)
    seeds["identity_battery_1"] = s
    s = Seed().range(0, 2, 2, 4).range(0, 3, 1, 2).range(0, 3, 0, 2)
    queries_reply(s, 2, b"", 14)
    seeds["identity_empty_slot"] = s
    return seeds


def model_record(model):
    r = bytearray(128)
    m = model.encode()
    if len(m) <= 12:
        r[40:40 + len(m)] = m
    else:
        r[40:51] = m[:11]
        r[96:96 + len(m) - 11] = m[11:]
        r[95] = len(m)
    return bytes(r)


def model_seeds():
    seeds = {}
    for name, model, capacity in (("short_258", "HT-K60A", 258), ("long_258", "HT-KW-1234ABCD", 258),
                                  ("long_capacity_19", "HT-KW-1234ABCD", 19)):
        s = Seed().range(0, 300, capacity, 4)
        s.bool(True).u8(NO_ERROR).u8(EXPECTED_SIZE).u8(0)
        s.data(model_record(model)).bool(False)
        seeds[name] = s
    return seeds


def battery_seeds():
    seeds = {}
    for name, index, capabilities, capacity in (("battery_0", 0, 0x80000000, 46080),
                                                ("battery_1_relative", 1, 0xC0000000, 92160)):
        s = Seed().range(1, 3, 2, 2).range(0, 3, index, 2)
        s.u8(200).u8(NO_ERROR).u8(EXPECTED_SIZE).u8(200).u32(1)
        info = struct.pack("<IBBBB4sIIIIII", capabilities, 1, 0, 0, 0, b"LION", capacity,
                           capacity // 10 * 9, capacity // 10, capacity // 20, 0, 17)
        s.u8(200).u8(NO_ERROR).u8(EXPECTED_SIZE).data(info).bool(capabilities & 0x40000000 == 0)
        seeds[name] = s
    return seeds


def handshake_seed(probe_not_supported=False, public_kind=200):
    s = Seed().range(0, 999, 0, 2).i64(1234567).u8(8)  # no failing allocation
    if probe_not_supported:
        s.bool(False).u8(0)  # ERROR_NOT_SUPPORTED
        return s
    s.bool(True).u8(200).u8(NO_ERROR)
    s.u32(0x51D00001).u8(public_kind)
    if public_kind >= 128:
        s.u64(0x0123456789ABCDEF)
    elif public_kind < 64:
        s.data(pow(2, 0x89ABCDEF, PRIME).to_bytes(132, "little"))
    s.data(bytes(range(24)))
    s.u8(1).u8(NO_ERROR).u8(EXPECTED_SIZE)
    for _ in range(2):  # phases 2 and 3: the right reply
        s.u8(200).u8(1).u8(NO_ERROR).u8(EXPECTED_SIZE)
    s.bool(True).u8(NO_ERROR)  # the close at the end
    return s


def handshake_seeds():
    return {"faithful": handshake_seed(), "clear": handshake_seed(probe_not_supported=True),
            "public_p_minus_1": handshake_seed(public_kind=65),
            "public_raw": handshake_seed(public_kind=0)}


def words(s, values, max_words):
    s.range(0, max_words, len(values), 4)
    for w in values:
        s.u8(200).u32(w)


def to_words(v, n):
    return [(v >> (32 * i)) & 0xFFFFFFFF for i in range(n)]


def powmod_seeds():
    seeds = {}
    x = [0x89ABCDEF, 0x01234567, 0x76543210, 0]
    s = Seed().bool(True)
    words(s, to_words(PRIME, 33), 33)
    words(s, x, 4)
    s.range(0, 69, 33, 4)
    seeds["pow2mod_handshake"] = s
    s = Seed().bool(False)
    words(s, to_words(PRIME, 33), 33)
    words(s, x, 4)
    words(s, to_words(pow(2, 12345, PRIME), 33), 67)
    s.u8(100).range(0, 69, 33, 4)
    seeds["powmod_shared_secret"] = s
    s = Seed().bool(False)
    words(s, [97], 33)
    words(s, [1], 4)
    words(s, [0xFFFFFFFF, 0x7FFFFFFF], 67)
    s.u8(100).range(0, 69, 1, 4)
    seeds["powmod_small"] = s
    return seeds


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    targets = {"capsule_session": capsule_seeds(), "capsule_clear": capsule_seeds(),
               "queries": queries_seeds(), "model": model_seeds(), "battery": battery_seeds(),
               "handshake": handshake_seeds(), "powmod": powmod_seeds()}
    for target, seeds in targets.items():
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        for name, seed in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(seed.bytes())


if __name__ == "__main__":
    main()
