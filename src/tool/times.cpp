// Times between the host and the volume: entries keep local time, as other
// FAT tools write it; SOURCE_DATE_EPOCH caps every time for reproducible
// images; the clock the library stamps new entries and first writes with.
#include <errno.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool.h"

namespace fat16tool {

namespace {

bool epoch_set = false;
time_t epoch = 0;

// The time a ClockStamp gives the library, while one lives.
bool stamp_set = false;
FsDateTime stamp{};

FsDateTime from_tm(const struct tm &tm, long nanoseconds) {
    FsDateTime t{};
    // Years the volume cannot hold are recorded as no time at all.
    if (tm.tm_year + 1900 < 1980 || tm.tm_year + 1900 > 2107) return t;
    t.year = (uint16_t)(tm.tm_year + 1900);
    t.month = (uint8_t)(tm.tm_mon + 1);
    t.day = (uint8_t)tm.tm_mday;
    t.hour = (uint8_t)tm.tm_hour;
    t.minute = (uint8_t)tm.tm_min;
    t.second = (uint8_t)(tm.tm_sec > 59 ? 59 : tm.tm_sec);
    t.hundredths = (uint8_t)(nanoseconds / 10000000);
    return t;
}

void tool_clock(FsDateTime *now) {
    if (stamp_set) {
        *now = stamp;
        return;
    }
    *now = entry_time(host_now());
}

} // namespace

bool read_source_date_epoch(std::string *error) {
    const char *text = getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr) return true;
    char *end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 10);
    if (text[0] == '\0' || *end != '\0' || errno != 0 || value < 0 || text[0] == '-' || text[0] == '+' ||
        text[0] == ' ') {
        *error = std::string("SOURCE_DATE_EPOCH must be a whole number of seconds, not \"") + text + "\"";
        return false;
    }
    epoch_set = true;
    epoch = (time_t)value;
    return true;
}

FsDateTime entry_time(const struct timespec &t) {
    struct tm tm;
    if (epoch_set && t.tv_sec >= epoch) {
        time_t capped = epoch;
        if (!host_utc_time(capped, &tm)) return FsDateTime{};
        return from_tm(tm, 0);
    }
    time_t seconds = t.tv_sec;
    if (!host_local_time(seconds, &tm)) return FsDateTime{};
    return from_tm(tm, t.tv_nsec);
}

bool host_time(const FsDateTime &t, struct timespec *out) {
    if (t.year == 0) return false;
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    time_t seconds = mktime(&tm);
    if (seconds == (time_t)-1) return false;
    out->tv_sec = seconds;
    out->tv_nsec = (long)t.hundredths * 10000000L;
    return true;
}

std::string time_text(const FsDateTime &t) {
    if (t.year == 0) return std::string(16, ' ');
    char text[40];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u", (unsigned)t.year, (unsigned)t.month,
             (unsigned)t.day, (unsigned)t.hour, (unsigned)t.minute);
    return text;
}

void install_clock() { fs_set_clock(tool_clock); }

ClockStamp::ClockStamp(const FsDateTime &t) {
    stamp = t;
    stamp_set = true;
}

ClockStamp::~ClockStamp() { stamp_set = false; }

} // namespace fat16tool
