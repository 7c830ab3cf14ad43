/* POSIX TZ rule strings: parsing a rule string into the two tz_rule
 * halves, the change times of a year, daylight time for an instant, and a
 * context put on rules or on UTC. */
#pragma once
#include "tz_types.h"

/* Parses a whole rule string ("CET-1CEST,M3.5.0,M10.5.0/3", "<+0530>-5:30")
 * into rules. A rule string naming daylight time without change rules gets
 * the default ones (second Sunday of March to first Sunday of November, at
 * 02:00) and *norules set to 1. Returns 0, or -22 for a malformed string or
 * out-of-range numbers, rules then undefined. */
int tzset_parse_rules(const char *text, tz_rule rules[2], int *norules);

/* Computes rule->change for `year` (cached per year in computed_for). */
void tzset_compute_change(tz_rule *rule, int64_t year);

/* 1 when daylight time of rules is in force at t, whose UTC year is `year`. */
int tzset_compute(tz_rule rules[2], int64_t t, int64_t year);

/* Sets ctx to UTC. */
void tzset_utc(localtime_tz_t *ctx);

/* Puts ctx on the rule pair (no zone file), with its abbreviations and
 * offsets. */
void tzset_use_rules(localtime_tz_t *ctx, const tz_rule rules[2]);
