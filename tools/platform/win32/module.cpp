// Loading a library as a host application does.
#include <algorithm>

#include "backend.h"
#include "tools_platform.h"

namespace ov {

namespace {

// The error code of the last failure on this thread, and the file it was
// about, kept for library_error_text: whatever runs between the failure
// and the question may change the last error.
thread_local DWORD last_failure = ERROR_SUCCESS;
thread_local char last_failure_file[MAX_PATH * 4];

void keep_failure(const char* file) {
    last_failure = GetLastError();
    copy_text(last_failure_file, sizeof last_failure_file, file != nullptr ? file : "");
}

}  // namespace

// LoadLibraryA: a bare name is searched for in the application's directory
// first; 126 when the file is missing, 193 when it is not a module for
// this machine.
handle load_library(const char* path) {
    HMODULE module = LoadLibraryA(path);
    if (module == nullptr) keep_failure(path);
    return module;
}

// FormatMessageA in the user's language, without the line end it gives
// every message.  Some messages name the file as the insert %1 ("%1 is not
// a valid Win32 application."); inserts are left for a text replacement,
// because FormatMessageA would read an argument for every insert a
// message holds.
void library_error_text(char* text, std::size_t size) {
    if (size == 0) return;
    text[0] = '\0';
    if (last_failure == ERROR_SUCCESS) return;
    char message[1024];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, last_failure, 0,
                                  message, sizeof message, nullptr);
    if (length >= sizeof message) length = 0;
    while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n' || message[length - 1] == ' '))
        --length;
    message[length] = '\0';
    for (const char* p = message; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == '1') {
            append_text(text, size, last_failure_file);
            ++p;
            continue;
        }
        const char one[2] = {*p, '\0'};
        append_text(text, size, one);
    }
}

// GetProcAddress by name: 127 when the module exports no such name.
void* get_proc_address(handle module, const char* name) {
    FARPROC proc = GetProcAddress(static_cast<HMODULE>(module), name);
    if (proc == nullptr) keep_failure(nullptr);
    return reinterpret_cast<void*>(proc);
}

// GetProcAddress by ordinal: a "name" whose high word is zero is an
// ordinal (MAKEINTRESOURCEA).  An ordinal is 16 bits; a larger value would
// be read as a string's address, so it is refused as no such export.
void* get_proc_address_by_ordinal(handle module, unsigned ordinal) {
    if (ordinal > 0xFFFF) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    FARPROC proc = GetProcAddress(static_cast<HMODULE>(module), MAKEINTRESOURCEA(ordinal));
    return reinterpret_cast<void*>(proc);
}

// FreeLibrary: the module is unmapped when its reference count reaches 0.
int free_library(handle module) { return FreeLibrary(static_cast<HMODULE>(module)) ? 1 : 0; }

// The module name the export table carries (LIBRARY in ovdelete.def);
// Windows matches module names case-insensitively.
const char* library_file_name() { return "OVDELETE.dll"; }

// GetModuleFileNameA(nullptr): the executable's full path.  When the buffer
// is too small the path comes back cut (and, before Vista, without a NUL),
// with the buffer's size as the result; that is refused here.
int executable_directory(char* buffer, std::size_t size) {
    auto capacity = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
    DWORD length = GetModuleFileNameA(nullptr, buffer, capacity);
    if (length == 0 || length >= capacity) return 0;
    std::size_t end = 0;
    for (std::size_t i = 0; i < length; ++i)
        if (buffer[i] == '\\' || buffer[i] == '/') end = i + 1;
    if (end == 0) return 0;
    buffer[end] = '\0';
    return 1;
}

}  // namespace ov
