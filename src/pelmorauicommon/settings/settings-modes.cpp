/* Video mode and codec selector: the mode choice refills the codec and OSD
 * choices of the selected mode. */
#include "settings-modes.h"

#include <string.h>

#include "i18n.h"

namespace {

int mode_count(pelmora_io_mode_t **modes)
{
    int n = 0;
    while (modes && modes[n])
        n++;
    return n;
}

void clear_combo(GtkWidget *combo)
{
    gtk_list_store_clear(GTK_LIST_STORE(gtk_combo_box_get_model(GTK_COMBO_BOX(combo))));
}

void on_mode_changed(GtkComboBox *, gpointer data)
{
    settings_modes_ui_codec_combo_refill((settings_modes_ui_t *)data, nullptr, nullptr);
}

} // namespace

GtkWidget *settings_ui_labelled(GtkWidget *box, const char *text, GtkWidget *w)
{
    GtkWidget *l = gtk_label_new(text);
    gtk_misc_set_alignment(GTK_MISC(l), 0, 0.5);
    gtk_box_pack_start(GTK_BOX(box), l, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), w, FALSE, FALSE, 0);
    return w;
}

GtkWidget *settings_modes_ui_create(settings_modes_ui_t *ctx, pelmora_io_mode_t **modes, const char *mode_name,
                                    const char *enc_name, const char *osd_name)
{
    ctx->modes = modes;
    GtkWidget *box = gtk_vbox_new(FALSE, 2);
    ctx->modes_combo = settings_ui_labelled(box, _("TV Mode:"), gtk_combo_box_new_text());
    ctx->encs_combo = settings_ui_labelled(box, _("Format/Codec:"), gtk_combo_box_new_text());
    int n = mode_count(modes), sel = 0;
    for (int i = 0; i < n; i++) {
        gtk_combo_box_append_text(GTK_COMBO_BOX(ctx->modes_combo), modes[i]->desc[0] ? modes[i]->desc : modes[i]->name);
        if (mode_name && !strcmp(modes[i]->name, mode_name))
            sel = i;
    }
    if (n)
        gtk_combo_box_set_active(GTK_COMBO_BOX(ctx->modes_combo), sel);
    settings_modes_ui_codec_combo_refill(ctx, enc_name, osd_name);
    g_signal_connect(ctx->modes_combo, "changed", G_CALLBACK(on_mode_changed), ctx);
    return box;
}

void settings_modes_ui_codec_combo_refill(settings_modes_ui_t *ctx, const char *enc_name, const char *osd_name)
{
    int n = mode_count(ctx->modes);
    int mi = gtk_combo_box_get_active(GTK_COMBO_BOX(ctx->modes_combo));
    if (mi < 0)
        mi = 0;
    pelmora_io_mode_t *m = mi < n ? ctx->modes[mi] : nullptr;

    clear_combo(ctx->encs_combo);
    memset(ctx->encs_combo_map, 0, sizeof(ctx->encs_combo_map));
    int sel = -1, cnt = m ? m->enc_cnt : 0;
    if (cnt > 512)
        cnt = 512;
    for (int i = 0; i < cnt; i++) {
        pelmora_io_enc_t *e = m->enc[i];
        gtk_combo_box_append_text(GTK_COMBO_BOX(ctx->encs_combo), e->desc[0] ? e->desc : e->name);
        ctx->encs_combo_map[i] = e->idx;
        if (sel < 0 && enc_name && !strcmp(e->name, enc_name))
            sel = i;
    }
    if (cnt)
        gtk_combo_box_set_active(GTK_COMBO_BOX(ctx->encs_combo), sel < 0 ? 0 : sel);

    if (!ctx->osds_combo)
        return;
    clear_combo(ctx->osds_combo);
    gtk_combo_box_append_text(GTK_COMBO_BOX(ctx->osds_combo), _("<none>"));
    sel = 0;
    for (int i = 0; m && i < m->osd_cnt; i++) {
        gtk_combo_box_append_text(GTK_COMBO_BOX(ctx->osds_combo), m->osd[i]);
        if (!sel && osd_name && osd_name[0] && !strcmp(m->osd[i], osd_name))
            sel = i + 1;
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(ctx->osds_combo), sel);
}
