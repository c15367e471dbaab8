// Creating named file mappings and named events, with the contracts of
// CreateFileMappingA and CreateEventA, for the logger and the tests, over the
// library's objects (platform/posix/objects.cpp): each object is a file
// "obj.<name>" in the user's place, its kind in its permission bits.
//
// Lifetime differs from Windows: there a name lives while any handle to the
// object is open; here the handle that create_* returned removes the name
// when it is closed, and handles opened earlier keep working on the object.
// A creator that died leaves its files behind; the next create_* of the name
// opens them (and reports 183, as for any existing name).
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "tools_backend.h"
#include "tools_platform.h"

namespace ov::backend {

namespace {

mode_t mode_of(object_kind kind) { return kind == object_kind::event ? event_mode : mapping_mode; }


// Writes a new object's initial contents into a fresh unnamed file.
std::uint32_t initialise_object(int fd, object_kind kind, std::uint32_t size, bool manual_reset, bool signalled) {
    if (kind == object_kind::mapping) return ftruncate(fd, size) == 0 ? 0 : translate_errno(errno);
    event_page page{signalled ? 1u : 0u, manual_reset ? 1u : 0u, event_magic, 0};
    ssize_t written = pwrite(fd, &page, sizeof page, 0);
    if (written == static_cast<ssize_t>(sizeof page)) return 0;
    return written < 0 ? translate_errno(errno) : err::disk_full;
}

// Creates the object under a temporary name, initialises it and gives it
// its kind's permission bits, then links it to its real name, so that no
// opener ever sees it half made.  Returns 0 and the descriptor, 183 when
// the name appeared meanwhile, or another Win32 code.
std::uint32_t publish_new_object(int directory, const char* file_name, object_kind kind, std::uint32_t size,
                                 bool manual_reset, bool signalled, unique_fd* out) {
    std::uint32_t nonce = 0;
    if (getrandom(&nonce, sizeof nonce, 0) != sizeof nonce) nonce = static_cast<std::uint32_t>(monotonic_ms());
    char temporary[64];
    format_text(temporary, sizeof temporary, "tmp.%u.%08x", static_cast<unsigned>(getpid()), nonce);
    unique_fd fd(openat(directory, temporary, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return translate_errno(errno);
    std::uint32_t code = initialise_object(fd.get(), kind, size, manual_reset, signalled);
    if (code == 0 && fchmod(fd.get(), mode_of(kind)) != 0) code = translate_errno(errno);
    // linkat never replaces an existing name: EEXIST becomes 183.
    if (code == 0 && linkat(directory, temporary, directory, file_name, 0) != 0) code = translate_errno(errno);
    unlinkat(directory, temporary, 0);
    if (code == 0) *out = std::move(fd);
    return code;
}

// Opens the object when its name exists (growing a mapping that is smaller
// than asked, never shrinking one another process may use), or creates it.
// Something under the name that is no object of this kind is refused with
// 6, as Windows refuses a name that another type of object holds.  Sets
// *existed.  Returns a descriptor, or an empty one with *code set.
unique_fd create_object_file(int directory, const char* file_name, object_kind kind, std::uint32_t size,
                             bool manual_reset, bool signalled, bool* existed, std::uint32_t* code) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        struct stat st {};
        unique_fd fd = open_object_file(directory, file_name, kind, O_RDWR, &st, code);
        if (fd) {
            *existed = true;
            if (kind == object_kind::mapping && st.st_size < static_cast<off_t>(size) &&
                ftruncate(fd.get(), size) != 0) {
                *code = translate_errno(errno);
                fd.reset();
            }
            return fd;
        }
        if (*code != err::file_not_found) return fd;
        if (struct stat other {}; fstatat(directory, file_name, &other, AT_SYMLINK_NOFOLLOW) == 0) {
            *code = err::invalid_handle;
            return fd;
        }
        *code = publish_new_object(directory, file_name, kind, size, manual_reset, signalled, &fd);
        *existed = false;
        if (*code != err::already_exists) return fd;
    }
    *code = err::sharing_violation;  // the name keeps appearing and vanishing
    return unique_fd();
}

// Removes the object's name as its creator's handle closes, provided the
// name still refers to the same object.
void remove_name(object_slot* slot) {
    int directory = object_directory();
    struct stat st {};
    if (directory >= 0 && fstatat(directory, slot->file_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == slot->device && st.st_ino == slot->inode)
        unlinkat(directory, slot->file_name, 0);
}

// create_file_mapping and create_event.  The handle owns the name.
handle create_object(object_kind kind, const char* name, std::uint32_t size, bool manual_reset, bool signalled) {
    object_slot* slot = claim_slot();
    if (slot == nullptr) return nullptr;
    std::uint32_t code = object_file_name(name, slot->file_name);
    if (code == 0 && kind == object_kind::mapping && size == 0) code = err::invalid_parameter;
    int directory = code == 0 ? make_object_directory() : -1;
    if (code == 0 && directory < 0) code = get_last_error();
    bool existed = false;
    unique_fd fd;
    if (code == 0)
        fd = create_object_file(directory, slot->file_name, kind, size, manual_reset, signalled, &existed, &code);
    struct stat st {};
    if (fd) code = fstat(fd.get(), &st) == 0 ? attach_object(slot, std::move(fd), st, kind) : translate_errno(errno);
    if (code != 0) return abandon(slot, code);
    slot->access = kind == object_kind::event ? event_all_access : file_map_read | file_map_write;
    slot->on_close = &remove_name;
    set_last_error(existed ? err::already_exists : err::success);
    return publish_slot(slot, kind);
}

// ---------------------------------------------------------------- waits

// Makes one directory of the place, closed to everyone else whatever the
// umask took away; one that exists is checked by the walk that follows.
bool make_private(int parent, const char* name) {
    if (mkdirat(parent, name, 0700) != 0) {
        if (errno == EEXIST) return true;
        set_error_from_errno(errno);
        return false;
    }
    fchmodat(parent, name, 0700, 0);
    return true;
}

}  // namespace

int make_object_directory() noexcept { return object_directory(&make_private); }

}  // namespace ov::backend

namespace ov {


handle create_file_mapping(const char* name, std::uint32_t size) {
    return backend::create_object(backend::object_kind::mapping, name, size, false, false);
}

handle create_event(const char* name, bool manual_reset, bool initially_signalled) {
    return backend::create_object(backend::object_kind::event, name, 0, manual_reset, initially_signalled);
}


int object_place(char* text, std::size_t size) { return copy_text(text, size, backend::object_directory_path()); }

// Says which directory of the place is wrong and why, for a tool whose
// objects cannot be made.
void explain_object_place(char* text, std::size_t size) {
    using backend::object_path_capacity;
    const char* path = backend::object_directory_path();
    const std::size_t place_root_length = backend::object_place_root_length();
    text[0] = '\0';
    char partial[object_path_capacity];
    const auto user = geteuid();
    for (std::size_t i = place_root_length + 1;; ++i) {
        if (path[i] != '/' && path[i] != '\0') continue;
        std::memcpy(partial, path, i);
        partial[i] = '\0';
        struct stat st {};
        if (lstat(partial, &st) != 0) {
            if (errno != ENOENT) format_text(text, size, "%s cannot be looked up (%s)", partial, std::strerror(errno));
            return;
        }
        if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
            format_text(text, size, "%s is not a directory", partial);
            return;
        }
        if (st.st_uid != user) {
            format_text(text, size, "%s belongs to another user (uid %u), not to this one (uid %u)", partial,
                        static_cast<unsigned>(st.st_uid), static_cast<unsigned>(user));
            return;
        }
        if ((st.st_mode & 077) != 0) {
            format_text(text, size, "%s is open to other users (mode %04o); it must be 0700", partial,
                        static_cast<unsigned>(st.st_mode & 07777));
            return;
        }
        if (path[i] == '\0') return;
    }
}

}  // namespace ov

