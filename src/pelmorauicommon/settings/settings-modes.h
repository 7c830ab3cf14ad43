/* Video mode and codec selector (with an optional OSD choice), shared by
 * the IO settings dialog and the transcoder dialog. */
#pragma once
#include <gtk/gtk.h>

#include "pelmora_settings.h"

typedef struct settings_modes_ui_desc
{
    GtkWidget *encs_combo;
    GtkWidget *modes_combo;
    GtkWidget *osds_combo;     /* optional: set it before create to have it filled */
    pelmora_io_mode_t **modes; /* not owned */
    int encs_combo_map[512];   /* encoder idx of each codec row */
} settings_modes_ui_t;

GtkWidget *settings_modes_ui_create(settings_modes_ui_t *ctx, pelmora_io_mode_t **modes, const char *mode_name,
                                    const char *enc_name, const char *osd_name);
void settings_modes_ui_codec_combo_refill(settings_modes_ui_t *ctx, const char *enc_name, const char *osd_name);

/* Packs a left-aligned label and the widget under it into box; returns the widget. */
GtkWidget *settings_ui_labelled(GtkWidget *box, const char *text, GtkWidget *w);
