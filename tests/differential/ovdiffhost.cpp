// ovdiffhost: the host for the differential check (run.py).  Loads the
// OVDELETE library once, as the host application does, and makes one
// FileDeleteWC call per scenario, each in the scenario's own directory, so
// that a whole corpus costs one process: under Wine a process start is the
// expensive part.
//
//   ovdiffhost SCRIPT RESULTS
//
// SCRIPT holds NUL-terminated fields in pairs: a directory, relative to the
// directory the program starts in, and the pattern to pass.  Before scenario
// N (counted from 0), and once more after the last, the program calls
// FileDeleteWC("ovdiff-mark-NNNN.none") in the starting directory, where
// nothing matches that name: the "File Not Found" line it reports marks, in
// the logger's output or in the debugger output, where the lines of scenario
// N begin.  RESULTS receives "N RESULT" for each scenario as it ends.
//
// Nothing is written to standard output, which under ovdbgview is shared
// with the debug strings.  Exit status 0 after the last call, 2 for bad
// usage or when the library, a file or a directory cannot be used.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ovdelete.h"
#include "tools_platform.h"

namespace {

constexpr int exit_error = 2;
constexpr std::size_t path_size = 4096;

int fail(const char* what, const char* subject) {
    std::fprintf(stderr, "ovdiffhost: %s%s\n", what, subject);
    return exit_error;
}

// The script's fields; false when it cannot be read or is not in pairs.
bool read_script(const char* path, std::vector<std::string>& fields) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    std::string data;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) data.append(buffer, n);
    bool read_ok = std::ferror(file) == 0;
    std::fclose(file);
    if (!read_ok) return false;
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find('\0', start);
        if (end == std::string::npos) return false;
        fields.push_back(data.substr(start, end - start));
        start = end + 1;
    }
    return fields.size() % 2 == 0;
}

void mark(FileDeleteWC_fn file_delete, std::size_t index) {
    char pattern[64];
    std::snprintf(pattern, sizeof pattern, "ovdiff-mark-%04lu.none", static_cast<unsigned long>(index));
    file_delete(pattern);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return fail("usage: ovdiffhost SCRIPT RESULTS", "");
    std::vector<std::string> fields;
    if (!read_script(argv[1], fields)) return fail("cannot read the script ", argv[1]);

    char library[path_size];
    if (!ov::executable_directory(library, sizeof library) ||
        !ov::append_text(library, sizeof library, ov::library_file_name())) {
        return fail("cannot find the library beside this program", "");
    }
    ov::handle module = ov::load_library(library);
    if (module == nullptr) return fail("cannot load ", library);
    auto file_delete = reinterpret_cast<FileDeleteWC_fn>(ov::get_proc_address(module, "FileDeleteWC"));
    if (file_delete == nullptr) return fail("no export FileDeleteWC in ", library);

    char base[path_size];
    if (!ov::current_directory(base, sizeof base)) return fail("cannot read the working directory", "");
    std::FILE* results = std::fopen(argv[2], "wb");
    if (results == nullptr) return fail("cannot write ", argv[2]);

    std::size_t count = fields.size() / 2;
    int status = 0;
    for (std::size_t i = 0; i < count && status == 0; ++i) {
        mark(file_delete, i);
        if (!ov::change_directory(fields[2 * i].c_str())) {
            status = fail("cannot enter ", fields[2 * i].c_str());
            break;
        }
        int result = file_delete(fields[2 * i + 1].c_str());
        if (!ov::change_directory(base)) status = fail("cannot return to ", base);
        std::fprintf(results, "%lu %d\n", static_cast<unsigned long>(i), result);
        std::fflush(results);
    }
    if (status == 0) mark(file_delete, count);
    std::fclose(results);
    ov::free_library(module);
    return status;
}
