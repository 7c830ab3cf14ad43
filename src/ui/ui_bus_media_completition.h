/* Media id completion of the event item dialog: while the operator types a
 * media id, the bus's library server is searched in the bus's completion
 * folder (--media-completition) and the hits are offered under the entry.
 * The searches run on a worker; the list reaches the entry on the main loop. */
#pragma once
#include <gtk/gtk.h>

#include "instance.h"

/* Search positions asked per change of the entry. */
#define MEDIA_COMPLETITION_SEARCHES 5

/* Attached to the entry under "ui_bus_media_completition_entry_t" and freed
 * with it. */
typedef struct ui_bus_media_completition_entry_desc
{
    bus_t *bus;
    GtkWidget *entry;
    GtkEntryCompletion *completition;
    char tmp[260]; /* the search text */
    char dst[260]; /* the last hit */
    char last[260];
    /* Search state shared with the worker (completition.cpp). */
    void *run;
} ui_bus_media_completition_entry_t;

/* Attaches the completion when the bus has a completion folder; 0. */
int ui_bus_media_completition_attach(bus_t *bus, GtkWidget *entry, pelmorabox_event_t *pe);

/* Searches are out or their list waits for the main loop (for tests). */
int ui_bus_media_completition_busy(GtkWidget *entry);
