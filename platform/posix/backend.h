// Internal interface of the POSIX backend: the operations behind ov::sys and
// the helpers that several of its files share, and that the tools' half of
// the backend (tools/platform/posix/) builds on.  Nothing above the
// platform layers includes this header.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "backend_calls.h"

namespace ov::backend {

// --- errors.cpp

// The one place where errno values become Win32 error codes.
std::uint32_t translate_errno(int error) noexcept;
// set_last_error(translate_errno(error)).
void set_error_from_errno(int error) noexcept;

// Win32 codes the backend produces that platform.h does not list.
inline constexpr std::uint32_t error_gen_failure = 31;
inline constexpr std::uint32_t error_invalid_address = 487;
inline constexpr std::uint32_t error_not_enough_quota = 1816;

// An owned file descriptor: closed when the guard goes, never copied.
struct fd_traits {
    using value_type = int;
    static constexpr int none = -1;
    static int adopt(int fd) noexcept { return fd < 0 ? -1 : fd; }
    static void close(int fd) noexcept { ::close(fd); }
};
using unique_fd = owned_handle<fd_traits>;

// --- handle_table.cpp: the process's kernel-object handles.
//
// A fixed table, so that opening an object never allocates and a handle can
// be checked without touching memory it does not own: a handle is the
// address of its slot, and every operation checks that it is one and that
// the slot holds the kind the operation expects.

enum class object_kind : std::uint32_t { free = 0, busy = 1, find = 2, mapping = 3, event = 4 };

inline constexpr std::size_t object_file_name_capacity = 256;

struct object_slot {
    // object_kind; busy while a slot is being filled or emptied.
    std::atomic<std::uint32_t> state{0};
    int fd = -1;
    // The event's shared page, or the enumeration's snapshot.
    void* memory = nullptr;
    std::size_t memory_size = 0;
    // A mapping's size in bytes, as it was when the handle was opened.
    std::size_t object_size = 0;
    // When an event's size was last seen to hold its page (monotonic ns).
    std::uint64_t checked_ns = 0;
    // The access the handle was opened with (file_map_* or event rights).
    std::uint32_t access = 0;
    // Run when the handle is closed, before the descriptor goes: the
    // handle that created an object removes its name (tools' half).
    void (*on_close)(object_slot* slot) = nullptr;
    dev_t device = 0;
    ino_t inode = 0;
    char file_name[object_file_name_capacity] = {};
};

// A free slot, marked busy and reset; nullptr and 4 when the table is full.
object_slot* claim_slot() noexcept;
// Makes a filled slot visible under its kind and returns its handle.
handle publish_slot(object_slot* slot, object_kind kind) noexcept;
// The slot behind h when it holds `kind`; nullptr and 6 otherwise.
object_slot* find_slot(handle h, object_kind kind) noexcept;
// Like find_slot, but takes the slot out of use (busy) so that exactly one
// caller closes it; accepts either of two kinds.
object_slot* take_slot(handle h, object_kind kind, object_kind other_kind) noexcept;
// Returns a taken or claimed slot to the free list.
void release_slot(object_slot* slot) noexcept;

// --- user_directory.cpp: the per-user place of named objects.

// Room for the place's path and a name in it.
inline constexpr std::size_t object_path_capacity = 256;

// Makes the directory `name` below the open `parent`, private to the user;
// false with the last error set when it cannot.  A directory that exists
// already is no failure.
using make_directory_fn = bool (*)(int parent, const char* name);
// The place's directory, held open for the life of the process (the caller
// never closes it).  make, when given, makes each directory of the place
// that is missing (the tools' half: the logger makes the place, a client
// only looks for it).  -1 with the last error set: 2 when it does not
// exist, 5 when it is not a private directory of this user.
int object_directory(make_directory_fn make = nullptr) noexcept;
// After a name was not found in the held directory: true when that
// directory has been removed since (looked at no more than once a second),
// in which case the next object_directory() opens the place afresh.
bool object_directory_gone() noexcept;
// The place's path, for sockets, which are reached by path.
const char* object_directory_path() noexcept;
// The effective user the place belongs to, read once, when the place was
// worked out: every object in it must be this user's.
uid_t object_place_user() noexcept;
// How much of that path is the root the place is made in (/run/user/<uid>,
// /dev/shm or /tmp), which exists already and belongs to the system.
std::size_t object_place_root_length() noexcept;

// --- objects.cpp: named objects, as files "obj.<name>" in the place.

inline constexpr mode_t mapping_mode = 0600;
inline constexpr mode_t event_mode = 0640;
inline constexpr std::uint32_t event_magic = 0x4F764576;  // "vEvO"

// The shared page of an event (see objects.cpp).
struct event_page {
    std::uint32_t state;
    std::uint32_t manual_reset;
    std::uint32_t magic;
    std::uint32_t waiters;
};

// Writes "obj." + the escaped name into out (object_file_name_capacity
// bytes).  Returns 0 or a Win32 code.
std::uint32_t object_file_name(const char* name, char* out) noexcept;
// Opens the file under an object's name without blocking or following a
// link, and checks that it is an object of `kind`.  A descriptor, or an
// empty one with *code set: 2 missing or no object, 6 the other kind.
unique_fd open_object_file(int directory, const char* file_name, object_kind kind, int flags, struct stat* st,
                           std::uint32_t* code) noexcept;
// Fills a claimed slot from an open object file of the right kind, which
// it takes.  Returns 0 or a Win32 code.
std::uint32_t attach_object(object_slot* slot, unique_fd fd, const struct stat& st, object_kind kind) noexcept;
// Frees a claimed slot and everything it holds, sets the last error to
// code, and returns nullptr.
handle abandon(object_slot* slot, std::uint32_t code) noexcept;

// --- files.cpp: paths and DeleteFileA's rules, shared with the tools'
// path-based deletion.

// 0 when a path may be looked up, else the code the ANSI functions refuse
// it with (206 too long, 3 empty or with a drive designator).
std::uint32_t check_path(const char* path) noexcept;
// The path with '/' for '\' and "." and ".." resolved as text, into out
// (max_path bytes).  Returns 0 or 206.
std::uint32_t to_native(const char* path, char* out) noexcept;
// The attribute word of an entry of an open directory; 0 or an errno.
int entry_attributes(int directory, const char* name, std::uint32_t* out) noexcept;
// Removes an entry of an open directory with DeleteFileA's rules, given its
// attribute word.  Returns 0 or a Win32 code.
std::uint32_t remove_entry(int directory, const char* name, std::uint32_t attributes) noexcept;
// The Win32 code for an errno of a lookup in an open directory (ENOENT: 2,
// or 3 once the directory itself is gone).
std::uint32_t missing_code(int directory, int error) noexcept;

// --- window.cpp

// The socket address of a window in the user's place.  Returns 0 or a
// Win32 code.
std::uint32_t window_address(hwnd32 window, struct sockaddr_un* address) noexcept;
// A message travels as (message id, wparam, lparam), 32 bits each, as on
// 32-bit Windows.
inline constexpr std::size_t window_datagram_size = 12;

// --- profile.cpp

// The WIN.INI file get_profile_int reads:
// ${XDG_CONFIG_HOME:-$HOME/.config}/win.ini.  1, or 0 when it does not fit.
int profile_path(char* buffer, std::size_t size) noexcept;
// The profile's blanks (tab to carriage return, ^Z and space), and its
// comparison of names, without regard to ASCII case.
bool is_blank(char c) noexcept;
bool equal_nocase(const char* a, std::size_t a_length, const char* b, std::size_t b_length) noexcept;
// [begin, end) without blanks at either end.
void trim(const char*& begin, const char*& end) noexcept;

// --- time, shared by the waits

// Milliseconds on the monotonic clock.
std::uint64_t monotonic_ms() noexcept;

}  // namespace ov::backend
