// A hostile external misc driver: `cellvaro_hostile_driver SEED`.
//
// It speaks the external-driver framing (sim/README.md) and carries the
// simulated driver inside, so that it can set up real sessions and give
// real answers, on a notebook drawn from the seed (sessions or clear
// mode, model record, support code, slot word, packs, statuses). Then it
// spoils replies, as often as the seed says: byte counts of 0, 1, 11, 12,
// 15, 16, the true size +/- 1, the buffer size or far more; results and
// last errors; lying dwDataSize and dwCapsuleSize in capsules and a lying
// length byte in the model record; flipped bytes; a broken frame or an
// early exit. The same seed gives the same run.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <vector>

#include "byte_order.h"
#include "driver_port_server.h"
#include "misc_driver.h"
#include "misc_device.h"

namespace {


std::mt19937_64 g_rng;

uint32_t Below(uint32_t n) { return n ? (uint32_t)(g_rng() % n) : 0; }
bool Chance(uint32_t one_in) { return Below(one_in) == 0; }

void Random(void *, uint8_t *out, size_t size) {
    for (size_t i = 0; i < size; i++) out[i] = (uint8_t)g_rng();
}

// Statuses for successive requests of one kind; now and then not 0.
void RandomScript(sim::StatusScript *s, uint32_t one_in) {
    const uint8_t kStatuses[] = {0, 0, 0, 0, 2, 4, 1, 0x81};
    s->count = Chance(one_in) ? 1 + Below(3) : 0;
    for (uint32_t i = 0; i < s->count; i++) s->steps[i] = kStatuses[Below(8)];
}

// The notebook behind the driver.
void RandomNotebook(sim::MiscDeviceConfig *config) {
    sim::DefaultMiscDeviceConfig(config);
    config->sessions = !Chance(3);
    const char *kModels[] = {"HT-K60A", "HT-K60A", "HT-KW-1234ABCD", "HT-R60",
                             "HT-E7X",  "HT-M5",   "XY",             "HT-D60-LONGNAME"};
    sim::BuildModelRecord(kModels[Below(8)], config->model_record);
    if (Chance(10)) Random(nullptr, config->model_record, MISC_MODEL_RECORD_SIZE);
    config->first_session_id = (uint32_t)g_rng();
    config->support_code = Chance(8) ? (uint8_t)Below(6) : 3;
    RandomScript(&config->support_status, 4);
    const uint16_t kSlots[] = {1, 5, 0xF, 0, 4, 6};
    config->slot_word = Chance(5) ? (uint16_t)g_rng() : kSlots[Below(6)];
    RandomScript(&config->slot_status, 4);
    config->pack_count = Below(sim::kMaxPacks + 1);
    const char *kParts[] = {"HT-QBLP21", "HT-QBLP23", "HT-QBLP26", "HT-QBLP29A", "HT-QBLP28"};
    const uint16_t kDates[] = {0x4049, 0x3E21, 0x4245, 0, 0xFFFF, 0x41A1};
    for (uint32_t i = 0; i < config->pack_count; i++) {
        sim::PackConfig &p = config->packs[i];
        memset(p.part_number, 0, sizeof p.part_number);
        if (Chance(4)) Random(nullptr, p.part_number, sizeof p.part_number);
        else {
            const char *part = kParts[Below(5)];
            memcpy(p.part_number, part, strlen(part));
        }
        p.packed_date = Chance(3) ? (uint16_t)g_rng() : kDates[Below(6)];
        RandomScript(&p.date_status, 3);
        RandomScript(&p.part_status, 3);
    }
}

// A value for a size field that lies.
uint32_t LyingSize(uint32_t truth, uint32_t capacity) {
    const uint32_t kValues[] = {0, 1, 7, 8, 11, 12, 15, 16, 17, 23, 24, 0xFFFFFFFFu, 0x80000000u, 0x7FFFFFF8u};
    switch (Below(6)) {
    case 0: return truth - 1;
    case 1: return truth + 1;
    case 2: return capacity + Below(3) * 8;
    case 3: return (uint32_t)g_rng();
    default: return kValues[Below(sizeof kValues / sizeof kValues[0])];
    }
}

// Spoils one honest reply in place.
void Spoil(uint32_t code, uint32_t out_capacity, sim::MiscDeviceReply *reply,
           std::vector<uint8_t> *out) {
    const uint32_t honest = reply->bytes;
    if (Chance(3)) {
        const uint32_t kSizes[] = {0, 1, 11, 12, 15, 16};
        uint32_t n;
        switch (Below(5)) {
        case 0: n = honest ? honest - 1 : 0; break;
        case 1: n = honest + 1; break;
        case 2: n = out_capacity + Below(2); break;
        case 3: n = Chance(4) ? 70000 : Below(600); break;
        default: n = kSizes[Below(6)]; break;
        }
        if (out->size() < n) {
            const size_t old = out->size();
            out->resize(n);
            Random(nullptr, out->data() + old, n - old);
        }
        reply->bytes = n;
    }
    if (Chance(4)) {
        const uint32_t kErrors[] = {0, 234, 50, 122, 31, 87, 5, 1359};
        reply->result = Chance(2);
        reply->last_error = Chance(5) ? (uint32_t)g_rng() : kErrors[Below(8)];
    }
    uint8_t *p = out->data();
    const uint32_t n = reply->bytes < out->size() ? reply->bytes : (uint32_t)out->size();
    if (code == IOCTL_MISC_CAPSULE && n >= 8 && Chance(2)) {
        if (Chance(2))
            WriteLe32(p + MISC_CAPSULE_DATA_SIZE,
                      LyingSize(ReadLe32(p + MISC_CAPSULE_DATA_SIZE), out_capacity));
        if (Chance(2))
            WriteLe32(p + MISC_CAPSULE_SIZE, LyingSize(ReadLe32(p + MISC_CAPSULE_SIZE), out_capacity));
    }
    if (code == IOCTL_MISC_GET_MODEL_NUMBER && n > MISC_MODEL_LENGTH_OFFSET && Chance(2)) {
        const uint8_t kLengths[] = {0, 11, 12, 13, 19, 20, 255};
        p[MISC_MODEL_LENGTH_OFFSET] = Chance(4) ? (uint8_t)g_rng() : kLengths[Below(7)];
    }
    if (n && Chance(3)) {
        for (uint32_t flips = 1 + Below(3); flips; flips--) p[Below(n)] ^= (uint8_t)(1 + Below(255));
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s SEED\n", argv[0]);
        return 2;
    }
    g_rng.seed(strtoull(argv[1], nullptr, 0));
    sim::MiscDeviceConfig config;
    RandomNotebook(&config);
    sim::CSimMiscDevice device;
    device.Configure(config, Random, nullptr);
    // How hostile this run is: one reply in `every` is spoiled (0: none).
    const uint32_t kEvery[] = {0, 1, 2, 3, 5, 10};
    const uint32_t every = kEvery[Below(6)];

    for (;;) {
        port::Request request;
        const port::ReadResult got = port::ReadRequest(&request);
        if (got == port::ReadResult::kClosed) return 0;
        if (got == port::ReadResult::kBroken) return 1;
        const uint32_t code = request.code, capacity = request.out_capacity;
        std::vector<uint8_t> &in = request.in;
        std::vector<uint8_t> out(capacity);
        sim::MiscDeviceReply reply = device.Control(code, in.empty() ? nullptr : in.data(),
                                                    (uint32_t)in.size(),
                                                    out.empty() ? nullptr : out.data(), capacity);
        if (reply.bytes > capacity) reply.bytes = capacity;
        if (every && Chance(every)) {
            if (Chance(40)) return 0;  // the driver goes away
            if (Chance(40)) {           // a frame too short to be one
                uint8_t broken[4];
                WriteLe32(broken, Below(PORT_SIZE_OVERHEAD));
                (void)port::WriteAll(broken, sizeof broken);
                return 0;
            }
            Spoil(code, capacity, &reply, &out);
        }
        const std::vector<uint8_t> frame =
            port::ReplyFrame(reply.result, reply.last_error, out.data(), reply.bytes);
        if (!port::WriteAll(frame.data(), frame.size())) return 0;
    }
}
