// The per-user directory that holds named objects and window sockets, and the
// monotonic clock the waits share.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "backend.h"

namespace ov::backend {

namespace {

// /dev/shm keeps the objects in memory, as Windows keeps sections backed by
// the paging file; systems without it fall back to /tmp.  The choice depends
// only on the machine, so every process of a user picks the same directory.
const char* namespace_root() noexcept {
    struct stat st {};
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) return "/dev/shm";
    return "/tmp";
}

// A directory anyone could have made, in a world-writable parent: accept it
// only when it is a real directory (not a link), ours, and closed to others.
bool is_private_directory(int fd) noexcept {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 07777) == 0700;
}

}  // namespace

int open_user_directory(bool create, char* path, std::size_t path_size) noexcept {
    char local[128];
    if (path == nullptr) {
        path = local;
        path_size = sizeof local;
    }
    std::size_t needed = format_text(path, path_size, "%s/ovdelete-%u", namespace_root(),
                                     static_cast<unsigned>(geteuid()));
    if (needed >= path_size) {
        set_last_error(err::filename_exced_range);
        return -1;
    }
    bool created = create && mkdir(path, 0700) == 0;
    if (create && !created && errno != EEXIST) {
        set_error_from_errno(errno);
        return -1;
    }
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // Absent: every object in it is absent.  A link in its place fails
        // with ELOOP and is refused like a foreign directory.
        set_last_error(errno == ENOENT ? err::file_not_found : err::access_denied);
        return -1;
    }
    // The umask may have taken bits from a directory we just made.
    if (created) fchmod(fd, 0700);
    if (!is_private_directory(fd)) {
        close(fd);
        set_last_error(err::access_denied);
        return -1;
    }
    return fd;
}

std::uint64_t monotonic_ms() noexcept {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace ov::backend
