/* Bus properties (Ctrl+P): chosen properties of the one event in the
 * clipboard copied onto every selected event of the bus, each sent as an
 * update of that event. Main loop, GDK lock held. */
#pragma once
#include <functional>
#include <string>

#include "instance.h"

#define SETPROPS_COUNT 7
/* Labels of the properties, bit i of the bus's props_max choosing i. */
extern const char *const props_names[SETPROPS_COUNT];

/* How the updates go out: the bus's command runner (a worker while the
 * main loop keeps serving, the returned state applied on success). */
typedef int (*ui_bus_setprops_send_t)(bus_t *bus, const char *what,
                                      std::function<int(pelmorabox_bus_state_t *, std::string *)> call);

/* The dialog, the updates sent with the GDK lock released; 0. */
int ui_bus_setprops(bus_t *bus);
/* The same with the updates sent through send (null: as above); 0. */
int ui_bus_setprops_with(bus_t *bus, ui_bus_setprops_send_t send);

/* Copies the properties of mask (bits as props_names) from src into dst;
 * the metadata pairs replace dst's own. Returns dst (which may move). */
pelmorabox_event_t *ui_bus_setprops_apply(pelmorabox_event_t *dst, const pelmorabox_event_t *src, int mask);
