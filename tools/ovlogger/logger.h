// The logger process: owns the handoff objects that OVDELETE's diagnostic
// client opens, and writes every message it receives as one line on
// standard output.
#pragma once

#include <cstdint>

#include "lines.h"

namespace ovlogger {

struct settings {
    // Messages to take before exiting; 0 runs until a stop request.
    std::uint64_t count = 0;
    // The columns in front of each line.
    ov::tools::columns columns;
    // The file the lines are appended to; nullptr for standard output.
    const char* output = nullptr;
    // Each line, without the time, to the system's log as well.
    bool syslog = false;
};

// Exit statuses.
inline constexpr int exit_ok = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

// Creates (or takes over) the objects, says "ready" on standard error and
// serves until the count is reached or a stop is requested.  Returns the
// process's exit status.
int run(const settings& settings);

// Prints where the objects live (with OVDELETE_NAMESPACE applied) on
// standard output; exit_ok.
int print_place();

}  // namespace ovlogger
