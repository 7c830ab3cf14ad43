/* Helpers of the bus panel tests: a console built from a command line
 * without starting its engine, constructed events and states, and readers
 * of the clocks, counters and rows the panel shows. */
#pragma once
#include <gtk/gtk.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "engine_support.h"
#include "instance.h"
#include "pelmorabox.h"

/* A console of the given options; engine not started. Each bus gets a
 * host that nothing listens on unless the options name one. */
bool panel_console(engine_app &e, const std::vector<std::string> &args);

/* A new event (caller destroys) with the given flags and start type. */
pelmorabox_event_t *panel_event(int64_t flags, char start_type = ' ', int type = 'V');

/* Renders e into row idx of a grid that has at least idx + 1 rows. */
int panel_render(bus_t *bus, int idx, pelmorabox_event_t *e);

/* Row cells. */
std::string panel_cell(bus_t *bus, int idx, int column);
bool panel_flag(bus_t *bus, int idx, int column);

/* Clock texts through the clock's own context. */
std::string clock_time(GtkWidget *clock);
std::string clock_title(GtkWidget *clock);
/* The label text of a counter button. */
std::string counter_text(bus_t *bus, int id);
/* Every clock of the panel, in widget tree order. */
std::vector<GtkWidget *> panel_clocks(bus_t *bus);
/* Index of the status image shown (0 offline, 1 paused, 2 playing), or -1
 * when not exactly one is shown. */
int panel_status(bus_t *bus);
