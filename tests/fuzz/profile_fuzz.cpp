// Fuzzes the WIN.INI reader: arbitrary file contents, then the integer
// lookups the library and its tests make.  Over-long lines, stray
// brackets, quotes and NUL bytes must neither crash nor read past a buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tools_platform.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path profile = [] {
        char path[4096];
        if (!ov::profile_file_path(path, sizeof path)) std::abort();
        fs::create_directories(fs::path(path).parent_path());
        return fs::path(path);
    }();
    {
        std::ofstream out(profile, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    volatile std::uint32_t sink = 0;
    sink = sink + ov::sys.get_profile_int("Quonvel", "UseDebuggerOutput", 0);
    sink = sink + ov::sys.get_profile_int("quonvel", "usedebuggeroutput", 7);
    sink = sink + ov::sys.get_profile_int("", "", -1);
    (void)sink;
    return 0;
}
