// The bus engine against pelmora-sim, in process: the real window and grid,
// the main loop run by the test under the GDK lock, the simulator's call log
// read to count what the engine fetched.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "bus.h"
#include "engine_support.h"
#include "pelmora.h"
#include "pelmorabox.h"
#include "ui_bus.h"

namespace {

class BusEngine : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!engine_gtk_ready())
            GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
        violations_before = bus_main_thread_violations();
    }
    void TearDown() override
    {
        if (!IsSkipped()) {
            if (e.app) {
                EXPECT_GE(e.stop(), 0) << "bus_release did not return";
            }
            EXPECT_EQ(bus_main_thread_violations(), violations_before) << "a worker touched a widget";
        }
        sim_child_stop(&sim);
        if (!data.empty())
            engine_remove_dir(data);
    }

    void start_sim(std::vector<std::string> args, int port = 0)
    {
        std::vector<std::string> all = {"--automation", std::to_string(port), "--log-calls"};
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), all), 0);
    }

    void start_console(int buses = 1)
    {
        ASSERT_TRUE(e.create(engine_bus_args(sim.hostport, buses)));
        e.start();
    }

    bus_t *bus(int i = 0) { return &e.app->bus.list[i]; }

    /* Waits until no call has reached the server for quiet_ms. */
    void settle(int quiet_ms = 400, int max_ms = 8000)
    {
        size_t last = sim_line_count(&sim);
        auto changed = clock_type::now();
        engine_run_until(
            [&] {
                size_t now = sim_line_count(&sim);
                if (now != last) {
                    last = now;
                    changed = clock_type::now();
                }
                return ms_since(changed) >= quiet_ms;
            },
            max_ms);
    }

    sim_child_t sim;
    engine_app e;
    std::string data;
    int violations_before = 0;
};

int sum_n(const std::vector<sim_call> &calls, const char *method, int *max_n = nullptr, int *ncalls = nullptr)
{
    int sum = 0;
    for (const sim_call &c : calls)
        if (c.method == method) {
            sum += c.n;
            if (max_n && c.n > *max_n)
                *max_n = c.n;
            if (ncalls)
                (*ncalls)++;
        }
    return sum;
}

int calls_of(const std::vector<sim_call> &calls, const char *method)
{
    int n = 0;
    sum_n(calls, method, nullptr, &n);
    return n;
}

bool status_shows(bus_t *bus, int which)
{
    for (int i = 0; i < 3; i++)
        if ((gtk_widget_get_visible(bus->online[i]) ? 1 : 0) != (i == which ? 1 : 0))
            return false;
    return true;
}

} // namespace

TEST_F(BusEngine, ThousandEventsFillVisibleRowsAndScrollFetchesOnlyNewRows)
{
    start_sim({"--events", "1000"});
    start_console();
    bus_t *b = bus();

    auto t0 = clock_type::now();
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == 1000; }, 5000)) << "rows: " << grid_rows(b);
    int rows_ms = ms_since(t0);
    ASSERT_TRUE(engine_run_until([&] { return grid_visible_filled(b); }, 3 * 900 + 1000));
    int filled_ms = ms_since(t0);
    EXPECT_LE(filled_ms - rows_ms, 3 * 900) << "visible rows filled later than three state periods";
    EXPECT_TRUE(status_shows(b, 1)) << "a stopped bus shows online and paused";

    int first, last;
    ASSERT_TRUE(grid_visible(b, &first, &last));
    EXPECT_EQ(first, 0);
    EXPECT_GT(last, 5);
    /* Rows hold their own copies with the server's texts. */
    pelmorabox_event_t *e0 = grid_event(b, 0);
    ASSERT_NE(e0, nullptr);
    EXPECT_EQ(grid_text(b, 0, BUS_COLUMN_TITLE), e0->title);
    EXPECT_EQ(grid_text(b, 0, BUS_COLUMN_MEDIA_ID), e0->media_id);
    EXPECT_EQ(grid_text(b, 0, BUS_COLUMN_DUR), e0->duration);
    EXPECT_EQ(grid_event(b, 999), nullptr) << "rows far below the view are never fetched";

    /* Pause the state thread so that only the scroll causes fetches. */
    __atomic_store_n(&b->state.ign, 1, __ATOMIC_RELEASE);
    settle(1200);
    std::vector<bool> had(1000);
    for (int i = 0; i < 1000; i++)
        had[i] = grid_event(b, i) != nullptr;
    size_t mark = sim_line_count(&sim);

    GtkAdjustment *adj = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(b->scrolled));
    gtk_adjustment_set_value(adj, gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj));
    ASSERT_TRUE(engine_run_until([&] { return grid_visible_filled(b) && grid_event(b, 999); }, 5000));
    settle(500);

    ASSERT_TRUE(grid_visible(b, &first, &last));
    EXPECT_EQ(last, 999);
    int newly = 0;
    for (int i = first; i <= last; i++)
        newly += had[i] ? 0 : 1;
    int max_n = 0, calls = 0;
    std::vector<sim_call> log = sim_calls(&sim, mark);
    int fetched = sum_n(log, "PelmoraBox.GetEvents2", &max_n, &calls);
    EXPECT_GT(newly, 10);
    EXPECT_EQ(fetched, newly) << "the scroll fetched other rows than the newly visible ones";
    EXPECT_LE(max_n, 32);
    EXPECT_GE(calls, (newly + 31) / 32);
    EXPECT_EQ(calls_of(log, "PelmoraBox.GetState"), 0) << "GetState while paused";
    for (int i = 100; i < first; i++)
        EXPECT_EQ(grid_event(b, i), nullptr) << "row " << i << " was jumped over and must stay unfetched";

    /* Scrolling back over fresh rows near the view fetches nothing. */
    double bottom = gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj);
    gtk_adjustment_set_value(adj, bottom - gtk_adjustment_get_page_size(adj) / 2);
    ASSERT_TRUE(engine_run_until([&] { return grid_visible_filled(b); }, 5000));
    settle(300);
    mark = sim_line_count(&sim);
    gtk_adjustment_set_value(adj, bottom);
    settle(500);
    EXPECT_EQ(sum_n(sim_calls(&sim, mark), "PelmoraBox.GetEvents2"), 0);

    /* Rows a long way from the view gave their events back: back at the top
     * they are read again (the first two, which every poll reads, kept
     * theirs). */
    mark = sim_line_count(&sim);
    gtk_adjustment_set_value(adj, 0);
    ASSERT_TRUE(engine_run_until([&] { return grid_visible_filled(b); }, 5000));
    settle(300);
    EXPECT_GT(sum_n(sim_calls(&sim, mark), "PelmoraBox.GetEvents2"), 0);
    EXPECT_EQ(grid_event(b, 999), nullptr);

    /* Over the whole run no call asked for more than 32 rows. */
    max_n = 0;
    sum_n(sim_calls(&sim), "PelmoraBox.GetEvents2", &max_n);
    EXPECT_LE(max_n, 32);

    /* Polling resumes once the pause ends. */
    mark = sim_line_count(&sim);
    __atomic_store_n(&b->state.ign, 0, __ATOMIC_RELEASE);
    EXPECT_TRUE(engine_run_until([&] { return calls_of(sim_calls(&sim, mark), "PelmoraBox.GetState") > 0; }, 3000));
}

TEST_F(BusEngine, PlayedOutEventDropsFirstRowAndRefetchesVisibleRows)
{
    std::vector<std::string> lines = {engine_event_line("00:00:01:00", 'V', "demo/clip001.mxf", "Short opener")};
    for (int i = 0; i < 40; i++)
        lines.push_back(
            engine_event_line("00:10:00:00", 'V', "demo/clip002.mxf", ("Long " + std::to_string(i)).c_str()));
    data = engine_data_dir({{"short_first", lines}});
    start_sim({"--data", data, "--playlist", "short_first"});
    start_console();
    bus_t *b = bus();

    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == 41 && grid_visible_filled(b); }, 5000));
    EXPECT_EQ(grid_text(b, 0, BUS_COLUMN_TITLE), "Short opener");
    int64_t second_id = grid_event(b, 1)->sys_id;

    size_t mark = sim_line_count(&sim);
    pelmorabox_bus_state_t s;
    ASSERT_EQ(pelmorabox_run(sim.url.c_str(), 0, 1, &s), 0);
    auto t0 = clock_type::now();
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == 40; }, 6000)) << "rows: " << grid_rows(b);
    int64_t drop_amend = b->state.s.amend;
    EXPECT_LT(ms_since(t0), 1000 + 2 * 900 + 500);

    /* The first row went away; every visible row is fetched again: its copy
     * was composed at or after the change that dropped the row. */
    ASSERT_TRUE(engine_run_until([&] { return grid_visible_filled(b, drop_amend); }, 3000));
    EXPECT_EQ(grid_event(b, 0)->sys_id, second_id);
    EXPECT_EQ(grid_text(b, 0, BUS_COLUMN_TITLE), "Long 0");
    EXPECT_NE(grid_text(b, 0, BUS_COLUMN_NOTES).find("PLAYING"), std::string::npos);
    int first, last;
    ASSERT_TRUE(grid_visible(b, &first, &last));
    int max_n = 0;
    EXPECT_GE(sum_n(sim_calls(&sim, mark), "PelmoraBox.GetEvents2", &max_n), last - first + 1);
    EXPECT_LE(max_n, 32);
    EXPECT_TRUE(status_shows(b, 2)) << "a running bus shows online and playing";
}

TEST_F(BusEngine, StoppedServerTurnsBusOfflineAndRestartBringsRowsBack)
{
    start_sim({"--events", "50"});
    int port = sim.port;
    start_console();
    bus_t *b = bus();
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == 50 && grid_visible_filled(b); }, 5000));

    sim_child_stop(&sim);
    auto t0 = clock_type::now();
    ASSERT_TRUE(engine_run_until([&] { return b->state.ret < 0; }, 6000));
    EXPECT_LE(ms_since(t0), 2 * 900 + pelmora_rpc_timeout_ms() + 300);
    EXPECT_EQ(grid_rows(b), 0);
    EXPECT_TRUE(status_shows(b, 0)) << "offline image only";
    EXPECT_EQ(b->state.s.count, 0);
    EXPECT_EQ(b->state.s.amend, 0);

    /* Still offline after more failed polls: nothing changes. */
    engine_run_for(1000);
    EXPECT_EQ(grid_rows(b), 0);

    start_sim({"--events", "50"}, port);
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == 50 && grid_visible_filled(b); }, 5000));
    EXPECT_GE(b->state.ret, 0);
    EXPECT_TRUE(status_shows(b, 1));
}

TEST_F(BusEngine, ListOfOneEventFetchesOnlyIndexZero)
{
    data = engine_data_dir({{"one", {engine_event_line("00:00:30:00", 'V', "demo/clip003.mxf", "Only one")}}});
    start_sim({"--data", data, "--playlist", "one"});
    start_console();
    bus_t *b = bus();
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == 1 && grid_event(b, 0); }, 5000));
    /* A few polls, each queueing only the first row. */
    engine_run_for(2000);
    int max_n = 0, calls = 0;
    sum_n(sim_calls(&sim), "PelmoraBox.GetEvents2", &max_n, &calls);
    EXPECT_GE(calls, 2);
    EXPECT_EQ(max_n, 1);
    EXPECT_EQ(grid_text(b, 0, BUS_COLUMN_TITLE), "Only one");
}

/* A grown grid queues a look at its visible rows for when the view has
 * settled; a bus released and freed before that idle runs must take it
 * along (the sanitizer build saw the idle write into the freed record). */
TEST_F(BusEngine, QueuedVisibleCheckDoesNotOutliveItsBus)
{
    start_sim({"--hang", "GetState", "--hang", "GetEvents2"});
    start_console();
    bus_t *b = bus();
    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof s);
    s.count = 50;
    s.amend = 3;
    ASSERT_EQ(bus_push_state(b, 0, &s), 0); /* grows the grid: a check is queued */
    e.app->f_exit = 1;
    EXPECT_EQ(bus_release(b), 0); /* here, before the loop runs its idles */
    e.started = false;
    gtk_widget_destroy(e.app->window);
    e.app->window = nullptr;
    free(e.app);
    e.app = nullptr;
    engine_run_for(300); /* a check left behind would run on freed memory */
}

TEST_F(BusEngine, StatesAppliedOnTheMainLoopGrowAndShrinkTheGrid)
{
    start_sim({"--hang", "GetState", "--hang", "GetEvents2"});
    start_console();
    bus_t *b = bus();

    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof s);
    s.count = 5;
    s.amend = 7;
    ASSERT_EQ(bus_push_state(b, 0, &s), 0);
    EXPECT_EQ(grid_rows(b), 5);
    EXPECT_EQ(b->state.s.amend, 7);

    /* A shrinking list drops rows at the top and frees their events. */
    pelmorabox_event_t *e = pelmorabox_event_create();
    strcpy(e->title, "third");
    e->amend = 7;
    int64_t idx = 2;
    ASSERT_EQ(bus_ui_update_events(b, 1, &idx, &e), 0);
    pelmorabox_event_destroy(&e);
    ASSERT_NE(grid_event(b, 2), nullptr);
    s.count = 3;
    ASSERT_EQ(bus_push_state(b, 0, &s), 0);
    EXPECT_EQ(grid_rows(b), 3);
    EXPECT_EQ(grid_text(b, 0, BUS_COLUMN_TITLE), "third");

    /* A row that no longer exists is skipped. */
    e = pelmorabox_event_create();
    idx = 10;
    EXPECT_EQ(bus_ui_update_events(b, 1, &idx, &e), 0);
    pelmorabox_event_destroy(&e);

    s.count = 0;
    ASSERT_EQ(bus_push_state(b, 0, &s), 0);
    EXPECT_EQ(grid_rows(b), 0);

    /* Offline once, then nothing more. */
    s.count = 4;
    ASSERT_EQ(bus_push_state(b, 0, &s), 0);
    EXPECT_EQ(bus_push_state(b, -14, &s), 0);
    EXPECT_LT(b->state.ret, 0);
    EXPECT_EQ(grid_rows(b), 0);
    EXPECT_TRUE(status_shows(b, 0));
    EXPECT_EQ(bus_push_state(b, -14, &s), 0);
    EXPECT_EQ(grid_rows(b), 0);

    /* A count no grid can hold is bounded. */
    s.count = -3;
    ASSERT_EQ(bus_push_state(b, 0, &s), 0);
    EXPECT_EQ(grid_rows(b), 0);
}

TEST_F(BusEngine, QueueKeepsEachIndexOnceAndStopsAt4096)
{
    /* The events fetch never answers: the queue is not drained meanwhile. */
    start_sim({"--events", "10", "--hang", "GetEvents2", "--hang", "GetState"});
    start_console();
    bus_t *b = bus();

    std::vector<int> idxs(5000);
    for (int i = 0; i < 5000; i++)
        idxs[i] = i;
    auto queued = [b] {
        pthread_mutex_lock(&b->update.lock);
        int n = b->update.count;
        pthread_mutex_unlock(&b->update.lock);
        return n;
    };
    ASSERT_EQ(bus_enqueu_update_idx(b, 3, idxs.data()), 0);
    ASSERT_EQ(bus_enqueu_update_idx(b, 3, idxs.data()), 0);
    /* The events thread takes 0..2 into a call that hangs; they stay queued. */
    EXPECT_EQ(queued(), 3);
    ASSERT_EQ(bus_enqueu_update_idx(b, 5000, idxs.data()), 0);
    EXPECT_EQ(queued(), 4096);
    pthread_mutex_lock(&b->update.lock);
    for (int i = 0; i < 4096; i++)
        ASSERT_EQ(b->update.list[i], i);
    pthread_mutex_unlock(&b->update.lock);
    int extra = 4999;
    ASSERT_EQ(bus_enqueu_update_idx(b, 1, &extra), 0);
    EXPECT_EQ(queued(), 4096);
    EXPECT_EQ(bus_enqueu_update_idx(b, -1, idxs.data()), -22);
}

TEST_F(BusEngine, WidgetFunctionsRefuseWorkerThreads)
{
    start_sim({"--hang", "GetState"});
    start_console();
    bus_t *b = bus();
    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof s);
    s.count = 9;
    int r1 = 0, r2 = 0, r3 = 0;
    std::thread([&] {
        r1 = bus_push_state(b, 0, &s);
        r2 = bus_set_list_count(b, 3);
        r3 = bus_enqueu_update_visible(b, 1);
    }).join();
    EXPECT_EQ(r1, -1);
    EXPECT_EQ(r2, -1);
    EXPECT_EQ(r3, -1);
    EXPECT_EQ(grid_rows(b), 0);
    EXPECT_EQ(bus_main_thread_violations(), violations_before + 3);
    violations_before += 3;
}

TEST_F(BusEngine, ShutdownOfEightBusesJoinsWhileHandOversArePending)
{
    start_sim({"--buses", "8", "--events", "300", "--autostart"});
    start_console(8);
    ASSERT_TRUE(engine_run_until(
        [&] {
            for (int i = 0; i < 8; i++)
                if (grid_rows(bus(i)) < 290 || !grid_event(bus(i), 0))
                    return false;
            return true;
        },
        8000));

    /* Keep the main loop away while the workers poll: their results wait in
     * hand-overs when shutdown starts. */
    usleep(1500 * 1000);
    int ms = e.stop();
    ASSERT_GE(ms, 0) << "bus_release did not return";
    EXPECT_LE(ms, 2000);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(bus(i)->update.count, 0);
}

TEST_F(BusEngine, PollAnsweredBeforeAnOperatorEditNeverRollsItBack)
{
    std::vector<std::string> lines;
    for (int i = 0; i < 5; i++)
        lines.push_back(
            engine_event_line("00:00:30:00", 'V', "demo/clip003.mxf", ("Row " + std::to_string(i)).c_str()));
    data = engine_data_dir({{"five", lines}});
    /* Each poll is answered 300 ms after it arrives, from the list as it is
     * then; row fetches (which bring a state too) take 0.7 s. */
    start_sim({"--data", data, "--playlist", "five", "--latency=GetState:300", "--latency=GetEvents2:700"});
    start_console();
    bus_t *b = bus();
    ASSERT_TRUE(engine_run_until([&] { return b->state.s.count == 5 && grid_rows(b) == 5; }, 8000));

    /* Catch the moment a poll goes out, then keep the main loop from turning
     * (as a long operator action does) until its answer, composed before the
     * edit below, is waiting to be applied. */
    int64_t last = b->state.last;
    ASSERT_TRUE(engine_run_until([&] { return b->state.last != last; }, 4000));
    usleep(600 * 1000);

    pelmorabox_event_t *e = pelmorabox_event_create_from_string(
        engine_event_line("00:00:10:00", 'V', "demo/clip004.mxf", "Inserted").c_str(), nullptr, 0);
    ASSERT_NE(e, nullptr);
    pelmorabox_bus_state_t s;
    ASSERT_GE(pelmorabox_insert_event(b->url, b->idx, 5, e, &s), 0);
    pelmorabox_event_destroy(&e);
    ASSERT_EQ(s.count, 6);
    ASSERT_EQ(bus_push_state(b, 0, &s), 0);
    const int64_t edited = b->state.s.amend;

    /* The late answer is dropped: the list never goes back to five rows. */
    bool rolled_back = false;
    engine_run_until(
        [&] {
            rolled_back = rolled_back || b->state.s.count != 6 || b->state.s.amend < edited;
            return false;
        },
        2500);
    EXPECT_FALSE(rolled_back);
    EXPECT_EQ(grid_rows(b), 6);
    EXPECT_TRUE(engine_run_until([&] { return grid_text(b, 5, BUS_COLUMN_TITLE) == "Inserted"; }, 4000));
}
