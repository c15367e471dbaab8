// OutputDebugStringA: the debugger-output stream is standard error.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "backend.h"

namespace ov::backend {

// One write(2) for the whole text, so that lines from several processes
// sharing the stream do not interleave; only a partial write (a full pipe,
// a signal) makes a second call for the rest.
void output_debug_string(const char* text) noexcept {
    if (text == nullptr) return;
    std::size_t length = std::strlen(text);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = write(STDERR_FILENO, text + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to write: the text is dropped, as without a debugger
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace ov::backend
