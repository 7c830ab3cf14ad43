/* The main window. For now a top-level window holding the notebook of buses,
 * each page naming its bus and automation server; the bus panels, library
 * panes, preview strips and details areas fill the pages as they are built. */
#include "ui.h"

#include <gtk/gtk.h>

const char *ui_window_title(const instance_t *app)
{
    return app->window_title[0] ? app->window_title : "PelmoraBoxUI";
}

GtkWidget *ui_create(instance_t *app)
{
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), ui_window_title(app));
    gtk_window_set_default_size(GTK_WINDOW(window), 1024, 768);
    g_object_set_data(G_OBJECT(window), "pelmorabox_window", window);

    GtkWidget *notebook = gtk_notebook_new();
    app->apps_notebook = notebook;
    gtk_notebook_set_tab_pos(GTK_NOTEBOOK(notebook), app->f_busses_tab_pos_top ? GTK_POS_TOP : GTK_POS_BOTTOM);

    for (int i = 0; i < app->bus.count; i++) {
        bus_t *bus = &app->bus.list[i];
        GtkWidget *tab = gtk_hbox_new(FALSE, 2);
        bus->title_label = gtk_label_new(bus->title);
        gtk_box_pack_start(GTK_BOX(tab), bus->title_label, FALSE, FALSE, 0);
        gtk_widget_show_all(tab);

        char *text = g_strdup_printf("%s\n%s", bus->title, bus->host[0] ? bus->host : "(no automation server)");
        GtkWidget *page = gtk_label_new(text);
        g_free(text);
        gtk_widget_show(page);
        gtk_notebook_append_page(GTK_NOTEBOOK(notebook), page, tab);
    }

    gtk_widget_show(notebook);
    gtk_container_add(GTK_CONTAINER(window), notebook);
    return window;
}
