// DeleteFileA by path, for the tools and the tests, with the library's own
// rules (platform/posix/files.cpp): the path's text is checked and resolved
// as Windows resolves it, then the entry is removed through its directory.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "backend.h"
#include "tools_platform.h"

namespace ov {

namespace {

// Removes one native path with DeleteFileA's rules (see remove_entry),
// through the path's directory.
std::uint32_t remove_file(char* path) {
    char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    const char* parent = ".";
    if (slash == path) parent = "/";
    if (slash != nullptr && slash != path) {
        *slash = '\0';
        parent = path;
    }
    backend::unique_fd directory(open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) return errno == ENOENT || errno == ENOTDIR ? err::path_not_found : backend::translate_errno(errno);
    std::uint32_t attributes = 0;
    int error = backend::entry_attributes(directory.get(), name, &attributes);
    return error != 0 ? backend::missing_code(directory.get(), error)
                      : backend::remove_entry(directory.get(), name, attributes);
}

// What DeleteFileA refuses in the text of a path before it looks anything
// up: a wildcard anywhere in the name is an invalid name.
std::uint32_t check_delete_path(const char* path) {
    std::uint32_t code = backend::check_path(path);
    if (code == 0 && std::strpbrk(path, "*?") != nullptr) code = err::invalid_name;
    return code;
}


}  // namespace

int delete_file(const char* path) {
    std::uint32_t code = check_delete_path(path);
    char native[max_path];
    if (code == 0) code = backend::to_native(path, native);
    if (code == 0) code = remove_file(native);
    if (code == 0) return 1;
    set_last_error(code);
    return 0;
}

}  // namespace ov
