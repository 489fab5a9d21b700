// A misc driver outside the utility, written from the driver interface
// alone, for the external driver port of the hosted platform: it reads
// request frames on standard input and writes reply frames on standard
// output (sizes little-endian, see sim/README.md). It serves a notebook
// whose driver supports no sessions: the probe fails with
// ERROR_NOT_SUPPORTED, the model record is answered, and capsules travel
// in clear with the four misc functions.
//
//   cellvaro_e2e_driver [--model TEXT] [--slot-word N] [--support-code N]
//                       [--pack PART@YYYY-MM-DD]... [--exit-at N]
//                       [--short-at N] [--bad-size-at N]
//
// --exit-at N ends the driver when the N-th request (counted from 1)
// arrives, without a reply; --short-at N answers the N-th request with a
// frame cut short and then ends; --bad-size-at N answers it with a size
// field below 8 and goes on reading. Anything the driver refuses is
// reported on standard error.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "byte_order.h"
#include "driver_port_server.h"
#include "misc_driver.h"

namespace {

constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;

constexpr uint8_t kStatusUnknownFunction = 0x81;

struct Pack {
    std::string part_number;
    uint16_t packed_date;
};

struct Options {
    std::string model = "HT-K60";
    uint16_t slot_word = 1;
    uint8_t support_code = 3;
    std::vector<Pack> packs;
    long exit_at = 0, short_at = 0, bad_size_at = 0;
};

struct Reply {
    bool result;
    uint32_t last_error;
    std::vector<uint8_t> data;
};

Reply Fail(uint32_t error) { return Reply{false, error, {}}; }
Reply Refuse(const char *why) {
    fprintf(stderr, "cellvaro_e2e_driver: refused: %s\n", why);
    return Fail(kErrorInvalidParameter);
}

[[noreturn]] void Usage(const char *why) {
    fprintf(stderr, "cellvaro_e2e_driver: %s\n", why);
    exit(2);
}

Options ParseOptions(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (i + 1 >= argc) Usage("every option takes a value");
        const char *v = argv[++i];
        if (a == "--model") o.model = v;
        else if (a == "--slot-word") o.slot_word = (uint16_t)strtoul(v, nullptr, 0);
        else if (a == "--support-code") o.support_code = (uint8_t)strtoul(v, nullptr, 0);
        else if (a == "--exit-at") o.exit_at = strtol(v, nullptr, 10);
        else if (a == "--short-at") o.short_at = strtol(v, nullptr, 10);
        else if (a == "--bad-size-at") o.bad_size_at = strtol(v, nullptr, 10);
        else if (a == "--pack") {
            const char *at = strchr(v, '@');
            unsigned y, m, d;
            if (!at || sscanf(at + 1, "%4u-%2u-%2u", &y, &m, &d) != 3 || y < 1980)
                Usage("--pack takes PART@YYYY-MM-DD");
            Pack p;
            p.part_number.assign(v, (size_t)(at - v));
            if (p.part_number.size() > MISC_PART_NUMBER_SIZE) Usage("a part number has at most 12 bytes");
            p.packed_date = PackDate(y, m, d);
            o.packs.push_back(p);
        } else {
            Usage(("unknown option " + a).c_str());
        }
    }
    if (o.model.size() > MISC_MODEL_SHORT_SIZE) Usage("the model text has at most 12 characters");
    return o;
}

class CClearDriver {
public:
    explicit CClearDriver(const Options &options) : _o(options) {}

    Reply Serve(uint32_t code, const std::vector<uint8_t> &in, uint32_t out_capacity) {
        switch (code) {
        case IOCTL_MISC_SESSION:
            // No sessions: the probe and any handshake phase alike.
            return Fail(kErrorNotSupported);
        case IOCTL_MISC_GET_MODEL_NUMBER: {
            Reply r{true, 0, std::vector<uint8_t>(MISC_MODEL_RECORD_SIZE, 0)};
            memcpy(&r.data[MISC_MODEL_SHORT_OFFSET], _o.model.data(), _o.model.size());
            return r;
        }
        case IOCTL_MISC_CAPSULE:
            return _Capsule(in, out_capacity);
        case IOCTL_MISC_SESSION_CLOSE:
            fprintf(stderr, "cellvaro_e2e_driver: a session close without a session\n");
            return Fail(kErrorInvalidParameter);
        default:
            return Fail(kErrorInvalidFunction);
        }
    }

private:
    Reply _Capsule(const std::vector<uint8_t> &in, uint32_t out_capacity) {
        if (in.size() < MISC_CAPSULE_OVERHEAD) return Refuse("capsule shorter than 16 bytes");
        const uint32_t data_size = ReadLe32(&in[MISC_CAPSULE_DATA_SIZE]);
        const uint32_t capsule_size = ReadLe32(&in[MISC_CAPSULE_SIZE]);
        if (capsule_size != in.size() || capsule_size % MISC_CAPSULE_BLOCK_SIZE != 0)
            return Refuse("dwCapsuleSize does not match the request");
        if (ReadLe32(&in[MISC_CAPSULE_SESSION_ID]) != 0) return Refuse("a session identifier in clear mode");
        if (data_size < MISC_RECORD_OVERHEAD || data_size > capsule_size - MISC_CAPSULE_OVERHEAD)
            return Refuse("dwDataSize out of range");
        if (ReadLe32(&in[capsule_size - 4]) != 0) return Refuse("capsule trailer not zero");

        const uint8_t *record = &in[MISC_CAPSULE_HEADER_SIZE];
        const uint32_t message_id = ReadLe32(record + MISC_RECORD_MESSAGE_ID);
        const uint32_t record_size = ReadLe32(record + MISC_RECORD_SIZE);
        const uint32_t ioctl = ReadLe32(record + MISC_RECORD_IO_CONTROL_CODE);
        const uint32_t k = ReadLe32(record + MISC_RECORD_IN_BUFFER_SIZE);
        const uint32_t client_out = ReadLe32(record + MISC_RECORD_OUT_BUFFER_SIZE);
        if (message_id != _nextMessageId) return Refuse("message identifier out of sequence");
        if (record_size != data_size || k + MISC_RECORD_OVERHEAD != record_size)
            return Refuse("record sizes disagree");
        if (ioctl != IOCTL_MISC_FUNCTION) return Refuse("record carries another control code");
        if (ReadLe32(record + MISC_RECORD_IN_BUFFER + k) != 0) return Refuse("record trailer not zero");
        _nextMessageId++;

        std::vector<uint8_t> packet(record + MISC_RECORD_IN_BUFFER, record + MISC_RECORD_IN_BUFFER + k);
        std::vector<uint8_t> reply = _MiscFunction(packet, client_out);

        const uint32_t n = (uint32_t)reply.size();
        const uint32_t reply_capsule = MiscCapsuleSize(n);
        if (reply_capsule > out_capacity) return Refuse("reply capsule does not fit");
        Reply r{true, 0, std::vector<uint8_t>(reply_capsule, 0)};
        WriteLe32(&r.data[MISC_CAPSULE_DATA_SIZE], n);
        WriteLe32(&r.data[MISC_CAPSULE_SIZE], reply_capsule);
        if (n) memcpy(&r.data[MISC_CAPSULE_HEADER_SIZE], reply.data(), n);
        return r;
    }

    // The reply packet: the request's header with the status in byte 0,
    // OutSize bytes in all.
    std::vector<uint8_t> _MiscFunction(const std::vector<uint8_t> &request, uint32_t client_out) {
        if (request.size() < MISC_PACKET_HEADER_SIZE) return {};
        uint32_t out_size = ReadLe16(&request[MISC_PACKET_OUT_SIZE]);
        if (out_size > client_out) out_size = client_out;
        if (out_size < MISC_PACKET_HEADER_SIZE) return {};
        std::vector<uint8_t> p(out_size, 0);
        memcpy(p.data(), request.data(), MISC_PACKET_HEADER_SIZE);
        const uint16_t index = request.size() >= MISC_BATTERY_INDEX_OFFSET + 2
                                   ? ReadLe16(&request[MISC_BATTERY_INDEX_OFFSET])
                                   : 0;
        uint8_t data[16];
        memset(data, 0, sizeof data);
        uint8_t status = MISC_STATUS_SUCCESS;
        switch (request[MISC_PACKET_FUNCTION]) {
        case MISC_QUERY_SUPPORT_CODE.function: data[0] = _o.support_code; break;
        case MISC_QUERY_SLOT_WORD.function: WriteLe16(data, _o.slot_word); break;
        case MISC_QUERY_BATTERY_DATE.function:
            if (index >= _o.packs.size()) status = MISC_STATUS_NOT_PRESENT;
            else WriteLe16(data + (MISC_PACKED_DATE_OFFSET - MISC_PACKET_DATA), _o.packs[index].packed_date);
            break;
        case MISC_QUERY_PART_NUMBER.function:
            if (index >= _o.packs.size()) status = MISC_STATUS_NOT_PRESENT;
            else memcpy(data, _o.packs[index].part_number.data(), _o.packs[index].part_number.size());
            break;
        default: status = kStatusUnknownFunction; break;
        }
        p[MISC_PACKET_FUNCTION] = status;
        const uint32_t room = out_size - MISC_PACKET_HEADER_SIZE;
        memcpy(&p[MISC_PACKET_HEADER_SIZE], data, room < sizeof data ? room : sizeof data);
        return p;
    }

    const Options &_o;
    uint32_t _nextMessageId = 0;
};

}  // namespace

int main(int argc, char **argv) {
    const Options options = ParseOptions(argc, argv);
    CClearDriver driver(options);
    for (long number = 1;; number++) {
        port::Request request;
        const port::ReadResult got = port::ReadRequest(&request);
        if (got == port::ReadResult::kClosed) return 0;  // the handle was closed
        if (got == port::ReadResult::kBroken) return 2;
        if (number == options.exit_at) return 0;

        const Reply r = driver.Serve(request.code, request.in, request.out_capacity);
        std::vector<uint8_t> frame =
            port::ReplyFrame(r.result, r.result ? 0 : r.last_error, r.data.data(), r.data.size());

        if (number == options.short_at) {
            // The header promises the whole reply; half of it follows (half
            // the header when there is no data).
            (void)port::WriteAll(frame.data(), r.data.empty() ? PORT_FRAME_HEADER_SIZE / 2
                                                              : PORT_FRAME_HEADER_SIZE + r.data.size() / 2);
            return 0;
        }
        if (number == options.bad_size_at) WriteLe32(&frame[PORT_REPLY_SIZE], PORT_SIZE_OVERHEAD / 2);
        if (!port::WriteAll(frame.data(), frame.size())) return 3;
    }
}
