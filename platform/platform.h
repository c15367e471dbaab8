// The one seam between OVDELETE and the operating system.
//
// Everything the library itself does (delete/, diag/, library/) reaches the
// system through this header only, and everything it declares ships inside
// the library.  The build chooses the backend: platform/win32/ calls the
// real Win32 API, platform/posix/ reproduces the same Win32 behaviour on
// Linux, so the code above the seam cannot tell them apart.  Errors cross
// the seam in one currency, Win32 error codes (ov::err), read back with
// get_last_error().
//
// The operations go through the table ov::sys, as SQLite's syscall table
// does: a test may replace any entry to inject a failure and must restore
// it afterwards (ov::sys = ov::default_syscalls()).
//
// What only the logger, the host stand-in and the tests need (creating
// objects and windows, child processes, loading a library, writing the
// profile) lives beside the library, in tools/platform/, and is not linked
// into it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace ov {

// An opaque kernel-object handle (enumeration, mapping, event, module).
// nullptr is the only invalid value; the win32 backend translates
// INVALID_HANDLE_VALUE from FindFirstFileA into nullptr.
using handle = void*;

// A window handle as it travels through the logger's mapping: 32 bits,
// 0 meaning "no window".
using hwnd32 = std::uint32_t;

// The platform's path limit: 259 characters and the NUL.
inline constexpr std::size_t max_path = 260;

// File attribute bits, as FindFirstFileA reports them.
inline constexpr std::uint32_t attr_readonly = 0x01;
inline constexpr std::uint32_t attr_hidden = 0x02;
inline constexpr std::uint32_t attr_system = 0x04;
inline constexpr std::uint32_t attr_directory = 0x10;
inline constexpr std::uint32_t attr_archive = 0x20;
inline constexpr std::uint32_t attr_reparse_point = 0x400;

// Access values for open_file_mapping / map_view_of_file and open_event.
inline constexpr std::uint32_t file_map_write = 2;
inline constexpr std::uint32_t file_map_read = 4;
inline constexpr std::uint32_t event_all_access = 0x1F0003;

// Results of wait_for_single_object.
inline constexpr std::uint32_t wait_object_0 = 0;
inline constexpr std::uint32_t wait_timeout = 0x102;
inline constexpr std::uint32_t wait_failed = 0xFFFFFFFF;

// The Win32 error codes that the backends produce.
namespace err {
inline constexpr std::uint32_t success = 0;
inline constexpr std::uint32_t invalid_function = 1;
inline constexpr std::uint32_t file_not_found = 2;
inline constexpr std::uint32_t path_not_found = 3;
inline constexpr std::uint32_t too_many_open_files = 4;
inline constexpr std::uint32_t access_denied = 5;
inline constexpr std::uint32_t invalid_handle = 6;
inline constexpr std::uint32_t not_enough_memory = 8;
inline constexpr std::uint32_t current_directory = 16;
inline constexpr std::uint32_t write_protect = 19;
inline constexpr std::uint32_t not_ready = 21;
inline constexpr std::uint32_t sharing_violation = 32;
inline constexpr std::uint32_t lock_violation = 33;
inline constexpr std::uint32_t handle_disk_full = 39;
inline constexpr std::uint32_t not_supported = 50;
inline constexpr std::uint32_t file_exists = 80;
inline constexpr std::uint32_t invalid_parameter = 87;
inline constexpr std::uint32_t disk_full = 112;
inline constexpr std::uint32_t insufficient_buffer = 122;
inline constexpr std::uint32_t invalid_name = 123;
inline constexpr std::uint32_t mod_not_found = 126;
inline constexpr std::uint32_t proc_not_found = 127;
inline constexpr std::uint32_t dir_not_empty = 145;
inline constexpr std::uint32_t busy = 170;
inline constexpr std::uint32_t already_exists = 183;
inline constexpr std::uint32_t filename_exced_range = 206;
inline constexpr std::uint32_t no_more_files = 18;
inline constexpr std::uint32_t timeout = 1460;
inline constexpr std::uint32_t invalid_window_handle = 1400;
inline constexpr std::uint32_t cant_resolve_filename = 1921;
}  // namespace err

// One directory entry as the enumeration yields it: the attribute word and
// the bare name (no directory part).
struct find_data {
    std::uint32_t attributes;
    char name[max_path];
};

// The operations the library makes, each named after the Win32 function
// whose contract it keeps.  Every function that fails sets the thread's
// last error, read back with get_last_error().
struct syscalls {
    // FindFirstFileA: begins an enumeration of the entries matching the
    // pattern's last component in the directory before its last '\' or '/'.
    // nullptr on failure (2 nothing matches, 3 no such directory, 5 not
    // readable, 206 too long).
    handle (*find_first_file)(const char* pattern, find_data* out);
    // FindNextFileA: 1 and the next entry, or 0 (18 at the end).
    int (*find_next_file)(handle find, find_data* out);
    // FindClose.
    int (*find_close)(handle find);
    // DeleteFileA of the entry `name` that the open enumeration `find` has
    // yielded; `path` is the pattern's directory prefix followed by `name`.
    // The entry is deleted in the directory the enumeration opened, however
    // the components of `path` have been renamed or replaced since: the
    // backend keeps that directory open for the enumeration's lifetime.  1
    // when the file is gone, 0 and an error code otherwise, with
    // DeleteFileA's rules and codes for `path`.
    int (*delete_found_file)(handle find, const char* path, const char* name);
    // GetLastError: the calling thread's last error code.
    std::uint32_t (*get_last_error)();

    // OpenFileMappingA with inheritance off: nullptr and 2 when the name
    // does not exist.
    handle (*open_file_mapping)(std::uint32_t access, const char* name);
    // MapViewOfFile of the whole mapping at offset 0.  *size receives the
    // number of bytes that may be touched through the view (VirtualQuery's
    // region size on Windows); nullptr on failure.
    void* (*map_view_of_file)(handle mapping, std::uint32_t access, std::size_t* size);
    // UnmapViewOfFile; size is the value map_view_of_file gave.
    int (*unmap_view_of_file)(void* view, std::size_t size);
    // CloseHandle for mappings, events and enumerations' peers.
    int (*close_handle)(handle h);
    // OpenEventA with inheritance off.
    handle (*open_event)(std::uint32_t access, const char* name);
    // WaitForSingleObject: wait_object_0, wait_timeout or wait_failed.
    std::uint32_t (*wait_for_single_object)(handle h, std::uint32_t timeout_ms);
    int (*set_event)(handle h);
    int (*reset_event)(handle h);

    // GetProfileIntA: an integer from the user's WIN.INI.
    std::uint32_t (*get_profile_int)(const char* section, const char* key, int default_value);
    // RegisterWindowMessageA: 0xC000..0xFFFF, or 0 on failure.
    std::uint32_t (*register_window_message)(const char* name);
    // OutputDebugStringA: one line to the debugger-output stream.
    void (*output_debug_string)(const char* text);
    // IsWindow: nonzero while the handle names a live window.
    int (*is_window)(hwnd32 window);
    // SendNotifyMessageA: posts (message, wparam, lparam) without waiting.
    int (*send_notify_message)(hwnd32 window, std::uint32_t message, std::uintptr_t wparam,
                               std::intptr_t lparam);
};

// The table the library calls through; starts as default_syscalls().
extern syscalls sys;
// The backend's real operations.
const syscalls& default_syscalls();

// lstrcmpiA: case-insensitive comparison in the user's locale.
int compare_nocase(const char* a, const char* b);

// SetLastError, for code above the seam that emulates a failing call.
void set_last_error(std::uint32_t code);

// The window handle as the logger's mapping holds it: 32 bits,
// little-endian, whatever the host's byte order.
inline hwnd32 load_window_handle(const unsigned char* p) {
    return static_cast<hwnd32>(p[0]) | static_cast<hwnd32>(p[1]) << 8 | static_cast<hwnd32>(p[2]) << 16 |
           static_cast<hwnd32>(p[3]) << 24;
}
inline void store_window_handle(unsigned char* p, hwnd32 window) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(window >> (8 * i));
}

// --- Bounded text helpers, the same on every platform.

// Length of a NUL-terminated string, never reading more than limit bytes.
inline std::size_t bounded_length(const char* s, std::size_t limit) {
    std::size_t n = 0;
    while (n < limit && s[n] != '\0') ++n;
    return n;
}

// Copies src into dst[0..capacity) and terminates it; copies at most
// capacity - 1 characters.  Returns 1 when all of src fitted, 0 when it was
// cut.  capacity must be at least 1.
inline int copy_text(char* dst, std::size_t capacity, const char* src) {
    std::size_t i = 0;
    for (; i + 1 < capacity && src[i] != '\0'; ++i) dst[i] = src[i];
    dst[i] = '\0';
    return src[i] == '\0';
}

// Appends src behind the text already in dst, within capacity.  Returns 1
// when all of src fitted, 0 when it was cut.
inline int append_text(char* dst, std::size_t capacity, const char* src) {
    std::size_t used = bounded_length(dst, capacity);
    if (used >= capacity) return src[0] == '\0';
    return copy_text(dst + used, capacity - used, src);
}

// vsnprintf with a guaranteed NUL on every backend (msvcrt's own
// _vsnprintf leaves none when it cuts).  Returns the length the whole text
// needs, as vsnprintf does: a value >= capacity means the text was cut to
// capacity - 1 characters.  capacity must be at least 1; an encoding error
// leaves the empty string and returns 0.
std::size_t format_text_v(char* dst, std::size_t capacity, const char* format, va_list args);
std::size_t format_text(char* dst, std::size_t capacity, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// --- Owning guards: no copies, noexcept moves, destructors that never throw,
// so that a handle is closed on every path by construction.  One template
// serves every kind of handle; its traits say what the handle is, which
// value means none, and how it is closed.  The library's handles close
// through ov::sys like every other operation; the backends and the tools
// define guards of their own kinds (a descriptor, a native Win32 handle).

template <typename Traits>
class owned_handle {
public:
    using value_type = typename Traits::value_type;

    owned_handle() noexcept = default;
    explicit owned_handle(value_type h) noexcept : h_(Traits::adopt(h)) {}
    owned_handle(const owned_handle&) = delete;
    owned_handle& operator=(const owned_handle&) = delete;
    owned_handle(owned_handle&& other) noexcept : h_(other.release()) {}
    owned_handle& operator=(owned_handle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~owned_handle() { reset(); }

    value_type get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != Traits::none; }
    value_type release() noexcept {
        value_type h = h_;
        h_ = Traits::none;
        return h;
    }
    // Closes the handle now (its result is not examined) and takes h.
    void reset(value_type h = Traits::none) noexcept {
        if (h_ != Traits::none) Traits::close(h_);
        h_ = Traits::adopt(h);
    }

private:
    value_type h_ = Traits::none;
};

struct kernel_object_traits {
    using value_type = handle;
    static constexpr handle none = nullptr;
    static handle adopt(handle h) noexcept { return h; }
    static void close(handle h) noexcept { sys.close_handle(h); }
};
struct find_traits : kernel_object_traits {
    static void close(handle h) noexcept { sys.find_close(h); }
};
using unique_handle = owned_handle<kernel_object_traits>;
using unique_find = owned_handle<find_traits>;

// A mapped view and the size map_view_of_file reported for it.
class unique_view {
public:
    unique_view() noexcept = default;
    // Mapped in the body, not in p_'s initializer: size_'s own initializer
    // would run afterwards and overwrite the size just reported.
    unique_view(handle mapping, std::uint32_t access) noexcept {
        p_ = sys.map_view_of_file(mapping, access, &size_);
        if (p_ == nullptr) size_ = 0;
    }
    unique_view(const unique_view&) = delete;
    unique_view& operator=(const unique_view&) = delete;
    unique_view(unique_view&& other) noexcept : p_(other.p_), size_(other.size_) {
        other.p_ = nullptr;
        other.size_ = 0;
    }
    unique_view& operator=(unique_view&&) = delete;
    ~unique_view() { reset(); }

    unsigned char* data() const noexcept { return static_cast<unsigned char*>(p_); }
    std::size_t size() const noexcept { return size_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept {
        if (p_ != nullptr) sys.unmap_view_of_file(p_, size_);
        p_ = nullptr;
        size_ = 0;
    }

private:
    void* p_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace ov
