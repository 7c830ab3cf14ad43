/* IO settings dialog: reads the modes and settings, shows them, and sends
 * what the operator accepted. Server calls go out on a worker thread while
 * the main thread waits in a nested main loop, so clocks and buses go on. */
#include "settings.h"

#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "gdk_unlock.h"
#include "pelmora.h"
#include "strl.h"
#include "ui_dlg.h"

#include "i18n.h"

namespace {

int busy = 0;

GtkWidget *frame_box(GtkWidget *row, const char *title)
{
    GtkWidget *f = gtk_frame_new(title);
    gtk_box_pack_start(GTK_BOX(row), f, TRUE, TRUE, 0);
    GtkWidget *box = gtk_vbox_new(FALSE, 2);
    gtk_container_set_border_width(GTK_CONTAINER(box), 2);
    gtk_container_add(GTK_CONTAINER(f), box);
    return box;
}

GtkWidget *labelled(GtkWidget *box, const char *text, GtkWidget *w)
{
    return settings_ui_labelled(box, text, w);
}

GtkWidget *entry(const char *value)
{
    GtkWidget *e = gtk_entry_new_with_max_length(5);
    gtk_entry_set_text(GTK_ENTRY(e), value);
    return e;
}

GtkWidget *choice(const char *const *texts, int n, bool translate, int sel)
{
    GtkWidget *c = gtk_combo_box_new_text();
    for (int i = 0; i < n; i++)
        gtk_combo_box_append_text(GTK_COMBO_BOX(c), translate ? _(texts[i]) : texts[i]);
    gtk_combo_box_set_active(GTK_COMBO_BOX(c), sel >= 0 && sel < n ? sel : -1);
    return c;
}

int num(const char *s)
{
    int v = -1;
    return sscanf(s, "%d", &v) == 1 ? v : -1;
}

/* A buffer length as the server keeps it: a whole number 0..99999, digits
 * only (no sign, no blank). The empty text is handled by the caller. */
bool whole_number(const char *t)
{
    size_t n = strlen(t);
    if (n < 1 || n > 5)
        return false;
    for (size_t i = 0; i < n; i++)
        if (t[i] < '0' || t[i] > '9')
            return false;
    return true;
}

/* The numeric entries, each either empty (the setting stays as it is) or a
 * whole number. The first one that is neither is tinted, focused and said
 * in why; nothing may be sent then. */
bool check_numbers(srv_settings_dialog_t *d, std::string *why)
{
    const struct
    {
        GtkWidget *entry;
        const char *name;
    } numbers[] = {
        {d->record_buffer_entry, _("Recording buffer len")},
        {d->playback_buffer_entry, _("Playback buffer len")},
        {d->playback_prefill_entry, _("Playback prefill len")},
        {d->playback_preroll_entry, _("Playback preroll len")},
    };
    GdkColor pink;
    gdk_color_parse("#ffd0d0", &pink);
    for (const auto &n : numbers)
        gtk_widget_modify_base(n.entry, GTK_STATE_NORMAL, nullptr);
    for (const auto &n : numbers) {
        const char *t = gtk_entry_get_text(GTK_ENTRY(n.entry));
        if (!t[0] || whole_number(t))
            continue;
        gchar *text = g_strdup_printf(_("%s: %s is not a whole number from 0 to 99999 (leave it empty to keep the "
                                        "server's value). Nothing was sent."),
                                      n.name, t);
        *why = text;
        g_free(text);
        gtk_widget_modify_base(n.entry, GTK_STATE_NORMAL, &pink);
        gtk_widget_grab_focus(n.entry);
        gtk_editable_select_region(GTK_EDITABLE(n.entry), 0, -1);
        return false;
    }
    return true;
}

/* One call of the apply sequence: a value, the mode, or the save. */
struct apply_op
{
    char kind; /* 'v', 'm', 's' */
    std::string name, value;
    int mode = 0, enc = 0;
};

void add_value(std::vector<apply_op> &ops, const char *name, const std::string &value)
{
    ops.push_back({'v', name, value});
}

void add_entry(std::vector<apply_op> &ops, const char *name, GtkWidget *e)
{
    const char *t = gtk_entry_get_text(GTK_ENTRY(e));
    /* An empty entry leaves the server's value alone. */
    if (t && t[0])
        add_value(ops, name, t);
}

std::string active(GtkWidget *combo)
{
    int i = gtk_combo_box_get_active(GTK_COMBO_BOX(combo));
    return std::to_string(i < 0 ? 0 : i);
}

/* What the operator accepted, in the order the server takes it. */
std::vector<apply_op> collect(srv_settings_dialog_t *d)
{
    std::vector<apply_op> ops;
    add_entry(ops, "playback_consumer_buffer", d->playback_buffer_entry);
    add_entry(ops, "record_producer_buffer", d->record_buffer_entry);
    add_value(ops, "record_timecode_src", active(d->record_timecode_src));
    add_value(ops, "playback_timecode_src", active(d->playback_timecode_src));
    add_value(ops, "playback_consumer_noscale", active(d->playback_consumer_noscale));
    add_value(ops, "record_bitdepth",
              gtk_combo_box_get_active(GTK_COMBO_BOX(d->record_bitdepth)) == 1 ? std::string("10") : "8");
    add_entry(ops, "playback_consumer_prefill", d->playback_prefill_entry);
    add_entry(ops, "playback_consumer_preroll", d->playback_preroll_entry);
    int mi = gtk_combo_box_get_active(GTK_COMBO_BOX(d->modes_ui.modes_combo));
    int ei = gtk_combo_box_get_active(GTK_COMBO_BOX(d->modes_ui.encs_combo));
    if (mi >= 0 && ei >= 0 && ei < 512) {
        apply_op m{'m', "", ""};
        m.mode = mi;
        m.enc = d->modes_ui.encs_combo_map[ei];
        ops.push_back(m);
    }
    add_value(ops, "record_channels_conf", active(d->aconf_ui.achannels_combo));
    char map[260];
    add_value(ops, "record_channels_map", settings_amap_get(&d->amap_ui, map, sizeof map));
    int oi = gtk_combo_box_get_active(GTK_COMBO_BOX(d->modes_ui.osds_combo));
    std::string osd;
    if (oi > 0 && d->modes && mi >= 0) {
        int n = 0;
        while (d->modes[n])
            n++;
        if (mi < n && oi - 1 < d->modes[mi]->osd_cnt)
            osd = d->modes[mi]->osd[oi - 1];
    }
    add_value(ops, "playback_osd", osd);
    add_value(ops, "keyer", active(d->keyer_combo));
    ops.push_back({'s', "", ""});
    return ops;
}

/* Sends the changes in order and stops at the first the server does not
 * take (a server that is gone would otherwise cost a time-out per change).
 * Returns 0, or the failure with what failed in *what. */
int apply_ops(const char *url, const std::vector<apply_op> &ops, std::string *what)
{
    for (const auto &op : ops) {
        int r = op.kind == 'v'   ? pelmora_io_settings_set_value(url, op.name.c_str(), op.value.c_str())
                : op.kind == 'm' ? pelmora_io_settings_set_mode(url, op.mode, op.enc)
                                 : pelmora_io_settings_save(url);
        if (r < 0) {
            *what = op.kind == 'v' ? op.name : op.kind == 'm' ? "mode" : "save";
            g_warning("%s: %s [%s] failed, r=%d", "settings_dialog", op.kind == 'v' ? "set" : what->c_str(),
                      op.name.c_str(), r);
            return r;
        }
    }
    return 0;
}

GtkWidget *build(srv_settings_dialog_t *d, const char *host)
{
    static const char *const rec_tc[] = {"VITC", "Local Time", "LTC", "Custom"};
    static const char *const keyers[] = {"None", "Internal", "External"};
    static const char *const play_tc[] = {"Item Position",        "Playlist Position",        "Timecode+Item Position",
                                          "Preset+Item Position", "Preset+Playlist Position", "OriginIn+Item Position"};
    static const char *const scales[] = {"Normal", "No Scale"};
    static const char *const depths[] = {"8-bit", "10-bit"};
    pelmora_io_settings_t *s = &d->settings;

    GtkWidget *dlg = gtk_dialog_new_with_buttons(_("Channel settings"), nullptr, GTK_DIALOG_MODAL, GTK_STOCK_OK,
                                                 GTK_RESPONSE_ACCEPT, GTK_STOCK_CANCEL, GTK_RESPONSE_REJECT, NULL);
    gtk_dialog_set_default_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
    /* Which server these settings are of: the title is the same for all. */
    gchar *which = g_strdup_printf(_("IO server: %s"), host);
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dlg)->vbox), gtk_label_new(which), FALSE, FALSE, 4);
    g_free(which);
    GtkWidget *row = gtk_hbox_new(TRUE, 2);
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dlg)->vbox), row, TRUE, TRUE, 0);

    GtkWidget *video = frame_box(row, _("Video mode settings"));
    GtkWidget *rec = frame_box(row, _("Recording settings"));
    GtkWidget *play = frame_box(row, _("Playback settings"));

    /* The OSD choice sits with playback but is filled by the mode selector. */
    d->modes_ui.osds_combo = gtk_combo_box_new_text();
    gtk_box_pack_start(GTK_BOX(video),
                       settings_modes_ui_create(&d->modes_ui, d->modes, s->mode, s->enc, s->playback_osd), FALSE, FALSE,
                       0);

    gtk_box_pack_start(GTK_BOX(rec), settings_aconf_ui_create(&d->aconf_ui, s->record_channels_conf), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(rec), settings_amap_ui_create(&d->amap_ui, s->record_channels_map), FALSE, FALSE, 0);
    d->record_buffer_entry = labelled(rec, _("Buffer len:"), entry(s->record_producer_buffer));
    d->record_timecode_src =
        labelled(rec, _("Timecode source:"), choice(rec_tc, 4, false, num(s->record_timecode_src)));

    d->playback_buffer_entry = labelled(play, _("Buffer len:"), entry(s->playback_consumer_buffer));
    d->playback_prefill_entry = labelled(play, _("Prefill len:"), entry(s->playback_consumer_prefill));
    d->playback_preroll_entry = labelled(play, _("Preroll len:"), entry(s->playback_consumer_preroll));
    labelled(play, _("OSD:"), d->modes_ui.osds_combo);
    d->keyer_combo = labelled(play, _("KEYER:"), choice(keyers, 3, true, s->keyer));
    d->playback_timecode_src =
        labelled(play, _("Timecode source:"), choice(play_tc, 6, true, num(s->playback_timecode_src)));
    d->playback_consumer_noscale =
        labelled(play, _("Scale mode:"), choice(scales, 2, true, num(s->playback_consumer_noscale)));

    d->record_bitdepth = choice(depths, 2, false, !strcmp(s->record_bitdepth, "10") ? 1 : 0);
    g_object_ref_sink(d->record_bitdepth);

    /* Why the last OK did not save, in the dialog itself. */
    d->error_label = gtk_label_new("");
    gtk_label_set_line_wrap(GTK_LABEL(d->error_label), TRUE);
    gtk_box_pack_end(GTK_BOX(GTK_DIALOG(dlg)->vbox), d->error_label, FALSE, FALSE, 4);

    g_object_set_data(G_OBJECT(dlg), "srv_settings_dialog_t", d);
    ui_dlg_fit_screen(dlg, nullptr);
    gtk_widget_show_all(dlg);
    gtk_widget_hide(d->error_label);
    return dlg;
}

} // namespace

int settings_dialog(GtkWidget *parent, srv_t *srv)
{
    (void)parent; /* the dialog stands on its own, as the console's others */
    if (busy)
        return -16;
    busy = 1;
    srv_settings_dialog_t *d = g_new0(srv_settings_dialog_t, 1);
    std::string url = srv->url;
    int rm = -14, rs = -14;
    gdk_off_main([&] {
        rm = pelmora_io_settings_get_modes(url.c_str(), &d->modes);
        if (rm >= 0)
            rs = pelmora_io_settings_get(url.c_str(), &d->settings);
    });
    if (rm < 0 || rs < 0) {
        g_warning("%s: cannot read the settings of %s (modes %d, settings %d)", __func__, srv->host, rm, rs);
        if (d->modes)
            pelmora_io_settings_free_modes(&d->modes);
        g_free(d);
        busy = 0;
        return -14;
    }

    GtkWidget *dlg = build(d, srv->host);
    /* A change the server does not take keeps the dialog open with the
     * operator's input, says why, and OK may be pressed again. */
    while (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_ACCEPT) {
        std::string refused;
        if (!check_numbers(d, &refused)) {
            g_warning("%s: refused: %s", __func__, refused.c_str());
            gtk_label_set_text(GTK_LABEL(d->error_label), refused.c_str());
            gtk_widget_show(d->error_label);
            continue;
        }
        std::vector<apply_op> ops = collect(d);
        std::string what;
        int r = 0;
        gtk_widget_set_sensitive(dlg, FALSE);
        gdk_off_main([&] { r = apply_ops(url.c_str(), ops, &what); });
        gtk_widget_set_sensitive(dlg, TRUE);
        if (r >= 0)
            break;
        char *why = g_strdup_printf(_("Not saved: %s did not take %s (%s). Nothing you entered is lost; press OK to "
                                      "try again."),
                                    srv->host, what.c_str(), pelmora_result_text(r));
        gtk_label_set_text(GTK_LABEL(d->error_label), why);
        g_free(why);
        gtk_widget_show(d->error_label);
    }
    gtk_widget_destroy(dlg);
    g_object_unref(d->record_bitdepth);
    pelmora_io_settings_free_modes(&d->modes);
    g_free(d);
    busy = 0;
    return 0;
}
