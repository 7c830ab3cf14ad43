/* Activating a library row takes no action on the bus: items reach a bus by
 * drag and drop. The hook only says what was asked for. */
#include "library_events.h"

#include <glib.h>

void library_row_activated(library_t *lib, void *item, void *subclip, void *data)
{
    (void)lib;
    (void)data;
    if (subclip)
        g_warning("%s NOT IMPLEMENTED!", "library_subclips2playlist");
    else if (item)
        g_warning("%s NOT IMPLEMENTED!", "library_clips2playlist");
}

void library_events_attach(bus_t *bus)
{
    bus->lib.row_activated_cb.proc = library_row_activated;
    bus->lib.row_activated_cb.data = bus;
}
