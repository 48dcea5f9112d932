#pragma once
// The ZIP packer's platform layer: local time. Implemented in zip_posix.cpp and zip_win32.cpp.
#include "zip/zip.h"

// Local calendar fields of a file time (seconds since 1970 UTC, not negative), rounded to
// the platform's file-time resolution as the file system stores it. When the local
// conversion fails the UTC fields are used. 0, or -1 when even that fails.
int zip_local_calendar(double mtime, ZipCalendar* out);

// The current local time's calendar fields.
void zip_local_now(ZipCalendar* out);
