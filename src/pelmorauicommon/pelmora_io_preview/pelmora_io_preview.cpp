/* The preview widget: drawing the picture and the meters, the track
 * buttons and the volume slider; redraws are queued from the engine's
 * thread through idle callbacks, at most one of each kind at a time. */
#include "pelmora_io_preview.h"

#include <math.h>
#include <pango/pangocairo.h>
#include <stdio.h>
#include <string.h>

#include "gdk_unlock.h"
#include "i18n.h"
#include "ui_button_dumb.h"
#include "ui_images.h"

#define PREVIEW_KEY "pelmora_io_preview_t"
#define QPM_WIDTH 78

static const struct
{
    double level;
    int r, g, b;
} ui_level_styles[] = {
    {1, 226, 31, 35},    {0, 226, 89, 31},    {-6, 158, 226, 31}, {-12, 65, 226, 31},
    {-18, 31, 226, 184}, {-24, 31, 114, 226}, {-28, 31, 32, 226}, {-31, 103, 31, 226},
};

pelmora_io_preview_t *pelmora_io_preview_get(GtkWidget *widget)
{
    return widget ? (pelmora_io_preview_t *)g_object_get_data(G_OBJECT(widget), PREVIEW_KEY) : nullptr;
}

/* ------------------------------------------------------------------------
 * Redraws queued from the receive thread
 * ---------------------------------------------------------------------- */

static void preview_hook_picture(void *p)
{
    idle_wrap_post(((pelmora_io_preview_t *)p)->pendings.pic);
}

static void preview_hook_meters(void *p)
{
    idle_wrap_post(((pelmora_io_preview_t *)p)->pendings.uv);
}

/* ------------------------------------------------------------------------
 * Drawing
 * ---------------------------------------------------------------------- */

static gboolean preview_expose_picture(GtkWidget *w, GdkEventExpose *, gpointer p)
{
    pelmora_io_preview_t *ctx = (pelmora_io_preview_t *)p;
    if (!ctx->recv)
        return FALSE;
    ndi_video_frame_v2_t f;
    int have = preview_recv_frame_begin(ctx->recv, &f);
    int W = w->allocation.width, H = w->allocation.height;
    int stride = have ? preview_recv_frame_stride(&f) : 0;
    if (stride && W > 0 && H > 0) {
        cairo_t *cr = gdk_cairo_create(w->window);
        cairo_set_source_rgb(cr, 0.278, 0.278, 0.278);
        cairo_paint(cr);
        double aspect = f.picture_aspect_ratio > 0 ? f.picture_aspect_ratio : (double)f.xres / f.yres;
        double par = aspect * f.yres / f.xres;
        double sy = fmin((double)H / f.yres, W / (f.xres * par)), sx = par * sy;
        cairo_surface_t *sf = cairo_image_surface_create_for_data(f.p_data, CAIRO_FORMAT_RGB24, f.xres, f.yres, stride);
        if (cairo_surface_status(sf) == CAIRO_STATUS_SUCCESS) {
            cairo_translate(cr, (W - (int)(f.xres * sx)) / 2, (H - (int)(f.yres * sy)) / 2);
            cairo_scale(cr, sx, sy);
            cairo_set_source_surface(cr, sf, 0, 0);
            cairo_paint(cr);
            ctx->drawn_timestamp = f.timestamp;
        }
        cairo_surface_destroy(sf);
        cairo_identity_matrix(cr);
        /* The source has stopped sending: the last picture, dimmed, says so
         * rather than passing for the channel now. */
        if (preview_recv_stale(ctx->recv)) {
            cairo_set_source_rgba(cr, 0, 0, 0, 0.6);
            cairo_paint(cr);
            PangoLayout *layout = pango_cairo_create_layout(cr);
            PangoFontDescription *fd = pango_font_description_from_string("Sans Bold 14");
            pango_layout_set_font_description(layout, fd);
            pango_layout_set_text(layout, _("NO PICTURE"), -1);
            int tw = 0, th = 0;
            pango_layout_get_pixel_size(layout, &tw, &th);
            cairo_move_to(cr, (W - tw) / 2, (H - th) / 2);
            cairo_set_source_rgb(cr, 1, 0.25, 0.25);
            pango_cairo_show_layout(cr, layout);
            pango_font_description_free(fd);
            g_object_unref(layout);
        }
        cairo_destroy(cr);
    }
    preview_recv_frame_end(ctx->recv, &f);
    return TRUE;
}

double pelmora_io_preview_level(pelmora_io_preview_t *ctx, int ch)
{
    if (!ctx || !ctx->recv || ch < 0 || ch >= PREVIEW_METERS)
        return -HUGE_VAL;
    return ctx->recv->qpm_levels[ch];
}

static gboolean preview_expose_meters(GtkWidget *w, GdkEventExpose *, gpointer p)
{
    pelmora_io_preview_t *ctx = (pelmora_io_preview_t *)p;
    int H = w->allocation.height;
    if (H <= 0)
        return TRUE;
    cairo_t *cr = gdk_cairo_create(w->window);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0.14453125, 0.14453125, 0.14453125);
    cairo_rectangle(cr, 0, 0, 64, H);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.125, 0.125, 0.125);
    cairo_rectangle(cr, 64, 0, 14, H);
    cairo_fill(cr);
    double levels[PREVIEW_METERS];
    for (int ch = 0; ch < PREVIEW_METERS; ch++)
        levels[ch] = pelmora_io_preview_level(ctx, ch);
    int pair = ctx->track_state;
    for (int h = 0; h < H; h += 4) {
        double db = 1 - 32.0 * h / H;
        int i = 0;
        while (i < 6 && db < ui_level_styles[i + 1].level)
            i++;
        const auto &a = ui_level_styles[i], &b = ui_level_styles[i + 1];
        double t = (a.level - db) / (a.level - b.level);
        double rgb[3] = {(a.r + (b.r - a.r) * t) / 256, (a.g + (b.g - a.g) * t) / 256, (a.b + (b.b - a.b) * t) / 256};
        for (int ch = 0; ch < PREVIEW_METERS; ch++) {
            double div = db > levels[ch] ? 5 : (pair && (ch / 2 + 1) != pair) ? 2 : 1;
            cairo_set_source_rgb(cr, rgb[0] / div, rgb[1] / div, rgb[2] / div);
            cairo_rectangle(cr, 8 * ch, h, 7, 3);
            cairo_fill(cr);
        }
    }
    PangoLayout *layout = pango_cairo_create_layout(cr);
    PangoFontDescription *fd = pango_font_description_from_string("Sans 8");
    pango_layout_set_font_description(layout, fd);
    cairo_set_source_rgb(cr, 0.33203125, 0.33203125, 0.33203125);
    static const int marks[] = {0, -6, -12, -18, -24, -28};
    for (int m : marks) {
        char txt[16];
        snprintf(txt, sizeof(txt), "%d", m);
        pango_layout_set_text(layout, txt, -1);
        int tw, th;
        pango_layout_get_pixel_size(layout, &tw, &th);
        double y = (1 - m) * H / 32.0;
        cairo_move_to(cr, QPM_WIDTH - tw, y - th / 2.0);
        pango_cairo_show_layout(cr, layout);
    }
    pango_font_description_free(fd);
    g_object_unref(layout);
    cairo_destroy(cr);
    return TRUE;
}

/* ------------------------------------------------------------------------
 * Controls
 * ---------------------------------------------------------------------- */

static void preview_restyle(pelmora_io_preview_t *ctx)
{
    for (int i = 0; i < 4; i++)
        if (ctx->track_buttons[i])
            ui_button_dumb_set_style(ctx->track_buttons[i], ctx->track_state == i + 1 ? i + 1 : 0);
    if (ctx->qpm_window)
        gtk_widget_queue_draw(ctx->qpm_window);
}

void pelmora_io_preview_track_click(pelmora_io_preview_t *ctx, int i)
{
    if (!ctx || i < 1 || i > 4)
        return;
    ctx->track_state = ctx->track_state == i ? 0 : i;
    if (ctx->recv)
        ctx->recv->track_state = ctx->track_state;
    preview_restyle(ctx);
}

static gboolean preview_track_cb(GtkWidget *w, GdkEventButton *, gpointer p)
{
    pelmora_io_preview_t *ctx = (pelmora_io_preview_t *)p;
    for (int i = 0; i < 4; i++)
        if (ctx->track_buttons[i] == w)
            pelmora_io_preview_track_click(ctx, i + 1);
    return TRUE;
}

void pelmora_io_preview_volume(pelmora_io_preview_t *ctx, int value)
{
    if (!ctx)
        return;
    ctx->volume_value = value < 0 ? 0 : value > 65535 ? 65535 : value;
    preview_recv_volume(ctx->recv, ctx->volume_value);
}

static void preview_volume_cb(GtkRange *range, gpointer p)
{
    pelmora_io_preview_volume((pelmora_io_preview_t *)p, (int)gtk_range_get_value(range));
}

/* ------------------------------------------------------------------------
 * Life cycle
 * ---------------------------------------------------------------------- */

/* The context goes with the picture area; siblings that outlive it, even
 * briefly, forget it first. */
static void preview_detach(pelmora_io_preview_t *ctx)
{
    GtkWidget **ws[] = {&ctx->qpm_window,       &ctx->volume_level,     &ctx->track_buttons[0],
                        &ctx->track_buttons[1], &ctx->track_buttons[2], &ctx->track_buttons[3]};
    for (size_t i = 0; i < G_N_ELEMENTS(ws); i++)
        if (GtkWidget *w = *ws[i]) {
            g_signal_handlers_disconnect_matched(w, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, ctx);
            g_signal_handlers_disconnect_matched(w, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, ws[i]);
            if (i >= 2)
                ui_button_dumb_cb_click(w, nullptr, nullptr);
        }
    if (ctx->top)
        g_signal_handlers_disconnect_matched(ctx->top, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, &ctx->top);
    if (ctx->top)
        g_object_set_data(G_OBJECT(ctx->top), PREVIEW_KEY, nullptr);
}

static void preview_release_empty(gpointer p)
{
    pelmora_io_preview_t *ctx = (pelmora_io_preview_t *)p;
    idle_wrap_post_free(ctx->pendings.pic);
    idle_wrap_post_free(ctx->pendings.uv);
    preview_detach(ctx);
    delete ctx;
}

static void preview_release(gpointer p)
{
    pelmora_io_preview_t *ctx = (pelmora_io_preview_t *)p;
    fprintf(stderr, "%s: enter\n", __FUNCTION__);
    ctx->recv->f_exit = 1;
    /* The thread ends before anything it uses goes. */
    preview_recv_stop(ctx->recv);
    ctx->recv = nullptr;
    preview_release_empty(ctx);
    fprintf(stderr, "%s: exit\n", __FUNCTION__);
}

GtkWidget *pelmora_io_preview_create(const char *ip, const char *name, int width, int height)
{
    pelmora_io_preview_t *ctx = new pelmora_io_preview_t();
    ctx->recv = nullptr;
    /* The receive thread's redraws, at most one of each kind queued; the
     * GDK lock is taken around the widget work. */
    ctx->pendings.pic =
        idle_wrap_post_new([ctx] { gtk_widget_queue_draw(ctx->ndi_window); }, &gdk_idle_lock, G_PRIORITY_DEFAULT_IDLE);
    ctx->pendings.uv =
        idle_wrap_post_new([ctx] { gtk_widget_queue_draw(ctx->qpm_window); }, &gdk_idle_lock, G_PRIORITY_DEFAULT_IDLE);
    ctx->drawn_timestamp = 0;
    ctx->track_state = 1;
    ctx->volume_value = 32768;
    memset(ctx->track_buttons, 0, sizeof(ctx->track_buttons));
    width = width < 1 ? 1 : width;
    height = height < 17 ? 17 : height;

    ctx->top = gtk_hbox_new(FALSE, 0);
    ctx->ndi_window = gtk_drawing_area_new();
    gtk_widget_set_size_request(ctx->ndi_window, width, height);
    gtk_widget_set_app_paintable(ctx->ndi_window, TRUE);
    gtk_box_pack_start(GTK_BOX(ctx->top), ctx->ndi_window, FALSE, FALSE, 0);
    g_signal_connect(ctx->ndi_window, "expose-event", G_CALLBACK(preview_expose_picture), ctx);

    GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(ctx->top), vbox, FALSE, FALSE, 0);
    ctx->qpm_window = gtk_drawing_area_new();
    gtk_widget_set_size_request(ctx->qpm_window, QPM_WIDTH, height - 16);
    gtk_box_pack_start(GTK_BOX(vbox), ctx->qpm_window, FALSE, FALSE, 0);
    g_signal_connect(ctx->qpm_window, "expose-event", G_CALLBACK(preview_expose_meters), ctx);
    GtkWidget *row = gtk_hbox_new(FALSE, 0);
    gtk_box_pack_end(GTK_BOX(vbox), row, FALSE, FALSE, 0);
    for (int i = 0; i < 4; i++) {
        GtkWidget *b = ui_button_dumb_create_from_tile(0, 5, inline_pelmora_io_preview_audio_pairs_button);
        if (!b)
            continue;
        ctx->track_buttons[i] = b;
        ui_button_dumb_cb_click(b, preview_track_cb, ctx);
        gtk_box_pack_start(GTK_BOX(row), b, FALSE, FALSE, 0);
    }

    ctx->volume_level = gtk_vscale_new_with_range(0, 65535, 1);
    gtk_range_set_inverted(GTK_RANGE(ctx->volume_level), TRUE);
    gtk_scale_set_draw_value(GTK_SCALE(ctx->volume_level), FALSE);
    gtk_widget_set_can_focus(ctx->volume_level, FALSE);
    gtk_range_set_value(GTK_RANGE(ctx->volume_level), ctx->volume_value);
    g_signal_connect(ctx->volume_level, "value-changed", G_CALLBACK(preview_volume_cb), ctx);
    gtk_box_pack_end(GTK_BOX(ctx->top), ctx->volume_level, FALSE, FALSE, 0);
    preview_restyle(ctx);

    g_object_set_data(G_OBJECT(ctx->top), PREVIEW_KEY, ctx);
    GtkWidget **ws[] = {&ctx->top,
                        &ctx->qpm_window,
                        &ctx->volume_level,
                        &ctx->track_buttons[0],
                        &ctx->track_buttons[1],
                        &ctx->track_buttons[2],
                        &ctx->track_buttons[3]};
    for (GtkWidget **w : ws)
        if (*w)
            g_signal_connect(*w, "destroy", G_CALLBACK(gtk_widget_destroyed), w);
    preview_recv_hooks_t hooks = {preview_hook_picture, preview_hook_meters, ctx};
    /* Without a runtime no thread starts: an empty picture, silent meters. */
    ctx->recv = preview_recv_start(ip, name, &hooks, ctx->volume_value);
    g_object_set_data_full(G_OBJECT(ctx->ndi_window), PREVIEW_KEY, ctx,
                           ctx->recv ? preview_release : preview_release_empty);
    gtk_widget_show_all(ctx->top);
    return ctx->top;
}

int pelmora_io_preview_button_press_event(GtkWidget *widget, GCallback func, gpointer cookie)
{
    pelmora_io_preview_t *ctx = pelmora_io_preview_get(widget);
    if (!ctx)
        return -22;
    gtk_widget_add_events(ctx->ndi_window, GDK_BUTTON_PRESS_MASK);
    g_signal_connect(ctx->ndi_window, "button-press-event", func, cookie);
    return 0;
}
