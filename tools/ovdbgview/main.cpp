// ovdbgview: shows what programs write with OutputDebugStringA.
//
//   ovdbgview [OPTIONS] [--] COMMAND ARGS...
//       runs COMMAND as a debuggee and prints every debug string it sends,
//       byte for byte, on standard output; exits with COMMAND's exit code.
//   ovdbgview --dbwin [OPTIONS] [[--] COMMAND ARGS...]
//       listens on the system's DBWIN channel instead, where programs
//       without a debugger send their strings: until N strings arrived or
//       Ctrl+C, or, with a COMMAND, until COMMAND ends.
// With --timestamps or --pid each string becomes a line of its own after
// its columns; --output appends to a file instead of standard output.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lines.h"
#include "options.h"
#include "tools_platform.h"
#include "win32/command_line.h"
#include "win32/win32_handle.h"

namespace {

constexpr int exit_failure = 1;
using ov::tools::option_reader;

using owned_handle = ov::win32::unique_native_handle;

struct options {
    bool dbwin = false;
    std::uint64_t count = 0;  // 0: no limit
    ov::tools::columns columns;
    const char* output = nullptr;  // nullptr: standard output
    std::vector<const char*> command;  // ends with nullptr when not empty
};

constexpr char synopsis[] =
    "usage: ovdbgview [OPTIONS] [--] COMMAND [ARGS...]\n"
    "       ovdbgview --dbwin [OPTIONS] [[--] COMMAND [ARGS...]]\n";

constexpr char help_text[] =
    "usage: ovdbgview [OPTIONS] [--] COMMAND [ARGS...]\n"
    "       ovdbgview --dbwin [OPTIONS] [[--] COMMAND [ARGS...]]\n"
    "\n"
    "Prints each string that a program sends with OutputDebugString, exactly as\n"
    "sent, on standard output.\n"
    "\n"
    "  (default)      run COMMAND as a debuggee\n"
    "  --dbwin        listen on the system DBWIN channel, where programs\n"
    "                 without a debugger send their strings; with COMMAND,\n"
    "                 start it and stop when it ends, otherwise stop on Ctrl+C\n"
    "  --count N      stop listening after N strings (--dbwin); print at most\n"
    "                 N strings (debuggee)\n"
    "  --timestamps   begin each string with the local time it arrived, ISO\n"
    "                 8601 with milliseconds: \"2026-12-08T23:59:01.123 \"\n"
    "  --pid          begin each string (after the time) with its writer's\n"
    "                 process id: \"[pid 1234] \"\n"
    "  --output FILE  append to FILE, created when missing, instead of\n"
    "                 writing on standard output\n"
    "  --help         show this text\n"
    "  --version      show the version\n"
    "\n"
    "With --timestamps or --pid each string is a line of its own: the\n"
    "columns, the string without its final line end (CR LF, LF or CR), and\n"
    "CR LF.  Without them the strings are written exactly as sent, one after\n"
    "the other.  An option's value follows it as the next argument or after\n"
    "'=': --count 3 or --count=3.\n"
    "\n"
    "Examples:\n"
    "  ovdbgview --pid -- ovhost.exe delete C:\\data\\*.tmp\n"
    "      the debugger-output lines of one call (UseDebuggerOutput=1)\n"
    "  ovdbgview --dbwin --count=2 --timestamps --pid --output=debug.log\n"
    "      the next two strings any program sends, into debug.log\n"
    "\n"
    "Exit status: the debuggee's exit code, or with --dbwin COMMAND's; with\n"
    "--dbwin and no COMMAND 0 after N strings or Ctrl+C; 1 when COMMAND\n"
    "cannot start, or the DBWIN channel (one listener at a time) or the\n"
    "output file cannot be opened; 2 for bad usage.\n";

enum option_id { dbwin, count, timestamps, pid, output };
constexpr ov::tools::option option_table[] = {
    {"--dbwin", false}, {"--count", true}, {"--timestamps", false}, {"--pid", false}, {"--output", true},
};

// Parses the arguments: go_on, or the exit code when there is nothing to
// run (--help, --version, bad usage).
int parse_arguments(int argc, char** argv, options& out) {
    option_reader reader({"ovdbgview", synopsis, help_text}, argc, argv, option_table);
    while (reader.next()) {
        switch (reader.index()) {
            case dbwin: out.dbwin = true; break;
            case count:
                if (!ov::tools::parse_count(reader.value(), &out.count))
                    return reader.usage_error("--count needs a count from 1 up, not '%s'", reader.value());
                break;
            case timestamps: out.columns.timestamps = true; break;
            case pid: out.columns.pid = true; break;
            case output: out.output = reader.value(); break;
            default: break;
        }
    }
    if (reader.status() != option_reader::go_on) return reader.status();
    for (int i = reader.operands(); i < argc; ++i) out.command.push_back(argv[i]);
    if (!out.command.empty()) {
        out.command.push_back(nullptr);
    } else if (!out.dbwin) {
        return reader.usage_error("no command given");
    }
    return option_reader::go_on;
}

// Where the strings go, and how.
struct printer {
    ov::output_file* file = nullptr;
    ov::tools::columns columns;

    // The string as it came, or, with columns, as a line of its own after
    // them: one write either way.
    void print(const char* text, std::size_t length, DWORD writer) const {
        if (!columns.any()) {
            ov::write_output(file, text, length);
            return;
        }
        if (length > 0 && text[length - 1] == '\n') --length;
        if (length > 0 && text[length - 1] == '\r') --length;
        char prefix[ov::tools::columns_capacity];
        std::string line(prefix, ov::tools::format_columns(columns, writer, prefix));
        line.append(text, length).append("\r\n");
        ov::write_output(file, line.data(), line.size());
    }
};

void report_error(const char* what, const char* subject) {
    std::fprintf(stderr, "ovdbgview: %s%s: error %lu\n", what, subject, GetLastError());
}

// The child's standard streams are this process's own, handed over as
// inheritable copies (STARTF_USESTDHANDLES).
HANDLE inheritable_copy(DWORD which) {
    HANDLE own = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (own != nullptr && own != INVALID_HANDLE_VALUE)
        DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS);
    return copy;
}

// Starts the command; its process handle, or nullptr after a message.
HANDLE start_command(const options& opts, DWORD flags) {
    std::string line = ov::backend::command_line(opts.command.data());
    owned_handle in(inheritable_copy(STD_INPUT_HANDLE));
    owned_handle out(inheritable_copy(STD_OUTPUT_HANDLE));
    owned_handle err(inheritable_copy(STD_ERROR_HANDLE));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION created{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, &created)) {
        report_error("cannot start ", opts.command[0]);
        return nullptr;
    }
    CloseHandle(created.hThread);
    return created.hProcess;
}

// --- Debuggee mode

// Reads one OUTPUT_DEBUG_STRING_EVENT's text from the debuggee and prints
// it up to its NUL.  The length counts the NUL; a wide string (sent by a
// debuggee that asked for one) is converted to the ANSI code page.
void print_debug_string(const printer& out, HANDLE process, DWORD writer, const OUTPUT_DEBUG_STRING_INFO& info) {
    std::size_t bytes = info.nDebugStringLength * (info.fUnicode ? sizeof(WCHAR) : 1);
    std::vector<char> text(bytes + sizeof(WCHAR), '\0');
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, info.lpDebugStringData, text.data(), bytes, &read)) {
        report_error("cannot read a debug string", "");
        return;
    }
    if (!info.fUnicode) {
        out.print(text.data(), strnlen(text.data(), read), writer);
        return;
    }
    const auto* wide = reinterpret_cast<const WCHAR*>(text.data());
    int length = static_cast<int>(wcsnlen(wide, read / sizeof(WCHAR)));
    int needed = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::vector<char> ansi(static_cast<std::size_t>(needed) + 1);
    WideCharToMultiByte(CP_ACP, 0, wide, length, ansi.data(), needed, nullptr, nullptr);
    out.print(ansi.data(), static_cast<std::size_t>(needed), writer);
}

// How an exception event is answered: the debuggee's breakpoints (the
// loader's initial one among them) are consumed; every other exception is
// passed back so that the debuggee's own handlers see it.
// (A 32-bit debuggee under a 64-bit debugger reports its breakpoints as
// STATUS_WX86_BREAKPOINT.)
DWORD exception_continuation(const EXCEPTION_DEBUG_INFO& info) {
    constexpr DWORD wow64_breakpoint = 0x4000001F;  // STATUS_WX86_BREAKPOINT
    DWORD code = info.ExceptionRecord.ExceptionCode;
    return code == EXCEPTION_BREAKPOINT || code == wow64_breakpoint ? DBG_CONTINUE : DBG_EXCEPTION_NOT_HANDLED;
}

int run_debuggee(const options& opts, const printer& out) {
    owned_handle process(start_command(opts, DEBUG_ONLY_THIS_PROCESS));
    if (!process) return exit_failure;
    std::uint64_t printed = 0;
    for (;;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, INFINITE)) {
            report_error("waiting for the debuggee failed", "");
            return exit_failure;
        }
        DWORD continuation = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                // The image's file handle is the debugger's to close; the
                // process and thread handles stay the system's.
                if (event.u.CreateProcessInfo.hFile != nullptr) CloseHandle(event.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (event.u.LoadDll.hFile != nullptr) CloseHandle(event.u.LoadDll.hFile);
                break;
            case OUTPUT_DEBUG_STRING_EVENT:
                if (opts.count == 0 || printed < opts.count) {
                    print_debug_string(out, process.get(), event.dwProcessId, event.u.DebugString);
                    ++printed;
                }
                break;
            case EXCEPTION_DEBUG_EVENT:
                continuation = exception_continuation(event.u.Exception);
                break;
            default:
                break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continuation);
        if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
            return static_cast<int>(event.u.ExitProcess.dwExitCode);
    }
}

// --- DBWIN mode

constexpr DWORD dbwin_buffer_size = 4096;
// The writer's process id comes first, then the text and its NUL.
constexpr DWORD dbwin_text_offset = sizeof(DWORD);

HANDLE stop_event = nullptr;

BOOL WINAPI on_console_event(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    SetEvent(stop_event);
    return TRUE;
}

// The listener's side of the channel.  Writers take "DBWinMutex", wait for
// DBWIN_BUFFER_READY, fill DBWIN_BUFFER and set DBWIN_DATA_READY; both
// events reset themselves.  Only one listener may own the channel.
struct dbwin_channel {
    owned_handle buffer_ready{CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY")};
    DWORD buffer_ready_error = GetLastError();
    owned_handle data_ready{CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY")};
    owned_handle mapping{
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, dbwin_buffer_size, "DBWIN_BUFFER")};
    ov::unique_view view{mapping.get(), FILE_MAP_READ};

    bool ready() const {
        if (buffer_ready_error == ERROR_ALREADY_EXISTS) {
            std::fputs("ovdbgview: another DBWIN listener is running\n", stderr);
            return false;
        }
        if (buffer_ready && data_ready && view) return true;
        report_error("cannot open the DBWIN channel", "");
        return false;
    }
    void print_text(const printer& out) const {
        DWORD writer = 0;
        std::memcpy(&writer, view.data(), sizeof writer);
        const char* text = reinterpret_cast<const char*>(view.data()) + dbwin_text_offset;
        out.print(text, strnlen(text, dbwin_buffer_size - dbwin_text_offset), writer);
    }
};

// Prints strings until `count` arrived (0: no limit), the stop event is
// set, or the process ends.  A string waiting in the buffer wins over the
// other two: the lowest signalled index is reported.
void listen(const dbwin_channel& channel, const printer& out, std::uint64_t count, HANDLE process) {
    HANDLE waits[] = {channel.data_ready.get(), stop_event, process};
    DWORD wait_count = process != nullptr ? 3 : 2;
    for (std::uint64_t received = 0; count == 0 || received < count; ++received) {
        if (!SetEvent(channel.buffer_ready.get())) return;
        if (WaitForMultipleObjects(wait_count, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return;
        channel.print_text(out);
    }
}

// The command's exit code once it ended, or 0 without a command or after
// Ctrl+C.
int command_result(HANDLE process) {
    if (process == nullptr || WaitForSingleObject(stop_event, 0) == WAIT_OBJECT_0) return 0;
    DWORD code = 0;
    if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code))
        return exit_failure;
    return static_cast<int>(code);
}

int run_dbwin(const options& opts, const printer& out) {
    owned_handle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    stop_event = stop.get();
    if (!stop || !SetConsoleCtrlHandler(on_console_event, TRUE)) return exit_failure;
    owned_handle process;
    {
        dbwin_channel channel;
        if (!channel.ready()) return exit_failure;
        // The channel is open before the command starts, so none of its
        // strings is missed.
        if (!opts.command.empty()) {
            process.reset(start_command(opts, 0));
            if (!process) return exit_failure;
        }
        listen(channel, out, opts.count, process.get());
    }
    // Closed before waiting: the command's later strings find no listener
    // and are dropped at once instead of waiting for one.
    return command_result(process.get());
}

}  // namespace

int main(int argc, char** argv) {
    options opts;
    int parsed = parse_arguments(argc, argv, opts);
    if (parsed != option_reader::go_on) return parsed;
    printer out{ov::tools::open_lines_output("ovdbgview", opts.output), opts.columns};
    if (out.file == nullptr) return exit_failure;
    int status = opts.dbwin ? run_dbwin(opts, out) : run_debuggee(opts, out);
    ov::close_output_file(out.file);
    return status;
}
