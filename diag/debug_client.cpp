#include "debug_client.h"

#include <cstring>

namespace ov::diag {

client_state client;

void build_source_tag(char* tag, const char* source_name) {
    // At most 20 characters of the name, padded with spaces while shorter
    // than 9, then '/' at position 8 ends the text.  Whatever the name, the
    // result is its first 8 characters, padded, and the slash.
    copy_text(tag, source_tag_capacity, source_name);
    std::size_t length = std::strlen(tag);
    while (length < source_tag_length) tag[length++] = ' ';
    tag[source_tag_length - 1] = '/';
    tag[source_tag_length] = '\0';
}

void InitDebugClient(const char* source_name) {
    // Set first: set-up never runs twice, even when a later step achieves
    // nothing.
    client.initialized = 1;
    build_source_tag(client.source_tag, source_name);
    // Ids are 0xC000..0xFFFF; a failed registration leaves 0 and
    // notifications then carry 0.
    client.notify_message = static_cast<std::uint16_t>(sys.register_window_message(notify_message_name));
    client.debugger_output = sys.get_profile_int(profile_section, profile_key, 0) != 0 ? 1 : 0;
    client.logger_window = ReadLoggerWindow();
}

// Debugger-output mode: tag, text and CR LF in the library's 2048-byte
// buffer, handed over as one string.  A text too long for the buffer is
// cut so that the line still ends in CR LF.
static int send_to_debugger(const char* source_tag, const char* format, va_list args) {
    char* buffer = client.debugger_text;
    copy_text(buffer, debugger_text_capacity, source_tag);
    std::size_t tag_length = std::strlen(buffer);
    std::size_t room = debugger_text_capacity - tag_length - 2;  // CR LF
    std::size_t needed = format_text_v(buffer + tag_length, room, format, args);
    std::size_t text_length = needed < room ? needed : room - 1;
    std::memcpy(buffer + tag_length + text_length, "\r\n", 3);
    sys.output_debug_string(buffer);
    return 1;
}

int SendDebugText(char* source_tag, const char* format, va_list args) {
    if (!client.initialized) InitDebugClient(default_source_name);
    if (client.debugger_output) return send_to_debugger(source_tag, format, args);
    return SendToLogger(source_tag, format, args);
}

int DebugMsg(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = SendDebugText(client.source_tag, format, args);
    va_end(args);
    return result;
}

void reset_client_for_testing() { client = client_state{}; }

}  // namespace ov::diag
