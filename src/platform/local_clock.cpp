#include "platform/local_clock.h"

#include <ctime>

namespace quillon::platform {

LocalTime LocalTimeNow() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    LocalTime t;
    if (::localtime_r(&now, &tm) == nullptr) {
        return t;
    }
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.weekday = tm.tm_wday;
    t.utcOffset = tm.tm_gmtoff;
    return t;
}

} // namespace quillon::platform
