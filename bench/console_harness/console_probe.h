/* Console probe for the benchmark: the real application record, main window
 * and bus engines built from a command line, the GTK main loop run under the
 * GDK lock until a condition holds, read-outs of rows and clocks, the main
 * loop's longest pause and the process's resident memory. */
#pragma once
#include <gtk/gtk.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "grid_probe.h"
#include "instance.h"

/* GDK thread lock, GTK and the protocol client, once; false without a
 * display. The caller then holds the GDK lock, as main does around the loop. */
bool console_probe_ready(void);

typedef struct console_probe_desc
{
    instance_t *app = nullptr;
    bool started = false;
} console_probe_t;

/* Parses args (the program name is added) and builds the window: false when
 * the command line names no bus or the window cannot be built. */
bool console_probe_create(console_probe_t *p, const std::vector<std::string> &args);
/* Shows the window and starts every bus's engine, as start-up does. */
void console_probe_start(console_probe_t *p);
/* f_exit, every engine released off the main thread while the loop serves
 * hand-overs, the window destroyed; 0, or -1 when the releases hang. */
int console_probe_stop(console_probe_t *p);

/* Microseconds of the monotonic clock. */
int64_t console_probe_now_us(void);
/* Runs the main loop until pred () holds (checked every period_ms on the
 * loop) or ms have passed; returns whether it held. */
bool console_probe_run_until(const std::function<bool()> &pred, int ms, int period_ms = 2);
void console_probe_run_for(int ms);

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
