// The simulated notebook of this process.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include <string>

#include "driver_random.h"
#include "hosted.h"
#include "machine.h"
#include "machine_file.h"
#include "misc_device.h"

namespace {

sim::Machine *g_machine = nullptr;
sim::CSimMiscDevice *g_device = nullptr;

sim::DriverRandom g_random;

// The host's fresh bytes for the driver's random generator.
void HostEntropy(uint8_t *out) {
    size_t size = sim::kDriverEntropySize;
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
}

void Install(sim::Machine *m) {
    delete g_machine;
    g_machine = m;
    SYSTEMTIME t = {m->clock.year,   m->clock.month,  m->clock.day_of_week, m->clock.day,
                    m->clock.hour,   m->clock.minute, m->clock.second,      m->clock.milliseconds};
    hosted::SetClockParts(m->clock.fixed_time, t, m->clock.fixed_counter, m->clock.counter);
    sim::StartDriverRandom(&g_random, m->misc.device, HostEntropy);
    if (!g_device) g_device = new sim::CSimMiscDevice();
    *g_device = sim::CSimMiscDevice();
    g_device->Configure(m->misc.device, sim::FillDriverRandom, &g_random);
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
