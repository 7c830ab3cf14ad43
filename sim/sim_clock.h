/* Simulator clock: wall time in milliseconds and the conversions between
 * milliseconds, frames of the server's timecode mode and timecode texts.
 * 64-bit throughout, since a day of NTSC frames overflows 32-bit products. */
#pragma once
#include <stdint.h>

int64_t sim_clock_now_ms(void);
/* Frames of the current timecode mode to milliseconds and back (truncating). */
int64_t sim_clock_frames2ms(int64_t frames);
int64_t sim_clock_ms2frames(int64_t ms);
/* A duration as timecode text; negative durations get a leading '-'. */
char *sim_clock_dur2tc(int64_t ms, char *buf, int lim);
/* Local time of day of an absolute time as timecode text. */
char *sim_clock_tod2tc(int64_t abs_ms, char *buf, int lim);
/* Local midnight at or before the absolute time. */
int64_t sim_clock_local_midnight(int64_t abs_ms);
/* Timecode text to frames; -1 for an empty or digit-free text. */
int64_t sim_clock_tc2frames(const char *tc);
/* Timecode text to milliseconds; -1 for an empty or digit-free text. */
int64_t sim_clock_tc2ms(const char *tc);
