// The owning guard for a Win32 HANDLE of the tools' own making (processes,
// threads, files, events outside ov::sys): the guard of platform.h, closed
// with CloseHandle.  Both of the values Win32 uses for "no handle",
// nullptr and INVALID_HANDLE_VALUE, are held as nullptr.
#pragma once

#include <windows.h>

#include "platform.h"

namespace ov::win32 {

struct native_handle_traits {
    using value_type = HANDLE;
    static constexpr HANDLE none = nullptr;
    static HANDLE adopt(HANDLE h) noexcept { return h == INVALID_HANDLE_VALUE ? nullptr : h; }
    static void close(HANDLE h) noexcept { CloseHandle(h); }
};
using unique_native_handle = owned_handle<native_handle_traits>;

}  // namespace ov::win32
