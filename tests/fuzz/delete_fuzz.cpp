// Fuzzes FileDeleteWC on the real backend in a small tree that the input
// builds in a sandbox directory: files (some read-only), directories (some
// read-only), symbolic links to files and directories inside the sandbox,
// to a sibling directory "outside" and to nothing, names with odd bytes,
// and a pattern below the sandbox that cannot climb out of it.  The input
// may also attack the tree after the k-th deletion: a directory is renamed
// and a link to "outside" put in its place, which must not lead any later
// deletion there.
//
// What must hold: the result is 0 or 1, with one diagnostic line exactly
// when it is 0; nothing in "outside" changed; every entry that went was a
// file or a link (never a directory, never a read-only file) that the
// enumeration yielded, in the directory it listed, and that the pattern's
// mask matches by the documented rules, checked here with a matcher of its
// own.
#include <dirent.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "ovdelete.h"
#include "tools_platform.h"

namespace {

std::string base;  // holds "box", the sandbox rebuilt for each input, and "outside"
std::string box;
std::string outside;

// ---------------------------------------------------------------- trees

// One entry as its directory holds it, links not followed.
struct seen {
    ino_t parent;
    std::string name;
    mode_t mode;
    std::string content;  // a file's bytes or a link's target
    bool operator==(const seen&) const = default;
};
using listing = std::map<ino_t, seen>;

void walk(int directory, const char* name, ino_t parent, listing& out) {
    struct stat st {};
    if (fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    seen& entry = out[st.st_ino] = seen{parent, name, st.st_mode, {}};
    char buffer[4096];
    if (S_ISLNK(st.st_mode)) {
        ssize_t n = readlinkat(directory, name, buffer, sizeof buffer);
        entry.content.assign(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    } else if (S_ISREG(st.st_mode)) {
        int fd = openat(directory, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        ssize_t n = fd >= 0 ? read(fd, buffer, sizeof buffer) : -1;
        entry.content.assign(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        if (fd >= 0) close(fd);
    } else if (S_ISDIR(st.st_mode)) {
        DIR* d = fdopendir(openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (d == nullptr) return;
        while (const dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                walk(dirfd(d), e->d_name, st.st_ino, out);
        closedir(d);
    }
}

void remove_tree(int directory, const char* name);

// A failure leaves nothing behind either: its input rebuilds the tree.
void check(bool condition) {
    if (condition) return;
    remove_tree(AT_FDCWD, base.c_str());
    std::abort();
}

void remove_tree(int directory, const char* name) {
    struct stat st {};
    if (fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        unlinkat(directory, name, 0);
        return;
    }
    fchmodat(directory, name, 0700, 0);  // a read-only directory's entries must go too
    if (DIR* d = fdopendir(openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))) {
        std::vector<std::string> names;
        while (const dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
        for (const auto& n : names) remove_tree(dirfd(d), n.c_str());
        closedir(d);
    }
    unlinkat(directory, name, AT_REMOVEDIR);
}

// Everything below base but "outside": the sandbox, and whatever an attack
// renamed it to.
listing sandbox_listing() {
    listing out;
    DIR* d = opendir(base.c_str());
    while (const dirent* e = d != nullptr ? readdir(d) : nullptr)
        if (e->d_name[0] != '.' && std::strcmp(e->d_name, "outside") != 0) walk(dirfd(d), e->d_name, 0, out);
    if (d != nullptr) closedir(d);
    return out;
}

listing outside_listing() {
    listing out;
    walk(AT_FDCWD, outside.c_str(), 0, out);
    return out;
}

void clear_sandbox() {
    DIR* d = opendir(base.c_str());
    std::vector<std::string> names;
    while (const dirent* e = d != nullptr ? readdir(d) : nullptr)
        if (e->d_name[0] != '.' && std::strcmp(e->d_name, "outside") != 0) names.emplace_back(e->d_name);
    for (const auto& n : names) remove_tree(dirfd(d), n.c_str());
    if (d != nullptr) closedir(d);
}

bool write_file(const std::string& path, const std::string& content, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return false;
    check(write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
    close(fd);
    return true;
}

// ---------------------------------------------------------------- matching

// The rules the enumeration documents, by plain backtracking: '*' any run,
// '?' one character, anything else itself without regard to ASCII case;
// once the name is used up only '*' and '.' may be left in the mask.
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool matches(const char* mask, const char* name) {
    if (*name == '\0') return mask[std::strspn(mask, "*.")] == '\0';
    if (*mask == '*') return matches(mask + 1, name) || matches(mask, name + 1);
    if (*mask == '?' || (*mask != '\0' && upper(*mask) == upper(*name))) return matches(mask + 1, name + 1);
    return false;
}

// ---------------------------------------------------------------- one run

// What the enumeration yielded, and the attack to make.
std::set<std::string> yielded;
int deletions = 0;
int attack_after = 0;
std::string attack_path;
ov::syscalls real;

void record(int found, const ov::find_data* entry) {
    if (found) yielded.insert(entry->name);
}
ov::handle first_hook(const char* pattern, ov::find_data* out) {
    ov::handle h = real.find_first_file(pattern, out);
    record(h != nullptr, out);
    return h;
}
int next_hook(ov::handle find, ov::find_data* out) {
    int found = real.find_next_file(find, out);
    record(found, out);
    return found;
}
int delete_hook(ov::handle find, const char* path, const char* name) {
    int removed = real.delete_found_file(find, path, name);
    if (++deletions == attack_after && rename(attack_path.c_str(), (attack_path + ".+").c_str()) == 0)
        check(symlink(outside.c_str(), attack_path.c_str()) == 0);
    return removed;
}

// A name of one to four bytes: mostly from a small alphabet, so that names
// meet each other, the masks and the names in "outside"; bytes from 0xC0
// up stay as they are.
std::string make_name(FuzzedDataProvider& in) {
    static constexpr char alphabet[] = "aAbB.~ _\\*?\x01\n";
    std::string name;
    for (auto n = in.ConsumeIntegralInRange(1, 4); n > 0; --n) {
        auto b = in.ConsumeIntegral<std::uint8_t>();
        name += b >= 0xC0 ? static_cast<char>(b) : alphabet[b % (sizeof alphabet - 1)];
    }
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Even in debugger-output mode the client looks for the logger's
    // mapping: in a set of objects of this process's own, never the user's.
    setenv("OVDELETE_NAMESPACE", ("fuzz.delete." + std::to_string(getpid())).c_str(), 1);
    struct stat st {};
    const char* temp = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    base = std::string(temp) + "/ovdelete-delete-fuzz-" + std::to_string(getpid());
    char real_base[PATH_MAX];
    check(mkdir(base.c_str(), 0700) == 0 && realpath(base.c_str(), real_base) != nullptr);
    base = real_base;  // links are told inside from outside by their resolved paths
    box = base + "/box";
    outside = base + "/outside";
    check(mkdir(outside.c_str(), 0755) == 0 && mkdir((outside + "/d").c_str(), 0755) == 0);
    for (const char* name : {"a", "B.tmp", ".a", "a b", "d/a"}) write_file(outside + "/" + name, name, 0644);
    std::atexit([] { remove_tree(AT_FDCWD, base.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const listing outside_before = outside_listing();
    FuzzedDataProvider in(data, size);
    check(mkdir(box.c_str(), 0755) == 0);

    // The tree.  Paths are relative to the box; directories end in '/'.
    std::vector<std::string> directories{""}, entries{""}, pattern_directories{""}, read_only;
    for (auto n = in.ConsumeIntegralInRange(0, 10); n > 0; --n) {
        std::string relative = directories[in.ConsumeIntegralInRange<std::size_t>(0, directories.size() - 1)];
        relative += make_name(in);
        std::string path = box + "/" + relative;
        std::string inside = box + "/" + entries[in.ConsumeIntegralInRange<std::size_t>(0, entries.size() - 1)];
        const int kind = in.ConsumeIntegralInRange(0, 7);
        bool made = false;
        switch (kind) {
            case 0:
            case 1: made = write_file(path, relative, kind == 0 ? 0644 : 0444); break;
            case 2:
                made = mkdir(path.c_str(), 0755) == 0;
                if (!made) break;
                directories.push_back(relative + "/");
                pattern_directories.push_back(relative + "/");
                if (in.ConsumeBool()) read_only.push_back(path);
                break;
            case 3: made = symlink(inside.c_str(), path.c_str()) == 0; break;
            case 4: made = symlink(outside.c_str(), path.c_str()) == 0; break;
            case 5: made = symlink((outside + "/a").c_str(), path.c_str()) == 0; break;
            case 6: made = symlink((box + "/missing").c_str(), path.c_str()) == 0; break;
            default: made = symlink(".", path.c_str()) == 0; break;  // its own directory
        }
        if (!made) continue;
        entries.push_back(relative);
        // A link that ends, through any further links, at a directory inside
        // the box may lead the pattern there.
        char target[PATH_MAX];
        struct stat st {};
        if ((kind == 3 || kind == 7) && realpath(path.c_str(), target) != nullptr &&
            (target == box || std::string(target).starts_with(box + "/")) && stat(target, &st) == 0 &&
            S_ISDIR(st.st_mode) && in.ConsumeBool())
            pattern_directories.push_back(relative + "/");
    }
    for (const auto& path : read_only) chmod(path.c_str(), 0555);

    // The pattern: a directory of the box, '\' or '/' between components,
    // then a mask without separators.
    std::string directory =
        pattern_directories[in.ConsumeIntegralInRange<std::size_t>(0, pattern_directories.size() - 1)];
    if (in.ConsumeBool()) directory = "./" + directory;
    const char separator = in.ConsumeBool() ? '\\' : '/';
    attack_after = in.ConsumeIntegralInRange(0, 3);
    attack_path = box + "/" + directories[in.ConsumeIntegralInRange<std::size_t>(0, directories.size() - 1)];
    attack_path.pop_back();  // the '/' behind the directory, or behind the box
    std::string mask = in.ConsumeRandomLengthString(16).c_str();
    for (char& c : mask)
        if (c == '/' || c == '\\') c = '*';
    // The backend reads '\' in a directory's name as a separator too; a
    // name like "x\.." would then climb out of the box.  Such inputs are
    // left alone.
    std::string native = directory;
    for (char& c : native)
        if (c == '\\') c = '/';
    bool climbs = false;
    for (std::size_t at = 0; at < native.size();) {
        std::size_t end = native.find('/', at);
        climbs = climbs || native.compare(at, end - at, "..") == 0;
        if (end == std::string::npos) break;
        at = end + 1;
    }
    std::string pattern = box + separator + directory + mask;
    for (std::size_t i = box.size(); i < pattern.size() - mask.size(); ++i)
        if (pattern[i] == '/') pattern[i] = separator;
    if (climbs) {
        clear_sandbox();
        return 0;
    }
    struct stat listed {};
    if (stat((box + "/" + native).c_str(), &listed) != 0 || !S_ISDIR(listed.st_mode)) listed.st_ino = 0;

    const listing before = sandbox_listing();
    yielded.clear();
    deletions = 0;
    int result = 0;
    std::size_t lines = 0;
    {
        ov::test::debugger_capture capture;
        real = ov::sys;
        ov::sys.find_first_file = &first_hook;
        ov::sys.find_next_file = &next_hook;
        ov::sys.delete_found_file = &delete_hook;
        result = FileDeleteWC(pattern.c_str());
        lines = capture.lines.size();
    }
    const listing after = sandbox_listing();

    check(result == 0 || result == 1);
    check(lines == (result == 0 ? 1u : 0u));
    check(outside_listing() == outside_before);
    const std::string stripped = mask.substr(0, mask.find_last_not_of(". ") + 1);
    for (const auto& [inode, entry] : before) {
        if (after.count(inode) != 0) continue;
        check(!S_ISDIR(entry.mode));
        check(!S_ISREG(entry.mode) || (entry.mode & 0222) != 0);
        check(entry.parent == listed.st_ino);
        check(yielded.count(entry.name) == 1);
        check(matches(stripped.c_str(), entry.name.c_str()));
    }
    clear_sandbox();
    return 0;
}
