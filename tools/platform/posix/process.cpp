// Child processes for the tools and the tests: posix_spawn with the
// standard streams redirected to files, waits with a time-out, stop
// requests by signal.
//
// Handles point into a small fixed table; nothing is allocated.  A child
// whose handle is closed while it still runs stays in the table as an
// orphan and is reaped by a later spawn_process or close_process, so it
// never lingers as a zombie for longer than that; whatever still runs when
// this process exits is inherited and reaped by init.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "backend.h"
#include "tools_platform.h"

extern char** environ;

namespace ov {

namespace {

struct child_slot {
    pid_t pid;       // 0: the slot is free
    bool owned;      // a handle refers to it; false for an orphan
    bool reaped;     // waitpid has collected the exit status
    int exit_code;
};

constexpr std::size_t max_children = 64;
// Entries of the child's environment: the parent's plus the overrides.
constexpr std::size_t max_environment = 1024;
constexpr std::uint32_t infinite = 0xFFFFFFFF;

child_slot children[max_children];
// Guards the table: a test may start and wait for children from several
// threads.  Held only for short, non-blocking steps.
std::mutex table_lock;

child_slot* checked_slot(handle process) {
    auto* slot = static_cast<child_slot*>(process);
    bool inside = slot >= children && slot < children + max_children;
    if (inside && slot->pid != 0 && slot->owned) return slot;
    set_last_error(err::invalid_handle);
    return nullptr;
}

// The shell's convention: a child ended by a signal reports 128 + signal.
int exit_code_from_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Collects the child's status if it has ended.  1 ended, 0 still running,
// -1 failure.  Call with table_lock held.
int poll_child(child_slot* slot) {
    if (slot->reaped) return 1;
    int status = 0;
    pid_t r = waitpid(slot->pid, &status, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR)) return 0;
    if (r < 0) {
        backend::set_error_from_errno(errno);
        return -1;
    }
    slot->reaped = true;
    slot->exit_code = exit_code_from_status(status);
    return 1;
}

// Reaps orphans that have ended and frees their slots.  Call with
// table_lock held.
void sweep_orphans() {
    for (child_slot& slot : children) {
        if (slot.pid == 0 || slot.owned) continue;
        if (poll_child(&slot) != 0) slot = child_slot{};
    }
}

child_slot* free_slot() {
    for (child_slot& slot : children) {
        if (slot.pid == 0) return &slot;
    }
    return nullptr;
}

bool same_name(const char* entry, const char* assignment) {
    const char* eq = std::strchr(assignment, '=');
    std::size_t n = eq != nullptr ? static_cast<std::size_t>(eq - assignment) : std::strlen(assignment);
    return std::strncmp(entry, assignment, n) == 0 && entry[n] == '=';
}

bool overridden(const char* entry, const char* const* overrides) {
    for (const char* const* o = overrides; o != nullptr && *o != nullptr; ++o) {
        if (same_name(entry, *o)) return true;
    }
    return false;
}

// The parent's environment with the overrides replacing entries of the
// same name.  0 on success, or an errno value.
int build_environment(const char* const* overrides, const char** out) {
    std::size_t n = 0;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (overridden(*e, overrides)) continue;
        if (n + 1 >= max_environment) return E2BIG;
        out[n++] = *e;
    }
    for (const char* const* o = overrides; o != nullptr && *o != nullptr; ++o) {
        if (n + 1 >= max_environment) return E2BIG;
        out[n++] = *o;
    }
    out[n] = nullptr;
    return 0;
}

int redirect(posix_spawn_file_actions_t* actions, int fd, const char* path) {
    if (path == nullptr) return 0;
    return posix_spawn_file_actions_addopen(actions, fd, path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

// The child starts with no blocked signals and the stop signals at their
// defaults, whatever the parent did with them.
int prepare_attributes(posix_spawnattr_t* attributes) {
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD}) sigaddset(&defaults, s);
    int rc = posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (rc == 0) rc = posix_spawnattr_setsigmask(attributes, &none);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(attributes, &defaults);
    return rc;
}

// posix_spawn reports a failed exec as its own result.  0 and the pid, or
// an errno value.
int start_child(const process_options& options, pid_t* pid) {
    const char* environment[max_environment];
    int rc = build_environment(options.environment, environment);
    if (rc != 0) return rc;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    rc = redirect(&actions, STDOUT_FILENO, options.stdout_path);
    if (rc == 0) rc = redirect(&actions, STDERR_FILENO, options.stderr_path);
    if (rc == 0) rc = prepare_attributes(&attributes);
    if (rc == 0) {
        rc = posix_spawn(pid, options.argv[0], &actions, &attributes, const_cast<char* const*>(options.argv),
                         const_cast<char* const*>(environment));
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

}  // namespace

handle spawn_process(const process_options& options) {
    if (options.argv == nullptr || options.argv[0] == nullptr) {
        set_last_error(err::invalid_parameter);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(table_lock);
    sweep_orphans();
    child_slot* slot = free_slot();
    if (slot == nullptr) {
        set_last_error(err::too_many_open_files);
        return nullptr;
    }
    pid_t pid = 0;
    int rc = start_child(options, &pid);
    if (rc != 0) {
        backend::set_error_from_errno(rc);
        return nullptr;
    }
    *slot = child_slot{pid, true, false, 0};
    return slot;
}

int wait_process(handle process, std::uint32_t timeout_ms, int* exit_code) {
    const std::uint64_t start = backend::monotonic_ms();
    std::uint32_t step_ms = 1;
    for (;;) {
        int state;
        {
            std::lock_guard<std::mutex> lock(table_lock);
            child_slot* slot = checked_slot(process);
            if (slot == nullptr) return -1;
            state = poll_child(slot);
            if (state == 1 && exit_code != nullptr) *exit_code = slot->exit_code;
        }
        if (state != 0) return state;
        if (timeout_ms != infinite && backend::monotonic_ms() - start >= timeout_ms) return 0;
        // Short sleeps at first, so that a quick child is collected
        // quickly; then at most 20 ms between polls.
        sleep_ms(step_ms);
        if (step_ms < 20) step_ms *= 2;
    }
}

int stop_process(handle process, bool force) {
    std::lock_guard<std::mutex> lock(table_lock);
    child_slot* slot = checked_slot(process);
    if (slot == nullptr) return 0;
    // Once reaped the pid may belong to someone else: never signal it.
    // TerminateProcess on an ended process fails with 5 as well.
    if (slot->reaped) {
        set_last_error(err::access_denied);
        return 0;
    }
    if (kill(slot->pid, force ? SIGKILL : SIGTERM) != 0) {
        backend::set_error_from_errno(errno);
        return 0;
    }
    return 1;
}

void close_process(handle process) {
    std::lock_guard<std::mutex> lock(table_lock);
    child_slot* slot = checked_slot(process);
    if (slot == nullptr) return;
    if (poll_child(slot) != 0) {
        *slot = child_slot{};
    } else {
        slot->owned = false;  // an orphan: reaped by a later sweep
    }
    sweep_orphans();
}

void sleep_ms(std::uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(getpid()); }

int change_directory(const char* path) {
    if (chdir(path) == 0) return 1;
    backend::set_error_from_errno(errno);
    return 0;
}

int current_directory(char* buffer, std::size_t size) {
    if (getcwd(buffer, size) != nullptr) return 1;
    backend::set_error_from_errno(errno);
    return 0;
}

}  // namespace ov
