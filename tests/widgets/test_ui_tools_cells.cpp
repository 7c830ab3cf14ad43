/* Text cells of the lists built from column plans: each takes its text from
 * its own column and its colours from the last four, row by row, as the
 * rows change, and on screen; the sizes kept by text are the sizes GTK
 * measures, also after the renderer's or the view's font changes. */
#include <gtest/gtest.h>

#include <string>

#include "ui_tools.h"
#include "widgets_gui.h"

namespace {

enum
{
    C_TITLE,
    C_NOTES,
    C_COUNT,
    C_IDX,
    C_BG,
    C_BG_V,
    C_FG,
    C_FG_V,
    C_LAST
};
const ui_column_desc plan[] = {
    {C_TITLE, "TITLE", G_TYPE_STRING}, {C_NOTES, "NOTES", G_TYPE_STRING}, {C_COUNT, "N", G_TYPE_INT},
    {C_IDX, nullptr, G_TYPE_INT},      {C_BG, nullptr, G_TYPE_BOOLEAN},   {C_BG_V, nullptr, G_TYPE_STRING},
    {C_FG, nullptr, G_TYPE_BOOLEAN},   {C_FG_V, nullptr, G_TYPE_STRING},  {-1, nullptr, 0}};

GtkCellRenderer *renderer_of(GtkTreeViewColumn *col)
{
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(col));
    auto *r = cells ? (GtkCellRenderer *)cells->data : nullptr;
    g_list_free(cells);
    return r;
}

/* What a column's renderer holds after the view filled it from a row. */
struct shown_desc
{
    std::string text;
    bool bg_set = false, fg_set = false;
    GdkColor bg{}, fg{};
};

shown_desc shown(GtkWidget *view, int column, GtkTreeIter *it)
{
    GtkTreeViewColumn *col = gtk_tree_view_get_column(GTK_TREE_VIEW(view), column);
    gtk_tree_view_column_cell_set_cell_data(col, gtk_tree_view_get_model(GTK_TREE_VIEW(view)), it, FALSE, FALSE);
    shown_desc s;
    gboolean bg_set = FALSE, fg_set = FALSE;
    GdkColor *bg = nullptr, *fg = nullptr;
    gchar *text = nullptr;
    g_object_get(renderer_of(col), "text", &text, "background-set", &bg_set, "foreground-set", &fg_set,
                 "background-gdk", &bg, "foreground-gdk", &fg, NULL);
    s.text = text ? text : "(null)";
    s.bg_set = bg_set;
    s.fg_set = fg_set;
    if (bg)
        s.bg = *bg;
    if (fg)
        s.fg = *fg;
    g_free(text);
    if (bg)
        gdk_color_free(bg);
    if (fg)
        gdk_color_free(fg);
    return s;
}

bool is(const GdkColor &c, guint16 r, guint16 g, guint16 b)
{
    return c.red == r && c.green == g && c.blue == b;
}

void set_colours(GtkListStore *store, GtkTreeIter *it, const char *bg, const char *fg)
{
    gtk_list_store_set(store, it, C_BG, bg ? TRUE : FALSE, C_BG_V, bg, C_FG, fg ? TRUE : FALSE, C_FG_V, fg, -1);
}

} // namespace

TEST(TextCells, RowsShowTheirTextAndColoursAsTheyChange)
{
    NEED_DISPLAY();
    GtkWidget *view = ui_create_treeview_list(nullptr, nullptr, plan);
    ASSERT_NE(view, nullptr);
    g_object_ref_sink(view);
    GtkListStore *store = GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(view)));
    GtkTreeIter red, plain, blue_bg;
    gtk_list_store_append(store, &red);
    gtk_list_store_set(store, &red, C_TITLE, "news", C_NOTES, "P", C_COUNT, 7, -1);
    set_colours(store, &red, "#ff0000", "#00ff00");
    gtk_list_store_append(store, &plain);
    gtk_list_store_set(store, &plain, C_TITLE, "weather", C_COUNT, -3, -1);
    gtk_list_store_append(store, &blue_bg);
    gtk_list_store_set(store, &blue_bg, C_TITLE, "sport", C_BG, TRUE, C_BG_V, "#0000ff", -1);

    /* every text column, the number column included, row after row as the
     * view measures them, then back to the first row */
    for (int col = 0; col < 3; col++) {
        SCOPED_TRACE(col);
        shown_desc a = shown(view, col, &red);
        EXPECT_TRUE(a.bg_set);
        EXPECT_TRUE(is(a.bg, 0xffff, 0, 0));
        EXPECT_TRUE(a.fg_set);
        EXPECT_TRUE(is(a.fg, 0, 0xffff, 0));
        shown_desc b = shown(view, col, &plain);
        EXPECT_FALSE(b.bg_set) << "a row without colours keeps the theme's";
        EXPECT_FALSE(b.fg_set);
        shown_desc c = shown(view, col, &blue_bg);
        EXPECT_TRUE(c.bg_set);
        EXPECT_TRUE(is(c.bg, 0, 0, 0xffff));
        EXPECT_FALSE(c.fg_set);
        shown_desc d = shown(view, col, &red);
        EXPECT_TRUE(d.bg_set);
        EXPECT_TRUE(is(d.bg, 0xffff, 0, 0)) << "a renderer given another colour takes this row's again";
        EXPECT_TRUE(d.fg_set);
    }
    EXPECT_EQ(shown(view, 0, &red).text, "news");
    EXPECT_EQ(shown(view, 1, &red).text, "P");
    EXPECT_EQ(shown(view, 2, &red).text, "7") << "numbers shown through GTK's transform";
    EXPECT_EQ(shown(view, 0, &plain).text, "weather");
    EXPECT_EQ(shown(view, 1, &plain).text, "(null)") << "an unset text column shows nothing";
    EXPECT_EQ(shown(view, 2, &plain).text, "-3");

    /* the same row read again after its colours changed: the new ones */
    EXPECT_TRUE(shown(view, 0, &red).bg_set);
    set_colours(store, &red, nullptr, nullptr);
    for (int col = 0; col < 3; col++) {
        shown_desc s = shown(view, col, &red);
        EXPECT_FALSE(s.bg_set) << col;
        EXPECT_FALSE(s.fg_set) << col;
    }
    set_colours(store, &red, "#ffff00", "#000080");
    shown_desc y = shown(view, 1, &red);
    EXPECT_TRUE(y.bg_set);
    EXPECT_TRUE(is(y.bg, 0xffff, 0xffff, 0));
    EXPECT_TRUE(is(y.fg, 0, 0, 0x8080));
    /* a text change on the same row, with the colours as they were */
    gtk_list_store_set(store, &red, C_NOTES, "LIVE", -1);
    shown_desc t = shown(view, 1, &red);
    EXPECT_EQ(t.text, "LIVE");
    EXPECT_TRUE(is(t.bg, 0xffff, 0xffff, 0));

    /* a row removed and another added (its record may reuse the old one's
     * memory) shows the new row's colours */
    gtk_list_store_remove(store, &blue_bg);
    GtkTreeIter added;
    gtk_list_store_append(store, &added);
    gtk_list_store_set(store, &added, C_TITLE, "added", -1);
    shown_desc n = shown(view, 0, &added);
    EXPECT_EQ(n.text, "added");
    EXPECT_FALSE(n.bg_set);
    EXPECT_FALSE(n.fg_set);

    /* the flag column alone, without a colour, leaves the theme's colour:
     * GTK's binding turned the flag off for a missing colour too */
    gtk_list_store_set(store, &added, C_BG, TRUE, -1);
    EXPECT_FALSE(shown(view, 0, &added).bg_set);
    g_object_unref(view);
}

TEST(TextCells, ColoursReachTheScreen)
{
    NEED_DISPLAY();
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(win), 400, 200);
    GtkWidget *view = ui_create_treeview_list(nullptr, nullptr, plan);
    gtk_container_add(GTK_CONTAINER(win), view);
    GtkListStore *store = GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(view)));
    /* the coloured row second: the first may take the cursor */
    GtkTreeIter a, b;
    gtk_list_store_append(store, &b);
    gtk_list_store_set(store, &b, C_TITLE, "IIIIIIIIIIII", C_NOTES, "first", -1);
    gtk_list_store_append(store, &a);
    gtk_list_store_set(store, &a, C_TITLE, "IIIIIIIIIIII", C_NOTES, "second", -1);
    set_colours(store, &a, "#ff0000", "#00ff00");
    gtk_widget_show_all(win);
    gui_pump(200);

    GdkRectangle cell_a, cell_b;
    GtkTreePath *pa = gtk_tree_path_new_from_indices(1, -1);
    GtkTreePath *pb = gtk_tree_path_new_from_indices(0, -1);
    GtkTreeViewColumn *title = gtk_tree_view_get_column(GTK_TREE_VIEW(view), 0);
    gtk_tree_view_get_background_area(GTK_TREE_VIEW(view), pa, title, &cell_a);
    gtk_tree_view_get_background_area(GTK_TREE_VIEW(view), pb, title, &cell_b);
    gtk_tree_path_free(pa);
    gtk_tree_path_free(pb);
    ASSERT_GT(cell_a.width, 4);
    ASSERT_GT(cell_a.height, 4);

    GdkWindow *bin = gtk_tree_view_get_bin_window(GTK_TREE_VIEW(view));
    gdk_window_process_updates(bin, TRUE);
    gdk_flush();
    int w = cell_a.x + cell_a.width, h = cell_a.y + cell_a.height;
    GdkPixbuf *pb_ = gdk_pixbuf_get_from_drawable(nullptr, bin, nullptr, 0, 0, 0, 0, w, h);
    ASSERT_NE(pb_, nullptr);
    int stride = gdk_pixbuf_get_rowstride(pb_), nch = gdk_pixbuf_get_n_channels(pb_);
    const guchar *px = gdk_pixbuf_get_pixels(pb_);
    auto count = [&](const GdkRectangle &r, bool (*pred)(const guchar *)) {
        int n = 0;
        for (int y = r.y + 1; y < r.y + r.height - 1; y++)
            for (int x = r.x + 1; x < r.x + r.width - 1; x++)
                n += pred(px + y * stride + x * nch) ? 1 : 0;
        return n;
    };
    auto red = [](const guchar *p) { return p[0] > 240 && p[1] < 20 && p[2] < 20; };
    auto green = [](const guchar *p) { return p[1] > 180 && p[0] < 80 && p[2] < 80; };
    int area = (cell_a.width - 2) * (cell_a.height - 2);
    EXPECT_GT(count(cell_a, red), area / 2) << "the coloured row's cell is drawn on its background";
    EXPECT_GT(count(cell_a, green), 0) << "its text is drawn in its foreground";
    EXPECT_EQ(count(cell_b, red), 0) << "the plain row keeps the theme's background";
    EXPECT_EQ(count(cell_b, green), 0);
    g_object_unref(pb_);
    gtk_widget_destroy(win);
}

TEST(TextCells, KeptSizesAreTheSizesGtkMeasures)
{
    NEED_DISPLAY();
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *view = ui_create_treeview_list(nullptr, nullptr, plan);
    gtk_container_add(GTK_CONTAINER(win), view);
    gtk_widget_realize(view);
    GtkCellRenderer *kept = renderer_of(gtk_tree_view_get_column(GTK_TREE_VIEW(view), 0));
    /* a renderer of GTK's own, measured in the same view */
    GtkCellRenderer *own = gtk_cell_renderer_text_new();
    g_object_ref_sink(own);

    const char *texts[] = {"", "P", "06:12:34:05", "Evening News 1234", "LOGO_3\nSTRAP_7", "W"};
    auto check = [&](const char *what) {
        for (int pass = 0; pass < 2; pass++) /* measured, then from what was kept */
            for (const char *t : texts) {
                g_object_set(kept, "text", t, NULL);
                g_object_set(own, "text", t, NULL);
                gint kw = -1, kh = -1, ow = -2, oh = -2;
                gtk_cell_renderer_get_size(kept, view, nullptr, nullptr, nullptr, &kw, &kh);
                gtk_cell_renderer_get_size(own, view, nullptr, nullptr, nullptr, &ow, &oh);
                EXPECT_EQ(kw, ow) << what << " [" << t << "] pass " << pass;
                EXPECT_EQ(kh, oh) << what << " [" << t << "] pass " << pass;
            }
    };
    check("as built");
    gint w1 = 0, h1 = 0;
    g_object_set(kept, "text", "Evening News 1234", NULL);
    gtk_cell_renderer_get_size(kept, view, nullptr, nullptr, nullptr, &w1, &h1);

    /* the renderer's own font, then its padding */
    g_object_set(kept, "scale", 2.0, NULL);
    g_object_set(own, "scale", 2.0, NULL);
    check("scaled");
    gint w2 = 0, h2 = 0;
    g_object_set(kept, "text", "Evening News 1234", NULL);
    gtk_cell_renderer_get_size(kept, view, nullptr, nullptr, nullptr, &w2, &h2);
    EXPECT_GT(w2, w1) << "a larger font is measured again, not taken from before";
    g_object_set(kept, "xpad", 9, "ypad", 7, NULL);
    g_object_set(own, "xpad", 9, "ypad", 7, NULL);
    check("padded");

    /* the view's font */
    PangoFontDescription *fd = pango_font_description_from_string("Sans 24");
    gtk_widget_modify_font(view, fd);
    pango_font_description_free(fd);
    check("view font");
    gint w3 = 0, h3 = 0;
    g_object_set(kept, "text", "Evening News 1234", NULL);
    gtk_cell_renderer_get_size(kept, view, nullptr, nullptr, nullptr, &w3, &h3);
    EXPECT_GT(h3, h2);

    /* placing a cell in an area goes to GTK as ever */
    GdkRectangle area = {0, 0, 400, 60};
    gint kx = -1, ky = -1, ox = -2, oy = -2, kw = 0, kh = 0, ow = 0, oh = 0;
    gtk_cell_renderer_get_size(kept, view, &area, &kx, &ky, &kw, &kh);
    g_object_set(own, "text", "Evening News 1234", NULL);
    gtk_cell_renderer_get_size(own, view, &area, &ox, &oy, &ow, &oh);
    EXPECT_EQ(kx, ox);
    EXPECT_EQ(ky, oy);
    EXPECT_EQ(kw, ow);
    g_object_unref(own);
    gtk_widget_destroy(win);
}
