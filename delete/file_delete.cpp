#include "file_delete.h"

#include <cctype>

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

// Deletes prefix + name.  Returns 0 when the deletion succeeded (or the
// platform reported failure without a code), else the Win32 error code.
std::uint32_t delete_entry(const char* prefix, const char* name) {
    char full_path[max_path] = "";
    copy_text(full_path, sizeof full_path, prefix);
    // A path that would not fit is what DeleteFileA itself refuses with
    // ERROR_FILENAME_EXCED_RANGE; it is never cut into another file's name.
    if (!append_text(full_path, sizeof full_path, name)) return err::filename_exced_range;
    if (sys.delete_file(full_path)) return 0;
    return sys.get_last_error();
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
    char prefix[max_path] = "";
    copy_text(prefix, directory_prefix_length(pattern) + 1, pattern);
    do {
        entry.name[max_path - 1] = '\0';
        // Equality, not a bit test: a directory with any further attribute
        // bit is handed to deletion like a file.
        if (entry.attributes == attr_directory) continue;
        std::uint32_t code = delete_entry(prefix, entry.name);
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
