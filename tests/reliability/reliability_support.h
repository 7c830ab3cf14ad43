/* Helpers of the reliability suite: switching pelmora-sim's injected faults at run time, the server's list read
 * through GetEvents2, and the grid compared with it row by row. */
#pragma once
#include <gtk/gtk.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "instance.h"
#include "sim_child.h"

/* SIGUSR1 to the simulator (which switches its faults over) and wait up to
 * 5 s for its "faults on" or "faults off" line; true when that line says the
 * faults are now as asked. */
bool reliability_sim_faults(sim_child_t *sim, bool on);

/* Closes a console started by instance_init as the operator closes it (a
 * delete event on its window), runs the main loop while the shutdown thread
 * stops everything, and joins that thread; false when the window was not
 * gone within limit_ms (main thread, GDK lock held). */
bool reliability_close_console(instance_t *app, int limit_ms);

/* One event of a list, as compared: its line (the 15 fields the console
 * keeps, start time included), sys_id and flags. */
struct reliability_row
{
    std::string line;
    int64_t sys_id = 0;
    int64_t flags = 0;
    bool operator==(const reliability_row &o) const { return line == o.line && sys_id == o.sys_id && flags == o.flags; }
};
reliability_row reliability_row_of(pelmorabox_event_t *e);
/* The server's list of bus idx through GetEvents2, 32 at a time (the
 * client's own time-outs apply); false when a call failed or the list
 * changed under the reading (amend moved). */
bool reliability_server_list(const std::string &url, int idx, std::vector<reliability_row> *out,
                             int64_t *amend = nullptr);

/* The grid's rows (main thread): a row without an event is an empty line. */
std::vector<reliability_row> reliability_grid_list(bus_t *bus);
