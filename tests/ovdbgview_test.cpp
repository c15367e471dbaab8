// ovdbgview, the Windows-only tool that shows debug strings: as a debugger
// of the command it starts, and as a listener on the DBWIN channel.
#include <windows.h>

#include <gtest/gtest.h>

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

TEST(OvDbgView, HelpGoesToStandardOutput) {
    run_result r = view({"--help"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("usage: ovdbgview"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
}

TEST(OvDbgView, BadUsageExitsWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {}, {"--"}, {"--bogus", "x"}, {"--count"},
        {"--count", "0", "x"}, {"--count", "abc", "x"}, {"--count", "-1", "x"},
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
    run_result r = view({"--count", "2", writer(), "3", "a\r\n", "b\r\n", "c\r\n"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.out, "a\r\nb\r\n");
    EXPECT_EQ(r.exit_code, 3);
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
// for a program that was already running.
TEST(OvDbgView, DbwinListenerStopsAfterCountStrings) {
    temp_dir files;
    const std::string program = viewer(), out = (files / "out").string(), err = (files / "err").string();
    const char* argv[] = {program.c_str(), "--dbwin", "--count", "2", nullptr};
    handle listener = spawn_process(process_options{argv, out.c_str(), err.c_str(), nullptr});
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
    EXPECT_EQ(read_file(out), "from a running program\r\nagain");
    EXPECT_EQ(read_file(err), "");
}

}  // namespace
}  // namespace ov::test
