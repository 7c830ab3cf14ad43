/* Drag and drop on a bus grid: the grid is a drag source of its selected
 * events and a drop destination of events (from any bus) and of library
 * rows, which become new events. A drop inserts at the row under the
 * pointer; a plain drag within one bus moves, a drag restricted to move
 * (Shift) duplicates, every other drag copies. */
#pragma once
#include <gtk/gtk.h>

#include "instance.h"

#define BUS_DND_INFO_EVENTS 123
#define BUS_DND_INFO_LIBRARY_ROWS 126
/* Events one drag carries at most. */
#define BUS_DND_EVENTS_MAX 1000

/* "application/pelmorabox_event_t" (123), "application/library_row_datas" (126). */
extern const GtkTargetEntry bus_drag_targets[2];

/* Registers bus->grid as drag source and destination with the handlers
 * below. Main thread, once per grid, after the panel is built. */
int bus_dnd_attach(bus_t *bus);

/* One event made of a library row (exactly one record set; folders give
 * none): media, title, in, duration, out, and the type and assets of the
 * bus's --helper-type-path rule of its folder. Null for a folder row. */
pelmorabox_event_t *bus_dnd_event_from_library(bus_t *bus, const pelmora_lib_dir_t *dir, const pelmora_lib_item_t *item,
                                               const pelmora_lib_subclip_t *sub);

void bus_drag_begin_cb(GtkWidget *widget, GdkDragContext *context, gpointer user_data);
void bus_drag_data_get_cb(GtkWidget *widget, GdkDragContext *context, GtkSelectionData *data, guint info, guint time,
                          gpointer user_data);
gboolean bus_drag_motion(GtkWidget *widget, GdkDragContext *context, gint x, gint y, guint time, gpointer user_data);
void bus_drag_data_received(GtkWidget *widget, GdkDragContext *context, gint x, gint y, GtkSelectionData *data,
                            guint info, guint time, gpointer user_data);
void bus_drag_data_delete(GtkWidget *widget, GdkDragContext *context, gpointer user_data);
