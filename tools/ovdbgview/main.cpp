// ovdbgview: shows what programs write with OutputDebugStringA.
//
//   ovdbgview [--count N] [--] COMMAND ARGS...
//       runs COMMAND as a debuggee and prints every debug string it sends,
//       byte for byte, on standard output; exits with COMMAND's exit code.
//   ovdbgview --dbwin [--count N] [[--] COMMAND ARGS...]
//       listens on the system's DBWIN channel instead, where programs
//       without a debugger send their strings: until N strings arrived or
//       Ctrl+C, or, with a COMMAND, until COMMAND ends.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "win32/command_line.h"
#include "win32/win32_handle.h"

namespace {

constexpr int exit_usage = 2;
constexpr int exit_failure = 1;
constexpr int go_on = -1;

using owned_handle = ov::win32::unique_native_handle;

struct options {
    bool dbwin = false;
    unsigned long count = 0;  // 0: no limit
    std::vector<const char*> command;  // ends with nullptr when not empty
};

constexpr char usage_text[] =
    "usage: ovdbgview [--count N] [--] COMMAND [ARGS...]\n"
    "       ovdbgview --dbwin [--count N] [[--] COMMAND [ARGS...]]\n"
    "\n"
    "Prints each string that a program sends with OutputDebugString, exactly as\n"
    "sent, on standard output.\n"
    "\n"
    "  (default)    run COMMAND as a debuggee; exit with its exit code\n"
    "  --dbwin      listen on the system DBWIN channel, where programs without\n"
    "               a debugger send their strings; with COMMAND, start it and\n"
    "               stop when it ends (exit with its code), otherwise stop on\n"
    "               Ctrl+C (exit 0)\n"
    "  --count N    stop listening after N strings (--dbwin); print at most N\n"
    "               strings (debuggee)\n"
    "  --help       show this text\n";

// Parses the arguments: go_on, or the exit code when there is nothing to
// run (--help, bad usage).
int parse_arguments(int argc, char** argv, options& out) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--help") {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (arg == "--dbwin") {
            out.dbwin = true;
        } else if (arg == "--count") {
            char* end = nullptr;
            const char* text = i + 1 < argc ? argv[++i] : "";
            out.count = std::strtoul(text, &end, 10);
            if (text[0] < '0' || text[0] > '9' || *end != '\0' || out.count == 0) {
                std::fprintf(stderr, "ovdbgview: --count needs a positive number, not '%s'\n", text);
                return exit_usage;
            }
        } else {
            std::fprintf(stderr, "ovdbgview: unknown option '%s'\n%s", argv[i], usage_text);
            return exit_usage;
        }
    }
    for (; i < argc; ++i) out.command.push_back(argv[i]);
    if (!out.command.empty()) {
        out.command.push_back(nullptr);
    } else if (!out.dbwin) {
        std::fprintf(stderr, "ovdbgview: no command given\n%s", usage_text);
        return exit_usage;
    }
    return go_on;
}

// Writes the bytes as they are: no text-mode translation, no buffering.
void write_out(const char* text, DWORD length) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(out, text, length, &written, nullptr) || written == 0) return;
        text += written;
        length -= written;
    }
}

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
void print_debug_string(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    std::size_t bytes = info.nDebugStringLength * (info.fUnicode ? sizeof(WCHAR) : 1);
    std::vector<char> text(bytes + sizeof(WCHAR), '\0');
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, info.lpDebugStringData, text.data(), bytes, &read)) {
        report_error("cannot read a debug string", "");
        return;
    }
    if (!info.fUnicode) {
        write_out(text.data(), static_cast<DWORD>(strnlen(text.data(), read)));
        return;
    }
    const auto* wide = reinterpret_cast<const WCHAR*>(text.data());
    int length = static_cast<int>(wcsnlen(wide, read / sizeof(WCHAR)));
    int needed = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::vector<char> ansi(static_cast<std::size_t>(needed) + 1);
    WideCharToMultiByte(CP_ACP, 0, wide, length, ansi.data(), needed, nullptr, nullptr);
    write_out(ansi.data(), static_cast<DWORD>(needed));
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

int run_debuggee(const options& opts) {
    owned_handle process(start_command(opts, DEBUG_ONLY_THIS_PROCESS));
    if (!process) return exit_failure;
    unsigned long printed = 0;
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
                    print_debug_string(process.get(), event.u.DebugString);
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
    void print_text() const {
        const char* text = reinterpret_cast<const char*>(view.data()) + dbwin_text_offset;
        write_out(text, static_cast<DWORD>(strnlen(text, dbwin_buffer_size - dbwin_text_offset)));
    }
};

// Prints strings until `count` arrived (0: no limit), the stop event is
// set, or the process ends.  A string waiting in the buffer wins over the
// other two: the lowest signalled index is reported.
void listen(const dbwin_channel& channel, unsigned long count, HANDLE process) {
    HANDLE waits[] = {channel.data_ready.get(), stop_event, process};
    DWORD wait_count = process != nullptr ? 3 : 2;
    for (unsigned long received = 0; count == 0 || received < count; ++received) {
        if (!SetEvent(channel.buffer_ready.get())) return;
        if (WaitForMultipleObjects(wait_count, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return;
        channel.print_text();
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

int run_dbwin(const options& opts) {
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
        listen(channel, opts.count, process.get());
    }
    // Closed before waiting: the command's later strings find no listener
    // and are dropped at once instead of waiting for one.
    return command_result(process.get());
}

}  // namespace

int main(int argc, char** argv) {
    options opts;
    int parsed = parse_arguments(argc, argv, opts);
    if (parsed != go_on) return parsed;
    return opts.dbwin ? run_dbwin(opts) : run_debuggee(opts);
}
