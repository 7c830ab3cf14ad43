// The console against a failing and a hanging pelmora-sim, in process with
// the real window: after a spell of failed calls every bus's list equals the
// server's row by row; a hung GetState turns the bus offline within the
// transport time-out and back online when the hang ends, and the main loop
// is never held up by the workers meanwhile.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "bus.h"
#include "engine_support.h"
#include "pelmora.h"
#include "pelmorabox.h"
#include "reliability_support.h"
#include "ui_bus.h"

namespace {

class ReliabilityFaults : public testing::Test
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
            EXPECT_GE(e.stop(), 0) << "bus_release did not return";
        }
        sim_child_stop(&sim);
    }

    void start(std::vector<std::string> sim_args, int buses)
    {
        std::vector<std::string> all = {"--automation", "0", "--buses", std::to_string(buses), "--log-calls"};
        all.insert(all.end(), sim_args.begin(), sim_args.end());
        ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), all), 0);
        ASSERT_TRUE(e.create(engine_bus_args(sim.hostport, buses)));
        e.start();
    }

    bus_t *bus(int i) { return &e.app->bus.list[i]; }

    void show_page(int i)
    {
        gtk_notebook_set_current_page(GTK_NOTEBOOK(e.app->apps_notebook), i);
        int a, b;
        engine_run_until([&] { return grid_visible(bus(i), &a, &b); }, 3000);
    }

    /* Scrolls bus i's page from top to bottom, a page at a time, waiting at
     * each stop until the rows in view equal the server's; then the whole
     * grid must equal the server's list. */
    void expect_equal_to_server(int i)
    {
        std::vector<reliability_row> server;
        ASSERT_TRUE(reliability_server_list(sim.url, i, &server)) << "bus " << i;
        bus_t *b = bus(i);
        show_page(i);
        ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == (int)server.size(); }, 5000))
            << "bus " << i << ": " << grid_rows(b) << " rows, server " << server.size();
        GtkAdjustment *adj = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(b->scrolled));
        double value = 0;
        for (int stop = 0; stop < 100; stop++) {
            gtk_adjustment_set_value(adj, value);
            bool same = engine_run_until(
                [&] {
                    int first, last;
                    if (!grid_visible(b, &first, &last))
                        return false;
                    for (int r = first; r <= last && r < (int)server.size(); r++)
                        if (!(reliability_row_of(grid_event(b, r)) == server[(size_t)r]))
                            return false;
                    return true;
                },
                5000);
            EXPECT_TRUE(same) << "bus " << i << ": rows in view at " << value << " differ from the server's";
            double upper = gtk_adjustment_get_upper(adj), page = gtk_adjustment_get_page_size(adj);
            if (!same || value >= upper - page)
                break;
            value = std::min(value + page, upper - page);
        }
        std::vector<reliability_row> grid = reliability_grid_list(b);
        ASSERT_EQ(grid.size(), server.size());
        for (size_t r = 0; r < grid.size(); r++)
            EXPECT_TRUE(grid[r] == server[r])
                << "bus " << i << " row " << r << ":\n  grid   " << grid[r].line << "\n  server " << server[r].line;
    }

    sim_child_t sim;
    engine_app e;
};

} // namespace

TEST_F(ReliabilityFaults, ListsEqualTheServersOnceFailedCallsStop)
{
    const int buses = 3;
    start({"--events", "70", "--fail-rate", "0.2", "--seed", "11"}, buses);
    std::mt19937 rng(5);

    /* Six seconds of faults while other clients edit every list and the
     * operator looks at each page and scrolls: every kind of call fails
     * now and then. */
    auto t0 = clock_type::now();
    int edits = 0, scrolls = 0;
    while (ms_since(t0) < 6000) {
        int i = (int)(rng() % buses);
        pelmorabox_bus_state_t s;
        int64_t at = (int64_t)(rng() % 60);
        int r;
        if (rng() % 3 == 0) {
            r = pelmorabox_delete_event(sim.url.c_str(), i, 1, &at, &s);
        } else {
            std::string line =
                engine_event_line("00:00:20:00", 'V', "demo/clip002.mxf", ("edit " + std::to_string(edits)).c_str());
            pelmorabox_event_t *ev = pelmorabox_event_create_from_string(line.c_str(), nullptr, 0);
            r = rng() % 2 ? pelmorabox_insert_event(sim.url.c_str(), i, at, ev, &s)
                          : pelmorabox_update_event(sim.url.c_str(), i, at, ev, &s);
            pelmorabox_event_destroy(&ev);
        }
        edits += r >= 0;
        show_page(i);
        GtkAdjustment *adj = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(bus(i)->scrolled));
        gtk_adjustment_set_value(adj, (double)(rng() % 1000) / 1000.0 *
                                          (gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj)));
        scrolls++;
        engine_run_for(150 + (int)(rng() % 200));
    }
    EXPECT_GT(edits, 5);
    int fetches = 0;
    for (const sim_call &c : sim_calls(&sim))
        fetches += c.method == "PelmoraBox.GetEvents2";
    EXPECT_GT(fetches, 10) << "the faults must have met fetches (about one call in five failed)";

    ASSERT_TRUE(reliability_sim_faults(&sim, false));
    for (int i = 0; i < buses; i++)
        expect_equal_to_server(i);
    EXPECT_EQ(bus_main_thread_violations(), 0);
}

TEST_F(ReliabilityFaults, HungStatePollGoesOfflineAndComesBackWithoutBlockingTheLoop)
{
    start({"--events", "40", "--hang", "GetState", "--faults-off"}, 2);
    ASSERT_TRUE(engine_run_until(
        [&] { return grid_rows(bus(0)) == 40 && grid_rows(bus(1)) == 40 && grid_visible_filled(bus(0)); }, 5000));

    gui_pause_meter gaps;
    gaps.start();
    ASSERT_TRUE(reliability_sim_faults(&sim, true));
    auto t0 = clock_type::now();
    ASSERT_TRUE(engine_run_until([&] { return bus(0)->state.ret < 0 && bus(1)->state.ret < 0; },
                                 BUS_STATE_PERIOD_US / 1000 + pelmora_rpc_timeout_ms() + 2000));
    int offline_ms = ms_since(t0);
    EXPECT_LE(offline_ms, BUS_STATE_PERIOD_US / 1000 + pelmora_rpc_timeout_ms() + 500)
        << "offline later than one poll period and the transport time-out";
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(grid_rows(bus(i)), 0);
        EXPECT_TRUE(gtk_widget_get_visible(bus(i)->online[0])) << "offline image of bus " << i;
    }

    /* The hang goes on: polls keep timing out, the loop keeps running. */
    engine_run_for(2 * pelmora_rpc_timeout_ms());
    EXPECT_LT(bus(0)->state.ret, 0);

    ASSERT_TRUE(reliability_sim_faults(&sim, false));
    t0 = clock_type::now();
    ASSERT_TRUE(engine_run_until(
        [&] {
            return bus(0)->state.ret >= 0 && bus(1)->state.ret >= 0 && grid_rows(bus(0)) == 40 &&
                   grid_rows(bus(1)) == 40 && grid_visible_filled(bus(0));
        },
        BUS_STATE_PERIOD_US / 1000 + pelmora_rpc_timeout_ms() + 3000));
    EXPECT_LE(ms_since(t0), BUS_STATE_PERIOD_US / 1000 + pelmora_rpc_timeout_ms() + 1500);
    EXPECT_TRUE(gtk_widget_get_visible(bus(0)->online[1])) << "online and stopped";
    gaps.stop();
    EXPECT_LE(gaps.blocked_ms(), 100.0) << "the main loop was held up";
    EXPECT_GT(sim_child_count(&sim, "call PelmoraBox.GetState bus=0"), 3);
}
