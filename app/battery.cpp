// The battery queries: three misc functions through CallMiscFunction, and
// the designed capacity from the Windows battery class driver.
#include "battery.h"

#include "misc_common.h"

using namespace MiscCommon;

BOOL g_bDriverReady = 0;
WORD g_wBatteryCount = 0;

namespace {

// The misc functions: function code, InSize, OutSize (= the packet size).
constexpr BYTE kFunctionSupportCode = 0x1A;
constexpr WORD kSupportCodeIn = 8, kSupportCodeOut = 9;
constexpr BYTE kFunctionSlotWord = 0x93;
constexpr WORD kSlotWordIn = 10, kSlotWordOut = 10;
constexpr BYTE kFunctionDate = 0x42;
constexpr WORD kDateIn = 10, kDateOut = 14;
constexpr DWORD kDateOffset = 10;
constexpr BYTE kFunctionPartNumber = 0x45;
constexpr WORD kPartNumberIn = 12, kPartNumberOut = 22;
constexpr DWORD kPartNumberLength = 12;
constexpr DWORD kLargestPacket = 22;

// BATTERY_QUERY_INFORMATION and BATTERY_INFORMATION as the battery class
// lays them out.
constexpr DWORD kQueryInformationSize = 12;
constexpr DWORD kInformationSize = 36;
constexpr DWORD kCapabilitiesOffset = 0;
constexpr DWORD kDesignedCapacityOffset = 12;
constexpr DWORD kFieldSize = 4;
// A reply is taken when it covers the fields read from it: the tag, and
// the information record up to the end of DesignedCapacity. A longer
// record arrives cut to the buffer.
constexpr DWORD kTagReplyMinimum = kFieldSize;
constexpr DWORD kInformationReplyMinimum = kDesignedCapacityOffset + kFieldSize;
static_assert(kCapabilitiesOffset + kFieldSize <= kInformationReplyMinimum, "capabilities covered");
static_assert(sizeof(BATTERY_QUERY_INFORMATION) == kQueryInformationSize, "battery query layout");
static_assert(sizeof(BATTERY_INFORMATION) == kInformationSize, "battery information layout");

// A zero-filled request of one misc function, its total length OutSize.
void BuildPacket(BYTE *packet, BYTE function, WORD inSize, WORD outSize) {
    memset(packet, 0, kLargestPacket);
    packet[MISC_PACKET_FUNCTION] = function;
    packet[MISC_PACKET_GROUP] = MISC_FUNCTION_GROUP;
    WriteLe16(packet + MISC_PACKET_IN_SIZE, inSize);
    WriteLe16(packet + MISC_PACKET_OUT_SIZE, outSize);
    WriteLe16(packet + MISC_PACKET_RESERVED, 0);
}

// Sends a packet; on success writes the reply's status.
DWORD SendStatusQuery(BYTE *packet, DWORD size, BYTE *pStatus) {
    DWORD result = g_MiscCommon.CallMiscFunction(packet, size);
    if (result == MISC_RESULT_SUCCESS) *pStatus = packet[MISC_PACKET_FUNCTION];
    return result;
}

}  // namespace

WORD BatteryCountFromSlotWord(WORD wSlotWord) {
    return ((wSlotWord & 0x3) && (wSlotWord & 0xC)) ? 2 : 1;
}

void DecodePackedDate(WORD wPacked, char *pDateText, DWORD cbDateText, DWORD *pDate) {
    const DWORD year = (DWORD)(wPacked >> 9) + 1980;
    const DWORD month = (wPacked >> 5) & 0xF;
    const DWORD day = wPacked & 0x1F;
    _snprintf_s(pDateText, cbDateText, _TRUNCATE, "%04d%02d%02d", (int)year, (int)month, (int)day);
    *pDate = (year * 100 + month) * 100 + day;
}

// The support code and the slot word: one request each, whose value is
// read only when the reply's status is 0.
DWORD GetSupportCode(BYTE *pStatus, BYTE *pSupportCode) {
    BYTE packet[kLargestPacket];
    BuildPacket(packet, kFunctionSupportCode, kSupportCodeIn, kSupportCodeOut);
    if (!g_MiscCommon.IsDriverVersionSupported()) return MISC_RESULT_UNSUPPORTED_VERSION;
    if (!pStatus || !pSupportCode) return MISC_RESULT_INVALID_ARGUMENT;
    DWORD result = SendStatusQuery(packet, kSupportCodeOut, pStatus);
    if (result == MISC_RESULT_SUCCESS && *pStatus == MISC_STATUS_SUCCESS)
        *pSupportCode = packet[MISC_PACKET_DATA];
    return result;
}

DWORD GetBatterySlotStatus(BYTE *pStatus, WORD *pSlotWord) {
    BYTE packet[kLargestPacket];
    BuildPacket(packet, kFunctionSlotWord, kSlotWordIn, kSlotWordOut);
    if (!g_MiscCommon.IsDriverVersionSupported()) return MISC_RESULT_UNSUPPORTED_VERSION;
    if (!pStatus || !pSlotWord) return MISC_RESULT_INVALID_ARGUMENT;
    DWORD result = SendStatusQuery(packet, kSlotWordOut, pStatus);
    if (result == MISC_RESULT_SUCCESS && *pStatus == MISC_STATUS_SUCCESS)
        *pSlotWord = ReadLe16(packet + MISC_PACKET_DATA);
    return result;
}

BOOL GetBatteryIdentity(WORD wIndex, char *pPartNumber, DWORD *pDate, char *pDateText) {
    char partNumber[BATTERY_TEXT_BYTES];
    char dateText[BATTERY_TEXT_BYTES];
    char area[kPartNumberLength + 1];
    memset(partNumber, 0, sizeof partNumber);
    memset(dateText, 0, sizeof dateText);
    memset(area, 0, sizeof area);
    if (wIndex >= g_wBatteryCount || !pPartNumber || !pDate || !pDateText || !g_bDriverReady)
        return FALSE;

    BYTE packet[kLargestPacket];
    BuildPacket(packet, kFunctionDate, kDateIn, kDateOut);
    WriteLe16(packet + MISC_PACKET_DATA, wIndex);
    if (!g_MiscCommon.IsDriverVersionSupported()) return FALSE;
    if (g_MiscCommon.CallMiscFunction(packet, kDateOut) != MISC_RESULT_SUCCESS) return FALSE;
    if (packet[MISC_PACKET_FUNCTION] == MISC_STATUS_NOT_PRESENT) return TRUE;  // an empty slot
    if (packet[MISC_PACKET_FUNCTION] != MISC_STATUS_SUCCESS) return FALSE;
    DWORD date = 0;
    DecodePackedDate(ReadLe16(packet + kDateOffset), dateText, sizeof dateText, &date);

    BuildPacket(packet, kFunctionPartNumber, kPartNumberIn, kPartNumberOut);
    WriteLe16(packet + MISC_PACKET_DATA, wIndex);
    if (!g_MiscCommon.IsDriverVersionSupported()) return FALSE;
    if (g_MiscCommon.CallMiscFunction(packet, kPartNumberOut) != MISC_RESULT_SUCCESS) return FALSE;
    if (packet[MISC_PACKET_FUNCTION] == MISC_STATUS_NOT_PRESENT) return TRUE;
    if (packet[MISC_PACKET_FUNCTION] != MISC_STATUS_SUCCESS) return FALSE;
    // Up to the first zero byte, at most 12 characters, byte for byte.
    memcpy(area, packet + MISC_PACKET_DATA, kPartNumberLength);
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
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVICE_BATTERY, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return FALSE;

    BOOL ok = FALSE;
    HANDLE heap = GetProcessHeap();
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail = nullptr;
    DWORD required = 0;
    HANDLE battery = INVALID_HANDLE_VALUE;
    SP_DEVICE_INTERFACE_DATA iface;
    memset(&iface, 0, sizeof iface);
    iface.cbSize = sizeof iface;
    do {
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVICE_BATTERY, wIndex, &iface)) break;
        SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, nullptr);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
            required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            break;
        detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_W)HeapAlloc(heap, HEAP_ZERO_MEMORY, required);
        if (!detail) break;
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device;
        memset(&device, 0, sizeof device);
        device.cbSize = sizeof device;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, required, nullptr, &device)) break;

        battery = CreateFileW(detail->DevicePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (battery == INVALID_HANDLE_VALUE) break;

        BYTE wait[sizeof(DWORD)], tag[sizeof(DWORD)];
        memset(wait, 0, sizeof wait);
        memset(tag, 0, sizeof tag);
        DWORD returned = 0;
        if (!DeviceIoControl(battery, IOCTL_BATTERY_QUERY_TAG, wait, sizeof wait, tag, sizeof tag,
                             &returned, nullptr) ||
            returned < kTagReplyMinimum || ReadLe32(tag) == 0)
            break;

        BYTE query[kQueryInformationSize], information[kInformationSize];
        memset(query, 0, sizeof query);
        memset(information, 0, sizeof information);
        WriteLe32(query, ReadLe32(tag));
        WriteLe32(query + 4, BatteryInformation);
        WriteLe32(query + 8, 0);
        returned = 0;
        if (!DeviceIoControl(battery, IOCTL_BATTERY_QUERY_INFORMATION, query, sizeof query,
                             information, sizeof information, &returned, nullptr) ||
            returned < kInformationReplyMinimum)
            break;
        if (ReadLe32(information + kCapabilitiesOffset) & BATTERY_CAPACITY_RELATIVE) break;
        *pDesignCapacity = ReadLe32(information + kDesignedCapacityOffset);
        ok = TRUE;
    } while (false);

    if (battery != INVALID_HANDLE_VALUE) CloseHandle(battery);
    HeapFreeWiped(heap, detail, required);
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}
