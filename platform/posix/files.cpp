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
#include <utility>

#include "backend.h"

namespace ov::backend {

namespace {

// ---------------------------------------------------------------- paths

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool has_wildcard(const char* text) { return std::strpbrk(text, "*?") != nullptr; }

bool is_dot_entry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

// The checks both operations make before touching the file system; 0 when
// the path may go on, else the Win32 code that refuses it.
std::uint32_t check_path(const char* path) noexcept {
    if (path == nullptr) return err::invalid_parameter;
    std::size_t length = bounded_length(path, max_path);
    if (length >= max_path) return err::filename_exced_range;
    // Windows cannot turn the empty string into a path at all.
    if (length == 0) return err::path_not_found;
    if (is_ascii_letter(path[0]) && path[1] == ':') return err::path_not_found;
    return 0;
}

namespace {

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

}  // namespace

// Copies a checked path into out (max_path bytes), turning every '\' into
// '/' and collapsing "." and "..".  When nothing is left of the path, or it
// ends in "..", what it names is a directory known only by its full path
// (".", "dir\.."), so it is made absolute first, as Windows does.  Returns 0
// or 206 when that full path does not fit.
std::uint32_t to_native(const char* path, char* out) noexcept {
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

namespace {

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


// The same rules, with the two masks that nearly every pattern uses made
// cheap: "*" followed by literal text (a name ending in it, "*.tmp") and a
// mask without wildcards (the name itself).  Anything else goes through
// mask_matches.  The mask has lost its trailing '.' and ' ' already.
struct compiled_mask {
    enum class shape { everything, suffix, exact, general };
    shape form;
    const char* text;  // the literal part (suffix, exact) or the whole mask
    std::size_t length;
};

compiled_mask compile_mask(const char* mask) {
    if (mask[0] == '*' && mask[1] == '\0') return {compiled_mask::shape::everything, mask, 0};
    if (!has_wildcard(mask)) return {compiled_mask::shape::exact, mask, std::strlen(mask)};
    if (mask[0] == '*' && !has_wildcard(mask + 1))
        return {compiled_mask::shape::suffix, mask + 1, std::strlen(mask + 1)};
    return {compiled_mask::shape::general, mask, 0};
}

bool equal_folded(const char* a, const char* b, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

bool matches(const compiled_mask& mask, const char* name, std::size_t length) {
    switch (mask.form) {
        case compiled_mask::shape::everything:
            return true;
        case compiled_mask::shape::suffix:
            return length >= mask.length && equal_folded(name + length - mask.length, mask.text, mask.length);
        case compiled_mask::shape::exact:
            return length == mask.length && equal_folded(name, mask.text, length);
        case compiled_mask::shape::general:
            break;
    }
    return mask_matches(mask.text, name);
}

// ---------------------------------------------------------------- attributes

}  // namespace

// The attribute word of one entry.  A symbolic link reports itself as a
// reparse point with the type of its target (0x410 for a directory, 0x420
// otherwise, a broken link included), as Windows reports links; its own
// permission bits, always all set, give it no read-only bit.  Anything else
// is a directory (0x10) or a file (0x20), read-only (+0x01) when no write
// bit is set for anyone.  A name beginning with '.' is hidden (+0x02), as
// Wine shows dot-files.  Returns 0 or an errno value.
int entry_attributes(int directory, const char* name, std::uint32_t* out) noexcept {
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

namespace {

// ---------------------------------------------------------------- snapshot
//
// The names an enumeration yields are read in full when it begins, as Wine
// reads them, so that deleting entries while enumerating is safe.  The
// directory stays open for the enumeration's lifetime: every entry is
// looked up, and deleted, relative to it, so renaming or replacing a
// component of the pattern's path meanwhile never leads the enumeration or
// a deletion anywhere else.  An entry's attribute word is read when it is
// handed out, one stat per entry, and kept for the deletion that normally
// follows at once.
//
// The names live in one growing block, the sort items in another; the
// snapshot itself is a third.  These are the only allocations an
// enumeration makes; FindFirstFileA allocates as well.

// "." first, ".." second, then the names in case-insensitive order (ASCII
// upper case, as NTFS and Wine compare), ties broken by the exact bytes so
// that the order never depends on the order the directory lists them.  Each
// name's first eight folded bytes are packed, big-endian, into a key made
// once, so that most comparisons are one integer comparison.  No name's key
// is below 2^56, its first byte being nonzero: "." and ".." take the keys 0
// and 1, which puts them first.
struct sort_item {
    std::uint64_t key;
    std::uint32_t offset;  // of the name in the names block
    std::uint32_t length;
};

struct snapshot {
    char* names;
    std::size_t names_used;
    std::size_t names_capacity;
    sort_item* items;
    std::size_t count;
    std::size_t capacity;
    std::size_t next;
    // The entry handed out last and the attribute word read for it, valid
    // while `yielded` is not 0 (it is that entry's index plus one).
    std::size_t yielded;
    std::uint32_t yielded_attributes;
};

std::uint64_t sort_key(const char* name) {
    if (is_dot_entry(name)) return name[1] == '\0' ? 0 : 1;
    std::uint64_t key = 0;
    bool ended = false;
    for (int i = 0; i < 8; ++i) {
        ended = ended || name[i] == '\0';
        key = key << 8 | (ended ? 0u : fold(name[i]));
    }
    return key;
}

// Two names whose first eight bytes are equal but for case (or two short
// names equal but for case): the rest is compared the same way, then the
// exact bytes.
[[gnu::noinline]] bool tail_before(const char* names, const sort_item& a, const sort_item& b) {
    const char* x = names + a.offset;
    const char* y = names + b.offset;
    std::uint32_t shorter = a.length < b.length ? a.length : b.length;
    for (std::uint32_t i = 8; i < shorter; ++i)
        if (fold(x[i]) != fold(y[i])) return fold(x[i]) < fold(y[i]);
    if (a.length != b.length) return a.length < b.length;
    return std::strcmp(x, y) < 0;
}

inline bool sorts_before(const char* names, const sort_item& a, const sort_item& b) {
    if (a.key != b.key) return a.key < b.key;
    return tail_before(names, a, b);
}

void free_snapshot(snapshot* s) {
    if (s == nullptr) return;
    std::free(s->names);
    std::free(s->items);
    std::free(s);
}

// Grows a block to hold at least `needed` elements of `size` bytes.
bool reserve(void** block, std::size_t* capacity, std::size_t needed, std::size_t size) {
    if (needed <= *capacity) return true;
    std::size_t grown = *capacity * 2 > needed ? *capacity * 2 : needed;
    if (grown < 256) grown = 256;
    void* p = std::realloc(*block, grown * size);
    if (p == nullptr) return false;
    *block = p;
    *capacity = grown;
    return true;
}

bool append_name(snapshot* s, const char* name, std::size_t length) {
    if (!reserve(reinterpret_cast<void**>(&s->names), &s->names_capacity, s->names_used + length + 1, 1) ||
        !reserve(reinterpret_cast<void**>(&s->items), &s->capacity, s->count + 1, sizeof(sort_item)))
        return false;
    std::memcpy(s->names + s->names_used, name, length + 1);
    s->items[s->count++] =
        sort_item{sort_key(name), static_cast<std::uint32_t>(s->names_used), static_cast<std::uint32_t>(length)};
    s->names_used += length + 1;
    return true;
}

// Puts the names in enumeration order.  A mask without wildcards keeps one
// entry, the exact spelling when there is one (a case-sensitive file system
// may hold several names that differ only in case).
void finish_snapshot(snapshot* s, const char* mask) {
    const char* names = s->names;
    std::sort(s->items, s->items + s->count,
              [names](const sort_item& a, const sort_item& b) { return sorts_before(names, a, b); });
    if (has_wildcard(mask) || s->count <= 1) return;
    for (std::size_t i = 0; i < s->count; ++i) {
        if (std::strcmp(names + s->items[i].offset, mask) == 0) {
            s->items[0] = s->items[i];
            break;
        }
    }
    s->count = 1;
}

// Reads the directory's matching names.  Names holding a '\' are left out:
// no Windows path can name them, and a Windows program that deleted such an
// entry by its path would reach another file.  Returns 0 or a Win32 code.
std::uint32_t read_matches(int directory, const compiled_mask& mask, bool at_root, snapshot* s) {
    constexpr std::size_t buffer_size = 64 * 1024;
    char* buffer = static_cast<char*>(std::malloc(buffer_size));
    if (buffer == nullptr) return err::not_enough_memory;
    std::uint32_t code = 0;
    for (;;) {
        ssize_t n = getdents64(directory, buffer, buffer_size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n < 0) code = translate_errno(errno);
            break;
        }
        for (ssize_t at = 0; at < n && code == 0;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            // A drive's root has no "." and ".." on Windows; "/" stands for it.
            if (at_root && is_dot_entry(name)) continue;
            std::size_t length = std::strlen(name);
            if (!matches(mask, name, length) || std::memchr(name, '\\', length) != nullptr) continue;
            if (!append_name(s, name, length)) code = err::not_enough_memory;
        }
        if (code != 0) break;
    }
    std::free(buffer);
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

// Opens the pattern's directory and takes the snapshot of its matches.
// Returns 0 with the open directory in *directory, or a Win32 code.
std::uint32_t take_snapshot(const char* pattern, snapshot* s, unique_fd* directory) {
    char path[max_path];
    if (std::uint32_t code = to_native(pattern, path); code != 0) return code;
    char* mask = nullptr;
    const char* directory_path = split_pattern(path, &mask);
    // An empty mask (the pattern ends in a separator) matches nothing,
    // whether or not the directory exists.
    if (mask[0] == '\0') return err::file_not_found;
    std::uint32_t code = 0;
    unique_fd fd(open_directory(directory_path, &code));
    if (!fd) return code;
    code = read_matches(fd.get(), compile_mask(mask), is_root(directory_path), s);
    if (code == 0 && s->count == 0) code = err::file_not_found;
    if (code != 0) return code;
    finish_snapshot(s, mask);
    *directory = std::move(fd);
    return 0;
}

// Hands out the next entry that still exists, with its attribute word.  An
// entry removed since the snapshot was taken is passed over, as though the
// snapshot had missed it.  Returns 0, 18 at the end, or the Win32 code of a
// lookup that failed otherwise (5: a directory without search permission).
std::uint32_t next_entry(int directory, snapshot* s, find_data* out) {
    while (s->next < s->count) {
        const sort_item& item = s->items[s->next++];
        const char* name = s->names + item.offset;
        std::uint32_t attributes = 0;
        int error = entry_attributes(directory, name, &attributes);
        if (error == ENOENT) continue;
        if (error != 0) return translate_errno(error);
        out->attributes = attributes;
        std::memcpy(out->name, name, item.length + 1);  // a name has at most 255 bytes
        s->yielded = s->next;
        s->yielded_attributes = attributes;
        return 0;
    }
    s->yielded = 0;
    return err::no_more_files;
}

}  // namespace

// ---------------------------------------------------------------- deletion

// ENOENT means a missing file while its directory exists, and a missing
// path (3) once the directory itself is gone, as Windows tells them apart.
std::uint32_t missing_code(int directory, int error) noexcept {
    if (error != ENOENT) return translate_errno(error);
    struct stat st {};
    return fstat(directory, &st) == 0 && st.st_nlink > 0 ? err::file_not_found : err::path_not_found;
}

// Removes one entry of an open directory with DeleteFileA's rules, given
// its attribute word: a directory, or a link to one, is refused (5); so is
// a file without any write bit, read-only whoever asks, root included, as
// Windows refuses it; a symbolic link is removed itself and its target is
// never touched.  unlinkat never follows the name and refuses a directory
// that took the name meanwhile.  Returns 0 or a Win32 code.
std::uint32_t remove_entry(int directory, const char* name, std::uint32_t attributes) noexcept {
    if ((attributes & (attr_directory | attr_readonly)) != 0) return err::access_denied;
    if (unlinkat(directory, name, 0) != 0) return missing_code(directory, errno);
    return 0;
}

namespace {

int fail(std::uint32_t code) {
    set_last_error(code);
    return 0;
}

}  // namespace

handle find_first_file(const char* pattern, find_data* out) noexcept {
    std::uint32_t code = check_path(pattern);
    auto* s = static_cast<snapshot*>(code == 0 ? std::calloc(1, sizeof(snapshot)) : nullptr);
    if (code == 0 && s == nullptr) code = err::not_enough_memory;
    unique_fd directory;
    if (code == 0) code = take_snapshot(pattern, s, &directory);
    object_slot* slot = code == 0 ? claim_slot() : nullptr;
    if (code == 0 && slot == nullptr) code = get_last_error();
    // The first entry is looked up now: a directory whose entries cannot be
    // looked up fails here, as FindFirstFileA fails on it.
    if (slot != nullptr) code = next_entry(directory.get(), s, out);
    if (code == err::no_more_files) code = err::file_not_found;
    if (code != 0) {
        if (slot != nullptr) release_slot(slot);
        free_snapshot(s);
        set_last_error(code);
        return nullptr;
    }
    slot->fd = directory.release();
    slot->memory = s;
    return publish_slot(slot, object_kind::find);
}

int find_next_file(handle find, find_data* out) noexcept {
    object_slot* slot = find_slot(find, object_kind::find);
    if (slot == nullptr) return 0;
    std::uint32_t code = next_entry(slot->fd, static_cast<snapshot*>(slot->memory), out);
    return code == 0 ? 1 : fail(code);
}

int find_close(handle find) noexcept {
    object_slot* slot = take_slot(find, object_kind::find, object_kind::find);
    if (slot == nullptr) return 0;
    free_snapshot(static_cast<snapshot*>(slot->memory));
    close(slot->fd);
    release_slot(slot);
    return 1;
}

// The entry is removed relative to the enumeration's directory; of the
// path's text only what DeleteFileA refuses before any lookup counts: its
// length (206) and a wildcard in the name (123).  For the entry just handed
// out, the attribute word read then decides; any other name is looked up
// afresh.
int delete_found_file(handle find, const char* path, const char* name) noexcept {
    object_slot* slot = find_slot(find, object_kind::find);
    if (slot == nullptr) return 0;
    if (path == nullptr || std::memchr(path, '\0', max_path) == nullptr) return fail(err::filename_exced_range);
    // A name is one component: anything else cannot be an entry.
    if (name == nullptr || name[0] == '\0' || name[std::strcspn(name, "/*?")] != '\0')
        return fail(err::invalid_name);
    auto* s = static_cast<snapshot*>(slot->memory);
    std::uint32_t attributes = 0;
    if (s->yielded != 0 && std::strcmp(s->names + s->items[s->yielded - 1].offset, name) == 0) {
        attributes = s->yielded_attributes;
    } else if (int error = entry_attributes(slot->fd, name, &attributes); error != 0) {
        return fail(missing_code(slot->fd, error));
    }
    std::uint32_t code = remove_entry(slot->fd, name, attributes);
    return code == 0 ? 1 : fail(code);
}

}  // namespace ov::backend
