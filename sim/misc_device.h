// The simulated misc driver: the driver's side of every request the
// utility sends (model record, session handshake, capsules, misc
// functions, session close).
//
// One interface: a control request in, a reply out (result, last error,
// bytes). The component uses no heap and nothing of any host: its host
// hands it the configuration, the output buffer and a source of random
// bytes, so that the hosted platform layer and a kernel-mode test driver
// can both carry it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "blowfish.h"
#include "misc_driver.h"
#include "sha1.h"

namespace sim {

constexpr uint32_t kMaxPacks = 4;
constexpr uint32_t kMaxStatusSteps = 8;
constexpr uint32_t kMaxRawModelRecord = 512;
constexpr uint32_t kExponentWords = 4;
constexpr uint32_t kMaxLoggedFunctions = 8;


// Win32 error values the simulated devices report (the numbers are
// Windows'; the devices build without Windows headers).
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorMoreData = 234;

// A request kind fails with the given last error instead of being served.
struct FaultSwitch {
    bool active;
    uint32_t last_error;
};

// The statuses that successive requests of one kind answer with; the last
// step repeats. No steps: status 0.
struct StatusScript {
    uint8_t steps[kMaxStatusSteps];
    uint32_t count;
};

struct PackConfig {
    uint8_t part_number[MISC_PART_NUMBER_SIZE];  // raw bytes, zero padded
    uint16_t packed_date;                  // MS-DOS date layout
    StatusScript date_status;
    StatusScript part_status;
};

// -1 in a size override means: no override.
struct SessionFaults {
    bool probe_override;
    bool probe_result;
    uint32_t probe_last_error;
    FaultSwitch phase[3];          // Ini1, Ini2, Ini3 calls fail
    int32_t phase_reply_size[3];   // reply cut to (or padded with zeros to) this size
    bool wrong_driver_proof;       // last byte of the phase-2 proof flipped
    bool wrong_confirmation;       // phase-3 block enciphers something else
    int32_t capsule_reply_size;    // reply capsule cut to this many bytes
    int32_t reply_data_size_extra; // added to the reply's dwDataSize
    bool capsule_size_override;
    uint32_t capsule_size;         // written as the reply's dwCapsuleSize
};

struct MiscDeviceConfig {
    uint8_t model_record[kMaxRawModelRecord];
    uint32_t model_record_size;
    FaultSwitch fail_model;
    FaultSwitch fail_session;  // every IOCTL_MISC_SESSION request
    FaultSwitch fail_capsule;
    FaultSwitch fail_close;

    bool sessions;  // false: the probe answers ERROR_NOT_SUPPORTED
    bool fixed_exponent;
    uint32_t private_exponent[kExponentWords];
    uint32_t first_session_id;

    uint8_t support_code;
    StatusScript support_status;
    uint16_t slot_word;
    StatusScript slot_status;
    PackConfig packs[kMaxPacks];
    uint32_t pack_count;

    SessionFaults faults;
};

// Fills the defaults: no faults, sessions supported, support code 3,
// slot word 0x0001, no packs, the short model text "HT-K60".
void DefaultMiscDeviceConfig(MiscDeviceConfig *config);
// Builds the 128-byte model record for a model text: 12 characters or
// fewer give the short form, 13 to 19 the long form with its length byte.
void BuildModelRecord(const char *model, uint8_t *record128);

// What the driver saw, for tests and for the trace.
struct MiscDeviceLog {
    uint32_t handshakes_completed;
    uint32_t sessions_closed;
    uint32_t last_closed_session;
    uint32_t capsules_served;
    uint32_t capsules_refused;
    uint32_t misc_functions[kMaxLoggedFunctions];  // functions in the order served (the first ones)
    uint32_t misc_function_count;
};

typedef void (*RandomSource)(void *context, uint8_t *out, size_t size);

// Sees each capsule of a secure session in clear, as the driver deciphered
// it: the request capsule (header, then the record) and the reply capsule
// before it is enciphered. Clear-mode capsules travel as they are and are
// not shown to it. For a host that traces.
typedef void (*CapsuleObserver)(void *context, const uint8_t *request, uint32_t request_size,
                                const uint8_t *reply, uint32_t reply_size);

struct MiscDeviceReply {
    bool result;          // the call's BOOL
    uint32_t last_error;  // meaningful when result is false
    uint32_t bytes;       // bytes written to the output buffer
};

class CSimMiscDevice {
public:
    CSimMiscDevice();
    ~CSimMiscDevice();
    void Configure(const MiscDeviceConfig &config, RandomSource random, void *random_context);

    // One buffered device control request. out may be null when
    // out_capacity is 0.
    MiscDeviceReply Control(uint32_t code, const uint8_t *in, uint32_t in_size, uint8_t *out,
                            uint32_t out_capacity);

    const MiscDeviceLog &Log() const { return _log; }
    void ObserveCapsules(CapsuleObserver observer, void *context) {
        _observer = observer;
        _observerContext = context;
    }

private:
    MiscDeviceReply ServeModel(uint8_t *out, uint32_t out_capacity);
    MiscDeviceReply ServeSession(const uint8_t *in, uint32_t in_size, uint8_t *out,
                             uint32_t out_capacity);
    MiscDeviceReply ServePhase1(const uint8_t *in, uint32_t in_size, uint8_t *out, uint32_t cap);
    MiscDeviceReply ServePhase2(const uint8_t *in, uint32_t in_size, uint8_t *out, uint32_t cap);
    MiscDeviceReply ServePhase3(const uint8_t *in, uint32_t in_size, uint8_t *out, uint32_t cap);
    MiscDeviceReply ServeCapsule(const uint8_t *in, uint32_t in_size, uint8_t *out,
                             uint32_t out_capacity);
    MiscDeviceReply ServeClose(const uint8_t *in, uint32_t in_size);
    // Serves one misc packet in place; returns the reply length.
    uint32_t ServeMiscFunction(uint8_t *packet, uint32_t in_size, uint32_t out_limit);
    uint8_t NextStatus(const StatusScript &script, uint32_t &position);
    void DropSession();

    MiscDeviceConfig _config;
    RandomSource _random;
    void *_randomContext;
    CapsuleObserver _observer;
    void *_observerContext;
    MiscDeviceLog _log;

    // Session state.
    enum { kIdle, kAfterPhase1, kAfterPhase2, kEstablished } _state;
    uint32_t _sessionId;
    uint32_t _nextSessionId;
    uint32_t _expectedMessageId;
    uint32_t _exponent[kExponentWords];
    uint8_t _clientPublic[MISC_NUMBER_BYTES];
    uint8_t _driverPublic[MISC_NUMBER_BYTES];
    uint8_t _linkKey[SHA1_DIGEST_SIZE];
    BlowfishContext _cipher;

    uint32_t _supportStep;
    uint32_t _slotStep;
    uint32_t _dateStep[kMaxPacks];
    uint32_t _partStep[kMaxPacks];
};

}  // namespace sim
