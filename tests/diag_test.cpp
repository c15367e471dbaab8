// The diagnostic client and its side of the logger handoff, against a
// scripted platform: set-up at the first message, the tag rule, both
// delivery modes, the order of every step and the result of every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "debug_client.h"
#include "fake_platform.h"

namespace ov::test {
namespace {

using calls_t = std::vector<std::string>;
constexpr std::uint32_t window = 0x00A1B2C4;

int send(const char* text) { return diag::DebugMsg("%s", text); }

std::string tag_for(const char* name) {
    char tag[diag::source_tag_capacity];
    diag::build_source_tag(tag, name);
    return tag;
}

TEST(SourceTag, FirstEightCharactersPaddedThenSlash) {
    EXPECT_EQ(tag_for("UNKNOWN"), "UNKNOWN /");
    EXPECT_EQ(tag_for("ABC"), "ABC     /");
    EXPECT_EQ(tag_for("ABCDEFGHIJ"), "ABCDEFGH/");
    EXPECT_EQ(tag_for("ABCDEFGH"), "ABCDEFGH/");
    EXPECT_EQ(tag_for(""), "        /");
    EXPECT_EQ(tag_for("A-name-much-longer-than-twenty-one"), "A-name-m/");
}

class ClientSetUp : public ::testing::Test {
protected:
    fake_platform fake;
};

TEST_F(ClientSetUp, FirstMessageSetsUpOnceAndReadsTheSwitchOnce) {
    EXPECT_EQ(fake.count("get_profile_int"), 0u);
    EXPECT_EQ(send("one"), 1);
    EXPECT_EQ(fake.count("get_profile_int Quonvel UseDebuggerOutput 0"), 1u);
    EXPECT_EQ(fake.count("register_window_message mHandleDebugMsg"), 1u);
    EXPECT_EQ(std::string(diag::client.source_tag), "UNKNOWN /");
    // A later change of the switch is not seen while the library stays loaded.
    fake.profile_value = 1;
    EXPECT_EQ(send("two"), 1);
    EXPECT_EQ(fake.count("get_profile_int"), 1u);
    EXPECT_EQ(fake.count("register_window_message"), 1u);
    EXPECT_TRUE(fake.debug_lines.empty());
}

TEST_F(ClientSetUp, WithoutALoggerTheFirstMessageCostsTwoOpensLaterOnesOne) {
    EXPECT_EQ(send("one"), 1);
    EXPECT_EQ(fake.count("open_file_mapping"), 2u);
    EXPECT_EQ(send("two"), 1);
    EXPECT_EQ(fake.count("open_file_mapping"), 3u);
    EXPECT_EQ(fake.count("open_event"), 0u);
    EXPECT_EQ(fake.open_handles(), 0);
}

TEST_F(ClientSetUp, DebuggerModeWritesTagTextAndCrLf) {
    fake.profile_value = 0xFFFFFFFF;  // any nonzero value, a negative one included
    EXPECT_EQ(send("first line"), 1);
    EXPECT_EQ(send("100% %s"), 1);
    EXPECT_EQ(fake.debug_lines, (std::vector<std::string>{"UNKNOWN /first line\r\n", "UNKNOWN /100% %s\r\n"}));
    // Set-up reads the mapping once; debugger mode never touches it again.
    EXPECT_EQ(fake.count("open_file_mapping"), 1u);
}

TEST_F(ClientSetUp, DebuggerModeShortensATextTooLongForItsBuffer) {
    fake.profile_value = 1;
    std::string text(5000, 'x');
    EXPECT_EQ(send(text.c_str()), 1);
    ASSERT_EQ(fake.debug_lines.size(), 1u);
    const std::string& out = fake.debug_lines[0];
    EXPECT_EQ(out.size(), diag::debugger_text_capacity - 1);
    EXPECT_EQ(out.substr(0, 9), "UNKNOWN /");
    EXPECT_EQ(out.substr(out.size() - 2), "\r\n");
}

TEST_F(ClientSetUp, FormatsFollowPrintfConventions) {
    fake.profile_value = 1;
    EXPECT_EQ(diag::DebugMsg("%d files, %s", 3, "done"), 1);
    EXPECT_EQ(fake.debug_lines, std::vector<std::string>{"UNKNOWN /3 files, done\r\n"});
}

// --- The handoff, message by message.

class Handoff : public ::testing::Test {
protected:
    fake_platform fake;
    void SetUp() override {
        fake.set_window(window);
        // Set-up happens at the first message; get it out of the way so
        // that each test sees one message's calls.
        fake.window_alive = false;
        send("set-up");
        fake.window_alive = true;
        fake.calls.clear();
        fake.mapping.assign(fake.mapping.size(), 0);
        fake.set_window(window);
    }
    const calls_t read_window = {"open_file_mapping 4 OvLoggerMappedFile", "map_view_of_file 4",
                                 "unmap_view_of_file", "close_handle mapping"};
    calls_t expect(calls_t tail) const {
        calls_t all = read_window;
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    }
};

TEST_F(Handoff, DeliversTagAndTextAndReleasesInOrder) {
    EXPECT_EQ(send("File Not Found: x"), 1);
    EXPECT_EQ(fake.calls, expect({"is_window A1B2C4", "open_event 1F0003 OvLoggerMapEvent",
                                  "wait map_event 2000", "reset_event map_event",
                                  "open_file_mapping 2 OvLoggerMappedFile", "map_view_of_file 2",
                                  "open_event 1F0003 OvLoggerDebugEvent", "is_window A1B2C4",
                                  "send_notify_message A1B2C4 C0DE 0 0", "wait debug_event 2000",
                                  "unmap_view_of_file", "close_handle mapping", "set_event map_event",
                                  "close_handle map_event", "close_handle debug_event"}));
    EXPECT_EQ(fake.area_text(), "UNKNOWN /File Not Found: x");
    // Bytes 0 to 3 belong to the logger.
    EXPECT_EQ(fake.mapping[0], 0xC4);
    EXPECT_EQ(fake.mapping[3], 0x00);
    EXPECT_EQ(diag::client.logger_window, window);
    EXPECT_EQ(fake.open_handles(), 0);
    EXPECT_EQ(fake.open_views(), 0);
}

TEST_F(Handoff, ZeroWindowMeansNoLogger) {
    fake.set_window(0);
    EXPECT_EQ(send("x"), 1);
    EXPECT_EQ(fake.calls, read_window);
    EXPECT_EQ(fake.area_text(), "");
}

TEST_F(Handoff, UnreadableMappingMeansNoLogger) {
    fake.fail_view_read = true;
    EXPECT_EQ(send("x"), 1);
    EXPECT_EQ(fake.calls, (calls_t{"open_file_mapping 4 OvLoggerMappedFile", "map_view_of_file 4",
                                   "close_handle mapping"}));
}

TEST_F(Handoff, StaleWindowTouchesNoEvent) {
    fake.window_alive = false;
    EXPECT_EQ(send("x"), 0);
    EXPECT_EQ(fake.calls, expect({"is_window A1B2C4"}));
}

TEST_F(Handoff, MissingMapEventDropsTheMessage) {
    fake.fail_open_map_event = true;
    EXPECT_EQ(send("x"), 0);
    EXPECT_EQ(fake.calls, expect({"is_window A1B2C4", "open_event 1F0003 OvLoggerMapEvent"}));
}

TEST_F(Handoff, BusyAreaLeavesTheEventAsItWas) {
    for (std::uint32_t outcome : {wait_timeout, wait_failed, 0x80u /* abandoned */}) {
        fake.calls.clear();
        fake.map_event_wait = outcome;
        EXPECT_EQ(send("x"), 0) << outcome;
        EXPECT_EQ(fake.calls, expect({"is_window A1B2C4", "open_event 1F0003 OvLoggerMapEvent",
                                      "wait map_event 2000", "close_handle map_event"}))
            << outcome;
        EXPECT_EQ(fake.area_text(), "");
    }
}

TEST_F(Handoff, MappingNotWritableReleasesTheArea) {
    fake.fail_open_mapping_write = true;
    EXPECT_EQ(send("x"), 0);
    EXPECT_EQ(fake.calls, expect({"is_window A1B2C4", "open_event 1F0003 OvLoggerMapEvent", "wait map_event 2000",
                                  "reset_event map_event", "open_file_mapping 2 OvLoggerMappedFile",
                                  "set_event map_event", "close_handle map_event"}));
}

TEST_F(Handoff, WriteViewFailingReleasesTheArea) {
    fake.fail_view_write = true;
    EXPECT_EQ(send("x"), 0);
    EXPECT_EQ(fake.calls, expect({"is_window A1B2C4", "open_event 1F0003 OvLoggerMapEvent", "wait map_event 2000",
                                  "reset_event map_event", "open_file_mapping 2 OvLoggerMappedFile",
                                  "map_view_of_file 2", "close_handle mapping", "set_event map_event",
                                  "close_handle map_event"}));
}

TEST_F(Handoff, MissingDebugEventReleasesEverything) {
    fake.fail_open_debug_event = true;
    EXPECT_EQ(send("x"), 0);
    EXPECT_EQ(fake.calls, expect({"is_window A1B2C4", "open_event 1F0003 OvLoggerMapEvent", "wait map_event 2000",
                                  "reset_event map_event", "open_file_mapping 2 OvLoggerMappedFile",
                                  "map_view_of_file 2", "open_event 1F0003 OvLoggerDebugEvent",
                                  "unmap_view_of_file", "close_handle mapping", "set_event map_event",
                                  "close_handle map_event"}));
    EXPECT_EQ(fake.area_text(), "");
}

TEST_F(Handoff, WindowGoneAfterWritingSkipsNotifyAndWait) {
    fake.window_answers = {1, 0};
    EXPECT_EQ(send("left behind"), 1);
    EXPECT_EQ(fake.count("send_notify_message"), 0u);
    EXPECT_EQ(fake.count("wait debug_event"), 0u);
    EXPECT_EQ(fake.count("set_event map_event"), 1u);
    EXPECT_EQ(fake.area_text(), "UNKNOWN /left behind");
    EXPECT_EQ(fake.open_handles(), 0);
}

TEST_F(Handoff, UnacknowledgedMessageStillSucceedsAndFreesTheArea) {
    fake.debug_event_wait = wait_timeout;
    EXPECT_EQ(send("x"), 1);
    EXPECT_EQ(fake.count("set_event map_event"), 1u);
    EXPECT_EQ(fake.count("set_event debug_event") + fake.count("reset_event debug_event"), 0u);
}

TEST_F(Handoff, FailedRegistrationNotifiesWithIdZero) {
    diag::reset_client_for_testing();
    fake.fail_register = true;
    EXPECT_EQ(send("x"), 1);
    EXPECT_EQ(fake.notifications, std::vector<std::uint32_t>{0});
}

TEST_F(Handoff, TextIsCutAtTheEndOfASmallMapping) {
    fake.set_window(window, 20);  // room for the tag and 6 characters
    EXPECT_EQ(send("0123456789"), 1);
    EXPECT_EQ(fake.area_text(), "UNKNOWN /012345");
    EXPECT_EQ(fake.mapping.back(), '\0');
}

TEST_F(Handoff, BytesBehindTheMessageAreLeftAlone) {
    fake.set_window(window, 64);
    std::fill(fake.mapping.begin() + 4, fake.mapping.end(), 0xAA);
    EXPECT_EQ(send("x"), 1);
    EXPECT_EQ(fake.area_text(), "UNKNOWN /x");
    const std::size_t end = 4 + std::string("UNKNOWN /x").size() + 1;  // behind the NUL
    for (std::size_t i = end; i < fake.mapping.size(); ++i) EXPECT_EQ(fake.mapping[i], 0xAA) << "byte " << i;
}

TEST_F(Handoff, MappingTooSmallForTheTagIsReleasedUnwritten) {
    fake.set_window(window, 12);
    EXPECT_EQ(send("x"), 0);
    EXPECT_EQ(fake.count("send_notify_message"), 0u);
    EXPECT_EQ(fake.count("set_event map_event"), 1u);
    EXPECT_EQ(fake.open_handles(), 0);
    EXPECT_EQ(fake.open_views(), 0);
}

TEST_F(Handoff, MappingTooSmallForTheWindowHandleMeansNoLogger) {
    fake.mapping.assign(3, 0xFF);
    EXPECT_EQ(send("x"), 1);
    EXPECT_EQ(fake.count("is_window"), 0u);
}

TEST_F(Handoff, WindowIsReadAfreshForEveryMessage) {
    EXPECT_EQ(send("x"), 1);
    fake.set_window(0x1234);
    fake.window_alive = false;
    EXPECT_EQ(send("y"), 0);
    EXPECT_EQ(diag::client.logger_window, 0x1234u);
}

}  // namespace
}  // namespace ov::test
