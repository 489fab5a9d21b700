// The hosted kernel's handle table: every HANDLE, HKEY and HDEVINFO the
// layer hands out is a slot here, so that a stale or foreign handle is
// refused as Windows refuses it.
#pragma once

#include <string>

#include "hosted.h"

namespace hosted {

enum class ObjectKind { Mutex, MiscDevice, BatteryDevice, DeviceInfoSet, RegistryKey };

struct Object {
    ObjectKind kind;
    std::string name;      // mutex name, device path
    int fd = -1;           // the lock file that keeps a named mutex alive
    int battery = -1;      // battery class interface index
    GUID interface_class;  // device information set: its class
    DWORD flags = 0;       // device information set: DIGCF_* flags
    int external = -1;     // misc device served by an external driver: its slot
};

void *AddObject(const Object &object);
// The object behind a handle of the given kind, or null.
Object *FindObject(void *handle, ObjectKind kind);
Object *FindAnyObject(void *handle);
void RemoveObject(void *handle);
const char *KindName(ObjectKind kind);

// The folders of state shared between simulated processes (named
// objects, open windows): CELLVARO_SIM_DIR, or /tmp/cellvaro-sim-<uid>,
// and below it the folders named by `relative` ("" for the top, or e.g.
// "session-1/windows"). Each is made when missing; each must be a folder
// of this user that no other user can write, since what it holds decides
// what other processes believe (a mutex that exists, a window). When one
// cannot be used the result is false with *error the Win32 error of a
// namespace that is missing (ERROR_PATH_NOT_FOUND) or may not be used
// (ERROR_ACCESS_DENIED), and the first such failure of the process prints
// one line on standard error.
bool StateFolder(const std::string &relative, std::string *path, DWORD *error);
// The folder name of a simulated session's objects: "session-<n>".
std::string SessionFolderName(uint32_t session);

// Closing a device handle (device.cpp) and a mutex (kernel.cpp).
void CloseDeviceObject(const Object &object);

}  // namespace hosted
