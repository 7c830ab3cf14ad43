/* Time helpers of the automation client: conversions between the server's
 * millisecond times, struct timeval and local timecode text. */
#include "pelmorabox_timings.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "timecode.h"

int64_t pelmorabox_tv2milisec(const struct timeval *tv)
{
    return (int64_t)tv->tv_sec * 1000 + tv->tv_usec / 1000;
}

struct timeval *pelmorabox_milisec2tv(int64_t t, struct timeval *tv)
{
    /* Floor division, so times before 1970 keep a non-negative tv_usec. */
    int64_t sec = t / 1000, ms = t % 1000;
    if (ms < 0) {
        ms += 1000;
        sec -= 1;
    }
    tv->tv_sec = (time_t)sec;
    tv->tv_usec = (suseconds_t)(ms * 1000);
    return tv;
}

char *pelmorabox_tv2tc(const struct timeval *tv, char *tc)
{
    time_t t = tv->tv_sec;
    struct tm tm;
    localtime_r(&t, &tm);
    int ff = tc_sec2frames((double)tv->tv_usec / 1000000.0);
    snprintf(tc, 16, "%.2d:%.2d:%.2d:%.2d", tm.tm_hour, tm.tm_min, tm.tm_sec, ff);
    return tc;
}

int pelmorabox_gettimeofday(struct timeval *tv)
{
    int r = gettimeofday(tv, nullptr);
    tv->tv_usec += 1000;
    if (tv->tv_usec >= 1000000) {
        tv->tv_usec -= 1000000;
        tv->tv_sec += 1;
    }
    return r;
}

struct timeval *pelmorabox_tc2tvnow(const char *tc, struct timeval *tv)
{
    int hh = 0, mm = 0, ss = 0, ff = 0;
    tc_tc2hmsf(tc, &hh, &mm, &ss, &ff);
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    tm.tm_hour = hh;
    tm.tm_min = mm;
    tm.tm_sec = ss;
    tm.tm_isdst = -1;
    tv->tv_sec = mktime(&tm);
    tv->tv_usec = (suseconds_t)tc_frames2mili(ff) * 1000;
    return tv;
}
