/* The main loop of the GUI tests: GTK start-up, running the loop until a
 * condition holds, a meter of the loop's longest pause, and finding and
 * answering the dialogs a modal call puts up. Header-only so that every
 * area's tests can use it without another source in their targets. */
#pragma once
#include <gtk/gtk.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>

namespace gui_detail {
/* -1 not tried, 0 no display, 1 ready with the lock free, 2 ready with the
 * lock held by the test thread. */
inline int &state()
{
    static int s = -1;
    return s;
}
} // namespace gui_detail

/* gdk_threads_init and gtk_init_check, once per process; false without a
 * display. `first` runs once after a successful start-up. With hold_lock
 * the calling thread keeps the GDK lock, as the program holds it around its
 * loop; without, only the loop's own sources take it. */
inline bool gui_ready(bool hold_lock, const std::function<void()> &first = {})
{
    int &s = gui_detail::state();
    if (s < 0) {
        const char *d = getenv("DISPLAY");
        s = 0;
        if (d && *d) {
            gdk_threads_init();
            if (gtk_init_check(nullptr, nullptr)) {
                if (first)
                    first();
                if (hold_lock)
                    gdk_threads_enter();
                s = hold_lock ? 2 : 1;
            }
        }
    }
    return s > 0;
}

namespace gui_detail {
struct waiter
{
    const std::function<bool()> *cond;
    gint64 until;
    bool ok;
};
inline gboolean waiter_tick(gpointer data)
{
    auto *w = static_cast<waiter *>(data);
    if ((w->cond && (*w->cond)()) || g_get_monotonic_time() >= w->until) {
        w->ok = w->cond && (*w->cond)();
        gtk_main_quit();
        return FALSE;
    }
    return TRUE;
}
} // namespace gui_detail

/* Runs the main loop until cond () holds (checked on the loop every
 * period_ms) or ms have passed; cond's last value. A thread holding the GDK
 * lock runs gtk_main, which lets the lock go while it waits; otherwise the
 * loop is iterated here (GDK's sources take the lock themselves). Without
 * cond it runs for ms. */
inline bool gui_pump_until(const std::function<bool()> &cond, int ms, int period_ms = 20)
{
    if (cond && cond())
        return true;
    gint64 until = g_get_monotonic_time() + (gint64)ms * 1000;
    if (gui_detail::state() == 2) {
        gui_detail::waiter w{cond ? &cond : nullptr, until, false};
        gdk_threads_add_timeout((guint)period_ms, gui_detail::waiter_tick, &w);
        gtk_main();
        return w.ok;
    }
    gint64 next = g_get_monotonic_time() + (gint64)period_ms * 1000;
    for (;;) {
        while (g_main_context_pending(nullptr))
            g_main_context_iteration(nullptr, FALSE);
        gint64 now = g_get_monotonic_time();
        if (now >= next) {
            if (cond && cond())
                return true;
            next = now + (gint64)period_ms * 1000;
        }
        if (now >= until)
            return cond && cond();
        g_usleep(2000);
    }
}

/* Runs pending main-loop work, then keeps the loop going for ms. */
inline void gui_pump(int ms = 0)
{
    if (ms > 0) {
        gui_pump_until({}, ms);
        return;
    }
    /* GDK's event source takes the lock while it dispatches. */
    bool held = gui_detail::state() == 2;
    if (held)
        gdk_threads_leave();
    while (g_main_context_pending(nullptr))
        g_main_context_iteration(nullptr, FALSE);
    if (held)
        gdk_threads_enter();
}

/* The main loop's longest pause: a timer that keeps the longest time
 * between two of its runs from start until stop. `each` runs on every tick
 * (on the loop, GDK lock held). */
struct gui_pause_meter
{
    guint source = 0;
    gint64 last_us = 0, longest_us = 0;
    int period_ms = 10;
    std::function<void()> each;

    /* from_now: the time until the first tick counts as a pause too. */
    void start(int period = 10, bool from_now = false)
    {
        stop();
        period_ms = period;
        longest_us = 0;
        last_us = from_now ? g_get_monotonic_time() : 0;
        source = gdk_threads_add_timeout((guint)period_ms, tick, this);
    }
    void stop()
    {
        if (source)
            g_source_remove(source);
        source = 0;
    }
    /* Longest pause in ms; with until_now the time since the last tick too. */
    gint64 longest_ms(bool until_now = false) const
    {
        gint64 l = longest_us;
        if (until_now && last_us)
            l = std::max(l, g_get_monotonic_time() - last_us);
        return l / 1000;
    }
    /* Longest pause beyond the timer's own period, in ms. */
    double blocked_ms() const
    {
        gint64 over = longest_us - (gint64)period_ms * 1000;
        return over > 0 ? (double)over / 1000.0 : 0.0;
    }
    ~gui_pause_meter() { stop(); }

    static gboolean tick(gpointer data)
    {
        auto *m = static_cast<gui_pause_meter *>(data);
        gint64 now = g_get_monotonic_time();
        if (m->last_us)
            m->longest_us = std::max(m->longest_us, now - m->last_us);
        m->last_us = now;
        if (m->each)
            m->each();
        return TRUE;
    }
};

/* The first visible top-level window for which match holds (any visible one
 * without match), or null. */
inline GtkWidget *gui_find_top(const std::function<bool(GtkWidget *)> &match = {})
{
    GList *all = gtk_window_list_toplevels();
    GtkWidget *found = nullptr;
    for (GList *l = all; l && !found; l = l->next) {
        GtkWidget *w = GTK_WIDGET(l->data);
        if (gtk_widget_get_visible(w) && (!match || match(w)))
            found = w;
    }
    g_list_free(all);
    return found;
}

/* The first visible dialog (with that title when title is given), or null. */
inline GtkWidget *gui_find_dialog(const char *title = nullptr)
{
    return gui_find_top([title](GtkWidget *w) {
        const char *t = gtk_window_get_title(GTK_WINDOW(w));
        return GTK_IS_DIALOG(w) && (!title || (t && !strcmp(t, title)));
    });
}

/* The record a dialog keeps under `key` (g_object_set_data) of the first
 * visible top-level window that has one, or null; its window in *top. */
template <typename T> T *gui_find_record(const char *key, GtkWidget **top = nullptr)
{
    GtkWidget *w = gui_find_top([key](GtkWidget *t) { return g_object_get_data(G_OBJECT(t), key) != nullptr; });
    if (top)
        *top = w;
    return w ? static_cast<T *>(g_object_get_data(G_OBJECT(w), key)) : nullptr;
}

/* Answers every visible dialog with response; how many there were. */
inline int gui_answer_dialogs(int response)
{
    GList *all = gtk_window_list_toplevels();
    int n = 0;
    for (GList *l = all; l; l = l->next)
        if (GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data))) {
            gtk_dialog_response(GTK_DIALOG(l->data), response);
            n++;
        }
    g_list_free(all);
    return n;
}
