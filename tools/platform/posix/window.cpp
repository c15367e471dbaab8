// Message-only windows and stop requests, for the logger: the contracts of
// CreateWindowEx(HWND_MESSAGE), GetMessage and DestroyWindow, and of a
// console control handler.  A window is a UNIX datagram socket bound in the
// user's place (see platform/posix/window.cpp, where clients reach it).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "tools_backend.h"
#include "tools_platform.h"

namespace ov::backend {

namespace {

constexpr std::uint32_t infinite = 0xFFFFFFFF;

// The windows this process created, each with the socket it reads.
struct window_slot {
    std::atomic<int> state{0};  // 0 free, 1 being changed, 2 live
    hwnd32 window = 0;
    int fd = -1;
};
constinit window_slot windows[16];

volatile std::sig_atomic_t stop_flag = 0;
// The self-pipe that wakes get_window_message when a stop arrives on
// another thread.  Lock-free atomics, so the signal handler may read them.
std::atomic<int> wake_read_fd{-1};
std::atomic<int> wake_write_fd{-1};

void on_stop_signal(int) {
    int saved = errno;
    stop_flag = 1;
    int fd = wake_write_fd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        char byte = 1;
        [[maybe_unused]] ssize_t ignored = write(fd, &byte, 1);
    }
    errno = saved;
}

window_slot* find_window(hwnd32 window) {
    for (auto& slot : windows)
        if (slot.state.load(std::memory_order_acquire) == 2 && slot.window == window) return &slot;
    return nullptr;
}

// Removes the sockets of windows whose process ended without destroying
// them (Windows destroys those windows with their thread).  A socket file
// whose socket is gone refuses connect() with ECONNREFUSED; a live one is
// bound from the moment its file exists, so none is taken for dead.
void sweep_dead_windows() {
    const char* path = object_directory_path();
    int held = make_object_directory();
    // The held descriptor stays open: the listing gets one of its own.
    unique_fd fd(held >= 0 ? openat(held, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    DIR* directory = fd ? fdopendir(fd.get()) : nullptr;
    if (directory == nullptr) return;
    fd.release();  // closedir closes it
    unique_fd probe(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    for (const dirent* entry = readdir(directory); probe && entry != nullptr; entry = readdir(directory)) {
        if (std::strncmp(entry->d_name, "win.", 4) != 0) continue;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (format_text(address.sun_path, sizeof address.sun_path, "%s/%s", path, entry->d_name) >=
            sizeof address.sun_path)
            continue;
        if (connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
            errno == ECONNREFUSED)
            unlinkat(dirfd(directory), entry->d_name, 0);
    }
    closedir(directory);
}

// Binds a new socket under a fresh random handle.  Returns the handle, or 0
// with *code set.
hwnd32 bind_new_window(int fd, std::uint32_t* code) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        hwnd32 window = 0;
        if (getrandom(&window, sizeof window, 0) != sizeof window) {
            *code = translate_errno(errno);
            return 0;
        }
        if (window == 0) continue;
        sockaddr_un address{};
        *code = make_object_directory() < 0 ? get_last_error() : window_address(window, &address);
        if (*code != 0) return 0;
        if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return window;
        if (errno != EADDRINUSE) {
            *code = translate_errno(errno);
            return 0;
        }
    }
    *code = err::already_exists;
    return 0;
}

// Milliseconds left until deadline, for poll(); -1 waits for ever.
int remaining_ms(std::uint32_t timeout_ms, std::uint64_t deadline) {
    if (timeout_ms == infinite) return -1;
    std::uint64_t now = monotonic_ms();
    return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

void drain_wake_pipe() {
    char bytes[16];
    int fd = wake_read_fd.load(std::memory_order_relaxed);
    while (fd >= 0 && read(fd, bytes, sizeof bytes) > 0) {
    }
}

// The sending process's id from the credentials the kernel attached to a
// datagram (the window's socket has SO_PASSCRED), seen from this
// process's pid namespace; 0 when there are none.
std::uint32_t sender_of(msghdr* header) {
    for (cmsghdr* c = CMSG_FIRSTHDR(header); c != nullptr; c = CMSG_NXTHDR(header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS || c->cmsg_len < CMSG_LEN(sizeof(ucred)))
            continue;
        ucred credentials{};
        std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
        return credentials.pid > 0 ? static_cast<std::uint32_t>(credentials.pid) : 0;
    }
    return 0;
}

// Reads one datagram.  1, the message id and its sender, 0 when what
// arrived was not a message (a short or long datagram from someone else)
// or nothing was there, -1 on failure.
int receive_message(int fd, std::uint32_t* message, std::uint32_t* sender) {
    unsigned char buffer[window_datagram_size + 1];
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(ucred))];
    iovec part{buffer, sizeof buffer};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return 0;
        set_error_from_errno(errno);
        return -1;
    }
    if (n != static_cast<ssize_t>(window_datagram_size)) return 0;
    std::memcpy(message, buffer, sizeof *message);
    *sender = sender_of(&header);
    return 1;
}

int install_stop_handler_impl() noexcept {
    int expected = -1;
    int fds[2];
    if (wake_read_fd.load() < 0 && pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        if (wake_read_fd.compare_exchange_strong(expected, fds[0])) {
            wake_write_fd.store(fds[1]);
        } else {
            close(fds[0]);
            close(fds[1]);
        }
    }
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    // Restarting keeps other blocking calls of the process undisturbed;
    // poll() is never restarted, so get_window_message still wakes.
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) {
        set_error_from_errno(errno);
        return 0;
    }
    return 1;
}

}  // namespace

}  // namespace ov::backend

namespace ov {

hwnd32 create_message_window() {
    using backend::windows;
    backend::sweep_dead_windows();
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        backend::set_error_from_errno(errno);
        return 0;
    }
    // Every datagram then carries its sender's credentials, which the
    // kernel fills in: a sender cannot forge them.
    int on = 1;
    std::uint32_t code = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        code = backend::translate_errno(errno);
        close(fd);
        set_last_error(code);
        return 0;
    }
    hwnd32 window = backend::bind_new_window(fd, &code);
    for (auto& slot : windows) {
        int expected = 0;
        if (window == 0 || !slot.state.compare_exchange_strong(expected, 1)) continue;
        slot.window = window;
        slot.fd = fd;
        slot.state.store(2, std::memory_order_release);
        return window;
    }
    close(fd);
    if (window != 0) {
        sockaddr_un address{};
        if (backend::window_address(window, &address) == 0) unlink(address.sun_path);
        code = err::not_enough_memory;  // every slot in use
    }
    set_last_error(code);
    return 0;
}

int get_window_message(hwnd32 window, std::uint32_t timeout_ms, std::uint32_t* message, std::uint32_t* sender) {
    backend::window_slot* slot = backend::find_window(window);
    if (slot == nullptr) {
        set_last_error(err::invalid_window_handle);
        return -1;
    }
    const std::uint64_t deadline = backend::monotonic_ms() + (timeout_ms == backend::infinite ? 0 : timeout_ms);
    for (;;) {
        if (backend::stop_flag) return 0;
        pollfd waits[2] = {{slot->fd, POLLIN, 0}, {backend::wake_read_fd.load(), POLLIN, 0}};
        int ready = poll(waits, waits[1].fd >= 0 ? 2 : 1, backend::remaining_ms(timeout_ms, deadline));
        if (ready == 0) return 0;
        if (ready < 0 && errno != EINTR) {
            backend::set_error_from_errno(errno);
            return -1;
        }
        if (ready > 0 && (waits[1].revents & POLLIN) != 0) backend::drain_wake_pipe();
        if (ready > 0 && (waits[0].revents & POLLIN) != 0) {
            std::uint32_t from = 0;
            int received = backend::receive_message(slot->fd, message, &from);
            if (received > 0 && sender != nullptr) *sender = from;
            if (received != 0) return received;
        }
    }
}

void destroy_window(hwnd32 window) {
    backend::window_slot* slot = backend::find_window(window);
    int expected = 2;
    if (slot == nullptr || !slot->state.compare_exchange_strong(expected, 1)) return;
    sockaddr_un address{};
    if (backend::window_address(window, &address) == 0) unlink(address.sun_path);
    close(slot->fd);
    slot->fd = -1;
    slot->window = 0;
    slot->state.store(0, std::memory_order_release);
}

int install_stop_handler() { return backend::install_stop_handler_impl(); }

int stop_requested() { return backend::stop_flag != 0; }

}  // namespace ov
