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
//   first; it is then refused, and explain_object_place() says by whom.
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
std::size_t place_root_length = 0;  // the part that must exist already, made by someone else

std::atomic<int> held_directory{-1};
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
    const auto user = static_cast<unsigned>(geteuid());
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

// Opens one directory of the place, making it first when asked.  A link in
// its place fails (O_NOFOLLOW) and is refused like a directory of someone
// else.  Returns a descriptor or -1 with the last error: 2 when it does
// not exist, 5 when it is not a private directory of this user.
int open_private(const char* path, bool create) {
    bool made = create && mkdir(path, 0700) == 0;
    if (create && !made && errno != EEXIST) {
        set_error_from_errno(errno);
        return -1;
    }
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        set_last_error(errno == ENOENT ? err::file_not_found : err::access_denied);
        return -1;
    }
    if (made) fchmod(fd, 0700);  // whatever the umask took away
    struct stat st {};
    if (fstat(fd, &st) != 0 || !is_private(st, geteuid())) {
        close(fd);
        set_last_error(err::access_denied);
        return -1;
    }
    return fd;
}

// Opens the place, making each of its directories below the root when
// asked, each checked before the next is looked up.
int open_place(bool create) {
    const char* path = place();
    char partial[object_path_capacity];
    int fd = -1;
    for (std::size_t i = place_root_length + 1;; ++i) {
        if (path[i] != '/' && path[i] != '\0') continue;
        std::memcpy(partial, path, i);
        partial[i] = '\0';
        if (fd >= 0) close(fd);
        fd = open_private(partial, create);
        if (fd < 0 || path[i] == '\0') return fd;
    }
}

}  // namespace

int object_directory(bool create) noexcept {
    int fd = held_directory.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    fd = open_place(create);
    if (fd < 0) return -1;
    int expected = -1;
    if (!held_directory.compare_exchange_strong(expected, fd, std::memory_order_acq_rel)) {
        close(fd);  // another thread got there first
        return expected;
    }
    last_check_ms.store(monotonic_ms(), std::memory_order_relaxed);
    return fd;
}

bool object_directory_gone() noexcept {
    int fd = held_directory.load(std::memory_order_acquire);
    if (fd < 0) return false;
    std::uint64_t now = monotonic_ms();
    if (now - last_check_ms.load(std::memory_order_relaxed) < recheck_interval_ms) return false;
    last_check_ms.store(now, std::memory_order_relaxed);
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_nlink > 0) return false;
    // Let go of it, but leave it open: another thread may be looking a name
    // up in it this moment, and a descriptor number closed under it could
    // be reused for anything.  It costs one descriptor each time the
    // directory is removed.
    held_directory.compare_exchange_strong(fd, -1, std::memory_order_acq_rel);
    return true;
}

const char* object_directory_path() noexcept { return place(); }

// Says which directory of the place is wrong and why, for a tool whose
// objects cannot be made.
}  // namespace ov::backend

namespace ov {

int object_place(char* text, std::size_t size) { return copy_text(text, size, backend::place()); }

void explain_object_place(char* text, std::size_t size) {
    using backend::object_path_capacity;
    using backend::place;
    using backend::place_root_length;
    const char* path = place();
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

namespace ov::backend {

std::uint64_t monotonic_ms() noexcept {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace ov::backend
