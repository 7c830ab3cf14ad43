/* The operator's write operations on a bus's library, started from the
 * pane's buttons: create a folder, rename, move, delete. Each reads the
 * tree's selection, asks where needed, and calls the library server on a
 * worker while the main loop goes on; the tree follows through the journal
 * (deleted folders excepted; a server that was away or restarted has the
 * open folders listed again by the library itself). Failures are said on
 * the pane's notice line. */
#pragma once
#include <gtk/gtk.h>

#include "library.h"

/* Replaces "/", backslash, double quote, line feed, carriage return and tab
 * in a typed name by "_", in place; the number replaced. */
int _fix_chars_paths(char *str);
/* The path of a renamed row: full with its last component replaced by
 * name (out: 260 bytes). -22 for a full path without "/", -36 when the
 * result would not fit. */
int library_ops_sibling_path(const char *full, const char *name, char *out);

/* Button handlers (user data: the library); each returns TRUE. */
gboolean library_create_dir_srv(GtkWidget *button, gpointer lib);
gboolean library_rename_item_srv(GtkWidget *button, gpointer lib);
gboolean library_move_items_srv(GtkWidget *button, gpointer lib);
gboolean library_delete_items_srv(GtkWidget *button, gpointer lib);
/* The move destination dialog of lib, when one was made. */
void library_ops_release(library_t *lib);
