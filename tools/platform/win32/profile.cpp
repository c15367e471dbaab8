// WIN.INI for the tools and the tests: where it is, and
// WriteProfileStringA.
#include "backend.h"
#include "tools_platform.h"

namespace ov {

// The Windows directory's win.ini, the file GetProfileIntA reads.
// GetWindowsDirectoryA gives the directory without a trailing backslash
// unless it is a drive's root.
int profile_file_path(char* buffer, std::size_t size) {
    char directory[MAX_PATH];
    UINT length = GetWindowsDirectoryA(directory, sizeof directory);
    if (length == 0 || length >= sizeof directory || size == 0) return 0;
    const char* file_name = directory[length - 1] == '\\' ? "win.ini" : "\\win.ini";
    return copy_text(buffer, size, directory) && append_text(buffer, size, file_name);
}

// WriteProfileStringA: a null value deletes the key; the change reaches
// the file before the call returns.
int write_profile_string(const char* section, const char* key, const char* value) {
    return WriteProfileStringA(section, key, value) ? 1 : 0;
}

// GetProfileSectionA: the section's "key=value" lines, each ended with a
// NUL; nothing when the section is missing or empty.
int profile_section_has_keys(const char* section) {
    char lines[4096];
    return section != nullptr && GetProfileSectionA(section, lines, sizeof lines) > 0 ? 1 : 0;
}

}  // namespace ov
