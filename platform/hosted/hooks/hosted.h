// Hooks of the hosted platform layer for its own start-up code and for
// tests. Product code never includes this header.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform.h"

namespace hosted {

// The clock that GetSystemTime and QueryPerformanceCounter report. Without
// a fixed value (the default) they read the real clock.
void SetFixedClock(const SYSTEMTIME &time, int64_t counter);
void SetClockParts(bool fixed_time, const SYSTEMTIME &time, bool fixed_counter, int64_t counter);
void ClearFixedClock();

// Heap: make the n-th HeapAlloc from now on fail (0: none), and count the
// blocks that are still allocated.
void SetFailingAllocation(uint64_t n);
uint64_t AllocationCount();
size_t LiveHeapBlocks();

// Trace: one JSON object per line. Open writes to the named file; the
// in-memory copy is kept for tests that run in-process.
void TraceOpen(const char *path);
void TraceCaptureInMemory(bool on);
std::vector<std::string> TakeTraceLines();
// Writes one trace line from a ready body, the JSON object without its
// braces, e.g. "\"event\":\"sleep\",\"ms\":100" (tests; the layer's own
// lines are built by CTraceLine). Does nothing when tracing is off.
void Trace(const std::string &body);
bool TraceEnabled();
// The run's first trace line (run_start: pid, arguments, machine file) is
// written when the file opens; its last (run_end: exit code, outcome,
// whether a box was shown) at exit, or by TraceRunEnd on a path that ends
// the process without exit processing.
void TraceBoxShown();
void TraceOutcome(const char *name);  // a static string
void TraceRunEnd(int exitCode, bool known);

// Bytes as lowercase hexadecimal digits, and wide text as UTF-8.
std::string Hex(const void *data, size_t size);
std::string Utf8(const wchar_t *text);

}  // namespace hosted

namespace sim {
struct Machine;
class CSimMiscDevice;
struct MiscDeviceReply;
struct BatteryDeviceReply;
}  // namespace sim

namespace hosted {

// Exit status of a run whose machine description cannot be used.
constexpr int kMachineErrorExit = 100;

// The simulated notebook of this process: loaded on first use from the
// file named by CELLVARO_MACHINE, or the embedded default. A file that
// cannot be used ends the process with one line on standard error and
// kMachineErrorExit.
const sim::Machine &CurrentMachine();
// Replaces the machine (tests): resets the devices, the clock and the
// heap's failing allocation. Returns false with error set on a bad text.
bool UseMachineText(const std::string &json, std::string *error);
// The simulated misc driver's state for this process.
sim::CSimMiscDevice &MiscDevice();

// Tests and fuzzers: a function that answers the misc device's requests
// in place of the simulated driver (null: the simulated driver again).
typedef sim::MiscDeviceReply (*MiscDeviceHook)(void *context, uint32_t code, const uint8_t *in,
                                               uint32_t in_size, uint8_t *out, uint32_t out_capacity);
void SetMiscDeviceHook(MiscDeviceHook hook, void *context);
// The same for the battery class devices; index is the interface index.
typedef sim::BatteryDeviceReply (*BatteryDeviceHook)(void *context, int index, uint32_t code,
                                                     const uint8_t *in, uint32_t in_size,
                                                     uint8_t *out, uint32_t out_capacity);
void SetBatteryDeviceHook(BatteryDeviceHook hook, void *context);

// Tests: make the clean-up calls (HeapFree, CloseHandle, RegCloseKey,
// SetupDiDestroyDeviceInfoList) overwrite the last-error value when they
// succeed, as some Windows versions do, so that code which must restore a
// failing call's error shows whether it does.
void SetClobberLastErrorOnSuccess(bool on);
void ClobberLastErrorAfterSuccess();
constexpr DWORD kClobberedLastError = 0x0BADC0DE;

// Forgets which simulated devices are open (a new machine has none open).
void ResetOpenDevices();

// The module handle of the program (for LoadStringW).
HINSTANCE ModuleHandle();

}  // namespace hosted
