/* Search window of a bus: a key, the event fields to look in, and the
 * server's search of the running list from the last hit; the grid's cursor
 * goes to each hit. Created hidden with the bus's page, shown by Ctrl+F,
 * searched onward by F3; the absent and error lists jump through it. */
#pragma once
#include <gtk/gtk.h>

#include "instance.h"
#include "pelmorabox.h"

typedef struct playlist_search_window_desc
{
    int last;
    GtkWidget *wnd;
    GtkWidget *entry;
    GtkWidget *checkboxes[PELMORABOX_EVENT_SEARCH_IDX_LAST];
    GtkWidget *find, *find_next, *close;
    GtkWidget *status; /* says when nothing (more) was found */
} playlist_search_window_t;

/* Builds the bus's window (hidden) into bus->search_ctx, with last = -1. */
int ui_create_search_window(bus_t *bus);
/* Brings the window up with the focus in the key entry. */
int ui_search_show(bus_t *bus);
/* Searches from the last hit; 0. */
int ui_search_next(bus_t *bus);
/* Sets last, checks exactly the boxes of flags and puts key in the entry. */
int ui_search_set(bus_t *bus, const char *key, int flags, int last);
/* The bits of the checked boxes. */
int ui_search_flags(bus_t *bus);
/* The window's context, or null. */
playlist_search_window_t *ui_search_ctx(bus_t *bus);
