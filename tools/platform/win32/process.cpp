// Child processes for the tools and the tests.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "tools_backend.h"
#include "tools_platform.h"
#include "win32_handle.h"

namespace ov {

namespace backend {

namespace {


void append_argument(std::string& line, const char* argument) {
    if (argument[0] != '\0' && std::strpbrk(argument, " \t\n\v\"") == nullptr) {
        line += argument;
        return;
    }
    line += '"';
    for (const char* p = argument;; ++p) {
        std::size_t backslashes = 0;
        for (; *p == '\\'; ++p) ++backslashes;
        if (*p == '\0') {
            line.append(backslashes * 2, '\\');
            break;
        }
        line.append(*p == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        line += *p;
    }
    line += '"';
}

// An environment entry's name: up to the first '=' after its first
// character ("=C:=C:\dir" names the current directory of drive C).
std::string entry_name(const char* entry) {
    const char* equals = entry[0] != '\0' ? std::strchr(entry + 1, '=') : nullptr;
    std::string name = equals != nullptr ? std::string(entry, equals) : std::string(entry);
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return name;
}

// The parent's environment with the overrides applied.  Names compare
// case-insensitively, and the block is sorted by name, as Windows keeps
// its own; it ends with an empty string.
std::string environment_block(const char* const* overrides) {
    std::vector<std::string> entries;
    for (const char* const* o = overrides; *o != nullptr; ++o) entries.emplace_back(*o);
    const std::size_t override_count = entries.size();
    LPCH parent = GetEnvironmentStringsA();
    for (const char* entry = parent; entry != nullptr && *entry != '\0'; entry += std::strlen(entry) + 1) {
        std::string name = entry_name(entry);
        bool replaced = std::any_of(overrides, overrides + override_count,
                                    [&](const char* o) { return entry_name(o) == name; });
        if (!replaced) entries.emplace_back(entry);
    }
    if (parent != nullptr) FreeEnvironmentStringsA(parent);
    auto by_name = [](const std::string& a, const std::string& b) {
        return entry_name(a.c_str()) < entry_name(b.c_str());
    };
    std::stable_sort(entries.begin(), entries.end(), by_name);
    std::string block;
    for (const std::string& entry : entries) block.append(entry).push_back('\0');
    block.push_back('\0');
    return block;
}

// The handle the child gets for one of its standard streams: a file made
// (or truncated) for it, or an inheritable copy of this process's own
// stream; nullptr when this process has none.  False when the file cannot
// be made.
bool child_stream(const char* path, DWORD which, HANDLE* out) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (path != nullptr) {
        *out = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        return *out != INVALID_HANDLE_VALUE;
    }
    HANDLE own = GetStdHandle(which);
    *out = nullptr;
    if (own != nullptr && own != INVALID_HANDLE_VALUE)
        DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), out, 0, TRUE, DUPLICATE_SAME_ACCESS);
    return true;
}

}  // namespace

std::string command_line(const char* const* argv) {
    std::string line;
    for (const char* const* a = argv; *a != nullptr; ++a) {
        if (a != argv) line += ' ';
        append_argument(line, *a);
    }
    return line;
}

}  // namespace backend

// CreateProcessA with the standard streams handed over (STARTF_USESTDHANDLES
// needs inheritable handles and bInheritHandles TRUE) in a new process
// group, so that the group can be sent Ctrl+Break without reaching this
// process.  The program is looked up as CreateProcessA does for the first
// token of a command line.
handle spawn_process(const process_options& options) {
    std::string command = backend::command_line(options.argv);
    std::string environment;
    if (options.environment != nullptr && options.environment[0] != nullptr)
        environment = backend::environment_block(options.environment);
    HANDLE in = nullptr, out = nullptr, err = nullptr;
    bool ready = backend::child_stream(nullptr, STD_INPUT_HANDLE, &in) &&
                 backend::child_stream(options.stdout_path, STD_OUTPUT_HANDLE, &out) &&
                 backend::child_stream(options.stderr_path, STD_ERROR_HANDLE, &err);
    win32::unique_native_handle in_guard(in), out_guard(out), err_guard(err);
    if (!ready) return nullptr;

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION created{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                        environment.empty() ? nullptr : environment.data(), nullptr, &startup, &created))
        return nullptr;
    CloseHandle(created.hThread);
    return created.hProcess;
}

// WaitForSingleObject on the process, then GetExitCodeProcess: the value
// the child passed to ExitProcess (or TerminateProcess).
int wait_process(handle process, std::uint32_t timeout_ms, int* exit_code) {
    DWORD waited = WaitForSingleObject(process, timeout_ms);
    if (waited == WAIT_TIMEOUT) return 0;
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code)) return -1;
    if (exit_code != nullptr) *exit_code = static_cast<int>(code);
    return 1;
}

// A process that installed a stop handler is asked through its named stop
// event; any other gets Ctrl+Break, which GenerateConsoleCtrlEvent delivers
// to a process group sharing this process's console (its default handler
// ends the process).  force: TerminateProcess, exit code 1.
int stop_process(handle process, bool force) {
    if (force) return TerminateProcess(process, 1) ? 1 : 0;
    DWORD id = GetProcessId(process);
    if (id == 0) return 0;
    char name[backend::stop_event_name_capacity];
    backend::stop_event_name(name, id);
    HANDLE stop_event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    if (stop_event == nullptr) return GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, id) ? 1 : 0;
    BOOL set = SetEvent(stop_event);
    CloseHandle(stop_event);
    return set ? 1 : 0;
}

// CloseHandle: the child goes on running.
void close_process(handle process) { CloseHandle(process); }

// Sleep: at least the time asked, in steps of the system's timer tick.
void sleep_ms(std::uint32_t milliseconds) { Sleep(milliseconds); }

// GetCurrentProcessId: unique among running processes; reused after exit.
std::uint32_t current_process_id() { return GetCurrentProcessId(); }

// SetCurrentDirectoryA.
int change_directory(const char* path) { return SetCurrentDirectoryA(path) ? 1 : 0; }

// GetCurrentDirectoryA: the length without the NUL, or the size needed
// (with it) when the buffer is too small.
int current_directory(char* buffer, std::size_t size) {
    auto capacity = static_cast<DWORD>(size < MAXDWORD ? size : MAXDWORD);
    DWORD length = GetCurrentDirectoryA(capacity, buffer);
    return length != 0 && length < capacity ? 1 : 0;
}

}  // namespace ov
