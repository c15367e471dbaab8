// The client side of the logger handoff.  The logger owns every object; the
// client opens them by name for one message and closes them again.
#include <cstring>

#include "debug_client.h"

namespace ov::diag {

namespace {

// Holds the message area from the moment OvLoggerMapEvent was reset until
// the scope ends, then frees it by setting the event again.
class area_claim {
public:
    explicit area_claim(handle map_event) noexcept : event_(map_event) {}
    area_claim(const area_claim&) = delete;
    area_claim& operator=(const area_claim&) = delete;
    ~area_claim() { sys.set_event(event_); }

private:
    handle event_;
};

// Tag, then the formatted text, then a NUL, from offset 4 and never past the
// end of the view.  A text too long for the area is cut.  Returns 0 when the
// view cannot even hold the tag and its NUL.
int write_message(const unique_view& view, const char* source_tag, const char* format, va_list args) {
    if (view.size() < message_area_offset + source_tag_length + 1) return 0;
    char* area = reinterpret_cast<char*>(view.data()) + message_area_offset;
    std::size_t capacity = view.size() - message_area_offset;
    copy_text(area, capacity, source_tag);
    std::size_t tag_length = bounded_length(area, capacity);
    format_text_v(area + tag_length, capacity - tag_length, format, args);
    return 1;
}

}  // namespace

hwnd32 ReadLoggerWindow() {
    unique_handle mapping(sys.open_file_mapping(file_map_read, mapping_name));
    if (!mapping) return 0;
    unique_view view(mapping.get(), file_map_read);
    if (!view || view.size() < sizeof(hwnd32)) return 0;
    return load_window_handle(view.data());
}

int SendToLogger(const char* source_tag, const char* format, va_list args) {
    client.logger_window = ReadLoggerWindow();
    if (client.logger_window == 0) return 1;  // no logger: nothing to do
    if (!sys.is_window(client.logger_window)) return 0;

    // Declared first so that it is closed last, after the area is released.
    unique_handle debug_event;
    unique_handle map_event(sys.open_event(event_all_access, map_event_name));
    if (!map_event) return 0;
    if (sys.wait_for_single_object(map_event.get(), handoff_timeout_ms) != wait_object_0) return 0;
    sys.reset_event(map_event.get());
    // From here every path releases the area: the guards below unwind as
    // close view, close mapping, set OvLoggerMapEvent, close it, close
    // OvLoggerDebugEvent.
    area_claim claim(map_event.get());
    unique_handle mapping(sys.open_file_mapping(file_map_write, mapping_name));
    if (!mapping) return 0;
    unique_view view(mapping.get(), file_map_write);
    if (!view) return 0;
    debug_event.reset(sys.open_event(event_all_access, debug_event_name));
    if (!debug_event) return 0;
    if (!write_message(view, source_tag, format, args)) return 0;
    if (sys.is_window(client.logger_window)) {
        sys.send_notify_message(client.logger_window, client.notify_message, 0, 0);
        sys.wait_for_single_object(debug_event.get(), handoff_timeout_ms);
    }
    return 1;
}

}  // namespace ov::diag
