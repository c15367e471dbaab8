// Named kernel objects: file mappings over the paging file and events.
// Names without a prefix live in the session's namespace; every handle is
// opened non-inheritable so that a child process never holds one.
//
// OVDELETE_NAMESPACE=NAME (letters, digits, '.', '_' and '-', at most 32)
// gives the processes that share it a set of objects of their own: each
// name becomes "NAME.name" (after a "Local\" or "Global\" prefix), for
// tests, or for several independent setups of one user side by side.
#include <atomic>
#include <cstring>

#include "backend.h"

namespace ov {

namespace backend {

namespace {

constexpr std::size_t namespace_limit = 32;

// The namespace, read once per process (state 0 -> 1 -> 2).
std::atomic<int> namespace_state{0};
char namespace_prefix[namespace_limit + 2];

bool is_namespace_character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

const char* name_prefix() noexcept {
    int expected = 0;
    if (namespace_state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
        char value[namespace_limit + 2];
        DWORD n = GetEnvironmentVariableA("OVDELETE_NAMESPACE", value, sizeof value);
        bool valid = n > 0 && n <= namespace_limit && std::strcmp(value, ".") != 0 && std::strcmp(value, "..") != 0;
        for (DWORD i = 0; valid && i < n; ++i) valid = is_namespace_character(value[i]);
        if (valid) {
            std::memcpy(namespace_prefix, value, n);
            namespace_prefix[n] = '.';
            namespace_prefix[n + 1] = '\0';
        }
        namespace_state.store(2, std::memory_order_release);
    }
    while (namespace_state.load(std::memory_order_acquire) != 2) {
    }
    return namespace_prefix;
}

}  // namespace

// A nullptr name stays nullptr (an unnamed object), and a name that no
// longer fits is passed on whole, for the system to refuse.
const char* object_name(const char* name, char (&buffer)[object_name_capacity]) noexcept {
    const char* prefix = name_prefix();
    if (name == nullptr || prefix[0] == '\0') return name;
    std::size_t scope = 0;
    if (std::strncmp(name, "Local\\", 6) == 0) scope = 6;
    if (std::strncmp(name, "Global\\", 7) == 0) scope = 7;
    if (std::strlen(name) + std::strlen(prefix) >= sizeof buffer) return name;
    std::memcpy(buffer, name, scope);
    buffer[scope] = '\0';
    append_text(buffer, sizeof buffer, prefix);
    append_text(buffer, sizeof buffer, name + scope);
    return buffer;
}

// OpenFileMappingA: 2 when no object has the name, 6 when the name belongs
// to an object of another type.
handle open_file_mapping(std::uint32_t access, const char* name) noexcept {
    char buffer[object_name_capacity];
    return OpenFileMappingA(access, FALSE, object_name(name, buffer));
}

// MapViewOfFile of the whole section at offset 0.  Windows gives no call
// that returns a view's byte count; VirtualQuery's region size, the view
// rounded up to whole pages, is what may be touched (the bytes past the
// section's end within its last page read as zero).
void* map_view_of_file(handle mapping, std::uint32_t access, std::size_t* size) noexcept {
    *size = 0;
    void* view = MapViewOfFile(mapping, access, 0, 0, 0);
    if (view == nullptr) return nullptr;
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(view, &region, sizeof region) == 0) {
        DWORD error = GetLastError();
        UnmapViewOfFile(view);
        SetLastError(error);
        return nullptr;
    }
    *size = region.RegionSize;
    return view;
}

// UnmapViewOfFile needs only the base address; the size is for backends
// that unmap by length.
int unmap_view_of_file(void* view, std::size_t) noexcept { return UnmapViewOfFile(view) ? 1 : 0; }

// CloseHandle: the object goes away with its last handle.
int close_handle(handle h) noexcept { return CloseHandle(h) ? 1 : 0; }

// OpenEventA: EVENT_ALL_ACCESS (0x1F0003) allows wait, set and reset.
handle open_event(std::uint32_t access, const char* name) noexcept {
    char buffer[object_name_capacity];
    return OpenEventA(access, FALSE, object_name(name, buffer));
}

// WaitForSingleObject: WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED, the
// values the seam uses; INFINITE (0xFFFFFFFF) waits without limit.
std::uint32_t wait_for_single_object(handle h, std::uint32_t timeout_ms) noexcept {
    return WaitForSingleObject(h, timeout_ms);
}

// SetEvent: a manual-reset event stays signalled and releases every waiter;
// an auto-reset one releases one waiter and resets itself.  The handle needs
// EVENT_MODIFY_STATE.
int set_event(handle h) noexcept { return SetEvent(h) ? 1 : 0; }

// ResetEvent: the event stays unsignalled until the next SetEvent.
int reset_event(handle h) noexcept { return ResetEvent(h) ? 1 : 0; }

}  // namespace backend
}  // namespace ov
