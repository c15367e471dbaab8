// Loading a library as a host application does.
#include <algorithm>

#include "backend.h"
#include "tools_platform.h"

namespace ov {

// LoadLibraryA: a bare name is searched for in the application's directory
// first; 126 when the file is missing, 193 when it is not a module for
// this machine.
handle load_library(const char* path) { return LoadLibraryA(path); }

// GetProcAddress by name: 127 when the module exports no such name.
void* get_proc_address(handle module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
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
