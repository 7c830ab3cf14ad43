/* Recording audio configuration selector: the eight configurations of the
 * IO settings in index order. */
#pragma once
#include <gtk/gtk.h>

typedef struct settings_aconf_ui_desc
{
    GtkWidget *achannels_combo;
} settings_aconf_ui_t;

GtkWidget *settings_aconf_ui_create(settings_aconf_ui_t *ctx, int sel);
