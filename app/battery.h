// The battery facts: support code and slot word from the misc driver, each
// pack's part number and manufacture date from the misc driver, and its
// designed capacity from the Windows battery class.
#pragma once

#include "platform.h"

extern BOOL g_bDriverReady;
extern WORD g_wBatteryCount;

constexpr DWORD BATTERY_TEXT_BYTES = 260;

DWORD GetSupportCode(BYTE *pStatus, BYTE *pSupportCode);
DWORD GetBatterySlotStatus(BYTE *pStatus, WORD *pSlotWord);
BOOL GetBatteryIdentity(WORD wIndex, char *pPartNumber, DWORD *pDate, char *pDateText);
BOOL GetBatteryDesignCapacity(WORD wIndex, DWORD *pDesignCapacity);

// 2 when both slot pairs (bits 0-1 and bits 2-3) report something, else 1.
WORD BatteryCountFromSlotWord(WORD wSlotWord);

// The manufacture date from its MS-DOS (FAT) packed form: the text
// "%04d%02d%02d" and the number yyyymmdd. Month and day pass as they come.
void DecodePackedDate(WORD wPacked, char *pDateText, DWORD cbDateText, DWORD *pDate);
