// Where the tools' lines go: standard output or a file opened with
// FILE_APPEND_DATA alone, written with WriteFile directly.  A handle with
// append access and no write access writes at the file's end, moving there
// and writing in one step, so lines from other writers appending to the
// same file land between lines, never inside one.
#include <new>

#include "backend.h"
#include "tools_platform.h"

namespace ov {

struct output_file {
    HANDLE handle;
};

namespace {

// The handle is looked up at each use: a console program may have its
// standard handles set after start-up.
output_file standard_output_file{nullptr};

}  // namespace

output_file* standard_output() { return &standard_output_file; }

output_file* open_append_file(const char* path) {
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    auto* file = new (std::nothrow) output_file{h};
    if (file == nullptr) {
        CloseHandle(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return file;
}

// A file takes a write whole; a pipe may take part of it, and the rest
// follows.
int write_output(output_file* file, const char* data, std::size_t size) {
    HANDLE h = file == &standard_output_file ? GetStdHandle(STD_OUTPUT_HANDLE) : file->handle;
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    while (size > 0) {
        DWORD part = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(h, data, part, &written, nullptr)) return 0;
        if (written == 0) {
            SetLastError(ERROR_DISK_FULL);
            return 0;
        }
        data += written;
        size -= written;
    }
    return 1;
}

void close_output_file(output_file* file) {
    if (file == nullptr || file == &standard_output_file) return;
    CloseHandle(file->handle);
    delete file;
}

const char* text_line_end() { return "\r\n"; }

}  // namespace ov
