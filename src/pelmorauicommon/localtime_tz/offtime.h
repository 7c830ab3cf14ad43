/* Seconds since 1970 plus a UTC offset to broken-down calendar time, in the
 * proleptic Gregorian calendar, for every 64-bit time whose year fits the
 * int of struct tm; also the calendar helpers the zone rules need. */
#pragma once
#include <stdint.h>
#include <time.h>

/* Days before the first of each month (index 12: whole year), for common
 * and leap years. Internal linkage: every user gets its own copy. */
static constexpr unsigned short __mon_yday[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

/* 1 when `year` (full year, e.g. 2024) is a Gregorian leap year. */
int offtime_isleap(int64_t year);

/* Days from 1970-01-01 to January 1st of `year`; years within +-2^40 only. */
int64_t offtime_year_days(int64_t year);

/* Fills seconds, minutes, hours, day, month, year, weekday and day of year
 * of tp for t + offset. Leaves tm_isdst, tm_gmtoff and tm_zone alone.
 * Returns 0, or -75 (EOVERFLOW) when the sum or the year does not fit. */
int offtime(int64_t t, long offset, struct tm *tp);
