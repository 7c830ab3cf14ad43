/* Helpers of the reliability suite: see reliability_support.h. */
#include "reliability_support.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <chrono>

#include "pelmorabox.h"
#include "ui_bus.h"

namespace {

/* The simulator's "faults on" / "faults off" lines so far, and the last one. */
int fault_lines(sim_child_t *sim, std::string *last)
{
    std::lock_guard<std::mutex> g(sim->lock);
    int n = 0;
    for (const std::string &l : sim->lines)
        if (l == "faults on" || l == "faults off") {
            n++;
            *last = l;
        }
    return n;
}

} // namespace

bool reliability_sim_faults(sim_child_t *sim, bool on)
{
    std::string last;
    int before = fault_lines(sim, &last);
    if (sim->pid <= 0 || kill(sim->pid, SIGUSR1) != 0)
        return false;
    for (int i = 0; i < 500; i++) {
        if (fault_lines(sim, &last) > before)
            return last == (on ? "faults on" : "faults off");
        usleep(10000);
    }
    return false;
}

namespace {

gboolean close_gave_up(gpointer data)
{
    *static_cast<bool *>(data) = true;
    gtk_main_quit();
    return FALSE;
}

} // namespace

bool reliability_close_console(instance_t *app, int limit_ms)
{
    if (!app->window)
        return true;
    GdkEvent *ev = gdk_event_new(GDK_DELETE);
    ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(app->window)));
    gtk_main_do_event(ev);
    gdk_event_free(ev);
    bool timed_out = false;
    guint guard = gdk_threads_add_timeout((guint)limit_ms, close_gave_up, &timed_out);
    gtk_main(); /* left by the window's destroy handler */
    if (timed_out)
        return false;
    g_source_remove(guard);
    pthread_join(app->th_stop_wait, nullptr);
    return true;
}

reliability_row reliability_row_of(pelmorabox_event_t *e)
{
    reliability_row r;
    if (!e)
        return r;
    std::vector<char> buf(PELMORABOX_EVENT_LINE_BUF);
    pelmorabox_event_format_string(e, buf.data(), (int)buf.size());
    r.line = buf.data();
    r.sys_id = e->sys_id;
    r.flags = e->flags;
    return r;
}

bool reliability_server_list(const std::string &url, int idx, std::vector<reliability_row> *out, int64_t *amend)
{
    out->clear();
    pelmorabox_bus_state_t s0;
    memset(&s0, 0, sizeof s0);
    if (pelmorabox_get_state(url.c_str(), idx, &s0) < 0)
        return false;
    for (int64_t at = 0; at < s0.count; at += 32) {
        int n = (int)std::min<int64_t>(32, s0.count - at);
        int64_t idxs[32];
        pelmorabox_event_t *es[32] = {};
        for (int i = 0; i < n; i++)
            idxs[i] = at + i;
        pelmorabox_bus_state_t s;
        memset(&s, 0, sizeof s);
        int r = pelmorabox_get_events2(url.c_str(), idx, n, idxs, es, &s);
        bool ok = r == n && s.amend == s0.amend;
        for (int i = 0; i < n; i++) {
            if (ok && (!es[i] || idxs[i] != at + i))
                ok = false;
            if (ok)
                out->push_back(reliability_row_of(es[i]));
            if (es[i])
                pelmorabox_event_destroy(&es[i]);
        }
        if (!ok)
            return false;
    }
    if (amend)
        *amend = s0.amend;
    return true;
}

std::vector<reliability_row> reliability_grid_list(bus_t *bus)
{
    std::vector<reliability_row> out;
    GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(bus->grid));
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_get_iter_first(m, &it); ok; ok = gtk_tree_model_iter_next(m, &it)) {
        pelmorabox_event_t *e = nullptr;
        gtk_tree_model_get(m, &it, BUS_COLUMN_DATA, &e, -1);
        out.push_back(reliability_row_of(e));
    }
    return out;
}
