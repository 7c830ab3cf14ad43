/* The subclip time line widget: geometry, drawing, dragging and signals. */
#include "gtk_timeline_subclip.h"

#include "timecode.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

namespace {

enum
{
    SIG_POS_MODIFIED,
    SIG_KEY_SELECTED1,
    SIG_KEY_SELECTED2,
    SIG_LAST
};
guint signals[SIG_LAST];
GtkWidgetClass *parent_class;

const unsigned char grad_line[20][3] = {{172, 168, 153}, {139, 139, 139}, {154, 154, 154}, {174, 174, 174},
                                        {190, 190, 190}, {202, 202, 202}, {214, 214, 214}, {214, 214, 214},
                                        {214, 214, 214}, {214, 214, 214}, {214, 214, 214}, {214, 214, 214},
                                        {214, 214, 214}, {214, 214, 214}, {214, 214, 214}, {214, 214, 214},
                                        {214, 214, 214}, {214, 214, 214}, {214, 214, 214}, {75, 75, 75}};

const unsigned char grad_bar[8][3] = {{169, 169, 169}, {189, 189, 189}, {185, 185, 185}, {133, 133, 133},
                                      {121, 121, 121}, {132, 131, 131}, {146, 146, 145}, {90, 90, 90}};

struct l_desc
{
    float dens; /* seconds between labels */
    int count;  /* ticks per label interval */
};
const l_desc l_descs[] = {{0.2f, 10}, {1, 50},   {2, 2},    {5, 5},    {10, 10}, {15, 3},    {20, 4}, {30, 3},
                          {60, 6},    {120, 10}, {300, 10}, {600, 10}, {900, 5}, {2000, 10}, {0, 0}};

/* Geometry of one moment: the axis runs from x 4 to width - 4. */
struct geo
{
    double W, B, E;
};

geo geo_of(TimelineSubclip *ts)
{
    GtkAllocation a;
    gtk_widget_get_allocation(GTK_WIDGET(ts), &a);
    geo g;
    g.W = a.width - 8;
    g.B = (double)ts->wa_begin * ts->length / 100;
    g.E = (double)ts->wa_end * ts->length / 100;
    return g;
}

/* A clip of length 0, an empty work area or a widget narrower than its
 * margins has no scale: every time sits at the left end then. */
bool geo_flat(const geo &g)
{
    return !(g.E - g.B > 0) || !(g.W > 0) || !isfinite(g.E - g.B);
}

double t2x(const geo &g, double t)
{
    if (geo_flat(g))
        return 4;
    return (t - g.B) * g.W / (g.E - g.B) + 4;
}

double x2t(TimelineSubclip *ts, const geo &g, double x)
{
    double t = geo_flat(g) ? g.B : (g.E - g.B) * (x - 4) / g.W + g.B;
    if (t < 0 || !isfinite(t))
        t = 0;
    if (t > ts->length)
        t = ts->length;
    return t;
}

double handle_l(TimelineSubclip *ts, const geo &g)
{
    return (double)ts->wa_begin * g.W / 100 + 4;
}

double handle_r(TimelineSubclip *ts, const geo &g)
{
    return (double)ts->wa_end * g.W / 100 + 4;
}

double pointer_x(TimelineSubclip *ts, const geo &g)
{
    return t2x(g, ts->drag_target == 4 ? ts->pos_desired : ts->pos);
}

/* Keeps a drawn coordinate inside what cairo takes comfortably. */
int trunc_px(double x)
{
    if (!(x > -1e6))
        return -1000000;
    if (x > 1e6)
        return 1000000;
    return (int)x;
}

void redraw(TimelineSubclip *ts)
{
    GtkWidget *w = GTK_WIDGET(ts);
    if (!gtk_widget_get_realized(w))
        return;
    GdkWindow *win = gtk_widget_get_window(w);
    gdk_window_invalidate_rect(win, nullptr, FALSE);
    gdk_window_process_updates(win, FALSE);
}

void keyframes_drop(TimelineSubclip *ts)
{
    g_free(ts->keyframes.pos);
    g_free(ts->keyframes.flag);
    g_free(ts->keyframes.data);
    ts->keyframes.pos = nullptr;
    ts->keyframes.flag = nullptr;
    ts->keyframes.data = nullptr;
    ts->keyframes.cnt = 0;
}

void set_rgb(cairo_t *cr, int r, int g, int b)
{
    cairo_set_source_rgb(cr, r / 255.0, g / 255.0, b / 255.0);
}

void marker_shape(cairo_t *cr, int x)
{
    cairo_move_to(cr, x + 0.5, 32);
    cairo_rel_line_to(cr, 6, -8);
    cairo_rel_line_to(cr, 0, -3);
    cairo_rel_line_to(cr, -2, -2);
    cairo_rel_line_to(cr, -8, 0);
    cairo_rel_line_to(cr, -2, 2);
    cairo_rel_line_to(cr, 0, 3);
    cairo_rel_line_to(cr, 6, 8);
    cairo_close_path(cr);
}

void draw_marker(cairo_t *cr, int x, int fr, int fg, int fb, int lr, int lg, int lb)
{
    cairo_set_line_width(cr, 1);
    marker_shape(cr, x);
    set_rgb(cr, fr, fg, fb);
    cairo_fill_preserve(cr);
    set_rgb(cr, lr, lg, lb);
    cairo_stroke(cr);
}

/* dir -1 turns the nib left (in mark), +1 right (out mark). */
void draw_mark(cairo_t *cr, int x, int dir)
{
    double cx = x + 0.5;
    cairo_move_to(cr, cx, 32);
    cairo_rel_line_to(cr, 0, -8);
    cairo_rel_line_to(cr, 2 * dir, -2);
    cairo_rel_line_to(cr, -2 * dir, -2);
    cairo_rel_line_to(cr, 0, -10);
    cairo_stroke(cr);
}

/* While the pointer is dragged off either end, the work area slides after
 * it by 0.1 % steps, keeping its size. */
void follow_pointer(TimelineSubclip *ts, int width)
{
    if (ts->drag_target != 4)
        return;
    for (int guard = 0; guard < 1001; guard++) {
        double px = pointer_x(ts, geo_of(ts));
        if (px < 4) {
            if (ts->wa_begin - 0.1f < 0) {
                ts->wa_end -= ts->wa_begin;
                ts->wa_begin = 0;
                break;
            }
            ts->wa_begin -= 0.1f;
            ts->wa_end -= 0.1f;
        } else if (px > width - 4) {
            if (ts->wa_end + 0.1f > 100) {
                ts->wa_begin += 100 - ts->wa_end;
                ts->wa_end = 100;
                break;
            }
            ts->wa_begin += 0.1f;
            ts->wa_end += 0.1f;
        } else {
            break;
        }
    }
}

void draw_scale(TimelineSubclip *ts, cairo_t *cr, const geo &g)
{
    cairo_select_font_face(cr, "Arial", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 10);
    cairo_font_options_t *fo = cairo_font_options_create();
    cairo_font_options_set_antialias(fo, CAIRO_ANTIALIAS_NONE);
    cairo_set_font_options(cr, fo);
    cairo_font_options_destroy(fo);

    cairo_text_extents_t probe;
    cairo_text_extents(cr, "00:00:00:00", &probe);
    if (!(probe.width > 0) || geo_flat(g))
        return;
    int n = (int)(g.W / (1.5 * probe.width));
    if (n < 1)
        return;
    double s = (g.E - g.B) / n;
    const l_desc *d = nullptr;
    for (const l_desc *p = l_descs; p->count; p++)
        if (p->dens > s) {
            d = p;
            break;
        }
    if (!d)
        d = &l_descs[sizeof(l_descs) / sizeof(l_descs[0]) - 2];

    double first = floor(x2t(ts, g, 4) / d->dens);
    for (int k = 0; k < n; k++) {
        double T = (first + k) * d->dens;
        char buf[TC_TEXT_SIZE];
        int64_t frames = (int64_t)tc_sec2frames(T) + ts->timecode_offset;
        if (frames > INT32_MAX)
            frames = INT32_MAX;
        tc_frames2tc((int)frames, buf);
        int x = trunc_px(t2x(g, T));
        cairo_text_extents_t ext;
        cairo_text_extents(cr, buf, &ext);
        set_rgb(cr, 0, 0, 0);
        cairo_move_to(cr, x - ext.width / 2 - ext.x_bearing, 28 - ext.height / 2);
        cairo_show_text(cr, buf);
        cairo_move_to(cr, x + 0.5, 34);
        cairo_line_to(cr, x + 0.5, 28);
        cairo_stroke(cr);
        set_rgb(cr, 54, 54, 54);
        for (int j = 1; j < d->count; j++) {
            int xj = trunc_px(t2x(g, T + j * (double)d->dens / d->count));
            cairo_move_to(cr, xj + 0.5, 34);
            cairo_line_to(cr, xj + 0.5, 30);
            cairo_stroke(cr);
        }
    }
}

void draw(TimelineSubclip *ts)
{
    GtkWidget *w = GTK_WIDGET(ts);
    GdkWindow *win = gtk_widget_get_window(w);
    GtkAllocation a;
    gtk_widget_get_allocation(w, &a);

    gdk_window_clear(win);
    follow_pointer(ts, a.width);
    geo g = geo_of(ts);

    cairo_t *cr = gdk_cairo_create(win);
    set_rgb(cr, 166, 166, 166);
    cairo_rectangle(cr, 0, 0, a.width, 40);
    cairo_fill(cr);

    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_line_width(cr, 1);
    for (int i = 0; i < 20; i++) {
        set_rgb(cr, grad_line[i][0], grad_line[i][1], grad_line[i][2]);
        cairo_move_to(cr, 0, 12 + i + 0.5);
        cairo_line_to(cr, a.width, 12 + i + 0.5);
        cairo_stroke(cr);
    }

    if (!ts->f_preview) {
        int xi = trunc_px(t2x(g, ts->mark_in));
        int xo = trunc_px(t2x(g, ts->mark_out));
        set_rgb(cr, 0, 0, 0);
        draw_mark(cr, xi, -1);
        draw_mark(cr, xo, +1);
        cairo_set_source_rgba(cr, 115 / 255.0, 140 / 255.0, 205 / 255.0, 0.5);
        cairo_rectangle(cr, xi, 12, xo - xi, 20);
        cairo_fill(cr);
    }

    draw_scale(ts, cr, g);

    for (int k = 0; k < ts->keyframes.cnt; k++) {
        int x = trunc_px(t2x(g, ts->keyframes.pos[k]));
        if (ts->keyframes.flag[k])
            draw_marker(cr, x, 171, 162, 23, 171, 162, 23);
        else
            draw_marker(cr, x, 231, 226, 173, 171, 162, 23);
    }

    draw_marker(cr, trunc_px(pointer_x(ts, g)), 173, 205, 231, 23, 84, 171);

    int xl = trunc_px(handle_l(ts, g)), xr = trunc_px(handle_r(ts, g));
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    for (int i = 0; i < 8; i++) {
        set_rgb(cr, grad_bar[i][0], grad_bar[i][1], grad_bar[i][2]);
        cairo_move_to(cr, xl + 13, 4 + i + 0.5);
        cairo_line_to(cr, xr - 13, 4 + i + 0.5);
        cairo_stroke(cr);
    }

    const int dx[6] = {0, 4, 12, 12, 4, 0};
    const int dy[6] = {8, 4, 4, 12, 12, 16};
    for (int side = 0; side < 2; side++) {
        int x0 = side ? xr : xl, dir = side ? -1 : 1;
        cairo_move_to(cr, x0 + 0.5, 16 + 0.5);
        for (int i = 0; i < 6; i++)
            cairo_line_to(cr, x0 + dir * dx[i] + 0.5, dy[i] + 0.5);
        cairo_close_path(cr);
        set_rgb(cr, 189, 189, 189);
        cairo_fill_preserve(cr);
        set_rgb(cr, 54, 54, 54);
        cairo_stroke(cr);
    }
    cairo_destroy(cr);
}

void ts_destroy(GtkObject *object)
{
    g_return_if_fail(object != NULL);
    g_return_if_fail(IS_TIMELINE_SUBCLIP(object));
    /* The widget owns its keyframe copies; destroy may run more than once. */
    keyframes_drop(TIMELINE_SUBCLIP(object));
    if (GTK_OBJECT_CLASS(parent_class)->destroy)
        GTK_OBJECT_CLASS(parent_class)->destroy(object);
}

void ts_realize(GtkWidget *widget)
{
    g_return_if_fail(widget != NULL);
    g_return_if_fail(IS_TIMELINE_SUBCLIP(widget));
    gtk_widget_set_realized(widget, TRUE);
    GtkAllocation a;
    gtk_widget_get_allocation(widget, &a);

    GdkWindowAttr attr;
    memset(&attr, 0, sizeof(attr));
    attr.window_type = GDK_WINDOW_CHILD;
    attr.x = a.x;
    attr.y = a.y;
    attr.width = a.width;
    attr.height = a.height;
    attr.wclass = GDK_INPUT_OUTPUT;
    attr.event_mask = gtk_widget_get_events(widget) | GDK_EXPOSURE_MASK | GDK_POINTER_MOTION_MASK |
                      GDK_POINTER_MOTION_HINT_MASK | GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK;
    GdkWindow *win = gdk_window_new(gtk_widget_get_parent_window(widget), &attr, GDK_WA_X | GDK_WA_Y);
    gtk_widget_set_window(widget, win);
    gdk_window_set_user_data(win, widget);
    widget->style = gtk_style_attach(widget->style, win);
    gtk_style_set_background(widget->style, win, GTK_STATE_NORMAL);
}

gboolean ts_expose(GtkWidget *widget, GdkEventExpose *event)
{
    g_return_val_if_fail(widget != NULL, FALSE);
    g_return_val_if_fail(IS_TIMELINE_SUBCLIP(widget), FALSE);
    g_return_val_if_fail(event != NULL, FALSE);
    if (event->count > 0)
        return FALSE;
    draw(TIMELINE_SUBCLIP(widget));
    return FALSE;
}

void ts_size_request(GtkWidget *widget, GtkRequisition *req)
{
    g_return_if_fail(widget != NULL);
    g_return_if_fail(IS_TIMELINE_SUBCLIP(widget));
    req->width = TIMELINE_SUBCLIP(widget)->want_width;
    req->height = 36;
}

void ts_size_allocate(GtkWidget *widget, GtkAllocation *alloc)
{
    g_return_if_fail(widget != NULL);
    g_return_if_fail(IS_TIMELINE_SUBCLIP(widget));
    gtk_widget_set_allocation(widget, alloc);
    if (gtk_widget_get_realized(widget))
        gdk_window_move_resize(gtk_widget_get_window(widget), alloc->x, alloc->y, alloc->width, alloc->height);
}

gboolean ts_button_press(GtkWidget *widget, GdkEventButton *event)
{
    g_return_val_if_fail(widget != NULL, FALSE);
    g_return_val_if_fail(IS_TIMELINE_SUBCLIP(widget), FALSE);
    g_return_val_if_fail(event != NULL, FALSE);
    TimelineSubclip *ts = TIMELINE_SUBCLIP(widget);
    geo g = geo_of(ts);
    double X = event->x, Y = event->y;

    if (event->button == 1) {
        double xl = handle_l(ts, g), xr = handle_r(ts, g), P = pointer_x(ts, g);
        bool bar = Y >= 4 && Y <= 12;
        const char *what = nullptr;
        int target = 0;
        if (bar && X >= xl && X <= xl + 12) {
            target = 1;
            what = "left workarea marker";
        } else if (bar && X >= xr - 12 && X <= xr) {
            target = 2;
            what = "right workarea marker";
        } else if (bar && X >= xl + 13 && X <= xr - 13) {
            target = 3;
            what = "middle workarea marker";
        } else if (X >= P - 6 && X <= P + 6 && Y >= 20 && Y <= 32) {
            target = 4;
            what = "pointer";
            ts->pos_desired = ts->pos;
        } else if (Y >= 12 && Y <= 32) {
            /* A click seeks without dragging. */
            g_signal_emit(ts, signals[SIG_POS_MODIFIED], 0, (gfloat)x2t(ts, g, (int)X));
            return FALSE;
        }
        if (target) {
            g_warning("%s: %s", __func__, what);
            ts->drag_target = target;
            ts->last_mouse_x = (gint)X;
            ts->last_mouse_y = (gint)Y;
            return TRUE;
        }
    }

    for (int k = 0; k < ts->keyframes.cnt; k++) {
        double kx = t2x(g, ts->keyframes.pos[k]);
        if (event->button == 3 && X >= kx - 6 && X <= kx + 6 && Y >= 20 && Y <= 32) {
            g_warning("%s: keyframe: %d", __func__, k);
            if (event->type == GDK_2BUTTON_PRESS)
                g_signal_emit(ts, signals[SIG_KEY_SELECTED2], 0, ts->keyframes.data[k]);
            else
                g_signal_emit(ts, signals[SIG_KEY_SELECTED1], 0, ts->keyframes.data[k]);
            return TRUE;
        }
    }
    return FALSE;
}

gboolean ts_button_release(GtkWidget *widget, GdkEventButton *event)
{
    g_return_val_if_fail(widget != NULL, FALSE);
    g_return_val_if_fail(IS_TIMELINE_SUBCLIP(widget), FALSE);
    g_return_val_if_fail(event != NULL, FALSE);
    TimelineSubclip *ts = TIMELINE_SUBCLIP(widget);
    if (event->button == 1 && ts->drag_target) {
        ts->drag_target = 0;
        redraw(ts);
    }
    return FALSE;
}

gboolean ts_motion(GtkWidget *widget, GdkEventMotion *event)
{
    g_return_val_if_fail(widget != NULL, FALSE);
    g_return_val_if_fail(IS_TIMELINE_SUBCLIP(widget), FALSE);
    g_return_val_if_fail(event != NULL, FALSE);
    TimelineSubclip *ts = TIMELINE_SUBCLIP(widget);
    if (!ts->drag_target)
        return FALSE;

    GdkWindow *win = gtk_widget_get_window(widget);
    gint x = (gint)event->x, y = (gint)event->y;
    if (event->is_hint || event->window != win)
        gdk_window_get_pointer(win, &x, &y, nullptr);

    geo g = geo_of(ts);
    double xl = handle_l(ts, g), xr = handle_r(ts, g);
    double d = x - ts->last_mouse_x;
    switch (ts->drag_target) {
    case 1:
        if (xr - 13 > xl + 13 + d)
            ts->wa_begin = xl + d < 4 ? 0 : (gfloat)((xl - 4 + d) * 100 / g.W);
        break;
    case 2:
        if (xl + 13 < xr - 13 + d)
            ts->wa_end = xr + d > g.W + 4 ? 100 : (gfloat)((xr - 4 + d) * 100 / g.W);
        break;
    case 3:
        if (xl + d > 4 && xr + d < g.W + 4) {
            ts->wa_begin = (gfloat)((xl + d - 4) * 100 / g.W);
            ts->wa_end = (gfloat)((xr + d - 4) * 100 / g.W);
        }
        break;
    case 4: {
        gfloat t = (gfloat)x2t(ts, g, x);
        if (t != ts->pos_desired) {
            ts->pos_desired = t;
            g_signal_emit(ts, signals[SIG_POS_MODIFIED], 0, t);
        }
        break;
    }
    default:
        break;
    }
    redraw(ts);
    ts->last_mouse_x = x;
    ts->last_mouse_y = y;
    return TRUE;
}

void ts_class_init(gpointer klass, gpointer)
{
    GtkObjectClass *oc = GTK_OBJECT_CLASS(klass);
    GtkWidgetClass *wc = GTK_WIDGET_CLASS(klass);
    parent_class = GTK_WIDGET_CLASS(g_type_class_peek_parent(klass));
    oc->destroy = ts_destroy;
    wc->realize = ts_realize;
    wc->expose_event = ts_expose;
    wc->size_request = ts_size_request;
    wc->size_allocate = ts_size_allocate;
    wc->button_press_event = ts_button_press;
    wc->button_release_event = ts_button_release;
    wc->motion_notify_event = ts_motion;

    GType t = G_TYPE_FROM_CLASS(klass);
    GSignalFlags f = (GSignalFlags)(G_SIGNAL_RUN_FIRST | G_SIGNAL_ACTION);
    signals[SIG_POS_MODIFIED] =
        g_signal_new("timeline_subclip_signal_pos_modified", t, f,
                     G_STRUCT_OFFSET(TimelineSubclipClass, timeline_subclip_signal_pos_modified), nullptr, nullptr,
                     g_cclosure_marshal_VOID__FLOAT, G_TYPE_NONE, 1, G_TYPE_FLOAT);
    signals[SIG_KEY_SELECTED1] =
        g_signal_new("timeline_subclip_signal_key_selected1", t, f,
                     G_STRUCT_OFFSET(TimelineSubclipClass, timeline_subclip_signal_key_selected1), nullptr, nullptr,
                     g_cclosure_marshal_VOID__POINTER, G_TYPE_NONE, 1, G_TYPE_POINTER);
    signals[SIG_KEY_SELECTED2] =
        g_signal_new("timeline_subclip_signal_key_selected2", t, f,
                     G_STRUCT_OFFSET(TimelineSubclipClass, timeline_subclip_signal_key_selected2), nullptr, nullptr,
                     g_cclosure_marshal_VOID__POINTER, G_TYPE_NONE, 1, G_TYPE_POINTER);
}

} // namespace

GType timeline_subclip_get_type(void)
{
    static GType type = 0;
    if (!type) {
        static const GTypeInfo info = {sizeof(TimelineSubclipClass), nullptr, nullptr, ts_class_init, nullptr, nullptr,
                                       sizeof(TimelineSubclip),      0,       nullptr, nullptr};
        type = g_type_register_static(GTK_TYPE_WIDGET, "TimelineSubclip", &info, (GTypeFlags)0);
    }
    return type;
}

GtkWidget *timeline_subclip_new(gint want_width, gfloat length, gfloat pos, gfloat mark_in, gfloat mark_out,
                                gfloat wa_begin, gfloat wa_end, gint f_preview)
{
    TimelineSubclip *ts = TIMELINE_SUBCLIP(g_object_new(TIMELINE_SUBCLIP_TYPE, nullptr));
    ts->want_width = want_width;
    ts->length = length;
    ts->pos = pos;
    ts->pos_desired = pos;
    ts->mark_in = mark_in;
    ts->mark_out = mark_out;
    ts->wa_begin = wa_begin;
    ts->wa_end = wa_end;
    ts->f_preview = f_preview;
    ts->drag_target = 0;
    ts->timecode_offset = 0;
    return GTK_WIDGET(ts);
}

void timeline_subclip_set_pos(TimelineSubclip *ts, gfloat pos)
{
    g_return_if_fail(ts != NULL);
    g_return_if_fail(IS_TIMELINE_SUBCLIP(ts));
    ts->pos = pos;
    redraw(ts);
}

void timeline_subclip_set_mark_in(TimelineSubclip *ts, gfloat mark_in)
{
    g_return_if_fail(ts != NULL);
    g_return_if_fail(IS_TIMELINE_SUBCLIP(ts));
    ts->mark_in = mark_in;
    redraw(ts);
}

void timeline_subclip_set_mark_out(TimelineSubclip *ts, gfloat mark_out)
{
    g_return_if_fail(ts != NULL);
    g_return_if_fail(IS_TIMELINE_SUBCLIP(ts));
    ts->mark_out = mark_out;
    redraw(ts);
}

void timeline_subclip_set_timecode_offset(TimelineSubclip *ts, gint timecode_offset)
{
    g_return_if_fail(ts != NULL);
    g_return_if_fail(IS_TIMELINE_SUBCLIP(ts));
    ts->timecode_offset = timecode_offset;
    redraw(ts);
}

void timeline_subclip_set_layout(TimelineSubclip *ts, gint f_pos, gfloat pos, gint f_marks, gfloat mark_in,
                                 gfloat mark_out, gint f_keyframes, gfloat *keyframes_pos, gint *keyframes_flag,
                                 gpointer *keyframes_data)
{
    g_return_if_fail(ts != NULL);
    g_return_if_fail(IS_TIMELINE_SUBCLIP(ts));
    if (f_pos)
        ts->pos = pos;
    if (f_marks) {
        ts->mark_in = mark_in;
        ts->mark_out = mark_out;
        ts->f_preview = 0;
    } else {
        ts->f_preview = 1;
    }
    if (f_keyframes >= 0) {
        keyframes_drop(ts);
        if (f_keyframes > 0 && keyframes_pos && keyframes_flag && keyframes_data) {
            ts->keyframes.pos = g_new(gfloat, f_keyframes);
            ts->keyframes.flag = g_new(gint, f_keyframes);
            ts->keyframes.data = g_new(gpointer, f_keyframes);
            memcpy(ts->keyframes.pos, keyframes_pos, sizeof(gfloat) * f_keyframes);
            memcpy(ts->keyframes.flag, keyframes_flag, sizeof(gint) * f_keyframes);
            memcpy(ts->keyframes.data, keyframes_data, sizeof(gpointer) * f_keyframes);
            ts->keyframes.cnt = f_keyframes;
        }
    }
    redraw(ts);
}
