// The command line the three tools share: GNU long options in front of the
// operands, an option's value after '=' or as the next argument
// ("--count=3" or "--count 3"), "--" to end the options, --help (or -h)
// and --version, and usage errors that say what is wrong on standard
// error and exit with 2.  Options are not reordered: the first argument
// that is no option starts the operands, so what follows a command (an
// ovdbgview COMMAND, an ovhost PATTERN) is never read as an option.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ov::tools {

// Exit status of bad usage, in every tool.
inline constexpr int exit_usage = 2;

// What a tool says about itself.
struct program_text {
    // "ovlogger": --version prints it and the project's version.
    const char* name;
    // The usage lines, repeated on standard error after a usage error.
    const char* synopsis;
    // The whole of --help, printed on standard output.
    const char* help;
};

struct option {
    // With its dashes: "--count".
    const char* name;
    bool takes_value;
};

// Reads the options one at a time:
//
//     option_reader reader(program, argc, argv, table);
//     while (reader.next()) switch (reader.index()) { ... reader.value() ... }
//     if (reader.status() != option_reader::go_on) return reader.status();
//     ... the operands from argv[reader.operands()] on ...
class option_reader {
public:
    // status() while the run goes on.
    static constexpr int go_on = -1;

    template <std::size_t N>
    option_reader(const program_text& program, int argc, char** argv, const option (&table)[N]) noexcept
        : option_reader(program, argc, argv, table, N) {}
    option_reader(const program_text& program, int argc, char** argv, const option* table,
                  std::size_t count) noexcept;

    // True and the next option of the table; false once the options end
    // (at the first operand, after "--" or at the end of the arguments) or
    // the run is over: --help or --version answered, or a usage error
    // reported (status() tells which).
    bool next() noexcept;
    // The option next() read, as its index in the table.
    std::size_t index() const noexcept { return index_; }
    // Its value; nullptr for an option that takes none.  Never empty.
    const char* value() const noexcept { return value_; }
    // go_on, or the exit status the run ends with: 0 after --help or
    // --version, exit_usage after a usage error.
    int status() const noexcept { return status_; }
    // The index in argv of the first operand.
    int operands() const noexcept { return next_; }

    // Says "NAME: " and the problem on standard error, then the synopsis,
    // and returns exit_usage, which status() then gives as well.
    int usage_error(const char* format, ...) noexcept
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

private:
    bool finish(int status) noexcept;

    program_text program_;
    int argc_;
    char** argv_;
    const option* table_;
    std::size_t count_;
    int next_ = 1;
    std::size_t index_ = 0;
    const char* value_ = nullptr;
    int status_ = go_on;
};

// A count from 1 up to a billion in decimal digits only: no sign, blank or
// suffix.
bool parse_count(const char* text, std::uint64_t* count) noexcept;

}  // namespace ov::tools
