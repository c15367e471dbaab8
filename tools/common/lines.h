// What ovlogger and ovdbgview share about the lines they print: the
// columns in front of a line, and where the lines go.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools_platform.h"

namespace ov::tools {

// The columns --timestamps and --pid ask for.
struct columns {
    bool timestamps = false;
    bool pid = false;
    bool any() const noexcept { return timestamps || pid; }
};

// Room for every column and a NUL.
inline constexpr std::size_t columns_capacity = 64;

// Writes into out (columns_capacity bytes) the columns of a line printed
// now, always in this order:
//   timestamps  the local time, ISO 8601 with milliseconds, and a blank:
//               "2026-12-08T23:59:01.123 "
//   pid         the writer's process id: "[pid 1234] ", or "[pid ?] "
//               when writer is 0 (the system did not tell)
// Returns their length: 0 without columns.
std::size_t format_columns(const columns& which, std::uint32_t writer, char* out) noexcept;

// Standard output when path is nullptr, else the file opened for appending
// (created when missing).  nullptr after saying on standard error, as
// program, why the file cannot be opened.
ov::output_file* open_lines_output(const char* program, const char* path) noexcept;

}  // namespace ov::tools
