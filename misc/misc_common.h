// Driver access: the process-wide CMiscCommon object that finds and opens
// the platform's misc driver, keeps its version and the secure session,
// and carries every request to it.
#pragma once

#include "platform.h"

#include "byte_order.h"
#include "misc_driver.h"

namespace MiscCommon {

class CHeapBlock;
struct HandshakeSecrets;

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

// The misc driver's interface class as the SetupAPI calls take it, built
// from the one definition of its fields.
constexpr GUID GUID_DEVINTERFACE_MISC = GuidFromProtocol<GUID>(MISC_INTERFACE_CLASS);

constexpr DWORD MISC_TEXT_CHARS = 256;            // _szVersion and _szLastError
constexpr DWORD MISC_BLOWFISH_CONTEXT_SIZE = 4168;  // 18 + 4 x 256 words

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
    // pPacket points to a misc packet of sizePacket bytes.
    DWORD CallMiscFunction(BYTE *pPacket, DWORD sizePacket);

    BOOL EncapsuledDeviceIoControl(LPVOID pInBuffer, DWORD nInBufferSize, LPVOID pOutBuffer,
                                   DWORD nOutBufferSize, DWORD *pBytesReturned);

    const WCHAR *LastError() const { return _szLastError; }

private:
    // The tests' and fuzzers' way in (misc_common_access.h); the product
    // has no use for it.
    friend struct CMiscCommonAccess;

    // The capsule layer, used by EncapsuledDeviceIoControl alone.
    BYTE *_InitializeMessageCapsule(const BYTE *pSource, DWORD dwSize);
    DWORD _Encrypt(BYTE *pCapsule);
    DWORD _Decrypt(BYTE *pCapsule);
    DWORD _CipherCapsule(BYTE *pCapsule, bool encipher);

    void _ParseDriverVersion();
    // Reads DriverVersion from the driver's software key into _szVersion,
    // which stays null when the read fails.
    DWORD _ReadDriverVersion(HDEVINFO set, SP_DEVINFO_DATA *device);
    // Phases 2 and 3 of the session handshake.
    DWORD _Authenticate(HandshakeSecrets &s, const BYTE *request1, const BYTE *reply1,
                        DWORD sessionId, CHeapBlock &context);
    // The close request of a half-open session.
    void _SendSessionClose(DWORD dwSessionId);

    // Formats one failure line into _szLastError, when it exists.
    void _SetError(const WCHAR *format, ...);
    void _ClearError();
    // Writes the text and returns result, the thread's last error kept.
    DWORD _Fail(DWORD result, const WCHAR *text);

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
};

extern CMiscCommon g_MiscCommon;

// A request of one misc function: the header of its shape and zeros, in a
// buffer of shape.outSize bytes, the packet's whole length.
inline void BuildMiscPacket(BYTE *pPacket, const MISC_FUNCTION_SHAPE &shape) {
    memset(pPacket, 0, shape.outSize);
    pPacket[MISC_PACKET_FUNCTION] = shape.function;
    pPacket[MISC_PACKET_GROUP] = MISC_FUNCTION_GROUP;
    WriteLe16(pPacket + MISC_PACKET_IN_SIZE, shape.inSize);
    WriteLe16(pPacket + MISC_PACKET_OUT_SIZE, shape.outSize);
    WriteLe16(pPacket + MISC_PACKET_RESERVED, 0);
}

}  // namespace MiscCommon
