/* Custom-drawn image button. */
#include "ui_button_dumb.h"

#include <stdarg.h>

namespace {

const char *const KEY = "ui_button_dumb_t";

ui_button_dumb_t *ctx_of(GtkWidget *widget)
{
    if (!widget || !GTK_IS_DRAWING_AREA(widget))
        return nullptr;
    return (ui_button_dumb_t *)g_object_get_data(G_OBJECT(widget), KEY);
}

/* pressed counts 2, hover 1 */
int state_of(const ui_button_dumb_t *b)
{
    return (b->f_pressed ? 2 : 0) + (b->f_hover ? 1 : 0);
}

GdkPixbuf *pixbuf_of(const guint8 *data)
{
    GError *err = nullptr;
    GdkPixbuf *pb = gdk_pixbuf_new_from_inline(-1, data, TRUE, &err);
    if (!pb) {
        g_warning("%s: bad built-in image: %s", "ui_button_dumb", err ? err->message : "?");
        if (err)
            g_error_free(err);
    }
    return pb;
}

void release(gpointer data)
{
    auto *b = (ui_button_dumb_t *)data;
    if (b->cursor)
        gdk_cursor_unref(b->cursor);
    for (auto &row : b->views)
        for (GdkPixbuf *&pb : row)
            if (pb)
                g_object_unref(pb);
    if (b->view)
        g_object_unref(b->view);
    g_free(b->bg_color);
    g_free(b);
}

gboolean on_expose(GtkWidget *widget, GdkEventExpose *event, gpointer)
{
    ui_button_dumb_t *b = ctx_of(widget);
    if (!b)
        return FALSE;
    GtkAllocation a;
    gtk_widget_get_allocation(widget, &a);
    if (a.width <= 0 || a.height <= 0 || b->f_blank)
        return TRUE;

    cairo_t *cr = gdk_cairo_create(gtk_widget_get_window(widget));
    gdk_cairo_region(cr, event->region);
    cairo_clip(cr);
    GdkColor c;
    if (b->bg_color && gdk_color_parse(b->bg_color, &c)) {
        cairo_set_source_rgb(cr, c.red / 65535.0, c.green / 65535.0, c.blue / 65535.0);
        cairo_paint(cr);
    }
    int state = state_of(b);
    if (b->view) {
        /* Only the cell of this style and state may show, however large the
         * allocation is. */
        cairo_rectangle(cr, 0, 0, b->w, b->h);
        cairo_clip(cr);
        gdk_cairo_set_source_pixbuf(cr, b->view, -b->w * state, -b->h * b->style);
        cairo_paint(cr);
    } else if (GdkPixbuf *pb = b->views[b->style][state]) {
        gdk_cairo_set_source_pixbuf(cr, pb, 0, 0);
        cairo_paint(cr);
    }
    /* A missing image leaves the window's own background. */
    cairo_destroy(cr);
    return TRUE;
}

gboolean on_configure(GtkWidget *widget, GdkEventConfigure *, gpointer)
{
    if (ui_button_dumb_t *b = ctx_of(widget))
        gtk_widget_set_size_request(widget, b->w, b->h);
    return FALSE;
}

gboolean on_enter(GtkWidget *widget, GdkEventCrossing *, gpointer)
{
    ui_button_dumb_t *b = ctx_of(widget);
    if (!b || b->f_blank)
        return FALSE;
    b->f_hover = 1;
    if (GdkWindow *w = gtk_widget_get_window(widget))
        gdk_window_set_cursor(w, b->cursor);
    gtk_widget_queue_draw(widget);
    return FALSE;
}

gboolean on_leave(GtkWidget *widget, GdkEventCrossing *, gpointer)
{
    ui_button_dumb_t *b = ctx_of(widget);
    if (!b || b->f_blank)
        return FALSE;
    b->f_hover = 0;
    b->f_pressed = 0;
    if (GdkWindow *w = gtk_widget_get_window(widget))
        gdk_window_set_cursor(w, nullptr);
    gtk_widget_queue_draw(widget);
    return FALSE;
}

gboolean on_press(GtkWidget *widget, GdkEventButton *event, gpointer)
{
    ui_button_dumb_t *b = ctx_of(widget);
    if (!b || b->f_blank)
        return FALSE;
    b->f_pressed = 1;
    gtk_widget_queue_draw(widget);
    if (b->cb.press.proc)
        return b->cb.press.proc(widget, event, b->cb.press.data);
    return TRUE;
}

gboolean on_release(GtkWidget *widget, GdkEventButton *event, gpointer)
{
    ui_button_dumb_t *b = ctx_of(widget);
    if (!b || b->f_blank)
        return FALSE;
    b->f_pressed = 0;
    gtk_widget_queue_draw(widget);
    GtkAllocation a;
    gtk_widget_get_allocation(widget, &a);
    bool over = event->x >= 0 && event->y >= 0 && event->x < a.width && event->y < a.height;
    if (over)
        return b->cb.click.proc ? b->cb.click.proc(widget, event, b->cb.click.data) : TRUE;
    return b->cb.release.proc ? b->cb.release.proc(widget, event, b->cb.release.data) : FALSE;
}

GtkWidget *create(ui_button_dumb_t *b, int style)
{
    b->style = style >= 0 && style < UI_BUTTON_DUMB_STYLES ? style : 0;
    GtkWidget *area = gtk_drawing_area_new();
    b->self = area;
    if (gdk_display_get_default())
        b->cursor = gdk_cursor_new(GDK_HAND2);
    gtk_widget_add_events(area, GDK_EXPOSURE_MASK | GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK |
                                    GDK_BUTTON_RELEASE_MASK | GDK_ENTER_NOTIFY_MASK | GDK_LEAVE_NOTIFY_MASK);
    g_object_set_data_full(G_OBJECT(area), KEY, b, release);
    g_signal_connect(area, "expose-event", G_CALLBACK(on_expose), nullptr);
    g_signal_connect(area, "configure-event", G_CALLBACK(on_configure), nullptr);
    g_signal_connect(area, "enter-notify-event", G_CALLBACK(on_enter), nullptr);
    g_signal_connect(area, "leave-notify-event", G_CALLBACK(on_leave), nullptr);
    g_signal_connect(area, "button-press-event", G_CALLBACK(on_press), nullptr);
    g_signal_connect(area, "button-release-event", G_CALLBACK(on_release), nullptr);
    /* Asked for at once too, so the first allocation already fits. */
    gtk_widget_set_size_request(area, b->w, b->h);
    return area;
}

} // namespace

GtkWidget *ui_button_dumb_create(int style, ...)
{
    auto *b = (ui_button_dumb_t *)g_malloc0(sizeof(ui_button_dumb_t));
    bool any = false;
    va_list ap;
    va_start(ap, style);
    for (int i = 0; i < UI_BUTTON_DUMB_STYLES * UI_BUTTON_DUMB_STATES; i++) {
        const guint8 *data = va_arg(ap, const guint8 *);
        if (data == UI_BUTTON_DUMB_END)
            break;
        if (!data)
            continue;
        GdkPixbuf *pb = pixbuf_of(data);
        if (!pb)
            continue;
        b->views[i / UI_BUTTON_DUMB_STATES][i % UI_BUTTON_DUMB_STATES] = pb;
        if (!any) {
            b->w = gdk_pixbuf_get_width(pb);
            b->h = gdk_pixbuf_get_height(pb);
            any = true;
        }
    }
    va_end(ap);
    if (!any) {
        release(b);
        return nullptr;
    }
    return create(b, style);
}

GtkWidget *ui_button_dumb_create_from_tile(int style, int styles, const guint8 *data)
{
    if (!data || styles < 1 || styles > UI_BUTTON_DUMB_STYLES)
        return nullptr;
    GdkPixbuf *pb = pixbuf_of(data);
    if (!pb)
        return nullptr;
    int w = gdk_pixbuf_get_width(pb) / UI_BUTTON_DUMB_STATES, h = gdk_pixbuf_get_height(pb) / styles;
    if (w <= 0 || h <= 0) {
        g_object_unref(pb);
        return nullptr;
    }
    auto *b = (ui_button_dumb_t *)g_malloc0(sizeof(ui_button_dumb_t));
    b->view = pb;
    b->w = w;
    b->h = h;
    return create(b, style);
}

int ui_button_dumb_cb_press(GtkWidget *widget, ui_button_dumb_cb_proc cb, gpointer data)
{
    ui_button_dumb_t *b = ctx_of(widget);
    if (!b)
        return -22;
    b->cb.press = {cb, data};
    return 0;
}

int ui_button_dumb_cb_click(GtkWidget *widget, ui_button_dumb_cb_proc cb, gpointer data)
{
    ui_button_dumb_t *b = ctx_of(widget);
    if (!b)
        return -22;
    if (!b->f_blank)
        b->cb.click = {cb, data};
    return 0;
}

int ui_button_dumb_cb_release(GtkWidget *widget, ui_button_dumb_cb_proc cb, gpointer data)
{
    ui_button_dumb_t *b = ctx_of(widget);
    if (!b)
        return -22;
    b->cb.release = {cb, data};
    return 0;
}

int ui_button_dumb_get_style(GtkWidget *widget)
{
    ui_button_dumb_t *b = ctx_of(widget);
    return b ? b->style : -22;
}

int ui_button_dumb_set_style(GtkWidget *widget, int style)
{
    ui_button_dumb_t *b = ctx_of(widget);
    if (!b || style < 0 || style >= UI_BUTTON_DUMB_STYLES)
        return -22;
    if (b->style != style) {
        b->style = style;
        gtk_widget_queue_draw(widget);
    }
    return style;
}

int ui_button_dumb_get_blank(GtkWidget *widget)
{
    ui_button_dumb_t *b = ctx_of(widget);
    return b ? b->f_blank : -22;
}

int ui_button_dumb_set_blank(GtkWidget *widget, int blank)
{
    ui_button_dumb_t *b = ctx_of(widget);
    if (!b)
        return -22;
    blank = blank ? 1 : 0;
    if (b->f_blank != blank) {
        b->f_blank = blank;
        if (blank) {
            /* A blank button shows no hover or press left over from before. */
            b->f_hover = 0;
            b->f_pressed = 0;
            if (GdkWindow *w = gtk_widget_get_window(widget))
                gdk_window_set_cursor(w, nullptr);
        }
        gtk_widget_queue_draw(widget);
    }
    return blank;
}

int ui_button_dumb_bg_color(GtkWidget *widget, const char *color)
{
    ui_button_dumb_t *b = ctx_of(widget);
    if (!b)
        return -22;
    g_free(b->bg_color);
    b->bg_color = g_strdup(color);
    gtk_widget_queue_draw(widget);
    return 0;
}
