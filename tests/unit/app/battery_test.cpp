// The battery queries over g_MiscCommon and the battery class, and the
// battery loop that feeds the recall decision.
#include <string.h>

#include <algorithm>

#include "application.h"
#include "battery.h"
#include "recall.h"
#include "run.h"
#include "support.h"

using namespace MiscCommon;

namespace unit {
namespace {

constexpr DWORD kUntouchedDate = 77;
const char kUntouchedText[] = "keep";

// g_MiscCommon as the entry leaves it after a successful start, and back to
// its constructed state afterwards.
class BatteryTest : public HostedTest {
protected:
    void Ready(const std::string &machine, WORD count) {
        OpenOn(g_MiscCommon, machine, true);
        g_bDriverReady = TRUE;
        g_wBatteryCount = count;
    }
    void TearDown() override {
        g_MiscCommon.CloseDriver();
        typedef CMiscCommonAccess A;
        WCHAR *&version = A::_szVersion(g_MiscCommon);
        if (version) HeapFree(GetProcessHeap(), 0, version);
        version = nullptr;
        A::_dwVersionMajor(g_MiscCommon) = A::_dwVersionMinor(g_MiscCommon) = 0;
        A::_dwVersionBuild(g_MiscCommon) = A::_dwVersionRevision(g_MiscCommon) = 0;
        A::_bSecureSession(g_MiscCommon) = 1;
        SetErrorText(g_MiscCommon, L"");
        g_bDriverReady = FALSE;
        g_wBatteryCount = 0;
        HostedTest::TearDown();
    }
};

// The caller's buffers of one identity query.
struct Identity {
    char part[BATTERY_TEXT_BYTES];
    char dateText[BATTERY_TEXT_BYTES];
    DWORD date = kUntouchedDate;
    Identity() {
        memset(part, 0, sizeof part);
        memset(dateText, 0, sizeof dateText);
        strcpy(part, kUntouchedText);
        strcpy(dateText, kUntouchedText);
    }
    BOOL Query(WORD index) { return GetBatteryIdentity(index, part, &date, dateText); }
    bool Untouched() const {
        return strcmp(part, kUntouchedText) == 0 && strcmp(dateText, kUntouchedText) == 0 &&
               date == kUntouchedDate;
    }
};

std::string Packs(const std::string &packs, const std::string &more = "") {
    return "\"batteries\": " + packs + (more.empty() ? "" : ", " + more);
}

TEST(PackedDate, DecodesTheFatLayout) {
    const struct {
        WORD packed;
        const char *text;
        DWORD number;
    } rows[] = {
        {0x4049, "20120209", 20120209},
        {0x0000, "19800000", 19800000},
        {(32 << 9) | (13 << 5) | 1, "20121301", 20121301},  // month 13 passes through
        {0xFFFF, "21071531", 21071531},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.packed);
        char text[BATTERY_TEXT_BYTES];
        memset(text, 0x55, sizeof text);
        DWORD number = 0;
        DecodePackedDate(row.packed, text, sizeof text, &number);
        EXPECT_STREQ(text, row.text);
        EXPECT_EQ(number, row.number);
    }
}

TEST(SlotWord, CountsBothSlotPairs) {
    for (WORD w : {0x0000, 0x0001, 0x0004, 0x0008, 0x00F0, 0x0002, 0xFFF0})
        EXPECT_EQ(BatteryCountFromSlotWord(w), 1) << std::hex << w;
    for (WORD w : {0x0005, 0x0006, 0x0009, 0x000F, 0x000A, 0xFFFF})
        EXPECT_EQ(BatteryCountFromSlotWord(w), 2) << std::hex << w;
}

TEST_F(BatteryTest, IdentityRequestsAndReply) {
    // Clear capsules, so that the trace shows the packets.
    Ready(MachineWith(Packs(R"([{"part_number": "HT-QBLP99", "date": 1},
                                {"part_number": "HT-QBLP21", "date": "2012-02-09"}])",
                            R"("sessions": false)")),
          2);
    Identity id;
    EXPECT_TRUE(id.Query(1));
    EXPECT_STREQ(id.part, "HT-QBLP21");
    EXPECT_STREQ(id.dateText, "20120209");
    EXPECT_EQ(id.date, 20120209u);
    Trace io = DeviceIo(TakeTrace(), IOCTL_MISC_CAPSULE);
    ASSERT_EQ(io.size(), 2u);
    // The packet follows the capsule header and the record header; the
    // record's dwOutBufferSize is OutSize.
    const Bytes date = FromHex(io[0]["in"]), part = FromHex(io[1]["in"]);
    EXPECT_EQ(Hex(&date[32], 10), "42020a000e0000000100");
    EXPECT_EQ(Hex(&date[28], 4), Le32Hex(14));
    EXPECT_EQ(Hex(&part[32], 12), "45020c001600000001000000");
    EXPECT_EQ(Hex(&part[28], 4), Le32Hex(22));
}

TEST_F(BatteryTest, PartNumberIsTheTextUpToItsFirstZero) {
    const struct {
        const char *hex;
        const char *text;
    } rows[] = {
        {"48542d51424c50323158595a", "HT-QBLP21XYZ"},  // no terminator: 12 characters
        {"0054", ""},
        {"485400514243", "HT"},
        {"6874 2d71626c70323120", "ht-qblp21 "},  // taken byte for byte
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.hex);
        std::string hex = row.hex;
        hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
        g_MiscCommon.CloseDriver();
        Ready(MachineWith(Packs("[{\"part_number\": {\"hex\": \"" + hex +
                                "\"}, \"date\": \"2012-02-09\"}]")),
              1);
        Identity id;
        EXPECT_TRUE(id.Query(0));
        EXPECT_STREQ(id.part, row.text);
        EXPECT_EQ(id.date, 20120209u);
    }
}

TEST_F(BatteryTest, StatusOfTheTwoRequests) {
    const struct {
        const char *pack;
        BOOL result;
        bool written;
    } rows[] = {
        {R"({"part_number": "HT-QBLP21", "date": "2012-02-09", "date_status": 2})", TRUE, false},
        {R"({"part_number": "HT-QBLP21", "date": "2012-02-09", "part_number_status": 2})", TRUE,
         false},
        {R"({"part_number": "HT-QBLP21", "date": "2012-02-09", "date_status": [4, 0]})", TRUE,
         true},
        {R"({"part_number": "HT-QBLP21", "date": "2012-02-09", "date_status": [4, 4, 0]})", FALSE,
         false},
        {R"({"part_number": "HT-QBLP21", "date": "2012-02-09", "part_number_status": [4, 4]})",
         FALSE, false},
        {R"({"part_number": "HT-QBLP21", "date": "2012-02-09", "date_status": 1})", FALSE, false},
        {R"({"part_number": "HT-QBLP21", "date": "2012-02-09", "part_number_status": 129})", FALSE,
         false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.pack);
        g_MiscCommon.CloseDriver();
        Ready(MachineWith(Packs(std::string("[") + row.pack + "]")), 1);
        Identity id;
        EXPECT_EQ(id.Query(0), row.result);
        if (row.written) {
            EXPECT_STREQ(id.part, "HT-QBLP21");
            EXPECT_EQ(id.date, 20120209u);
        } else {
            EXPECT_TRUE(id.Untouched()) << id.part << " " << id.dateText << " " << id.date;
        }
    }
}

TEST_F(BatteryTest, IdentityRefusedWithoutARequest) {
    Ready(MachineWith(Packs(R"([{"part_number": "HT-QBLP21", "date": "2012-02-09"}])")), 1);
    Identity id;
    EXPECT_FALSE(id.Query(1));  // the index equals the count
    EXPECT_FALSE(GetBatteryIdentity(0, nullptr, &id.date, id.dateText));
    EXPECT_FALSE(GetBatteryIdentity(0, id.part, nullptr, id.dateText));
    EXPECT_FALSE(GetBatteryIdentity(0, id.part, &id.date, nullptr));
    g_bDriverReady = FALSE;
    EXPECT_FALSE(id.Query(0));
    EXPECT_TRUE(id.Untouched());
    EXPECT_TRUE(Events(TakeTrace(), "device_io").empty());
}

TEST_F(BatteryTest, ClosedGateSendsNoQuery) {
    Ready(MachineWith(R"("driver_version": "1.0.7.0")"), 1);
    Identity id;
    EXPECT_FALSE(id.Query(0));
    EXPECT_TRUE(id.Untouched());
    BYTE status = 0xEE, code = 0xEE;
    WORD word = 0xEEEE;
    EXPECT_EQ(GetSupportCode(&status, &code), MISC_RESULT_UNSUPPORTED_VERSION);
    EXPECT_EQ(GetBatterySlotStatus(&status, &word), MISC_RESULT_UNSUPPORTED_VERSION);
    EXPECT_EQ(status, 0xEE);
    EXPECT_EQ(code, 0xEE);
    EXPECT_EQ(word, 0xEEEE);
    EXPECT_TRUE(Events(TakeTrace(), "device_io").empty());
}

TEST_F(BatteryTest, SupportCodeAndSlotWord) {
    const struct {
        const char *members;
        DWORD result;
        BYTE supportStatus, code;
        BYTE slotStatus;
        WORD word;
    } rows[] = {
        {R"("support_code": 3, "slot_word": 15)", 0, 0, 3, 0, 15},
        {R"("support_code": 2, "slot_word": 0)", 0, 0, 2, 0, 0},
        // A status other than 0 leaves the value alone.
        {R"("support_status": 2, "slot_status": [4, 4])", 0, 2, 0xEE, 4, 0xEEEE},
        {R"("support_status": [4, 0], "slot_status": [4, 0], "slot_word": 5)", 0, 0, 3, 0, 5},
        {R"("faults": {"capsule": {"last_error": 31}})", MISC_RESULT_FAILED, 0xEE, 0xEE, 0xEE,
         0xEEEE},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.members);
        g_MiscCommon.CloseDriver();
        Ready(MachineWith(row.members), 1);
        BYTE status = 0xEE, code = 0xEE;
        EXPECT_EQ(GetSupportCode(&status, &code), row.result);
        EXPECT_EQ(status, row.supportStatus);
        EXPECT_EQ(code, row.code);
        WORD word = 0xEEEE;
        status = 0xEE;
        EXPECT_EQ(GetBatterySlotStatus(&status, &word), row.result);
        EXPECT_EQ(status, row.slotStatus);
        EXPECT_EQ(word, row.word);
    }
}

TEST_F(BatteryTest, DesignCapacityFromTheBatteryClass) {
    const struct {
        const char *batteryClass;
        WORD index;
        BOOL result;
        DWORD capacity;
    } rows[] = {
        {R"([{"design_capacity": 46080}])", 0, TRUE, 46080},
        // Interfaces of absent batteries count: index 1 is the second.
        {R"([{"design_capacity": 1, "present": false}, {"design_capacity": 92160}])", 1, TRUE,
         92160},
        {R"([{"design_capacity": 46080, "present": false}])", 0, FALSE, 0},
        {R"([{"design_capacity": 46080, "relative": true}])", 0, FALSE, 0},
        {R"([{"design_capacity": 46080, "tag": 0}])", 0, FALSE, 0},
        {R"([{"design_capacity": 46080}])", 1, FALSE, 0},  // fewer interfaces than the index
        {R"([{"design_capacity": 46080, "fail_open": {"last_error": 5}}])", 0, FALSE, 0},
        {R"([{"design_capacity": 46080, "fail_tag": {"last_error": 31}}])", 0, FALSE, 0},
        {R"([{"design_capacity": 46080, "fail_information": {"last_error": 31}}])", 0, FALSE, 0},
        // A reply must cover what is read from it: the 4-byte tag, and the
        // information record up to the end of DesignedCapacity (16 bytes).
        {R"([{"design_capacity": 46080, "tag_reply_size": 3}])", 0, FALSE, 0},
        {R"([{"design_capacity": 46080, "tag_reply_size": 8}])", 0, TRUE, 46080},
        {R"([{"design_capacity": 46080, "information_reply_size": 15}])", 0, FALSE, 0},
        {R"([{"design_capacity": 46080, "information_reply_size": 16}])", 0, TRUE, 46080},
        {R"([{"design_capacity": 46080, "relative": true, "information_reply_size": 16}])", 0, FALSE,
         0},
        {R"([{"design_capacity": 46080, "information_reply_size": 40}])", 0, TRUE, 46080},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.batteryClass);
        g_MiscCommon.CloseDriver();
        Ready(MachineWith("", row.batteryClass), 2);
        DWORD capacity = kUntouchedDate;
        EXPECT_EQ(GetBatteryDesignCapacity(row.index, &capacity), row.result);
        EXPECT_EQ(capacity, row.result ? row.capacity : kUntouchedDate);
        Trace trace = TakeTrace();
        Trace sets = Where(Events(trace, "setupapi"), "call", "SetupDiGetClassDevsW");
        ASSERT_EQ(sets.size(), 1u);
        EXPECT_EQ(sets[0]["flags"], DIGCF_DEVICEINTERFACE);
        for (const json &open : Events(trace, "create_file")) {
            EXPECT_EQ(open["access"], GENERIC_READ);
            EXPECT_EQ(open["share"], 0);
        }
        ExpectReleased(trace);
    }
}

// Bytes returned are cut to the 36-byte buffer, as the I/O manager cuts
// them: a battery that answers with more still arrives as 36.
TEST_F(BatteryTest, LongerInformationRecordArrivesCutToTheBuffer) {
    Ready(MachineWith("", R"([{"design_capacity": 92160, "information_reply_size": 40}])"), 1);
    DWORD capacity = 0;
    EXPECT_TRUE(GetBatteryDesignCapacity(0, &capacity));
    EXPECT_EQ(capacity, 92160u);
    Trace io = DeviceIo(TakeTrace(), IOCTL_BATTERY_QUERY_INFORMATION);
    ASSERT_EQ(io.size(), 1u);
    EXPECT_EQ(io[0]["bytes"], 36);
}

// A required size below the detail header is refused before anything is
// allocated; one that holds the header but not the path fails the second
// detail call.
TEST_F(BatteryTest, DetailSizeBelowTheHeaderIsRefusedBeforeAllocating) {
    const struct {
        DWORD reported;
        size_t detailCalls;
        size_t allocations;
    } rows[] = {
        {0, 1, 0},
        {sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) - 1, 1, 0},
        {sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W), 2, 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.reported);
        g_MiscCommon.CloseDriver();
        Ready(MachineWith("", "[{\"design_capacity\": 46080, \"detail_required_size\": " +
                                  std::to_string(row.reported) + "}]"),
              1);
        DWORD capacity = kUntouchedDate;
        EXPECT_FALSE(GetBatteryDesignCapacity(0, &capacity));
        EXPECT_EQ(capacity, kUntouchedDate);
        Trace trace = TakeTrace();
        EXPECT_EQ(Where(Events(trace, "setupapi"), "call", "SetupDiGetDeviceInterfaceDetailW").size(),
                  row.detailCalls);
        EXPECT_EQ(Events(trace, "heap_alloc").size(), row.allocations);
        EXPECT_TRUE(Events(trace, "create_file").empty());
        ExpectReleased(trace);
    }
}

TEST_F(BatteryTest, DesignCapacityRefusedWithoutAQuery) {
    Ready(MachineWith(""), 1);
    DWORD capacity = kUntouchedDate;
    EXPECT_FALSE(GetBatteryDesignCapacity(1, &capacity));
    EXPECT_FALSE(GetBatteryDesignCapacity(0, nullptr));
    g_bDriverReady = FALSE;
    EXPECT_FALSE(GetBatteryDesignCapacity(0, &capacity));
    EXPECT_EQ(capacity, kUntouchedDate);
    EXPECT_TRUE(Events(TakeTrace(), "setupapi").empty());
}

TEST_F(BatteryTest, BatteryLoop) {
    const char *recalled = R"({"part_number": "HT-QBLP21", "date": "2011-12-31"})";
    const char *clear = R"({"part_number": "HT-QBLP99", "date": "2011-12-31"})";
    const char *empty = R"({"part_number": "HT-QBLP21", "date": "2011-12-31", "date_status": 2})";
    const char *failing = R"({"part_number": "HT-QBLP21", "date": "2011-12-31", "date_status": 1})";
    const char *noPart = R"({"part_number": {"hex": "00"}, "date": "2011-12-31"})";
    const char *zeroDate = R"({"part_number": "HT-QBLP21", "date": 0})";
    const std::string twoPacks = R"([{"design_capacity": 46080}, {"design_capacity": 46080}])";
    const std::string secondRelative =
        R"([{"design_capacity": 46080}, {"design_capacity": 46080, "relative": true}])";
    const struct {
        const char *name;
        std::string packs;
        std::string batteryClass;
        WORD count;
        BYTE modelClass;
        int outcome;
        size_t requests;  // misc functions served
    } rows[] = {
        {"first recalled, second never asked", std::string("[") + recalled + "," + failing + "]",
         twoPacks, 2, 1, OUTCOME_RECALLED, 2},
        {"first clear, second failing", std::string("[") + clear + "," + failing + "]", twoPacks, 2,
         1, OUTCOME_QUERY_ERROR, 3},
        {"first clear, second's capacity failing", std::string("[") + clear + "," + clear + "]",
         secondRelative, 2, 1, OUTCOME_QUERY_ERROR, 4},
        {"first empty, second clear", std::string("[") + empty + "," + clear + "]", twoPacks, 2, 1,
         OUTCOME_NOT_RECALLED, 3},
        {"both empty", std::string("[") + empty + "," + empty + "]", twoPacks, 2, 1,
         OUTCOME_NO_BATTERY, 2},
        {"empty part number", std::string("[") + noPart + "]", twoPacks, 1, 1, OUTCOME_NO_BATTERY,
         2},
        {"date 1980-00-00 is a date", std::string("[") + zeroDate + "]", twoPacks, 1, 1,
         OUTCOME_NOT_RECALLED, 2},
        {"range lot under class 1", R"([{"part_number": "HT-QBLP21", "date": "2012-02-10"}])",
         twoPacks, 1, 1, OUTCOME_RECALLED, 2},
        {"range lot under class 3", R"([{"part_number": "HT-QBLP21", "date": "2012-02-10"}])",
         twoPacks, 1, 3, OUTCOME_NOT_RECALLED, 2},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        g_MiscCommon.CloseDriver();
        Ready(MachineWith(Packs(row.packs), row.batteryClass), row.count);
        EXPECT_EQ(CheckBatteries(row.modelClass), row.outcome);
        EXPECT_EQ(hosted::MiscDevice().Log().misc_function_count, row.requests);
        ExpectReleased(TakeTrace());
    }
}

}  // namespace
}  // namespace unit
