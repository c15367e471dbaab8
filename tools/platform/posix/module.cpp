// Loading a library as a host application does: LoadLibraryA,
// GetProcAddress and FreeLibrary over dlopen, dlsym and dlclose.
#include <dlfcn.h>
#include <unistd.h>

#include <cstring>

#include "backend.h"
#include "tools_platform.h"

namespace ov {

namespace {

// dlerror()'s text for the last failure on this thread, kept because the
// next dl* call, or dlerror() itself, clears it.
thread_local char last_failure[512];

void keep_failure_text() {
    const char* text = dlerror();
    copy_text(last_failure, sizeof last_failure, text != nullptr ? text : "");
}

}  // namespace

// Resolved now, as LoadLibraryA binds the imports at load; kept local so
// that two loaded libraries never resolve each other's symbols.
handle load_library(const char* path) {
    void* module = path != nullptr ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (module == nullptr) {
        keep_failure_text();
        set_last_error(err::mod_not_found);
    }
    return module;
}

void library_error_text(char* text, std::size_t size) {
    if (size > 0) copy_text(text, size, last_failure);
}

// A symbol may be null; only dlerror() tells a failure.  It is cleared
// first so that an older failure is not taken for this one.
void* get_proc_address(handle module, const char* name) {
    if (module == nullptr || name == nullptr) {
        set_last_error(module == nullptr ? err::invalid_handle : err::proc_not_found);
        return nullptr;
    }
    dlerror();
    void* address = dlsym(module, name);
    if (address == nullptr) {
        keep_failure_text();
        set_last_error(err::proc_not_found);
    }
    return address;
}

// Shared objects have no ordinals.
void* get_proc_address_by_ordinal(handle, unsigned) {
    set_last_error(err::not_supported);
    return nullptr;
}

int free_library(handle module) {
    if (module == nullptr || dlclose(module) != 0) {
        set_last_error(err::invalid_handle);
        return 0;
    }
    return 1;
}

const char* library_file_name() { return "libovdelete.so"; }

int executable_directory(char* buffer, std::size_t size) {
    if (size == 0) return 0;
    ssize_t n = readlink("/proc/self/exe", buffer, size);
    // n == size: the link may have been cut, and there is no room for a NUL.
    if (n <= 0 || static_cast<std::size_t>(n) >= size) {
        buffer[0] = '\0';
        set_last_error(n <= 0 ? err::file_not_found : err::insufficient_buffer);
        return 0;
    }
    buffer[n] = '\0';
    char* slash = std::strrchr(buffer, '/');
    if (slash == nullptr) {
        buffer[0] = '\0';
        set_last_error(err::path_not_found);
        return 0;
    }
    slash[1] = '\0';
    return 1;
}

}  // namespace ov
