#pragma once

// The wall clock in local time, with the zone's offset from UTC, for time stamps that
// people and mail hosts read.

namespace quillon::platform {

struct LocalTime {
    int year = 1970;    // e.g. 1999
    int month = 1;      // 1..12
    int day = 1;        // 1..31
    int hour = 0;       // 0..23
    int minute = 0;     // 0..59
    int second = 0;     // 0..60
    int weekday = 4;    // 0 Sunday .. 6 Saturday
    long utcOffset = 0; // seconds east of UTC
};

LocalTime LocalTimeNow();

} // namespace quillon::platform
