// OpenDriver, the version text and gate, and the release of the object.
#include <wchar.h>

#include "support.h"

using namespace MiscCommon;

namespace unit {
namespace {

constexpr DWORD kAnyError = 0xFFFFFFFF;  // the row does not check the last error
constexpr uint64_t kTextBytes = MISC_TEXT_CHARS * sizeof(WCHAR);
constexpr size_t kDetailHeader = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);

class OpenDriverTest : public HostedTest {};

struct FailureRow {
    const char *name;
    std::string machine;
    uint64_t failingAllocation;  // 0: none
    DWORD result;
    const char *text;
    DWORD lastError;
    bool versionKept;
};

TEST_F(OpenDriverTest, EachFailureReportsAndReleasesWhatItTook) {
    const std::string tooLong(300, '1');
    const std::string exactly256(256, '1');
    const FailureRow rows[] = {
        {"no device", "{}", 0, MISC_RESULT_DEVICE_UNAVAILABLE,
         "MiscCommon::CMiscCommon::OpenDriver: SetupDiEnumDeviceInterfaces failed.",
         ERROR_NO_MORE_ITEMS, false},
        {"version value missing", MachineWith(R"("driver_version": null)"), 0, MISC_RESULT_FAILED,
         "MiscCommon::CMiscCommon::OpenDriver: RegQueryValueEx failed.", kAnyError, false},
        {"version text longer than the buffer",
         MachineWith("\"driver_version\": \"" + tooLong + "\""), 0, MISC_RESULT_FAILED,
         "MiscCommon::CMiscCommon::OpenDriver: RegQueryValueEx failed.", kAnyError, false},
        {"256 characters leave no room for the terminator",
         MachineWith("\"driver_version\": \"" + exactly256 + "\""), 0, MISC_RESULT_FAILED,
         "MiscCommon::CMiscCommon::OpenDriver: RegQueryValueEx failed.", kAnyError, false},
        {"in use elsewhere", MachineWith(R"("in_use_elsewhere": true)"), 0, MISC_RESULT_OPEN_FAILED,
         "MiscCommon::CMiscCommon::OpenDriver: CreateFile failed.", ERROR_SHARING_VIOLATION, true},
        // HeapAlloc sets no last error: what the caller sees is the value
        // right after it, the size query's.
        {"detail buffer not allocated", MachineWith(""), 1, MISC_RESULT_INSUFFICIENT_BUFFER,
         "MiscCommon::CMiscCommon::OpenDriver: HeapAlloc failed.", ERROR_INSUFFICIENT_BUFFER,
         false},
        {"version buffer not allocated", MachineWith(""), 2, MISC_RESULT_FAILED,
         "MiscCommon::CMiscCommon::OpenDriver: _szVersion array initialize failed.", kAnyError,
         false},
        // A required size below the detail header (6 bytes on 32-bit
        // Windows) is refused before the allocation; the header alone holds
        // no path, so the second call fails.
        {"detail size below the header",
         MachineWith("\"detail_required_size\": " + std::to_string(kDetailHeader - 1)), 0,
         MISC_RESULT_FAILED,
         "MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail (First time) failed.",
         ERROR_INSUFFICIENT_BUFFER, false},
        {"detail size of the header alone",
         MachineWith("\"detail_required_size\": " + std::to_string(kDetailHeader)), 0,
         MISC_RESULT_FAILED,
         "MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail (Second time) failed.",
         ERROR_INSUFFICIENT_BUFFER, false},
    };
    for (const FailureRow &row : rows) {
        SCOPED_TRACE(row.name);
        UseMachine(row.machine);
        const size_t liveBefore = hosted::LiveHeapBlocks();
        {
            CMiscCommon misc;
            if (row.failingAllocation) hosted::SetFailingAllocation(row.failingAllocation);
            // Clean-up calls that overwrite the last error show whether the
            // failing call's value is set again before returning.
            hosted::SetClobberLastErrorOnSuccess(true);
            SetLastError(kSentinel);
            EXPECT_EQ(misc.OpenDriver(), row.result);
            hosted::SetClobberLastErrorOnSuccess(false);
            if (row.lastError != kAnyError) {
                EXPECT_EQ(GetLastError(), row.lastError);
            }
            EXPECT_EQ(ErrorText(misc), row.text);
            EXPECT_EQ(CMiscCommonAccess::_hDevice(misc), INVALID_HANDLE_VALUE);
            if (row.versionKept) {
                ASSERT_NE(CMiscCommonAccess::_szVersion(misc), nullptr);
                EXPECT_STREQ(CMiscCommonAccess::_szVersion(misc), L"1.0.9.0");
                EXPECT_EQ(CMiscCommonAccess::_dwVersionMajor(misc), 1u);
                EXPECT_EQ(CMiscCommonAccess::_dwVersionMinor(misc), 0u);
                EXPECT_EQ(CMiscCommonAccess::_dwVersionBuild(misc), 9u);
                EXPECT_TRUE(misc.IsDriverVersionSupported());
            } else {
                EXPECT_EQ(CMiscCommonAccess::_szVersion(misc), nullptr);
                EXPECT_FALSE(misc.IsDriverVersionSupported());
            }
        }
        // The set, the key and the detail buffer went back before OpenDriver
        // returned (nothing else knows of them); the text buffers at destruction.
        ExpectReleased(TakeTrace());
        EXPECT_EQ(hosted::LiveHeapBlocks(), liveBefore);
    }
}

TEST_F(OpenDriverTest, TooLongVersionTextIsRefusedByTheRegistry) {
    UseMachine(MachineWith("\"driver_version\": \"" + std::string(300, '1') + "\""));
    CMiscCommon misc;
    EXPECT_EQ(misc.OpenDriver(), MISC_RESULT_FAILED);
    Trace reads = Where(Events(TakeTrace(), "registry"), "call", "RegQueryValueExW");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0]["status"], ERROR_MORE_DATA);
}

TEST_F(OpenDriverTest, SuccessOpensExclusivelyAndClearsTheText) {
    UseMachine(MachineWith(""));
    CMiscCommon misc;
    SetErrorText(misc, L"stale");
    TakeTrace();
    EXPECT_EQ(misc.OpenDriver(), MISC_RESULT_SUCCESS);
    EXPECT_EQ(ErrorText(misc), "");
    EXPECT_NE(CMiscCommonAccess::_hDevice(misc), INVALID_HANDLE_VALUE);
    misc.CloseDriver();
    Trace trace = TakeTrace();
    Trace sets = Where(Events(trace, "setupapi"), "call", "SetupDiGetClassDevsW");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0]["flags"], DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    Trace opens = Events(trace, "create_file");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0]["share"], 0);
    EXPECT_EQ(opens[0]["access"], GENERIC_READ | GENERIC_WRITE);
    // Once the device is closed, only the version text stays allocated.
    ExpectReleased(
        trace,
        {Where(Events(trace, "heap_alloc"), "size", kTextBytes).at(0)["block"].get<uint64_t>()});
}

struct VersionRow {
    std::string text;
    bool terminated;
    bool open;
    DWORD major, minor, build, revision;
};

TEST_F(OpenDriverTest, VersionTextAgainstTheGate) {
    const VersionRow rows[] = {
        {"1.0.8.0", true, true, 1, 0, 8, 0},
        {"1.1.0.0", true, true, 1, 1, 0, 0},
        {"1.0.9.3", true, true, 1, 0, 9, 3},
        {"2.0.0.0", true, true, 2, 0, 0, 0},
        {"1.0.8", true, true, 1, 0, 8, 0},
        {"1.0.7.99", true, false, 1, 0, 7, 99},
        {"0.9.9.9", true, false, 0, 9, 9, 9},
        {"1.0", true, false, 1, 0, 0, 0},
        {"abc", true, false, 0, 0, 0, 0},
        {"", true, false, 0, 0, 0, 0},
        // Read as signed, compared unsigned.
        {"-1.0.0.0", true, true, 0xFFFFFFFF, 0, 0, 0},
        {"1.0.9.0", false, true, 1, 0, 9, 0},
    };
    for (const VersionRow &row : rows) {
        SCOPED_TRACE(row.text + (row.terminated ? "" : " (unterminated)"));
        UseMachine(MachineWith(
            "\"driver_version\": \"" + row.text +
            "\", \"driver_version_terminated\": " + (row.terminated ? "true" : "false")));
        CMiscCommon misc;
        EXPECT_EQ(misc.OpenDriver(), MISC_RESULT_SUCCESS);
        EXPECT_EQ(misc.IsDriverVersionSupported(), row.open ? TRUE : FALSE);
        EXPECT_EQ(CMiscCommonAccess::_dwVersionMajor(misc), row.major);
        EXPECT_EQ(CMiscCommonAccess::_dwVersionMinor(misc), row.minor);
        EXPECT_EQ(CMiscCommonAccess::_dwVersionBuild(misc), row.build);
        EXPECT_EQ(CMiscCommonAccess::_dwVersionRevision(misc), row.revision);
    }
}

TEST_F(OpenDriverTest, UnterminatedTextThatFillsTheBufferIsEndedWithinIt) {
    const std::string text = "1.0.8.0" + std::string(MISC_TEXT_CHARS - 7, ' ');
    UseMachine(
        MachineWith("\"driver_version\": \"" + text + "\", \"driver_version_terminated\": false"));
    CMiscCommon misc;
    EXPECT_EQ(misc.OpenDriver(), MISC_RESULT_SUCCESS);
    ASSERT_NE(CMiscCommonAccess::_szVersion(misc), nullptr);
    EXPECT_EQ(wcslen(CMiscCommonAccess::_szVersion(misc)), MISC_TEXT_CHARS - 1);
    EXPECT_TRUE(misc.IsDriverVersionSupported());
}

TEST_F(OpenDriverTest, VersionIsReadOncePerObject) {
    UseMachine(MachineWith(R"("driver_version": "1.0.9.3")"));
    CMiscCommon misc;
    ASSERT_EQ(misc.OpenDriver(), MISC_RESULT_SUCCESS);
    misc.CloseDriver();
    TakeTrace();
    ASSERT_EQ(misc.OpenDriver(), MISC_RESULT_SUCCESS);
    Trace trace = TakeTrace();
    EXPECT_TRUE(Events(trace, "registry").empty());
    EXPECT_TRUE(Where(Events(trace, "setupapi"), "call", "SetupDiOpenDevRegKey").empty());
    EXPECT_EQ(CMiscCommonAccess::_dwVersionRevision(misc), 3u);
    EXPECT_TRUE(misc.IsDriverVersionSupported());
}

TEST_F(OpenDriverTest, FailedVersionReadIsTriedAgain) {
    UseMachine(MachineWith(R"("driver_version": null)"));
    CMiscCommon misc;
    EXPECT_EQ(misc.OpenDriver(), MISC_RESULT_FAILED);
    UseMachine(MachineWith(R"("driver_version": "1.0.8.0")"));
    EXPECT_EQ(misc.OpenDriver(), MISC_RESULT_SUCCESS);
    ASSERT_NE(CMiscCommonAccess::_szVersion(misc), nullptr);
    EXPECT_STREQ(CMiscCommonAccess::_szVersion(misc), L"1.0.8.0");
    EXPECT_TRUE(misc.IsDriverVersionSupported());
}

// Destruction: which events its trace shows, in order.
std::vector<std::string> Summary(const Trace &trace) {
    std::vector<std::string> out;
    for (const json &l : trace) {
        const std::string event = l["event"];
        if (event == "heap_free")
            out.push_back("free " + std::to_string(l["size"].get<uint64_t>()) +
                          (l["all_zero"] == true ? " zero" : ""));
        else if (event == "device_io")
            out.push_back("io " + std::to_string(l["code"].get<uint64_t>()) + " " +
                          l["in"].get<std::string>());
        else if (event == "close_handle")
            out.push_back("close " + l.value("kind", std::string("?")));
        else
            out.push_back(event);
    }
    return out;
}

TEST_F(OpenDriverTest, DestructionReleasesWhatTheObjectHolds) {
    const std::string text = "free " + std::to_string(kTextBytes);
    {
        SCOPED_TRACE("never opened");
        UseMachine(MachineWith(""));
        {
            CMiscCommon misc;
            TakeTrace();
        }
        EXPECT_EQ(Summary(TakeTrace()), std::vector<std::string>({text}));
    }
    {
        SCOPED_TRACE("version read, device held elsewhere");
        UseMachine(MachineWith(R"("in_use_elsewhere": true)"));
        {
            CMiscCommon misc;
            EXPECT_EQ(misc.OpenDriver(), MISC_RESULT_OPEN_FAILED);
            TakeTrace();
        }
        Trace trace = TakeTrace();
        EXPECT_EQ(Events(trace, "heap_free").size(), 2u);
        EXPECT_TRUE(Events(trace, "close_handle").empty());
        EXPECT_TRUE(Events(trace, "device_io").empty());
    }
    {
        SCOPED_TRACE("open, no session");
        UseMachine(MachineWith(""));
        {
            CMiscCommon misc;
            ASSERT_EQ(misc.OpenDriver(), MISC_RESULT_SUCCESS);
            TakeTrace();
        }
        Trace trace = TakeTrace();
        ASSERT_FALSE(trace.empty());
        EXPECT_EQ(Summary(trace)[0], "close misc_device");
        EXPECT_EQ(Events(trace, "heap_free").size(), 2u);
        EXPECT_TRUE(Events(trace, "device_io").empty());
    }
    {
        SCOPED_TRACE("with a session");
        UseMachine(MachineWith(R"("first_session_id": 305419896)"));
        {
            CMiscCommon misc;
            ASSERT_EQ(misc.OpenDriver(), MISC_RESULT_SUCCESS);
            ASSERT_EQ(misc._Initialize(), MISC_RESULT_SUCCESS);
            TakeTrace();
        }
        std::vector<std::string> summary = Summary(TakeTrace());
        const std::vector<std::string> expected = {
            "io " + std::to_string(IOCTL_MISC_SESSION_CLOSE) + " " + Le32Hex(305419896),
            "free 4168 zero", "close misc_device"};
        ASSERT_GE(summary.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(summary.begin(), summary.begin() + 3), expected);
        EXPECT_EQ(hosted::MiscDevice().Log().sessions_closed, 1u);
        EXPECT_EQ(hosted::MiscDevice().Log().last_closed_session, 305419896u);
    }
}

TEST_F(OpenDriverTest, CloseDriverForgetsTheSession) {
    UseMachine(MachineWith(""));
    CMiscCommon misc;
    ASSERT_EQ(misc.OpenDriver(), MISC_RESULT_SUCCESS);
    ASSERT_EQ(misc._Initialize(), MISC_RESULT_SUCCESS);
    CMiscCommonAccess::_dwNextMessageId(misc) = 5;
    misc.CloseDriver();
    EXPECT_EQ(CMiscCommonAccess::_hDevice(misc), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CMiscCommonAccess::_pBlowfishContext(misc), nullptr);
    EXPECT_EQ(CMiscCommonAccess::_dwSessionId(misc), 0u);
    EXPECT_EQ(CMiscCommonAccess::_dwNextMessageId(misc), 0u);
}

}  // namespace
}  // namespace unit
