// Internal interface of the Win32 backend: the operations behind ov::sys
// and the conversions its files share.  Nothing above platform/ includes
// this header.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "platform.h"

namespace ov::win32 {

// --- errors.cpp

std::uint32_t get_last_error() noexcept;

// --- files.cpp

handle find_first_file(const char* pattern, find_data* out) noexcept;
int find_next_file(handle find, find_data* out) noexcept;
int find_close(handle find) noexcept;
int delete_file(const char* path) noexcept;

// --- objects.cpp

handle open_file_mapping(std::uint32_t access, const char* name) noexcept;
void* map_view_of_file(handle mapping, std::uint32_t access, std::size_t* size) noexcept;
int unmap_view_of_file(void* view, std::size_t size) noexcept;
int close_handle(handle h) noexcept;
handle open_event(std::uint32_t access, const char* name) noexcept;
std::uint32_t wait_for_single_object(handle h, std::uint32_t timeout_ms) noexcept;
int set_event(handle h) noexcept;
int reset_event(handle h) noexcept;

// --- profile.cpp

std::uint32_t get_profile_int(const char* section, const char* key, int default_value) noexcept;

// --- window.cpp

std::uint32_t register_window_message(const char* name) noexcept;
int is_window(hwnd32 window) noexcept;
int send_notify_message(hwnd32 window, std::uint32_t message, std::uintptr_t wparam,
                        std::intptr_t lparam) noexcept;

// --- debug_output.cpp

void output_debug_string(const char* text) noexcept;

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

}  // namespace ov::win32

namespace ov::win32 {

// --- window.cpp: the stop request's named event.
//
// install_stop_handler() creates a manual-reset event named after the
// process id; stop_process() sets it in the target, because Wine does not
// deliver GenerateConsoleCtrlEvent to a child without a real console, and
// Windows only between processes that share one.
inline constexpr std::size_t stop_event_name_capacity = 40;
void stop_event_name(char (&name)[stop_event_name_capacity], DWORD process_id) noexcept;

}  // namespace ov::win32
