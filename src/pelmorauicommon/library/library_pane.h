/* The library pane of a bus: the show and hide buttons that fold it away,
 * and its show area with the button bar, the library tree, the search row
 * with the capacity indicator, the notice line and the widget placed under
 * them. Connects the buttons to the operations, the job windows and the
 * subclip editor, and the tree's keys and right double click. */
#pragma once
#include <gtk/gtk.h>

#include "library.h"

/* The pane's outermost box; top is the paned container it sits in (slot
 * 48), f_show whether it starts shown, btm an optional widget at the bottom
 * of the show area. Main thread. */
GtkWidget *library_ui_create_main(GtkWidget *top, library_t *lib, int f_show, GtkWidget *btm);
/* Keys of the tree (user data: the library): BackSpace, Insert and Delete
 * are taken and do nothing (a stray key must not delete); F2 renames, F6
 * moves, F7 creates a folder, F8 deletes (after its question); the rest is
 * the tree's own. */
gboolean library_tree_key_press_cb(GtkWidget *widget, GdkEventKey *event, gpointer user_data);
