/* Seconds plus offset to broken-down time: whole days and the second of the
 * day first, then the year by Gregorian cycles counted from 2001, the month
 * from the cumulative day table and the weekday from the day number. */
#include "offtime.h"

#include <climits>

namespace {

constexpr int64_t SECS_PER_DAY = 86400;
constexpr int64_t DAYS_PER_400Y = 146097;
constexpr int64_t DAYS_PER_100Y = 36524;
constexpr int64_t DAYS_PER_4Y = 1461;
/* 1970-01-01 to 2001-01-01: 31 years with 8 leap days. 2001 starts a
 * 400-year cycle whose last day closes the leap year 2400. */
constexpr int64_t DAYS_1970_TO_2001 = 31 * 365 + 8;

int64_t floor_div(int64_t a, int64_t b)
{
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        q--;
    return q;
}

} // namespace

int offtime_isleap(int64_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int64_t offtime_year_days(int64_t year)
{
    /* Leap days in the years before `year`, counted from year 1 with floor
     * division so that it holds on both sides of the epoch. */
    int64_t y = year - 1;
    int64_t leaps = floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400);
    constexpr int64_t leaps_to_1970 = 1969 / 4 - 1969 / 100 + 1969 / 400;
    return (year - 1970) * 365 + (leaps - leaps_to_1970);
}

int offtime(int64_t t, long offset, struct tm *tp)
{
    int64_t local;
    if (__builtin_add_overflow(t, (int64_t)offset, &local))
        return -75;

    /* Not floor_div and a product: near INT64_MIN the product overflows. */
    int64_t days = local / SECS_PER_DAY;
    int64_t rem = local % SECS_PER_DAY;
    if (rem < 0) {
        rem += SECS_PER_DAY;
        days--;
    }

    int64_t d = days - DAYS_1970_TO_2001;
    int64_t cycles = floor_div(d, DAYS_PER_400Y);
    d -= cycles * DAYS_PER_400Y; /* 0 .. 146096 */
    int64_t centuries = d / DAYS_PER_100Y;
    if (centuries == 4) /* the leap day closing the cycle */
        centuries = 3;
    d -= centuries * DAYS_PER_100Y;
    int64_t quads = d / DAYS_PER_4Y;
    d -= quads * DAYS_PER_4Y;
    int64_t years = d / 365;
    if (years == 4) /* the leap day closing the four years */
        years = 3;
    d -= years * 365;

    /* cycles is at most 2^63 / 86400 / 146097, so this product fits. */
    int64_t year = 2001 + cycles * 400 + centuries * 100 + quads * 4 + years;
    if (year - 1900 > INT_MAX || year - 1900 < INT_MIN)
        return -75;

    int leap = offtime_isleap(year);
    int yday = (int)d;
    int mon = 0;
    while (mon < 11 && yday >= __mon_yday[leap][mon + 1])
        mon++;

    tp->tm_year = (int)(year - 1900);
    tp->tm_yday = yday;
    tp->tm_mon = mon;
    tp->tm_mday = yday - __mon_yday[leap][mon] + 1;
    tp->tm_hour = (int)(rem / 3600);
    tp->tm_min = (int)(rem % 3600 / 60);
    tp->tm_sec = (int)(rem % 60);
    /* 1970-01-01 was a Thursday. */
    int64_t wd = (days + 4) % 7;
    tp->tm_wday = (int)(wd < 0 ? wd + 7 : wd);
    return 0;
}
