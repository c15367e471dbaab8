// The operations of the ov::sys table, as each backend implements them in
// platform/<backend>/ with the same file names.  Only the backends and the
// table itself (syscalls.cpp) include this; the rest of the program sees the
// table through platform.h.
#pragma once

#include "platform.h"

namespace ov::backend {

std::uint32_t get_last_error() noexcept;

// --- files.cpp

handle find_first_file(const char* pattern, find_data* out) noexcept;
int find_next_file(handle find, find_data* out) noexcept;
int find_close(handle find) noexcept;
int delete_found_file(handle find, const char* path, const char* name) noexcept;

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

}  // namespace ov::backend
