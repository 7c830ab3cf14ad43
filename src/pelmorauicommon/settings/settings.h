/* IO settings dialog: shows and edits one IO server's video mode and
 * encoder, playback buffering, OSD, keyer, timecode sources and scaling,
 * and its recording buffer, audio configuration and channel map. */
#pragma once
#include <gtk/gtk.h>

#include "pelmora_settings.h"
#include "settings-aconf.h"
#include "settings-amap.h"
#include "settings-modes.h"
#include "srv.h"

typedef struct srv_settings_dialog_desc
{
    GtkWidget *playback_buffer_entry;
    GtkWidget *playback_prefill_entry;
    GtkWidget *playback_preroll_entry;
    GtkWidget *record_buffer_entry;
    GtkWidget *keyer_combo;
    GtkWidget *record_timecode_src;
    GtkWidget *playback_timecode_src;
    GtkWidget *record_bitdepth; /* built, not placed in the dialog */
    pelmora_io_mode_t **modes;
    pelmora_io_settings_t settings;
    settings_modes_ui_t modes_ui;
    settings_aconf_ui_t aconf_ui;
    settings_amap_ui_t amap_ui;
    GtkWidget *playback_consumer_noscale;
    GtkWidget *error_label; /* why the last OK did not save; hidden until then */
} srv_settings_dialog_t;

/* Runs the dialog for the IO server of srv (kept under the dialog's
 * "srv_settings_dialog_t" data while it is open). OK sends the changes and
 * closes the dialog; when the server does not take them the dialog stays
 * with the input and says why. Returns 0, -14 when the settings
 * or modes cannot be read (no dialog then), -16 while another settings
 * dialog is waiting for its server. Server calls run on a worker while the
 * main loop goes on; the caller holds the GDK lock as on any main-loop
 * callback. */
int settings_dialog(GtkWidget *parent, srv_t *srv);
