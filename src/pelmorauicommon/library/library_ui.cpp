/* Library pane, folding part only (the library model and its tree come
 * later): show and hide buttons around a show area. Folding releases the
 * paned divider so that the bus panel takes the page. Until the library
 * record carries its widget slots, the pane's widgets are kept here by
 * library record. */
#include "library_ui.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "gdk_unlock.h"
#include "ui_images.h"
#include "ui_tools.h"
#include "strl.h"
#include "timecode.h"

#define LIBRARY_BUTTON_SHOW 22
#define LIBRARY_BUTTON_HIDE 23

namespace {

struct library_fold_desc
{
    GtkWidget *top;
    GtkWidget *box;
    GtkWidget *btn_show;
    GtkWidget *btn_hide;
    GtkWidget *area;
};

/* Main thread only, like every widget. */
std::map<const library_t *, library_fold_desc> folds;

const ui_button_desc buttons[] = {
    {LIBRARY_BUTTON_SHOW, "Show Library", nullptr, nullptr, "library_show", library_show_image},
    {LIBRARY_BUTTON_HIDE, "Hide Library", nullptr, nullptr, "library_hide", library_hide_image},
    {0, nullptr, nullptr, nullptr, nullptr, nullptr},
};

void on_show_clicked(GtkWidget *button, gpointer lib)
{
    (void)button;
    library_ui_showhide(static_cast<library_t *>(lib), 1);
}

void on_hide_clicked(GtkWidget *button, gpointer lib)
{
    (void)button;
    library_ui_showhide(static_cast<library_t *>(lib), 0);
}

void on_pane_destroy(GtkWidget *box, gpointer lib)
{
    auto it = folds.find(static_cast<library_t *>(lib));
    if (it != folds.end() && it->second.box == box)
        folds.erase(it);
}

} // namespace

GtkWidget *library_ui_create_main(GtkWidget *top, library_t *lib, int f_show, GtkWidget *btm)
{
    library_fold_desc d = {};
    d.top = top;
    GtkWidget *box = gtk_hbox_new(FALSE, 0);
    d.box = box;

    d.btn_show = ui_create_button_image(ui_button_lookup(buttons, LIBRARY_BUTTON_SHOW));
    d.btn_hide = ui_create_button_image(ui_button_lookup(buttons, LIBRARY_BUTTON_HIDE));
    g_signal_connect(d.btn_show, "clicked", G_CALLBACK(on_show_clicked), lib);
    g_signal_connect(d.btn_hide, "clicked", G_CALLBACK(on_hide_clicked), lib);
    gtk_box_pack_start(GTK_BOX(box), d.btn_show, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), d.btn_hide, FALSE, FALSE, 0);

    d.area = gtk_vbox_new(FALSE, 0);
    gtk_widget_set_size_request(d.area, 450, -1);
    gtk_box_pack_start(GTK_BOX(box), d.area, TRUE, TRUE, 0);
    /* Connection point: the button bar and the search row join the tree
     * once the library pane is built. */
    gtk_box_pack_start(GTK_BOX(d.area), library_ui_tree_create(lib), TRUE, TRUE, 0);
    if (btm)
        gtk_box_pack_start(GTK_BOX(d.area), btm, FALSE, FALSE, 0);

    folds[lib] = d;
    g_signal_connect(box, "destroy", G_CALLBACK(on_pane_destroy), lib);
    gtk_widget_show(box);
    library_ui_showhide(lib, f_show);
    return box;
}

int library_ui_showhide(library_t *lib, int f_show)
{
    auto it = folds.find(lib);
    if (it == folds.end())
        return -2;
    library_fold_desc &d = it->second;
    if (f_show) {
        gtk_widget_hide(d.btn_show);
        gtk_widget_show(d.btn_hide);
        gtk_widget_show(d.area);
    } else {
        if (d.top && GTK_IS_PANED(d.top))
            gtk_paned_set_position(GTK_PANED(d.top), -1);
        gtk_widget_hide(d.btn_hide);
        gtk_widget_hide(d.area);
        gtk_widget_show(d.btn_show);
    }
    return 0;
}

/* ======================================================================
 * The library tree: the store and view the model drives through its hooks.
 * ==================================================================== */

namespace {

enum {
    COL_THUMB = 0,
    COL_TITLE,
    COL_DUR,
    COL_TIMECODE,
    COL_FRAME,
    COL_AUDIO,
    COL_DATE,
    COL_ITEM_DATA,
    COL_DIR_DATA,
    COL_SUBCLIP_DATA,
    COL_BG_COLOR,
    COL_BG_COLOR_V,
    COL_FG_COLOR,
    COL_FG_COLOR_V,
};

const ui_column_desc library_columns[] = {
    {COL_THUMB, "TYPE", G_TYPE_OBJECT},
    {COL_TITLE, "NAME", G_TYPE_STRING},
    {COL_DUR, "DUR", G_TYPE_STRING},
    {COL_TIMECODE, "TIMECODE", G_TYPE_STRING},
    {COL_FRAME, "FRAME", G_TYPE_STRING},
    {COL_AUDIO, "AUDIO", G_TYPE_STRING},
    {COL_DATE, "DATE", G_TYPE_STRING},
    {COL_ITEM_DATA, nullptr, G_TYPE_POINTER},
    {COL_DIR_DATA, nullptr, G_TYPE_POINTER},
    {COL_SUBCLIP_DATA, nullptr, G_TYPE_POINTER},
    {COL_BG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {COL_BG_COLOR_V, nullptr, G_TYPE_STRING},
    {COL_FG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {COL_FG_COLOR_V, nullptr, G_TYPE_STRING},
    {-1, nullptr, 0},
};

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
    std::map<std::string, int64_t> waiting;            /* folder path -> token of its listing */
    std::set<int64_t> done;                           /* thumbnails answered, with or without one */
    guint thumbs_idle = 0;
};
std::map<const library_t *, library_tree_desc> trees;

library_tree_desc *tree_of(library_t *lib)
{
    auto it = trees.find(lib);
    return it == trees.end() ? nullptr : &it->second;
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
    gtk_tree_model_get(m, it, COL_ITEM_DATA, &a, COL_DIR_DATA, &b, COL_SUBCLIP_DATA, &c, COL_TITLE, &title, -1);
    bool r = !a && !b && !c && !title;
    g_free(title);
    return r;
}

pelmora_lib_dir_t *dir_of(GtkTreeModel *m, GtkTreeIter *it)
{
    gpointer d = nullptr;
    gtk_tree_model_get(m, it, COL_DIR_DATA, &d, -1);
    return static_cast<pelmora_lib_dir_t *>(d);
}

pelmora_lib_item_t *item_of(GtkTreeModel *m, GtkTreeIter *it)
{
    gpointer d = nullptr;
    gtk_tree_model_get(m, it, COL_ITEM_DATA, &d, -1);
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
                if (gtk_tree_path_get_depth(p) <= 1 || !gtk_tree_path_up(p) ||
                    !gtk_tree_model_get_iter(m, &it, p)) {
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

void hook_dirs(library_t *lib, const char *path, int64_t token, pelmora_lib_dir_t **dirs, int n, int r)
{
    library_tree_desc *t = tree_of(lib);
    GtkTreeIter parent;
    bool live = listing_row(lib, t, path, token, &parent);
    for (int i = 0; i < n; i++) {
        if (live) {
            GtkTreeIter it, fake;
            gtk_tree_store_insert_with_values(t->store, &it, &parent, 0, COL_THUMB, icon(lib, 0), COL_TITLE,
                                              dirs[i]->name, COL_DUR, dirs[i]->name, COL_FRAME, "", COL_AUDIO, "",
                                              COL_DIR_DATA, dirs[i], COL_BG_COLOR, FALSE, COL_BG_COLOR_V, "red",
                                              -1);
            gtk_tree_store_append(t->store, &fake, &it);
        } else
            free(dirs[i]);
    }
    free(dirs);
    (void)r;
}

int hook_items(library_t *lib, const char *path, int64_t token, pelmora_lib_item_t **items, int n, int first,
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
        /* A reload: the placeholder keeps the row open while its item rows
         * are replaced; folders stay. */
        GtkTreeIter fake, it;
        gtk_tree_store_append(t->store, &fake, &parent);
        if (gtk_tree_model_iter_children(m, &it, &parent)) {
            bool more = true;
            while (more) {
                if (item_of(m, &it))
                    more = library_delete_item(m, &it) != 0;
                else
                    more = gtk_tree_model_iter_next(m, &it);
            }
        }
    }
    /* Each row goes right after the one before: appending would walk all
     * the folder's rows for every row put in. */
    GtkTreeIter tail;
    int count = gtk_tree_model_iter_n_children(m, &parent);
    bool has_tail = count > 0 && gtk_tree_model_iter_nth_child(m, &tail, &parent, count - 1);
    for (int i = 0; i < n; i++) {
        pelmora_lib_item_t *item = items[i];
        item->priv[1] = (void *)(intptr_t)t->next_id++;
        char dur[32], frame[32], audio[64], date[64];
        item_texts(item, dur, frame, audio, date);
        GtkTreeIter it;
        if (has_tail)
            gtk_tree_store_insert_after(t->store, &it, &parent, &tail);
        else
            gtk_tree_store_append(t->store, &it, &parent);
        tail = it;
        has_tail = true;
        gtk_tree_store_set(t->store, &it, COL_THUMB, icon(lib, 1), COL_TITLE, item->name, COL_DUR, dur, COL_TIMECODE,
                           item->timecode, COL_FRAME, frame, COL_AUDIO, audio, COL_DATE, date, COL_ITEM_DATA, item,
                           COL_BG_COLOR, FALSE, COL_BG_COLOR_V, "red", -1);
        if (item->subclips) {
            GtkTreeIter fake;
            gtk_tree_store_append(t->store, &fake, &it);
        }
        t->items[item_id(item)] = it;
    }
    free(items);
    if (last) {
        /* The placeholders (the one of the closed row, the one of a reload)
         * go once everything is in. */
        GtkTreeIter it;
        if (gtk_tree_model_iter_children(m, &it, &parent)) {
            bool more = true;
            while (more)
                more = is_placeholder(m, &it) ? gtk_tree_store_remove(t->store, &it) : gtk_tree_model_iter_next(m, &it);
        }
        t->waiting.erase(path);
    }
    /* Straight away: an idle callback would wait behind the slices still
     * coming, and the first rows would get their pictures last. */
    if (t->thumbs_idle)
        g_source_remove(t->thumbs_idle);
    thumbs_in_view(lib);
    (void)r;
    return 0;
}

void hook_thumb(library_t *lib, int64_t id, const void *data, int size)
{
    library_tree_desc *t = tree_of(lib);
    if (!t)
        return;
    auto row = t->items.find(id);
    if (row == t->items.end())
        return;  /* the row went away meanwhile */
    t->done.insert(id);
    GtkTreeIter it = row->second;
    pelmora_lib_item_t *item = item_of(GTK_TREE_MODEL(t->store), &it);
    GdkPixbuf *pb = nullptr;
    if (item && item_id(item) == id && !item->priv[0] && library_thumb_from_data(data, size, &pb) == 0) {
        item->priv[0] = pb;
        gtk_tree_store_set(t->store, &it, COL_THUMB, pb, -1);
    }
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
            gtk_tree_store_insert_with_values(t->store, &it, &item_it, 0, COL_THUMB, icon(lib, 2), COL_TITLE,
                                              subs[i]->title, COL_DUR, dur, COL_TIMECODE, mark, COL_FRAME, "",
                                              COL_AUDIO, "", COL_SUBCLIP_DATA, subs[i], COL_BG_COLOR, FALSE,
                                              COL_BG_COLOR_V, "red", -1);
        }
        if (live && r >= 0)
            gtk_tree_store_remove(t->store, &child);
    }
    if (live)
        free(subs);  /* the records belong to their rows now */
    else if (subs)
        pelmora_lib_list_subclips_free(&subs);
}

void start_listing(library_t *lib, const char *path, int items_only)
{
    library_tree_desc *t = tree_of(lib);
    int64_t token = t->next_id++;
    t->waiting[path] = token;
    library_load_dir(lib, path, items_only, token);
}

void hook_reload_dir(library_t *lib, const char *path)
{
    g_warning("%s: path=[%s]", "library_reload_dir_items", path);
    library_reload_dir_items(lib, path);
}

void hook_clear(library_t *lib)
{
    library_release_rows(lib);
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
    if (pelmora_lib_dir_t *d = dir_of(m, iter))
        tree_of(lib)->waiting.erase(d->full);
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
    gtk_tree_model_get(m, &it, COL_ITEM_DATA, &item, COL_SUBCLIP_DATA, &sub, -1);
    if ((item || sub) && lib->row_activated_cb.proc)
        lib->row_activated_cb.proc(lib, item, sub, lib->row_activated_cb.data);
}

gint sort_cmp(GtkTreeModel *m, GtkTreeIter *a, GtkTreeIter *b, gpointer col)
{
    bool da = dir_of(m, a) != nullptr, db = dir_of(m, b) != nullptr;
    if (da != db) {
        gint c;
        GtkSortType order;
        gtk_tree_sortable_get_sort_column_id(GTK_TREE_SORTABLE(m), &c, &order);
        int first = da ? -1 : 1;
        return order == GTK_SORT_ASCENDING ? first : -first;
    }
    int column = GPOINTER_TO_INT(col);
    if (column != COL_TITLE && column != COL_DATE && column != COL_TIMECODE)
        return 0;
    gchar *ta = nullptr, *tb = nullptr;
    gtk_tree_model_get(m, a, column, &ta, -1);
    gtk_tree_model_get(m, b, column, &tb, -1);
    int r = !ta ? (tb ? -1 : 0) : !tb ? 1 : g_utf8_collate(ta, tb);
    g_free(ta);
    g_free(tb);
    return r;
}

void on_tree_destroy(GtkWidget *, gpointer lib)
{
    auto it = trees.find(static_cast<library_t *>(lib));
    if (it == trees.end())
        return;
    if (it->second.thumbs_idle)
        g_source_remove(it->second.thumbs_idle);
    trees.erase(it);
}

}  // namespace

int library_add_fake(GtkTreeStore *store, GtkTreeIter *parent)
{
    GtkTreeIter fake;
    gtk_tree_store_append(store, &fake, parent);
    return 0;
}

int library_delete_item(GtkTreeModel *model, GtkTreeIter *iter)
{
    gpointer item = nullptr, dir = nullptr, sub = nullptr;
    gtk_tree_model_get(model, iter, COL_ITEM_DATA, &item, COL_DIR_DATA, &dir, COL_SUBCLIP_DATA, &sub, -1);
    if (item) {
        auto *it = static_cast<pelmora_lib_item_t *>(item);
        for (auto &t : trees)
            if (t.second.store == GTK_TREE_STORE(model)) {
                t.second.items.erase(item_id(it));
                t.second.done.erase(item_id(it));
            }
        if (it->priv[0])
            g_object_unref(it->priv[0]);
        free(it);
    }
    free(dir);
    free(sub);
    library_delete_items(model, iter);
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
    return 0;
}

int library_thumb_from_data(const void *data, int size, GdkPixbuf **ppixbuf)
{
    *ppixbuf = nullptr;
    if (!data || size <= 0)
        return -1;
    /* A PNG says its size first: one too big for a thumbnail is refused
     * before any of it is decoded. */
    const unsigned char *b = static_cast<const unsigned char *>(data);
    if (size >= 24 && !memcmp(b, "\x89PNG\r\n\x1a\n", 8)) {
        uint32_t w = (uint32_t)b[16] << 24 | b[17] << 16 | b[18] << 8 | b[19];
        uint32_t h = (uint32_t)b[20] << 24 | b[21] << 16 | b[22] << 8 | b[23];
        if (w > 1024 || h > 1024)
            return -1;
    }
    GdkPixbufLoader *loader = gdk_pixbuf_loader_new();
    /* A thumbnail is a small picture: anything that claims to be bigger is
     * not decoded into memory. */
    g_signal_connect(loader, "size-prepared", G_CALLBACK(+[](GdkPixbufLoader *l, gint w, gint h, gpointer) {
                         if (w > 1024 || h > 1024)
                             gdk_pixbuf_loader_set_size(l, 1, 1);
                     }),
                     nullptr);
    int r = 0;
    if (!gdk_pixbuf_loader_write(loader, (const guchar *)data, (gsize)size, nullptr)) {
        g_warning("on_library_row_expanded: gdk_pixbuf_loader_write return FALSE");
        r = -1;
    }
    if (!gdk_pixbuf_loader_close(loader, nullptr)) {
        if (!r)
            g_warning("%s: gdk_pixbuf_loader_close return FALSE", __func__);
        r = -1;
    }
    if (!r) {
        GdkPixbuf *pb = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pb)
            *ppixbuf = GDK_PIXBUF(g_object_ref(pb));
        else
            r = -1;
    }
    g_object_unref(loader);
    return r;
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
        /* A listing under way brings the new folder with it. */
        g_warning("%s: path=[%s] not empty not expanded", __func__, parent);
        return 0;
    }
    g_warning("%s: add real item [%s] to path=[%s]", __func__, path, parent);
    auto *d = static_cast<pelmora_lib_dir_t *>(calloc(1, sizeof(pelmora_lib_dir_t)));
    strlcpy(d->full, path, sizeof d->full);
    strlcpy(d->name, strrchr(path, '/') + 1, sizeof d->name);
    GtkTreeIter row;
    gtk_tree_store_insert_with_values(t->store, &row, &it, 0, COL_THUMB, icon(lib, 0), COL_TITLE, d->name, COL_DUR,
                                      d->name, COL_FRAME, "", COL_AUDIO, "", COL_DIR_DATA, d, COL_BG_COLOR, FALSE,
                                      COL_BG_COLOR_V, "red", -1);
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
    GtkTreeIter it;
    if (!t || !path || !locate(lib, path, 0, &it) || !strcmp(path, "/"))
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
    char lo[32], hi[32], hit[260];
    int r;
    {
        gdk_unlock_guard unlocked;
        if (library_search_pattern(key, lo, hi))
            r = pelmora_lib_search_item_dur_range(lib->url, idx, nullptr, tc_frames2sec(tc_tc2frames(lo)),
                                                  tc_frames2sec(tc_tc2frames(hi)), hit);
        else
            r = pelmora_lib_search_item(lib->url, idx, nullptr, key, hit);
    }
    if (r >= 0) {
        lib->last_search = r;
        library_select_item(lib, hit);
    }
    return r;
}

GtkWidget *library_ui_tree_create(library_t *lib)
{
    library_tree_desc &t = trees[lib];
    GtkWidget *view = ui_create_treeview_tree(nullptr, nullptr, library_columns);
    t.view = GTK_TREE_VIEW(view);
    t.store = GTK_TREE_STORE(gtk_tree_view_get_model(t.view));
    lib->ui[LIBRARY_UI_CLIPS_TREE] = view;

    GtkTreeSortable *sortable = GTK_TREE_SORTABLE(t.store);
    const int sorted[] = {COL_TITLE, COL_DATE, COL_TIMECODE};
    for (int c : sorted) {
        gtk_tree_sortable_set_sort_func(sortable, c, sort_cmp, GINT_TO_POINTER(c), nullptr);
        if (GtkTreeViewColumn *col = gtk_tree_view_get_column(t.view, c)) {
            gtk_tree_view_column_set_sort_column_id(col, c);
            gtk_tree_view_column_set_clickable(col, TRUE);
        }
    }
    /* The store starts unsorted: rows arrive in name order (folders first,
     * then the items as the server sorts them), which is the initial order
     * by name. A sorted store walks all siblings for every row put in, which
     * makes filling a folder of 10,000 items quadratic; once the operator
     * picks a sort header, GTK sorts. */

    GtkTreeIter root;
    gtk_tree_store_insert_with_values(t.store, &root, nullptr, -1, COL_THUMB, icon(lib, 0), COL_TITLE, g_dgettext("PelmoraBox", "LIBRARY"),
                                      COL_DUR, "<dir>", COL_FRAME, "", COL_AUDIO, "", COL_DIR_DATA, &lib->root_dir,
                                      COL_BG_COLOR, FALSE, COL_BG_COLOR_V, "red", -1);
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

    static GtkTargetEntry target = {const_cast<gchar *>("application/library_row_datas"), 0, 0};
    gtk_tree_view_enable_model_drag_source(t.view, GDK_BUTTON1_MASK, &target, 1, GDK_ACTION_COPY);
    g_signal_connect(view, "row-expanded", G_CALLBACK(on_row_expanded), lib);
    g_signal_connect(view, "row-collapsed", G_CALLBACK(on_row_collapsed), lib);
    g_signal_connect(view, "row-activated", G_CALLBACK(on_row_activated), lib);
    g_signal_connect(view, "destroy", G_CALLBACK(on_tree_destroy), lib);

    lib->hooks.dirs = hook_dirs;
    lib->hooks.items = hook_items;
    lib->hooks.thumb = hook_thumb;
    lib->hooks.subclips = hook_subclips;
    lib->hooks.reload_dir = hook_reload_dir;
    lib->hooks.add_dir = [](library_t *l, const char *p) { library_amend_add_dir(l, p); };
    lib->hooks.drop_item = [](library_t *l, const char *p) { library_drop_item(l, p); };
    lib->hooks.clear = hook_clear;

    GtkWidget *scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(scroll), view);
    g_signal_connect(gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scroll)), "value-changed",
                     G_CALLBACK(on_scrolled), lib);
    gtk_widget_show_all(scroll);
    return scroll;
}
