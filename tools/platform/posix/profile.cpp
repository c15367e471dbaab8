// WriteProfileStringA for the tools and the tests, over the same WIN.INI and
// the same reading rules as the library's get_profile_int
// (platform/posix/profile.cpp): section and key names compare without
// regard to ASCII case, blanks around them do not count.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "backend.h"
#include "tools_platform.h"

namespace ov {

namespace {

using backend::equal_nocase;
using backend::trim;

// The file as lines without their terminators, and the terminator it uses.
struct profile_text {
    std::vector<std::string> lines;
    std::string eol = "\n";
};

// Reads the file into lines; a missing file is an empty one.  Returns 0 or
// an errno value.
int load_text(const char* path, profile_text& text) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : errno;
    std::string content;
    char chunk[4096];
    int error = 0;
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        content.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    if (content.find("\r\n") != std::string::npos) text.eol = "\r\n";
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        text.lines.push_back(line);
        start = end + 1;
    }
    return error;
}

std::string trimmed(const std::string& s) {
    const char* begin = s.data();
    const char* end = s.data() + s.size();
    trim(begin, end);
    return std::string(begin, end);
}

// The section a line opens, or false when it opens none.
bool section_name(const std::string& line, std::string* name) {
    std::string t = trimmed(line);
    std::size_t close = t.rfind(']');
    if (t.empty() || t[0] != '[' || close == std::string::npos) return false;
    *name = trimmed(t.substr(1, close - 1));
    return true;
}

bool names_equal(const std::string& a, const std::string& b) {
    return equal_nocase(a.data(), a.size(), b.data(), b.size());
}

std::string key_name(const std::string& line) {
    std::size_t equals = line.find('=');
    return trimmed(equals == std::string::npos ? line : line.substr(0, equals));
}

// Removes every section of the name, header and keys, and the blank lines
// that separated it from what came before when nothing follows.
void remove_section(profile_text& text, const std::string& section) {
    std::vector<std::string> kept;
    bool dropping = false;
    for (const auto& line : text.lines) {
        std::string name;
        if (section_name(line, &name)) dropping = names_equal(name, section);
        if (!dropping) kept.push_back(line);
    }
    while (!kept.empty() && trimmed(kept.back()).empty()) kept.pop_back();
    text.lines.swap(kept);
}

// The index of the line after the header of the first section of the name,
// or npos.
std::size_t find_section(const profile_text& text, const std::string& section) {
    for (std::size_t i = 0; i < text.lines.size(); ++i) {
        std::string name;
        if (section_name(text.lines[i], &name) && names_equal(name, section)) return i + 1;
    }
    return std::string::npos;
}

// Sets or removes key in the first section of the name, as Wine does; a new
// key goes after the section's last non-blank line, a new section at the
// end of the file.
void set_key(profile_text& text, const std::string& section, const std::string& key, const char* value) {
    std::string entry = key + "=" + (value != nullptr ? trimmed(std::string(value)) : std::string());
    std::size_t begin = find_section(text, section);
    if (begin == std::string::npos) {
        if (value == nullptr) return;
        if (!text.lines.empty() && !trimmed(text.lines.back()).empty()) text.lines.emplace_back();
        text.lines.push_back("[" + section + "]");
        text.lines.push_back(entry);
        return;
    }
    std::size_t insert_at = begin;
    for (std::size_t i = begin; i < text.lines.size(); ++i) {
        std::string name;
        if (section_name(text.lines[i], &name)) break;
        if (!trimmed(text.lines[i]).empty()) insert_at = i + 1;
        if (!names_equal(key_name(text.lines[i]), key)) continue;
        // The key keeps the spelling the file gave it, as in Wine.
        if (value == nullptr) text.lines.erase(text.lines.begin() + static_cast<std::ptrdiff_t>(i));
        else text.lines[i] = key_name(text.lines[i]) + entry.substr(key.size());
        return;
    }
    if (value != nullptr) text.lines.insert(text.lines.begin() + static_cast<std::ptrdiff_t>(insert_at), entry);
}

// Makes every missing directory above path, private to the user, as
// configuration directories are.
void make_parent_directories(const char* path) {
    std::string p(path);
    for (std::size_t slash = p.find('/', 1); slash != std::string::npos; slash = p.find('/', slash + 1))
        mkdir(p.substr(0, slash).c_str(), 0700);
}

bool write_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces the file in one step: written beside it, then renamed over it.
// Returns 0 or an errno value.
int store_text(const char* path, const profile_text& text) {
    std::string data;
    for (const auto& line : text.lines) data += line + text.eol;
    make_parent_directories(path);
    std::string temporary = std::string(path) + ".tmp." + std::to_string(getpid());
    struct stat st {};
    mode_t mode = stat(path, &st) == 0 ? (st.st_mode & 07777) : 0644;
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return errno;
    int error = write_all(fd, data) && fsync(fd) == 0 ? 0 : errno;
    close(fd);
    if (error == 0 && rename(temporary.c_str(), path) != 0) error = errno;
    if (error != 0) unlink(temporary.c_str());
    return error;
}

}  // namespace

int profile_file_path(char* buffer, std::size_t size) { return backend::profile_path(buffer, size); }

int profile_section_has_keys(const char* section) {
    char path[4096];
    if (section == nullptr || !profile_file_path(path, sizeof path)) return 0;
    try {
        profile_text text;
        if (load_text(path, text) != 0) return 0;
        std::size_t line = find_section(text, trimmed(section));
        for (; line < text.lines.size(); ++line) {
            std::string name;
            if (section_name(text.lines[line], &name)) return 0;
            if (!trimmed(text.lines[line]).empty()) return 1;
        }
    } catch (...) {
    }
    return 0;
}

// WriteProfileStringA, for the tools and the tests: the whole file is read,
// changed and written again (allocation is fine here).  A null key removes
// the section, a null value the key; other sections and keys, comments and
// blank lines are kept as they were.  Readers always see a whole file, but
// two writers at once may lose one's change, as two processes may with
// WriteProfileStringA.
int write_profile_string(const char* section, const char* key, const char* value) {
    char path[4096];
    std::uint32_t code = 0;
    if (section == nullptr) code = err::invalid_parameter;
    else if (!profile_file_path(path, sizeof path)) code = err::filename_exced_range;
    if (code == 0) {
        try {
            profile_text text;
            int error = load_text(path, text);
            if (error == 0 && key == nullptr) remove_section(text, trimmed(section));
            if (error == 0 && key != nullptr) set_key(text, trimmed(section), trimmed(key), value);
            if (error == 0) error = store_text(path, text);
            code = backend::translate_errno(error);
        } catch (...) {
            code = err::not_enough_memory;
        }
    }
    if (code != 0) {
        set_last_error(code);
        return 0;
    }
    return 1;
}

}  // namespace ov
