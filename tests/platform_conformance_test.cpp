// Conformance of the platform backends.  The same cases run on every backend
// through platform.h alone, with real temporary directories and real named
// objects, so that the code above the seam may rely on one behaviour: the
// Win32 behaviour that the win32 backend gets from Windows (or Wine) and
// that the posix backend reproduces.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tools_platform.h"
#include "test_support.h"

namespace ov {
namespace {

namespace fs = std::filesystem;
using test::temp_dir;
using test::write_file;
using namespace std::chrono_literals;

// ------------------------------------------------------------------ helpers

struct entry {
    std::string name;
    std::uint32_t attributes;
};

// Every entry a pattern yields, in enumeration order.  When the enumeration
// cannot begin, returns nothing and stores the error code.
std::vector<entry> enumerate(const std::string& pattern, std::uint32_t* error = nullptr) {
    std::vector<entry> entries;
    find_data data{};
    unique_find find(sys.find_first_file(pattern.c_str(), &data));
    if (!find) {
        if (error != nullptr) *error = sys.get_last_error();
        return entries;
    }
    do {
        entries.push_back({data.name, data.attributes});
    } while (sys.find_next_file(find.get(), &data));
    EXPECT_EQ(sys.get_last_error(), err::no_more_files) << "the enumeration of " << pattern << " ended early";
    return entries;
}

std::vector<std::string> names(const std::vector<entry>& entries, bool with_dots = false) {
    std::vector<std::string> result;
    for (const auto& e : entries)
        if (with_dots || (e.name != "." && e.name != "..")) result.push_back(e.name);
    return result;
}

std::uint32_t attributes_of(const temp_dir& dir, const std::string& name) {
    std::vector<entry> entries = enumerate(dir.prefix() + name);
    EXPECT_EQ(entries.size(), 1u) << name;
    return entries.empty() ? 0xFFFFFFFFu : entries[0].attributes;
}

// The code find_first_file fails with; a success is a test failure.
std::uint32_t find_error(const std::string& pattern) {
    find_data data{};
    unique_find find(sys.find_first_file(pattern.c_str(), &data));
    EXPECT_FALSE(find) << pattern << " unexpectedly yielded " << data.name;
    return find ? err::success : sys.get_last_error();
}

std::uint32_t delete_error(const std::string& path) {
    int deleted = delete_file(path.c_str());
    EXPECT_EQ(deleted, 0) << path << " was deleted";
    return deleted ? err::success : sys.get_last_error();
}

// Names no other test, run or process uses.
std::string unique_name(const std::string& what) {
    static std::atomic<unsigned> counter{0};
    return "OvConformance." + what + "." + std::to_string(current_process_id()) + "." +
           std::to_string(counter++);
}

bool on_posix_file_system() { return fs::path::preferred_separator == '/'; }

// ------------------------------------------------------------------ matching

TEST(PlatformFindMatching, StarMatchesAnyRunIncludingTheEmptyOne) {
    temp_dir dir;
    for (const char* n : {"ab.txt", "abc.txt", "abcd.log", "xab.txt"}) write_file(dir / n);
    EXPECT_EQ(names(enumerate(dir.prefix() + "ab*.txt")), (std::vector<std::string>{"ab.txt", "abc.txt"}));
    EXPECT_EQ(names(enumerate(dir.prefix() + "*b*.log")), (std::vector<std::string>{"abcd.log"}));
}

TEST(PlatformFindMatching, QuestionMarkMatchesExactlyOneCharacter) {
    temp_dir dir;
    for (const char* n : {"abc.txt", "aXc.txt", "ac.txt", "abbc.txt"}) write_file(dir / n);
    EXPECT_EQ(names(enumerate(dir.prefix() + "a?c.txt")), (std::vector<std::string>{"abc.txt", "aXc.txt"}));
}

TEST(PlatformFindMatching, IgnoresCaseAndReportsTheRealName) {
    temp_dir dir;
    write_file(dir / "Alpha.TXT");
    EXPECT_EQ(names(enumerate(dir.prefix() + "*.txt")), (std::vector<std::string>{"Alpha.TXT"}));
    EXPECT_EQ(names(enumerate(dir.prefix() + "ALPHA.txt")), (std::vector<std::string>{"Alpha.TXT"}));
    EXPECT_EQ(names(enumerate(dir.prefix() + "alp?A.*")), (std::vector<std::string>{"Alpha.TXT"}));
}

TEST(PlatformFindMatching, OtherCharactersAreLiteral) {
    temp_dir dir;
    for (const char* n : {"a[1].txt", "a1.txt", "a+b.txt", "aab.txt", "a^b.txt"}) write_file(dir / n);
    EXPECT_EQ(names(enumerate(dir.prefix() + "a[1].txt")), (std::vector<std::string>{"a[1].txt"}));
    EXPECT_EQ(names(enumerate(dir.prefix() + "a+b.*")), (std::vector<std::string>{"a+b.txt"}));
    EXPECT_EQ(names(enumerate(dir.prefix() + "*^*")), (std::vector<std::string>{"a^b.txt"}));
}

TEST(PlatformFindMatching, StarDotStarMatchesEveryName) {
    temp_dir dir;
    write_file(dir / "noext");
    write_file(dir / "with.ext");
    EXPECT_EQ(names(enumerate(dir.prefix() + "*.*")), (std::vector<std::string>{"noext", "with.ext"}));
}

TEST(PlatformFindMatching, MaskWithoutWildcardYieldsOneEntry) {
    temp_dir dir;
    write_file(dir / "exact.txt");
    write_file(dir / "exact.txt.bak");
    write_file(dir / "xexact.txt");
    std::vector<entry> entries = enumerate(dir.prefix() + "exact.txt");
    ASSERT_EQ(names(entries, true), (std::vector<std::string>{"exact.txt"}));
    EXPECT_EQ(entries[0].attributes, attr_archive);
}

TEST(PlatformFindMatching, DotEntriesComeFirstThenCaseInsensitiveOrder) {
    temp_dir dir;
    // '-' sorts before '.', and '_' between the upper- and lower-case
    // letters: only dots pinned first and an upper-case comparison give
    // this order.
    for (const char* n : {"b.t", "_c.t", "A.t", "a2.t", "-d.t"}) write_file(dir / n);
    std::vector<entry> entries = enumerate(dir.prefix() + "*");
    EXPECT_EQ(names(entries, true), (std::vector<std::string>{".", "..", "-d.t", "A.t", "a2.t", "b.t", "_c.t"}));
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[0].attributes & attr_directory, attr_directory);
    EXPECT_EQ(entries[1].attributes & attr_directory, attr_directory);
}

TEST(PlatformFindMatching, BothSeparatorsSeparateComponents) {
    temp_dir dir;
    fs::create_directory(dir / "sub");
    write_file(dir / "sub" / "f1.txt");
    const std::string root = dir.path().string();
    EXPECT_EQ(names(enumerate(root + "/sub\\f*.txt")), (std::vector<std::string>{"f1.txt"}));
    EXPECT_EQ(names(enumerate(root + "\\sub/f*.txt")), (std::vector<std::string>{"f1.txt"}));
}

TEST(PlatformFindMatching, PatternNamingADirectoryByDotsYieldsItsOwnEntry) {
    temp_dir dir;
    fs::create_directory(dir / "sub");
    write_file(dir / "file.txt");
    const std::string own = dir.path().filename().string();
    for (const std::string& pattern : {dir.prefix() + "sub\\..", dir.prefix() + ".", dir.prefix() + "sub/.."}) {
        std::vector<entry> entries = enumerate(pattern);
        ASSERT_EQ(entries.size(), 1u) << pattern;
        EXPECT_EQ(entries[0].name, own) << pattern;
        EXPECT_EQ(entries[0].attributes, attr_directory) << pattern;
    }
    std::vector<entry> entries = enumerate(dir.prefix() + "missing\\..\\*.txt");
    EXPECT_EQ(names(entries), std::vector<std::string>{"file.txt"});
}

TEST(PlatformFindErrors, NothingMatchingIsFileNotFound) {
    temp_dir dir;
    write_file(dir / "a.txt");
    EXPECT_EQ(find_error(dir.prefix() + "*.none"), err::file_not_found);
    EXPECT_EQ(find_error(dir.prefix() + "a.txtx"), err::file_not_found);
}

TEST(PlatformFindErrors, MissingDirectoryIsPathNotFound) {
    temp_dir dir;
    EXPECT_EQ(find_error(dir.prefix() + "missing" + "\\*.txt"), err::path_not_found);
    EXPECT_EQ(find_error(dir.prefix() + "missing" + "/*.txt"), err::path_not_found);
}

TEST(PlatformFindErrors, PatternEndingInSeparatorIsFileNotFound) {
    temp_dir dir;
    write_file(dir / "a.txt");
    EXPECT_EQ(find_error(dir.prefix()), err::file_not_found);
}

TEST(PlatformFindErrors, TooLongPatternIsRefused) {
    temp_dir dir;
    EXPECT_EQ(find_error(dir.prefix() + std::string(300, 'x') + "*"), err::filename_exced_range);
}

TEST(PlatformFindErrors, UnreadableDirectoryIsAccessDenied) {
    temp_dir dir;
    fs::path locked = dir / "locked";
    fs::create_directory(locked);
    write_file(locked / "a.txt");
    fs::permissions(locked, fs::perms::none);
    std::error_code ec;
    fs::directory_iterator probe(locked, ec);
    if (!ec) {
        fs::permissions(locked, fs::perms::owner_all);
        GTEST_SKIP() << "permissions do not keep this process out of a directory (a privileged user, or a "
                        "platform where they only set the read-only attribute)";
    }
    EXPECT_EQ(find_error(locked.string() + "/*"), err::access_denied);
    fs::permissions(locked, fs::perms::owner_all);
}

TEST(PlatformFindEnumeration, EndIsReportedAsNoMoreFiles) {
    temp_dir dir;
    write_file(dir / "only.txt");
    find_data data{};
    unique_find find(sys.find_first_file((dir.prefix() + "*.txt").c_str(), &data));
    ASSERT_TRUE(find);
    EXPECT_STREQ(data.name, "only.txt");
    EXPECT_EQ(sys.find_next_file(find.get(), &data), 0);
    EXPECT_EQ(sys.get_last_error(), err::no_more_files);
    EXPECT_EQ(sys.find_next_file(find.get(), &data), 0);
    EXPECT_EQ(sys.get_last_error(), err::no_more_files);
}

TEST(PlatformFindEnumeration, DeletingWhileEnumeratingVisitsEveryEntryOnce) {
    temp_dir dir;
    std::vector<std::string> expected;
    for (int i = 0; i < 40; ++i) {
        char n[16];
        format_text(n, sizeof n, "f%d.dat", 100 + i);
        write_file(dir / n);
        expected.push_back(n);
    }
    std::vector<std::string> seen;
    find_data data{};
    unique_find find(sys.find_first_file((dir.prefix() + "*.dat").c_str(), &data));
    ASSERT_TRUE(find);
    do {
        seen.push_back(data.name);
        EXPECT_EQ(delete_file((dir.prefix() + data.name).c_str()), 1) << data.name;
    } while (sys.find_next_file(find.get(), &data));
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(test::list_names(dir.path()).empty());
}

// ------------------------------------------------------------------ attributes

TEST(PlatformFindAttributes, FilesAndDirectories) {
    temp_dir dir;
    write_file(dir / "plain.txt");
    write_file(dir / "locked.txt");
    test::make_read_only(dir / "locked.txt");
    fs::create_directory(dir / "folder");
    EXPECT_EQ(attributes_of(dir, "plain.txt"), attr_archive);
    EXPECT_EQ(attributes_of(dir, "locked.txt"), attr_archive | attr_readonly);
    EXPECT_EQ(attributes_of(dir, "folder"), attr_directory);
}

TEST(PlatformFindAttributes, ReadOnlyDirectory) {
    temp_dir dir;
    fs::create_directory(dir / "folder");
    test::make_read_only(dir / "folder");
    fs::perms left = fs::status(dir / "folder").permissions();
    if ((left & (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write)) != fs::perms::none)
        GTEST_SKIP() << "this platform keeps no read-only mark on a directory";
    EXPECT_EQ(attributes_of(dir, "folder"), attr_directory | attr_readonly);
}

// ------------------------------------------------------------------ deletion

TEST(PlatformDeleteFile, RemovesTheFile) {
    temp_dir dir;
    write_file(dir / "gone.txt");
    write_file(dir / "kept.txt");
    EXPECT_EQ(delete_file((dir.prefix() + "gone.txt").c_str()), 1);
    EXPECT_EQ(test::list_names(dir.path()), (std::vector<std::string>{"kept.txt"}));
}

TEST(PlatformDeleteFile, AcceptsBothSeparators) {
    temp_dir dir;
    fs::create_directory(dir / "sub");
    write_file(dir / "sub" / "a.txt");
    write_file(dir / "sub" / "b.txt");
    const std::string root = dir.path().string();
    EXPECT_EQ(delete_file((root + "/sub\\a.txt").c_str()), 1);
    EXPECT_EQ(delete_file((root + "\\sub/b.txt").c_str()), 1);
    EXPECT_TRUE(test::list_names(dir / "sub").empty());
}

TEST(PlatformDeleteFile, MissingFileAndMissingDirectory) {
    temp_dir dir;
    EXPECT_EQ(delete_error(dir.prefix() + "missing.txt"), err::file_not_found);
    EXPECT_EQ(delete_error(dir.prefix() + "missing" + "\\a.txt"), err::path_not_found);
}

TEST(PlatformDeleteFile, DirectoryIsRefused) {
    temp_dir dir;
    fs::create_directory(dir / "folder");
    EXPECT_EQ(delete_error(dir.prefix() + "folder"), err::access_denied);
    EXPECT_TRUE(fs::is_directory(dir / "folder"));
}

TEST(PlatformDeleteFile, ReadOnlyFileIsRefusedWhoeverAsks) {
    temp_dir dir;
    write_file(dir / "locked.txt", "keep");
    test::make_read_only(dir / "locked.txt");
    EXPECT_EQ(delete_error(dir.prefix() + "locked.txt"), err::access_denied);
    EXPECT_EQ(test::read_file(dir / "locked.txt"), "keep");
}

TEST(PlatformDeleteFile, DotComponentsAreResolvedAsText) {
    temp_dir dir;
    write_file(dir / "a.txt");
    write_file(dir / "b.txt");
    // "missing\.." names the directory it stands in, whether or not
    // "missing" exists; "." names the directory itself.
    EXPECT_EQ(delete_file((dir.prefix() + "missing\\..\\a.txt").c_str()), 1);
    EXPECT_EQ(delete_file((dir.prefix() + ".\\b.txt").c_str()), 1);
    EXPECT_TRUE(test::list_names(dir.path()).empty());
}

TEST(PlatformDeleteFile, WildcardInTheNameIsAnInvalidName) {
    temp_dir dir;
    write_file(dir / "a.txt");
    EXPECT_EQ(delete_error(dir.prefix() + "*.txt"), err::invalid_name);
    EXPECT_EQ(delete_error(dir.prefix() + "?.txt"), err::invalid_name);
    EXPECT_EQ(test::list_names(dir.path()), (std::vector<std::string>{"a.txt"}));
}

TEST(PlatformDeleteFile, TooLongPathIsRefused) {
    temp_dir dir;
    EXPECT_EQ(delete_error(dir.prefix() + std::string(300, 'x')), err::filename_exced_range);
}

// ------------------------------------------------------------------ POSIX file system
//
// Symbolic links and dot-files: creating a link needs privileges on Windows,
// and Wine reports and deletes links its own way (it deletes a link's
// target), so these cases run where the backend sits on a POSIX file system.

TEST(PlatformPosixFileSystem, DotFilesAreHidden) {
    if (!on_posix_file_system()) GTEST_SKIP() << "Windows marks files hidden explicitly, not by their names";
    temp_dir dir;
    write_file(dir / ".hidden");
    fs::create_directory(dir / ".folder");
    EXPECT_EQ(attributes_of(dir, ".hidden"), attr_archive | attr_hidden);
    EXPECT_EQ(attributes_of(dir, ".folder"), attr_directory | attr_hidden);
}

TEST(PlatformPosixFileSystem, MaskWithoutWildcardPrefersTheExactSpelling) {
    if (!on_posix_file_system()) GTEST_SKIP() << "names differing only in case need a case-sensitive file system";
    temp_dir dir;
    for (const char* n : {"EXACT.txt", "exact.txt", "Exact.TXT"}) write_file(dir / n);
    if (test::list_names(dir.path()).size() != 3) GTEST_SKIP() << "this file system ignores case";
    EXPECT_EQ(names(enumerate(dir.prefix() + "exact.txt"), true), (std::vector<std::string>{"exact.txt"}));
    EXPECT_EQ(names(enumerate(dir.prefix() + "eXact.txt"), true), (std::vector<std::string>{"EXACT.txt"}));
}

TEST(PlatformPosixFileSystem, RootHasNoDotEntries) {
    if (!on_posix_file_system()) GTEST_SKIP() << "'/' stands for a drive's root on POSIX only";
    std::vector<std::string> root = names(enumerate("/*"), true);
    EXPECT_FALSE(root.empty());
    EXPECT_EQ(std::count(root.begin(), root.end(), "."), 0);
    EXPECT_EQ(std::count(root.begin(), root.end(), ".."), 0);
}

TEST(PlatformPosixFileSystem, LinkToFileIsRemovedNotItsTarget) {
    if (!on_posix_file_system()) GTEST_SKIP() << "symbolic links are a POSIX-only case here";
    temp_dir dir;
    write_file(dir / "target.txt", "data");
    fs::create_symlink(dir / "target.txt", dir / "link.txt");
    EXPECT_EQ(attributes_of(dir, "link.txt"), attr_reparse_point | attr_archive);
    EXPECT_EQ(delete_file((dir.prefix() + "link.txt").c_str()), 1);
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(dir / "link.txt")));
    EXPECT_EQ(test::read_file(dir / "target.txt"), "data");
}

TEST(PlatformPosixFileSystem, LinkToDirectoryIsRefusedAsADirectory) {
    if (!on_posix_file_system()) GTEST_SKIP() << "symbolic links are a POSIX-only case here";
    temp_dir dir;
    fs::create_directory(dir / "folder");
    write_file(dir / "folder" / "inside.txt");
    fs::create_directory_symlink(dir / "folder", dir / "link");
    EXPECT_EQ(attributes_of(dir, "link"), attr_reparse_point | attr_directory);
    // A directory link is a directory to DeleteFileA.
    EXPECT_EQ(delete_error(dir.prefix() + "link"), err::access_denied);
    EXPECT_EQ(test::list_names(dir.path()), (std::vector<std::string>{"folder", "link"}));
    EXPECT_EQ(test::list_names(dir / "folder"), (std::vector<std::string>{"inside.txt"}));
}

TEST(PlatformPosixFileSystem, BrokenLinkIsListedAndRemoved) {
    if (!on_posix_file_system()) GTEST_SKIP() << "symbolic links are a POSIX-only case here";
    temp_dir dir;
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    EXPECT_EQ(attributes_of(dir, "dangling"), attr_reparse_point | attr_archive);
    EXPECT_EQ(delete_file((dir.prefix() + "dangling").c_str()), 1);
    EXPECT_TRUE(test::list_names(dir.path()).empty());
}

// ------------------------------------------------------------------ mappings

TEST(PlatformFileMapping, OpeningAMissingNameIsFileNotFound) {
    EXPECT_EQ(sys.open_file_mapping(file_map_read, unique_name("none").c_str()), nullptr);
    EXPECT_EQ(sys.get_last_error(), err::file_not_found);
}

TEST(PlatformFileMapping, ViewsShareTheBytesAndReadViewsAreReadOnly) {
    const std::string name = unique_name("map");
    unique_handle created(create_file_mapping(name.c_str(), 5000));
    ASSERT_TRUE(created) << sys.get_last_error();
    EXPECT_EQ(sys.get_last_error(), err::success);
    unique_view writer(created.get(), file_map_write);
    ASSERT_TRUE(writer) << sys.get_last_error();
    // Windows reports the size rounded up to the page; never less.
    ASSERT_GE(writer.size(), 5000u);
    EXPECT_LT(writer.size(), 5000u + 65536u);
    writer.data()[0] = 0x5A;
    writer.data()[4999] = 0xA5;

    unique_handle reading(sys.open_file_mapping(file_map_read, name.c_str()));
    ASSERT_TRUE(reading) << sys.get_last_error();
    unique_view reader(reading.get(), file_map_read);
    ASSERT_TRUE(reader) << sys.get_last_error();
    ASSERT_GE(reader.size(), 5000u);
    EXPECT_EQ(reader.data()[0], 0x5A);
    EXPECT_EQ(reader.data()[4999], 0xA5);

    std::size_t size = 0;
    EXPECT_EQ(sys.map_view_of_file(reading.get(), file_map_write, &size), nullptr);
    EXPECT_EQ(sys.get_last_error(), err::access_denied);
}

TEST(PlatformFileMapping, CreatingAnExistingNameOpensIt) {
    const std::string name = unique_name("map");
    unique_handle first(create_file_mapping(name.c_str(), 4096));
    ASSERT_TRUE(first);
    unique_handle second(create_file_mapping(name.c_str(), 4096));
    ASSERT_TRUE(second);
    EXPECT_EQ(sys.get_last_error(), err::already_exists);
    unique_view a(first.get(), file_map_write);
    unique_view b(second.get(), file_map_write);
    ASSERT_TRUE(a && b);
    a.data()[100] = 42;
    EXPECT_EQ(b.data()[100], 42);
}

TEST(PlatformFileMapping, NameIsGoneWhenEveryHandleIsClosed) {
    const std::string name = unique_name("map");
    unique_handle created(create_file_mapping(name.c_str(), 4096));
    ASSERT_TRUE(created);
    unique_handle opened(sys.open_file_mapping(file_map_write, name.c_str()));
    ASSERT_TRUE(opened);
    opened.reset();
    created.reset();
    EXPECT_EQ(sys.open_file_mapping(file_map_read, name.c_str()), nullptr);
    EXPECT_EQ(sys.get_last_error(), err::file_not_found);
}

// ------------------------------------------------------------------ kinds

TEST(PlatformObjectKinds, ANameOfAnotherKindIsInvalidHandle) {
    const std::string map_name = unique_name("map");
    const std::string event_name = unique_name("event");
    unique_handle mapping(create_file_mapping(map_name.c_str(), 4096));
    unique_handle event(create_event(event_name.c_str(), true, false));
    ASSERT_TRUE(mapping && event);
    EXPECT_EQ(sys.open_event(event_all_access, map_name.c_str()), nullptr);
    EXPECT_EQ(sys.get_last_error(), err::invalid_handle);
    EXPECT_EQ(sys.open_file_mapping(file_map_read, event_name.c_str()), nullptr);
    EXPECT_EQ(sys.get_last_error(), err::invalid_handle);
}

TEST(PlatformObjectKinds, OperationsCheckTheHandlesKind) {
    unique_handle mapping(create_file_mapping(unique_name("map").c_str(), 4096));
    unique_handle event(create_event(unique_name("event").c_str(), true, true));
    ASSERT_TRUE(mapping && event);
    EXPECT_EQ(sys.set_event(mapping.get()), 0);
    EXPECT_EQ(sys.get_last_error(), err::invalid_handle);
    EXPECT_EQ(sys.reset_event(mapping.get()), 0);
    EXPECT_EQ(sys.get_last_error(), err::invalid_handle);
    std::size_t size = 0;
    EXPECT_EQ(sys.map_view_of_file(event.get(), file_map_read, &size), nullptr);
    EXPECT_EQ(sys.get_last_error(), err::invalid_handle);
    EXPECT_EQ(sys.close_handle(nullptr), 0);
    EXPECT_EQ(sys.get_last_error(), err::invalid_handle);
    // Windows checks a handle's rights before its kind, and a mapping's
    // handle has no right to be waited on.
    EXPECT_EQ(sys.wait_for_single_object(mapping.get(), 0), wait_failed);
    EXPECT_EQ(sys.get_last_error(), err::access_denied);
}

// ------------------------------------------------------------------ events

TEST(PlatformEvent, ManualResetStaysSignalledUntilReset) {
    unique_handle event(create_event(unique_name("event").c_str(), true, true));
    ASSERT_TRUE(event);
    EXPECT_EQ(sys.wait_for_single_object(event.get(), 0), wait_object_0);
    EXPECT_EQ(sys.wait_for_single_object(event.get(), 0), wait_object_0);
    EXPECT_EQ(sys.reset_event(event.get()), 1);
    EXPECT_EQ(sys.wait_for_single_object(event.get(), 0), wait_timeout);
    EXPECT_EQ(sys.set_event(event.get()), 1);
    EXPECT_EQ(sys.wait_for_single_object(event.get(), 0), wait_object_0);
    EXPECT_EQ(sys.wait_for_single_object(event.get(), 0), wait_object_0);
}

TEST(PlatformEvent, AutoResetIsConsumedByOneWait) {
    unique_handle event(create_event(unique_name("event").c_str(), false, false));
    ASSERT_TRUE(event);
    EXPECT_EQ(sys.wait_for_single_object(event.get(), 0), wait_timeout);
    EXPECT_EQ(sys.set_event(event.get()), 1);
    EXPECT_EQ(sys.wait_for_single_object(event.get(), 0), wait_object_0);
    EXPECT_EQ(sys.wait_for_single_object(event.get(), 0), wait_timeout);
}

TEST(PlatformEvent, TimeoutIsHonoured) {
    unique_handle event(create_event(unique_name("event").c_str(), true, false));
    ASSERT_TRUE(event);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sys.wait_for_single_object(event.get(), 200), wait_timeout);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 150ms);
    EXPECT_LT(elapsed, 5s);
}

TEST(PlatformEvent, OpenedHandleSharesTheState) {
    const std::string name = unique_name("event");
    unique_handle created(create_event(name.c_str(), true, false));
    ASSERT_TRUE(created);
    unique_handle opened(sys.open_event(event_all_access, name.c_str()));
    ASSERT_TRUE(opened) << sys.get_last_error();
    EXPECT_EQ(sys.set_event(opened.get()), 1);
    EXPECT_EQ(sys.wait_for_single_object(created.get(), 0), wait_object_0);
    EXPECT_EQ(sys.reset_event(created.get()), 1);
    EXPECT_EQ(sys.wait_for_single_object(opened.get(), 0), wait_timeout);
}

TEST(PlatformEvent, CreatingAnExistingNameKeepsItsState) {
    const std::string name = unique_name("event");
    unique_handle first(create_event(name.c_str(), true, true));
    ASSERT_TRUE(first);
    unique_handle second(create_event(name.c_str(), false, false));
    ASSERT_TRUE(second);
    EXPECT_EQ(sys.get_last_error(), err::already_exists);
    // Still manual-reset and signalled: the second call's arguments are ignored.
    EXPECT_EQ(sys.wait_for_single_object(second.get(), 0), wait_object_0);
    EXPECT_EQ(sys.wait_for_single_object(second.get(), 0), wait_object_0);
}

TEST(PlatformEvent, SetWakesAWaiterOnAnotherThread) {
    const std::string name = unique_name("event");
    unique_handle created(create_event(name.c_str(), false, false));
    ASSERT_TRUE(created);
    std::atomic<std::uint32_t> result{0xDEAD};
    std::chrono::steady_clock::duration waited{};
    std::thread waiter([&] {
        auto start = std::chrono::steady_clock::now();
        result = sys.wait_for_single_object(created.get(), 5000);
        waited = std::chrono::steady_clock::now() - start;
    });
    std::this_thread::sleep_for(100ms);
    unique_handle opened(sys.open_event(event_all_access, name.c_str()));
    ASSERT_TRUE(opened);
    EXPECT_EQ(sys.set_event(opened.get()), 1);
    waiter.join();
    EXPECT_EQ(result.load(), wait_object_0);
    EXPECT_LT(waited, 4s);
    // The waiter consumed the auto-reset signal.
    EXPECT_EQ(sys.wait_for_single_object(created.get(), 0), wait_timeout);
}

TEST(PlatformEvent, AutoResetReleasesOneWaiterPerSet) {
    unique_handle event(create_event(unique_name("event").c_str(), false, false));
    ASSERT_TRUE(event);
    std::atomic<int> released{0};
    auto wait = [&] {
        if (sys.wait_for_single_object(event.get(), 4000) == wait_object_0) ++released;
    };
    std::thread first(wait);
    std::thread second(wait);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sys.set_event(event.get()), 1);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(released.load(), 1);
    EXPECT_EQ(sys.set_event(event.get()), 1);
    first.join();
    second.join();
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(sys.wait_for_single_object(event.get(), 0), wait_timeout);
}

TEST(PlatformEvent, OpeningAMissingNameIsFileNotFound) {
    EXPECT_EQ(sys.open_event(event_all_access, unique_name("none").c_str()), nullptr);
    EXPECT_EQ(sys.get_last_error(), err::file_not_found);
}

// ------------------------------------------------------------------ window messages

TEST(PlatformRegisterWindowMessage, SameNameSameIdWhateverTheCase) {
    std::uint32_t id = sys.register_window_message("mOvConformanceMessage");
    EXPECT_GE(id, 0xC000u);
    EXPECT_LE(id, 0xFFFFu);
    EXPECT_EQ(sys.register_window_message("mOvConformanceMessage"), id);
    EXPECT_EQ(sys.register_window_message("MOVCONFORMANCEMESSAGE"), id);
    EXPECT_EQ(sys.register_window_message("movconformancemessage"), id);
    std::uint32_t other = sys.register_window_message("mOvConformanceOther");
    EXPECT_GE(other, 0xC000u);
    EXPECT_NE(other, id);
}

TEST(PlatformWindow, MessageRoundTripAndDestruction) {
    hwnd32 window = create_message_window();
    ASSERT_NE(window, 0u) << sys.get_last_error();
    EXPECT_NE(sys.is_window(window), 0);
    std::uint32_t id = sys.register_window_message("mOvConformanceMessage");
    ASSERT_EQ(sys.send_notify_message(window, id, 0, 0), 1) << sys.get_last_error();
    std::uint32_t received = 0;
    EXPECT_EQ(get_window_message(window, 2000, &received), 1);
    EXPECT_EQ(received, id);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get_window_message(window, 100, &received), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    destroy_window(window);
    EXPECT_EQ(sys.is_window(window), 0);
    EXPECT_EQ(sys.send_notify_message(window, id, 0, 0), 0);
    EXPECT_EQ(sys.get_last_error(), err::invalid_window_handle);
}

TEST(PlatformWindow, NoWindowIsNotAWindow) { EXPECT_EQ(sys.is_window(0), 0); }

// ------------------------------------------------------------------ profile

// A section of its own in the user's WIN.INI, written as raw text so that
// the reading rules meet the lines exactly as given, and removed again.
class profile_section {
public:
    explicit profile_section(const std::vector<std::string>& lines, const std::string& header = "") {
        char path[1024];
        if (!profile_file_path(path, sizeof path)) throw std::runtime_error("no profile path");
        path_ = path;
        fs::create_directories(path_.parent_path());
        std::string before = fs::exists(path_) ? test::read_file(path_) : std::string();
        std::ofstream out(path_, std::ios::binary | std::ios::app);
        if (!before.empty() && before.back() != '\n') out << "\r\n";
        out << (header.empty() ? "[" + name_ + "]" : header) << "\r\n";
        for (const auto& line : lines) out << line << "\r\n";
    }
    profile_section(const profile_section&) = delete;
    profile_section& operator=(const profile_section&) = delete;
    ~profile_section() { write_profile_string(name_.c_str(), nullptr, nullptr); }

    const std::string& name() const { return name_; }
    std::uint32_t get(const std::string& key, int default_value = 77) const {
        return sys.get_profile_int(name_.c_str(), key.c_str(), default_value);
    }

private:
    std::string name_ = unique_name("Profile");
    fs::path path_;
};

TEST(PlatformProfile, IntegerParsing) {
    profile_section section({"dec=12", "trailing=12abc", "letters=abc", "negative=-5", "plus=+7", "hex=0x1F",
                             "hexlower=0x1f", "hexupper=0X1F", "octal=0o17", "binary=0b101", "empty="});
    EXPECT_EQ(section.get("dec"), 12u);
    EXPECT_EQ(section.get("trailing"), 12u);
    EXPECT_EQ(section.get("letters"), 0u);
    EXPECT_EQ(section.get("negative"), 0xFFFFFFFBu);
    EXPECT_EQ(section.get("plus"), 7u);
    EXPECT_EQ(section.get("hex"), 31u);
    EXPECT_EQ(section.get("hexlower"), 31u);
    EXPECT_EQ(section.get("hexupper"), 0u);
    EXPECT_EQ(section.get("octal"), 15u);
    EXPECT_EQ(section.get("binary"), 5u);
    EXPECT_EQ(section.get("empty"), 77u);
    EXPECT_EQ(section.get("missing"), 77u);
    EXPECT_EQ(section.get("missing", -1), 0xFFFFFFFFu);
}

TEST(PlatformProfile, BlanksQuotesAndComments) {
    profile_section section({"  spaced   =   42   ", "double=\"43\"", "single='44'", "unmatched=\"45",
                             "comment=;46", "after=47 ; note", ";commented=48"});
    EXPECT_EQ(section.get("spaced"), 42u);
    EXPECT_EQ(section.get("double"), 43u);
    EXPECT_EQ(section.get("single"), 44u);
    EXPECT_EQ(section.get("unmatched"), 0u);
    // No inline comments: the ';' is part of the value.
    EXPECT_EQ(section.get("comment"), 0u);
    EXPECT_EQ(section.get("after"), 47u);
    EXPECT_EQ(section.get("commented"), 77u);
}

TEST(PlatformProfile, NamesIgnoreCaseAndTheFirstDuplicateWins) {
    profile_section section({"Value=5", "value=6", "VALUE=7"});
    EXPECT_EQ(section.get("value"), 5u);
    EXPECT_EQ(section.get("VALUE"), 5u);
    std::string upper = section.name();
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    EXPECT_EQ(sys.get_profile_int(upper.c_str(), "value", 77), 5u);
}

TEST(PlatformProfile, SectionHeaderBlanksAreIgnoredAndSectionsDoNotLeak) {
    profile_section other({"shared=99"});
    std::string name = unique_name("Profile");
    profile_section spaced({"own=3"}, "  [   " + name + "   ]  ");
    EXPECT_EQ(sys.get_profile_int(name.c_str(), "own", 77), 3u);
    EXPECT_EQ(sys.get_profile_int(name.c_str(), "shared", 77), 77u);
    EXPECT_EQ(other.get("own"), 77u);
    write_profile_string(name.c_str(), nullptr, nullptr);
}

TEST(PlatformProfile, WriteProfileStringSetsReplacesAndRemoves) {
    const std::string section = unique_name("Profile");
    ASSERT_EQ(write_profile_string(section.c_str(), "Key", "41"), 1);
    EXPECT_EQ(sys.get_profile_int(section.c_str(), "key", 77), 41u);
    ASSERT_EQ(write_profile_string(section.c_str(), "Other", "1"), 1);
    ASSERT_EQ(write_profile_string(section.c_str(), "KEY", "42"), 1);
    EXPECT_EQ(sys.get_profile_int(section.c_str(), "Key", 77), 42u);
    EXPECT_EQ(sys.get_profile_int(section.c_str(), "Other", 77), 1u);
    ASSERT_EQ(write_profile_string(section.c_str(), "Key", nullptr), 1);
    EXPECT_EQ(sys.get_profile_int(section.c_str(), "Key", 77), 77u);
    EXPECT_EQ(sys.get_profile_int(section.c_str(), "Other", 77), 1u);
    ASSERT_EQ(write_profile_string(section.c_str(), nullptr, nullptr), 1);
    EXPECT_EQ(sys.get_profile_int(section.c_str(), "Other", 77), 77u);
}

// ------------------------------------------------------------------ strings

TEST(PlatformCompareNoCase, OrdersWithoutRegardToCase) {
    EXPECT_EQ(compare_nocase("Alpha", "aLPHA"), 0);
    EXPECT_LT(compare_nocase("abc", "ABD"), 0);
    EXPECT_GT(compare_nocase("B", "a"), 0);  // 'B' < 'a' in bytes
    EXPECT_LT(compare_nocase("ab", "ABC"), 0);
}

}  // namespace
}  // namespace ov
