/* The network video preview widget: the picture scaled into a drawing area,
 * eight quasi-peak meters, four track buttons choosing the stereo pair
 * heard, and a volume slider. The receiving runs in the engine
 * (preview_recv); without a runtime the widget is shown empty. */
#pragma once
#include <gtk/gtk.h>

#include <mutex>

#include "idle_wrap.h"
#include "ndi_runtime.h"
#include "preview_recv.h"

typedef struct pelmora_io_preview_desc
{
    preview_recv_t *recv; /* null without a runtime */
    GtkWidget *top, *ndi_window, *qpm_window, *volume_level;
    GtkWidget *track_buttons[4];
    int volume_value; /* 0..65535 */
    int track_state;  /* 0 = no sound, 1..4 = the pair played */
    struct
    {
        idle_wrap_post_t *pic, *uv; /* a redraw of the picture, of the meters */
    } pendings;
    int64_t drawn_timestamp; /* the runtime's stamp of the frame last drawn (100 ns) */
} pelmora_io_preview_t;

/* Builds the widget for the source "... (`name`)" at `ip` and returns its
 * top box; the picture area is `width` by `height`. */
GtkWidget *pelmora_io_preview_create(const char *ip, const char *name, int width, int height);
/* Button presses on the picture go to `func` with `cookie`; -22 when
 * `widget` is not a preview. */
int pelmora_io_preview_button_press_event(GtkWidget *widget, GCallback func, gpointer cookie);
/* The context of a preview's top box or picture area, or null. */
pelmora_io_preview_t *pelmora_io_preview_get(GtkWidget *widget);
/* What a click on the button of pair `i` (1..4) does: selects it, or no
 * pair when it was selected already. */
void pelmora_io_preview_track_click(pelmora_io_preview_t *ctx, int i);
/* What moving the slider does. */
void pelmora_io_preview_volume(pelmora_io_preview_t *ctx, int value);
/* A meter's level in dB as drawn (-inf when silent or no runtime). */
double pelmora_io_preview_level(pelmora_io_preview_t *ctx, int ch);
