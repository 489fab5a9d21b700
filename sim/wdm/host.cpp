// The simulated devices inside the kernel-mode driver: one CSimMiscDevice
// and the battery descriptions, configured from the notebook blob, with
// the journal of what every device was asked.
//
// Built freestanding: no C++ runtime runs here, so nothing has a static
// constructor; the misc device lives in raw storage and is constructed in
// place.
#include "host.h"

#include <new>
#include <string.h>

#include "battery_device.h"
#include "driver_random.h"
#include "misc_device.h"
#include "notebook_wire.h"
#include "wipe.h"

namespace {

using sim::wdm::DriverLog;
using sim::wdm::JournalEntry;
using sim::wdm::Notebook;

using sim::kErrorFileNotFound;
constexpr uint32_t kErrorNotEnoughMemory = 8;

alignas(sim::CSimMiscDevice) unsigned char g_deviceStorage[sizeof(sim::CSimMiscDevice)];
sim::CSimMiscDevice *g_device;
Notebook g_notebook;
bool g_loaded;
sim::DriverRandom g_random;
DriverLog g_log;
uint8_t g_encodedLog[sim::wdm::kLogSize];

// The kernel's clocks are the entropy of the driver's random bytes.
void KernelEntropy(uint8_t *out) { SimKernelEntropy(out); }

void StartDevice() {
    if (g_device) g_device->~CSimMiscDevice();
    g_device = new (g_deviceStorage) sim::CSimMiscDevice();
    sim::StartDriverRandom(&g_random, g_notebook.misc, KernelEntropy);
    g_device->Configure(g_notebook.misc, sim::FillDriverRandom, &g_random);
    memset(&g_log, 0, sizeof g_log);
    g_log.sequence = g_notebook.sequence;
}

JournalEntry *Journal(uint32_t device, uint32_t kind) {
    uint32_t n = g_log.entry_count++;
    if (n >= sim::wdm::kMaxJournal) return nullptr;
    JournalEntry *e = &g_log.entries[n];
    memset(e, 0, sizeof *e);
    e->device = device;
    e->kind = kind;
    return e;
}

void Head(uint8_t *head, const uint8_t *bytes, uint32_t size) {
    if (bytes && size) memcpy(head, bytes, size < sim::wdm::kJournalHead ? size : sim::wdm::kJournalHead);
}

template <typename Reply>
SimReply ToReply(const Reply &r) {
    return SimReply{r.result ? 1u : 0u, r.last_error, r.bytes};
}

// The battery description behind a device, or null when there is none.
const sim::BatteryDeviceConfig *Battery(uint32_t device) {
    uint32_t index = device - SIM_DEVICE_BATTERY0;
    if (device < SIM_DEVICE_BATTERY0 || index >= g_notebook.battery_count) return nullptr;
    return &g_notebook.batteries[index];
}

// Buffered requests hand input and output in one buffer; the devices read
// their input after they begin to write, so they get a copy of it.
SimReply Serve(uint32_t device, uint32_t code, const uint8_t *in, uint32_t in_size, uint8_t *out,
               uint32_t out_capacity) {
    uint8_t *copy = nullptr;
    if (in && in_size) {
        copy = (uint8_t *)SimKernelAllocate(in_size);
        if (!copy) return SimReply{0, kErrorNotEnoughMemory, 0};
        memcpy(copy, in, in_size);
    }
    uint32_t copy_size = copy ? in_size : 0;
    SimReply reply = {0, kErrorFileNotFound, 0};
    if (device == SIM_DEVICE_MISC) {
        reply = ToReply(g_device->Control(code, copy, copy_size, out, out_capacity));
    } else if (const sim::BatteryDeviceConfig *b = Battery(device)) {
        reply = ToReply(sim::BatteryDeviceControl(*b, code, copy, copy_size, out, out_capacity));
    }
    if (copy) {
        secure_wipe(copy, in_size);
        SimKernelFree(copy);
    }
    return reply;
}

}  // namespace

extern "C" {

void SimHostInitialize(void) {
    g_notebook = Notebook();
    sim::DefaultMiscDeviceConfig(&g_notebook.misc);
    g_loaded = false;
    StartDevice();
}

void SimHostLoadNotebook(const uint8_t *blob, uint32_t size) {
    Notebook n;
    if (!sim::wdm::DecodeNotebook(blob, size, &n)) return;
    if (g_loaded && n.sequence == g_notebook.sequence) return;
    g_notebook = n;
    g_loaded = true;
    StartDevice();
}

SimReply SimHostOpen(uint32_t device) {
    SimReply reply = {1, 0, 0};
    if (device != SIM_DEVICE_MISC) {
        const sim::BatteryDeviceConfig *b = Battery(device);
        if (!b || !b->present)
            reply = SimReply{0, kErrorFileNotFound, 0};
        else if (b->fail_open.active)
            reply = SimReply{0, b->fail_open.last_error, 0};
    }
    if (JournalEntry *e = Journal(device, sim::wdm::kJournalOpen)) {
        e->result = reply.result;
        e->last_error = reply.last_error;
    }
    return reply;
}

void SimHostClose(uint32_t device) {
    if (JournalEntry *e = Journal(device, sim::wdm::kJournalClose)) e->result = 1;
}

SimReply SimHostControl(uint32_t device, uint32_t code, const uint8_t *in, uint32_t in_size,
                        uint8_t *out, uint32_t out_capacity, uint32_t open_error) {
    JournalEntry *e = Journal(device, sim::wdm::kJournalControl);
    if (e) {
        e->code = code;
        e->in_size = in_size;
        e->out_capacity = out_capacity;
        Head(e->in_head, in, in_size);
    }
    SimReply reply = open_error ? SimReply{0, open_error, 0}
                                : Serve(device, code, in, in_size, out_capacity ? out : nullptr,
                                        out_capacity);
    if (e) {
        e->result = reply.result;
        e->last_error = reply.last_error;
        e->bytes = reply.bytes;
        Head(e->out_head, out, reply.bytes);
    }
    return reply;
}

uint32_t SimHostLogSize(void) { return sim::wdm::kLogSize; }

const uint8_t *SimHostEncodeLog(void) {
    g_log.misc = g_device->Log();
    sim::wdm::EncodeLog(g_log, g_encodedLog);
    return g_encodedLog;
}

}  // extern "C"
