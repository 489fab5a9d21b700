// Helpers of the in-process tests: the simulated notebook, the trace as
// JSON objects, a device hook with a closure, and release checks.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "hosted.h"
#include "machine.h"
#include "misc_common_access.h"
#include "misc_device.h"

namespace unit {

using json = nlohmann::json;
typedef std::vector<json> Trace;
typedef std::vector<uint8_t> Bytes;

// What SetLastError gets before a call whose last error is checked.
constexpr DWORD kSentinel = 0xdeadbeef;

// Every test starts with an empty in-memory trace and no hook; the machine
// is set by the test itself.
class HostedTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// Opens misc on the machine and, when asked and the version gate is open,
// sets up the session; then the error text is "stale" and the trace is
// empty. Most driver tests start here.
void OpenOn(MiscCommon::CMiscCommon &misc, const std::string &machine, bool handshake = false);

// A test of one object of its own, opened by Open.
class DriverTest : public HostedTest {
protected:
    void Open(const std::string &machine, bool handshake = false) {
        OpenOn(misc, machine, handshake);
    }
    MiscCommon::CMiscCommon misc;
};

// Replaces the simulated notebook (fails the test on a bad text) and
// empties the trace.
void UseMachine(const std::string &text);
// The trace lines since the last call, parsed.
Trace TakeTrace();
// The lines of one event, and of device requests with one control code.
Trace Events(const Trace &trace, const std::string &event);
Trace DeviceIo(const Trace &trace, DWORD code);
// Lines whose field `key` equals `value`.
Trace Where(const Trace &trace, const std::string &key, const json &value);

// The object's error text, as UTF-8.
std::string ErrorText(const MiscCommon::CMiscCommon &misc);
void SetErrorText(MiscCommon::CMiscCommon &misc, const wchar_t *text);

// Every information set, registry key, device handle and heap block that
// the trace shows opened or allocated is shown released in it too, except
// the listed heap blocks.
void ExpectReleased(const Trace &trace, const std::vector<uint64_t> &kept = {});
// Every freed block of the given size was all zero.
void ExpectFreedWiped(const Trace &trace, uint64_t size);

std::string Hex(const uint8_t *p, size_t n);
inline std::string Hex(const Bytes &b) {
    return Hex(b.data(), b.size());
}
Bytes FromHex(const std::string &hex);
std::string Le32Hex(uint32_t v);

// Answers the misc device's requests with a closure while it lives.
class DeviceHook {
public:
    typedef std::function<sim::MiscDeviceReply(uint32_t code, const uint8_t *in, uint32_t in_size,
                                               uint8_t *out, uint32_t out_capacity)>
        Function;
    explicit DeviceHook(Function function);
    ~DeviceHook();
    DeviceHook(const DeviceHook &) = delete;
    DeviceHook &operator=(const DeviceHook &) = delete;

    // The built-in simulated driver, for hooks that only intercept some calls.
    static sim::MiscDeviceReply Simulated(uint32_t code, const uint8_t *in, uint32_t in_size,
                                          uint8_t *out, uint32_t out_capacity);

private:
    static sim::MiscDeviceReply Call(void *context, uint32_t code, const uint8_t *in,
                                     uint32_t in_size, uint8_t *out, uint32_t out_capacity);
    Function _function;
};

// A notebook whose misc driver has the given members (a JSON object body
// without braces, may be empty; the rest are the driver's defaults: version
// 1.0.9.0, sessions, no packs) and the given battery class interfaces.
std::string MachineWith(const std::string &miscMembers,
                        const std::string &batteryClass = R"([{"design_capacity": 46080}])");

}  // namespace unit
