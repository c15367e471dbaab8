// ovhost: stands in for the host application.  Loads the OVDELETE library
// at run time, as the host does, and calls one of its exports.
#include <cstdio>
#include <cstring>

#include "ovdelete.h"
#include "tools_platform.h"

namespace {

constexpr int exit_usage = 2;
// The editor's buffer: the name, its NUL and the 20-character template must
// fit, because the library writes without knowing the buffer's size.
constexpr std::size_t paste_buffer_size = 1024;
constexpr std::size_t template_length = 20;
constexpr std::size_t library_path_size = 4096;

constexpr char usage_text[] =
    "usage: ovhost [--library PATH] delete PATTERN\n"
    "       ovhost [--library PATH] paste NAME\n"
    "\n"
    "Loads the OVDELETE library as the host application does and calls one\n"
    "of its exports.  Without --library it loads the library that sits\n"
    "beside this program.\n"
    "\n"
    "  delete PATTERN  calls FileDeleteWC(PATTERN) and prints its result;\n"
    "                  exit status 0 for the result 1, 1 for 0\n"
    "  paste NAME      calls PasteArgs(NAME, buffer of 1024 bytes) and prints\n"
    "                  the buffer, then the result as 0x%08X; exit status 0\n"
    "                  for a nonzero result, 1 for 0\n"
    "  --library PATH  the library to load\n"
    "  --help          show this text\n"
    "\n"
    "Exit status 2: bad usage, a library that cannot be loaded, or an export\n"
    "that is missing or whose ordinal names another function.\n";

struct command_line {
    const char* library = nullptr;
    const char* verb = nullptr;
    const char* operand = nullptr;
};

struct exports {
    FileDeleteWC_fn file_delete = nullptr;
    PasteArgs_fn paste_args = nullptr;
};

int usage_error(const char* problem, const char* argument) {
    std::fprintf(stderr, "ovhost: %s%s\n", problem, argument);
    std::fputs("usage: ovhost [--library PATH] delete PATTERN | paste NAME   (ovhost --help for more)\n", stderr);
    return exit_usage;
}

// 0 and the parsed line, or the exit status to end with.
int parse(int argc, char** argv, command_line* line) {
    int i = 1;
    if (i < argc && std::strcmp(argv[i], "--library") == 0) {
        if (i + 1 >= argc) return usage_error("--library needs a path", "");
        line->library = argv[i + 1];
        i += 2;
    }
    if (i >= argc) return usage_error("no command given", "");
    line->verb = argv[i++];
    if (std::strcmp(line->verb, "delete") != 0 && std::strcmp(line->verb, "paste") != 0) {
        return usage_error("unknown command: ", line->verb);
    }
    if (i >= argc) return usage_error("missing operand for ", line->verb);
    line->operand = argv[i++];
    if (i < argc) return usage_error("unexpected argument: ", argv[i]);
    return 0;
}

// The build's own library beside this program, as a host ships it.
bool default_library(char* path, std::size_t size) {
    return ov::executable_directory(path, size) && ov::append_text(path, size, ov::library_file_name());
}

// The export by name, checked against its ordinal where the platform's
// libraries have ordinals.  nullptr after saying why on standard error.
void* resolve(ov::handle module, const char* path, const char* name, unsigned ordinal) {
    void* by_name = ov::get_proc_address(module, name);
    if (by_name == nullptr) {
        std::fprintf(stderr, "ovhost: %s has no export %s (error %u)\n", path, name,
                     static_cast<unsigned>(ov::sys.get_last_error()));
        return nullptr;
    }
    void* by_ordinal = ov::get_proc_address_by_ordinal(module, ordinal);
    if (by_ordinal == nullptr && ov::sys.get_last_error() == ov::err::not_supported) return by_name;
    if (by_ordinal != by_name) {
        std::fprintf(stderr, "ovhost: %s: ordinal %u does not name the export %s\n", path, ordinal, name);
        return nullptr;
    }
    return by_name;
}

bool resolve_all(ov::handle module, const char* path, exports* out) {
    void* file_delete = resolve(module, path, "FileDeleteWC", OVDELETE_ORDINAL_FILE_DELETE_WC);
    void* paste_args = resolve(module, path, "PasteArgs", OVDELETE_ORDINAL_PASTE_ARGS);
    if (file_delete == nullptr || paste_args == nullptr) return false;
    // The typedefs carry the library's calling convention.
    out->file_delete = reinterpret_cast<FileDeleteWC_fn>(file_delete);
    out->paste_args = reinterpret_cast<PasteArgs_fn>(paste_args);
    return true;
}

int run_delete(const exports& fns, const char* pattern) {
    int result = fns.file_delete(pattern);
    std::printf("%d\n", result);
    return result == 1 ? 0 : 1;
}

int run_paste(const exports& fns, const char* name) {
    char buffer[paste_buffer_size] = {};
    int result = fns.paste_args(name, buffer);
    std::printf("%s\n0x%08X\n", buffer, static_cast<unsigned>(result));
    return result != 0 ? 0 : 1;
}

int call(const command_line& line, const exports& fns) {
    int status = std::strcmp(line.verb, "delete") == 0 ? run_delete(fns, line.operand) : run_paste(fns, line.operand);
    std::fflush(stdout);
    return status;
}

int load_and_call(const command_line& line, const char* path) {
    ov::handle module = ov::load_library(path);
    if (module == nullptr) {
        std::fprintf(stderr, "ovhost: cannot load the library %s (error %u)\n", path,
                     static_cast<unsigned>(ov::sys.get_last_error()));
        return exit_usage;
    }
    exports fns;
    int status = resolve_all(module, path, &fns) ? call(line, fns) : exit_usage;
    ov::free_library(module);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    command_line line;
    int status = parse(argc, argv, &line);
    if (status != 0) return status;
    if (std::strcmp(line.verb, "paste") == 0 && std::strlen(line.operand) + 1 + template_length > paste_buffer_size) {
        return usage_error("the name is too long for the editor's 1024-byte buffer", "");
    }
    char path[library_path_size];
    if (line.library != nullptr) return load_and_call(line, line.library);
    if (!default_library(path, sizeof path)) return usage_error("cannot find the library beside this program", "");
    return load_and_call(line, path);
}
