/* Zone contexts: creation, set-up from a "TZ=..." assignment, conversion,
 * and pointing TZDIR at the zone files beside the program. The assignment
 * is never put into the process environment: that would move the process's
 * own zone at its next tzset, and each bus must keep its zone to itself. */
#include "localtime_tz.h"

#include "offtime.h"
#include "strl.h"
#include "tzfile.h"
#include "tzset.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int localtime_tzdir_set(const char *path)
{
    std::string bin;
    if (path) {
        bin = path;
    } else {
        char exe[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        if (n <= 0)
            return -2;
        exe[n] = '\0';
        bin = exe;
        size_t slash = bin.rfind('/');
        bin.erase(slash == std::string::npos ? 0 : slash);
    }
    fprintf(stderr, "%s:%d bin=[%s]\n", __func__, __LINE__, bin.c_str());
    char env[PATH_MAX + 8];
    int n = snprintf(env, sizeof(env), "TZDIR=%s/../share/zoneinfo", bin.c_str());
    if (n < 0 || (size_t)n >= sizeof(env))
        return -22;
    /* setenv copies, where putenv would keep a pointer to our array. */
    if (setenv("TZDIR", env + strlen("TZDIR="), 1) != 0)
        return -12;
    fprintf(stderr, "%s:%d env=[%s]\n", __func__, __LINE__, env);
    return 0;
}

namespace {

/* The tzset of a context for the zone `tz` (the value of TZ; NULL when
 * unset): a zone file, else a rule string, else UTC. Does nothing when tz
 * names the zone set up last. */
void localtime_tz_setup(localtime_tz_t *ctx, const char *tz)
{
    const char *name;
    if (!tz)
        name = "localtime";
    else if (!*tz)
        name = "Universal";
    else
        name = tz + (*tz == ':');

    if (strlen(name) > LOCALTIME_TZ_NAME_MAX) {
        fprintf(stderr, "%s:%d: zone name of %zu bytes refused, UTC\n", __func__, __LINE__, strlen(name));
        ctx->have_old_tz = 0;
        tzset_utc(ctx);
        return;
    }
    if (ctx->have_old_tz && strcmp(ctx->old_tz, name) == 0)
        return;
    strlcpy(ctx->old_tz, name, sizeof(ctx->old_tz));
    ctx->have_old_tz = 1;

    if (tzfile_read(ctx, name, 0) == 0)
        return;
    if (!*name || strcmp(name, "localtime") == 0) {
        tzset_utc(ctx);
        return;
    }
    int norules = 0;
    tz_rule rules[2];
    if (tzset_parse_rules(name, rules, &norules) < 0) {
        tzset_utc(ctx);
        return;
    }
    if (norules && tzfile_default(ctx, rules[0].name, rules[1].name, rules[0].offset, rules[1].offset) == 0)
        return;
    tzset_use_rules(ctx, rules);
}

} // namespace

localtime_tz_t *localtime_tz_new(void)
{
    localtime_tz_t *ctx = static_cast<localtime_tz_t *>(calloc(1, sizeof(localtime_tz_t)));
    if (!ctx)
        return nullptr;
    tzset_utc(ctx);
    for (tz_rule &r : ctx->tz_rules)
        strlcpy(r.name, "GMT", sizeof(r.name));
    return ctx;
}

void localtime_tz_release(localtime_tz_t *ctx)
{
    if (!ctx)
        return;
    tzfile_free(ctx);
    free(ctx);
}

int localtime_tz_set(const char *name, localtime_tz_t **pctx)
{
    if (!pctx)
        return -22;
    localtime_tz_t *ctx = *pctx ? *pctx : localtime_tz_new();
    if (!ctx)
        return -12;
    const char *value = name;
    if (name && strncmp(name, "TZ=", 3) == 0)
        value = name + 3;
    localtime_tz_setup(ctx, value);
    *pctx = ctx;
    return 0;
}

struct tm *localtime_tz(const time_t *t, struct tm *tp, localtime_tz_t *ctx)
{
    if (!t || !tp) {
        errno = EINVAL;
        return nullptr;
    }
    if (!ctx)
        return localtime_r(t, tp);

    struct tm r = {};
    long leap_correct = 0;
    int leap_hit = 0;
    if (ctx->__use_tzfile) {
        tzfile_compute(ctx, *t, &r, &leap_correct, &leap_hit);
    } else {
        struct tm utc;
        if (offtime(*t, 0, &utc) < 0) {
            errno = EOVERFLOW;
            return nullptr;
        }
        int isdst = tzset_compute(ctx->tz_rules, *t, (int64_t)utc.tm_year + 1900);
        r.tm_isdst = isdst;
        r.tm_gmtoff = ctx->tz_rules[isdst].offset;
        r.tm_zone = ctx->tz_rules[isdst].name;
    }
    if (offtime(*t, r.tm_gmtoff - leap_correct, &r) < 0) {
        errno = EOVERFLOW;
        return nullptr;
    }
    r.tm_sec += leap_hit;
    *tp = r;
    return tp;
}
