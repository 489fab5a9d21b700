// GetModelNumber: one plain request for the driver's 128-byte model record.
#include "misc_common.h"

namespace MiscCommon {

namespace {
constexpr DWORD kModelRecordSize = 128;
constexpr DWORD kShortOffset = 40;
constexpr DWORD kShortLength = 12;
constexpr DWORD kLongLengthOffset = 95;
constexpr DWORD kLongTailOffset = 96;
constexpr DWORD kLongHeadLength = 11;  // the long form takes 11 bytes of the short field
constexpr DWORD kLongMin = 12;
constexpr DWORD kLongMax = 19;
constexpr DWORD kLongFormCapacity = 20;  // smaller buffers get the short form
}  // namespace

DWORD CMiscCommon::GetModelNumber(BYTE *pModelNumber, DWORD *pSize) {
    if (!IsDriverVersionSupported()) return MISC_RESULT_UNSUPPORTED_VERSION;
    if (_hDevice == nullptr || _hDevice == INVALID_HANDLE_VALUE) return MISC_RESULT_NOT_INITIALIZED;
    if (!pSize || (!pModelNumber && *pSize != 0)) return MISC_RESULT_INVALID_ARGUMENT;

    BYTE record[kModelRecordSize];
    memset(record, 0, sizeof record);
    DWORD returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_GET_MODEL_NUMBER, nullptr, 0, record, sizeof record,
                         &returned, nullptr) ||
        returned != kModelRecordSize) {
        _SetError(L"MiscCommon::CMiscCommon::GetModelNumber: DeviceIoControl failed.");
        return MISC_RESULT_FAILED;
    }

    // The result: the short form, or the long form for a buffer that can
    // take it, as pieces of the record.
    const DWORD longLength = record[kLongLengthOffset];
    DWORD headLength = kShortLength, tailLength = 0;
    if (longLength != 0) {
        if (longLength < kLongMin || longLength > kLongMax) return MISC_RESULT_FAILED;
        if (*pSize >= kLongFormCapacity) {
            headLength = kLongHeadLength;
            tailLength = longLength - kLongHeadLength;
        }
    }
    const DWORD length = headLength + tailLength;
    if (*pSize < length) {
        *pSize = length;
        return MISC_RESULT_INSUFFICIENT_BUFFER;
    }
    memcpy(pModelNumber, record + kShortOffset, headLength);
    memcpy(pModelNumber + headLength, record + kLongTailOffset, tailLength);
    *pSize = length;
    return MISC_RESULT_SUCCESS;
}

}  // namespace MiscCommon
