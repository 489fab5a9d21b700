// The frames of the hosted platform's external driver port (sim/README.md):
// the platform writes a request frame to the driver's standard input for
// every DeviceIoControl and reads one reply frame from its standard output.
// Every field is a little-endian 32-bit value (byte_order.h).
#pragma once

#include <stdint.h>

// Request: size (8 + n), code, out_capacity, then the n input bytes.
constexpr uint32_t PORT_REQUEST_SIZE = 0;
constexpr uint32_t PORT_REQUEST_CODE = 4;
constexpr uint32_t PORT_REQUEST_OUT_CAPACITY = 8;
// Reply: size (8 + m), result (0: the call fails), last_error, then m bytes.
constexpr uint32_t PORT_REPLY_SIZE = 0;
constexpr uint32_t PORT_REPLY_RESULT = 4;
constexpr uint32_t PORT_REPLY_LAST_ERROR = 8;

// What `size` counts besides the data: itself and the next field.
constexpr uint32_t PORT_SIZE_OVERHEAD = 8;
// Both frames' fixed part; the data follow it.
constexpr uint32_t PORT_FRAME_HEADER_SIZE = 12;
