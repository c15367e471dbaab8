// Fuzzes the platform's enumeration with arbitrary patterns below a small
// fixed tree: matching, separators, "." and ".." resolution and the length
// limits.  Nothing is deleted.  An enumeration that begins must yield
// NUL-terminated names and end with ERROR_NO_MORE_FILES; one that does not
// must say why with one of the codes FindFirstFileA gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tools_platform.h"

namespace fs = std::filesystem;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

const std::string& tree() {
    static const std::string root = [] {
        fs::path dir = fs::temp_directory_path() / ("ovdelete-fuzz-" + std::to_string(ov::current_process_id()));
        fs::create_directories(dir / "sub" / "deeper");
        for (const char* name : {"a.tmp", "B.TMP", "c.log", ".hidden", "sub/x1.tmp", "sub/deeper/y"})
            std::ofstream(dir / name) << 'x';
        static const fs::path remove_at_exit = dir;
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(remove_at_exit, ec);
        });
        return dir.string() + "/";
    }();
    return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string pattern = tree() + std::string(reinterpret_cast<const char*>(data), size);
    pattern = pattern.c_str();
    ov::find_data entry{};
    ov::handle find = ov::sys.find_first_file(pattern.c_str(), &entry);
    if (find == nullptr) {
        std::uint32_t code = ov::sys.get_last_error();
        check(code == ov::err::file_not_found || code == ov::err::path_not_found ||
              code == ov::err::access_denied || code == ov::err::filename_exced_range ||
              code == ov::err::invalid_name);
        return 0;
    }
    int entries = 0;
    do {
        check(std::memchr(entry.name, '\0', sizeof entry.name) != nullptr);
        check(entry.name[0] != '\0');
        ++entries;
    } while (ov::sys.find_next_file(find, &entry));
    check(ov::sys.get_last_error() == ov::err::no_more_files);
    check(entries >= 1);
    ov::sys.find_close(find);
    return 0;
}
