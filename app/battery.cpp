// The battery queries: three misc functions through CallMiscFunction, and
// the designed capacity from the Windows battery class driver.
#include "battery.h"

#include "battery_class.h"
#include "misc_common.h"
#include "scope_guards.h"

using namespace MiscCommon;

BOOL g_bDriverReady = 0;
WORD g_wBatteryCount = 0;

namespace {

// A reply is taken when it covers the fields read from it: the tag, and
// the information record up to the end of DesignedCapacity. A longer
// record arrives cut to the buffer.
constexpr DWORD kFieldSize = 4;
constexpr DWORD kTagReplyMinimum = BATTERY_TAG_SIZE;
constexpr DWORD kInformationReplyMinimum = BATTERY_DESIGNED_CAPACITY_OFFSET + kFieldSize;
static_assert(BATTERY_CAPABILITIES_OFFSET + kFieldSize <= kInformationReplyMinimum,
              "capabilities covered");
static_assert(sizeof(BATTERY_QUERY_INFORMATION) == BATTERY_QUERY_SIZE, "battery query layout");
static_assert(sizeof(BATTERY_INFORMATION) == BATTERY_INFORMATION_SIZE,
              "battery information layout");
static_assert(IOCTL_BATTERY_QUERY_TAG == BATTERY_CODE_QUERY_TAG &&
                  IOCTL_BATTERY_QUERY_INFORMATION == BATTERY_CODE_QUERY_INFORMATION &&
                  BATTERY_CAPACITY_RELATIVE == BATTERY_FLAG_CAPACITY_RELATIVE,
              "battery class codes");

// Sends a packet built for the given shape; its length is the OutSize.
DWORD SendQuery(BYTE *packet, const MISC_FUNCTION_SHAPE &shape) {
    return g_MiscCommon.CallMiscFunction(packet, shape.outSize);
}

// Sends a packet; on success writes the reply's status.
DWORD SendStatusQuery(BYTE *packet, const MISC_FUNCTION_SHAPE &shape, BYTE *pStatus) {
    DWORD result = SendQuery(packet, shape);
    if (result == MISC_RESULT_SUCCESS) *pStatus = packet[MISC_PACKET_FUNCTION];
    return result;
}

}  // namespace

WORD BatteryCountFromSlotWord(WORD wSlotWord) {
    return ((wSlotWord & 0x3) && (wSlotWord & 0xC)) ? 2 : 1;
}

void DecodePackedDate(WORD wPacked, char *pDateText, DWORD cbDateText, DWORD *pDate) {
    const DWORD year = PackedDateYear(wPacked);
    const DWORD month = PackedDateMonth(wPacked);
    const DWORD day = PackedDateDay(wPacked);
    _snprintf_s(pDateText, cbDateText, _TRUNCATE, "%04d%02d%02d", (int)year, (int)month, (int)day);
    *pDate = (year * 100 + month) * 100 + day;
}

// The support code and the slot word: one request each, whose value is
// read only when the reply's status is 0.
DWORD GetSupportCode(BYTE *pStatus, BYTE *pSupportCode) {
    BYTE packet[MISC_LARGEST_QUERY_PACKET];
    BuildMiscPacket(packet, MISC_QUERY_SUPPORT_CODE);
    if (!g_MiscCommon.IsDriverVersionSupported()) return MISC_RESULT_UNSUPPORTED_VERSION;
    if (!pStatus || !pSupportCode) return MISC_RESULT_INVALID_ARGUMENT;
    DWORD result = SendStatusQuery(packet, MISC_QUERY_SUPPORT_CODE, pStatus);
    if (result == MISC_RESULT_SUCCESS && *pStatus == MISC_STATUS_SUCCESS)
        *pSupportCode = packet[MISC_PACKET_DATA];
    return result;
}

DWORD GetBatterySlotStatus(BYTE *pStatus, WORD *pSlotWord) {
    BYTE packet[MISC_LARGEST_QUERY_PACKET];
    BuildMiscPacket(packet, MISC_QUERY_SLOT_WORD);
    if (!g_MiscCommon.IsDriverVersionSupported()) return MISC_RESULT_UNSUPPORTED_VERSION;
    if (!pStatus || !pSlotWord) return MISC_RESULT_INVALID_ARGUMENT;
    DWORD result = SendStatusQuery(packet, MISC_QUERY_SLOT_WORD, pStatus);
    if (result == MISC_RESULT_SUCCESS && *pStatus == MISC_STATUS_SUCCESS)
        *pSlotWord = ReadLe16(packet + MISC_PACKET_DATA);
    return result;
}

BOOL GetBatteryIdentity(WORD wIndex, char *pPartNumber, DWORD *pDate, char *pDateText) {
    char partNumber[BATTERY_TEXT_BYTES];
    char dateText[BATTERY_TEXT_BYTES];
    char area[MISC_PART_NUMBER_SIZE + 1];
    memset(partNumber, 0, sizeof partNumber);
    memset(dateText, 0, sizeof dateText);
    memset(area, 0, sizeof area);
    if (wIndex >= g_wBatteryCount || !pPartNumber || !pDate || !pDateText || !g_bDriverReady)
        return FALSE;

    BYTE packet[MISC_LARGEST_QUERY_PACKET];
    BuildMiscPacket(packet, MISC_QUERY_BATTERY_DATE);
    WriteLe16(packet + MISC_BATTERY_INDEX_OFFSET, wIndex);
    if (!g_MiscCommon.IsDriverVersionSupported()) return FALSE;
    if (SendQuery(packet, MISC_QUERY_BATTERY_DATE) != MISC_RESULT_SUCCESS) return FALSE;
    if (packet[MISC_PACKET_FUNCTION] == MISC_STATUS_NOT_PRESENT) return TRUE;  // an empty slot
    if (packet[MISC_PACKET_FUNCTION] != MISC_STATUS_SUCCESS) return FALSE;
    DWORD date = 0;
    DecodePackedDate(ReadLe16(packet + MISC_PACKED_DATE_OFFSET), dateText, sizeof dateText, &date);

    BuildMiscPacket(packet, MISC_QUERY_PART_NUMBER);
    WriteLe16(packet + MISC_BATTERY_INDEX_OFFSET, wIndex);
    if (!g_MiscCommon.IsDriverVersionSupported()) return FALSE;
    if (SendQuery(packet, MISC_QUERY_PART_NUMBER) != MISC_RESULT_SUCCESS) return FALSE;
    if (packet[MISC_PACKET_FUNCTION] == MISC_STATUS_NOT_PRESENT) return TRUE;
    if (packet[MISC_PACKET_FUNCTION] != MISC_STATUS_SUCCESS) return FALSE;
    // Up to the first zero byte, at most 12 characters, byte for byte.
    memcpy(area, packet + MISC_PART_NUMBER_OFFSET, MISC_PART_NUMBER_SIZE);
    _snprintf_s(partNumber, sizeof partNumber, _TRUNCATE, "%s", area);

    strncpy_s(pDateText, BATTERY_TEXT_BYTES, dateText, _TRUNCATE);
    *pDate = date;
    strncpy_s(pPartNumber, BATTERY_TEXT_BYTES, partNumber, _TRUNCATE);
    return TRUE;
}

BOOL GetBatteryDesignCapacity(WORD wIndex, DWORD *pDesignCapacity) {
    if (wIndex >= g_wBatteryCount || !g_bDriverReady || !pDesignCapacity) return FALSE;

    // Interfaces of batteries that are not present are listed too, so that
    // the index means the same battery as in the misc requests.
    CDeviceInterface device;
    if (device.Find(GUID_DEVICE_BATTERY, DIGCF_DEVICEINTERFACE, wIndex, HEAP_ZERO_MEMORY) !=
        INTERFACE_FOUND)
        return FALSE;
    CHandle battery(device.Open(GENERIC_READ));
    if (!battery.IsValid()) return FALSE;

    BYTE wait[BATTERY_WAIT_SIZE], tag[BATTERY_TAG_SIZE];
    memset(wait, 0, sizeof wait);
    memset(tag, 0, sizeof tag);
    DWORD returned = 0;
    if (!DeviceIoControl(battery.Get(), IOCTL_BATTERY_QUERY_TAG, wait, sizeof wait, tag, sizeof tag,
                         &returned, nullptr) ||
        returned < kTagReplyMinimum || ReadLe32(tag) == 0)
        return FALSE;

    BYTE query[BATTERY_QUERY_SIZE], information[BATTERY_INFORMATION_SIZE];
    memset(query, 0, sizeof query);
    memset(information, 0, sizeof information);
    WriteLe32(query + BATTERY_QUERY_TAG_OFFSET, ReadLe32(tag));
    WriteLe32(query + BATTERY_QUERY_LEVEL_OFFSET, BatteryInformation);
    WriteLe32(query + BATTERY_QUERY_AT_RATE_OFFSET, 0);
    returned = 0;
    if (!DeviceIoControl(battery.Get(), IOCTL_BATTERY_QUERY_INFORMATION, query, sizeof query,
                         information, sizeof information, &returned, nullptr) ||
        returned < kInformationReplyMinimum)
        return FALSE;
    if (ReadLe32(information + BATTERY_CAPABILITIES_OFFSET) & BATTERY_CAPACITY_RELATIVE)
        return FALSE;
    *pDesignCapacity = ReadLe32(information + BATTERY_DESIGNED_CAPACITY_OFFSET);
    return TRUE;
}
