// GoogleTest's porting hook, found ahead of its own empty one. The
// win32-thread MinGW-w64 g++ 12 has no std::mutex or
// std::condition_variable, which GoogleTest's Notification uses; this one
// rests on a Win32 event instead. The rest of GoogleTest's Windows
// threading already uses Win32 primitives.
#ifndef GOOGLETEST_INCLUDE_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_
#define GOOGLETEST_INCLUDE_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : _hEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() {
        if (_hEvent != nullptr) CloseHandle(_hEvent);
    }
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;

    void Notify() { SetEvent(_hEvent); }
    void WaitForNotification() { WaitForSingleObject(_hEvent, INFINITE); }

private:
    HANDLE _hEvent;
};

}  // namespace internal
}  // namespace testing

#endif
