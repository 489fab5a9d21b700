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

namespace {

constexpr uint32_t kIoctlSession = 0x222000;
constexpr uint32_t kIoctlSessionClose = 0x222004;
constexpr uint32_t kIoctlCapsule = 0x222008;
constexpr uint32_t kIoctlModelNumber = 0x222940;
constexpr uint32_t kIoctlMiscFunction = 0x222944;

constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;

constexpr uint32_t kFrameHeader = 8;        // size and code / size and result
constexpr uint32_t kRequestHeader = 12;     // with out_capacity
constexpr uint32_t kModelRecordSize = 128;
constexpr uint32_t kModelOffset = 40;
constexpr uint32_t kModelShortLength = 12;
constexpr uint32_t kCapsuleHeader = 12;
constexpr uint32_t kCapsuleMinimum = 16;
constexpr uint32_t kRecordHeader = 20;
constexpr uint32_t kRecordOverhead = 24;
constexpr uint32_t kPacketHeader = 8;
constexpr uint32_t kPartNumberSize = 12;

constexpr uint8_t kStatusSuccess = 0;
constexpr uint8_t kStatusNotPresent = 2;
constexpr uint8_t kStatusUnknownFunction = 0x81;

uint32_t Get32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
uint16_t Get16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }
void Put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
void Put16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

bool ReadAll(uint8_t *p, size_t n) {
    while (n) {
        ssize_t r = read(0, p, n);
        if (r <= 0) return false;
        p += r;
        n -= (size_t)r;
    }
    return true;
}
void WriteAll(const uint8_t *p, size_t n) {
    while (n) {
        ssize_t w = write(1, p, n);
        if (w <= 0) exit(3);
        p += w;
        n -= (size_t)w;
    }
}

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
            if (p.part_number.size() > kPartNumberSize) Usage("a part number has at most 12 bytes");
            p.packed_date = (uint16_t)((y - 1980) << 9 | m << 5 | d);
            o.packs.push_back(p);
        } else {
            Usage(("unknown option " + a).c_str());
        }
    }
    if (o.model.size() > kModelShortLength) Usage("the model text has at most 12 characters");
    return o;
}

class CClearDriver {
public:
    explicit CClearDriver(const Options &options) : _o(options) {}

    Reply Serve(uint32_t code, const std::vector<uint8_t> &in, uint32_t out_capacity) {
        switch (code) {
        case kIoctlSession:
            // No sessions: the probe and any handshake phase alike.
            return Fail(kErrorNotSupported);
        case kIoctlModelNumber: {
            Reply r{true, 0, std::vector<uint8_t>(kModelRecordSize, 0)};
            memcpy(&r.data[kModelOffset], _o.model.data(), _o.model.size());
            return r;
        }
        case kIoctlCapsule:
            return _Capsule(in, out_capacity);
        case kIoctlSessionClose:
            fprintf(stderr, "cellvaro_e2e_driver: a session close without a session\n");
            return Fail(kErrorInvalidParameter);
        default:
            return Fail(kErrorInvalidFunction);
        }
    }

private:
    Reply _Capsule(const std::vector<uint8_t> &in, uint32_t out_capacity) {
        if (in.size() < kCapsuleMinimum) return Refuse("capsule shorter than 16 bytes");
        const uint32_t data_size = Get32(&in[0]), capsule_size = Get32(&in[4]);
        if (capsule_size != in.size() || capsule_size % 8 != 0)
            return Refuse("dwCapsuleSize does not match the request");
        if (Get32(&in[8]) != 0) return Refuse("a session identifier in clear mode");
        if (data_size < kRecordOverhead || data_size > capsule_size - kCapsuleMinimum)
            return Refuse("dwDataSize out of range");
        if (Get32(&in[capsule_size - 4]) != 0) return Refuse("capsule trailer not zero");

        const uint8_t *record = &in[kCapsuleHeader];
        const uint32_t message_id = Get32(record), record_size = Get32(record + 4);
        const uint32_t ioctl = Get32(record + 8), k = Get32(record + 12);
        const uint32_t client_out = Get32(record + 16);
        if (message_id != _nextMessageId) return Refuse("message identifier out of sequence");
        if (record_size != data_size || k + kRecordOverhead != record_size)
            return Refuse("record sizes disagree");
        if (ioctl != kIoctlMiscFunction) return Refuse("record carries another control code");
        if (Get32(record + kRecordHeader + k) != 0) return Refuse("record trailer not zero");
        _nextMessageId++;

        std::vector<uint8_t> packet(record + kRecordHeader, record + kRecordHeader + k);
        std::vector<uint8_t> reply = _MiscFunction(packet, client_out);

        const uint32_t n = (uint32_t)reply.size();
        const uint32_t reply_capsule = n == 0 ? kCapsuleMinimum : ((n - 1) & ~7u) + 24;
        if (reply_capsule > out_capacity) return Refuse("reply capsule does not fit");
        Reply r{true, 0, std::vector<uint8_t>(reply_capsule, 0)};
        Put32(&r.data[0], n);
        Put32(&r.data[4], reply_capsule);
        if (n) memcpy(&r.data[kCapsuleHeader], reply.data(), n);
        return r;
    }

    // The reply packet: the request's header with the status in byte 0,
    // OutSize bytes in all.
    std::vector<uint8_t> _MiscFunction(const std::vector<uint8_t> &request, uint32_t client_out) {
        if (request.size() < kPacketHeader) return {};
        uint32_t out_size = Get16(&request[4]);
        if (out_size > client_out) out_size = client_out;
        if (out_size < kPacketHeader) return {};
        std::vector<uint8_t> p(out_size, 0);
        memcpy(p.data(), request.data(), kPacketHeader);
        const uint16_t index = request.size() >= 10 ? Get16(&request[8]) : 0;
        uint8_t data[16];
        memset(data, 0, sizeof data);
        uint8_t status = kStatusSuccess;
        switch (request[0]) {
        case 0x1A: data[0] = _o.support_code; break;
        case 0x93: Put16(data, _o.slot_word); break;
        case 0x42:
            if (index >= _o.packs.size()) status = kStatusNotPresent;
            else Put16(data + 2, _o.packs[index].packed_date);
            break;
        case 0x45:
            if (index >= _o.packs.size()) status = kStatusNotPresent;
            else memcpy(data, _o.packs[index].part_number.data(), _o.packs[index].part_number.size());
            break;
        default: status = kStatusUnknownFunction; break;
        }
        p[0] = status;
        const uint32_t room = out_size - kPacketHeader;
        memcpy(&p[kPacketHeader], data, room < sizeof data ? room : sizeof data);
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
        uint8_t head[kRequestHeader];
        if (!ReadAll(head, sizeof head)) return 0;  // the handle was closed
        const uint32_t size = Get32(head);
        if (size < kFrameHeader) return 2;
        std::vector<uint8_t> in(size - kFrameHeader);
        if (!in.empty() && !ReadAll(in.data(), in.size())) return 2;
        if (number == options.exit_at) return 0;

        const Reply r = driver.Serve(Get32(head + 4), in, Get32(head + 8));
        std::vector<uint8_t> frame(kRequestHeader + r.data.size());
        Put32(&frame[0], kFrameHeader + (uint32_t)r.data.size());
        Put32(&frame[4], r.result ? 1 : 0);
        Put32(&frame[8], r.result ? 0 : r.last_error);
        if (!r.data.empty()) memcpy(&frame[kRequestHeader], r.data.data(), r.data.size());

        if (number == options.short_at) {
            // The header promises the whole reply; half of it follows (half
            // the header when there is no data).
            WriteAll(frame.data(), r.data.empty() ? kRequestHeader / 2
                                                  : kRequestHeader + r.data.size() / 2);
            return 0;
        }
        if (number == options.bad_size_at) Put32(&frame[0], kFrameHeader / 2);
        WriteAll(frame.data(), frame.size());
    }
}
