/* Time helpers of the automation client: server times in milliseconds since
 * 1970 to and from struct timeval, and local times of day as timecode text in
 * the process-wide timecode mode. */
#pragma once
#include <stdint.h>
#include <sys/time.h>

int64_t pelmorabox_tv2milisec(const struct timeval *tv);
struct timeval *pelmorabox_milisec2tv(int64_t t, struct timeval *tv);
/* Local time of day of tv as "HH:MM:SS:FF" (at most 15 characters; tc holds
 * at least 16 bytes); returns tc. */
char *pelmorabox_tv2tc(const struct timeval *tv, char *tc);
/* gettimeofday's result; tv is now plus 1 ms. */
int pelmorabox_gettimeofday(struct timeval *tv);
/* tv = today's local date at the time of day of tc; returns tv. */
struct timeval *pelmorabox_tc2tvnow(const char *tc, struct timeval *tv);
