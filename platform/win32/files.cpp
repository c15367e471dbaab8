// Enumeration and deletion: FindFirstFileA, FindNextFileA, FindClose and
// DeleteFileA, with the find data reduced to what the seam carries.
//
// An enumeration holds the directory it lists, and every directory above
// it, open without FILE_SHARE_DELETE for its whole lifetime.  Renaming or
// deleting a directory needs DELETE access to it, which those handles
// refuse (ERROR_SHARING_VIOLATION), so while the enumeration is open no
// component of the directory's path can be swapped for another directory,
// a junction or a symbolic link.  The directory is listed, and its entries
// deleted, through its real path (GetFinalPathNameByHandleA, with every
// link resolved), so that no link on the caller's path, retargeted
// meanwhile, can lead a deletion elsewhere either.
//
// What share modes cannot stop: a process that does not go through them
// (under Wine, any Unix program renaming the directory directly), and a
// volume mounted over a directory on the path.  A real path that does not
// fit MAX_PATH falls back to the caller's own path, as DeleteFileA always
// used it.
#include <cstring>

#include "backend.h"

namespace ov::backend {

namespace {

// Enough for every component of a path of MAX_PATH characters.
constexpr std::size_t max_pins = MAX_PATH / 2 + 1;

struct find_state {
    HANDLE search;
    // The real path of the listed directory with a trailing backslash, or
    // empty when it could not be taken.
    char directory[MAX_PATH];
    std::size_t pin_count;
    HANDLE pins[max_pins];
};

// The attribute word as the enumeration reports it, and cFileName, which
// has the seam's own capacity (MAX_PATH).
void copy_entry(const WIN32_FIND_DATAA& data, find_data* out) noexcept {
    out->attributes = data.dwFileAttributes;
    copy_text(out->name, sizeof out->name, data.cFileName);
}

// A directory opened to be listed, refusing to share DELETE access.
HANDLE open_pinned(const char* path) noexcept {
    return CreateFileA(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

void pin(find_state* state, HANDLE h) noexcept {
    if (h != INVALID_HANDLE_VALUE && state->pin_count < max_pins) state->pins[state->pin_count++] = h;
    else if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

void release(find_state* state) noexcept {
    if (state->search != INVALID_HANDLE_VALUE) FindClose(state->search);
    for (std::size_t i = 0; i < state->pin_count; ++i) CloseHandle(state->pins[i]);
    HeapFree(GetProcessHeap(), 0, state);
}

// Where the directory part of a pattern ends: after its last '\' or '/',
// or after a drive designator ("C:*.tmp"); 0 when it has none.
std::size_t directory_part(const char* pattern) noexcept {
    std::size_t end = 0;
    for (std::size_t i = 0; pattern[i] != '\0'; ++i)
        if (pattern[i] == '\\' || pattern[i] == '/') end = i + 1;
    if (end == 0 && pattern[0] != '\0' && pattern[1] == ':') end = 2;
    return end;
}

// The real path of an open directory as a plain DOS path ("C:\dir",
// "\\server\share\dir"), without the "\\?\" prefix, whose paths Windows
// takes literally (no trailing dots or blanks stripped from a mask).
bool real_path(HANDLE directory, char* out) noexcept {
    char path[MAX_PATH];
    DWORD n = GetFinalPathNameByHandleA(directory, path, sizeof path, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= sizeof path) return false;
    const char* plain = path;
    if (std::strncmp(path, "\\\\?\\UNC\\", 8) == 0) {
        plain = path + 6;
        path[6] = '\\';
    } else if (std::strncmp(path, "\\\\?\\", 4) == 0) {
        plain = path + 4;
    }
    return copy_text(out, MAX_PATH, plain) != 0;
}

// Holds every directory above `path` (a real path) open as well: each
// prefix that ends before a backslash, after the root ("C:\",
// "\\server\share\").  A directory that cannot be opened stays unheld.
void pin_ancestors(find_state* state, const char* path) noexcept {
    std::size_t root = 3;
    if (path[0] == '\\' && path[1] == '\\') {
        int seen = 0;
        for (root = 2; path[root] != '\0' && seen < 2; ++root)
            if (path[root] == '\\') ++seen;
    }
    char prefix[MAX_PATH];
    for (std::size_t i = root; path[i] != '\0'; ++i) {
        if (path[i] != '\\') continue;
        std::memcpy(prefix, path, i);
        prefix[i] = '\0';
        pin(state, open_pinned(prefix));
    }
}

// Pins the pattern's directory and the directories above it, and finds the
// path to list it by.  Returns false, with the last error set, only when
// the directory is held by someone who may rename or delete it.
bool pin_directory(find_state* state, const char* pattern, std::size_t part, char* search) noexcept {
    copy_text(search, MAX_PATH, pattern);
    char directory[MAX_PATH + 2];
    if (pattern[part] == '\0' || part + 2 > MAX_PATH) return true;  // nothing to list, or no room for "."
    std::memcpy(directory, pattern, part);
    std::memcpy(directory + part, ".", 2);
    HANDLE held = open_pinned(directory);
    if (held == INVALID_HANDLE_VALUE) return GetLastError() != ERROR_SHARING_VIOLATION;
    pin(state, held);
    char real[MAX_PATH];
    if (!real_path(held, real)) return true;
    pin_ancestors(state, real);
    if (!append_text(real, sizeof real, "\\") || !copy_text(state->directory, sizeof state->directory, real)) {
        state->directory[0] = '\0';
        return true;
    }
    if (!append_text(real, sizeof real, pattern + part)) {
        state->directory[0] = '\0';
        return true;
    }
    copy_text(search, MAX_PATH, real);
    return true;
}

}  // namespace

// FindFirstFileA reports failure as INVALID_HANDLE_VALUE, which the seam
// spells nullptr.  The handle the seam gets is the enumeration's state.
handle find_first_file(const char* pattern, find_data* out) noexcept {
    auto* state = static_cast<find_state*>(HeapAlloc(GetProcessHeap(), 0, sizeof(find_state)));
    if (state == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    state->search = INVALID_HANDLE_VALUE;
    state->directory[0] = '\0';
    state->pin_count = 0;
    char search[MAX_PATH];
    WIN32_FIND_DATAA data;
    bool pinned = pin_directory(state, pattern, directory_part(pattern), search);
    if (pinned) state->search = FindFirstFileA(std::strlen(pattern) < MAX_PATH ? search : pattern, &data);
    if (state->search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        release(state);
        SetLastError(error);
        return nullptr;
    }
    copy_entry(data, out);
    return state;
}

// FindNextFileA: FALSE and ERROR_NO_MORE_FILES (18) after the last entry.
int find_next_file(handle find, find_data* out) noexcept {
    WIN32_FIND_DATAA data;
    if (!FindNextFileA(static_cast<find_state*>(find)->search, &data)) return 0;
    copy_entry(data, out);
    return 1;
}

// FindClose, and the directories held for the enumeration are let go.
int find_close(handle find) noexcept {
    release(static_cast<find_state*>(find));
    return 1;
}

// DeleteFileA, in the directory the enumeration lists, by its real path:
// refuses directories and read-only files (5) and files that are open
// without FILE_SHARE_DELETE (32).
int delete_found_file(handle find, const char* path, const char* name) noexcept {
    const auto* state = static_cast<const find_state*>(find);
    char real[MAX_PATH];
    bool by_real_path = state->directory[0] != '\0' && copy_text(real, sizeof real, state->directory) &&
                        append_text(real, sizeof real, name);
    return DeleteFileA(by_real_path ? real : path) ? 1 : 0;
}

}  // namespace ov::backend
