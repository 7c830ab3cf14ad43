/* The event item dialog and its two audio editors. The dialog edits a record
 * in memory; the caller's accept hook sends it while the dialog, still open,
 * waits, so that a refusal leaves everything the operator typed in place. */
#include "ui_bus_item_dialog.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "settings/settings-amap.h"
#include "strl.h"
#include "timecode.h"
#include "ui_dlg.h"
#include "ui_images.h"

#include "i18n.h"

const ui_button_desc item_dialog_buttons[] = {
    {100, "Add Audio Mapping DLG", nullptr, nullptr, "tmpl_item_amap_dlg", item_dlg_audio_map_image},
    {101, "Add Audio Amp DLG", nullptr, nullptr, "tmpl_item_aamp_dlg", item_dlg_audio_amp_image},
    {0, nullptr, nullptr, nullptr, nullptr, nullptr},
};

namespace {

/* Characters no field of an event line may hold: they would split the line
 * the event travels and is stored in. */
const char *const LINE_BREAKERS = "\t\r\n";

const char *const start_type_labels[4] = {"FOLLOW", "MANUAL", "FIXED TIME", "GAP FILL"};
const char start_type_letters[4] = {' ', 'M', 'F', 'G'};
/* Follow start types that the server keeps apart from a plain follow: an
 * event that had one keeps it unless the operator picks another type. */
const char *const FOLLOW_KINDS = "[-]I(=)O";

struct field_desc
{
    int slot;
    int row;
    const char *caption;
    int max;
    bool tc;
};

const field_desc fields[] = {
    {ITEM_ENTRY_START_TIME, 1, N_("START TIME:"), 12, true},
    {ITEM_ENTRY_MARK_IN, 2, N_("MARK IN:"), 12, true},
    {ITEM_ENTRY_MARK_OUT, 3, N_("MARK OUT:"), 12, true},
    {ITEM_ENTRY_DURATION, 4, N_("DURATION:"), 12, true},
    {ITEM_ENTRY_MEDIA_TYPE, 5, N_("MEDIA TYPE:"), 1, false},
    {ITEM_ENTRY_MEDIA_ID, 6, N_("MEDIA ID:"), 259, false},
    {ITEM_ENTRY_TITLE, 7, N_("TITLE:"), 259, false},
    {ITEM_ENTRY_AR, 9, N_("AR:"), 31, false},
    {ITEM_ENTRY_AUDIO_MAP, 10, N_("AUDIO MAP:"), 31, false},
    {ITEM_ENTRY_AUDIO_AMP, 11, N_("AUDIO AMP:"), 31, false},
    {ITEM_ENTRY_TAG, 13, N_("TAG:"), 259, false},
};

const GtkAttachOptions FILL_X = (GtkAttachOptions)(GTK_EXPAND | GTK_FILL);

/* Text for an entry: GTK takes UTF-8 only. */
void set_text(GtkWidget *entry, const char *text)
{
    if (g_utf8_validate(text, -1, nullptr)) {
        gtk_entry_set_text(GTK_ENTRY(entry), text);
        return;
    }
    gchar *valid = g_utf8_make_valid(text, -1);
    gtk_entry_set_text(GTK_ENTRY(entry), valid);
    g_free(valid);
}

const char *field_source(pelmorabox_event_t *e, int slot, char *tmp, size_t size)
{
    switch (slot) {
    case ITEM_ENTRY_START_TIME:
        return e->start_time;
    case ITEM_ENTRY_MARK_IN:
        return e->mark_in;
    case ITEM_ENTRY_MARK_OUT:
        return e->mark_out;
    case ITEM_ENTRY_DURATION:
        return e->duration;
    case ITEM_ENTRY_MEDIA_TYPE:
        snprintf(tmp, size, "%c", g_ascii_isgraph((gchar)e->event_type) ? (char)e->event_type : 0);
        return tmp;
    case ITEM_ENTRY_MEDIA_ID:
        return e->media_id;
    case ITEM_ENTRY_TITLE:
        return e->title;
    case ITEM_ENTRY_AR:
        return e->ar;
    case ITEM_ENTRY_AUDIO_MAP:
        return e->audio_map;
    case ITEM_ENTRY_AUDIO_AMP:
        return e->audio_amp;
    case ITEM_ENTRY_TAG:
        return e->tag;
    default:
        return "";
    }
}

const char *entry_text(ui_bus_item_dialog_t *ctx, int slot)
{
    return ctx->entry[slot] ? gtk_entry_get_text(GTK_ENTRY(ctx->entry[slot])) : "";
}

void attach_row(ui_bus_item_dialog_t *ctx, int row, const char *caption, GtkWidget *w,
                GtkAttachOptions yopts = GTK_FILL)
{
    gtk_table_attach(GTK_TABLE(ctx->table), ui_create_label_align(nullptr, _(caption), nullptr, 0, nullptr), 1, 2,
                     (guint)row, (guint)row + 1, GTK_FILL, GTK_FILL, 3, 3);
    gtk_table_attach(GTK_TABLE(ctx->table), w, 2, 3, (guint)row, (guint)row + 1, FILL_X, yopts, 3, 3);
}

GtkWidget *radio_row(GtkWidget **radios, const char *const *labels, int n, int active)
{
    GtkWidget *hbox = gtk_hbox_new(FALSE, 6);
    GSList *group = nullptr;
    for (int i = 0; i < n; i++) {
        if (!labels[i]) {
            radios[i] = nullptr;
            continue;
        }
        radios[i] = gtk_radio_button_new_with_label(group, labels[i]);
        group = gtk_radio_button_get_group(GTK_RADIO_BUTTON(radios[i]));
        gtk_box_pack_start(GTK_BOX(hbox), radios[i], FALSE, FALSE, 0);
    }
    if (active >= 0 && active < n && radios[active])
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radios[active]), TRUE);
    return hbox;
}

void build(ui_bus_item_dialog_t *ctx, pelmorabox_event_t *e)
{
    ctx->dlg = gtk_dialog_new_with_buttons(
        _("Playlist item"), ctx->top ? GTK_WINDOW(gtk_widget_get_toplevel(ctx->top)) : nullptr, GTK_DIALOG_MODAL,
        GTK_STOCK_OK, GTK_RESPONSE_ACCEPT, GTK_STOCK_CANCEL, GTK_RESPONSE_REJECT, NULL);
    g_object_set_data(G_OBJECT(ctx->dlg), "ui_bus_item_dialog_t", ctx);
    ui_dlg_place(ctx->dlg, ctx->top);
    gtk_window_set_resizable(GTK_WINDOW(ctx->dlg), TRUE);
    gtk_window_set_default_size(GTK_WINDOW(ctx->dlg), 700, 700);
    gtk_dialog_set_default_response(GTK_DIALOG(ctx->dlg), GTK_RESPONSE_ACCEPT);
    ctx->box = gtk_dialog_get_content_area(GTK_DIALOG(ctx->dlg));
    ctx->table = gtk_table_new(15, 3, FALSE);
    gtk_box_pack_start(GTK_BOX(ctx->box), ctx->table, TRUE, TRUE, 0);

    GdkPixbuf *logo = ui_images_pixbuf(inline_image_logo);
    GtkWidget *img = logo ? gtk_image_new_from_pixbuf(logo) : gtk_image_new();
    if (logo)
        g_object_unref(logo);
    gtk_misc_set_alignment(GTK_MISC(img), 0.5f, 0.0f);
    gtk_table_attach(GTK_TABLE(ctx->table), img, 0, 1, 0, 5, GTK_FILL, GTK_FILL, 6, 6);

    if (ctx->opts_flags & ITEM_DIALOG_PLAYER) {
        const char *labels[4] = {};
        static const char *const letters[4] = {"A", "B", "C", "D"};
        int active = -1;
        for (int i = 0; i < 4; i++)
            if (ctx->opts_flags & ITEM_DIALOG_CHANNEL(i)) {
                labels[i] = letters[i];
                if (e->dst[0] == letters[i][0])
                    active = i;
            }
        ctx->player_channel_hbox = radio_row(ctx->player_channel_items, labels, 4, active);
        attach_row(ctx, 0, N_("PLAYER:"), ctx->player_channel_hbox);
    }
    if (ctx->opts_flags & ITEM_DIALOG_START) {
        const char *labels[4];
        for (int i = 0; i < 4; i++)
            labels[i] = _(start_type_labels[i]);
        int active = e->start_type == 'M' ? 1 : e->start_type == 'F' ? 2 : e->start_type == 'G' ? 3 : 0;
        ctx->ms_hbox = radio_row(ctx->ms, labels, 4, active);
        attach_row(ctx, 0, N_("START TYPE:"), ctx->ms_hbox);
    }

    char tmp[8];
    for (const field_desc &f : fields) {
        if (f.slot == ITEM_ENTRY_START_TIME && !(ctx->opts_flags & ITEM_DIALOG_START))
            continue;
        GtkWidget *entry = gtk_entry_new();
        ctx->entry[f.slot] = entry;
        gtk_entry_set_max_length(GTK_ENTRY(entry), f.max);
        gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
        set_text(entry, field_source(e, f.slot, tmp, sizeof tmp));
        if (f.tc)
            ui_attach_tc_completition(entry);
        else
            ui_attach_entry_filter(entry, nullptr, LINE_BREAKERS);
        GtkWidget *w = entry;
        if (f.slot == ITEM_ENTRY_AUDIO_MAP || f.slot == ITEM_ENTRY_AUDIO_AMP) {
            GtkWidget *btn = ui_create_button(
                nullptr, ui_button_lookup(item_dialog_buttons, f.slot == ITEM_ENTRY_AUDIO_MAP ? 100 : 101));
            /* Reachable with Tab like every other field. */
            gtk_widget_set_can_focus(btn, TRUE);
            g_signal_connect(btn, "clicked", G_CALLBACK(bus_ui_dialog_buttons_cb), ctx);
            (f.slot == ITEM_ENTRY_AUDIO_MAP ? ctx->btn_amap : ctx->btn_aamp) = btn;
            w = gtk_hbox_new(FALSE, 3);
            gtk_box_pack_start(GTK_BOX(w), entry, TRUE, TRUE, 0);
            gtk_box_pack_start(GTK_BOX(w), btn, FALSE, FALSE, 0);
        }
        attach_row(ctx, f.row, f.caption, w);
    }

    ctx->meta_tree = ui_bus_meta_tree_create(ctx->tree);
    attach_row(ctx, 8, N_("META TREE"), ctx->meta_tree, (GtkAttachOptions)(GTK_EXPAND | GTK_FILL));

    ctx->status = gtk_label_new("");
    gtk_misc_set_alignment(GTK_MISC(ctx->status), 0.0f, 0.5f);
    gtk_label_set_line_wrap(GTK_LABEL(ctx->status), TRUE);
    gtk_table_attach(GTK_TABLE(ctx->table), ctx->status, 1, 3, 14, 15, FILL_X, GTK_FILL, 3, 3);
}

/* The operator's input into e (which the tree may replace). */
void write_back(ui_bus_item_dialog_t *ctx, pelmorabox_event_t **pe, char original_start_type)
{
    pelmorabox_event_t *e = *pe;
    if (ctx->opts_flags & ITEM_DIALOG_START) {
        char st = ' ';
        for (int i = 1; i < 4; i++)
            if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ctx->ms[i])))
                st = start_type_letters[i];
        if (st == ' ' && original_start_type && strchr(FOLLOW_KINDS, original_start_type))
            st = original_start_type;
        e->start_type = st;
        strlcpy(e->start_time, entry_text(ctx, ITEM_ENTRY_START_TIME), sizeof e->start_time);
    }
    if (ctx->opts_flags & ITEM_DIALOG_PLAYER) {
        strlcpy(e->dst, "A", sizeof e->dst);
        for (int i = 0; i < 4; i++)
            if (ctx->player_channel_items[i] &&
                gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ctx->player_channel_items[i])))
                e->dst[0] = (char)('A' + i);
    }
    strlcpy(e->mark_in, entry_text(ctx, ITEM_ENTRY_MARK_IN), sizeof e->mark_in);
    strlcpy(e->mark_out, entry_text(ctx, ITEM_ENTRY_MARK_OUT), sizeof e->mark_out);
    strlcpy(e->duration, entry_text(ctx, ITEM_ENTRY_DURATION), sizeof e->duration);
    e->event_type = (unsigned char)entry_text(ctx, ITEM_ENTRY_MEDIA_TYPE)[0];
    strlcpy(e->media_id, entry_text(ctx, ITEM_ENTRY_MEDIA_ID), sizeof e->media_id);
    strlcpy(e->title, entry_text(ctx, ITEM_ENTRY_TITLE), sizeof e->title);
    strlcpy(e->ar, entry_text(ctx, ITEM_ENTRY_AR), sizeof e->ar);
    strlcpy(e->audio_map, entry_text(ctx, ITEM_ENTRY_AUDIO_MAP), sizeof e->audio_map);
    strlcpy(e->audio_amp, entry_text(ctx, ITEM_ENTRY_AUDIO_AMP), sizeof e->audio_amp);
    ui_bus_meta_tree_get(ctx->tree, pe);
    e = *pe;
    strlcpy(e->tag, entry_text(ctx, ITEM_ENTRY_TAG), sizeof e->tag);
}

void say(ui_bus_item_dialog_t *ctx, const char *text)
{
    gchar *markup = g_markup_printf_escaped("<span foreground=\"#c00000\" weight=\"bold\">%s</span>", text);
    gtk_label_set_markup(GTK_LABEL(ctx->status), markup);
    g_free(markup);
}

/* A field the operator has to fix: tinted until the next OK, and focused
 * with its text selected. */
void mark_field(GtkWidget *entry, bool on)
{
    GdkColor pink;
    gdk_color_parse("#ffd0d0", &pink);
    gtk_widget_modify_base(entry, GTK_STATE_NORMAL, on ? &pink : nullptr);
    if (on) {
        gtk_widget_grab_focus(entry);
        gtk_editable_select_region(GTK_EDITABLE(entry), 0, -1);
    }
}

/* Why text (a field's caption and input) is no timecode, by tc_check's
 * verdict; the start time stays within the day. */
std::string tc_refusal(int verdict, const char *caption, const char *text, bool day)
{
    const char *why;
    switch (verdict) {
    case TC_CHECK_HOURS:
        why = day ? _("hours run from 0 to 23") : _("too many hours");
        break;
    case TC_CHECK_MINUTES:
        why = _("minutes run from 0 to 59");
        break;
    case TC_CHECK_SECONDS:
        why = _("seconds run from 0 to 59");
        break;
    case TC_CHECK_FRAMES:
        why = nullptr;
        break;
    case TC_CHECK_DROPPED:
        why = _("drop-frame numbering skips this label");
        break;
    default:
        why = _("type HH:MM:SS:FF or a short form such as 1:2:3");
        break;
    }
    gchar *t;
    if (why)
        t = g_strdup_printf(_("%s %s is not a timecode: %s."), _(caption), text, why);
    else
        t = g_strdup_printf(_("%s %s is not a timecode: frames run from 0 to %d in this timecode mode."), _(caption),
                            text, tc_fps() - 1);
    std::string out = t;
    g_free(t);
    return out;
}

/* Reads the timecode fields as tc_check does: a short form is written back
 * expanded, so the operator sees what goes out; an empty field stays
 * empty. The first field that is no timecode of the current mode, or a
 * mark out before the mark in, is marked and said; the result is false
 * then and nothing may be sent. A field still holding what the event came
 * with (shown[slot]) goes back as the server gave it: a start time the
 * server worked out from the clock need not follow drop-frame numbering,
 * and the operator cannot be held up over a text not typed. */
bool check_timecodes(ui_bus_item_dialog_t *ctx, const std::string *shown, std::string *why)
{
    int frames[14];
    for (int &f : frames)
        f = -1;
    for (const field_desc &f : fields) {
        GtkWidget *entry = ctx->entry[f.slot];
        if (!f.tc || !entry)
            continue;
        mark_field(entry, false);
        std::string text = gtk_entry_get_text(GTK_ENTRY(entry));
        if (text.empty() || text == shown[f.slot])
            continue;
        bool day = f.slot == ITEM_ENTRY_START_TIME;
        int hh, mm, ss, ff;
        int r = tc_check(text.c_str(), day ? 23 : -1, &hh, &mm, &ss, &ff);
        if (r != TC_CHECK_OK) {
            *why = tc_refusal(r, f.caption, text.c_str(), day);
            mark_field(entry, true);
            return false;
        }
        char canon[TC_TEXT_SIZE + 8];
        snprintf(canon, sizeof canon, "%.2d:%.2d:%.2d:%.2d", hh, mm, ss, ff);
        if (text != canon)
            gtk_entry_set_text(GTK_ENTRY(entry), canon);
        frames[f.slot] = tc_hmsf2frames(hh, mm, ss, ff);
    }
    /* Both marks as given: nothing of the operator's to refuse. */
    int in = frames[ITEM_ENTRY_MARK_IN], out = frames[ITEM_ENTRY_MARK_OUT];
    if (in < 0 && entry_text(ctx, ITEM_ENTRY_MARK_IN)[0])
        in = tc_tc2frames(entry_text(ctx, ITEM_ENTRY_MARK_IN));
    if (out < 0 && entry_text(ctx, ITEM_ENTRY_MARK_OUT)[0])
        out = tc_tc2frames(entry_text(ctx, ITEM_ENTRY_MARK_OUT));
    if (frames[ITEM_ENTRY_MARK_IN] < 0 && frames[ITEM_ENTRY_MARK_OUT] < 0)
        return true;
    if (in >= 0 && out >= 0 && out < in) {
        gchar *t = g_strdup_printf(_("MARK OUT %s is before MARK IN %s."), entry_text(ctx, ITEM_ENTRY_MARK_OUT),
                                   entry_text(ctx, ITEM_ENTRY_MARK_IN));
        *why = t;
        g_free(t);
        /* The mark the operator changed (the out when both). */
        mark_field(ctx->entry[frames[ITEM_ENTRY_MARK_OUT] >= 0 ? ITEM_ENTRY_MARK_OUT : ITEM_ENTRY_MARK_IN], true);
        return false;
    }
    return true;
}

/* While the accepted event is out, the window cannot be closed: the dialog
 * answers only once the server has. */
gboolean delete_while_busy(GtkWidget *, GdkEvent *, gpointer user_data)
{
    return static_cast<ui_bus_item_dialog_t *>(user_data)->busy ? TRUE : FALSE;
}

GtkWidget *editor_dialog(ui_bus_item_dialog_t *ctx, const char *title, int w, int h)
{
    GtkWidget *dlg = gtk_dialog_new_with_buttons(title, GTK_WINDOW(ctx->dlg), GTK_DIALOG_MODAL, GTK_STOCK_OK,
                                                 GTK_RESPONSE_ACCEPT, GTK_STOCK_CANCEL, GTK_RESPONSE_REJECT, NULL);
    ui_dlg_place(dlg, ctx->dlg);
    gtk_window_set_resizable(GTK_WINDOW(dlg), TRUE);
    gtk_window_set_default_size(GTK_WINDOW(dlg), w, h);
    gtk_dialog_set_default_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
    return dlg;
}

void amap_editor(ui_bus_item_dialog_t *ctx)
{
    GtkWidget *dlg = editor_dialog(ctx, _("Audio Mapping configuration"), 300, 400);
    settings_amap_ui_t amap;
    memset(&amap, 0, sizeof amap);
    GtkWidget *w = settings_amap_ui_create(&amap, entry_text(ctx, ITEM_ENTRY_AUDIO_MAP));
    /* The editor's frame is the IO settings' own: this line says whose map
     * it is. */
    gchar *whose = g_strdup_printf(_("Audio map of the event %s (%s)"), entry_text(ctx, ITEM_ENTRY_TITLE),
                                   entry_text(ctx, ITEM_ENTRY_MEDIA_ID));
    GtkWidget *event_line = gtk_label_new(whose);
    g_free(whose);
    gtk_label_set_ellipsize(GTK_LABEL(event_line), PANGO_ELLIPSIZE_MIDDLE);
    gtk_widget_set_name(event_line, "amap_event");
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dlg))), event_line, FALSE, FALSE, 4);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dlg))), w, TRUE, TRUE, 0);
    g_object_set_data(G_OBJECT(dlg), "settings_amap_ui_t", &amap);
    ui_dlg_fit_screen(dlg, ctx->dlg);
    gtk_widget_show_all(dlg);
    if (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_ACCEPT) {
        char map[260];
        settings_amap_get(&amap, map, sizeof map);
        set_text(ctx->entry[ITEM_ENTRY_AUDIO_MAP], map);
    }
    gtk_widget_destroy(dlg);
}

void aamp_editor(ui_bus_item_dialog_t *ctx)
{
    GtkWidget *dlg = editor_dialog(ctx, _("Audio Amp configuration"), 500, 100);
    GtkWidget *scale = gtk_hscale_new_with_range(-12.0, 12.0, 0.5);
    gtk_scale_set_digits(GTK_SCALE(scale), 1);
    /* A scale under the slider: a tick every 3 dB, numbered every 6. */
    for (int db = -12; db <= 12; db += 3) {
        gchar *mark = db % 6 ? nullptr : g_strdup_printf("%+d dB", db);
        gtk_scale_add_mark(GTK_SCALE(scale), db, GTK_POS_BOTTOM, db ? mark : "0 dB");
        g_free(mark);
    }
    gtk_range_set_value(GTK_RANGE(scale), ui_bus_item_dialog_amp_value(entry_text(ctx, ITEM_ENTRY_AUDIO_AMP)));
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dlg))), scale, TRUE, TRUE, 0);
    g_object_set_data(G_OBJECT(dlg), "ui_bus_item_dialog_aamp_scale", scale);
    gtk_widget_show_all(dlg);
    if (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_ACCEPT) {
        char text[32];
        set_text(ctx->entry[ITEM_ENTRY_AUDIO_AMP],
                 ui_bus_item_dialog_amp_text(gtk_range_get_value(GTK_RANGE(scale)), text, sizeof text));
    }
    gtk_widget_destroy(dlg);
}

} // namespace

char *ui_bus_item_dialog_amp_text(double v, char *buf, size_t size)
{
    char num[G_ASCII_DTOSTR_BUF_SIZE];
    g_ascii_formatd(num, sizeof num, "%.1f", v);
    snprintf(buf, size, "%sdB", num);
    return buf;
}

double ui_bus_item_dialog_amp_value(const char *text)
{
    if (!text)
        return 0;
    char *end = nullptr;
    double v = g_ascii_strtod(text, &end);
    if (end == text || !isfinite(v))
        return 0;
    return v < -12.0 ? -12.0 : v > 12.0 ? 12.0 : v;
}

gboolean bus_ui_dialog_buttons_cb(GtkWidget *button, gpointer user_data)
{
    auto *ctx = static_cast<ui_bus_item_dialog_t *>(user_data);
    if (!ctx || !button)
        return FALSE;
    if (button == ctx->btn_amap)
        amap_editor(ctx);
    else if (button == ctx->btn_aamp)
        aamp_editor(ctx);
    else
        return FALSE;
    return TRUE;
}

int ui_bus_item_dialog(ui_bus_item_dialog_t *ctx, pelmorabox_event_t **pe)
{
    if (!ctx || !pe || !*pe)
        return -22;
    ctx->tree = static_cast<ui_bus_meta_tree_t *>(g_malloc0(sizeof(ui_bus_meta_tree_t)));
    ctx->tree->lib_url = ctx->lib_url;
    char original_start_type = (*pe)->start_type;
    build(ctx, *pe);
    /* What each field shows before the operator types (as filtered and
     * cut to the field's length). */
    std::string shown[14];
    for (int i = 0; i < 14; i++)
        shown[i] = entry_text(ctx, i);
    g_signal_connect(ctx->dlg, "delete-event", G_CALLBACK(delete_while_busy), ctx);
    ui_dlg_fit_screen(ctx->dlg, ctx->top);
    gtk_widget_show_all(ctx->dlg);
    ui_bus_meta_tree_set(ctx->tree, *pe);
    if (ctx->pre_run_proc)
        ctx->pre_run_proc(ctx->pre_run_cookie, ctx, *pe);

    int result = 0;
    for (;;) {
        gint r = gtk_dialog_run(GTK_DIALOG(ctx->dlg));
        if (r != GTK_RESPONSE_ACCEPT)
            break;
        std::string why;
        if (!check_timecodes(ctx, shown, &why)) {
            g_warning("%s: refused: %s", __func__, why.c_str());
            say(ctx, why.c_str());
            continue;
        }
        write_back(ctx, pe, original_start_type);
        if (!(*pe)->media_id[0]) {
            say(ctx, _("MEDIA ID is empty: an event needs one."));
            gtk_widget_grab_focus(ctx->entry[ITEM_ENTRY_MEDIA_ID]);
            continue;
        }
        if (ctx->accept_proc) {
            char why[1024] = "";
            gtk_label_set_text(GTK_LABEL(ctx->status), _("Sending ..."));
            GtkWidget *area = gtk_dialog_get_action_area(GTK_DIALOG(ctx->dlg));
            gtk_widget_set_sensitive(ctx->table, FALSE);
            gtk_widget_set_sensitive(area, FALSE);
            ctx->busy = 1;
            int sent = ctx->accept_proc(ctx->accept_cookie, ctx, *pe, why, sizeof why);
            ctx->busy = 0;
            gtk_widget_set_sensitive(ctx->table, TRUE);
            gtk_widget_set_sensitive(area, TRUE);
            if (sent < 0) {
                g_warning("%s: not taken (%d): %s", __func__, sent, why);
                say(ctx, why[0] ? why : _("The server did not take the event."));
                continue;
            }
        }
        result = 1;
        break;
    }
    ui_bus_meta_tree_destroy(ctx->tree);
    gtk_widget_destroy(ctx->dlg);
    ctx->dlg = nullptr;
    g_free(ctx->tree);
    ctx->tree = nullptr;
    return result;
}
