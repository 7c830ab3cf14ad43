/* Library pane of a bus, FOLDING PART ONLY: the "Show Library" and "Hide
 * Library" buttons and the show area that holds the widget given as btm.
 * The button bar, the tree and the search row join it with the library. */
#pragma once
#include <gtk/gtk.h>

#include "library.h"

/* The pane's outermost box; top is the paned container it sits in, f_show
 * whether it starts shown, btm an optional widget at the bottom of the show
 * area. Main thread. */
GtkWidget *library_ui_create_main(GtkWidget *top, library_t *lib, int f_show, GtkWidget *btm);
/* Shows or folds the pane: 0, or -2 for a library without a pane. */
int library_ui_showhide(library_t *lib, int f_show);
