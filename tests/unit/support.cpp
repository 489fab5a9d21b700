#include "support.h"

#include <stdlib.h>
#include <unistd.h>
#include <wchar.h>

#include <filesystem>
#include <map>
#include <set>

namespace unit {

namespace {

// Each test process keeps its simulator state (named mutexes, boxes) in a
// folder of its own.
class SimDirectory : public ::testing::Environment {
public:
    void SetUp() override {
        char templ[] = "/tmp/cellvaro-unit-XXXXXX";
        if (mkdtemp(templ)) {
            _path = templ;
            setenv("CELLVARO_SIM_DIR", templ, 1);
        }
    }
    void TearDown() override {
        if (!_path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(_path, ignored);
        }
    }

private:
    std::string _path;
};

::testing::Environment *const g_simDirectory =
    ::testing::AddGlobalTestEnvironment(new SimDirectory());

}  // namespace

void HostedTest::SetUp() {
    hosted::SetMiscDeviceHook(nullptr, nullptr);
    hosted::TraceCaptureInMemory(true);
}

void HostedTest::TearDown() {
    hosted::SetMiscDeviceHook(nullptr, nullptr);
    hosted::SetFailingAllocation(0);
    hosted::TraceCaptureInMemory(false);
}

void OpenOn(MiscCommon::CMiscCommon &misc, const std::string &machine, bool handshake) {
    UseMachine(machine);
    ASSERT_EQ(misc.OpenDriver(), MiscCommon::MISC_RESULT_SUCCESS);
    if (handshake && misc.IsDriverVersionSupported()) {
        ASSERT_EQ(misc._Initialize(), MiscCommon::MISC_RESULT_SUCCESS);
    }
    SetErrorText(misc, L"stale");
    TakeTrace();
}

void UseMachine(const std::string &text) {
    std::string error;
    ASSERT_TRUE(hosted::UseMachineText(text, &error)) << error << "\n" << text;
    hosted::TakeTraceLines();
}

Trace TakeTrace() {
    Trace trace;
    for (const std::string &line : hosted::TakeTraceLines()) trace.push_back(json::parse(line));
    return trace;
}

Trace Events(const Trace &trace, const std::string &event) {
    return Where(trace, "event", event);
}

Trace DeviceIo(const Trace &trace, DWORD code) {
    return Where(Events(trace, "device_io"), "code", code);
}

Trace Where(const Trace &trace, const std::string &key, const json &value) {
    Trace out;
    for (const json &line : trace)
        if (line.contains(key) && line[key] == value) out.push_back(line);
    return out;
}

std::string ErrorText(const MiscCommon::CMiscCommon &misc) {
    return misc.LastError() ? hosted::Utf8(misc.LastError()) : "(no buffer)";
}

void SetErrorText(MiscCommon::CMiscCommon &misc, const wchar_t *text) {
    WCHAR *error = MiscCommon::CMiscCommonAccess::_szLastError(misc);
    wcsncpy(error, text, MiscCommon::MISC_TEXT_CHARS - 1);
    error[MiscCommon::MISC_TEXT_CHARS - 1] = 0;
}

void ExpectReleased(const Trace &trace, const std::vector<uint64_t> &kept) {
    std::set<uint64_t> sets, keys, handles, blocks;
    for (const json &l : trace) {
        const std::string event = l.value("event", "");
        const std::string call = l.value("call", "");
        if (event == "setupapi" && call == "SetupDiGetClassDevsW" && l["result"] == true)
            sets.insert(l["set"].get<uint64_t>());
        if (event == "setupapi" && call == "SetupDiDestroyDeviceInfoList" && l["result"] == true) {
            EXPECT_EQ(sets.erase(l["set"].get<uint64_t>()), 1u) << l;
        }
        if (event == "setupapi" && call == "SetupDiOpenDevRegKey" && l["result"] == true)
            keys.insert(l["key"].get<uint64_t>());
        if (event == "registry" && call == "RegCloseKey") {
            EXPECT_EQ(keys.erase(l["key"].get<uint64_t>()), 1u) << l;
        }
        if (event == "create_file" && !l["handle"].is_null())
            handles.insert(l["handle"].get<uint64_t>());
        if (event == "close_handle" && l["result"] == true) {
            EXPECT_EQ(handles.erase(l["handle"].get<uint64_t>()), 1u) << l;
        }
        if (event == "heap_alloc") blocks.insert(l["block"].get<uint64_t>());
        if (event == "heap_free") blocks.erase(l["block"].get<uint64_t>());
    }
    for (uint64_t b : kept) blocks.erase(b);
    EXPECT_TRUE(sets.empty()) << sets.size() << " information set(s) not destroyed";
    EXPECT_TRUE(keys.empty()) << keys.size() << " registry key(s) not closed";
    EXPECT_TRUE(handles.empty()) << handles.size() << " device handle(s) not closed";
    EXPECT_TRUE(blocks.empty()) << blocks.size() << " heap block(s) not freed";
}

void ExpectFreedWiped(const Trace &trace, uint64_t size) {
    for (const json &l : Where(Events(trace, "heap_free"), "size", size))
        EXPECT_EQ(l["all_zero"], true) << l;
}

std::string Hex(const uint8_t *p, size_t n) {
    return hosted::Hex(p, n);
}

Bytes FromHex(const std::string &hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back((uint8_t)strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

std::string Le32Hex(uint32_t v) {
    uint8_t b[4];
    WriteLe32(b, v);
    return Hex(b, 4);
}

DeviceHook::DeviceHook(Function function) : _function(std::move(function)) {
    hosted::SetMiscDeviceHook(&DeviceHook::Call, this);
}

DeviceHook::~DeviceHook() {
    hosted::SetMiscDeviceHook(nullptr, nullptr);
}

sim::MiscDeviceReply DeviceHook::Simulated(uint32_t code, const uint8_t *in, uint32_t in_size,
                                           uint8_t *out, uint32_t out_capacity) {
    return hosted::MiscDevice().Control(code, in, in_size, out, out_capacity);
}

sim::MiscDeviceReply DeviceHook::Call(void *context, uint32_t code, const uint8_t *in,
                                      uint32_t in_size, uint8_t *out, uint32_t out_capacity) {
    return ((DeviceHook *)context)->_function(code, in, in_size, out, out_capacity);
}

std::string MachineWith(const std::string &miscMembers, const std::string &batteryClass) {
    return "{\"misc_driver\": {" + miscMembers + "}, \"battery_class\": " + batteryClass + "}";
}

}  // namespace unit
