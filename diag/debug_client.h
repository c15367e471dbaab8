// The diagnostic message client: tagged one-line messages to the
// debugger-output stream or, by default, to the logger process.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "platform.h"

namespace ov::diag {

inline constexpr std::size_t source_tag_capacity = 21;
inline constexpr std::size_t source_tag_length = 9;
inline constexpr std::size_t debugger_text_capacity = 2048;
inline constexpr std::uint32_t handoff_timeout_ms = 2000;
inline constexpr std::size_t message_area_offset = 4;

inline constexpr char profile_section[] = "Quonvel";
inline constexpr char profile_key[] = "UseDebuggerOutput";
inline constexpr char notify_message_name[] = "mHandleDebugMsg";
inline constexpr char mapping_name[] = "OvLoggerMappedFile";
inline constexpr char map_event_name[] = "OvLoggerMapEvent";
inline constexpr char debug_event_name[] = "OvLoggerDebugEvent";
inline constexpr char default_source_name[] = "UNKNOWN";

// The client's library-wide state: zero at load, set up by the first
// message, never torn down.
struct client_state {
    std::int32_t initialized;
    char source_tag[source_tag_capacity];
    std::int32_t debugger_output;
    std::uint16_t notify_message;
    hwnd32 logger_window;
    char debugger_text[debugger_text_capacity];
};
extern client_state client;

// Formats one message and delivers it; 1 or 0 as SendDebugText.
int DebugMsg(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
int SendDebugText(char* source_tag, const char* format, va_list args);
void InitDebugClient(const char* source_name);

// The logger handoff.
hwnd32 ReadLoggerWindow();
int SendToLogger(const char* source_tag, const char* format, va_list args);

// The tag rule: the name's first 8 characters padded with spaces to 8, then
// '/'.  tag must hold source_tag_capacity bytes.
void build_source_tag(char* tag, const char* source_name);

// Returns the client to its state at load, so that a test can observe the
// first message's set-up again.  The library itself never calls it.
void reset_client_for_testing();

}  // namespace ov::diag
