/* The main window: the notebook of buses with their tab labels (icon, title,
 * three status images), each page a paned widget holding the bus panel and
 * the bus's library pane, under which sit the preview strip and the event
 * details area; page switching marks the current bus in bold. */
#include "ui.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "bus.h"
#include "bus_ctl.h"
#include "bus_dnd.h"
#include "library_pane.h"
#include "pelmora_io_preview.h"
#include "strl.h"
#include "ui_bus.h"
#include "ui_bus_dialogs.h"
#include "ui_dlg.h"
#include "ui_images.h"
#include "ui_search.h"

#include "i18n.h"

const ui_column_desc assets_details_columns[ASSETS_DETAILS_COLUMN_LAST + 1] = {
    {ASSETS_DETAILS_COLUMN_TITLE, "TITLE", G_TYPE_STRING},
    {ASSETS_DETAILS_COLUMN_IN, "IN", G_TYPE_STRING},
    {ASSETS_DETAILS_COLUMN_OUT, "OUT", G_TYPE_STRING},
    {ASSETS_DETAILS_COLUMN_DUR, "DUR", G_TYPE_STRING},
    {ASSETS_DETAILS_COLUMN_ITEM_DATA, nullptr, G_TYPE_POINTER},
    {ASSETS_DETAILS_COLUMN_BG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {ASSETS_DETAILS_COLUMN_BG_COLOR_V, nullptr, G_TYPE_STRING},
    {ASSETS_DETAILS_COLUMN_FG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {ASSETS_DETAILS_COLUMN_FG_COLOR_V, nullptr, G_TYPE_STRING},
    {-1, nullptr, G_TYPE_INVALID},
};

const ui_column_desc metas_details_columns[METAS_DETAILS_COLUMN_LAST + 1] = {
    {METAS_DETAILS_COLUMN_NAME, "TITLE", G_TYPE_STRING},       {METAS_DETAILS_COLUMN_VALUE, "VALUE", G_TYPE_STRING},
    {METAS_DETAILS_COLUMN_ITEM_DATA, nullptr, G_TYPE_POINTER}, {METAS_DETAILS_COLUMN_BG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {METAS_DETAILS_COLUMN_BG_COLOR_V, nullptr, G_TYPE_STRING}, {METAS_DETAILS_COLUMN_FG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {METAS_DETAILS_COLUMN_FG_COLOR_V, nullptr, G_TYPE_STRING}, {-1, nullptr, G_TYPE_INVALID},
};

namespace {

GtkWidget *inline_image(const guint8 *data)
{
    GdkPixbuf *pb = gdk_pixbuf_new_from_inline(-1, data, FALSE, nullptr);
    GtkWidget *img = pb ? gtk_image_new_from_pixbuf(pb) : gtk_image_new();
    if (pb)
        g_object_unref(pb);
    return img;
}

GtkWidget *notebook_title_with_icon(bus_t *bus)
{
    GtkWidget *tab = gtk_hbox_new(FALSE, 2);
    if (bus->title_icon[0]) {
        GError *err = nullptr;
        GdkPixbuf *pb = gdk_pixbuf_new_from_file(bus->title_icon, &err);
        if (pb) {
            GtkWidget *icon = gtk_image_new_from_pixbuf(pb);
            g_object_unref(pb);
            gtk_box_pack_start(GTK_BOX(tab), icon, FALSE, FALSE, 0);
        } else {
            g_warning("%s: failed to load file [%s]: %s", __func__, bus->title_icon, err ? err->message : "");
            if (err)
                g_error_free(err);
        }
    }
    bus->title_label = gtk_label_new(bus->title);
    gtk_box_pack_start(GTK_BOX(tab), bus->title_label, FALSE, FALSE, 0);
    gtk_widget_show_all(tab);

    static const guint8 *const status_images[3] = {status_offline_image, status_online_paused_image,
                                                   status_online_playing_image};
    for (int i = 0; i < 3; i++) {
        bus->online[i] = inline_image(status_images[i]);
        gtk_box_pack_start(GTK_BOX(tab), bus->online[i], FALSE, FALSE, 5);
        if (i == 0)
            gtk_widget_show(bus->online[i]);
    }
    return tab;
}

GtkWidget *expanding_label(void)
{
    GtkWidget *l = gtk_label_new("");
    gtk_widget_show(l);
    return l;
}

/* The preview box: hide button, the strip, show button. The strip is where
 * the network video preview goes. */
GtkWidget *preview_box(bus_t *bus)
{
    GtkWidget *box = gtk_vbox_new(FALSE, 0);
    gtk_widget_show(box);
    if (!bus->prv.host[0])
        return box;

    /* The hide button, and the way to the preview server's settings that
     * an operator can see (the right double click on the picture is also
     * there); it stays when the picture is hidden. */
    GtkWidget *top_row = gtk_hbox_new(FALSE, 0);
    bus->prv.btn_off = ui_create_button_image(ui_button_lookup_local(BUTTON_PRV_HIDE));
    if (bus->prv.btn_off) {
        g_signal_connect(bus->prv.btn_off, "clicked", G_CALLBACK(preview_button_hide_cb), bus);
        gtk_box_pack_start(GTK_BOX(top_row), bus->prv.btn_off, FALSE, FALSE, 0);
        gtk_widget_show(bus->prv.btn_off);
    }
    GtkWidget *settings = gtk_button_new_with_label(_("Channel settings"));
    gtk_widget_set_can_focus(settings, FALSE);
    gchar *tip = g_strdup_printf(_("Settings of the IO server %s"), bus->prv.host);
    gtk_widget_set_tooltip_text(settings, tip);
    g_free(tip);
    gtk_widget_set_name(settings, "preview_io_settings");
    g_signal_connect(settings, "clicked", G_CALLBACK(preview_settings_clicked), bus);
    gtk_box_pack_end(GTK_BOX(top_row), settings, FALSE, FALSE, 0);
    gtk_widget_show(settings);
    gtk_box_pack_start(GTK_BOX(box), top_row, FALSE, FALSE, 0);
    gtk_widget_show(top_row);

    bus->prv.hbox = gtk_hbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(bus->prv.hbox), expanding_label(), TRUE, TRUE, 0);
    /* HOST:PORT: the IO server at HOST sends its picture as the source
     * named after its port. */
    std::string host(bus->prv.host);
    size_t colon = host.find(':');
    std::string ip = host.substr(0, colon);
    std::string name = "PelmoraIO_" + (colon == std::string::npos ? std::string() : host.substr(colon + 1));
    bus->prv.wnd = pelmora_io_preview_create(ip.c_str(), name.c_str(), 320, 180);
    if (bus->prv.wnd) {
        pelmora_io_preview_button_press_event(bus->prv.wnd, G_CALLBACK(on_ndi_prvs_button_press_event), bus);
        gtk_box_pack_start(GTK_BOX(bus->prv.hbox), bus->prv.wnd, FALSE, FALSE, 0);
        gtk_widget_show(bus->prv.wnd);
    }
    gtk_box_pack_start(GTK_BOX(bus->prv.hbox), expanding_label(), TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), bus->prv.hbox, FALSE, FALSE, 0);
    gtk_widget_show(bus->prv.hbox);

    bus->prv.btn_on = ui_create_button_image(ui_button_lookup_local(BUTTON_PRV_SHOW));
    if (bus->prv.btn_on) {
        g_signal_connect(bus->prv.btn_on, "clicked", G_CALLBACK(preview_button_show_cb), bus);
        gtk_box_pack_start(GTK_BOX(box), bus->prv.btn_on, FALSE, FALSE, 0);
        gtk_widget_hide(bus->prv.btn_on);
    }
    return box;
}

} // namespace

namespace {

/* The IO settings of the strip's server. */
void preview_io_settings(bus_t *bus)
{
    /* The strip's server may be another than the bus's preview server: a
     * record of its own for the dialog's time. */
    auto *srv = static_cast<srv_t *>(calloc(1, sizeof(srv_t)));
    if (!srv)
        return;
    strlcpy(srv->host, bus->prv.host, sizeof(srv->host));
    strlcpy(srv->url, ("http://" + std::string(bus->prv.host) + "/RPC2").c_str(), sizeof(srv->url));
    bus_ctl_io_settings(bus, nullptr, srv);
    free(srv);
}

} // namespace

gboolean on_ndi_prvs_button_press_event(GtkWidget *widget, GdkEventButton *event, gpointer user_data)
{
    (void)widget;
    bus_t *bus = static_cast<bus_t *>(user_data);
    g_warning("%s: !", __func__);
    if (!bus || !event || event->type != GDK_2BUTTON_PRESS || event->button != 3 || !bus->prv.host[0])
        return FALSE;
    preview_io_settings(bus);
    return TRUE;
}

gboolean preview_settings_clicked(GtkWidget *button, gpointer user_data)
{
    (void)button;
    bus_t *bus = static_cast<bus_t *>(user_data);
    if (bus && bus->prv.host[0])
        preview_io_settings(bus);
    return TRUE;
}

namespace {

GtkWidget *details_page(GtkWidget *top, const char *name, const ui_column_desc *columns, GtkWidget **ptree)
{
    GtkWidget *scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    *ptree = ui_create_treeview_list(top, name, columns);
    gtk_widget_set_name(*ptree, name);
    gtk_container_add(GTK_CONTAINER(scrolled), *ptree);
    gtk_widget_show(scrolled);
    return scrolled;
}

GtkWidget *details_area(GtkWidget *top, bus_t *bus)
{
    GtkWidget *box = gtk_vbox_new(FALSE, 0);
    if (!bus->event_details.height)
        return box; /* stays empty and hidden */
    gtk_widget_set_size_request(box, -1, bus->event_details.height);
    GtkWidget *nb = gtk_notebook_new();
    gtk_notebook_set_tab_pos(GTK_NOTEBOOK(nb), GTK_POS_BOTTOM);
    gtk_notebook_append_page(
        GTK_NOTEBOOK(nb),
        details_page(top, "treeview__assets_details", assets_details_columns, &bus->event_details.assets_tree),
        gtk_label_new(_("ASSETS")));
    gtk_notebook_append_page(
        GTK_NOTEBOOK(nb),
        details_page(top, "treeview__metas_details", metas_details_columns, &bus->event_details.metas_tree),
        gtk_label_new(_("METAS")));
    gtk_widget_show(nb);
    gtk_box_pack_start(GTK_BOX(box), nb, TRUE, TRUE, 0);
    gtk_widget_show(box);
    return box;
}

} // namespace

const char *ui_window_title(const instance_t *app)
{
    return app->window_title[0] ? app->window_title : "PelmoraBoxUI";
}

void ui_window_set_icons_list(GtkWidget *wnd)
{
    static GList *il;
    if (!il) {
        const guint8 *const logos[3] = {inline_image_logo_16x16, inline_image_logo_32x32, inline_image_logo_48x48};
        for (const guint8 *data : logos)
            if (GdkPixbuf *pb = gdk_pixbuf_new_from_inline(-1, data, FALSE, nullptr))
                il = g_list_append(il, pb);
    }
    gtk_window_set_icon_list(GTK_WINDOW(wnd), il);
}

/* GTK measures the rows of a realized grid in the background (30 ms passes,
 * each asking the window for a new size), and the notebook's size request
 * asks every page, measuring rows of every grid again. With eight long
 * lists shown once, every pass of every grid ran in the same main-loop
 * iteration: the loop was held for a quarter of a second at a time. A grid
 * whose page is not on screen is therefore hidden (its page is no longer
 * asked about it) and unrealized (its background measuring stops); shown
 * again, it goes on from the rows it had measured, with its scroll position,
 * selection and cursor, which live in the model, the view and the
 * adjustments, not in its windows. */
static void ui_grid_follow_page(GtkWidget *grid, bool on_screen)
{
    if (!grid)
        return;
    if (on_screen) {
        gtk_widget_show(grid);
        return;
    }
    if (gtk_widget_get_visible(grid))
        gtk_widget_hide(grid);
    if (gtk_widget_get_realized(grid))
        gtk_widget_unrealize(grid);
}

gboolean pane_operation_area_notebook_switch_page_cb(GtkNotebook *notebook, gpointer page, guint page_num,
                                                     gpointer user_data)
{
    (void)notebook;
    (void)page;
    instance_t *app = static_cast<instance_t *>(user_data);
    g_warning("%s: page_num=%d", __func__, (int)page_num);
    for (int i = 0; i < app->bus.count; i++) {
        bus_t *bus = &app->bus.list[i];
        /* Pages are added one by one: later buses have no tab yet. */
        if (bus->title_label)
            ui_set_font_weight(bus->title_label, i == (int)page_num ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
        if (bus->prv.hbox)
            gtk_widget_hide(bus->prv.hbox);
        ui_grid_follow_page(bus->grid, i == (int)page_num);
    }
    if ((int)page_num < app->bus.count) {
        bus_t *bus = &app->bus.list[page_num];
        if (bus->prv.hbox)
            gtk_widget_show(bus->prv.hbox);
        if (bus->tz.value[0])
            g_warning("%s: used timezone to %s", __func__, bus->tz.value);
    }
    return TRUE;
}

gboolean preview_button_hide_cb(GtkWidget *button, gpointer user_data)
{
    (void)button;
    bus_t *bus = static_cast<bus_t *>(user_data);
    if (bus->prv.btn_off)
        gtk_widget_hide(bus->prv.btn_off);
    if (bus->prv.hbox)
        gtk_widget_hide(bus->prv.hbox);
    if (bus->prv.btn_on)
        gtk_widget_show(bus->prv.btn_on);
    return TRUE;
}

gboolean preview_button_show_cb(GtkWidget *button, gpointer user_data)
{
    (void)button;
    bus_t *bus = static_cast<bus_t *>(user_data);
    if (bus->prv.btn_on)
        gtk_widget_hide(bus->prv.btn_on);
    if (bus->prv.btn_off)
        gtk_widget_show(bus->prv.btn_off);
    if (bus->prv.hbox)
        gtk_widget_show(bus->prv.hbox);
    return TRUE;
}

GtkWidget *ui_create(instance_t *app)
{
    bus_main_thread_mark();

    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), ui_window_title(app));
    gtk_window_set_default_size(GTK_WINDOW(window), 1024, 768);
    ui_window_set_icons_list(window);
    g_object_set_data(G_OBJECT(window), "pelmorabox_window", window);
    /* Questions and messages open centred over the console. */
    ui_dlg_set_default_parent(window);
    /* A screen smaller than that gets a window it can hold (the window is
     * the default parent now: it is placed on the screen, over nothing). */
    ui_dlg_fit_screen(window, nullptr);

    GtkWidget *notebook = gtk_notebook_new();
    app->apps_notebook = notebook;
    gtk_widget_show(notebook);
    gtk_notebook_set_tab_pos(GTK_NOTEBOOK(notebook), app->f_busses_tab_pos_top ? GTK_POS_TOP : GTK_POS_BOTTOM);
    g_signal_connect(notebook, "switch-page", G_CALLBACK(pane_operation_area_notebook_switch_page_cb), app);

    for (int i = 0; i < app->bus.count; i++) {
        bus_t *bus = &app->bus.list[i];
        /* The panel reads the options through the back pointer, which start-up
         * sets again when the engine starts. */
        bus->app = app;
        GtkWidget *tab = notebook_title_with_icon(bus);

        GtkWidget *paned = gtk_hpaned_new();
        gtk_paned_set_position(GTK_PANED(paned), 900);
        bus->window = ui_bus_create(paned, bus);
        bus_ui_dialogs_attach(bus);
        bus_dnd_attach(bus);
        /* Keys and clicks run commands once the bus's engine runs. */
        bus->view.attach = bus_ctl_attach;
        gtk_paned_pack1(GTK_PANED(paned), bus->window, TRUE, FALSE);

        GtkWidget *btm = gtk_vbox_new(FALSE, 0);
        gtk_box_pack_start(GTK_BOX(btm), preview_box(bus), FALSE, FALSE, 0);
        gtk_box_pack_start(GTK_BOX(btm), details_area(paned, bus), TRUE, TRUE, 0);
        gtk_widget_show(btm);

        GtkWidget *lib = library_ui_create_main(paned, &bus->lib, 0, btm);
        gtk_paned_pack2(GTK_PANED(paned), lib, FALSE, FALSE);

        ui_create_search_window(bus);

        gtk_widget_show(paned);
        gtk_notebook_append_page(GTK_NOTEBOOK(notebook), paned, tab);
        /* Only the first page switches to itself; later pages start off
         * screen. */
        ui_grid_follow_page(bus->grid, gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook)) == i);
    }

    gtk_container_add(GTK_CONTAINER(window), notebook);
    return window;
}
