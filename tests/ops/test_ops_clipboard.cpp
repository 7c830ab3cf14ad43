// The application-wide clipboard and the grid's keys: copy on one bus, paste
// into another in order with the state polling paused, a refused insert in
// the middle of a series, the 200-event limit, cut with a cancelled delete,
// and keys passed on to the grid.
#include <gtest/gtest.h>

#include <gdk/gdkkeysyms.h>

#include "bus.h"
#include "bus_ctl.h"
#include "ops_support.h"
#include "pelmorabox.h"
#include "ui_bus.h"
#include "ui_search.h"

namespace {

std::vector<std::string> clips(const char *prefix, int n)
{
    std::vector<std::string> l;
    for (int i = 1; i <= n; i++) {
        char media[64], title[32];
        snprintf(media, sizeof media, "demo/clip%03d.mxf", i);
        snprintf(title, sizeof title, "%s%d", prefix, i);
        l.push_back(ops_event_line("00:00:20:00", media, title));
    }
    return l;
}

void on_row_deleted(GtkTreeModel *, GtkTreePath *, gpointer data)
{
    (*static_cast<int *>(data))++;
}

class OpsClipboard : public OpsTest
{
  protected:
    void two_buses(std::vector<std::string> sim_extra = {}, std::vector<std::string> console_extra = {})
    {
        data = engine_data_dir({{"pa", clips("A", 6)}, {"pb", clips("B", 4)}});
        std::vector<std::string> args = {"--buses", "2", "--playlist", "0:pa", "--playlist", "1:pb"};
        args.insert(args.end(), sim_extra.begin(), sim_extra.end());
        start_sim(args);
        start_console(console_extra, 2);
        ASSERT_TRUE(wait_filled(bus(0), 6));
        show_page(1);
        ASSERT_TRUE(wait_filled(bus(1), 4));
    }
    /* Returns once bus i's state poll has just been applied, so that the
     * next one is most of a period away. */
    void right_after_poll(int i)
    {
        size_t m = mark();
        engine_run_until([&] { return calls("PelmoraBox.GetState", i, m, false) > 0; }, 3000);
        /* Let the first rows that the poll queued be fetched too. */
        engine_run_for(150);
    }
};

TEST_F(OpsClipboard, ThreeEventsCopiedOnAPastedIntoBInOrderWithoutMiddleStates)
{
    /* Each insert takes 400 ms: the series lasts longer than a state period,
     * so a poll in its middle would be seen if polling were not paused. */
    two_buses({"--latency", "InsertEvent2:400"});
    bus_t *a = bus(0), *b = bus(1);
    /* Keys reach the grid of the page on screen. */
    show_page(0);
    ops_select_rows(a, {1, 2, 3});
    EXPECT_TRUE(ops_send_key(a->grid, GDK_KEY_c, GDK_CONTROL_MASK));
    ASSERT_EQ(e.app->clipboard.count, 3);

    show_page(1);
    ops_select_rows(b, {2});
    right_after_poll(1);
    int deleted = 0;
    /* Disconnected before `deleted` goes out of scope: the grid is emptied
     * again when the engines stop. */
    GtkTreeModel *grid_model = gtk_tree_view_get_model(GTK_TREE_VIEW(b->grid));
    gulong deleted_handler = g_signal_connect(grid_model, "row-deleted", G_CALLBACK(on_row_deleted), &deleted);
    size_t m = mark();
    /* Letters count in either case. */
    EXPECT_TRUE(ops_send_key(b->grid, GDK_KEY_V, GDK_CONTROL_MASK | GDK_SHIFT_MASK));
    EXPECT_EQ(calls("PelmoraBox.InsertEvent2", 1, m), 3);
    EXPECT_EQ(grid_rows(b), 7) << "the last insert's state is applied at once";
    EXPECT_EQ(b->state.ign, 0);

    /* No poll reached the server between the first and the last insert. */
    std::vector<sim_call> log = sim_calls(&sim, m);
    int inserts = 0, polls_between = 0;
    for (const sim_call &c : log) {
        if (c.bus != 1)
            continue;
        if (c.method == "PelmoraBox.InsertEvent2")
            inserts++;
        else if (c.method == "PelmoraBox.GetState" && inserts > 0 && inserts < 3)
            polls_between++;
    }
    EXPECT_EQ(polls_between, 0);

    /* Polls after the series show the same list: nothing was shown of the
     * middle of it (a row count from then would drop rows again). */
    engine_run_for(2200);
    EXPECT_EQ(deleted, 0);
    g_signal_handler_disconnect(grid_model, deleted_handler);
    EXPECT_TRUE(wait_titles(b, {"B1", "B2", "A2", "A3", "A4", "B3", "B4"})) << testing::PrintToString(titles(b));
    EXPECT_EQ(titles(a), (std::vector<std::string>{"A1", "A2", "A3", "A4", "A5", "A6"})) << "the copy changed A";
}

TEST_F(OpsClipboard, RefusedMiddleInsertLeavesFirstAndThirdAndAppliesTheLastState)
{
    two_buses({"--refuse", "InsertEvent2:2"});
    bus_t *a = bus(0), *b = bus(1);
    ops_select_rows(a, {0, 1, 2});
    ASSERT_EQ(bus_clipboard_copy(a), 0);
    ops_select_rows(b, {});
    ops_dialogs d;
    size_t m = mark();
    {
        ops_loop_watch w(e.app->window);
        ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_v, GDK_CONTROL_MASK));
        EXPECT_TRUE(w.modal.empty()) << "a dialog in the way: " << testing::PrintToString(w.modal);
    }
    EXPECT_EQ(calls("PelmoraBox.InsertEvent2", 1, m), 3);
    EXPECT_EQ(grid_rows(b), 6);
    EXPECT_TRUE(wait_titles(b, {"B1", "B2", "B3", "B4", "A1", "A3"}))
        << "without a selection the events go to the end: " << testing::PrintToString(titles(b));
    /* The operator is told on the notice line which one did not go in. */
    std::string text = bus_ui_notice_text(b);
    EXPECT_EQ(text, "PASTE: 1 of the 3 pasted events were not inserted, refused by " + sim.hostport +
                        " (Operation not permitted, -1): 2. A2 [demo/clip002.mxf]");
    EXPECT_TRUE(d.seen.empty());
}

TEST_F(OpsClipboard, CopyReadsSelectedRowsThatHoldNoEventAndRefusesWhenItCannot)
{
    /* A list long enough for rows far from view to give their events back. */
    std::vector<std::string> lines = clips("L", 1200);
    data = engine_data_dir({{"long", lines}});
    start_sim({"--playlist", "0:long"});
    /* A delete after a failed copy would put its question up. */
    start_console({"--delete-event-confirm"});
    bus_t *b = bus();
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == 1200 && grid_visible_filled(b); }, 6000));
    /* To the end and back: the rows there give their events back. */
    GtkAdjustment *adj = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(b->scrolled));
    gtk_adjustment_set_value(adj, gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj));
    ASSERT_TRUE(engine_run_until([&] { return grid_event(b, 1199) != nullptr; }, 6000));
    gtk_adjustment_set_value(adj, 0);
    ASSERT_TRUE(engine_run_until([&] { return grid_visible_filled(b) && grid_event(b, 1199) == nullptr; }, 6000));
    ASSERT_EQ(grid_event(b, 1000), nullptr);

    ops_dialogs d;
    ops_select_rows(b, {3, 1000, 1001, 1199});
    size_t m = mark();
    ASSERT_EQ(bus_clipboard_copy(b), 0);
    EXPECT_GE(calls("PelmoraBox.GetEvents2", 0, m), 1);
    ASSERT_EQ(e.app->clipboard.count, 4);
    const char *want[] = {"L4", "L1001", "L1002", "L1200"};
    for (int i = 0; i < 4; i++)
        EXPECT_STREQ(e.app->clipboard.list[i]->title, want[i]);
    EXPECT_TRUE(d.seen.empty());

    /* With the server gone the rows cannot be read: a cut copies nothing,
     * says so on the notice line, and deletes nothing (no delete question
     * follows); the clipboard keeps the last copy. */
    const std::string server = sim.hostport;
    sim_child_stop(&sim);
    ops_select_rows(b, {5, 998});
    ASSERT_EQ(grid_event(b, 998), nullptr);
    ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_x, GDK_CONTROL_MASK));
    EXPECT_STREQ(
        bus_ui_notice_text(b),
        ("COPY not done: 1 of the 2 selected events could not be read, " + server + " gave no answer").c_str());
    engine_run_for(2500);
    EXPECT_TRUE(d.seen.empty()) << "a dialog followed the failed copy";
    ASSERT_EQ(e.app->clipboard.count, 4);
    EXPECT_STREQ(e.app->clipboard.list[0]->title, "L4");
    EXPECT_EQ(d.unexpected, 0);
}

TEST_F(OpsClipboard, CopyKeepsTheFirstTwoHundredAndAnEmptySelectionEmptiesTheClipboard)
{
    /* No server needed: rows filled by hand, the engine not started. */
    ASSERT_TRUE(e.create({"--add-bus=X", "--host=127.0.0.1:9", "--idx=0"}));
    bus_t *b = bus();
    ASSERT_EQ(bus_set_list_count(b, 250), 0);
    std::vector<int> all;
    for (int i = 0; i < 250; i++) {
        pelmorabox_event_t *ev = pelmorabox_event_create();
        snprintf(ev->title, sizeof ev->title, "T%d", i);
        ev->sys_id = 1000 + i;
        bus_ui_update_event(b, i, ev);
        pelmorabox_event_destroy(&ev);
        all.push_back(i);
    }
    ops_select_rows(b, all);
    ASSERT_EQ(bus_clipboard_copy(b), 0);
    ASSERT_EQ(e.app->clipboard.count, 200);
    EXPECT_STREQ(e.app->clipboard.list[0]->title, "T0");
    EXPECT_STREQ(e.app->clipboard.list[199]->title, "T199");
    /* The clipboard holds copies: the rows may go. */
    EXPECT_NE(e.app->clipboard.list[0], grid_event(b, 0));

    ops_select_rows(b, {});
    ASSERT_EQ(bus_clipboard_copy(b), 0);
    EXPECT_EQ(e.app->clipboard.count, 0);
    EXPECT_EQ(bus_clipboard_paste(b), 0) << "an empty clipboard sends nothing (and there is no server)";
    bus_set_list_count(b, 0);
}

TEST_F(OpsClipboard, CutWithDeleteCancelledKeepsEventsButHasCopiedThem)
{
    two_buses({}, {"--delete-event-confirm"});
    show_page(0);
    bus_t *a = bus(0);
    ops_dialogs d;
    d.respond(GTK_RESPONSE_CANCEL);
    ops_select_rows(a, {4, 5});
    size_t m = mark();
    EXPECT_TRUE(ops_send_key(a->grid, GDK_KEY_x, GDK_CONTROL_MASK));
    ASSERT_EQ(d.seen.size(), 1u);
    EXPECT_EQ(d.seen[0].text, "Are you sure to delete event(s)");
    EXPECT_EQ(calls("PelmoraBox.DeleteEvents2", -2, m), 0);
    EXPECT_EQ(grid_rows(a), 6);
    ASSERT_EQ(e.app->clipboard.count, 2);
    EXPECT_STREQ(e.app->clipboard.list[0]->title, "A5");

    /* Confirmed, the cut events leave. */
    d.respond(GTK_RESPONSE_OK);
    ops_select_rows(a, {4, 5});
    EXPECT_TRUE(ops_send_key(a->grid, GDK_KEY_X, GDK_CONTROL_MASK));
    EXPECT_EQ(calls("PelmoraBox.DeleteEvents2", 0, m), 1);
    EXPECT_EQ(grid_rows(a), 4);
    EXPECT_EQ(d.unexpected, 0);
}

TEST_F(OpsClipboard, KeysWithoutTheirModifierGoToTheGrid)
{
    two_buses();
    show_page(0);
    bus_t *a = bus(0);
    ops_dialogs d;
    ops_select_rows(a, {1});
    size_t m = mark();
    /* Called directly: the grid's own handling (type-ahead search) would
     * answer TRUE for some of these after ours passed them on. */
    for (guint k : {GDK_KEY_c, GDK_KEY_v, GDK_KEY_x, GDK_KEY_f, GDK_KEY_o, GDK_KEY_s, GDK_KEY_q, GDK_KEY_p,
                    GDK_KEY_BackSpace, GDK_KEY_a, GDK_KEY_Down}) {
        GdkEventKey ev = {};
        ev.type = GDK_KEY_PRESS;
        ev.keyval = k;
        EXPECT_FALSE(on_grid_key_press_event(a->grid, &ev, a)) << "key " << k;
    }
    GdkEventKey ctrl_e = {};
    ctrl_e.type = GDK_KEY_PRESS;
    ctrl_e.keyval = GDK_KEY_e;
    ctrl_e.state = GDK_CONTROL_MASK;
    EXPECT_FALSE(on_grid_key_press_event(a->grid, &ctrl_e, a));
    EXPECT_EQ(e.app->clipboard.count, 0);
    EXPECT_EQ(calls("PelmoraBox.ResetEventsTC", -2, m), 0);
    EXPECT_TRUE(d.seen.empty());

    /* E without Ctrl, Return and Insert open the item editor; Ctrl+P with
     * an empty clipboard opens nothing. */
    for (int i = 0; i < 3; i++)
        d.respond(GTK_RESPONSE_REJECT);
    EXPECT_TRUE(ops_send_key(a->grid, GDK_KEY_e, 0));
    EXPECT_TRUE(ops_send_key(a->grid, GDK_KEY_Return, 0));
    EXPECT_TRUE(ops_send_key(a->grid, GDK_KEY_Insert, 0));
    EXPECT_TRUE(ops_send_key(a->grid, GDK_KEY_p, GDK_CONTROL_MASK));
    ASSERT_EQ(d.seen.size(), 3u);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(d.seen[i].title, "Playlist item");
    EXPECT_EQ(d.unexpected, 0);

    /* Ctrl+F brings up the search window. */
    EXPECT_TRUE(ops_send_key(a->grid, GDK_KEY_F, GDK_CONTROL_MASK | GDK_SHIFT_MASK));
    EXPECT_TRUE(gtk_widget_get_visible(ui_search_ctx(a)->wnd));
}

} // namespace
