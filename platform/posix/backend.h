// Internal interface of the POSIX backend: the operations behind ov::sys and
// the helpers that several of its files share.  Nothing above platform/
// includes this header.
#pragma once

#include <sys/types.h>

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
    // The access the handle was opened with (file_map_* or event rights).
    std::uint32_t access = 0;
    // Handles returned by create_* remove the object's name when closed.
    bool owner = false;
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

// The place's directory, held open for the life of the process (the caller
// never closes it); with create, made first where it is missing.  -1 with
// the last error set: 2 when it does not exist, 5 when it is not a private
// directory of this user.
int object_directory(bool create) noexcept;
// After a name was not found in the held directory: true when that
// directory has been removed since (looked at no more than once a second),
// in which case the next object_directory() opens the place afresh.
bool object_directory_gone() noexcept;
// The place's path, for sockets, which are reached by path.
const char* object_directory_path() noexcept;

// --- time, shared by the waits

// Milliseconds on the monotonic clock.
std::uint64_t monotonic_ms() noexcept;

}  // namespace ov::backend
