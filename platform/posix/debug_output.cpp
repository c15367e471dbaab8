// OutputDebugStringA: the debugger-output stream is standard error.
//
// OutputDebugStringA never fails and never waits for anyone: without a
// debugger the text simply goes nowhere.  Standard error belongs to the
// host, though, and may be anything: a pipe whose reader has exited (a
// write raises SIGPIPE, whose default action ends the host), a pipe or
// terminal that nobody drains (a write waits for room for ever), a socket,
// a file.  So:
//
// - The line goes out in one write(2), or not at all.  Lines from several
//   processes sharing the stream must not interleave, and the library's
//   lines (at most 2047 bytes) are below PIPE_BUF, so a pipe takes the
//   whole line or none of it.  What the stream does not take at once is
//   dropped, as the text is without a debugger; there is no second write
//   for the rest.
//
// - Nothing waits, and fd 2 itself is left as it is.  Setting O_NONBLOCK on
//   fd 2 is not an option: the flag belongs to the open file description,
//   which the host's other descriptors and every process that inherited
//   the stream share, and their writes would start failing with EAGAIN.
//   What fstat says fd 2 is decides instead:
//   - A pipe or FIFO is opened again through /proc/self/fd/2, with
//     O_NONBLOCK: a new open file description of the same pipe, whose flags
//     are ours alone.  A full pipe then fails the write with EAGAIN rather
//     than waiting, and no other writer can fill the pipe between a check
//     and the write, as one could between poll() and write() on fd 2.  A
//     named FIFO without a reader fails that open with ENXIO, and the line
//     is dropped without a write; an anonymous pipe without one opens, and
//     the write fails with EPIPE.  When the open fails otherwise (no /proc,
//     a pipe the process may no longer open, no descriptor left), poll()
//     with no time-out and a plain write on fd 2 stand in.
//   - A socket gets send() with MSG_DONTWAIT | MSG_NOSIGNAL, which are
//     non-blocking and signal-free for this call only.
//   - A regular file is written at once; poll() would always call it ready.
//   - Anything else (a terminal, a device) gets poll() with no time-out and
//     a plain write when there is room: a terminal stopped by flow control
//     has none.
//   - A description that is non-blocking already is written at once.
//   A stream opened for reading only is not written, as write(2) would
//   refuse it; the reopened pipe must not turn it into a writer.
//
// - No SIGPIPE reaches the process, and nothing process-wide changes:
//   ignoring SIGPIPE would change the host's disposition for all of its
//   threads.  SIGPIPE is blocked on the calling thread only (pthread_sigmask)
//   around the write, so that a SIGPIPE the write raises (the kernel sends
//   it to the writing thread) stays pending; when the write fell short, that
//   one is taken with sigtimedwait and a zero time-out before the thread's
//   own mask comes back.  A SIGPIPE already pending before the write was
//   put there by the thread or the host and is left alone.
//
// errno is the host's and comes back as it was.  Nothing here allocates.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "backend.h"

namespace ov::backend {

namespace {

// SIGPIPE blocked on the calling thread for the object's life.
class sigpipe_blocked {
public:
    sigpipe_blocked() noexcept {
        sigemptyset(&sigpipe_);
        sigaddset(&sigpipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &sigpipe_, &previous_);
        sigset_t pending;
        was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    sigpipe_blocked(const sigpipe_blocked&) = delete;
    sigpipe_blocked& operator=(const sigpipe_blocked&) = delete;
    ~sigpipe_blocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

    // Takes the SIGPIPE a failed write may have raised, unless one was
    // pending before.
    void take_raised() noexcept {
        if (was_pending_) return;
        const timespec no_wait{};
        while (sigtimedwait(&sigpipe_, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }

private:
    sigset_t sigpipe_;
    sigset_t previous_;
    bool was_pending_ = false;
};

// One write(2) of the whole text with SIGPIPE kept from the process.  A
// signal that interrupts it before anything was written starts it again.
void write_line(int fd, const char* text, std::size_t length) noexcept {
    sigpipe_blocked blocked;
    ssize_t n = 0;
    do n = write(fd, text, length);
    while (n < 0 && errno == EINTR);
    if (n < 0 || static_cast<std::size_t>(n) != length) blocked.take_raised();
}

// Room for a write right now.  A pipe without a reader reports POLLERR
// alone: no room, so no write and no SIGPIPE.
bool ready_to_write(int fd) noexcept {
    pollfd p{fd, POLLOUT, 0};
    int n = 0;
    do n = poll(&p, 1, 0);
    while (n < 0 && errno == EINTR);
    return n == 1 && (p.revents & POLLOUT) != 0;
}

void write_when_ready(int fd, const char* text, std::size_t length) noexcept {
    if (ready_to_write(fd)) write_line(fd, text, length);
}

void write_to_pipe(const char* text, std::size_t length) noexcept {
    unique_fd fd(open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd) {
        write_line(fd.get(), text, length);
    } else if (errno != ENXIO) {
        write_when_ready(STDERR_FILENO, text, length);
    }
}

}  // namespace

void output_debug_string(const char* text) noexcept {
    if (text == nullptr) return;
    const int saved_errno = errno;
    std::size_t length = std::strlen(text);
    int flags = fcntl(STDERR_FILENO, F_GETFL);
    struct stat st {};
    if (length > 0 && flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(STDERR_FILENO, &st) == 0) {
        if (S_ISSOCK(st.st_mode)) send(STDERR_FILENO, text, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        else if ((flags & O_NONBLOCK) != 0 || S_ISREG(st.st_mode)) write_line(STDERR_FILENO, text, length);
        else if (S_ISFIFO(st.st_mode)) write_to_pipe(text, length);
        else write_when_ready(STDERR_FILENO, text, length);
    }
    errno = saved_errno;
}

}  // namespace ov::backend
