/* Read-outs of a bus grid for tests and benchmarks (main thread): its rows,
 * the event record and texts of a row, and the rows in view. */
#pragma once
#include <stdint.h>

#include <string>

#include "instance.h"

int grid_rows(bus_t *bus);
/* The row's event record, null while it holds none. */
pelmorabox_event_t *grid_event(bus_t *bus, int idx);
std::string grid_text(bus_t *bus, int idx, int column);
bool grid_visible(bus_t *bus, int *first, int *last);
/* Every visible row holds an event (with amend >= min_amend). */
bool grid_visible_filled(bus_t *bus, int64_t min_amend = 0);
