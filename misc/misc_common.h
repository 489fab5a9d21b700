// Driver access: the process-wide CMiscCommon object that finds and opens
// the platform's misc driver, keeps its version and the secure session,
// and carries every request to it.
#pragma once

#include "platform.h"

namespace MiscCommon {

// Result codes of the driver-access and session operations. They are the
// system's own, not Win32 error codes.
enum : DWORD {
    MISC_RESULT_SUCCESS = 0,
    MISC_RESULT_FAILED = 2,
    MISC_RESULT_INVALID_ARGUMENT = 3,
    MISC_RESULT_INSUFFICIENT_BUFFER = 5,
    MISC_RESULT_DEVICE_UNAVAILABLE = 6,
    MISC_RESULT_NOT_INITIALIZED = 8,
    MISC_RESULT_UNSUPPORTED_VERSION = 10,
    MISC_RESULT_OPEN_FAILED = 11,
};

// Device control codes (FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr DWORD IOCTL_MISC_SESSION = 0x00222000;
constexpr DWORD IOCTL_MISC_SESSION_CLOSE = 0x00222004;
constexpr DWORD IOCTL_MISC_CAPSULE = 0x00222008;
constexpr DWORD IOCTL_MISC_GET_MODEL_NUMBER = 0x00222940;
constexpr DWORD IOCTL_MISC_FUNCTION = 0x00222944;

// {80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}
constexpr GUID GUID_DEVINTERFACE_MISC = {
    0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};

constexpr DWORD MISC_TEXT_CHARS = 256;            // _szVersion and _szLastError
constexpr DWORD MISC_BLOWFISH_CONTEXT_SIZE = 4168;  // 18 + 4 x 256 words

// The misc packet: an 8-byte header and the function's data, overwritten
// in place by the reply, whose byte 0 is the status.
constexpr DWORD MISC_PACKET_HEADER_SIZE = 8;
constexpr DWORD MISC_PACKET_FUNCTION = 0;  // byte offsets in the packet
constexpr DWORD MISC_PACKET_GROUP = 1;
constexpr DWORD MISC_PACKET_IN_SIZE = 2;
constexpr DWORD MISC_PACKET_OUT_SIZE = 4;
constexpr DWORD MISC_PACKET_RESERVED = 6;
constexpr DWORD MISC_PACKET_DATA = 8;
constexpr BYTE MISC_FUNCTION_GROUP = 2;

struct MISC_PACKET {
    BYTE Function;  // the status in the reply
    BYTE Group;
    WORD InSize;
    WORD OutSize;
    WORD Reserved;
    BYTE Data[1];
};

enum : BYTE {
    MISC_STATUS_SUCCESS = 0,
    MISC_STATUS_NOT_PRESENT = 2,
    MISC_STATUS_BUSY = 4,
};

class CMiscCommon {
public:
    CMiscCommon();
    ~CMiscCommon();
    CMiscCommon(const CMiscCommon &) = delete;
    CMiscCommon &operator=(const CMiscCommon &) = delete;

    DWORD OpenDriver();
    BOOL IsDriverVersionSupported() const;
    void CloseDriver();

    DWORD _Initialize();

    DWORD GetModelNumber(BYTE *pModelNumber, DWORD *pSize);
    // pPacket points to a MISC_PACKET of sizePacket bytes.
    DWORD CallMiscFunction(BYTE *pPacket, DWORD sizePacket);

    BOOL EncapsuledDeviceIoControl(LPVOID pInBuffer, DWORD nInBufferSize, LPVOID pOutBuffer,
                                   DWORD nOutBufferSize, DWORD *pBytesReturned);

    // The capsule layer, used by EncapsuledDeviceIoControl alone.
    BYTE *_InitializeMessageCapsule(const BYTE *pSource, DWORD dwSize);
    DWORD _Encrypt(BYTE *pCapsule);
    DWORD _Decrypt(BYTE *pCapsule);

    void _ParseDriverVersion();

    // Read access for callers and tests.
    const WCHAR *LastError() const { return _szLastError; }

    HANDLE _hDevice;
    WCHAR *_szVersion;
    DWORD _dwSessionId;
    DWORD _dwNextMessageId;
    BYTE *_pBlowfishContext;
    DWORD _bSecureSession;
    WCHAR *_szLastError;
    DWORD _dwVersionMajor;
    DWORD _dwVersionMinor;
    DWORD _dwVersionBuild;
    DWORD _dwVersionRevision;

private:
    // Formats one failure line into _szLastError, when it exists.
    void _SetError(const WCHAR *format, ...);
    void _ClearError();
    // The close request of a half-open session.
    void _SendSessionClose(DWORD dwSessionId);
    DWORD _CipherCapsule(BYTE *pCapsule, bool encipher);
};

extern CMiscCommon g_MiscCommon;

// Transient buffers may hold request data or key material: they are
// wiped before they go back to the process heap.
void HeapFreeWiped(HANDLE heap, void *block, SIZE_T size);

// Little-endian field access for the driver's byte layouts.
inline DWORD ReadLe32(const BYTE *p) {
    return (DWORD)p[0] | (DWORD)p[1] << 8 | (DWORD)p[2] << 16 | (DWORD)p[3] << 24;
}
inline WORD ReadLe16(const BYTE *p) { return (WORD)(p[0] | p[1] << 8); }
inline void WriteLe32(BYTE *p, DWORD v) {
    p[0] = (BYTE)v;
    p[1] = (BYTE)(v >> 8);
    p[2] = (BYTE)(v >> 16);
    p[3] = (BYTE)(v >> 24);
}
inline void WriteLe16(BYTE *p, WORD v) {
    p[0] = (BYTE)v;
    p[1] = (BYTE)(v >> 8);
}

}  // namespace MiscCommon
