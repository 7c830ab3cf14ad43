/* POSIX TZ rule strings. Every number of a rule
 * string is read by hand with a bound, so an absurd value is refused rather
 * than wrapped, and nothing is read past the terminating zero. */
#include "tzset.h"

#include "offtime.h"
#include "strl.h"

#include <cstdio>
#include <cstring>

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}
bool is_alpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

/* Reads one or more digits into *out; fails beyond max. */
bool read_num(const char *&p, unsigned max, unsigned *out)
{
    if (!is_digit(*p))
        return false;
    unsigned v = 0;
    while (is_digit(*p)) {
        v = v * 10 + (unsigned)(*p - '0');
        if (v > max)
            return false;
        p++;
    }
    *out = v;
    return true;
}

/* hh[:mm[:ss]] with hh <= max_hours, as seconds. */
bool read_hms(const char *&p, unsigned max_hours, long *secs)
{
    unsigned hh = 0, mm = 0, ss = 0;
    if (!read_num(p, max_hours, &hh))
        return false;
    if (p[0] == ':' && is_digit(p[1])) {
        p++;
        if (!read_num(p, 59, &mm))
            return false;
        if (p[0] == ':' && is_digit(p[1])) {
            p++;
            if (!read_num(p, 59, &ss))
                return false;
        }
    }
    *secs = (long)hh * 3600 + (long)mm * 60 + (long)ss;
    return true;
}

/* An abbreviation: three or more letters, or <...> of letters, digits and
 * signs. */
bool read_name(const char *&p, char *out)
{
    const char *start, *end;
    if (*p == '<') {
        start = ++p;
        while (is_alpha(*p) || is_digit(*p) || *p == '+' || *p == '-')
            p++;
        if (*p != '>')
            return false;
        end = p++;
    } else {
        start = p;
        while (is_alpha(*p))
            p++;
        end = p;
    }
    size_t len = (size_t)(end - start);
    if (len < 3 || len > LOCALTIME_TZ_ABBR_MAX)
        return false;
    memcpy(out, start, len);
    out[len] = '\0';
    return true;
}

/* A POSIX offset ([+-]hh[:mm[:ss]], west positive) as seconds east. */
bool read_offset(const char *&p, long *east)
{
    int sign = 1;
    if (*p == '+' || *p == '-')
        sign = *p++ == '-' ? -1 : 1;
    long secs;
    if (!read_hms(p, 24, &secs))
        return false;
    *east = -sign * secs;
    return true;
}

/* One change date with its optional time (02:00 when absent). */
bool read_date(const char *&p, tz_rule *r)
{
    unsigned a, b, c;
    if (*p == 'J') {
        p++;
        if (!read_num(p, 365, &a) || a < 1)
            return false;
        r->type = TZ_RULE_J;
        r->n = (unsigned short)a;
    } else if (is_digit(*p)) {
        if (!read_num(p, 365, &a))
            return false;
        r->type = TZ_RULE_D;
        r->n = (unsigned short)a;
    } else if (*p == 'M') {
        p++;
        if (!read_num(p, 12, &a) || a < 1 || *p++ != '.')
            return false;
        if (!read_num(p, 5, &b) || b < 1 || *p++ != '.')
            return false;
        if (!read_num(p, 6, &c))
            return false;
        r->type = TZ_RULE_M;
        r->m = (unsigned short)a;
        r->n = (unsigned short)b;
        r->d = (unsigned short)c;
    } else {
        return false;
    }
    r->secs = 2 * 3600;
    if (*p == '/') {
        p++;
        int sign = 1;
        if (*p == '+' || *p == '-')
            sign = *p++ == '-' ? -1 : 1;
        long secs;
        /* RFC 8536 widens the hour of the change time to -167..167. */
        if (!read_hms(p, 167, &secs))
            return false;
        r->secs = (int)(sign * secs);
    }
    return true;
}

void default_dates(tz_rule rules[2])
{
    rules[0].type = rules[1].type = TZ_RULE_M;
    rules[0].m = 3;
    rules[0].n = 2;
    rules[1].m = 11;
    rules[1].n = 1;
    rules[0].d = rules[1].d = 0;
    rules[0].secs = rules[1].secs = 2 * 3600;
}

void update_vars_from_rules(localtime_tz_t *ctx)
{
    ctx->__tzname[0] = ctx->tz_rules[0].name;
    ctx->__tzname[1] = ctx->tz_rules[1].name;
    ctx->__daylight = ctx->tz_rules[0].offset != ctx->tz_rules[1].offset;
    ctx->__timezone = -ctx->tz_rules[0].offset;
}

} // namespace

int tzset_parse_rules(const char *text, tz_rule rules[2], int *norules)
{
    if (!text || !rules)
        return -22;
    memset(rules, 0, 2 * sizeof(tz_rule));
    /* Day 0 until dates are read: a zone without daylight time keeps it. */
    rules[0].type = rules[1].type = TZ_RULE_D;
    int dummy;
    if (!norules)
        norules = &dummy;
    *norules = 0;

    const char *p = text;
    if (!read_name(p, rules[0].name) || !read_offset(p, &rules[0].offset))
        return -22;
    if (*p == '\0') {
        /* Standard time only: both halves alike, so the change times agree
         * and daylight time never applies. */
        rules[1] = rules[0];
        return 0;
    }
    if (!read_name(p, rules[1].name))
        return -22;
    rules[1].offset = rules[0].offset + 3600;
    if (*p == '+' || *p == '-' || is_digit(*p)) {
        if (!read_offset(p, &rules[1].offset))
            return -22;
    }
    if (*p == '\0' || (p[0] == ',' && p[1] == '\0')) {
        default_dates(rules);
        *norules = 1;
        return 0;
    }
    if (*p++ != ',' || !read_date(p, &rules[0]))
        return -22;
    if (*p++ != ',' || !read_date(p, &rules[1]))
        return -22;
    return *p == '\0' ? 0 : -22;
}

void tzset_compute_change(tz_rule *rule, int64_t year)
{
    if (year != 0 && rule->computed_for == year)
        return;
    int leap = offtime_isleap(year);
    int64_t days = offtime_year_days(year);
    switch (rule->type) {
    case TZ_RULE_J:
        /* Day 1..365, February 29th never counted. */
        days += rule->n - 1;
        if (leap && rule->n >= 60)
            days++;
        break;
    case TZ_RULE_D:
        days += rule->n;
        break;
    case TZ_RULE_M: {
        /* The d-th weekday of week n of month m; week 5 is the last one. */
        if (rule->m < 1 || rule->m > 12)
            break;
        int64_t first = days + __mon_yday[leap][rule->m - 1];
        int64_t wd = (first + 4) % 7; /* 1970-01-01 was a Thursday */
        if (wd < 0)
            wd += 7;
        int mday0 = (int)((rule->d - wd + 7) % 7) + 7 * (rule->n - 1);
        int mlen = __mon_yday[leap][rule->m] - __mon_yday[leap][rule->m - 1];
        while (mday0 >= mlen)
            mday0 -= 7;
        days = first + mday0;
        break;
    }
    }
    /* The change time is local time of the half in force before it. */
    rule->change = days * 86400 + rule->secs - rule->offset;
    rule->computed_for = year;
}

int tzset_compute(tz_rule rules[2], int64_t t, int64_t year)
{
    tzset_compute_change(&rules[0], year);
    tzset_compute_change(&rules[1], year);
    if (rules[0].change > rules[1].change) /* daylight time spans the new year */
        return t < rules[1].change || t >= rules[0].change;
    return t >= rules[0].change && t < rules[1].change;
}

void tzset_utc(localtime_tz_t *ctx)
{
    ctx->__use_tzfile = 0;
    memset(ctx->tz_rules, 0, sizeof(ctx->tz_rules));
    for (tz_rule &r : ctx->tz_rules) {
        strlcpy(r.name, "UTC", sizeof(r.name));
        r.type = TZ_RULE_D;
    }
    update_vars_from_rules(ctx);
}

void tzset_use_rules(localtime_tz_t *ctx, const tz_rule rules[2])
{
    ctx->__use_tzfile = 0;
    memcpy(ctx->tz_rules, rules, sizeof(ctx->tz_rules));
    update_vars_from_rules(ctx);
}
