// platform clock: one reading of the clock (the UTC instant with the local
// zone's offset at that instant), which `now` builds its date from; and the
// older separate readings of the time of day in seconds since midnight UTC
// and of today's date packed with its zone.
#include <cstdlib>
#include <ctime>

#include "platform/platform.h"

namespace kel::platform {

double get_time(bool precise) {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm utc {};
    time_t secs = ts.tv_sec;
    gmtime_r(&secs, &utc);
    double seconds = utc.tm_hour * 3600.0 + utc.tm_min * 60.0 + utc.tm_sec;
    if (!precise) return seconds;
    long ticks = ts.tv_nsec / 100;  // 100-nanosecond resolution
    return seconds + static_cast<double>(ticks * 100) / 1e9;
}

uint32_t pack_zone(int offset_minutes) {
    bool west = offset_minutes < 0;
    unsigned a = static_cast<unsigned>(west ? -offset_minutes : offset_minutes);
    unsigned hours = (a / 60) & 0xF;
    unsigned quarters = (a % 60) / 15;
    return (west ? 0x40u : 0u) | (hours << 2) | quarters;
}

uint32_t pack_date(int year, int month, int day, uint32_t zone) {
    return (static_cast<uint32_t>(year) << 17) | (static_cast<uint32_t>(month) << 12) |
           (static_cast<uint32_t>(day) << 7) | (zone & 0x7F);
}

clock_reading read_clock() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm local {};
    const time_t secs = ts.tv_sec;
    localtime_r(&secs, &local);
    return {static_cast<int64_t>(ts.tv_sec), static_cast<int32_t>(ts.tv_nsec), static_cast<int32_t>(local.tm_gmtoff)};
}

uint32_t get_date(bool utc) {
    time_t now = time(nullptr);
    struct tm t {};
    if (utc) {
        gmtime_r(&now, &t);
        return pack_date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, 0);
    }
    localtime_r(&now, &t);
    return pack_date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, pack_zone(static_cast<int>(t.tm_gmtoff / 60)));
}

}  // namespace kel::platform
