// The thread's last error: Win32 keeps it per thread in the TEB, so the
// backend only passes it through.
#include "backend.h"

namespace ov {

namespace backend {

// GetLastError: the code the calling thread's most recent failing call set.
std::uint32_t get_last_error() noexcept { return GetLastError(); }

}  // namespace backend

// SetLastError: code above the seam reports an emulated failure exactly as
// a failing system call would.
void set_last_error(std::uint32_t code) { SetLastError(code); }

}  // namespace ov
