// The main window built from real command lines: tab labels and their status
// images, the paned page with the grid and the folded library, the preview
// strip and its buttons, the details area, and page switching.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine_support.h"
#include "library_ui.h"
#include "ui.h"
#include "ui_bus.h"

namespace {

class MainWindow : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!engine_gtk_ready())
            GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    }

    instance_t *build(std::vector<std::string> args)
    {
        EXPECT_TRUE(e.create(args));
        return e.app;
    }

    std::vector<GtkWidget *> children(GtkWidget *container)
    {
        std::vector<GtkWidget *> out;
        GList *l = gtk_container_get_children(GTK_CONTAINER(container));
        for (GList *p = l; p; p = p->next)
            out.push_back(static_cast<GtkWidget *>(p->data));
        g_list_free(l);
        return out;
    }

    PangoWeight weight(GtkWidget *label)
    {
        GtkRcStyle *rc = gtk_widget_get_modifier_style(label);
        if (!rc || !rc->font_desc)
            return PANGO_WEIGHT_NORMAL;
        return pango_font_description_get_weight(rc->font_desc);
    }

    engine_app e;
};

std::vector<std::string> two_buses(std::vector<std::string> extra_first = {},
                                   std::vector<std::string> extra_second = {})
{
    std::vector<std::string> a = {"--add-bus=NEWS", "--host=127.0.0.1:1", "--idx=0"};
    a.insert(a.end(), extra_first.begin(), extra_first.end());
    a.push_back("--add-bus=SPORT");
    a.push_back("--host=127.0.0.1:1");
    a.push_back("--idx=1");
    a.insert(a.end(), extra_second.begin(), extra_second.end());
    return a;
}

} // namespace

TEST_F(MainWindow, TitleTabsAndTabLabels)
{
    instance_t *app = build(two_buses());
    ASSERT_NE(app->window, nullptr);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(app->window)), "PelmoraBoxUI");
    EXPECT_EQ(g_object_get_data(G_OBJECT(app->window), "pelmorabox_window"), app->window);
    EXPECT_NE(gtk_window_get_icon_list(GTK_WINDOW(app->window)), nullptr);
    GtkNotebook *nb = GTK_NOTEBOOK(app->apps_notebook);
    EXPECT_EQ(gtk_notebook_get_tab_pos(nb), GTK_POS_BOTTOM);
    ASSERT_EQ(gtk_notebook_get_n_pages(nb), 2);

    for (int i = 0; i < 2; i++) {
        bus_t *bus = &app->bus.list[i];
        GtkWidget *tab = gtk_notebook_get_tab_label(nb, gtk_notebook_get_nth_page(nb, i));
        std::vector<GtkWidget *> kids = children(tab);
        ASSERT_EQ(kids.size(), 4u) << "label and three status images, no icon";
        EXPECT_EQ(kids[0], bus->title_label);
        EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(bus->title_label)), i ? "SPORT" : "NEWS");
        for (int k = 0; k < 3; k++) {
            EXPECT_EQ(kids[k + 1], bus->online[k]);
            EXPECT_EQ(gtk_widget_get_visible(bus->online[k]) ? 1 : 0, k == 0 ? 1 : 0);
        }
    }
    /* The first page is current and its title bold. */
    EXPECT_EQ(weight(app->bus.list[0].title_label), PANGO_WEIGHT_BOLD);
}

TEST_F(MainWindow, TabsOnTopCustomTitleAndIcon)
{
    char png[] = "/tmp/pelmora_icon_XXXXXX";
    int fd = mkstemp(png);
    close(fd);
    GdkPixbuf *pb = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 12, 12);
    gdk_pixbuf_fill(pb, 0x3060a0ff);
    ASSERT_TRUE(gdk_pixbuf_save(pb, png, "png", nullptr, NULL));
    g_object_unref(pb);

    instance_t *app = build(two_buses({std::string("--icon=") + png}, {"--icon=/nonexistent/icon.png"}));
    unlink(png);
    GtkNotebook *nb = GTK_NOTEBOOK(app->apps_notebook);
    EXPECT_EQ(children(gtk_notebook_get_tab_label(nb, gtk_notebook_get_nth_page(nb, 0))).size(), 5u)
        << "icon first, then label and status images";
    EXPECT_EQ(children(gtk_notebook_get_tab_label(nb, gtk_notebook_get_nth_page(nb, 1))).size(), 4u)
        << "a missing icon file is skipped";

    engine_app top;
    ASSERT_TRUE(top.create({"--busses-tab-pos-top", "--window-title=Studio 2", "--add-bus=A", "--host=127.0.0.1:1"}));
    EXPECT_EQ(gtk_notebook_get_tab_pos(GTK_NOTEBOOK(top.app->apps_notebook)), GTK_POS_TOP);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(top.app->window)), "Studio 2");
}

TEST_F(MainWindow, PageHoldsGridAndFoldedLibrary)
{
    instance_t *app = build(two_buses());
    gtk_widget_show(app->window);
    engine_run_for(200);
    bus_t *bus = &app->bus.list[0];
    GtkWidget *paned = gtk_notebook_get_nth_page(GTK_NOTEBOOK(app->apps_notebook), 0);
    ASSERT_TRUE(GTK_IS_HPANED(paned));
    EXPECT_EQ(gtk_paned_get_child1(GTK_PANED(paned)), bus->window);
    EXPECT_TRUE(gtk_widget_is_ancestor(bus->grid, bus->window));
    EXPECT_EQ(gtk_widget_get_parent(bus->grid), bus->scrolled);
    EXPECT_STREQ(gtk_widget_get_name(bus->grid), "bus_list_0");

    /* The grid: 28 model columns, 22 view columns, several rows selectable. */
    GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(bus->grid));
    EXPECT_EQ(gtk_tree_model_get_n_columns(m), BUS_COLUMN_LAST);
    EXPECT_EQ(gtk_tree_model_get_column_type(m, BUS_COLUMN_DATA), G_TYPE_POINTER);
    EXPECT_EQ(gtk_tree_model_get_column_type(m, BUS_COLUMN_START_TYPE_ICON), GDK_TYPE_PIXBUF);
    GList *cols = gtk_tree_view_get_columns(GTK_TREE_VIEW(bus->grid));
    EXPECT_EQ(g_list_length(cols), 22u);
    g_list_free(cols);
    EXPECT_EQ(gtk_tree_selection_get_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(bus->grid))),
              GTK_SELECTION_MULTIPLE);
    GtkTreeViewColumn *c = gtk_tree_view_get_column(GTK_TREE_VIEW(bus->grid), BUS_COLUMN_TITLE);
    EXPECT_STREQ(gtk_tree_view_column_get_title(c), "TITLE");
    EXPECT_FALSE(gtk_tree_view_column_get_visible(gtk_tree_view_get_column(GTK_TREE_VIEW(bus->grid), BUS_COLUMN_AUX1)));
    EXPECT_FALSE(gtk_tree_view_column_get_visible(gtk_tree_view_get_column(GTK_TREE_VIEW(bus->grid), 0)));

    /* The library starts folded: only "Show Library", and the divider free. */
    GtkWidget *pane = gtk_paned_get_child2(GTK_PANED(paned));
    std::vector<GtkWidget *> kids = children(pane);
    ASSERT_EQ(kids.size(), 3u);
    GtkWidget *show = kids[0], *hide = kids[1], *area = kids[2];
    EXPECT_TRUE(gtk_widget_get_visible(show));
    EXPECT_FALSE(gtk_widget_get_visible(hide));
    EXPECT_FALSE(gtk_widget_get_visible(area));
    gboolean position_set = TRUE;
    g_object_get(paned, "position-set", &position_set, NULL);
    EXPECT_FALSE(position_set);
    EXPECT_GT(bus->grid->allocation.width, 800) << "the bus panel takes the page";

    /* Showing the library reveals the area; hiding folds it again. */
    gtk_button_clicked(GTK_BUTTON(show));
    EXPECT_FALSE(gtk_widget_get_visible(show));
    EXPECT_TRUE(gtk_widget_get_visible(hide));
    EXPECT_TRUE(gtk_widget_get_visible(area));
    gtk_button_clicked(GTK_BUTTON(hide));
    EXPECT_TRUE(gtk_widget_get_visible(show));
    EXPECT_FALSE(gtk_widget_get_visible(area));
    g_object_get(paned, "position-set", &position_set, NULL);
    EXPECT_FALSE(position_set);
}

TEST_F(MainWindow, ColumnOptionsShowTheirColumns)
{
    instance_t *app = build(
        {"--ab-reconciliation-key", "--sgt-event-id", "--add-bus=A", "--host=127.0.0.1:1", "--auxmedia-columns=5"});
    GtkTreeView *v = GTK_TREE_VIEW(app->bus.list[0].grid);
    GtkTreeViewColumn *aux1 = gtk_tree_view_get_column(v, BUS_COLUMN_AUX1);
    GtkTreeViewColumn *aux2 = gtk_tree_view_get_column(v, BUS_COLUMN_AUX2);
    EXPECT_TRUE(gtk_tree_view_column_get_visible(aux1));
    EXPECT_STREQ(gtk_tree_view_column_get_title(aux1), "R.Key");
    EXPECT_TRUE(gtk_tree_view_column_get_visible(aux2));
    EXPECT_STREQ(gtk_tree_view_column_get_title(aux2), "SGT Event ID");
    EXPECT_TRUE(gtk_tree_view_column_get_visible(gtk_tree_view_get_column(v, 0)));
    EXPECT_FALSE(gtk_tree_view_column_get_visible(gtk_tree_view_get_column(v, 1)));
    EXPECT_TRUE(gtk_tree_view_column_get_visible(gtk_tree_view_get_column(v, 2)));
}

TEST_F(MainWindow, PreviewStripButtonsAndDetailsArea)
{
    instance_t *app = build(two_buses({"--prv-io=10.0.0.5:8082", "--assets-details-height=160"}));
    bus_t *b0 = &app->bus.list[0], *b1 = &app->bus.list[1];

    ASSERT_NE(b0->prv.hbox, nullptr);
    ASSERT_NE(b0->prv.btn_on, nullptr);
    ASSERT_NE(b0->prv.btn_off, nullptr);
    EXPECT_TRUE(gtk_widget_get_visible(b0->prv.btn_off));
    EXPECT_TRUE(gtk_widget_get_visible(b0->prv.hbox));
    EXPECT_FALSE(gtk_widget_get_visible(b0->prv.btn_on));
    EXPECT_EQ(b1->prv.hbox, nullptr);
    EXPECT_EQ(b1->prv.btn_on, nullptr);

    gtk_button_clicked(GTK_BUTTON(b0->prv.btn_off));
    EXPECT_FALSE(gtk_widget_get_visible(b0->prv.btn_off));
    EXPECT_FALSE(gtk_widget_get_visible(b0->prv.hbox));
    EXPECT_TRUE(gtk_widget_get_visible(b0->prv.btn_on));
    gtk_button_clicked(GTK_BUTTON(b0->prv.btn_on));
    EXPECT_TRUE(gtk_widget_get_visible(b0->prv.btn_off));
    EXPECT_TRUE(gtk_widget_get_visible(b0->prv.hbox));
    EXPECT_FALSE(gtk_widget_get_visible(b0->prv.btn_on));

    /* Details: two lists under a notebook with tabs at the bottom. */
    ASSERT_NE(b0->event_details.assets_tree, nullptr);
    ASSERT_NE(b0->event_details.metas_tree, nullptr);
    EXPECT_EQ(b1->event_details.assets_tree, nullptr);
    EXPECT_EQ(b1->event_details.metas_tree, nullptr);
    GtkTreeView *assets = GTK_TREE_VIEW(b0->event_details.assets_tree);
    GtkTreeView *metas = GTK_TREE_VIEW(b0->event_details.metas_tree);
    EXPECT_EQ(gtk_tree_model_get_n_columns(gtk_tree_view_get_model(assets)), ASSETS_DETAILS_COLUMN_LAST);
    EXPECT_EQ(gtk_tree_model_get_n_columns(gtk_tree_view_get_model(metas)), METAS_DETAILS_COLUMN_LAST);
    GList *cols = gtk_tree_view_get_columns(assets);
    EXPECT_EQ(g_list_length(cols), 4u);
    g_list_free(cols);
    cols = gtk_tree_view_get_columns(metas);
    EXPECT_EQ(g_list_length(cols), 2u);
    g_list_free(cols);
    EXPECT_STREQ(gtk_widget_get_name(GTK_WIDGET(assets)), "treeview__assets_details");
    GtkWidget *nb = gtk_widget_get_ancestor(GTK_WIDGET(assets), GTK_TYPE_NOTEBOOK);
    ASSERT_NE(nb, nullptr);
    EXPECT_EQ(gtk_notebook_get_tab_pos(GTK_NOTEBOOK(nb)), GTK_POS_BOTTOM);
    EXPECT_STREQ(gtk_notebook_get_tab_label_text(GTK_NOTEBOOK(nb), gtk_notebook_get_nth_page(GTK_NOTEBOOK(nb), 0)),
                 "ASSETS");
    EXPECT_STREQ(gtk_notebook_get_tab_label_text(GTK_NOTEBOOK(nb), gtk_notebook_get_nth_page(GTK_NOTEBOOK(nb), 1)),
                 "METAS");
    GtkWidget *area = gtk_widget_get_parent(nb);
    int h = 0;
    gtk_widget_get_size_request(area, nullptr, &h);
    EXPECT_EQ(h, 160);
    /* The strip and the details sit inside the library pane. */
    GtkWidget *paned = gtk_notebook_get_nth_page(GTK_NOTEBOOK(app->apps_notebook), 0);
    EXPECT_TRUE(gtk_widget_is_ancestor(b0->prv.hbox, gtk_paned_get_child2(GTK_PANED(paned))));
    EXPECT_TRUE(gtk_widget_is_ancestor(nb, gtk_paned_get_child2(GTK_PANED(paned))));
}

TEST_F(MainWindow, SwitchingPagesMarksTitleAndShowsThatBusStrip)
{
    instance_t *app = build(two_buses({"--prv-io=10.0.0.5:8082"}, {"--prv-io=10.0.0.6:8083", "--tz=Europe/Oslo"}));
    bus_t *b0 = &app->bus.list[0], *b1 = &app->bus.list[1];
    GtkNotebook *nb = GTK_NOTEBOOK(app->apps_notebook);

    /* The operator hides the second bus's strip; switching there shows it. */
    gtk_button_clicked(GTK_BUTTON(b1->prv.btn_off));
    EXPECT_FALSE(gtk_widget_get_visible(b1->prv.hbox));
    gtk_notebook_set_current_page(nb, 1);
    EXPECT_EQ(weight(b1->title_label), PANGO_WEIGHT_BOLD);
    EXPECT_EQ(weight(b0->title_label), PANGO_WEIGHT_NORMAL);
    EXPECT_TRUE(gtk_widget_get_visible(b1->prv.hbox));
    EXPECT_FALSE(gtk_widget_get_visible(b0->prv.hbox));
    /* The buttons keep their last state. */
    EXPECT_TRUE(gtk_widget_get_visible(b1->prv.btn_on));
    EXPECT_FALSE(gtk_widget_get_visible(b1->prv.btn_off));

    gtk_notebook_set_current_page(nb, 0);
    EXPECT_EQ(weight(b0->title_label), PANGO_WEIGHT_BOLD);
    EXPECT_EQ(weight(b1->title_label), PANGO_WEIGHT_NORMAL);
    EXPECT_TRUE(gtk_widget_get_visible(b0->prv.hbox));
    EXPECT_FALSE(gtk_widget_get_visible(b1->prv.hbox));

    /* Without previews the switch is harmless. */
    engine_app plain;
    ASSERT_TRUE(plain.create(two_buses()));
    gtk_notebook_set_current_page(GTK_NOTEBOOK(plain.app->apps_notebook), 1);
    EXPECT_EQ(weight(plain.app->bus.list[1].title_label), PANGO_WEIGHT_BOLD);
}

namespace {

/* Every control a 1280x720 screen must reach: nothing may need more width
 * than it has (the bus panel, the library's show button beside it). */
TEST_F(MainWindow, FitsA1280By720ScreenAndGivesAWideOneToTheList)
{
    instance_t *app = build(two_buses({"--prv-io=127.0.0.1:1", "--assets-details-height=160"}));
    ASSERT_NE(app, nullptr);
    gtk_widget_show(app->window);
    engine_run_for(200);
    GtkRequisition req;
    gtk_widget_size_request(app->window, &req);
    EXPECT_LE(req.width, 1280) << "the console needs " << req.width << " pixels across";
    EXPECT_LE(req.height, 720) << "the console needs " << req.height << " pixels down";

    /* Wider: the extra room goes to the grid, the clocks keep their size. */
    bus_t *bus = &app->bus.list[0];
    gtk_window_resize(GTK_WINDOW(app->window), 1280, 720);
    engine_run_for(300);
    int narrow_grid = bus->scrolled->allocation.width, clock = bus->clock->allocation.width;
    gtk_window_resize(GTK_WINDOW(app->window), 1920, 1080);
    engine_run_for(300);
    EXPECT_GE(bus->scrolled->allocation.width, narrow_grid + 600) << "the list did not take the extra room";
    EXPECT_EQ(bus->clock->allocation.width, clock);
    EXPECT_EQ(clock, 164);
}

} // namespace
