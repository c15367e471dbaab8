// The operation table.  Both tables are constant-initialised aggregates of
// function addresses, so nothing runs when the library is loaded: the
// loader only applies base relocations to them.
#include "backend.h"

namespace ov {

namespace {

constexpr syscalls real_syscalls = {
    &win32::find_first_file,
    &win32::find_next_file,
    &win32::find_close,
    &win32::delete_file,
    &win32::get_last_error,
    &win32::open_file_mapping,
    &win32::map_view_of_file,
    &win32::unmap_view_of_file,
    &win32::close_handle,
    &win32::open_event,
    &win32::wait_for_single_object,
    &win32::set_event,
    &win32::reset_event,
    &win32::get_profile_int,
    &win32::register_window_message,
    &win32::output_debug_string,
    &win32::is_window,
    &win32::send_notify_message,
};

}  // namespace

constinit syscalls sys = real_syscalls;

const syscalls& default_syscalls() { return real_syscalls; }

}  // namespace ov
