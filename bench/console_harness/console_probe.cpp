/* Console probe for the benchmark: see console_probe.h. */
#include "console_probe.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <thread>

#include "bus.h"
#include "opts.h"
#include "pelmora.h"
#include "pelmora_version.h"
#include "ui.h"
#include "ui_bus.h"
#include "ui_oled.h"

bool console_probe_ready(void)
{
    static int ready = -1;
    if (ready < 0) {
        ready = 0;
        if (!getenv("DISPLAY"))
            return false;
        gdk_threads_init();
        if (!gtk_init_check(nullptr, nullptr))
            return false;
        /* The console's own time-outs (or the environment's), as start-up
         * reads them. */
        pelmora_init(PELMORA_APP_NAME, PELMORA_VERSION);
        gdk_threads_enter();
        ready = 1;
    }
    return ready == 1;
}

bool console_probe_create(console_probe_t *p, const std::vector<std::string> &args)
{
    p->app = static_cast<instance_t *>(calloc(1, sizeof(instance_t)));
    if (!p->app)
        return false;
    instance_opt_defaults(p->app);
    std::vector<std::string> all = {"PelmoraBoxUI"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    if (instance_opt((int)all.size(), argv.data(), p->app) || !p->app->bus.count)
        return false;
    p->app->window = ui_create(p->app);
    return p->app->window != nullptr;
}

void console_probe_start(console_probe_t *p)
{
    gtk_widget_show(p->app->window);
    for (int i = 0; i < p->app->bus.count; i++) {
        p->app->bus.list[i].app = p->app;
        bus_init(&p->app->bus.list[i]);
    }
    p->started = true;
}

int console_probe_stop(console_probe_t *p)
{
    int rc = 0;
    if (p->started) {
        p->app->f_exit = 1;
        std::atomic<bool> done{false};
        instance_t *app = p->app;
        std::thread th([app, &done] {
            for (int i = 0; i < app->bus.count; i++)
                bus_release(&app->bus.list[i]);
            done = true;
        });
        if (console_probe_run_until([&done] { return done.load(); }, 15000, 5)) {
            th.join();
        } else {
            th.detach();
            rc = -1;
        }
        p->started = false;
    }
    if (p->app && p->app->window && rc == 0) {
        gtk_widget_destroy(p->app->window);
        p->app->window = nullptr;
    }
    return rc;
}

int64_t console_probe_now_us(void)
{
    return g_get_monotonic_time();
}

namespace {

struct waiter_desc
{
    const std::function<bool()> *pred;
    int64_t until;
    bool ok;
};

gboolean waiter_tick(gpointer data)
{
    auto *w = static_cast<waiter_desc *>(data);
    bool held = w->pred && (*w->pred)();
    if (held || console_probe_now_us() >= w->until) {
        w->ok = held;
        gtk_main_quit();
        return FALSE;
    }
    return TRUE;
}

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

bool console_probe_run_until(const std::function<bool()> &pred, int ms, int period_ms)
{
    if (pred())
        return true;
    waiter_desc w{&pred, console_probe_now_us() + (int64_t)ms * 1000, false};
    gdk_threads_add_timeout((guint)period_ms, waiter_tick, &w);
    gtk_main();
    return w.ok;
}

void console_probe_run_for(int ms)
{
    waiter_desc w{nullptr, console_probe_now_us() + (int64_t)ms * 1000, false};
    gdk_threads_add_timeout(10, waiter_tick, &w);
    gtk_main();
}

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
