// WIN.INI through the profile API.  Windows maps some of its sections to
// the registry; sections of applications stay in the file.  The tools' half
// (tools/platform/win32/profile.cpp) finds and writes the file.
#include "backend.h"

namespace ov {

namespace backend {

// GetProfileIntA: the key's value parsed as an integer, the default when
// the key or its value is missing; a negative value comes back as its
// 32-bit two's complement.
std::uint32_t get_profile_int(const char* section, const char* key, int default_value) noexcept {
    return GetProfileIntA(section, key, default_value);
}

}  // namespace backend

}  // namespace ov
