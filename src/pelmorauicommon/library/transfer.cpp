/* Transfer list, export dialog, and the job list window machinery shared
 * with the transcoder list (see transfer.h). */
#include "transfer.h"

#include <gdk/gdkkeysyms.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <utility>
#include <vector>

#include "library_ui.h"
#include "pelmora.h"
#include "strl.h"
#include "transfer_jobs.h"
#include "ui_dlg.h"
#include "ui_images.h"

#include "i18n.h"

/* ------------------------------------------------------------------------
 * Cell rules
 * ---------------------------------------------------------------------- */

int library_job_state_icon(int state)
{
    return state < 0 ? 0 : state % 5;
}

int library_transfer_dir_icon(int f_import, int f_delete)
{
    return 2 * (f_import ? 1 : 0) + (f_delete ? 1 : 0);
}

const char *library_job_comment(int state, int progress, const char *error, char *buf, size_t size)
{
    if (state == PELMORA_JOB_PENDING)
        snprintf(buf, size, "%s", "");
    else if (state == PELMORA_JOB_STARTED)
        snprintf(buf, size, "%d%%", progress);
    else
        snprintf(buf, size, "%s", error ? error : "");
    return buf;
}

const char *library_job_time(int64_t t, char *buf, size_t size)
{
    time_t tt = (time_t)t;
    struct tm tm;
    if (!localtime_r(&tt, &tm) || !strftime(buf, size, "%Y-%m-%d %H:%M:%S", &tm))
        snprintf(buf, size, "%s", "");
    return buf;
}

/* ------------------------------------------------------------------------
 * Job list windows
 * ---------------------------------------------------------------------- */

struct library_job_window_desc
{
    library_t *lib = nullptr;
    const library_job_kind_t *kind = nullptr;
    GtkWidget *window = nullptr, *view = nullptr, *status = nullptr;
    GdkPixbuf *icons[16] = {};
    ui_button_desc buttons[5] = {};
    guint timer = 0;
    int applied = 0;
    library_jobs_t *engine = nullptr;
};

/* The record of a job window hangs on the window under this key and goes
 * with it; the window, list and buttons sit in the library's slots. */
static const char *const JOB_WINDOW_KEY = "library_job_window_t";

/* Applies one answer: rows in place when the count is unchanged (the
 * selection stays), else the model is rebuilt detached from the view. */
static void job_apply(void *ctx, const library_jobs_answer_t *r)
{
    library_job_window_t *w = (library_job_window_t *)ctx;
    GtkListStore *store = GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(w->view)));
    int n = r->n > 0 ? r->n : 0;
    int rows = gtk_tree_model_iter_n_children(GTK_TREE_MODEL(store), nullptr);
    if (n == rows && r->n >= 0) {
        GtkTreeIter it;
        gboolean ok = gtk_tree_model_get_iter_first(GTK_TREE_MODEL(store), &it);
        for (; ok; ok = gtk_tree_model_iter_next(GTK_TREE_MODEL(store), &it)) {
            int pos = 0;
            gtk_tree_model_get(GTK_TREE_MODEL(store), &it, w->kind->col_pos, &pos, -1);
            if (pos >= 0 && pos < n)
                w->kind->fill(store, &it, r->records, pos, w->icons);
        }
    } else {
        g_object_ref(store);
        gtk_tree_view_set_model(GTK_TREE_VIEW(w->view), nullptr);
        gtk_list_store_clear(store);
        for (int i = 0; i < n; i++) {
            GtkTreeIter it;
            gtk_list_store_append(store, &it);
            w->kind->fill(store, &it, r->records, i, w->icons);
        }
        gtk_tree_view_set_model(GTK_TREE_VIEW(w->view), GTK_TREE_MODEL(store));
        g_object_unref(store);
    }
    gtk_label_set_text(GTK_LABEL(w->status), r->said.c_str());
    w->applied++;
}

static gboolean job_timer(gpointer data)
{
    library_job_window_reload((library_job_window_t *)data);
    return TRUE;
}

static void on_refresh(GtkWidget *, gpointer data)
{
    g_warning("%s", __func__);
    library_job_window_reload((library_job_window_t *)data);
}
static void on_restart(GtkWidget *, gpointer data)
{
    library_job_window_control((library_job_window_t *)data, 'r');
}
static void on_delete(GtkWidget *, gpointer data)
{
    library_job_window_control((library_job_window_t *)data, 'd');
}
static void on_cancel(GtkWidget *, gpointer data)
{
    library_job_window_control((library_job_window_t *)data, 'c');
}

static gboolean on_key(GtkWidget *, GdkEventKey *ev, gpointer data)
{
    if (ev->keyval != GDK_Delete && ev->keyval != GDK_KP_Delete)
        return FALSE;
    library_job_window_control((library_job_window_t *)data, 'd');
    return TRUE;
}

/* Closing only hides: the same window comes back on the next use. */
static gboolean on_close(GtkWidget *widget, GdkEvent *, gpointer)
{
    gtk_widget_hide(widget);
    return TRUE;
}

static GdkPixbuf *job_icon(GtkWidget *window, const char *name, const char *stock)
{
    if (const guint8 *data = ui_images_lookup(name))
        if (GdkPixbuf *pb = gdk_pixbuf_new_from_inline(-1, data, FALSE, nullptr))
            return pb;
    return gtk_widget_render_icon(window, stock, GTK_ICON_SIZE_MENU, nullptr);
}

/* The window goes (at release): its worker and timer stop while its list
 * still exists, and the slots are emptied. */
static void on_window_destroy(GtkWidget *window, gpointer data)
{
    library_job_window_t *w = (library_job_window_t *)data;
    g_source_remove(w->timer);
    library_jobs_stop(w->engine);
    const library_job_kind_t *k = w->kind;
    for (int slot :
         {k->slot_window, k->slot_list, k->slot_buttons[0], k->slot_buttons[1], k->slot_buttons[2], k->slot_buttons[3]})
        w->lib->ui[slot] = nullptr;
    for (GdkPixbuf *pb : w->icons)
        if (pb)
            g_object_unref(pb);
    g_object_set_data(G_OBJECT(window), JOB_WINDOW_KEY, nullptr);
    delete w;
}

library_job_window_t *library_job_window(library_t *lib, const library_job_kind_t *kind)
{
    if (library_job_window_t *found = library_job_window_find(lib, kind))
        return found;
    library_job_window_t *w = new library_job_window_t();
    w->lib = lib;
    w->kind = kind;
    w->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(w->window), kind->title);
    gtk_window_set_default_size(GTK_WINDOW(w->window), 800, 600);
    /* Over the console, and no larger than the screen. */
    ui_dlg_fit_screen(w->window, lib->ui[LIBRARY_UI_SIZEAREA]);
    g_signal_connect(w->window, "delete-event", G_CALLBACK(on_close), nullptr);
    for (int i = 0; i < kind->n_icons && i < 16; i++)
        w->icons[i] = job_icon(w->window, kind->icon_names[i], kind->icon_stock[i]);

    GtkWidget *vbox = gtk_vbox_new(FALSE, 2);
    gtk_container_add(GTK_CONTAINER(w->window), vbox);
    GtkWidget *tools = gtk_hbox_new(FALSE, 2);
    gtk_box_pack_start(GTK_BOX(vbox), tools, FALSE, FALSE, 0);
    static const char *const tips[4] = {"Refresh list", "Restart tasks", "Delete tasks", "Cancel tasks"};
    static const char *const stock[4] = {"gtk-refresh", "gtk-redo", "gtk-delete", "gtk-cancel"};
    GCallback handlers[4] = {G_CALLBACK(on_refresh), G_CALLBACK(on_restart), G_CALLBACK(on_delete),
                             G_CALLBACK(on_cancel)};
    for (int i = 0; i < 4; i++) {
        ui_button_desc &b = w->buttons[i];
        b.id = kind->button_ids[i];
        b.tooltip = _(tips[i]);
        b.hookup = kind->button_names[i];
        /* The images are named as the buttons, without "button_library_". */
        b.inline_data = ui_images_lookup(b.hookup + strlen("button_library_"));
        b.stock = b.inline_data ? nullptr : stock[i];
        GtkWidget *btn = ui_create_button_image(&b);
        gtk_widget_set_name(btn, b.hookup);
        gtk_widget_set_tooltip_text(btn, b.tooltip);
        g_signal_connect(btn, "clicked", handlers[i], w);
        gtk_box_pack_start(GTK_BOX(tools), btn, FALSE, FALSE, 0);
        lib->ui[kind->slot_buttons[i]] = btn;
    }
    w->status = gtk_label_new("");
    gtk_misc_set_alignment(GTK_MISC(w->status), 0, 0.5);
    gtk_box_pack_start(GTK_BOX(tools), w->status, TRUE, TRUE, 6);

    char name[64];
    snprintf(name, sizeof(name), kind->list_name, 1);
    w->view = ui_create_treeview_list(w->window, name, kind->columns);
    gtk_widget_set_name(w->view, name);
    g_signal_connect(w->view, "key-press-event", G_CALLBACK(on_key), w);
    GtkWidget *scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(scroll), w->view);
    gtk_box_pack_start(GTK_BOX(vbox), scroll, TRUE, TRUE, 0);
    gtk_widget_show_all(vbox);

    library_jobs_ops_t ops = {kind->fetch, kind->control, job_apply, w};
    w->engine = library_jobs_start(lib->url, LIBRARY_JOBS_LIMIT, &ops);
    w->timer = gdk_threads_add_timeout(5000, job_timer, w);
    lib->ui[kind->slot_window] = w->window;
    lib->ui[kind->slot_list] = w->view;
    g_object_set_data(G_OBJECT(w->window), JOB_WINDOW_KEY, w);
    g_signal_connect(w->window, "destroy", G_CALLBACK(on_window_destroy), w);
    return w;
}

library_job_window_t *library_job_window_find(library_t *lib, const library_job_kind_t *kind)
{
    GtkWidget *window = lib->ui[kind->slot_window];
    return window ? (library_job_window_t *)g_object_get_data(G_OBJECT(window), JOB_WINDOW_KEY) : nullptr;
}

int library_job_window_show(library_job_window_t *w)
{
    gtk_window_present(GTK_WINDOW(w->window));
    return library_job_window_reload(w);
}

int library_job_window_reload(library_job_window_t *w)
{
    library_jobs_reload(w->engine);
    return 0;
}

static void collect_id(GtkTreeModel *model, GtkTreePath *, GtkTreeIter *it, gpointer data)
{
    std::pair<int, std::vector<int> *> *p = (std::pair<int, std::vector<int> *> *)data;
    int id = 0;
    gtk_tree_model_get(model, it, p->first, &id, -1);
    p->second->push_back(id);
}

int library_job_window_control(library_job_window_t *w, char op)
{
    std::vector<int> ids;
    std::pair<int, std::vector<int> *> p(w->kind->col_id, &ids);
    gtk_tree_selection_selected_foreach(gtk_tree_view_get_selection(GTK_TREE_VIEW(w->view)), collect_id, &p);
    library_jobs_control(w->engine, op, ids.data(), (int)ids.size());
    return (int)ids.size();
}

GtkWidget *library_job_window_widget(library_job_window_t *w)
{
    return w->window;
}
GtkWidget *library_job_window_view(library_job_window_t *w)
{
    return w->view;
}
GtkWidget *library_job_window_status(library_job_window_t *w)
{
    return w->status;
}
GdkPixbuf *library_job_window_icon(library_job_window_t *w, int idx)
{
    return idx >= 0 && idx < 16 ? w->icons[idx] : nullptr;
}
int library_job_window_applied(library_job_window_t *w)
{
    return w->applied;
}

void library_job_windows_release(library_t *lib)
{
    for (int slot : {LIBRARY_UI_TRANSFER_WINDOW, LIBRARY_UI_TRANSCODER_WINDOW})
        if (GtkWidget *window = lib->ui[slot])
            gtk_widget_destroy(window);
}

/* ------------------------------------------------------------------------
 * The transfer list
 * ---------------------------------------------------------------------- */

enum
{
    TR_ID = 0,
    TR_STATE,
    TR_DIR,
    TR_TARGET,
    TR_LOCAL,
    TR_REMOTE,
    TR_COMMENT,
    TR_UPDATED,
    TR_CREATED,
    TR_POS,
    TR_JOB,
    TR_BG,
    TR_BG_V,
    TR_FG,
    TR_FG_V,
};

static const ui_column_desc transfer_columns[] = {
    {TR_ID, "ID", G_TYPE_STRING},           {TR_STATE, "STATE", G_TYPE_OBJECT},
    {TR_DIR, "DIRECTION", G_TYPE_OBJECT},   {TR_TARGET, "TARGET", G_TYPE_STRING},
    {TR_LOCAL, "LOCAL", G_TYPE_STRING},     {TR_REMOTE, "REMOTE", G_TYPE_STRING},
    {TR_COMMENT, "COMMENT", G_TYPE_STRING}, {TR_UPDATED, "UPDATED", G_TYPE_STRING},
    {TR_CREATED, "CREATED", G_TYPE_STRING}, {TR_POS, nullptr, G_TYPE_INT},
    {TR_JOB, nullptr, G_TYPE_INT},          {TR_BG, nullptr, G_TYPE_BOOLEAN},
    {TR_BG_V, nullptr, G_TYPE_STRING},      {TR_FG, nullptr, G_TYPE_BOOLEAN},
    {TR_FG_V, nullptr, G_TYPE_STRING},      {-1, nullptr, G_TYPE_NONE},
};

static const char *const transfer_icon_names[9] = {
    "transfer_state_pending", "transfer_state_started", "transfer_state_done",
    "transfer_state_error",   "transfer_state_cancel",  "transfer_dir_e",
    "transfer_dir_ed",        "transfer_dir_i",         "transfer_dir_id"};
static const char *const transfer_icon_stock[9] = {"gtk-media-pause",  "gtk-media-play", "gtk-apply",
                                                   "gtk-dialog-error", "gtk-cancel",     "gtk-go-up",
                                                   "gtk-goto-top",     "gtk-go-down",    "gtk-goto-bottom"};

static const char *const transfer_buttons[4] = {"button_library_transfer_refresh", "button_library_transfer_restart",
                                                "button_library_transfer_delete", "button_library_transfer_cancel"};

static int transfer_fetch(const char *url, int limit, void **records)
{
    size_t size = (size_t)limit * sizeof(pelmora_filetransfer_request_t);
    *records = calloc(1, size);
    if (!*records)
        return -12;
    return pelmora_filetransfer_requests_list(url, -1, 0, limit, (pelmora_filetransfer_request_t *)*records);
}

static void transfer_fill(GtkListStore *store, GtkTreeIter *it, const void *records, int pos, GdkPixbuf *const *icons)
{
    const pelmora_filetransfer_request_t *r = (const pelmora_filetransfer_request_t *)records + pos;
    char id[16], comment[300], up[32], cr[32];
    snprintf(id, sizeof(id), "%d", r->id);
    gtk_list_store_set(store, it, TR_ID, id, TR_STATE, icons[library_job_state_icon(r->state)], TR_DIR,
                       icons[5 + library_transfer_dir_icon(r->f_import, r->f_delete)], TR_TARGET, r->target, TR_LOCAL,
                       r->object_local, TR_REMOTE, r->object_remote, TR_COMMENT,
                       library_job_comment(r->state, r->progress, r->error, comment, sizeof(comment)), TR_UPDATED,
                       library_job_time(r->updated, up, sizeof(up)), TR_CREATED,
                       library_job_time(r->created, cr, sizeof(cr)), TR_POS, pos, TR_JOB, r->id, -1);
}

static int transfer_control(const char *url, char op, int id)
{
    return op == 'c'   ? pelmora_filetransfer_request_cancel(url, id)
           : op == 'r' ? pelmora_filetransfer_request_restart(url, id)
                       : pelmora_filetransfer_request_del(url, id);
}

static const library_job_kind_t *transfer_kind(void)
{
    static library_job_kind_t k;
    if (!k.title) {
        k.title = _("TRANSFER LIST");
        k.list_name = "transfer_list_%d";
        k.button_names = transfer_buttons;
        k.button_ids[0] = 8;
        k.button_ids[1] = 11;
        k.button_ids[2] = 9;
        k.button_ids[3] = 10;
        k.slot_window = LIBRARY_UI_TRANSFER_WINDOW;
        k.slot_list = LIBRARY_UI_TRANSFER_LIST;
        k.slot_buttons[0] = LIBRARY_UI_BUTTON_TRANSFER_REFRESH;
        k.slot_buttons[1] = LIBRARY_UI_BUTTON_TRANSFER_RESTART;
        k.slot_buttons[2] = LIBRARY_UI_BUTTON_TRANSFER_DELETE;
        k.slot_buttons[3] = LIBRARY_UI_BUTTON_TRANSFER_CANCEL;
        k.columns = transfer_columns;
        k.col_pos = TR_POS;
        k.col_id = TR_JOB;
        k.n_icons = 9;
        k.icon_names = transfer_icon_names;
        k.icon_stock = transfer_icon_stock;
        k.fetch = transfer_fetch;
        k.fill = transfer_fill;
        k.control = transfer_control;
    }
    return &k;
}

library_job_window_t *library_transfer_window(library_t *lib)
{
    return library_job_window_find(lib, transfer_kind());
}

int library_transfer_list(library_t *lib)
{
    return library_job_window_show(library_job_window(lib, transfer_kind()));
}

int library_transfer_list_reload(library_t *lib)
{
    library_job_window_t *w = library_transfer_window(lib);
    return w ? library_job_window_reload(w) : -2;
}

/* ------------------------------------------------------------------------
 * Export
 * ---------------------------------------------------------------------- */

int library_transfer_export(library_t *lib, pelmora_lib_item_t *const *items, int n)
{
    std::vector<pelmora_filetransfer_target_t> trg(LIBRARY_JOBS_LIMIT);
    memset((void *)trg.data(), 0, trg.size() * sizeof(trg[0]));
    const char *url = lib->url;
    int nt =
        library_jobs_call([&] { return pelmora_filetransfer_targets_list(url, 0, LIBRARY_JOBS_LIMIT, trg.data()); });

    GtkWidget *dlg = gtk_dialog_new_with_buttons(_("Export object"), nullptr, GTK_DIALOG_MODAL, "gtk-ok",
                                                 GTK_RESPONSE_ACCEPT, "gtk-cancel", GTK_RESPONSE_REJECT, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
    GtkWidget *area = GTK_DIALOG(dlg)->vbox;
    GtkWidget *combo = gtk_combo_box_new_text();
    for (int i = 0; i < nt; i++)
        gtk_combo_box_append_text(GTK_COMBO_BOX(combo), trg[(size_t)i].title);
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), nt > 0 ? 0 : -1);
    gtk_widget_set_name(combo, "export_target");
    /* The box says what it chooses. */
    GtkWidget *row = gtk_hbox_new(FALSE, 6);
    GtkWidget *caption = gtk_label_new_with_mnemonic(_("Transfer _target:"));
    gtk_label_set_mnemonic_widget(GTK_LABEL(caption), combo);
    gtk_box_pack_start(GTK_BOX(row), caption, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(row), combo, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(area), row, FALSE, FALSE, 4);
    GtkWidget *del = gtk_check_button_new_with_label(_("Delete source"));
    gtk_widget_set_name(del, "export_delete_source");
    gtk_box_pack_start(GTK_BOX(area), del, FALSE, FALSE, 4);
    gtk_widget_show_all(area);
    ui_dlg_fit_screen(dlg, lib->ui[LIBRARY_UI_SIZEAREA]);
    int resp = gtk_dialog_run(GTK_DIALOG(dlg));
    int sel = gtk_combo_box_get_active(GTK_COMBO_BOX(combo));
    int f_delete = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(del)) ? 1 : 0;
    gtk_widget_destroy(dlg);
    if (resp != GTK_RESPONSE_ACCEPT || sel < 0 || sel >= nt)
        return 0;

    int added = 0;
    for (int i = 0; i < n; i++) {
        if (!items[i])
            continue;
        pelmora_filetransfer_request_t req;
        memset(&req, 0, sizeof(req));
        strlcpy(req.target, trg[(size_t)sel].id, sizeof(req.target));
        req.f_import = 0;
        req.f_delete = f_delete;
        strlcpy(req.object_local, items[i]->full, sizeof(req.object_local));
        strlcpy(req.object_remote, items[i]->name, sizeof(req.object_remote));
        int r = library_jobs_call([&] { return pelmora_filetransfer_request_add(url, &req); });
        if (r >= 0)
            added++;
        library_transfer_list_reload(lib);
    }
    if (added < n)
        library_ui_notice_refused(lib, _("EXPORT"), n - added, n);
    return added;
}
