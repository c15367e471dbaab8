// Fuzzes the diagnostic client's handoff to the logger against hostile
// objects.  The input makes the mapping (OvLoggerMappedFile) and the two
// events (OvLoggerMapEvent, OvLoggerDebugEvent) with plain file operations
// in a set of named objects of this process's own: any size, contents,
// event state and magic, and permission bits (which tell the kinds apart),
// or a FIFO, a directory or a link in an object's place.  The window word
// at offset 0 may name a real window of this process, so that the whole
// handoff runs.
//
// What must hold: no crash and no sanitizer report; the result is 0 or 1;
// the mapping keeps its size and its window word; what the client wrote is
// the tag, the text and a NUL from offset 4, cut to the mapping and nothing
// else; OvLoggerMapEvent is left as the client found it (the area is always
// released); every handle and view is closed, and no descriptor is left
// open; objects behind links are never touched.
#include <dirent.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "debug_client.h"
#include "tools_platform.h"

namespace {

// An event's page as the POSIX backend lays it out (platform/posix/objects.cpp).
struct event_page {
    std::uint32_t state, manual_reset, magic, waiters;
};
constexpr std::uint32_t event_magic = 0x4F764576;
constexpr mode_t mapping_mode = 0600;
constexpr mode_t event_mode = 0640;

ov::hwnd32 window = 0;
int place = -1;  // the directory of this process's named objects
const std::string mapping_file = std::string("obj.") + ov::diag::mapping_name;
const std::string map_event_file = std::string("obj.") + ov::diag::map_event_name;
const std::string debug_event_file = std::string("obj.") + ov::diag::debug_event_name;
const char* const object_files[] = {mapping_file.c_str(), map_event_file.c_str(), debug_event_file.c_str()};
// Valid objects that only links lead to.
const char* const decoys[] = {"decoy.mapping", "decoy.event"};

void remove_objects() {
    for (const char* name : object_files)
        if (unlinkat(place, name, 0) != 0) unlinkat(place, name, AT_REMOVEDIR);
}

// Everything this process made, the set of objects itself included.
void remove_all() {
    remove_objects();
    for (const char* name : decoys) unlinkat(place, name, 0);
    unlinkat(place, "tmp.fuzz", 0);
    ov::destroy_window(window);
    char path[4096];
    if (ov::object_place(path, sizeof path)) rmdir(path);
}

// A failure leaves nothing behind either: its input rebuilds the objects.
void check(bool condition) {
    if (condition) return;
    remove_all();
    std::abort();
}

// ---------------------------------------------------------------- counting

ov::syscalls real;
int handles_open = 0;
int views_open = 0;

ov::handle counted(ov::handle h) {
    handles_open += h != nullptr;
    return h;
}
ov::handle open_mapping(std::uint32_t access, const char* name) {
    return counted(real.open_file_mapping(access, name));
}
ov::handle open_event(std::uint32_t access, const char* name) { return counted(real.open_event(access, name)); }
int close_handle(ov::handle h) {
    int closed = real.close_handle(h);
    handles_open -= closed;
    return closed;
}
void* map_view(ov::handle mapping, std::uint32_t access, std::size_t* size) {
    void* view = real.map_view_of_file(mapping, access, size);
    views_open += view != nullptr;
    return view;
}
int unmap_view(void* view, std::size_t size) {
    int unmapped = real.unmap_view_of_file(view, size);
    views_open -= unmapped;
    return unmapped;
}
// No execution may sleep: every wait looks at the event's state and returns.
std::uint32_t wait_now(ov::handle h, std::uint32_t) { return real.wait_for_single_object(h, 0); }
// Logger mode, whatever the user's WIN.INI says.
std::uint32_t logger_mode(const char*, const char*, int) { return 0; }

int open_descriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    check(d != nullptr);
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

// ---------------------------------------------------------------- objects

std::string file_bytes(int fd) {
    struct stat st {};
    check(fstat(fd, &st) == 0);
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    check(pread(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
    return bytes;
}

// The window word as the mapping holds it.
std::string little_endian(std::uint32_t word) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(word >> (8 * i));
    return bytes;
}

// A regular file with these bytes and bits, made under a temporary name and
// then renamed, as a creator would; returns a descriptor that stays usable
// whatever the bits, or -1.
int make_file(const char* name, const std::string& bytes, mode_t mode) {
    int fd = openat(place, "tmp.fuzz", O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(fd >= 0);
    check(pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
    check(fchmod(fd, mode) == 0 && renameat(place, "tmp.fuzz", place, name) == 0);
    return fd;
}

// Puts something under an object's name: nothing, a FIFO, a directory, a
// link to a valid object, or a file the input describes.  Returns the
// file's descriptor, or -1 when it is no regular file.
int make_object(FuzzedDataProvider& in, const char* name, bool mapping) {
    const mode_t own = mapping ? mapping_mode : event_mode;
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: return -1;
        case 1: mkfifoat(place, name, own); return -1;
        case 2: mkdirat(place, name, 0700); return -1;
        case 3: symlinkat(decoys[mapping ? 0 : 1], place, name); return -1;
        default: break;
    }
    mode_t mode = own;
    if (!in.ConsumeBool())
        mode = in.ConsumeBool() ? (mapping ? event_mode : mapping_mode) : in.ConsumeIntegral<std::uint16_t>() & 07777;
    std::string bytes;
    if (mapping) {
        std::uint32_t word = in.ConsumeBool() ? window : in.ConsumeIntegral<std::uint32_t>();
        std::size_t size = in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 32) : in.ConsumeIntegralInRange(0, 16384);
        bytes.assign(size, static_cast<char>(in.ConsumeIntegral<std::uint8_t>()));
        std::string head = little_endian(word);
        head += in.ConsumeBytesAsString(in.ConsumeIntegralInRange(0, 64));
        bytes.replace(0, std::min(head.size(), size), head, 0, std::min(head.size(), size));
    } else {
        const std::uint32_t states[] = {0, 1, in.ConsumeIntegral<std::uint32_t>()};
        event_page page{states[in.ConsumeIntegralInRange(0, 2)], in.ConsumeIntegralInRange<std::uint32_t>(0, 2),
                        in.ConsumeBool() ? event_magic : in.ConsumeIntegral<std::uint32_t>(),
                        in.ConsumeIntegralInRange<std::uint32_t>(0, 2)};
        bytes.assign(reinterpret_cast<const char*>(&page), sizeof page);
        bytes.resize(in.ConsumeBool() ? sizeof page : in.ConsumeIntegralInRange(0, 64));
    }
    return make_file(name, bytes, mode);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Before the first object is looked up: a set of this process's own,
    // made by the window's creation.
    setenv("OVDELETE_NAMESPACE", ("fuzz.client." + std::to_string(getpid())).c_str(), 1);
    window = ov::create_message_window();
    char path[4096];
    check(window != 0 && ov::object_place(path, sizeof path));
    // The client keeps its probe socket from its first window check on, as
    // it keeps the place's directory: made now, they are no leak later.
    check(ov::sys.is_window(window) == 1);
    place = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(place >= 0);
    // The decoy mapping names the window, so that following a link would
    // lead all the way.
    close(make_file(decoys[0], little_endian(window) + std::string(60, 'd'), mapping_mode));
    event_page page{1, 0, event_magic, 0};
    close(make_file(decoys[1], std::string(reinterpret_cast<const char*>(&page), sizeof page), event_mode));
    std::atexit(remove_all);
    real = ov::sys;
    ov::sys.open_file_mapping = &open_mapping;
    ov::sys.open_event = &open_event;
    ov::sys.close_handle = &close_handle;
    ov::sys.map_view_of_file = &map_view;
    ov::sys.unmap_view_of_file = &unmap_view;
    ov::sys.wait_for_single_object = &wait_now;
    ov::sys.get_profile_int = &logger_mode;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::vector<std::string> decoy_bytes;
    if (decoy_bytes.empty()) {
        for (const char* name : decoys) {
            int fd = openat(place, name, O_RDONLY | O_CLOEXEC);
            decoy_bytes.push_back(file_bytes(fd));
            close(fd);
        }
    }
    FuzzedDataProvider in(data, size);
    remove_objects();
    const int mapping = make_object(in, object_files[0], true);
    const int map_event = make_object(in, object_files[1], false);
    const int debug_event = make_object(in, object_files[2], false);
    const std::string text = in.ConsumeRemainingBytesAsString().c_str();
    const std::string mapping_before = mapping >= 0 ? file_bytes(mapping) : "";
    const std::string map_event_before = map_event >= 0 ? file_bytes(map_event) : "";

    ov::diag::reset_client_for_testing();
    const int descriptors = open_descriptors();
    const int result = ov::diag::DebugMsg("%s", text.c_str());
    check(open_descriptors() == descriptors);
    check(result == 0 || result == 1);
    check(handles_open == 0 && views_open == 0);
    std::uint32_t message = 0;
    while (ov::get_window_message(window, 0, &message) == 1) {
    }

    if (mapping >= 0) {
        const std::string after = file_bytes(mapping);
        // The message as it would land: tag, text and NUL from offset 4,
        // cut to the mapping; nothing when the tag cannot fit.
        std::string expected = mapping_before;
        const std::size_t area = ov::diag::message_area_offset;
        if (expected.size() >= area + ov::diag::source_tag_length + 1) {
            std::string line = ov::diag::client.source_tag + text;
            line.resize(std::min(line.size(), expected.size() - area - 1));
            line += '\0';
            expected.replace(area, line.size(), line);
        }
        check(after.size() == mapping_before.size());
        check(after.compare(0, 4, mapping_before, 0, 4) == 0);
        check(after == mapping_before || after == expected);
        close(mapping);
    }
    // A wait that takes the signal is followed by setting the event again
    // on every path: its state word reads as before.
    if (map_event >= 0) {
        check(file_bytes(map_event).compare(0, 4, map_event_before, 0, 4) == 0);
        close(map_event);
    }
    if (debug_event >= 0) close(debug_event);
    for (std::size_t i = 0; i < decoy_bytes.size(); ++i) {
        int fd = openat(place, decoys[i], O_RDONLY | O_CLOEXEC);
        check(file_bytes(fd) == decoy_bytes[i]);
        close(fd);
    }
    return 0;
}
