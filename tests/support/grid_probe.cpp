/* Bus grid read-outs: see grid_probe.h. */
#include "grid_probe.h"

#include <gtk/gtk.h>

#include "pelmorabox.h"
#include "ui_bus.h"

int grid_rows(bus_t *bus)
{
    return gtk_tree_model_iter_n_children(gtk_tree_view_get_model(GTK_TREE_VIEW(bus->grid)), nullptr);
}

pelmorabox_event_t *grid_event(bus_t *bus, int idx)
{
    GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(bus->grid));
    GtkTreeIter it;
    pelmorabox_event_t *e = nullptr;
    if (gtk_tree_model_iter_nth_child(m, &it, nullptr, idx))
        gtk_tree_model_get(m, &it, BUS_COLUMN_DATA, &e, -1);
    return e;
}

std::string grid_text(bus_t *bus, int idx, int column)
{
    GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(bus->grid));
    GtkTreeIter it;
    gchar *s = nullptr;
    if (gtk_tree_model_iter_nth_child(m, &it, nullptr, idx))
        gtk_tree_model_get(m, &it, column, &s, -1);
    std::string r = s ? s : "";
    g_free(s);
    return r;
}

bool grid_visible(bus_t *bus, int *first, int *last)
{
    GtkTreePath *a = nullptr, *b = nullptr;
    if (!gtk_tree_view_get_visible_range(GTK_TREE_VIEW(bus->grid), &a, &b))
        return false;
    *first = gtk_tree_path_get_indices(a)[0];
    *last = gtk_tree_path_get_indices(b)[0];
    gtk_tree_path_free(a);
    gtk_tree_path_free(b);
    return true;
}

bool grid_visible_filled(bus_t *bus, int64_t min_amend)
{
    int a, b;
    if (!grid_visible(bus, &a, &b))
        return false;
    for (int i = a; i <= b; i++) {
        pelmorabox_event_t *e = grid_event(bus, i);
        if (!e || e->amend < min_amend)
            return false;
    }
    return true;
}
