// The kernel-mode test driver as the tests see it: the notebook it plays
// (from a machine description), the log of what it saw, and its devices.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "machine.h"
#include "notebook_wire.h"

// Bounds of the waits for the driver.
constexpr DWORD kInterfaceTimeoutMs = 20000;
constexpr DWORD kLogSettleTimeoutMs = 5000;

// The source tree, from the test program's command line: the machine
// descriptions are read from there.
void SetSourceRoot(const std::wstring &root);
const std::wstring &SourceRoot();

// Reads and parses a machine description, named by its path in the source
// tree ("sim/machines/recalled.json"); false and a message on failure.
bool LoadMachine(const char *path, sim::Machine *machine, std::string *error);

// The driver's notebook for a machine, with a sequence number that no
// earlier call used.
sim::wdm::Notebook NotebookFor(const sim::Machine &machine);

// Writes the notebook for the next run: the misc device's DriverVersion
// (or its absence) in the device's driver key, and the notebook value,
// with the driver's log removed. Returns the sequence number, 0 on failure
// and for a machine that asks for what the test driver does not play.
uint32_t InstallNotebook(const sim::Machine &machine, std::string *error);

// The driver's log, if it wrote one.
bool ReadDriverLog(sim::wdm::DriverLog *log);

// Waits until the log is for this sequence and has as many closes of the
// misc device as opens: a handle closed at process exit reaches the driver
// after the process has ended.
bool WaitForSettledLog(uint32_t sequence, sim::wdm::DriverLog *log);

// The device paths of an interface class, in enumeration order
// (DIGCF_PRESENT, as the utility's misc discovery asks).
std::vector<std::wstring> InterfacePaths(const GUID &interface_class);

extern const GUID kMiscInterface;
extern const GUID kBatteryInterface;

// Waits until the misc interface and every battery interface are present.
bool WaitForInterfaces(DWORD timeout_ms);

// The journal entries of one device, in order.
std::vector<sim::wdm::JournalEntry> EntriesOf(const sim::wdm::DriverLog &log, uint32_t device);

