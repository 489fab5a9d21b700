// The Win32 subset that Cellvaro uses, for hosts that are not Windows.
//
// Names, types, constants and behaviour follow the Windows SDK for the
// uses the program makes of them. WCHAR is wchar_t, as on Windows; on this
// host it is 32 bits wide, so code must size wide buffers with
// sizeof(WCHAR) rather than assuming 2.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#define WINAPI
#define CALLBACK
#define APIENTRY
#define EXTERN_C extern "C"

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int INT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef char CHAR;
typedef wchar_t WCHAR;
typedef WCHAR *LPWSTR, *PWSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef void *LPVOID, *PVOID, *HANDLE;
typedef const void *LPCVOID;
typedef size_t SIZE_T;
typedef uintptr_t ULONG_PTR, DWORD_PTR, UINT_PTR;
typedef intptr_t LONG_PTR, INT_PTR;
typedef LONG LSTATUS;
typedef DWORD *LPDWORD, *PDWORD;
typedef BYTE *LPBYTE, *PBYTE;
typedef DWORD ACCESS_MASK, REGSAM;

struct HINSTANCE__ { int unused; };
struct HWND__ { int unused; };
struct HKEY__ { int unused; };
typedef HINSTANCE__ *HINSTANCE, *HMODULE;
typedef HWND__ *HWND;
typedef HKEY__ *HKEY;
typedef PVOID HDEVINFO;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAKEINTRESOURCEW(i) ((LPWSTR)(ULONG_PTR)(WORD)(i))

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef const GUID *LPCGUID;
inline bool operator==(const GUID &a, const GUID &b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; i++)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

// ---- errors -------------------------------------------------------------
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_BAD_LENGTH 24L
#define ERROR_INTERNAL_ERROR 1359L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_KEY_DOES_NOT_EXIST 0xE0000204L
#define ERROR_INVALID_CLASS 0xE0000209L
#define ERROR_DEVINFO_NOT_REGISTERED 0xE0000208L

EXTERN_C DWORD WINAPI GetLastError(void);
EXTERN_C void WINAPI SetLastError(DWORD dwErrCode);

// ---- heap ---------------------------------------------------------------
#define HEAP_ZERO_MEMORY 0x00000008

EXTERN_C HANDLE WINAPI GetProcessHeap(void);
EXTERN_C LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
EXTERN_C BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);

// ---- kernel objects, time, exceptions -------------------------------------
EXTERN_C void WINAPI Sleep(DWORD dwMilliseconds);
EXTERN_C HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                    LPCWSTR lpName);
EXTERN_C BOOL WINAPI CloseHandle(HANDLE hObject);
EXTERN_C void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);
EXTERN_C BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount);

#define EXCEPTION_NONCONTINUABLE 0x1
#define EXCEPTION_INT_DIVIDE_BY_ZERO 0xC0000094L
#define EXCEPTION_INT_OVERFLOW 0xC0000095L
EXTERN_C void WINAPI RaiseException(DWORD dwExceptionCode, DWORD dwExceptionFlags,
                                    DWORD nNumberOfArguments, const ULONG_PTR *lpArguments);

// ---- user interface -------------------------------------------------------
#define MB_OK 0x00000000L
#define MB_ICONHAND 0x00000010L
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONASTERISK 0x00000040L
#define MB_ICONMASK 0x000000F0L
#define MB_TYPEMASK 0x0000000FL
#define IDOK 1

EXTERN_C void WINAPI InitCommonControls(void);
EXTERN_C int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
EXTERN_C int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
EXTERN_C HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName);
EXTERN_C BOOL WINAPI SetForegroundWindow(HWND hWnd);

// ---- files and devices ----------------------------------------------------
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080

#define FILE_DEVICE_BATTERY 0x00000029
#define FILE_DEVICE_UNKNOWN 0x00000022
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

EXTERN_C HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                   LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                   HANDLE hTemplateFile);
EXTERN_C BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                     DWORD nInBufferSize, LPVOID lpOutBuffer,
                                     DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                     LPOVERLAPPED lpOverlapped);

// ---- SetupAPI -------------------------------------------------------------
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010
#define DICS_FLAG_GLOBAL 0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002
#define DIREG_DEV 0x00000001
#define DIREG_DRV 0x00000002
#define SPINT_ACTIVE 0x00000001

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_W, *PSP_DEVICE_INTERFACE_DETAIL_DATA_W;

EXTERN_C HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator,
                                              HWND hwndParent, DWORD Flags);
EXTERN_C BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData,
                                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
EXTERN_C BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
EXTERN_C HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          DWORD Scope, DWORD HwProfile, DWORD KeyType,
                                          REGSAM samDesired);
EXTERN_C BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

// ---- registry -------------------------------------------------------------
#define KEY_READ 0x20019
#define REG_NONE 0
#define REG_SZ 1

EXTERN_C LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                         LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
EXTERN_C LSTATUS WINAPI RegCloseKey(HKEY hKey);

// ---- battery class --------------------------------------------------------
DEFINE_GUID(GUID_DEVICE_BATTERY, 0x72631e54L, 0x78A4, 0x11d0, 0xbc, 0xf7, 0x00, 0xaa, 0x00, 0xb7,
            0xb3, 0x2a);

#define IOCTL_BATTERY_QUERY_TAG \
    CTL_CODE(FILE_DEVICE_BATTERY, 0x10, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_BATTERY_QUERY_INFORMATION \
    CTL_CODE(FILE_DEVICE_BATTERY, 0x11, METHOD_BUFFERED, FILE_READ_ACCESS)

#define BATTERY_CAPACITY_RELATIVE 0x40000000
#define BATTERY_SYSTEM_BATTERY 0x80000000

typedef enum _BATTERY_QUERY_INFORMATION_LEVEL {
    BatteryInformation = 0,
    BatteryGranularityInformation,
    BatteryTemperature,
    BatteryEstimatedTime,
    BatteryDeviceName,
    BatteryManufactureDate,
    BatteryManufactureName,
    BatteryUniqueID,
    BatterySerialNumber
} BATTERY_QUERY_INFORMATION_LEVEL;

typedef struct _BATTERY_QUERY_INFORMATION {
    ULONG BatteryTag;
    BATTERY_QUERY_INFORMATION_LEVEL InformationLevel;
    LONG AtRate;
} BATTERY_QUERY_INFORMATION, *PBATTERY_QUERY_INFORMATION;

typedef struct _BATTERY_INFORMATION {
    ULONG Capabilities;
    UCHAR Technology;
    UCHAR Reserved[3];
    UCHAR Chemistry[4];
    ULONG DesignedCapacity;
    ULONG FullChargedCapacity;
    ULONG DefaultAlert1;
    ULONG DefaultAlert2;
    ULONG CriticalBias;
    ULONG CycleCount;
} BATTERY_INFORMATION, *PBATTERY_INFORMATION;

// ---- C runtime helpers that the Windows CRT provides -------------------------
#define _TRUNCATE ((size_t)-1)

// Case-insensitive comparison in the default locale: only A to Z fold.
EXTERN_C int _wcsicmp(const wchar_t *a, const wchar_t *b);
// Bounded formatting: with count _TRUNCATE the output is cut to fit and
// always terminated; returns -1 when it was cut.
EXTERN_C int _snwprintf_s(wchar_t *buffer, size_t sizeOfBuffer, size_t count,
                          const wchar_t *format, ...);
EXTERN_C int _vsnwprintf_s(wchar_t *buffer, size_t sizeOfBuffer, size_t count,
                           const wchar_t *format, va_list args);
EXTERN_C int _snprintf_s(char *buffer, size_t sizeOfBuffer, size_t count, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
// Bounded copies: with count _TRUNCATE the copy is cut to fit and always
// terminated. Return 0, or STRUNCATE (80) when cut.
#define STRUNCATE 80
EXTERN_C int strncpy_s(char *dest, size_t sizeOfDest, const char *src, size_t count);
EXTERN_C int wcsncpy_s(wchar_t *dest, size_t sizeOfDest, const wchar_t *src, size_t count);

// ---- entry point ----------------------------------------------------------
// The program provides it; the hosted start-up code calls it.
int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd);
