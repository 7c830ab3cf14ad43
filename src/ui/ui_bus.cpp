/* Bus panel, first cut: the event grid built from the full column plan, the
 * row renderer (the event's own copy in the row, its texts in the columns),
 * the status images of the tab, and the offline state. The clocks, counters,
 * buttons, colours and the details lists come with the complete panel. */
#include "ui_bus.h"

#include <libintl.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "bus.h"
#include "strl.h"
#include "ui_images.h"

#define _(s) dgettext("PelmoraBox", s)

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

namespace {

GtkTreeModel *grid_model(bus_t *bus)
{
    if (!bus->grid || !GTK_IS_TREE_VIEW(bus->grid))
        return nullptr;
    return gtk_tree_view_get_model(GTK_TREE_VIEW(bus->grid));
}

void show_status(bus_t *bus, int which)
{
    for (int i = 0; i < 3; i++)
        if (bus->online[i]) {
            if (i == which)
                gtk_widget_show(bus->online[i]);
            else
                gtk_widget_hide(bus->online[i]);
        }
}

/* State lines of an event, in the order the operator reads them. */
std::string event_notes(const pelmorabox_event_t *e, const instance_t *app)
{
    std::string notes;
    auto add = [&notes](const char *line) {
        if (!notes.empty())
            notes += '\n';
        notes += _(line);
    };
    int64_t f = e->flags;
    if (f & PELMORABOX_EVENT_FLAG_PLAY_FAILED)
        add("PLAY FAILED");
    else if (f & PELMORABOX_EVENT_FLAG_PLAYING)
        add("PLAYING");
    else if (f & PELMORABOX_EVENT_FLAG_PLAY)
        add("PLAY");
    if (f & PELMORABOX_EVENT_FLAG_CUE_FAILED)
        add("CUE FAILED");
    else if (f & PELMORABOX_EVENT_FLAG_CUED)
        add("CUED");
    else if (f & PELMORABOX_EVENT_FLAG_CUEING)
        add("CUEING");
    if (!(f & PELMORABOX_EVENT_FLAG_PRESENT))
        add("ABSENT");
    if (f & PELMORABOX_EVENT_FLAG_RANGE_ERR)
        add("RANGE ERR");
    if ((f & PELMORABOX_EVENT_FLAG_SUBCLIP) && app && app->f_ab_subclip_is_error)
        add("SUBCLIP");
    if (f & PELMORABOX_EVENT_FLAG_NON_CONT)
        add("NON CONT");
    if (notes.size() > 259)
        notes.resize(259);
    return notes;
}

} // namespace

/* The panel's buttons; only the preview pair is placed so far (by the main
 * window), the rest come with the complete panel. */
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

const ui_button_desc *ui_button_lookup_local(int id)
{
    return ui_button_lookup(buttons, id);
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

GtkWidget *ui_bus_create(GtkWidget *parent, bus_t *bus)
{
    const instance_t *app = bus->app;
    GtkWidget *top = gtk_hbox_new(FALSE, 0);

    bus->scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(bus->scrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    char name[32];
    snprintf(name, sizeof(name), "bus_list_%d", bus->idx);
    bus->grid = ui_create_treeview_list(parent, name, columns_plan);
    gtk_widget_set_name(bus->grid, name);
    gtk_container_add(GTK_CONTAINER(bus->scrolled), bus->grid);

    GtkTreeView *view = GTK_TREE_VIEW(bus->grid);
    /* Titled model columns 0..21 are view columns 0..21. */
    for (int i = 0; i < 6; i++)
        gtk_tree_view_column_set_visible(gtk_tree_view_get_column(view, i),
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

    gtk_widget_show(bus->scrolled);
    gtk_box_pack_start(GTK_BOX(top), bus->scrolled, TRUE, TRUE, 0);
    gtk_widget_show(top);
    return top;
}

int bus_ui_update_event(bus_t *bus, int idx, pelmorabox_event_t *e_new)
{
    if (!bus_assert_main_thread("bus_ui_update_event"))
        return -1;
    GtkTreeModel *model = grid_model(bus);
    GtkTreeIter iter;
    if (!model || !e_new || idx < 0 || !gtk_tree_model_iter_nth_child(model, &iter, nullptr, idx)) {
        g_warning("%s: gtk_tree_model_get_iter failed, idx=%d", "bus_ui_update_event", idx);
        return 0;
    }
    pelmorabox_event_t *old = nullptr;
    gtk_tree_model_get(model, &iter, BUS_COLUMN_DATA, &old, -1);
    if (old)
        pelmorabox_event_destroy(&old);
    pelmorabox_event_t *e = pelmorabox_event_clone(e_new);
    if (!e)
        return -12;

    const instance_t *app = bus->app;
    /* Connection point: the long start text (--long-start) comes with the
     * complete panel; the event's start time stands in for it. */
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
    for (const char *p = e->assets; *p;) {
        const char *plus = strchr(p, '+');
        size_t len = plus ? (size_t)(plus - p) : strlen(p);
        if (len) {
            if (!assets.empty())
                assets += '\n';
            assets.append(p, len);
        }
        p += len + (plus ? 1 : 0);
    }
    if (assets.size() > 259)
        assets.resize(259);

    std::string notes = event_notes(e, app);
    int start_type = e->start_type == 'M'   ? START_TYPE_MANUAL
                     : e->start_type == 'F' ? START_TYPE_FIXED_TIME
                     : e->start_type == 'G' ? START_TYPE_GAP_FILL
                                            : START_TYPE_FOLLOW;
    gtk_list_store_set(GTK_LIST_STORE(model), &iter, BUS_COLUMN_START_TYPE_ICON,
                       get_start_type_pixbuf_by_idx(start_type), BUS_COLUMN_START, e->start_time, BUS_COLUMN_MEDIA_TYPE, type,
                       BUS_COLUMN_MEDIA_ID, media_id, BUS_COLUMN_DUR, e->duration, BUS_COLUMN_MARK_IN, e->mark_in,
                       BUS_COLUMN_MARK_OUT, e->mark_out, BUS_COLUMN_TITLE, e->title, BUS_COLUMN_ASSETS,
                       assets.c_str(), BUS_COLUMN_AR, e->ar, BUS_COLUMN_AMAP, e->audio_map, BUS_COLUMN_AAMP,
                       e->audio_amp, BUS_COLUMN_DATA, e, BUS_COLUMN_TAG, e->tag, BUS_COLUMN_NOTES, notes.c_str(),
                       -1);
    return 0;
}

int bus_ui_update_events(bus_t *bus, int cnt, const int64_t *idxs, pelmorabox_event_t **es_new)
{
    if (!bus_assert_main_thread("bus_ui_update_events"))
        return -1;
    int r = 0;
    for (int i = 0; i < cnt && r >= 0; i++)
        r = bus_ui_update_event(bus, (int)idxs[i], es_new[i]);
    return r;
}

int bus_ui_update_time(bus_t *bus)
{
    if (!bus_assert_main_thread("bus_ui_update_time"))
        return -1;
    /* Connection point: clocks and counters come with the complete panel. */
    show_status(bus, bus->state.s.f_running ? 2 : 1);
    return 0;
}

int bus_ui_set_offline(bus_t *bus)
{
    if (!bus_assert_main_thread("bus_ui_set_offline"))
        return -1;
    bus_set_list_count(bus, 0);
    show_status(bus, 0);
    return 0;
}

int bus_ui_selected_idx(bus_t *bus, pelmorabox_event_t **pe)
{
    if (pe)
        *pe = nullptr;
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
    }
    for (GList *l = rows; l; l = l->next)
        gtk_tree_path_free(static_cast<GtkTreePath *>(l->data));
    g_list_free(rows);
    return idx;
}

int bus_ui_redraw_event_details(bus_t *bus)
{
    if (!bus_assert_main_thread("bus_ui_redraw_event_details"))
        return -1;
    /* Connection point: filling the ASSETS and METAS lists of the details
     * area comes with the complete panel; for now only the selection is
     * found. */
    return bus_ui_selected_idx(bus, nullptr);
}
