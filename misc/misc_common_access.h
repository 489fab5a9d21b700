// Access to CMiscCommon's state and internal steps for the tests and the
// fuzzers, which set up and inspect states the public operations only
// reach by a whole run. The product does not include this header.
#pragma once

#include "misc_common.h"

namespace MiscCommon {

struct CMiscCommonAccess {
    static HANDLE &_hDevice(CMiscCommon &m) { return m._hDevice; }
    static WCHAR *&_szVersion(CMiscCommon &m) { return m._szVersion; }
    static DWORD &_dwSessionId(CMiscCommon &m) { return m._dwSessionId; }
    static DWORD &_dwNextMessageId(CMiscCommon &m) { return m._dwNextMessageId; }
    static BYTE *&_pBlowfishContext(CMiscCommon &m) { return m._pBlowfishContext; }
    static DWORD &_bSecureSession(CMiscCommon &m) { return m._bSecureSession; }
    static WCHAR *&_szLastError(CMiscCommon &m) { return m._szLastError; }
    static DWORD &_dwVersionMajor(CMiscCommon &m) { return m._dwVersionMajor; }
    static DWORD &_dwVersionMinor(CMiscCommon &m) { return m._dwVersionMinor; }
    static DWORD &_dwVersionBuild(CMiscCommon &m) { return m._dwVersionBuild; }
    static DWORD &_dwVersionRevision(CMiscCommon &m) { return m._dwVersionRevision; }

    static BYTE *_InitializeMessageCapsule(CMiscCommon &m, const BYTE *pSource, DWORD dwSize) {
        return m._InitializeMessageCapsule(pSource, dwSize);
    }
    static DWORD _Encrypt(CMiscCommon &m, BYTE *pCapsule) { return m._Encrypt(pCapsule); }
    static DWORD _Decrypt(CMiscCommon &m, BYTE *pCapsule) { return m._Decrypt(pCapsule); }
};

}  // namespace MiscCommon
