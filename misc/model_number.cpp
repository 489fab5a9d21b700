// GetModelNumber: one plain request for the driver's 128-byte model record.
#include "misc_common.h"

namespace MiscCommon {

namespace {
constexpr DWORD kLongFormCapacity = 20;  // smaller buffers get the short form
}  // namespace

DWORD CMiscCommon::GetModelNumber(BYTE *pModelNumber, DWORD *pSize) {
    if (!IsDriverVersionSupported()) return MISC_RESULT_UNSUPPORTED_VERSION;
    if (_hDevice == nullptr || _hDevice == INVALID_HANDLE_VALUE) return MISC_RESULT_NOT_INITIALIZED;
    if (!pSize || (!pModelNumber && *pSize != 0)) return MISC_RESULT_INVALID_ARGUMENT;

    BYTE record[MISC_MODEL_RECORD_SIZE];
    memset(record, 0, sizeof record);
    DWORD returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_GET_MODEL_NUMBER, nullptr, 0, record, sizeof record,
                         &returned, nullptr) ||
        returned != MISC_MODEL_RECORD_SIZE) {
        _SetError(L"MiscCommon::CMiscCommon::GetModelNumber: DeviceIoControl failed.");
        return MISC_RESULT_FAILED;
    }

    // The result: the short form, or the long form for a buffer that can
    // take it, as pieces of the record.
    const DWORD longLength = record[MISC_MODEL_LENGTH_OFFSET];
    DWORD headLength = MISC_MODEL_SHORT_SIZE, tailLength = 0;
    if (longLength != 0) {
        if (longLength < MISC_MODEL_LONG_MIN || longLength > MISC_MODEL_LONG_MAX)
            return MISC_RESULT_FAILED;
        if (*pSize >= kLongFormCapacity) {
            headLength = MISC_MODEL_LONG_HEAD;
            tailLength = longLength - MISC_MODEL_LONG_HEAD;
        }
    }
    const DWORD length = headLength + tailLength;
    if (*pSize < length) {
        *pSize = length;
        return MISC_RESULT_INSUFFICIENT_BUFFER;
    }
    memcpy(pModelNumber, record + MISC_MODEL_SHORT_OFFSET, headLength);
    memcpy(pModelNumber + headLength, record + MISC_MODEL_TAIL_OFFSET, tailLength);
    *pSize = length;
    return MISC_RESULT_SUCCESS;
}

}  // namespace MiscCommon
