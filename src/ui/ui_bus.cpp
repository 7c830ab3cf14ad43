/* Bus panel: builds the tool column, the Timers, Controls and Clips usage
 * groups and the event grid of one bus, and renders into them what the bus
 * engine hands over: event rows (notes, colours, key and aux media columns),
 * the polled bus state (clocks, counters, status images), the offline state,
 * and the event details lists of the selected row. Main loop only. */
#include "ui_bus.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "bus.h"
#include "localtime_tz.h"
#include "strl.h"
#include "timecode.h"
#include "ui_images.h"
#include "ui_oled.h"

#include "i18n.h"

/* Shown in place of a clock the server left empty, and while offline. */
#define BUS_UI_EMPTY_TIME "  :  :  :  "
#define BUS_UI_EMPTY_TIME_SHORT "  :  :  "

const ui_column_desc columns_plan[BUS_COLUMN_LAST + 1] = {
    {BUS_COLUMN_AUXMEDIA_STEREO_1, "1", G_TYPE_STRING},
    {BUS_COLUMN_AUXMEDIA_STEREO_2, "2", G_TYPE_STRING},
    {BUS_COLUMN_AUXMEDIA_STEREO_3, "3", G_TYPE_STRING},
    {BUS_COLUMN_AUXMEDIA_STEREO_4, "4", G_TYPE_STRING},
    {BUS_COLUMN_AUXMEDIA_STL_888, "8", G_TYPE_STRING},
    {BUS_COLUMN_AUXMEDIA_STL_889, "9", G_TYPE_STRING},
    {BUS_COLUMN_NOTES, "NOTES", G_TYPE_STRING},
    {BUS_COLUMN_START_TYPE_ICON, "S", G_TYPE_OBJECT},
    {BUS_COLUMN_START, "START", G_TYPE_STRING},
    {BUS_COLUMN_MEDIA_TYPE, "T", G_TYPE_STRING},
    {BUS_COLUMN_MEDIA_ID, "MEDIA ID", G_TYPE_STRING},
    {BUS_COLUMN_AUX1, "AUX1", G_TYPE_STRING},
    {BUS_COLUMN_DUR, "DUR", G_TYPE_STRING},
    {BUS_COLUMN_MARK_IN, "IN", G_TYPE_STRING},
    {BUS_COLUMN_MARK_OUT, "OUT", G_TYPE_STRING},
    {BUS_COLUMN_TITLE, "TITLE", G_TYPE_STRING},
    {BUS_COLUMN_TAG, "TAG", G_TYPE_STRING},
    {BUS_COLUMN_ASSETS, "ASSETS", G_TYPE_STRING},
    {BUS_COLUMN_AR, "AR", G_TYPE_STRING},
    {BUS_COLUMN_AMAP, "A.MAP", G_TYPE_STRING},
    {BUS_COLUMN_AAMP, "A.AMP", G_TYPE_STRING},
    {BUS_COLUMN_AUX2, "AUX2", G_TYPE_STRING},
    {BUS_COLUMN_IDX, nullptr, G_TYPE_INT},
    {BUS_COLUMN_DATA, nullptr, G_TYPE_POINTER},
    {BUS_COLUMN_BG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {BUS_COLUMN_BG_COLOR_V, nullptr, G_TYPE_STRING},
    {BUS_COLUMN_FG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {BUS_COLUMN_FG_COLOR_V, nullptr, G_TYPE_STRING},
    {-1, nullptr, G_TYPE_INVALID},
};

const char *const pelmorabox_auxmedia_meta_keys[PELMORABOX_EVENT_AUXMEDIA_LAST] = {"STEREO_1", "STEREO_2", "STEREO_3",
                                                                                   "STEREO_4", "STL_888",  "STL_889"};
const int aux_media_column_idxs[PELMORABOX_EVENT_AUXMEDIA_LAST] = {0, 1, 2, 3, 4, 5};

/* The panel's buttons, in table order; 1..21 are placed by ui_bus_create,
 * 22..25 by the item dialog and the preview strip. */
static const ui_button_desc buttons[] = {
    {BUTTON_LIST_BUS_ABSENT_ITEMS, "Absent items", nullptr, nullptr, "lib_bus_absent", list_bus_absent_items_image},
    {BUTTON_LIST_BUS_ERROR_ITEMS, "Error items", nullptr, nullptr, "lib_bus_error", list_bus_error_items_image},
    {BUTTON_LIST_BUS_CHECKING_ITEMS, "Checking items", nullptr, nullptr, "lib_bus_checking",
     list_bus_checking_items_image},
    {BUTTON_LIST_BUS_PRESENT_ITEMS, "Present items", nullptr, nullptr, "lib_bus_present", list_bus_present_items_image},
    {BUTTON_LIST_ITEM_ADD, "Add item", nullptr, nullptr, "item_add_image", item_add_image},
    {BUTTON_LIST_ITEM_DEL, "Delete item", nullptr, nullptr, "item_del_image", item_delete_image},
    {BUTTON_LIST_ITEM_EDIT, "Edit item", nullptr, nullptr, "item_edit_image", item_edit_image},
    {BUTTON_LIST_ITEM_PREVIEW, "Preview", nullptr, nullptr, "preview", item_preview_image},
    {BUTTON_CHANNEL_STOP, "Stop channel", nullptr, nullptr, "channel_stop", channel_stop_image},
    {BUTTON_CHANNEL_START, "Start channel", nullptr, nullptr, "channel_start", channel_start_image},
    {BUTTON_HELP, "Help", nullptr, nullptr, "help", help_button_image},
    {BUTTON_COMPANY, "Vardun", nullptr, nullptr, "Vardun", company_button_image},
    {BUTTON_LIST_OPEN, "Open schedule", nullptr, nullptr, "list_open_image", list_open_image},
    {BUTTON_LIST_CLOSE, "Close schedule", nullptr, nullptr, "list_close_image", list_close_image},
    {BUTTON_LIST_APPEND, "Append schedule", nullptr, nullptr, "list_append_image", list_append_image},
    {BUTTON_LIST_TRUNCATE_ABOVE, "Truncate events above selected", nullptr, nullptr, "list_truncate_above_image",
     list_truncate_above_image},
    {BUTTON_LIST_TRUNCATE_BELOW, "Truncate events below selected", nullptr, nullptr, "list_truncate_below_image",
     list_truncate_below_image},
    {BUTTON_LIST_SAVEAS, "Save as schedule", nullptr, nullptr, "list_saveas_image", list_saveas_image},
    {BUTTON_LIST_TAKE, "Take schedule", nullptr, nullptr, "list_take_image", list_take_image},
    {BUTTON_LIST_TAKE_N, "Jump to item", nullptr, nullptr, "list_take_n_image", list_take_n_image},
    {BUTTON_LIST_FALLBACK, "Fallback macro", nullptr, nullptr, "list_fallback", list_fallback_image},
    {BUTTON_TRIMPAD_TRIM, "Trim event", nullptr, "Trim event", "tmpl_item_trim_dlg", item_dlg_trim_image},
    {BUTTON_TRIMPAD_PAD, "Pad event", nullptr, "Pad event", "tmpl_item_pad_dlg", item_dlg_pad_image},
    {BUTTON_PRV_SHOW, "Show Preview", nullptr, nullptr, "preview_show_img", preview_show_img},
    {BUTTON_PRV_HIDE, "Hide Preview", nullptr, nullptr, "preview_hide_img", preview_hide_img},
    {0, nullptr, nullptr, nullptr, nullptr, nullptr},
};

namespace {

GtkTreeModel *grid_model(bus_t *bus)
{
    if (!bus || !bus->grid || !GTK_IS_TREE_VIEW(bus->grid))
        return nullptr;
    return gtk_tree_view_get_model(GTK_TREE_VIEW(bus->grid));
}

/* Shows status image `which` alone. Only images whose visibility changes
 * are touched: this runs on every poll of every bus. */
void show_status(bus_t *bus, int which)
{
    for (int i = 0; i < 3; i++) {
        GtkWidget *img = bus->online[i];
        if (!img || (gtk_widget_get_visible(img) != FALSE) == (i == which))
            continue;
        if (i == which)
            gtk_widget_show(img);
        else
            gtk_widget_hide(img);
    }
}

/* Cuts to at most max bytes without splitting a UTF-8 character. */
void cut(std::string &s, size_t max)
{
    if (s.size() <= max)
        return;
    while (max > 0 && ((unsigned char)s[max] & 0xC0) == 0x80)
        max--;
    s.resize(max);
}

/* '+'-separated names with the empty ones dropped. */
std::vector<std::string> asset_names(const char *assets)
{
    std::vector<std::string> names;
    for (const char *p = assets; p && *p;) {
        const char *plus = strchr(p, '+');
        size_t len = plus ? (size_t)(plus - p) : strlen(p);
        if (len)
            names.emplace_back(p, len);
        p += len + (plus ? 1 : 0);
    }
    return names;
}

/* Value of the first metadata pair whose key is exactly `key`, or null. */
const char *meta_value(const pelmorabox_event_t *e, const char *key)
{
    for (int i = 0; i < e->metadata_cnt && e->metadata_pairs; i++)
        if (!strcmp(e->metadata_pairs[i].key, key))
            return e->metadata_pairs[i].val;
    return nullptr;
}

/* State lines of an event, in the order the operator reads them. */
std::string event_notes(const pelmorabox_event_t *e, const instance_t *app)
{
    std::string notes;
    auto add = [&notes](const std::string &line) {
        if (!notes.empty())
            notes += '\n';
        notes += line;
    };
    int64_t f = e->flags;
    if (f & PELMORABOX_EVENT_FLAG_PLAY_FAILED)
        add(_("PLAY FAILED"));
    else if (f & PELMORABOX_EVENT_FLAG_PLAYING)
        add(_("PLAYING"));
    else if (f & PELMORABOX_EVENT_FLAG_PLAY)
        add(_("PLAY"));
    if (f & PELMORABOX_EVENT_FLAG_CUE_FAILED)
        add(_("CUE FAILED"));
    else if (f & PELMORABOX_EVENT_FLAG_CUED)
        add(_("CUED"));
    else if (f & PELMORABOX_EVENT_FLAG_CUEING)
        add(_("CUEING"));
    if (!(f & PELMORABOX_EVENT_FLAG_PRESENT))
        add(_("ABSENT"));
    if (f & PELMORABOX_EVENT_FLAG_RANGE_ERR)
        add(_("RANGE ERR"));
    if ((f & PELMORABOX_EVENT_FLAG_SUBCLIP) && app && app->f_ab_subclip_is_error)
        add(_("SUBCLIP"));
    if (f & PELMORABOX_EVENT_FLAG_NON_CONT)
        add(_("NON CONT"));
    if (e->start_type == 'F') {
        int fixed = tc_tc2frames(e->fixed_time);
        int start = tc_tc2frames(e->start_time);
        if (fixed && start && fixed != start) {
            char tc[TC_TEXT_SIZE] = "";
            int64_t diff = (int64_t)start - fixed;
            tc_frames2tc((int)(diff < 0 ? -diff : diff), tc);
            char line[64];
            snprintf(line, sizeof(line), "%s %s", fixed < start ? _("GAP") : _("OVERLAP"), tc);
            add(line);
        }
    }
    cut(notes, 259);
    return notes;
}

/* Sets one colour pair of a row; a text that does not parse leaves that
 * colour unset, so the renderer keeps its default. */
void set_row_colors(GtkListStore *store, GtkTreeIter *iter, const char *bg, const char *fg)
{
    GdkColor c;
    bool bg_ok = bg && *bg && gdk_color_parse(bg, &c);
    bool fg_ok = fg && *fg && gdk_color_parse(fg, &c);
    gtk_list_store_set(store, iter, BUS_COLUMN_BG_COLOR, bg_ok ? TRUE : FALSE, BUS_COLUMN_BG_COLOR_V,
                       bg_ok ? bg : nullptr, BUS_COLUMN_FG_COLOR, fg_ok ? TRUE : FALSE, BUS_COLUMN_FG_COLOR_V,
                       fg_ok ? fg : nullptr, -1);
}

/* A clock's text as shown: empty sources get the blank clock, and short
 * timers drop the frames (everything from the last ':'). */
std::string clock_text(const char *src, bool blank_when_empty, bool short_timers)
{
    std::string t = src ? src : "";
    if (t.empty() && blank_when_empty)
        t = BUS_UI_EMPTY_TIME;
    if (short_timers) {
        size_t colon = t.rfind(':');
        if (colon != std::string::npos)
            t.resize(colon);
    }
    return t;
}

void set_clock(GtkWidget *clock, const std::string &text)
{
    if (clock)
        ui_oled_timer_set_time(clock, text.c_str());
}

/* Setting a label's text queues a resize of the whole window even when the
 * text is the one shown, and the counters are set on every poll: write only
 * a text that differs from the plain text the label holds. */
void set_counter(bus_t *bus, int id, const char *text)
{
    GtkWidget *b = bus->buttons[id];
    GtkWidget *label = b ? static_cast<GtkWidget *>(g_object_get_data(G_OBJECT(b), "label")) : nullptr;
    if (!label)
        return;
    GtkLabel *l = GTK_LABEL(label);
    const char *shown = gtk_label_get_label(l);
    if (shown && !strcmp(shown, text) && !gtk_label_get_use_markup(l) && !gtk_label_get_use_underline(l))
        return;
    gtk_label_set_text(l, text);
}

void set_counter_value(bus_t *bus, int id, int value)
{
    char text[32];
    snprintf(text, sizeof(text), "  %d", value);
    set_counter(bus, id, text);
}

/* ---- Building. ---- */

GtkWidget *blank_label(void)
{
    GtkWidget *l = gtk_label_new("");
    gtk_widget_show(l);
    return l;
}

void pack_blank(GtkWidget *box, bool expand)
{
    gtk_box_pack_start(GTK_BOX(box), blank_label(), expand ? TRUE : FALSE, expand ? TRUE : FALSE, 0);
}

GtkWidget *make_button(GtkWidget *parent, bus_t *bus, int id)
{
    GtkWidget *b = ui_create_button(parent, ui_button_lookup_local(id));
    bus->buttons[id] = b;
    return b;
}

void pack_button(GtkWidget *box, GtkWidget *parent, bus_t *bus, int id)
{
    if (GtkWidget *b = make_button(parent, bus, id))
        gtk_box_pack_start(GTK_BOX(box), b, FALSE, FALSE, 0);
}

/* The standard clock: dark rounded face on the frame's grey. */
GtkWidget *clock_new(int w, int h, const char *title_color, int title_size, int title_base, const char *time_color,
                     int time_size, int time_base, const char *title, const char *time_text)
{
    GtkWidget *c = ui_oled_timer_create("#272727", "#525252", w, h, title_color, title_size, title_base, time_color,
                                        time_size, time_base);
    ui_oled_timer_set_title(c, title);
    ui_oled_timer_set_time(c, time_text);
    return c;
}

/* One group of the top row: caption over a rounded frame around content. */
GtkWidget *group_box(const char *caption, GtkWidget *content)
{
    GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
    pack_blank(vbox, true);
    GtkWidget *align = ui_create_label_align(nullptr, caption, nullptr, GTK_JUSTIFY_LEFT, nullptr);
    gtk_box_pack_start(GTK_BOX(vbox), align, FALSE, FALSE, 3);
    GtkWidget *frame = ui_rounded_corners_box(content, 9, 9, "#525252");
    gtk_box_pack_start(GTK_BOX(vbox), frame, FALSE, FALSE, 3);
    pack_blank(vbox, true);
    gtk_widget_show(vbox);
    return vbox;
}

GtkWidget *timers_group(bus_t *bus)
{
    const instance_t *app = bus->app;
    GtkWidget *rows = gtk_vbox_new(FALSE, 10);

    GtkWidget *row1 = gtk_hbox_new(FALSE, 0);
    bus->clock = clock_new(164, 74, "#d5b714", 14, 24, "#fdfdfd", 22, 56, "SYSTEM TIME", "");
    bus->clock_rem = clock_new(164, 74, "#30e030", 14, 24, "#fdfdfd", 22, 56, "ON AIR", "");
    bus->clock_ply = clock_new(164, 74, "#dc7a24", 14, 24, "#fdfdfd", 22, 56, "PLAYLIST DURATION", "");
    bus->clock_type_L_rem = clock_new(164, 74, "#2b51a8", 12, 24, "#fdfdfd", 22, 56, "LIVE", "00:00:00");
    bus->clock_gap_overlap_rem = clock_new(164, 74, "#b31cce", 12, 24, "#fdfdfd", 22, 56, "GAP/OVERLAP", "00:00:00");
    GtkWidget *first[5] = {bus->clock, bus->clock_rem, bus->clock_ply, bus->clock_type_L_rem,
                           bus->clock_gap_overlap_rem};
    for (int i = 0; i < 5; i++) {
        if (i)
            pack_blank(row1, true);
        gtk_box_pack_start(GTK_BOX(row1), first[i], FALSE, FALSE, 0);
    }

    GtkWidget *row2 = gtk_hbox_new(FALSE, 0);
    const char *zone = bus->tz.value;
    if (!strncmp(zone, "TZ=", 3))
        zone += 3;
    GtkWidget *zone_clock = clock_new(164, 36, "#38c9d3", 14, 28, "#fdfdfd", 18, 38, zone, "");
    gtk_box_pack_start(GTK_BOX(row2), zone_clock, FALSE, FALSE, 0);
    const char *curr = app && app->color_label_playlist_curr[0] ? app->color_label_playlist_curr : "#30e030";
    const char *prev = app && app->color_label_playlist_prev[0] ? app->color_label_playlist_prev : "#eff328";
    bus->last_playlist =
        clock_new(332, 36, curr, 14, 22, prev, 10, 38, "last playlist name.ply", "previous playlist name.ply");
    gtk_box_pack_start(GTK_BOX(row2), bus->last_playlist, FALSE, FALSE, 4);
    bus->clock_type_C_rem = clock_new(164, 52, "#b61ed6", 10, 18, "#fdfdfd", 18, 38, "COMMERCIAL REMAIN", "00:00:00");
    gtk_box_pack_start(GTK_BOX(row2), bus->clock_type_C_rem, FALSE, FALSE, 0);
    pack_blank(row2, true);
    bus->clock_absent_rem = clock_new(164, 52, "#ea8b27", 10, 18, "#fdfdfd", 18, 38, "ABSENT REMAIN", "00:00:00");
    gtk_box_pack_start(GTK_BOX(row2), bus->clock_absent_rem, FALSE, FALSE, 0);

    gtk_box_pack_start(GTK_BOX(rows), row1, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(rows), row2, FALSE, FALSE, 0);
    gtk_widget_show(row1);
    gtk_widget_show(row2);
    gtk_widget_show(rows);
    return group_box(_("Timers"), rows);
}

GtkWidget *controls_group(GtkWidget *parent, bus_t *bus)
{
    GtkWidget *row = gtk_hbox_new(FALSE, 0);
    const int ids[4] = {BUTTON_LIST_TAKE, BUTTON_LIST_TAKE_N, BUTTON_LIST_FALLBACK, BUTTON_LIST_ITEM_PREVIEW};
    for (int i = 0; i < 4; i++) {
        if (i)
            pack_blank(row, true);
        pack_button(row, parent, bus, ids[i]);
    }
    gtk_widget_show(row);
    return group_box(_("Controls"), row);
}

GtkWidget *usage_group(GtkWidget *parent, bus_t *bus)
{
    GtkWidget *rows = gtk_vbox_new(FALSE, 0);
    const int ids[2][2] = {{BUTTON_LIST_BUS_ABSENT_ITEMS, BUTTON_LIST_BUS_PRESENT_ITEMS},
                           {BUTTON_LIST_BUS_ERROR_ITEMS, BUTTON_LIST_BUS_CHECKING_ITEMS}};
    for (const auto &pair : ids) {
        GtkWidget *row = gtk_hbox_new(FALSE, 0);
        for (int id : pair)
            pack_button(row, parent, bus, id);
        gtk_widget_show(row);
        gtk_box_pack_start(GTK_BOX(rows), row, FALSE, FALSE, 0);
    }
    struct
    {
        int id;
        const char *color;
    } counters[4] = {{BUTTON_LIST_BUS_ABSENT_ITEMS, "red"},
                     {BUTTON_LIST_BUS_PRESENT_ITEMS, "green"},
                     {BUTTON_LIST_BUS_ERROR_ITEMS, "red"},
                     {BUTTON_LIST_BUS_CHECKING_ITEMS, "yellow"}};
    for (const auto &c : counters) {
        GtkWidget *b = bus->buttons[c.id];
        GtkWidget *label = b ? static_cast<GtkWidget *>(g_object_get_data(G_OBJECT(b), "label")) : nullptr;
        GdkColor color;
        if (!label)
            continue;
        if (gdk_color_parse(c.color, &color))
            for (GtkStateType s : {GTK_STATE_NORMAL, GTK_STATE_PRELIGHT, GTK_STATE_ACTIVE})
                gtk_widget_modify_fg(label, s, &color);
        /* Pure red and green on the frame's grey need the weight to be read
         * from a distance. */
        ui_set_font_weight(label, PANGO_WEIGHT_BOLD);
    }
    gtk_widget_show(rows);
    return group_box(_("Clips usage"), rows);
}

/* A gap between groups of the tool column: a fixed few pixels, not a line
 * of text, so that the column fits a 720-pixel screen. */
void pack_gap(GtkWidget *box)
{
    GtkWidget *l = blank_label();
    gtk_widget_set_size_request(l, -1, 6);
    gtk_box_pack_start(GTK_BOX(box), l, FALSE, FALSE, 0);
}

GtkWidget *tool_column(GtkWidget *parent, bus_t *bus)
{
    GtkWidget *col = gtk_vbox_new(FALSE, 0);
    pack_gap(col);
    pack_gap(col);
    pack_button(col, parent, bus, BUTTON_CHANNEL_START);
    pack_button(col, parent, bus, BUTTON_CHANNEL_STOP);
    for (int i = 0; i < 3; i++)
        pack_gap(col);
    for (int id : {BUTTON_LIST_OPEN, BUTTON_LIST_APPEND, BUTTON_LIST_TRUNCATE_ABOVE, BUTTON_LIST_TRUNCATE_BELOW,
                   BUTTON_LIST_SAVEAS, BUTTON_LIST_CLOSE})
        pack_button(col, parent, bus, id);
    pack_gap(col);
    for (int id : {BUTTON_LIST_ITEM_ADD, BUTTON_LIST_ITEM_EDIT, BUTTON_LIST_ITEM_DEL})
        pack_button(col, parent, bus, id);
    pack_blank(col, true);
    pack_button(col, parent, bus, BUTTON_HELP);
    pack_button(col, parent, bus, BUTTON_COMPANY);
    gtk_widget_show(col);
    return col;
}

int on_air_weight(GtkTreeModel *model, GtkTreeIter *iter, void *data)
{
    (void)data;
    pelmorabox_event_t *e = nullptr;
    gtk_tree_model_get(model, iter, BUS_COLUMN_DATA, &e, -1);
    return e && (e->flags & PELMORABOX_EVENT_FLAG_PLAYING) ? PANGO_WEIGHT_BOLD : 0;
}

gboolean on_grid_cursor_changed_event(GtkTreeView *view, gpointer user_data)
{
    (void)view;
    bus_t *bus = static_cast<bus_t *>(user_data);
    if (bus_assert_main_thread("on_grid_cursor_changed_event"))
        bus_ui_redraw_event_details(bus);
    return TRUE;
}

void grid_create(GtkWidget *parent, bus_t *bus)
{
    const instance_t *app = bus->app;
    bus->scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(bus->scrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    char name[32];
    snprintf(name, sizeof(name), "bus_list_%d", bus->idx);
    bus->grid = ui_create_treeview_list(parent, name, columns_plan);
    gtk_widget_set_name(bus->grid, name);
    gtk_container_add(GTK_CONTAINER(bus->scrolled), bus->grid);

    GtkTreeView *view = GTK_TREE_VIEW(bus->grid);
    /* Titled model columns 0..21 are view columns 0..21. */
    for (int i = 0; i < PELMORABOX_EVENT_AUXMEDIA_LAST; i++)
        gtk_tree_view_column_set_visible(gtk_tree_view_get_column(view, aux_media_column_idxs[i]),
                                         (bus->f_auxmedia_columns >> i) & 1 ? TRUE : FALSE);
    GtkTreeViewColumn *aux1 = gtk_tree_view_get_column(view, BUS_COLUMN_AUX1);
    gtk_tree_view_column_set_title(aux1, _("R.Key"));
    gtk_tree_view_column_set_visible(aux1, app && app->f_ab_reconciliation_key);
    GtkTreeViewColumn *aux2 = gtk_tree_view_get_column(view, BUS_COLUMN_AUX2);
    if (app && app->f_sgt_event_id)
        gtk_tree_view_column_set_title(aux2, _("SGT Event ID"));
    else if (app && app->f_adonis_branding_key)
        gtk_tree_view_column_set_title(aux2, _("Adonis Branding Key"));
    gtk_tree_view_column_set_visible(aux2, app && (app->f_sgt_event_id || app->f_adonis_branding_key));
    /* The icon cells keep the follow icon's size, filled or not. */
    GtkTreeViewColumn *icon_col = gtk_tree_view_get_column(view, BUS_COLUMN_START_TYPE_ICON);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(icon_col));
    GdkPixbuf *follow = get_start_type_pixbuf_by_idx(START_TYPE_FOLLOW);
    if (cells && follow)
        gtk_cell_renderer_set_fixed_size(static_cast<GtkCellRenderer *>(cells->data), gdk_pixbuf_get_width(follow),
                                         gdk_pixbuf_get_height(follow));
    g_list_free(cells);
    /* The event on air stands out at a glance, whatever its type colours. */
    ui_treeview_set_row_weight(bus->grid, on_air_weight, nullptr);
    g_signal_connect(bus->grid, "cursor-changed", G_CALLBACK(on_grid_cursor_changed_event), bus);
    gtk_widget_show(bus->scrolled);
}

/* First selected row: its index (-1 without one), its path (freed by the
 * caller) and its event. */
int first_selected(bus_t *bus, GtkTreePath **ppath, pelmorabox_event_t **pe)
{
    if (pe)
        *pe = nullptr;
    if (ppath)
        *ppath = nullptr;
    GtkTreeModel *model = grid_model(bus);
    if (!model)
        return -1;
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(bus->grid));
    GList *rows = gtk_tree_selection_get_selected_rows(sel, nullptr);
    int idx = -1;
    if (rows) {
        GtkTreePath *path = static_cast<GtkTreePath *>(rows->data);
        idx = gtk_tree_path_get_indices(path)[0];
        GtkTreeIter iter;
        if (pe && gtk_tree_model_get_iter(model, &iter, path))
            gtk_tree_model_get(model, &iter, BUS_COLUMN_DATA, pe, -1);
        if (ppath)
            *ppath = gtk_tree_path_copy(path);
    }
    g_list_free_full(rows, (GDestroyNotify)gtk_tree_path_free);
    return idx;
}

/* "in", "out" and "dur" frame counts of the details list as timecodes. */
std::string frames_text(const char *value)
{
    if (!value || !*value)
        return "";
    char *end = nullptr;
    long long f = strtoll(value, &end, 10);
    if (end == value)
        return "";
    long long a = f < 0 ? -f : f;
    if (a > INT32_MAX)
        a = INT32_MAX;
    char tc[TC_TEXT_SIZE] = "";
    tc_frames2tc((int)a, tc);
    return std::string(f < 0 ? "-" : "") + tc;
}

} // namespace

/* ---- Public functions. ---- */

const ui_button_desc *ui_button_lookup_local(int id)
{
    return ui_button_lookup(buttons, id);
}

int bus_ui_start_type_idx(char start_type)
{
    return start_type == 'M'   ? START_TYPE_MANUAL
           : start_type == 'F' ? START_TYPE_FIXED_TIME
           : start_type == 'G' ? START_TYPE_GAP_FILL
                               : START_TYPE_FOLLOW;
}

GdkPixbuf *get_start_type_pixbuf_by_idx(int i)
{
    static GdkPixbuf *start_type_pixbufs[START_TYPE_LAST];
    if (!start_type_pixbufs[0]) {
        const guint8 *const data[START_TYPE_LAST] = {inline_image_start_type_follow, inline_image_start_type_manual,
                                                     inline_image_start_type_fixed_time,
                                                     inline_image_start_type_gap_fill};
        for (int k = 0; k < START_TYPE_LAST; k++)
            start_type_pixbufs[k] = gdk_pixbuf_new_from_inline(-1, data[k], FALSE, nullptr);
    }
    return i >= 0 && i < START_TYPE_LAST ? start_type_pixbufs[i] : nullptr;
}

namespace {

/* ---- Notice line. ---- */

gboolean notice_expired(gpointer data)
{
    bus_t *bus = static_cast<bus_t *>(data);
    bus->rt.notice_timer = 0;
    bus_ui_notice(bus, nullptr, BUS_UI_NOTICE_NONE);
    return FALSE;
}

void notice_destroyed(GtkWidget *widget, gpointer data)
{
    (void)widget;
    bus_t *bus = static_cast<bus_t *>(data);
    if (bus->rt.notice_timer)
        g_source_remove(bus->rt.notice_timer);
    bus->rt.notice_timer = 0;
    bus->rt.notice = nullptr;
}

/* An event box (for the background) around a one-line label; an empty line
 * keeps its height, so the grid does not jump when a notice comes and goes. */
GtkWidget *notice_create(bus_t *bus)
{
    GtkWidget *box = gtk_event_box_new();
    GtkWidget *label = gtk_label_new("");
    gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.5f);
    gtk_misc_set_padding(GTK_MISC(label), 6, 2);
    gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
    ui_set_font_weight(label, PANGO_WEIGHT_BOLD);
    gtk_container_add(GTK_CONTAINER(box), label);
    gtk_widget_set_name(box, "bus_notice");
    g_object_set_data(G_OBJECT(box), "label", label);
    g_signal_connect(box, "destroy", G_CALLBACK(notice_destroyed), bus);
    gtk_widget_show_all(box);
    bus->rt.notice = box;
    return box;
}

} // namespace

int bus_ui_notice(bus_t *bus, const char *text, int kind)
{
    if (!bus)
        return -22;
    if (bus->rt.notice_timer) {
        g_source_remove(bus->rt.notice_timer);
        bus->rt.notice_timer = 0;
    }
    bus->rt.notice_failed = kind == BUS_UI_NOTICE_FAILED;
    GtkWidget *box = bus->rt.notice;
    if (!box)
        return 0;
    GtkWidget *label = static_cast<GtkWidget *>(g_object_get_data(G_OBJECT(box), "label"));
    const char *bg = nullptr, *fg = nullptr;
    if (kind == BUS_UI_NOTICE_FAILED) {
        bg = "#b00000";
        fg = "#ffffff";
        bus->rt.notice_timer = g_timeout_add(BUS_UI_NOTICE_MS, notice_expired, bus);
    } else if (kind == BUS_UI_NOTICE_SENDING) {
        bg = "#e0c000";
        fg = "#000000";
    }
    GdkColor c;
    if (bg && gdk_color_parse(bg, &c))
        gtk_widget_modify_bg(box, GTK_STATE_NORMAL, &c);
    else
        gtk_widget_modify_bg(box, GTK_STATE_NORMAL, nullptr);
    if (fg && gdk_color_parse(fg, &c))
        gtk_widget_modify_fg(label, GTK_STATE_NORMAL, &c);
    else
        gtk_widget_modify_fg(label, GTK_STATE_NORMAL, nullptr);
    gtk_label_set_text(GTK_LABEL(label), kind != BUS_UI_NOTICE_NONE && text ? text : "");
    gtk_widget_set_tooltip_text(box, kind != BUS_UI_NOTICE_NONE && text ? text : nullptr);
    return 0;
}

const char *bus_ui_notice_text(const bus_t *bus)
{
    if (!bus || !bus->rt.notice)
        return "";
    GtkWidget *label = static_cast<GtkWidget *>(g_object_get_data(G_OBJECT(bus->rt.notice), "label"));
    return label ? gtk_label_get_text(GTK_LABEL(label)) : "";
}

GtkWidget *ui_bus_create(GtkWidget *parent, bus_t *bus)
{
    GtkWidget *top = gtk_hbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(top), tool_column(parent, bus), FALSE, FALSE, 0);

    GtkWidget *operation = gtk_vbox_new(FALSE, 0);
    GtkWidget *top_row = gtk_hbox_new(FALSE, 0);
    /* The clocks scroll sideways where the page is narrower than they are
     * (the library shown on a small screen); the controls beside them stay
     * in sight. */
    gtk_box_pack_start(GTK_BOX(top_row), ui_hscroller(timers_group(bus)), TRUE, TRUE, 3);
    /* Controls over the counters rather than beside them: side by side the
     * panel needs more than a 1280-pixel screen. */
    GtkWidget *right = gtk_vbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(right), controls_group(parent, bus), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(right), usage_group(parent, bus), FALSE, FALSE, 0);
    gtk_widget_show(right);
    gtk_box_pack_start(GTK_BOX(top_row), right, FALSE, FALSE, 3);
    gtk_widget_show(top_row);
    gtk_box_pack_start(GTK_BOX(operation), top_row, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(operation), notice_create(bus), FALSE, FALSE, 0);

    grid_create(parent, bus);
    gtk_box_pack_start(GTK_BOX(operation), bus->scrolled, TRUE, TRUE, 0);
    gtk_widget_show(operation);
    gtk_box_pack_start(GTK_BOX(top), operation, TRUE, TRUE, 0);
    gtk_widget_show(top);
    bus->view.events_updated = bus_ui_update_events;
    bus->view.time_updated = bus_ui_update_time;
    bus->view.gone_offline = bus_ui_set_offline;
    return top;
}

int bus_ui_long_start(bus_t *bus, const pelmorabox_event_t *e, char *buf, size_t size)
{
    if (!bus || !e || !buf || !size)
        return -22;
    buf[0] = 0;
    int64_t ms = e->start + (int64_t)bus->long_start_offset * 3600 * 1000;
    int64_t sec = ms / 1000, rem_ms = ms % 1000;
    if (rem_ms < 0) {
        rem_ms += 1000;
        sec -= 1;
    }
    time_t t = (time_t)sec;
    struct tm tm_local = {};
    struct tm *r;
    if (bus->tz.value[0]) {
        if (!bus->tz.ctx)
            localtime_tz_set(bus->tz.value, &bus->tz.ctx);
        r = localtime_tz(&t, &tm_local, bus->tz.ctx);
    } else
        r = localtime_r(&t, &tm_local);
    if (!r)
        return 0;
    char text[64];
    snprintf(text, sizeof(text), "%04d-%02d-%02d %.2d:%.2d:%.2d:%.2d", tm_local.tm_year + 1900, tm_local.tm_mon + 1,
             tm_local.tm_mday, tm_local.tm_hour, tm_local.tm_min, tm_local.tm_sec, tc_mili2frames((int)rem_ms));
    strlcpy(buf, text, size);
    return (int)strlen(buf);
}

int bus_ui_update_event(bus_t *bus, int idx, pelmorabox_event_t *e_new)
{
    if (!bus_assert_main_thread("bus_ui_update_event"))
        return -1;
    GtkTreeModel *model = grid_model(bus);
    GtkTreeIter iter;
    if (!model || !e_new || idx < 0 || !gtk_tree_model_iter_nth_child(model, &iter, nullptr, idx)) {
        g_warning("%s: gtk_tree_model_get_iter failed, idx=%d", __func__, idx);
        return 0;
    }
    GtkListStore *store = GTK_LIST_STORE(model);
    pelmorabox_event_t *old = nullptr;
    gtk_tree_model_get(model, &iter, BUS_COLUMN_DATA, &old, -1);
    pelmorabox_event_t *e = pelmorabox_event_clone(e_new);
    if (!e)
        return -12;
    if (old)
        pelmorabox_event_destroy(&old);

    const instance_t *app = bus->app;
    char start[64];
    if (app && app->f_long_start)
        bus_ui_long_start(bus, e, start, sizeof(start));
    else
        strlcpy(start, e->start_time, sizeof(start));

    const char *media_id = e->media_id;
    if (app && app->f_hide_media_path) {
        const char *slash = strrchr(media_id, '/');
        if (slash)
            media_id = slash + 1;
    }
    char type[8] = "";
    if (e->event_type)
        snprintf(type, sizeof(type), "%c", e->event_type);

    std::string assets;
    for (const std::string &n : asset_names(e->assets)) {
        if (!assets.empty())
            assets += '\n';
        assets += n;
    }
    cut(assets, 259);

    gtk_list_store_set(store, &iter, BUS_COLUMN_START_TYPE_ICON,
                       get_start_type_pixbuf_by_idx(bus_ui_start_type_idx(e->start_type)), BUS_COLUMN_START, start,
                       BUS_COLUMN_MEDIA_TYPE, type, BUS_COLUMN_MEDIA_ID, media_id, BUS_COLUMN_DUR, e->duration,
                       BUS_COLUMN_MARK_IN, e->mark_in, BUS_COLUMN_MARK_OUT, e->mark_out, BUS_COLUMN_TITLE, e->title,
                       BUS_COLUMN_ASSETS, assets.c_str(), BUS_COLUMN_AR, e->ar, BUS_COLUMN_AMAP, e->audio_map,
                       BUS_COLUMN_AAMP, e->audio_amp, BUS_COLUMN_DATA, e, BUS_COLUMN_TAG, e->tag, -1);

    std::string notes = event_notes(e, app);
    gtk_list_store_set(store, &iter, BUS_COLUMN_NOTES, notes.c_str(), -1);

    /* Colours: type colour first, then error, then subclip; later wins. */
    int64_t f = e->flags;
    const char *bg = nullptr, *fg = nullptr;
    if (app && e->event_type >= 0 && e->event_type <= 255 && app->helper_type_color[e->event_type][0][0]) {
        bg = app->helper_type_color[e->event_type][0];
        fg = app->helper_type_color[e->event_type][1];
    }
    if (app && (!(f & PELMORABOX_EVENT_FLAG_PRESENT) || (f & PELMORABOX_EVENT_FLAG_RANGE_ERR))) {
        bg = app->color_item_bg_error_range;
        fg = app->color_item_fg_error_range;
    }
    if (app &&
        (((f & PELMORABOX_EVENT_FLAG_SUBCLIP) && app->f_ab_subclip_is_error) || (f & PELMORABOX_EVENT_FLAG_NON_CONT))) {
        bg = app->color_item_bg_subclip;
        fg = app->color_item_fg_subclip;
    }
    set_row_colors(store, &iter, bg, fg);

    if (app && app->f_ab_reconciliation_key) {
        const char *v = meta_value(e, "Reconciliation_Key");
        gtk_list_store_set(store, &iter, BUS_COLUMN_AUX1, v ? v : "", -1);
    }
    if (app && app->f_sgt_event_id) {
        const char *v = meta_value(e, "sgt_event_id");
        gtk_list_store_set(store, &iter, BUS_COLUMN_AUX2, v ? v : "", -1);
    }
    if (app && app->f_adonis_branding_key) {
        const char *v = meta_value(e, "adonis_branding_key");
        gtk_list_store_set(store, &iter, BUS_COLUMN_AUX2, v ? v : "", -1);
    }

    static const char *const aux_marks[4] = {"?", "-", "+", "#"};
    for (int i = 0; i < PELMORABOX_EVENT_AUXMEDIA_LAST; i++) {
        if (!((bus->f_auxmedia_columns >> i) & 1))
            continue;
        const char *mark = "";
        if (meta_value(e, pelmorabox_auxmedia_meta_keys[i]))
            mark = aux_marks[(f >> (11 + 2 * i)) & 3];
        gtk_list_store_set(store, &iter, aux_media_column_idxs[i], mark, -1);
    }
    return 0;
}

int bus_ui_update_events(bus_t *bus, int cnt, const int64_t *idxs, pelmorabox_event_t **es_new)
{
    if (!bus_assert_main_thread("bus_ui_update_events"))
        return -1;
    if (cnt > 0 && (!idxs || !es_new))
        return -22;
    int r = 0;
    for (int i = 0; i < cnt && r >= 0; i++) {
        /* An index beyond int is a row that cannot exist. */
        int idx = idxs[i] < 0 || idxs[i] > INT32_MAX ? -1 : (int)idxs[i];
        r = bus_ui_update_event(bus, idx, es_new[i]);
    }
    return r;
}

int bus_ui_update_time(bus_t *bus)
{
    if (!bus_assert_main_thread("bus_ui_update_time"))
        return -1;
    const instance_t *app = bus->app;
    const pelmorabox_bus_state_t *s = &bus->state.s;
    bool subclip_is_error = app && app->f_ab_subclip_is_error;
    bool short_timers = app && app->f_short_timers;

    set_counter_value(bus, BUTTON_LIST_BUS_ABSENT_ITEMS, s->lib_absent_count);
    set_counter_value(bus, BUTTON_LIST_BUS_ERROR_ITEMS,
                      s->ply_stat_flag_range + (subclip_is_error ? s->ply_stat_flag_subclip : 0));
    set_counter_value(bus, BUTTON_LIST_BUS_PRESENT_ITEMS, s->lib_present_count);
    set_counter_value(bus, BUTTON_LIST_BUS_CHECKING_ITEMS, s->lib_queued_count);

    set_clock(bus->clock, clock_text(s->time, false, short_timers));
    set_clock(bus->clock_rem, clock_text(s->curr_remain, true, short_timers));
    set_clock(bus->clock_ply, clock_text(s->ply_remain, true, short_timers));
    set_clock(bus->clock_absent_rem, clock_text(s->absent_remain, true, short_timers));
    set_clock(bus->clock_gap_overlap_rem, clock_text(s->fixed_time_remain, true, short_timers));
    set_clock(bus->clock_type_C_rem, clock_text(s->type_C_remain, true, short_timers));
    set_clock(bus->clock_type_L_rem, clock_text(s->type_L_remain, true, short_timers));

    if (bus->last_playlist) {
        std::string names = s->last_playlist;
        size_t sep = names.find(" > ");
        if (sep == std::string::npos) {
            ui_oled_timer_set_title(bus->last_playlist, names.c_str());
            ui_oled_timer_set_time(bus->last_playlist, "");
        } else {
            ui_oled_timer_set_title(bus->last_playlist, names.substr(0, sep).c_str());
            ui_oled_timer_set_time(bus->last_playlist, names.substr(sep + 3).c_str());
        }
    }

    show_status(bus, s->f_running ? 2 : 1);
    return 0;
}

int bus_ui_set_offline(bus_t *bus)
{
    if (!bus_assert_main_thread("bus_ui_set_offline"))
        return -1;
    bus_set_list_count(bus, 0);
    const char *blank = bus->app && bus->app->f_short_timers ? BUS_UI_EMPTY_TIME_SHORT : BUS_UI_EMPTY_TIME;
    for (GtkWidget *c : {bus->clock, bus->clock_rem, bus->clock_ply, bus->clock_absent_rem, bus->clock_gap_overlap_rem,
                         bus->clock_type_C_rem, bus->clock_type_L_rem})
        set_clock(c, blank);
    show_status(bus, 0);
    /* All four counters go: an error count kept from before the server was
     * lost would be a figure nobody can vouch for. */
    for (int id : {BUTTON_LIST_BUS_CHECKING_ITEMS, BUTTON_LIST_BUS_PRESENT_ITEMS, BUTTON_LIST_BUS_ABSENT_ITEMS,
                   BUTTON_LIST_BUS_ERROR_ITEMS})
        set_counter(bus, id, "");
    return 0;
}

int bus_ui_selected_idx(bus_t *bus, pelmorabox_event_t **pe)
{
    return first_selected(bus, nullptr, pe);
}

int64_t bus_ui_selected_sys_id(bus_t *bus, pelmorabox_event_t **pe)
{
    GtkTreePath *path = nullptr;
    pelmorabox_event_t *e = nullptr;
    int idx = first_selected(bus, &path, &e);
    g_warning("%s: path=%p", __func__, (void *)path);
    if (path)
        gtk_tree_path_free(path);
    if (pe)
        *pe = e;
    if (idx < 0 || !e || !e->sys_id)
        return -1;
    return e->sys_id;
}

int bus_ui_redraw_event_details(bus_t *bus)
{
    if (!bus_assert_main_thread("bus_ui_redraw_event_details"))
        return -1;
    GtkWidget *assets_tree = bus->event_details.assets_tree;
    GtkWidget *metas_tree = bus->event_details.metas_tree;
    pelmorabox_event_t *e = nullptr;
    if (!assets_tree || !metas_tree)
        return bus_ui_selected_idx(bus, nullptr);

    GtkListStore *assets = GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(assets_tree)));
    GtkListStore *metas = GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(metas_tree)));
    gtk_list_store_clear(assets);
    gtk_list_store_clear(metas);
    int idx = bus_ui_selected_idx(bus, &e);
    if (!e)
        return idx;

    std::vector<std::string> names = asset_names(e->assets);
    for (size_t i = 0; i < names.size(); i++) {
        int n = 0;
        for (size_t k = 0; k < i; k++)
            n += names[k] == names[i];
        std::string cells[3];
        const char *words[3] = {"in", "out", "dur"};
        for (int w = 0; w < 3; w++) {
            char key[600];
            snprintf(key, sizeof(key), "%s@%s#%d", words[w], names[i].c_str(), n);
            cells[w] = frames_text(meta_value(e, key));
        }
        GtkTreeIter it;
        gtk_list_store_append(assets, &it);
        gtk_list_store_set(assets, &it, ASSETS_DETAILS_COLUMN_TITLE, names[i].c_str(), ASSETS_DETAILS_COLUMN_IN,
                           cells[0].c_str(), ASSETS_DETAILS_COLUMN_OUT, cells[1].c_str(), ASSETS_DETAILS_COLUMN_DUR,
                           cells[2].c_str(), -1);
    }
    for (int i = 0; i < e->metadata_cnt && e->metadata_pairs; i++) {
        const pelmorabox_event_meta_pair_t *p = &e->metadata_pairs[i];
        if (strchr(p->key, '@'))
            continue;
        GtkTreeIter it;
        gtk_list_store_append(metas, &it);
        gtk_list_store_set(metas, &it, METAS_DETAILS_COLUMN_NAME, p->key, METAS_DETAILS_COLUMN_VALUE, p->val, -1);
    }
    return idx;
}
