// ovdbgview, the Windows-only tool that shows debug strings: as a debugger
// of the command it starts, and as a listener on the DBWIN channel.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tools_platform.h"
#include "test_support.h"

namespace ov::test {
namespace {

std::string viewer() { return program_path("ovdbgview").string(); }
std::string writer() { return program_path("win32_debug_writer").string(); }

run_result view(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), viewer());
    return run(arguments);
}

// --help, --version, unknown options and missing values: the cases every
// tool shares are in integration_test.cpp.
TEST(OvDbgView, BadUsageExitsWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {}, {"--"}, {"--count", "0", "x"}, {"--count=abc", "x"}, {"--count", "-1", "x"}, {"--output=", "x"},
    };
    for (const auto& arguments : cases) {
        run_result r = view(arguments);
        std::string shown;
        for (const auto& a : arguments) shown += " '" + a + "'";
        ASSERT_TRUE(r.finished) << shown;
        EXPECT_EQ(r.exit_code, 2) << shown;
        EXPECT_NE(r.err, "") << shown;
        EXPECT_EQ(r.out, "") << shown;
    }
}

TEST(OvDbgView, DebuggeeStringsArePrintedAsSentAndItsExitCodeKept) {
    run_result r = view({"--", writer(), "7", "one\r\n", "two", "", "three 3%s\r\n"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.out, "one\r\ntwothree 3%s\r\n");
    EXPECT_EQ(r.exit_code, 7);
    EXPECT_EQ(r.err, "");
}

TEST(OvDbgView, CountLimitsThePrintedStringsOfADebuggee) {
    for (const std::vector<std::string>& count : {std::vector<std::string>{"--count", "2"}, {"--count=2"}}) {
        std::vector<std::string> arguments = count;
        arguments.insert(arguments.end(), {writer(), "3", "a\r\n", "b\r\n", "c\r\n"});
        run_result r = view(arguments);
        ASSERT_TRUE(r.finished) << count[0];
        EXPECT_EQ(r.out, "a\r\nb\r\n") << count[0];
        EXPECT_EQ(r.exit_code, 3) << count[0];
    }
}

// --timestamps: the local time, ISO 8601 with milliseconds, and a blank.
const std::string timestamp = "[0-9]{4}-(?:0[1-9]|1[0-2])-(?:0[1-9]|[12][0-9]|3[01])T(?:[01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9][.][0-9]{3} ";

// With a column each string is a line of its own: the columns, the string
// without its final line end, CR LF.  The writer sends its own process id
// first, so the pid column can be checked against it.
TEST(OvDbgView, ColumnsPutEachStringOnALineOfItsOwn) {
    const std::string pid = R"(\[pid ([1-9][0-9]*)\] )";
    const struct {
        std::vector<std::string> options;
        std::string out;
    } cases[] = {
        {{"--timestamps"}, timestamp + "[0-9]+\r\n" + timestamp + "one\r\n" + timestamp + "two\r\n" + timestamp + "\r\n"},
        {{"--pid"}, pid + R"(\1\r\n\[pid \1\] one\r\n\[pid \1\] two\r\n\[pid \1\] \r\n)"},
        {{"--pid", "--timestamps"}, timestamp + pid + R"(\1\r\n)" + timestamp + R"(\[pid \1\] one\r\n)" + timestamp +
                                        R"(\[pid \1\] two\r\n)" + timestamp + R"(\[pid \1\] \r\n)"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.end(), {"--", writer(), "4", "{pid}", "one\r\n", "two", "\n"});
        run_result r = view(arguments);
        ASSERT_TRUE(r.finished) << c.options[0];
        EXPECT_EQ(r.exit_code, 4) << c.options[0];
        EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << r.out << " is not " << c.out;
    }
}

// The file is created when missing and appended to: what it held stays.
// Each run adds the same line, so a file written from its start again
// would hold fewer lines.
TEST(OvDbgView, OutputFileIsAppendedTo) {
    temp_dir files;
    const std::string log = (files / "debug.log").string();
    for (int run = 0; run < 2; ++run) {
        run_result r = view({"--output", log, "--", writer(), "0", "line\r\n"});
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(read_file(log), "line\r\nline\r\n");

    run_result r = view({"--output=" + (files / "no-such-directory" / "x.log").string(), writer(), "0", "x"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("no-such-directory"), std::string::npos) << r.err;
}

TEST(OvDbgView, ALongStringArrivesWhole) {
    const std::string text(8000, 'x');
    run_result r = view({writer(), "0", text});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.out, text);
}

TEST(OvDbgView, CommandThatCannotStartIsAFailure) {
    run_result r = view({"--", (fs::path(writer()).parent_path() / "no-such-program.exe").string()});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("cannot start"), std::string::npos) << r.err;
}

TEST(OvDbgView, DbwinListenerGetsTheStringsOfItsCommand) {
    run_result r = view({"--dbwin", "--", writer(), "5", "first\r\n", "second"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.out, "first\r\nsecond");
    EXPECT_EQ(r.exit_code, 5);
}

TEST(OvDbgView, DbwinBufferHoldsAtMost4091Characters) {
    run_result r = view({"--dbwin", "--", writer(), "0", std::string(5000, 'y'), "end"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.out, std::string(4091, 'y') + "end");
}

// The listener started first, then this process writes while it runs, as
// for a program that was already running.  The second case is the example
// of ovdbgview --help, appending to a file that holds a line already.
TEST(OvDbgView, DbwinListenerStopsAfterCountStrings) {
    temp_dir files;
    const std::string log = (files / "debug.log").string();
    const std::string pid = "\\[pid " + std::to_string(current_process_id()) + "\\] ";
    const struct {
        std::vector<std::string> options;
        bool to_file;
        std::string printed;
    } cases[] = {
        {{"--dbwin", "--count", "2"}, false, "from a running program\r\nagain"},
        {{"--dbwin", "--count=2", "--timestamps", "--pid", "--output=" + log}, true,
         "earlier\r\n" + timestamp + pid + "from a running program\r\n" + timestamp + pid + "again\r\n"},
    };
    write_file(log, "earlier\r\n");
    for (const auto& c : cases) {
        const std::string program = viewer(), out = (files / "out").string(), err = (files / "err").string();
        std::vector<const char*> argv{program.c_str()};
        for (const auto& o : c.options) argv.push_back(o.c_str());
        argv.push_back(nullptr);
        handle listener = spawn_process(process_options{argv.data(), out.c_str(), err.c_str(), nullptr});
        ASSERT_NE(listener, nullptr);
        // The listener is ready once it offers its buffer.
        HANDLE ready = nullptr;
        for (int i = 0; i < 500 && ready == nullptr; ++i, sleep_ms(10))
            ready = OpenEventA(SYNCHRONIZE, FALSE, "DBWIN_BUFFER_READY");
        if (ready != nullptr) CloseHandle(ready);
        OutputDebugStringA("from a running program\r\n");
        OutputDebugStringA("again");
        int exit_code = -1;
        int ended = wait_process(listener, 20000, &exit_code);
        if (ended != 1) stop_process(listener, true);
        close_process(listener);
        EXPECT_NE(ready, nullptr) << "the listener never opened the channel";
        EXPECT_EQ(ended, 1);
        EXPECT_EQ(exit_code, 0);
        std::string printed = read_file(c.to_file ? log : out);
        EXPECT_TRUE(std::regex_match(printed, std::regex(c.printed))) << printed << " is not " << c.printed;
        EXPECT_EQ(read_file(err), "");
    }
}

}  // namespace
}  // namespace ov::test
