// Internal interface of the Win32 backend: the operations behind ov::sys
// and the conversions its files share.  Nothing above platform/ includes
// this header.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "backend_calls.h"

namespace ov::backend {

// --- conversions

// Window handles carry 32 significant bits on every Windows, so that 32-
// and 64-bit processes can exchange them: a 64-bit process sign-extends the
// 32-bit value (LongToHandle) and truncates it back (HandleToLong).
inline HWND to_hwnd(hwnd32 window) noexcept {
    return reinterpret_cast<HWND>(static_cast<INT_PTR>(static_cast<LONG>(window)));
}
inline hwnd32 from_hwnd(HWND window) noexcept {
    return static_cast<hwnd32>(reinterpret_cast<UINT_PTR>(window));
}

}  // namespace ov::backend

namespace ov::backend {

// --- window.cpp: the stop request's named event.
//
// install_stop_handler() creates a manual-reset event named after the
// process id; stop_process() sets it in the target, because Wine does not
// deliver GenerateConsoleCtrlEvent to a child without a real console, and
// Windows only between processes that share one.
inline constexpr std::size_t stop_event_name_capacity = 40;
void stop_event_name(char (&name)[stop_event_name_capacity], DWORD process_id) noexcept;

}  // namespace ov::backend
