// ovhost: stands in for the host application.  Loads the OVDELETE library
// at run time, as the host does, and calls one of its exports.
#include <cstdio>
#include <filesystem>
#include <cstring>

#include "debug_client.h"
#include "options.h"
#include "ovdelete.h"
#include "tools_platform.h"

namespace {

constexpr int exit_failure = 1;
using ov::tools::exit_usage;
// The editor's buffer: the name, its NUL and the 20-character template must
// fit, because the library writes without knowing the buffer's size.
constexpr std::size_t paste_buffer_size = 1024;
constexpr std::size_t template_length = 20;
constexpr std::size_t library_path_size = 4096;
constexpr std::size_t error_text_size = 1024;

constexpr char synopsis[] =
    "usage: ovhost [--library PATH] delete PATTERN\n"
    "       ovhost [--library PATH] paste NAME\n"
    "       ovhost config debugger-output on|off|show\n";

constexpr char help_text[] =
    "usage: ovhost [--library PATH] delete PATTERN\n"
    "       ovhost [--library PATH] paste NAME\n"
    "       ovhost config debugger-output on|off|show\n"
    "\n"
    "Loads the OVDELETE library as the host application does and calls one\n"
    "of its exports, or sets the switch that sends the library's messages\n"
    "to the debugger-output stream instead of the logger.  Without --library\n"
    "it loads the library beside this program, else the one in the lib\n"
    "directory next to it (an installed tree), else whatever the system's\n"
    "loader finds under the library's name.\n"
    "\n"
    "  delete PATTERN  calls FileDeleteWC(PATTERN) and prints its result\n"
    "  paste NAME      calls PasteArgs(NAME, buffer of 1024 bytes) and prints\n"
    "                  the buffer, then the result as 0x%08X\n"
    "  config debugger-output on|off|show\n"
    "                  on writes UseDebuggerOutput=1 under [Quonvel] in the\n"
    "                  WIN.INI the library reads, off writes 0 (the key is\n"
    "                  kept, so the file says the switch is off); show prints\n"
    "                  \"on\" or \"off\" as the library reads the switch, and\n"
    "                  on a second line the file's path.  The library reads\n"
    "                  the switch once per process, at its first message.\n"
    "  --library PATH  the library to load (delete and paste)\n"
    "  --help          show this text\n"
    "  --version       show the version\n"
    "\n"
    "An option's value follows it as the next argument or after '=':\n"
    "--library PATH or --library=PATH.\n"
    "\n"
    "Examples:\n"
    "  ovhost paste FileDeleteWC\n"
    "  ovhost config debugger-output on\n"
    "\n"
    "Exit status:\n"
    "  0  delete: the result 1; paste: a nonzero result; config: done\n"
    "  1  delete: the result 0; paste: the result 0; config: the profile\n"
    "     cannot be written, or its place is unknown\n"
    "  2  bad usage, a library that cannot be loaded, or an export that is\n"
    "     missing or whose ordinal names another function\n";

enum option_id { library };
constexpr ov::tools::option options[] = {{"--library", true}};

struct command_line {
    const char* library = nullptr;
    const char* verb = nullptr;
    const char* operand = nullptr;
    // config: on, off or show.
    const char* setting = nullptr;
};

struct exports {
    FileDeleteWC_fn file_delete = nullptr;
    PasteArgs_fn paste_args = nullptr;
};

// go_on and the parsed line, or the exit status to end with.
int parse(int argc, char** argv, command_line* line) {
    ov::tools::option_reader reader({"ovhost", synopsis, help_text}, argc, argv, options);
    while (reader.next()) {
        if (reader.index() == library) line->library = reader.value();
    }
    if (reader.status() != ov::tools::option_reader::go_on) return reader.status();
    int i = reader.operands();
    if (i >= argc) return reader.usage_error("no command given");
    line->verb = argv[i++];
    bool config = std::strcmp(line->verb, "config") == 0;
    if (!config && std::strcmp(line->verb, "delete") != 0 && std::strcmp(line->verb, "paste") != 0)
        return reader.usage_error("unknown command: %s", line->verb);
    if (i >= argc) return reader.usage_error("missing operand for %s", line->verb);
    line->operand = argv[i++];
    if (config) {
        if (line->library != nullptr) return reader.usage_error("config loads no library: --library has no use");
        if (std::strcmp(line->operand, "debugger-output") != 0)
            return reader.usage_error("unknown setting: %s (config knows debugger-output)", line->operand);
        if (i >= argc) return reader.usage_error("config debugger-output needs on, off or show");
        line->setting = argv[i++];
        if (std::strcmp(line->setting, "on") != 0 && std::strcmp(line->setting, "off") != 0 &&
            std::strcmp(line->setting, "show") != 0)
            return reader.usage_error("config debugger-output needs on, off or show, not %s", line->setting);
    }
    if (i < argc) return reader.usage_error("unexpected argument: %s", argv[i]);
    if (std::strcmp(line->verb, "paste") == 0 && std::strlen(line->operand) + 1 + template_length > paste_buffer_size)
        return reader.usage_error("the name is too long for the editor's 1024-byte buffer");
    return ov::tools::option_reader::go_on;
}

// The system's words for the last failure to load or resolve, or its
// error code when the system has none.
void describe_failure(char* text, std::size_t size) {
    auto code = static_cast<unsigned>(ov::sys.get_last_error());
    ov::library_error_text(text, size);
    if (text[0] == '\0') ov::format_text(text, size, "error %u", code);
}

// The build's own library beside this program, as a host ships it.
// Installed, the library is in the lib directory beside bin/ (OV_LIBDIR,
// as `cmake --install` lays the tree out); failing both, the name alone
// goes to the system's loader, which searches its own paths.
bool default_library(char* path, std::size_t size) {
    char directory[library_path_size];
    if (ov::executable_directory(directory, sizeof directory)) {
        for (const char* below : {"", "../" OV_LIBDIR "/"}) {
            std::error_code ignored;
            if (ov::format_text(path, size, "%s%s%s", directory, below, ov::library_file_name()) < size &&
                std::filesystem::exists(path, ignored))
                return true;
        }
    }
    return ov::copy_text(path, size, ov::library_file_name());
}

// The export by name, checked against its ordinal where the platform's
// libraries have ordinals.  nullptr after saying why on standard error.
void* resolve(ov::handle module, const char* path, const char* name, unsigned ordinal) {
    void* by_name = ov::get_proc_address(module, name);
    if (by_name == nullptr) {
        char why[error_text_size];
        describe_failure(why, sizeof why);
        std::fprintf(stderr, "ovhost: %s has no export %s: %s\n", path, name, why);
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
        char why[error_text_size];
        describe_failure(why, sizeof why);
        std::fprintf(stderr, "ovhost: cannot load the library %s: %s\n", path, why);
        return exit_usage;
    }
    exports fns;
    int status = resolve_all(module, path, &fns) ? call(line, fns) : exit_usage;
    ov::free_library(module);
    return status;
}

// The switch the library reads at its first message: nonzero is on, as
// the library takes it; a missing key or file reads as 0.  "off" writes 0
// rather than removing the key, so that the file says what was chosen.
int run_config(const char* setting) {
    char path[library_path_size];
    if (!ov::profile_file_path(path, sizeof path)) {
        std::fputs("ovhost: cannot tell where the WIN.INI file is\n", stderr);
        return exit_failure;
    }
    if (std::strcmp(setting, "show") == 0) {
        bool on = ov::sys.get_profile_int(ov::diag::profile_section, ov::diag::profile_key, 0) != 0;
        std::printf("%s\n%s\n", on ? "on" : "off", path);
        std::fflush(stdout);
        return 0;
    }
    const char* value = std::strcmp(setting, "on") == 0 ? "1" : "0";
    if (!ov::write_profile_string(ov::diag::profile_section, ov::diag::profile_key, value)) {
        std::fprintf(stderr, "ovhost: cannot write %s=%s under [%s] in %s (error %u)\n", ov::diag::profile_key, value,
                     ov::diag::profile_section, path, static_cast<unsigned>(ov::sys.get_last_error()));
        return exit_failure;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    command_line line;
    int status = parse(argc, argv, &line);
    if (status != ov::tools::option_reader::go_on) return status;
    if (line.setting != nullptr) return run_config(line.setting);
    if (line.library != nullptr) return load_and_call(line, line.library);
    char path[library_path_size];
    if (!default_library(path, sizeof path)) {
        std::fputs("ovhost: the path of the library beside this program is too long\n", stderr);
        return exit_usage;
    }
    return load_and_call(line, path);
}
