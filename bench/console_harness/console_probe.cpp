/* Console probe for the benchmark: see console_probe.h. */
#include "console_probe.h"

#include <stdio.h>
#include <stdlib.h>

#include "ui_oled.h"

int64_t console_probe_now_us(void)
{
    return g_get_monotonic_time();
}

namespace {

int64_t gap_last, gap_max, gap_long_count, gap_long_sum, gap_last_long;
guint gap_timer;

gboolean gap_tick(gpointer)
{
    int64_t now = console_probe_now_us();
    if (gap_last && now - gap_last > gap_max)
        gap_max = now - gap_last;
    if (gap_last && now - gap_last > 100000) {
        gap_long_count++;
        gap_long_sum += now - gap_last;
    }
    if (gap_last && now - gap_last > 50000)
        gap_last_long = now;
    if (gap_last && now - gap_last > 40000 && getenv("HARNESS_VERBOSE")) {
        GDateTime *t = g_date_time_new_now_local();
        gchar *text = g_date_time_format(t, "%H:%M:%S");
        fprintf(stderr, "main loop gap %.1f ms ending at %s.%03d\n", (double)(now - gap_last) / 1000.0, text,
                g_date_time_get_microsecond(t) / 1000);
        g_free(text);
        g_date_time_unref(t);
    }
    gap_last = now;
    return TRUE;
}

} // namespace

void console_probe_gap_start(void)
{
    if (!gap_timer)
        gap_timer = gdk_threads_add_timeout(10, gap_tick, nullptr);
    console_probe_gap_reset();
}

int64_t console_probe_gap_max_us(void)
{
    return gap_max;
}

void console_probe_gap_reset(void)
{
    gap_last = 0;
    gap_max = 0;
    gap_long_count = 0;
    gap_long_sum = 0;
}

int64_t console_probe_gap_long(int64_t *total_us)
{
    if (total_us)
        *total_us = gap_long_sum;
    return gap_long_count;
}

int64_t console_probe_gap_last_over_50ms(void)
{
    return gap_last_long;
}

std::string console_probe_clock(GtkWidget *clock)
{
    ui_oled_timer_ctx_t *ctx = clock ? ui_oled_timer_ctx(clock) : nullptr;
    return ctx ? ctx->time_text : "";
}

long console_probe_rss_kib(void)
{
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "VmRSS: %ld kB", &kib) == 1)
            break;
    fclose(f);
    return kib;
}
