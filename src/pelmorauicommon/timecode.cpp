/* Timecode: frame counts to and from HH:MM:SS:FF text, fields, seconds,
 * milliseconds and BCD in one process-wide mode. */
#include "timecode.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

tc_modes_t tc_mode = TC_PAL;

const char tc_alphabet[] = "0123456789??????";

/* Products are formed in 64 bits (128 where three int factors meet) so that
 * they cannot overflow; a result beyond int saturates instead of wrapping. */
static int clamp_int(int64_t v)
{
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return (int)v;
}

/* Truncation toward zero of a double into int; NaN gives 0. */
static int trunc_int(double v)
{
    if (std::isnan(v))
        return 0;
    if (v >= 2147483647.0)
        return INT_MAX;
    if (v <= -2147483648.0)
        return INT_MIN;
    return (int)v;
}

int tc_findmode(const char *e)
{
    static const char *const names[] = {"pal", "50", "ntsc", "ntsc_df"};
    if (!e)
        return -EINVAL;
    for (int i = 0; i < 4; i++)
        if (!strcmp(e, names[i]))
            return i;
    return -EINVAL;
}

int tc_setmode(tc_modes_t m)
{
    if (m == TC_ENV) {
        const char *v = getenv("TC_MODE");
        if (!v)
            return -ENOENT;
        int r = tc_findmode(v);
        if (r < 0)
            return r;
        tc_mode = (tc_modes_t)r;
        return 0;
    }
    tc_mode = m;
    return 0;
}

tc_modes_t tc_getmode(void)
{
    return tc_mode;
}

int tc_test(void)
{
    return 0;
}

int tc_frames2hmsf(int f, int *hh, int *mm, int *ss, int *ff)
{
    int64_t labels, fps;
    switch (tc_mode) {
    case TC_PAL:
        labels = f;
        fps = 25;
        break;
    case TC_50:
        labels = f;
        fps = 50;
        break;
    case TC_NTSC:
        labels = f;
        fps = 30;
        break;
    case TC_NTSC_DF: {
        /* Every ten minutes hold 17982 frames; labels 00 and 01 are skipped
         * at the start of each minute except every tenth. */
        int64_t d = f / 17982, m = f % 17982;
        labels = (int64_t)f + 18 * d;
        if (m > 2)
            labels += 2 * ((m - 2) / 1798);
        fps = 30;
        break;
    }
    default:
        *hh = *mm = *ss = *ff = 0;
        return 0;
    }
    int64_t seconds = labels / fps;
    *ff = (int)(labels % fps);
    *hh = (int)(seconds / 3600);
    *mm = (int)(seconds / 60 - (int64_t)*hh * 60);
    *ss = (int)(seconds % 60);
    return 0;
}

int tc_hmsf2frames(int hh, int mm, int ss, int ff)
{
    int64_t h = hh, m = mm, s = ss, f = ff;
    switch (tc_mode) {
    case TC_PAL:
        return clamp_int(((h * 60 + m) * 60 + s) * 25 + f);
    case TC_50:
        return clamp_int(((h * 60 + m) * 60 + s) * 50 + f);
    case TC_NTSC:
        return clamp_int(((h * 60 + m) * 60 + s) * 30 + f);
    case TC_NTSC_DF: {
        int64_t t = h * 60 + m;
        return clamp_int(h * 108000 + m * 1800 + s * 30 + f - 2 * (t - t / 10));
    }
    default:
        return 0;
    }
}

char *tc_frames2tc(int f, char *buf)
{
    buf[0] = 0;
    if (f < 0)
        return buf;
    int hh, mm, ss, ff;
    tc_frames2hmsf(f, &hh, &mm, &ss, &ff);
    snprintf(buf, TC_TEXT_SIZE, "%.2d:%.2d:%.2d:%.2d", hh, mm, ss, ff);
    return buf;
}

/* Short form: up to four parts of at most two digits each; the number of
 * parts. *rest (when given) points after the last digit read. */
static int short_parts(const char *tc, int parts[4], const char **rest)
{
    int n = 0, digits = 0;
    const char *p = tc;
    for (; *p && n < 4; p++) {
        if (*p >= '0' && *p <= '9') {
            if (!digits)
                parts[n] = 0;
            parts[n] = parts[n] * 10 + (*p - '0');
            if (++digits == 2) {
                n++;
                digits = 0;
            }
        } else if (digits) {
            n++;
            digits = 0;
        }
    }
    if (digits)
        n++;
    if (rest)
        *rest = p;
    return n;
}

int tc_tc2hmsf(const char *tc, int *phh, int *pmm, int *pss, int *pff)
{
    if (!tc)
        return -1;

    int hh, mm, ss, ff;
    if (sscanf(tc, "%d:%d:%d:%d", &hh, &mm, &ss, &ff) == 4) {
        *phh = hh;
        *pmm = mm;
        *pss = ss;
        *pff = ff;
        return -1;
    }

    int parts[4];
    int n = short_parts(tc, parts, nullptr);
    switch (n) {
    case 0:
        return -1;
    case 1:
        *phh = 0;
        *pmm = 0;
        *pss = parts[0];
        *pff = 0;
        break;
    case 2:
        *phh = 0;
        *pmm = parts[0];
        *pss = parts[1];
        *pff = 0;
        break;
    case 3:
        *phh = 0;
        *pmm = parts[0];
        *pss = parts[1];
        *pff = parts[2];
        break;
    default:
        *phh = parts[0];
        *pmm = parts[1];
        *pss = parts[2];
        *pff = parts[3];
        break;
    }
    return 0;
}

int tc_fps(void)
{
    switch (tc_mode) {
    case TC_PAL:
        return 25;
    case TC_50:
        return 50;
    case TC_NTSC:
    case TC_NTSC_DF:
        return 30;
    default:
        return 0;
    }
}

int tc_check_hmsf(int hh, int mm, int ss, int ff, int max_hours)
{
    int fps = tc_fps();
    if (hh < 0 || (max_hours >= 0 && hh > max_hours))
        return TC_CHECK_HOURS;
    if (mm < 0 || mm > 59)
        return TC_CHECK_MINUTES;
    if (ss < 0 || ss > 59)
        return TC_CHECK_SECONDS;
    if (ff < 0 || ff >= fps)
        return TC_CHECK_FRAMES;
    /* The labels 00 and 01 of every minute but each tenth do not exist. */
    if (tc_mode == TC_NTSC_DF && ss == 0 && ff < 2 && mm % 10 != 0)
        return TC_CHECK_DROPPED;
    /* Whatever the hours, the frame count must be an int. */
    int64_t t = (int64_t)hh * 60 + mm;
    int64_t frames = (t * 60 + ss) * fps + ff;
    if (tc_mode == TC_NTSC_DF)
        frames -= 2 * (t - t / 10);
    if (frames > INT_MAX)
        return TC_CHECK_HOURS;
    return TC_CHECK_OK;
}

int tc_check(const char *tc, int max_hours, int *phh, int *pmm, int *pss, int *pff)
{
    if (!tc)
        return TC_CHECK_FORM;
    /* Signs and blanks are no part of a timecode (the scanner of tc_tc2hmsf
     * would read them), nor is a digit run longer than an int holds. */
    int run = 0;
    for (const char *q = tc; *q; q++) {
        if (*q == '+' || *q == '-' || *q == ' ' || (*q >= '\t' && *q <= '\r'))
            return TC_CHECK_FORM;
        run = (*q >= '0' && *q <= '9') ? run + 1 : 0;
        if (run > 9)
            return TC_CHECK_FORM;
    }
    /* Full form: four digit groups and three colons, nothing after. */
    int v[4], n = 0;
    const char *p = tc;
    for (; n < 4; n++) {
        int x = 0, digits = 0;
        for (; *p >= '0' && *p <= '9'; p++, digits++)
            x = x * 10 + (*p - '0');
        if (!digits || (n < 3 && *p != ':'))
            break;
        v[n] = x;
        if (n < 3)
            p++;
    }
    if (n == 4) {
        if (*p)
            return TC_CHECK_FORM;
    } else {
        int parts[4];
        const char *rest = nullptr;
        if (!short_parts(tc, parts, &rest))
            return TC_CHECK_FORM;
        /* Digits beyond the fourth part would be dropped unseen. */
        for (; *rest; rest++)
            if (*rest >= '0' && *rest <= '9')
                return TC_CHECK_FORM;
        tc_tc2hmsf(tc, &v[0], &v[1], &v[2], &v[3]);
    }
    int r = tc_check_hmsf(v[0], v[1], v[2], v[3], max_hours);
    if (r == TC_CHECK_OK) {
        *phh = v[0];
        *pmm = v[1];
        *pss = v[2];
        *pff = v[3];
    }
    return r;
}

int tc_tc2frames(const char *tc)
{
    int hh = 0, mm = 0, ss = 0, ff = 0;
    tc_tc2hmsf(tc, &hh, &mm, &ss, &ff);
    return tc_hmsf2frames(hh, mm, ss, ff);
}

int tc_txt2frames2(const char *src)
{
    if (!src || !*src)
        return -1;

    /* Only the low eight digits of a group can reach a field, so a group
     * keeps its value modulo 10^8 and a mark that it had more digits: this
     * gives the same fields as the full value without overflowing. */
    enum
    {
        GROUPS = 12
    };
    const int32_t limit = 100000000;
    int32_t value[GROUPS];
    bool wide[GROUPS];
    int n = 0;
    bool in_digits = false;
    for (const char *p = src; *p; p++) {
        if (*p >= '0' && *p <= '9') {
            int d = *p - '0';
            if (!in_digits) {
                value[n] = d;
                wide[n] = false;
                n++;
                in_digits = true;
                if (n == GROUPS)
                    break;
            } else {
                int64_t v = (int64_t)value[n - 1] * 10 + d;
                if (v >= limit) {
                    wide[n - 1] = true;
                    v %= limit;
                }
                value[n - 1] = (int32_t)v;
            }
        } else {
            in_digits = false;
        }
    }
    if (!n)
        return -1;

    int fields[4] = {0, 0, 0, 0}; /* ff, ss, mm, hh */
    int k = 0;
    for (int g = n - 1; g >= 0 && k < 4; g--) {
        int32_t v = value[g];
        do {
            fields[k++] = v % 100;
            v /= 100;
        } while ((v != 0 || wide[g]) && k < 4);
    }
    return tc_hmsf2frames(fields[3], fields[2], fields[1], fields[0]);
}

double tc_frames2sec(int f)
{
    if (tc_mode == TC_PAL)
        return f / 25.0;
    if (tc_mode == TC_50)
        return f / 50.0;
    return (double)f * 1001 / 30000;
}

int tc_sec2frames(double t)
{
    if (tc_mode == TC_PAL)
        return trunc_int(t * 25 + 0.01);
    if (tc_mode == TC_50)
        return trunc_int(t * 50 + 0.01);
    return trunc_int(t * 30000 / 1001 + 0.01);
}

int tc_frames2mili(int f)
{
    if (tc_mode == TC_PAL)
        return clamp_int((int64_t)f * 1000 / 25);
    if (tc_mode == TC_50)
        return clamp_int((int64_t)f * 1000 / 50);
    return clamp_int((int64_t)f * 1001000 / 30000);
}

int tc_mili2frames(int ms)
{
    if (tc_mode == TC_PAL)
        return clamp_int((int64_t)ms * 25 / 1000);
    if (tc_mode == TC_50)
        return clamp_int((int64_t)ms * 50 / 1000);
    return clamp_int((int64_t)ms * 30000 / 1001000);
}

int tc_tc2mili(const char *buf)
{
    return tc_frames2mili(tc_tc2frames(buf));
}

double tc_frames2sec_tb(int f, int num, int den)
{
    if (!den)
        return 0.0;
    return (double)f * num / den;
}

int tc_sec2frames_tb(double t, int num, int den)
{
    if (!num)
        return 0;
    return trunc_int(den * t / num + 0.01);
}

int tc_frames2mili_tb(int f, int num, int den)
{
    if (!den)
        return 0;
    __int128 v = (__int128)f * 1000 * num / den;
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return (int)v;
}

int tc_mili2frames_tb(int ms, int num, int den)
{
    if (!num)
        return 0;
    return clamp_int((int64_t)ms * den / num / 1000);
}

char *tc_bcd2txt(int tc_bcd, char *txt)
{
    static const int pos[8] = {0, 1, 3, 4, 6, 7, 9, 10};
    uint32_t v = (uint32_t)tc_bcd;
    for (int i = 0; i < 8; i++)
        txt[pos[i]] = tc_alphabet[(v >> (28 - 4 * i)) & 0xf];
    txt[2] = txt[5] = txt[8] = ':';
    txt[11] = 0;
    return txt;
}

int tc_bcd2frames(int tc_bcd)
{
    char txt[12];
    return tc_tc2frames(tc_bcd2txt(tc_bcd, txt));
}

int tc_frames2bcd(int f)
{
    static const int pos[8] = {0, 1, 3, 4, 6, 7, 9, 10};
    char txt[TC_TEXT_SIZE];
    tc_frames2tc(f, txt);
    if (strlen(txt) != 11)
        return -1;
    uint32_t v = 0;
    for (int i = 0; i < 8; i++)
        v = (v << 4) | (uint32_t)(txt[pos[i]] - '0');
    return (int)v;
}
