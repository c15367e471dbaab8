// The system's log: the Application event log, where Windows programs
// without a log of their own leave what an administrator should find, and
// the place the Event Viewer shows.  Wine keeps no event log: its
// ReportEventA accepts the entry and only traces it (WINEDEBUG=+eventlog).
#include "backend.h"
#include "tools_platform.h"

namespace ov {

namespace {

HANDLE event_source = nullptr;

}  // namespace

// RegisterEventSourceA on the local computer.  A source with no key under
// ...\EventLog\Application is accepted, and its entries go to the
// Application log.
int open_system_log(const char* ident) {
    if (event_source == nullptr) event_source = RegisterEventSourceA(nullptr, ident);
    return event_source != nullptr ? 1 : 0;
}

// One informational entry with the text as its one insertion string.
int write_system_log(const char* text) {
    if (event_source == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    LPCSTR strings[] = {text};
    return ReportEventA(event_source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr) ? 1 : 0;
}

void close_system_log() {
    if (event_source != nullptr) DeregisterEventSource(event_source);
    event_source = nullptr;
}

}  // namespace ov
