#include <string.h>
#include "objects.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

namespace hosted {

namespace {
constexpr uintptr_t kFirstHandle = 0x1000;
constexpr uintptr_t kHandleStep = 4;

std::map<uintptr_t, Object> &Table() {
    static std::map<uintptr_t, Object> *table = new std::map<uintptr_t, Object>();
    return *table;
}
uintptr_t g_next = kFirstHandle;

void MakeDirectory(const std::string &path) { mkdir(path.c_str(), 0777); }
}  // namespace

void *AddObject(const Object &object) {
    uintptr_t h = g_next;
    g_next += kHandleStep;
    Table()[h] = object;
    return (void *)h;
}

Object *FindObject(void *handle, ObjectKind kind) {
    Object *o = FindAnyObject(handle);
    return o && o->kind == kind ? o : nullptr;
}

Object *FindAnyObject(void *handle) {
    auto it = Table().find((uintptr_t)handle);
    return it == Table().end() ? nullptr : &it->second;
}

void RemoveObject(void *handle) { Table().erase((uintptr_t)handle); }

const char *KindName(ObjectKind kind) {
    switch (kind) {
    case ObjectKind::Mutex: return "mutex";
    case ObjectKind::MiscDevice: return "misc_device";
    case ObjectKind::BatteryDevice: return "battery_device";
    case ObjectKind::DeviceInfoSet: return "device_info_set";
    case ObjectKind::RegistryKey: return "registry_key";
    }
    return "?";
}

std::string StateDirectory() {
    const char *dir = getenv("CELLVARO_SIM_DIR");
    std::string path = dir && *dir ? dir : "/tmp/cellvaro-sim-" + std::to_string(getuid());
    MakeDirectory(path);
    return path;
}

std::string SessionDirectory(uint32_t session) {
    std::string path = StateDirectory() + "/session-" + std::to_string(session);
    MakeDirectory(path);
    return path;
}

}  // namespace hosted

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    hosted::Object *o = hosted::FindAnyObject(hObject);
    if (!o || o->kind == hosted::ObjectKind::DeviceInfoSet ||
        o->kind == hosted::ObjectKind::RegistryKey) {
        hosted::Trace("\"event\":\"close_handle\",\"handle\":" + std::to_string((uintptr_t)hObject) +
                      ",\"result\":false");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    hosted::Trace("\"event\":\"close_handle\",\"handle\":" + std::to_string((uintptr_t)hObject) +
                  ",\"kind\":\"" + hosted::KindName(o->kind) +
                  "\",\"name\":" + hosted::JsonString(o->name) + ",\"result\":true");
    if (o->kind == hosted::ObjectKind::Mutex) {
        if (o->fd >= 0) close(o->fd);
    } else {
        hosted::CloseDeviceObject(*o);
    }
    hosted::RemoveObject(hObject);
    hosted::ClobberLastErrorAfterSuccess();
    return TRUE;
}
