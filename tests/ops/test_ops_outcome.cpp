// What a bus command leaves behind against pelmora-sim with its faults: a
// take that got no answer (held by the server, or the server's process
// stopped) is said to have an unknown outcome, not to have failed, and the
// list then shows what the server did once it carried the take out late; the
// properties of the clipboard's event reach every selected row, rows never
// fetched included; reading hundreds of never fetched rows from a slow server
// (copy, properties) and a slow paste keep the main loop serving; a paste
// whose inserts got no answer says so on the notice line, not in a dialog.
#include <gtest/gtest.h>

#include <signal.h>

#include <gdk/gdkkeysyms.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bus.h"
#include "bus_ctl.h"
#include "ops_support.h"
#include "pelmorabox.h"
#include "ui_bus.h"

namespace {

std::vector<std::string> clips(int n)
{
    std::vector<std::string> l;
    for (int i = 1; i <= n; i++) {
        std::string title = "E" + std::to_string(i);
        std::string media = "demo/clip" + std::to_string(i % 100) + ".mxf";
        l.push_back(ops_event_line("00:00:20:00", media.c_str(), title.c_str()));
    }
    return l;
}

class OpsOutcome : public OpsTest
{
  protected:
    /* SIGUSR1 and wait for the simulator to say the switch holds. */
    void toggle_faults(const char *now)
    {
        int before = sim_child_count(&sim, now);
        ASSERT_EQ(kill(sim.pid, SIGUSR1), 0);
        ASSERT_TRUE(engine_run_until([&] { return sim_child_count(&sim, now) > before; }, 3000)) << now;
    }
    std::string unknown_outcome(const char *what)
    {
        return std::string(what) + ": no answer from " + sim.hostport +
               ", it may still be carried out; the list shows what the server did";
    }
    const std::vector<std::string> after_take = {"E2", "E3", "E4", "E5", "E6"};
};

TEST_F(OpsOutcome, TakeHeldWithoutAnswerIsUnknownAndTheListShowsTheLateTake)
{
    data = engine_data_dir({{"six", clips(6)}});
    start_sim({"--playlist", "six", "--autostart", "--hang=Take", "--faults-off"});
    start_console();
    bus_t *b = bus();
    ASSERT_TRUE(wait_filled(b, 6));
    toggle_faults("faults on");
    ops_dialogs d;
    size_t m = mark();
    click(BUTTON_LIST_TAKE);
    EXPECT_EQ(std::string(bus_ui_notice_text(b)), unknown_outcome("TAKE"));
    EXPECT_EQ(std::string(bus_ui_notice_text(b)).find("failed"), std::string::npos);
    EXPECT_EQ(grid_rows(b), 6) << "a take without an answer was shown as done";
    /* The server answers the held take now, and carries it out. */
    toggle_faults("faults off");
    EXPECT_TRUE(wait_titles(b, after_take, 4000)) << ::testing::PrintToString(titles(b));
    EXPECT_EQ(calls("PelmoraBox.Take", 0, m), 1);
    EXPECT_TRUE(d.seen.empty()) << "a dialog was put in the operator's way";
}

TEST_F(OpsOutcome, TakeToAStoppedServerIsUnknownAndTheListShowsWhatItDidWhenResumed)
{
    data = engine_data_dir({{"six", clips(6)}});
    start_sim({"--playlist", "six", "--autostart"});
    start_console();
    bus_t *b = bus();
    ASSERT_TRUE(wait_filled(b, 6));
    ops_dialogs d;
    size_t m = mark();
    ASSERT_EQ(kill(sim.pid, SIGSTOP), 0);
    struct resume_guard
    {
        pid_t pid;
        ~resume_guard() { kill(pid, SIGCONT); }
    } resume{sim.pid};
    click(BUTTON_LIST_TAKE);
    EXPECT_EQ(std::string(bus_ui_notice_text(b)), unknown_outcome("TAKE"));
    ASSERT_EQ(kill(sim.pid, SIGCONT), 0);
    /* The take waited in the server's socket: it is carried out now, and the
     * panel follows without anything pressed again. */
    EXPECT_TRUE(wait_titles(b, after_take, 8000)) << ::testing::PrintToString(titles(b));
    EXPECT_EQ(calls("PelmoraBox.Take", 0, m), 1);
    EXPECT_TRUE(d.seen.empty());

    /* A refusal is still a failure. */
    click(BUTTON_CHANNEL_STOP);
    click(BUTTON_LIST_TAKE);
    EXPECT_EQ(std::string(bus_ui_notice_text(b)).rfind("TAKE failed: refused by ", 0), 0u) << bus_ui_notice_text(b);
}

TEST_F(OpsOutcome, PropertiesReachEverySelectedRowAlsoThoseNeverFetched)
{
    const int n = 800;
    std::vector<std::string> l = clips(n);
    /* The clipboard's source: assets and AR of its own. */
    l[0] = "\t \t\t\t00:00:20:00\tV\tdemo/clip1.mxf\tE1\tlogo_on\t\t\t\t\t\t16:9";
    data = engine_data_dir({{"long", l}});
    start_sim({"--playlist", "0:long"});
    start_console();
    bus_t *b = bus();
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == n && grid_visible_filled(b); }, 10000));
    ops_select_rows(b, {0});
    ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_c, GDK_CONTROL_MASK));
    ASSERT_EQ(e.app->clipboard.count, 1);
    ASSERT_STREQ(e.app->clipboard.list[0]->assets, "logo_on");

    gtk_tree_selection_select_all(gtk_tree_view_get_selection(GTK_TREE_VIEW(b->grid)));
    ASSERT_EQ(gtk_tree_selection_count_selected_rows(gtk_tree_view_get_selection(GTK_TREE_VIEW(b->grid))), n);
    ASSERT_EQ(grid_event(b, 700), nullptr) << "rows far from view should hold no event";
    ops_dialogs d;
    /* ASSETS and AR. */
    d.then([](GtkWidget *dlg) {
        for (int i = 0; i < 7; i++) {
            char key[32];
            snprintf(key, sizeof key, "props_check_%d", i);
            auto *check = GTK_TOGGLE_BUTTON(g_object_get_data(G_OBJECT(dlg), key));
            gtk_toggle_button_set_active(check, i == 2 || i == 4);
        }
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
        return true;
    });
    size_t m = mark();
    ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_p, GDK_CONTROL_MASK));
    EXPECT_EQ(calls("PelmoraBox.UpdateEvent2", 0, m), n);
    ASSERT_EQ(d.seen.size(), 1u);
    EXPECT_EQ(d.seen[0].title, "Properties apply");
    EXPECT_EQ(d.unexpected, 0);
    /* At the server, far from view. */
    for (int64_t at : {1, 399, 799}) {
        int64_t idx[1] = {at};
        pelmorabox_event_t *ev[1] = {};
        pelmorabox_bus_state_t s = {};
        ASSERT_EQ(pelmorabox_get_events2(b->url, b->idx, 1, idx, ev, &s), 1);
        ASSERT_NE(ev[0], nullptr);
        EXPECT_STREQ(ev[0]->assets, "logo_on") << "row " << at;
        EXPECT_STREQ(ev[0]->ar, "16:9") << "row " << at;
        EXPECT_EQ(ev[0]->title, "E" + std::to_string(at + 1)) << "an update went to another event";
        pelmorabox_event_destroy(&ev[0]);
    }
    EXPECT_STREQ(bus_ui_notice_text(b), "");
}

/* Sum of the indexes asked for by the GetEvents2 calls since mark m. */
int fetched_indexes(sim_child_t *sim, size_t m)
{
    int n = 0;
    for (const sim_call &c : sim_calls(sim, m))
        if (c.method == "PelmoraBox.GetEvents2")
            n += c.n;
    return n;
}

TEST_F(OpsOutcome, SlowReadsOfManyUnloadedRowsAndASlowPasteKeepTheLoopServing)
{
    const int n = 800;
    std::vector<std::string> l = clips(n);
    l[0] = "\t \t\t\t00:00:20:00\tV\tdemo/clip1.mxf\tE1\tlogo_on\t\t\t\t\t\t16:9";
    data = engine_data_dir({{"long", l}});
    start_sim({"--playlist", "0:long", "--latency=GetEvents2:300", "--latency=InsertEvent2:300", "--faults-off"});
    start_console();
    bus_t *b = bus();
    ASSERT_TRUE(engine_run_until([&] { return grid_rows(b) == n && grid_visible_filled(b); }, 10000));
    ops_select_rows(b, {0});
    ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_c, GDK_CONTROL_MASK));
    ASSERT_EQ(e.app->clipboard.count, 1);
    toggle_faults("faults on");
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(b->grid));

    /* Properties onto all 800: some 770 rows read 32 at a time, each read
     * answered 300 ms late, before the updates go out. */
    gtk_tree_selection_select_all(sel);
    ops_dialogs d;
    d.then([](GtkWidget *dlg) {
        for (int i = 0; i < 7; i++) {
            char key[32];
            snprintf(key, sizeof key, "props_check_%d", i);
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(g_object_get_data(G_OBJECT(dlg), key)), i == 2);
        }
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
        return true;
    });
    int unread = 0;
    for (int i = 0; i < n; i++)
        unread += grid_event(b, i) == nullptr;
    ASSERT_GT(unread, 700);
    size_t m = mark();
    {
        ops_loop_watch w(e.app->window);
        ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_p, GDK_CONTROL_MASK));
        EXPECT_LT(w.longest_ms(), 100) << "the main loop was held";
        EXPECT_EQ(w.modal, std::vector<std::string>{"Properties apply"});
    }
    EXPECT_EQ(calls("PelmoraBox.UpdateEvent2", 0, m), n);
    EXPECT_GE(fetched_indexes(&sim, m), unread);
    EXPECT_EQ(d.unexpected, 0);
    for (int64_t at : {450, 799}) {
        int64_t idx[1] = {at};
        pelmorabox_event_t *ev[1] = {};
        pelmorabox_bus_state_t s = {};
        ASSERT_EQ(pelmorabox_get_events2(b->url, b->idx, 1, idx, ev, &s), 1);
        EXPECT_STREQ(ev[0]->assets, "logo_on") << "row " << at;
        EXPECT_EQ(ev[0]->title, "E" + std::to_string(at + 1));
        pelmorabox_event_destroy(&ev[0]);
    }

    /* Copy of everything keeps the first 200, most of them never fetched. */
    unread = 0;
    for (int i = 0; i < 200; i++)
        unread += grid_event(b, i) == nullptr;
    ASSERT_GT(unread, 100);
    gtk_tree_selection_select_all(sel);
    m = mark();
    /* A paste pressed while the copy reads is refused, and said so. */
    struct second_press
    {
        bus_t *b;
        std::string said;
    } press{b, ""};
    g_timeout_add(
        400,
        [](gpointer p) {
            auto *sp = static_cast<second_press *>(p);
            ops_send_key(sp->b->grid, GDK_KEY_v, GDK_CONTROL_MASK);
            sp->said = bus_ui_notice_text(sp->b);
            return FALSE;
        },
        &press);
    {
        ops_loop_watch w(e.app->window);
        ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_c, GDK_CONTROL_MASK));
        EXPECT_LT(w.longest_ms(), 100) << "the main loop was held";
        EXPECT_TRUE(w.modal.empty()) << ::testing::PrintToString(w.modal);
    }
    /* Gone already when it ran; else it must not outlive press. */
    g_source_remove_by_user_data(&press);
    EXPECT_EQ(press.said, "PASTE not sent: COPY is waiting for its server");
    EXPECT_EQ(calls("PelmoraBox.InsertEvent2", 0, m), 0);
    EXPECT_GE(fetched_indexes(&sim, m), unread);
    ASSERT_EQ(e.app->clipboard.count, 200);
    for (int i : {0, 99, 150, 199}) {
        EXPECT_EQ(e.app->clipboard.list[i]->title, "E" + std::to_string(i + 1));
        EXPECT_STREQ(e.app->clipboard.list[i]->assets, "logo_on") << "a copy older than the update";
    }

    /* Ten rows far from view copied, then pasted at the end: each insert is
     * answered 300 ms late. */
    ops_select_rows(b, {600, 601, 602, 603, 604, 605, 606, 607, 608, 609});
    ASSERT_EQ(grid_event(b, 605), nullptr);
    ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_c, GDK_CONTROL_MASK));
    ASSERT_EQ(e.app->clipboard.count, 10);
    ops_select_rows(b, {});
    m = mark();
    {
        ops_loop_watch w(e.app->window);
        ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_v, GDK_CONTROL_MASK));
        EXPECT_LT(w.longest_ms(), 100) << "the main loop was held";
        EXPECT_TRUE(w.modal.empty()) << ::testing::PrintToString(w.modal);
    }
    EXPECT_EQ(calls("PelmoraBox.InsertEvent2", 0, m), 10);
    EXPECT_EQ(grid_rows(b), n + 10) << "the last insert's state is applied at once";
    EXPECT_STREQ(bus_ui_notice_text(b), "");
    EXPECT_EQ(b->state.ign, 0);
}

TEST_F(OpsOutcome, PasteWithoutAnswersIsUnknownOnTheNoticeLineAndNoDialogOpens)
{
    data = engine_data_dir({{"six", clips(6)}});
    start_sim({"--playlist", "six"});
    start_console();
    bus_t *b = bus();
    ASSERT_TRUE(wait_filled(b, 6));
    ops_select_rows(b, {0, 1, 2});
    ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_c, GDK_CONTROL_MASK));
    ASSERT_EQ(e.app->clipboard.count, 3);
    ops_select_rows(b, {});
    ops_dialogs d;
    size_t m = mark();
    ASSERT_EQ(kill(sim.pid, SIGSTOP), 0);
    struct resume_guard
    {
        pid_t pid;
        ~resume_guard() { kill(pid, SIGCONT); }
    } resume{sim.pid};
    {
        ops_loop_watch w(e.app->window);
        ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_v, GDK_CONTROL_MASK));
        EXPECT_LT(w.longest_ms(), 100) << "the main loop was held";
        EXPECT_TRUE(w.modal.empty()) << ::testing::PrintToString(w.modal);
    }
    std::string notice = bus_ui_notice_text(b);
    EXPECT_EQ(notice, "PASTE: 3 of the 3 pasted events got no answer from " + sim.hostport +
                          ", they may still be inserted; the list shows what the server did: 1. E1 [demo/clip1.mxf]; "
                          "2. E2 [demo/clip2.mxf]; 3. E3 [demo/clip3.mxf]");
    EXPECT_EQ(notice.find("not inserted"), std::string::npos);
    EXPECT_EQ(b->state.ign, 0);
    ASSERT_EQ(kill(sim.pid, SIGCONT), 0);
    /* The inserts waited in the server's sockets and are carried out now,
     * in whatever order the server takes them up: the list shows them
     * without anything pressed again. */
    const std::vector<std::string> want = {"E1", "E2", "E3", "E4", "E5", "E6", "E1", "E2", "E3"};
    EXPECT_TRUE(engine_run_until(
        [&] {
            std::vector<std::string> t = titles(b);
            if (t.size() == want.size())
                std::sort(t.begin() + 6, t.end());
            return t == want;
        },
        8000))
        << ::testing::PrintToString(titles(b));
    EXPECT_EQ(calls("PelmoraBox.InsertEvent2", 0, m), 3);
    EXPECT_TRUE(d.seen.empty());
}

} // namespace
