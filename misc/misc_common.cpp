// CMiscCommon: construction, discovery and opening of the misc driver, its
// version and the version gate, and the release of everything at exit.
#include "misc_common.h"

#include <stdarg.h>

#include "scope_guards.h"
#include "wipe.h"

namespace MiscCommon {

namespace {
constexpr DWORD kVersionBytes = MISC_TEXT_CHARS * sizeof(WCHAR);
constexpr DWORD kGateMajor = 1, kGateMinor = 0, kGateBuild = 8;
}  // namespace

// The one instance, made by static initialisation; its destructor runs at
// process exit and releases the session and the device.
CMiscCommon g_MiscCommon;

CMiscCommon::CMiscCommon() {
    _hDevice = INVALID_HANDLE_VALUE;
    _szLastError = (WCHAR *)HeapAlloc(GetProcessHeap(), 0, kVersionBytes);
    if (_szLastError) _szLastError[0] = 0;
    _szVersion = nullptr;
    _dwVersionMajor = 0;
    _dwVersionMinor = 0;
    _dwVersionBuild = 0;
    _dwVersionRevision = 0;
    _dwSessionId = 0;
    _dwNextMessageId = 0;
    _pBlowfishContext = nullptr;
    _bSecureSession = 1;
}

CMiscCommon::~CMiscCommon() {
    CloseDriver();
    if (_szLastError) {
        HeapFree(GetProcessHeap(), 0, _szLastError);
        _szLastError = nullptr;
    }
    if (_szVersion) {
        HeapFree(GetProcessHeap(), 0, _szVersion);
        _szVersion = nullptr;
    }
}

void CMiscCommon::_SetError(const WCHAR *format, ...) {
    if (!_szLastError) return;
    va_list ap;
    va_start(ap, format);
    _vsnwprintf_s(_szLastError, MISC_TEXT_CHARS, _TRUNCATE, format, ap);
    va_end(ap);
}

void CMiscCommon::_ClearError() {
    if (_szLastError) _szLastError[0] = 0;
}

DWORD CMiscCommon::_Fail(DWORD result, const WCHAR *text) {
    const DWORD error = GetLastError();
    _SetError(text);
    SetLastError(error);
    return result;
}

DWORD CMiscCommon::OpenDriver() {
    CDeviceInterface device;
    switch (device.Find(GUID_DEVINTERFACE_MISC, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, 0, 0)) {
    case INTERFACE_FOUND: break;
    case INTERFACE_NO_SET:
        return _Fail(MISC_RESULT_FAILED,
                     L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetClassDevs failed.");
    case INTERFACE_NOT_LISTED:
        return _Fail(MISC_RESULT_DEVICE_UNAVAILABLE,
                     L"MiscCommon::CMiscCommon::OpenDriver: SetupDiEnumDeviceInterfaces failed.");
    case INTERFACE_SIZE_FAILED:
        return _Fail(MISC_RESULT_FAILED,
                     L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail (First "
                     L"time) failed.");
    case INTERFACE_NO_MEMORY:
        return _Fail(MISC_RESULT_INSUFFICIENT_BUFFER,
                     L"MiscCommon::CMiscCommon::OpenDriver: HeapAlloc failed.");
    default:
        return _Fail(MISC_RESULT_FAILED,
                     L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail "
                     L"(Second time) failed.");
    }

    // The version is read once per process.
    if (!_szVersion) {
        const DWORD result = _ReadDriverVersion(device.Set(), device.Device());
        if (result != MISC_RESULT_SUCCESS) return result;
    }
    device.CloseSet();

    _hDevice = device.Open(GENERIC_READ | GENERIC_WRITE);
    if (_hDevice == INVALID_HANDLE_VALUE)
        return _Fail(MISC_RESULT_OPEN_FAILED,
                     L"MiscCommon::CMiscCommon::OpenDriver: CreateFile failed.");
    _ClearError();
    return MISC_RESULT_SUCCESS;
}

// Inline: OpenDriver, its one caller, takes it in whole.
inline DWORD CMiscCommon::_ReadDriverVersion(HDEVINFO set, SP_DEVINFO_DATA *device) {
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == (HKEY)INVALID_HANDLE_VALUE)
        return _Fail(MISC_RESULT_FAILED,
                     L"MiscCommon::CMiscCommon::OpenDriver: SetupDiOpenDevRegKey failed.");

    DWORD result = MISC_RESULT_SUCCESS;
    _szVersion = (WCHAR *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kVersionBytes);
    if (!_szVersion) {
        result = _Fail(MISC_RESULT_FAILED,
                       L"MiscCommon::CMiscCommon::OpenDriver: _szVersion array initialize failed.");
    } else {
        DWORD type = 0, size = kVersionBytes;
        if (RegQueryValueExW(key, L"DriverVersion", nullptr, &type, (BYTE *)_szVersion, &size) !=
            ERROR_SUCCESS) {
            result = _Fail(MISC_RESULT_FAILED,
                           L"MiscCommon::CMiscCommon::OpenDriver: RegQueryValueEx failed.");
        } else {
            // The registry does not promise a terminator: end the text within
            // what was read and within the buffer.
            const DWORD chars = size / sizeof(WCHAR);
            _szVersion[chars < MISC_TEXT_CHARS ? chars : MISC_TEXT_CHARS - 1] = 0;
            _ParseDriverVersion();
        }
    }

    const DWORD error = GetLastError();
    RegCloseKey(key);
    if (result != MISC_RESULT_SUCCESS && _szVersion) {
        HeapFree(GetProcessHeap(), 0, _szVersion);
        _szVersion = nullptr;
    }
    SetLastError(error);
    return result;
}

void CMiscCommon::_ParseDriverVersion() {
    if (!_szVersion) return;
    // Fields the text does not supply keep their values.
    int major = (int)_dwVersionMajor, minor = (int)_dwVersionMinor;
    int build = (int)_dwVersionBuild, revision = (int)_dwVersionRevision;
    (void)swscanf(_szVersion, L"%d.%d.%d.%d", &major, &minor, &build, &revision);
    _dwVersionMajor = (DWORD)major;
    _dwVersionMinor = (DWORD)minor;
    _dwVersionBuild = (DWORD)build;
    _dwVersionRevision = (DWORD)revision;
}

BOOL CMiscCommon::IsDriverVersionSupported() const {
    if (_dwVersionMajor != kGateMajor) return _dwVersionMajor > kGateMajor;
    // cppcheck-suppress knownConditionTrueFalse ; true while the gate's minor is 0, kept general
    if (_dwVersionMinor != kGateMinor) return _dwVersionMinor > kGateMinor;
    return _dwVersionBuild >= kGateBuild;
}

void CMiscCommon::_SendSessionClose(DWORD dwSessionId) {
    BYTE request[MISC_SESSION_ID_SIZE];
    WriteLe32(request, dwSessionId);
    DWORD returned = 0;
    DeviceIoControl(_hDevice, IOCTL_MISC_SESSION_CLOSE, request, sizeof request, nullptr, 0,
                    &returned, nullptr);
}

void CMiscCommon::CloseDriver() {
    if (_hDevice == INVALID_HANDLE_VALUE) return;
    if (_pBlowfishContext) {
        _SendSessionClose(_dwSessionId);
        _dwSessionId = 0;
        _dwNextMessageId = 0;
        secure_wipe(_pBlowfishContext, MISC_BLOWFISH_CONTEXT_SIZE);
        HeapFree(GetProcessHeap(), 0, _pBlowfishContext);
        _pBlowfishContext = nullptr;
    }
    CloseHandle(_hDevice);
    _hDevice = INVALID_HANDLE_VALUE;
}

}  // namespace MiscCommon
