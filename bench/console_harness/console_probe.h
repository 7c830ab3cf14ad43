/* Console probe for the benchmark, beside the tests' console fixture
 * (engine_support.h): read-outs of clocks, the main loop's longest pause and
 * the process's resident memory. */
#pragma once
#include <gtk/gtk.h>
#include <stdint.h>

#include <string>

#include "engine_support.h"
#include "grid_probe.h"

/* Microseconds of the monotonic clock. */
int64_t console_probe_now_us(void);
/* A 10 ms main-loop timer that keeps the longest time between two of its
 * runs: how long the loop was kept from its work. */
void console_probe_gap_start(void);
/* Longest gap since the last reset, microseconds; the reset starts anew. */
int64_t console_probe_gap_max_us(void);
void console_probe_gap_reset(void);
/* Gaps over 100 ms since the reset (their sum in *total_us), and the time
 * (monotonic µs) when the last gap over 50 ms ended. */
int64_t console_probe_gap_long(int64_t *total_us);
int64_t console_probe_gap_last_over_50ms(void);

/* Grid read-outs are those of the tests (grid_probe.h). The time line of a clock widget, "" without a clock context. */
std::string console_probe_clock(GtkWidget *clock);

/* Resident set of this process in KiB (VmRSS), -1 when unreadable. */
long console_probe_rss_kib(void);
