// Wildcard enumeration and deletion with the rules of FindFirstFileA,
// FindNextFileA, FindClose and DeleteFileA.
//
// Paths: '\' and '/' both separate components.  A path that begins with a
// drive designator ("C:") names a drive this system does not have (3), and a
// path of max_path characters or more is refused with 206, as the ANSI
// functions refuse it before it reaches the file system.
//
// Matching, as Windows (and Wine) match a long name against the last
// component of the pattern: '*' matches any run of characters, the empty one
// included, '?' exactly one character, and every other character itself,
// ignoring ASCII case.  Trailing '.' and ' ' are stripped from the mask, as
// Wine strips them ("*." is "*"), and once the name is used up any '.' and
// '*' left at the end of the mask match nothing, so "*.*" matches every name
// and "a.*" matches "a".  There are no 8.3 short names to match against.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "backend.h"

namespace ov::backend {

namespace {

// ---------------------------------------------------------------- paths

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool has_wildcard(const char* text) { return std::strpbrk(text, "*?") != nullptr; }

bool is_dot_entry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The checks both operations make before touching the file system; 0 when
// the path may go on, else the Win32 code that refuses it.
std::uint32_t check_path(const char* path) {
    if (path == nullptr) return err::invalid_parameter;
    std::size_t length = bounded_length(path, max_path);
    if (length >= max_path) return err::filename_exced_range;
    // Windows cannot turn the empty string into a path at all.
    if (length == 0) return err::path_not_found;
    if (is_ascii_letter(path[0]) && path[1] == ':') return err::path_not_found;
    return 0;
}

// Collapses "." and ".." components as text, the way Windows turns a path
// into a full path before it looks anything up: "nodir\..\a.tmp" names
// "a.tmp" whether or not "nodir" exists.  Empty components go too.  A ".."
// that would climb above a relative path's start stays; above the root it
// goes.  A path ending in a separator keeps it (it names a directory and
// leaves an empty mask).  Works in place; the result is never longer.
void collapse_components(char* path) {
    char* start = path + (path[0] == '/' ? 1 : 0);
    bool absolute = start != path;
    char* out = start;
    bool trailing = false;
    for (const char* in = start; *in != '\0';) {
        const char* end = std::strchr(in, '/');
        std::size_t length = end != nullptr ? static_cast<std::size_t>(end - in) : std::strlen(in);
        bool dot = length == 1 && in[0] == '.';
        bool dotdot = length == 2 && in[0] == '.' && in[1] == '.';
        // The component written last, [previous, out - 1), when there is one.
        char* previous = out;
        if (out > start)
            for (--previous; previous > start && previous[-1] != '/';) --previous;
        bool previous_is_parent = out - previous == 3 && previous[0] == '.' && previous[1] == '.';
        if (dotdot && out > start && !previous_is_parent) {
            out = previous;
        } else if (length != 0 && !dot && !(dotdot && absolute)) {
            std::memmove(out, in, length);
            out += length;
            *out++ = '/';  // never past in's own separator, or its NUL
        }
        trailing = end != nullptr && end[1] == '\0';
        if (end == nullptr) break;
        in = end + 1;
    }
    if (out > start && !trailing) --out;
    *out = '\0';
}

// Copies a checked path into out (max_path bytes), turning every '\' into
// '/' and collapsing "." and "..".  When nothing is left of the path, or it
// ends in "..", what it names is a directory known only by its full path
// (".", "dir\.."), so it is made absolute first, as Windows does.  Returns 0
// or 206 when that full path does not fit.
std::uint32_t to_native(const char* path, char* out) {
    std::size_t i = 0;
    for (; path[i] != '\0'; ++i) out[i] = path[i] == '\\' ? '/' : path[i];
    out[i] = '\0';
    collapse_components(out);
    std::size_t length = std::strlen(out);
    bool ends_in_parent = (length == 2 || (length > 2 && out[length - 3] == '/')) && length >= 2 &&
                          out[length - 1] == '.' && out[length - 2] == '.';
    if (out[0] == '/' || (length != 0 && !ends_in_parent)) return 0;
    char full[4096];
    if (getcwd(full, sizeof full) == nullptr) return err::filename_exced_range;
    if (length != 0 && (!append_text(full, sizeof full, "/") || !append_text(full, sizeof full, out)))
        return err::filename_exced_range;
    collapse_components(full);
    if (full[0] == '\0') copy_text(full, sizeof full, "/");
    return copy_text(out, max_path, full) ? 0 : err::filename_exced_range;
}

// ---------------------------------------------------------------- matching

// Upper case, as NTFS and Wine compare names; bytes past ASCII are kept.
unsigned char fold(char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - ('a' - 'A')) : u;
}

// Greedy matching with one back-tracking point, the last '*' seen: linear in
// practice, quadratic at worst on names of at most 255 characters.
bool mask_matches(const char* mask, const char* name) {
    const char* star_mask = nullptr;
    const char* star_name = nullptr;
    while (*name != '\0') {
        if (*mask == '*') {
            star_mask = ++mask;
            star_name = name;
        } else if (*mask != '\0' && (*mask == '?' || fold(*mask) == fold(*name))) {
            ++mask;
            ++name;
        } else if (star_mask != nullptr) {
            mask = star_mask;
            name = ++star_name;
        } else {
            return false;
        }
    }
    while (*mask == '*' || *mask == '.') ++mask;
    return *mask == '\0';
}

// "." first, ".." second, then the names in case-insensitive order, ties
// broken by the exact bytes so that the order never depends on readdir.
int dot_rank(const char* name) {
    if (!is_dot_entry(name)) return 2;
    return name[1] == '\0' ? 0 : 1;
}

bool sorts_before(const char* a, const char* b) {
    int rank_a = dot_rank(a), rank_b = dot_rank(b);
    if (rank_a != rank_b) return rank_a < rank_b;
    std::size_t i = 0;
    while (a[i] != '\0' && fold(a[i]) == fold(b[i])) ++i;
    if (fold(a[i]) != fold(b[i])) return fold(a[i]) < fold(b[i]);
    return std::strcmp(a, b) < 0;
}

// ---------------------------------------------------------------- attributes

// The attribute word of one entry.  A symbolic link reports itself as a
// reparse point with the type of its target (0x410 for a directory, 0x420
// otherwise, a broken link included), as Windows reports links; its own
// permission bits, always all set, give it no read-only bit.  Anything else
// is a directory (0x10) or a file (0x20), read-only (+0x01) when no write
// bit is set for anyone.  A name beginning with '.' is hidden (+0x02), as
// Wine shows dot-files.  Returns 0 or an errno value.
int entry_attributes(int directory, const char* name, std::uint32_t* out) {
    struct stat st {};
    if (fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    std::uint32_t attributes = 0;
    if (S_ISLNK(st.st_mode)) {
        struct stat target {};
        bool to_directory = fstatat(directory, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
        attributes = attr_reparse_point | (to_directory ? attr_directory : attr_archive);
    } else {
        attributes = S_ISDIR(st.st_mode) ? attr_directory : attr_archive;
        if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attributes |= attr_readonly;
    }
    if (name[0] == '.' && !is_dot_entry(name)) attributes |= attr_hidden;
    *out = attributes;
    return 0;
}

// ---------------------------------------------------------------- snapshot
//
// The entries an enumeration yields are read in full when it begins, as Wine
// reads them, so that deleting entries while enumerating is safe.  They live
// in one heap block: a header, the records (attribute word, name, NUL,
// padded to 4 bytes), then the records' offsets in the order they are
// handed out.  It is the only allocation an enumeration makes; FindFirstFileA
// allocates as well.

struct snapshot_header {
    std::size_t count;
    std::size_t next;
    std::size_t index_offset;
};

constexpr std::size_t record_size(std::size_t name_length) {
    return (sizeof(std::uint32_t) + name_length + 1 + 3) & ~std::size_t{3};
}

class snapshot_builder {
public:
    snapshot_builder() = default;
    snapshot_builder(const snapshot_builder&) = delete;
    snapshot_builder& operator=(const snapshot_builder&) = delete;
    ~snapshot_builder() { std::free(block_); }

    std::size_t count() const { return count_; }

    bool append(std::uint32_t attributes, const char* name) {
        std::size_t length = std::strlen(name);
        if (!reserve(used_ + record_size(length))) return false;
        std::memcpy(block_ + used_, &attributes, sizeof attributes);
        std::memcpy(block_ + used_ + sizeof attributes, name, length + 1);
        used_ += record_size(length);
        ++count_;
        return true;
    }

    // Builds the index in enumeration order; a mask without wildcards keeps
    // one entry, the exact spelling when there is one (a case-sensitive file
    // system may hold several names that differ only in case).  Returns 0 or
    // a Win32 code.
    std::uint32_t finish(const char* mask) {
        if (!reserve(used_ + count_ * sizeof(std::uint32_t))) return err::not_enough_memory;
        auto* index = reinterpret_cast<std::uint32_t*>(block_ + used_);
        std::size_t offset = sizeof(snapshot_header);
        for (std::size_t i = 0; i < count_; ++i) {
            index[i] = static_cast<std::uint32_t>(offset);
            offset += record_size(std::strlen(name_at(offset)));
        }
        std::sort(index, index + count_,
                  [this](std::uint32_t a, std::uint32_t b) { return sorts_before(name_at(a), name_at(b)); });
        if (!has_wildcard(mask) && count_ > 1) {
            std::uint32_t* exact = std::find_if(
                index, index + count_, [&](std::uint32_t at) { return std::strcmp(name_at(at), mask) == 0; });
            if (exact != index + count_) index[0] = *exact;
            count_ = 1;
        }
        auto* header = reinterpret_cast<snapshot_header*>(block_);
        *header = snapshot_header{count_, 0, used_};
        return 0;
    }

    // Hands the block over to the enumeration handle.
    void* release() {
        void* block = block_;
        block_ = nullptr;
        return block;
    }

private:
    const char* name_at(std::size_t offset) const { return block_ + offset + sizeof(std::uint32_t); }

    bool reserve(std::size_t size) {
        if (size <= capacity_) return true;
        std::size_t capacity = std::max({size, capacity_ * 2, std::size_t{4096}});
        void* grown = std::realloc(block_, capacity);
        if (grown == nullptr) return false;
        block_ = static_cast<char*>(grown);
        capacity_ = capacity;
        return true;
    }

    char* block_ = nullptr;
    std::size_t used_ = sizeof(snapshot_header);
    std::size_t capacity_ = 0;
    std::size_t count_ = 0;
};

// Reads the directory's matching entries.  Names holding a '\' are left out:
// no Windows path can name them, and the deletion of such an entry would
// reach another file.  Takes ownership of directory_fd.  Returns 0 or a
// Win32 code.
std::uint32_t read_matches(int directory_fd, const char* mask, bool at_root, snapshot_builder& builder) {
    DIR* directory = fdopendir(directory_fd);
    if (directory == nullptr) {
        int error = errno;
        close(directory_fd);
        return translate_errno(error);
    }
    std::uint32_t code = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(directory);
        if (entry == nullptr) {
            code = translate_errno(errno);
            break;
        }
        const char* name = entry->d_name;
        // A drive's root has no "." and ".." on Windows; "/" stands for it.
        if (at_root && is_dot_entry(name)) continue;
        if (std::strchr(name, '\\') != nullptr || !mask_matches(mask, name)) continue;
        std::uint32_t attributes = 0;
        int error = entry_attributes(dirfd(directory), name, &attributes);
        if (error == ENOENT) continue;  // removed since readdir saw it
        if (error != 0) {
            code = translate_errno(error);  // EACCES: a directory without search permission
            break;
        }
        if (!builder.append(attributes, name)) {
            code = err::not_enough_memory;
            break;
        }
    }
    closedir(directory);
    return code;
}

bool is_root(const char* directory) { return directory[std::strspn(directory, "/")] == '\0'; }

// Opens the directory part of a pattern.  A missing directory is 3
// (ERROR_PATH_NOT_FOUND), as is a path through something that is not one.
int open_directory(const char* directory, std::uint32_t* code) {
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) *code = errno == ENOENT || errno == ENOTDIR ? err::path_not_found : translate_errno(errno);
    return fd;
}

// Splits a native pattern in place: returns the directory and points *mask
// at the last component, stripped of trailing '.' and ' '.
const char* split_pattern(char* path, char** mask) {
    char* slash = std::strrchr(path, '/');
    const char* directory = ".";
    if (slash == path) {
        directory = "/";
    } else if (slash != nullptr) {
        *slash = '\0';
        directory = path;
    }
    *mask = slash != nullptr ? slash + 1 : path;
    std::size_t length = std::strlen(*mask);
    while (length > 0 && ((*mask)[length - 1] == '.' || (*mask)[length - 1] == ' ')) --length;
    (*mask)[length] = '\0';
    return directory;
}

// Takes the snapshot for a checked pattern.  Returns 0 or a Win32 code.
std::uint32_t take_snapshot(const char* pattern, snapshot_builder& builder) {
    char path[max_path];
    if (std::uint32_t code = to_native(pattern, path); code != 0) return code;
    char* mask = nullptr;
    const char* directory = split_pattern(path, &mask);
    // An empty mask (the pattern ends in a separator) matches nothing,
    // whether or not the directory exists.
    if (mask[0] == '\0') return err::file_not_found;
    std::uint32_t code = 0;
    int fd = open_directory(directory, &code);
    if (fd < 0) return code;
    code = read_matches(fd, mask, is_root(directory), builder);
    if (code == 0 && builder.count() == 0) code = err::file_not_found;
    if (code == 0) code = builder.finish(mask);
    return code;
}

// ---------------------------------------------------------------- deletion

// ENOENT means a missing file when its directory exists and a missing path
// (3) when it does not, as Windows tells the two apart.
std::uint32_t missing_code(const char* path, int error) {
    if (error != ENOENT) return translate_errno(error);
    char parent[max_path];
    copy_text(parent, sizeof parent, path);
    char* slash = std::strrchr(parent, '/');
    if (slash == nullptr) return err::file_not_found;
    slash[slash == parent ? 1 : 0] = '\0';
    struct stat st {};
    return stat(parent, &st) == 0 && S_ISDIR(st.st_mode) ? err::file_not_found : err::path_not_found;
}

// Removes one native path with DeleteFileA's rules: a directory is refused
// (5); a file without any write bit is read-only and refused (5) whoever
// asks, root included, as Windows refuses it; a symbolic link is removed
// itself and its target is never touched, but a link to a directory is a
// directory to Windows and refused (5) too.  Returns 0 or a Win32 code.
std::uint32_t remove_file(const char* path) {
    struct stat st {};
    if (lstat(path, &st) != 0) return missing_code(path, errno);
    if (S_ISDIR(st.st_mode)) return err::access_denied;
    struct stat target {};
    if (S_ISLNK(st.st_mode) && stat(path, &target) == 0 && S_ISDIR(target.st_mode)) return err::access_denied;
    if (!S_ISLNK(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return err::access_denied;
    if (unlink(path) != 0) return missing_code(path, errno);
    return 0;
}

}  // namespace

handle find_first_file(const char* pattern, find_data* out) noexcept {
    std::uint32_t code = check_path(pattern);
    snapshot_builder builder;
    if (code == 0) code = take_snapshot(pattern, builder);
    object_slot* slot = code == 0 ? claim_slot() : nullptr;
    if (slot == nullptr) {
        if (code != 0) set_last_error(code);  // else claim_slot set it
        return nullptr;
    }
    slot->memory = builder.release();
    handle find = publish_slot(slot, object_kind::find);
    find_next_file(find, out);
    return find;
}

int find_next_file(handle find, find_data* out) noexcept {
    object_slot* slot = find_slot(find, object_kind::find);
    if (slot == nullptr) return 0;
    auto* block = static_cast<char*>(slot->memory);
    auto* header = reinterpret_cast<snapshot_header*>(block);
    if (header->next >= header->count) {
        set_last_error(err::no_more_files);
        return 0;
    }
    const auto* index = reinterpret_cast<const std::uint32_t*>(block + header->index_offset);
    const char* record = block + index[header->next++];
    std::memcpy(&out->attributes, record, sizeof out->attributes);
    copy_text(out->name, sizeof out->name, record + sizeof(std::uint32_t));
    return 1;
}

int find_close(handle find) noexcept {
    object_slot* slot = take_slot(find, object_kind::find, object_kind::find);
    if (slot == nullptr) return 0;
    std::free(slot->memory);
    release_slot(slot);
    return 1;
}

int delete_file(const char* path) noexcept {
    std::uint32_t code = check_path(path);
    // Windows refuses a wildcard anywhere in the name as an invalid name.
    if (code == 0 && has_wildcard(path)) code = err::invalid_name;
    if (code == 0) {
        char native[max_path];
        code = to_native(path, native);
        if (code == 0) code = remove_file(native);
    }
    if (code != 0) {
        set_last_error(code);
        return 0;
    }
    return 1;
}

}  // namespace ov::backend
