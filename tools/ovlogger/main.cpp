// ovlogger: receives OVDELETE's diagnostic messages and prints each as one
// line on standard output.
#include "logger.h"
#include "options.h"

namespace {

constexpr char synopsis[] =
    "usage: ovlogger [--count N] [--timestamps] [--pid] [--output FILE] [--syslog]\n"
    "       ovlogger --place\n";

constexpr char help_text[] =
    "usage: ovlogger [--count N] [--timestamps] [--pid] [--output FILE] [--syslog]\n"
    "       ovlogger --place\n"
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
    "  --count N      exit after N messages (N >= 1)\n"
    "  --timestamps   begin each line with the local time at which the\n"
    "                 message was taken, ISO 8601 with milliseconds:\n"
    "                 \"2026-12-08T23:59:01.123 \"\n"
    "  --pid          begin each line (after the time) with the id of the\n"
    "                 process that wrote the message: \"[pid 1234] \"; Windows\n"
    "                 does not tell who sent a window message: \"[pid ?] \"\n"
    "  --output FILE  append the lines to FILE, created when missing, instead\n"
    "                 of writing them on standard output\n"
    "  --syslog       also send each line, without the time, to the system's\n"
    "                 log: syslog on Linux (the journal, where journald runs),\n"
    "                 the Application event log (source \"ovlogger\") on\n"
    "                 Windows\n"
    "  --place        print where the objects live and exit (a directory on\n"
    "                 Linux; the session's namespace on Windows)\n"
    "  --help         show this text\n"
    "  --version      show the version\n"
    "\n"
    "An option's value follows it as the next argument or after '=':\n"
    "--count 3 or --count=3.\n"
    "\n"
    "Example: keep every message, with the time it came, in messages.log:\n"
    "  ovlogger --timestamps --output=messages.log\n"
    "\n"
    "Stops cleanly on Ctrl+C or a termination request.\n"
    "Exit status: 0 after a clean stop or N messages; 1 when the objects, the\n"
    "output file or the system's log cannot be set up, or another logger\n"
    "runs; 2 for bad usage.\n";

enum option_id { count, timestamps, pid, output, syslog, place };
constexpr ov::tools::option options[] = {
    {"--count", true}, {"--timestamps", false}, {"--pid", false},
    {"--output", true}, {"--syslog", false},    {"--place", false},
};

}  // namespace

int main(int argc, char** argv) {
    ov::tools::option_reader reader({"ovlogger", synopsis, help_text}, argc, argv, options);
    ovlogger::settings settings;
    bool print_place = false;
    while (reader.next()) {
        switch (reader.index()) {
            case count:
                if (!ov::tools::parse_count(reader.value(), &settings.count))
                    return reader.usage_error("not a count from 1 up: %s", reader.value());
                break;
            case timestamps: settings.columns.timestamps = true; break;
            case pid: settings.columns.pid = true; break;
            case output: settings.output = reader.value(); break;
            case syslog: settings.syslog = true; break;
            case place: print_place = true; break;
            default: break;
        }
    }
    if (reader.status() != ov::tools::option_reader::go_on) return reader.status();
    if (reader.operands() < argc) return reader.usage_error("unexpected argument: %s", argv[reader.operands()]);
    if (print_place) return ovlogger::print_place();
    return ovlogger::run(settings);
}
