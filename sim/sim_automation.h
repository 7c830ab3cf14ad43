/* Simulator automation namespace: every PelmoraBox method, its parameters
 * and response members, on top of the bus model. */
#pragma once
#include "sim_server.h"

/* Registers the PelmoraBox methods on the server; 0 or -22. */
int sim_automation_register(sim_server_t *srv);
/* Loads a playlist from the server's data folder into a bus (start-up). */
int sim_automation_load(sim_server_t *srv, int bus_idx, const char *name);
/* --keep-lists: loads the bus's kept running list, if there is one: the
 * number of events, -2 when none was kept. */
int sim_automation_keep_load(sim_server_t *srv, int bus_idx);
