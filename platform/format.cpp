// Bounded formatting shared by both backends.  On MinGW the build defines
// __USE_MINGW_ANSI_STDIO so that vsnprintf is mingw-w64's C99 one, which
// always terminates, rather than msvcrt's.
#include "platform.h"

#include <cstdio>

namespace ov {

std::size_t format_text_v(char* dst, std::size_t capacity, const char* format, va_list args) {
    int needed = std::vsnprintf(dst, capacity, format, args);
    if (needed < 0) {
        dst[0] = '\0';
        return 0;
    }
    // Terminated only where a cut text ends: a text that fits is already
    // terminated, and the bytes behind it are not ours to touch (the
    // logger's message area ends its mapping).
    if (static_cast<std::size_t>(needed) >= capacity) dst[capacity - 1] = '\0';
    return static_cast<std::size_t>(needed);
}

std::size_t format_text(char* dst, std::size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::size_t needed = format_text_v(dst, capacity, format, args);
    va_end(args);
    return needed;
}

}  // namespace ov
