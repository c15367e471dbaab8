// The platform operations of the logger, the host stand-in and the tests:
// creating the logger's objects and its window, stop requests, loading a
// library as a host does (and the system's words when it fails), child
// processes, the profile's path and writer, deleting a file by path, and
// for the tools' lines: standard output or a file appended to, the local
// time and the system's log.  Nothing here is linked into the library;
// the library's own operations are in platform/platform.h, which this
// header includes.
//
// tools/platform/posix/ and tools/platform/win32/ implement it, with the
// same file names, on top of the library's backend of the same platform.
#pragma once

#include "platform.h"

namespace ov {

// DeleteFileA by path, for the tools and the tests: 1 when the file is
// gone, 0 and an error code otherwise.
int delete_file(const char* path);

// --- Logger side: the objects a logger creates and the window it serves.

// CreateFileMappingA over the paging file, owner-only.  Opens the existing
// object when the name exists and then sets the last error to 183
// (ERROR_ALREADY_EXISTS), as Windows does; nullptr on failure.
handle create_file_mapping(const char* name, std::uint32_t size);
// CreateEventA, owner-only; 183 as above when it existed.
handle create_event(const char* name, bool manual_reset, bool initially_signalled);
// Where the named objects live, for messages and tests: on POSIX the
// directory of the user's place (1); Windows keeps them in the session's
// namespace, which has no path (0, and an empty text).
int object_place(char* text, std::size_t size);
// Why the objects cannot be created here, when the platform can tell: on
// POSIX, which directory of the user's place belongs to someone else, is
// no directory, or is open to others.  Empty otherwise.
void explain_object_place(char* text, std::size_t size);
// A window that receives registered messages, with no display: a
// message-only window on Windows.  Returns its nonzero 32-bit handle, or 0.
hwnd32 create_message_window();
// Waits up to timeout_ms for a message to the window created on this
// thread.  1 and the message id, 0 on time-out or when a stop was
// requested, -1 on failure.  With 1, *sender (when given) receives the id
// of the process that sent the message where the platform can tell: on
// POSIX the kernel attaches the sender's credentials to each datagram
// (SO_PASSCRED).  A message sent to a window on Windows does not carry its
// sender, and *sender is 0 there.
int get_window_message(hwnd32 window, std::uint32_t timeout_ms, std::uint32_t* message,
                       std::uint32_t* sender = nullptr);
// DestroyWindow; afterwards is_window() on the handle is 0 in every process.
void destroy_window(hwnd32 window);

// Stop requests: SIGINT/SIGTERM on POSIX, console control events on
// Windows.  After install_stop_handler(), stop_requested() turns 1 when one
// arrives and get_window_message() returns 0 soon after.
int install_stop_handler();
int stop_requested();

// --- Host side: loading a library as a host application does.

// LoadLibraryA / dlopen.  nullptr and an error code on failure.
handle load_library(const char* path);
// The system's own words for the last failure of load_library or
// get_proc_address on this thread: dlerror()'s text on POSIX (it names
// the file and the reason), FormatMessageA's for the failure's error code
// on Windows.  Empty when there was none or the system has no words.
void library_error_text(char* text, std::size_t size);
// GetProcAddress by name.
void* get_proc_address(handle module, const char* name);
// GetProcAddress by ordinal; nullptr and 50 (ERROR_NOT_SUPPORTED) where the
// platform's libraries have no ordinals.
void* get_proc_address_by_ordinal(handle module, unsigned ordinal);
int free_library(handle module);
// The library's file name as the build produces it ("OVDELETE.dll",
// "libovdelete.so").
const char* library_file_name();
// The directory of the running executable, with a trailing separator.
// 1 on success, 0 when it does not fit or cannot be found.
int executable_directory(char* buffer, std::size_t size);

// --- The profile, for the logger, the tools and the tests.

// The path of the WIN.INI file that get_profile_int reads (posix:
// ${XDG_CONFIG_HOME:-$HOME/.config}/win.ini; Windows: the Windows
// directory's win.ini).  1 on success, 0 when it does not fit.
int profile_file_path(char* buffer, std::size_t size);
// WriteProfileStringA: sets key=value in section, creating either; a null
// value removes the key.  1 on success.
int write_profile_string(const char* section, const char* key, const char* value);
// Whether WIN.INI has the section with at least one key in it
// (GetProfileSectionA), so that a tool or a test that added it can take
// it away again rather than leave it empty.
int profile_section_has_keys(const char* section);

// --- Where the tools' lines go.

// Standard output, or a file appended to.  Bytes are written as given,
// without text-mode translation or buffering: each write_output is one
// write where the system takes it whole, so lines from several writers
// never interleave within a line.
struct output_file;
// The process's standard output; never closed.
output_file* standard_output();
// Opens the file for appending, creating it when missing (POSIX: mode 0666
// less the umask; Windows: the default security): every write lands at
// the file's end at the moment of the write, whoever else appends.
// nullptr and an error code on failure.
output_file* open_append_file(const char* path);
// Writes all of data; 1, or 0 and an error code.
int write_output(output_file* file, const char* data, std::size_t size);
// Closes a file from open_append_file; standard_output() stays open.
void close_output_file(output_file* file);
// How a line of text ends on this platform: "\r\n" on Windows, "\n" on
// POSIX.
const char* text_line_end();

// --- The wall clock.

struct local_time {
    std::uint16_t year, month, day, hour, minute, second, millisecond;
};
// Now, in the user's time zone (GetLocalTime; clock_gettime and
// localtime_r).
local_time local_time_now();

// --- The system's log.
//
// POSIX: syslog(3), facility LOG_USER, priority LOG_INFO, with the
// process id; where journald runs it takes these in (through /dev/log),
// and without a syslog daemon they are dropped.  Windows: the Application
// event log, informational entries with event id 0 from a source named
// after ident (ReportEventA); without a message file registered for that
// source the Event Viewer says so and shows the text after it.

// 1 when entries can be written; 0 and an error code otherwise.  ident is
// kept, not copied.
int open_system_log(const char* ident);
// One entry; 1, or 0 and an error code.
int write_system_log(const char* text);
void close_system_log();

// --- Child processes, for the tools and the tests.

struct process_options {
    // argv[0] is the program's path; the list ends with nullptr.
    const char* const* argv;
    // Files that receive the child's standard output and error (created or
    // truncated); nullptr inherits the parent's.
    const char* stdout_path;
    const char* stderr_path;
    // "NAME=value" entries set in the child's environment on top of the
    // parent's, ending with nullptr; nullptr for none.
    const char* const* environment;
};
// Starts the program; nullptr and an error code on failure.
handle spawn_process(const process_options& options);
// Waits up to timeout_ms: 1 and the exit code when the child ended, 0 on
// time-out, -1 on failure.
int wait_process(handle process, std::uint32_t timeout_ms, int* exit_code);
// Asks the child to stop as a user would (SIGTERM; Ctrl+Break on Windows),
// or ends it at once when force is set.  1 when the request was delivered.
int stop_process(handle process, bool force);
// Releases the handle; a child still running goes on running.
void close_process(handle process);
// Sleeps on the calling thread.
void sleep_ms(std::uint32_t milliseconds);
// The current process's id, for unique temporary names.
std::uint32_t current_process_id();

// chdir / _chdir and getcwd / _getcwd: the process's working directory.
// 1 on success, 0 and an error code otherwise.
int change_directory(const char* path);
int current_directory(char* buffer, std::size_t size);

}  // namespace ov
