// Creating the logger's named objects: file mappings over the paging file
// and events, in the session's namespace (or the OVDELETE_NAMESPACE one,
// through the library's object_name).
#include "backend.h"
#include "tools_platform.h"

namespace ov {

// CreateFileMappingA over INVALID_HANDLE_VALUE: a section backed by the
// paging file, zero-filled.  With the default security descriptor only the
// creator's account (and the system) may open it.  When the name exists the
// existing section is returned and the last error is 183; the error is
// cleared first so that a fresh creation reads 0 on every version.
handle create_file_mapping(const char* name, std::uint32_t size) {
    char buffer[backend::object_name_capacity];
    SetLastError(ERROR_SUCCESS);
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                              backend::object_name(name, buffer));
}

// CreateEventA with the default security descriptor; 183 as above.
handle create_event(const char* name, bool manual_reset, bool initially_signalled) {
    char buffer[backend::object_name_capacity];
    SetLastError(ERROR_SUCCESS);
    return CreateEventA(nullptr, manual_reset ? TRUE : FALSE, initially_signalled ? TRUE : FALSE,
                        backend::object_name(name, buffer));
}

int object_place(char* text, std::size_t size) {
    if (size > 0) text[0] = '\0';
    return 0;
}

// The session's namespace takes any name; nothing here can be wrong with it.
void explain_object_place(char* text, std::size_t size) {
    if (size > 0) text[0] = '\0';
}

}  // namespace ov
