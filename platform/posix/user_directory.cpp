// The place where one user's named objects and window sockets live, and the
// monotonic clock the waits share.
//
// Windows keeps named objects in the session's namespace, which no other
// user can enter.  Here the place is a directory that only its user can
// enter (mode 0700), chosen the same way by every process of the user,
// whatever its environment:
//
// - <run>/ovdelete, where <run> is /run/user/<uid>, the user's runtime
//   directory that the system makes at login, owned by the user and closed
//   to everyone else: no other user can make it first;
// - where there is none (no login session, or root), /dev/shm/ovdelete-<uid>
//   (/tmp/ovdelete-<uid> without /dev/shm).  Another user can make that name
//   first; it is then refused, and the logger says by whom.
//
// OVDELETE_NAMESPACE=NAME (letters, digits, '.', '_' and '-', at most 32)
// puts the objects of the processes that share it in a subdirectory
// ns.NAME of that place instead: a private set of objects for tests, or for
// several independent setups of one user side by side.  It never leads
// outside the user's own place.
//
// The directory is opened once and held, so that looking up an object is
// one openat().  A directory removed meanwhile (the runtime directory goes
// when the user's last session ends) is noticed when a name is missing and
// the last check is over a second old; it is then opened afresh.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "backend.h"

namespace ov::backend {

namespace {

constexpr std::size_t namespace_limit = 32;
constexpr std::uint64_t recheck_interval_ms = 1000;

// The place's path, worked out once per process.  Written by the first
// caller only (place_state goes 0 -> 1 -> 2); read once it is 2.
std::atomic<int> place_state{0};
char place_path[object_path_capacity];
uid_t place_user = 0;  // the effective user the place belongs to
std::size_t place_root_length = 0;  // the part that must exist already, made by someone else

std::atomic<int> held_directory{-1};
std::atomic<ino_t> held_inode{0};
std::atomic<std::uint64_t> last_check_ms{0};

bool is_namespace_character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

// A directory of this user's that nobody else may enter.
bool is_private(const struct stat& st, uid_t user) {
    return S_ISDIR(st.st_mode) && st.st_uid == user && (st.st_mode & 077) == 0;
}

// /run/user/<uid>/ovdelete where the runtime directory is the user's own,
// else /dev/shm/ovdelete-<uid> (or /tmp), then ns.NAME for a namespace.
void work_out_place() {
    place_user = geteuid();
    const auto user = static_cast<unsigned>(place_user);
    char runtime[64];
    format_text(runtime, sizeof runtime, "/run/user/%u", user);
    struct stat st {};
    if (lstat(runtime, &st) == 0 && is_private(st, user)) {
        place_root_length = std::strlen(runtime);
        format_text(place_path, sizeof place_path, "%s/ovdelete", runtime);
    } else {
        const char* root = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
        place_root_length = std::strlen(root);
        format_text(place_path, sizeof place_path, "%s/ovdelete-%u", root, user);
    }
    const char* name = std::getenv("OVDELETE_NAMESPACE");
    std::size_t length = name != nullptr ? bounded_length(name, namespace_limit + 1) : 0;
    bool valid = length > 0 && length <= namespace_limit && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
    for (std::size_t i = 0; valid && i < length; ++i) valid = is_namespace_character(name[i]);
    if (valid) append_text(place_path, sizeof place_path, "/ns."), append_text(place_path, sizeof place_path, name);
}

const char* place() {
    int expected = 0;
    if (place_state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
        work_out_place();
        place_state.store(2, std::memory_order_release);
    }
    while (place_state.load(std::memory_order_acquire) != 2) {
    }
    return place_path;
}

// Opens one directory of the place below an open parent, without
// following a link: a link in its place fails (ELOOP) and is refused like a
// directory of someone else.  Returns a descriptor or an empty one with the
// last error: 2 when it does not exist, 5 when it is not a private
// directory of this user.
unique_fd open_private(int parent, const char* name) {
    unique_fd fd(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        set_last_error(errno == ENOENT ? err::file_not_found : err::access_denied);
        return fd;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !is_private(st, place_user)) {
        fd.reset();
        set_last_error(err::access_denied);
    }
    return fd;
}

// Opens the place from its root one directory at a time, each checked
// before the next is looked up in it, and `make` called for each that is
// missing.
unique_fd open_place(make_directory_fn make) {
    const char* path = place();
    char partial[object_path_capacity];
    std::memcpy(partial, path, place_root_length);
    partial[place_root_length] = '\0';
    unique_fd fd(open(partial, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) set_last_error(errno == ENOENT ? err::file_not_found : err::access_denied);
    for (std::size_t begin = place_root_length + 1; fd;) {
        std::size_t end = begin;
        while (path[end] != '/' && path[end] != '\0') ++end;
        std::memcpy(partial, path + begin, end - begin);
        partial[end - begin] = '\0';
        if (make != nullptr && !make(fd.get(), partial)) return unique_fd();
        fd = open_private(fd.get(), partial);
        if (path[end] == '\0') break;
        begin = end + 1;
    }
    return fd;
}

}  // namespace

int object_directory(make_directory_fn make) noexcept {
    int fd = held_directory.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    // Without a logger there is usually no place at all, and every message
    // asks again: one failed open says so.  A place that is there is then
    // checked directory by directory.
    if (make == nullptr && access(place(), F_OK) != 0 && errno == ENOENT) {
        set_last_error(err::file_not_found);
        return -1;
    }
    unique_fd opened = open_place(make);
    if (!opened) return -1;
    int expected = -1;
    // Another thread may have got there first: its descriptor stays.
    if (!held_directory.compare_exchange_strong(expected, opened.get(), std::memory_order_acq_rel)) return expected;
    last_check_ms.store(monotonic_ms(), std::memory_order_relaxed);
    held_inode.store(0, std::memory_order_relaxed);
    struct stat st {};
    if (fstat(opened.get(), &st) == 0) held_inode.store(st.st_ino, std::memory_order_relaxed);
    return opened.release();
}

bool object_directory_gone() noexcept {
    int fd = held_directory.load(std::memory_order_acquire);
    if (fd < 0) return false;
    std::uint64_t now = monotonic_ms();
    if (now - last_check_ms.load(std::memory_order_relaxed) < recheck_interval_ms) return false;
    last_check_ms.store(now, std::memory_order_relaxed);
    struct stat st {};
    // Still there, and still the directory it was: the host may have closed
    // a descriptor it does not own, and the number be another file's now.
    if (fstat(fd, &st) == 0 && st.st_nlink > 0 && S_ISDIR(st.st_mode) &&
        st.st_ino == held_inode.load(std::memory_order_relaxed))
        return false;
    // Let go of it, but leave it open: another thread may be looking a name
    // up in it this moment, and a descriptor number closed under it could
    // be reused for anything.  It costs one descriptor each time the
    // directory is removed.
    held_directory.compare_exchange_strong(fd, -1, std::memory_order_acq_rel);
    return true;
}

const char* object_directory_path() noexcept { return place(); }

uid_t object_place_user() noexcept {
    place();
    return place_user;
}

std::size_t object_place_root_length() noexcept {
    place();
    return place_root_length;
}

std::uint64_t monotonic_ms() noexcept {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace ov::backend
