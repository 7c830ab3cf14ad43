/* The select-item dialog: a modal window with a library tree of its own
 * (loaded on demand, not watched) and its search row, in which the operator
 * picks items or a folder. The move operation and the transcoder's item
 * choice use it. */
#pragma once
#include <gtk/gtk.h>

#include "library.h"

typedef struct library_ui_select_item_dialog_desc
{
    library_t lib;
    GtkWidget *dlg;
    GtkWidget *box;
    GtkWidget *vbox;
    char title[260];
} library_ui_select_item_dialog_t;

/* Builds the dialog (hidden) over window for the library at lib_url: 0, or
 * -22 without pp. Main thread, like everything here. */
int library_ui_select_item_dialog_create(library_ui_select_item_dialog_t **pp, GtkWidget *window, const char *title,
                                         const char *lib_url);
/* Runs it with item_select preselected (null: nothing selected). On OK the
 * full paths of the selected folders and items come back as new
 * null-terminated lists with their counts; the result is their number.
 * Cancelled: 0 and empty outputs. */
int library_ui_select_item_dialog_run(library_ui_select_item_dialog_t *ctx, const char *item_select, int *p_paths_cnt,
                                      char ***p_paths_list, int *p_items_cnt, char ***p_items_list);
int library_ui_select_item_dialog_list_destroy(char ***plist);
int library_ui_select_item_dialog_destroy(library_ui_select_item_dialog_t **pp);
