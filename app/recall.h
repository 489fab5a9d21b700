// The model table, the two recall tables and the matching.
#pragma once

#include "platform.h"

constexpr DWORD RECALL_TEXT_BYTES = 20;

struct MODEL_ENTRY {
    BYTE bClass;
    char szModel[RECALL_TEXT_BYTES];
};

struct RECALL_RANGE_ENTRY {
    char szPartNumber[RECALL_TEXT_BYTES];
    DWORD dwDesignCapacity;
    DWORD dwDateFrom;
    DWORD dwDateTo;
};

struct RECALL_PREFIX_ENTRY {
    char szPartNumber[RECALL_TEXT_BYTES];
    DWORD dwDesignCapacity;
    char szDatePrefix[RECALL_TEXT_BYTES];
};

constexpr DWORD MODEL_TABLE_ROWS = 13;
constexpr DWORD RECALL_RANGE_ROWS = 23;
constexpr DWORD RECALL_PREFIX_ROWS = 103;

extern const MODEL_ENTRY g_ModelTable[MODEL_TABLE_ROWS];
extern const RECALL_RANGE_ENTRY g_RecallRangeTable[RECALL_RANGE_ROWS];
extern const RECALL_PREFIX_ENTRY g_RecallPrefixTable[RECALL_PREFIX_ROWS];

// The model name as the tables hold it: a '-' after the first two
// characters when the driver's text has none there.
void NormalizeModelName(BYTE *raw, DWORD rawSize, BYTE *scratch, DWORD scratchSize);

// The class of the first model row whose name begins the model text.
BOOL FindModelClass(const char *pModelText, BYTE *pClass);

// The state of the battery loop; it only rises: no battery seen, a clear
// battery, a recalled one (which ends the loop).
enum : BYTE {
    CHECK_NO_BATTERY = 0,
    CHECK_CLEAR = 1,
    CHECK_RECALLED = 2,
};

// The verdict on one examined pack: CHECK_RECALLED or CHECK_CLEAR.
BYTE MatchRecallTables(BYTE bClass, const char *pPartNumber, DWORD dwDesignCapacity,
                       const char *pDateText, DWORD dwDate);
