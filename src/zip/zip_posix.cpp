// POSIX half of the ZIP packer's platform layer: local time through the C library.
#include <time.h>

#include <cstdint>

#include "zip/zip_platform.h"

namespace {

// Seconds between 1601-01-01 (the file-time epoch) and 1970-01-01.
constexpr uint64_t EPOCH_DIFFERENCE = 11644473600u;
constexpr double EPOCH_DIFFERENCE_SECONDS = 11644473600.0;

void fields_from_tm(const struct tm* tm, ZipCalendar* out) {
    out->year = tm->tm_year + 1900;
    out->month = tm->tm_mon + 1;
    out->day = tm->tm_mday;
    out->hour = tm->tm_hour;
    out->minute = tm->tm_min;
    out->second = tm->tm_sec;
}

}  // namespace

int zip_local_calendar(double mtime, ZipCalendar* out) {
    if (!(mtime >= 0)) mtime = 0;
    // Whole seconds as the Windows half sees them: the time rounded to 100-nanosecond ticks
    // since 1601, then cut to the second, so both builds date a file alike.
    double ticks = (mtime + EPOCH_DIFFERENCE_SECONDS) * 10000000.0 + 0.5;
    if (ticks >= 1.8e19) return -1;
    uint64_t whole = static_cast<uint64_t>(ticks) / 10000000u;
    time_t seconds = static_cast<time_t>(whole - EPOCH_DIFFERENCE);
    struct tm tm {};
    if (!localtime_r(&seconds, &tm) && !gmtime_r(&seconds, &tm)) return -1;
    fields_from_tm(&tm, out);
    return 0;
}

void zip_local_now(ZipCalendar* out) {
    time_t now = time(nullptr);
    struct tm tm {};
    if (!localtime_r(&now, &tm)) gmtime_r(&now, &tm);
    fields_from_tm(&tm, out);
}
