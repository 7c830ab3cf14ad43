/* Zone-aware local time: one context per zone, read from TZif files or POSIX
 * TZ rule strings, so that buses in different zones convert side by side
 * without touching the process-wide zone of localtime_r. */
#pragma once
#include "tz_types.h"

#include <time.h>

/* Points TZDIR at <bin>/../share/zoneinfo, <bin> being `path` or, with NULL,
 * the directory of the running executable. Returns 0, -2 when the
 * executable's path cannot be read, -22 for a path that does not fit. */
int localtime_tzdir_set(const char *path);

/* Sets up the zone `name` ("TZ=Europe/Paris", or the zone alone; NULL as if
 * TZ were unset) in *pctx, creating the context when *pctx is NULL. The
 * process environment and zone are left alone. A zone that cannot be read
 * is UTC. Returns 0, -22 without pctx, -12 without memory. */
int localtime_tz_set(const char *name, localtime_tz_t **pctx);

/* Broken-down local time of *t in the zone of ctx (the process zone when
 * ctx is NULL), with tm_gmtoff and tm_zone; tm_zone points into the context
 * and holds until its next set-up. Returns tp, or NULL (errno EOVERFLOW)
 * when the year does not fit. A context may be used by one thread at a time. */
struct tm *localtime_tz(const time_t *t, struct tm *tp, localtime_tz_t *ctx);

/* New zeroed context in UTC ("GMT" abbreviations), and its release. */
localtime_tz_t *localtime_tz_new(void);
void localtime_tz_release(localtime_tz_t *ctx);
