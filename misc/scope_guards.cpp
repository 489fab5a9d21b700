// The resource owners and the device interface lookup.
#include "scope_guards.h"

#include "wipe.h"

namespace MiscCommon {

void CHeapBlock::Free() {
    if (!_pBlock) return;
    const DWORD error = GetLastError();
    secure_wipe(_pBlock, _size);
    HeapFree(GetProcessHeap(), 0, _pBlock);
    _pBlock = nullptr;
    SetLastError(error);
}

INTERFACE_RESULT CDeviceInterface::Find(const GUID &interfaceClass, DWORD flags, DWORD index,
                                        DWORD allocFlags) {
    if (!_set.Get(interfaceClass, flags)) return INTERFACE_NO_SET;

    SP_DEVICE_INTERFACE_DATA iface;
    memset(&iface, 0, sizeof iface);
    iface.cbSize = sizeof iface;
    if (!SetupDiEnumDeviceInterfaces(Set(), nullptr, &interfaceClass, index, &iface))
        return INTERFACE_NOT_LISTED;

    // The size query fails by design; it must say the buffer is too small,
    // and the size it gives must hold at least the record's header.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(Set(), &iface, nullptr, 0, &required, nullptr);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return INTERFACE_SIZE_FAILED;

    if (!_detail.Allocate(required, allocFlags)) return INTERFACE_NO_MEMORY;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_W)_detail.Get();
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(Set(), &iface, detail, required, &required, &_device))
        return INTERFACE_NO_DETAIL;
    return INTERFACE_FOUND;
}

}  // namespace MiscCommon
