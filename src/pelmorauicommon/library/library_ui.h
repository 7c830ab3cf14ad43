/* Library pane of a bus: the "Show Library" and "Hide Library" buttons, the
 * show area with the library tree (and the widget given as btm), and the
 * tree itself: the store and view that the library model drives through its
 * hooks, and the row actions of the journal, selection and search. The
 * button bar and the search row join it with the library pane. */
#pragma once
#include <gtk/gtk.h>

#include "library.h"

/* The pane's outermost box; top is the paned container it sits in, f_show
 * whether it starts shown, btm an optional widget at the bottom of the show
 * area. Main thread. */
GtkWidget *library_ui_create_main(GtkWidget *top, library_t *lib, int f_show, GtkWidget *btm);
/* Shows or folds the pane: 0, or -2 for a library without a pane. */
int library_ui_showhide(library_t *lib, int f_show);

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
/* Keyword or duration search from position idx; selects the hit. Releases
 * the GDK lock for the call. The hit's position, or the negative result. */
int library_search(library_t *lib, int idx, const char *key);

/* Thumbnails: fetch and decode at once, or decode bytes; 0 and a new image
 * with its own reference, or -1. */
int library_thumb_item(library_t *lib, const char *src, const char *scale_type, int scale_width, int scale_height,
                       GdkPixbuf **ppixbuf);
int library_thumb_from_data(const void *data, int size, GdkPixbuf **ppixbuf);
