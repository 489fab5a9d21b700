// CMiscCommon: construction, discovery and opening of the misc driver, its
// version and the version gate, and the release of everything at exit.
#include "misc_common.h"

#include <stdarg.h>

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

void HeapFreeWiped(HANDLE heap, void *block, SIZE_T size) {
    if (!block) return;
    secure_wipe(block, size);
    HeapFree(heap, 0, block);
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

DWORD CMiscCommon::OpenDriver() {
    HANDLE heap = GetProcessHeap();
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_MISC, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        _SetError(L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetClassDevs failed.");
        return MISC_RESULT_FAILED;
    }

    SP_DEVICE_INTERFACE_DATA iface;
    memset(&iface, 0, sizeof iface);
    iface.cbSize = sizeof iface;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_MISC, 0, &iface)) {
        DWORD error = GetLastError();
        _SetError(L"MiscCommon::CMiscCommon::OpenDriver: SetupDiEnumDeviceInterfaces failed.");
        SetupDiDestroyDeviceInfoList(set);
        SetLastError(error);
        return MISC_RESULT_DEVICE_UNAVAILABLE;
    }

    // The size query fails by design; it must say the buffer is too small,
    // and the size it gives must hold at least the record's header.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, nullptr);
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER || required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        _SetError(
            L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail (First time) "
            L"failed.");
        SetupDiDestroyDeviceInfoList(set);
        SetLastError(error);
        return MISC_RESULT_FAILED;
    }

    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail =
        (PSP_DEVICE_INTERFACE_DETAIL_DATA_W)HeapAlloc(heap, 0, required);
    if (!detail) {
        error = GetLastError();
        _SetError(L"MiscCommon::CMiscCommon::OpenDriver: HeapAlloc failed.");
        SetupDiDestroyDeviceInfoList(set);
        SetLastError(error);
        return MISC_RESULT_INSUFFICIENT_BUFFER;
    }

    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device;
    memset(&device, 0, sizeof device);
    device.cbSize = sizeof device;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, required, &required, &device)) {
        error = GetLastError();
        _SetError(
            L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail (Second time) "
            L"failed.");
        SetupDiDestroyDeviceInfoList(set);
        HeapFreeWiped(heap, detail, required);
        SetLastError(error);
        return MISC_RESULT_FAILED;
    }

    // The version is read once per process.
    if (!_szVersion) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
        if (key == (HKEY)INVALID_HANDLE_VALUE) {
            error = GetLastError();
            _SetError(L"MiscCommon::CMiscCommon::OpenDriver: SetupDiOpenDevRegKey failed.");
            SetupDiDestroyDeviceInfoList(set);
            HeapFreeWiped(heap, detail, required);
            SetLastError(error);
            return MISC_RESULT_FAILED;
        }
        _szVersion = (WCHAR *)HeapAlloc(heap, HEAP_ZERO_MEMORY, kVersionBytes);
        if (!_szVersion) {
            _SetError(L"MiscCommon::CMiscCommon::OpenDriver: _szVersion array initialize failed.");
            SetupDiDestroyDeviceInfoList(set);
            HeapFreeWiped(heap, detail, required);
            RegCloseKey(key);
            return MISC_RESULT_FAILED;
        }
        DWORD type = 0, size = kVersionBytes;
        LSTATUS status =
            RegQueryValueExW(key, L"DriverVersion", nullptr, &type, (BYTE *)_szVersion, &size);
        if (status != ERROR_SUCCESS) {
            error = GetLastError();
            _SetError(L"MiscCommon::CMiscCommon::OpenDriver: RegQueryValueEx failed.");
            SetupDiDestroyDeviceInfoList(set);
            HeapFreeWiped(heap, detail, required);
            RegCloseKey(key);
            HeapFree(heap, 0, _szVersion);
            _szVersion = nullptr;
            SetLastError(error);
            return MISC_RESULT_FAILED;
        }
        // The registry does not promise a terminator: end the text within
        // what was read and within the buffer.
        DWORD chars = size / sizeof(WCHAR);
        _szVersion[chars < MISC_TEXT_CHARS ? chars : MISC_TEXT_CHARS - 1] = 0;
        _ParseDriverVersion();
        RegCloseKey(key);
    }

    SetupDiDestroyDeviceInfoList(set);

    _hDevice = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (_hDevice == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        _SetError(L"MiscCommon::CMiscCommon::OpenDriver: CreateFile failed.");
        HeapFreeWiped(heap, detail, required);
        SetLastError(error);
        return MISC_RESULT_OPEN_FAILED;
    }

    HeapFreeWiped(heap, detail, required);
    _ClearError();
    return MISC_RESULT_SUCCESS;
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
