/* The records of a zone context, shared by the zone file reader, the rule
 * parser and the public entry points; declarations only, so that each of
 * them can use the records without reaching the others. */
#pragma once
#include <stddef.h>
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
