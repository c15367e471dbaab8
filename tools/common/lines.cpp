#include "lines.h"

#include <cstdio>

namespace ov::tools {

std::size_t format_columns(const columns& which, std::uint32_t writer, char* out) noexcept {
    std::size_t length = 0;
    out[0] = '\0';
    if (which.timestamps) {
        ov::local_time t = ov::local_time_now();
        length += ov::format_text(out, columns_capacity, "%04u-%02u-%02uT%02u:%02u:%02u.%03u ", unsigned{t.year},
                                  unsigned{t.month}, unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute},
                                  unsigned{t.second}, unsigned{t.millisecond});
    }
    if (which.pid) {
        char* at = out + length;
        std::size_t room = columns_capacity - length;
        length += writer != 0 ? ov::format_text(at, room, "[pid %lu] ", static_cast<unsigned long>(writer))
                              : ov::format_text(at, room, "[pid ?] ");
    }
    return length;
}

ov::output_file* open_lines_output(const char* program, const char* path) noexcept {
    if (path == nullptr) return ov::standard_output();
    ov::output_file* file = ov::open_append_file(path);
    if (file == nullptr) {
        std::fprintf(stderr, "%s: cannot open %s for appending (error %u)\n", program, path,
                     static_cast<unsigned>(ov::sys.get_last_error()));
    }
    return file;
}

}  // namespace ov::tools
