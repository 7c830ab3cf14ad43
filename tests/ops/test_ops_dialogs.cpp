// Playlist and list dialogs against pelmora-sim: load, append, save as,
// close, truncate, delete, timecode reset, the absent and error lists with
// their jump to the event, trim/pad of the event on air, the selection's
// count and duration, failures in plain words, and the chooser's rules.
#include <gtest/gtest.h>

#include <gdk/gdkkeysyms.h>
#include <unistd.h>

#include <fstream>

#include "bus.h"
#include "bus_ctl.h"
#include "ops_support.h"
#include "pelmorabox.h"
#include "ui_bus.h"
#include "ui_bus_dialogs.h"

namespace {

std::vector<std::string> clips(const char *prefix, int n, const char *dur = "00:00:10:00")
{
    std::vector<std::string> l;
    for (int i = 1; i <= n; i++) {
        char media[64], title[32];
        snprintf(media, sizeof media, "demo/clip%03d.mxf", i);
        snprintf(title, sizeof title, "%s%d", prefix, i);
        l.push_back(ops_event_line(dur, media, title));
    }
    return l;
}

/* A chooser step: checks the listed names, then picks one from the list or
 * types one in name mode. */
ops_dialogs::step_t choose(const std::string &name, std::vector<std::string> *listed = nullptr,
                           std::string *proposed = nullptr, bool by_enter = false)
{
    return [=](GtkWidget *dlg) {
        auto *ctx =
            static_cast<bus_ui_dialog_playlist_t *>(g_object_get_data(G_OBJECT(dlg), "bus_ui_dialog_playlist_t"));
        if (!ctx) {
            ADD_FAILURE() << "not the playlist chooser";
            gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_REJECT);
            return true;
        }
        GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(ctx->gr));
        GtkTreeIter it;
        bool ok = gtk_tree_model_get_iter_first(m, &it);
        while (ok) {
            gchar *n = nullptr;
            gtk_tree_model_get(m, &it, PLAYLISTS_COLUMN_NAME, &n, -1);
            if (listed)
                listed->push_back(n);
            if (name == n) {
                GtkTreePath *p = gtk_tree_model_get_path(m, &it);
                /* The cursor keys move the cursor and select its row. */
                gtk_tree_view_set_cursor(GTK_TREE_VIEW(ctx->gr), p, nullptr, FALSE);
                if (by_enter)
                    gtk_tree_view_row_activated(GTK_TREE_VIEW(ctx->gr), p,
                                                gtk_tree_view_get_column(GTK_TREE_VIEW(ctx->gr), 0));
                gtk_tree_path_free(p);
            }
            g_free(n);
            ok = gtk_tree_model_iter_next(m, &it);
        }
        if (proposed)
            *proposed = gtk_entry_get_text(GTK_ENTRY(ctx->e));
        if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ctx->r1)))
            gtk_entry_set_text(GTK_ENTRY(ctx->e), name.c_str());
        if (!by_enter)
            gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
        return true;
    };
}

class OpsDialogs : public OpsTest
{
  protected:
    void one_bus(std::vector<std::pair<std::string, std::vector<std::string>>> playlists, const char *load,
                 std::vector<std::string> sim_extra = {}, std::vector<std::string> console_extra = {})
    {
        data = engine_data_dir(playlists);
        std::vector<std::string> args = {"--playlist", load};
        args.insert(args.end(), sim_extra.begin(), sim_extra.end());
        start_sim(args);
        start_console(console_extra);
    }
};

std::string file_bytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

TEST_F(OpsDialogs, SavingOverAnotherPlaylistAsksAndCancelWritesNothing)
{
    one_bus({{"first", clips("F", 3)}, {"other", clips("O", 2)}}, "first");
    bus_t *b = bus();
    ASSERT_TRUE(wait_filled(b, 3));
    const std::string other = data + "/other.ply";
    const std::string before = file_bytes(other);
    ASSERT_FALSE(before.empty());
    ops_dialogs d;
    size_t m = mark();

    d.then(choose("other"));
    d.respond(GTK_RESPONSE_CANCEL);
    click(BUTTON_LIST_SAVEAS);
    EXPECT_EQ(calls("PelmoraBox.SavePlaylist", 0, m), 0);
    EXPECT_EQ(file_bytes(other), before) << "Cancel changed the other playlist";
    ASSERT_EQ(d.seen.size(), 2u);
    EXPECT_EQ(d.seen[1].text, "A playlist named other exists and is not the one loaded. Replace it?");

    /* The loaded playlist itself is saved without a question. */
    d.then(choose("first"));
    click(BUTTON_LIST_SAVEAS);
    EXPECT_EQ(calls("PelmoraBox.SavePlaylist", 0, m), 1);
    EXPECT_EQ(d.seen.size(), 3u);

    d.then(choose("other"));
    d.respond(GTK_RESPONSE_OK);
    click(BUTTON_LIST_SAVEAS);
    EXPECT_EQ(calls("PelmoraBox.SavePlaylist", 0, m), 2);
    EXPECT_NE(file_bytes(other), before) << "OK did not replace it";
    EXPECT_EQ(d.unexpected, 0);
}

TEST_F(OpsDialogs, LoadAppendSaveAsAndClose)
{
    one_bus({{"first", clips("F", 3)}, {"second", clips("S", 2)}, {"zeta", clips("Z", 1)}}, "first");
    bus_t *b = bus();
    ASSERT_TRUE(wait_filled(b, 3));
    ops_dialogs d;

    std::vector<std::string> listed;
    d.then(choose("second.ply", &listed));
    click(BUTTON_LIST_OPEN);
    EXPECT_EQ(listed, (std::vector<std::string>{"zeta.ply", "second.ply", "first.ply"})) << "latest names first";
    EXPECT_EQ(grid_rows(b), 2) << "the loaded list's state is applied at once";
    EXPECT_TRUE(wait_titles(b, {"S1", "S2"})) << testing::PrintToString(titles(b));
    EXPECT_STREQ(b->state.s.last_playlist, "second.ply > first.ply");

    /* Enter on a row of the list takes it. */
    d.then(choose("zeta.ply", nullptr, nullptr, true));
    click(BUTTON_LIST_APPEND);
    EXPECT_TRUE(wait_titles(b, {"S1", "S2", "Z1"})) << testing::PrintToString(titles(b));

    /* Save as proposes the current name without its extension. */
    std::string proposed;
    d.then(choose("copy_of_zeta", nullptr, &proposed));
    ASSERT_TRUE(ops_send_key(b->grid, GDK_KEY_s, GDK_CONTROL_MASK));
    EXPECT_EQ(proposed, "zeta");
    std::ifstream saved(data + "/copy_of_zeta.ply");
    ASSERT_TRUE(saved.good());
    int lines = 0;
    for (std::string l; std::getline(saved, l);)
        lines += l.empty() ? 0 : 1;
    EXPECT_EQ(lines, 3);

    /* Close asks; Cancel keeps the list, OK empties it. */
    size_t m = mark();
    d.respond(GTK_RESPONSE_CANCEL);
    click(BUTTON_LIST_CLOSE);
    EXPECT_EQ(calls("PelmoraBox.ClosePlaylist", 0, m), 0);
    d.respond(GTK_RESPONSE_OK);
    click(BUTTON_LIST_CLOSE);
    EXPECT_EQ(calls("PelmoraBox.ClosePlaylist", 0, m), 1);
    EXPECT_EQ(grid_rows(b), 0);
    ASSERT_GE(d.seen.size(), 5u);
    EXPECT_EQ(d.seen[0].title, "Enter playlist name to load");
    EXPECT_EQ(d.seen[1].title, "Enter playlist name to append");
    EXPECT_EQ(d.seen[2].title, "Enter playlist name to save");
    EXPECT_EQ(d.seen[3].text, "Are you sure to close playlist?");
    EXPECT_EQ(d.unexpected, 0);
}

TEST_F(OpsDialogs, ChooserStaysOpenWithoutAChoiceAndCancelLoadsNothing)
{
    one_bus({{"first", clips("F", 2)}, {"second", clips("S", 2)}}, "first");
    bus_t *b = bus();
    ASSERT_TRUE(wait_filled(b, 2));
    ops_dialogs d;
    GtkWidget *first_dlg = nullptr;
    /* List mode with no row selected: accepting keeps the dialog. */
    d.then([&](GtkWidget *dlg) {
        first_dlg = dlg;
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
        return false;
    });
    d.then([&](GtkWidget *dlg) {
        EXPECT_EQ(dlg, first_dlg) << "the chooser closed without a choice";
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_REJECT);
        return true;
    });
    size_t m = mark();
    click(BUTTON_LIST_OPEN);
    EXPECT_EQ(calls("PelmoraBox.LoadPlaylist", 0, m), 0);

    /* Name mode with an empty name: the same. */
    d.then([&](GtkWidget *dlg) {
        first_dlg = dlg;
        auto *ctx =
            static_cast<bus_ui_dialog_playlist_t *>(g_object_get_data(G_OBJECT(dlg), "bus_ui_dialog_playlist_t"));
        EXPECT_FALSE(gtk_widget_get_sensitive(ctx->gr)) << "name mode starts with the list off";
        gtk_entry_set_text(GTK_ENTRY(ctx->e), "");
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
        return false;
    });
    d.then([&](GtkWidget *dlg) {
        EXPECT_EQ(dlg, first_dlg);
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_DELETE_EVENT);
        return true;
    });
    click(BUTTON_LIST_SAVEAS);
    EXPECT_EQ(calls("PelmoraBox.SavePlaylist", 0, m), 0);
    EXPECT_EQ(d.unexpected, 0);
}

TEST_F(OpsDialogs, FailuresShowTheServersReasonAndLeaveTheList)
{
    one_bus({{"first", clips("F", 2)}}, "first", {"--refuse", "LoadPlaylist:0:-2", "--refuse", "TruncatePlaylist"});
    bus_t *b = bus();
    ASSERT_TRUE(wait_filled(b, 2));
    ops_dialogs d;
    d.then(choose("first.ply"));
    d.respond(GTK_RESPONSE_OK);
    click(BUTTON_LIST_OPEN);
    ASSERT_EQ(d.seen.size(), 2u);
    EXPECT_EQ(d.seen[1].title, "ERROR");
    EXPECT_EQ(d.seen[1].text.rfind("Failed to load playlist\n\n", 0), 0u) << d.seen[1].text;
    EXPECT_NE(d.seen[1].text.find("No such file or directory"), std::string::npos) << d.seen[1].text;
    EXPECT_EQ(grid_rows(b), 2);

    /* Truncate with nothing selected says so; refused, it says why. */
    ops_select_rows(b, {});
    d.respond(GTK_RESPONSE_OK);
    click(BUTTON_LIST_TRUNCATE_BELOW);
    ASSERT_EQ(d.seen.size(), 3u);
    EXPECT_EQ(d.seen[2].text, "No event selected");
    ops_select_rows(b, {0});
    d.respond(GTK_RESPONSE_OK);
    d.respond(GTK_RESPONSE_OK);
    click(BUTTON_LIST_TRUNCATE_BELOW);
    ASSERT_EQ(d.seen.size(), 5u);
    EXPECT_EQ(d.seen[3].text, "Are you sure to truncate playlist below?");
    EXPECT_EQ(d.seen[4].text.rfind("Failed to truncate playlist\n\n", 0), 0u);
    EXPECT_NE(d.seen[4].text.find("(result -1)"), std::string::npos) << d.seen[4].text;
    EXPECT_EQ(grid_rows(b), 2);

    /* A server that does not answer: the chooser cannot open. */
    sim_child_stop(&sim);
    d.respond(GTK_RESPONSE_OK);
    click(BUTTON_LIST_APPEND);
    ASSERT_EQ(d.seen.size(), 6u);
    EXPECT_EQ(d.seen[5].text.rfind("Failed to get playlists list\n\n", 0), 0u);
    EXPECT_NE(d.seen[5].text.find("no usable answer"), std::string::npos) << d.seen[5].text;
    EXPECT_EQ(d.unexpected, 0);
}

TEST_F(OpsDialogs, TruncateAboveAndBelowDeleteAndResetTimecode)
{
    std::vector<std::string> l = clips("E", 10);
    l[6] = ops_event_line("00:00:10:00", "demo/clip007.mxf", "E7", 'F', "", "", "23:00:00:00");
    one_bus({{"ten", l}}, "ten", {}, {"--delete-event-confirm"});
    bus_t *b = bus();
    ASSERT_TRUE(wait_filled(b, 10));
    ops_dialogs d;
    size_t m = mark();

    /* Delete rows 3 and 4: the cursor moves to the row after them (5),
     * which is row 3 once the two rows have left the list. */
    d.respond(GTK_RESPONSE_OK);
    ops_select_rows(b, {3, 4});
    click(BUTTON_LIST_ITEM_DEL);
    EXPECT_EQ(calls("PelmoraBox.DeleteEvents2", 0, m), 1);
    EXPECT_EQ(grid_rows(b), 8);
    EXPECT_EQ(ops_cursor_row(b), 3);
    ASSERT_TRUE(wait_titles(b, {"E1", "E2", "E3", "E6", "E7", "E8", "E9", "E10"})) << testing::PrintToString(titles(b));
    EXPECT_EQ(grid_text(b, ops_cursor_row(b), BUS_COLUMN_TITLE), "E6");

    /* Reset the fixed start of E7 (Shift+BackSpace, no question). */
    ASSERT_EQ(grid_event(b, 4)->start_type, 'F');
    ops_select_rows(b, {4});
    EXPECT_TRUE(ops_send_key(b->grid, GDK_KEY_BackSpace, GDK_SHIFT_MASK));
    EXPECT_EQ(calls("PelmoraBox.ResetEventsTC", 0, m), 1);
    EXPECT_TRUE(engine_run_until([&] { return grid_event(b, 4) && grid_event(b, 4)->start_type != 'F'; }, 4000));
    EXPECT_EQ(grid_text(b, 4, BUS_COLUMN_TITLE), "E7");

    /* Truncate below E9, then above E3. */
    ops_select_rows(b, {6});
    d.respond(GTK_RESPONSE_OK);
    click(BUTTON_LIST_TRUNCATE_BELOW);
    EXPECT_EQ(grid_rows(b), 7);
    /* The panel drops rows at the top and fetches them again; select once
     * the rows show the list as it is. */
    ASSERT_TRUE(wait_titles(b, {"E1", "E2", "E3", "E6", "E7", "E8", "E9"})) << testing::PrintToString(titles(b));
    ops_select_rows(b, {2});
    d.respond(GTK_RESPONSE_CANCEL);
    click(BUTTON_LIST_TRUNCATE_ABOVE);
    EXPECT_EQ(grid_rows(b), 7);
    d.respond(GTK_RESPONSE_OK);
    click(BUTTON_LIST_TRUNCATE_ABOVE);
    EXPECT_EQ(grid_rows(b), 5);
    EXPECT_TRUE(wait_titles(b, {"E3", "E6", "E7", "E8", "E9"})) << testing::PrintToString(titles(b));
    EXPECT_EQ(calls("PelmoraBox.TruncatePlaylist", 0, m), 2);
    ASSERT_EQ(d.seen.size(), 4u);
    EXPECT_EQ(d.seen[0].text, "Are you sure to delete event(s)");
    EXPECT_EQ(d.seen[2].text, "Are you sure to truncate playlist above?");
    EXPECT_EQ(d.unexpected, 0);
}

TEST_F(OpsDialogs, AbsentAndErrorListsJumpToTheirEvents)
{
    std::vector<std::string> l = clips("E", 8);
    l[2] = ops_event_line("00:00:10:00", "missing/one.mxf", "gone one");
    l[5] = ops_event_line("00:00:10:00", "missing/two.mxf", "gone two");
    l[6] = ops_event_line("", "demo/clip007.mxf", "late marks", ' ', "01:00:00:00", "01:00:05:00");
    one_bus({{"eight", l}}, "eight");
    bus_t *b = bus();
    ASSERT_TRUE(wait_filled(b, 8));
    ops_dialogs d;

    int rows = -1;
    std::string status0, color6;
    d.then([&](GtkWidget *dlg) {
        auto *ctx =
            static_cast<bus_ui_absent_lib_items_t *>(g_object_get_data(G_OBJECT(dlg), "bus_ui_absent_lib_items_t"));
        rows = gtk_tree_model_iter_n_children(ctx->model, nullptr);
        /* Row activation (Enter) on the second item jumps and stays open. */
        GtkTreePath *p = gtk_tree_path_new_from_indices(1, -1);
        gtk_tree_view_row_activated(GTK_TREE_VIEW(ctx->gr), p, gtk_tree_view_get_column(GTK_TREE_VIEW(ctx->gr), 0));
        gtk_tree_path_free(p);
        EXPECT_EQ(ops_cursor_row(b), 5);
        EXPECT_TRUE(gtk_widget_get_visible(dlg));
        /* "Go to first" ends the dialog at the first selected row. */
        GtkTreeIter it;
        gtk_tree_model_get_iter_first(ctx->model, &it);
        gchar *st = nullptr;
        gtk_tree_model_get(ctx->model, &it, ABSENT_ITEMS_COLUMN_STATUS, &st, -1);
        status0 = st ? st : "";
        g_free(st);
        gtk_tree_selection_select_iter(gtk_tree_view_get_selection(GTK_TREE_VIEW(ctx->gr)), &it);
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
        return true;
    });
    click(BUTTON_LIST_BUS_ABSENT_ITEMS);
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(status0, "ABSENT");
    EXPECT_EQ(ops_cursor_row(b), 2);
    ASSERT_EQ(d.seen.size(), 1u);
    EXPECT_EQ(d.seen[0].title, "ABSENT ITEMS");

    d.then([&](GtkWidget *dlg) {
        auto *ctx =
            static_cast<bus_ui_absent_lib_items_t *>(g_object_get_data(G_OBJECT(dlg), "bus_ui_absent_lib_items_t"));
        rows = gtk_tree_model_iter_n_children(ctx->model, nullptr);
        GtkTreeIter it;
        gtk_tree_model_get_iter_first(ctx->model, &it);
        gchar *st = nullptr, *bg = nullptr;
        gtk_tree_model_get(ctx->model, &it, ABSENT_ITEMS_COLUMN_STATUS, &st, ABSENT_ITEMS_COLUMN_BG_COLOR_V, &bg, -1);
        status0 = st ? st : "";
        color6 = bg ? bg : "";
        g_free(st);
        g_free(bg);
        GtkTreePath *p = gtk_tree_path_new_first();
        gtk_tree_view_row_activated(GTK_TREE_VIEW(ctx->gr), p, gtk_tree_view_get_column(GTK_TREE_VIEW(ctx->gr), 0));
        gtk_tree_path_free(p);
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_REJECT);
        return true;
    });
    click(BUTTON_LIST_BUS_ERROR_ITEMS);
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(status0, "RANGE ERROR");
    EXPECT_EQ(color6, "#FF0000");
    EXPECT_EQ(ops_cursor_row(b), 6);
    ASSERT_EQ(d.seen.size(), 2u);
    EXPECT_EQ(d.seen[1].title, "ERROR ITEMS");
    EXPECT_EQ(d.unexpected, 0);
}

TEST_F(OpsDialogs, TrimPadOfTheEventOnAirRemembersItsAmount)
{
    std::vector<std::string> l = clips("E", 3, "00:00:40:00");
    one_bus({{"three", l}}, "three", {"--autostart"});
    bus_t *b = bus();
    ASSERT_TRUE(wait_filled(b, 3));
    ASSERT_TRUE(engine_run_until(
        [&] { return b->state.s.f_running && (grid_event(b, 0)->flags & PELMORABOX_EVENT_FLAG_PLAYING); }, 4000));
    ops_dialogs d;
    std::string offered;
    d.then([&](GtkWidget *dlg) {
        auto *ctx = static_cast<bus_ui_dialog_trim_t *>(g_object_get_data(G_OBJECT(dlg), "bus_ui_dialog_trim_t"));
        offered = gtk_entry_get_text(GTK_ENTRY(ctx->tc));
        gtk_entry_set_text(GTK_ENTRY(ctx->tc), "00:00:02:00");
        gtk_button_clicked(GTK_BUTTON(ctx->pad));
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
        return true;
    });
    size_t m = mark();
    ops_select_rows(b, {0});
    click(BUTTON_LIST_ITEM_EDIT);
    EXPECT_EQ(offered, "00:00:01:00") << "25 frames at first";
    EXPECT_EQ(calls("PelmoraBox.TrimPadEvent", 0, m), 1);
    ASSERT_TRUE(engine_run_until([&] { return grid_text(b, 0, BUS_COLUMN_DUR) == "00:00:42:00"; }, 4000))
        << grid_text(b, 0, BUS_COLUMN_DUR);

    /* Next time the last amount is offered; trim takes it off again. */
    d.then([&](GtkWidget *dlg) {
        auto *ctx = static_cast<bus_ui_dialog_trim_t *>(g_object_get_data(G_OBJECT(dlg), "bus_ui_dialog_trim_t"));
        offered = gtk_entry_get_text(GTK_ENTRY(ctx->tc));
        gtk_button_clicked(GTK_BUTTON(ctx->trim));
        /* Not a timecode: nothing is sent. */
        gtk_entry_set_text(GTK_ENTRY(ctx->tc), "");
        gtk_button_clicked(GTK_BUTTON(ctx->pad));
        gtk_entry_set_text(GTK_ENTRY(ctx->tc), "00:00:02:00");
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
        return true;
    });
    ops_select_rows(b, {0});
    EXPECT_TRUE(ops_send_key(b->grid, GDK_KEY_Return, 0));
    EXPECT_EQ(offered, "00:00:02:00");
    EXPECT_EQ(calls("PelmoraBox.TrimPadEvent", 0, m), 2);
    ASSERT_TRUE(engine_run_until([&] { return grid_text(b, 0, BUS_COLUMN_DUR) == "00:00:40:00"; }, 4000));

    /* Another row opens the item editor; so does a double click on a row. */
    d.respond(GTK_RESPONSE_REJECT);
    ops_select_rows(b, {1});
    click(BUTTON_LIST_ITEM_EDIT);
    ASSERT_EQ(d.seen.size(), 3u);
    EXPECT_EQ(d.seen[2].title, "Playlist item");
    d.respond(GTK_RESPONSE_REJECT);
    EXPECT_TRUE(ops_double_click_row(b->grid, 2));
    ASSERT_EQ(d.seen.size(), 4u);
    EXPECT_EQ(d.seen[3].title, "Playlist item");
    EXPECT_EQ(d.unexpected, 0);
}

TEST_F(OpsDialogs, SelectionCountAndDuration)
{
    one_bus({{"five", clips("E", 5)}}, "five");
    bus_t *b = bus();
    ASSERT_TRUE(wait_filled(b, 5));
    ops_dialogs d;
    std::string count, duration;
    auto read = [&](GtkWidget *dlg) {
        count = gtk_entry_get_text(GTK_ENTRY(g_object_get_data(G_OBJECT(dlg), "bus_ui_selection_count")));
        duration = gtk_entry_get_text(GTK_ENTRY(g_object_get_data(G_OBJECT(dlg), "bus_ui_selection_duration")));
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
        return true;
    };
    d.then(read);
    ops_select_rows(b, {0, 2, 3});
    EXPECT_TRUE(ops_send_key(b->grid, GDK_KEY_q, GDK_CONTROL_MASK));
    EXPECT_EQ(count, "3");
    EXPECT_EQ(duration, "00:00:30:00");
    d.then(read);
    ops_select_rows(b, {});
    EXPECT_TRUE(ops_send_key(b->grid, GDK_KEY_q, GDK_CONTROL_MASK));
    EXPECT_EQ(count, "0");
    EXPECT_EQ(duration, "00:00:00:00");
}

TEST(OpsChooserRules, OrderAndFilters)
{
    std::vector<std::string> names = {"2024-01-02_day.ply", "peer_slave", "alpha.ply", "peer_master",
                                      "2024-01-03_day.ply"};
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return bus_ui_playlist_name_cmp(a.c_str(), b.c_str()) < 0;
    });
    EXPECT_EQ(names, (std::vector<std::string>{"peer_master", "peer_slave", "alpha.ply", "2024-01-03_day.ply",
                                               "2024-01-02_day.ply"}));

    bus_t b = {};
    strcpy(b.filter_playlist.keyword, "news");
    EXPECT_TRUE(bus_ui_playlist_name_passes(&b, "evening_news.ply"));
    EXPECT_FALSE(bus_ui_playlist_name_passes(&b, "morning.ply"));
    EXPECT_TRUE(bus_ui_playlist_name_passes(&b, "fallback.ply")) << "always listed";
    EXPECT_TRUE(bus_ui_playlist_name_passes(&b, "peer_master"));

    strcpy(b.filter_playlist.sgt, "AB,CD");
    EXPECT_TRUE(bus_ui_playlist_name_passes(&b, "sgt_20240131_CD_x.ply"));
    EXPECT_TRUE(bus_ui_playlist_name_passes(&b, "sgt_20240131_AB_news.ply")) << "the keyword is not asked then";
    EXPECT_FALSE(bus_ui_playlist_name_passes(&b, "sgt_20240131_EF_x.ply"));
    EXPECT_FALSE(bus_ui_playlist_name_passes(&b, "sgt_2024013_CD_x.ply"));
    EXPECT_FALSE(bus_ui_playlist_name_passes(&b, "sgt_20240131_CDx.ply"));
    EXPECT_TRUE(bus_ui_playlist_name_passes(&b, "peer_slave"));

    EXPECT_STREQ(bus_ui_errorflag_status(0x80 | 0x100), "ABSENT");
    EXPECT_STREQ(bus_ui_errorflag_status(0x100 | 0x400), "RANGE ERROR");
    EXPECT_STREQ(bus_ui_errorflag_status(0x2000000 | 0x400), "SUBCLIP");
    EXPECT_STREQ(bus_ui_errorflag_status(0x2000000), "NON CONT");
    EXPECT_STREQ(bus_ui_errorflag_status(0x4), "");

    char buf[256];
    EXPECT_NE(std::string(bus_ctl_reason(-14, buf, sizeof buf)).find("no usable answer"), std::string::npos);
    EXPECT_NE(std::string(bus_ctl_reason(-22, buf, sizeof buf)).find("Invalid argument (result -22)"),
              std::string::npos);
}

} // namespace
