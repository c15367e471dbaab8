// Building a Win32 command line from an argument vector, shared by the
// backend's spawn_process and the Windows-only tools.
#pragma once

#include <string>

namespace ov::backend {

// The command line that the C runtime's parser (CommandLineToArgvW's rules)
// splits back into exactly these arguments; argv ends with nullptr.  An
// argument with a blank or a quote, or an empty one, goes in quotes, and
// backslashes are doubled only where a quote follows them.
std::string command_line(const char* const* argv);

}  // namespace ov::backend
