// Wildcard deletion: the walk over the matches, the skip test, the error
// classification and the one diagnostic line, first against a scripted
// platform, then against the real backend and real directories.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "debug_client.h"
#include "fake_platform.h"
#include "file_delete.h"
#include "ovdelete.h"
#include "test_support.h"

namespace ov::test {
namespace {

constexpr char tag[] = "UNKNOWN /";

// The scripted world in debugger-output mode, so that each diagnostic line
// is captured whole.
class DeleteScripted : public ::testing::Test {
protected:
    fake_platform fake;
    void SetUp() override { fake.profile_value = 1; }
    std::vector<std::string> lines() const { return fake.debug_lines; }
    static std::string line(const std::string& text) { return tag + text + "\r\n"; }
};

TEST_F(DeleteScripted, NothingMatchedReportsThePatternAsGiven) {
    fake.find_error = err::path_not_found;
    EXPECT_EQ(FileDeleteWC("C:\\no\\such/*.TMP"), 0);
    EXPECT_EQ(lines(), std::vector<std::string>{line("File Not Found: C:\\no\\such/*.TMP")});
    EXPECT_EQ(fake.count("delete_found_file"), 0u);
}

TEST_F(DeleteScripted, EveryMatchIsDeletedUnderThePatternsDirectory) {
    fake.entries = {fake_platform::entry("a.log"), fake_platform::entry("b.log")};
    EXPECT_EQ(FileDeleteWC("C:\\data\\*.log"), 1);
    EXPECT_EQ(fake.deleted, (std::vector<std::string>{"C:\\data\\a.log", "C:\\data\\b.log"}));
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(fake.open_handles(), 0);
}

TEST_F(DeleteScripted, PrefixEndsAfterTheLastSeparatorOfEitherKind) {
    struct {
        const char* pattern;
        const char* expected;
    } cases[] = {
        {"dir\\sub/x*.tmp", "dir\\sub/x1.tmp"},
        {"dir/sub\\x*.tmp", "dir/sub\\x1.tmp"},
        {"*.tmp", "x1.tmp"},
        {"C:*.tmp", "C:x1.tmp"},
        {"/abs/x?.tmp", "/abs/x1.tmp"},
    };
    for (const auto& c : cases) {
        fake.deleted.clear();
        fake.entries = {fake_platform::entry("x1.tmp")};
        EXPECT_EQ(FileDeleteWC(c.pattern), 1) << c.pattern;
        EXPECT_EQ(fake.deleted, std::vector<std::string>{c.expected}) << c.pattern;
    }
}

TEST_F(DeleteScripted, PlainDirectoriesAreSkippedOthersAreHandedToDeletion) {
    fake.entries = {fake_platform::entry(".", attr_directory), fake_platform::entry("..", attr_directory),
                    fake_platform::entry("sub", attr_directory)};
    EXPECT_EQ(FileDeleteWC("d\\*"), 1);
    EXPECT_TRUE(fake.deleted.empty());
    EXPECT_TRUE(lines().empty());

    // A directory with any further bit, and files with hidden or system
    // bits, go to deletion like any file.
    fake.entries = {fake_platform::entry("ro", attr_directory | attr_readonly),
                    fake_platform::entry("arch", attr_directory | attr_archive),
                    fake_platform::entry(".hid", attr_archive | attr_hidden),
                    fake_platform::entry("sys", attr_archive | attr_system), fake_platform::entry("zero", 0)};
    EXPECT_EQ(FileDeleteWC("d\\*"), 1);
    EXPECT_EQ(fake.deleted, (std::vector<std::string>{"d\\ro", "d\\arch", "d\\.hid", "d\\sys", "d\\zero"}));
}

TEST_F(DeleteScripted, HiddenDotEntryRefusedEndsTheCall) {
    fake.entries = {fake_platform::entry(".", attr_directory | attr_hidden), fake_platform::entry("a")};
    fake.delete_errors["d\\."] = err::access_denied;
    EXPECT_EQ(FileDeleteWC("d\\*"), 0);
    EXPECT_EQ(lines(), std::vector<std::string>{line("File Read Only or Hidden: .")});
    EXPECT_TRUE(fake.deleted.empty());
}

TEST_F(DeleteScripted, FirstRefusalStopsTheWalkAndKeepsEarlierDeletions) {
    fake.entries = {fake_platform::entry("a.tmp"), fake_platform::entry("b.tmp", attr_archive | attr_readonly),
                    fake_platform::entry("c.tmp")};
    fake.delete_errors["D\\b.tmp"] = err::access_denied;
    EXPECT_EQ(FileDeleteWC("D\\*.tmp"), 0);
    EXPECT_EQ(fake.deleted, std::vector<std::string>{"D\\a.tmp"});
    EXPECT_EQ(fake.count("delete_found_file D\\c.tmp"), 0u);
    EXPECT_EQ(lines(), std::vector<std::string>{line("File Read Only or Hidden: b.tmp")});
    // The enumeration is closed before the line is sent.
    auto close = std::find(fake.calls.begin(), fake.calls.end(), "find_close");
    auto sent = std::find(fake.calls.begin(), fake.calls.end(), "output_debug_string");
    ASSERT_NE(close, fake.calls.end());
    EXPECT_LT(close, sent);
    EXPECT_EQ(fake.open_handles(), 0);
}

TEST_F(DeleteScripted, RefusalCodesAreClassifiedByTheAccessClass) {
    const std::uint32_t access_class[] = {5, 16, 19, 20, 21, 25, 32, 33, 36, 65, 82, 83, 108, 132, 158, 167};
    const std::uint32_t other[] = {1, 2, 3, 4, 15, 17, 18, 37, 64, 66, 81, 84, 123, 206, 1921};
    for (std::uint32_t code : access_class) {
        EXPECT_TRUE(del::is_access_class_error(code)) << code;
        fake.debug_lines.clear();
        fake.entries = {fake_platform::entry("f")};
        fake.delete_errors["x\\f"] = code;
        EXPECT_EQ(FileDeleteWC("x\\f"), 0);
        EXPECT_EQ(lines(), std::vector<std::string>{line("File Read Only or Hidden: f")}) << code;
    }
    for (std::uint32_t code : other) {
        EXPECT_FALSE(del::is_access_class_error(code)) << code;
        fake.debug_lines.clear();
        fake.entries = {fake_platform::entry("f")};
        fake.delete_errors["x\\f"] = code;
        EXPECT_EQ(FileDeleteWC("x\\f"), 0);
        EXPECT_EQ(lines(), std::vector<std::string>{line("File Not Found: f")}) << code;
    }
}

TEST_F(DeleteScripted, FailureWithoutAnErrorCodeCountsAsDeleted) {
    fake.entries = {fake_platform::entry("a"), fake_platform::entry("b")};
    fake.delete_errors["d/a"] = 0;
    EXPECT_EQ(FileDeleteWC("d/*"), 1);
    EXPECT_EQ(fake.count("delete_found_file"), 2u);
    EXPECT_TRUE(lines().empty());
}

TEST_F(DeleteScripted, EnumerationFailingWhileAdvancingEndsWithSuccess) {
    fake.entries = {fake_platform::entry("a"), fake_platform::entry("b"), fake_platform::entry("c")};
    fake.next_fails_after = 1;
    EXPECT_EQ(FileDeleteWC("d/*"), 1);
    EXPECT_EQ(fake.deleted, (std::vector<std::string>{"d/a", "d/b"}));
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(fake.open_handles(), 0);
}

TEST_F(DeleteScripted, PercentSignsInNamesArriveVerbatim) {
    fake.entries = {fake_platform::entry("100%s %d %n.tmp")};
    fake.delete_errors["d\\100%s %d %n.tmp"] = err::sharing_violation;
    EXPECT_EQ(FileDeleteWC("d\\*.tmp"), 0);
    EXPECT_EQ(lines(), std::vector<std::string>{line("File Read Only or Hidden: 100%s %d %n.tmp")});
}

TEST_F(DeleteScripted, NullPatternIsAnEmptyPattern) {
    EXPECT_EQ(FileDeleteWC(nullptr), 0);
    EXPECT_EQ(fake.calls.front(), "find_first_file ");
    EXPECT_EQ(lines(), std::vector<std::string>{line("File Not Found: ")});
}

TEST_F(DeleteScripted, OverlongPatternIsRefusedBeforeEnumerating) {
    std::string fits = "d\\" + std::string(257, 'p');  // 259 characters
    fake.find_error = err::file_not_found;
    FileDeleteWC(fits.c_str());
    EXPECT_EQ(fake.count("find_first_file"), 1u);

    std::string pattern = "d\\" + std::string(300, 'p');
    fake.calls.clear();
    fake.debug_lines.clear();
    EXPECT_EQ(FileDeleteWC(pattern.c_str()), 0);
    EXPECT_EQ(fake.count("find_first_file"), 0u);
    ASSERT_EQ(lines().size(), 1u);
    // 255 characters of line: cut, and marked as cut.
    std::string expected = std::string("File Not Found: ") + pattern;
    expected = expected.substr(0, 252) + "...";
    EXPECT_EQ(lines()[0], line(expected));
}

TEST_F(DeleteScripted, PathThatWouldNotFitIsNeverCutIntoAnotherName) {
    std::string prefix = "d\\" + std::string(200, 'p') + "\\";
    std::string name(100, 'n');
    fake.entries = {fake_platform::entry("short"), fake_platform::entry(name), fake_platform::entry("after")};
    EXPECT_EQ(FileDeleteWC((prefix + "*").c_str()), 0);
    EXPECT_EQ(fake.deleted, std::vector<std::string>{prefix + "short"});
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_EQ(lines()[0], line("File Not Found: " + name));
}

TEST_F(DeleteScripted, LongNameInTheLineIsShortenedToTheLineBuffer) {
    std::string name(259, 'q');
    fake.entries = {fake_platform::entry(name)};
    fake.delete_errors[name] = err::access_denied;
    EXPECT_EQ(FileDeleteWC("*"), 0);
    ASSERT_EQ(lines().size(), 1u);
    std::string text = lines()[0].substr(9, lines()[0].size() - 11);
    EXPECT_EQ(text.size(), 255u);
    EXPECT_EQ(text, ("File Read Only or Hidden: " + name).substr(0, 252) + "...");
}

TEST_F(DeleteScripted, PatternEndingInDotsNamesTheDirectoryNeverItsContents) {
    // The enumeration yields the directory itself, under its own name, which
    // does not live under the pattern's prefix: nothing is handed to
    // deletion.  A plain directory is skipped; one with any further bit is
    // refused as deletion refuses a directory.
    struct {
        const char* pattern;
        std::uint32_t attributes;
        int result;
        std::vector<std::string> lines;
    } cases[] = {
        {"d\\.hid\\.", attr_directory | attr_hidden, 0, {line("File Read Only or Hidden: .hid")}},
        {"d/sub/..", attr_directory, 1, {}},
        {".", attr_directory | attr_hidden, 0, {line("File Read Only or Hidden: .hid")}},
        {"d\\..", attr_directory | attr_readonly, 0, {line("File Read Only or Hidden: .hid")}},
    };
    for (const auto& c : cases) {
        fake.debug_lines.clear();
        fake.calls.clear();
        fake.entries = {fake_platform::entry(".hid", c.attributes)};
        EXPECT_EQ(FileDeleteWC(c.pattern), c.result) << c.pattern;
        EXPECT_EQ(fake.count("delete"), 0u) << c.pattern;
        EXPECT_EQ(lines(), c.lines) << c.pattern;
        EXPECT_EQ(fake.open_handles(), 0);
    }
}

// --- The real backend, real directories; the diagnostic line is caught on
// its way to the debugger-output stream.

class DeleteOnDisk : public ::testing::Test {
protected:
    const std::string sep{static_cast<char>(fs::path::preferred_separator)};
    temp_dir dir;
    debugger_capture capture;
    std::vector<std::string>& lines = capture.lines;
};

TEST_F(DeleteOnDisk, ReadOnlyFileStopsTheWalk) {
    for (const char* n : {"a.tmp", "b.tmp", "c.tmp", "keep.log"}) write_file(dir / n);
    make_read_only(dir / "b.tmp");
    EXPECT_EQ(FileDeleteWC((dir.prefix() + "*.tmp").c_str()), 0);
    EXPECT_EQ(list_names(dir.path()), (std::vector<std::string>{"b.tmp", "c.tmp", "keep.log"}));
    EXPECT_EQ(lines, std::vector<std::string>{"UNKNOWN /File Read Only or Hidden: b.tmp\r\n"});
}

TEST_F(DeleteOnDisk, MatchesAreDeletedAndDirectoriesKept) {
    for (const char* n : {"a.log", "B.LOG", "c.txt"}) write_file(dir / n);
    fs::create_directory(dir / "sub.log");
    EXPECT_EQ(FileDeleteWC((dir.prefix() + "*.log").c_str()), 1);
    EXPECT_EQ(list_names(dir.path()), (std::vector<std::string>{"c.txt", "sub.log"}));
    EXPECT_TRUE(lines.empty());
}

TEST_F(DeleteOnDisk, EverythingPatternSkipsDotEntriesAndSubdirectories) {
    write_file(dir / "one");
    fs::create_directory(dir / "inner");
    write_file(dir / "inner" / "kept");
    EXPECT_EQ(FileDeleteWC((dir.prefix() + "*").c_str()), 1);
    EXPECT_EQ(list_names(dir.path()), std::vector<std::string>{"inner"});
    EXPECT_EQ(list_names(dir / "inner"), std::vector<std::string>{"kept"});
}

TEST_F(DeleteOnDisk, MixedSeparatorsNameTheEntryFound) {
    fs::create_directory(dir / "sub");
    write_file(dir / "sub" / "x1.tmp");
    write_file(dir / "x1.tmp");  // must survive: it is not what the pattern names
    std::string pattern = dir.path().string() + "\\sub/x*.tmp";
    EXPECT_EQ(FileDeleteWC(pattern.c_str()), 1);
    EXPECT_TRUE(list_names(dir / "sub").empty());
    EXPECT_EQ(list_names(dir.path()), (std::vector<std::string>{"sub", "x1.tmp"}));
}

// "." or ".." as the last component names a directory; the entries named
// like it inside it, or inside its parent, are never touched.
TEST_F(DeleteOnDisk, DotComponentsNeverReachInsideTheDirectory) {
    fs::create_directories(dir / ".hid");
    write_file(dir / ".hid" / ".hid");
    fs::create_directories(dir / "two" / "sub");
    write_file(dir / "two" / "sub" / "two");
    EXPECT_EQ(FileDeleteWC((dir.prefix() + ".hid" + sep + ".").c_str()), 0);
    EXPECT_EQ(lines, std::vector<std::string>{"UNKNOWN /File Read Only or Hidden: .hid\r\n"});
    EXPECT_EQ(FileDeleteWC((dir.prefix() + "two" + sep + "sub" + sep + "..").c_str()), 1);
    EXPECT_EQ(list_names(dir / ".hid"), std::vector<std::string>{".hid"});
    EXPECT_EQ(list_names(dir / "two" / "sub"), std::vector<std::string>{"two"});
}

// A directory on the pattern's path, owned by someone else, is renamed
// after the first deletion and a link to the caller's own directory put in
// its place.  The walk goes on in the directory it enumerated (or the
// rename is refused): it never deletes in the link's target.
namespace swap_hook {
std::string swapped, target;
int deletions = 0;
std::error_code rename_error, link_error;
int (*real_delete)(handle, const char*, const char*) = nullptr;
int delete_then_swap(handle find, const char* path, const char* name) {
    int deleted = real_delete(find, path, name);
    if (++deletions == 1) {
        fs::rename(swapped, swapped + ".old", rename_error);
        if (!rename_error) fs::create_directory_symlink(target, swapped, link_error);
    }
    return deleted;
}
}  // namespace swap_hook

TEST_F(DeleteOnDisk, DirectorySwappedForALinkNeverRedirectsTheWalk) {
    const std::vector<std::string> names{"a", "b", "c", "d"};
    // The listed directory itself, then the one above it.
    for (const char* component : {"att/sub", "att"}) {
        temp_dir root;
        fs::create_directories(root / "att" / "sub");
        fs::create_directories(root / "mine" / "sub");
        for (const auto& n : names) {
            write_file(root / "att" / "sub" / n);
            write_file(root / "mine" / "sub" / n);
        }
        bool leaf = std::string(component) == "att/sub";
        swap_hook::swapped = (leaf ? root / "att" / "sub" : root / "att").string();
        swap_hook::target = (leaf ? root / "mine" / "sub" : root / "mine").string();
        swap_hook::deletions = 0;
        swap_hook::link_error.clear();
        swap_hook::real_delete = sys.delete_found_file;
        sys.delete_found_file = &swap_hook::delete_then_swap;
        int result = FileDeleteWC(((root / "att" / "sub").string() + sep + "*").c_str());
        sys.delete_found_file = swap_hook::real_delete;

        EXPECT_EQ(list_names(root / "mine" / "sub"), names) << component << ": the walk followed the link";
        EXPECT_EQ(result, 1) << component;
        EXPECT_FALSE(swap_hook::link_error) << component << ": " << swap_hook::link_error.message();
        // Every file of the enumerated directory went, wherever it is now.
        fs::path enumerated = swap_hook::rename_error ? root / "att" / "sub"
                              : leaf                  ? root / "att" / "sub.old"
                                                      : root / "att.old" / "sub";
        EXPECT_TRUE(list_names(enumerated).empty()) << component;
    }
}

TEST_F(DeleteOnDisk, NoMatchReportsThePattern) {
    std::string pattern = dir.prefix() + "*.none";
    EXPECT_EQ(FileDeleteWC(pattern.c_str()), 0);
    EXPECT_EQ(lines, std::vector<std::string>{"UNKNOWN /File Not Found: " + pattern + "\r\n"});
}

TEST_F(DeleteOnDisk, PercentInARealFileName) {
    write_file(dir / "50%s.tmp");
    make_read_only(dir / "50%s.tmp");
    EXPECT_EQ(FileDeleteWC((dir.prefix() + "*.tmp").c_str()), 0);
    EXPECT_EQ(lines, std::vector<std::string>{"UNKNOWN /File Read Only or Hidden: 50%s.tmp\r\n"});
}

}  // namespace
}  // namespace ov::test
