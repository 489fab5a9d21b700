// Owners of the transient resources of the driver operations: each
// releases what it holds when it goes out of scope, so that a function has
// one way of cleaning up. A release keeps the thread's last error, so that
// the error of a failed call reaches the caller as that call left it.
#pragma once

#include "platform.h"

namespace MiscCommon {

// A block of the process heap. Transient buffers may hold request data or
// key material: the block is wiped before it goes back to the heap.
class CHeapBlock {
public:
    CHeapBlock() : _pBlock(nullptr), _size(0) {}
    ~CHeapBlock() { Free(); }
    CHeapBlock(const CHeapBlock &) = delete;
    CHeapBlock &operator=(const CHeapBlock &) = delete;

    // HeapAlloc of size bytes with the given flags; false when it failed.
    bool Allocate(SIZE_T size, DWORD flags) {
        Free();
        _pBlock = (BYTE *)HeapAlloc(GetProcessHeap(), flags, size);
        _size = size;
        return _pBlock != nullptr;
    }
    // Takes over a block of size bytes from the process heap.
    void Adopt(BYTE *pBlock, SIZE_T size) {
        Free();
        _pBlock = pBlock;
        _size = size;
    }
    BYTE *Get() const { return _pBlock; }
    // Hands the block on: the guard no longer frees it.
    BYTE *Release() {
        BYTE *block = _pBlock;
        _pBlock = nullptr;
        return block;
    }
    // Wipes and frees the block now.
    void Free();

private:
    BYTE *_pBlock;
    SIZE_T _size;
};

// A SetupAPI device information set.
class CDeviceInfoSet {
public:
    CDeviceInfoSet() : _hSet(INVALID_HANDLE_VALUE) {}
    ~CDeviceInfoSet() { Destroy(); }
    CDeviceInfoSet(const CDeviceInfoSet &) = delete;
    CDeviceInfoSet &operator=(const CDeviceInfoSet &) = delete;

    // SetupDiGetClassDevsW of the interface class; false when it failed.
    bool Get(const GUID &interfaceClass, DWORD flags) {
        Destroy();
        _hSet = SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr, flags);
        return _hSet != INVALID_HANDLE_VALUE;
    }
    HDEVINFO Handle() const { return _hSet; }
    void Destroy() {
        if (_hSet == INVALID_HANDLE_VALUE) return;
        const DWORD error = GetLastError();
        SetupDiDestroyDeviceInfoList(_hSet);
        _hSet = INVALID_HANDLE_VALUE;
        SetLastError(error);
    }

private:
    HDEVINFO _hSet;
};

// A kernel object handle, closed.
class CHandle {
public:
    explicit CHandle(HANDLE h) : _h(h) {}
    ~CHandle() {
        if (_h == INVALID_HANDLE_VALUE) return;
        const DWORD error = GetLastError();
        CloseHandle(_h);
        SetLastError(error);
    }
    CHandle(const CHandle &) = delete;
    CHandle &operator=(const CHandle &) = delete;

    HANDLE Get() const { return _h; }
    bool IsValid() const { return _h != INVALID_HANDLE_VALUE; }

private:
    HANDLE _h;
};

// Where finding a device interface stopped.
enum INTERFACE_RESULT : DWORD {
    INTERFACE_FOUND = 0,
    INTERFACE_NO_SET,        // SetupDiGetClassDevsW
    INTERFACE_NOT_LISTED,    // SetupDiEnumDeviceInterfaces
    INTERFACE_SIZE_FAILED,   // the size query: not ERROR_INSUFFICIENT_BUFFER, or too small
    INTERFACE_NO_MEMORY,     // HeapAlloc of the detail record
    INTERFACE_NO_DETAIL,     // the detail query
};

// One interface of a device interface class: the information set, the
// interface's detail record with its device path, and its device. Each
// failing step leaves its call's last error in place.
class CDeviceInterface {
public:
    CDeviceInterface() {
        memset(&_device, 0, sizeof _device);
        _device.cbSize = sizeof _device;
    }

    // Enumerates the interfaces of the class (SetupDiGetClassDevsW flags),
    // takes the one at index and reads its detail record, allocated with
    // the given HeapAlloc flags.
    INTERFACE_RESULT Find(const GUID &interfaceClass, DWORD flags, DWORD index, DWORD allocFlags);
    HDEVINFO Set() const { return _set.Handle(); }
    SP_DEVINFO_DATA *Device() { return &_device; }
    void CloseSet() { _set.Destroy(); }
    // CreateFileW of the device path: exclusive, synchronous.
    HANDLE Open(DWORD access) const {
        const WCHAR *path = ((PSP_DEVICE_INTERFACE_DETAIL_DATA_W)_detail.Get())->DevicePath;
        return CreateFileW(path, access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }

private:
    CDeviceInfoSet _set;
    CHeapBlock _detail;
    SP_DEVINFO_DATA _device;
};

}  // namespace MiscCommon
