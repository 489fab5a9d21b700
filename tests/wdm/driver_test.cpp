// The test driver itself: the notebook layout carries every field of a
// machine description, and requests sent straight to the driver get the
// answers that the same devices give in this process, as the I/O manager
// delivers them (data and count on success and on ERROR_MORE_DATA; on an
// error neither).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "battery_class.h"
#include "driver_stack.h"
#include "host.h"
#include "misc_driver.h"
#include "test_support.h"

namespace {

using sim::wdm::Notebook;

constexpr uint32_t kIoctlUnknown = 0x222FFC;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint8_t kUntouchedByte = 0xAB;
constexpr DWORD kUntouchedCount = 0xDEADBEEF;

void ExpectSwitch(const sim::FaultSwitch &got, const sim::FaultSwitch &want, const char *name) {
    EXPECT_EQ(got.active, want.active) << name;
    EXPECT_EQ(got.last_error, want.last_error) << name;
}

void ExpectScript(const sim::StatusScript &got, const sim::StatusScript &want, const char *name) {
    EXPECT_EQ(got.count, want.count) << name;
    EXPECT_EQ(0, memcmp(got.steps, want.steps, sizeof got.steps)) << name;
}

TEST(NotebookLayout, CarriesEveryFieldOfTheMachine) {
    sim::Machine m;
    std::string error;
    ASSERT_TRUE(LoadMachine("tests/wdm/machines/every-field.json", &m, &error)) << error;
    const Notebook n = NotebookFor(m);
    std::vector<uint8_t> blob(sim::wdm::kNotebookSize, kUntouchedByte);
    ASSERT_EQ(sim::wdm::EncodeNotebook(n, blob.data()), sim::wdm::kNotebookSize);
    Notebook back;
    ASSERT_TRUE(sim::wdm::DecodeNotebook(blob.data(), static_cast<uint32_t>(blob.size()), &back));

    const sim::MiscDeviceConfig &w = m.misc.device, &g = back.misc;
    EXPECT_EQ(back.sequence, n.sequence);
    EXPECT_EQ(g.model_record_size, w.model_record_size);
    EXPECT_EQ(0, memcmp(g.model_record, w.model_record, sizeof g.model_record));
    ExpectSwitch(g.fail_model, w.fail_model, "fail_model");
    ExpectSwitch(g.fail_session, w.fail_session, "fail_session");
    ExpectSwitch(g.fail_capsule, w.fail_capsule, "fail_capsule");
    ExpectSwitch(g.fail_close, w.fail_close, "fail_close");
    EXPECT_EQ(g.sessions, w.sessions);
    EXPECT_EQ(g.fixed_exponent, w.fixed_exponent);
    EXPECT_EQ(0, memcmp(g.private_exponent, w.private_exponent, sizeof g.private_exponent));
    EXPECT_EQ(g.first_session_id, w.first_session_id);
    EXPECT_EQ(g.support_code, w.support_code);
    ExpectScript(g.support_status, w.support_status, "support_status");
    EXPECT_EQ(g.slot_word, w.slot_word);
    ExpectScript(g.slot_status, w.slot_status, "slot_status");
    EXPECT_EQ(g.pack_count, w.pack_count);
    for (uint32_t i = 0; i < sim::kMaxPacks; i++) {
        SCOPED_TRACE("pack " + std::to_string(i));
        EXPECT_EQ(0, memcmp(g.packs[i].part_number, w.packs[i].part_number, MISC_PART_NUMBER_SIZE));
        EXPECT_EQ(g.packs[i].packed_date, w.packs[i].packed_date);
        ExpectScript(g.packs[i].date_status, w.packs[i].date_status, "date_status");
        ExpectScript(g.packs[i].part_status, w.packs[i].part_status, "part_status");
    }
    const sim::SessionFaults &gf = g.faults, &wf = w.faults;
    EXPECT_EQ(gf.probe_override, wf.probe_override);
    EXPECT_EQ(gf.probe_result, wf.probe_result);
    EXPECT_EQ(gf.probe_last_error, wf.probe_last_error);
    for (int i = 0; i < 3; i++) {
        ExpectSwitch(gf.phase[i], wf.phase[i], "phase");
        EXPECT_EQ(gf.phase_reply_size[i], wf.phase_reply_size[i]) << "phase " << i + 1;
    }
    EXPECT_EQ(gf.wrong_driver_proof, wf.wrong_driver_proof);
    EXPECT_EQ(gf.wrong_confirmation, wf.wrong_confirmation);
    EXPECT_EQ(gf.capsule_reply_size, wf.capsule_reply_size);
    EXPECT_EQ(gf.reply_data_size_extra, wf.reply_data_size_extra);
    EXPECT_EQ(gf.capsule_size_override, wf.capsule_size_override);
    EXPECT_EQ(gf.capsule_size, wf.capsule_size);

    // Five batteries in the machine: the notebook keeps the first four.
    ASSERT_GT(m.batteries.size(), sim::wdm::kMaxBatteries);
    EXPECT_EQ(back.battery_count, sim::wdm::kMaxBatteries);
    for (uint32_t i = 0; i < sim::wdm::kMaxBatteries; i++) {
        SCOPED_TRACE("battery " + std::to_string(i));
        const sim::BatteryDeviceConfig &gb = back.batteries[i], &wb = m.batteries[i];
        EXPECT_EQ(gb.present, wb.present);
        EXPECT_EQ(gb.design_capacity, wb.design_capacity);
        EXPECT_EQ(gb.relative, wb.relative);
        EXPECT_EQ(gb.tag, wb.tag);
        ExpectSwitch(gb.fail_open, wb.fail_open, "fail_open");
        ExpectSwitch(gb.fail_tag, wb.fail_tag, "fail_tag");
        ExpectSwitch(gb.fail_information, wb.fail_information, "fail_information");
    }

    EXPECT_FALSE(sim::wdm::DecodeNotebook(blob.data(), static_cast<uint32_t>(blob.size() - 1), &back));
    blob[0] ^= 1;
    EXPECT_FALSE(sim::wdm::DecodeNotebook(blob.data(), static_cast<uint32_t>(blob.size()), &back));
}

struct REQUEST {
    const char *name;
    uint32_t code;
    std::vector<uint8_t> in;
    uint32_t out_capacity;
};

// Sends the request to the driver's handle and to the same device of the
// in-process host, and compares what reaches the caller.
// open_error: the in-process device refused the open with it (0: it did not).
// Returns the in-process reply's bytes.
std::vector<uint8_t> ExpectSameAnswer(HANDLE handle, uint32_t device, uint32_t open_error,
                                      const REQUEST &r) {
    SCOPED_TRACE(r.name);
    std::vector<uint8_t> in = r.in;
    std::vector<uint8_t> want(r.out_capacity + 1, kUntouchedByte);
    SimReply reply = SimHostControl(device, r.code, in.empty() ? nullptr : in.data(),
                                    static_cast<uint32_t>(in.size()),
                                    r.out_capacity ? want.data() : nullptr, r.out_capacity, open_error);

    std::vector<uint8_t> got(r.out_capacity + 1, kUntouchedByte);
    DWORD count = kUntouchedCount;
    SetLastError(0);
    BOOL ok = DeviceIoControl(handle, r.code, r.in.empty() ? nullptr : const_cast<uint8_t *>(r.in.data()),
                              static_cast<DWORD>(r.in.size()), r.out_capacity ? got.data() : nullptr,
                              r.out_capacity, &count, nullptr);
    DWORD error = GetLastError();
    EXPECT_EQ(ok != FALSE, reply.result != 0);
    if (!reply.result) {
        EXPECT_EQ(error, reply.last_error);
    }
    if (reply.result || reply.last_error == kErrorMoreData) {
        EXPECT_EQ(count, reply.bytes);
        EXPECT_EQ(0, memcmp(got.data(), want.data(), reply.bytes)) << "the reply's bytes differ";
        EXPECT_EQ(got[reply.bytes], kUntouchedByte) << "bytes past the reply were written";
    } else {
        EXPECT_EQ(count, kUntouchedCount) << "an error changed the caller's count";
        EXPECT_EQ(got, std::vector<uint8_t>(got.size(), kUntouchedByte))
            << "an error delivered data";
    }
    want.resize(reply.bytes);
    return want;
}

HANDLE OpenDevice(const std::wstring &path) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

std::vector<uint8_t> Le32(uint32_t a, uint32_t b = 0, uint32_t c = 0) {
    std::vector<uint8_t> v;
    for (uint32_t x : {a, b, c}) {
        uint8_t word[4];
        WriteLe32(word, x);
        for (uint8_t byte : word) v.push_back(byte);
    }
    return v;
}

class DriverAnswerTest : public testing::Test {
protected:
    void TearDown() override {
        sim::wdm::DriverLog log;
        if (_sequence) {
            EXPECT_TRUE(WaitForSettledLog(_sequence, &log)) << "the driver saw no close";
        }
    }
    uint32_t _sequence = 0;
};

TEST_F(DriverAnswerTest, RequestsGetTheComponentsAnswers) {
    sim::Machine m;
    std::string error;
    ASSERT_TRUE(LoadMachine("tests/wdm/machines/parity.json", &m, &error)) << error;
    _sequence = InstallNotebook(m, &error);
    ASSERT_NE(_sequence, 0u) << error;

    // The same notebook, sequence included, in this process.
    Notebook n = NotebookFor(m);
    n.sequence = _sequence;
    uint8_t blob[sim::wdm::kNotebookSize];
    sim::wdm::EncodeNotebook(n, blob);
    SimHostInitialize();
    SimHostLoadNotebook(blob, sizeof blob);

    std::vector<std::wstring> misc_paths = InterfacePaths(kMiscInterface);
    ASSERT_EQ(misc_paths.size(), 1u);
    HANDLE misc = OpenDevice(misc_paths[0]);
    ASSERT_NE(misc, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_EQ(SimHostOpen(SIM_DEVICE_MISC).result, 1u);

    std::vector<uint8_t> ini1(MISC_PHASE1_SIZE, 0);
    memcpy(ini1.data(), "Ini1", 4);
    for (uint32_t i = 4; i < MISC_PHASE1_SIZE; i++) ini1[i] = static_cast<uint8_t>(i * 7);
    const REQUEST before[] = {
        {"model record", IOCTL_MISC_GET_MODEL_NUMBER, {}, 128},
        {"model record cut (ERROR_MORE_DATA)", IOCTL_MISC_GET_MODEL_NUMBER, {}, 100},
        {"probe", IOCTL_MISC_SESSION, {}, 0},
        {"phase 1", IOCTL_MISC_SESSION, ini1, MISC_PHASE1_SIZE},
    };
    std::vector<uint8_t> phase1;
    for (const REQUEST &r : before) phase1 = ExpectSameAnswer(misc, SIM_DEVICE_MISC, 0, r);
    ASSERT_EQ(phase1.size(), MISC_PHASE1_SIZE);

    std::vector<uint8_t> ini2(MISC_PHASE2_REQUEST_SIZE, 0);
    memcpy(ini2.data(), "Ini2", 4);
    memcpy(ini2.data() + 4, phase1.data(), 4);  // the session, with a proof of zeros
    const REQUEST after[] = {
        {"phase 2 with a wrong proof", IOCTL_MISC_SESSION, ini2, MISC_PHASE2_REPLY_SIZE},
        {"unknown control code", kIoctlUnknown, Le32(1), 4},
        {"capsule shorter than its header", IOCTL_MISC_CAPSULE, Le32(8, 8), 64},
        {"session close of 3 bytes", IOCTL_MISC_SESSION_CLOSE, {1, 2, 3}, 0},
    };
    for (const REQUEST &r : after) ExpectSameAnswer(misc, SIM_DEVICE_MISC, 0, r);
    CloseHandle(misc);

    std::vector<std::wstring> batteries = InterfacePaths(kBatteryInterface);
    ASSERT_EQ(batteries.size(), sim::wdm::kInstalledBatteries);
    HANDLE battery = OpenDevice(batteries[0]);
    ASSERT_NE(battery, INVALID_HANDLE_VALUE) << GetLastError();
    const uint32_t tag = m.batteries[0].tag;
    const REQUEST battery_requests[] = {
        {"tag", BATTERY_CODE_QUERY_TAG, Le32(0), 4},
        {"information", BATTERY_CODE_QUERY_INFORMATION, Le32(tag, 0, 0), BATTERY_INFORMATION_SIZE},
        {"information into 20 bytes", BATTERY_CODE_QUERY_INFORMATION, Le32(tag, 0, 0), 20},
        {"information for another tag", BATTERY_CODE_QUERY_INFORMATION, Le32(tag + 1, 0, 0),
         BATTERY_INFORMATION_SIZE},
    };
    for (const REQUEST &r : battery_requests) ExpectSameAnswer(battery, SIM_DEVICE_BATTERY0, 0, r);
    CloseHandle(battery);

    // Battery 1 refuses its open. Windows fails the CreateFileW; Wine 8.0
    // hands out the handle before the driver has answered the open, and the
    // driver then fails every request on that handle with the open's error.
    SimReply refused = SimHostOpen(SIM_DEVICE_BATTERY0 + 1);
    ASSERT_EQ(refused.result, 0u);
    SetLastError(0);
    HANDLE second = OpenDevice(batteries[1]);
    if (second == INVALID_HANDLE_VALUE) {
        EXPECT_EQ(GetLastError(), refused.last_error);
    } else {
        ExpectSameAnswer(second, SIM_DEVICE_BATTERY0 + 1, refused.last_error,
                         {"tag after a refused open", BATTERY_CODE_QUERY_TAG, Le32(0), 4});
        CloseHandle(second);
    }
}

}  // namespace
