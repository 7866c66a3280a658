// GoogleTest's Notification on Windows events. Its own is built on
// std::mutex, which the win32 thread model of MinGW's C++ runtime lacks;
// included ahead of every GoogleTest source here, with
// GTEST_HAS_NOTIFICATION_ set so that GoogleTest takes this one.
#pragma once

#include <windows.h>

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    void Notify() { SetEvent(event); }
    void WaitForNotification() { WaitForSingleObject(event, INFINITE); }

private:
    HANDLE event;
};

}  // namespace internal
}  // namespace testing
