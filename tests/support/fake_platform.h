// A scripted stand-in for the operations the library makes through ov::sys.
//
// A test builds a fake_platform, fills in the world it should see (entries,
// delete outcomes, the logger's mapping, which calls fail), and the library
// then runs against it.  Every call is appended to `calls` as a short text,
// so a test can check the order of steps and that every handle opened was
// closed.  The destructor restores the real table and the client's state at
// load.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform.h"

namespace ov::test {

class fake_platform {
public:
    fake_platform();
    fake_platform(const fake_platform&) = delete;
    fake_platform& operator=(const fake_platform&) = delete;
    ~fake_platform();

    // Enumeration: find_first_file fails with find_error when entries is
    // empty; find_next_file fails after the last entry (or early, when
    // next_fails_after is set to an index).
    std::vector<find_data> entries;
    std::uint32_t find_error = err::file_not_found;
    std::size_t next_fails_after = SIZE_MAX;
    // Deletion: a path listed here fails with the code; any other succeeds.
    std::map<std::string, std::uint32_t> delete_errors;
    std::vector<std::string> deleted;

    // The profile switch and the message registration.
    std::uint32_t profile_value = 0;
    std::uint32_t registered_id = 0xC0DE;

    // The logger's mapping.  Absent when mapping is empty.
    std::vector<unsigned char> mapping;
    bool window_alive = true;
    // is_window answers: when not empty, consumed one per call before
    // falling back to window_alive.
    std::vector<int> window_answers;
    // Failure switches, one per operation in the handoff.
    bool fail_view_read = false;
    bool fail_open_map_event = false;
    std::uint32_t map_event_wait = wait_object_0;
    bool fail_open_mapping_write = false;
    bool fail_view_write = false;
    bool fail_open_debug_event = false;
    std::uint32_t debug_event_wait = wait_object_0;
    bool fail_register = false;

    // What reached the outside world.
    std::vector<std::string> calls;
    std::vector<std::string> debug_lines;
    std::vector<std::uint32_t> notifications;

    // Helpers for tests.
    static find_data entry(const std::string& name, std::uint32_t attributes = attr_archive);
    void set_window(std::uint32_t window, std::size_t size = 4096);
    std::string area_text() const;  // the text at offset 4 up to the NUL
    int open_handles() const { return open_handles_; }
    int open_views() const { return open_views_; }
    std::size_t count(const std::string& call_prefix) const;

private:
    friend struct fake_calls;
    syscalls saved_;
    std::size_t next_index_ = 0;
    int open_handles_ = 0;
    int open_views_ = 0;
};

// The real backend in debugger-output mode, with each line caught on its way
// to the debugger-output stream.  Restores the table and the client's state
// at load when it goes away.
class debugger_capture {
public:
    debugger_capture();
    debugger_capture(const debugger_capture&) = delete;
    debugger_capture& operator=(const debugger_capture&) = delete;
    ~debugger_capture();

    std::vector<std::string> lines;

private:
    syscalls saved_;
};

}  // namespace ov::test
