/* Zone-aware local time: one context per zone, read from TZif files or POSIX
 * TZ rule strings, so that buses in different zones convert side by side
 * without touching the process-wide zone of localtime_r. */
#pragma once
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

/* Zone file directory used when TZDIR is unset or empty; the only place an
 * absolute zone name may point into. */
#define LOCALTIME_TZ_DEFAULT_DIR "/usr/local/etc/zoneinfo"

/* Longest zone name (the text after "TZ=") a context accepts; longer names
 * give UTC. */
#define LOCALTIME_TZ_NAME_MAX 259

/* Longest abbreviation a rule string may carry (POSIX asks for 3 or more). */
#define LOCALTIME_TZ_ABBR_MAX 31

/* One local time type of a zone file. */
struct ttinfo
{
    int32_t offset;      /* seconds east of UTC */
    unsigned char isdst; /* daylight time */
    unsigned char idx;   /* abbreviation: index into zone_names */
    unsigned char isstd; /* transitions into this type given in standard time */
    unsigned char isut;  /* ... or given in UT */
};

/* One leap second record: from `transition` on, `change` seconds in all. */
struct leap
{
    int64_t transition;
    long change;
};

/* Kind of date in a rule: Jn (1..365, no Feb 29), n (0..365), Mm.w.d. */
enum tz_rule_type
{
    TZ_RULE_J = 0,
    TZ_RULE_D = 1,
    TZ_RULE_M = 2
};

/* One half of a POSIX rule: tz_rules[0] is standard time and carries the
 * date daylight time starts, tz_rules[1] daylight time and the date it ends. */
typedef struct tz_rule
{
    char name[LOCALTIME_TZ_ABBR_MAX + 1];
    long offset; /* seconds east of UTC */
    enum tz_rule_type type;
    unsigned short m, n, d; /* month, week, day (M); day number in n (J, D) */
    int secs;               /* local time of day of the change, may be <0 or >24h */
    int64_t change;         /* the change in UTC for computed_for */
    int64_t computed_for;   /* year `change` belongs to; 0 none */
} tz_rule;

typedef struct localtime_tz_desc
{
    int __use_tzfile;

    /* Identity of the file whose tables are held, to skip rereading it. */
    dev_t tzfile_dev;
    ino_t tzfile_ino;
    time_t tzfile_mtime;

    size_t num_transitions;
    int64_t *transitions;
    unsigned char *type_idxs;
    size_t num_types;
    struct ttinfo *types;
    char *zone_names;
    long rule_stdoff, rule_dstoff;
    size_t num_leaps;
    struct leap *leaps;
    char *tzspec;

    const char *__tzname[2];
    int __daylight;
    long __timezone; /* seconds west of UTC */

    tz_rule tz_rules[2];

    /* Private to the modules of this folder. */
    void *tzfile_block;  /* the one allocation all the tables above live in */
    size_t tzfile_chars; /* bytes usable at zone_names */
    int tzspec_usable;   /* tzspec parsed into tz_rules for times after the last transition */
    int have_old_tz;
    char old_tz[LOCALTIME_TZ_NAME_MAX + 1];
} localtime_tz_t;

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
