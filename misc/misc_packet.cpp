// CallMiscFunction: the one gateway for misc packets, with a single retry
// after a busy reply.
#include "misc_common.h"

#include "scope_guards.h"

namespace MiscCommon {

namespace {
constexpr DWORD kBusyRetryDelayMs = 100;
constexpr int kMaxExchanges = 2;
}  // namespace

DWORD CMiscCommon::CallMiscFunction(BYTE *pPacket, DWORD sizePacket) {
    if (!IsDriverVersionSupported()) return MISC_RESULT_UNSUPPORTED_VERSION;
    if (_hDevice == nullptr || _hDevice == INVALID_HANDLE_VALUE) {
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: _hDevice is NULL");
        return MISC_RESULT_NOT_INITIALIZED;
    }
    if (!pPacket) {
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: pPacket is NULL");
        return MISC_RESULT_INVALID_ARGUMENT;
    }
    if (sizePacket == 0) {
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: sizePacket is '0'");
        return MISC_RESULT_INVALID_ARGUMENT;
    }
    // The sizes are read from the header, and the exchange reads InSize and
    // writes OutSize bytes of the caller's buffer: all of it must lie within.
    if (sizePacket < MISC_PACKET_HEADER_SIZE) {
        _SetError(
            L"MiscCommon::CMiscCommon::CallMiscFunction: sizePacket is smaller than the packet "
            L"header");
        return MISC_RESULT_INVALID_ARGUMENT;
    }
    if (ReadLe16(pPacket + MISC_PACKET_IN_SIZE) > sizePacket ||
        ReadLe16(pPacket + MISC_PACKET_OUT_SIZE) > sizePacket) {
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: InSize or OutSize exceeds sizePacket");
        return MISC_RESULT_INVALID_ARGUMENT;
    }

    CHeapBlock request;
    if (!request.Allocate(sizePacket, HEAP_ZERO_MEMORY))
        return _Fail(MISC_RESULT_INSUFFICIENT_BUFFER,
                     L"MiscCommon::CMiscCommon::CallMiscFunction: HeapAlloc failed.");
    memcpy(request.Get(), pPacket, sizePacket);

    for (int exchange = 1; exchange <= kMaxExchanges; exchange++) {
        DWORD returned = 0;
        const DWORD inSize = ReadLe16(pPacket + MISC_PACKET_IN_SIZE);
        const DWORD outSize = ReadLe16(pPacket + MISC_PACKET_OUT_SIZE);
        if (!EncapsuledDeviceIoControl(pPacket, inSize, pPacket, outSize, &returned))
            return _Fail(MISC_RESULT_FAILED,
                         L"MiscCommon::CMiscCommon::CallMiscFunction: DeviceIoControl failed.");
        if (exchange == kMaxExchanges || pPacket[MISC_PACKET_FUNCTION] != MISC_STATUS_BUSY) break;
        // Busy: wait, restore the request as the caller built it, and send
        // it once more.
        Sleep(kBusyRetryDelayMs);
        memcpy(pPacket, request.Get(), sizePacket);
    }

    _ClearError();
    return MISC_RESULT_SUCCESS;
}

}  // namespace MiscCommon
