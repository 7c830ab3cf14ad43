/* The search row of a library tree with the capacity indicator: the search
 * entry, the find and find-next buttons, and the gauge of the library's used
 * space whose tooltip reads the library's state when it is about to show. */
#pragma once
#include <gtk/gtk.h>
#include <stdint.h>

#include "library.h"

/* Cells of the capacity image: 10 by 10 cells of 56 pixels, cell k showing
 * k percent. The indicator shows LIBRARY_CAPACITY_START until the first
 * state arrives. */
#define LIBRARY_CAPACITY_CELL 56
#define LIBRARY_CAPACITY_START 37

/* The row for lib: entry (slot 2), find (14), find next (15), capacity image
 * (49) and its widget (50). Listens to the model's capacity and to how its
 * server answers. Main thread. */
GtkWidget *library_ui_search_row_create(library_t *lib);
/* Shows the cell of cap percent (above 99: 99; below 0: 0). 0, or -2 when
 * lib has no indicator. */
int library_ui_set_capacity(library_t *lib, int cap);
/* The cell the indicator shows, -1 without one (for tests). */
int library_ui_capacity_cell(library_t *lib);
/* The tooltip's texts: free GiB, free percent ("" for a total of 0), total
 * GiB, item count. */
void library_capacity_texts(int64_t free_space, int64_t total_space, int total_items, char free_gb[32], char free_p[32],
                            char total_gb[32], char items[32]);
/* "query-tooltip" of the indicator (user data: the library). */
gboolean library_capacity_query_tooltip_cb(GtkWidget *widget, gint x, gint y, gboolean keyboard_mode,
                                           GtkTooltip *tooltip, gpointer user_data);
