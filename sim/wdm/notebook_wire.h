// The two byte layouts that pass between the test tooling and the
// kernel-mode test driver through the registry:
//
// - the notebook (REG_BINARY value "Notebook" under the service's
//   Parameters key, written by the test program before a run): a sequence
//   number, the misc device's description and the battery devices';
// - the driver's log (REG_BINARY value "Log" beside it, rewritten by the
//   driver after every request): what the misc device saw, and a journal of
//   the opens, closes and control requests on every device.
//
// Every field is written with explicit little-endian stores; the code uses
// nothing beyond <stdint.h> so that it builds into the driver as well.
#pragma once

#include <stdint.h>

#include "battery_device.h"
#include "misc_device.h"

namespace sim {
namespace wdm {

constexpr uint32_t kNotebookMagic = 0x424E5643;  // "CVNB"
constexpr uint32_t kLogMagic = 0x474C5643;       // "CVLG"
constexpr uint32_t kWireVersion = 1;

// Battery device instances the installer creates (index 0 and 1: the
// utility asks for at most two batteries), and the most the notebook holds.
constexpr uint32_t kInstalledBatteries = 2;
constexpr uint32_t kMaxBatteries = 4;

// The notebook's layout, in the order written: a header (magic, version,
// sequence), the misc device, the battery count and kMaxBatteries batteries.
// Flags and numbers take a 32-bit word each; byte arrays are written whole.
constexpr uint32_t kWord = 4;
constexpr uint32_t kHeaderSize = 3 * kWord;
constexpr uint32_t kSwitchSize = 2 * kWord;
constexpr uint32_t kScriptSize = kWord + kMaxStatusSteps;
constexpr uint32_t kPackSize = MISC_PART_NUMBER_SIZE + kWord + 2 * kScriptSize;
constexpr uint32_t kFaultsSize = 3 * kWord + 3 * kSwitchSize + 3 * kWord + 6 * kWord;
constexpr uint32_t kMiscConfigSize = kWord + kMaxRawModelRecord + 4 * kSwitchSize + 2 * kWord +
                                   kExponentWords * kWord + kWord + kWord + kScriptSize + kWord +
                                   kScriptSize + kWord + kMaxPacks * kPackSize + kFaultsSize;
constexpr uint32_t kBatterySize = 4 * kWord + 3 * kSwitchSize;
constexpr uint32_t kNotebookSize =
    kHeaderSize + kMiscConfigSize + kWord + kMaxBatteries * kBatterySize;

// The log's layout: the header, the misc device's counters (five words,
// eight functions, their count), the entry count, then kMaxJournal entries.
constexpr uint32_t kJournalHead = 16;  // bytes of input and output kept per request
constexpr uint32_t kMaxJournal = 48;
constexpr uint32_t kJournalEntrySize = 8 * kWord + 2 * kJournalHead;
constexpr uint32_t kLogHeaderSize = kHeaderSize + 5 * kWord + 8 * kWord + kWord + kWord;
constexpr uint32_t kLogSize = kLogHeaderSize + kMaxJournal * kJournalEntrySize;

struct Notebook {
    uint32_t sequence;  // changes for every run; a new one resets the driver
    MiscDeviceConfig misc;
    uint32_t battery_count;
    BatteryDeviceConfig batteries[kMaxBatteries];
};

// Fills the kNotebookSize bytes of out; returns the number of bytes the
// layout wrote, which is kNotebookSize unless the layout is broken.
uint32_t EncodeNotebook(const Notebook &notebook, uint8_t out[kNotebookSize]);
// False when the size, the magic or the version is wrong.
bool DecodeNotebook(const uint8_t *in, uint32_t size, Notebook *notebook);

// Which device a journal entry is about: the misc device, or battery i as
// kDeviceBattery0 + i.
constexpr uint32_t kDeviceMisc = 0;
constexpr uint32_t kDeviceBattery0 = 1;

enum JournalKind : uint32_t { kJournalOpen = 1, kJournalClose = 2, kJournalControl = 3 };

struct JournalEntry {
    uint32_t device;
    uint32_t kind;
    uint32_t code;          // control requests: the control code
    uint32_t in_size;
    uint32_t out_capacity;
    uint32_t result;        // 1: succeeded (opens too)
    uint32_t last_error;    // the Win32 error the caller sees when result is 0
    uint32_t bytes;         // bytes delivered
    uint8_t in_head[kJournalHead];   // the first input bytes, zero padded
    uint8_t out_head[kJournalHead];  // the first output bytes delivered, zero padded
};

struct DriverLog {
    uint32_t sequence;       // the notebook it serves; 0 before the first one
    MiscDeviceLog misc;
    uint32_t entry_count;    // entries recorded, also beyond kMaxJournal
    JournalEntry entries[kMaxJournal];
};

// Fills the kLogSize bytes of out; returns the number of bytes written.
uint32_t EncodeLog(const DriverLog &log, uint8_t out[kLogSize]);
bool DecodeLog(const uint8_t *in, uint32_t size, DriverLog *log);

}  // namespace wdm
}  // namespace sim
