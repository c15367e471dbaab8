#include "fake_platform.h"

#include <cstring>
#include <stdexcept>

#include "debug_client.h"

namespace ov::test {

namespace {
fake_platform* current = nullptr;
std::uint32_t last_error = 0;

// Distinct addresses serve as handles.
char find_object, mapping_object, map_event_object, debug_event_object;

std::string hex(std::uint32_t v) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%X", v);
    return buffer;
}

fake_platform& world() {
    if (current == nullptr) throw std::logic_error("no fake platform installed");
    return *current;
}

handle fail(std::uint32_t code) {
    last_error = code;
    return nullptr;
}
}  // namespace

struct fake_calls {
    static handle find_first_file(const char* pattern, find_data* out) {
        auto& w = world();
        w.calls.push_back(std::string("find_first_file ") + pattern);
        if (w.entries.empty()) return fail(w.find_error);
        w.next_index_ = 1;
        *out = w.entries[0];
        ++w.open_handles_;
        return &find_object;
    }
    static int find_next_file(handle h, find_data* out) {
        auto& w = world();
        w.calls.push_back("find_next_file");
        if (h != &find_object) throw std::logic_error("find_next_file on a foreign handle");
        if (w.next_index_ >= w.entries.size() || w.next_index_ > w.next_fails_after) {
            last_error = err::no_more_files;
            return 0;
        }
        *out = w.entries[w.next_index_++];
        return 1;
    }
    static int find_close(handle h) {
        auto& w = world();
        w.calls.push_back("find_close");
        if (h != &find_object) throw std::logic_error("find_close on a foreign handle");
        --w.open_handles_;
        return 1;
    }
    static int delete_found_file(handle h, const char* path, const char* name) {
        auto& w = world();
        w.calls.push_back(std::string("delete_found_file ") + path);
        if (h != &find_object) throw std::logic_error("delete_found_file on a foreign handle");
        const std::size_t name_length = std::strlen(name);
        if (std::strlen(path) < name_length || std::strcmp(path + std::strlen(path) - name_length, name) != 0)
            throw std::logic_error("delete_found_file: the path does not end in the name");
        auto it = w.delete_errors.find(path);
        if (it != w.delete_errors.end()) {
            last_error = it->second;
            return 0;
        }
        w.deleted.push_back(path);
        return 1;
    }
    static std::uint32_t get_last_error() { return last_error; }

    static handle open_file_mapping(std::uint32_t access, const char* name) {
        auto& w = world();
        w.calls.push_back("open_file_mapping " + std::to_string(access) + " " + name);
        if (w.mapping.empty() || std::strcmp(name, diag::mapping_name) != 0) return fail(err::file_not_found);
        if (access == file_map_write && w.fail_open_mapping_write) return fail(err::access_denied);
        ++w.open_handles_;
        return &mapping_object;
    }
    static void* map_view_of_file(handle h, std::uint32_t access, std::size_t* size) {
        auto& w = world();
        w.calls.push_back("map_view_of_file " + std::to_string(access));
        if (h != &mapping_object) throw std::logic_error("map_view_of_file on a foreign handle");
        if ((access == file_map_read && w.fail_view_read) || (access == file_map_write && w.fail_view_write))
            return fail(err::not_enough_memory);
        ++w.open_views_;
        *size = w.mapping.size();
        return w.mapping.data();
    }
    static int unmap_view_of_file(void* view, std::size_t size) {
        auto& w = world();
        w.calls.push_back("unmap_view_of_file");
        if (view != w.mapping.data() || size != w.mapping.size()) throw std::logic_error("unmap of a foreign view");
        --w.open_views_;
        return 1;
    }
    static int close_handle(handle h) {
        auto& w = world();
        if (h == &mapping_object)
            w.calls.push_back("close_handle mapping");
        else if (h == &map_event_object)
            w.calls.push_back("close_handle map_event");
        else if (h == &debug_event_object)
            w.calls.push_back("close_handle debug_event");
        else
            throw std::logic_error("close_handle on a foreign handle");
        --w.open_handles_;
        return 1;
    }
    static handle open_event(std::uint32_t access, const char* name) {
        auto& w = world();
        w.calls.push_back("open_event " + hex(access) + " " + name);
        if (std::strcmp(name, diag::map_event_name) == 0) {
            if (w.fail_open_map_event) return fail(err::file_not_found);
            ++w.open_handles_;
            return &map_event_object;
        }
        if (std::strcmp(name, diag::debug_event_name) == 0) {
            if (w.fail_open_debug_event) return fail(err::file_not_found);
            ++w.open_handles_;
            return &debug_event_object;
        }
        return fail(err::file_not_found);
    }
    static std::uint32_t wait_for_single_object(handle h, std::uint32_t timeout) {
        auto& w = world();
        bool map_event = h == &map_event_object;
        w.calls.push_back(std::string("wait ") + (map_event ? "map_event " : "debug_event ") + std::to_string(timeout));
        return map_event ? w.map_event_wait : w.debug_event_wait;
    }
    static int set_event(handle h) {
        auto& w = world();
        w.calls.push_back(h == &map_event_object ? "set_event map_event" : "set_event debug_event");
        return 1;
    }
    static int reset_event(handle h) {
        auto& w = world();
        w.calls.push_back(h == &map_event_object ? "reset_event map_event" : "reset_event debug_event");
        return 1;
    }
    static std::uint32_t get_profile_int(const char* section, const char* key, int default_value) {
        auto& w = world();
        w.calls.push_back(std::string("get_profile_int ") + section + " " + key + " " + std::to_string(default_value));
        return w.profile_value;
    }
    static std::uint32_t register_window_message(const char* name) {
        auto& w = world();
        w.calls.push_back(std::string("register_window_message ") + name);
        if (w.fail_register) {
            last_error = err::not_enough_memory;
            return 0;
        }
        return w.registered_id;
    }
    static void output_debug_string(const char* text) {
        auto& w = world();
        w.calls.push_back("output_debug_string");
        w.debug_lines.push_back(text);
    }
    static int is_window(hwnd32 window) {
        auto& w = world();
        w.calls.push_back("is_window " + hex(window));
        if (!w.window_answers.empty()) {
            int answer = w.window_answers.front();
            w.window_answers.erase(w.window_answers.begin());
            return answer;
        }
        return w.window_alive;
    }
    static int send_notify_message(hwnd32 window, std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
        auto& w = world();
        w.calls.push_back("send_notify_message " + hex(window) + " " + hex(message) + " " + std::to_string(wparam) +
                          " " + std::to_string(lparam));
        w.notifications.push_back(message);
        return 1;
    }
};

fake_platform::fake_platform() : saved_(sys) {
    if (current != nullptr) throw std::logic_error("fake platforms do not nest");
    current = this;
    sys = syscalls{&fake_calls::find_first_file,      &fake_calls::find_next_file,
                   &fake_calls::find_close,           &fake_calls::delete_found_file,
                   &fake_calls::get_last_error,       &fake_calls::open_file_mapping,
                   &fake_calls::map_view_of_file,     &fake_calls::unmap_view_of_file,
                   &fake_calls::close_handle,         &fake_calls::open_event,
                   &fake_calls::wait_for_single_object, &fake_calls::set_event,
                   &fake_calls::reset_event,          &fake_calls::get_profile_int,
                   &fake_calls::register_window_message, &fake_calls::output_debug_string,
                   &fake_calls::is_window,            &fake_calls::send_notify_message};
    diag::reset_client_for_testing();
}

fake_platform::~fake_platform() {
    sys = saved_;
    diag::reset_client_for_testing();
    current = nullptr;
}

find_data fake_platform::entry(const std::string& name, std::uint32_t attributes) {
    find_data d{};
    d.attributes = attributes;
    copy_text(d.name, sizeof d.name, name.c_str());
    return d;
}

void fake_platform::set_window(std::uint32_t window, std::size_t size) {
    mapping.assign(size, 0);
    store_window_handle(mapping.data(), window);
}

std::string fake_platform::area_text() const {
    if (mapping.size() <= diag::message_area_offset) return {};
    const char* begin = reinterpret_cast<const char*>(mapping.data()) + diag::message_area_offset;
    return std::string(begin, bounded_length(begin, mapping.size() - diag::message_area_offset));
}

std::size_t fake_platform::count(const std::string& call_prefix) const {
    std::size_t n = 0;
    for (const auto& c : calls)
        if (c.compare(0, call_prefix.size(), call_prefix) == 0) ++n;
    return n;
}

namespace {
debugger_capture* capturing = nullptr;
void capture_line(const char* text) { capturing->lines.push_back(text); }
std::uint32_t switch_on(const char*, const char*, int) { return 1; }
}  // namespace

debugger_capture::debugger_capture() : saved_(sys) {
    if (capturing != nullptr || current != nullptr) throw std::logic_error("platform stand-ins do not nest");
    capturing = this;
    sys.output_debug_string = &capture_line;
    sys.get_profile_int = &switch_on;
    diag::reset_client_for_testing();
}

debugger_capture::~debugger_capture() {
    sys = saved_;
    diag::reset_client_for_testing();
    capturing = nullptr;
}

}  // namespace ov::test
