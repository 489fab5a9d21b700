// The message capsule: every misc request travels to the driver as a
// MiscRequest record inside a capsule, enciphered with the session key
// while a secure session is required, and comes back as a reply capsule.
#include "misc_common.h"

#include "blowfish.h"
#include "scope_guards.h"

namespace MiscCommon {

namespace {
constexpr DWORD kMaxPayload = 0x10000000;  // far above any request of the program
// The four zero bytes after the enciphered area.
constexpr DWORD kClosingBytes = MISC_CAPSULE_OVERHEAD - MISC_CAPSULE_HEADER_SIZE;
}  // namespace

BYTE *CMiscCommon::_InitializeMessageCapsule(const BYTE *pSource, DWORD dwSize) {
    BYTE *capsule = nullptr;
    if (dwSize <= kMaxPayload)
        capsule = (BYTE *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, MiscCapsuleSize(dwSize));
    if (!capsule) {
        _SetError(L"MiscCommon::CMiscCommon::_InitializeMessageCapsule: HeapAlloc failed.");
        return nullptr;
    }
    WriteLe32(capsule + MISC_CAPSULE_DATA_SIZE, dwSize);
    WriteLe32(capsule + MISC_CAPSULE_SIZE, MiscCapsuleSize(dwSize));
    if (pSource && dwSize) memcpy(capsule + MISC_CAPSULE_HEADER_SIZE, pSource, dwSize);
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
    const DWORD blocks =
        (ReadLe32(pCapsule + MISC_CAPSULE_SIZE) - MISC_CAPSULE_OVERHEAD) / MISC_CAPSULE_BLOCK_SIZE;
    for (SIZE_T i = 0; i < blocks; i++) {
        BYTE *block = pCapsule + MISC_CAPSULE_HEADER_SIZE + MISC_CAPSULE_BLOCK_SIZE * i;
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
        nInBufferSize > kMaxPayload - MISC_RECORD_OVERHEAD) {
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

    const DWORD recordSize = nInBufferSize + MISC_RECORD_OVERHEAD;
    CHeapBlock record;
    if (!record.Allocate(recordSize, HEAP_ZERO_MEMORY)) {
        _SetError(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: HeapAlloc failed.");
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    BYTE *fields = record.Get();
    WriteLe32(fields + MISC_RECORD_MESSAGE_ID, _dwNextMessageId);
    WriteLe32(fields + MISC_RECORD_SIZE, recordSize);
    WriteLe32(fields + MISC_RECORD_IO_CONTROL_CODE, IOCTL_MISC_FUNCTION);
    WriteLe32(fields + MISC_RECORD_IN_BUFFER_SIZE, nInBufferSize);
    WriteLe32(fields + MISC_RECORD_OUT_BUFFER_SIZE, nOutBufferSize);
    if (pInBuffer) memcpy(fields + MISC_RECORD_IN_BUFFER, pInBuffer, nInBufferSize);

    const DWORD requestSize = MiscCapsuleSize(recordSize);
    CHeapBlock request;
    request.Adopt(_InitializeMessageCapsule(fields, recordSize), requestSize);
    if (!request.Get()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    WriteLe32(request.Get() + MISC_CAPSULE_SESSION_ID, _dwSessionId);
    if (_bSecureSession == 1 && _Encrypt(request.Get()) != MISC_RESULT_SUCCESS) {
        SetLastError(ERROR_INTERNAL_ERROR);
        return FALSE;
    }

    const DWORD replySize = MiscCapsuleSize(nOutBufferSize);
    CHeapBlock replyBlock;
    replyBlock.Adopt(_InitializeMessageCapsule(nullptr, nOutBufferSize), replySize);
    BYTE *reply = replyBlock.Get();
    if (!reply) return FALSE;
    memset(reply, 0, replySize);

    DWORD returned = 0;
    const BOOL result = DeviceIoControl(_hDevice, IOCTL_MISC_CAPSULE, request.Get(), requestSize,
                                        reply, replySize, &returned, nullptr);
    const DWORD driverError = GetLastError();
    if (result || returned) _dwNextMessageId++;
    if (returned > replySize) returned = replySize;

    // Refuse a reply that is too short, whose capsule size would take the
    // cipher out of the buffer, or whose data did not all arrive.
    const DWORD capsuleSize =
        returned >= MISC_CAPSULE_HEADER_SIZE ? ReadLe32(reply + MISC_CAPSULE_SIZE) : 0;
    const DWORD dataSize =
        returned >= MISC_CAPSULE_HEADER_SIZE ? ReadLe32(reply + MISC_CAPSULE_DATA_SIZE) : 0;
    const DWORD delivered = dataSize < nOutBufferSize ? dataSize : nOutBufferSize;
    const bool secure = _bSecureSession == 1;
    if (returned < MISC_CAPSULE_HEADER_SIZE || capsuleSize < MISC_CAPSULE_OVERHEAD ||
        capsuleSize > replySize || MISC_CAPSULE_HEADER_SIZE + delivered > returned ||
        (secure && (capsuleSize - kClosingBytes > returned ||
                    delivered > capsuleSize - MISC_CAPSULE_OVERHEAD))) {
        _SetError(
            L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Invalid structure returned. size "
            L"= %d",
            (int)returned);
        return FALSE;
    }
    if (secure && _Decrypt(reply) != MISC_RESULT_SUCCESS) {
        SetLastError(ERROR_INTERNAL_ERROR);
        return FALSE;
    }

    BOOL outcome = result;
    DWORD outcomeError = driverError;
    if (dataSize > nOutBufferSize) {
        outcome = FALSE;
        outcomeError = ERROR_MORE_DATA;
    }
    if (delivered) memcpy(pOutBuffer, reply + MISC_CAPSULE_HEADER_SIZE, delivered);
    *pBytesReturned = delivered;
    SetLastError(outcomeError);
    return outcome;
}

}  // namespace MiscCommon
