/* Bus playlist and list dialogs. Every dialog is modal, built, run and
 * destroyed within one call; server calls run with the GDK lock released,
 * and a good answer's state is pushed to the panel at once. */
#include "ui_bus_dialogs.h"

#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "bus.h"
#include "bus_ctl_call.h"
#include "gdk_unlock.h"
#include "pelmora_io.h"
#include "pelmora_lib.h"
#include "pelmorabox.h"
#include "strl.h"
#include "subclip_dialog.h"
#include "timecode.h"
#include "ui_bus.h"
#include "ui_bus_item_dialog.h"
#include "ui_bus_media_completition.h"
#include "ui_dlg.h"
#include "ui_search.h"

#include "i18n.h"

/* Flag bits of the absent and error lists (0x80 is the server's "absent"). */
#define ERRORFLAG_ABSENT 0x80

const ui_column_desc playlists_plan[PLAYLISTS_COLUMN_LAST + 1] = {
    {PLAYLISTS_COLUMN_NAME, "PLAYLISTS", G_TYPE_STRING},   {PLAYLISTS_COLUMN_IDX, nullptr, G_TYPE_INT},
    {PLAYLISTS_COLUMN_DATA, nullptr, G_TYPE_POINTER},      {PLAYLISTS_COLUMN_BG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {PLAYLISTS_COLUMN_BG_COLOR_V, nullptr, G_TYPE_STRING}, {PLAYLISTS_COLUMN_FG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {PLAYLISTS_COLUMN_FG_COLOR_V, nullptr, G_TYPE_STRING}, {-1, nullptr, G_TYPE_INVALID},
};

const ui_column_desc absent_items_plan[ABSENT_ITEMS_COLUMN_LAST + 1] = {
    {ABSENT_ITEMS_COLUMN_STATUS, "STATUS", G_TYPE_STRING},
    {ABSENT_ITEMS_COLUMN_START, "START", G_TYPE_STRING},
    {ABSENT_ITEMS_COLUMN_MEDIA_ID, "MEDIA_ID", G_TYPE_STRING},
    {ABSENT_ITEMS_COLUMN_COMMENT, "COMMENT", G_TYPE_STRING},
    {ABSENT_ITEMS_COLUMN_IDX, nullptr, G_TYPE_INT},
    {ABSENT_ITEMS_COLUMN_DATA, nullptr, G_TYPE_POINTER},
    {ABSENT_ITEMS_COLUMN_BG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {ABSENT_ITEMS_COLUMN_BG_COLOR_V, nullptr, G_TYPE_STRING},
    {ABSENT_ITEMS_COLUMN_FG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {ABSENT_ITEMS_COLUMN_FG_COLOR_V, nullptr, G_TYPE_STRING},
    {-1, nullptr, G_TYPE_INVALID},
};

/* The columns of the absent/error list that sort, in table order. */
static const int sortable_columns[] = {1, 0, 2, 3, -1};

namespace {

GtkWindow *main_window(bus_t *bus)
{
    GtkWidget *w = bus && bus->app ? bus->app->window : nullptr;
    return w && GTK_IS_WINDOW(w) ? GTK_WINDOW(w) : nullptr;
}

int ask(const char *question)
{
    return ui_dialog_ok_cancel(_(question));
}

/* Events of the selection as bus_ctl_selected_events gives them, destroyed
 * with the record. */
struct selected_events_desc
{
    std::vector<pelmorabox_event_t *> events;
    std::vector<int> rows;
    selected_events_desc() = default;
    ~selected_events_desc()
    {
        for (pelmorabox_event_t *&e : events)
            if (e)
                pelmorabox_event_destroy(&e);
    }
    selected_events_desc(const selected_events_desc &) = delete;
    selected_events_desc &operator=(const selected_events_desc &) = delete;
};

/* Rank of a playlist name in the chooser's ascending order: the two peer
 * names come last, so that the descending start puts them on top. */
int playlist_rank(const char *name)
{
    if (!strcmp(name, "peer_master"))
        return 2;
    if (!strcmp(name, "peer_slave"))
        return 1;
    return 0;
}

int playlist_cmp_ascending(const char *a, const char *b)
{
    int ra = playlist_rank(a), rb = playlist_rank(b);
    if (ra != rb)
        return ra < rb ? -1 : 1;
    return g_utf8_collate(a, b);
}

gint playlists_sort_func(GtkTreeModel *model, GtkTreeIter *a, GtkTreeIter *b, gpointer user_data)
{
    (void)user_data;
    gchar *na = nullptr, *nb = nullptr;
    gtk_tree_model_get(model, a, PLAYLISTS_COLUMN_NAME, &na, -1);
    gtk_tree_model_get(model, b, PLAYLISTS_COLUMN_NAME, &nb, -1);
    int r = playlist_cmp_ascending(na ? na : "", nb ? nb : "");
    g_free(na);
    g_free(nb);
    return r;
}

/* The --filter-playlist-sgt-suffixes rule: "sgt_" + eight digits + "_" +
 * a listed two-character code + "_" + anything. */
bool sgt_name_passes(const char *name, const char *codes)
{
    size_t n = strlen(name);
    if (n < 16 || strncmp(name, "sgt_", 4) != 0 || name[12] != '_' || name[15] != '_')
        return false;
    for (int i = 4; i < 12; i++)
        if (name[i] < '0' || name[i] > '9')
            return false;
    for (size_t i = 0; codes[i]; i++) {
        if (codes[i] == ',' || !codes[i + 1])
            continue;
        if (codes[i + 2] != ',' && codes[i + 2] != 0)
            continue;
        if (codes[i] == name[13] && codes[i + 1] == name[14])
            return true;
    }
    return false;
}

void playlist_set_mode(bus_ui_dialog_playlist_t *ctx)
{
    bool name_mode = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ctx->r1));
    gtk_widget_set_sensitive(ctx->e, name_mode);
    gtk_widget_set_sensitive(ctx->gr, !name_mode);
    gtk_widget_grab_focus(name_mode ? ctx->e : ctx->gr);
}

/* The server's playlist names, a null-terminated array (free_names), read
 * with the GDK lock released. */
int list_playlists(bus_t *bus, char ***names, pelmorabox_bus_state_t *s)
{
    gdk_unlock_guard unlocked;
    return pelmorabox_list_playlists(bus->url, bus->idx, names, s);
}

void free_names(char **names)
{
    for (char **p = names; p && *p; p++)
        free(*p);
    free(names);
}

/* Runs the chosen playlist call; shows the failure, pushes the state. */
using playlist_call_t = int (*)(const char *, int, const char *, pelmorabox_bus_state_t *);

int playlist_action(bus_t *bus, playlist_call_t call, const char *name, const char *failure)
{
    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof(s));
    int r;
    {
        gdk_unlock_guard unlocked;
        r = call(bus->url, bus->idx, name, &s);
    }
    g_warning("%s: [%s]=%d", "bus_ui_dialog_playlist_action", name, r);
    if (r < 0)
        bus_ctl_show_failure(bus, failure, r);
    else
        bus_push_state(bus, 0, &s);
    return 0;
}

/* ---- Absent and error lists. ---- */

gint absent_row_activated(GtkTreeView *view, GtkTreePath *path, GtkTreeViewColumn *column, gpointer user_data)
{
    (void)view;
    (void)column;
    bus_ui_dialog_set_by_path(static_cast<bus_ui_absent_lib_items_t *>(user_data), path);
    return TRUE;
}

gboolean absent_button_press(GtkWidget *widget, GdkEventButton *event, gpointer user_data)
{
    if (event->type != GDK_2BUTTON_PRESS || event->button != 1)
        return FALSE;
    GtkTreePath *path = nullptr;
    if (gtk_tree_view_get_path_at_pos(GTK_TREE_VIEW(widget), (gint)event->x, (gint)event->y, &path, nullptr, nullptr,
                                      nullptr)) {
        bus_ui_dialog_set_by_path(static_cast<bus_ui_absent_lib_items_t *>(user_data), path);
        gtk_tree_path_free(path);
    }
    return TRUE;
}

/* ---- Trim and pad. ---- */

int trimpad_entry_frames(bus_ui_dialog_trim_t *ctx)
{
    return tc_tc2frames(gtk_entry_get_text(GTK_ENTRY(ctx->tc)));
}

/* ---- Add and edit. ---- */

/* What the item dialog's accept hook sends, and where. */
struct edit_send_desc
{
    bus_t *bus;
    int f_add;
    int64_t sys_id;
};

/* Sends the accepted event while the dialog waits: an insert at the row
 * selected now, or the update of the edited event by its sys_id. A refusal
 * is said in the dialog (and on the notice line), which stays open. */
int edit_send(void *cookie, ui_bus_item_dialog_t *ctx, pelmorabox_event_t *e, char *why, size_t why_size)
{
    (void)ctx;
    auto *es = static_cast<edit_send_desc *>(cookie);
    bus_t *bus = es->bus;
    /* The worker's own copy: nothing on the main loop can reach it. */
    pelmorabox_event_t *copy = pelmorabox_event_clone(e);
    if (!copy) {
        snprintf(why, why_size, "%s", _("Out of memory."));
        return -12;
    }
    int r;
    if (es->f_add) {
        int at = bus_ui_selected_idx(bus, nullptr);
        r = bus_ctl_command(bus, _("INSERT"), [bus, at, copy](pelmorabox_bus_state_t *s, std::string *) {
            return pelmorabox_insert_event(bus->url, bus->idx, at, copy, s);
        });
    } else {
        int64_t sys_id = es->sys_id;
        r = bus_ctl_command(bus, _("UPDATE"), [bus, sys_id, copy](pelmorabox_bus_state_t *s, std::string *) {
            return pelmorabox_update_event2(bus->url, bus->idx, sys_id, copy, s);
        });
    }
    pelmorabox_event_destroy(&copy);
    g_warning("%s: pelmorabox_update_event=%d", "bus_ui_dialog_edit", r);
    if (r >= 0 || (bus->app && instance_stopping(bus->app)))
        return 0;
    if (r == -16)
        snprintf(why, why_size, "%s", _("Not sent: another command of this bus is waiting for its answer. Try again."));
    else
        bus_ctl_outcome(r, why, why_size);
    return r;
}

/* Run by the item dialog once shown: the media id completion. */
void bus_ui_dialog_edit_prerun(void *cookie, ui_bus_item_dialog_t *ctx, pelmorabox_event_t *e)
{
    ui_bus_media_completition_attach(static_cast<bus_t *>(cookie), ctx->entry[ITEM_ENTRY_MEDIA_ID], e);
}

} // namespace

/* ---- Chooser rules. ---- */

int bus_ui_playlist_name_passes(const bus_t *bus, const char *name)
{
    if (!name)
        return 0;
    if (!strcmp(name, "peer_slave") || !strcmp(name, "peer_master") || !strcmp(name, "fallback.ply"))
        return 1;
    if (!bus)
        return 1;
    if (!bus->filter_playlist.sgt[0])
        return pelmorabox_playlist_name_rule1(name, 0, bus->filter_playlist.keyword, bus->filter_playlist.f_date) == 0;
    return sgt_name_passes(name, bus->filter_playlist.sgt) ? 1 : 0;
}

int bus_ui_playlist_name_cmp(const char *a, const char *b)
{
    return -playlist_cmp_ascending(a ? a : "", b ? b : "");
}

const char *bus_ui_errorflag_status(int64_t flags)
{
    if (flags & ERRORFLAG_ABSENT)
        return "ABSENT";
    if (flags & PELMORABOX_EVENT_FLAG_RANGE_ERR)
        return "RANGE ERROR";
    if (flags & PELMORABOX_EVENT_FLAG_SUBCLIP)
        return "SUBCLIP";
    if (flags & PELMORABOX_EVENT_FLAG_NON_CONT)
        return "NON CONT";
    return "";
}

/* ---- Playlist chooser. ---- */

void bus_ui_dialog_playlist_toggle_radio(GtkToggleButton *button, gpointer user_data)
{
    (void)button;
    auto *ctx = static_cast<bus_ui_dialog_playlist_t *>(user_data);
    g_warning("%s:%d r1=%d, r2=%d", __func__, __LINE__, gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ctx->r1)),
              gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ctx->r2)));
    playlist_set_mode(ctx);
}

gboolean bus_ui_dialog_playlist_grid_button(GtkWidget *widget, GdkEventButton *event, gpointer user_data)
{
    (void)widget;
    auto *ctx = static_cast<bus_ui_dialog_playlist_t *>(user_data);
    if (event->type != GDK_2BUTTON_PRESS || event->button != 1)
        return FALSE;
    if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ctx->r2)))
        gtk_dialog_response(GTK_DIALOG(ctx->dlg), GTK_RESPONSE_ACCEPT);
    return TRUE;
}

/* Enter on a row of the list chooses it, as a double click does, so that the
 * chooser works from the keyboard. */
static void playlist_row_activated(GtkTreeView *view, GtkTreePath *path, GtkTreeViewColumn *column, gpointer user_data)
{
    (void)view;
    (void)path;
    (void)column;
    auto *ctx = static_cast<bus_ui_dialog_playlist_t *>(user_data);
    if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ctx->r2)))
        gtk_dialog_response(GTK_DIALOG(ctx->dlg), GTK_RESPONSE_ACCEPT);
}

int bus_ui_dialog_playlist(bus_t *bus, const char *title, char *dst, int f_entry)
{
    if (!bus || !dst)
        return 0;
    char **names = nullptr;
    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof(s));
    int r = list_playlists(bus, &names, &s);
    if (r < 0) {
        free_names(names);
        bus_ctl_show_failure(bus, "Failed to get playlists list", r);
        return 0;
    }
    g_warning("%s: gtk_list_store_append=%d", __func__, r);
    bus_push_state(bus, 0, &s);

    bus_ui_dialog_playlist_t ctx;
    memset(&ctx, 0, sizeof(ctx));
    ctx.bus = bus;
    ctx.dst = dst;
    ctx.dlg = gtk_dialog_new_with_buttons(title, main_window(bus), GTK_DIALOG_MODAL, GTK_STOCK_OK, GTK_RESPONSE_ACCEPT,
                                          GTK_STOCK_CANCEL, GTK_RESPONSE_REJECT, NULL);
    ui_dlg_place(ctx.dlg, bus->app ? bus->app->window : nullptr);
    gtk_window_set_resizable(GTK_WINDOW(ctx.dlg), TRUE);
    gtk_window_set_default_size(GTK_WINDOW(ctx.dlg), 500, 500);
    gtk_dialog_set_default_response(GTK_DIALOG(ctx.dlg), GTK_RESPONSE_ACCEPT);
    g_object_set_data(G_OBJECT(ctx.dlg), "bus_ui_dialog_playlist_t", &ctx);
    ctx.box = gtk_dialog_get_content_area(GTK_DIALOG(ctx.dlg));

    ctx.gr = ui_create_treeview_list(nullptr, "playlists", playlists_plan);
    ctx.view = ctx.gr;
    ctx.model = gtk_tree_view_get_model(GTK_TREE_VIEW(ctx.gr));
    ctx.store = GTK_LIST_STORE(ctx.model);
    ctx.sortable = GTK_TREE_SORTABLE(ctx.model);
    gtk_tree_selection_set_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(ctx.gr)), GTK_SELECTION_SINGLE);
    gtk_tree_sortable_set_sort_func(ctx.sortable, PLAYLISTS_COLUMN_NAME, playlists_sort_func, nullptr, nullptr);
    gtk_tree_sortable_set_sort_column_id(ctx.sortable, PLAYLISTS_COLUMN_NAME, GTK_SORT_DESCENDING);
    GtkTreeViewColumn *col = gtk_tree_view_get_column(GTK_TREE_VIEW(ctx.gr), PLAYLISTS_COLUMN_NAME);
    gtk_tree_view_column_set_sort_column_id(col, PLAYLISTS_COLUMN_NAME);
    gtk_tree_view_column_set_clickable(col, TRUE);

    int listed = 0;
    for (int i = 0; names && names[i]; i++) {
        if (bus_ui_playlist_name_passes(bus, names[i])) {
            GtkTreeIter iter;
            gtk_list_store_append(ctx.store, &iter);
            gtk_list_store_set(ctx.store, &iter, PLAYLISTS_COLUMN_NAME, names[i], PLAYLISTS_COLUMN_IDX, listed++, -1);
        }
        free(names[i]);
    }
    free(names);

    ctx.sw = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(ctx.sw), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(ctx.sw), ctx.gr);

    ctx.table = gtk_table_new(3, 2, FALSE);
    ctx.r1 = gtk_radio_button_new_with_label(nullptr, _("Enter name"));
    ctx.r2 = gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(ctx.r1), _("Select from list"));
    ctx.e = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(ctx.e), 128);
    gtk_entry_set_text(GTK_ENTRY(ctx.e), dst);
    gtk_entry_set_activates_default(GTK_ENTRY(ctx.e), TRUE);
    GtkAttachOptions fill = (GtkAttachOptions)(GTK_EXPAND | GTK_FILL);
    gtk_table_attach(GTK_TABLE(ctx.table), ctx.r1, 0, 1, 0, 1, GTK_FILL, GTK_FILL, 3, 3);
    gtk_table_attach(GTK_TABLE(ctx.table), ctx.e, 1, 2, 0, 1, fill, GTK_FILL, 3, 3);
    gtk_table_attach(GTK_TABLE(ctx.table), ctx.r2, 0, 1, 1, 2, GTK_FILL, GTK_FILL, 3, 3);
    gtk_table_attach(GTK_TABLE(ctx.table), ctx.sw, 1, 2, 1, 3, fill, fill, 3, 3);
    gtk_box_pack_start(GTK_BOX(ctx.box), ctx.table, TRUE, TRUE, 0);

    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(f_entry ? ctx.r1 : ctx.r2), TRUE);
    g_signal_connect(ctx.r1, "toggled", G_CALLBACK(bus_ui_dialog_playlist_toggle_radio), &ctx);
    g_signal_connect(ctx.gr, "button-press-event", G_CALLBACK(bus_ui_dialog_playlist_grid_button), &ctx);
    g_signal_connect(ctx.gr, "row-activated", G_CALLBACK(playlist_row_activated), &ctx);
    gtk_widget_show_all(ctx.dlg);
    playlist_set_mode(&ctx);

    int result = 0;
    for (;;) {
        int resp = gtk_dialog_run(GTK_DIALOG(ctx.dlg));
        if (resp != GTK_RESPONSE_ACCEPT)
            break;
        if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ctx.r1))) {
            const char *text = gtk_entry_get_text(GTK_ENTRY(ctx.e));
            if (!text[0])
                continue;
            strlcpy(dst, text, 260);
            result = 1;
            break;
        }
        GtkTreeModel *m = nullptr;
        GtkTreeIter iter;
        if (!gtk_tree_selection_get_selected(gtk_tree_view_get_selection(GTK_TREE_VIEW(ctx.gr)), &m, &iter))
            continue;
        gchar *name = nullptr;
        gtk_tree_model_get(m, &iter, PLAYLISTS_COLUMN_NAME, &name, -1);
        if (!name || !name[0]) {
            g_free(name);
            continue;
        }
        strlcpy(dst, name, 260);
        g_free(name);
        result = 1;
        break;
    }
    gtk_widget_destroy(ctx.dlg);
    return result;
}

namespace {

/* A playlist name without its extension ("news.ply" -> "news"). */
std::string playlist_stem(const char *name)
{
    std::string n = name ? name : "";
    size_t dot = n.find('.');
    return dot == std::string::npos ? n : n.substr(0, dot);
}

/* True when saving as `name` would replace a playlist of the server other
 * than the one loaded on the bus (the current name of last_playlist). A
 * list that cannot be read counts as no such playlist: the save itself then
 * reports what the server says. */
bool saving_over_another(bus_t *bus, const char *name)
{
    std::string loaded = bus->state.s.last_playlist;
    size_t sep = loaded.find(" > ");
    if (sep != std::string::npos)
        loaded.resize(sep);
    std::string target = playlist_stem(name);
    if (target == playlist_stem(loaded.c_str()))
        return false;
    char **names = nullptr;
    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof(s));
    int r = list_playlists(bus, &names, &s);
    bool found = false;
    for (char **p = names; r >= 0 && p && *p && !found; p++)
        found = playlist_stem(*p) == target;
    free_names(names);
    return found;
}

} // namespace

int bus_ui_dialog_load_playlist(bus_t *bus)
{
    char name[260] = "";
    if (bus_ui_dialog_playlist(bus, _("Enter playlist name to load"), name, 0) == 1)
        playlist_action(bus, pelmorabox_load_playlist, name, "Failed to load playlist");
    return 0;
}

int bus_ui_dialog_append_playlist(bus_t *bus)
{
    char name[260] = "";
    if (bus_ui_dialog_playlist(bus, _("Enter playlist name to append"), name, 0) == 1)
        playlist_action(bus, pelmorabox_append_playlist, name, "Failed to append playlist");
    return 0;
}

int bus_ui_dialog_saveas_playlist(bus_t *bus)
{
    if (!bus)
        return -22;
    char name[260];
    strlcpy(name, bus->state.s.last_playlist, sizeof(name));
    if (char *dot = strchr(name, '.'))
        *dot = 0;
    if (bus_ui_dialog_playlist(bus, _("Enter playlist name to save"), name, 1) != 1)
        return 0;
    if (saving_over_another(bus, name)) {
        char question[600];
        snprintf(question, sizeof(question), _("A playlist named %s exists and is not the one loaded. Replace it?"),
                 name);
        g_warning("%s: [%s] exists and is not the loaded playlist", __func__, name);
        if (!ui_dialog_ok_cancel(question))
            return 0;
    }
    playlist_action(bus, pelmorabox_save_playlist, name, "Failed to save playlist");
    return 0;
}

int bus_ui_dialog_close_playlist(bus_t *bus)
{
    if (!bus)
        return -22;
    if (!ask("Are you sure to close playlist?"))
        return 0;
    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof(s));
    int r;
    {
        gdk_unlock_guard unlocked;
        r = pelmorabox_close_playlist(bus->url, bus->idx, &s);
    }
    g_warning("%s: pelmorabox_close_playlist=%d", __func__, r);
    if (r < 0)
        bus_ctl_show_failure(bus, "Failed to close playlist", r);
    else
        bus_push_state(bus, 0, &s);
    return 0;
}

int bus_ui_truncate_playlist(bus_t *bus, int f_below)
{
    if (!bus)
        return -22;
    pelmorabox_event_t *e = nullptr;
    int idx = bus_ui_selected_idx(bus, &e);
    /* A row not fetched yet has no sys_id to name: nothing to truncate at. */
    if (idx < 0 || !e || e->sys_id <= 0) {
        ui_show_error(bus->app ? bus->app->window : nullptr, _("ERROR"), _("No event selected"));
        return 0;
    }
    int64_t sys_id = e->sys_id;
    if (!ask(f_below ? "Are you sure to truncate playlist below?" : "Are you sure to truncate playlist above?"))
        return 0;
    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof(s));
    int r;
    {
        gdk_unlock_guard unlocked;
        r = pelmorabox_truncate_playlist(bus->url, bus->idx, sys_id, f_below, &s);
    }
    g_warning("%s: pelmorabox_truncate_playlist(%" PRId64 ", %d)=%d", "bus_ui_truncate_playlist", sys_id, f_below, r);
    if (r < 0)
        bus_ctl_show_failure(bus, "Failed to truncate playlist", r);
    else
        bus_push_state(bus, 0, &s);
    return 0;
}

/* ---- Absent and error items. ---- */

gint bus_ui_dialog_absent_items_sort_list(GtkTreeModel *model, GtkTreeIter *a, GtkTreeIter *b, gpointer user_data)
{
    int column = GPOINTER_TO_INT(user_data);
    gchar *ta = nullptr, *tb = nullptr;
    gtk_tree_model_get(model, a, column, &ta, -1);
    gtk_tree_model_get(model, b, column, &tb, -1);
    int r;
    if (!ta || !tb)
        r = (ta ? 1 : 0) - (tb ? 1 : 0);
    else
        r = g_utf8_collate(ta, tb);
    g_free(ta);
    g_free(tb);
    return r;
}

void bus_ui_dialog_set_by_path(bus_ui_absent_lib_items_t *ctx, GtkTreePath *path)
{
    if (!ctx || !path)
        return;
    GtkTreeIter iter;
    int idx = -1;
    if (gtk_tree_model_get_iter(ctx->model, &iter, path))
        gtk_tree_model_get(ctx->model, &iter, ABSENT_ITEMS_COLUMN_IDX, &idx, -1);
    g_warning("%s:%d idx=%d\n", __func__, __LINE__, idx);
    if (idx < 0 || idx >= ctx->count)
        return;
    const pelmorabox_event_t *e = &ctx->list[idx];
    char key[32];
    snprintf(key, sizeof(key), "%" PRId64, e->sys_id);
    g_warning("%s:%d media_id=[%s], start_time=[%s], sys_id=[%s]\n", __func__, __LINE__, e->media_id, e->start_time,
              key);
    ui_search_set(ctx->bus, key, 1 << PELMORABOX_EVENT_SEARCH_IDX_SYS_ID, -1);
    ui_search_next(ctx->bus);
}

int bus_ui_dialog_errorflag_items(bus_t *bus, int flag)
{
    if (!bus)
        return 0;
    pelmorabox_event_t *list = nullptr;
    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof(s));
    int r;
    {
        gdk_unlock_guard unlocked;
        r = pelmorabox_errorflag_list(bus->url, bus->idx, flag, &list, &s);
    }
    if (r < 0) {
        free(list);
        bus_ctl_show_failure(bus, "pelmorabox_absent_list < 0", r);
        return 0;
    }
    g_warning("%s: pelmorabox_errorflag_list(%d)=%d", __func__, flag, r);
    bus_push_state(bus, 0, &s);

    bus_ui_absent_lib_items_t ctx;
    memset(&ctx, 0, sizeof(ctx));
    ctx.bus = bus;
    ctx.list = list;
    ctx.count = list ? r : 0;
    bool absent = flag == ERRORFLAG_ABSENT;
    ctx.dlg = gtk_dialog_new_with_buttons(absent ? _("ABSENT ITEMS") : _("ERROR ITEMS"), main_window(bus),
                                          GTK_DIALOG_MODAL, GTK_STOCK_GOTO_FIRST, GTK_RESPONSE_ACCEPT, GTK_STOCK_CLOSE,
                                          GTK_RESPONSE_REJECT, NULL);
    ui_dlg_place(ctx.dlg, bus->app ? bus->app->window : nullptr);
    gtk_window_set_resizable(GTK_WINDOW(ctx.dlg), TRUE);
    gtk_window_set_default_size(GTK_WINDOW(ctx.dlg), absent ? 500 : 900, 500);
    gtk_dialog_set_default_response(GTK_DIALOG(ctx.dlg), GTK_RESPONSE_ACCEPT);
    g_object_set_data(G_OBJECT(ctx.dlg), "bus_ui_absent_lib_items_t", &ctx);
    ctx.box = gtk_dialog_get_content_area(GTK_DIALOG(ctx.dlg));

    ctx.gr = ui_create_treeview_list(nullptr, "absent_items", absent_items_plan);
    ctx.view = ctx.gr;
    ctx.model = gtk_tree_view_get_model(GTK_TREE_VIEW(ctx.gr));
    ctx.store = GTK_LIST_STORE(ctx.model);

    for (int i = 0; i < ctx.count; i++) {
        pelmorabox_event_t *e = &list[i];
        g_warning("%s: i=%d, sys_id=%" PRId64 "\n", "bus_ui_dialog_errorflag_items", i, e->sys_id);
        char start[64];
        if (bus->app && bus->app->f_long_start) {
            if (bus_ui_long_start(bus, e, start, sizeof(start)) < 0)
                start[0] = 0;
        } else
            strlcpy(start, e->start_time, sizeof(start));
        GtkTreeIter iter;
        gtk_list_store_append(ctx.store, &iter);
        gtk_list_store_set(ctx.store, &iter, ABSENT_ITEMS_COLUMN_STATUS, bus_ui_errorflag_status(e->flags),
                           ABSENT_ITEMS_COLUMN_START, start, ABSENT_ITEMS_COLUMN_MEDIA_ID, e->media_id,
                           ABSENT_ITEMS_COLUMN_COMMENT, e->title, ABSENT_ITEMS_COLUMN_IDX, i, ABSENT_ITEMS_COLUMN_DATA,
                           e, -1);
        const int64_t marked =
            PELMORABOX_EVENT_FLAG_RANGE_ERR | PELMORABOX_EVENT_FLAG_SUBCLIP | PELMORABOX_EVENT_FLAG_NON_CONT;
        if (e->flags & marked) {
            bool orange = (e->flags & (PELMORABOX_EVENT_FLAG_SUBCLIP | PELMORABOX_EVENT_FLAG_NON_CONT)) != 0;
            gtk_list_store_set(ctx.store, &iter, ABSENT_ITEMS_COLUMN_FG_COLOR, TRUE, ABSENT_ITEMS_COLUMN_FG_COLOR_V,
                               "#FFFFFF", ABSENT_ITEMS_COLUMN_BG_COLOR, TRUE, ABSENT_ITEMS_COLUMN_BG_COLOR_V,
                               orange ? "#c47603" : "#FF0000", -1);
        }
    }

    GtkTreeSortable *sortable = GTK_TREE_SORTABLE(ctx.model);
    for (int i = 0; sortable_columns[i] >= 0; i++) {
        int c = sortable_columns[i];
        gtk_tree_sortable_set_sort_func(sortable, c, bus_ui_dialog_absent_items_sort_list, GINT_TO_POINTER(c), nullptr);
        GtkTreeViewColumn *col = gtk_tree_view_get_column(GTK_TREE_VIEW(ctx.gr), c);
        if (col) {
            gtk_tree_view_column_set_sort_column_id(col, c);
            gtk_tree_view_column_set_clickable(col, TRUE);
        }
    }
    gtk_tree_sortable_set_sort_column_id(sortable, ABSENT_ITEMS_COLUMN_START, GTK_SORT_ASCENDING);

    ctx.sw = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(ctx.sw), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(ctx.sw), ctx.gr);
    gtk_box_pack_start(GTK_BOX(ctx.box), ctx.sw, TRUE, TRUE, 0);
    g_signal_connect(ctx.gr, "row-activated", G_CALLBACK(absent_row_activated), &ctx);
    g_signal_connect(ctx.gr, "button-press-event", G_CALLBACK(absent_button_press), &ctx);
    gtk_widget_show_all(ctx.dlg);

    int resp = gtk_dialog_run(GTK_DIALOG(ctx.dlg));
    g_warning("%s:%d response=%d\n", __func__, __LINE__, resp);
    if (resp == GTK_RESPONSE_ACCEPT) {
        GList *rows = gtk_tree_selection_get_selected_rows(gtk_tree_view_get_selection(GTK_TREE_VIEW(ctx.gr)), nullptr);
        if (rows)
            bus_ui_dialog_set_by_path(&ctx, static_cast<GtkTreePath *>(rows->data));
        g_list_free_full(rows, (GDestroyNotify)gtk_tree_path_free);
    }
    gtk_widget_destroy(ctx.dlg);
    free(list);
    return ctx.count;
}

/* ---- Delete and reset. ---- */

int bus_ui_dialog_delete(bus_t *bus)
{
    if (!bus || !bus->grid)
        return -22;
    if (bus->app && bus->app->f_delete_event_confirm && !ask("Are you sure to delete event(s)"))
        return 0;
    /* Read after the question: the list may have moved while it was up.
     * Rows without a record are read first; all or nothing. */
    std::vector<int64_t> ids;
    int first = -1;
    {
        selected_events_desc sel;
        if (bus_ctl_selected_events(bus, SIZE_MAX, _("DELETE"), &sel.events, &sel.rows) < 0)
            return 0;
        for (pelmorabox_event_t *e : sel.events)
            ids.push_back(e && e->sys_id ? e->sys_id : -1);
        first = sel.rows.empty() ? -1 : sel.rows[0];
    }
    if (ids.empty())
        return 0;
    GtkTreeView *view = GTK_TREE_VIEW(bus->grid);
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    gtk_tree_selection_unselect_all(gtk_tree_view_get_selection(view));
    int next = first + (int)ids.size();
    if (model && next < gtk_tree_model_iter_n_children(model, nullptr)) {
        GtkTreePath *path = gtk_tree_path_new_from_indices(next, -1);
        gtk_tree_view_set_cursor(view, path, nullptr, FALSE);
        gtk_tree_path_free(path);
    }
    /* As a command of the bus: a refusal, or a delete without an answer
     * (which the server may still carry out), is said on its notice line. */
    int r = bus_ctl_command(bus, _("DELETE"), [bus, ids](pelmorabox_bus_state_t *s, std::string *) {
        return pelmorabox_delete_event2(bus->url, bus->idx, (int)ids.size(), ids.data(), s);
    });
    g_warning("%s: pelmorabox_delete_event2(%d)=%d", __func__, (int)ids.size(), r);
    return 0;
}

int bus_ui_reset_tc(bus_t *bus)
{
    if (!bus)
        return -22;
    std::vector<int64_t> ids;
    {
        selected_events_desc sel;
        if (bus_ctl_selected_events(bus, SIZE_MAX, _("RESET TC"), &sel.events, &sel.rows) < 0)
            return 0;
        for (pelmorabox_event_t *e : sel.events)
            if (e && e->sys_id)
                ids.push_back(e->sys_id);
    }
    if (ids.empty())
        return 0;
    /* As a command of the bus: on a worker, its outcome on the notice line. */
    int r = bus_ctl_command(bus, _("RESET TC"), [bus, ids](pelmorabox_bus_state_t *s, std::string *) {
        return pelmorabox_reset_tc_event(bus->url, bus->idx, (int)ids.size(), ids.data(), s);
    });
    g_warning("%s: pelmorabox_reset_tc_event=%d", __func__, r);
    return 0;
}

/* ---- Add and edit. ---- */

int bus_ui_dialog_edit(bus_t *bus, int f_add)
{
    if (!bus)
        return -22;
    pelmorabox_event_t *row_event = nullptr;
    int idx = bus_ui_selected_idx(bus, &row_event);
    edit_send_desc es = {bus, f_add, 0};
    pelmorabox_event_t *e = nullptr;
    if (f_add) {
        g_warning("%s: DIALOG(idx=%d, f_add=%d)", __func__, idx, f_add);
        e = pelmorabox_event_create();
    } else {
        if (idx < 0)
            return -2;
        if (idx == 0 && bus->state.s.f_running && row_event && (row_event->flags & PELMORABOX_EVENT_FLAG_PLAYING))
            return bus_ui_dialog_trimpad(bus);
        g_warning("%s: DIALOG(idx=%d, f_add=%d)", __func__, idx, f_add);
        /* A copy; a row not fetched yet is read from the server first. */
        selected_events_desc sel;
        if (bus_ctl_selected_events(bus, 1, _("EDIT"), &sel.events, nullptr) < 0)
            return 0;
        if (sel.events.empty() || !sel.events[0])
            return -2;
        std::swap(e, sel.events[0]);
        es.sys_id = e->sys_id;
        if (es.sys_id <= 0) {
            bus_ctl_notice_failure(bus, _("EDIT"), -2, _("the event has no id to update it by"));
            pelmorabox_event_destroy(&e);
            return 0;
        }
    }
    if (!e)
        return -12;
    auto *ctx = static_cast<ui_bus_item_dialog_t *>(g_malloc0(sizeof(ui_bus_item_dialog_t)));
    ctx->opts_flags = ITEM_DIALOG_START;
    ctx->lib_url = bus->lib.url;
    ctx->top = bus->app ? bus->app->window : nullptr;
    ctx->pre_run_proc = bus_ui_dialog_edit_prerun;
    ctx->pre_run_cookie = bus;
    ctx->accept_proc = edit_send;
    ctx->accept_cookie = &es;
    ui_bus_item_dialog(ctx, &e);
    g_free(ctx);
    pelmorabox_event_destroy(&e);
    return 0;
}

/* ---- Trim and pad. ---- */

gboolean bus_ui_dialog_trim_button_cb(GtkWidget *button, gpointer user_data)
{
    auto *ctx = static_cast<bus_ui_dialog_trim_t *>(user_data);
    if (!ctx || (button != ctx->trim && button != ctx->pad))
        return FALSE;
    int f_pad = button == ctx->pad;
    const char *tc = gtk_entry_get_text(GTK_ENTRY(ctx->tc));
    int frames = trimpad_entry_frames(ctx);
    g_warning("%s: tc=[%s], mili=%d, f_pad=%d", __func__, tc, frames > 0 ? tc_frames2mili(frames) : 0, f_pad);
    /* An amount that does not read as a positive timecode would send zero or
     * turn a pad into a trim: nothing is sent. */
    if (frames <= 0) {
        g_warning("%s: [%s] is no amount, nothing sent", __func__, tc);
        return TRUE;
    }
    bus_t *bus = ctx->bus;
    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof(s));
    int r;
    {
        gdk_unlock_guard unlocked;
        r = pelmorabox_trimpad_event(bus->url, bus->idx, f_pad ? frames : -frames, &s);
    }
    g_warning("%s: pelmorabox_update_event=%d", __func__, r);
    if (r >= 0)
        bus_push_state(bus, 0, &s);
    return TRUE;
}

int bus_ui_dialog_trimpad(bus_t *bus)
{
    if (!bus)
        return -22;
    if (bus->trimpad_save <= 0)
        bus->trimpad_save = 25;
    bus_ui_dialog_trim_t ctx;
    memset(&ctx, 0, sizeof(ctx));
    ctx.bus = bus;
    ctx.dlg = gtk_dialog_new_with_buttons(_("Trim/pad event duration"), main_window(bus), GTK_DIALOG_MODAL,
                                          GTK_STOCK_CLOSE, GTK_RESPONSE_ACCEPT, NULL);
    ui_dlg_place(ctx.dlg, bus->app ? bus->app->window : nullptr);
    gtk_window_set_resizable(GTK_WINDOW(ctx.dlg), TRUE);
    gtk_widget_set_size_request(ctx.dlg, 200, -1);
    gtk_dialog_set_default_response(GTK_DIALOG(ctx.dlg), GTK_RESPONSE_ACCEPT);
    g_object_set_data(G_OBJECT(ctx.dlg), "bus_ui_dialog_trim_t", &ctx);
    ctx.box = gtk_dialog_get_content_area(GTK_DIALOG(ctx.dlg));

    ctx.table = gtk_table_new(3, 3, FALSE);
    ctx.tc = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(ctx.tc), 32);
    char tc[TC_TEXT_SIZE * 2];
    gtk_entry_set_text(GTK_ENTRY(ctx.tc), tc_frames2tc(bus->trimpad_save, tc));
    ui_attach_tc_completition(ctx.tc);
    ctx.trim = ui_create_button(nullptr, ui_button_lookup_local(BUTTON_TRIMPAD_TRIM));
    ctx.pad = ui_create_button(nullptr, ui_button_lookup_local(BUTTON_TRIMPAD_PAD));
    /* Reachable with Tab, so that trim and pad work from the keyboard. */
    for (GtkWidget *w : {ctx.trim, ctx.pad})
        if (w)
            gtk_widget_set_can_focus(w, TRUE);
    GtkAttachOptions fill = (GtkAttachOptions)(GTK_EXPAND | GTK_FILL);
    gtk_table_attach(GTK_TABLE(ctx.table), ctx.tc, 0, 3, 0, 1, fill, GTK_FILL, 3, 3);
    if (ctx.trim) {
        gtk_table_attach(GTK_TABLE(ctx.table), ctx.trim, 0, 3, 1, 2, fill, GTK_FILL, 3, 3);
        g_signal_connect(ctx.trim, "clicked", G_CALLBACK(bus_ui_dialog_trim_button_cb), &ctx);
    }
    if (ctx.pad) {
        gtk_table_attach(GTK_TABLE(ctx.table), ctx.pad, 0, 3, 2, 3, fill, GTK_FILL, 3, 3);
        g_signal_connect(ctx.pad, "clicked", G_CALLBACK(bus_ui_dialog_trim_button_cb), &ctx);
    }
    gtk_box_pack_start(GTK_BOX(ctx.box), ctx.table, TRUE, TRUE, 0);
    gtk_widget_show_all(ctx.dlg);

    gtk_dialog_run(GTK_DIALOG(ctx.dlg));
    int frames = trimpad_entry_frames(&ctx);
    if (frames > 0)
        bus->trimpad_save = frames;
    gtk_widget_destroy(ctx.dlg);
    return 0;
}

/* ---- Selection information. ---- */

int bus_ui_playlist_items_selection_update(bus_t *bus, int *p_cnt, int *p_dur)
{
    int cnt = 0;
    int64_t dur = 0;
    selected_events_desc sel;
    int r = bus_ctl_selected_events(bus, SIZE_MAX, _("SELECTION INFO"), &sel.events, nullptr);
    if (r < 0)
        return r;
    for (pelmorabox_event_t *e : sel.events) {
        if (!e)
            continue;
        cnt++;
        if (e->duration[0]) {
            int f = tc_tc2frames(e->duration);
            if (f > 0)
                dur += f;
        }
    }
    if (dur > INT32_MAX)
        dur = INT32_MAX;
    if (p_cnt)
        *p_cnt = cnt;
    if (p_dur)
        *p_dur = (int)dur;
    return 0;
}

int bus_ui_dialog_selection_info(bus_t *bus)
{
    if (!bus)
        return -22;
    int cnt = 0, dur = 0;
    if (bus_ui_playlist_items_selection_update(bus, &cnt, &dur) < 0)
        return 0;
    g_warning("%s: %d: dur=%d, cnt=%d", __func__, bus->idx, dur, cnt);

    GtkWidget *dlg = gtk_dialog_new_with_buttons(_("SELECTION DURATION"), main_window(bus), GTK_DIALOG_MODAL,
                                                 GTK_STOCK_CLOSE, GTK_RESPONSE_ACCEPT, NULL);
    ui_dlg_place(dlg, bus->app ? bus->app->window : nullptr);
    gtk_window_set_resizable(GTK_WINDOW(dlg), TRUE);
    gtk_widget_set_size_request(dlg, 300, -1);
    GtkWidget *table = gtk_table_new(2, 2, FALSE);
    char text[64];
    snprintf(text, sizeof(text), "%d", cnt);
    GtkWidget *count = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(count), text);
    gtk_editable_set_editable(GTK_EDITABLE(count), FALSE);
    char tc[TC_TEXT_SIZE * 2];
    GtkWidget *duration = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(duration), tc_frames2tc(dur, tc));
    gtk_editable_set_editable(GTK_EDITABLE(duration), FALSE);
    GtkAttachOptions fill = (GtkAttachOptions)(GTK_EXPAND | GTK_FILL);
    gtk_table_attach(GTK_TABLE(table), ui_create_label_align(nullptr, _("Number items:"), nullptr, 0, nullptr), 0, 1, 0,
                     1, GTK_FILL, GTK_FILL, 3, 3);
    gtk_table_attach(GTK_TABLE(table), count, 1, 2, 0, 1, fill, GTK_FILL, 3, 3);
    gtk_table_attach(GTK_TABLE(table), ui_create_label_align(nullptr, _("Duration items:"), nullptr, 0, nullptr), 0, 1,
                     1, 2, GTK_FILL, GTK_FILL, 3, 3);
    gtk_table_attach(GTK_TABLE(table), duration, 1, 2, 1, 2, fill, GTK_FILL, 3, 3);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dlg))), table, TRUE, TRUE, 0);
    g_object_set_data(G_OBJECT(dlg), "bus_ui_selection_count", count);
    g_object_set_data(G_OBJECT(dlg), "bus_ui_selection_duration", duration);
    gtk_widget_show_all(dlg);
    gtk_dialog_run(GTK_DIALOG(dlg));
    gtk_widget_destroy(dlg);
    return 0;
}

/* ---- Preview. ---- */

namespace {

/* The preview sequence, on a worker thread (no widgets): the IO server is
 * stopped, cued and paused, the automation server loads the event into it,
 * it is sought to the start and its status read. Each failure is logged
 * with its own line, says which call failed in *why and ends the sequence. */
struct preview_run_desc
{
    std::string url, bus_url, io_url, io_host, object;
    int bus_idx = 0;
    int64_t sys_id = 0;
    pelmora_lib_item_t item;
    pelmora_status_t status;
};

int preview_run(preview_run_desc *p, pelmorabox_bus_state_t *s, std::string *why)
{
    const char *fn = "bus_ui_preview";
    const char *io = p->io_url.c_str();
    char abs[260] = "", local[260] = "";
    int r = pelmora_io_basename_item(io, p->object.c_str(), abs, local, nullptr);
    if (r < 0) {
        g_warning("%s: pelmora_io_basename_item([%s], [%s])=%d failed", fn, io, p->object.c_str(), r);
        strlcpy(local, p->object.c_str(), sizeof(local));
    }
    r = pelmora_lib_meta_item(io, local, &p->item);
    if (r < 0)
        g_warning("%s: pelmora_lib_meta_item([%s], [%s])=%d failed", fn, io, local, r);

    char text[600];
    auto failed = [&](const char *call, int res) {
        g_warning("%s: cue failed", fn);
        snprintf(text, sizeof(text), _("%s on %s failed (%d)"), call, p->io_host.c_str(), res);
        *why = text;
        return res;
    };
    if ((r = pelmora_stop(io)) < 0) {
        g_warning("%s: pelmora_stop([%s])=%d failed", fn, io, r);
        return failed("stop", r);
    }
    if ((r = pelmora_cue_play(io)) < 0) {
        g_warning("%s: pelmora_cue_play([%s])=%d failed", fn, io, r);
        return failed("cue", r);
    }
    if ((r = pelmora_pause(io)) < 0) {
        g_warning("%s: pelmora_pause([%s])=%d failed", fn, io, r);
        return failed("pause", r);
    }
    r = pelmorabox_preview(p->bus_url.c_str(), p->bus_idx, -p->sys_id, io, s);
    if (r < 0) {
        g_warning("%s: pelmorabox_preview([%s], [%d], [%d], [%s])=%d failed", fn, p->bus_url.c_str(), p->bus_idx,
                  (int)-p->sys_id, io, r);
        g_warning("%s: cue failed", fn);
        /* No answer, or the automation server's refusal: said as for any
         * bus command. */
        return r;
    }
    if ((r = pelmora_playlist_seek(io, 0)) < 0) {
        g_warning("%s: pelmora_playlist_seek([%s], 0)=%d failed", fn, io, r);
        return failed("seek", r);
    }
    if ((r = pelmora_getstatus(io, &p->status)) < 0) {
        g_warning("%s: pelmora_getstatus([%s])=%d failed", fn, io, r);
        return failed("status", r);
    }
    return 0;
}

} // namespace

int bus_ui_preview(bus_t *bus)
{
    if (!bus)
        return -22;
    pelmorabox_event_t *e = nullptr;
    int64_t sys_id = bus_ui_selected_sys_id(bus, &e);
    g_warning("%s: idx=%d pe=%p preview=[%s]", __func__, bus_ui_selected_idx(bus, nullptr), (void *)e,
              bus->preview.host);
    if (!e || sys_id <= 0 || !bus->preview.host[0])
        return 1;

    preview_run_desc p;
    memset(&p.item, 0, sizeof(p.item));
    memset(&p.status, 0, sizeof(p.status));
    p.object = e->media_id[0] == '#' ? bus->special_item : e->media_id;
    p.bus_url = bus->url;
    p.bus_idx = bus->idx;
    p.io_url = bus->preview.url;
    p.io_host = bus->preview.host;
    p.sys_id = sys_id;

    int r = bus_ctl_command(bus, _("PREVIEW"),
                            [&p](pelmorabox_bus_state_t *s, std::string *why) { return preview_run(&p, s, why); });
    if (r < 0 || (bus->app && instance_stopping(bus->app)))
        return r;

    /* What the subclip editor is to be opened on: the loaded list's
     * duration, the library item's duration set from it. */
    pelmora_lib_subclip_t sub;
    memset(&sub, 0, sizeof(sub));
    sub.idx = 1;
    sub.mark_in = 0;
    sub.duration = p.status.playlist_dur;
    p.item.duration = tc_frames2sec(p.status.playlist_dur);
    sub.parent = &p.item;
    char tc[TC_TEXT_SIZE * 2];
    tc_frames2tc(sub.duration, tc);
    g_warning("%s: [%s] cued on [%s], duration %s (%d frames)", "bus_ui_preview", p.object.c_str(), bus->preview.host,
              tc, sub.duration);
    subclip_dialog(bus->app ? bus->app->window : nullptr, &bus->preview, &sub, 0, 2, nullptr);
    return 0;
}

gboolean on_button_playlist_item_preview_press_event(GtkWidget *widget, GdkEventButton *event, gpointer user_data)
{
    (void)widget;
    bus_t *bus = static_cast<bus_t *>(user_data);
    if (!bus || !event || event->type != GDK_2BUTTON_PRESS || event->button != 3 || !bus->preview.host[0])
        return FALSE;
    bus_ctl_io_settings(bus, bus->app ? bus->app->window : nullptr, &bus->preview);
    return TRUE;
}

void bus_ui_dialogs_attach(bus_t *bus)
{
    /* A double right click on preview opens the preview server's settings. */
    if (GtkWidget *preview = bus->buttons[BUTTON_LIST_ITEM_PREVIEW])
        g_signal_connect(preview, "button-press-event", G_CALLBACK(on_button_playlist_item_preview_press_event), bus);
}
