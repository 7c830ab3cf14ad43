/* The library tree of a bus (and of the select-item dialog): the store and
 * view that the library model drives through its hooks, the journal's row
 * actions, selection, search, the selection readers, the tree's side of
 * dragging rows onto a bus, and the pane's folding and notice line. */
#include "library_ui.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "gdk_unlock.h"
#include "library_thumb.h"
#include "strl.h"
#include "timecode.h"
#include "transfer_jobs.h"
#include "ui_images.h"
#include "ui_tools.h"

namespace {

/* An item name in the order of the NAME column (UTF-8 collation, then the
 * bytes): a row put in before the next name in this order is already where
 * the sorted store wants it, so the store moves no row. */
struct name_key
{
    std::string key, name;
    explicit name_key(const char *n) : name(n)
    {
        gchar *k = g_utf8_collate_key(n, -1);
        key = k ? k : "";
        g_free(k);
    }
    bool operator<(const name_key &o) const { return key != o.key ? key < o.key : name < o.name; }
};

/* Stale item rows removed per idle callback once a listing has ended. */
const int SWEEP_ROWS = 250;

/* Per library, main thread only: the item rows by id (for thumbnails that
 * arrive after their row may be gone) and the listing each open folder
 * waits for. */
struct library_tree_desc
{
    GtkTreeView *view = nullptr;
    GtkTreeStore *store = nullptr;
    int64_t next_id = 1;
    /* id -> row; a tree store's iterators stay valid while their row lives
     * (row references would be updated on every insertion, which makes
     * filling a large folder quadratic). */
    std::map<int64_t, GtkTreeIter> items;
    std::map<std::string, int64_t> waiting; /* folder path -> token of its listing */
    std::set<std::string> waiting_dirs;     /* of those, the listings that include folders */
    /* Open folders whose last listing failed: they keep a placeholder (and
     * so their expander) and are listed whole next time. */
    std::set<std::string> failed;
    std::set<std::string> failed_dirs; /* listings under way whose folders failed */
    std::set<int64_t> done;            /* thumbnails answered, with or without one */
    guint thumbs_idle = 0;
    /* Folder path -> its item rows by name: a listing merges into them and
     * a journal entry updates one, so a name never gets two rows. */
    std::map<std::string, std::map<name_key, int64_t>> names;
    /* Folder path -> item rows its listing under way has not named yet;
     * those left when it ends go, SWEEP_ROWS at a time. */
    std::map<std::string, std::set<int64_t>> stale;
    guint sweep_idle = 0;
};

struct notice_desc
{
    GtkWidget *label = nullptr;
    guint timer = 0;
    /* A standing state (the server does not answer): shown again when a
     * passing notice has gone. */
    std::string held;
};

} // namespace

/* Main thread only, like everything that reads it. */
struct library_view_desc
{
    library_t *lib = nullptr;
    library_tree_desc tree; /* no view: no tree shows the library */
    notice_desc notice;     /* no label: no notice line */
    /* An operation of the operator's under way: the main loop runs while
     * the server works, and a second click must not start another one. */
    bool busy = false;
};

namespace {

const char *const VIEW_KEY = "library_view_t";

library_view_t *view_of(library_t *lib)
{
    return lib ? static_cast<library_view_t *>(lib->hooks.view) : nullptr;
}

/* The tree's idle callbacks go with its state; the store, which may outlive
 * it in a model reference, no longer names it. */
void tree_drop(library_tree_desc &t)
{
    if (t.thumbs_idle)
        g_source_remove(t.thumbs_idle);
    if (t.sweep_idle)
        g_source_remove(t.sweep_idle);
    if (t.store)
        g_object_set_data(G_OBJECT(t.store), VIEW_KEY, nullptr);
    t = library_tree_desc();
}

void view_free(gpointer p)
{
    auto *v = static_cast<library_view_t *>(p);
    if (v->lib->hooks.view == v)
        v->lib->hooks.view = nullptr;
    tree_drop(v->tree);
    if (v->notice.timer)
        g_source_remove(v->notice.timer);
    delete v;
}

void view_owner_gone(GtkWidget *owner, gpointer)
{
    g_object_set_data(G_OBJECT(owner), VIEW_KEY, nullptr);
}

} // namespace

library_view_t *library_view_attach(library_t *lib, GtkWidget *owner)
{
    if (library_view_t *v = view_of(lib))
        return v;
    auto *v = new library_view_desc();
    v->lib = lib;
    g_object_set_data_full(G_OBJECT(owner), VIEW_KEY, v, view_free);
    g_signal_connect(owner, "destroy", G_CALLBACK(view_owner_gone), nullptr);
    lib->hooks.view = v;
    return v;
}

int library_ui_busy(library_t *lib, int f_take)
{
    library_view_t *v = view_of(lib);
    if (v && f_take && v->busy)
        return 0;
    if (v) /* without a view nothing can be clicked twice */
        v->busy = f_take != 0;
    return f_take ? 1 : 0;
}

/* ---- Folding ---- */

int library_ui_showhide(library_t *lib, int f_show)
{
    GtkWidget *area = lib ? lib->ui[LIBRARY_UI_SHOWAREA] : nullptr;
    GtkWidget *show = lib ? lib->ui[LIBRARY_UI_BUTTON_SHOW] : nullptr;
    GtkWidget *hide = lib ? lib->ui[LIBRARY_UI_BUTTON_HIDE] : nullptr;
    if (!area || !show || !hide)
        return -2;
    if (f_show) {
        gtk_widget_hide(show);
        gtk_widget_show(hide);
        gtk_widget_show(area);
    } else {
        GtkWidget *top = lib->ui[LIBRARY_UI_SIZEAREA];
        if (top && GTK_IS_PANED(top))
            gtk_paned_set_position(GTK_PANED(top), -1);
        gtk_widget_hide(hide);
        gtk_widget_hide(area);
        gtk_widget_show(show);
    }
    return 0;
}

/* ---- Notice line ---- */

namespace {

gboolean notice_expired(gpointer lib)
{
    if (library_view_t *v = view_of(static_cast<library_t *>(lib))) {
        v->notice.timer = 0;
        gtk_label_set_text(GTK_LABEL(v->notice.label), v->notice.held.c_str());
        gtk_widget_set_visible(v->notice.label, !v->notice.held.empty());
    }
    return FALSE;
}

void notice_label_gone(GtkWidget *label, gpointer lib)
{
    library_view_t *v = view_of(static_cast<library_t *>(lib));
    if (!v || v->notice.label != label)
        return;
    if (v->notice.timer)
        g_source_remove(v->notice.timer);
    v->notice = notice_desc();
}

notice_desc *notice_of(library_t *lib)
{
    library_view_t *v = view_of(lib);
    return v && v->notice.label ? &v->notice : nullptr;
}

} // namespace

int library_ui_notice_attach(library_t *lib, GtkWidget *label)
{
    if (!lib || !label)
        return -22;
    library_view_attach(lib, label)->notice.label = label;
    g_signal_connect(label, "destroy", G_CALLBACK(notice_label_gone), lib);
    return 0;
}

int library_ui_notice(library_t *lib, const char *text)
{
    if (text && *text)
        g_warning("%s: %s", __func__, text);
    notice_desc *np = notice_of(lib);
    if (!np)
        return -2;
    notice_desc &n = *np;
    if (n.timer)
        g_source_remove(n.timer);
    n.timer = 0;
    if (text && *text) {
        gtk_label_set_text(GTK_LABEL(n.label), text);
        gtk_widget_show(n.label);
        n.timer = gdk_threads_add_timeout(LIBRARY_UI_NOTICE_MS, notice_expired, lib);
    } else {
        gtk_label_set_text(GTK_LABEL(n.label), n.held.c_str());
        gtk_widget_set_visible(n.label, !n.held.empty());
    }
    return 0;
}

int library_ui_notice_hold(library_t *lib, const char *text)
{
    notice_desc *np = notice_of(lib);
    if (!np)
        return -2;
    notice_desc &n = *np;
    std::string was = n.held;
    n.held = text ? text : "";
    if (n.held == was)
        return 0;
    if (!n.held.empty())
        g_warning("%s: %s", __func__, n.held.c_str());
    /* A new standing text shows at once; a passing notice on the line
     * stays when the standing text goes. */
    if (!n.held.empty() || !n.timer || was == gtk_label_get_text(GTK_LABEL(n.label))) {
        if (n.timer)
            g_source_remove(n.timer);
        n.timer = 0;
        gtk_label_set_text(GTK_LABEL(n.label), n.held.c_str());
        gtk_widget_set_visible(n.label, !n.held.empty());
    }
    return 0;
}

int library_ui_notice_refused(library_t *lib, const char *what, int refused, int total)
{
    char *text = g_strdup_printf(g_dgettext("PelmoraBox", "%s: %d of %d requests refused by the library server %s"),
                                 what, refused, total, lib->host);
    int r = library_ui_notice(lib, text);
    g_free(text);
    return r;
}

const char *library_ui_notice_text(library_t *lib)
{
    notice_desc *n = notice_of(lib);
    return n ? gtk_label_get_text(GTK_LABEL(n->label)) : "";
}

/* ======================================================================
 * The library tree: the store and view the model drives through its hooks.
 * ==================================================================== */

namespace {

const ui_column_desc library_columns[] = {
    {LIBRARY_COLUMN_THUMB, "TYPE", G_TYPE_OBJECT},
    {LIBRARY_COLUMN_TITLE, "NAME", G_TYPE_STRING},
    {LIBRARY_COLUMN_DUR, "DUR", G_TYPE_STRING},
    {LIBRARY_COLUMN_TIMECODE, "TIMECODE", G_TYPE_STRING},
    {LIBRARY_COLUMN_FRAME, "FRAME", G_TYPE_STRING},
    {LIBRARY_COLUMN_AUDIO, "AUDIO", G_TYPE_STRING},
    {LIBRARY_COLUMN_DATE, "DATE", G_TYPE_STRING},
    {LIBRARY_COLUMN_ITEM_DATA, nullptr, G_TYPE_POINTER},
    {LIBRARY_COLUMN_DIR_DATA, nullptr, G_TYPE_POINTER},
    {LIBRARY_COLUMN_SUBCLIP_DATA, nullptr, G_TYPE_POINTER},
    {LIBRARY_COLUMN_BG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {LIBRARY_COLUMN_BG_COLOR_V, nullptr, G_TYPE_STRING},
    {LIBRARY_COLUMN_FG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {LIBRARY_COLUMN_FG_COLOR_V, nullptr, G_TYPE_STRING},
    {-1, nullptr, 0},
};

/* Every folder, item and subclip record a row holds, in any tree of the
 * process: a drop names records by address, and only these are read. */
std::unordered_set<const void *> live_records;

library_tree_desc *tree_of(library_t *lib)
{
    library_view_t *v = view_of(lib);
    return v && v->tree.view ? &v->tree : nullptr;
}

GdkPixbuf *icon(library_t *lib, int i)
{
    static const char *names[] = {"library_icon_folder", "library_icon_clip", "library_icon_subclip"};
    if (!lib->icons[i] && i < 3)
        if (const guint8 *data = ui_images_lookup(names[i]))
            lib->icons[i] = gdk_pixbuf_new_from_inline(-1, data, FALSE, nullptr);
    return lib->icons[i];
}

int64_t item_id(const pelmora_lib_item_t *it)
{
    return (int64_t)(intptr_t)it->priv[1];
}

bool is_placeholder(GtkTreeModel *m, GtkTreeIter *it)
{
    gpointer a = nullptr, b = nullptr, c = nullptr;
    gchar *title = nullptr;
    gtk_tree_model_get(m, it, LIBRARY_COLUMN_ITEM_DATA, &a, LIBRARY_COLUMN_DIR_DATA, &b, LIBRARY_COLUMN_SUBCLIP_DATA,
                       &c, LIBRARY_COLUMN_TITLE, &title, -1);
    bool r = !a && !b && !c && !title;
    g_free(title);
    return r;
}

pelmora_lib_dir_t *dir_of(GtkTreeModel *m, GtkTreeIter *it)
{
    gpointer d = nullptr;
    gtk_tree_model_get(m, it, LIBRARY_COLUMN_DIR_DATA, &d, -1);
    return static_cast<pelmora_lib_dir_t *>(d);
}

pelmora_lib_item_t *item_of(GtkTreeModel *m, GtkTreeIter *it)
{
    gpointer d = nullptr;
    gtk_tree_model_get(m, it, LIBRARY_COLUMN_ITEM_DATA, &d, -1);
    return static_cast<pelmora_lib_item_t *>(d);
}

/* The first folder row with that full path, depth first; with f_open only
 * through open folders. */
bool find_dir(library_t *lib, const char *path, int f_open, GtkTreeIter *out, GtkTreeIter *parent = nullptr)
{
    library_tree_desc *t = tree_of(lib);
    GtkTreeModel *m = GTK_TREE_MODEL(t->store);
    GtkTreeIter it;
    if (!gtk_tree_model_iter_children(m, &it, parent))
        return false;
    do {
        pelmora_lib_dir_t *d = dir_of(m, &it);
        if (!d)
            continue;
        if (!strcmp(d->full, path)) {
            *out = it;
            return true;
        }
        if (f_open) {
            GtkTreePath *p = gtk_tree_model_get_path(m, &it);
            bool open = gtk_tree_view_row_expanded(t->view, p);
            gtk_tree_path_free(p);
            if (!open)
                continue;
        }
        if (find_dir(lib, path, f_open, out, &it))
            return true;
    } while (gtk_tree_model_iter_next(m, &it));
    return false;
}

void item_texts(const pelmora_lib_item_t *it, char *dur, char *frame, char *audio, char *date)
{
    tc_frames2tc(tc_sec2frames(it->duration), dur);
    frame[0] = audio[0] = date[0] = 0;
    if (it->width && it->height)
        snprintf(frame, 32, "%dx%d", it->width, it->height);
    if (it->channels && it->sample_rate)
        snprintf(audio, 64, "%d ch, %d hz", it->channels, it->sample_rate);
    time_t ct = (time_t)it->stat_ctime;
    struct tm tm;
    if (localtime_r(&ct, &tm))
        strftime(date, 64, "%Y-%m-%d %H:%M:%S", &tm);
}

/* Asks the model for the thumbnails of the item rows in view that have
 * none yet; rows out of view are never asked for. */
gboolean thumbs_in_view(gpointer data)
{
    library_t *lib = static_cast<library_t *>(data);
    library_tree_desc *t = tree_of(lib);
    if (!t)
        return FALSE;
    t->thumbs_idle = 0;
    GtkTreePath *a = nullptr, *b = nullptr;
    if (lib->f_no_thumbs || !gtk_tree_view_get_visible_range(t->view, &a, &b))
        return FALSE;
    GtkTreeModel *m = GTK_TREE_MODEL(t->store);
    std::vector<int64_t> ids;
    std::vector<std::string> paths;
    GtkTreePath *p = gtk_tree_path_copy(a);
    for (int guard = 0; guard < 500 && gtk_tree_path_compare(p, b) <= 0; guard++) {
        GtkTreeIter it;
        if (!gtk_tree_model_get_iter(m, &it, p))
            break;
        pelmora_lib_item_t *item = item_of(m, &it);
        if (item && !item->priv[0] && !t->done.count(item_id(item))) {
            ids.push_back(item_id(item));
            paths.push_back(item->full);
        }
        /* Next row in view order: into an open row, else along, else up. */
        if (gtk_tree_model_iter_has_child(m, &it) && gtk_tree_view_row_expanded(t->view, p))
            gtk_tree_path_down(p);
        else {
            for (;;) {
                GtkTreeIter n = it;
                if (gtk_tree_model_iter_next(m, &n)) {
                    gtk_tree_path_next(p);
                    break;
                }
                if (gtk_tree_path_get_depth(p) <= 1 || !gtk_tree_path_up(p) || !gtk_tree_model_get_iter(m, &it, p)) {
                    gtk_tree_path_free(p);
                    p = gtk_tree_path_copy(b);
                    gtk_tree_path_next(p);
                    break;
                }
            }
        }
    }
    gtk_tree_path_free(p);
    gtk_tree_path_free(a);
    gtk_tree_path_free(b);
    /* Always said, also when nothing is wanted: what was asked for rows now
     * out of view is not fetched. */
    std::vector<const char *> cp;
    for (const std::string &s : paths)
        cp.push_back(s.c_str());
    library_thumbs_want(lib, (int)ids.size(), ids.data(), cp.data());
    return FALSE;
}

void thumbs_later(library_t *lib)
{
    library_tree_desc *t = tree_of(lib);
    if (t && !t->thumbs_idle)
        t->thumbs_idle = g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, thumbs_in_view, lib, nullptr);
}

void on_scrolled(GtkAdjustment *, gpointer lib)
{
    thumbs_later(static_cast<library_t *>(lib));
}

/* ---- Hooks ---- */

/* The open folder row a listing was started for, while it still waits for
 * that listing (a closed or reopened folder drops what arrives late). */
bool listing_row(library_t *lib, library_tree_desc *t, const char *path, int64_t token, GtkTreeIter *row)
{
    if (!t)
        return false;
    auto w = t->waiting.find(path);
    return w != t->waiting.end() && w->second == token && find_dir(lib, path, 1, row);
}

bool folder_row(library_t *lib, const char *path, GtkTreeIter *row)
{
    library_tree_desc *t = tree_of(lib);
    if (!strcmp(path, "/"))
        return gtk_tree_model_get_iter_first(GTK_TREE_MODEL(t->store), row);
    return find_dir(lib, path, 1, row);
}

/* 1 when the folder's item rows are in the tree (it is open and filled)
 * and no listing of it is under way. */
int item_rows_at(library_t *lib, const char *path, GtkTreeIter *row)
{
    library_tree_desc *t = tree_of(lib);
    if (!t || !path || t->waiting.count(path) || !folder_row(lib, path, row))
        return 0;
    GtkTreeModel *m = GTK_TREE_MODEL(t->store);
    GtkTreePath *p = gtk_tree_model_get_path(m, row);
    bool open = gtk_tree_view_row_expanded(t->view, p);
    gtk_tree_path_free(p);
    return open && gtk_tree_model_iter_has_child(m, row) ? 1 : 0;
}

bool row_of(library_tree_desc *t, int64_t id, GtkTreeIter *out)
{
    auto row = t->items.find(id);
    if (row == t->items.end())
        return false;
    *out = row->second;
    return true;
}

void set_item_row(library_t *lib, library_tree_desc *t, GtkTreeIter *it, pelmora_lib_item_t *item)
{
    char dur[32], frame[32], audio[64], date[64];
    item_texts(item, dur, frame, audio, date);
    GdkPixbuf *pic = item->priv[0] ? static_cast<GdkPixbuf *>(item->priv[0]) : icon(lib, 1);
    gtk_tree_store_set(t->store, it, LIBRARY_COLUMN_THUMB, pic, LIBRARY_COLUMN_TITLE, item->name, LIBRARY_COLUMN_DUR,
                       dur, LIBRARY_COLUMN_TIMECODE, item->timecode, LIBRARY_COLUMN_FRAME, frame, LIBRARY_COLUMN_AUDIO,
                       audio, LIBRARY_COLUMN_DATE, date, LIBRARY_COLUMN_ITEM_DATA, item, LIBRARY_COLUMN_BG_COLOR, FALSE,
                       LIBRARY_COLUMN_BG_COLOR_V, "red", -1);
}

bool same_item(const pelmora_lib_item_t *a, const pelmora_lib_item_t *b)
{
    return !strcmp(a->name, b->name) && !strcmp(a->full, b->full) && a->stat_ino == b->stat_ino &&
           a->stat_size == b->stat_size && a->stat_mtime == b->stat_mtime && a->stat_ctime == b->stat_ctime &&
           !strcmp(a->format_name, b->format_name) && a->duration == b->duration && a->duration_f == b->duration_f &&
           a->duration_v == b->duration_v && a->duration_a == b->duration_a && a->nb_frames == b->nb_frames &&
           a->nb_streams == b->nb_streams && a->width == b->width && a->height == b->height &&
           a->dar_num == b->dar_num && a->dar_den == b->dar_den && a->sar_num == b->sar_num &&
           a->sar_den == b->sar_den && a->r_frame_rate_num == b->r_frame_rate_num &&
           a->r_frame_rate_den == b->r_frame_rate_den && !strcmp(a->sample_fmt, b->sample_fmt) &&
           a->sample_rate == b->sample_rate && a->channels == b->channels && !strcmp(a->timecode, b->timecode) &&
           a->subclips == b->subclips;
}

/* The store is sorted by NAME descending. */
bool sort_descending(library_tree_desc *t)
{
    gint col = 0;
    GtkSortType order = GTK_SORT_ASCENDING;
    gtk_tree_sortable_get_sort_column_id(GTK_TREE_SORTABLE(t->store), &col, &order);
    return col == LIBRARY_COLUMN_TITLE && order == GTK_SORT_DESCENDING;
}

/* A placeholder sorts as a folder without a name (see library_sort_iter_cmp_func): first
 * when ascending, after the folders when descending. Put there, it moves
 * no row when the rows around it are set. */
void add_placeholder_in_order(library_tree_desc *t, GtkTreeIter *parent)
{
    GtkTreeModel *m = GTK_TREE_MODEL(t->store);
    GtkTreeIter fake, it;
    gint col = 0;
    GtkSortType order = GTK_SORT_ASCENDING;
    gtk_tree_sortable_get_sort_column_id(GTK_TREE_SORTABLE(t->store), &col, &order);
    bool first = order == GTK_SORT_ASCENDING;
    if (first || !gtk_tree_model_iter_children(m, &it, parent)) {
        gtk_tree_store_prepend(t->store, &fake, parent);
        return;
    }
    do {
        if (!dir_of(m, &it) && !is_placeholder(m, &it)) {
            gtk_tree_store_insert_before(t->store, &fake, parent, &it);
            return;
        }
    } while (gtk_tree_model_iter_next(m, &it));
    gtk_tree_store_append(t->store, &fake, parent);
}

/* The subclip rows of a changed item: read again when the row is open,
 * else only a placeholder when it has subclips (they are read on opening). */
void refresh_subclips(library_t *lib, library_tree_desc *t, GtkTreeIter *row, const pelmora_lib_item_t *item)
{
    GtkTreeModel *m = GTK_TREE_MODEL(t->store);
    GtkTreePath *p = gtk_tree_model_get_path(m, row);
    bool open = gtk_tree_view_row_expanded(t->view, p);
    gtk_tree_path_free(p);
    if (!open) {
        library_delete_items(m, row);
        if (item->subclips)
            library_add_fake(t->store, row);
        return;
    }
    /* The new placeholder goes in first: a row that loses its last child
     * is closed by the view. */
    GtkTreeIter fake, child;
    gtk_tree_store_append(t->store, &fake, row);
    while (gtk_tree_model_iter_children(m, &child, row) && child.user_data != fake.user_data)
        library_delete_item(m, &child);
    library_load_subclips(lib, item->full, item_id(item));
}

/* An item of an open folder, from a listing or read alone: the row of that
 * name takes it (unchanged rows are left alone), or a new row goes where
 * the server's order puts it. Takes the record. */
void merge_item(library_t *lib, library_tree_desc *t, const char *folder, GtkTreeIter *parent, pelmora_lib_item_t *item,
                int f_single)
{
    GtkTreeModel *m = GTK_TREE_MODEL(t->store);
    auto &index = t->names[folder];
    const name_key key(item->name);
    auto found = index.find(key);
    GtkTreeIter it;
    if (found != index.end()) {
        int64_t id = found->second;
        pelmora_lib_item_t *old = row_of(t, id, &it) ? item_of(m, &it) : nullptr;
        if (old && item_id(old) == id) {
            auto st = t->stale.find(folder);
            if (st != t->stale.end())
                st->second.erase(id);
            if (same_item(old, item)) {
                free(item);
                /* A subclip edit changes no member the item shows. */
                if (f_single)
                    refresh_subclips(lib, t, &it, old);
                return;
            }
            item->priv[1] = old->priv[1];
            if (old->priv[0] && old->stat_ino == item->stat_ino && old->stat_size == item->stat_size &&
                old->stat_mtime == item->stat_mtime) {
                item->priv[0] = old->priv[0]; /* the same picture */
                old->priv[0] = nullptr;
            } else
                t->done.erase(id);               /* asked for again while in view */
            refresh_subclips(lib, t, &it, item); /* their records point at the old one */
            live_records.erase(old);
            live_records.insert(item);
            set_item_row(lib, t, &it, item);
            if (old->priv[0])
                g_object_unref(old->priv[0]);
            free(old);
            return;
        }
        index.erase(found); /* its row went another way */
    }
    int64_t id = t->next_id++;
    item->priv[1] = (void *)(intptr_t)id;
    /* Beside the next name where the NAME order puts it (after it when
     * the order is descending): the sorted store then moves no row. Under
     * another sort column the store moves the row itself. */
    GtkTreeIter sibling;
    bool down = sort_descending(t);
    auto next = index.upper_bound(key);
    if (next != index.end() && row_of(t, next->second, &sibling)) {
        if (down)
            gtk_tree_store_insert_after(t->store, &it, parent, &sibling);
        else
            gtk_tree_store_insert_before(t->store, &it, parent, &sibling);
    } else if (!index.empty() && row_of(t, index.rbegin()->second, &sibling)) {
        if (down)
            gtk_tree_store_insert_before(t->store, &it, parent, &sibling);
        else
            gtk_tree_store_insert_after(t->store, &it, parent, &sibling);
    } else
        gtk_tree_store_append(t->store, &it, parent);
    set_item_row(lib, t, &it, item);
    if (item->subclips)
        library_add_fake(t->store, &it);
    t->items[id] = it;
    index[key] = id;
    live_records.insert(item);
}

/* Removes the rows that listings which have ended did not name, a slice
 * per call, so that a folder of 10,000 rows listed again never holds the
 * main loop. */
gboolean sweep_stale(gpointer data)
{
    library_t *lib = static_cast<library_t *>(data);
    library_tree_desc *t = tree_of(lib);
    if (!t)
        return FALSE;
    GtkTreeModel *m = GTK_TREE_MODEL(t->store);
    int budget = SWEEP_ROWS;
    bool more = false;
    for (auto f = t->stale.begin(); f != t->stale.end();) {
        if (t->waiting.count(f->first)) { /* its listing is still coming */
            ++f;
            continue;
        }
        std::set<int64_t> &ids = f->second;
        while (!ids.empty() && budget > 0) {
            int64_t id = *ids.begin();
            ids.erase(ids.begin());
            GtkTreeIter it;
            if (row_of(t, id, &it)) {
                library_delete_item(m, &it);
                budget--;
            }
        }
        if (ids.empty())
            f = t->stale.erase(f);
        else {
            more = true;
            ++f;
        }
    }
    if (!more)
        t->sweep_idle = 0;
    return more;
}

void sweep_later(library_t *lib)
{
    library_tree_desc *t = tree_of(lib);
    if (t && !t->sweep_idle && !t->stale.empty())
        t->sweep_idle = gdk_threads_add_idle_full(G_PRIORITY_DEFAULT_IDLE, sweep_stale, lib, nullptr);
}

int hook_item_rows(library_t *lib, const char *path)
{
    GtkTreeIter row;
    return item_rows_at(lib, path, &row);
}

int hook_update_item(library_t *lib, const char *folder, pelmora_lib_item_t *item)
{
    library_tree_desc *t = tree_of(lib);
    GtkTreeIter parent;
    /* Asked before the read: the folder may have been closed or listed
     * since, and then the caller lists it. */
    if (!t || item_rows_at(lib, folder, &parent) != 1) {
        free(item);
        return 1;
    }
    merge_item(lib, t, folder, &parent, item, 1);
    thumbs_later(lib);
    return 0;
}

void hook_dirs(library_t *lib, const char *path, int64_t token, pelmora_lib_dir_t **dirs, int n, int r)
{
    library_tree_desc *t = tree_of(lib);
    GtkTreeIter parent;
    bool live = listing_row(lib, t, path, token, &parent);
    /* An open folder listed again: its folder rows that are gone go, those
     * still there stay as they are (open or not), new ones come. */
    std::set<std::string> have;
    if (live && r < 0)
        t->failed_dirs.insert(path); /* told when its items are in */
    if (live && r >= 0) {            /* a failed listing removes nothing */
        std::set<std::string> now;
        for (int i = 0; i < n; i++)
            now.insert(dirs[i]->name);
        GtkTreeModel *m = GTK_TREE_MODEL(t->store);
        GtkTreeIter it;
        bool more = gtk_tree_model_iter_children(m, &it, &parent);
        while (more) {
            pelmora_lib_dir_t *d = dir_of(m, &it);
            if (d && !now.count(d->name))
                more = library_delete_item(m, &it) != 0;
            else {
                if (d)
                    have.insert(d->name);
                more = gtk_tree_model_iter_next(m, &it);
            }
        }
    }
    for (int i = 0; i < n; i++) {
        if (live && !have.count(dirs[i]->name)) {
            GtkTreeIter it, fake;
            gtk_tree_store_insert_with_values(
                t->store, &it, &parent, 0, LIBRARY_COLUMN_THUMB, icon(lib, 0), LIBRARY_COLUMN_TITLE, dirs[i]->name,
                LIBRARY_COLUMN_DUR, dirs[i]->name, LIBRARY_COLUMN_FRAME, "", LIBRARY_COLUMN_AUDIO, "",
                LIBRARY_COLUMN_DIR_DATA, dirs[i], LIBRARY_COLUMN_BG_COLOR, FALSE, LIBRARY_COLUMN_BG_COLOR_V, "red", -1);
            gtk_tree_store_append(t->store, &fake, &it);
            live_records.insert(dirs[i]);
        } else
            free(dirs[i]);
    }
    free(dirs);
}

int library_add_items(library_t *lib, const char *path, int64_t token, pelmora_lib_item_t **items, int n, int first,
                      int last, int r)
{
    library_tree_desc *t = tree_of(lib);
    GtkTreeIter parent;
    bool live = listing_row(lib, t, path, token, &parent);
    if (!live) {
        for (int i = 0; i < n; i++)
            free(items[i]);
        free(items);
        return 1;
    }
    GtkTreeModel *m = GTK_TREE_MODEL(t->store);
    if (first) {
        /* Listed again: the rows there stay and are merged by name with
         * what comes (a selected row that is still there stays selected);
         * those the listing does not name go once it has ended, a slice at
         * a time. The placeholder keeps the row open meanwhile. */
        add_placeholder_in_order(t, &parent);
        std::set<int64_t> &old = t->stale[path];
        old.clear();
        for (const auto &row : t->names[path])
            old.insert(row.second);
    }
    for (int i = 0; i < n; i++)
        merge_item(lib, t, path, &parent, items[i], 0);
    free(items);
    if (r < 0) /* a failed listing removes nothing */
        t->stale.erase(path);
    if (last) {
        /* The placeholders (the one of the closed row, the one of a reload)
         * go once everything is in; after a failure one stays when nothing
         * else is there, so that the folder keeps its expander and is
         * listed when the server answers or the folder is opened again. */
        bool failed = r < 0 || t->failed_dirs.count(path);
        t->failed_dirs.erase(path);
        if (failed)
            t->failed.insert(path);
        else
            t->failed.erase(path);
        GtkTreeIter it;
        int keep = failed ? 1 : 0;
        if (keep && gtk_tree_model_iter_children(m, &it, &parent))
            do
                keep = is_placeholder(m, &it) ? 1 : 0;
            while (keep && gtk_tree_model_iter_next(m, &it));
        if (gtk_tree_model_iter_children(m, &it, &parent)) {
            bool more = true;
            while (more)
                more = is_placeholder(m, &it) && keep-- <= 0 ? gtk_tree_store_remove(t->store, &it)
                                                             : gtk_tree_model_iter_next(m, &it);
        }
        t->waiting.erase(path);
        t->waiting_dirs.erase(path);
        sweep_later(lib);
    }
    /* Straight away: an idle callback would wait behind the slices still
     * coming, and the first rows would get their pictures last. */
    if (t->thumbs_idle)
        g_source_remove(t->thumbs_idle);
    thumbs_in_view(lib);
    /* And once more when the view has laid the new rows out: until then
     * they are not in its visible range. */
    thumbs_later(lib);
    return 0;
}

/* A decoded thumbnail (or, with id 0, room again for the ones the decoder
 * refused): the row is looked up again, it may have gone meanwhile. The
 * rows in view are looked at again too: a picture changes the row heights,
 * and rows put in since the last look may have come into view. */
void thumb_decoded(void *cookie, int64_t id, GdkPixbuf *pb)
{
    library_t *lib = static_cast<library_t *>(cookie);
    thumbs_later(lib);
    if (!id)
        return;
    library_tree_desc *t = tree_of(lib);
    auto row = t ? t->items.find(id) : std::map<int64_t, GtkTreeIter>::iterator();
    if (!t || !pb || row == t->items.end())
        return;
    GtkTreeIter it = row->second;
    pelmora_lib_item_t *item = item_of(GTK_TREE_MODEL(t->store), &it);
    if (item && item_id(item) == id && !item->priv[0]) {
        item->priv[0] = g_object_ref(pb);
        gtk_tree_store_set(t->store, &it, LIBRARY_COLUMN_THUMB, pb, -1);
    }
}

#define THUMB_DECODER_KEY "library_thumb_t"

/* Drops the tree's decoder with whatever it has not handed over yet. */
void thumb_decoder_drop(GtkWidget *view, gpointer)
{
    g_object_set_data(G_OBJECT(view), THUMB_DECODER_KEY, nullptr);
}

void hook_thumb(library_t *lib, int64_t id, const void *data, int size)
{
    library_tree_desc *t = tree_of(lib);
    if (!t || t->items.find(id) == t->items.end())
        return; /* the row went away meanwhile */
    /* Decoded on the tree's decoder thread, made with the first thumbnail
     * and dropped with the view or the library's rows. */
    GObject *view = G_OBJECT(t->view);
    auto *dec = static_cast<library_thumb_t *>(g_object_get_data(view, THUMB_DECODER_KEY));
    if (!dec && (dec = library_thumb_new(thumb_decoded, lib, &gdk_idle_lock))) {
        g_object_set_data_full(view, THUMB_DECODER_KEY, dec, (GDestroyNotify)library_thumb_release);
        if (!g_object_get_data(view, THUMB_DECODER_KEY "_hooked")) {
            g_object_set_data(view, THUMB_DECODER_KEY "_hooked", view);
            g_signal_connect(view, "destroy", G_CALLBACK(thumb_decoder_drop), nullptr);
        }
    }
    /* A full queue takes nothing: the row is asked for again once it has
     * room. */
    if (dec && library_thumb_queue(dec, id, data, size > 0 ? (size_t)size : 0) == -11)
        return;
    t->done.insert(id);
}

/* Subclip rows at the front of their item; the item's placeholder goes
 * once they are in (it stays when the listing failed). */
void hook_subclips(library_t *lib, int64_t id, pelmora_lib_subclip_t **subs, int n, int r)
{
    library_tree_desc *t = tree_of(lib);
    auto row = t ? t->items.find(id) : std::map<int64_t, GtkTreeIter>::iterator();
    GtkTreeIter item_it, child;
    GtkTreeModel *m = t ? GTK_TREE_MODEL(t->store) : nullptr;
    bool live = t && row != t->items.end();
    if (live) {
        item_it = row->second;
        pelmora_lib_item_t *item = item_of(m, &item_it);
        live = item && item_id(item) == id && gtk_tree_model_iter_n_children(m, &item_it) == 1 &&
               gtk_tree_model_iter_children(m, &child, &item_it) && is_placeholder(m, &child);
        for (int i = 0; live && i < n; i++) {
            subs[i]->parent = item;
            char dur[32], mark[32];
            tc_frames2tc(subs[i]->duration, dur);
            tc_frames2tc(subs[i]->mark_in, mark);
            GtkTreeIter it;
            /* After the placeholder, which sorts first; the store puts them
             * in title order. */
            gtk_tree_store_insert_with_values(t->store, &it, &item_it, -1, LIBRARY_COLUMN_THUMB, icon(lib, 2),
                                              LIBRARY_COLUMN_TITLE, subs[i]->title, LIBRARY_COLUMN_DUR, dur,
                                              LIBRARY_COLUMN_TIMECODE, mark, LIBRARY_COLUMN_FRAME, "",
                                              LIBRARY_COLUMN_AUDIO, "", LIBRARY_COLUMN_SUBCLIP_DATA, subs[i],
                                              LIBRARY_COLUMN_BG_COLOR, FALSE, LIBRARY_COLUMN_BG_COLOR_V, "red", -1);
            live_records.insert(subs[i]);
        }
        if (live && r >= 0)
            gtk_tree_store_remove(t->store, &child);
    }
    if (live)
        free(subs); /* the records belong to their rows now */
    else if (subs)
        pelmora_lib_list_subclips_free(&subs);
}

void start_listing(library_t *lib, const char *path, int items_only)
{
    library_tree_desc *t = tree_of(lib);
    int64_t token = t->next_id++;
    /* A listing that replaces one still to come keeps its folders, or a
     * reload of items would drop what a full listing was to reconcile. */
    if (items_only && t->waiting.count(path) && t->waiting_dirs.count(path))
        items_only = 0;
    /* A folder whose last listing failed may lack its folders too. */
    if (t->failed.count(path))
        items_only = 0;
    if (!items_only)
        t->failed_dirs.erase(path);
    t->waiting[path] = token;
    if (items_only)
        t->waiting_dirs.erase(path);
    else
        t->waiting_dirs.insert(path);
    library_load_dir(lib, path, items_only, token);
}

/* A journal entry under a folder whose listing is still coming: that
 * listing may have been read before the change, so it is asked again (the
 * answer under way then no longer counts). */
void relist_if_waiting(library_t *lib, const char *folder)
{
    library_tree_desc *t = tree_of(lib);
    if (t && t->waiting.count(folder))
        start_listing(lib, folder, t->waiting_dirs.count(folder) ? 0 : 1);
}

void hook_reload_dir(library_t *lib, const char *path)
{
    g_warning("%s: path=[%s]", "library_reload_dir_items", path);
    library_reload_dir_items(lib, path);
}

void hook_clear(library_t *lib)
{
    if (library_tree_desc *t = tree_of(lib))
        thumb_decoder_drop(GTK_WIDGET(t->view), nullptr);
    library_release_rows(lib);
}

void hook_resync(library_t *lib)
{
    library_tree_desc *t = tree_of(lib);
    if (!t)
        return;
    std::vector<std::string> open;
    struct walk
    {
        GtkTreeModel *m;
        std::vector<std::string> *open;
        static void each(GtkTreeView *, GtkTreePath *p, gpointer data)
        {
            walk *w = static_cast<walk *>(data);
            GtkTreeIter it;
            pelmora_lib_dir_t *d = gtk_tree_model_get_iter(w->m, &it, p) ? dir_of(w->m, &it) : nullptr;
            if (d)
                w->open->push_back(d->full);
        }
    } w{GTK_TREE_MODEL(t->store), &open};
    gtk_tree_view_map_expanded_rows(t->view, walk::each, &w);
    for (const std::string &path : open)
        start_listing(lib, path.c_str(), 0);
}

/* The notice line says while the server does not answer; the listeners
 * (the gauge) follow. */
void hook_server(library_t *lib, int how, int fault)
{
    const char *who = lib->host[0] ? lib->host : lib->url;
    char *text = nullptr;
    if (how == LIBRARY_SERVER_SILENT)
        text = g_strdup_printf(g_dgettext("PelmoraBox", "The library server %s does not answer"), who);
    else if (how == LIBRARY_SERVER_REFUSES)
        text = g_strdup_printf(g_dgettext("PelmoraBox", "The library server %s refuses the library state (%d)"), who,
                               fault);
    library_ui_notice_hold(lib, text);
    g_free(text);
    for (const library_listener_t &l : lib->hooks.listeners)
        if (l.server)
            l.server(lib, how, fault);
}

void hook_capacity(library_t *lib, int cap, const pelmora_lib_state_t *st)
{
    for (const library_listener_t &l : lib->hooks.listeners)
        if (l.capacity)
            l.capacity(lib, cap, st);
}

void hook_closing(library_t *lib)
{
    for (const library_listener_t &l : lib->hooks.listeners)
        if (l.closing)
            l.closing(lib);
}

/* Every hook is the tree's: the other modules of the view listen through
 * library_ui_listen. The hooks find no tree when none shows the library. */
void hooks_fill(library_t *lib)
{
    library_hooks_t &h = lib->hooks;
    h.dirs = hook_dirs;
    h.items = library_add_items;
    h.thumb = hook_thumb;
    h.subclips = hook_subclips;
    h.reload_dir = hook_reload_dir;
    h.item_rows = hook_item_rows;
    h.update_item = hook_update_item;
    h.add_dir = [](library_t *l, const char *p) { library_amend_add_dir(l, p); };
    h.drop_item = [](library_t *l, const char *p) { library_drop_item(l, p); };
    h.capacity = hook_capacity;
    h.closing = hook_closing;
    h.clear = hook_clear;
    h.resync = hook_resync;
    h.server = hook_server;
    h.notice = [](library_t *l, const char *text) { library_ui_notice(l, text); };
}

/* ---- Signals ---- */

void on_row_expanded(GtkTreeView *view, GtkTreeIter *iter, GtkTreePath *, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    GtkTreeModel *m = gtk_tree_view_get_model(view);
    pelmora_lib_dir_t *d = dir_of(m, iter);
    pelmora_lib_item_t *item = item_of(m, iter);
    GtkTreeIter child;
    bool only_fake = gtk_tree_model_iter_n_children(m, iter) == 1 && gtk_tree_model_iter_children(m, &child, iter) &&
                     is_placeholder(m, &child);
    if (!only_fake)
        return;
    if (d) {
        start_listing(lib, d->full, 0);
        return;
    }
    if (!item)
        return;
    library_load_subclips(lib, item->full, item_id(item));
}

void on_row_collapsed(GtkTreeView *view, GtkTreeIter *iter, GtkTreePath *, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    GtkTreeModel *m = gtk_tree_view_get_model(view);
    if (pelmora_lib_dir_t *d = dir_of(m, iter)) {
        tree_of(lib)->waiting.erase(d->full);
        tree_of(lib)->waiting_dirs.erase(d->full);
        tree_of(lib)->stale.erase(d->full);
        tree_of(lib)->failed.erase(d->full);
        tree_of(lib)->failed_dirs.erase(d->full);
    }
    library_delete_items(m, iter);
    library_add_fake(GTK_TREE_STORE(m), iter);
}

void on_row_activated(GtkTreeView *view, GtkTreePath *path, GtkTreeViewColumn *, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    GtkTreeModel *m = gtk_tree_view_get_model(view);
    GtkTreeIter it;
    if (!gtk_tree_model_get_iter(m, &it, path))
        return;
    gpointer item = nullptr, sub = nullptr;
    gtk_tree_model_get(m, &it, LIBRARY_COLUMN_ITEM_DATA, &item, LIBRARY_COLUMN_SUBCLIP_DATA, &sub, -1);
    if (dir_of(m, &it)) {
        /* A folder opens and closes, from the keyboard as by double click. */
        if (gtk_tree_view_row_expanded(view, path))
            gtk_tree_view_collapse_row(view, path);
        else
            gtk_tree_view_expand_row(view, path, FALSE);
        return;
    }
    if ((item || sub) && lib->row_activated_cb.proc)
        lib->row_activated_cb.proc(lib, item, sub, lib->row_activated_cb.data);
}

/* The three record references of every selected row, in selection order;
 * at most max rows. */
std::vector<library_row_records_t> selected_records(library_t *lib, size_t max)
{
    std::vector<library_row_records_t> out;
    library_tree_desc *t = tree_of(lib);
    if (!t)
        return out;
    GtkTreeModel *m = nullptr;
    GList *rows = gtk_tree_selection_get_selected_rows(gtk_tree_view_get_selection(t->view), &m);
    for (GList *l = rows; l && out.size() < max; l = l->next) {
        GtkTreeIter it;
        if (!gtk_tree_model_get_iter(m, &it, static_cast<GtkTreePath *>(l->data)))
            continue;
        gpointer item = nullptr, dir = nullptr, sub = nullptr;
        gtk_tree_model_get(m, &it, LIBRARY_COLUMN_DIR_DATA, &dir, LIBRARY_COLUMN_ITEM_DATA, &item,
                           LIBRARY_COLUMN_SUBCLIP_DATA, &sub, -1);
        if (!item && !dir && !sub)
            continue; /* a placeholder */
        out.push_back({static_cast<pelmora_lib_dir_t *>(dir), static_cast<pelmora_lib_item_t *>(item),
                       static_cast<pelmora_lib_subclip_t *>(sub)});
    }
    g_list_free_full(rows, (GDestroyNotify)gtk_tree_path_free);
    return out;
}

void on_drag_begin(GtkWidget *, GdkDragContext *context, gpointer)
{
    gtk_drag_set_icon_stock(context, "gtk-dnd", 0, 0);
}

void on_drag_data_get(GtkWidget *widget, GdkDragContext *, GtkSelectionData *data, guint, guint, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    std::vector<library_row_records_t> rows = selected_records(lib, LIBRARY_DRAG_ROWS_MAX);
    for (size_t i = 0; i < rows.size(); i++)
        fprintf(stderr, "%s:%d [%d]={%p, %p, %p}\n", "library_drag_data_get", __LINE__, (int)i, (void *)rows[i].dir,
                (void *)rows[i].item, (void *)rows[i].subclip);
    if (!rows.empty())
        gtk_selection_data_set(data, data->target, 8, reinterpret_cast<const guchar *>(rows.data()),
                               (gint)(rows.size() * sizeof(library_row_records_t)));
    /* The view's own handler knows only its model's row target. */
    g_signal_stop_emission_by_name(widget, "drag-data-get");
}

/* "Subclip" is offered for exactly one item or subclip. */
void subclip_button_follow(library_t *lib)
{
    GtkWidget *b = lib->ui[LIBRARY_UI_BUTTON_SUBCLIP_DLG];
    if (!b)
        return;
    gtk_widget_set_sensitive(b, FALSE);
    std::vector<library_row_records_t> rows = selected_records(lib, 2);
    if (rows.size() == 1 && (rows[0].item || rows[0].subclip))
        gtk_widget_set_sensitive(b, TRUE);
}

void on_cursor_changed(GtkTreeView *, gpointer lib)
{
    subclip_button_follow(static_cast<library_t *>(lib));
}

void on_selection_changed(GtkTreeSelection *, gpointer lib)
{
    subclip_button_follow(static_cast<library_t *>(lib));
}

gint library_sort_iter_cmp_func(GtkTreeModel *m, GtkTreeIter *a, GtkTreeIter *b, gpointer col)
{
    /* A placeholder sorts as a folder without a name: it then has one place
     * in either direction (see add_placeholder_in_order). */
    bool da = dir_of(m, a) != nullptr || is_placeholder(m, a), db = dir_of(m, b) != nullptr || is_placeholder(m, b);
    if (da != db) {
        gint c;
        GtkSortType order;
        gtk_tree_sortable_get_sort_column_id(GTK_TREE_SORTABLE(m), &c, &order);
        int first = da ? -1 : 1;
        return order == GTK_SORT_ASCENDING ? first : -first;
    }
    int column = GPOINTER_TO_INT(col);
    if (column != LIBRARY_COLUMN_TITLE && column != LIBRARY_COLUMN_DATE && column != LIBRARY_COLUMN_TIMECODE)
        return 0;
    gchar *ta = nullptr, *tb = nullptr;
    gtk_tree_model_get(m, a, column, &ta, -1);
    gtk_tree_model_get(m, b, column, &tb, -1);
    int r = !ta ? (tb ? -1 : 0) : !tb ? 1 : g_utf8_collate(ta, tb);
    g_free(ta);
    g_free(tb);
    return r;
}

void on_tree_destroy(GtkWidget *view, gpointer lib)
{
    live_records.erase(&static_cast<library_t *>(lib)->root_dir);
    library_view_t *v = view_of(static_cast<library_t *>(lib));
    if (v && GTK_WIDGET(v->tree.view) == view)
        tree_drop(v->tree);
}

} // namespace

int library_add_fake(GtkTreeStore *store, GtkTreeIter *parent)
{
    GtkTreeIter fake;
    gtk_tree_store_append(store, &fake, parent);
    return 0;
}

int library_delete_item(GtkTreeModel *model, GtkTreeIter *iter)
{
    /* Children first: an item row finds its folder through the parent row's
     * record, which goes below. */
    library_delete_items(model, iter);
    gpointer item = nullptr, dir = nullptr, sub = nullptr;
    gtk_tree_model_get(model, iter, LIBRARY_COLUMN_ITEM_DATA, &item, LIBRARY_COLUMN_DIR_DATA, &dir,
                       LIBRARY_COLUMN_SUBCLIP_DATA, &sub, -1);
    live_records.erase(item);
    live_records.erase(dir);
    live_records.erase(sub);
    if (item) {
        auto *it = static_cast<pelmora_lib_item_t *>(item);
        GtkTreeIter up;
        pelmora_lib_dir_t *folder = gtk_tree_model_iter_parent(model, &up, iter) ? dir_of(model, &up) : nullptr;
        if (auto *v = static_cast<library_view_t *>(g_object_get_data(G_OBJECT(model), VIEW_KEY))) {
            library_tree_desc &t = v->tree;
            t.items.erase(item_id(it));
            t.done.erase(item_id(it));
            auto f = folder ? t.names.find(folder->full) : t.names.end();
            if (f != t.names.end()) {
                auto n = f->second.find(name_key(it->name));
                if (n != f->second.end() && n->second == item_id(it))
                    f->second.erase(n);
                if (f->second.empty())
                    t.names.erase(f);
            }
        }
        if (it->priv[0])
            g_object_unref(it->priv[0]);
        free(it);
    }
    free(dir);
    free(sub);
    return gtk_tree_store_remove(GTK_TREE_STORE(model), iter);
}

int library_delete_items(GtkTreeModel *model, GtkTreeIter *iter)
{
    GtkTreeIter child;
    while (gtk_tree_model_iter_children(model, &child, iter))
        library_delete_item(model, &child);
    return 0;
}

int library_release_rows(library_t *lib)
{
    library_tree_desc *t = tree_of(lib);
    GtkTreeIter root;
    if (!t || !gtk_tree_model_get_iter_first(GTK_TREE_MODEL(t->store), &root))
        return -2;
    library_delete_items(GTK_TREE_MODEL(t->store), &root);
    library_add_fake(t->store, &root);
    t->waiting.clear();
    t->waiting_dirs.clear();
    t->stale.clear();
    t->failed.clear();
    t->failed_dirs.clear();
    return 0;
}

int library_thumb_from_data(const void *data, int size, GdkPixbuf **ppixbuf)
{
    /* Refused unless its header says a picture of thumbnail size. */
    return library_thumb_decode(data, size > 0 ? (size_t)size : 0, 0, ppixbuf);
}

int library_thumb_item(library_t *lib, const char *src, const char *scale_type, int scale_width, int scale_height,
                       GdkPixbuf **ppixbuf)
{
    void *data = nullptr;
    int size = 0;
    *ppixbuf = nullptr;
    int r = pelmora_lib_thumb_item(lib->url, src, scale_type, scale_width, scale_height, &data, &size);
    if (r < 0) {
        g_warning("%s: pelmora_lib_thumb_item(%s) returns %d", __func__, src, r);
        return -1;
    }
    r = library_thumb_from_data(data, size, ppixbuf);
    if (r)
        g_warning("%s: library_thumb_from_data failed, r=%d, src=[%s]", __func__, r, src);
    free(data);
    return r ? -1 : 0;
}

int library_reload_dir_items(library_t *lib, const char *path)
{
    library_tree_desc *t = tree_of(lib);
    if (!t)
        return -2;
    GtkTreeIter it;
    GtkTreeModel *m = GTK_TREE_MODEL(t->store);
    if ((find_dir(lib, path, 1, &it) || (!strcmp(path, "/") && gtk_tree_model_get_iter_first(m, &it)))) {
        GtkTreePath *p = gtk_tree_model_get_path(m, &it);
        bool open = gtk_tree_view_row_expanded(t->view, p);
        gtk_tree_path_free(p);
        if (open && gtk_tree_model_iter_has_child(m, &it)) {
            start_listing(lib, path, 1);
            return 0;
        }
    }
    g_warning("%s: path=[%s] not expanded, will try to mark as non-empty", __func__, path);
    if (find_dir(lib, path, 0, &it) && !gtk_tree_model_iter_has_child(m, &it))
        library_add_fake(t->store, &it);
    return 0;
}

int library_amend_add_dir(library_t *lib, const char *path)
{
    g_warning("%s: path=[%s]", __func__, path);
    library_tree_desc *t = tree_of(lib);
    char parent[260];
    if (!t || library_parent_path(path, parent, sizeof parent) < 0)
        return -14;
    GtkTreeModel *m = GTK_TREE_MODEL(t->store);
    GtkTreeIter it;
    bool found = !strcmp(parent, "/") ? gtk_tree_model_get_iter_first(m, &it) : find_dir(lib, parent, 0, &it);
    if (!found)
        return -2;
    g_warning("%s: got parent dir [%s] for [%s]", __func__, parent, path);
    if (!gtk_tree_model_iter_has_child(m, &it)) {
        g_warning("%s: add fake item to path=[%s]", __func__, parent);
        return library_add_fake(t->store, &it);
    }
    GtkTreePath *p = gtk_tree_model_get_path(m, &it);
    bool open = gtk_tree_view_row_expanded(t->view, p);
    gtk_tree_path_free(p);
    if (!open || t->waiting.count(parent)) {
        /* A listing under way may have been read before the folder came:
         * it is asked again, and the answer already coming is ignored. */
        relist_if_waiting(lib, parent);
        g_warning("%s: path=[%s] not empty not expanded", __func__, parent);
        return 0;
    }
    /* The folder's listing may have brought it already (made while its
     * parent was closed, listed on opening, and then the entry came). */
    const char *name = strrchr(path, '/') + 1;
    GtkTreeIter child;
    if (gtk_tree_model_iter_children(m, &child, &it))
        do {
            pelmora_lib_dir_t *have = dir_of(m, &child);
            if (have && !strcmp(have->name, name)) {
                g_warning("%s: [%s] is in the tree already", __func__, path);
                return 0;
            }
        } while (gtk_tree_model_iter_next(m, &child));
    g_warning("%s: add real item [%s] to path=[%s]", __func__, path, parent);
    auto *d = static_cast<pelmora_lib_dir_t *>(calloc(1, sizeof(pelmora_lib_dir_t)));
    strlcpy(d->full, path, sizeof d->full);
    strlcpy(d->name, strrchr(path, '/') + 1, sizeof d->name);
    GtkTreeIter row;
    gtk_tree_store_insert_with_values(t->store, &row, &it, 0, LIBRARY_COLUMN_THUMB, icon(lib, 0), LIBRARY_COLUMN_TITLE,
                                      d->name, LIBRARY_COLUMN_DUR, d->name, LIBRARY_COLUMN_FRAME, "",
                                      LIBRARY_COLUMN_AUDIO, "", LIBRARY_COLUMN_DIR_DATA, d, LIBRARY_COLUMN_BG_COLOR,
                                      FALSE, LIBRARY_COLUMN_BG_COLOR_V, "red", -1);
    live_records.insert(d);
    return library_add_fake(t->store, &row);
}

/* Walks path's components from the root; f_open_on_way opens closed
 * folders (selection), otherwise only open folders are followed. */
static bool locate(library_t *lib, const char *path, int f_open_on_way, GtkTreeIter *out)
{
    library_tree_desc *t = tree_of(lib);
    GtkTreeModel *m = GTK_TREE_MODEL(t->store);
    GtkTreeIter cur;
    if (!gtk_tree_model_get_iter_first(m, &cur))
        return false;
    std::string p = path;
    if (p.empty() || p == "/") {
        *out = cur;
        return true;
    }
    size_t i = p[0] == '/' ? 1 : 0;
    while (i <= p.size()) {
        size_t j = p.find('/', i);
        if (j == std::string::npos)
            j = p.size();
        std::string comp = p.substr(i, j - i);
        i = j + 1;
        GtkTreePath *tp = gtk_tree_model_get_path(m, &cur);
        bool open = gtk_tree_view_row_expanded(t->view, tp);
        if (!open && f_open_on_way)
            open = gtk_tree_view_expand_row(t->view, tp, FALSE);
        gtk_tree_path_free(tp);
        GtkTreeIter child;
        if (!open || !gtk_tree_model_iter_children(m, &child, &cur)) {
            g_warning("%s: no children or not expanded", "library_drop_item");
            return false;
        }
        bool found = false;
        do {
            pelmora_lib_item_t *item = item_of(m, &child);
            pelmora_lib_dir_t *d = dir_of(m, &child);
            if ((item && comp == item->name) || (d && comp == d->name)) {
                found = true;
                break;
            }
        } while (gtk_tree_model_iter_next(m, &child));
        if (!found)
            return false;
        cur = child;
        if (i > p.size()) {
            *out = cur;
            return true;
        }
    }
    return false;
}

int library_drop_item(library_t *lib, const char *path)
{
    library_tree_desc *t = tree_of(lib);
    GtkTreeIter it, parent;
    /* Only a row under the root: the root's record is not the row's to free,
     * whatever path (empty, "/", "//") a journal names it by. */
    char up[260];
    if (t && path && library_parent_path(path, up, sizeof up) == 0) {
        relist_if_waiting(lib, up); /* its answer may still hold the row */
        /* An item row is found by name, not by walking a large folder. */
        auto f = t->names.find(up);
        if (f != t->names.end()) {
            auto n = f->second.find(name_key(strrchr(path, '/') + 1));
            if (n != f->second.end() && row_of(t, n->second, &it)) {
                g_warning("%s: deleting from tree....", __func__);
                library_delete_item(GTK_TREE_MODEL(t->store), &it);
                return 0;
            }
        }
    }
    if (!t || !path || !path[0] || !strcmp(path, "/") || !locate(lib, path, 0, &it) ||
        !gtk_tree_model_iter_parent(GTK_TREE_MODEL(t->store), &parent, &it))
        return -2;
    g_warning("%s: deleting from tree....", __func__);
    library_delete_item(GTK_TREE_MODEL(t->store), &it);
    return 0;
}

int library_select_item(library_t *lib, const char *path)
{
    library_tree_desc *t = tree_of(lib);
    GtkTreeIter it;
    if (!t || !path || !locate(lib, path, 1, &it))
        return -2;
    GtkTreePath *p = gtk_tree_model_get_path(GTK_TREE_MODEL(t->store), &it);
    gtk_widget_grab_focus(GTK_WIDGET(t->view));
    GtkTreeSelection *sel = gtk_tree_view_get_selection(t->view);
    gtk_tree_selection_unselect_all(sel);
    gtk_tree_selection_select_path(sel, p);
    gtk_tree_view_set_cursor(t->view, p, nullptr, FALSE);
    gtk_tree_view_scroll_to_cell(t->view, p, nullptr, TRUE, 0.5f, 0.5f);
    gtk_tree_path_free(p);
    return 0;
}

int library_select_item_wait(library_t *lib, const char *path, int ms)
{
    gint64 until = g_get_monotonic_time() + (gint64)ms * 1000;
    for (;;) {
        if (library_select_item(lib, path) == 0)
            return 0;
        if (g_get_monotonic_time() > until)
            return -2;
        gtk_main_iteration_do(FALSE);
        g_usleep(2000);
    }
}

int library_unselect_all(library_t *lib)
{
    library_tree_desc *t = tree_of(lib);
    if (!t)
        return -2;
    gtk_tree_selection_unselect_all(gtk_tree_view_get_selection(t->view));
    return 0;
}

int library_search(library_t *lib, int idx, const char *key)
{
    char lo[32], hi[32], hit[260] = "";
    std::string url = lib->url, text = key ? key : "";
    int f_dur = library_search_pattern(text.c_str(), lo, hi);
    double a = f_dur ? tc_frames2sec(tc_tc2frames(lo)) : 0, b = f_dur ? tc_frames2sec(tc_tc2frames(hi)) : 0;
    /* A search walks the whole library on the server: on a worker, while
     * the main loop goes on. */
    int r = library_jobs_call([&] {
        return f_dur ? pelmora_lib_search_item_dur_range(url.c_str(), idx, nullptr, a, b, hit)
                     : pelmora_lib_search_item(url.c_str(), idx, nullptr, text.c_str(), hit);
    });
    if (r >= 0) {
        lib->last_search = r;
        /* The folders on the way load on the library's worker. */
        library_select_item_wait(lib, hit, LIBRARY_UI_SELECT_WAIT_MS);
    }
    return r;
}

GtkWidget *library_ui_tree_create(library_t *lib)
{
    GtkWidget *view = ui_create_treeview_tree(nullptr, "treeview_library", library_columns);
    gtk_widget_set_name(view, "treeview_library");
    /* The select-item dialog's tree has no pane: it holds the view itself. */
    library_view_t *v = library_view_attach(lib, view);
    library_tree_desc &t = v->tree;
    tree_drop(t); /* a tree made again replaces the one before */
    t.view = GTK_TREE_VIEW(view);
    t.store = GTK_TREE_STORE(gtk_tree_view_get_model(t.view));
    g_object_set_data(G_OBJECT(t.store), VIEW_KEY, v);
    lib->ui[LIBRARY_UI_CLIPS_TREE] = view;

    GtkTreeSortable *sortable = GTK_TREE_SORTABLE(t.store);
    const int sorted[] = {LIBRARY_COLUMN_TITLE, LIBRARY_COLUMN_DATE, LIBRARY_COLUMN_TIMECODE};
    for (int c : sorted) {
        gtk_tree_sortable_set_sort_func(sortable, c, library_sort_iter_cmp_func, GINT_TO_POINTER(c), nullptr);
        if (GtkTreeViewColumn *col = gtk_tree_view_get_column(t.view, c)) {
            gtk_tree_view_column_set_sort_column_id(col, c);
            gtk_tree_view_column_set_clickable(col, TRUE);
        }
    }
    /* Sorted by NAME from the start. Rows are put in where that order wants
     * them (merge_item), so the store only checks the two neighbours of each
     * and moves nothing; filling a folder of 10,000 items stays linear. */
    gtk_tree_sortable_set_sort_column_id(sortable, LIBRARY_COLUMN_TITLE, GTK_SORT_ASCENDING);

    GtkTreeIter root;
    gtk_tree_store_insert_with_values(t.store, &root, nullptr, -1, LIBRARY_COLUMN_THUMB, icon(lib, 0),
                                      LIBRARY_COLUMN_TITLE, g_dgettext("PelmoraBox", "LIBRARY"), LIBRARY_COLUMN_DUR,
                                      "<dir>", LIBRARY_COLUMN_FRAME, "", LIBRARY_COLUMN_AUDIO, "",
                                      LIBRARY_COLUMN_DIR_DATA, &lib->root_dir, LIBRARY_COLUMN_BG_COLOR, FALSE,
                                      LIBRARY_COLUMN_BG_COLOR_V, "red", -1);
    library_add_fake(t.store, &root);

    /* Fixed column widths and one row height: GTK then measures no row to
     * lay out the view, where it would otherwise measure every row of an
     * opened folder (500 at a time on the main loop, each with a name of its
     * own). */
    static const int widths[] = {44, 240, 100, 100, 90, 120, 150};
    for (int c = 0; c < (int)G_N_ELEMENTS(widths); c++)
        if (GtkTreeViewColumn *col = gtk_tree_view_get_column(t.view, c)) {
            gtk_tree_view_column_set_sizing(col, GTK_TREE_VIEW_COLUMN_FIXED);
            gtk_tree_view_column_set_fixed_width(col, widths[c]);
            gtk_tree_view_column_set_resizable(col, TRUE);
        }
    gtk_tree_view_set_fixed_height_mode(t.view, TRUE);
    /* That one height is the first row's: the picture cell is made as tall
     * as the tallest picture a row may hold (the subclip icon, a thumbnail),
     * so that no row is drawn over the next. The expander and its indent go
     * into the NAME column, so that the picture keeps its place in the
     * narrow TYPE column at any depth. */
    if (GtkTreeViewColumn *pictures = gtk_tree_view_get_column(t.view, LIBRARY_COLUMN_THUMB)) {
        GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(pictures));
        for (GList *c = cells; c; c = c->next)
            gtk_cell_renderer_set_fixed_size(GTK_CELL_RENDERER(c->data), -1, LIBRARY_THUMB_SHOW_MAX);
        g_list_free(cells);
    }
    gtk_tree_view_set_expander_column(t.view, gtk_tree_view_get_column(t.view, LIBRARY_COLUMN_TITLE));

    live_records.insert(&lib->root_dir);

    /* A plain drag source rather than the view's model source: the view's
     * own press handling would drop a multiple selection on the press that
     * starts the drag. */
    static GtkTargetEntry drag_targets[] = {{const_cast<gchar *>("application/library_row_datas"), 0, 0}};
    gtk_drag_source_set(view, GDK_BUTTON1_MASK, drag_targets, G_N_ELEMENTS(drag_targets), GDK_ACTION_COPY);
    library_ui_drag_keeps_selection(t.view);
    g_signal_connect(view, "drag-begin", G_CALLBACK(on_drag_begin), lib);
    g_signal_connect(view, "drag-data-get", G_CALLBACK(on_drag_data_get), lib);
    g_signal_connect(view, "cursor-changed", G_CALLBACK(on_cursor_changed), lib);
    g_signal_connect(gtk_tree_view_get_selection(t.view), "changed", G_CALLBACK(on_selection_changed), lib);
    g_signal_connect(view, "row-expanded", G_CALLBACK(on_row_expanded), lib);
    g_signal_connect(view, "row-collapsed", G_CALLBACK(on_row_collapsed), lib);
    g_signal_connect(view, "row-activated", G_CALLBACK(on_row_activated), lib);
    g_signal_connect(view, "destroy", G_CALLBACK(on_tree_destroy), lib);

    hooks_fill(lib);

    GtkWidget *scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(scroll), view);
    g_signal_connect(gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scroll)), "value-changed",
                     G_CALLBACK(on_scrolled), lib);
    gtk_widget_show_all(scroll);
    return scroll;
}

int library_ui_listen(library_t *lib, const library_listener_t *listener)
{
    if (!lib || !listener)
        return -22;
    hooks_fill(lib);
    for (library_listener_t &l : lib->hooks.listeners) {
        if (!memcmp(&l, listener, sizeof l))
            return 0; /* listens already */
        if (!l.capacity && !l.server && !l.closing) {
            l = *listener;
            return 0;
        }
    }
    g_warning("%s: no room for another listener of %s", __func__, lib->url);
    return -28;
}

/* ---- Selection readers ---- */

namespace {

template <typename T> T *copy_selected(library_t *lib, int *count, T *library_row_records_t::*field)
{
    if (count)
        *count = 0;
    std::vector<library_row_records_t> rows = selected_records(lib, SIZE_MAX);
    std::vector<T *> picked;
    for (const library_row_records_t &r : rows)
        if (r.*field)
            picked.push_back(r.*field);
    if (picked.empty())
        return nullptr;
    T *out = static_cast<T *>(calloc(picked.size(), sizeof(T)));
    if (!out)
        return nullptr;
    for (size_t i = 0; i < picked.size(); i++)
        out[i] = *picked[i];
    if (count)
        *count = (int)picked.size();
    return out;
}

} // namespace

pelmora_lib_item_t *library_get_selected_items(library_t *lib, int *count)
{
    pelmora_lib_item_t *items = copy_selected(lib, count, &library_row_records_t::item);
    /* The copies hold no thumbnail of their own. */
    for (int i = 0; items && i < *count; i++)
        items[i].priv[0] = nullptr;
    return items;
}

pelmora_lib_dir_t *library_get_selected_dirs(library_t *lib, int *count)
{
    return copy_selected(lib, count, &library_row_records_t::dir);
}

pelmora_lib_subclip_t *library_get_selected_subclips(library_t *lib, int *count)
{
    return copy_selected(lib, count, &library_row_records_t::subclip);
}

int library_ui_record_alive(const void *record)
{
    return record && live_records.count(record) ? 1 : 0;
}

int library_ui_reopen_item(library_t *lib, const char *full)
{
    library_tree_desc *t = tree_of(lib);
    if (!t || !full)
        return -2;
    /* Rows first, then the reopening: closing one changes the store. */
    std::vector<GtkTreeRowReference *> open;
    for (auto &row : t->items) {
        GtkTreeIter it = row.second;
        pelmora_lib_item_t *item = item_of(GTK_TREE_MODEL(t->store), &it);
        if (!item || strcmp(item->full, full))
            continue;
        GtkTreePath *p = gtk_tree_model_get_path(GTK_TREE_MODEL(t->store), &it);
        if (gtk_tree_view_row_expanded(t->view, p))
            open.push_back(gtk_tree_row_reference_new(GTK_TREE_MODEL(t->store), p));
        gtk_tree_path_free(p);
    }
    int n = 0;
    for (GtkTreeRowReference *ref : open) {
        if (GtkTreePath *p = gtk_tree_row_reference_get_path(ref)) {
            g_warning("%s: reload1 [%s]", "library_delete_items_srv", full);
            GtkTreeSelection *sel = gtk_tree_view_get_selection(t->view);
            gtk_tree_selection_unselect_all(sel);
            gtk_tree_selection_select_path(sel, p);
            gtk_tree_view_collapse_row(t->view, p);
            gtk_tree_view_expand_row(t->view, p, FALSE);
            g_warning("%s: reload2 [%s]", "library_delete_items_srv", full);
            gtk_tree_path_free(p);
            n++;
        }
        gtk_tree_row_reference_free(ref);
    }
    return n;
}

/* ---- Keeping a multiple selection for a drag ---- */

namespace {

/* A plain press on a row of a multiple selection would select that row
 * alone before the drag could start: the press is kept back, and the
 * release makes it a plain click when no drag came of it. */
gboolean keep_press(GtkWidget *w, GdkEventButton *ev, gpointer)
{
    GtkTreeView *v = GTK_TREE_VIEW(w);
    if (ev->type != GDK_BUTTON_PRESS || ev->button != 1 || (ev->state & (GDK_SHIFT_MASK | GDK_CONTROL_MASK)) ||
        ev->window != gtk_tree_view_get_bin_window(v))
        return FALSE;
    GtkTreePath *p = nullptr;
    GtkTreeViewColumn *col = nullptr;
    gint cx = 0;
    if (!gtk_tree_view_get_path_at_pos(v, (gint)ev->x, (gint)ev->y, &p, &col, &cx, nullptr))
        return FALSE;
    GtkTreeSelection *sel = gtk_tree_view_get_selection(v);
    gint expander = 12;
    gtk_widget_style_get(w, "expander-size", &expander, NULL);
    bool on_expander = col == gtk_tree_view_get_expander_column(v) && cx < gtk_tree_path_get_depth(p) * (expander + 4);
    if (on_expander || !gtk_tree_selection_path_is_selected(sel, p) ||
        gtk_tree_selection_count_selected_rows(sel) < 2) {
        gtk_tree_path_free(p);
        return FALSE;
    }
    g_object_set_data_full(G_OBJECT(w), "library_ui_kept_press", p, (GDestroyNotify)gtk_tree_path_free);
    gtk_widget_grab_focus(w);
    return TRUE;
}

gboolean keep_release(GtkWidget *w, GdkEventButton *ev, gpointer)
{
    auto *p = static_cast<GtkTreePath *>(g_object_get_data(G_OBJECT(w), "library_ui_kept_press"));
    if (p && ev->button == 1)
        gtk_tree_view_set_cursor(GTK_TREE_VIEW(w), p, nullptr, FALSE);
    g_object_set_data(G_OBJECT(w), "library_ui_kept_press", nullptr);
    return FALSE;
}

void keep_drag_began(GtkWidget *w, GdkDragContext *, gpointer)
{
    g_object_set_data(G_OBJECT(w), "library_ui_kept_press", nullptr);
}

} // namespace

int library_ui_drag_keeps_selection(GtkTreeView *view)
{
    if (!view)
        return -22;
    g_signal_connect(view, "button-press-event", G_CALLBACK(keep_press), nullptr);
    g_signal_connect(view, "button-release-event", G_CALLBACK(keep_release), nullptr);
    g_signal_connect(view, "drag-begin", G_CALLBACK(keep_drag_began), nullptr);
    return 0;
}
