// Windows half of the ZIP packer's platform layer: local time through file times, as the
// archive's dates are file times turned into local calendar fields.
#include <windows.h>

#include <cstdint>

#include "zip/zip_platform.h"

namespace {

// Seconds between 1601-01-01 (the file-time epoch) and 1970-01-01.
constexpr double EPOCH_DIFFERENCE_SECONDS = 11644473600.0;

void fields_from_system_time(const SYSTEMTIME* st, ZipCalendar* out) {
    out->year = st->wYear;
    out->month = st->wMonth;
    out->day = st->wDay;
    out->hour = st->wHour;
    out->minute = st->wMinute;
    out->second = st->wSecond;
}

}  // namespace

int zip_local_calendar(double mtime, ZipCalendar* out) {
    if (!(mtime >= 0)) mtime = 0;
    double ticks = (mtime + EPOCH_DIFFERENCE_SECONDS) * 10000000.0 + 0.5;
    if (ticks >= 1.8e19) return -1;
    uint64_t value = static_cast<uint64_t>(ticks);
    FILETIME utc;
    utc.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    utc.dwHighDateTime = static_cast<DWORD>(value >> 32);
    FILETIME local;
    if (!FileTimeToLocalFileTime(&utc, &local)) local = utc;
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&local, &st)) return -1;
    fields_from_system_time(&st, out);
    return 0;
}

void zip_local_now(ZipCalendar* out) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    fields_from_system_time(&st, out);
}
