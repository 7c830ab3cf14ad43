/* Drag and drop on a bus grid. Both payloads name records of this process
 * by address; only addresses this process handed out (event copies) or
 * that a library row holds now are ever read, so a drop from another
 * program, or of rows that went away meanwhile, reads nothing. The server
 * calls of a drop run on a worker after the drag has finished. Only a move
 * within one grid deletes: a drop never deletes on its target what came
 * from elsewhere. */
#include "bus_dnd.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "bus_ctl.h"
#include "library_ui.h"
#include "opts.h"
#include "pelmorabox.h"
#include "strl.h"
#include "timecode.h"
#include "ui_bus.h"

#include "i18n.h"

const GtkTargetEntry bus_drag_targets[2] = {
    {const_cast<gchar *>("application/pelmorabox_event_t"), 0, BUS_DND_INFO_EVENTS},
    {const_cast<gchar *>("application/library_row_datas"), 0, BUS_DND_INFO_LIBRARY_ROWS},
};

namespace {

/* Event copies put into payloads and not yet taken by a drop, with the
 * bus whose grid made them (main thread only). */
std::map<pelmorabox_event_t *, bus_t *> handed_out;

/* A drop waiting for its server calls. */
struct drop_job
{
    bus_t *bus;
    std::vector<pelmorabox_event_t *> events;
    int64_t at;
    std::vector<int64_t> del; /* moved events to delete once inserted */
    /* Library rows of the payload, and those no library held any more when
     * it arrived (deleted, or their folder listed again, meanwhile). */
    int rows = 0, gone = 0;
};

/* Dropped rows that were not inserted because their records had gone are
 * said on the notice line, after what the inserts themselves said. */
void say_gone(bus_t *bus, int gone, int rows, bool keep_notice)
{
    if (!gone)
        return;
    char text[400];
    snprintf(text, sizeof text, _("%d of %d dropped library rows had gone from the library and were not inserted"),
             gone, rows);
    std::string shown = keep_notice ? bus_ui_notice_text(bus) : "";
    if (shown.empty())
        bus_ctl_notice_failure(bus, "DROP", -2, text);
    else
        bus_ui_notice(bus, (shown + "; " + text).c_str(), BUS_UI_NOTICE_FAILED);
}

int run_drop(drop_job *job, pelmorabox_bus_state_t *s)
{
    bus_t *bus = job->bus;
    int failed = 0, first_failure = 0;
    for (pelmorabox_event_t *e : job->events) {
        pelmorabox_bus_state_t st;
        memset(&st, 0, sizeof st);
        int r = pelmorabox_insert_event2(bus->url, bus->idx, job->at, e, &st);
        g_warning("%s: pelmorabox_insert_event2=%d", "bus_drag_data_received", r);
        if (r < 0) {
            if (!failed++)
                first_failure = r;
        } else
            *s = st;
    }
    if (failed)
        /* Moved events whose copies did not all arrive are kept: deleting
         * them would lose events. */
        return first_failure;
    if (job->del.empty())
        return 0;
    pelmorabox_bus_state_t st;
    memset(&st, 0, sizeof st);
    int r = pelmorabox_delete_event2(bus->url, bus->idx, (int)job->del.size(), job->del.data(), &st);
    g_warning("%s: pelmorabox_delete_events2=%d", "bus_drag_data_received", r);
    if (r < 0)
        return r;
    *s = st;
    return 0;
}

gboolean drop_idle(gpointer p)
{
    auto *job = static_cast<drop_job *>(p);
    bus_t *bus = job->bus;
    bool ran = false;
    __atomic_store_n(&bus->state.ign, 1, __ATOMIC_RELEASE);
    int r = bus_ctl_command(bus, "DROP", [job, &ran](pelmorabox_bus_state_t *s, std::string *) {
        ran = true;
        return run_drop(job, s);
    });
    __atomic_store_n(&bus->state.ign, 0, __ATOMIC_RELEASE);
    if (!ran)
        bus_ctl_notice_failure(bus, "DROP", r, _("another command of this bus is waiting for its server"));
    say_gone(bus, job->gone, job->rows, r < 0);
    for (pelmorabox_event_t *&e : job->events)
        pelmorabox_event_destroy(&e);
    delete job;
    return FALSE;
}

void release_leftovers(bus_t *bus)
{
    for (auto it = handed_out.begin(); it != handed_out.end();) {
        if (it->second == bus) {
            pelmorabox_event_t *e = it->first;
            pelmorabox_event_destroy(&e);
            it = handed_out.erase(it);
        } else
            ++it;
    }
}

/* The source's drag is over: copies that no drop took go. */
void on_drag_end(GtkWidget *, GdkDragContext *, gpointer bus)
{
    release_leftovers(static_cast<bus_t *>(bus));
}

char *tc_text(int frames, char *buf)
{
    return tc_frames2tc(frames, buf);
}

} // namespace

pelmorabox_event_t *bus_dnd_event_from_library(bus_t *bus, const pelmora_lib_dir_t *dir, const pelmora_lib_item_t *item,
                                               const pelmora_lib_subclip_t *sub)
{
    if (sub && !sub->parent)
        return nullptr;
    if (!sub && !item) {
        if (dir)
            fprintf(stderr, "%s:%d ignoring dir item %p\n", "bus_drag_data_received", __LINE__, (const void *)dir);
        return nullptr;
    }
    pelmorabox_event_t *e = pelmorabox_event_create();
    if (!e)
        return nullptr;
    if (sub) {
        strlcpy(e->media_id, sub->parent->full, sizeof e->media_id);
        strlcpy(e->title, sub->title, sizeof e->title);
        tc_text(sub->duration, e->duration);
        tc_text(sub->mark_in, e->mark_in);
        tc_text(sub->mark_in + sub->duration - 1, e->mark_out);
    } else {
        int d = tc_sec2frames(item->duration), out = d - 1;
        if (d <= 0) {
            /* Length unknown: an hour's worth of frames at 25 per second. */
            d = 90000;
            out = 89999;
        }
        strlcpy(e->media_id, item->full, sizeof e->media_id);
        strlcpy(e->title, item->name, sizeof e->title);
        tc_text(d, e->duration);
        tc_text(0, e->mark_in);
        tc_text(out, e->mark_out);
    }
    int k = instance_helper_type_path_lookup(bus, e->media_id);
    if (k >= 0) {
        e->event_type = bus->helper_type_path[k].type;
        strlcpy(e->assets, bus->helper_type_path[k].assets, sizeof e->assets);
    }
    return e;
}

int bus_dnd_attach(bus_t *bus)
{
    GtkWidget *grid = bus ? bus->grid : nullptr;
    if (!grid)
        return -22;
    gtk_drag_source_set(grid, GDK_BUTTON1_MASK, bus_drag_targets, 1,
                        (GdkDragAction)(GDK_ACTION_COPY | GDK_ACTION_MOVE));
    gtk_drag_dest_set(grid, (GtkDestDefaults)(GTK_DEST_DEFAULT_HIGHLIGHT | GTK_DEST_DEFAULT_DROP), bus_drag_targets, 2,
                      (GdkDragAction)(GDK_ACTION_COPY | GDK_ACTION_MOVE));
    library_ui_drag_keeps_selection(GTK_TREE_VIEW(grid));
    g_signal_connect(grid, "drag_data_get", G_CALLBACK(bus_drag_data_get_cb), bus);
    g_signal_connect(grid, "drag_begin", G_CALLBACK(bus_drag_begin_cb), bus);
    g_signal_connect(grid, "drag_end", G_CALLBACK(on_drag_end), bus);
    g_signal_connect(grid, "drag_data_received", G_CALLBACK(bus_drag_data_received), bus);
    g_signal_connect(grid, "drag_data_delete", G_CALLBACK(bus_drag_data_delete), bus);
    g_signal_connect(grid, "drag_motion", G_CALLBACK(bus_drag_motion), bus);
    return 0;
}

void bus_drag_begin_cb(GtkWidget *, GdkDragContext *context, gpointer)
{
    g_warning("%s", __func__);
    gtk_drag_set_icon_stock(context, "gtk-dnd", 0, 0);
}

void bus_drag_data_get_cb(GtkWidget *, GdkDragContext *, GtkSelectionData *data, guint, guint, gpointer user_data)
{
    bus_t *bus = static_cast<bus_t *>(user_data);
    g_warning("%s", __func__);
    /* A second request of the same drag replaces the first one's copies. */
    release_leftovers(bus);
    std::vector<pelmorabox_event_t *> events;
    /* Rows far from view hold no record: they are read from the server. */
    if (bus_ctl_selected_events(bus, BUS_DND_EVENTS_MAX, _("DRAG"), &events, nullptr) < 0)
        return;
    for (pelmorabox_event_t *e : events)
        if (e)
            handed_out[e] = bus;
    gtk_selection_data_set(data, data->target, 8, reinterpret_cast<const guchar *>(events.data()),
                           (gint)(events.size() * sizeof(pelmorabox_event_t *)));
}

gboolean bus_drag_motion(GtkWidget *widget, GdkDragContext *context, gint x, gint y, guint time, gpointer)
{
    GdkDragAction action = context->suggested_action;
    if (gtk_drag_get_source_widget(context) == widget)
        action = context->actions == GDK_ACTION_MOVE ? GDK_ACTION_COPY : GDK_ACTION_MOVE;
    gdk_drag_status(context, action, time);
    /* The operator sees where the events will go: before the row under the
     * pointer, or after the last row. */
    GtkTreeView *view = GTK_TREE_VIEW(widget);
    gint bx = 0, by = 0;
    gtk_tree_view_convert_widget_to_bin_window_coords(view, x, y, &bx, &by);
    GtkTreePath *p = nullptr;
    if (gtk_tree_view_get_path_at_pos(view, bx, by, &p, nullptr, nullptr, nullptr)) {
        gtk_tree_view_set_drag_dest_row(view, p, GTK_TREE_VIEW_DROP_BEFORE);
        gtk_tree_path_free(p);
    } else {
        int n = gtk_tree_model_iter_n_children(gtk_tree_view_get_model(view), nullptr);
        GtkTreePath *last = n > 0 ? gtk_tree_path_new_from_indices(n - 1, -1) : nullptr;
        gtk_tree_view_set_drag_dest_row(view, last, GTK_TREE_VIEW_DROP_AFTER);
        if (last)
            gtk_tree_path_free(last);
    }
    return TRUE;
}

void bus_drag_data_received(GtkWidget *widget, GdkDragContext *context, gint x, gint y, GtkSelectionData *data,
                            guint info, guint time, gpointer user_data)
{
    (void)time;
    bus_t *bus = static_cast<bus_t *>(user_data);
    GtkTreeView *view = GTK_TREE_VIEW(widget);
    g_warning("%s: context->action=%d, info=%d", __func__, (int)context->action, (int)info);
    /* The toolkit finishes the drag after this handler (the grid is a
     * default-drop target); the tree view must never reorder rows itself. */
    g_signal_stop_emission_by_name(widget, "drag-data-received");
    gtk_tree_view_set_drag_dest_row(view, nullptr, GTK_TREE_VIEW_DROP_BEFORE);
    int size = info == BUS_DND_INFO_EVENTS ? 8 : info == BUS_DND_INFO_LIBRARY_ROWS ? 24 : 0;
    if (!size)
        return;
    static_assert(sizeof(pelmorabox_event_t *) == 8 && sizeof(library_row_records_t) == 24,
                  "payload records are references of 8 bytes");
    int len = data ? data->length : -1;
    if (len <= 0 || len % size || !data->data) {
        g_warning("%s: ODD ITEMS, c=%d, sz=%d", __func__, len, size);
        return;
    }
    int n = len / size;
    auto *job = new drop_job();
    job->bus = bus;
    /* A move deletes the originals only when they are rows of this very
     * grid: the sys_ids of another bus's events mean other events here (or
     * none), and the other bus keeps its own. */
    const bool own_move = info == BUS_DND_INFO_EVENTS && context->action == GDK_ACTION_MOVE &&
                          gtk_drag_get_source_widget(context) == widget;
    if (info == BUS_DND_INFO_EVENTS) {
        std::vector<pelmorabox_event_t *> refs((size_t)n);
        memcpy(refs.data(), data->data, (size_t)len);
        for (pelmorabox_event_t *e : refs) {
            auto it = handed_out.find(e);
            if (it == handed_out.end()) {
                if (e)
                    g_warning("%s: %p is no event this console handed out, ignored", __func__, (void *)e);
                continue;
            }
            bool ours = it->second == bus;
            handed_out.erase(it);
            job->events.push_back(e);
            if (own_move && ours && e->sys_id > 0)
                job->del.push_back(e->sys_id);
        }
    } else {
        fprintf(stderr, "%s:%d: c=%d\n", __func__, __LINE__, n);
        std::vector<library_row_records_t> rows((size_t)n);
        memcpy(rows.data(), data->data, (size_t)len);
        job->rows = n;
        for (const library_row_records_t &r : rows) {
            bool ok =
                (!r.dir || library_ui_record_alive(r.dir)) && (!r.item || library_ui_record_alive(r.item)) &&
                (!r.subclip || (library_ui_record_alive(r.subclip) && library_ui_record_alive(r.subclip->parent)));
            if (!ok) {
                g_warning("%s: a row that no library holds now, ignored", __func__);
                job->gone++;
                continue;
            }
            if (pelmorabox_event_t *e = bus_dnd_event_from_library(bus, r.dir, r.item, r.subclip))
                job->events.push_back(e);
        }
    }

    /* Where: before the event under the pointer, or at the end. */
    job->at = -1;
    gint bx = 0, by = 0;
    gtk_tree_view_convert_widget_to_bin_window_coords(view, x, y, &bx, &by);
    GtkTreePath *p = nullptr;
    if (gtk_tree_view_get_path_at_pos(view, bx, by, &p, nullptr, nullptr, nullptr)) {
        GtkTreeIter it;
        pelmorabox_event_t *e = nullptr;
        if (gtk_tree_model_get_iter(gtk_tree_view_get_model(view), &it, p))
            gtk_tree_model_get(gtk_tree_view_get_model(view), &it, BUS_COLUMN_DATA, &e, -1);
        job->at = e ? e->sys_id : -1;
        g_warning("%s: sys_id = %" PRId64, __func__, job->at);
        gtk_tree_path_free(p);
    }
    if (job->events.empty()) {
        say_gone(bus, job->gone, job->rows, false);
        delete job;
        return;
    }
    /* After the drag is finished: the calls wait for the server while the
     * main loop goes on. */
    gdk_threads_add_idle_full(G_PRIORITY_DEFAULT, drop_idle, job, nullptr);
}

void bus_drag_data_delete(GtkWidget *, GdkDragContext *, gpointer)
{
    g_warning("%s", "bus_drag_data_delete");
}
