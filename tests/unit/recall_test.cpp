// The model table, the two recall tables and the matching rules.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "recall.h"

namespace {

struct MatchRow {
    std::vector<BYTE> classes;
    const char *part;
    DWORD capacity;
    const char *dateText;
    DWORD date;
    BYTE expected;
};

TEST(MatchRecallTables, Verdicts) {
    const std::vector<BYTE> all = {1, 2, 3, 4, 5, 6}, rangeClasses = {1, 2},
                            prefixOnly = {0, 3, 4, 5, 6, 7};
    const MatchRow rows[] = {
        // Prefix row 33 ("2011") under every class.
        {all, "HT-QBLP21", 46080, "20111231", 20111231, CHECK_RECALLED},
        // No prefix row; range row 0 (20120205 to 20120506) only for classes 1 and 2.
        {rangeClasses, "HT-QBLP21", 46080, "20120210", 20120210, CHECK_RECALLED},
        {prefixOnly, "HT-QBLP21", 46080, "20120210", 20120210, CHECK_CLEAR},
        // Both bounds of a range are inside it.
        {rangeClasses, "HT-QBLP21", 46080, "20120205", 20120205, CHECK_RECALLED},
        {rangeClasses, "HT-QBLP21", 46080, "20120506", 20120506, CHECK_RECALLED},
        {rangeClasses, "HT-QBLP21", 46080, "20120507", 20120507, CHECK_CLEAR},
        {rangeClasses, "HT-QBLP21", 46080, "20120204", 20120204, CHECK_CLEAR},
        // Range row 10, a single day.
        {rangeClasses, "HT-QBLP23", 92160, "20121129", 20121129, CHECK_RECALLED},
        {prefixOnly, "HT-QBLP23", 92160, "20121129", 20121129, CHECK_CLEAR},
        {rangeClasses, "HT-QBLP23", 92160, "20121130", 20121130, CHECK_CLEAR},
        // A single-day prefix (row 35) under a prefix-only class.
        {all, "HT-QBLP21", 46080, "20120209", 20120209, CHECK_RECALLED},
        // Capacity, case and trailing blanks must match exactly.
        {all, "HT-QBLP21", 46000, "20111231", 20111231, CHECK_CLEAR},
        {all, "HT-QBLP21", 46000, "20120210", 20120210, CHECK_CLEAR},
        {all, "ht-qblp21", 46080, "20111231", 20111231, CHECK_CLEAR},
        {all, "HT-QBLP21 ", 46080, "20111231", 20111231, CHECK_CLEAR},
        {all, "HT-QBLP2", 46080, "20111231", 20111231, CHECK_CLEAR},
        {all, "HT-QBLP29", 62640, "20111031", 20111031, CHECK_CLEAR},
        {all, "HT-QBLP29A", 62640, "20111031", 20111031, CHECK_RECALLED},
        // The prefix test reads the text, the range test the number.
        {all, "HT-QBLP21", 46080, "20111231", 0, CHECK_RECALLED},
        {rangeClasses, "HT-QBLP21", 46080, "19800000", 20120210, CHECK_RECALLED},
        {prefixOnly, "HT-QBLP21", 46080, "19800000", 20120210, CHECK_CLEAR},
        // One part number under two capacities, and the gaps of the runs.
        {all, "HT-QBLP28", 18430, "20120915", 20120915, CHECK_RECALLED},
        {all, "HT-QBLP28", 23040, "20120915", 20120915, CHECK_RECALLED},
        {all, "HT-QBLP28", 18430, "20121001", 20121001, CHECK_CLEAR},
        {all, "HT-QBLP27", 46080, "20120115", 20120115, CHECK_CLEAR},
        {all, "HT-QBLP27", 46080, "20120301", 20120301, CHECK_RECALLED},
        {all, "HT-QBLP27", 41760, "20120115", 20120115, CHECK_CLEAR},
        {all, "HT-QBLP25", 83520, "20111028", 20111028, CHECK_RECALLED},
        {all, "HT-QBLP25", 83520, "20111027", 20111027, CHECK_CLEAR},
        {rangeClasses, "HT-QBLP25", 92160, "20131205", 20131205, CHECK_RECALLED},
        {all, "HT-QBLP26", 92160, "20110401", 20110401, CHECK_RECALLED},
        {all, "HT-QBLP26", 92160, "20110331", 20110331, CHECK_CLEAR},
        {all, "HT-QBLP31", 62640, "20110729", 20110729, CHECK_RECALLED},
        {all, "", 46080, "20111231", 20111231, CHECK_CLEAR},
    };
    for (const MatchRow &row : rows) {
        for (BYTE c : row.classes) {
            SCOPED_TRACE(std::string(row.part) + " " + std::to_string(row.capacity) + " " +
                         row.dateText + " class " + std::to_string(c));
            EXPECT_EQ(MatchRecallTables(c, row.part, row.capacity, row.dateText, row.date),
                      row.expected);
        }
    }
}

TEST(FindModelClass, FirstRowThatBeginsTheName) {
    const struct {
        const char *model;
        bool found;
        BYTE modelClass;
    } rows[] = {
        {"HT-K4", true, 6},  {"HT-R4", true, 6},     {"HT-K5", true, 6},   {"HT-R5", true, 6},
        {"HT-K60", true, 1}, {"HT-R60", true, 1},    {"HT-KW", true, 2},   {"HT-RW", true, 2},
        {"HT-E7", true, 3},  {"HT-D60", true, 4},    {"HT-D5", true, 4},   {"HT-M60", true, 5},
        {"HT-M5", true, 5},  {"HT-K60XYZ", true, 1}, {"HT-K60A", true, 1}, {"HT-D50X", true, 4},
        {"HT-K6", false, 0}, {"HT-K", false, 0},     {"ht-k60", false, 0}, {"", false, 0},
        {"HTK60", false, 0}, {" HT-K60", false, 0},  {"HT-M6", false, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.model);
        BYTE found = 0xEE;
        EXPECT_EQ(FindModelClass(row.model, &found), row.found ? TRUE : FALSE);
        EXPECT_EQ(found, row.found ? row.modelClass : 0xEE);
    }
}

TEST(RecallTables, Shapes) {
    EXPECT_EQ(sizeof g_ModelTable / sizeof g_ModelTable[0], 13u);
    EXPECT_EQ(sizeof g_RecallRangeTable / sizeof g_RecallRangeTable[0], 23u);
    EXPECT_EQ(sizeof g_RecallPrefixTable / sizeof g_RecallPrefixTable[0], 103u);
    EXPECT_EQ(MODEL_TABLE_ROWS, 13u);
    EXPECT_EQ(RECALL_RANGE_ROWS, 23u);
    EXPECT_EQ(RECALL_PREFIX_ROWS, 103u);

    // Rows 10 and 11 of the range table: the later lot first.
    EXPECT_STREQ(g_RecallRangeTable[10].szPartNumber, "HT-QBLP23");
    EXPECT_EQ(g_RecallRangeTable[10].dwDateFrom, 20121129u);
    EXPECT_EQ(g_RecallRangeTable[10].dwDateTo, 20121129u);
    EXPECT_EQ(g_RecallRangeTable[11].dwDateFrom, 20120914u);
    EXPECT_EQ(g_RecallRangeTable[11].dwDateTo, 20120923u);
    EXPECT_STREQ(g_RecallRangeTable[22].szPartNumber, "HT-QBLP25");
    EXPECT_EQ(g_RecallRangeTable[22].dwDateFrom, 20140213u);

    // The runs of the prefix table: rows, part number, capacity, first and
    // last prefix.
    const struct {
        DWORD first, last;
        const char *part;
        DWORD capacity;
        const char *firstPrefix, *lastPrefix;
    } runs[] = {
        {0, 8, "HT-QBLP26", 92160, "201104", "201112"},
        {9, 21, "HT-QBLP25", 92160, "201104", "201204"},
        {22, 32, "HT-QBLP27", 46080, "201104", "201204"},
        {33, 35, "HT-QBLP21", 46080, "2011", "20120209"},
        {36, 44, "HT-QBLP23", 92160, "2011", "20120410"},
        {45, 52, "HT-QBLP22", 46080, "2011", "20120308"},
        {53, 56, "HT-QBLP24", 92160, "2011", "20120308"},
        {57, 66, "HT-QBLP28", 23040, "2011", "201209"},
        {67, 76, "HT-QBLP28", 18430, "2011", "201209"},
        {77, 86, "HT-QBLP25", 83520, "20111028", "201203"},
        {87, 91, "HT-QBLP27", 41760, "201111", "201204"},
        {92, 96, "HT-QBLP29A", 62640, "20111031", "201202"},
        {97, 99, "HT-QBLP30", 41760, "20110726", "201108"},
        {100, 102, "HT-QBLP31", 62640, "20110725", "20110729"},
    };
    DWORD next = 0;
    for (const auto &run : runs) {
        SCOPED_TRACE(std::to_string(run.first) + " to " + std::to_string(run.last));
        EXPECT_EQ(run.first, next);
        next = run.last + 1;
        for (DWORD i = run.first; i <= run.last; i++) {
            EXPECT_STREQ(g_RecallPrefixTable[i].szPartNumber, run.part) << "row " << i;
            EXPECT_EQ(g_RecallPrefixTable[i].dwDesignCapacity, run.capacity) << "row " << i;
        }
        EXPECT_STREQ(g_RecallPrefixTable[run.first].szDatePrefix, run.firstPrefix);
        EXPECT_STREQ(g_RecallPrefixTable[run.last].szDatePrefix, run.lastPrefix);
    }
    EXPECT_EQ(next, RECALL_PREFIX_ROWS);
    // The gaps of two runs.
    for (DWORD i = 22; i <= 32; i++) {
        EXPECT_STRNE(g_RecallPrefixTable[i].szDatePrefix, "201201");
        EXPECT_STRNE(g_RecallPrefixTable[i].szDatePrefix, "201202");
    }
    for (DWORD i = 87; i <= 91; i++) EXPECT_STRNE(g_RecallPrefixTable[i].szDatePrefix, "201201");
}

}  // namespace
