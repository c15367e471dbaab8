#include "test_support.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tools_platform.h"

namespace ov::test {

temp_dir::temp_dir() {
    static std::atomic<unsigned> counter{0};
    fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        fs::path candidate = base / ("ovdelete-test-" + std::to_string(current_process_id()) + "-" +
                                     std::to_string(counter++));
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory under " + base.string());
}

temp_dir::~temp_dir() {
    std::error_code ec;
    // Read-only entries must become writable before Windows lets them go.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string temp_dir::prefix() const {
    std::string p = path_.string();
    p += static_cast<char>(fs::path::preferred_separator);
    return p;
}

void write_file(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create " + path.string());
    out << content;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void make_read_only(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

void make_writable(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
}

std::vector<std::string> list_names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

fs::path binary_dir() {
    char buffer[4096];
    if (!executable_directory(buffer, sizeof buffer)) throw std::runtime_error("cannot find the test's directory");
    return fs::path(buffer);
}

fs::path program_path(const std::string& name) { return binary_dir() / (name + OV_EXE_SUFFIX); }

run_result run(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               std::uint32_t timeout_ms) {
    temp_dir capture;
    std::string out_path = (capture / "stdout").string();
    std::string err_path = (capture / "stderr").string();
    std::vector<const char*> args;
    for (const auto& a : argv) args.push_back(a.c_str());
    args.push_back(nullptr);
    std::vector<const char*> env;
    for (const auto& e : environment) env.push_back(e.c_str());
    env.push_back(nullptr);

    process_options options{args.data(), out_path.c_str(), err_path.c_str(), env.data()};
    // Wine has been seen to fail a CreateProcess once in a long run, without
    // a pattern; a start is tried three times, and each failure is shown.
    handle child = nullptr;
    for (int attempt = 0; child == nullptr && attempt < 3; ++attempt) {
        if (attempt > 0) sleep_ms(500);
        child = spawn_process(options);
        if (child == nullptr)
            std::fprintf(stderr, "cannot start %s (error %u)\n", argv.at(0).c_str(),
                         static_cast<unsigned>(sys.get_last_error()));
    }
    if (child == nullptr) throw std::runtime_error("cannot start " + argv.at(0));
    run_result result;
    int waited = wait_process(child, timeout_ms, &result.exit_code);
    if (waited != 1) {
        stop_process(child, true);
        wait_process(child, 5000, &result.exit_code);
    }
    result.finished = waited == 1;
    close_process(child);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

}  // namespace ov::test
