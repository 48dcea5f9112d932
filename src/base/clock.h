#pragma once
// The monotonic clock that ages, expiries and flush schedules are measured on: it never goes
// back and has nothing to do with the calendar (which the user or the network may change).
#include <cstdint>

// Milliseconds since an arbitrary fixed point.
int64_t clock_monotonic_ms(void);
// Seconds since the same point, with fractions.
double clock_monotonic_seconds(void);
