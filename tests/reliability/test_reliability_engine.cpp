// The bus engine's grid set up for long lists (lines both ways, drawn solid;
// columns that only grow) and its state thread, which sleeps until a poll is
// due: polls keep their period, and a failed fetch is tried again at the next
// poll even when the list did not change.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "bus.h"
#include "engine_support.h"
#include "pelmora.h"
#include "reliability_support.h"
#include "ui_bus.h"

namespace {

class ReliabilityEngine : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!engine_gtk_ready())
            GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
    }
    void TearDown() override
    {
        if (!IsSkipped() && e.app) {
            EXPECT_GE(e.stop(), 0);
        }
        sim_child_stop(&sim);
    }
    void start(std::vector<std::string> sim_args)
    {
        std::vector<std::string> all = {"--automation", "0", "--log-calls"};
        all.insert(all.end(), sim_args.begin(), sim_args.end());
        ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), all), 0);
        ASSERT_TRUE(e.create({"--add-bus=NEWS", "--host=" + sim.hostport, "--idx=0"}));
        e.start();
    }
    bus_t *bus() { return &e.app->bus.list[0]; }

    sim_child_t sim;
    engine_app e;
};

} // namespace

TEST_F(ReliabilityEngine, GridDrawsBothLinesSolidAndColumnsOnlyGrow)
{
    start({"--events", "30"});
    bus_t *b = bus();
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == 30 && grid_visible_filled(b); }, 5000));
    EXPECT_EQ(gtk_tree_view_get_grid_lines(GTK_TREE_VIEW(b->grid)), GTK_TREE_VIEW_GRID_LINES_BOTH);
    gchar *pattern = nullptr;
    gtk_widget_style_get(b->grid, "grid-line-pattern", &pattern, NULL);
    ASSERT_NE(pattern, nullptr);
    EXPECT_STREQ(pattern, "") << "a dashed pattern is stroked dash by dash down the whole list";
    g_free(pattern);
    GList *cols = gtk_tree_view_get_columns(GTK_TREE_VIEW(b->grid));
    int n = 0;
    for (GList *c = cols; c; c = c->next, n++)
        EXPECT_NE(gtk_tree_view_column_get_sizing(GTK_TREE_VIEW_COLUMN(c->data)), GTK_TREE_VIEW_COLUMN_AUTOSIZE)
            << "column " << n << " would re-measure every row on each change";
    g_list_free(cols);
    EXPECT_EQ(n, 22);

    /* Other lists keep the toolkit's dashed lines. */
    GtkWidget *other = gtk_tree_view_new();
    gtk_widget_set_name(other, "not_a_bus_list");
    gchar *other_pattern = nullptr;
    gtk_widget_style_get(other, "grid-line-pattern", &other_pattern, NULL);
    EXPECT_STRNE(other_pattern ? other_pattern : "", "");
    g_free(other_pattern);
    g_object_ref_sink(other);
    g_object_unref(other);
}

TEST_F(ReliabilityEngine, StatePollsKeepTheirPeriodWhileTheThreadSleepsBetweenThem)
{
    start({"--events", "5"});
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(bus()) == 5; }, 5000));
    size_t mark = sim_line_count(&sim);
    engine_run_for(4 * BUS_STATE_PERIOD_US / 1000 + 400);
    int polls = 0;
    for (const sim_call &c : sim_calls(&sim, mark))
        polls += c.method == "PelmoraBox.GetState";
    EXPECT_GE(polls, 4);
    EXPECT_LE(polls, 5);
}

TEST_F(ReliabilityEngine, FailedFetchOfAnUnchangedListIsTriedAgainAtTheNextPoll)
{
    /* Every GetEvents2 fails while the faults are on; the list never changes,
     * so only the retry after a failed fetch can fill the rows. */
    start({"--events", "20", "--refuse", "GetEvents2", "--faults-off"});
    bus_t *b = bus();
    ASSERT_TRUE(reliability_sim_faults(&sim, true));
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == 20; }, 5000));
    engine_run_for(2 * BUS_STATE_PERIOD_US / 1000);
    EXPECT_EQ(grid_event(b, 5), nullptr) << "refused fetches cannot have filled a row";
    ASSERT_TRUE(reliability_sim_faults(&sim, false));
    EXPECT_TRUE(engine_run_until([&] { return grid_visible_filled(b); }, 3 * BUS_STATE_PERIOD_US / 1000))
        << "visible rows stayed empty after the fetch failures ended";
}

namespace {

int rows_holding_events(bus_t *b)
{
    int held = 0;
    for (int i = 0; i < grid_rows(b); i++)
        held += grid_event(b, i) != nullptr;
    return held;
}

void scroll_to_row(bus_t *b, int row)
{
    GtkTreePath *p = gtk_tree_path_new_from_indices(row, -1);
    gtk_tree_view_scroll_to_cell(GTK_TREE_VIEW(b->grid), p, nullptr, TRUE, 0.0f, 0.0f);
    gtk_tree_path_free(p);
}

} // namespace

TEST_F(ReliabilityEngine, RowsFarFromViewGiveBackTheirEventsKeepTheirTextsAndAreReadAgainInView)
{
    start({"--events", "5000"});
    bus_t *b = bus();
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == 5000 && grid_visible_filled(b); }, 8000));
    scroll_to_row(b, 600);
    ASSERT_TRUE(engine_run_until([&] { return grid_event(b, 600) && grid_event(b, 601); }, 5000));
    std::string title_601 = grid_text(b, 601, BUS_COLUMN_TITLE);
    ASSERT_FALSE(title_601.empty());
    /* A selected row keeps its event wherever the view goes. */
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(b->grid));
    gtk_tree_selection_unselect_all(sel);
    GtkTreePath *p600 = gtk_tree_path_new_from_indices(600, -1);
    gtk_tree_selection_select_path(sel, p600);
    gtk_tree_path_free(p600);

    /* Through the list in long steps to its end. */
    for (int row = 1200; row < 5000; row += 600) {
        scroll_to_row(b, row);
        ASSERT_TRUE(engine_run_until([&] { return grid_visible_filled(b); }, 5000)) << "row " << row;
    }
    scroll_to_row(b, 4999);
    ASSERT_TRUE(engine_run_until([&] { return grid_visible_filled(b) && grid_event(b, 4999); }, 5000));
    int first = 0, last = 0;
    ASSERT_TRUE(grid_visible(b, &first, &last));

    int held = rows_holding_events(b);
    EXPECT_LE(held, 2 + (last - first + 1) + 3 * BUS_KEEP_ROWS + 1) << "records held far from view";
    EXPECT_NE(grid_event(b, 0), nullptr) << "the first two rows are fetched by every poll";
    EXPECT_NE(grid_event(b, 600), nullptr) << "the selected row gave its event back";
    EXPECT_EQ(grid_event(b, 601), nullptr);
    EXPECT_EQ(grid_text(b, 601, BUS_COLUMN_TITLE), title_601) << "a row far from view keeps its texts";

    /* Back in view, the row is read again. */
    scroll_to_row(b, 601);
    ASSERT_TRUE(engine_run_until([&] { return grid_visible_filled(b) && grid_event(b, 601); }, 5000));
    EXPECT_EQ(grid_text(b, 601, BUS_COLUMN_TITLE), title_601);
    EXPECT_EQ(grid_event(b, 4999), nullptr);
}

TEST_F(ReliabilityEngine, AGridOffScreenStopsMeasuringAndComesBackWhereItWas)
{
    std::vector<std::string> all = {"--automation", "0", "--buses", "2", "--events", "3000"};
    ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), all), 0);
    ASSERT_TRUE(e.create(engine_bus_args(sim.hostport, 2)));
    e.start();
    bus_t *a = &e.app->bus.list[0], *b = &e.app->bus.list[1];
    GtkNotebook *nb = GTK_NOTEBOOK(e.app->apps_notebook);
    gtk_notebook_set_current_page(nb, 0);
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(a) == 3000 && grid_visible_filled(a); }, 8000));
    EXPECT_FALSE(gtk_widget_get_visible(b->grid)) << "a page never shown starts with its grid measuring";
    EXPECT_FALSE(gtk_widget_get_realized(b->grid));
    scroll_to_row(a, 2000);
    GtkTreePath *p = gtk_tree_path_new_from_indices(2003, -1);
    gtk_tree_view_set_cursor(GTK_TREE_VIEW(a->grid), p, nullptr, FALSE);
    gtk_tree_path_free(p);
    ASSERT_TRUE(engine_run_until([&] { return grid_visible_filled(a) && grid_event(a, 2003); }, 5000));
    int first = 0, last = 0;
    ASSERT_TRUE(grid_visible(a, &first, &last));
    ASSERT_LE(first, 2003);
    ASSERT_GE(last, 2003);

    gtk_notebook_set_current_page(nb, 1);
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == 3000 && grid_visible_filled(b); }, 8000));
    EXPECT_FALSE(gtk_widget_get_visible(a->grid)) << "a grid off screen is still asked for its size";
    EXPECT_FALSE(gtk_widget_get_realized(a->grid)) << "a grid off screen still measures its rows";
    EXPECT_TRUE(gtk_widget_get_realized(b->grid));
    engine_run_for(300);

    /* Back on screen: same rows in view, the cursor row still selected. */
    gtk_notebook_set_current_page(nb, 0);
    ASSERT_TRUE(engine_run_until([&] { return gtk_widget_get_realized(a->grid) && grid_visible_filled(a); }, 5000));
    int first2 = 0, last2 = 0;
    ASSERT_TRUE(grid_visible(a, &first2, &last2));
    EXPECT_NEAR(first2, first, 1) << "the view did not come back where it was";
    GtkTreePath *cursor = nullptr;
    gtk_tree_view_get_cursor(GTK_TREE_VIEW(a->grid), &cursor, nullptr);
    ASSERT_NE(cursor, nullptr);
    EXPECT_EQ(gtk_tree_path_get_indices(cursor)[0], 2003);
    EXPECT_TRUE(gtk_tree_selection_path_is_selected(gtk_tree_view_get_selection(GTK_TREE_VIEW(a->grid)), cursor));
    gtk_tree_path_free(cursor);
    EXPECT_FALSE(gtk_widget_get_realized(b->grid));
}
