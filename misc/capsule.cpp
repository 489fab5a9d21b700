// The message capsule: every misc request travels to the driver as a
// MiscRequest record inside a capsule, enciphered with the session key
// while a secure session is required, and comes back as a reply capsule.
//
// Capsule layout (little-endian): dwDataSize, dwCapsuleSize, dwSessionId,
// then the payload padded with zeros to a multiple of 8 (the enciphered
// area, one Blowfish block at a time), then four zero bytes.
#include "misc_common.h"

#include "blowfish.h"

namespace MiscCommon {

namespace {

constexpr DWORD kCapsuleDataSize = 0;
constexpr DWORD kCapsuleSize = 4;
constexpr DWORD kCapsuleSessionId = 8;
constexpr DWORD kCapsuleHeaderSize = 12;
constexpr DWORD kCapsuleOverhead = 16;  // header and the four closing zero bytes
constexpr DWORD kBlockSize = 8;
constexpr DWORD kMaxPayload = 0x10000000;  // far above any request of the program

constexpr DWORD kRecordMessageId = 0;
constexpr DWORD kRecordSize = 4;
constexpr DWORD kRecordIoControlCode = 8;
constexpr DWORD kRecordInBufferSize = 12;
constexpr DWORD kRecordOutBufferSize = 16;
constexpr DWORD kRecordInBuffer = 20;
constexpr DWORD kRecordOverhead = 24;

DWORD CapsuleSizeFor(DWORD payload) {
    return payload == 0 ? kCapsuleOverhead : ((payload - 1) & ~(kBlockSize - 1)) + 24;
}

}  // namespace

BYTE *CMiscCommon::_InitializeMessageCapsule(const BYTE *pSource, DWORD dwSize) {
    BYTE *capsule = nullptr;
    if (dwSize <= kMaxPayload)
        capsule = (BYTE *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, CapsuleSizeFor(dwSize));
    if (!capsule) {
        _SetError(L"MiscCommon::CMiscCommon::_InitializeMessageCapsule: HeapAlloc failed.");
        return nullptr;
    }
    WriteLe32(capsule + kCapsuleDataSize, dwSize);
    WriteLe32(capsule + kCapsuleSize, CapsuleSizeFor(dwSize));
    if (pSource && dwSize) memcpy(capsule + kCapsuleHeaderSize, pSource, dwSize);
    return capsule;
}

DWORD CMiscCommon::_Encrypt(BYTE *pCapsule) { return _CipherCapsule(pCapsule, true); }

DWORD CMiscCommon::_Decrypt(BYTE *pCapsule) { return _CipherCapsule(pCapsule, false); }

// Enciphers or deciphers the capsule's blocks in place, one at a time.
DWORD CMiscCommon::_CipherCapsule(BYTE *pCapsule, bool encipher) {
    if (!pCapsule) {
        _SetError(encipher ? L"MiscCommon::CMiscCommon::_Encrypt: capsule is NULL"
                           : L"MiscCommon::CMiscCommon::_Decrypt: capsule is NULL");
        return MISC_RESULT_INVALID_ARGUMENT;
    }
    if (!_pBlowfishContext) {
        _SetError(encipher
                      ? L"MiscCommon::CMiscCommon::_Encrypt: BlowFish Context is not initialized."
                      : L"MiscCommon::CMiscCommon::_Decrypt: BlowFish Context is not initialized.");
        return MISC_RESULT_NOT_INITIALIZED;
    }
    const BlowfishContext *cipher = (const BlowfishContext *)_pBlowfishContext;
    const DWORD blocks = (ReadLe32(pCapsule + kCapsuleSize) - kCapsuleOverhead) / kBlockSize;
    for (SIZE_T i = 0; i < blocks; i++) {
        BYTE *block = pCapsule + kCapsuleHeaderSize + kBlockSize * i;
        uint32_t left = ReadLe32(block), right = ReadLe32(block + 4);
        const bool done = encipher ? BlowfishEncipher(cipher, &left, &right)
                                   : BlowfishDecipher(cipher, &left, &right);
        if (!done) {
            _SetError(encipher ? L"MiscCommon::CMiscCommon::_Encrypt: BlowFish Encipher failed. i = %d"
                               : L"MiscCommon::CMiscCommon::_Decrypt: BlowFish Decipher failed. i = %d",
                      (int)i);
            return MISC_RESULT_FAILED;
        }
        WriteLe32(block, left);
        WriteLe32(block + 4, right);
    }
    return MISC_RESULT_SUCCESS;
}

BOOL CMiscCommon::EncapsuledDeviceIoControl(LPVOID pInBuffer, DWORD nInBufferSize,
                                            LPVOID pOutBuffer, DWORD nOutBufferSize,
                                            DWORD *pBytesReturned) {
    if (!IsDriverVersionSupported()) return FALSE;
    if ((!pInBuffer && nInBufferSize) || (!pOutBuffer && nOutBufferSize) ||
        (pInBuffer && !nInBufferSize) || (pOutBuffer && !nOutBufferSize) || !pBytesReturned ||
        nInBufferSize > kMaxPayload - kRecordOverhead) {
        _SetError(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Invalid Argument(s).");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (_bSecureSession == 1 && !_pBlowfishContext) {
        _SetError(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Session Not Initialized.");
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *pBytesReturned = 0;

    HANDLE heap = GetProcessHeap();
    const DWORD recordSize = nInBufferSize + kRecordOverhead;
    BYTE *record = (BYTE *)HeapAlloc(heap, HEAP_ZERO_MEMORY, recordSize);
    if (!record) {
        _SetError(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: HeapAlloc failed.");
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    WriteLe32(record + kRecordMessageId, _dwNextMessageId);
    WriteLe32(record + kRecordSize, recordSize);
    WriteLe32(record + kRecordIoControlCode, IOCTL_MISC_FUNCTION);
    WriteLe32(record + kRecordInBufferSize, nInBufferSize);
    WriteLe32(record + kRecordOutBufferSize, nOutBufferSize);
    if (pInBuffer) memcpy(record + kRecordInBuffer, pInBuffer, nInBufferSize);

    BYTE *request = _InitializeMessageCapsule(record, recordSize);
    if (!request) {
        HeapFreeWiped(heap, record, recordSize);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const DWORD requestSize = ReadLe32(request + kCapsuleSize);
    WriteLe32(request + kCapsuleSessionId, _dwSessionId);
    if (_bSecureSession == 1 && _Encrypt(request) != MISC_RESULT_SUCCESS) {
        HeapFreeWiped(heap, record, recordSize);
        HeapFreeWiped(heap, request, requestSize);
        SetLastError(ERROR_INTERNAL_ERROR);
        return FALSE;
    }

    BYTE *reply = _InitializeMessageCapsule(nullptr, nOutBufferSize);
    if (!reply) {
        DWORD error = GetLastError();
        HeapFreeWiped(heap, record, recordSize);
        HeapFreeWiped(heap, request, requestSize);
        SetLastError(error);
        return FALSE;
    }
    const DWORD replySize = CapsuleSizeFor(nOutBufferSize);
    memset(reply, 0, replySize);

    DWORD returned = 0;
    const BOOL result = DeviceIoControl(_hDevice, IOCTL_MISC_CAPSULE, request, requestSize, reply,
                                        replySize, &returned, nullptr);
    const DWORD driverError = GetLastError();
    if (result || returned) _dwNextMessageId++;
    if (returned > replySize) returned = replySize;

    // Refuse a reply that is too short, whose capsule size would take the
    // cipher out of the buffer, or whose data did not all arrive.
    const DWORD capsuleSize = returned >= kCapsuleHeaderSize ? ReadLe32(reply + kCapsuleSize) : 0;
    const DWORD dataSize = returned >= kCapsuleHeaderSize ? ReadLe32(reply + kCapsuleDataSize) : 0;
    const DWORD delivered = dataSize < nOutBufferSize ? dataSize : nOutBufferSize;
    const bool secure = _bSecureSession == 1;
    if (returned < kCapsuleHeaderSize || capsuleSize < kCapsuleOverhead || capsuleSize > replySize ||
        kCapsuleHeaderSize + delivered > returned ||
        (secure && (capsuleSize - 4 > returned || delivered > capsuleSize - kCapsuleOverhead))) {
        _SetError(
            L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Invalid structure returned. size "
            L"= %d",
            (int)returned);
        HeapFreeWiped(heap, record, recordSize);
        HeapFreeWiped(heap, request, requestSize);
        HeapFreeWiped(heap, reply, replySize);
        return FALSE;
    }
    if (secure && _Decrypt(reply) != MISC_RESULT_SUCCESS) {
        HeapFreeWiped(heap, record, recordSize);
        HeapFreeWiped(heap, request, requestSize);
        HeapFreeWiped(heap, reply, replySize);
        SetLastError(ERROR_INTERNAL_ERROR);
        return FALSE;
    }

    BOOL outcome = result;
    DWORD outcomeError = driverError;
    if (dataSize > nOutBufferSize) {
        outcome = FALSE;
        outcomeError = ERROR_MORE_DATA;
    }
    if (delivered) memcpy(pOutBuffer, reply + kCapsuleHeaderSize, delivered);
    *pBytesReturned = delivered;
    HeapFreeWiped(heap, record, recordSize);
    HeapFreeWiped(heap, request, requestSize);
    HeapFreeWiped(heap, reply, replySize);
    SetLastError(outcomeError);
    return outcome;
}

}  // namespace MiscCommon
