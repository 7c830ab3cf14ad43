/* Simulator clock: wall time and 64-bit frame/millisecond conversions. */
#include "sim_clock.h"

#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include "timecode.h"

int64_t sim_clock_now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Frame duration as num/den seconds for the current mode. */
static void sim_clock_rate(int64_t *num, int64_t *den)
{
    switch (tc_getmode()) {
    case TC_PAL:
        *num = 1;
        *den = 25;
        break;
    case TC_50:
        *num = 1;
        *den = 50;
        break;
    default:
        *num = 1001;
        *den = 30000;
        break;
    }
}

int64_t sim_clock_frames2ms(int64_t frames)
{
    int64_t num, den;
    sim_clock_rate(&num, &den);
    return frames * 1000 * num / den;
}

int64_t sim_clock_ms2frames(int64_t ms)
{
    int64_t num, den;
    sim_clock_rate(&num, &den);
    return ms * den / (1000 * num);
}

char *sim_clock_dur2tc(int64_t ms, char *buf, int lim)
{
    char tc[TC_TEXT_SIZE];
    int64_t f = sim_clock_ms2frames(ms < 0 ? -ms : ms);
    if (f > 0x7fffffff)
        f = 0x7fffffff;
    tc_frames2tc((int)f, tc);
    snprintf(buf, lim, "%s%s", ms < 0 ? "-" : "", tc);
    return buf;
}

char *sim_clock_tod2tc(int64_t abs_ms, char *buf, int lim)
{
    time_t t = (time_t)(abs_ms / 1000);
    struct tm tm;
    localtime_r(&t, &tm);
    int64_t in_sec_ms = abs_ms % 1000;
    int ff = (int)sim_clock_ms2frames(in_sec_ms);
    snprintf(buf, lim, "%.2d:%.2d:%.2d:%.2d", tm.tm_hour, tm.tm_min, tm.tm_sec, ff);
    return buf;
}

int64_t sim_clock_local_midnight(int64_t abs_ms)
{
    time_t t = (time_t)(abs_ms / 1000);
    struct tm tm;
    localtime_r(&t, &tm);
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    return (int64_t)mktime(&tm) * 1000;
}

int64_t sim_clock_tc2frames(const char *tc)
{
    if (!tc || !strpbrk(tc, "0123456789"))
        return -1;
    int hh = 0, mm = 0, ss = 0, ff = 0;
    tc_tc2hmsf(tc, &hh, &mm, &ss, &ff);
    /* Bounded so that the 32-bit field arithmetic cannot overflow. */
    if (hh < 0 || mm < 0 || ss < 0 || ff < 0 || hh > 9999 || mm > 9999 || ss > 99999 || ff > 99999)
        return -1;
    return tc_hmsf2frames(hh, mm, ss, ff);
}

int64_t sim_clock_tc2ms(const char *tc)
{
    int64_t f = sim_clock_tc2frames(tc);
    return f < 0 ? -1 : sim_clock_frames2ms(f);
}
