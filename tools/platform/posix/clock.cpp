// The wall clock in the user's time zone, to the millisecond.
#include <time.h>

#include "tools_platform.h"

namespace ov {

local_time local_time_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // localtime_r need not read TZ itself; tzset() makes sure it has.
    tzset();
    tm parts{};
    localtime_r(&now.tv_sec, &parts);
    return local_time{static_cast<std::uint16_t>(parts.tm_year + 1900), static_cast<std::uint16_t>(parts.tm_mon + 1),
                      static_cast<std::uint16_t>(parts.tm_mday),        static_cast<std::uint16_t>(parts.tm_hour),
                      static_cast<std::uint16_t>(parts.tm_min),         static_cast<std::uint16_t>(parts.tm_sec),
                      static_cast<std::uint16_t>(now.tv_nsec / 1000000)};
}

}  // namespace ov
