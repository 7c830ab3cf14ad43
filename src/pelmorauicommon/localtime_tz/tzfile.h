/* TZif zone files (RFC 8536, versions 1 to 4): finding a zone's file under
 * TZDIR, checking and reading it into the context's one table block, the
 * "posixrules" rewrite, and the local time type in force at an instant. */
#pragma once
#include "tz_types.h"

#include <stddef.h>

/* Largest zone file read; real ones are a few kilobytes. */
#define TZFILE_MAX_SIZE (1024 * 1024)

/* Reads the TZif image buf[0..len) into ctx, with `extra` spare bytes at
 * zone_names for the posixrules rewrite. On success the context uses the
 * file (0); on -22 (malformed) or -12 (no memory) ctx is left as it was. */
int tzfile_parse(localtime_tz_t *ctx, const unsigned char *buf, size_t len, size_t extra);

/* Finds and reads the zone file `file` (see the naming rules in the .cpp);
 * a file already held with the same identity is not read again. Returns 0,
 * -2 when refused or not found, -22 when malformed, -12 without memory. */
int tzfile_read(localtime_tz_t *ctx, const char *file, size_t extra);

/* A daylight rule string without change rules: takes the transitions of
 * "posixrules", moved to the given abbreviations and offsets (east). */
int tzfile_default(localtime_tz_t *ctx, const char *std, const char *dst, long stdoff, long dstoff);

/* Sets tm_isdst, tm_gmtoff and tm_zone of tp for t, and the leap second
 * correction to subtract and the count of leap seconds shown at t. */
void tzfile_compute(localtime_tz_t *ctx, int64_t t, struct tm *tp, long *leap_correct, int *leap_hit);

/* Releases the table block. */
void tzfile_free(localtime_tz_t *ctx);
