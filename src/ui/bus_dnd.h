/* Drag and drop on a bus grid: the two drag targets and the grid's drag
 * handlers. The engine registers the grid with these targets; what a drop
 * does is not built yet, so the handlers only log (see bus_dnd.cpp). */
#pragma once
#include <gtk/gtk.h>

#define BUS_DND_INFO_EVENTS 123
#define BUS_DND_INFO_LIBRARY_ROWS 126

/* "application/pelmorabox_event_t" (123), "application/library_row_datas" (126). */
extern const GtkTargetEntry bus_drag_targets[2];

void bus_drag_begin_cb(GtkWidget *widget, GdkDragContext *context, gpointer user_data);
void bus_drag_data_get_cb(GtkWidget *widget, GdkDragContext *context, GtkSelectionData *data, guint info,
                          guint time, gpointer user_data);
gboolean bus_drag_motion(GtkWidget *widget, GdkDragContext *context, gint x, gint y, guint time,
                         gpointer user_data);
void bus_drag_data_received(GtkWidget *widget, GdkDragContext *context, gint x, gint y, GtkSelectionData *data,
                            guint info, guint time, gpointer user_data);
void bus_drag_data_delete(GtkWidget *widget, GdkDragContext *context, gpointer user_data);
