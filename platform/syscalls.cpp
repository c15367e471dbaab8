// The operation table, the same for every backend.  Both tables are constant-initialised aggregates of
// function addresses, so nothing runs when the library is loaded: the
// loader only applies base relocations to them.
#include "backend_calls.h"

namespace ov {

namespace {

constexpr syscalls backend_syscalls = {
    &backend::find_first_file,
    &backend::find_next_file,
    &backend::find_close,
    &backend::delete_found_file,
    &backend::get_last_error,
    &backend::open_file_mapping,
    &backend::map_view_of_file,
    &backend::unmap_view_of_file,
    &backend::close_handle,
    &backend::open_event,
    &backend::wait_for_single_object,
    &backend::set_event,
    &backend::reset_event,
    &backend::get_profile_int,
    &backend::register_window_message,
    &backend::output_debug_string,
    &backend::is_window,
    &backend::send_notify_message,
};

}  // namespace

constinit syscalls sys = backend_syscalls;

const syscalls& default_syscalls() { return backend_syscalls; }

}  // namespace ov
