// Registered messages and the two things a client does with a window:
// RegisterWindowMessageA, IsWindow and SendNotifyMessageA.  The windows
// themselves belong to the logger (tools/platform/win32/window.cpp).
#include "backend.h"

namespace ov::backend {

// RegisterWindowMessageA: the same id in 0xC000..0xFFFF for the same name
// (compared case-insensitively) in every process of the session.
std::uint32_t register_window_message(const char* name) noexcept { return RegisterWindowMessageA(name); }

// IsWindow: a destroyed window's handle stays invalid, because a reused
// slot gets a new high word.
int is_window(hwnd32 window) noexcept { return IsWindow(to_hwnd(window)) ? 1 : 0; }

// SendNotifyMessageA: to a window of another thread it returns at once;
// 1400 when the window does not exist.
int send_notify_message(hwnd32 window, std::uint32_t message, std::uintptr_t wparam,
                        std::intptr_t lparam) noexcept {
    return SendNotifyMessageA(to_hwnd(window), message, wparam, lparam) ? 1 : 0;
}

}  // namespace ov::backend
