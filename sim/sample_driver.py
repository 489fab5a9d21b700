#!/usr/bin/env python3
"""A misc driver outside the utility, to start your own from.

It speaks the external driver port of the hosted build (sim/README.md,
"External driver"): one request frame on standard input, one reply frame
on standard output, every integer unsigned 32-bit little-endian. It serves
a notebook whose driver supports no sessions: the session probe fails with
ERROR_NOT_SUPPORTED, so the utility sends its misc requests in clear
capsules. Change NOTEBOOK to serve another notebook. From the top of the
repository:

    CELLVARO_MACHINE=sim/machines/external-driver.json tools/run

Standard library only. Anything the driver refuses is reported on standard
error, which the utility passes through.
"""
import struct
import sys

# The notebook: an HT-K60 with one pack of a recalled lot (message 117).
NOTEBOOK = {
    "model": b"HT-K60",  # 12 characters at most (the short model record)
    "support_code": 3,
    "slot_word": 1,  # bit i: battery slot i is populated
    "packs": [(b"HT-QBLP21", (2012, 2, 9))],  # by battery index: part number, date
}

# The interface's numbers, as protocol/misc_driver.h defines them.
IOCTL_MISC_SESSION = 0x222000
IOCTL_MISC_SESSION_CLOSE = 0x222004
IOCTL_MISC_CAPSULE = 0x222008
IOCTL_MISC_GET_MODEL_NUMBER = 0x222940
IOCTL_MISC_FUNCTION = 0x222944

ERROR_INVALID_FUNCTION = 1
ERROR_NOT_SUPPORTED = 50
ERROR_INVALID_PARAMETER = 87

STATUS_SUCCESS = 0
STATUS_NOT_PRESENT = 2
STATUS_UNKNOWN_FUNCTION = 0x81

MODEL_RECORD_SIZE = 128
MODEL_OFFSET = 40
CAPSULE_HEADER = 12  # dwDataSize, dwCapsuleSize, dwSessionId
RECORD_HEADER = 20  # dwMessageId, dwRecordSize, dwIoControlCode, in and out sizes
PACKET_HEADER = 8


def refuse(why):
    print("sample_driver: refused:", why, file=sys.stderr)
    return False, ERROR_INVALID_PARAMETER, b""


def capsule_size(n):
    """16 bytes, plus the payload rounded up to whole 8-byte blocks."""
    return 16 + (n + 7) // 8 * 8


def misc_function(packet, out_size):
    """The reply packet: the request's 8-byte header with the status in
    byte 0, then the function's data, out_size bytes in all."""
    if len(packet) < PACKET_HEADER or out_size < PACKET_HEADER:
        return b""
    function, index = packet[0], 0
    if len(packet) >= 10:
        (index,) = struct.unpack_from("<H", packet, 8)
    packs = NOTEBOOK["packs"]
    status, data = STATUS_SUCCESS, b""
    if function == 0x1A:  # support code
        data = bytes([NOTEBOOK["support_code"]])
    elif function == 0x93:  # battery slot word
        data = struct.pack("<H", NOTEBOOK["slot_word"])
    elif function in (0x42, 0x45) and index >= len(packs):
        status = STATUS_NOT_PRESENT
    elif function == 0x42:  # manufacture date, FAT-packed, at data offset 2
        year, month, day = packs[index][1]
        data = struct.pack("<HH", 0, (year - 1980) << 9 | month << 5 | day)
    elif function == 0x45:  # part number, 12 bytes
        data = packs[index][0]
    else:
        status = STATUS_UNKNOWN_FUNCTION
    reply = bytes([status]) + packet[1:PACKET_HEADER] + data
    return reply[:out_size].ljust(out_size, b"\0")


class ClearDriver:
    def __init__(self):
        self.next_message_id = 0

    def serve(self, code, data, out_capacity):
        """One request: (result, last_error, output bytes)."""
        if code == IOCTL_MISC_SESSION:
            return False, ERROR_NOT_SUPPORTED, b""  # no sessions: capsules in clear
        if code == IOCTL_MISC_GET_MODEL_NUMBER:
            record = bytearray(MODEL_RECORD_SIZE)
            model = NOTEBOOK["model"]
            record[MODEL_OFFSET:MODEL_OFFSET + len(model)] = model
            return True, 0, bytes(record)
        if code == IOCTL_MISC_CAPSULE:
            return self.capsule(data, out_capacity)
        if code == IOCTL_MISC_SESSION_CLOSE:
            return refuse("a session close without a session")
        return False, ERROR_INVALID_FUNCTION, b""

    def capsule(self, data, out_capacity):
        if len(data) < 16:
            return refuse("capsule shorter than 16 bytes")
        data_size, size, session_id = struct.unpack_from("<III", data, 0)
        if size != len(data) or size != capsule_size(data_size):
            return refuse("dwCapsuleSize does not match the request")
        if session_id != 0:
            return refuse("a session identifier in clear mode")
        if data_size < RECORD_HEADER + 4:
            return refuse("dwDataSize too small for a request record")
        message_id, record_size, ioctl, k, client_out = struct.unpack_from(
            "<IIIII", data, CAPSULE_HEADER)
        if message_id != self.next_message_id:
            return refuse("message identifier out of sequence")
        if record_size != data_size or k + RECORD_HEADER + 4 != record_size:
            return refuse("record sizes disagree")
        if ioctl != IOCTL_MISC_FUNCTION:
            return refuse("record carries another control code")
        self.next_message_id += 1

        start = CAPSULE_HEADER + RECORD_HEADER
        packet = data[start:start + k]
        (out_size,) = struct.unpack_from("<H", packet, 4) if len(packet) >= 6 else (0,)
        reply = misc_function(packet, min(out_size, client_out))
        # The reply capsule carries the reply packet itself, no record.
        n = len(reply)
        if capsule_size(n) > out_capacity:
            return refuse("reply capsule does not fit")
        header = struct.pack("<III", n, capsule_size(n), 0)
        return True, 0, (header + reply).ljust(capsule_size(n), b"\0")


def read_exactly(stream, n):
    data = b""
    while len(data) < n:
        chunk = stream.read(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def main():
    stdin, stdout = sys.stdin.buffer, sys.stdout.buffer
    driver = ClearDriver()
    # The frames of the external driver port, as protocol/driver_port.h
    # names them: size (8 + n), code or result, out_capacity or last_error.
    while True:
        head = read_exactly(stdin, 12)
        if head is None:
            return 0  # the utility closed the device
        size, code, out_capacity = struct.unpack("<III", head)
        if size < 8:
            print("sample_driver: a request frame whose size is below 8", file=sys.stderr)
            return 2
        data = read_exactly(stdin, size - 8)
        if data is None:
            return 2
        result, last_error, out = driver.serve(code, data, out_capacity)
        stdout.write(struct.pack("<III", 8 + len(out), 1 if result else 0,
                                 0 if result else last_error) + out)
        stdout.flush()


if __name__ == "__main__":
    sys.exit(main())
