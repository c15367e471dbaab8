// Named kernel objects: file mappings over the paging file and events.
// Names without a prefix live in the session's namespace; every handle is
// opened non-inheritable so that a child process never holds one.
#include "backend.h"

namespace ov {

namespace backend {

// OpenFileMappingA: 2 when no object has the name, 6 when the name belongs
// to an object of another type.
handle open_file_mapping(std::uint32_t access, const char* name) noexcept {
    return OpenFileMappingA(access, FALSE, name);
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
handle open_event(std::uint32_t access, const char* name) noexcept { return OpenEventA(access, FALSE, name); }

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

// CreateFileMappingA over INVALID_HANDLE_VALUE: a section backed by the
// paging file, zero-filled.  With the default security descriptor only the
// creator's account (and the system) may open it.  When the name exists the
// existing section is returned and the last error is 183; the error is
// cleared first so that a fresh creation reads 0 on every version.
handle create_file_mapping(const char* name, std::uint32_t size) {
    SetLastError(ERROR_SUCCESS);
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
}

// CreateEventA with the default security descriptor; 183 as above.
handle create_event(const char* name, bool manual_reset, bool initially_signalled) {
    SetLastError(ERROR_SUCCESS);
    return CreateEventA(nullptr, manual_reset ? TRUE : FALSE, initially_signalled ? TRUE : FALSE, name);
}

}  // namespace ov
