/* Recording audio configuration selector. */
#include "settings-aconf.h"

#include "pelmora_settings.h"
#include "settings-modes.h"

#include "i18n.h"

GtkWidget *settings_aconf_ui_create(settings_aconf_ui_t *ctx, int sel)
{
    GtkWidget *box = gtk_vbox_new(FALSE, 2);
    ctx->achannels_combo = settings_ui_labelled(box, _("Recording audio conf:"), gtk_combo_box_new_text());
    int n = pelmora_settings_get_record_channels_conf_cnt();
    for (int i = 0; i < n; i++)
        gtk_combo_box_append_text(GTK_COMBO_BOX(ctx->achannels_combo), pelmora_settings_get_record_channels_conf(i));
    gtk_combo_box_set_active(GTK_COMBO_BOX(ctx->achannels_combo), sel >= 0 && sel < n ? sel : -1);
    return box;
}
