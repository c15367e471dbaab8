// Internal interface of the tools' half of the POSIX backend: what its
// files share, on top of the library's backend (platform/posix/backend.h).
#pragma once

#include "backend.h"

namespace ov::backend {

// The user's place, made where it is missing (each directory private to
// the user), and held as object_directory() holds it.  -1 with the last
// error set when it cannot be made or is not the user's own.
int make_object_directory() noexcept;

}  // namespace ov::backend
