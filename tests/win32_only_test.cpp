// Cases that only Windows has, against the real Win32 backend and real
// directories (under Wine in the cross build): sharing violations, attribute
// bits on directories, and a registered message crossing processes.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "debug_client.h"
#include "ovdelete.h"
#include "fake_platform.h"
#include "tools_platform.h"
#include "test_support.h"

namespace ov::test {
namespace {

std::string refused_line(const std::string& name) { return "UNKNOWN /File Read Only or Hidden: " + name + "\r\n"; }

// The diagnostic line is caught on its way to the debugger-output stream.
class Win32Delete : public ::testing::Test {
protected:
    temp_dir dir;
    debugger_capture capture;
    std::vector<std::string>& lines = capture.lines;
};

TEST_F(Win32Delete, FileOpenWithoutShareDeleteIsRefusedAndReported) {
    for (const char* n : {"a.tmp", "b.tmp", "c.tmp"}) write_file(dir / n);
    const std::string held_path = (dir / "b.tmp").string();
    HANDLE opened = CreateFileA(held_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(opened, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    unique_handle held(opened);

    EXPECT_EQ(delete_file(held_path.c_str()), 0);
    EXPECT_EQ(sys.get_last_error(), err::sharing_violation);
    // a.tmp goes, b.tmp stops the walk, c.tmp is never reached.
    EXPECT_EQ(FileDeleteWC((dir.prefix() + "*.tmp").c_str()), 0);
    EXPECT_EQ(list_names(dir.path()), (std::vector<std::string>{"b.tmp", "c.tmp"}));
    EXPECT_EQ(lines, std::vector<std::string>{refused_line("b.tmp")});

    held.reset();
    EXPECT_EQ(delete_file(held_path.c_str()), 1);
}

// A directory whose attribute word is more than FILE_ATTRIBUTE_DIRECTORY is
// handed to deletion like a file, and DeleteFileA refuses directories.
struct directory_case {
    const char* name;
    DWORD attribute;
    std::uint32_t word;
};

// Names the case in the test's name.
void PrintTo(const directory_case& c, std::ostream* out) { *out << c.name; }

class Win32DirectoryAttributes : public Win32Delete, public ::testing::WithParamInterface<directory_case> {};

TEST_P(Win32DirectoryAttributes, DirectoryWithAFurtherBitIsRefusedAndReported) {
    const directory_case& c = GetParam();
    const std::string path = (dir / c.name).string();
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << "error " << GetLastError();
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), c.attribute)) << "error " << GetLastError();
    find_data entry{};
    unique_find find(sys.find_first_file(path.c_str(), &entry));
    ASSERT_TRUE(find) << "error " << sys.get_last_error();
    find.reset();
    if (entry.attributes != c.word) {
        GTEST_SKIP() << "this file system does not keep attribute 0x" << std::hex << c.attribute
                     << " on a directory (it reads 0x" << entry.attributes
                     << "); Wine keeps only the hidden and system bits of directories";
    }

    EXPECT_EQ(delete_file(path.c_str()), 0);
    EXPECT_EQ(sys.get_last_error(), err::access_denied);
    EXPECT_EQ(FileDeleteWC((dir.prefix() + "*").c_str()), 0);
    EXPECT_EQ(list_names(dir.path()), std::vector<std::string>{c.name});
    EXPECT_EQ(lines, std::vector<std::string>{refused_line(c.name)});
}

INSTANTIATE_TEST_SUITE_P(Attributes, Win32DirectoryAttributes,
                         ::testing::Values(directory_case{"readonly", FILE_ATTRIBUTE_READONLY, 0x11},
                                           directory_case{"archive", FILE_ATTRIBUTE_ARCHIVE, 0x30},
                                           directory_case{"hidden", FILE_ATTRIBUTE_HIDDEN, 0x12},
                                           directory_case{"system", FILE_ATTRIBUTE_SYSTEM, 0x14}),
                         [](const ::testing::TestParamInfo<directory_case>& info) {
                             return std::string(info.param.name);
                         });

// --- A registered message from another process.  The test plays the
// logger: it publishes the logger's objects and a message-only window, and
// ovhost, as the client, notifies it through SendNotifyMessageA.

class message_window {
public:
    message_window() : window_(create_message_window()) {}
    message_window(const message_window&) = delete;
    message_window& operator=(const message_window&) = delete;
    ~message_window() {
        if (window_ != 0) destroy_window(window_);
    }
    hwnd32 get() const { return window_; }

private:
    hwnd32 window_;
};

// A child that is killed if the test leaves before it ended.
class child_process {
public:
    explicit child_process(handle h) : h_(h) {}
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    ~child_process() {
        if (h_ == nullptr) return;
        int ignored = 0;
        if (wait_process(h_, 0, &ignored) != 1) stop_process(h_, true);
        close_process(h_);
    }
    handle get() const { return h_; }

private:
    handle h_;
};

TEST(Win32Notification, RegisteredMessageReachesAWindowOfAnotherProcess) {
    ASSERT_EQ(GetProfileIntA(diag::profile_section, diag::profile_key, 0), 0u)
        << "the profile sends the client's lines to the debugger, not to a logger";
    message_window window;
    ASSERT_NE(window.get(), 0u) << "error " << GetLastError();
    unique_handle mapping(create_file_mapping(diag::mapping_name, 4096));
    unique_handle area_free(create_event(diag::map_event_name, true, true));
    unique_handle taken(create_event(diag::debug_event_name, false, false));
    ASSERT_TRUE(mapping && area_free && taken) << "error " << GetLastError();
    unique_view view(mapping.get(), file_map_write);
    ASSERT_TRUE(view);
    const hwnd32 published = window.get();
    std::memcpy(view.data(), &published, sizeof published);  // little-endian, as the client reads it

    temp_dir files;
    const std::string pattern = files.prefix() + "*.none";
    const std::string program = program_path("ovhost").string();
    const std::string out = (files / "out").string(), err = (files / "err").string();
    const char* argv[] = {program.c_str(), "delete", pattern.c_str(), nullptr};
    child_process host(spawn_process(process_options{argv, out.c_str(), err.c_str(), nullptr}));
    ASSERT_NE(host.get(), nullptr) << "cannot start " << program << ", error " << GetLastError();

    std::uint32_t message = 0;
    ASSERT_EQ(get_window_message(window.get(), 20000, &message), 1) << "no notification arrived";
    const std::string text(reinterpret_cast<const char*>(view.data()) + diag::message_area_offset);
    SetEvent(taken.get());
    int exit_code = -1;
    EXPECT_EQ(wait_process(host.get(), 20000, &exit_code), 1);

    // The id is the session's registration of the name, whatever its case.
    EXPECT_GE(message, 0xC000u);
    EXPECT_EQ(message, RegisterWindowMessageA(diag::notify_message_name));
    EXPECT_EQ(message, RegisterWindowMessageA("MHANDLEDEBUGMSG"));
    EXPECT_EQ(text, "UNKNOWN /File Not Found: " + pattern);
    EXPECT_EQ(exit_code, 1) << "ovhost reports FileDeleteWC's 0 as exit status 1";
    EXPECT_EQ(WaitForSingleObject(area_free.get(), 0), WAIT_OBJECT_0) << "the client gave the area back";
}

}  // namespace
}  // namespace ov::test
