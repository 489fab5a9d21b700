// _Initialize: the probe, the three handshake phases and their failures.
#include "support.h"

using namespace MiscCommon;

namespace unit {
namespace {

constexpr DWORD kSessionId = 305419896;  // 0x12345678
constexpr DWORD kNoCheck = 0xFFFFFFFF;
constexpr uint64_t kWorkBuffer = 264;
constexpr uint64_t kContext = MISC_BLOWFISH_CONTEXT_SIZE;
const std::string kIni1 = "496e6931", kIni2 = "496e6932", kIni3 = "496e6933";

std::string SessionMachine(const std::string &members) {
    return MachineWith("\"first_session_id\": " + std::to_string(kSessionId) +
                       (members.empty() ? "" : ", " + members));
}

class SessionTest : public DriverTest {};

// The handshake phases and close requests of a trace, as tags.
std::vector<std::string> Requests(const Trace &trace) {
    std::vector<std::string> out;
    for (const json &l : Events(trace, "device_io")) {
        const std::string in = l["in"];
        if (l["code"] == IOCTL_MISC_SESSION_CLOSE)
            out.push_back("close " + in);
        else if (l["code"] == IOCTL_MISC_SESSION && in.empty())
            out.push_back("probe");
        else if (l["code"] == IOCTL_MISC_SESSION)
            out.push_back(in.substr(0, 8));
        else
            out.push_back("other");
    }
    return out;
}

TEST_F(SessionTest, ClosedGateSendsNothing) {
    Open(SessionMachine(R"("driver_version": "1.0.7.0")"));
    SetLastError(kSentinel);
    EXPECT_EQ(misc._Initialize(), MISC_RESULT_UNSUPPORTED_VERSION);
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(ErrorText(misc), "stale");
    EXPECT_TRUE(Events(TakeTrace(), "device_io").empty());
}

TEST_F(SessionTest, DriverWithoutSessionsGetsClearCapsules) {
    Open(SessionMachine(R"("sessions": false)"));
    EXPECT_EQ(misc._Initialize(), MISC_RESULT_SUCCESS);
    EXPECT_EQ(CMiscCommonAccess::_bSecureSession(misc), 0u);
    EXPECT_EQ(CMiscCommonAccess::_pBlowfishContext(misc), nullptr);
    EXPECT_EQ(CMiscCommonAccess::_dwSessionId(misc), 0u);
    EXPECT_EQ(Requests(TakeTrace()), std::vector<std::string>({"probe"}));
}

TEST_F(SessionTest, OnlyTheProbesOwnNotSupportedMeansClear) {
    {
        SCOPED_TRACE("probe fails with ERROR_INVALID_PARAMETER");
        Open(SessionMachine(R"("faults": {"probe": {"result": false, "last_error": 87}})"));
        EXPECT_EQ(misc._Initialize(), MISC_RESULT_SUCCESS);
        EXPECT_EQ(CMiscCommonAccess::_bSecureSession(misc), 1u);
        EXPECT_NE(CMiscCommonAccess::_pBlowfishContext(misc), nullptr);
        misc.CloseDriver();
    }
    {
        SCOPED_TRACE("ERROR_NOT_SUPPORTED left by an earlier call");
        Open(SessionMachine(""));
        SetLastError(ERROR_NOT_SUPPORTED);
        EXPECT_EQ(misc._Initialize(), MISC_RESULT_SUCCESS);
        EXPECT_EQ(CMiscCommonAccess::_bSecureSession(misc), 1u);
        EXPECT_NE(CMiscCommonAccess::_pBlowfishContext(misc), nullptr);
        EXPECT_EQ(Requests(TakeTrace()), std::vector<std::string>({"probe", kIni1, kIni2, kIni3}));
    }
}

TEST_F(SessionTest, SuccessfulHandshake) {
    Open(SessionMachine(""));
    CMiscCommonAccess::_dwNextMessageId(misc) = 7;
    EXPECT_EQ(misc._Initialize(), MISC_RESULT_SUCCESS);
    EXPECT_EQ(CMiscCommonAccess::_dwSessionId(misc), kSessionId);
    EXPECT_EQ(CMiscCommonAccess::_dwNextMessageId(misc), 0u);
    EXPECT_EQ(CMiscCommonAccess::_bSecureSession(misc), 1u);
    ASSERT_NE(CMiscCommonAccess::_pBlowfishContext(misc), nullptr);
    EXPECT_EQ(ErrorText(misc), "stale");

    Trace trace = TakeTrace();
    Trace io = DeviceIo(trace, IOCTL_MISC_SESSION);
    ASSERT_EQ(io.size(), 4u);
    const Bytes phase1 = FromHex(io[1]["in"]);
    ASSERT_EQ(phase1.size(), 160u);
    EXPECT_EQ(Hex(phase1.data(), 4), kIni1);
    EXPECT_EQ(Hex(&phase1[132], 4), "00000000");  // top word of A
    EXPECT_EQ(Hex(&phase1[156], 4), "00000000");
    EXPECT_EQ(io[1]["out"].get<std::string>().substr(0, 8), Le32Hex(kSessionId));
    EXPECT_EQ(io[2]["in"].get<std::string>().substr(0, 16), kIni2 + Le32Hex(kSessionId));
    EXPECT_EQ(io[2]["in"].get<std::string>().size(), 2u * 28);
    EXPECT_EQ(io[3]["in"].get<std::string>().substr(0, 16), kIni3 + Le32Hex(kSessionId));
    EXPECT_EQ(io[3]["in"].get<std::string>().size(), 2u * 24);
    EXPECT_TRUE(DeviceIo(trace, IOCTL_MISC_SESSION_CLOSE).empty());
    ExpectFreedWiped(trace, kWorkBuffer);
    ExpectReleased(
        trace,
        {Where(Events(trace, "heap_alloc"), "size", kContext).at(0)["block"].get<uint64_t>()});

    // The context is keyed with the session key: a capsule goes through.
    BYTE packet[9] = {0x1A, 2, 8, 0, 9, 0, 0, 0, 0};
    EXPECT_EQ(misc.CallMiscFunction(packet, sizeof packet), MISC_RESULT_SUCCESS);
    EXPECT_EQ(packet[0], MISC_STATUS_SUCCESS);
    EXPECT_EQ(packet[8], 3);
    EXPECT_EQ(hosted::MiscDevice().Log().capsules_served, 1u);
}

struct PhaseFault {
    const char *faults;
    DWORD result;
    const char *text;
    bool close;
    DWORD lastError;
};

TEST_F(SessionTest, FailedHandshakeLeavesNoSession) {
    const PhaseFault rows[] = {
        {R"("phase1_reply_size": 159)", MISC_RESULT_FAILED,
         "MiscCommon::CMiscCommon::_Initialize: DeviceIoControl failed.", false, kNoCheck},
        {R"("phase1": {"last_error": 31})", MISC_RESULT_FAILED,
         "MiscCommon::CMiscCommon::_Initialize: DeviceIoControl failed.", false, 31},
        {R"("phase2_reply_size": 19)", MISC_RESULT_FAILED,
         "MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase2) failed.", true, kNoCheck},
        // A failing close request must not hide the phase's error.
        {R"("phase2": {"last_error": 1117}, "close": {"last_error": 87})", MISC_RESULT_FAILED,
         "MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase2) failed.", true, 1117},
        {R"("wrong_driver_proof": true)", MISC_RESULT_DEVICE_UNAVAILABLE,
         "MiscCommon::CMiscCommon::_Initialize: Driver Authentication Failed.", true, kNoCheck},
        {R"("phase3_reply_size": 7)", MISC_RESULT_FAILED,
         "MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase3) failed.", true, kNoCheck},
        {R"("phase3": {"last_error": 1117}, "close": {"last_error": 87})", MISC_RESULT_FAILED,
         "MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase3) failed.", true, 1117},
        {R"("wrong_confirmation": true)", MISC_RESULT_FAILED,
         "MiscCommon::CMiscCommon::_Initialize: BlowfishDecipher failed.", true, kNoCheck},
    };
    for (const PhaseFault &row : rows) {
        SCOPED_TRACE(row.faults);
        misc.CloseDriver();
        Open(SessionMachine(std::string("\"faults\": {") + row.faults + "}"));
        CMiscCommonAccess::_dwNextMessageId(misc) = 9;
        SetLastError(kSentinel);
        EXPECT_EQ(misc._Initialize(), row.result);
        if (row.lastError != kNoCheck) {
            EXPECT_EQ(GetLastError(), row.lastError);
        }
        EXPECT_EQ(ErrorText(misc), row.text);
        EXPECT_EQ(CMiscCommonAccess::_pBlowfishContext(misc), nullptr);
        EXPECT_EQ(CMiscCommonAccess::_dwSessionId(misc), 0u);
        EXPECT_EQ(CMiscCommonAccess::_dwNextMessageId(misc), 9u);
        EXPECT_EQ(CMiscCommonAccess::_bSecureSession(misc), 1u);
        Trace trace = TakeTrace();
        Trace closes = DeviceIo(trace, IOCTL_MISC_SESSION_CLOSE);
        ASSERT_EQ(closes.size(), row.close ? 1u : 0u);
        if (row.close) {
            EXPECT_EQ(closes[0]["in"], Le32Hex(kSessionId));
        }
        ExpectReleased(trace);
        ExpectFreedWiped(trace, kWorkBuffer);
        ExpectFreedWiped(trace, kContext);
    }
}

TEST_F(SessionTest, EachAllocationOfTheHandshakeCanFail) {
    // The close request fails too, so that a restored last error shows.
    const std::string machine = SessionMachine(R"("faults": {"close": {"last_error": 87}})");
    std::vector<uint64_t> failedSizes;
    for (uint64_t n = 1;; n++) {
        ASSERT_LT(n, 10u) << "the handshake allocates more than expected";
        SCOPED_TRACE("allocation " + std::to_string(n));
        UseMachine(machine);
        const size_t liveBefore = hosted::LiveHeapBlocks();
        bool done = false;
        {
            CMiscCommon local;
            ASSERT_EQ(local.OpenDriver(), MISC_RESULT_SUCCESS);
            TakeTrace();
            hosted::SetFailingAllocation(n);
            SetLastError(kSentinel);
            const DWORD result = local._Initialize();
            const DWORD error = GetLastError();
            Trace trace = TakeTrace();
            Trace failed = Events(trace, "heap_alloc_failed");
            if (failed.empty()) {
                EXPECT_EQ(result, MISC_RESULT_SUCCESS);
                done = true;
            } else {
                const uint64_t size = failed[0]["size"];
                failedSizes.push_back(size);
                EXPECT_EQ(result, MISC_RESULT_INSUFFICIENT_BUFFER);
                // HeapAlloc sets no last error: the value before it comes back.
                EXPECT_EQ(error, (DWORD)ERROR_SUCCESS);
                if (size == kWorkBuffer) {
                    EXPECT_EQ(ErrorText(local),
                              "MiscCommon::CMiscCommon::_Initialize: HeapAlloc (phase2) failed.");
                } else if (size == kContext) {
                    EXPECT_EQ(ErrorText(local),
                              "MiscCommon::CMiscCommon::_Initialize: HeapAlloc (phase3) failed.");
                } else {
                    ADD_FAILURE() << "unexpected allocation of " << size << " bytes";
                }
                EXPECT_EQ(DeviceIo(trace, IOCTL_MISC_SESSION_CLOSE).size(), 1u);
                EXPECT_EQ(CMiscCommonAccess::_pBlowfishContext(local), nullptr);
                ExpectReleased(trace);
                ExpectFreedWiped(trace, kWorkBuffer);
            }
        }
        EXPECT_EQ(hosted::LiveHeapBlocks(), liveBefore);
        if (done) break;
    }
    EXPECT_EQ(failedSizes, std::vector<uint64_t>({kWorkBuffer, kContext}));
}

}  // namespace
}  // namespace unit
