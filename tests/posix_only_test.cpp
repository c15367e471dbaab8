// Cases that only the POSIX backend has, built with POSIX calls: a WIN.INI
// that is no regular file of sensible size, and a standard error that is a
// pipe or socket nobody reads.  Neither may hang, spin or kill the host.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "debug_client.h"
#include "tools_platform.h"
#include "test_support.h"

namespace ov::test {
namespace {

using namespace std::chrono_literals;

// The reader's bound on WIN.INI, restated here: 1 MiB.
constexpr off_t profile_bound = off_t{1} << 20;
constexpr char switch_on[] = "[Quonvel]\nUseDebuggerOutput=1\n";
// A default no file in these cases can produce.
constexpr int absent = 7;

std::uint32_t debugger_switch() { return sys.get_profile_int(diag::profile_section, diag::profile_key, absent); }

// --- WIN.INI

// XDG_CONFIG_HOME pointed at a fresh directory for the object's life; ctest
// gives every test one of the build's, which comes back afterwards.
class own_profile {
public:
    own_profile() {
        if (const char* value = std::getenv("XDG_CONFIG_HOME")) previous_ = value;
        setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    }
    own_profile(const own_profile&) = delete;
    own_profile& operator=(const own_profile&) = delete;
    ~own_profile() {
        if (previous_) setenv("XDG_CONFIG_HOME", previous_->c_str(), 1);
        else unsetenv("XDG_CONFIG_HOME");
    }
    fs::path win_ini() const { return dir / "win.ini"; }

    temp_dir dir;

private:
    std::optional<std::string> previous_;
};

// A file of `size` bytes that turns the switch on in its first line; the
// rest is a hole.
void write_sparse(const fs::path& path, off_t size) {
    write_file(path, switch_on);
    ASSERT_EQ(truncate(path.c_str(), size), 0) << "errno " << errno;
}

TEST(PosixProfile, DirectoryAndFilesOverTheBoundReadAsAbsent) {
    own_profile profile;
    write_sparse(profile.win_ini(), profile_bound);
    EXPECT_EQ(debugger_switch(), 1u) << "a file of exactly the bound is read";
    write_sparse(profile.win_ini(), profile_bound + 1);
    EXPECT_EQ(debugger_switch(), static_cast<std::uint32_t>(absent)) << "a file one byte over the bound";
    fs::remove(profile.win_ini());
    fs::create_directory(profile.win_ini());
    EXPECT_EQ(debugger_switch(), static_cast<std::uint32_t>(absent)) << "a directory";
}

// The real host with a WIN.INI of its own that would never end or never
// answer.  Deleting a pattern that matches nothing sends one line, and the
// first line reads the switch: off, the line goes to the logger (dropped
// when none runs), so the host's standard error stays empty.
TEST(PosixHost, ProfileThatNeverAnswersOrNeverEndsReadsAsAbsent) {
    struct hostile {
        const char* what;
        std::function<int(const char*)> make;
    };
    const hostile cases[] = {
        {"a FIFO without a writer", [](const char* p) { return mkfifo(p, 0600); }},
        {"a symbolic link to /dev/zero", [](const char* p) { return symlink("/dev/zero", p); }},
    };
    for (const hostile& c : cases) {
        temp_dir dir;
        ASSERT_EQ(c.make((dir / "win.ini").c_str()), 0) << c.what << ": errno " << errno;

        run_result r = run({program_path("ovhost").string(), "delete", dir.prefix() + "*.none"},
                           {"XDG_CONFIG_HOME=" + dir.path().string()}, 20000);

        EXPECT_TRUE(r.finished) << c.what << ": the host did not finish within 20 s";
        EXPECT_EQ(r.exit_code, 1) << c.what;
        EXPECT_EQ(r.out, "0\n") << c.what;
        EXPECT_EQ(r.err, "") << c.what;
    }
}

// --- The debugger-output stream

constexpr char line[] = "UNKNOWN /File Not Found: x\r\n";

// Standard error replaced by fd for the object's life.
class stderr_replaced {
public:
    explicit stderr_replaced(int fd) : saved_(dup(STDERR_FILENO)) { dup2(fd, STDERR_FILENO); }
    stderr_replaced(const stderr_replaced&) = delete;
    stderr_replaced& operator=(const stderr_replaced&) = delete;
    ~stderr_replaced() {
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }

private:
    int saved_;
};

// Two connected descriptors: [0] reads what [1] writes.
class channel {
public:
    enum kind { pipe_blocking, pipe_nonblocking, stream_socket };
    explicit channel(kind k) {
        if (k == stream_socket) socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd);
        else pipe2(fd, O_CLOEXEC);
        if (k == pipe_nonblocking) set_nonblocking(fd[1], true);
    }
    channel(const channel&) = delete;
    channel& operator=(const channel&) = delete;
    ~channel() {
        for (int d : fd)
            if (d >= 0) close(d);
    }
    void close_reader() {
        close(fd[0]);
        fd[0] = -1;
    }
    static void set_nonblocking(int d, bool on) {
        int flags = fcntl(d, F_GETFL);
        fcntl(d, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
    }
    // Reads what is buffered without waiting; the number of bytes.
    std::size_t drain() {
        set_nonblocking(fd[0], true);
        std::size_t total = 0;
        char buffer[4096];
        for (ssize_t n; (n = read(fd[0], buffer, sizeof buffer)) > 0;) total += static_cast<std::size_t>(n);
        return total;
    }

    int fd[2] = {-1, -1};
};

sigset_t thread_mask() {
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    return mask;
}

bool same_signals(const sigset_t& a, const sigset_t& b) {
    for (int s = 1; s < NSIG; ++s)
        if (sigismember(&a, s) != sigismember(&b, s)) return false;
    return true;
}

bool sigpipe_pending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

// A reader that has gone: the write fails, and the SIGPIPE it raises must
// not reach the process (with the default action it would end it).  A
// SIGPIPE that the thread already held pending is left there.
TEST(PosixDebugOutput, GoneReaderRaisesNoSignalAndKeepsOneAlreadyPending) {
    struct sigaction default_action {}, previous_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &default_action, &previous_action);
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    const timespec no_wait{};

    const std::pair<channel::kind, const char*> kinds[] = {{channel::pipe_blocking, "a pipe"},
                                                           {channel::pipe_nonblocking, "a non-blocking pipe"},
                                                           {channel::stream_socket, "a stream socket"}};
    for (const auto& [kind, what] : kinds) {
        channel stream(kind);
        ASSERT_GE(stream.fd[1], 0) << what << ": errno " << errno;
        stream.close_reader();
        sigset_t before = thread_mask();
        {
            stderr_replaced to(stream.fd[1]);
            sys.output_debug_string(line);
        }
        EXPECT_FALSE(sigpipe_pending()) << what;
        EXPECT_TRUE(same_signals(before, thread_mask())) << what;

        sigset_t unblocked;
        pthread_sigmask(SIG_BLOCK, &pipe_only, &unblocked);
        pthread_kill(pthread_self(), SIGPIPE);
        sigset_t blocked = thread_mask();
        {
            stderr_replaced to(stream.fd[1]);
            sys.output_debug_string(line);
        }
        EXPECT_TRUE(sigpipe_pending()) << what << ": the SIGPIPE pending before the call was taken";
        EXPECT_TRUE(same_signals(blocked, thread_mask())) << what;
        sigtimedwait(&pipe_only, nullptr, &no_wait);
        pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);
    }
    sigaction(SIGPIPE, &previous_action, nullptr);
}

// A full pipe that nobody reads: the line is dropped whole at once, and the
// shared status flags of standard error stay as they were.
TEST(PosixDebugOutput, FullPipeDropsTheLineAtOnce) {
    channel stream(channel::pipe_blocking);
    ASSERT_GE(stream.fd[1], 0) << "errno " << errno;
    channel::set_nonblocking(stream.fd[1], true);
    std::size_t filled = 0;
    std::vector<char> block(4096, 'f');
    for (std::size_t size : {block.size(), std::size_t{1}})
        for (ssize_t n; (n = write(stream.fd[1], block.data(), size)) > 0;) filled += static_cast<std::size_t>(n);
    channel::set_nonblocking(stream.fd[1], false);

    std::promise<void> done;
    std::future<void> returned = done.get_future();
    bool prompt = false;
    int flags_before = 0, flags_after = 0;
    {
        stderr_replaced to(stream.fd[1]);
        flags_before = fcntl(STDERR_FILENO, F_GETFL);
        std::thread writer([&] {
            sys.output_debug_string(line);
            done.set_value();
        });
        prompt = returned.wait_for(10s) == std::future_status::ready;
        // Unblocks a writer that waits for room, so that the case can fail
        // rather than hang.
        while (returned.wait_for(10ms) != std::future_status::ready) stream.drain();
        writer.join();
        flags_after = fcntl(STDERR_FILENO, F_GETFL);
    }
    ASSERT_TRUE(prompt) << "the call waited for room in the pipe for 10 s";
    EXPECT_EQ(flags_after, flags_before);
    EXPECT_EQ(stream.drain(), filled) << "the line, or part of it, went into the full pipe";
}

// --- Named objects

std::string place_of_this_process() {
    char place[4096];
    EXPECT_EQ(object_place(place, sizeof place), 1);
    return place;
}

// Files that are no object, where a client looks for one: opening them
// neither blocks nor follows them, and they count as absent.  The host
// shares this process's place (ctest gives the tests a namespace of their
// own), which an event made here brings into being.
TEST(PosixHost, FilesThatAreNoObjectsNeverHoldTheClient) {
    unique_handle maker(create_event(("OvPlaceMaker." + std::to_string(current_process_id())).c_str(), true, false));
    ASSERT_TRUE(maker);
    const fs::path mapping = fs::path(place_of_this_process()) / "obj.OvLoggerMappedFile";
    temp_dir target;
    write_file(target / "elsewhere");
    struct hostile {
        const char* what;
        std::function<int(const char*)> make;
    };
    const hostile cases[] = {
        {"a FIFO as the mapping", [](const char* p) { return mkfifo(p, 0600); }},
        {"a link as the mapping", [&](const char* p) { return symlink((target / "elsewhere").c_str(), p); }},
    };
    for (const hostile& c : cases) {
        ASSERT_FALSE(fs::exists(fs::symlink_status(mapping))) << "a logger runs in this namespace";
        ASSERT_EQ(c.make(mapping.c_str()), 0) << c.what << ": errno " << errno;
        temp_dir dir;

        run_result r = run({program_path("ovhost").string(), "delete", dir.prefix() + "*.none"}, {}, 20000);

        EXPECT_TRUE(r.finished) << c.what << ": the host did not finish within 20 s";
        EXPECT_EQ(r.exit_code, 1) << c.what;
        EXPECT_EQ(r.out, "0\n") << c.what;
        fs::remove(mapping);
    }
    EXPECT_EQ(read_file(target / "elsewhere"), "x");
}

// An event's file changed under a client that holds it open, shrunk or
// given a state no event has: every use of the event fails, instead of
// touching a page the file no longer has or spinning on a word that never
// reads as asleep.
TEST(PosixObjects, EventFileChangedUnderItsHandleFailsInsteadOfFaulting) {
    const std::string name = "OvShrunk." + std::to_string(current_process_id());
    unique_handle created(create_event(name.c_str(), false, false));
    ASSERT_TRUE(created);
    unique_handle opened(sys.open_event(event_all_access, name.c_str()));
    ASSERT_TRUE(opened);
    fs::path file = fs::path(place_of_this_process()) / ("obj." + name);
    ASSERT_TRUE(fs::exists(file));

    // A state word of 7.
    const std::uint32_t bad_state = 7;
    const auto write_state = [&](std::uint32_t state) {
        int raw = open(file.c_str(), O_WRONLY);
        EXPECT_EQ(pwrite(raw, &state, sizeof state, 0), static_cast<ssize_t>(sizeof state)) << "errno " << errno;
        close(raw);
    };
    write_state(bad_state);
    EXPECT_EQ(sys.wait_for_single_object(opened.get(), 100000), wait_failed);
    EXPECT_EQ(sys.get_last_error(), err::invalid_handle);
    write_state(0);
    EXPECT_EQ(sys.wait_for_single_object(opened.get(), 0), wait_timeout);

    // Shrunk while a wait sleeps on it.
    std::future<std::uint32_t> waited =
        std::async(std::launch::async, [&] { return sys.wait_for_single_object(opened.get(), 1500); });
    std::this_thread::sleep_for(200ms);
    fs::resize_file(file, 0);
    EXPECT_EQ(waited.get(), wait_failed);
    EXPECT_EQ(sys.set_event(opened.get()), 0);
    EXPECT_EQ(sys.reset_event(created.get()), 0);
    EXPECT_EQ(sys.wait_for_single_object(opened.get(), 0), wait_failed);
    EXPECT_EQ(sys.get_last_error(), err::invalid_handle);
}

// The user's place, taken by another user before this one ever used it: a
// logger of this user refuses to start and names the directory and its
// owner.  Acting as two users takes root.
TEST(PosixHost, PlaceTakenByAnotherUserIsNamedWithItsOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as two other users needs root";
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv (util-linux) to run as another user";
    const unsigned victim = 47001, other = 47002;
    const std::string runtime = "/run/user/" + std::to_string(victim);
    if (fs::exists(runtime)) GTEST_SKIP() << runtime << " exists already";
    const fs::path taken = "/dev/shm/ovdelete-" + std::to_string(victim);
    if (!fs::is_directory("/dev/shm") || fs::exists(taken)) GTEST_SKIP() << "needs /dev/shm without " << taken;
    fs::create_directory(taken);
    ASSERT_EQ(chown(taken.c_str(), other, other), 0) << "errno " << errno;
    fs::permissions(taken, fs::perms::owner_all, fs::perm_options::replace);
    const std::vector<std::string> as_victim = {"/usr/bin/setpriv", "--reuid=" + std::to_string(victim),
                                                "--regid=" + std::to_string(victim), "--clear-groups",
                                                program_path("ovlogger").string(), "--count", "1"};

    run_result refused = run(as_victim, {}, 20000);

    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.err.find(taken.string()), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("uid " + std::to_string(other)), std::string::npos) << refused.err;

    // With a runtime directory of its own, the taken name no longer matters.
    bool made_run_user = !fs::exists("/run/user");
    fs::create_directories(runtime);
    ASSERT_EQ(chown(runtime.c_str(), victim, victim), 0) << "errno " << errno;
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    std::vector<std::string> place_query = as_victim;
    place_query.resize(place_query.size() - 2);
    place_query.push_back("--place");
    run_result place = run(place_query, {}, 20000);
    EXPECT_EQ(place.out.rfind(runtime + "/ovdelete", 0), 0u) << place.out;

    fs::remove_all(runtime);
    if (made_run_user) fs::remove("/run/user");
    fs::remove_all(taken);
}

}  // namespace
}  // namespace ov::test
