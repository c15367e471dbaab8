// The user's WIN.INI, with the reading rules of GetProfileIntA as Wine and
// Windows apply them:
//
// - Lines end at '\r' or '\n'.  Blanks (tab, line feed, vertical tab, form
//   feed, carriage return, ^Z and space) around a line, around a section
//   name inside its brackets, and around a key before its '=' are ignored;
//   so are the blanks after the '='.  A line that begins with '[' and holds
//   a ']' names a section (the text up to the last ']'); any other line is a
//   key, the text before its first '=' (or the whole line when it has none,
//   a key without a value).  There are no inline comments; a line beginning
//   with ';' is a key like any other, which no lookup of a real key meets.
// - Section and key names compare without regard to ASCII case.  Only the
//   first section of a name is searched, and the first key of a name in it
//   counts, even when it has no value.
// - A value enclosed in matching double or single quotes loses them.  As in
//   Wine, the value is read through a 30-character buffer: only its first
//   29 characters count (and of a quoted value of exactly 30 characters the
//   closing quote's place is cut, as Wine cuts it).
// - A missing file, section or key, a key without '=', and an empty value
//   give the default.  Otherwise the value is read as RtlUnicodeStringToInteger
//   reads it in base 0: leading characters up to ' ' skipped, an optional
//   sign, then "0x", "0o" or "0b" (lower case) for base 16, 8 or 2, base 10
//   otherwise; digits end at the first character that is not one, with no
//   overflow check (the low 32 bits are kept); a '-' negates in 32 bits.
//
// The reader uses fixed buffers on the stack and no stdio.  A line is kept
// up to 1023 characters after its leading blanks; what lies beyond is not
// read, though the line's end is still found for trimming and for quotes.
// A section header whose closing ']' lies beyond that limit names a section
// no lookup matches; section and key names of more than 255 characters are
// not looked up at all (the default comes back).
//
// Only a regular file is read (a symbolic link to one is followed), and at
// most 1 MiB of it, far above any real WIN.INI.  The reader runs inside the
// host's process at its first message, so the file must never make it wait
// or spin: it is opened without blocking (a FIFO without a writer would
// hold the open, a FIFO whose writer stays silent the first read, for
// ever), never as the host's controlling terminal, and judged by fstat on
// the descriptor it opened, so that nothing can be swapped in between the
// check and the read.  A FIFO, a socket, a device (/dev/zero never ends),
// a directory, a file that cannot be opened or read, and a file larger
// than the bound, by its size at the open or because it grew past the
// bound while being read, all count as a missing file: the default comes
// back, as GetProfileIntA gives it when it cannot read WIN.INI.  Windows
// has no such bound; it is this backend's protection of the host.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "backend.h"

namespace ov {

namespace {

constexpr std::size_t line_capacity = 1024;
constexpr std::size_t name_limit = 255;
constexpr std::size_t value_buffer = 30;
// The most of WIN.INI the reader takes in: a file larger than this reads
// as a missing one.
constexpr off_t profile_size_limit = off_t{1} << 20;

}  // namespace

namespace backend {

bool is_blank(char c) noexcept {
    auto u = static_cast<unsigned char>(c);
    return (u >= 0x09 && u <= 0x0d) || u == 0x1a || u == ' ';
}

}  // namespace backend

namespace {

using backend::is_blank;

unsigned char fold(char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

}  // namespace

namespace backend {

bool equal_nocase(const char* a, std::size_t a_length, const char* b, std::size_t b_length) noexcept {
    if (a_length != b_length) return false;
    for (std::size_t i = 0; i < a_length; ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

// [begin, end) without blanks at either end.
void trim(const char*& begin, const char*& end) noexcept {
    while (begin < end && is_blank(*begin)) ++begin;
    while (end > begin && is_blank(end[-1])) --end;
}

}  // namespace backend

namespace {

using backend::equal_nocase;
using backend::trim;

// RtlUnicodeStringToInteger with base 0.
std::uint32_t parse_integer(const char* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n && static_cast<unsigned char>(s[i]) <= ' ') ++i;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    std::uint32_t base = 10;
    if (n - i >= 2 && s[i] == '0') {
        if (s[i + 1] == 'b') base = 2;
        if (s[i + 1] == 'o') base = 8;
        if (s[i + 1] == 'x') base = 16;
        if (base != 10) i += 2;
    }
    std::uint32_t total = 0;
    for (; i < n; ++i) {
        char c = s[i];
        std::uint32_t digit = 99;
        if (c >= '0' && c <= '9') digit = static_cast<std::uint32_t>(c - '0');
        if (c >= 'a' && c <= 'z') digit = static_cast<std::uint32_t>(c - 'a' + 10);
        if (c >= 'A' && c <= 'Z') digit = static_cast<std::uint32_t>(c - 'A' + 10);
        if (digit >= base) break;
        total = total * base + digit;
    }
    return negative ? 0u - total : total;
}

// One line as the reader keeps it: its first bytes after the leading
// blanks, plus what it learnt about the rest.
struct line_state {
    char text[line_capacity];
    std::size_t kept = 0;         // bytes in text
    std::size_t length = 0;       // bytes seen after the leading blanks
    std::size_t content_end = 0;  // one past the last non-blank byte
    char last = '\0';             // that byte
    bool has_bracket = false;     // a ']' somewhere in the line
    std::size_t last_bracket = 0;
};

enum class search { before_section, in_section, finished };

class profile_reader {
public:
    // Keys before the first header belong to the unnamed section, which an
    // empty section name looks up.
    profile_reader(const char* section, std::size_t section_length, const char* key, std::size_t key_length)
        : section_(section),
          section_length_(section_length),
          key_(key),
          key_length_(key_length),
          state_(section_length == 0 ? search::in_section : search::before_section) {}

    void feed(const char* bytes, std::size_t n) {
        for (std::size_t i = 0; i < n && state_ != search::finished; ++i) {
            if (bytes[i] == '\r' || bytes[i] == '\n') end_line();
            else add(bytes[i]);
        }
    }

    // Whether the rest of the file can no longer change the answer.
    bool done() const { return state_ == search::finished; }

    // The value, once the whole file (or all it needed) has been fed.
    std::uint32_t result(int default_value) {
        end_line();
        if (!found_ || value_length_ == 0) return static_cast<std::uint32_t>(default_value);
        return parse_integer(value_, value_length_);
    }

private:
    void add(char c) {
        if (line_.length == 0 && is_blank(c)) return;
        if (line_.kept < line_capacity - 1) line_.text[line_.kept++] = c;
        if (c == ']') {
            line_.has_bracket = true;
            line_.last_bracket = line_.length;
        }
        ++line_.length;
        if (!is_blank(c)) {
            line_.content_end = line_.length;
            line_.last = c;
        }
    }

    void end_line() {
        if (line_.content_end != 0 && state_ != search::finished) {
            if (line_.text[0] == '[' && line_.has_bracket) section_line();
            else if (state_ == search::in_section) key_line();
        }
        line_ = line_state{};
    }

    void section_line() {
        bool matches = false;
        if (line_.last_bracket < line_.kept) {
            const char* begin = line_.text + 1;
            const char* end = line_.text + line_.last_bracket;
            trim(begin, end);
            matches = equal_nocase(begin, static_cast<std::size_t>(end - begin), section_, section_length_);
        }
        // Leaving the first section of the name ends the search.
        if (state_ == search::in_section) state_ = search::finished;
        else if (matches) state_ = search::in_section;
    }

    void key_line() {
        std::size_t visible = line_.content_end < line_.kept ? line_.content_end : line_.kept;
        const char* begin = line_.text;
        const char* equals = static_cast<const char*>(std::memchr(begin, '=', visible));
        // Without '=' the whole line is the key; when the line was cut
        // before any '=', the key is longer than any name looked up.
        if (equals == nullptr && line_.content_end > line_.kept) return;
        const char* name_end = equals != nullptr ? equals : begin + visible;
        const char* name_begin = begin;
        trim(name_begin, name_end);
        if (!equal_nocase(name_begin, static_cast<std::size_t>(name_end - name_begin), key_, key_length_)) return;
        state_ = search::finished;
        found_ = true;
        if (equals != nullptr) copy_value(equals + 1);
    }

    // PROFILE_CopyEntry into a 30-character buffer: the opening quote goes
    // when the value's last character is the same quote, the closing one
    // (or what stands in its place) when the value fits the buffer.
    void copy_value(const char* value) {
        const char* visible_end = line_.text + (line_.content_end < line_.kept ? line_.content_end : line_.kept);
        while (value < visible_end && is_blank(*value)) ++value;
        std::size_t full_length = line_.content_end - static_cast<std::size_t>(value - line_.text);
        if (value >= visible_end) return;
        bool quoted = (*value == '"' || *value == '\'') && full_length >= 2 && line_.last == *value;
        if (quoted) {
            ++value;
            --full_length;
        }
        std::size_t available = static_cast<std::size_t>(visible_end - value);
        std::size_t n = full_length < value_buffer - 1 ? full_length : value_buffer - 1;
        if (n > available) n = available;
        if (quoted && full_length <= value_buffer && n > 0) --n;
        std::memcpy(value_, value, n);
        value_length_ = n;
    }

    const char* section_;
    std::size_t section_length_;
    const char* key_;
    std::size_t key_length_;
    search state_;
    line_state line_;
    bool found_ = false;
    char value_[value_buffer] = {};
    std::size_t value_length_ = 0;
};

// Feeds the file to the reader; false when it is no regular file, cannot
// be read, or is larger than profile_size_limit.
bool read_profile(profile_reader& reader) {
    char path[4096];
    if (!backend::profile_path(path, sizeof path)) return false;
    backend::unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) return false;
    struct stat st {};
    bool readable = fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= profile_size_limit;
    off_t total = 0;
    char chunk[4096];
    bool first = true;
    while (readable && !reader.done()) {
        // Never more than one byte past the bound, which is enough to see
        // a file that grew past it.
        off_t left = profile_size_limit + 1 - total;
        std::size_t wanted = left < static_cast<off_t>(sizeof chunk) ? static_cast<std::size_t>(left) : sizeof chunk;
        ssize_t n = read(fd.get(), chunk, wanted);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) readable = false;
        if (n <= 0) break;
        total += n;
        if (total > profile_size_limit) {
            readable = false;
            break;
        }
        std::size_t skip = first && n >= 3 && std::memcmp(chunk, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
        first = false;
        reader.feed(chunk + skip, static_cast<std::size_t>(n) - skip);
    }
    return readable;
}

// A query name without its surrounding blanks, as Wine looks it up; false
// when it is too long to look up.
bool query_name(const char* name, const char** begin, std::size_t* length) {
    std::size_t n = bounded_length(name, line_capacity);
    if (n == line_capacity) return false;
    const char* end = name + n;
    *begin = name;
    trim(*begin, end);
    *length = static_cast<std::size_t>(end - *begin);
    return *length <= name_limit;
}

}  // namespace

namespace backend {

// ${XDG_CONFIG_HOME:-$HOME/.config}/win.ini; the XDG rules ignore a
// relative XDG_CONFIG_HOME.
int profile_path(char* buffer, std::size_t size) noexcept {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::size_t needed = 0;
    if (config != nullptr && config[0] == '/') {
        needed = format_text(buffer, size, "%s/win.ini", config);
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] == '\0') return 0;
        needed = format_text(buffer, size, "%s/.config/win.ini", home);
    }
    return needed < size;
}

std::uint32_t get_profile_int(const char* section, const char* key, int default_value) noexcept {
    const char* section_begin = nullptr;
    const char* key_begin = nullptr;
    std::size_t section_length = 0;
    std::size_t key_length = 0;
    if (section == nullptr || key == nullptr || !query_name(section, &section_begin, &section_length) ||
        !query_name(key, &key_begin, &key_length))
        return static_cast<std::uint32_t>(default_value);
    profile_reader reader(section_begin, section_length, key_begin, key_length);
    if (!read_profile(reader)) return static_cast<std::uint32_t>(default_value);
    return reader.result(default_value);
}

}  // namespace backend
}  // namespace ov
