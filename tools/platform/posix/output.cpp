// Where the tools' lines go: standard output or a file opened with
// O_APPEND, written with write(2) directly.  With O_APPEND the kernel
// moves to the file's end and writes in one step, so lines from other
// writers appending to the same file land between lines, never inside one.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "backend.h"
#include "tools_platform.h"

namespace ov {

struct output_file {
    int fd;
};

namespace {

output_file standard_output_file{STDOUT_FILENO};

}  // namespace

output_file* standard_output() { return &standard_output_file; }

output_file* open_append_file(const char* path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        backend::set_error_from_errno(errno);
        return nullptr;
    }
    auto* file = new (std::nothrow) output_file{fd};
    if (file == nullptr) {
        close(fd);
        set_last_error(err::not_enough_memory);
    }
    return file;
}

// A regular file takes a write whole; a pipe or a terminal may take part
// of it, and the rest follows.
int write_output(output_file* file, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = write(file->fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            backend::set_error_from_errno(n < 0 ? errno : ENOSPC);
            return 0;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 1;
}

void close_output_file(output_file* file) {
    if (file == nullptr || file == &standard_output_file) return;
    close(file->fd);
    delete file;
}

const char* text_line_end() { return "\n"; }

}  // namespace ov
