// The operation table.  Both tables are constant-initialised aggregates of
// function addresses, so nothing runs when the library is loaded.
#include "backend.h"

namespace ov {

namespace {

constexpr syscalls posix_syscalls = {
    &posix::find_first_file,
    &posix::find_next_file,
    &posix::find_close,
    &posix::delete_file,
    &posix::get_last_error,
    &posix::open_file_mapping,
    &posix::map_view_of_file,
    &posix::unmap_view_of_file,
    &posix::close_handle,
    &posix::open_event,
    &posix::wait_for_single_object,
    &posix::set_event,
    &posix::reset_event,
    &posix::get_profile_int,
    &posix::register_window_message,
    &posix::output_debug_string,
    &posix::is_window,
    &posix::send_notify_message,
};

}  // namespace

constinit syscalls sys = posix_syscalls;

const syscalls& default_syscalls() { return posix_syscalls; }

}  // namespace ov
