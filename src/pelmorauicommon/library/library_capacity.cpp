/* Search row and capacity indicator of a library tree. */
#include "library_capacity.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "gdk_unlock.h"
#include "library_ui.h"
#include "transfer_jobs.h"
#include "ui_images.h"
#include "ui_tools.h"

#include "i18n.h"

namespace {

const ui_button_desc buttons[] = {
    {3, "Find item", nullptr, nullptr, "button_library_find", library_find_image},
    {4, "Find next item", nullptr, nullptr, "button_library_find_next", library_find_next_image},
    {0, nullptr, nullptr, nullptr, nullptr, nullptr},
};

/* The cell shown rides on the image that shows it, as cell + 1 (0: none). */
const char *const CELL_KEY = "library_capacity_cell";

const char *search_text(library_t *lib)
{
    GtkWidget *e = lib->ui[LIBRARY_UI_SEARCH];
    return e ? gtk_entry_get_text(GTK_ENTRY(e)) : "";
}

void search(library_t *lib, int idx)
{
    int r = library_search(lib, idx, search_text(lib));
    if (r < 0) {
        char text[400];
        snprintf(text, sizeof text, r == -2 ? _("Nothing found for [%s]") : _("Search for [%s] failed (%d)"),
                 search_text(lib), r);
        library_ui_notice(lib, text);
    } else
        library_ui_notice(lib, nullptr);
}

void on_find(GtkWidget *, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    lib->last_search = -1;
    search(lib, -1);
}

void on_find_next(GtkWidget *, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    search(lib, lib->last_search);
}

void capacity_hook(library_t *lib, int cap, const pelmora_lib_state_t *)
{
    library_ui_set_capacity(lib, cap);
}

/* Greyed while the server does not answer: the used space it shows is no
 * longer known. */
void server_hook(library_t *lib, int how, int)
{
    if (GtkWidget *gauge = lib->ui[LIBRARY_UI_CAPACITY_DST])
        gtk_widget_set_sensitive(gauge, how == LIBRARY_SERVER_ANSWERS);
}

void on_image_destroy(GtkWidget *img, gpointer lib)
{
    library_t *l = static_cast<library_t *>(lib);
    if (l->ui[LIBRARY_UI_CAPACITY_DST] == img)
        l->ui[LIBRARY_UI_CAPACITY_DST] = nullptr;
}

GtkWidget *button(library_t *lib, int id, int slot, GCallback cb)
{
    GtkWidget *b = ui_create_button_image(ui_button_lookup(buttons, id));
    gtk_widget_set_can_focus(b, TRUE);
    g_signal_connect(b, "clicked", cb, lib);
    lib->ui[slot] = b;
    return b;
}

} // namespace

GtkWidget *library_ui_search_row_create(library_t *lib)
{
    GtkWidget *row = gtk_hbox_new(FALSE, 0);
    GtkWidget *entry = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(entry), 259);
    lib->ui[LIBRARY_UI_SEARCH] = entry;
    /* Enter in the entry is a find. */
    g_signal_connect(entry, "activate", G_CALLBACK(on_find), lib);
    gtk_box_pack_start(GTK_BOX(row), entry, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(row), button(lib, 3, LIBRARY_UI_BUTTON_FIND, G_CALLBACK(on_find)), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(row), button(lib, 4, LIBRARY_UI_BUTTON_FIND_NEXT, G_CALLBACK(on_find_next)), FALSE,
                       FALSE, 0);

    GtkWidget *img = gtk_image_new();
    /* The whole gauge image rides on the widget that shows its cells. */
    g_object_set_data_full(
        G_OBJECT(img), "library_capacity_image", ui_images_pixbuf(library_capacity_image),
        (GDestroyNotify) + [](gpointer pb) {
            if (pb)
                g_object_unref(pb);
        });
    lib->ui[LIBRARY_UI_CAPACITY_DST] = img;
    gtk_widget_set_has_tooltip(img, TRUE);
    g_signal_connect(img, "query-tooltip", G_CALLBACK(library_capacity_query_tooltip_cb), lib);
    g_signal_connect(img, "destroy", G_CALLBACK(on_image_destroy), lib);
    gtk_box_pack_start(GTK_BOX(row), img, FALSE, FALSE, 2);
    library_ui_set_capacity(lib, LIBRARY_CAPACITY_START);
    const library_listener_t listener = {capacity_hook, server_hook, nullptr};
    library_ui_listen(lib, &listener);
    gtk_widget_show_all(row);
    return row;
}

int library_ui_set_capacity(library_t *lib, int cap)
{
    GtkWidget *img = lib ? lib->ui[LIBRARY_UI_CAPACITY_DST] : nullptr;
    if (!img)
        return -2;
    auto *src = static_cast<GdkPixbuf *>(g_object_get_data(G_OBJECT(img), "library_capacity_image"));
    /* Used space below 0 (more free than total) shows as empty. */
    cap = cap > 99 ? 99 : cap < 0 ? 0 : cap;
    if (library_ui_capacity_cell(lib) == cap)
        return 0;
    g_object_set_data(G_OBJECT(img), CELL_KEY, GINT_TO_POINTER(cap + 1));
    if (!src || gdk_pixbuf_get_width(src) < 10 * LIBRARY_CAPACITY_CELL ||
        gdk_pixbuf_get_height(src) < 10 * LIBRARY_CAPACITY_CELL)
        return 0;
    GdkPixbuf *cell =
        gdk_pixbuf_new_subpixbuf(src, (cap % 10) * LIBRARY_CAPACITY_CELL, (cap / 10) * LIBRARY_CAPACITY_CELL,
                                 LIBRARY_CAPACITY_CELL, LIBRARY_CAPACITY_CELL);
    gtk_image_set_from_pixbuf(GTK_IMAGE(img), cell);
    g_object_unref(cell);
    return 0;
}

int library_ui_capacity_cell(library_t *lib)
{
    GtkWidget *img = lib ? lib->ui[LIBRARY_UI_CAPACITY_DST] : nullptr;
    return img ? GPOINTER_TO_INT(g_object_get_data(G_OBJECT(img), CELL_KEY)) - 1 : -1;
}

void library_capacity_texts(int64_t free_space, int64_t total_space, int total_items, char free_gb[32], char free_p[32],
                            char total_gb[32], char items[32])
{
    const double gib = 1024.0 * 1024.0 * 1024.0;
    double f = (double)free_space / gib, t = (double)total_space / gib;
    snprintf(free_gb, 32, "%.3f", f);
    if (total_space > 0)
        snprintf(free_p, 32, "%.3f", f * 100.0 / t);
    else
        free_p[0] = 0;
    snprintf(total_gb, 32, "%.3f", t);
    snprintf(items, 32, "%d", total_items);
}

gboolean library_capacity_query_tooltip_cb(GtkWidget *, gint, gint, gboolean, GtkTooltip *tooltip, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    std::string url = lib->url;
    pelmora_lib_state_t *st = nullptr;
    /* On a worker: a slow server must not hold the main loop while the
     * pointer rests on the gauge. */
    int r = library_jobs_call([&] { return pelmora_lib_state(url.c_str(), LIBRARY_JOURNAL_LIMIT, &st); });
    if (r < 0 || !st) {
        free(st);
        return FALSE;
    }
    char fg[32], fp[32], tg[32], it[32];
    library_capacity_texts(st->free_space, st->total_space, st->total_items, fg, fp, tg, it);
    free(st);

    GtkWidget *frame = gtk_frame_new(_("library stat"));
    GtkWidget *table = gtk_table_new(4, 3, FALSE);
    gtk_table_set_col_spacings(GTK_TABLE(table), 6);
    const char *cells_text[4][3] = {
        {_("Free space"), fg, "GB"}, {"", fp, "%"}, {_("Total space"), tg, "GB"}, {_("Total items"), it, ""}};
    for (int r2 = 0; r2 < 4; r2++)
        for (int c = 0; c < 3; c++) {
            GtkWidget *l = gtk_label_new(cells_text[r2][c]);
            gtk_misc_set_alignment(GTK_MISC(l), c == 1 ? 1.0f : 0.0f, 0.5f);
            gtk_table_attach(GTK_TABLE(table), l, (guint)c, (guint)c + 1, (guint)r2, (guint)r2 + 1, GTK_FILL, GTK_FILL,
                             0, 0);
        }
    gtk_container_add(GTK_CONTAINER(frame), table);
    gtk_widget_show_all(frame);
    gtk_tooltip_set_custom(tooltip, frame);
    return TRUE;
}
