/* The library tree of a bus and of the select-item dialog: the store and
 * view the library model drives through its hooks, the journal's row
 * actions, selection, search, the selection readers, the tree's side of
 * dragging rows onto a bus, and the pane's folding and notice line (the
 * pane itself is library_pane). */
#pragma once
#include <gtk/gtk.h>

#include "library.h"

/* Columns of the library tree's store; the last four colour the text
 * cells (the library never colours a row). */
enum
{
    LIBRARY_COLUMN_THUMB = 0,
    LIBRARY_COLUMN_TITLE,
    LIBRARY_COLUMN_DUR,
    LIBRARY_COLUMN_TIMECODE,
    LIBRARY_COLUMN_FRAME,
    LIBRARY_COLUMN_AUDIO,
    LIBRARY_COLUMN_DATE,
    LIBRARY_COLUMN_ITEM_DATA,
    LIBRARY_COLUMN_DIR_DATA,
    LIBRARY_COLUMN_SUBCLIP_DATA,
    LIBRARY_COLUMN_BG_COLOR,
    LIBRARY_COLUMN_BG_COLOR_V,
    LIBRARY_COLUMN_FG_COLOR,
    LIBRARY_COLUMN_FG_COLOR_V,
};

/* The view of a library: one record with the tree's state, the notice
 * line's and the operations' flag, held by the widget that shows the
 * library (the pane; the select-item dialog's tree; a notice line alone)
 * under "library_view_t" and released with it. The first of them to ask
 * makes it; the others use it. */
typedef struct library_view_desc library_view_t;
library_view_t *library_view_attach(library_t *lib, GtkWidget *owner);
/* The view's flag of an operation under way: f_take 1 takes it (1, or 0
 * when it is taken already), 0 gives it back. Without a view always 1. */
int library_ui_busy(library_t *lib, int f_take);
/* Adds a listener of the model's announcements (see library_listener_t);
 * 0, or -28 when LIBRARY_LISTENERS_MAX listen already. Main thread. */
int library_ui_listen(library_t *lib, const library_listener_t *listener);

/* Shows or folds the pane: 0, or -2 for a library without a pane. */
int library_ui_showhide(library_t *lib, int f_show);

/* The pane's notice line: failures of the operator's library operations are
 * said there, not in a dialog, and the text goes after
 * LIBRARY_UI_NOTICE_MS. -2 for a library without a notice line. */
#define LIBRARY_UI_NOTICE_MS 10000
int library_ui_notice_attach(library_t *lib, GtkWidget *label);
int library_ui_notice(library_t *lib, const char *text);
/* "WHAT: N of M requests refused by the library server HOST" on the line. */
int library_ui_notice_refused(library_t *lib, const char *what, int refused, int total);
const char *library_ui_notice_text(library_t *lib);
/* A standing text on the line (null or "": none) that stays while it is
 * set: shown at once, and again when a later passing notice has gone. */
int library_ui_notice_hold(library_t *lib, const char *text);

/* What a dragged library row carries: exactly one of the three is set. The
 * records stay owned by the tree. */
typedef struct library_row_records_desc
{
    pelmora_lib_dir_t *dir;
    pelmora_lib_item_t *item;
    pelmora_lib_subclip_t *subclip;
} library_row_records_t;
/* Rows one drag carries at most: 16 KiB of references. */
#define LIBRARY_DRAG_ROWS_MAX (16384 / (int)sizeof(library_row_records_t))
/* 1 when record is a folder, item or subclip record that a row of some
 * library tree of this process holds now, else 0. */
int library_ui_record_alive(const void *record);
/* Keeps a multiple selection of view when a drag starts on one of its rows
 * (a press on such a row without modifier keys selects it alone only on
 * release, when no drag came of it). Connect after gtk_drag_source_set. */
int library_ui_drag_keeps_selection(GtkTreeView *view);

/* Selection readers: copies of the records of the selected rows, in
 * selection order, in one new array the caller frees (null and 0 when
 * none). Subclip copies keep their parent reference to the tree's item. */
pelmora_lib_item_t *library_get_selected_items(library_t *lib, int *count);
pelmora_lib_dir_t *library_get_selected_dirs(library_t *lib, int *count);
pelmora_lib_subclip_t *library_get_selected_subclips(library_t *lib, int *count);
/* Every open row of the item at full is selected, closed and opened again,
 * so its subclips are read afresh. The number of rows reopened. */
int library_ui_reopen_item(library_t *lib, const char *full);

/* The tree of the library in a scrolled window; fills the model's hooks.
 * Main thread, like everything below. */
GtkWidget *library_ui_tree_create(library_t *lib);

/* Row helpers: a placeholder child (makes a row openable), removing a row
 * with the records it owns, removing all children of a row, and emptying
 * the tree below the root (which keeps one placeholder). */
int library_add_fake(GtkTreeStore *store, GtkTreeIter *parent);
int library_delete_item(GtkTreeModel *model, GtkTreeIter *iter);
int library_delete_items(GtkTreeModel *model, GtkTreeIter *iter);
int library_release_rows(library_t *lib);

/* Journal actions: reload an open folder's items (or mark a closed one as
 * openable), add a folder row under its open parent, remove a row. */
int library_reload_dir_items(library_t *lib, const char *path);
int library_amend_add_dir(library_t *lib, const char *path);
int library_drop_item(library_t *lib, const char *path);

/* Selects the row of a library path, opening the folders on the way. */
int library_select_item(library_t *lib, const char *path);
int library_unselect_all(library_t *lib);
/* The same, waiting (with the main loop running) for the folders on the
 * way to load, at most ms: 0, or -2 when it is not there. */
#define LIBRARY_UI_SELECT_WAIT_MS 3000
int library_select_item_wait(library_t *lib, const char *path, int ms);
/* Keyword or duration search from position idx; selects the hit. The call
 * runs on a worker while the main loop goes on. The hit's position, or the
 * negative result. */
int library_search(library_t *lib, int idx, const char *key);

/* Thumbnails: fetch and decode at once, or decode bytes; 0 and a new image
 * with its own reference, or -1. */
int library_thumb_item(library_t *lib, const char *src, const char *scale_type, int scale_width, int scale_height,
                       GdkPixbuf **ppixbuf);
int library_thumb_from_data(const void *data, int size, GdkPixbuf **ppixbuf);
