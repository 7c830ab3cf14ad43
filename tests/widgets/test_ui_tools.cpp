/* Widget factories and entry filters on real widgets: list and tree views
 * from column plans (store types, view columns, colour bindings), buttons
 * from tables, labels, font weight, typing and pasting through the filters
 * and the timecode completion popup. */
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include <gdk/gdkkeysyms.h>

#include "ui_images.h"
#include "ui_tools.h"
#include "widgets_gui.h"

namespace {

enum
{
    C_TITLE,
    C_ICON,
    C_ON,
    C_IDX,
    C_DATA,
    C_TIME,
    C_BG,
    C_BG_V,
    C_FG,
    C_FG_V,
    C_LAST
};
const ui_column_desc plan[] = {{C_TITLE, "TITLE", G_TYPE_STRING},
                               {C_ICON, "S", G_TYPE_OBJECT},
                               {C_ON, "ON", G_TYPE_BOOLEAN},
                               {C_IDX, nullptr, G_TYPE_INT},
                               {C_DATA, nullptr, G_TYPE_POINTER},
                               {C_TIME, "TIME", G_TYPE_INT64},
                               {C_BG, nullptr, G_TYPE_BOOLEAN},
                               {C_BG_V, nullptr, G_TYPE_STRING},
                               {C_FG, nullptr, G_TYPE_BOOLEAN},
                               {C_FG_V, nullptr, G_TYPE_STRING},
                               {-1, nullptr, 0}};

std::string text_of(GtkWidget *entry)
{
    return gtk_entry_get_text(GTK_ENTRY(entry));
}

/* Property values a cell renderer got for one row. */
struct cell_seen
{
    gboolean bg_set = FALSE, fg_set = FALSE;
    GdkColor *bg = nullptr, *fg = nullptr;
    gchar *text = nullptr;
    ~cell_seen()
    {
        if (bg)
            gdk_color_free(bg);
        if (fg)
            gdk_color_free(fg);
        g_free(text);
    }
};

GtkCellRenderer *first_renderer(GtkTreeViewColumn *col)
{
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(col));
    auto *r = cells ? (GtkCellRenderer *)cells->data : nullptr;
    g_list_free(cells);
    return r;
}

} // namespace

TEST(TreeviewFactory, ListStoreColumnsAndViewColumns)
{
    NEED_DISPLAY();
    GtkWidget *top = gtk_vbox_new(FALSE, 0);
    g_object_ref_sink(top);
    GtkWidget *view = ui_create_treeview_list(top, "some_list", plan);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(gtk_widget_get_visible(view));
    EXPECT_EQ(g_object_get_data(G_OBJECT(top), "some_list"), nullptr) << "the list variant registers nothing";

    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(view));
    ASSERT_TRUE(GTK_IS_LIST_STORE(model));
    ASSERT_EQ(gtk_tree_model_get_n_columns(model), C_LAST);
    EXPECT_EQ(gtk_tree_model_get_column_type(model, C_ICON), GDK_TYPE_PIXBUF) << "object rows hold images";
    EXPECT_EQ(gtk_tree_model_get_column_type(model, C_TIME), G_TYPE_INT64);
    EXPECT_EQ(gtk_tree_model_get_column_type(model, C_DATA), G_TYPE_POINTER);
    EXPECT_EQ(G_OBJECT(model)->ref_count, 1u) << "the view holds the only reference";

    EXPECT_TRUE(gtk_tree_view_get_rules_hint(GTK_TREE_VIEW(view)));
    EXPECT_EQ(gtk_tree_view_get_grid_lines(GTK_TREE_VIEW(view)), GTK_TREE_VIEW_GRID_LINES_BOTH);
    EXPECT_EQ(gtk_tree_selection_get_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(view))), GTK_SELECTION_MULTIPLE);

    /* titled rows only, in plan order, with the renderer of their type */
    GList *cols = gtk_tree_view_get_columns(GTK_TREE_VIEW(view));
    ASSERT_EQ(g_list_length(cols), 4u);
    const char *titles[] = {"TITLE", "S", "ON", "TIME"};
    GType renderers[] = {GTK_TYPE_CELL_RENDERER_TEXT, GTK_TYPE_CELL_RENDERER_PIXBUF, GTK_TYPE_CELL_RENDERER_TOGGLE,
                         GTK_TYPE_CELL_RENDERER_TEXT};
    int i = 0;
    for (GList *l = cols; l; l = l->next, i++) {
        auto *col = GTK_TREE_VIEW_COLUMN(l->data);
        EXPECT_STREQ(gtk_tree_view_column_get_title(col), titles[i]);
        EXPECT_EQ(G_OBJECT_TYPE(first_renderer(col)), renderers[i]) << titles[i];
    }
    /* the image renderer has no padding */
    guint xpad = 9, ypad = 9;
    g_object_get(first_renderer(GTK_TREE_VIEW_COLUMN(g_list_nth_data(cols, 1))), "xpad", &xpad, "ypad", &ypad, NULL);
    EXPECT_EQ(xpad, 0u);
    EXPECT_EQ(ypad, 0u);
    g_list_free(cols);
    g_object_unref(top);
}

TEST(TreeviewFactory, TextColumnsTakeColoursFromTheLastFourColumns)
{
    NEED_DISPLAY();
    GtkWidget *view = ui_create_treeview_list(nullptr, nullptr, plan);
    g_object_ref_sink(view);
    GtkListStore *store = GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(view)));
    GdkPixbuf *pb = ui_images_pixbuf(inline_image_start_type_manual);
    GtkTreeIter coloured, plain;
    gtk_list_store_append(store, &coloured);
    gtk_list_store_set(store, &coloured, C_TITLE, "news", C_ICON, pb, C_ON, TRUE, C_TIME, (gint64)1 << 40, C_BG, TRUE,
                       C_BG_V, "#ff0000", C_FG, TRUE, C_FG_V, "#00ff00", -1);
    gtk_list_store_append(store, &plain);
    gtk_list_store_set(store, &plain, C_TITLE, "weather", C_TIME, (gint64)5, -1);
    GtkTreeIter named_off; /* a colour name beside a false flag */
    gtk_list_store_append(store, &named_off);
    gtk_list_store_set(store, &named_off, C_TITLE, "sport", C_BG, FALSE, C_BG_V, "red", C_FG, FALSE, C_FG_V, "red", -1);
    g_object_unref(pb);

    GtkTreeViewColumn *title_col = gtk_tree_view_get_column(GTK_TREE_VIEW(view), 0);
    GtkTreeViewColumn *time_col = gtk_tree_view_get_column(GTK_TREE_VIEW(view), 3);
    GtkTreeModel *model = GTK_TREE_MODEL(store);
    auto seen = [&](GtkTreeViewColumn *col, GtkTreeIter *it, cell_seen &s) {
        gtk_tree_view_column_cell_set_cell_data(col, model, it, FALSE, FALSE);
        g_object_get(first_renderer(col), "background-set", &s.bg_set, "foreground-set", &s.fg_set, "background-gdk",
                     &s.bg, "foreground-gdk", &s.fg, "text", &s.text, NULL);
    };
    for (GtkTreeViewColumn *col : {title_col, time_col}) {
        cell_seen a;
        seen(col, &coloured, a);
        EXPECT_TRUE(a.bg_set);
        EXPECT_TRUE(a.fg_set);
        ASSERT_NE(a.bg, nullptr);
        EXPECT_EQ(a.bg->red, 0xffff);
        EXPECT_EQ(a.bg->green, 0);
        ASSERT_NE(a.fg, nullptr);
        EXPECT_EQ(a.fg->green, 0xffff);
        EXPECT_EQ(a.fg->red, 0);
        cell_seen b;
        seen(col, &plain, b);
        EXPECT_FALSE(b.bg_set) << "unset rows keep the theme colours";
        EXPECT_FALSE(b.fg_set);
        cell_seen c;
        seen(col, &named_off, c);
        EXPECT_FALSE(c.bg_set) << "a false flag colours nothing, whatever the name beside it";
        EXPECT_FALSE(c.fg_set);
    }
    cell_seen t;
    seen(time_col, &coloured, t);
    EXPECT_STREQ(t.text, "1099511627776") << "64-bit values shown in full";
    g_object_unref(view);
}

TEST(TreeviewFactory, TreeStoreRegisteredOnTop)
{
    NEED_DISPLAY();
    GtkWidget *top = gtk_vbox_new(FALSE, 0);
    g_object_ref_sink(top);
    GtkWidget *view = ui_create_treeview_tree(top, "meta_tree", plan);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(GTK_IS_TREE_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(view))));
    EXPECT_EQ(g_object_get_data(G_OBJECT(top), "meta_tree"), view);
    /* the registration holds a reference: the view outlives its own sink */
    g_object_ref_sink(view);
    g_object_unref(view);
    EXPECT_TRUE(GTK_IS_TREE_VIEW(g_object_get_data(G_OBJECT(top), "meta_tree")));
    g_object_unref(top);
}

TEST(TreeviewFactory, PlanWithoutColourTailStillBuilds)
{
    NEED_DISPLAY();
    const ui_column_desc short_plan[] = {{0, "A", G_TYPE_STRING}, {1, "B", G_TYPE_INT}, {-1, nullptr, 0}};
    GtkWidget *view = ui_create_treeview_list(nullptr, nullptr, short_plan);
    ASSERT_NE(view, nullptr);
    g_object_ref_sink(view);
    EXPECT_EQ(gtk_tree_model_get_n_columns(gtk_tree_view_get_model(GTK_TREE_VIEW(view))), 2);
    g_object_unref(view);
    /* a plan may name the pixbuf type itself */
    const ui_column_desc pix_plan[] = {{0, "I", GDK_TYPE_PIXBUF}, {-1, nullptr, 0}};
    GtkWidget *pv = ui_create_treeview_list(nullptr, nullptr, pix_plan);
    g_object_ref_sink(pv);
    EXPECT_EQ(gtk_tree_model_get_column_type(gtk_tree_view_get_model(GTK_TREE_VIEW(pv)), 0), GDK_TYPE_PIXBUF);
    EXPECT_TRUE(GTK_IS_CELL_RENDERER_PIXBUF(first_renderer(gtk_tree_view_get_column(GTK_TREE_VIEW(pv), 0))));
    g_object_unref(pv);
    const ui_column_desc empty[] = {{-1, nullptr, 0}};
    EXPECT_EQ(ui_create_treeview_list(nullptr, nullptr, empty), nullptr);
    EXPECT_EQ(ui_create_treeview_tree(nullptr, nullptr, nullptr), nullptr);
}

namespace {
const ui_button_desc buttons[] = {
    {11, "Absent items", nullptr, nullptr, "lib_bus_absent", list_bus_absent_items_image},
    {22, "Trim event", "", "Trim event", "tmpl_item_trim_dlg", item_dlg_trim_image},
    {30, nullptr, GTK_STOCK_OK, "Go", nullptr, nullptr},
    {31, "", nullptr, nullptr, nullptr, nullptr},
    {0, nullptr, nullptr, nullptr, nullptr, nullptr},
    {99, "after the end", nullptr, nullptr, nullptr, nullptr},
};

GtkWidget *image_in(GtkWidget *button)
{
    return widgets_find_child(button, GTK_TYPE_IMAGE);
}
} // namespace

TEST(ButtonFactory, LookupStopsAtTheEndRow)
{
    EXPECT_EQ(ui_button_lookup(buttons, 22), &buttons[1]);
    EXPECT_EQ(ui_button_lookup(buttons, 11), &buttons[0]);
    EXPECT_EQ(ui_button_lookup(buttons, 5), nullptr);
    EXPECT_EQ(ui_button_lookup(buttons, 99), nullptr) << "rows after the end row are not part of the table";
    EXPECT_EQ(ui_button_lookup(nullptr, 1), nullptr);
}

TEST(ButtonFactory, ButtonWithImageLabelTooltipAndHookup)
{
    NEED_DISPLAY();
    GtkWidget *top = gtk_vbox_new(FALSE, 0);
    g_object_ref_sink(top);
    GtkWidget *b = ui_create_button(top, ui_button_lookup(buttons, 22));
    ASSERT_NE(b, nullptr);
    EXPECT_FALSE(gtk_widget_get_can_focus(b));
    EXPECT_TRUE(gtk_widget_get_can_default(b));
    EXPECT_EQ(gtk_button_get_relief(GTK_BUTTON(b)), GTK_RELIEF_NONE);
    gchar *tip = gtk_widget_get_tooltip_text(b);
    EXPECT_STREQ(tip, "Trim event");
    g_free(tip);
    EXPECT_EQ(g_object_get_data(G_OBJECT(top), "tmpl_item_trim_dlg"), b);

    auto *label = (GtkWidget *)g_object_get_data(G_OBJECT(b), "label");
    ASSERT_TRUE(GTK_IS_LABEL(label));
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(label)), "Trim event");
    EXPECT_EQ(gtk_label_get_justify(GTK_LABEL(label)), GTK_JUSTIFY_LEFT);
    /* the image is the built-in picture; label and image sit in a box
     * spaced 2 in a left, vertically centred alignment */
    GtkWidget *img = image_in(b);
    ASSERT_NE(img, nullptr);
    ASSERT_EQ(gtk_image_get_storage_type(GTK_IMAGE(img)), GTK_IMAGE_PIXBUF);
    EXPECT_EQ(gdk_pixbuf_get_width(gtk_image_get_pixbuf(GTK_IMAGE(img))), 24);
    GtkWidget *align = gtk_bin_get_child(GTK_BIN(b));
    ASSERT_TRUE(GTK_IS_ALIGNMENT(align));
    gfloat xa, ya;
    g_object_get(align, "xalign", &xa, "yalign", &ya, NULL);
    EXPECT_EQ(xa, 0.0f);
    EXPECT_EQ(ya, 0.5f);
    GtkWidget *box = gtk_bin_get_child(GTK_BIN(align));
    EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(box)), 2);

    /* no label text: an empty label is still there for counters */
    GtkWidget *b2 = ui_create_button(top, ui_button_lookup(buttons, 11));
    auto *label2 = (GtkWidget *)g_object_get_data(G_OBJECT(b2), "label");
    ASSERT_TRUE(GTK_IS_LABEL(label2));
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(label2)), "");
    EXPECT_EQ(g_object_get_data(G_OBJECT(top), "lib_bus_absent"), b2);

    /* stock icon at menu size; no tooltip when there is none */
    GtkWidget *b3 = ui_create_button(top, ui_button_lookup(buttons, 30));
    GtkWidget *img3 = image_in(b3);
    ASSERT_NE(img3, nullptr);
    ASSERT_EQ(gtk_image_get_storage_type(GTK_IMAGE(img3)), GTK_IMAGE_STOCK);
    gchar *stock = nullptr;
    GtkIconSize size;
    gtk_image_get_stock(GTK_IMAGE(img3), &stock, &size);
    EXPECT_STREQ(stock, GTK_STOCK_OK);
    EXPECT_EQ(size, GTK_ICON_SIZE_MENU);
    EXPECT_EQ(gtk_widget_get_tooltip_text(b3), nullptr);

    /* neither stock nor image: label only */
    GtkWidget *b4 = ui_create_button(top, ui_button_lookup(buttons, 31));
    EXPECT_EQ(image_in(b4), nullptr);
    for (GtkWidget *w : {b, b2, b3, b4}) {
        g_object_ref_sink(w);
        g_object_unref(w);
    }
    EXPECT_EQ(ui_create_button(top, nullptr), nullptr);
    g_object_unref(top);
}

TEST(ButtonFactory, ImageOnlyButton)
{
    NEED_DISPLAY();
    const ui_button_desc prv[] = {{25, "Hide Preview", nullptr, nullptr, "preview_hide_img", preview_hide_img},
                                  {0, nullptr, nullptr, nullptr, nullptr, nullptr}};
    GtkWidget *b = ui_create_button_image(&prv[0]);
    ASSERT_NE(b, nullptr);
    g_object_ref_sink(b);
    EXPECT_FALSE(gtk_widget_get_can_focus(b));
    EXPECT_TRUE(gtk_widget_get_can_default(b));
    EXPECT_EQ(gtk_button_get_relief(GTK_BUTTON(b)), GTK_RELIEF_NORMAL);
    EXPECT_EQ(g_object_get_data(G_OBJECT(b), "ui_button_desc_t"), &prv[0]);
    gchar *tip = gtk_widget_get_tooltip_text(b);
    EXPECT_STREQ(tip, "Hide Preview");
    g_free(tip);
    EXPECT_NE(image_in(b), nullptr);
    EXPECT_EQ(widgets_find_child(b, GTK_TYPE_LABEL), nullptr) << "image only";
    GtkWidget *align = gtk_bin_get_child(GTK_BIN(b));
    gfloat xa;
    g_object_get(align, "xalign", &xa, NULL);
    EXPECT_EQ(xa, 0.5f);
    g_object_unref(b);
    EXPECT_EQ(ui_create_button_image(nullptr), nullptr);
}

TEST(Labels, JustificationRegistrationAndAlignment)
{
    NEED_DISPLAY();
    GtkWidget *top = gtk_vbox_new(FALSE, 0);
    g_object_ref_sink(top);
    GtkWidget *l = ui_create_label(top, "Free space", "free_label", GTK_JUSTIFY_RIGHT);
    EXPECT_TRUE(gtk_widget_get_visible(l));
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(l)), "Free space");
    EXPECT_EQ(gtk_label_get_justify(GTK_LABEL(l)), GTK_JUSTIFY_RIGHT);
    EXPECT_EQ(g_object_get_data(G_OBJECT(top), "free_label"), l);

    GtkWidget *label = nullptr;
    GtkWidget *a = ui_create_label_align(top, "GB", nullptr, GTK_JUSTIFY_CENTER, &label);
    ASSERT_TRUE(GTK_IS_ALIGNMENT(a));
    EXPECT_EQ(gtk_bin_get_child(GTK_BIN(a)), label);
    gfloat xa, ya;
    g_object_get(a, "xalign", &xa, "yalign", &ya, NULL);
    EXPECT_EQ(xa, 0.5f);
    EXPECT_EQ(ya, 0.5f);
    GtkWidget *r = ui_create_label_align(top, nullptr, nullptr, GTK_JUSTIFY_RIGHT, nullptr);
    g_object_get(r, "xalign", &xa, NULL);
    EXPECT_EQ(xa, 1.0f);
    GtkWidget *left = ui_create_label_align(top, "x", nullptr, GTK_JUSTIFY_LEFT, nullptr);
    g_object_get(left, "xalign", &xa, NULL);
    EXPECT_EQ(xa, 0.0f);
    for (GtkWidget *w : {l, a, r, left}) {
        g_object_ref_sink(w);
        g_object_unref(w);
    }
    g_object_unref(top);
}

TEST(Labels, FontWeightKeepsTheFamily)
{
    NEED_DISPLAY();
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *l = gtk_label_new("BUS 1");
    gtk_container_add(GTK_CONTAINER(win), l);
    gtk_widget_ensure_style(l);
    std::string family = pango_font_description_get_family(gtk_widget_get_style(l)->font_desc);
    EXPECT_EQ(ui_set_font_weight(l, PANGO_WEIGHT_BOLD), 0);
    gtk_widget_ensure_style(l);
    EXPECT_EQ(pango_font_description_get_weight(gtk_widget_get_style(l)->font_desc), PANGO_WEIGHT_BOLD);
    EXPECT_EQ(family, pango_font_description_get_family(gtk_widget_get_style(l)->font_desc));
    EXPECT_EQ(ui_set_font_weight(l, PANGO_WEIGHT_NORMAL), 0);
    gtk_widget_ensure_style(l);
    EXPECT_EQ(pango_font_description_get_weight(gtk_widget_get_style(l)->font_desc), PANGO_WEIGHT_NORMAL);
    EXPECT_EQ(ui_set_font_weight(nullptr, 700), -22);
    gtk_widget_destroy(win);
}

TEST(EntryFilters, TypingKeepsOnlyWhatTheFilterAllows)
{
    NEED_DISPLAY();
    GtkWidget *media = gtk_entry_new();
    g_object_ref_sink(media);
    ASSERT_EQ(ui_attach_entry_filter_media_id(media), 0);
    widgets_type(media, "a/b:c");
    EXPECT_EQ(text_of(media), "abc");
    widgets_type(media, "\\d\te\r\nf");
    EXPECT_EQ(text_of(media), "abcdef");
    widgets_type(media, "\xc3\xa9t\xc3\xa9"); /* other characters pass whole */
    EXPECT_EQ(text_of(media), "abcdef\xc3\xa9t\xc3\xa9");

    GtkWidget *tc = gtk_entry_new();
    g_object_ref_sink(tc);
    ASSERT_EQ(ui_attach_entry_filter_timecode(tc), 0);
    widgets_type(tc, "1a2");
    EXPECT_EQ(text_of(tc), "12");
    widgets_type(tc, ":3\xc3\xa9:4");
    EXPECT_EQ(text_of(tc), "12:3:4");
    g_object_unref(media);
    g_object_unref(tc);
}

TEST(EntryFilters, RealKeyPressesGoThroughTheFilter)
{
    NEED_DISPLAY();
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *e = gtk_entry_new();
    gtk_container_add(GTK_CONTAINER(win), e);
    gtk_widget_show_all(win);
    gui_pump(50);
    ui_attach_entry_filter_timecode(e);
    for (guint k : {GDK_1, GDK_a, GDK_colon, GDK_2, GDK_slash})
        widgets_send_key(e, k);
    EXPECT_EQ(text_of(e), "1:2");
    gtk_widget_destroy(win);
}

TEST(EntryFilters, PasteGoesToTheCaret)
{
    NEED_DISPLAY();
    GtkWidget *e = gtk_entry_new();
    g_object_ref_sink(e);
    gtk_entry_set_text(GTK_ENTRY(e), "abcd");
    ui_attach_entry_filter(e, nullptr, "/");
    gint pos = 2;
    gtk_editable_insert_text(GTK_EDITABLE(e), "x/y/z", -1, &pos);
    EXPECT_EQ(text_of(e), "abxyzcd");
    EXPECT_EQ(pos, 5) << "the caret goes after what was kept";

    /* through the clipboard too */
    GtkClipboard *cb = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    gtk_clipboard_set_text(cb, "1/2", -1);
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(win), e);
    gtk_widget_show_all(win);
    gui_pump(30);
    gtk_editable_set_position(GTK_EDITABLE(e), 1);
    gtk_editable_paste_clipboard(GTK_EDITABLE(e));
    gui_pump(100);
    EXPECT_EQ(text_of(e), "a12bxyzcd");
    gtk_widget_destroy(win);
    g_object_unref(e);
}

TEST(EntryFilters, AllowAndDropSetsAndReattaching)
{
    NEED_DISPLAY();
    GtkWidget *e = gtk_entry_new();
    g_object_ref_sink(e);
    /* a dropped character is dropped even when allowed */
    ui_attach_entry_filter(e, "abc", "b");
    widgets_type(e, "abcd");
    EXPECT_EQ(text_of(e), "ac");
    /* attaching again replaces the sets instead of stacking a second filter */
    ui_attach_entry_filter(e, "xyz", nullptr);
    widgets_type(e, "axbyc");
    EXPECT_EQ(text_of(e), "acxy");
    EXPECT_EQ(ui_attach_entry_filter(nullptr, "a", nullptr), -22);
    GtkWidget *label = gtk_label_new("");
    g_object_ref_sink(label);
    EXPECT_EQ(ui_attach_entry_filter(label, "a", nullptr), -22);
    g_object_unref(label);
    g_object_unref(e);
}

namespace {
std::vector<std::string> completion_rows(GtkWidget *entry)
{
    std::vector<std::string> rows;
    GtkEntryCompletion *c = gtk_entry_get_completion(GTK_ENTRY(entry));
    GtkTreeModel *m = gtk_entry_completion_get_model(c);
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_get_iter_first(m, &it); ok; ok = gtk_tree_model_iter_next(m, &it)) {
        gchar *s = nullptr;
        gtk_tree_model_get(m, &it, 0, &s, -1);
        rows.push_back(s ? s : "");
        g_free(s);
    }
    return rows;
}
} // namespace

TEST(TimecodeCompletion, OffersTheFullFormOfAShortTimecode)
{
    NEED_DISPLAY();
    GtkWidget *e = gtk_entry_new();
    g_object_ref_sink(e);
    ASSERT_EQ(ui_attach_tc_completition(e), 0);
    ASSERT_NE(g_object_get_data(G_OBJECT(e), "tc_completition_t"), nullptr);

    widgets_type(e, "1:2");
    EXPECT_EQ(completion_rows(e), std::vector<std::string>{"00:01:02:00"});
    gtk_entry_set_text(GTK_ENTRY(e), "5");
    EXPECT_EQ(completion_rows(e), std::vector<std::string>{"00:00:05:00"});
    gtk_entry_set_text(GTK_ENTRY(e), "01020304");
    EXPECT_EQ(completion_rows(e), std::vector<std::string>{"01:02:03:04"});
    /* a full form (four numbers with colons) stands as typed: nothing to offer */
    gtk_entry_set_text(GTK_ENTRY(e), "10:00:00:00");
    EXPECT_TRUE(completion_rows(e).empty());
    gtk_entry_set_text(GTK_ENTRY(e), "1:2:3:4");
    EXPECT_TRUE(completion_rows(e).empty());
    /* no digit at all */
    gtk_entry_set_text(GTK_ENTRY(e), ":");
    EXPECT_TRUE(completion_rows(e).empty());
    gtk_entry_set_text(GTK_ENTRY(e), "");
    EXPECT_TRUE(completion_rows(e).empty());
    /* the timecode filter came with it */
    gtk_entry_set_text(GTK_ENTRY(e), "1x2");
    EXPECT_EQ(text_of(e), "12");
    EXPECT_EQ(ui_attach_tc_completition(nullptr), -22);
    g_object_unref(e);
}

TEST(TimecodeCompletion, PopupShowsTheRowThoughItIsNoPrefixOfTheText)
{
    NEED_DISPLAY();
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *e = gtk_entry_new();
    gtk_container_add(GTK_CONTAINER(win), e);
    ui_attach_tc_completition(e);
    gtk_widget_show_all(win);
    gui_pump(100);
    gtk_widget_grab_focus(e);
    /* no window manager hands out focus under Xvfb: tell the window it has it */
    GdkEvent *fe = gdk_event_new(GDK_FOCUS_CHANGE);
    fe->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(win)));
    fe->focus_change.send_event = TRUE;
    fe->focus_change.in = TRUE;
    gtk_widget_event(win, fe);
    gdk_event_free(fe);
    ASSERT_TRUE(gtk_widget_has_focus(e));
    widgets_type(e, "1:2");
    gui_pump(600); /* the completion waits a moment before it pops up */

    /* the completion's popup is a top-level popup window holding a view
     * over the filtered rows */
    int shown = -1;
    GList *all = gtk_window_list_toplevels();
    for (GList *l = all; l; l = l->next) {
        auto *w = GTK_WIDGET(l->data);
        if (w == win || !gtk_widget_get_visible(w))
            continue;
        if (GtkWidget *tv = widgets_find_child(w, GTK_TYPE_TREE_VIEW))
            shown = gtk_tree_model_iter_n_children(gtk_tree_view_get_model(GTK_TREE_VIEW(tv)), nullptr);
    }
    g_list_free(all);
    EXPECT_EQ(shown, 1) << "00:01:02:00 offered for 1:2";
    gtk_widget_destroy(win);
}
