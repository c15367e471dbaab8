// Shared helpers for the test suites: real temporary directories and files,
// portable through std::filesystem so the same tests run on every backend.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ov::test {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with
// everything in it (read-only files included) when the object goes away.
class temp_dir {
public:
    temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    ~temp_dir();

    const fs::path& path() const { return path_; }
    // The directory as a pattern prefix with a trailing separator, in the
    // platform's preferred form.
    std::string prefix() const;
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

void write_file(const fs::path& path, const std::string& content = "x");
std::string read_file(const fs::path& path);
// Clears every write permission bit (the read-only attribute on Windows).
void make_read_only(const fs::path& path);
void make_writable(const fs::path& path);
// Names of the directory's entries, sorted, without "." and "..".
std::vector<std::string> list_names(const fs::path& dir);

// The directory holding the built programs and the library.
fs::path binary_dir();
fs::path program_path(const std::string& name);  // adds the platform's suffix

// A child process with its output captured in files of a temp_dir.
struct run_result {
    int exit_code = -1;
    bool finished = false;
    std::string out;
    std::string err;
};
// Runs argv (argv[0] a path) with extra "NAME=value" environment entries,
// waiting up to timeout_ms.  A child that overruns is killed and reported
// with finished == false.
run_result run(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
               std::uint32_t timeout_ms = 30000);

}  // namespace ov::test
