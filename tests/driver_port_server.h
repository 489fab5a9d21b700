// The driver's end of the external driver port, for the test drivers
// (tests/e2e/clear_driver.cpp, tests/hostile/hostile_driver.cpp): one
// request frame read from standard input, one reply frame written to
// standard output (protocol/driver_port.h).
#pragma once

#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "byte_order.h"
#include "driver_port.h"

namespace port {

inline bool ReadAll(uint8_t *p, size_t n) {
    while (n) {
        const ssize_t r = read(0, p, n);
        if (r <= 0) return false;
        p += r;
        n -= (size_t)r;
    }
    return true;
}

inline bool WriteAll(const uint8_t *p, size_t n) {
    while (n) {
        const ssize_t w = write(1, p, n);
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

struct Request {
    uint32_t code = 0;
    uint32_t out_capacity = 0;
    std::vector<uint8_t> in;
};

enum class ReadResult { kRequest, kClosed, kBroken };

// kClosed: the platform closed the handle before a frame began; kBroken: a
// frame whose size is below its header, or that ends early.
inline ReadResult ReadRequest(Request *request) {
    uint8_t head[PORT_FRAME_HEADER_SIZE];
    if (!ReadAll(head, sizeof head)) return ReadResult::kClosed;
    const uint32_t size = ReadLe32(head + PORT_REQUEST_SIZE);
    if (size < PORT_SIZE_OVERHEAD) return ReadResult::kBroken;
    request->code = ReadLe32(head + PORT_REQUEST_CODE);
    request->out_capacity = ReadLe32(head + PORT_REQUEST_OUT_CAPACITY);
    request->in.assign(size - PORT_SIZE_OVERHEAD, 0);
    if (!request->in.empty() && !ReadAll(request->in.data(), request->in.size()))
        return ReadResult::kBroken;
    return ReadResult::kRequest;
}

// The reply frame for a result, its last error and n bytes of data.
inline std::vector<uint8_t> ReplyFrame(bool result, uint32_t last_error, const uint8_t *data,
                                       size_t n) {
    std::vector<uint8_t> frame(PORT_FRAME_HEADER_SIZE + n);
    WriteLe32(&frame[PORT_REPLY_SIZE], PORT_SIZE_OVERHEAD + (uint32_t)n);
    WriteLe32(&frame[PORT_REPLY_RESULT], result ? 1 : 0);
    WriteLe32(&frame[PORT_REPLY_LAST_ERROR], last_error);
    if (n) memcpy(&frame[PORT_FRAME_HEADER_SIZE], data, n);
    return frame;
}

}  // namespace port
