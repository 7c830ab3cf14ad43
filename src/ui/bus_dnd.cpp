/* Drag and drop on a bus grid. CONNECTION POINTS ONLY: the grid is registered
 * with these targets and handlers by bus_init, but moving, copying and
 * inserting dropped events is a later piece of work. Until then every
 * handler logs its name and leaves the drag alone (a drop is refused). */
#include "bus_dnd.h"

const GtkTargetEntry bus_drag_targets[2] = {
    {const_cast<gchar *>("application/pelmorabox_event_t"), 0, BUS_DND_INFO_EVENTS},
    {const_cast<gchar *>("application/library_row_datas"), 0, BUS_DND_INFO_LIBRARY_ROWS},
};

void bus_drag_begin_cb(GtkWidget *widget, GdkDragContext *context, gpointer user_data)
{
    (void)widget;
    (void)context;
    (void)user_data;
    g_warning("%s: connection point, drag not carried out yet", __func__);
}

/* When the payload is built: selected rows far from view hold no event
 * record (the engine gives them back); read them from the server as
 * bus_clipboard_copy does rather than send nulls. */
void bus_drag_data_get_cb(GtkWidget *widget, GdkDragContext *context, GtkSelectionData *data, guint info,
                          guint time, gpointer user_data)
{
    (void)widget;
    (void)context;
    (void)data;
    (void)info;
    (void)time;
    (void)user_data;
    g_warning("%s: connection point, no payload yet", __func__);
}

gboolean bus_drag_motion(GtkWidget *widget, GdkDragContext *context, gint x, gint y, guint time,
                         gpointer user_data)
{
    (void)widget;
    (void)x;
    (void)y;
    (void)user_data;
    /* No action is offered until drops are carried out. */
    gdk_drag_status(context, (GdkDragAction)0, time);
    return TRUE;
}

void bus_drag_data_received(GtkWidget *widget, GdkDragContext *context, gint x, gint y, GtkSelectionData *data,
                            guint info, guint time, gpointer user_data)
{
    (void)context;
    (void)x;
    (void)y;
    (void)data;
    (void)time;
    (void)user_data;
    /* The toolkit finishes the drag (the grid is a default-drop target). */
    g_warning("%s: connection point, drop of info=%u ignored", __func__, info);
    /* The tree view must never reorder rows on its own. */
    g_signal_stop_emission_by_name(widget, "drag-data-received");
}

void bus_drag_data_delete(GtkWidget *widget, GdkDragContext *context, gpointer user_data)
{
    (void)widget;
    (void)context;
    (void)user_data;
    g_warning("%s", "bus_drag_data_delete");
}
