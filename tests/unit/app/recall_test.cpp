// The model table, the two recall tables and the matching rules.
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "application.h"
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

TEST(NormalizeModelName, DashAfterTheFirstTwoCharacters) {
    const struct {
        const char *raw;
        const char *normalized;
    } rows[] = {
        {"HTK60", "HT-K60"}, {"HT-K60", "HT-K60"}, {"AB", "AB-"},
        {"A", "A"},  // the dash lies beyond the terminator
        {"", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.raw);
        BYTE raw[APP_TEXT_CHARS] = {}, scratch[APP_TEXT_CHARS] = {};
        memcpy(raw, row.raw, strlen(row.raw));
        NormalizeModelName(raw, sizeof raw, scratch, sizeof scratch);
        EXPECT_STREQ((const char *)raw, row.normalized);
    }
}

// The tables as written out by hand in recall_tables.txt, each row kept
// with its line as it reads there.
struct Transcription {
    struct Model {
        int bClass;
        std::string name, line;
    };
    struct Range {
        std::string part;
        DWORD capacity, from, to;
        std::string line;
    };
    struct Prefix {
        std::string part;
        DWORD capacity;
        std::string prefix, line;
    };
    std::vector<Model> models;
    std::vector<Range> ranges;
    std::vector<Prefix> prefixes;
};

bool AllDigits(const std::string &s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

void ReadTranscription(Transcription &t) {
    std::ifstream file(CELLVARO_RECALL_TABLES);
    ASSERT_TRUE(file) << "cannot open " << CELLVARO_RECALL_TABLES;
    std::string text;
    for (int number = 1; std::getline(file, text); number++) {
        std::istringstream in(text);
        std::vector<std::string> f;
        for (std::string word; in >> word;) f.push_back(word);
        if (f.empty() || f[0][0] == '#') continue;
        std::string line = f[0];
        for (size_t i = 1; i < f.size(); i++) line += " " + f[i];
        const std::string where = std::string(CELLVARO_RECALL_TABLES) + ":" +
                                  std::to_string(number) + ": " + text;
        if (f[0] == "model" && f.size() == 3 && AllDigits(f[1])) {
            t.models.push_back({std::stoi(f[1]), f[2], line});
        } else if (f[0] == "range" && f.size() == 5 && AllDigits(f[2]) && AllDigits(f[3]) &&
                   AllDigits(f[4]) && f[3].size() == 8 && f[4].size() == 8) {
            t.ranges.push_back({f[1], (DWORD)std::stoul(f[2]), (DWORD)std::stoul(f[3]),
                                (DWORD)std::stoul(f[4]), line});
        } else if (f[0] == "prefix" && f.size() == 4 && AllDigits(f[2]) && AllDigits(f[3]) &&
                   (f[3].size() == 4 || f[3].size() == 6 || f[3].size() == 8)) {
            t.prefixes.push_back({f[1], (DWORD)std::stoul(f[2]), f[3], line});
        } else {
            FAIL() << "cannot read " << where;
        }
    }
}

// The compiled rows, in the transcription's line format.
std::string Text(const char (&field)[RECALL_TEXT_BYTES]) {
    return std::string(field, strnlen(field, RECALL_TEXT_BYTES));
}
std::string Line(const MODEL_ENTRY &row) {
    return "model " + std::to_string(row.bClass) + " " + Text(row.szModel);
}
std::string Line(const RECALL_RANGE_ENTRY &row) {
    return "range " + Text(row.szPartNumber) + " " + std::to_string(row.dwDesignCapacity) + " " +
           std::to_string(row.dwDateFrom) + " " + std::to_string(row.dwDateTo);
}
std::string Line(const RECALL_PREFIX_ENTRY &row) {
    return "prefix " + Text(row.szPartNumber) + " " + std::to_string(row.dwDesignCapacity) + " " +
           Text(row.szDatePrefix);
}

TEST(RecallTables, CompiledAsTranscribed) {
    Transcription t;
    ASSERT_NO_FATAL_FAILURE(ReadTranscription(t));
    ASSERT_EQ(t.models.size(), MODEL_TABLE_ROWS);
    ASSERT_EQ(t.ranges.size(), RECALL_RANGE_ROWS);
    ASSERT_EQ(t.prefixes.size(), RECALL_PREFIX_ROWS);
    EXPECT_EQ(sizeof g_ModelTable / sizeof g_ModelTable[0], MODEL_TABLE_ROWS);
    EXPECT_EQ(sizeof g_RecallRangeTable / sizeof g_RecallRangeTable[0], RECALL_RANGE_ROWS);
    EXPECT_EQ(sizeof g_RecallPrefixTable / sizeof g_RecallPrefixTable[0], RECALL_PREFIX_ROWS);
    for (DWORD i = 0; i < MODEL_TABLE_ROWS; i++)
        EXPECT_EQ(Line(g_ModelTable[i]), t.models[i].line) << "model row " << i;
    for (DWORD i = 0; i < RECALL_RANGE_ROWS; i++)
        EXPECT_EQ(Line(g_RecallRangeTable[i]), t.ranges[i].line) << "range row " << i;
    for (DWORD i = 0; i < RECALL_PREFIX_ROWS; i++)
        EXPECT_EQ(Line(g_RecallPrefixTable[i]), t.prefixes[i].line) << "prefix row " << i;
}

// Calendar steps over yyyymmdd numbers.
int DaysInMonth(DWORD year, DWORD month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return month == 2 && leap ? 29 : days[month - 1];
}
DWORD NextDay(DWORD date) {
    DWORD y = date / 10000, m = date / 100 % 100, d = date % 100 + 1;
    if ((int)d > DaysInMonth(y, m)) {
        d = 1;
        if (++m > 12) m = 1, y++;
    }
    return y * 10000 + m * 100 + d;
}
DWORD PreviousDay(DWORD date) {
    DWORD y = date / 10000, m = date / 100 % 100, d = date % 100 - 1;
    if (d == 0) {
        if (--m == 0) m = 12, y--;
        d = DaysInMonth(y, m);
    }
    return y * 10000 + m * 100 + d;
}

// The verdict of the transcription, matched independently of the product:
// recalled when any prefix row, or under class 1 or 2 any range row,
// matches the part number, the capacity and the date.
BYTE TranscribedVerdict(const Transcription &t, BYTE bClass, const std::string &part,
                        DWORD capacity, DWORD date) {
    const std::string text = std::to_string(date);
    for (const auto &row : t.prefixes)
        if (row.part == part && row.capacity == capacity &&
            text.compare(0, row.prefix.size(), row.prefix) == 0)
            return CHECK_RECALLED;
    if (bClass == 1 || bClass == 2)
        for (const auto &row : t.ranges)
            if (row.part == part && row.capacity == capacity && row.from <= date && date <= row.to)
                return CHECK_RECALLED;
    return CHECK_CLEAR;
}

std::string VerdictName(BYTE verdict) {
    return verdict == CHECK_RECALLED ? "recalled"
           : verdict == CHECK_CLEAR  ? "clear"
                                     : "state " + std::to_string(verdict);
}

struct VerdictCase {
    std::string source;  // the row and the day that gave the case
    std::string part;
    DWORD capacity;
    DWORD date;
    BYTE bClass;
    BYTE expected;
};

std::ostream &operator<<(std::ostream &out, const VerdictCase &c) {
    return out << c.source << ": " << c.part << ", " << c.capacity << " mWh, made " << c.date
               << ", class " << (int)c.bClass << ": expected " << VerdictName(c.expected);
}

// Every row's boundary days, each under every class and with the row's
// capacity and one that differs.
std::vector<VerdictCase> BoundaryCases(const Transcription &t) {
    std::vector<VerdictCase> cases;
    auto add = [&](const std::string &row, const std::string &part, DWORD capacity,
                   const std::vector<std::pair<const char *, DWORD>> &days) {
        for (const auto &day : days)
            for (DWORD c : {capacity, capacity - 1})
                for (BYTE bClass = 1; bClass <= 6; bClass++)
                    cases.push_back({row + ", " + day.first, part, c, day.second, bClass,
                                     TranscribedVerdict(t, bClass, part, c, day.second)});
    };
    for (size_t i = 0; i < t.ranges.size(); i++) {
        const auto &row = t.ranges[i];
        DWORD inside = row.from;
        for (DWORD step = row.from, n = 0; step < row.to; step = NextDay(step), n++)
            if (n % 2) inside = NextDay(inside);
        add("range row " + std::to_string(i) + " (" + row.line + ")", row.part, row.capacity,
            {{"inside", inside},
             {"first day", row.from},
             {"last day", row.to},
             {"day before", PreviousDay(row.from)},
             {"day after", NextDay(row.to)}});
    }
    for (size_t i = 0; i < t.prefixes.size(); i++) {
        const auto &row = t.prefixes[i];
        const DWORD digits = (DWORD)std::stoul(row.prefix);
        DWORD first = digits, last = digits;
        if (row.prefix.size() == 4) {
            first = digits * 10000 + 101;
            last = digits * 10000 + 1231;
        } else if (row.prefix.size() == 6) {
            first = digits * 100 + 1;
            last = digits * 100 + DaysInMonth(digits / 100, digits % 100);
        }
        add("prefix row " + std::to_string(i) + " (" + row.line + ")", row.part, row.capacity,
            {{"first day", first},
             {"last day", last},
             {"day before", PreviousDay(first)},
             {"day after", NextDay(last)}});
    }
    return cases;
}

TEST(RecallTables, VerdictsAtEveryRowsBoundaries) {
    Transcription t;
    ASSERT_NO_FATAL_FAILURE(ReadTranscription(t));
    ASSERT_FALSE(t.ranges.empty());
    ASSERT_FALSE(t.prefixes.empty());
    size_t recalled = 0, clear = 0;
    for (const VerdictCase &c : BoundaryCases(t)) {
        (c.expected == CHECK_RECALLED ? recalled : clear)++;
        const std::string text = std::to_string(c.date);
        const BYTE verdict =
            MatchRecallTables(c.bClass, c.part.c_str(), c.capacity, text.c_str(), c.date);
        EXPECT_EQ(VerdictName(verdict), VerdictName(c.expected)) << c;
    }
    // Both verdicts occur, so that neither a matcher that always recalls nor
    // one that never does can pass.
    EXPECT_GT(recalled, 0u);
    EXPECT_GT(clear, 0u);
}

// The transcription's model lookup: the first row whose name begins the text.
int TranscribedClass(const Transcription &t, const std::string &model) {
    for (const auto &row : t.models)
        if (model.compare(0, row.name.size(), row.name) == 0) return row.bClass;
    return -1;
}

TEST(RecallTables, ModelClassOfNamesAtEveryRow) {
    Transcription t;
    ASSERT_NO_FATAL_FAILURE(ReadTranscription(t));
    ASSERT_FALSE(t.models.empty());
    for (size_t i = 0; i < t.models.size(); i++) {
        const std::string &name = t.models[i].name;
        for (const std::string &model : {name, name + "X", name.substr(0, name.size() - 1)}) {
            const int expected = TranscribedClass(t, model);
            BYTE found = 0xEE;
            const BOOL result = FindModelClass(model.c_str(), &found);
            const std::string got = result ? "class " + std::to_string(found) : "no row";
            EXPECT_EQ(got, expected < 0 ? "no row" : "class " + std::to_string(expected))
                << "model row " << i << " (" << t.models[i].line << "): model text \"" << model
                << "\"";
        }
    }
}

}  // namespace
