// The platform checks, the battery queries and the recall decision,
// through whole runs. Every row runs twice: with the session driver, and
// with a driver that takes capsules in clear, where the trace shows which
// misc function was asked for which battery index.
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "cases.h"
#include "process.h"

namespace e2e {
namespace {

struct BatteryCase {
    const char *name;
    const char *patch;  // over BaseMachine()
    int exit_status;
    int message;
    const char *requests;  // misc functions in order, "1A 93 42:0 45:0"
    const char *devices;   // battery class devices sent requests, "0 1"
    int busy_pauses;       // 100 ms sleeps
};

// A failure names its case and the driver mode.
void PrintTo(const std::tuple<BatteryCase, bool> &p, std::ostream *os) {
    *os << std::get<0>(p).name << (std::get<1>(p) ? ", clear mode" : ", session");
}

// Two packs (slot word 0x5): the first outside the recalled lots, the
// second from a recalled lot, unless a row says otherwise.
#define TWO_PACKS(first, second, classes)                                             \
    R"({"misc_driver": {"slot_word": 5, "batteries": [)" first "," second R"(]},)" \
    R"("battery_class": )" classes "}"
#define CLEAR_PACK R"({"part_number": "HT-QBLP21", "date": "2013-06-01"})"
#define RECALLED_PACK R"({"part_number": "HT-QBLP21", "date": "2012-02-09"})"
#define TWO_CLASSES R"([{"design_capacity": 46080}, {"design_capacity": 46080}])"
#define PACK(part, date) R"({"misc_driver": {"batteries": [{"part_number": ")" part R"(", "date": )" date "}]}}"
#define PACK_ON(model, part, date, capacity)                                                    \
    R"({"misc_driver": {"model": ")" model R"(", "batteries": [{"part_number": ")" part \
    R"(", "date": ")" date R"("}]}, "battery_class": [{"design_capacity": )" capacity "}]}"

const BatteryCase kCases[] = {
    {"OneClearPack", "{}", 0, 115, "1A 93 42:0 45:0", "0", 0},

    // Support code and slot word.
    {"SupportCode2", R"({"misc_driver": {"support_code": 2}})", 2, 111, "1A", "", 0},
    {"SupportCode4", R"({"misc_driver": {"support_code": 4}})", 2, 111, "1A", "", 0},
    {"SupportStatusNonzero", R"({"misc_driver": {"support_status": 1}})", 2, 111, "1A", "", 0},
    {"SupportBusyOnce", R"({"misc_driver": {"support_status": [4, 0]}})", 0, 115, "1A 1A 93 42:0 45:0", "0", 1},
    {"SupportBusyTwice", R"({"misc_driver": {"support_status": [4, 4]}})", 2, 111, "1A 1A", "", 1},
    {"SlotStatusNonzero", R"({"misc_driver": {"slot_status": 1}})", 2, 111, "1A 93", "", 0},
    {"SlotStatusBusyTwice", R"({"misc_driver": {"slot_status": [4, 4]}})", 2, 111, "1A 93 93", "", 1},

    // The slot word gives one battery index or two; the second pack is
    // from a recalled lot, so it decides the outcome whenever it is read.
    {"SlotWord0", R"({"misc_driver": {"slot_word": 0, "batteries": [)" CLEAR_PACK "," RECALLED_PACK
                  R"(]}, "battery_class": )" TWO_CLASSES "}",
     0, 115, "1A 93 42:0 45:0", "0", 0},
    {"SlotWord8", R"({"misc_driver": {"slot_word": 8, "batteries": [)" CLEAR_PACK "," RECALLED_PACK
                  R"(]}, "battery_class": )" TWO_CLASSES "}",
     0, 115, "1A 93 42:0 45:0", "0", 0},
    {"SlotWordF0", R"({"misc_driver": {"slot_word": 240, "batteries": [)" CLEAR_PACK "," RECALLED_PACK
                   R"(]}, "battery_class": )" TWO_CLASSES "}",
     0, 115, "1A 93 42:0 45:0", "0", 0},
    {"SlotWord6", R"({"misc_driver": {"slot_word": 6, "batteries": [)" CLEAR_PACK "," RECALLED_PACK
                  R"(]}, "battery_class": )" TWO_CLASSES "}",
     -1, 117, "1A 93 42:0 45:0 42:1 45:1", "0 1", 0},
    {"SlotWordF", R"({"misc_driver": {"slot_word": 15, "batteries": [)" CLEAR_PACK "," RECALLED_PACK
                  R"(]}, "battery_class": )" TWO_CLASSES "}",
     -1, 117, "1A 93 42:0 45:0 42:1 45:1", "0 1", 0},

    // Two batteries.
    {"FirstRecalledSecondNeverQueried",
     TWO_PACKS(RECALLED_PACK, R"({"part_number": "HT-QBLP22", "date": "2013-01-01", "date_status": 1})",
               R"([{"design_capacity": 46080}, {"design_capacity": 46080, "fail_open": {"last_error": 2}}])"),
     -1, 117, "1A 93 42:0 45:0", "0", 0},
    {"SecondDateFails",
     TWO_PACKS(CLEAR_PACK, R"({"part_number": "HT-QBLP22", "date": "2013-01-01", "date_status": 1})", TWO_CLASSES),
     5, 118, "1A 93 42:0 45:0 42:1", "0", 0},
    {"SecondPartNumberFails",
     TWO_PACKS(CLEAR_PACK, R"({"part_number": "HT-QBLP22", "date": "2013-01-01", "part_number_status": 3})",
               TWO_CLASSES),
     5, 118, "1A 93 42:0 45:0 42:1 45:1", "0", 0},
    {"SecondCapacityFails",
     TWO_PACKS(CLEAR_PACK, CLEAR_PACK,
               R"([{"design_capacity": 46080}, {"design_capacity": 46080, "fail_information": {"last_error": 31}}])"),
     5, 118, "1A 93 42:0 45:0 42:1 45:1", "0 1", 0},
    {"FewerBatteryInterfacesThanPacks", TWO_PACKS(CLEAR_PACK, CLEAR_PACK, R"([{"design_capacity": 46080}])"), 5,
     118, "1A 93 42:0 45:0 42:1 45:1", "0", 0},
    {"FirstEmptySecondClear",
     TWO_PACKS(R"({"part_number": "HT-QBLP21", "date": "2012-02-09", "date_status": 2})", CLEAR_PACK, TWO_CLASSES),
     0, 115, "1A 93 42:0 42:1 45:1", "1", 0},
    {"FirstEmptySecondRecalled",
     TWO_PACKS(R"({"part_number": "HT-QBLP23", "date": "2013-01-01", "date_status": 2})", RECALLED_PACK, TWO_CLASSES),
     -1, 117, "1A 93 42:0 42:1 45:1", "1", 0},
    {"FirstClearSecondEmpty", R"({"misc_driver": {"slot_word": 5}, "battery_class": )" TWO_CLASSES "}", 0, 115,
     "1A 93 42:0 45:0 42:1", "0", 0},
    // Interfaces of batteries that are not present are enumerated too, so
    // index 1 is still the second interface.
    {"NotPresentInterfaceKeepsIndex",
     TWO_PACKS(R"({"part_number": "HT-QBLP21", "date": "2012-02-09", "date_status": 2})", RECALLED_PACK,
               R"([{"design_capacity": 46080, "present": false}, {"design_capacity": 46080}])"),
     -1, 117, "1A 93 42:0 42:1 45:1", "1", 0},
    {"BothEmpty", R"({"misc_driver": {"slot_word": 5, "batteries": []}, "battery_class": )" TWO_CLASSES "}", 1,
     114, "1A 93 42:0 42:1", "", 0},

    // One battery: the identity query.
    {"NoPack", R"({"misc_driver": {"batteries": []}})", 1, 114, "1A 93 42:0", "", 0},
    {"DateStatusFailure", R"({"misc_driver": {"batteries": [{"part_number": "HT-QBLP21", "date": "2012-02-09", "date_status": 1}]}})",
     5, 118, "1A 93 42:0", "", 0},
    {"PartNumberNotPresent",
     R"({"misc_driver": {"batteries": [{"part_number": "HT-QBLP21", "date": "2012-02-09", "part_number_status": 2}]}})",
     1, 114, "1A 93 42:0 45:0", "", 0},
    {"PartNumberEmptyText",
     R"({"misc_driver": {"batteries": [{"part_number": {"hex": "00"}, "date": "2012-02-09"}]}})", 1, 114, "1A 93 42:0 45:0", "", 0},
    {"PartNumberTwelveBytes", PACK("HT-QBLP21XYZ", "\"2012-02-09\""), 0, 115, "1A 93 42:0 45:0", "0", 0},
    {"DatePackedZero", PACK("HT-QBLP21", "0"), 0, 115, "1A 93 42:0 45:0", "0", 0},
    {"DateBusyOnce", R"({"misc_driver": {"batteries": [{"part_number": "HT-QBLP21", "date": "2012-02-09", "date_status": [4, 0]}]}})",
     -1, 117, "1A 93 42:0 42:0 45:0", "0", 1},
    {"DateBusyTwice", R"({"misc_driver": {"batteries": [{"part_number": "HT-QBLP21", "date": "2012-02-09", "date_status": [4, 4]}]}})",
     5, 118, "1A 93 42:0 42:0", "", 1},
    {"PartNumberBusyOnce",
     R"({"misc_driver": {"batteries": [{"part_number": "HT-QBLP21", "date": "2012-02-09", "part_number_status": [4, 0]}]}})",
     -1, 117, "1A 93 42:0 45:0 45:0", "0", 1},
    {"PartNumberBusyTwice",
     R"({"misc_driver": {"batteries": [{"part_number": "HT-QBLP21", "date": "2012-02-09", "part_number_status": [4, 4]}]}})",
     5, 118, "1A 93 42:0 45:0 45:0", "", 1},

    // One battery: the capacity query.
    {"RelativeCapacity", R"({"battery_class": [{"design_capacity": 46080, "relative": true}]})", 5, 118,
     "1A 93 42:0 45:0", "0", 0},
    {"TagZero", R"({"battery_class": [{"design_capacity": 46080, "tag": 0}]})", 5, 118, "1A 93 42:0 45:0", "0", 0},
    {"TagFails", R"({"battery_class": [{"design_capacity": 46080, "fail_tag": {"last_error": 31}}]})", 5, 118,
     "1A 93 42:0 45:0", "0", 0},
    {"BatteryDeviceNotPresent", R"({"battery_class": [{"design_capacity": 46080, "present": false}]})", 5, 118,
     "1A 93 42:0 45:0", "", 0},
    {"NoBatteryInterface", R"({"battery_class": []})", 5, 118, "1A 93 42:0 45:0", "", 0},
    // A reply must cover the 4-byte tag and the information record up to
    // the end of DesignedCapacity (16 bytes); a longer record arrives cut
    // to the 36-byte buffer.
    {"TagReplyShort", R"({"battery_class": [{"design_capacity": 46080, "tag_reply_size": 3}]})", 5, 118,
     "1A 93 42:0 45:0", "0", 0},
    {"InformationReplyShort", R"({"battery_class": [{"design_capacity": 46080, "information_reply_size": 15}]})",
     5, 118, "1A 93 42:0 45:0", "0", 0},
    {"InformationReplyCoversCapacity",
     R"({"battery_class": [{"design_capacity": 46080, "information_reply_size": 16}]})", 0, 115, "1A 93 42:0 45:0",
     "0", 0},
    {"InformationReplyLonger", R"({"battery_class": [{"design_capacity": 46080, "information_reply_size": 40}]})",
     0, 115, "1A 93 42:0 45:0", "0", 0},
    // A detail size below the detail header: refused before the device is
    // opened.
    {"DetailSizeBelowHeader", R"({"battery_class": [{"design_capacity": 46080, "detail_required_size": 3}]})", 5,
     118, "1A 93 42:0 45:0", "", 0},

    // The recall tables: prefix rows for every class, range rows for
    // classes 1 and 2 only.
    {"YearPrefixClass1", PACK_ON("HT-K60", "HT-QBLP21", "2011-12-31", "46080"), -1, 117, "1A 93 42:0 45:0", "0", 0},
    {"YearPrefixClass3", PACK_ON("HT-E7", "HT-QBLP21", "2011-12-31", "46080"), -1, 117, "1A 93 42:0 45:0", "0", 0},
    {"DayPrefixClass6", PACK_ON("HT-R5", "HT-QBLP21", "2012-02-09", "46080"), -1, 117, "1A 93 42:0 45:0", "0", 0},
    {"RangeClass1", PACK_ON("HT-K60", "HT-QBLP21", "2012-02-10", "46080"), -1, 117, "1A 93 42:0 45:0", "0", 0},
    {"RangeClass2", PACK_ON("HT-KW", "HT-QBLP21", "2012-02-10", "46080"), -1, 117, "1A 93 42:0 45:0", "0", 0},
    {"RangeClass3", PACK_ON("HT-E7", "HT-QBLP21", "2012-02-10", "46080"), 0, 115, "1A 93 42:0 45:0", "0", 0},
    {"RangeClass4", PACK_ON("HT-D60", "HT-QBLP21", "2012-02-10", "46080"), 0, 115, "1A 93 42:0 45:0", "0", 0},
    {"RangeFirstDay", PACK_ON("HT-K60", "HT-QBLP21", "2012-02-05", "46080"), -1, 117, "1A 93 42:0 45:0", "0", 0},
    {"RangeLastDay", PACK_ON("HT-K60", "HT-QBLP21", "2012-05-06", "46080"), -1, 117, "1A 93 42:0 45:0", "0", 0},
    {"RangeDayAfter", PACK_ON("HT-K60", "HT-QBLP21", "2012-05-07", "46080"), 0, 115, "1A 93 42:0 45:0", "0", 0},
    {"OneDayRange", PACK_ON("HT-K60", "HT-QBLP23", "2012-11-29", "92160"), -1, 117, "1A 93 42:0 45:0", "0", 0},
    {"OneDayRangeNextDay", PACK_ON("HT-K60", "HT-QBLP23", "2012-11-30", "92160"), 0, 115, "1A 93 42:0 45:0", "0",
     0},
    {"OtherCapacity", PACK_ON("HT-K60", "HT-QBLP21", "2012-02-10", "46000"), 0, 115, "1A 93 42:0 45:0", "0", 0},
    {"SecondCapacityOfAPartNumber", PACK_ON("HT-K60", "HT-QBLP28", "2012-09-30", "18430"), -1, 117,
     "1A 93 42:0 45:0", "0", 0},
    {"MonthMissingFromItsRun", PACK_ON("HT-E7", "HT-QBLP27", "2012-01-15", "46080"), 0, 115, "1A 93 42:0 45:0",
     "0", 0},
    {"PartNumberLowerCase", PACK_ON("HT-K60", "ht-qblp21", "2012-02-10", "46080"), 0, 115, "1A 93 42:0 45:0", "0",
     0},
    {"PartNumberTrailingBlank", PACK_ON("HT-K60", "HT-QBLP21 ", "2012-02-10", "46080"), 0, 115,
     "1A 93 42:0 45:0", "0", 0},
    // Month 13 of 2011, packed by hand: the date text 20111301 still
    // begins with the year prefix 2011.
    {"Month13", PACK("HT-QBLP21", "16289"), -1, 117, "1A 93 42:0 45:0", "0", 0},
};

#undef TWO_PACKS
#undef CLEAR_PACK
#undef RECALLED_PACK
#undef TWO_CLASSES
#undef PACK
#undef PACK_ON

std::vector<std::string> Words(const char *text) {
    std::istringstream s(text);
    std::vector<std::string> out;
    std::string w;
    while (s >> w) out.push_back(w);
    return out;
}

std::vector<int> Numbers(const char *text) {
    std::vector<int> out;
    for (const std::string &w : Words(text)) out.push_back(std::stoi(w));
    return out;
}

int CapsuleCount(const RunResult &run) {
    int n = 0;
    for (const json &j : MiscRequests(run))
        if (j["code"] == IOCTL_MISC_CAPSULE) n++;
    return n;
}

class BatteryRun : public ::testing::TestWithParam<std::tuple<BatteryCase, bool>> {};

TEST_P(BatteryRun, EndsWithItsOutcome) {
    const BatteryCase &c = std::get<0>(GetParam());
    const bool clear = std::get<1>(GetParam());
    json machine = Patched(c.patch);
    if (clear) machine["misc_driver"]["sessions"] = false;
    CWorkDir dir;
    RunResult run = RunMachine(dir, machine);
    ExpectOutcome(run, c.exit_status == -1 ? kExitRecalled : c.exit_status, c.message);
    EXPECT_EQ(PhasesSent(run), clear ? 0 : 3);

    const std::vector<std::string> expected = Words(c.requests);
    // With sessions the capsules are enciphered: only their number shows.
    EXPECT_EQ(CapsuleCount(run), (int)expected.size());
    if (clear) {
        EXPECT_EQ(ClearMiscFunctions(run), expected);
    }
    EXPECT_EQ(BatteryDevicesQueried(run), Numbers(c.devices));
    EXPECT_EQ(CountSleeps(run, 100), c.busy_pauses);
    EXPECT_EQ(Events(run, "sleep").size(), (size_t)c.busy_pauses);
}

INSTANTIATE_TEST_SUITE_P(Batteries, BatteryRun, ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<BatteryCase, bool>> &p) {
                             return std::string(std::get<0>(p.param).name) +
                                    (std::get<1>(p.param) ? "_Clear" : "_Session");
                         });

}  // namespace
}  // namespace e2e
