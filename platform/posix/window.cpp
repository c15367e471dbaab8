// Registered messages and the two things a client does with a window, with
// the contracts of RegisterWindowMessageA, IsWindow and SendNotifyMessageA.
// The windows themselves belong to the logger (tools/platform/posix/).
//
// A window is a UNIX datagram socket bound in the user's place as
// "win.<handle in 8 hex digits>"; the handle is a random nonzero 32-bit
// value, so a stale or forged handle names no socket, or a socket nobody
// reads, and never reaches an unrelated process.  A window lives while its
// socket is bound: IsWindow probes it with connect(), which a dead window
// (file missing, or left behind by a process that died) refuses.
//
// One unbound datagram socket serves every probe and every notification of
// the process: connect() re-aims it at each probe, and a notification names
// its window itself (sendto), so a failed probe, which leaves the socket
// aimed where it was, can never misdirect one.  It is made at first use and
// kept, as the place's directory is; once a second at most, when it is
// used, it is checked to be still the socket it was, in case the host
// closed a descriptor it does not own and the number came back as another.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "backend.h"

namespace ov::backend {

namespace {

constexpr std::uint64_t recheck_interval_ms = 1000;

// The process's probe socket, taken by one thread at a time.
std::atomic_flag probe_busy = ATOMIC_FLAG_INIT;
int probe_fd = -1;
ino_t probe_inode = 0;
std::uint64_t probe_checked_ms = 0;

// Holds the probe socket for one probe or notification.
class probe_socket {
public:
    probe_socket() noexcept {
        while (probe_busy.test_and_set(std::memory_order_acquire)) {
        }
        std::uint64_t now = monotonic_ms();
        struct stat st {};
        if (probe_fd >= 0 && now - probe_checked_ms >= recheck_interval_ms) {
            probe_checked_ms = now;
            // Another descriptor under the old number is left alone.
            if (fstat(probe_fd, &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_ino != probe_inode) probe_fd = -1;
        }
        if (probe_fd < 0) {
            probe_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            probe_inode = probe_fd >= 0 && fstat(probe_fd, &st) == 0 ? st.st_ino : 0;
            probe_checked_ms = now;
        }
    }
    probe_socket(const probe_socket&) = delete;
    probe_socket& operator=(const probe_socket&) = delete;
    ~probe_socket() { probe_busy.clear(std::memory_order_release); }
    int get() const noexcept { return probe_fd; }
};

}  // namespace

// The socket address of a window, in the user's place, which must be a
// private directory of this user.  Returns 0 or a Win32 code.
std::uint32_t window_address(hwnd32 window, sockaddr_un* address) noexcept {
    if (object_directory() < 0) return get_last_error();
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::size_t needed = format_text(address->sun_path, sizeof address->sun_path, "%s/win.%08x",
                                     object_directory_path(), static_cast<unsigned>(window));
    return needed < sizeof address->sun_path ? 0 : err::filename_exced_range;
}

// A hash of the name with ASCII case folded (FNV-1a), so every process gets
// the same id for the same name without a shared table.  Unlike Windows'
// atom table, two different names may get the same id (1 in 16384 for a
// given pair); the library registers one name.
std::uint32_t register_window_message(const char* name) noexcept {
    if (name == nullptr || name[0] == '\0') {
        set_last_error(err::invalid_parameter);
        return 0;
    }
    std::uint32_t hash = 2166136261u;
    for (; *name != '\0'; ++name) {
        auto c = static_cast<unsigned char>(*name);
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + ('a' - 'A'));
        hash = (hash ^ c) * 16777619u;
    }
    return 0xC000 + hash % 0x4000;
}

namespace {

// The address of the window probed last: a message probes and notifies the
// same window three times.  Read and written under the probe's lock.
hwnd32 last_window = 0;
sockaddr_un last_address{};

// The window's address, into *address; 0 or a Win32 code.  Called with the
// probe socket held.
std::uint32_t address_of(hwnd32 window, sockaddr_un* address) {
    if (window != last_window || window == 0) {
        if (std::uint32_t code = window_address(window, &last_address); code != 0) return code;
        last_window = window;
    }
    *address = last_address;
    return 0;
}

}  // namespace

int is_window(hwnd32 window) noexcept {
    if (window == 0 || object_directory() < 0) return 0;
    probe_socket probe;
    sockaddr_un address{};
    return probe.get() >= 0 && address_of(window, &address) == 0 &&
           connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Posts without waiting: the datagram is queued for the window's owner, or
// refused at once when its queue is full (1816, as a full Windows message
// queue refuses a post).  A dead or unknown window fails with 1400.
int send_notify_message(hwnd32 window, std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) noexcept {
    std::uint32_t code = window == 0 ? err::invalid_window_handle : 0;
    if (code == 0 && object_directory() < 0) code = get_last_error();
    if (code == err::file_not_found) code = err::invalid_window_handle;
    if (code == 0) {
        probe_socket probe;
        sockaddr_un address{};
        std::uint32_t words[3] = {message, static_cast<std::uint32_t>(wparam), static_cast<std::uint32_t>(lparam)};
        code = probe.get() < 0 ? translate_errno(errno) : address_of(window, &address);
        if (code == 0 && sendto(probe.get(), words, sizeof words, MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), sizeof address) != sizeof words) {
            if (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR) code = err::invalid_window_handle;
            else if (errno == EAGAIN) code = error_not_enough_quota;
            else code = translate_errno(errno);
        }
    }
    if (code != 0) {
        set_last_error(code);
        return 0;
    }
    return 1;
}

}  // namespace ov::backend
