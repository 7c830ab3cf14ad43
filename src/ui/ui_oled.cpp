/* The clock widget and the rounded group frame of the bus panel: both paint
 * a rectangle with rounded corners with cairo; the clock adds two centred
 * text lines laid out by Pango. */
#include "ui_oled.h"

#include <math.h>
#include <pango/pangocairo.h>
#include <string.h>

#include "strl.h"

#define OLED_CTX_KEY "ui_oled_timer_ctx"
#define OLED_RADIUS 16
/* Room kept free at each side of a text line inside the face. */
#define OLED_TEXT_MARGIN 4
/* Rows kept free under the lowest descender. */
#define OLED_TEXT_BOTTOM 2
/* A line is never drawn below this share of its size, nor below OLED_MIN_PX. */
#define OLED_MIN_SCALE 0.6
#define OLED_MIN_PX 8.0

namespace {

void parse_color(const char *text, GdkColor *c)
{
    memset(c, 0, sizeof(*c));
    if (!text || !gdk_color_parse(text, c))
        memset(c, 0, sizeof(*c));
}

void set_source(cairo_t *cr, const GdkColor &c)
{
    cairo_set_source_rgb(cr, c.red / 65535.0, c.green / 65535.0, c.blue / 65535.0);
}

/* Two overlapping rectangles and four corner circles: the face shape. */
void rounded_face(cairo_t *cr, double x, double y, double w, double h, double r)
{
    if (r * 2 > w)
        r = w / 2;
    if (r * 2 > h)
        r = h / 2;
    cairo_rectangle(cr, x + r, y, w - 2 * r, h);
    cairo_fill(cr);
    cairo_rectangle(cr, x, y + r, w, h - 2 * r);
    cairo_fill(cr);
    const double cx[4] = {x + r, x + w - r, x + r, x + w - r};
    const double cy[4] = {y + r, y + r, y + h - r, y + h - r};
    for (int i = 0; i < 4; i++) {
        cairo_arc(cr, cx[i], cy[i], r, 0, 2 * G_PI);
        cairo_fill(cr);
    }
}

/* One centred line with its baseline at `baseline`. A text wider than the
 * face is drawn smaller, down to a size still read at a glance, and beyond
 * that shortened in the middle, so that a long playlist name or a wider
 * substitute font never runs off the face. */
void draw_line(cairo_t *cr, int w, int h, const char *text, int size, bool bold, const GdkColor &color, int baseline)
{
    if (!text || !*text || size <= 0)
        return;
    PangoLayout *layout = pango_cairo_create_layout(cr);
    PangoFontDescription *fd = pango_font_description_new();
    pango_font_description_set_family(fd, UI_OLED_FONT_FACE);
    pango_font_description_set_style(fd, PANGO_STYLE_NORMAL);
    pango_font_description_set_weight(fd, bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    pango_layout_set_text(layout, text, -1);

    int avail = w - 2 * OLED_TEXT_MARGIN;
    if (avail < 1)
        avail = 1;
    /* Absolute size: the clock's sizes are pixels, like a cairo font size. */
    pango_font_description_set_absolute_size(fd, size * PANGO_SCALE);
    pango_layout_set_font_description(layout, fd);
    PangoRectangle logical;
    pango_layout_get_pixel_extents(layout, nullptr, &logical);
    if (logical.width > avail) {
        double smallest = size * OLED_MIN_SCALE < OLED_MIN_PX ? OLED_MIN_PX : size * OLED_MIN_SCALE;
        if (smallest > size)
            smallest = size;
        double px = (double)size * avail / logical.width;
        if (px < smallest)
            px = smallest;
        pango_font_description_set_absolute_size(fd, px * PANGO_SCALE);
        pango_layout_set_font_description(layout, fd);
        pango_layout_get_pixel_extents(layout, nullptr, &logical);
        if (logical.width > avail) {
            pango_layout_set_width(layout, avail * PANGO_SCALE);
            pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_MIDDLE);
            pango_layout_get_pixel_extents(layout, nullptr, &logical);
        }
    }
    /* Logical x may be non-zero once the layout has a width: centre the ink
     * of the line, not the layout box. */
    double x = w / 2.0 - logical.width / 2.0 - logical.x;
    /* A baseline too low for the face (a clock given less height than its
     * lines were placed for) is raised until the descenders show. */
    double ascent = pango_layout_get_baseline(layout) / (double)PANGO_SCALE;
    double descent = logical.y + logical.height - ascent;
    double base = baseline;
    if (base + descent > h - OLED_TEXT_BOTTOM)
        base = h - OLED_TEXT_BOTTOM - descent;
    double y = base - ascent;
    set_source(cr, color);
    cairo_move_to(cr, x, y);
    pango_cairo_show_layout(cr, layout);
    pango_font_description_free(fd);
    g_object_unref(layout);
}

gboolean oled_expose(GtkWidget *widget, GdkEventExpose *event, gpointer user_data)
{
    (void)event;
    auto *ctx = static_cast<ui_oled_timer_ctx_t *>(user_data);
    GtkAllocation a;
    gtk_widget_get_allocation(widget, &a);
    if (a.width <= 0 || a.height <= 0 || !gtk_widget_get_window(widget))
        return TRUE;
    cairo_t *cr = gdk_cairo_create(gtk_widget_get_window(widget));
    set_source(cr, ctx->parent_color);
    cairo_paint(cr);
    set_source(cr, ctx->background_color);
    rounded_face(cr, 0, 0, a.width, a.height, OLED_RADIUS);
    draw_line(cr, a.width, a.height, ctx->title_text, ctx->title_height, false, ctx->title_color, ctx->title_h_offset);
    draw_line(cr, a.width, a.height, ctx->time_text, ctx->time_height, true, ctx->time_color, ctx->time_h_offset);
    cairo_destroy(cr);
    return TRUE;
}

gboolean oled_configure(GtkWidget *widget, GdkEventConfigure *event, gpointer user_data)
{
    (void)event;
    auto *ctx = static_cast<ui_oled_timer_ctx_t *>(user_data);
    gtk_widget_set_size_request(widget, ctx->width, ctx->height);
    return FALSE;
}

int oled_set_text(GtkWidget *widget, const char *text, bool title)
{
    ui_oled_timer_ctx_t *ctx = ui_oled_timer_ctx(widget);
    if (!ctx)
        return -22;
    char *dst = title ? ctx->title_text : ctx->time_text;
    /* The clocks are set on every poll of every bus, mostly to what they
     * already show: compare what would be stored (a long text cut like the
     * stored one) and leave the widget alone when nothing changes, so an
     * idle console queues no redraws. */
    static_assert(sizeof(ctx->time_text) == sizeof(ctx->title_text), "both lines share one bound");
    char next[sizeof(ctx->time_text)];
    strlcpy(next, text ? text : "", sizeof(next));
    if (!strcmp(dst, next))
        return 0;
    memcpy(dst, next, sizeof(next));
    gtk_widget_queue_draw(widget);
    return 0;
}

/* ---- Group frame. ---- */

gboolean rounded_expose(GtkWidget *widget, GdkEventExpose *event, gpointer user_data)
{
    (void)event;
    (void)user_data;
    GtkAllocation a;
    gtk_widget_get_allocation(widget, &a);
    if (a.width <= 0 || a.height <= 0 || !gtk_widget_get_window(widget))
        return FALSE;
    int radius = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(widget), "radius"));
    GdkColor c;
    parse_color(static_cast<const char *>(g_object_get_data(G_OBJECT(widget), "color")), &c);
    cairo_t *cr = gdk_cairo_create(gtk_widget_get_window(widget));
    /* An event box with its own window: its allocation starts at 0, 0. */
    set_source(cr, c);
    rounded_face(cr, 0, 0, a.width, a.height, radius);
    cairo_destroy(cr);
    /* The children are drawn by the default handler after this. */
    GtkWidget *child = gtk_bin_get_child(GTK_BIN(widget));
    if (child)
        gtk_container_propagate_expose(GTK_CONTAINER(widget), child, event);
    return TRUE;
}

} // namespace

ui_oled_timer_ctx_t *ui_oled_timer_ctx(GtkWidget *widget)
{
    if (!widget || !G_IS_OBJECT(widget))
        return nullptr;
    return static_cast<ui_oled_timer_ctx_t *>(g_object_get_data(G_OBJECT(widget), OLED_CTX_KEY));
}

GtkWidget *ui_oled_timer_create(const char *background_color, const char *parent_color, int width, int height,
                                const char *title_color, int title_height, int title_h_offset, const char *time_color,
                                int time_height, int time_h_offset)
{
    auto *ctx = static_cast<ui_oled_timer_ctx_t *>(g_malloc0(sizeof(ui_oled_timer_ctx_t)));
    ctx->width = width;
    ctx->height = height;
    parse_color(title_color, &ctx->title_color);
    parse_color(background_color, &ctx->background_color);
    parse_color(parent_color, &ctx->parent_color);
    parse_color(time_color, &ctx->time_color);
    ctx->title_height = title_height;
    ctx->title_h_offset = title_h_offset;
    ctx->time_height = time_height;
    ctx->time_h_offset = time_h_offset;

    GtkWidget *area = gtk_drawing_area_new();
    ctx->self = area;
    gtk_widget_set_size_request(area, width, height);
    g_object_set_data_full(G_OBJECT(area), OLED_CTX_KEY, ctx, g_free);
    g_signal_connect(area, "expose-event", G_CALLBACK(oled_expose), ctx);
    g_signal_connect(area, "configure-event", G_CALLBACK(oled_configure), ctx);
    gtk_widget_show(area);
    return area;
}

int ui_oled_timer_set_time(GtkWidget *widget, const char *time_text)
{
    return oled_set_text(widget, time_text, false);
}

int ui_oled_timer_set_title(GtkWidget *widget, const char *title_text)
{
    return oled_set_text(widget, title_text, true);
}

GtkWidget *ui_rounded_corners_box(GtkWidget *child, int radius, int padding, const char *color)
{
    GtkWidget *outer = gtk_event_box_new();
    g_object_set_data(G_OBJECT(outer), "radius", GINT_TO_POINTER(radius));
    g_object_set_data(G_OBJECT(outer), "padding", GINT_TO_POINTER(padding));
    g_object_set_data_full(G_OBJECT(outer), "color", g_strdup(color ? color : ""), g_free);
    gtk_widget_set_app_paintable(outer, TRUE);
    g_signal_connect(outer, "expose-event", G_CALLBACK(rounded_expose), nullptr);

    GtkWidget *inner = gtk_event_box_new();
    GdkColor c;
    if (color && gdk_color_parse(color, &c))
        gtk_widget_modify_bg(inner, GTK_STATE_NORMAL, &c);
    gtk_container_set_border_width(GTK_CONTAINER(inner), (guint)(padding > 0 ? padding : 0));
    if (child)
        gtk_container_add(GTK_CONTAINER(inner), child);
    gtk_container_add(GTK_CONTAINER(outer), inner);
    gtk_widget_show(inner);
    gtk_widget_show(outer);
    return outer;
}
