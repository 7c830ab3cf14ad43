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
