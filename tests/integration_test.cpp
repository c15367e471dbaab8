// End to end: the real ovlogger and ovhost processes, the library as the
// build produced it, real temporary directories and the real profile.
//
// Every case shares the session's one set of logger objects and the user's
// profile, so the cases run one at a time (integration.cmake makes them
// serial) and each one leaves no logger behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "debug_client.h"
#include "tools_platform.h"
#include "test_support.h"

namespace {

using ov::test::fs::exists;
using ov::test::fs::path;
using ov::test::list_names;
using ov::test::make_read_only;
using ov::test::program_path;
using ov::test::read_file;
using ov::test::run_result;
using ov::test::temp_dir;
using ov::test::write_file;
using strings = std::vector<std::string>;

using ov::diag::debug_event_name;
using ov::diag::map_event_name;
using ov::diag::mapping_name;
constexpr char read_only_line[] = "UNKNOWN /File Read Only or Hidden: b.tmp";
// Generous: a cold Wine prefix or a sanitizer build starts slowly, and
// nothing here is a measure of speed.
constexpr std::uint32_t start_timeout_ms = 60000;
constexpr std::uint32_t exit_timeout_ms = 30000;

// Lines of a captured stream; a trailing CR is dropped because Windows
// writes standard output in text mode.
strings lines_of(const std::string& text) {
    strings lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool has_line(const std::string& text, const std::string& wanted) {
    strings lines = lines_of(text);
    return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

// The window handle at offset 0 of the logger's mapping, as a client reads
// it; 0 when there is no mapping.
ov::hwnd32 published_window() {
    ov::unique_handle mapping(ov::sys.open_file_mapping(ov::file_map_read, mapping_name));
    if (!mapping) return 0;
    ov::unique_view view(mapping.get(), ov::file_map_read);
    if (!view || view.size() < 4) return 0;
    return ov::load_window_handle(view.data());
}

bool logger_is_running() {
    ov::hwnd32 window = published_window();
    return window != 0 && ov::sys.is_window(window) != 0;
}

bool library_is_a_dll() {
    std::string name = ov::library_file_name();
    return name.size() > 4 && name.substr(name.size() - 4) == ".dll";
}

run_result host(const strings& args, const strings& environment = {}) {
    strings argv{program_path("ovhost").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return ov::test::run(argv, environment);
}

run_result logger_command(const strings& args) {
    strings argv{program_path("ovlogger").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return ov::test::run(argv, {}, exit_timeout_ms);
}

// An ovlogger running in the background, its output captured in files.
// Whatever happens, the destructor leaves no logger running.
class logger_process {
public:
    logger_process() = default;
    logger_process(const logger_process&) = delete;
    logger_process& operator=(const logger_process&) = delete;
    ~logger_process() {
        if (process_ != nullptr) stop(false);
    }

    // Starts ovlogger and waits until it says "ready".
    ::testing::AssertionResult start(const strings& args = {}) {
        strings argv{program_path("ovlogger").string()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<const char*> pointers;
        for (const auto& a : argv) pointers.push_back(a.c_str());
        pointers.push_back(nullptr);
        std::string out = out_path().string();
        std::string err = err_path().string();
        ov::process_options options{pointers.data(), out.c_str(), err.c_str(), nullptr};
        process_ = ov::spawn_process(options);
        if (process_ == nullptr) {
            return ::testing::AssertionFailure() << "cannot start ovlogger, error " << ov::sys.get_last_error();
        }
        return wait_until_ready();
    }

    // Asks the logger to stop (or kills it) and waits for it; its exit
    // code, or -1 when it would not end.
    int stop(bool force) {
        if (process_ == nullptr) return exit_code_;
        ov::stop_process(process_, force);
        return wait_exit(exit_timeout_ms);
    }

    // Waits for the logger to end by itself; its exit code, or -1 when it
    // is still running after the time-out (it is then killed).
    int wait_exit(std::uint32_t timeout_ms) {
        if (process_ == nullptr) return exit_code_;
        int code = -1;
        if (ov::wait_process(process_, timeout_ms, &code) != 1) {
            ov::stop_process(process_, true);
            ov::wait_process(process_, exit_timeout_ms, &code);
            code = -1;
        }
        ov::close_process(process_);
        process_ = nullptr;
        exit_code_ = code;
        return code;
    }

    std::string out() const { return read_file(out_path()); }
    std::string err() const { return read_file(err_path()); }

    // Waits until the logger has printed the line (it flushes each one).
    bool wait_for_line(const std::string& line) const {
        for (auto deadline = clock::now() + std::chrono::milliseconds(start_timeout_ms); clock::now() < deadline;) {
            if (has_line(out(), line)) return true;
            ov::sleep_ms(10);
        }
        return false;
    }

private:
    using clock = std::chrono::steady_clock;

    path out_path() const { return files_ / "stdout"; }
    path err_path() const { return files_ / "stderr"; }

    ::testing::AssertionResult wait_until_ready() {
        for (auto deadline = clock::now() + std::chrono::milliseconds(start_timeout_ms); clock::now() < deadline;) {
            if (has_line(err(), "ready")) return ::testing::AssertionSuccess();
            int code = -1;
            if (ov::wait_process(process_, 0, &code) == 1) {
                ov::close_process(process_);
                process_ = nullptr;
                exit_code_ = code;
                return ::testing::AssertionFailure() << "ovlogger ended with " << code << ": " << err();
            }
            ov::sleep_ms(10);
        }
        return ::testing::AssertionFailure() << "ovlogger did not say ready: " << err();
    }

    temp_dir files_;
    ov::handle process_ = nullptr;
    int exit_code_ = -1;
};

// Sets [Quonvel] UseDebuggerOutput in the profile that the children read,
// and puts back what was there before.  The children inherit this process's
// environment, so on every platform they read the file that
// ov::write_profile_string writes here.
class debugger_output_switch {
public:
    explicit debugger_output_switch(const char* value) {
        // Two different defaults tell an absent key from any value.
        std::uint32_t first = ov::sys.get_profile_int(section, key, 0x7FFFFFF0);
        std::uint32_t second = ov::sys.get_profile_int(section, key, 0x7FFFFFF1);
        present_ = first == second;
        previous_ = static_cast<std::int32_t>(first);
        section_had_keys_ = ov::profile_section_has_keys(section) != 0;
        char file[4096];
        std::error_code ec;
        if (ov::profile_file_path(file, sizeof file)) ov::test::fs::create_directories(path(file).parent_path(), ec);
        written_ = ov::write_profile_string(section, key, value) == 1;
    }
    debugger_output_switch(const debugger_output_switch&) = delete;
    debugger_output_switch& operator=(const debugger_output_switch&) = delete;
    // Puts back what was there: the value, or no key, or no section at all
    // (on Windows the profile is the user's own WIN.INI).
    ~debugger_output_switch() {
        std::string previous = std::to_string(previous_);
        if (section_had_keys_) ov::write_profile_string(section, key, present_ ? previous.c_str() : nullptr);
        else ov::write_profile_string(section, nullptr, nullptr);
    }
    bool written() const { return written_; }

private:
    static constexpr char section[] = "Quonvel";
    static constexpr char key[] = "UseDebuggerOutput";
    bool present_ = false;
    bool section_had_keys_ = false;
    bool written_ = false;
    std::int32_t previous_ = 0;
};

// The switch the tests set is taken away whole when the profile had no such
// section: on Windows the profile is the user's own WIN.INI, and an empty
// [Quonvel] left behind is a change to it.
TEST(TestProfile, SwitchLeavesNoEmptySectionBehind) {
    char file[4096];
    ASSERT_TRUE(ov::profile_file_path(file, sizeof file));
    if (ov::profile_section_has_keys("Quonvel")) GTEST_SKIP() << file << " has a [Quonvel] section of its own";
    {
        debugger_output_switch on("1");
        ASSERT_TRUE(on.written());
        EXPECT_TRUE(ov::profile_section_has_keys("Quonvel"));
    }
    std::string text = read_file(file);
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(text.find("[quonvel]"), std::string::npos) << text;
}

// a.tmp, b.tmp (read-only) and c.tmp in a fresh directory.
struct three_files {
    temp_dir dir;
    three_files() {
        write_file(dir / "a.tmp");
        write_file(dir / "b.tmp");
        write_file(dir / "c.tmp");
        make_read_only(dir / "b.tmp");
    }
    std::string pattern() const { return dir.prefix() + "*.tmp"; }
    strings names() const { return list_names(dir.path()); }
};

// Every case starts in logger mode, with no logger of its namespace running
// (ctest gives the build's tests a namespace and a profile of their own).
class integration : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(logger_is_running()) << "an ovlogger is already running in this namespace; these cases need "
                                             "the logger objects to themselves";
        ASSERT_TRUE(logger_mode_.written());
    }

    // What a script sees of one FileDeleteWC call through the host: the
    // result printed alone, exit status 0 for 1 and 1 for 0, and nothing on
    // standard error.
    static void expect_result(const run_result& r, int result) {
        EXPECT_TRUE(r.finished);
        EXPECT_EQ(r.exit_code, result == 1 ? 0 : 1);
        EXPECT_EQ(lines_of(r.out), strings{std::to_string(result)});
        EXPECT_EQ(r.err, "");
    }

private:
    debugger_output_switch logger_mode_{"0"};
};

// --- FileDeleteWC through the host, with and without a logger.

TEST_F(integration, LoggerReceivesTheReadOnlyRefusal) {
    logger_process logger;
    ASSERT_TRUE(logger.start());
    three_files files;

    run_result r = host({"delete", files.pattern()});

    expect_result(r, 0);
    EXPECT_EQ(files.names(), (strings{"b.tmp", "c.tmp"}));
    EXPECT_EQ(logger.stop(false), 0);
    EXPECT_EQ(lines_of(logger.out()), strings{read_only_line});
}

TEST_F(integration, WithoutLoggerTheLineIsDroppedSilently) {
    three_files files;

    run_result r = host({"delete", files.pattern()});

    expect_result(r, 0);
    EXPECT_EQ(files.names(), (strings{"b.tmp", "c.tmp"}));
}

// On Linux the profile lives under XDG_CONFIG_HOME, so this case gives the
// child a profile of its own through its environment.
TEST_F(integration, DebuggerOutputGoesToStandardError) {
    if (library_is_a_dll()) {
        GTEST_SKIP() << "on Windows the debugger-output stream is OutputDebugString's (debugger or DBWIN "
                        "listener), not standard error";
    }
    // The inherited profile says logger mode: only the child's own counts.
    temp_dir profile;
    write_file(profile / "win.ini", "[Quonvel]\nUseDebuggerOutput=1\n");
    three_files files;

    run_result r = host({"delete", files.pattern()}, {"XDG_CONFIG_HOME=" + profile.path().string()});

    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lines_of(r.out), strings{"0"});
    EXPECT_EQ(r.err, std::string(read_only_line) + "\r\n");
    EXPECT_EQ(files.names(), (strings{"b.tmp", "c.tmp"}));
}

TEST_F(integration, DebuggerOutputBypassesARunningLogger) {
    debugger_output_switch debugger_mode("1");
    ASSERT_TRUE(debugger_mode.written());
    logger_process logger;
    ASSERT_TRUE(logger.start());
    three_files files;

    run_result r = host({"delete", files.pattern()});

    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lines_of(r.out), strings{"0"});
    EXPECT_EQ(files.names(), (strings{"b.tmp", "c.tmp"}));
    EXPECT_EQ(logger.stop(false), 0);
    EXPECT_EQ(logger.out(), "");
}

TEST_F(integration, PatternMatchingNothingIsReportedAsGiven) {
    logger_process logger;
    ASSERT_TRUE(logger.start());
    temp_dir dir;
    write_file(dir / "keep.txt");
    std::string pattern = dir.prefix() + "*.none";

    run_result r = host({"delete", pattern});

    expect_result(r, 0);
    EXPECT_EQ(list_names(dir.path()), strings{"keep.txt"});
    EXPECT_EQ(logger.stop(false), 0);
    EXPECT_EQ(lines_of(logger.out()), strings{"UNKNOWN /File Not Found: " + pattern});
}

TEST_F(integration, EveryMatchDeletedGivesOneAndNoLine) {
    logger_process logger;
    ASSERT_TRUE(logger.start());
    temp_dir dir;
    write_file(dir / "a.tmp");
    write_file(dir / "b.tmp");
    write_file(dir / "keep.txt");

    run_result r = host({"delete", dir.prefix() + "*.tmp"});

    expect_result(r, 1);
    EXPECT_EQ(list_names(dir.path()), strings{"keep.txt"});
    EXPECT_EQ(logger.stop(false), 0);
    EXPECT_EQ(logger.out(), "");
}

// --- PasteArgs through the host.

TEST_F(integration, PasteGivesTheTemplateForTheKnownNameOnly) {
    struct {
        const char* name;
        int exit_code;
        strings out;
    } cases[] = {
        {"FileDeleteWC", 0, {"FileDeleteWC( WildCard_String );", "0x001D000F"}},
        // The caller's case stays in the buffer.
        {"filedeletewc", 0, {"filedeletewc( WildCard_String );", "0x001D000F"}},
        {"FileDelete", 1, {"FileDelete", "0x00000000"}},
        {"", 1, {"", "0x00000000"}},
    };
    for (const auto& c : cases) {
        run_result r = host({"paste", c.name});
        EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
        EXPECT_EQ(lines_of(r.out), c.out) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
    }
}

TEST_F(integration, PasteNameLengthIsBoundedByTheEditorBuffer) {
    // 1024 bytes hold a 1003-character name, its NUL and the 20-character
    // template; one more character is refused before the library is called.
    run_result fits = host({"paste", std::string(1003, 'n')});
    EXPECT_EQ(fits.exit_code, 1);
    EXPECT_EQ(lines_of(fits.out), (strings{std::string(1003, 'n'), "0x00000000"}));

    run_result too_long = host({"paste", std::string(1004, 'n')});
    EXPECT_EQ(too_long.exit_code, 2);
    EXPECT_EQ(too_long.out, "");
    EXPECT_NE(too_long.err, "");
}

// --- ovhost's own failures.

TEST_F(integration, HostUsageErrorsExitWithTwoAndTouchNothing) {
    three_files files;
    const std::vector<strings> bad = {
        {},
        {"frobnicate", "x"},
        {"delete"},
        {"paste"},
        {"delete", files.pattern(), "extra"},
        {"--library"},
        {"--bogus", "delete", files.pattern()},
        {"config"},
        {"config", "debugger-output"},
        {"config", "debugger-output", "maybe"},
        {"config", "debugger-output", "on", "extra"},
        {"config", "logger-output", "on"},
    };
    for (const strings& args : bad) {
        run_result r = host(args);
        std::string shown = args.empty() ? "(no arguments)" : args.front();
        EXPECT_TRUE(r.finished) << shown;
        EXPECT_EQ(r.exit_code, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_NE(r.err, "") << shown;
    }
    EXPECT_EQ(files.names(), (strings{"a.tmp", "b.tmp", "c.tmp"}));
}

// --- What every tool's command line shares.

// The tools this build has: ovdbgview is built for Windows only.
struct tool_case {
    std::string name;
    // An option that takes a value.
    std::string value_option;
};

std::vector<tool_case> built_tools() {
    std::vector<tool_case> tools = {{"ovlogger", "--count"}, {"ovhost", "--library"}};
    if (exists(program_path("ovdbgview"))) tools.push_back({"ovdbgview", "--count"});
    return tools;
}

run_result tool(const std::string& name, const strings& args) {
    strings argv{program_path(name).string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return ov::test::run(argv, {}, exit_timeout_ms);
}

// --help and --version answer on standard output; an unknown option, a
// missing value and a value given to an option that takes none are usage
// errors, said on standard error, with exit status 2.
TEST_F(integration, EveryToolAnswersHelpAndVersionAndRefusesBadOptions) {
    for (const tool_case& t : built_tools()) {
        const struct {
            strings args;
            int exit_code;
            // Found in standard output (exit 0) or standard error.
            strings shown;
        } cases[] = {
            {{"--help"}, 0, {"usage: " + t.name, "Exit status"}},
            {{"--version"}, 0, {t.name + " " OV_VERSION "\n"}},
            {{"--bogus"}, 2, {"--bogus", "usage: " + t.name}},
            {{t.value_option}, 2, {t.value_option}},
            {{"--version=2"}, 2, {"--version"}},
        };
        for (const auto& c : cases) {
            run_result r = tool(t.name, c.args);
            std::string label = t.name + " " + c.args[0];
            ASSERT_TRUE(r.finished) << label;
            EXPECT_EQ(r.exit_code, c.exit_code) << label;
            const std::string& text = c.exit_code == 0 ? r.out : r.err;
            EXPECT_EQ(c.exit_code == 0 ? r.err : r.out, "") << label;
            // Windows writes standard output in text mode.
            std::string plain;
            for (char ch : text)
                if (ch != '\r') plain += ch;
            for (const auto& s : c.shown) EXPECT_NE(plain.find(s), std::string::npos) << label << ": " << text;
        }
    }
    EXPECT_FALSE(logger_is_running());
}

// The switch as the library reads it: 1 on, 0 off, 7 when the key is
// missing.
std::uint32_t debugger_output_switch_value() {
    return ov::sys.get_profile_int(ov::diag::profile_section, ov::diag::profile_key, 7);
}

// What the library sends to the debugger-output stream when ovhost deletes
// over a read-only file: on Linux the stream is ovhost's standard error; on
// Windows ovdbgview runs ovhost as its debugger, as its --help example
// shows.  There ovhost's result follows on the same standard output (the
// debuggee waits while its debugger prints), and the pid column before
// the string is checked; both are taken off.
std::string debugger_output_of_a_delete() {
    three_files files;
    if (!exists(program_path("ovdbgview"))) {
        run_result r = host({"delete", files.pattern()});
        EXPECT_EQ(r.exit_code, 1) << r.err;
        return r.err;
    }
    run_result r = tool("ovdbgview", {"--pid", "--", program_path("ovhost").string(), "delete", files.pattern()});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    std::smatch parts;
    if (!std::regex_match(r.out, parts, std::regex("(?:\\[pid [1-9][0-9]*\\] ([\\s\\S]+))?0\r\n"))) {
        ADD_FAILURE() << "not a pid column, a string and ovhost's result: " << r.out;
        return r.out;
    }
    return parts[1].str();
}

TEST_F(integration, HostConfigTurnsDebuggerOutputOnAndOff) {
    char file[4096];
    ASSERT_TRUE(ov::profile_file_path(file, sizeof file));
    auto show = [] { return host({"config", "debugger-output", "show"}); };
    // The fixture has written 0.
    run_result shown = show();
    EXPECT_EQ(shown.exit_code, 0) << shown.err;
    EXPECT_EQ(lines_of(shown.out), (strings{"off", file}));

    // The example of ovhost --help.
    run_result on = host({"config", "debugger-output", "on"});
    EXPECT_EQ(on.exit_code, 0) << on.err;
    EXPECT_EQ(on.out, "");
    EXPECT_EQ(debugger_output_switch_value(), 1u);
    EXPECT_EQ(lines_of(show().out), (strings{"on", file}));
    EXPECT_EQ(debugger_output_of_a_delete(), std::string(read_only_line) + "\r\n");

    run_result off = host({"config", "debugger-output", "off"});
    EXPECT_EQ(off.exit_code, 0) << off.err;
    EXPECT_EQ(debugger_output_switch_value(), 0u);
    EXPECT_EQ(lines_of(show().out), (strings{"off", file}));
    EXPECT_EQ(debugger_output_of_a_delete(), "");
}

// A profile that cannot be written is a failure, not bad usage.  Only the
// Linux build takes its profile's place from the environment.
TEST_F(integration, HostConfigThatCannotBeWrittenExitsWithOne) {
    if (library_is_a_dll()) GTEST_SKIP() << "Windows keeps win.ini in the Windows directory, whatever the environment";
    temp_dir dir;
    write_file(dir / "not-a-directory");
    std::string place = "XDG_CONFIG_HOME=" + (dir / "not-a-directory").string();

    run_result r = host({"config", "debugger-output", "on"}, {place});

    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("not-a-directory"), std::string::npos) << r.err;
}

// The system's own words say why a library did not load; the table lists
// how Linux (dlerror), Windows and Wine (FormatMessageA) put each reason.
TEST_F(integration, HostLoadFailuresExitWithTwoInTheSystemsWords) {
    temp_dir dir;
    path missing = dir / "missing" / ov::library_file_name();
    path not_a_library = dir / ov::library_file_name();
    write_file(not_a_library, "this is not a library, and it is long enough for any header to be read whole\n" +
                                  std::string(512, '#') + "\n");
    const struct {
        path library;
        strings wordings;
    } cases[] = {
        {missing, {"No such file or directory", "module could not be found", "Module not found"}},
        {not_a_library, {"invalid ELF header", "not a valid Win32 application", "Bad EXE format"}},
    };
    three_files files;
    for (const auto& c : cases) {
        run_result r = host({"--library", c.library.string(), "delete", files.pattern()});

        EXPECT_EQ(r.exit_code, 2) << c.library;
        EXPECT_EQ(r.out, "") << c.library;
        EXPECT_NE(r.err.find("ovhost: cannot load the library " + c.library.string() + ": "), std::string::npos)
            << r.err;
        bool worded = std::any_of(c.wordings.begin(), c.wordings.end(),
                                  [&](const std::string& w) { return r.err.find(w) != std::string::npos; });
        EXPECT_TRUE(worded) << "no system wording in: " << r.err;
    }
    EXPECT_EQ(files.names(), (strings{"a.tmp", "b.tmp", "c.tmp"}));
}

TEST_F(integration, ExplicitLibraryPathIsUsedGivenEitherWay) {
    std::string library = (ov::test::binary_dir() / ov::library_file_name()).string();
    for (const strings& option : {strings{"--library", library}, strings{"--library=" + library}}) {
        strings args = option;
        args.insert(args.end(), {"paste", "FileDeleteWC"});
        run_result r = host(args);
        EXPECT_EQ(r.exit_code, 0) << option[0] << r.err;
        EXPECT_EQ(lines_of(r.out), (strings{"FileDeleteWC( WildCard_String );", "0x001D000F"})) << option[0];
    }
}

// --- The logger's life.

TEST_F(integration, SecondLoggerRefusesWhileOneRuns) {
    logger_process first;
    ASSERT_TRUE(first.start());

    run_result second = logger_command({});

    EXPECT_TRUE(second.finished);
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_NE(second.err.find("another logger"), std::string::npos) << second.err;
    // The refusal left the first logger's objects as they were.
    three_files files;
    EXPECT_EQ(host({"delete", files.pattern()}).exit_code, 1);
    EXPECT_EQ(first.stop(false), 0);
    EXPECT_EQ(lines_of(first.out()), strings{read_only_line});
}

TEST_F(integration, LoggerUsageErrorsExitWithTwo) {
    const std::vector<strings> bad = {{"--count", "0"}, {"--count=x"}, {"--count", "-1"}, {"--count="}};
    for (const strings& args : bad) {
        run_result r = logger_command(args);
        EXPECT_TRUE(r.finished) << args.back();
        EXPECT_EQ(r.exit_code, 2) << args.back();
        EXPECT_NE(r.err, "") << args.back();
    }
    EXPECT_FALSE(logger_is_running());
}

TEST_F(integration, LoggerWithCountExitsAfterThatManyMessages) {
    for (const strings& option : {strings{"--count", "2"}, strings{"--count=2"}}) {
        logger_process logger;
        ASSERT_TRUE(logger.start(option));
        temp_dir dir;
        std::string first = dir.prefix() + "first*.none";
        std::string second = dir.prefix() + "second*.none";

        EXPECT_EQ(host({"delete", first}).exit_code, 1);
        EXPECT_EQ(host({"delete", second}).exit_code, 1);

        EXPECT_EQ(logger.wait_exit(exit_timeout_ms), 0) << option[0];
        EXPECT_EQ(lines_of(logger.out()),
                  (strings{"UNKNOWN /File Not Found: " + first, "UNKNOWN /File Not Found: " + second}));
        EXPECT_FALSE(logger_is_running());
    }
}

TEST_F(integration, StopRequestEndsTheLoggerCleanlyAndANewOneStarts) {
    {
        // Held open here, the mapping outlives the logger, as it does while
        // a client is in the middle of a message.
        logger_process logger;
        ASSERT_TRUE(logger.start());
        ov::unique_handle mapping(ov::sys.open_file_mapping(ov::file_map_read, mapping_name));
        ASSERT_TRUE(mapping);
        ov::unique_view view(mapping.get(), ov::file_map_read);
        ASSERT_TRUE(view);
        EXPECT_NE(ov::load_window_handle(view.data()), 0u);
        EXPECT_EQ(logger.stop(false), 0);
        EXPECT_EQ(ov::load_window_handle(view.data()), 0u) << "window handle left published";
    }
    // Gone without a trace a client could trip over: no mapping, or one
    // that says "no logger".
    EXPECT_EQ(published_window(), 0u);
    three_files before;
    run_result without = host({"delete", before.pattern()});
    EXPECT_EQ(lines_of(without.out), strings{"0"});
    EXPECT_EQ(without.err, "");

    logger_process next;
    ASSERT_TRUE(next.start());
    three_files after;
    EXPECT_EQ(host({"delete", after.pattern()}).exit_code, 1);
    EXPECT_EQ(next.stop(false), 0);
    EXPECT_EQ(lines_of(next.out()), strings{read_only_line});
}

// The logger is killed while a client holds the area and an
// acknowledgement is pending; this process keeps the objects open, so they
// outlive the logger on every platform.  The next logger must take them
// over and put both events right.
TEST_F(integration, ObjectsOfAKilledLoggerAreTakenOver) {
    ov::unique_handle mapping;
    ov::unique_handle map_event;
    ov::unique_handle debug_event;
    {
        logger_process killed;
        ASSERT_TRUE(killed.start());
        mapping.reset(ov::sys.open_file_mapping(ov::file_map_read, mapping_name));
        map_event.reset(ov::sys.open_event(ov::event_all_access, map_event_name));
        debug_event.reset(ov::sys.open_event(ov::event_all_access, debug_event_name));
        ASSERT_TRUE(mapping && map_event && debug_event);
        ASSERT_EQ(ov::sys.wait_for_single_object(map_event.get(), 2000), ov::wait_object_0);
        ov::sys.reset_event(map_event.get());
        ov::sys.set_event(debug_event.get());
        killed.stop(true);
    }
    // What it left names no live window, so a client gives up at once.
    EXPECT_FALSE(logger_is_running());
    three_files orphaned;
    run_result r = host({"delete", orphaned.pattern()});
    expect_result(r, 0);

    logger_process next;
    ASSERT_TRUE(next.start());
    EXPECT_NE(next.err().find("took over"), std::string::npos) << next.err();
    EXPECT_EQ(ov::sys.wait_for_single_object(debug_event.get(), 0), ov::wait_timeout) << "stale acknowledgement kept";
    mapping.reset();
    map_event.reset();
    debug_event.reset();
    three_files files;
    EXPECT_EQ(host({"delete", files.pattern()}).exit_code, 1);
    EXPECT_EQ(next.stop(false), 0);
    EXPECT_EQ(lines_of(next.out()), strings{read_only_line});
}

// A client that started, captured in files of its own.
struct running_host {
    temp_dir dir;
    temp_dir capture;
    ov::handle process = nullptr;
    std::string expected_line;

    explicit running_host(int index) {
        std::string name = "client" + std::to_string(index) + ".tmp";
        write_file(dir / name);
        make_read_only(dir / name);
        expected_line = "UNKNOWN /File Read Only or Hidden: " + name;
    }
    running_host(const running_host&) = delete;
    running_host& operator=(const running_host&) = delete;
    ~running_host() {
        if (process != nullptr) finish();
    }
    bool start() {
        std::string program = program_path("ovhost").string();
        std::string pattern = dir.prefix() + "*.tmp";
        const char* argv[] = {program.c_str(), "delete", pattern.c_str(), nullptr};
        std::string out = (capture / "stdout").string();
        std::string err = (capture / "stderr").string();
        process = ov::spawn_process(ov::process_options{argv, out.c_str(), err.c_str(), nullptr});
        return process != nullptr;
    }
    int finish() {
        int code = -1;
        if (ov::wait_process(process, exit_timeout_ms, &code) != 1) {
            ov::stop_process(process, true);
            ov::wait_process(process, exit_timeout_ms, &code);
            code = -1;
        }
        ov::close_process(process);
        process = nullptr;
        return code;
    }
    std::string out() const { return read_file(capture / "stdout"); }
    std::string err() const { return read_file(capture / "stderr"); }
};

TEST_F(integration, ParallelClientsEachDeliverTheirLineExactlyOnce) {
    constexpr int client_count = 8;
    logger_process logger;
    ASSERT_TRUE(logger.start());
    std::vector<std::unique_ptr<running_host>> clients;
    for (int i = 0; i < client_count; ++i) clients.push_back(std::make_unique<running_host>(i));

    for (auto& c : clients) ASSERT_TRUE(c->start());
    strings expected;
    for (auto& c : clients) {
        EXPECT_EQ(c->finish(), 1);
        EXPECT_EQ(lines_of(c->out()), strings{"0"});
        EXPECT_EQ(c->err(), "");
        expected.push_back(c->expected_line);
    }

    EXPECT_EQ(logger.stop(false), 0);
    strings received = lines_of(logger.out());
    std::sort(received.begin(), received.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(received, expected);
}

// This process as a client of the running logger, one step at a time, so
// that a case can do what a client that timed out, or a stray
// notification, does.
class manual_client {
public:
    ::testing::AssertionResult open() {
        mapping_.reset(ov::sys.open_file_mapping(ov::file_map_write, mapping_name));
        if (mapping_) view_.emplace(mapping_.get(), ov::file_map_write);
        map_event_.reset(ov::sys.open_event(ov::event_all_access, map_event_name));
        debug_event_.reset(ov::sys.open_event(ov::event_all_access, debug_event_name));
        if (!view_ || !*view_ || !map_event_ || !debug_event_) {
            return ::testing::AssertionFailure() << "cannot open the logger's objects, error "
                                                 << ov::sys.get_last_error();
        }
        window_ = ov::load_window_handle(view_->data());
        notify_message_ = ov::sys.register_window_message("mHandleDebugMsg");
        return ::testing::AssertionSuccess();
    }
    bool claim() {
        if (ov::sys.wait_for_single_object(map_event_.get(), 2000) != ov::wait_object_0) return false;
        return ov::sys.reset_event(map_event_.get()) != 0;
    }
    // The first byte last: the logger clears it after taking a text, so a
    // notification taken while this runs sees an empty area, never half a
    // text.
    void write(const char* text) {
        char* area = reinterpret_cast<char*>(view_->data()) + 4;
        ov::copy_text(area + 1, view_->size() - 5, text + 1);
        std::atomic_ref<char>(area[0]).store(text[0], std::memory_order_release);
    }
    void notify() { send(notify_message_); }
    void send(std::uint32_t message) { ov::sys.send_notify_message(window_, message, 0, 0); }
    // One whole message as a client hands it over: claim, write, notify,
    // wait for the acknowledgement, release.  Whether it was acknowledged.
    bool hand_over(const std::string& text) {
        if (!claim()) return false;
        write(text.c_str());
        notify();
        bool acknowledged_in_time = acknowledged(10000);
        release();
        return acknowledged_in_time;
    }
    bool acknowledged(std::uint32_t timeout_ms) {
        return ov::sys.wait_for_single_object(debug_event_.get(), timeout_ms) == ov::wait_object_0;
    }
    void release() { ov::sys.set_event(map_event_.get()); }
    void leave_stale_acknowledgement() { ov::sys.set_event(debug_event_.get()); }
    bool area_is_empty() const { return view_->data()[4] == 0; }
    std::size_t area_size() const { return view_->size() - 4; }

private:
    ov::unique_handle mapping_;
    std::optional<ov::unique_view> view_;
    ov::unique_handle map_event_;
    ov::unique_handle debug_event_;
    ov::hwnd32 window_ = 0;
    std::uint32_t notify_message_ = 0;
};

// A client that gave up waiting for the acknowledgement has released the
// area; the logger must not acknowledge its text afterwards, or the next
// client would take that stale signal for its own acknowledgement.  Nor
// may a stale signal left over from earlier survive a moment in which the
// logger finds the area free.
TEST_F(integration, LateNotificationLeavesNoStaleAcknowledgement) {
    logger_process logger;
    ASSERT_TRUE(logger.start());
    manual_client client;
    ASSERT_TRUE(client.open());
    client.leave_stale_acknowledgement();

    // The late client: its notification is seen only after it released.
    ASSERT_TRUE(client.claim());
    client.write("LATE     /gave up waiting");
    client.release();
    client.notify();
    ASSERT_TRUE(logger.wait_for_line("LATE     /gave up waiting"));
    // The logger holds the area from before it prints until it is done
    // with the notification, so once the claim succeeds it is done.
    ASSERT_TRUE(client.claim());
    EXPECT_TRUE(client.area_is_empty()) << "the text taken was left in the area";
    EXPECT_FALSE(client.acknowledged(0)) << "a stale acknowledgement survived";

    // The next client: acknowledged only once its own text was taken.
    client.write("NEXT     /waits properly");
    client.notify();
    EXPECT_TRUE(client.acknowledged(10000));
    EXPECT_TRUE(has_line(logger.out(), "NEXT     /waits properly")) << "acknowledged before the text was taken";
    client.release();
    EXPECT_FALSE(client.acknowledged(0)) << "an acknowledgement is left over";

    EXPECT_EQ(logger.stop(false), 0);
    EXPECT_EQ(lines_of(logger.out()), (strings{"LATE     /gave up waiting", "NEXT     /waits properly"}));
}

// More notifications than texts (a late one from a client that gave up
// arrives next to the current writer's) still print every text once.
TEST_F(integration, ExtraNotificationPrintsNoTextTwice) {
    logger_process logger;
    ASSERT_TRUE(logger.start());
    manual_client client;
    ASSERT_TRUE(client.open());

    ASSERT_TRUE(client.claim());
    client.write("TWICE    /notified two times");
    client.notify();
    client.notify();
    EXPECT_TRUE(client.acknowledged(10000));
    client.release();
    EXPECT_TRUE(client.hand_over("AFTER    /the next message"));

    EXPECT_EQ(logger.stop(false), 0);
    EXPECT_EQ(lines_of(logger.out()), (strings{"TWICE    /notified two times", "AFTER    /the next message"}));
}

// A client killed or stopped while it holds the area never sets
// OvLoggerMapEvent again.  Once the area has been held past the client's own
// bound and a margin, the logger takes it back, even while messages keep
// waking it, and the next client's message goes through.
TEST_F(integration, AreaHeldByAClientThatDiedIsTakenBack) {
    using clock = std::chrono::steady_clock;
    // The logger's bound: the client's own wait and a margin.
    constexpr std::chrono::milliseconds take_back_after(ov::diag::handoff_timeout_ms + 1000);
    logger_process logger;
    ASSERT_TRUE(logger.start());
    manual_client dead;
    ASSERT_TRUE(dead.open());
    // Any message wakes the logger; sent faster than its idle tick, these
    // keep it from ever idling.  The logger ignores them, so any still
    // queued after the take-back cannot disturb the host below.
    std::uint32_t noise = ov::sys.register_window_message("OvLoggerTestNoise");

    ASSERT_TRUE(dead.claim());
    auto claimed = clock::now();
    dead.write("DEAD     /killed while writing");
    bool taken_back = false;
    while (!taken_back && clock::now() - claimed < take_back_after + std::chrono::seconds(10)) {
        dead.send(noise);
        ov::sleep_ms(20);
        taken_back = logger.err().find("took the message area back") != std::string::npos;
    }
    auto held = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - claimed);
    ASSERT_TRUE(taken_back) << logger.err();
    // The logger's clock may have started a tick before the claim; half the
    // client's bound leaves room for a loaded machine.
    EXPECT_GE(held.count(), std::chrono::milliseconds::rep{ov::diag::handoff_timeout_ms / 2})
        << "taken from a live client";
    EXPECT_TRUE(dead.area_is_empty()) << "the dead client's text was left in the area";

    three_files files;
    run_result r = host({"delete", files.pattern()});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(files.names(), (strings{"b.tmp", "c.tmp"}));
    EXPECT_EQ(logger.stop(false), 0);
    EXPECT_EQ(lines_of(logger.out()), strings{read_only_line}) << logger.err();
}

// --- What the logger prints.

// A file name may hold a newline; printed raw it would forge a second
// message.
TEST_F(integration, ControlBytesInAFileNameStayOnOneLine) {
    temp_dir dir;
    const std::string name = "two\nFORGED lines\t.tmp";
    try {
        write_file(dir / name);
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "this file system refuses a file name holding a newline or a tab";
    }
    make_read_only(dir / name);
    logger_process logger;
    ASSERT_TRUE(logger.start());

    EXPECT_EQ(host({"delete", dir.prefix() + "*.tmp"}).exit_code, 1);

    EXPECT_EQ(logger.stop(false), 0);
    EXPECT_EQ(lines_of(logger.out()), strings{"UNKNOWN /File Read Only or Hidden: two\\nFORGED lines\\t.tmp"});
}

// The longest text the area holds, every kind of byte in it: control bytes
// grow fourfold when escaped, and the rest are printed as they are.
TEST_F(integration, EveryControlByteIsEscapedUpToTheEndOfTheArea) {
    logger_process logger;
    ASSERT_TRUE(logger.start());
    manual_client client;
    ASSERT_TRUE(client.open());
    const std::string unit = "\\\r\n\t\x01\x1F\x7F\xE9";
    const std::string escaped_unit = "\\\\r\\n\\t\\x01\\x1F\\x7F\xE9";
    std::string text;
    std::string expected;
    while (text.size() + unit.size() < client.area_size()) {
        text += unit;
        expected += escaped_unit;
    }
    // One byte short of the area, so that its NUL ends it.
    std::string tail(client.area_size() - 1 - text.size(), '\x02');
    text += tail;
    for (std::size_t i = 0; i < tail.size(); ++i) expected += "\\x02";

    EXPECT_TRUE(client.hand_over(text));

    EXPECT_EQ(logger.stop(false), 0);
    strings printed = lines_of(logger.out());
    ASSERT_EQ(printed.size(), 1u) << "one message printed as " << printed.size() << " lines";
    auto differs = std::mismatch(expected.begin(), expected.end(), printed[0].begin(), printed[0].end());
    EXPECT_TRUE(printed[0] == expected) << "differs from character " << (differs.first - expected.begin()) << " of "
                                        << expected.size() << ", printed " << printed[0].size();
}

// --- The logger's options.

// --timestamps: the local time, ISO 8601 with milliseconds, and a blank.
const std::string timestamp_pattern =
    "[0-9]{4}-(?:0[1-9]|1[0-2])-(?:0[1-9]|[12][0-9]|3[01])T(?:[01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9][.][0-9]{3} ";

std::string regex_quoted(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// --pid: the writer's process id where the window's messages carry their
// sender (Linux); Windows does not tell, and the column says "?".
std::string pid_column(std::uint32_t writer) {
    return "[pid " + (library_is_a_dll() ? std::string("?") : std::to_string(writer)) + "] ";
}

// This process writes the message, so its id is the writer's.
TEST_F(integration, LoggerColumnsShowTheTimeAndTheWritersProcess) {
    const std::string text = "COLUMNS  /one message";
    const std::string pid = regex_quoted(pid_column(ov::current_process_id()));
    temp_dir files;
    const path log = files / "messages.log";
    const struct {
        strings args;
        std::string line;
        bool to_file;
    } cases[] = {
        {{"--timestamps"}, timestamp_pattern + regex_quoted(text), false},
        {{"--pid"}, pid + regex_quoted(text), false},
        {{"--pid", "--timestamps"}, timestamp_pattern + pid + regex_quoted(text), false},
        // The example of ovlogger --help.
        {{"--timestamps", "--output=" + log.string()}, timestamp_pattern + regex_quoted(text), true},
    };
    for (const auto& c : cases) {
        logger_process logger;
        ASSERT_TRUE(logger.start(c.args));
        manual_client client;
        ASSERT_TRUE(client.open());
        EXPECT_TRUE(client.hand_over(text));
        EXPECT_EQ(logger.stop(false), 0);

        strings printed = lines_of(c.to_file ? read_file(log) : logger.out());
        ASSERT_EQ(printed.size(), 1u) << c.args[0];
        EXPECT_TRUE(std::regex_match(printed[0], std::regex(c.line))) << printed[0] << " is not " << c.line;
    }
}

// Created when missing, then appended to: what the file held stays.  A
// file that cannot be opened stops the logger before it makes any object.
TEST_F(integration, LoggerAppendsItsLinesToTheOutputFile) {
    temp_dir files;
    const path log = files / "ovlogger.log";
    for (int run = 0; run < 2; ++run) {
        logger_process logger;
        ASSERT_TRUE(logger.start({"--output", log.string()}));
        three_files refused;
        EXPECT_EQ(host({"delete", refused.pattern()}).exit_code, 1);
        EXPECT_EQ(logger.stop(false), 0);
        EXPECT_EQ(logger.out(), "");
    }
    EXPECT_EQ(lines_of(read_file(log)), (strings{read_only_line, read_only_line}));

    run_result r = logger_command({"--output=" + (files / "no-such-directory" / "x.log").string()});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("no-such-directory"), std::string::npos) << r.err;
    EXPECT_FALSE(logger_is_running());
}

// The lines still come out as they did; what the system's log keeps is
// read back by the next case where it can be.
TEST_F(integration, LoggerWithSyslogStillPrintsEveryLine) {
    logger_process logger;
    ASSERT_TRUE(logger.start({"--syslog"}));
    three_files files;
    EXPECT_EQ(host({"delete", files.pattern()}).exit_code, 1);
    EXPECT_EQ(logger.stop(false), 0);
    EXPECT_EQ(lines_of(logger.out()), strings{read_only_line});
    EXPECT_EQ(lines_of(logger.err()), strings{"ready"});
}

TEST_F(integration, LoggerWithSyslogReachesTheJournal) {
    if (library_is_a_dll()) GTEST_SKIP() << "the Windows event log is not read back (Wine's keeps nothing)";
    const path journalctl = "/usr/bin/journalctl";
    if (!exists("/run/systemd/journal/socket") || !exists(journalctl))
        GTEST_SKIP() << "no systemd journal runs here (no /run/systemd/journal/socket or no journalctl)";
    logger_process logger;
    ASSERT_TRUE(logger.start({"--syslog"}));
    temp_dir dir;
    std::string pattern = dir.prefix() + "journal*.none";
    EXPECT_EQ(host({"delete", pattern}).exit_code, 1);
    EXPECT_EQ(logger.stop(false), 0);

    const std::string line = "UNKNOWN /File Not Found: " + pattern;
    run_result read;
    for (int attempt = 0; attempt < 50; ++attempt, ov::sleep_ms(100)) {
        read = ov::test::run({journalctl.string(), "--quiet", "--output=cat", "--identifier=ovlogger", "--lines=200"});
        if (read.exit_code != 0 || has_line(read.out, line)) break;
    }
    if (read.exit_code != 0) GTEST_SKIP() << "journalctl cannot read the journal here: " << read.err;
    EXPECT_TRUE(has_line(read.out, line)) << read.out;
}

}  // namespace
