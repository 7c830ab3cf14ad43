/* Helpers of the widget tests. */
#include "widgets_gui.h"

#include <stdlib.h>
#include <string.h>

namespace {
gboolean when_tick(gpointer data)
{
    auto *op = (std::function<bool()> *)data;
    if ((*op)()) {
        delete op;
        return FALSE;
    }
    return TRUE;
}
} // namespace

void widgets_when(std::function<bool()> op)
{
    gdk_threads_add_timeout(20, when_tick, new std::function<bool()>(std::move(op)));
}

namespace {
struct find_ctx
{
    GType type;
    GtkWidget *found;
};
void find_cb(GtkWidget *w, gpointer data)
{
    auto *c = (find_ctx *)data;
    if (c->found)
        return;
    if (G_TYPE_CHECK_INSTANCE_TYPE(w, c->type))
        c->found = w;
    else if (GTK_IS_CONTAINER(w))
        gtk_container_forall(GTK_CONTAINER(w), find_cb, data);
}
} // namespace

GtkWidget *widgets_find_child(GtkWidget *w, GType type)
{
    find_ctx c{type, nullptr};
    if (GTK_IS_CONTAINER(w))
        gtk_container_forall(GTK_CONTAINER(w), find_cb, &c);
    return c.found;
}

gboolean widgets_send_crossing(GtkWidget *w, GdkEventType type)
{
    GdkEvent *ev = gdk_event_new(type);
    ev->crossing.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(w)));
    ev->crossing.send_event = TRUE;
    ev->crossing.mode = GDK_CROSSING_NORMAL;
    ev->crossing.detail = GDK_NOTIFY_ANCESTOR;
    gboolean r = gtk_widget_event(w, ev);
    gdk_event_free(ev);
    return r;
}

gboolean widgets_send_button(GtkWidget *w, GdkEventType type, double x, double y)
{
    GdkEvent *ev = gdk_event_new(type);
    ev->button.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(w)));
    ev->button.send_event = TRUE;
    ev->button.x = x;
    ev->button.y = y;
    ev->button.button = 1;
    ev->button.device = gdk_device_get_core_pointer();
    gboolean r = gtk_widget_event(w, ev);
    gdk_event_free(ev);
    return r;
}

gboolean widgets_send_key(GtkWidget *w, guint keyval)
{
    GdkEvent *ev = gdk_event_new(GDK_KEY_PRESS);
    ev->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(w)));
    ev->key.send_event = TRUE;
    ev->key.keyval = keyval;
    ev->key.time = GDK_CURRENT_TIME;
    GdkKeymapKey *keys = nullptr;
    gint n = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_default(), keyval, &keys, &n) && n > 0) {
        ev->key.hardware_keycode = keys[0].keycode;
        ev->key.group = keys[0].group;
    }
    g_free(keys);
    char buf[8] = {0};
    g_unichar_to_utf8(gdk_keyval_to_unicode(keyval), buf);
    ev->key.string = g_strdup(buf);
    ev->key.length = (gint)strlen(buf);
    gboolean r = gtk_widget_event(w, ev);
    gdk_event_free(ev);
    return r;
}

void widgets_type(GtkWidget *entry, const char *text)
{
    for (const char *p = text; *p; p = g_utf8_next_char(p)) {
        gint pos = gtk_editable_get_position(GTK_EDITABLE(entry));
        gtk_editable_insert_text(GTK_EDITABLE(entry), p, (gint)(g_utf8_next_char(p) - p), &pos);
        gtk_editable_set_position(GTK_EDITABLE(entry), pos);
    }
}

GdkPixbuf *widgets_grab(GtkWidget *w, int width, int height)
{
    GdkWindow *win = gtk_widget_get_window(w);
    gdk_window_process_updates(win, TRUE);
    gdk_flush();
    return gdk_pixbuf_get_from_drawable(nullptr, win, nullptr, 0, 0, 0, 0, width, height);
}
