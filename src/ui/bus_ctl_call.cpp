/* Running a bus's commands: the server call on a worker thread while the
 * main loop goes on, the plain words of a failure (notice line or error
 * box), and the selected events read for a command. */
#include "bus_ctl_call.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <utility>

#include "bus.h"
#include "gdk_unlock.h"
#include "pelmorabox.h"
#include "settings/settings.h"
#include "strl.h"
#include "ui_bus.h"
#include "ui_dlg.h"

#include "i18n.h"

namespace {

/* A command's server call, made off the main loop (idle_wrap_off_main):
 * clocks keep counting and the other buses stay operable. */
struct pending_call_desc
{
    bus_t *bus = nullptr;
    const char *what = "";
    pelmorabox_bus_state_t s;
    int r = -14;
    /* Set by the call when it chose not to send (plain words). */
    std::string why;
};

/* On the main loop as soon as the answer comes, even when another bus's
 * command is waiting in a loop nested deeper. */
void pending_call_answered(pending_call_desc *pc)
{
    bus_t *bus = pc->bus;
    bus->rt.pending = 0;
    bus->rt.pending_what[0] = 0;
    g_warning("%s: bus %d: %s answered %d", "bus_ctl_command", bus->idx, pc->what, pc->r);
    /* Closing the window while the call was out: the panel may be gone. */
    if (!(bus->app && instance_stopping(bus->app))) {
        if (pc->r >= 0) {
            bus_push_state(bus, 0, &pc->s);
            bus_ui_notice(bus, nullptr, BUS_UI_NOTICE_NONE);
        } else {
            bus_ctl_notice_failure(bus, pc->what, pc->r, pc->why.empty() ? nullptr : pc->why.c_str());
            /* The server may have carried it out all the same: every row in
             * view is read again at once, and its answer brings the state;
             * a server still silent is read by the polls until it answers. */
            if (pc->r == -14 && pc->why.empty())
                bus_enqueu_update_visible(bus, INT64_MAX);
        }
    }
}

} // namespace

/* ---- Plain words. ---- */

char *bus_ctl_reason(int result, char *buf, size_t size)
{
    if (!buf || !size)
        return buf;
    if (result == -14)
        snprintf(buf, size, "%s",
                 _("The server gave no usable answer: it could not be reached, did not answer in time, or sent "
                   "something unreadable."));
    else if (result < 0 && result > -4096)
        snprintf(buf, size, _("The server refused it: %s (result %d)."), g_strerror(-result), result);
    else
        snprintf(buf, size, _("The server answered with result %d."), result);
    return buf;
}

char *bus_ctl_outcome(int result, char *buf, size_t size)
{
    if (result != -14)
        return bus_ctl_reason(result, buf, size);
    if (buf && size)
        snprintf(buf, size, "%s",
                 _("No answer came from the server: it may still carry this out. The list shows what it did; look "
                   "there before sending it again."));
    return buf;
}

int bus_ctl_show_failure(bus_t *bus, const char *message, int result)
{
    std::string text = _(message);
    if (result < 0) {
        char reason[512];
        text += "\n\n";
        text += bus_ctl_reason(result, reason, sizeof(reason));
    }
    ui_show_error(bus && bus->app ? bus->app->window : nullptr, _("ERROR"), text.c_str());
    return 0;
}

int bus_ctl_notice_failure(bus_t *bus, const char *what, int result, const char *why)
{
    if (!bus)
        return -22;
    const char *server = bus->host[0] ? bus->host : bus->url;
    char text[1024];
    if (why)
        snprintf(text, sizeof(text), _("%s not sent: %s"), what, why);
    else if (result == -14)
        /* Not a failure: the call may have reached the server, which may
         * carry it out late. Sending it again could do it twice. */
        snprintf(text, sizeof(text),
                 _("%s: no answer from %s, it may still be carried out; the list shows what the "
                   "server did"),
                 what, server);
    else if (result < 0 && result > -4096)
        snprintf(text, sizeof(text), _("%s failed: refused by %s: %s (%d)"), what, server, g_strerror(-result), result);
    else
        snprintf(text, sizeof(text), _("%s failed: %s answered %d"), what, server, result);
    g_warning("%s: bus %d: %s", __func__, bus->idx, text);
    return bus_ui_notice(bus, text, BUS_UI_NOTICE_FAILED);
}

/* ---- Channel commands. ---- */

int bus_ctl_command(bus_t *bus, const char *what, std::function<int(pelmorabox_bus_state_t *, std::string *)> call)
{
    if (!bus || !call)
        return -22;
    if (bus->rt.pending) {
        g_warning("%s: bus %d: %s not sent, %s is waiting for its answer", "bus_ctl_command", bus->idx, what,
                  bus->rt.pending_what);
        return -16;
    }
    pending_call_desc pc;
    memset(&pc.s, 0, sizeof(pc.s));
    pc.bus = bus;
    pc.what = what;
    bus->rt.pending = 1;
    strlcpy(bus->rt.pending_what, what, sizeof(bus->rt.pending_what));
    char text[600];
    snprintf(text, sizeof(text), _("%s: sending to %s ..."), what, bus->host[0] ? bus->host : bus->url);
    bus_ui_notice(bus, text, BUS_UI_NOTICE_SENDING);

    idle_wrap_off_main([&] { pc.r = call(&pc.s, &pc.why); }, [&pc] { pending_call_answered(&pc); }, &gdk_idle_lock);
    return pc.r;
}

int bus_ctl_io_settings(bus_t *bus, GtkWidget *parent, srv_t *srv)
{
    g_warning("%s: IO settings of [%s]", __func__, srv->host);
    int r = settings_dialog(parent, srv);
    if (r == -16)
        bus_ctl_notice_failure(bus, _("IO SETTINGS"), r, _("another IO settings dialog is waiting for its server"));
    else if (r < 0) {
        char why[600];
        snprintf(why, sizeof(why), _("the settings of %s cannot be read"), srv->host);
        bus_ctl_notice_failure(bus, _("IO SETTINGS"), r, why);
    }
    return r;
}

/* ---- Work off the main loop. ---- */

int bus_ctl_off_main(bus_t *bus, const char *what, const char *doing, std::function<int()> work)
{
    if (!bus || !work)
        return -22;
    if (bus->rt.pending) {
        g_warning("%s: bus %d: %s not started, %s is waiting for its answer", __func__, bus->idx, what,
                  bus->rt.pending_what);
        return -16;
    }
    bus->rt.pending = 1;
    strlcpy(bus->rt.pending_what, what, sizeof(bus->rt.pending_what));
    char text[600];
    snprintf(text, sizeof(text), "%s: %s", what, doing);
    bus_ui_notice(bus, text, BUS_UI_NOTICE_SENDING);

    int r = -14;
    idle_wrap_off_main([&] { r = work(); }, nullptr, &gdk_idle_lock);
    bus->rt.pending = 0;
    bus->rt.pending_what[0] = 0;
    return r;
}

int bus_ctl_notice_busy(bus_t *bus, const char *what)
{
    if (!bus)
        return -22;
    char why[200];
    if (bus->rt.pending)
        snprintf(why, sizeof(why), _("%s is waiting for its server"), bus->rt.pending_what);
    else
        snprintf(why, sizeof(why), "%s", _("another action of this bus is under way"));
    return bus_ctl_notice_failure(bus, what, -16, why);
}

/* ---- The selection. ---- */

namespace {

/* Reads the events at list indexes idxs from the server, BUS_FETCH_MAX at a
 * time, into out (in the order of idxs). Worker thread: no widget, no bus
 * record. Returns how many could not be read, and the last failed result
 * in *result. */
int read_events_at(const std::string &url, int bus_idx, const std::vector<int64_t> &idxs,
                   std::vector<pelmorabox_event_t *> *out, int *result)
{
    out->assign(idxs.size(), nullptr);
    int missing = 0;
    for (size_t at = 0; at < idxs.size(); at += BUS_FETCH_MAX) {
        int n = (int)std::min<size_t>(BUS_FETCH_MAX, idxs.size() - at);
        int64_t asked[BUS_FETCH_MAX];
        pelmorabox_event_t *got[BUS_FETCH_MAX] = {};
        std::copy(idxs.begin() + (long)at, idxs.begin() + (long)at + n, asked);
        pelmorabox_bus_state_t s;
        memset(&s, 0, sizeof(s));
        int r = pelmorabox_get_events2(url.c_str(), bus_idx, n, asked, got, &s);
        /* Each answer carries its own index: take only what was asked. */
        for (int k = 0; k < std::min(std::max(r, 0), n); k++) {
            for (int j = 0; got[k] && j < n; j++)
                if (idxs[at + (size_t)j] == asked[k] && !(*out)[at + (size_t)j]) {
                    (*out)[at + (size_t)j] = got[k];
                    got[k] = nullptr;
                }
        }
        for (pelmorabox_event_t *&e : got)
            if (e)
                pelmorabox_event_destroy(&e);
        for (int j = 0; j < n; j++)
            if (!(*out)[at + (size_t)j]) {
                missing++;
                *result = r < 0 ? r : -14;
            }
    }
    return missing;
}

void destroy_all(std::vector<pelmorabox_event_t *> *events)
{
    for (pelmorabox_event_t *&e : *events)
        if (e)
            pelmorabox_event_destroy(&e);
    events->clear();
}

} // namespace

int bus_ctl_selected_events(bus_t *bus, size_t max, const char *what, std::vector<pelmorabox_event_t *> *events,
                            std::vector<int> *row_idxs)
{
    events->clear();
    if (row_idxs)
        row_idxs->clear();
    if (!bus || !bus->grid)
        return -22;
    GtkTreeModel *model = nullptr;
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(bus->grid));
    GList *rows = gtk_tree_selection_get_selected_rows(sel, &model);
    /* Selection order; rows beyond max are ignored. */
    std::vector<pelmorabox_event_t *> &picked = *events;
    std::vector<int64_t> unread;
    std::vector<size_t> unread_at;
    for (GList *l = rows; l && picked.size() < max; l = l->next) {
        GtkTreePath *path = static_cast<GtkTreePath *>(l->data);
        GtkTreeIter iter;
        if (!gtk_tree_model_get_iter(model, &iter, path))
            continue;
        pelmorabox_event_t *e = nullptr;
        gtk_tree_model_get(model, &iter, BUS_COLUMN_DATA, &e, -1);
        int idx = gtk_tree_path_get_indices(path)[0];
        if (!e) {
            /* Not fetched yet, or given back while far from view. */
            unread.push_back(idx);
            unread_at.push_back(picked.size());
        }
        picked.push_back(e ? pelmorabox_event_clone(e) : nullptr);
        if (row_idxs)
            row_idxs->push_back(idx);
    }
    g_list_free_full(rows, (GDestroyNotify)gtk_tree_path_free);
    if (unread.empty())
        return 0;

    /* Some thousand rows are a few dozen calls: read on a worker so that
     * the clocks and the other buses go on meanwhile. */
    int result = 0, missing = 0;
    std::vector<pelmorabox_event_t *> got;
    std::string url = bus->url;
    int bus_idx = bus->idx;
    const char *server = bus->host[0] ? bus->host : bus->url;
    char doing[400];
    snprintf(doing, sizeof(doing), _("reading %d events from %s ..."), (int)unread.size(), server);
    GtkWidget *grid = bus->grid;
    g_object_add_weak_pointer(G_OBJECT(grid), reinterpret_cast<gpointer *>(&grid));
    int r = bus_ctl_off_main(bus, what, doing, [&] {
        missing = read_events_at(url, bus_idx, unread, &got, &result);
        return missing ? result : 0;
    });
    if (grid)
        g_object_remove_weak_pointer(G_OBJECT(grid), reinterpret_cast<gpointer *>(&grid));
    for (size_t k = 0; k < got.size(); k++)
        picked[unread_at[k]] = got[k];
    int total = (int)picked.size();
    bool gone = !grid || grid != bus->grid || (bus->app && instance_stopping(bus->app));
    if (!gone && r != -16 && !missing) {
        bus_ui_notice(bus, nullptr, BUS_UI_NOTICE_NONE);
        return 0;
    }
    /* Acting on part of a selection would do something nobody chose. */
    destroy_all(&picked);
    if (row_idxs)
        row_idxs->clear();
    if (gone) {
        g_warning("%s: bus %d: the grid went away while its selection was read, %s not done", __func__, bus_idx, what);
        return -2;
    }
    if (r == -16) {
        bus_ctl_notice_busy(bus, what);
        return -16;
    }
    g_warning("%s: %d of %d selected events could not be read, nothing done", __func__, missing, total);
    char text[800];
    if (result == -14)
        snprintf(text, sizeof(text),
                 _("%s not done: %d of the %d selected events could not be read, %s gave no answer"), what, missing,
                 total, server);
    else
        snprintf(text, sizeof(text),
                 _("%s not done: %d of the %d selected events could not be read, refused by %s: %s (%d)"), what,
                 missing, total, server, g_strerror(-result), result);
    bus_ui_notice(bus, text, BUS_UI_NOTICE_FAILED);
    return result < 0 ? result : -14;
}
