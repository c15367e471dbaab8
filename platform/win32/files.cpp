// Enumeration and deletion: FindFirstFileA, FindNextFileA, FindClose and
// DeleteFileA, unchanged, with the find data reduced to what the seam
// carries.
#include "backend.h"

namespace ov::backend {

namespace {

// The attribute word as the enumeration reports it, and cFileName, which
// has the seam's own capacity (MAX_PATH).
void copy_entry(const WIN32_FIND_DATAA& data, find_data* out) noexcept {
    out->attributes = data.dwFileAttributes;
    copy_text(out->name, sizeof out->name, data.cFileName);
}

}  // namespace

// FindFirstFileA reports failure as INVALID_HANDLE_VALUE, which the seam
// spells nullptr; a search handle is never null.
handle find_first_file(const char* pattern, find_data* out) noexcept {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern, &data);
    if (find == INVALID_HANDLE_VALUE) return nullptr;
    copy_entry(data, out);
    return find;
}

// FindNextFileA: FALSE and ERROR_NO_MORE_FILES (18) after the last entry.
int find_next_file(handle find, find_data* out) noexcept {
    WIN32_FIND_DATAA data;
    if (!FindNextFileA(find, &data)) return 0;
    copy_entry(data, out);
    return 1;
}

// FindClose: a search handle is closed with FindClose, never CloseHandle.
int find_close(handle find) noexcept { return FindClose(find) ? 1 : 0; }

// DeleteFileA: refuses directories and read-only files (5) and files that
// are open without FILE_SHARE_DELETE (32).
int delete_file(const char* path) noexcept { return DeleteFileA(path) ? 1 : 0; }

}  // namespace ov::backend
