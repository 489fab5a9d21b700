// The built-in tables, the model name's form and the verdict on one pack.
#include "recall.h"

// Leading characters of the normalised model names, and their class:
// classes 1 and 2 use both recall tables, 3 to 6 the prefix table alone.
const MODEL_ENTRY g_ModelTable[MODEL_TABLE_ROWS] = {
    {6, "HT-K4"},
    {6, "HT-R4"},
    {6, "HT-K5"},
    {6, "HT-R5"},
    {1, "HT-K60"},
    {1, "HT-R60"},
    {2, "HT-KW"},
    {2, "HT-RW"},
    {3, "HT-E7"},
    {4, "HT-D60"},
    {4, "HT-D5"},
    {5, "HT-M60"},
    {5, "HT-M5"},
};

// Lots by part number, designed capacity (mWh) and an inclusive range of
// manufacture dates (yyyymmdd).
const RECALL_RANGE_ENTRY g_RecallRangeTable[RECALL_RANGE_ROWS] = {
    {"HT-QBLP21", 46080, 20120205, 20120506},
    {"HT-QBLP21", 46080, 20120918, 20121105},
    {"HT-QBLP21", 46080, 20130223, 20130224},
    {"HT-QBLP21", 46080, 20130303, 20130312},
    {"HT-QBLP21", 46080, 20140105, 20140117},
    {"HT-QBLP21", 46080, 20140215, 20140218},
    {"HT-QBLP22", 46080, 20120205, 20120505},
    {"HT-QBLP22", 46080, 20120927, 20120928},
    {"HT-QBLP22", 46080, 20140117, 20140118},
    {"HT-QBLP23", 92160, 20120205, 20120509},
    {"HT-QBLP23", 92160, 20121129, 20121129},
    {"HT-QBLP23", 92160, 20120914, 20120923},
    {"HT-QBLP23", 92160, 20120927, 20121008},
    {"HT-QBLP23", 92160, 20121109, 20121110},
    {"HT-QBLP23", 92160, 20121203, 20121203},
    {"HT-QBLP23", 92160, 20130304, 20130305},
    {"HT-QBLP23", 92160, 20140106, 20140126},
    {"HT-QBLP23", 92160, 20140214, 20140218},
    {"HT-QBLP24", 92160, 20120206, 20120506},
    {"HT-QBLP24", 92160, 20120924, 20120928},
    {"HT-QBLP24", 92160, 20140105, 20140106},
    {"HT-QBLP25", 92160, 20131205, 20131205},
    {"HT-QBLP25", 92160, 20140213, 20140213},
};

// Lots by part number, designed capacity (mWh) and the leading digits of
// the manufacture date text: a year, a month or a day.
const RECALL_PREFIX_ENTRY g_RecallPrefixTable[RECALL_PREFIX_ROWS] = {
    {"HT-QBLP26", 92160, "201104"},
    {"HT-QBLP26", 92160, "201105"},
    {"HT-QBLP26", 92160, "201106"},
    {"HT-QBLP26", 92160, "201107"},
    {"HT-QBLP26", 92160, "201108"},
    {"HT-QBLP26", 92160, "201109"},
    {"HT-QBLP26", 92160, "201110"},
    {"HT-QBLP26", 92160, "201111"},
    {"HT-QBLP26", 92160, "201112"},
    {"HT-QBLP25", 92160, "201104"},
    {"HT-QBLP25", 92160, "201105"},
    {"HT-QBLP25", 92160, "201106"},
    {"HT-QBLP25", 92160, "201107"},
    {"HT-QBLP25", 92160, "201108"},
    {"HT-QBLP25", 92160, "201109"},
    {"HT-QBLP25", 92160, "201110"},
    {"HT-QBLP25", 92160, "201111"},
    {"HT-QBLP25", 92160, "201112"},
    {"HT-QBLP25", 92160, "201201"},
    {"HT-QBLP25", 92160, "201202"},
    {"HT-QBLP25", 92160, "201203"},
    {"HT-QBLP25", 92160, "201204"},
    {"HT-QBLP27", 46080, "201104"},
    {"HT-QBLP27", 46080, "201105"},
    {"HT-QBLP27", 46080, "201106"},
    {"HT-QBLP27", 46080, "201107"},
    {"HT-QBLP27", 46080, "201108"},
    {"HT-QBLP27", 46080, "201109"},
    {"HT-QBLP27", 46080, "201110"},
    {"HT-QBLP27", 46080, "201111"},
    {"HT-QBLP27", 46080, "201112"},
    {"HT-QBLP27", 46080, "201203"},
    {"HT-QBLP27", 46080, "201204"},
    {"HT-QBLP21", 46080, "2011"},
    {"HT-QBLP21", 46080, "201201"},
    {"HT-QBLP21", 46080, "20120209"},
    {"HT-QBLP23", 92160, "2011"},
    {"HT-QBLP23", 92160, "201201"},
    {"HT-QBLP23", 92160, "20120204"},
    {"HT-QBLP23", 92160, "20120219"},
    {"HT-QBLP23", 92160, "20120220"},
    {"HT-QBLP23", 92160, "20120223"},
    {"HT-QBLP23", 92160, "20120316"},
    {"HT-QBLP23", 92160, "20120405"},
    {"HT-QBLP23", 92160, "20120410"},
    {"HT-QBLP22", 46080, "2011"},
    {"HT-QBLP22", 46080, "201201"},
    {"HT-QBLP22", 46080, "20120204"},
    {"HT-QBLP22", 46080, "20120208"},
    {"HT-QBLP22", 46080, "20120209"},
    {"HT-QBLP22", 46080, "20120306"},
    {"HT-QBLP22", 46080, "20120307"},
    {"HT-QBLP22", 46080, "20120308"},
    {"HT-QBLP24", 92160, "2011"},
    {"HT-QBLP24", 92160, "201201"},
    {"HT-QBLP24", 92160, "20120307"},
    {"HT-QBLP24", 92160, "20120308"},
    {"HT-QBLP28", 23040, "2011"},
    {"HT-QBLP28", 23040, "201201"},
    {"HT-QBLP28", 23040, "201202"},
    {"HT-QBLP28", 23040, "201203"},
    {"HT-QBLP28", 23040, "201204"},
    {"HT-QBLP28", 23040, "201205"},
    {"HT-QBLP28", 23040, "201206"},
    {"HT-QBLP28", 23040, "201207"},
    {"HT-QBLP28", 23040, "201208"},
    {"HT-QBLP28", 23040, "201209"},
    {"HT-QBLP28", 18430, "2011"},
    {"HT-QBLP28", 18430, "201201"},
    {"HT-QBLP28", 18430, "201202"},
    {"HT-QBLP28", 18430, "201203"},
    {"HT-QBLP28", 18430, "201204"},
    {"HT-QBLP28", 18430, "201205"},
    {"HT-QBLP28", 18430, "201206"},
    {"HT-QBLP28", 18430, "201207"},
    {"HT-QBLP28", 18430, "201208"},
    {"HT-QBLP28", 18430, "201209"},
    {"HT-QBLP25", 83520, "20111028"},
    {"HT-QBLP25", 83520, "20111115"},
    {"HT-QBLP25", 83520, "20111116"},
    {"HT-QBLP25", 83520, "20111128"},
    {"HT-QBLP25", 83520, "20111129"},
    {"HT-QBLP25", 83520, "20111130"},
    {"HT-QBLP25", 83520, "201112"},
    {"HT-QBLP25", 83520, "201201"},
    {"HT-QBLP25", 83520, "201202"},
    {"HT-QBLP25", 83520, "201203"},
    {"HT-QBLP27", 41760, "201111"},
    {"HT-QBLP27", 41760, "201112"},
    {"HT-QBLP27", 41760, "201202"},
    {"HT-QBLP27", 41760, "201203"},
    {"HT-QBLP27", 41760, "201204"},
    {"HT-QBLP29A", 62640, "20111031"},
    {"HT-QBLP29A", 62640, "201111"},
    {"HT-QBLP29A", 62640, "201112"},
    {"HT-QBLP29A", 62640, "201201"},
    {"HT-QBLP29A", 62640, "201202"},
    {"HT-QBLP30", 41760, "20110726"},
    {"HT-QBLP30", 41760, "20110727"},
    {"HT-QBLP30", 41760, "201108"},
    {"HT-QBLP31", 62640, "20110725"},
    {"HT-QBLP31", 62640, "20110726"},
    {"HT-QBLP31", 62640, "20110729"},
};

BOOL FindModelClass(const char *pModelText, BYTE *pClass) {
    if (!pModelText || !pClass) return FALSE;
    for (DWORD i = 0; i < MODEL_TABLE_ROWS; i++) {
        const char *name = g_ModelTable[i].szModel;
        if (strncmp(pModelText, name, strlen(name)) == 0) {
            *pClass = g_ModelTable[i].bClass;
            return TRUE;
        }
    }
    return FALSE;
}

BYTE MatchRecallTables(BYTE bClass, const char *pPartNumber, DWORD dwDesignCapacity,
                       const char *pDateText, DWORD dwDate) {
    for (DWORD i = 0; i < RECALL_PREFIX_ROWS; i++) {
        const RECALL_PREFIX_ENTRY &row = g_RecallPrefixTable[i];
        if (strcmp(pPartNumber, row.szPartNumber) == 0 && dwDesignCapacity == row.dwDesignCapacity &&
            strncmp(pDateText, row.szDatePrefix, strlen(row.szDatePrefix)) == 0)
            return CHECK_RECALLED;
    }
    if (bClass == 1 || bClass == 2) {
        for (DWORD i = 0; i < RECALL_RANGE_ROWS; i++) {
            const RECALL_RANGE_ENTRY &row = g_RecallRangeTable[i];
            if (strcmp(pPartNumber, row.szPartNumber) == 0 &&
                dwDesignCapacity == row.dwDesignCapacity && row.dwDateFrom <= dwDate &&
                dwDate <= row.dwDateTo)
                return CHECK_RECALLED;
        }
    }
    return CHECK_CLEAR;
}

void NormalizeModelName(BYTE *raw, DWORD rawSize, BYTE *scratch, DWORD scratchSize) {
    if (raw[2] == '-') return;
    // XY1234 becomes XY-1234; a text shorter than two characters keeps its
    // terminator before the dash.
    scratch[0] = raw[0];
    scratch[1] = raw[1];
    scratch[2] = '-';
    strncpy_s((char *)scratch + 3, scratchSize - 3, (const char *)raw + 2, _TRUNCATE);
    strncpy_s((char *)raw, rawSize, (const char *)scratch, _TRUNCATE);
}
