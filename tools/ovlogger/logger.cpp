// The logger side of the handoff.
//
// Objects, all created here and named without a namespace prefix:
//   "OvLoggerMappedFile"  4096 bytes: this logger's window handle,
//                         32 bits little-endian at offset 0 (0 = none),
//                         then the message area from offset 4: tag, text,
//                         NUL.
//   "OvLoggerMapEvent"    auto-reset, signalled while the area is free; a
//                         client holds the area from its successful wait
//                         until it sets the event again.
//   "OvLoggerDebugEvent"  auto-reset, unsignalled; set here once a message
//                         has been taken, which ends the client's wait.
//   "mHandleDebugMsg"     the registered message that says a text waits.
//
// A client waits at most 2000 ms for the acknowledgement and then releases
// the area as if it had come.  Acknowledging such a client afterwards would
// leave OvLoggerDebugEvent signalled, and the next client would take that
// stale signal for its own acknowledgement and release the area before its
// text was read.  So the logger:
//   - acknowledges only while the area is still held: if OvLoggerMapEvent
//     is free when a notification is taken, its writer has gone; the text
//     is still printed (nobody has claimed the area since) but not
//     acknowledged, and any signal left on OvLoggerDebugEvent is cleared
//     while the logger briefly holds the area itself;
//   - clears the area after taking a text, so that a notification whose
//     text was already taken (through an earlier, late notification)
//     prints nothing and acknowledges nothing;
//   - once a tick, busy or idle, clears a signal left on
//     OvLoggerDebugEvent whenever the area is free, since no client can
//     then be waiting for it.
// What it cannot prevent: a notification from a client that gave up may be
// taken while the next client is still writing its text, which can then be
// printed cut short.  That needs the logger to stall for 2000 ms first.
//
// A client that dies or is stopped while it holds the area never sets
// OvLoggerMapEvent again, and every later client would give up after its
// 2000 ms wait.  So the same tick also takes the area back once it has been
// held, without an acknowledgement, past the client's own bound and a
// margin (see abandoned_area_ms).  A stopped client that resumes after that
// writes into an area it no longer holds, and its text may then mix with
// the next client's; waiting any longer would only delay every message.
//
// Texts are printed with their control bytes escaped: a file name may hold
// a newline, and printed raw it would make one message look like two.
//
// A line is the columns asked for (the time, the writer's process id), the
// escaped text and the platform's line end, written in one write, so that
// a line in a file others append to stays whole.  The system's log gets
// the same line without the time, which the log keeps itself.
#include "logger.h"

#include <chrono>
#include <cstdio>
#include <optional>

#include "debug_client.h"
#include "tools_platform.h"

namespace ovlogger {

namespace {

// The names are the client's own: both ends of the handoff spell them once.
using ov::diag::debug_event_name;
using ov::diag::map_event_name;
using ov::diag::mapping_name;
using ov::diag::notify_message_name;

// Room for the window handle and far more than the longest text a client
// writes; a client never writes past the view it is given.
constexpr std::uint32_t mapping_size = 4096;
constexpr std::size_t message_offset = 4;
// What a client needs at least: the handle, a 9-character tag, a
// 255-character line and the NUL.  A mapping left behind by someone else
// must be this large to be taken over.
constexpr std::size_t least_mapping_size = message_offset + 9 + 255 + 1;
// How long the logger waits for a message before it looks at its objects
// again; it looks at the area this often even while messages keep arriving.
constexpr std::uint32_t idle_tick_ms = 200;
// How long the area may stay held after the logger last saw it free or
// acknowledged its text before it is taken back.  A live client holds it
// for its own wait of handoff_timeout_ms and a few calls around it; the
// margin covers those calls, the tick by which the logger saw the area
// free before the client claimed it, and a machine under load.
constexpr std::uint32_t abandoned_area_ms = ov::diag::handoff_timeout_ms + 1000;
// A byte is printed as itself or as an escape of at most four characters.
constexpr std::size_t escaped_width = 4;
// The longest line: the columns, every byte of the area escaped, a line end.
constexpr std::size_t line_capacity = ov::tools::columns_capacity + escaped_width * mapping_size + 3;

using clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds idle_tick{idle_tick_ms};
constexpr std::chrono::milliseconds abandoned_area{abandoned_area_ms};

// The failure, its Win32 code, and what is wrong with the objects' place
// when the platform can tell (another user's directory, say).
void report_error(const char* what) {
    unsigned code = static_cast<unsigned>(ov::sys.get_last_error());
    char why[512];
    ov::explain_object_place(why, sizeof why);
    if (why[0] != '\0') std::fprintf(stderr, "ovlogger: %s (error %u): %s\n", what, code, why);
    else std::fprintf(stderr, "ovlogger: %s (error %u)\n", what, code);
}

// Writes c into out as it is, or a control byte as \n, \r, \t or \xNN.
// Backslashes and bytes from 0x80 stay as they are: the line is for
// reading, not for turning back into the text.  Returns the characters
// written, at most escaped_width.
std::size_t escape_byte(unsigned char c, char* out) {
    static constexpr char hex[] = "0123456789ABCDEF";
    if (c >= 0x20 && c != 0x7F) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    out[0] = '\\';
    char named = c == '\n' ? 'n' : c == '\r' ? 'r' : c == '\t' ? 't' : '\0';
    if (named != '\0') {
        out[1] = named;
        return 2;
    }
    out[1] = 'x';
    out[2] = hex[c >> 4];
    out[3] = hex[c & 15];
    return 4;
}

// Where the lines go, as the settings ask.
struct line_output {
    ov::output_file* file = nullptr;
    ov::tools::columns columns;
    bool syslog = false;
    // Said once: a full disk would otherwise fill standard error as well.
    mutable bool write_failed = false;
};

class logger {
public:
    explicit logger(const line_output& output) : output_(output) {}
    logger(const logger&) = delete;
    logger& operator=(const logger&) = delete;
    ~logger();

    // exit_ok once every object exists and the window is published.
    int open();
    int serve(std::uint64_t count);

private:
    bool create_mapping();
    bool another_logger_runs();
    bool create_events();
    bool create_window();
    void reinitialize();
    ov::hwnd32 published_window() const;
    void publish_window(ov::hwnd32 window);
    int take_message(std::uint32_t sender);
    std::size_t copy_message(unsigned char* text) const;
    int print_message(std::uint32_t sender) const;
    void release_area();
    void watch_area();
    void take_area_back();

    const line_output& output_;
    ov::unique_handle mapping_;
    std::optional<ov::unique_view> view_;
    ov::unique_handle map_event_;
    ov::unique_handle debug_event_;
    std::uint32_t notify_message_ = 0;
    ov::hwnd32 window_ = 0;
    bool existed_ = false;
    // False once another logger is seen to serve the objects.
    bool owns_objects_ = true;
    // When the logger last saw the area free or acknowledged its text, and
    // when it last looked at the area.
    clock::time_point area_alive_ = clock::now();
    clock::time_point last_watch_ = clock::now();
};

logger::~logger() {
    // Objects that another logger now serves stay as they are.  Where the
    // handle that created an object removes its name when closed (the
    // POSIX layer), closing them would cut that logger off from its
    // clients; the handles go with this process instead.
    if (!owns_objects_) {
        mapping_.release();
        map_event_.release();
        debug_event_.release();
    }
    // Withdraw the handle first, so that clients see "no logger" rather
    // than a window that is about to go.
    if (window_ == 0) return;
    if (owns_objects_ && published_window() == window_) publish_window(0);
    ov::destroy_window(window_);
}

bool logger::create_mapping() {
    // Only 183 after the call tells an existing object; start from 0.
    ov::set_last_error(ov::err::success);
    mapping_.reset(ov::create_file_mapping(mapping_name, mapping_size));
    if (!mapping_) {
        report_error("cannot create the mapping OvLoggerMappedFile");
        return false;
    }
    existed_ = ov::sys.get_last_error() == ov::err::already_exists;
    view_.emplace(mapping_.get(), ov::file_map_write);
    if (!*view_) {
        report_error("cannot view the mapping OvLoggerMappedFile");
        return false;
    }
    if (view_->size() < least_mapping_size) {
        std::fprintf(stderr, "ovlogger: the existing mapping OvLoggerMappedFile is too small (%zu bytes)\n",
                     view_->size());
        return false;
    }
    return true;
}

// A mapping that already exists belongs either to a logger that still
// runs, whose window is alive, or to one that died and left it behind.
bool logger::another_logger_runs() {
    ov::hwnd32 window = published_window();
    if (window == 0 || !ov::sys.is_window(window)) return false;
    std::fprintf(stderr, "ovlogger: another logger is running (window 0x%08X); this one is not started\n",
                 static_cast<unsigned>(window));
    owns_objects_ = false;
    return true;
}

bool logger::create_events() {
    map_event_.reset(ov::create_event(map_event_name, false, true));
    if (!map_event_) {
        report_error("cannot create the event OvLoggerMapEvent");
        return false;
    }
    debug_event_.reset(ov::create_event(debug_event_name, false, false));
    if (!debug_event_) {
        report_error("cannot create the event OvLoggerDebugEvent");
        return false;
    }
    return true;
}

bool logger::create_window() {
    notify_message_ = ov::sys.register_window_message(notify_message_name);
    if (notify_message_ == 0) {
        report_error("cannot register the message mHandleDebugMsg");
        return false;
    }
    window_ = ov::create_message_window();
    if (window_ == 0) {
        report_error("cannot create the message window");
        return false;
    }
    return true;
}

// Objects taken over from a logger that died, or an area taken back from a
// client that died, may be in any state; fresh ones are already like this.
// Creating an existing event leaves its state as it was, so both are put
// right explicitly.
void logger::reinitialize() {
    view_->data()[message_offset] = 0;
    release_area();
}

ov::hwnd32 logger::published_window() const {
    return ov::load_window_handle(view_->data());
}

void logger::publish_window(ov::hwnd32 window) {
    ov::store_window_handle(view_->data(), window);
}

int logger::open() {
    if (!create_mapping()) return exit_failure;
    if (existed_ && another_logger_runs()) return exit_failure;
    if (!create_events() || !create_window()) return exit_failure;
    reinitialize();
    publish_window(window_);
    if (existed_) std::fputs("ovlogger: took over the objects of a logger that is gone\n", stderr);
    return exit_ok;
}

// Copies the text out of the shared area (it may change under a client that
// gave up, see above), up to its NUL and never past the view; text must
// hold mapping_size bytes.  Returns its length.
std::size_t logger::copy_message(unsigned char* text) const {
    const unsigned char* area = view_->data() + message_offset;
    std::size_t limit = view_->size() - message_offset;
    if (limit > mapping_size) limit = mapping_size;
    std::size_t n = 0;
    for (; n < limit && area[n] != 0; ++n) text[n] = area[n];
    return n;
}

// Writes the text as one line, its control bytes escaped, after the
// columns asked for; sender is the writer's process id, 0 when unknown.
// 1 when there was a text.
int logger::print_message(std::uint32_t sender) const {
    unsigned char text[mapping_size];
    std::size_t n = copy_message(text);
    if (n == 0) return 0;
    char line[line_capacity];
    ov::tools::columns time_only{output_.columns.timestamps, false};
    ov::tools::columns pid_only{false, output_.columns.pid};
    std::size_t time_length = ov::tools::format_columns(time_only, sender, line);
    std::size_t length = time_length + ov::tools::format_columns(pid_only, sender, line + time_length);
    for (std::size_t i = 0; i < n; ++i) length += escape_byte(text[i], line + length);
    std::size_t text_end = length;
    for (const char* end = ov::text_line_end(); *end != '\0'; ++end) line[length++] = *end;
    if (!ov::write_output(output_.file, line, length) && !output_.write_failed) {
        output_.write_failed = true;
        std::fprintf(stderr, "ovlogger: cannot write a line to %s (error %u); going on\n",
                     output_.file == ov::standard_output() ? "standard output" : "the output file",
                     static_cast<unsigned>(ov::sys.get_last_error()));
        std::fflush(stderr);
    }
    if (output_.syslog) {
        line[text_end] = '\0';
        ov::write_system_log(line + time_length);
    }
    return 1;
}

// The logger holds the area: no client can be waiting for an
// acknowledgement now, so any signal on OvLoggerDebugEvent is stale.
void logger::release_area() {
    ov::sys.reset_event(debug_event_.get());
    ov::sys.set_event(map_event_.get());
    area_alive_ = clock::now();
}

int logger::take_message(std::uint32_t sender) {
    // Succeeds only when no client holds the area, i.e. this text's writer
    // has stopped waiting; the logger then holds it until release_area().
    bool writer_gone = ov::sys.wait_for_single_object(map_event_.get(), 0) == ov::wait_object_0;
    int taken = print_message(sender);
    view_->data()[message_offset] = 0;
    if (writer_gone) {
        release_area();
    } else if (taken) {
        ov::sys.set_event(debug_event_.get());
        area_alive_ = clock::now();
    }
    return taken;
}

// A zero-time wait is the only look at the auto-reset OvLoggerMapEvent,
// and when the area is free it claims it: the logger gives it straight
// back, clearing any stale acknowledgement on the way.  When the area is
// held, its holder is presumed gone once abandoned_area has passed since
// the area was last seen alive.
void logger::watch_area() {
    last_watch_ = clock::now();
    std::uint32_t result = ov::sys.wait_for_single_object(map_event_.get(), 0);
    if (result == ov::wait_object_0) {
        release_area();
    } else if (result == ov::wait_timeout && last_watch_ - area_alive_ > abandoned_area) {
        take_area_back();
    }
}

// The holder's text, whole or half written, goes unprinted, and any
// acknowledgement it never consumed is cleared with the release.
void logger::take_area_back() {
    reinitialize();
    std::fprintf(stderr, "ovlogger: took the message area back: a client held it over %u ms (died or stalled)\n",
                 static_cast<unsigned>(abandoned_area_ms));
    std::fflush(stderr);
}

int logger::serve(std::uint64_t count) {
    std::uint64_t taken = 0;
    while ((count == 0 || taken < count) && !ov::stop_requested()) {
        if (published_window() != window_) {
            std::fputs("ovlogger: another logger has published its window; stopping\n", stderr);
            owns_objects_ = false;
            return exit_failure;
        }
        std::uint32_t message = 0;
        std::uint32_t sender = 0;
        int got = ov::get_window_message(window_, idle_tick_ms, &message, &sender);
        if (got < 0) {
            report_error("cannot receive window messages");
            return exit_failure;
        }
        if (got > 0 && message == notify_message_) taken += static_cast<std::uint64_t>(take_message(sender));
        // Every tick, idle or not: messages that keep arriving, of any
        // kind, must not keep the area from being watched.
        if (got == 0 || clock::now() - last_watch_ >= idle_tick) watch_area();
    }
    return exit_ok;
}

}  // namespace

int print_place() {
    char place[4096];
    if (ov::object_place(place, sizeof place)) std::printf("%s\n", place);
    else std::puts("the session's object namespace");
    return exit_ok;
}

namespace {

// The output file and the system's log, open for the run and closed after
// it.
class output_guard {
public:
    explicit output_guard(line_output& output) : output_(output) {}
    output_guard(const output_guard&) = delete;
    output_guard& operator=(const output_guard&) = delete;
    ~output_guard() {
        if (output_.syslog) ov::close_system_log();
        if (output_.file != nullptr) ov::close_output_file(output_.file);
    }

private:
    line_output& output_;
};

}  // namespace

int run(const settings& settings) {
    // Before any object exists, so that a stop request during set-up still
    // ends in the clean-up below.
    ov::install_stop_handler();
    // The output is set up first: a logger that cannot write its lines
    // must not take the objects from clients.
    line_output output;
    output_guard closes(output);
    output.columns = settings.columns;
    output.file = ov::tools::open_lines_output("ovlogger", settings.output);
    if (output.file == nullptr) return exit_failure;
    if (settings.syslog && !ov::open_system_log("ovlogger")) {
        std::fprintf(stderr, "ovlogger: cannot open the system's log (error %u)\n",
                     static_cast<unsigned>(ov::sys.get_last_error()));
        return exit_failure;
    }
    output.syslog = settings.syslog;
    logger instance(output);
    int status = instance.open();
    if (status != exit_ok) return status;
    std::fputs("ready\n", stderr);
    std::fflush(stderr);
    return instance.serve(settings.count);
}

}  // namespace ovlogger
