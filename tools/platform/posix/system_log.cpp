// The system's log through syslog(3).  Where systemd-journald runs it owns
// /dev/log and keeps every entry in the journal, with the sender's
// identifier and pid; sd_journal_send would need libsystemd, a library the
// tools do without.  Without a daemon on /dev/log the entries are dropped,
// as syslog(3) drops them, with nothing said.
#include <syslog.h>

#include "tools_platform.h"

namespace ov {

int open_system_log(const char* ident) {
    // LOG_NDELAY: connected now, not at the first entry.
    openlog(ident, LOG_PID | LOG_NDELAY, LOG_USER);
    return 1;
}

int write_system_log(const char* text) {
    syslog(LOG_INFO, "%s", text);
    return 1;
}

void close_system_log() { closelog(); }

}  // namespace ov
