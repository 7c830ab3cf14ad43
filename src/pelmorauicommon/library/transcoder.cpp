/* Transcoder list, transcode settings and loudness dialogs (see transcoder.h). */
#include "transcoder.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "library_select.h"
#include "library_ui.h"
#include "pelmora_settings.h"
#include "settings/settings-aconf.h"
#include "settings/settings-amap.h"
#include "settings/settings-modes.h"
#include "strl.h"
#include "transfer_jobs.h"
#include "ui_dlg.h"
#include "ui_tools.h"

#include "i18n.h"

enum
{
    TC_ID = 0,
    TC_STATE,
    TC_SRC,
    TC_PROFILE,
    TC_IN,
    TC_DUR,
    TC_TIMECODE,
    TC_OSD,
    TC_DST,
    TC_ACONF,
    TC_AMAP,
    TC_COMMENT,
    TC_TRANSFER,
    TC_UPDATED,
    TC_CREATED,
    TC_POS,
    TC_JOB,
    TC_BG,
    TC_BG_V,
    TC_FG,
    TC_FG_V,
};

static const ui_column_desc transcoder_columns[] = {
    {TC_ID, "ID", G_TYPE_STRING},
    {TC_STATE, "STATE", G_TYPE_OBJECT},
    {TC_SRC, "SRC", G_TYPE_STRING},
    {TC_PROFILE, "PROFILE", G_TYPE_STRING},
    {TC_IN, "IN", G_TYPE_STRING},
    {TC_DUR, "DUR", G_TYPE_STRING},
    {TC_TIMECODE, "TIMECODE", G_TYPE_STRING},
    {TC_OSD, "OSD", G_TYPE_STRING},
    {TC_DST, "DST", G_TYPE_STRING},
    {TC_ACONF, "A.CONF", G_TYPE_STRING},
    {TC_AMAP, "A.MAP", G_TYPE_STRING},
    {TC_COMMENT, "COMMENT", G_TYPE_STRING},
    {TC_TRANSFER, "TRANSFER", G_TYPE_STRING},
    {TC_UPDATED, "UPDATED", G_TYPE_STRING},
    {TC_CREATED, "CREATED", G_TYPE_STRING},
    {TC_POS, nullptr, G_TYPE_INT},
    {TC_JOB, nullptr, G_TYPE_INT},
    {TC_BG, nullptr, G_TYPE_BOOLEAN},
    {TC_BG_V, nullptr, G_TYPE_STRING},
    {TC_FG, nullptr, G_TYPE_BOOLEAN},
    {TC_FG_V, nullptr, G_TYPE_STRING},
    {-1, nullptr, G_TYPE_NONE},
};

static const char *const transcoder_icon_names[5] = {"transcoder_state_pending", "transcoder_state_started",
                                                     "transcoder_state_done", "transcoder_state_error",
                                                     "transcoder_state_cancel"};
static const char *const transcoder_icon_stock[5] = {"gtk-media-pause", "gtk-media-play", "gtk-apply",
                                                     "gtk-dialog-error", "gtk-cancel"};

static const char *const transcoder_buttons[4] = {
    "button_library_transcoder_refresh", "button_library_transcoder_restart", "button_library_transcoder_delete",
    "button_library_transcoder_cancel"};

static int transcoder_fetch(const char *url, int limit, void **records)
{
    *records = calloc((size_t)limit, sizeof(pelmora_filetranscoder_request_t));
    if (!*records)
        return -12;
    return pelmora_filetranscoder_requests_list(url, -1, 0, limit, (pelmora_filetranscoder_request_t *)*records);
}

static void transcoder_fill(GtkListStore *store, GtkTreeIter *it, const void *records, int pos, GdkPixbuf *const *icons)
{
    const pelmora_filetranscoder_request_t *r = (const pelmora_filetranscoder_request_t *)records + pos;
    char id[16], comment[300], up[32], cr[32], amap[65] = "";
    snprintf(id, sizeof(id), "%d", r->id);
    /* A configuration the server made up shows as "<unknown>", not blank. */
    const char *aconf = pelmora_settings_get_record_channels_conf(r->audio_conf);
    pelmora_settings_record_map_build(amap, sizeof(amap), r->audio_conf, r->audio_map);
    gtk_list_store_set(store, it, TC_ID, id, TC_STATE, icons[library_job_state_icon(r->state)], TC_SRC,
                       library_transcoder_src_text(r), TC_PROFILE, r->profile, TC_IN, r->in, TC_DUR, r->dur,
                       TC_TIMECODE, r->timecode, TC_OSD, r->osd, TC_DST, r->dst.object, TC_ACONF, aconf ? aconf : "",
                       TC_AMAP, amap, TC_COMMENT,
                       library_job_comment(r->state, r->progress, r->error, comment, sizeof(comment)), TC_TRANSFER,
                       r->transfer_target, TC_UPDATED, library_job_time(r->updated, up, sizeof(up)), TC_CREATED,
                       library_job_time(r->created, cr, sizeof(cr)), TC_POS, pos, TC_JOB, r->id, -1);
}

static int transcoder_control(const char *url, char op, int id)
{
    return op == 'c'   ? pelmora_filetranscoder_request_cancel(url, id)
           : op == 'r' ? pelmora_filetranscoder_request_restart(url, id)
                       : pelmora_filetranscoder_request_del(url, id);
}

static const library_job_kind_t *transcoder_kind(void)
{
    static library_job_kind_t k;
    if (!k.title) {
        k.title = _("TRANSCODER LIST");
        k.list_name = "transcoder_list_%d";
        k.button_names = transcoder_buttons;
        k.button_ids[0] = 16;
        k.button_ids[1] = 19;
        k.button_ids[2] = 17;
        k.button_ids[3] = 18;
        k.slot_window = LIBRARY_UI_TRANSCODER_WINDOW;
        k.slot_list = LIBRARY_UI_TRANSCODER_LIST;
        k.slot_buttons[0] = LIBRARY_UI_BUTTON_TRANSCODER_REFRESH;
        k.slot_buttons[1] = LIBRARY_UI_BUTTON_TRANSCODER_RESTART;
        k.slot_buttons[2] = LIBRARY_UI_BUTTON_TRANSCODER_DELETE;
        k.slot_buttons[3] = LIBRARY_UI_BUTTON_TRANSCODER_CANCEL;
        k.columns = transcoder_columns;
        k.col_pos = TC_POS;
        k.col_id = TC_JOB;
        k.n_icons = 5;
        k.icon_names = transcoder_icon_names;
        k.icon_stock = transcoder_icon_stock;
        k.fetch = transcoder_fetch;
        k.fill = transcoder_fill;
        k.control = transcoder_control;
    }
    return &k;
}

library_job_window_t *library_transcoder_window(library_t *lib)
{
    return library_job_window_find(lib, transcoder_kind());
}

int library_transcoder_list(library_t *lib)
{
    return library_job_window_show(library_job_window(lib, transcoder_kind()));
}

int library_transcoder_list_reload(library_t *lib)
{
    library_job_window_t *w = library_transcoder_window(lib);
    return w ? library_job_window_reload(w) : -2;
}

/* ------------------------------------------------------------------------
 * Transcode settings
 * ---------------------------------------------------------------------- */

namespace {

struct modes_guard
{
    pelmora_io_mode_t **m = nullptr;
    ~modes_guard()
    {
        if (m)
            pelmora_io_settings_free_modes(&m);
    }
};

GtkWidget *row(GtkWidget *box, const char *label, GtkWidget *w)
{
    GtkWidget *h = gtk_hbox_new(FALSE, 4);
    gtk_box_pack_start(GTK_BOX(h), gtk_label_new(label), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(h), w, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), h, FALSE, FALSE, 2);
    return w;
}

void on_enter_accept(GtkEntry *, gpointer dlg)
{
    gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
}

} // namespace

int library_transcoder_dlg(library_t *lib, library_transcoder_dlg_result_t *res)
{
    memset(res, 0, sizeof(*res));
    modes_guard modes;
    std::vector<pelmora_filetransfer_target_t> trg(LIBRARY_JOBS_LIMIT);
    memset((void *)trg.data(), 0, trg.size() * sizeof(trg[0]));
    const char *url = lib->url;
    int nt = 0;
    int nm = library_jobs_call([&] {
        int m = pelmora_io_settings_get_modes(url, &modes.m);
        nt = m >= 0 ? pelmora_filetransfer_targets_list(url, 0, LIBRARY_JOBS_LIMIT, trg.data()) : 0;
        return m;
    });
    if (nm < 0 || !modes.m) {
        ui_show_error(nullptr, "ERROR", _("Failed to get IO channel modes"));
        return -14;
    }
    GtkWidget *dlg = gtk_dialog_new_with_buttons(_("Transcode settings"), nullptr, GTK_DIALOG_MODAL, "gtk-ok",
                                                 GTK_RESPONSE_ACCEPT, "gtk-cancel", GTK_RESPONSE_REJECT, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
    gtk_widget_set_name(dlg, "transcode_settings");
    GtkWidget *frame = gtk_frame_new(_("Settings"));
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dlg)->vbox), frame, TRUE, TRUE, 2);
    GtkWidget *box = gtk_vbox_new(FALSE, 2);
    gtk_container_add(GTK_CONTAINER(frame), box);

    settings_modes_ui_t mctx;
    memset(&mctx, 0, sizeof(mctx));
    gtk_box_pack_start(GTK_BOX(box), settings_modes_ui_create(&mctx, modes.m, nullptr, nullptr, nullptr), FALSE, FALSE,
                       2);
    settings_aconf_ui_t actx;
    memset(&actx, 0, sizeof(actx));
    gtk_box_pack_start(GTK_BOX(box), settings_aconf_ui_create(&actx, 6), FALSE, FALSE, 2);
    settings_amap_ui_t amctx;
    memset(&amctx, 0, sizeof(amctx));
    gtk_box_pack_start(GTK_BOX(box), settings_amap_ui_create(&amctx, ""), FALSE, FALSE, 2);

    GtkWidget *tc = row(box, _("Timecode:"), gtk_entry_new());
    gtk_entry_set_max_length(GTK_ENTRY(tc), 260);
    gtk_widget_set_name(tc, "transcode_timecode");
    ui_attach_tc_completition(tc);
    g_signal_connect(tc, "activate", G_CALLBACK(on_enter_accept), dlg);
    GtkWidget *osd = row(box, _("OSD:"), gtk_combo_box_new_text());
    gtk_widget_set_name(osd, "transcode_osd");
    gtk_combo_box_append_text(GTK_COMBO_BOX(osd), "");
    gtk_combo_box_append_text(GTK_COMBO_BOX(osd), "TC");
    gtk_combo_box_set_active(GTK_COMBO_BOX(osd), 0);
    GtkWidget *target = row(box, _("TRANSFER TARGET:"), gtk_combo_box_new_text());
    gtk_widget_set_name(target, "transcode_transfer_target");
    gtk_combo_box_append_text(GTK_COMBO_BOX(target), "");
    for (int i = 0; i < nt; i++)
        gtk_combo_box_append_text(GTK_COMBO_BOX(target), trg[(size_t)i].title);
    gtk_combo_box_set_active(GTK_COMBO_BOX(target), 0);
    GtkWidget *del = gtk_check_button_new_with_label(_("Delete source after transfer"));
    gtk_widget_set_name(del, "transcode_transfer_delete");
    gtk_box_pack_start(GTK_BOX(box), del, FALSE, FALSE, 2);
    gtk_widget_show_all(GTK_DIALOG(dlg)->vbox);
    ui_dlg_fit_screen(dlg, lib->ui[LIBRARY_UI_SIZEAREA]);

    int r = 0;
    while (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_ACCEPT) {
        memset(res, 0, sizeof(*res));
        int mi = gtk_combo_box_get_active(GTK_COMBO_BOX(mctx.modes_combo));
        int ei = gtk_combo_box_get_active(GTK_COMBO_BOX(mctx.encs_combo));
        if (mi >= 0 && mi < nm && ei >= 0 && ei < modes.m[mi]->enc_cnt) {
            strlcpy(res->mode_name, modes.m[mi]->name, sizeof(res->mode_name));
            strlcpy(res->enc_name, modes.m[mi]->enc[ei]->name, sizeof(res->enc_name));
            strlcpy(res->timecode, gtk_entry_get_text(GTK_ENTRY(tc)), sizeof(res->timecode));
            gchar *o = gtk_combo_box_get_active_text(GTK_COMBO_BOX(osd));
            strlcpy(res->osd, o ? o : "", sizeof(res->osd));
            g_free(o);
            if (!library_transcoder_tc_valid(res->timecode)) {
                ui_show_error(dlg, _("Wrong timecode value!"), _("Wrong timecode format"));
                continue;
            }
        }
        int ac = gtk_combo_box_get_active(GTK_COMBO_BOX(actx.achannels_combo));
        res->audio_conf = ac < 0 ? 0 : ac;
        settings_amap_get(&amctx, res->audio_map, 9);
        int ti = gtk_combo_box_get_active(GTK_COMBO_BOX(target));
        if (ti > 0 && ti <= nt)
            strlcpy(res->transfer_target, trg[(size_t)ti - 1].id, sizeof(res->transfer_target));
        res->transfer_f_delete = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(del)) ? 1 : 0;
        r = 1;
        break;
    }
    gtk_widget_destroy(dlg);
    return r;
}

/* The "Override destination path" step: a select-item dialog of its own
 * over the library, starting at the root; dst changes only for one folder
 * or one item chosen alone. */
static void library_transcoder_dst_override(library_t *lib, char *dst, size_t size)
{
    library_ui_select_item_dialog_t *d = nullptr;
    if (library_ui_select_item_dialog_create(&d, lib->ui[LIBRARY_UI_BUTTON_TRANSCODER_ITEM],
                                             _("Override destination path"), lib->url) < 0)
        return;
    int n_dirs = 0, n_items = 0;
    char **dirs = nullptr, **items = nullptr;
    library_ui_select_item_dialog_run(d, "/", &n_dirs, &dirs, &n_items, &items);
    if (library_transcoder_dst_choice(n_dirs, dirs, n_items, items, dst, size))
        g_warning("%s: DST=[%s]", "library_transcoder_item", dst);
    library_ui_select_item_dialog_list_destroy(&dirs);
    library_ui_select_item_dialog_list_destroy(&items);
    library_ui_select_item_dialog_destroy(&d);
}

int library_transcoder_item(library_t *lib, pelmora_lib_item_t *const *items, int n_items,
                            pelmora_lib_subclip_t *const *subs, int n_subs, const char *dst_path)
{
    if (n_items <= 0 && n_subs <= 0) {
        /* On the pane's line: a dialog would stand in the way of the buses. */
        library_ui_notice(lib, _("No library item selected"));
        return -2;
    }
    library_transcoder_dlg_result_t res;
    int r = library_transcoder_dlg(lib, &res);
    if (r <= 0)
        return r;
    /* A result sent to a transfer target needs no folder here. */
    char dst[260] = "";
    if (!res.transfer_target[0]) {
        strlcpy(dst, dst_path ? dst_path : "", sizeof dst);
        library_transcoder_dst_override(lib, dst, sizeof dst);
    }
    r = library_jobs_call([&] {
        return library_transcoder_items_add(lib, &res, items, n_items > 0 ? n_items : 0, subs, n_subs > 0 ? n_subs : 0,
                                            dst[0] ? dst : nullptr);
    });
    if (r < 0) /* how many requests the server did not take */
        library_ui_notice_refused(lib, _("TRANSCODE"), -r, (n_items > 0 ? n_items : 0) + (n_subs > 0 ? n_subs : 0));
    library_transcoder_list_reload(lib);
    return r;
}

/* ------------------------------------------------------------------------
 * Loudness normalisation
 * ---------------------------------------------------------------------- */

int library_audionorm_level(const char *text, double *level)
{
    char *end = nullptr;
    double v = strtod(text, &end);
    while (end && *end == ' ')
        end++;
    if (end == text || !end || *end || !isfinite(v) || v > 0 || v < -70)
        return -22;
    *level = v;
    return 0;
}

int library_audionorm_item(library_t *lib, pelmora_lib_item_t *const *items, int n)
{
    GtkWidget *dlg = gtk_dialog_new_with_buttons(_("Audio normalization settings"), nullptr, GTK_DIALOG_MODAL, "gtk-ok",
                                                 GTK_RESPONSE_ACCEPT, "gtk-cancel", GTK_RESPONSE_REJECT, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
    GtkWidget *h = gtk_hbox_new(FALSE, 4);
    gtk_box_pack_start(GTK_BOX(h), gtk_label_new(_("Loudness level:")), FALSE, FALSE, 0);
    GtkWidget *entry = gtk_entry_new();
    gtk_widget_set_name(entry, "audionorm_level");
    gtk_entry_set_max_length(GTK_ENTRY(entry), 7);
    gtk_entry_set_text(GTK_ENTRY(entry), "-23.0");
    g_signal_connect(entry, "activate", G_CALLBACK(on_enter_accept), dlg);
    gtk_box_pack_start(GTK_BOX(h), entry, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(h), gtk_label_new("LUFS"), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dlg)->vbox), h, FALSE, FALSE, 4);
    gtk_widget_show_all(GTK_DIALOG(dlg)->vbox);
    double level = 0;
    int resp;
    while ((resp = gtk_dialog_run(GTK_DIALOG(dlg))) == GTK_RESPONSE_ACCEPT &&
           library_audionorm_level(gtk_entry_get_text(GTK_ENTRY(entry)), &level) < 0)
        ui_show_error(dlg, "ERROR", _("The loudness level is a number of LUFS between -70 and 0"));
    gtk_widget_destroy(dlg);
    if (resp != GTK_RESPONSE_ACCEPT)
        return 0;
    int added = 0;
    for (int i = 0; i < n; i++) {
        pelmora_filetranscoder_request_t req;
        memset(&req, 0, sizeof(req));
        if (library_audionorm_req(items[i], level, &req) < 0)
            continue;
        const char *url = lib->url;
        int r = library_jobs_call([&] { return pelmora_filetranscoder_request_add(url, &req); });
        if (r >= 0)
            added++;
        library_transcoder_list_reload(lib);
    }
    if (added < n)
        library_ui_notice_refused(lib, _("NORMALIZE AUDIO"), n - added, n);
    return added;
}
