// The clock a program may give the library, and the FAT encoding of dates
// and times: a date is (year - 1980) << 9 | month << 5 | day, a time is
// hour << 11 | minute << 5 | seconds / 2, and creation times carry
// hundredths of a second (0 to 199) for the odd second and below.
#include <string.h>

#include "fat16_common.h"

namespace {

#if FS_WITH_TIMES
FsClock current_clock = nullptr;
#endif

bool representable(const FsDateTime *t) {
    return t->year >= 1980 && t->year <= 2107 && t->month >= 1 && t->month <= 12 && t->day >= 1 &&
           t->day <= 31 && t->hour <= 23 && t->minute <= 59 && t->second <= 59;
}

} // namespace

extern "C" {

#if FS_WITH_TIMES
void fs_set_clock(FsClock clock) { current_clock = clock; }

uint8_t fs_clock_now(FsDateTime *now) {
    memset(now, 0, sizeof *now);
    if (current_clock == nullptr) return 0;
    current_clock(now);
    return 1;
}
#endif

uint16_t fs_date_field(const FsDateTime *t) {
    if (!representable(t)) return 0;
    return (uint16_t)(((t->year - 1980) << 9) | (t->month << 5) | t->day);
}

uint16_t fs_time_field(const FsDateTime *t) {
    if (!representable(t)) return 0;
    return (uint16_t)((t->hour << 11) | (t->minute << 5) | (t->second / 2));
}

uint8_t fs_hundredths_field(const FsDateTime *t) {
    if (!representable(t)) return 0;
    uint32_t h = (t->second % 2) * 100 + (t->hundredths < 100 ? t->hundredths : 99);
    return (uint8_t)h;
}

void fs_decode_time(uint16_t date, uint16_t time, uint8_t hundredths, FsDateTime *out) {
    memset(out, 0, sizeof *out);
    if (date == 0) return;
    out->year = (uint16_t)(1980 + (date >> 9));
    out->month = (uint8_t)((date >> 5) & 0x0F);
    out->day = (uint8_t)(date & 0x1F);
    out->hour = (uint8_t)(time >> 11);
    out->minute = (uint8_t)((time >> 5) & 0x3F);
    uint32_t second = (time & 0x1F) * 2u + (hundredths >= 100 && hundredths < 200 ? 1u : 0u);
    out->second = (uint8_t)second;
    out->hundredths = (uint8_t)(hundredths < 200 ? hundredths % 100 : 0);
}
}
