// The wall clock in the user's time zone, to the millisecond.
#include "backend.h"
#include "tools_platform.h"

namespace ov {

// GetLocalTime: the system time converted with the current time-zone and
// daylight-saving settings.
local_time local_time_now() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return local_time{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

}  // namespace ov
