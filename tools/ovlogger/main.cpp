// ovlogger: receives OVDELETE's diagnostic messages and prints each as one
// line on standard output.
#include <cstdio>
#include <cstring>

#include "logger.h"

namespace {

constexpr char usage_text[] =
    "usage: ovlogger [--count N]\n"
    "\n"
    "Creates the objects through which OVDELETE hands over its diagnostic\n"
    "messages (the mapping OvLoggerMappedFile, the events OvLoggerMapEvent\n"
    "and OvLoggerDebugEvent, a window for the message mHandleDebugMsg) and\n"
    "writes every message as one line on standard output, control bytes\n"
    "shown as \\n, \\r, \\t or \\xNN.  Says \"ready\" on standard error once\n"
    "clients can reach it.  Objects left behind by a logger that died are\n"
    "taken over; while another logger runs, this one refuses to start.  A\n"
    "message area left held by a client that died or stalled is taken back\n"
    "after 3000 ms, with a line on standard error.\n"
    "\n"
    "  --count N   exit after N messages (N >= 1)\n"
    "  --place     print where the objects live and exit (a directory on\n"
    "              Linux; the session's namespace on Windows)\n"
    "  --help      show this text\n"
    "\n"
    "Stops cleanly on Ctrl+C or a termination request.  Exit status: 0 after\n"
    "a clean stop, 1 when the objects cannot be set up or another logger\n"
    "runs, 2 for bad usage.\n";

int usage_error(const char* problem, const char* argument) {
    std::fprintf(stderr, "ovlogger: %s%s\n", problem, argument);
    std::fputs("usage: ovlogger [--count N]   (ovlogger --help for more)\n", stderr);
    return ovlogger::exit_usage;
}

// Decimal digits only, 1 up to a billion: no sign, no spaces, no suffix.
bool parse_count(const char* text, std::uint64_t* count) {
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

}  // namespace

int main(int argc, char** argv) {
    ovlogger::settings settings;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage_text, stdout);
            return ovlogger::exit_ok;
        }
        if (std::strcmp(argv[i], "--place") == 0) return ovlogger::print_place();
        if (std::strcmp(argv[i], "--count") != 0) return usage_error("unknown argument: ", argv[i]);
        if (i + 1 >= argc) return usage_error("--count needs a number", "");
        if (!parse_count(argv[++i], &settings.count)) return usage_error("not a count from 1 up: ", argv[i]);
    }
    return ovlogger::run(settings);
}
