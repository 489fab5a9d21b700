// The handle table, the shared state folders and CloseHandle.
#include "objects.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "host_steps.h"
#include "trace_line.h"

namespace hosted {

namespace {
constexpr uintptr_t kFirstHandle = 0x1000;
constexpr uintptr_t kHandleStep = 4;

std::map<uintptr_t, Object> &Table() {
    static std::map<uintptr_t, Object> *table = new std::map<uintptr_t, Object>();
    return *table;
}
uintptr_t g_next = kFirstHandle;
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

namespace {

std::string StateFolderName() {
    const char *dir = getenv("CELLVARO_SIM_DIR");
    return dir && *dir ? dir : "/tmp/cellvaro-sim-" + std::to_string(getuid());
}

bool Unusable(const std::string &path, DWORD code, const std::string &reason, DWORD *error) {
    static bool reported = false;
    if (!reported) {
        reported = true;
        (void)fprintf(stderr, "cellvaro: simulator folder %s: %s\n", path.c_str(), reason.c_str());
    }
    *error = code;
    return false;
}

bool UnusableErrno(const std::string &path, const char *step, int error, DWORD *code) {
    return Unusable(path, Win32ErrorOf(error), std::string(step) + ": " + strerror(error), code);
}

// A folder that can hold shared state: made when missing, then a folder
// (or a link of this user's to one) of this user that no other user can
// write into.
bool UsableFolder(const std::string &path, DWORD *error) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) return UnusableErrno(path, "cannot be examined", errno, error);
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return UnusableErrno(path, "missing and cannot be made", errno, error);
        if (lstat(path.c_str(), &st) != 0) return UnusableErrno(path, "cannot be examined", errno, error);
    }
    if (S_ISLNK(st.st_mode)) {
        if (st.st_uid != geteuid())
            return Unusable(path, ERROR_ACCESS_DENIED, "a link that belongs to another user", error);
        if (stat(path.c_str(), &st) != 0) return UnusableErrno(path, "a link to nothing", errno, error);
    }
    if (!S_ISDIR(st.st_mode)) return Unusable(path, ERROR_PATH_NOT_FOUND, "not a folder", error);
    if (st.st_uid != geteuid())
        return Unusable(path, ERROR_ACCESS_DENIED, "belongs to another user", error);
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return Unusable(path, ERROR_ACCESS_DENIED, "other users can write to it", error);
    return true;
}

}  // namespace

bool StateFolder(const std::string &relative, std::string *path, DWORD *error) {
    std::string folder = StateFolderName();
    if (!UsableFolder(folder, error)) return false;
    for (size_t start = 0; start < relative.size();) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        folder += "/" + relative.substr(start, end - start);
        if (!UsableFolder(folder, error)) return false;
        start = end + 1;
    }
    *path = folder;
    return true;
}

std::string SessionFolderName(uint32_t session) { return "session-" + std::to_string(session); }

}  // namespace hosted

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    hosted::Object *o = hosted::FindAnyObject(hObject);
    if (!o || o->kind == hosted::ObjectKind::DeviceInfoSet ||
        o->kind == hosted::ObjectKind::RegistryKey) {
        hosted::CTraceLine("close_handle").Handle("handle", hObject).Set("result", false).Write();
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    hosted::CTraceLine("close_handle")
        .Handle("handle", hObject)
        .Set("kind", hosted::KindName(o->kind))
        .Set("name", o->name)
        .Set("result", true)
        .Write();
    if (o->kind == hosted::ObjectKind::Mutex) {
        if (o->fd >= 0) close(o->fd);
    } else {
        hosted::CloseDeviceObject(*o);
    }
    hosted::RemoveObject(hObject);
    hosted::ClobberLastErrorAfterSuccess();
    return TRUE;
}
