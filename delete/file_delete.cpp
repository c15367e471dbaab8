#include "file_delete.h"

#include <cctype>
#include <cstring>

#include "debug_client.h"
#include "platform.h"

namespace ov::del {

namespace {

// Composes the one diagnostic line.  A line longer than 255 characters (a
// long pattern or name) is cut and ends in "..." so that a reader sees it
// was shortened.
void report(const char* format, const char* subject) {
    char message[message_capacity] = "";
    if (format_text(message, sizeof message, format, subject) >= sizeof message) {
        char* end = message + sizeof message - 1;
        end[-3] = end[-2] = end[-1] = '.';
    }
    diag::DebugMsg("%s", message);
}

// Deletes the entry the enumeration yielded, in the directory it opened:
// the name goes behind the prefix already in full_path.  Returns 0 when the
// deletion succeeded (or the platform reported failure without a code),
// else the Win32 error code.
std::uint32_t delete_entry(handle find, char* full_path, std::size_t prefix_length, const char* name) {
    // A path that would not fit is what DeleteFileA itself refuses with
    // ERROR_FILENAME_EXCED_RANGE; it is never cut into another file's name.
    const std::size_t length = std::strlen(name);
    if (prefix_length + length >= max_path) return err::filename_exced_range;
    std::memcpy(full_path + prefix_length, name, length + 1);
    if (sys.delete_found_file(find, full_path, name)) return 0;
    return sys.get_last_error();
}

// A last component made only of dots and blanks ("." or "..", and what the
// platform's path rules strip down to nothing) names a directory by its
// path, not an entry of the prefix: the enumeration yields that directory
// itself under its own name, which does not live where prefix + name
// points.  Nothing such a pattern yields is ever handed to deletion.
bool names_a_directory(const char* component) {
    if (component[0] == '\0') return false;
    for (; *component != '\0'; ++component)
        if (*component != '.' && *component != ' ') return false;
    return true;
}

}  // namespace

std::size_t directory_prefix_length(const char* pattern) {
    std::size_t end = 0;
    for (std::size_t i = 0; pattern[i] != '\0'; ++i)
        if (pattern[i] == '\\' || pattern[i] == '/') end = i + 1;
    // "C:*.tmp" enumerates drive C's current directory; its entries must be
    // deleted there too, not in the process's current directory.
    if (end == 0 && std::isalpha(static_cast<unsigned char>(pattern[0])) && pattern[1] == ':') end = 2;
    return end;
}

int delete_matching_files(const char* pattern) noexcept {
    if (pattern == nullptr) pattern = "";
    // A pattern that does not fit the path buffer cannot name anything the
    // platform would find; it is refused as a failed enumeration.
    if (bounded_length(pattern, max_path) >= max_path) {
        report(not_found_format, pattern);
        return 0;
    }
    find_data entry{};
    unique_find find(sys.find_first_file(pattern, &entry));
    if (!find) {
        report(not_found_format, pattern);
        return 0;
    }
    // The prefix stays in place; each entry's name is written behind it.
    char full_path[max_path] = "";
    const std::size_t prefix_length = directory_prefix_length(pattern);
    copy_text(full_path, prefix_length + 1, pattern);
    const bool directory_itself = names_a_directory(pattern + prefix_length);
    do {
        entry.name[max_path - 1] = '\0';
        // Equality, not a bit test: a directory with any further attribute
        // bit is handed to deletion like a file.
        if (entry.attributes == attr_directory) continue;
        // The directory a dotted pattern names is refused as DeleteFileA
        // refuses any directory, without reaching inside it.
        std::uint32_t code = directory_itself ? err::access_denied
                                              : delete_entry(find.get(), full_path, prefix_length, entry.name);
        if (code != 0) {
            int access = is_access_class_error(code);
            find.reset();
            report(access ? read_only_format : not_found_format, entry.name);
            return 0;
        }
    } while (sys.find_next_file(find.get(), &entry));
    return 1;
}

}  // namespace ov::del
