// Fuzz target for POSIX TZ rule strings: arbitrary text through the rule
// parser and the set-up of a context (with a zone directory that holds no
// files, so that the text is taken as a rule). Parsed rules must stay in
// their documented ranges and convert any instant into sane fields.
#include "localtime_tz.h"
#include "tzset.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

static void check(localtime_tz_t *ctx, int64_t t)
{
    time_t tt = (time_t)t;
    struct tm r;
    errno = 0;
    if (!localtime_tz(&tt, &r, ctx)) {
        if (errno != EOVERFLOW)
            abort();
        return;
    }
    if (r.tm_sec < 0 || r.tm_sec > 59 || r.tm_min < 0 || r.tm_min > 59 || r.tm_hour < 0 || r.tm_hour > 23 ||
        r.tm_mday < 1 || r.tm_mday > 31 || r.tm_mon < 0 || r.tm_mon > 11 || r.tm_wday < 0 || r.tm_wday > 6 ||
        r.tm_yday < 0 || r.tm_yday > 365 || !r.tm_zone || strlen(r.tm_zone) > LOCALTIME_TZ_ABBR_MAX)
        abort();
    if (r.tm_gmtoff < -25 * 3600 || r.tm_gmtoff > 26 * 3600)
        abort();
}

static void check_rule(const tz_rule &r)
{
    size_t len = strnlen(r.name, sizeof(r.name));
    if (len < 3 || len > LOCALTIME_TZ_ABBR_MAX)
        abort();
    if (r.type == TZ_RULE_M && (r.m < 1 || r.m > 12 || r.n < 1 || r.n > 5 || r.d > 6))
        abort();
    if (r.type == TZ_RULE_J && (r.n < 1 || r.n > 365))
        abort();
    if (r.type == TZ_RULE_D && r.n > 365)
        abort();
    if (r.secs < -168 * 3600 || r.secs > 168 * 3600)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = [] {
        // No zone files: every name is read as a rule string.
        setenv("TZDIR", "/nonexistent/pelmora-fuzz-zoneinfo", 1);
        return true;
    }();
    (void)once;
    std::string text(reinterpret_cast<const char *>(data), size); // NUL-terminated copy

    tz_rule rules[2];
    int norules = 0;
    int r = tzset_parse_rules(text.c_str(), rules, &norules);
    if (r != 0 && r != -22)
        abort();
    if (r == 0) {
        check_rule(rules[0]);
        check_rule(rules[1]);
        for (int year : {1, 1900, 1970, 2024, 2100, 9999})
            for (tz_rule &h : rules)
                tzset_compute_change(&h, year);
    }

    localtime_tz_t *ctx = nullptr;
    if (localtime_tz_set(text.c_str(), &ctx) != 0)
        abort();
    if (ctx->__use_tzfile)
        abort();
    if (r == 0 && !norules && ctx->tz_rules[0].offset != rules[0].offset)
        abort();
    const int64_t instants[] = {INT64_MIN,    -62135596800LL, -2208988800LL,  0,
                                1710046800LL, 4133980799LL,   253402300799LL, INT64_MAX};
    for (int64_t t : instants)
        check(ctx, t);
    localtime_tz_release(ctx);
    return 0;
}
