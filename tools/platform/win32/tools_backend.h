// Internal interface of the tools' half of the Win32 backend: what its
// files share, on top of the library's backend (platform/win32/backend.h).
#pragma once

#include "backend.h"

namespace ov::backend {

// --- window.cpp: the stop request's named event.
//
// install_stop_handler() creates a manual-reset event named after the
// process id; stop_process() sets it in the target, because Wine does not
// deliver GenerateConsoleCtrlEvent to a child without a real console, and
// Windows only between processes that share one.
inline constexpr std::size_t stop_event_name_capacity = 40;
void stop_event_name(char (&name)[stop_event_name_capacity], DWORD process_id) noexcept;

// --- objects.cpp: the name an object has in the OVDELETE_NAMESPACE
// namespace is the library's (platform/win32/objects.cpp).

}  // namespace ov::backend
