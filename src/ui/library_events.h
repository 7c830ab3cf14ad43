/* The library pane's row activation hook of a bus. */
#pragma once
#include "instance.h"

void library_events_attach(bus_t *bus);
void library_row_activated(library_t *lib, void *item, void *subclip, void *data);
