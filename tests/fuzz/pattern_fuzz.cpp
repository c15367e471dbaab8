// Fuzzes FileDeleteWC's handling of a pattern against a scripted platform:
// the directory prefix, the length limits, the composed line.  Whatever the
// bytes, the call must not write past a buffer, must hand deletion only
// paths made of the pattern's prefix and an entry's name, and must send at
// most one line of at most 255 characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_platform.h"
#include "ovdelete.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using ov::test::fake_platform;
    // The first byte picks the world, the rest is the pattern.
    std::uint8_t choice = size > 0 ? data[0] : 0;
    std::string pattern(reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0), size > 0 ? size - 1 : 0);
    pattern = pattern.c_str();  // up to the first NUL, as a host would pass it

    fake_platform fake;
    fake.profile_value = 1;
    std::string long_name(200 + choice % 60, 'n');
    fake.entries = {fake_platform::entry("a.tmp"), fake_platform::entry("dir", ov::attr_directory),
                    fake_platform::entry(long_name), fake_platform::entry("b%s%n.tmp")};
    if (choice & 1) fake.entries.clear();
    if (choice & 2) fake.delete_errors["b%s%n.tmp"] = choice;

    int result = FileDeleteWC(pattern.c_str());
    check(result == 0 || result == 1);
    check(fake.debug_lines.size() <= 1);
    check(result == 1 || fake.debug_lines.size() == 1);
    for (const auto& line : fake.debug_lines) check(line.size() <= 9 + 255 + 2);
    for (const auto& path : fake.deleted) {
        check(path.size() < ov::max_path);
        bool named = false;
        for (const auto& e : fake.entries) {
            std::size_t n = std::strlen(e.name);
            if (path.size() >= n && path.compare(path.size() - n, n, e.name) == 0 &&
                pattern.compare(0, path.size() - n, path, 0, path.size() - n) == 0)
                named = true;
        }
        check(named);
    }
    check(fake.open_handles() == 0);
    return 0;
}
