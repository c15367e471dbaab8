#include "options.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace ov::tools {

option_reader::option_reader(const program_text& program, int argc, char** argv, const option* table,
                             std::size_t count) noexcept
    : program_(program), argc_(argc), argv_(argv), table_(table), count_(count) {}

bool option_reader::finish(int status) noexcept {
    status_ = status;
    return false;
}

bool option_reader::next() noexcept {
    if (status_ != go_on || next_ >= argc_) return false;
    const char* argument = argv_[next_];
    // "-" alone names standard input or a file called "-": an operand.
    if (argument[0] != '-' || argument[1] == '\0') return false;
    ++next_;
    if (std::strcmp(argument, "--") == 0) return false;
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
        std::fputs(program_.help, stdout);
        return finish(0);
    }
    if (std::strcmp(argument, "--version") == 0) {
        std::printf("%s %s\n", program_.name, OV_VERSION);
        return finish(0);
    }
    // "--name=value": the name is what comes before the first '='.
    const char* equals = argument[1] == '-' ? std::strchr(argument, '=') : nullptr;
    std::size_t name_length = equals != nullptr ? static_cast<std::size_t>(equals - argument) : std::strlen(argument);
    for (index_ = 0; index_ < count_; ++index_) {
        const char* name = table_[index_].name;
        if (std::strlen(name) == name_length && std::strncmp(name, argument, name_length) == 0) break;
    }
    bool known = index_ < count_ || (name_length == 6 && std::strncmp(argument, "--help", 6) == 0) ||
                 (name_length == 9 && std::strncmp(argument, "--version", 9) == 0);
    if (!known) {
        usage_error("unknown option '%.*s'", static_cast<int>(name_length), argument);
        return false;
    }
    if (index_ == count_ || !table_[index_].takes_value) {
        if (equals != nullptr) {
            usage_error("option '%.*s' takes no value", static_cast<int>(name_length), argument);
            return false;
        }
        value_ = nullptr;
        return true;
    }
    value_ = equals != nullptr ? equals + 1 : next_ < argc_ ? argv_[next_++] : nullptr;
    if (value_ == nullptr || value_[0] == '\0') {
        usage_error("option '%s' needs a value", table_[index_].name);
        return false;
    }
    return true;
}

int option_reader::usage_error(const char* format, ...) noexcept {
    std::fprintf(stderr, "%s: ", program_.name);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n%s(%s --help for more)\n", program_.synopsis, program_.name);
    status_ = exit_usage;
    return exit_usage;
}

bool parse_count(const char* text, std::uint64_t* count) noexcept {
    std::uint64_t value = 0;
    std::size_t n = 0;
    for (; text[n] != '\0'; ++n) {
        if (text[n] < '0' || text[n] > '9' || n >= 10) return false;
        value = value * 10 + static_cast<std::uint64_t>(text[n] - '0');
    }
    if (n == 0 || value == 0 || value > 1000000000) return false;
    *count = value;
    return true;
}

}  // namespace ov::tools
