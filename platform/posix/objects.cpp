// Named file mappings and named events, with the contracts of
// OpenFileMappingA, MapViewOfFile, UnmapViewOfFile, OpenEventA,
// WaitForSingleObject, SetEvent, ResetEvent and CloseHandle.  The logger
// creates them (tools/platform/posix/objects.cpp); the library only opens.
//
// Each named object is a regular file "obj.<name>" in the user's place
// (user_directory.cpp): a mapping's bytes, or an event's shared page.  Its
// kind is in its permission bits, 0600 for a mapping and 0640 for an event
// (the place itself is closed to everyone else), so that one lookup tells a
// missing name (2) from a name of the other kind (6).  Names are case-
// sensitive, as Windows' are; the "Local\" prefix names the same object as
// no prefix.  In the file name every character outside [A-Za-z0-9._-] is
// written as %XX, so any name becomes one file name; a name whose escaped
// form does not fit a file name is refused with 206.
//
// Opening never blocks and never follows a link: a FIFO, a device, a link or
// a file of another user under an object's name is no object (2).  Sizes are
// checked before use, because touching a mapped page past the end of a file
// raises SIGBUS: an event's page when it is opened, after every sleep on
// it, and before any other touch unless it was checked within the last
// millisecond; a mapping's size when it is opened, and a view never covers
// more than that.  A file shrunk between the check and the touch (within a
// millisecond for an event, microseconds for a view) can still raise it;
// only a process of the same user can do that, and it can end the host in
// simpler ways.
//
// Lifetime differs from Windows: there a name lives while any handle to the
// object is open; here the handle that create_* returned removes the name
// when it is closed, and handles opened earlier keep working on the object.
// A creator that died leaves its files behind; the next create_* of the name
// opens them (and reports 183, as for any existing name).
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "backend.h"

namespace ov::backend {

namespace {

// Event rights, as OpenEventA grants them.
constexpr std::uint32_t event_modify_state = 0x0002;
constexpr std::uint32_t synchronize = 0x00100000;
constexpr std::uint32_t infinite = 0xFFFFFFFF;

constexpr char object_prefix[] = "obj.";

// The shared page of an event (event_page): `state` is the futex word, 1
// signalled, 0 not.  `waiters` counts the threads asleep on it (or about to
// be), so that setting an event nobody waits for makes no wake call; a
// waiter that died asleep only costs later sets a needless one.  The other
// fields are written before the file gets its name and never change
// afterwards.  No lock lives here, so a process that dies while using an
// event cannot leave it blocked.  A set wakes one waiter of an auto-reset
// event; should that waiter die before it takes the signal, the signal
// stays for the next wait, and the others sleep on to their time-outs.

event_page* page_of(object_slot* slot) { return static_cast<event_page*>(slot->memory); }

std::atomic_ref<std::uint32_t> shared_word(std::uint32_t& word) { return std::atomic_ref<std::uint32_t>(word); }

// ---------------------------------------------------------------- names

bool is_plain_name_character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

mode_t mode_of(object_kind kind) { return kind == object_kind::event ? event_mode : mapping_mode; }

// What an open file under an object's name is: 0 when it is an object of
// `kind`, 6 when it is one of the other kind, 2 when it is no object at all
// (not a regular file of this user, or not of either kind).
std::uint32_t classify(const struct stat& st, object_kind kind) {
    if (!S_ISREG(st.st_mode) || st.st_uid != object_place_user()) return err::file_not_found;
    mode_t mode = st.st_mode & 07777;
    if (mode == mode_of(kind)) return 0;
    if (mode == mapping_mode || mode == event_mode) return err::invalid_handle;
    return err::file_not_found;
}

// ---------------------------------------------------------------- kept pages
//
// Mapping a shared page of a file and touching it is by far the dearest
// step of a message on a virtual machine: tens of microseconds for the
// page-table entry made, faulted in and torn down again, each time.  So an
// object's pages stay mapped when its view or handle is closed, kept by the
// file's identity (device and inode), the size mapped and whether they are
// writable, and the next view of the same object gets them back.  A few
// are kept; the one unused longest is unmapped when room is needed.  Kept
// pages hold a reference to their file, which therefore lives on after its
// name is gone until they are unmapped, and which keeps its inode number
// from being given to another file meanwhile.

struct kept_pages {
    dev_t device;
    ino_t inode;
    std::size_t size;
    bool writable;
    void* base;  // nullptr: the entry is free
    std::uint32_t users;
    std::uint64_t last_use;
};
constexpr std::size_t kept_count = 8;
constinit kept_pages kept[kept_count] = {};
constinit std::uint64_t kept_clock = 0;
std::atomic_flag kept_busy = ATOMIC_FLAG_INIT;

// Holds the table for one lookup or release; the steps inside are short.
class kept_lock {
public:
    kept_lock() noexcept {
        while (kept_busy.test_and_set(std::memory_order_acquire)) {
        }
    }
    kept_lock(const kept_lock&) = delete;
    kept_lock& operator=(const kept_lock&) = delete;
    ~kept_lock() { kept_busy.clear(std::memory_order_release); }
};

// The object's pages, kept or mapped now: MAP_FAILED and errno on failure.
void* acquire_pages(const object_slot* slot, std::size_t size, bool writable) {
    kept_lock lock;
    kept_pages* room = nullptr;
    for (kept_pages& k : kept) {
        if (k.base != nullptr && k.device == slot->device && k.inode == slot->inode && k.size == size &&
            k.writable == writable) {
            ++k.users;
            k.last_use = ++kept_clock;
            return k.base;
        }
        // Room for new pages: a free entry, else the unused one used
        // longest ago.
        bool free = k.base == nullptr;
        bool idle = !free && k.users == 0;
        if ((free && (room == nullptr || room->base != nullptr)) ||
            (idle && (room == nullptr || (room->base != nullptr && k.last_use < room->last_use))))
            room = &k;
    }
    void* base = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, slot->fd, 0);
    if (base == MAP_FAILED || room == nullptr) return base;  // every entry in use: mapped, not kept
    if (room->base != nullptr) munmap(room->base, room->size);
    *room = kept_pages{slot->device, slot->inode, size, writable, base, 1, ++kept_clock};
    return base;
}

// Gives pages back: kept ones stay mapped for the next view, others go.
int release_pages(void* base, std::size_t size) {
    kept_lock lock;
    for (kept_pages& k : kept) {
        if (k.base == base && k.users > 0) {
            --k.users;
            return 0;
        }
    }
    return munmap(base, size);
}

// ---------------------------------------------------------------- slots

std::uint64_t monotonic_ns() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// An event's page, once its file is known to hold all of it; nullptr and 6
// when the file has been shrunk (or emptied and refilled) under it, or its
// state is none that a set or reset writes: a wait would find it neither
// signalled nor one to sleep on, and spin.  The size is looked at unless it
// was within the last millisecond (the calls of one message on a handle
// come that close), and always after a sleep, however short.
event_page* live_page(object_slot* slot, bool after_sleep = false) {
    constexpr std::uint64_t fresh_ns = 1000000;
    std::uint64_t now = monotonic_ns();
    if (after_sleep || now - slot->checked_ns >= fresh_ns) {
        struct stat st {};
        if (fstat(slot->fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < sizeof(event_page)) {
            set_last_error(err::invalid_handle);
            return nullptr;
        }
        slot->checked_ns = now;
    }
    if (page_of(slot)->magic != event_magic || shared_word(page_of(slot)->state).load() > 2) {
        set_last_error(err::invalid_handle);
        return nullptr;
    }
    return page_of(slot);
}

// Closes what a slot holds and frees it; the handle that created the
// object removes its name first.
void detach_object(object_slot* slot) {
    if (slot->memory != nullptr) release_pages(slot->memory, slot->memory_size);
    if (slot->on_close != nullptr) slot->on_close(slot);
    if (slot->fd >= 0) close(slot->fd);
    release_slot(slot);
}

// Opens an existing object in the user's place: one lookup in the held
// directory, and a second one only when the name is missing because that
// directory itself has gone meanwhile.
unique_fd open_in_place(const char* file_name, object_kind kind, int flags, struct stat* st, std::uint32_t* code) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int directory = object_directory();
        if (directory < 0) {
            *code = get_last_error();
            return unique_fd();
        }
        unique_fd fd = open_object_file(directory, file_name, kind, flags, st, code);
        if (fd || *code != err::file_not_found || !object_directory_gone()) return fd;
    }
    return unique_fd();
}

// open_file_mapping and open_event: the object by name, in a new handle.
handle open_object(object_kind kind, const char* name, std::uint32_t access, int flags) {
    object_slot* slot = claim_slot();
    if (slot == nullptr) return nullptr;
    std::uint32_t code = object_file_name(name, slot->file_name);
    struct stat st {};
    unique_fd fd = code == 0 ? open_in_place(slot->file_name, kind, flags, &st, &code) : unique_fd();
    if (fd) code = attach_object(slot, std::move(fd), st, kind);
    if (code != 0) return abandon(slot, code);
    slot->access = access;
    return publish_slot(slot, kind);
}

}  // namespace

// In the file name every character outside [A-Za-z0-9._-] is written as %XX.
std::uint32_t object_file_name(const char* name, char* out) noexcept {
    // Unnamed objects are not needed by the library or its tools.
    if (name == nullptr || name[0] == '\0') return err::invalid_parameter;
    if (std::strncmp(name, "Local\\", 6) == 0) name += 6;
    if (bounded_length(name, max_path) >= max_path) return err::filename_exced_range;
    static constexpr char hex[] = "0123456789ABCDEF";
    copy_text(out, object_file_name_capacity, object_prefix);
    std::size_t n = std::strlen(out);
    for (; *name != '\0'; ++name) {
        auto c = static_cast<unsigned char>(*name);
        if (n + 4 > object_file_name_capacity) return err::filename_exced_range;
        if (is_plain_name_character(*name)) {
            out[n++] = *name;
        } else {
            out[n++] = '%';
            out[n++] = hex[c >> 4];
            out[n++] = hex[c & 15];
        }
    }
    out[n] = '\0';
    return 0;
}

// Without blocking (a FIFO) and without following a link.  ENXIO: a socket
// or a FIFO that refuses the open.
unique_fd open_object_file(int directory, const char* file_name, object_kind kind, int flags, struct stat* st,
                           std::uint32_t* code) noexcept {
    unique_fd fd(openat(directory, file_name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        *code = errno == ENOENT || errno == ELOOP || errno == ENXIO ? err::file_not_found : translate_errno(errno);
        return fd;
    }
    *code = fstat(fd.get(), st) == 0 ? classify(*st, kind) : translate_errno(errno);
    if (*code != 0) fd.reset();
    return fd;
}

// An event's page is mapped here and checked; a mapping's size is kept for
// its views.
std::uint32_t attach_object(object_slot* slot, unique_fd fd, const struct stat& st, object_kind kind) noexcept {
    slot->fd = fd.release();
    slot->device = st.st_dev;
    slot->inode = st.st_ino;
    if (kind == object_kind::mapping) {
        if (st.st_size <= 0) return err::invalid_handle;
        slot->object_size = static_cast<std::size_t>(st.st_size);
        return 0;
    }
    if (static_cast<std::size_t>(st.st_size) < sizeof(event_page)) return err::invalid_handle;
    void* page = acquire_pages(slot, sizeof(event_page), true);
    if (page == MAP_FAILED) return translate_errno(errno);
    slot->memory = page;
    slot->memory_size = sizeof(event_page);
    slot->checked_ns = monotonic_ns();  // the size was just looked at
    return page_of(slot)->magic == event_magic ? 0 : err::invalid_handle;
}

handle abandon(object_slot* slot, std::uint32_t code) noexcept {
    detach_object(slot);
    set_last_error(code);
    return nullptr;
}

namespace {


// ---------------------------------------------------------------- waits

long futex(std::uint32_t* word, int op, std::uint32_t value, const struct timespec* timeout) {
    return syscall(SYS_futex, word, op, value, timeout, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// The states of an event's word.  An auto-reset event set while threads
// sleep on it is promised to them, as Windows hands the signal to a waiter
// within SetEvent: a thread that comes to wait afterwards, the setter's
// own next wait among them, cannot take it first.
constexpr std::uint32_t unsignalled = 0;
constexpr std::uint32_t signalled = 1;
constexpr std::uint32_t promised = 2;

// Takes the signal: a manual-reset event stays signalled, an auto-reset
// event is consumed by exactly one waiter, a promised signal only by one
// that was counted among the sleepers.
bool try_consume(event_page* page, bool counted) {
    auto state = shared_word(page->state);
    if (page->manual_reset) return state.load(std::memory_order_acquire) == signalled;
    std::uint32_t expected = signalled;
    if (state.compare_exchange_strong(expected, unsignalled, std::memory_order_acq_rel)) return true;
    expected = promised;
    return counted && state.compare_exchange_strong(expected, unsignalled, std::memory_order_acq_rel);
}

// Sleeps on the futex word while it holds `seen`, until the absolute
// monotonic deadline (nullptr: none).  The caller is counted among the
// waiters before the kernel looks at the word: a setter that stores its
// state and then finds no waiter counted has stored it before that look,
// and the sleep returns at once.  Returns 0, or the errno that ended the
// sleep other than EINTR and EAGAIN, which only mean "look again".
int sleep_on(event_page* page, std::uint32_t seen, const struct timespec* deadline) {
    // Shared, not FUTEX_PRIVATE_FLAG: waiters in other processes use the
    // same page.  FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC time,
    // so a wait interrupted by a signal resumes with the right remainder.
    if (futex(&page->state, FUTEX_WAIT_BITSET, seen, deadline) == 0) return 0;
    return errno == EINTR || errno == EAGAIN ? 0 : errno;
}

struct timespec deadline_after(std::uint32_t timeout_ms) {
    struct timespec at {};
    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_sec += static_cast<time_t>(timeout_ms / 1000);
    at.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec += 1;
        at.tv_nsec -= 1000000000L;
    }
    return at;
}

bool reached(const struct timespec& deadline) {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

}  // namespace

handle open_file_mapping(std::uint32_t access, const char* name) noexcept {
    return open_object(object_kind::mapping, name, access, (access & file_map_write) != 0 ? O_RDWR : O_RDONLY);
}

handle open_event(std::uint32_t access, const char* name) noexcept {
    // Even a wait writes the page: an auto-reset event is consumed by it.
    return open_object(object_kind::event, name, access, O_RDWR);
}

// The view covers the whole object as it was when the handle was opened,
// and *size is that size: the caller may touch exactly that many bytes.
// (Windows reports the size rounded up to the page.)  A handle opened for
// reading gives read-only views only (5 when a writable one is asked for).
void* map_view_of_file(handle mapping, std::uint32_t access, std::size_t* size) noexcept {
    object_slot* slot = find_slot(mapping, object_kind::mapping);
    if (slot == nullptr) return nullptr;
    const bool write = (access & file_map_write) != 0;
    std::uint32_t code = 0;
    if (!write && (access & file_map_read) == 0) code = err::invalid_parameter;
    if (code == 0 && write && (slot->access & file_map_write) == 0) code = err::access_denied;
    void* view = MAP_FAILED;
    if (code == 0) {
        view = acquire_pages(slot, slot->object_size, write);
        if (view == MAP_FAILED) code = translate_errno(errno);
    }
    if (code != 0) {
        set_last_error(code);
        return nullptr;
    }
    *size = slot->object_size;
    return view;
}

int unmap_view_of_file(void* view, std::size_t size) noexcept {
    if (view == nullptr || release_pages(view, size) != 0) {
        set_last_error(error_invalid_address);
        return 0;
    }
    return 1;
}

int close_handle(handle h) noexcept {
    object_slot* slot = take_slot(h, object_kind::mapping, object_kind::event);
    if (slot == nullptr) return 0;
    detach_object(slot);
    return 1;
}

std::uint32_t wait_for_single_object(handle h, std::uint32_t timeout_ms) noexcept {
    object_slot* slot = find_slot(h, object_kind::event);
    // Windows checks a handle's rights before its kind, and a mapping's
    // handle lacks SYNCHRONIZE: 5 rather than 6.
    if (slot == nullptr && find_slot(h, object_kind::mapping) != nullptr) set_last_error(err::access_denied);
    if (slot == nullptr) return wait_failed;
    if ((slot->access & synchronize) == 0) {
        set_last_error(err::access_denied);
        return wait_failed;
    }
    const struct timespec deadline = deadline_after(timeout_ms == infinite ? 0 : timeout_ms);
    event_page* page = live_page(slot);
    if (page == nullptr) return wait_failed;
    bool counted = false;  // among the waiters
    bool slept = false;    // a promise made since is this thread's to take
    std::uint32_t result = wait_failed;
    for (;;) {
        if (try_consume(page, slept)) {
            result = wait_object_0;
            break;
        }
        if (timeout_ms != infinite && reached(deadline)) {
            result = wait_timeout;
            break;
        }
        // A promise made before this thread slept belongs to the sleepers
        // before it: it sleeps while the word stays as it saw it.
        std::uint32_t seen = shared_word(page->state).load(std::memory_order_seq_cst);
        if (!counted) shared_word(page->waiters).fetch_add(1, std::memory_order_seq_cst);
        counted = true;
        if (seen == signalled) continue;
        int error = sleep_on(page, seen, timeout_ms == infinite ? nullptr : &deadline);
        slept = true;
        // The file may have been shrunk during the sleep: its size is
        // checked before the page is touched again.
        page = live_page(slot, true);
        if (page == nullptr) return wait_failed;
        if (error != 0 && error != ETIMEDOUT) {
            set_error_from_errno(error);
            break;
        }
    }
    if (counted) shared_word(page->waiters).fetch_sub(1, std::memory_order_seq_cst);
    return result;
}

// The event behind a handle that may change its state (EVENT_MODIFY_STATE),
// as SetEvent and ResetEvent require; nullptr and 6 or 5 otherwise.
static event_page* modifiable_event(handle h) noexcept {
    object_slot* slot = find_slot(h, object_kind::event);
    if (slot != nullptr && (slot->access & event_modify_state) == 0) {
        set_last_error(err::access_denied);
        return nullptr;
    }
    return slot != nullptr ? live_page(slot) : nullptr;
}

// Signals the event, and wakes only when someone waits: every waiter of a
// manual-reset event; one of an auto-reset event, to which the signal is
// promised.  Setting a signalled event again adds nothing, as on Windows.
int set_event(handle h) noexcept {
    event_page* page = modifiable_event(h);
    if (page == nullptr) return 0;
    auto state = shared_word(page->state);
    if (page->manual_reset) {
        state.store(signalled, std::memory_order_seq_cst);
        if (shared_word(page->waiters).load(std::memory_order_seq_cst) != 0)
            futex(&page->state, FUTEX_WAKE, INT_MAX, nullptr);
        return 1;
    }
    // The state first, then the count: a waiter counted after this load
    // looks at the word after the store, so one of the two sees the other.
    state.store(signalled, std::memory_order_seq_cst);
    if (shared_word(page->waiters).load(std::memory_order_seq_cst) != 0) {
        // Promised to the sleepers, unless a waiter took the signal
        // meanwhile.  The count may include a waiter that died asleep; the
        // kernel says whether a sleeper was woken, and when none was, the
        // signal is free again.
        std::uint32_t expected = signalled;
        if (state.compare_exchange_strong(expected, promised, std::memory_order_seq_cst) &&
            futex(&page->state, FUTEX_WAKE, 1, nullptr) == 0) {
            expected = promised;
            state.compare_exchange_strong(expected, signalled, std::memory_order_seq_cst);
        }
    }
    return 1;
}

// A promised signal belongs to the waiter it was handed to, as on Windows,
// where it has left the event already: only a signal still free is reset.
int reset_event(handle h) noexcept {
    event_page* page = modifiable_event(h);
    if (page == nullptr) return 0;
    auto state = shared_word(page->state);
    if (page->manual_reset) {
        state.store(unsignalled, std::memory_order_release);
    } else {
        std::uint32_t expected = signalled;
        state.compare_exchange_strong(expected, unsignalled, std::memory_order_acq_rel);
    }
    return 1;
}

}  // namespace ov::backend

