// The simulated notebook of this process.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include <string>

#include "hosted.h"
#include "machine.h"
#include "machine_file.h"
#include "misc_device.h"
#include "sha1.h"

namespace {

sim::Machine *g_machine = nullptr;
sim::CSimMiscDevice *g_device = nullptr;

// The driver's randomness: the host's, or, when the description fixes the
// driver's exponent, a SHA-1 chain seeded by it so that whole runs repeat.
struct DriverRandom {
    bool deterministic = false;
    uint8_t state[20] = {};
    uint32_t counter = 0;
} g_random;

void FillRandom(void *context, uint8_t *out, size_t size) {
    DriverRandom *r = (DriverRandom *)context;
    if (!r->deterministic) {
        while (size) {
            ssize_t n = getrandom(out, size, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                // The driver's secrets would be whatever the buffer held.
                (void)fprintf(stderr, "cellvaro: the simulated misc driver has no random bytes: %s\n",
                              strerror(n < 0 ? errno : EIO));
                _exit(hosted::kMachineErrorExit);
            }
            out += n;
            size -= (size_t)n;
        }
        return;
    }
    while (size) {
        sha1_context ctx;
        memset(&ctx, 0, sizeof ctx);
        sha1_init(&ctx);
        sha1_update(&ctx, r->state, sizeof r->state);
        uint8_t c[4] = {(uint8_t)r->counter, (uint8_t)(r->counter >> 8),
                        (uint8_t)(r->counter >> 16), (uint8_t)(r->counter >> 24)};
        r->counter++;
        sha1_update(&ctx, c, sizeof c);
        sha1_final(&ctx);
        uint8_t digest[20];
        sha1_result(&ctx, digest);
        size_t n = size < sizeof digest ? size : sizeof digest;
        memcpy(out, digest, n);
        out += n;
        size -= n;
    }
}

void Install(sim::Machine *m) {
    delete g_machine;
    g_machine = m;
    SYSTEMTIME t = {m->clock.year,   m->clock.month,  m->clock.day_of_week, m->clock.day,
                    m->clock.hour,   m->clock.minute, m->clock.second,      m->clock.milliseconds};
    hosted::SetClockParts(m->clock.fixed_time, t, m->clock.fixed_counter, m->clock.counter);
    g_random = DriverRandom();
    if (m->misc.device.fixed_exponent) {
        g_random.deterministic = true;
        for (int i = 0; i < 4; i++)
            for (int k = 0; k < 4; k++)
                g_random.state[4 * i + k] = (uint8_t)(m->misc.device.private_exponent[i] >> (8 * k));
    }
    if (!g_device) g_device = new sim::CSimMiscDevice();
    *g_device = sim::CSimMiscDevice();
    g_device->Configure(m->misc.device, FillRandom, &g_random);
}

}  // namespace

namespace hosted {

const sim::Machine &CurrentMachine() {
    if (g_machine) return *g_machine;
    sim::Machine *m = new sim::Machine();
    std::string error;
    const char *path = getenv("CELLVARO_MACHINE");
    if (path && !*path) {
        // Set but empty is a mistake (a variable that did not expand), not
        // a request for the embedded default.
        (void)fprintf(stderr,
                      "cellvaro: CELLVARO_MACHINE is set but empty: name a machine file, or unset "
                      "it for the embedded default\n");
        exit(kMachineErrorExit);
    }
    if (path) {
        std::string text;
        if (!sim::ReadMachineFile(path, &text, &error)) {
            (void)fprintf(stderr, "cellvaro: machine file %s: %s\n", path, error.c_str());
            exit(kMachineErrorExit);
        }
        if (!sim::ParseMachine(text, path, m, &error)) {
            (void)fprintf(stderr, "cellvaro: machine file %s\n", error.c_str());
            exit(kMachineErrorExit);
        }
    } else if (!sim::ParseMachine(sim::DefaultMachineText(), "embedded default", m, &error)) {
        (void)fprintf(stderr, "cellvaro: %s\n", error.c_str());
        exit(kMachineErrorExit);
    }
    Install(m);
    return *g_machine;
}

bool UseMachineText(const std::string &json, std::string *error) {
    sim::Machine *m = new sim::Machine();
    if (!sim::ParseMachine(json, "test machine", m, error)) {
        delete m;
        return false;
    }
    Install(m);
    ResetOpenDevices();
    SetFailingAllocation(m->fail_allocation);
    return true;
}

sim::CSimMiscDevice &MiscDevice() {
    CurrentMachine();
    return *g_device;
}

HINSTANCE ModuleHandle() { return (HINSTANCE)(uintptr_t)0x00400000; }

}  // namespace hosted
