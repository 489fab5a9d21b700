// The run's sequence from opening the driver to the recall decision, and
// the battery loop.
#include "run.h"

#include "application.h"
#include "battery.h"
#include "misc_common.h"
#include "recall.h"

using namespace MiscCommon;

namespace {
constexpr DWORD kModelRequestSize = 258;  // the buffer keeps two zero bytes after it
constexpr BYTE kSupportedPlatform = 3;
}  // namespace

int CheckBatteries(BYTE bClass) {
    BYTE state = CHECK_NO_BATTERY;
    char partNumber[BATTERY_TEXT_BYTES];
    char dateText[BATTERY_TEXT_BYTES];
    for (WORD index = 0; index < g_wBatteryCount && state != CHECK_RECALLED; index++) {
        memset(partNumber, 0, sizeof partNumber);
        memset(dateText, 0, sizeof dateText);
        DWORD date = 0, capacity = 0;
        if (!GetBatteryIdentity(index, partNumber, &date, dateText)) return OUTCOME_QUERY_ERROR;
        // An empty slot: no part number (or no terminator in the buffer), or no date.
        if (memchr(partNumber, 0, sizeof partNumber) == nullptr || partNumber[0] == 0 || date == 0)
            continue;
        if (!GetBatteryDesignCapacity(index, &capacity)) return OUTCOME_QUERY_ERROR;
        state = MatchRecallTables(bClass, partNumber, capacity, dateText, date);
    }
    switch (state) {
    case CHECK_RECALLED: return OUTCOME_RECALLED;
    case CHECK_CLEAR: return OUTCOME_NOT_RECALLED;
    default: return OUTCOME_NO_BATTERY;
    }
}

// Steps from opening the driver to the recall decision; the first failure
// decides the outcome.
int RunCheck(BYTE *rawModel, BYTE *scratch, char *modelText) {
    if (g_MiscCommon.OpenDriver() != MISC_RESULT_SUCCESS) return OUTCOME_DRIVER_ERROR;
    if (g_MiscCommon.IsDriverVersionSupported() &&
        g_MiscCommon._Initialize() != MISC_RESULT_SUCCESS)
        return OUTCOME_DRIVER_ERROR;
    g_bDriverReady = 1;

    DWORD size = kModelRequestSize;
    if (g_MiscCommon.GetModelNumber(rawModel, &size) == MISC_RESULT_SUCCESS) {
        NormalizeModelName(rawModel, APP_TEXT_CHARS, scratch, APP_TEXT_CHARS);
        strncpy_s(modelText, APP_TEXT_CHARS, (const char *)rawModel, _TRUNCATE);
    }
    if (modelText[0] == 0) return OUTCOME_UNSUPPORTED;
    BYTE modelClass = 0;
    if (!FindModelClass(modelText, &modelClass) || modelClass == 0) return OUTCOME_UNSUPPORTED;

    BYTE status = 0, supportCode = 0;
    if (GetSupportCode(&status, &supportCode) != MISC_RESULT_SUCCESS || status != 0 ||
        supportCode != kSupportedPlatform)
        return OUTCOME_UNSUPPORTED;
    WORD slotWord = 0;
    status = 0;
    if (GetBatterySlotStatus(&status, &slotWord) != MISC_RESULT_SUCCESS || status != 0)
        return OUTCOME_UNSUPPORTED;
    g_wBatteryCount = BatteryCountFromSlotWord(slotWord);

    return CheckBatteries(modelClass);
}
