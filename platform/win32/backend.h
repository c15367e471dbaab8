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

// --- objects.cpp

// Room for an object's name with the namespace in front of it.
inline constexpr std::size_t object_name_capacity = MAX_PATH + 34;
// The name an object has in the OVDELETE_NAMESPACE namespace: "NAME.name"
// (after a "Local\\" or "Global\\" prefix), or the name itself when no
// namespace is set.
const char* object_name(const char* name, char (&buffer)[object_name_capacity]) noexcept;

}  // namespace ov::backend
