// The exports as a host sees them: the editor's argument template and the
// library's guard against null arguments.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_platform.h"
#include "ovdelete.h"

namespace ov::test {
namespace {

// A buffer pre-filled with a marker, so that a write past the text shows.
struct marked_buffer {
    char bytes[64];
    marked_buffer() { std::memset(bytes, '#', sizeof bytes); }
    std::string text() const { return std::string(bytes, strnlen(bytes, sizeof bytes)); }
};

TEST(PasteArgs, KnownNameGetsTheTemplateAndTheConstant) {
    marked_buffer out;
    EXPECT_EQ(PasteArgs("FileDeleteWC", out.bytes), 0x001D000F);
    EXPECT_EQ(out.text(), "FileDeleteWC( WildCard_String );");
    EXPECT_EQ(out.text().size(), 32u);
    EXPECT_EQ(out.bytes[33], '#');  // nothing written past the NUL
}

TEST(PasteArgs, KnownNameInAnyCaseKeepsTheCallersCase) {
    for (const char* name : {"filedeletewc", "FILEDELETEWC", "fILEdELETEwc"}) {
        marked_buffer out;
        EXPECT_EQ(PasteArgs(name, out.bytes), OVDELETE_PASTE_ARGS_KNOWN) << name;
        EXPECT_EQ(out.text(), std::string(name) + "( WildCard_String );");
    }
}

TEST(PasteArgs, OtherNamesAreCopiedAlone) {
    for (const char* name : {"", "FileDelete", "FileDeleteWCX", "PasteArgs", " FileDeleteWC"}) {
        marked_buffer out;
        EXPECT_EQ(PasteArgs(name, out.bytes), 0) << name;
        EXPECT_EQ(out.text(), name);
        EXPECT_EQ(out.bytes[std::strlen(name) + 1], '#');
    }
}

TEST(PasteArgs, NullArgumentsWriteNothing) {
    marked_buffer out;
    EXPECT_EQ(PasteArgs(nullptr, out.bytes), 0);
    EXPECT_EQ(out.bytes[0], '#');
    EXPECT_EQ(PasteArgs("FileDeleteWC", nullptr), 0);
}

TEST(FileDeleteWC, NullPatternFailsWithoutTouchingTheFileSystem) {
    fake_platform fake;
    EXPECT_EQ(FileDeleteWC(nullptr), 0);
    EXPECT_EQ(fake.count("delete_found_file"), 0u);
    EXPECT_EQ(fake.open_handles(), 0);
}

}  // namespace
}  // namespace ov::test
